#!/usr/bin/python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""Grabs 100 frames of a chain into NumPy and prints, for each one, its mean
grey level and the circle that the Hough detector marked on it.

The test source draws a dark disc that moves sideways; detect.opencv.hough
finds it and gives each frame its centre and radius as metadata. Run it
after `make install`, or from the build tree with PYTHONPATH=build/python.
"""

import argparse
import sys

import numpy as np

import kovkit

CHAIN = "input.testsrc format=GREY width=320 height=240 rate=0 ! detect.opencv.hough"


def describe(metadata):
    if "marker:x" not in metadata:
        return "no circle"
    return "circle at (%d, %d), radius %d" % (metadata["marker:x"], metadata["marker:y"],
                                             metadata["marker:r"])


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=100, help="frames to grab (default 100)")
    parser.add_argument("--chain", default=CHAIN, help="chain description (default: %(default)s)")
    options = parser.parse_args(argv)

    chain = kovkit.Chain.from_string(options.chain)
    # Each frame's array is a view of the frame's own bytes; the frames stay
    # alive, and unchanged, as long as we hold them.
    frames = list(chain.frames(count=options.count, timeout=5.0))
    video = np.stack([frame.array for frame in frames])  # (count, height, width)
    for number, (frame, mean) in enumerate(zip(frames, video.mean(axis=(1, 2)))):
        print("frame %3d: mean %6.2f, %s" % (number, mean, describe(frame.metadata)))
    return 0 if len(frames) == options.count else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
