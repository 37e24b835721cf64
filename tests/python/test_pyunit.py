# SPDX-License-Identifier: LGPL-2.1-or-later
"""Units written in Python: in chain text beside C units, their controls,
their exceptions and refused arrays, and a chain driven from a thread that
Python did not make."""

import ctypes
import ctypes.util
import os
import re
import subprocess
import sys
import threading

import gi
import numpy as np
import pytest

import kovkit
from conftest import run_python

SIZE = "width=7 height=5 rate=0"


class Record(kovkit.PythonUnit):
    """Keeps what it sees; drops the frames."""
    id = "pytest.record"
    seen = []

    def process(self, frame):
        Record.seen.append((frame.array, frame.array.copy(), frame.timestamp, tuple(frame.format),
                            frame.metadata))
        return None


class Pass(kovkit.PythonUnit):
    id = "pytest.pass"
    copy = kovkit.BoolControl(default=False)
    timestamps = []

    def process(self, frame):
        Pass.timestamps.append(frame.timestamp)
        return frame.array.copy() if self.copy else frame.array


class Level(kovkit.PythonUnit):
    id = "pytest.level"
    label = "Grey level"
    accepts = ("GREY",)
    level = kovkit.IntControl(default=10, minimum=0, maximum=250, step=10)
    gain = kovkit.FloatControl(default=1.0, minimum=0.0, maximum=4.0)
    mode = kovkit.EnumControl({"flat": 0, "ramp": 5}, default="ramp")
    note = kovkit.StringControl(default="hi")
    spare_switch = kovkit.BoolControl(default=True, label="Spare")

    def process(self, frame):
        out = np.full_like(frame.array, self.level)
        if self.mode == "ramp":
            out[:, :] += np.arange(out.shape[1], dtype=np.uint8)
        return out


class ToGrey(kovkit.PythonUnit):
    id = "pytest.togrey"
    accepts = ("RGB3",)
    gives = "GREY"

    def process(self, frame):
        return frame.array[:, :, 1]  # a strided view, copied into the output frame


class Fails(kovkit.PythonUnit):
    id = "pytest.fails"
    calls = 0

    def process(self, frame):
        Fails.calls += 1
        if Fails.calls % 2:
            raise RuntimeError("odd frame %d" % Fails.calls)
        return frame.array


class Wrong(kovkit.PythonUnit):
    id = "pytest.wrong"
    result = None

    def process(self, frame):
        return Wrong.result


@pytest.fixture(scope="module", autouse=True)
def registered():
    for cls in (Record, Pass, Level, ToGrey, Fails, Wrong):
        kovkit.register(cls)


def run(text, frames=3):
    """Loads text, streams frames frames and stops; the chain's errors."""
    Record.seen.clear()
    chain = kovkit.Chain.new()
    chain.load_from_str(text)
    errors = []
    chain.connect("error", lambda _chain, unit, error: errors.append(error.message))
    assert chain.all_units_stream_init() == 0
    for _ in range(frames):
        chain.iterate()
    chain.all_units_stream_shutdown()
    return chain, errors


@pytest.mark.parametrize("fmt, after", [
    ("GREY", "util.flip flip-h=true"), ("RGB3", "util.flip flip-h=true"),
    ("BGR4", "util.flip flip-v=true"), ("YUYV", "convert.colorspace"),
    ("I420", "convert.colorspace"), ("MJPG", "convert.jpeg_decompress")])
@pytest.mark.parametrize("copy", [False, True])
def test_pass_through_between_c_units_keeps_the_bytes(fmt, after, copy):
    run("input.testsrc format=%s %s ! %s ! pytest.record" % (fmt, SIZE, after))
    plain = [s[1] for s in Record.seen]
    Pass.timestamps.clear()
    run("input.testsrc format=%s %s ! pytest.pass copy=%s ! %s ! pytest.record"
        % (fmt, SIZE, "true" if copy else "false", after))
    assert [s[1].tobytes() for s in Record.seen] == [p.tobytes() for p in plain]
    assert [s[2] for s in Record.seen] == Pass.timestamps


