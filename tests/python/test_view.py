# SPDX-License-Identifier: LGPL-2.1-or-later
"""kovkit-view under the virtual X server: it opens, starts its chain, takes
a screenshot of its window once the first frame is drawn, and the picture
shows the example input's square where that frame puts it."""

import os
import re
import signal
import subprocess
import sys

import gi
import pytest

gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf  # noqa: E402

VIEW = os.environ.get("KOV_VIEW_PROGRAM", "")

# The example input's first frame: a 50-pixel square, its corner moved from
# the centre (295, 215) by one step of 10, in a 640x480 frame, colour
# (0, 127, 127).
FRAME_W, FRAME_H, SIDE = 640, 480, 50
FIRST_X, FIRST_Y = 305, 225
SQUARE = (0, 127, 127)


def run_view(tmp_path, *args):
    shot = tmp_path / "shot.png"
    result = subprocess.run([sys.executable, VIEW, "--screenshot", str(shot), "--timeout", "60", *args],
                            capture_output=True, text=True, timeout=120)
    return result, shot


def square_box(shot, picture):
    """Bounding box (left, top, right, bottom) of the square's colour inside
    the picture area, in window pixels."""
    pixbuf = GdkPixbuf.Pixbuf.new_from_file(str(shot))
    n, stride, data = pixbuf.get_n_channels(), pixbuf.get_rowstride(), pixbuf.get_pixels()
    x0, y0, w, h = picture
    xs, ys = [], []
    for y in range(y0, y0 + h):
        row = y * stride
        for x in range(x0, x0 + w):
            p = row + x * n
            if tuple(data[p:p + 3]) == SQUARE:
                xs.append(x)
                ys.append(y)
            else:
                assert tuple(data[p:p + 3]) == (0, 0, 0), "stray colour at %d,%d" % (x, y)
    assert xs, "no square in the picture"
    return min(xs), min(ys), max(xs), max(ys)


def expected_box(picture, left):
    """Where a square at frame column left, row FIRST_Y lands in the picture,
    which shows the whole frame scaled to its size."""
    x0, y0, w, h = picture
    sx, sy = w / FRAME_W, h / FRAME_H
    return (x0 + left * sx, y0 + FIRST_Y * sy, x0 + (left + SIDE) * sx - 1, y0 + (FIRST_Y + SIDE) * sy - 1)


def picture_of(result):
    match = re.search(r"^picture: (\d+) (\d+) (\d+) (\d+)$", result.stdout, re.M)
    assert match, result.stdout + result.stderr
    return tuple(int(v) for v in match.groups())


@pytest.mark.parametrize("chain, left", [
    ("input.example ! output.opengl", FIRST_X),
    ("input.example ! util.flip flip-h=true ! output.opengl", FRAME_W - FIRST_X - SIDE),
])
def test_screenshot_shows_the_square_where_the_frame_puts_it(tmp_path, chain, left):
    result, shot = run_view(tmp_path, chain)
    assert result.returncode == 0, result.stderr
    picture = picture_of(result)
    # The picture keeps the frame's aspect ratio (to a pixel), whatever the window's.
    assert abs(picture[2] * FRAME_H - picture[3] * FRAME_W) <= FRAME_W, picture
    # The viewer started the chain (and stopped it when it closed).
    assert re.search(r"^Active: 1; Widget: 0x[0-9a-f]+; Chain: 0x[0-9a-f]+$", result.stdout, re.M)
    box = square_box(shot, picture)
    for got, want in zip(box, expected_box(picture, left)):
        assert abs(got - want) <= 1.5, (box, expected_box(picture, left))


def test_bad_chain_description_is_reported(tmp_path):
    result, shot = run_view(tmp_path, "input.example ! no.such_unit")
    assert result.returncode == 1, result.stderr
    assert "kovkit-view: Error: " in result.stderr and "no.such_unit" in result.stderr
    assert not shot.exists()


def test_interrupt_ends_the_viewer_quietly(tmp_path):
    # Ctrl-C while the chain runs on its thread: the window and the thread
    # end before the process does, with status 130 and no traceback.
    script = tmp_path / "running.py"
    script.write_text("from gi.repository import GLib\n"
                      "GLib.idle_add(lambda: print('running', flush=True))\n")
    viewer = subprocess.Popen([sys.executable, VIEW, "--script", str(script), "input.example ! output.opengl"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert "running\n" in iter(viewer.stdout.readline, "")
        viewer.send_signal(signal.SIGINT)
        out, err = viewer.communicate(timeout=60)
    finally:
        viewer.kill()
    assert viewer.returncode == 130, err
    assert "Traceback" not in err, err


def test_xor_marker_shows_over_the_picture(tmp_path):
    # The manual marker draws its cross with a logical XOR, which also flips
    # the alpha byte of the GL picture: the widget must still show it, white
    # over the black background. Its centre is 200 pixels left of the frame's.
    result, shot = run_view(tmp_path, "input.example ! output.opengl ! oxa.manual-marker marker-x=-200")
    assert result.returncode == 0, result.stderr
    x0, y0, w, h = picture_of(result)
    pixbuf = GdkPixbuf.Pixbuf.new_from_file(str(shot))
    n, stride, data = pixbuf.get_n_channels(), pixbuf.get_rowstride(), pixbuf.get_pixels()
    white = [(x, y) for y in range(y0, y0 + h) for x in range(x0, x0 + w)
             if tuple(data[y * stride + x * n:y * stride + x * n + 3]) == (255, 255, 255)]
    assert white, "no marker in the picture"
    sx, sy = w / FRAME_W, h / FRAME_H
    cx, cy, size = 320 - 200, 240, 25  # default marker size: arms of 25 pixels
    left, right = min(x for x, _ in white), max(x for x, _ in white)
    top, bottom = min(y for _, y in white), max(y for _, y in white)
    assert abs(left - (x0 + (cx - size) * sx)) <= 2 and abs(right - (x0 + (cx + size) * sx)) <= 2
    assert abs(top - (y0 + (cy - size) * sy)) <= 2 and abs(bottom - (y0 + (cy + size) * sy)) <= 2
