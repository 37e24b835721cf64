#!/usr/bin/python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""Per-frame cost of chain.frames(): a 640x480 GREY test source run through
the chain driver, once with no Python code per frame beyond the main
context's iteration, once through chain.frames(), and once through
chain.frames() taking each frame's NumPy array. Rounds alternate so that a
change in the machine's load falls on all three alike: each time is the best
round's time per frame, each cost the median over the rounds of the
difference to the driver alone in the same round. Run by `make bench` with
the build's package on PYTHONPATH; --size 16x16 shows the cost with the
source's own work made small."""

import argparse
import statistics
import time

from gi.repository import GLib

import kovkit

CHAIN = "input.testsrc format=GREY width=%d height=%d rate=0"


def driver_alone(chain, frames):
    """The chain driver on a main context, counting frames in C's signal
    emission only: no Python handler."""
    context = GLib.MainContext.new()
    driver = chain.source_new()
    driver.attach(context)
    chain.all_units_stream_init()
    start = time.perf_counter()
    for _ in range(frames):
        context.iteration(True)  # one driver step: one frame
    elapsed = time.perf_counter() - start
    chain.all_units_stream_shutdown()
    driver.destroy()
    return elapsed


def through_frames(chain, frames):
    start = time.perf_counter()
    for _frame in chain.frames(count=frames):
        pass
    return time.perf_counter() - start


def through_frames_with_arrays(chain, frames):
    start = time.perf_counter()
    for frame in chain.frames(count=frames):
        frame.array
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--frames", type=int, default=300, help="frames per round")
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--size", default="640x480", help="frame size (default 640x480)")
    options = parser.parse_args()

    text = CHAIN % tuple(int(n) for n in options.size.split("x"))
    chain = kovkit.Chain.from_string(text)
    ways = [("driver alone", driver_alone), ("chain.frames()", through_frames),
            ("chain.frames() + frame.array", through_frames_with_arrays)]
    times = {name: [] for name, _ in ways}
    for _, run in ways:  # warm-up: the source draws its picture once
        run(chain, 10)
    for _ in range(options.rounds):
        for name, run in ways:
            times[name].append(run(chain, options.frames) / options.frames * 1e6)
    base = times["driver alone"]
    print("%s, %d frames x %d rounds:" % (text, options.frames, options.rounds))
    for name, _ in ways:
        line = "  %-30s %8.1f us per frame" % (name, min(times[name]))
        if name != "driver alone":
            cost = statistics.median(t - b for t, b in zip(times[name], base))
            line += ", cost %+.1f us" % cost
        print(line)


if __name__ == "__main__":
    main()