@pytest.mark.parametrize("copy", ["false", "true"])
def test_metadata_goes_through_a_python_unit(copy):
    run("input.testsrc format=GREY %s ! util.roi x=1 y=2 width=3 height=2 ! pytest.pass copy=%s"
        " ! pytest.record" % (SIZE, copy), frames=1)
    assert Record.seen[0][4] == {"roi": (1, 2, 3, 2)}


def test_frame_arrays_are_read_only_views_that_keep_their_frame():
    run("input.testsrc format=RGB3 %s ! pytest.record" % SIZE, frames=4)
    for array, copy, _, fmt, _ in Record.seen:
        assert fmt == ("RGB3", 7, 5, 21)
        assert array.shape == (5, 7, 3) and array.strides == (21, 3, 1)
        assert not array.flags.writeable
        assert np.array_equal(array, copy)  # later frames did not reuse its bytes
    assert len({s[1].tobytes() for s in Record.seen}) == 4


def test_controls_in_chain_text_at_run_time_and_in_the_unit():
    chain, _ = run("input.testsrc format=GREY %s ! pytest.level level=30 mode=flat gain=2.5"
                   " note=x ! pytest.record" % SIZE, frames=1)
    unit = chain.find_unit_by_id("pytest.level")
    assert unit.get_description().get_label() == "Grey level"
    assert [(c.get_id(), c.get_label(), c.get_value()) for c in unit.get_controls()] == [
        ("level", "Level", 30), ("gain", "Gain", 2.5), ("mode", "Mode", 0), ("note", "Note", "x"),
        ("spare-switch", "Spare", True)]
    assert (unit.find_control("level").get_min(), unit.find_control("level").get_max(),
            unit.find_control("level").get_step()) == (0, 250, 10)
    assert Record.seen[0][1][0].tolist() == [30] * 7
    assert unit.find_control("mode").set_from_string("ramp")
    assert unit.find_control("level").set_int(40)
    assert chain.all_units_stream_init() == 0
    chain.iterate()
    assert Record.seen[1][1][0].tolist() == [40, 41, 42, 43, 44, 45, 46]


def test_control_values_from_the_instance_are_python_values_and_checked():
    Level.instances = []
    original = Level.process
    Level.process = lambda self, frame: Level.instances.append(self) or original(self, frame)
    try:
        chain, _ = run("input.testsrc format=GREY %s ! pytest.level" % SIZE, frames=1)
    finally:
        Level.process = original
    unit = Level.instances[0]
    assert (unit.level, unit.gain, unit.mode, unit.note, unit.spare_switch) == (
        10, 1.0, "ramp", "hi", True)
    unit.level, unit.mode, unit.note = 250, "flat", "ok"
    assert (unit.level, unit.mode, unit.note) == (250, "flat", "ok")
    assert unit.unit.find_control("level").get_value() == 250
    with pytest.raises(ValueError, match="255"):
        unit.level = 255
    with pytest.raises(TypeError, match="pytest.level: control level takes an int, not str"):
        unit.level = "5"
    with pytest.raises(ValueError):
        unit.mode = "steep"
    assert (unit.level, unit.mode) == (250, "flat")
    del chain
    with pytest.raises(RuntimeError, match="the unit no longer exists"):
        unit.level
    assert unit.unit is None


def test_given_format_and_refused_input_format():
    run("input.testsrc format=RGB3 %s ! pytest.record" % SIZE, frames=1)
    rgb = Record.seen[0][1]
    run("input.testsrc format=RGB3 %s ! pytest.togrey ! pytest.record" % SIZE, frames=1)
    assert Record.seen[0][3] == ("GREY", 7, 5, 7)
    assert Record.seen[0][1].tobytes() == rgb[:, :, 1].tobytes()
    chain = kovkit.Chain.new()
    chain.load_from_str("input.testsrc format=BGR3 %s ! pytest.togrey" % SIZE)
    with pytest.raises(Exception, match="pytest.togrey: accepts RGB3, not BGR3"):
        chain.all_units_stream_init_full()


def test_an_exception_drops_its_frame_shows_one_traceback_and_counts_the_rest(capfd):
    Fails.calls = 0
    run("input.testsrc format=GREY %s ! pytest.fails ! pytest.record" % SIZE, frames=6)
    err = capfd.readouterr().err
    assert len(Record.seen) == 3
    assert err.count("Traceback") == 1 and "RuntimeError: odd frame 1" in err
    assert err.startswith("pytest.fails: process() raised an exception; the frame is dropped")
    assert err.endswith("pytest.fails: process() raised 2 more exceptions after the one shown; "
                        "those frames were dropped\n")


