#!/usr/bin/python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""A unit written in Python that calls OpenCV: example.cv_edges finds the
edges of each frame (cv2.Canny) and gives them as a grey picture.

In the viewer, which runs this file before it loads the chain:

    kovkit-view --script opencv_unit.py \\
        "input.testsrc ! example.cv_edges low=40 ! output.opengl"

Without a window, running N frames through the chain and printing how many
edge pixels each one has:

    /usr/bin/python3 opencv_unit.py --frames 10
"""

import argparse
import sys

import cv2
import numpy as np

import kovkit


class CvEdges(kovkit.PythonUnit):
    id = "example.cv_edges"
    label = "Edges (OpenCV)"
    accepts = ("RGB3", "BGR3", "GREY")
    gives = "GREY"
    low = kovkit.IntControl(default=50, minimum=0, maximum=255, label="Low threshold")
    high = kovkit.IntControl(default=150, minimum=0, maximum=255, label="High threshold")
    blur = kovkit.BoolControl(default=True, label="Blur first")

    def process(self, frame):
        picture = frame.array
        if picture.ndim == 3:
            code = cv2.COLOR_RGB2GRAY if frame.format.code == "RGB3" else cv2.COLOR_BGR2GRAY
            picture = cv2.cvtColor(picture, code)
        if self.blur:
            picture = cv2.GaussianBlur(picture, (5, 5), 0)
        return cv2.Canny(picture, self.low, self.high)


kovkit.register(CvEdges)


def main(argv):
    parser = argparse.ArgumentParser(description="Runs example.cv_edges without a window.")
    parser.add_argument("--frames", type=int, default=10, help="frames to run (default 10)")
    options = parser.parse_args(argv)

    edges = []

    class CountEdges(kovkit.PythonUnit):
        id = "example.count_edges"

        def process(self, frame):
            edges.append(int(np.count_nonzero(frame.array)))
            return None  # the end of the chain

    kovkit.register(CountEdges)
    chain = kovkit.Chain.new()
    chain.load_from_str("input.testsrc rate=0 ! example.cv_edges ! example.count_edges")
    if chain.all_units_stream_init() != 0:
        return 1
    while len(edges) < options.frames:
        chain.iterate()
    chain.all_units_stream_shutdown()
    for number, count in enumerate(edges):
        print("frame %d: %d edge pixels" % (number, count))
    return 0 if all(edges) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
