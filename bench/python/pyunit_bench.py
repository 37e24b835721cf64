#!/usr/bin/python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""Per-frame cost of a pass-through unit written in Python, at 640x480 GREY.

One 640x480 GREY frame from input.testsrc is handed again and again to the
units fed by the source (kov_unit_produce_frame): once with no unit after the
source (the peer) and once with a Python unit that returns frame.array. The
difference of the two per-frame times is what the Python unit costs. The runs
alternate and each figure is the best of its rounds.

    PYTHONPATH=build/python /usr/bin/python3 bench/python/pyunit_bench.py
"""

import argparse
import sys
import time

import kovkit

TEXT = "input.testsrc format=GREY width=640 height=480 rate=0"


class BenchPass(kovkit.PythonUnit):
    id = "bench.pass"

    def process(self, frame):
        return frame.array


class BenchCopy(kovkit.PythonUnit):
    id = "bench.copy"

    def process(self, frame):
        return frame.array.copy()


def chain_with(after):
    """A streaming chain, its source, and a frame with its format."""
    chain = kovkit.Chain.new()
    chain.load_from_str(TEXT + (" ! " + after if after else ""))
    source = chain.get_units()[0]
    got = []
    handler = source.connect("frame-ready", lambda _unit, frame, fmt: got.append((frame, fmt)))
    assert chain.all_units_stream_init() == 0
    while not got:
        chain.iterate()
    source.disconnect(handler)
    return chain, source, got[0]


def per_frame_us(source, frame, fmt, count):
    produce = source.produce_frame
    start = time.perf_counter()
    for _ in range(count):
        produce(frame, fmt)
    return (time.perf_counter() - start) / count * 1e6


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--frames", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=15)
    options = parser.parse_args(argv)
    kovkit.register(BenchPass)
    kovkit.register(BenchCopy)
    cases = {name: chain_with(after) for name, after in
             (("no unit", None), ("bench.pass", "bench.pass"), ("bench.copy", "bench.copy"))}
    best = {name: float("inf") for name in cases}
    for _ in range(options.rounds):
        for name, (_chain, source, (frame, fmt)) in cases.items():
            best[name] = min(best[name], per_frame_us(source, frame, fmt, options.frames))
    for name, us in best.items():
        print("%-12s %8.2f us per frame" % (name, us))
    cost = best["bench.pass"] - best["no unit"]
    print("Python pass-through unit: %.2f us per frame (target 20)" % cost)
    print("Python unit returning a copy: %.2f us per frame"
          % (best["bench.copy"] - best["no unit"]))
    for _chain, *_ in cases.values():
        _chain.all_units_stream_shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