@pytest.mark.parametrize("result, message", [
    (np.zeros((5, 7), np.float64), "returned an array of shape (5, 7), dtype float64; "
     "GREY 7x5 needs shape (5, 7), dtype uint8"),
    (np.zeros((7, 5), np.uint8), "returned an array of shape (7, 5), dtype uint8; "
     "GREY 7x5 needs shape (5, 7), dtype uint8"),
    (np.zeros((5, 7, 1), np.uint8), "returned an array of shape (5, 7, 1), dtype uint8; "
     "GREY 7x5 needs shape (5, 7), dtype uint8"),
    (b"\0" * 35, "returned a bytes; expected None or a NumPy array (shape (5, 7), dtype uint8 "
     "for GREY 7x5)"),
])
def test_a_wrong_array_is_refused_saying_what_was_expected(result, message, capfd):
    Wrong.result = result
    chain, errors = run("input.testsrc format=GREY %s ! pytest.wrong ! pytest.record" % SIZE)
    assert errors == ["pytest.wrong: process() " + message]
    assert Record.seen == []
    assert capfd.readouterr().err.endswith(
        "pytest.wrong: process() returned 2 more unusable arrays; those frames were dropped\n")
    # The next stream reports its own.
    assert chain.all_units_stream_init() == 0
    chain.iterate()
    assert errors == ["pytest.wrong: process() " + message] * 2


@pytest.mark.parametrize("fmt, result", [
    ("YUYV", np.zeros(7 * 5 * 2 - 1, np.uint8)),
    ("I420", np.zeros((5, 7), np.uint8)),
    ("MJPG", np.zeros(0, np.uint8)),
])
def test_flat_formats_need_the_frame_size(fmt, result):
    Wrong.result = result
    _, errors = run("input.testsrc format=%s width=6 height=5 rate=0 ! pytest.wrong" % fmt, 1)
    assert len(errors) == 1 and "needs one dimension, dtype uint8" in errors[0]


@pytest.mark.parametrize("attributes, error, message", [
    ({"id": "nodot"}, ValueError, 'a unit id is "package.name"'),
    ({"id": "py.a b"}, ValueError, 'a unit id is "package.name"'),
    ({"id": "pytest.pass"}, ValueError, "a unit pytest.pass is already registered"),
    ({"id": "input.testsrc"}, ValueError, "a unit input.testsrc is already registered"),
    ({"id": "pytest.x", "accepts": ("RGB9",)}, ValueError, "unknown pixel format 'RGB9'"),
    ({"id": "pytest.x", "gives": 3}, TypeError, "sequence of str"),
    ({}, ValueError, "has no id"),
])
def test_registration_refuses_bad_declarations(attributes, error, message):
    cls = type("Bad", (kovkit.PythonUnit,), attributes)
    with pytest.raises(error, match=message.replace("(", r"\(").replace(".", r"\.")):
        kovkit.register(cls)


def test_a_chain_driven_from_a_thread_python_did_not_make():
    """The chain's driver runs in a GLib main loop on a thread made by GLib
    (g_thread_new running g_main_loop_run); the Python unit takes the GIL
    there while this thread waits."""
    from gi.repository import GLib
    glib = ctypes.CDLL(ctypes.util.find_library("glib-2.0"))
    glib.g_thread_new.restype = ctypes.c_void_p
    glib.g_thread_new.argtypes = [ctypes.c_char_p, ctypes.c_void_p, ctypes.c_void_p]
    glib.g_thread_join.argtypes = [ctypes.c_void_p]
    released, threads = threading.Event(), []

    class OnThread(kovkit.PythonUnit):
        id = "pytest.onthread"

        def process(self, frame):
            threads.append(threading.get_ident())
            if len(threads) == 5:
                released.set()
            return frame.array
    kovkit.register(OnThread)

    context = GLib.MainContext.new()
    loop = GLib.MainLoop.new(context, False)
    loop_pointer = int(re.search(r"GMainLoop at (0x[0-9a-f]+)", repr(loop)).group(1), 16)
    chain = kovkit.Chain.new()
    chain.load_from_str("input.testsrc format=GREY %s ! pytest.onthread ! pytest.record" % SIZE)
    assert chain.all_units_stream_init() == 0
    source_id = chain.attach(context)
    run_loop = ctypes.cast(glib.g_main_loop_run, ctypes.c_void_p)
    thread = glib.g_thread_new(b"chain", run_loop, loop_pointer)
    try:
        assert released.wait(60)
    finally:
        loop.quit()
        glib.g_thread_join(thread)
    context.find_source_by_id(source_id).destroy()
    chain.all_units_stream_shutdown()
    assert len(threads) >= 5 and set(threads) == {threads[0]} != {threading.get_ident()}
    assert len(Record.seen) == len(threads)


