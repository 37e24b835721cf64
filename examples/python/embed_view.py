#!/usr/bin/python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""A small GTK application that shows a chain's picture beside the controls
of one of its units, and the mean brightness of each frame below.

    embed_view.py [CHAIN] [--unit ID] [--frames N]

With --frames N it quits once N frames have been drawn (for a run without a
screen, under xvfb-run). Run it after `make install`, or from the build tree
with PYTHONPATH=build/python.
"""

import argparse
import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk  # noqa: E402

import kovkit  # noqa: E402
import kovkit.gtk  # noqa: E402

CHAIN = "input.testsrc rate=30 ! util.flip flip-h=true ! output.opengl"


class Window(Gtk.Window):
    def __init__(self, options):
        super().__init__(title="kovkit embedded")
        self.options = options
        self.drawn = 0
        self.connect("destroy", self.on_destroy)

        # The chain's picture: the widget loads the chain and runs it.
        self.picture = kovkit.gtk.ChainGLWidget()
        self.picture.set_size_request(320, 240)
        self.picture.load_from_str(options.chain)
        self.picture.connect("redraw-requested", self.on_redraw_requested)
        chain = self.picture.get_chain()

        # The controls of one unit, changed through the framework.
        controls = kovkit.gtk.ControlWidget()
        controls.set_unit(chain.unit(options.unit))
        controls.set_expanded(1)

        # Every frame leaving the chain, as a NumPy array.
        self.status = Gtk.Label(xalign=0)
        chain.connect_frame_ready(self.on_frame)

        side = Gtk.Box(orientation=Gtk.Orientation.HORIZONTAL, spacing=6)
        side.pack_start(self.picture, True, True, 0)
        side.pack_start(controls, False, False, 0)
        box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=6)
        box.set_border_width(6)
        box.pack_start(side, True, True, 0)
        box.pack_start(self.status, False, False, 0)
        self.add(box)

    def on_frame(self, _chain, frame):
        self.status.set_text("%s %dx%d, mean %.1f" % (frame.format.code, frame.format.width,
                                                     frame.format.height, frame.array.mean()))

    def on_redraw_requested(self, _widget):
        self.drawn += 1
        if self.options.frames and self.drawn == self.options.frames:
            print("drew %d frames; last: %s" % (self.drawn, self.status.get_text()))
            self.close()

    def on_destroy(self, _window):
        self.picture.set_active(0)
        Gtk.main_quit()


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("chain", nargs="?", default=CHAIN, help="chain description")
    parser.add_argument("--unit", default="util.flip", help="unit whose controls are shown")
    parser.add_argument("--frames", type=int, default=0, metavar="N",
                        help="quit after drawing N frames (0: run until closed)")
    parser.add_argument("--timeout", type=float, default=30.0, metavar="SECONDS",
                        help="with --frames, give up after this long (default 30)")
    options = parser.parse_args(argv)

    window = Window(options)
    window.show_all()
    window.picture.set_active(1)
    status = [0]
    if options.frames:
        def give_up():
            print("embed_view: %d of %d frames after %g s" % (window.drawn, options.frames,
                                                              options.timeout), file=sys.stderr)
            status[0] = 1
            window.close()
        GLib.timeout_add(int(options.timeout * 1000), give_up)
    Gtk.main()
    return status[0]


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