def test_control_widget_edits_a_python_units_controls(kg):
    from gi.repository import Gtk
    chain = kovkit.Chain.new()
    chain.load_from_str("input.testsrc format=GREY %s ! pytest.level" % SIZE)
    unit = chain.find_unit_by_id("pytest.level")
    widget = kg.ControlWidget()
    widget.set_unit(unit)
    (expander,) = widget.get_children()
    rows = {child.get_name(): child for child in expander.get_child().get_children()
            if not isinstance(child, Gtk.Label)}
    assert sorted(rows) == ["gain", "level", "mode", "note", "spare-switch"]
    rows["level"].set_value(60)
    assert unit.find_control("level").get_int() == 60
    rows["mode"].set_active_id("0")
    assert unit.find_control("mode").get_enum() == 0


EXAMPLE = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "examples", "python",
                       "opencv_unit.py")


def test_viewer_runs_a_script_and_shows_its_units_pictures(tmp_path):
    """The example's edge unit in kovkit-view: the picture is grey, mostly
    black with some edges."""
    gi.require_version("GdkPixbuf", "2.0")
    from gi.repository import GdkPixbuf
    shot = tmp_path / "shot.png"
    result = subprocess.run(
        [sys.executable, os.environ["KOV_VIEW_PROGRAM"], "--script", EXAMPLE, "--screenshot",
         str(shot), "--timeout", "60", "input.testsrc ! example.cv_edges ! output.opengl"],
        capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    x, y, w, h = map(int, re.search(r"^picture: (\d+) (\d+) (\d+) (\d+)$", result.stdout,
                                    re.M).groups())
    pixbuf = GdkPixbuf.Pixbuf.new_from_file(str(shot))
    pixels = np.frombuffer(pixbuf.get_pixels(), np.uint8)[:pixbuf.get_rowstride() * pixbuf.get_height()]
    rows = pixels.reshape(pixbuf.get_height(), pixbuf.get_rowstride())
    n = pixbuf.get_n_channels()
    picture = rows[y:y + h, x * n:(x + w) * n].reshape(h, w, n)
    assert 0 < np.count_nonzero(picture) < picture.size // 4
    assert (picture[..., 0] == picture[..., 1]).all() and (picture[..., 1] == picture[..., 2]).all()


def test_viewer_stops_on_a_failing_script(tmp_path):
    script = tmp_path / "broken.py"
    script.write_text("raise ImportError('no such thing')\n")
    result = subprocess.run([sys.executable, os.environ["KOV_VIEW_PROGRAM"], "--script",
                             str(script), "input.testsrc"], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 1
    assert result.stderr.endswith("ImportError: no such thing\nkovkit-view: the script %s failed\n"
                                  % script)


@pytest.mark.parametrize("raised", ["SystemExit(3)", "KeyboardInterrupt()"])
def test_exit_and_interrupt_in_process_do_not_end_the_process_from_the_chain(raised):
    code = """
import kovkit
class Stop(kovkit.PythonUnit):
    id = "pytest.stop"
    def process(self, frame):
        raise %s
kovkit.register(Stop)
chain = kovkit.Chain.new()
chain.load_from_str("input.testsrc format=GREY width=4 height=2 rate=0 ! pytest.stop")
chain.all_units_stream_init()
try:
    for _ in range(3):
        chain.iterate()
    print("went on")
except KeyboardInterrupt:
    print("interrupted")
""" % raised
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout == ("went on\n" if raised.startswith("SystemExit") else "interrupted\n")
