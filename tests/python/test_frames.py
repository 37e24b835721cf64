# SPDX-License-Identifier: LGPL-2.1-or-later
"""Chains and frames as Python values: frame arrays against the bytes the C
units produced, zero copy and lifetime, metadata, chains from text, control
values and refusals, and the frame generator's end, errors and timeout."""

import ctypes
import gc
import struct

import numpy as np
import pytest
from gi.repository import GLib

import kovkit
from kovkit import Kovkit


def raw_bytes(frame):
    """The frame's used bytes, read past NumPy."""
    return ctypes.string_at(frame.buffer.data, frame.bytesused)


def first_frame(text):
    (frame,) = kovkit.Chain.from_string(text).frames(count=1)
    return frame


def assert_view_of(array, frame):
    """array is frame's bytes in place: same address, each row at its stride."""
    assert array.__array_interface__["data"][0] == frame.buffer.data
    assert not array.flags.writeable and not array.flags.owndata
    raw = raw_bytes(frame)
    if array.ndim == 1:
        assert array.tobytes() == raw
    for y in range(array.shape[0] if array.ndim > 1 else 0):
        start = y * frame.format.stride
        assert array[y].tobytes() == raw[start:start + array[y].nbytes]


# 5x3 frames of the test source: odd widths and heights, minimum strides.
@pytest.mark.parametrize("code, stride, shape, strides", [
    ("RGB3", 15, (3, 5, 3), (15, 3, 1)),
    ("BGR3", 15, (3, 5, 3), (15, 3, 1)),
    ("RGB4", 20, (3, 5, 4), (20, 4, 1)),
    ("BGR4", 20, (3, 5, 4), (20, 4, 1)),
    ("GREY", 5, (3, 5), (5, 1)),
    ("BA81", 5, (3, 5), (5, 1)),
    ("XXX4", 5, (3, 5), (5, 1)),
    ("I420", 5, (27,), (1,)),   # 15 luma bytes, two 3x2 chroma planes
    ("YUYV", 12, (36,), (1,)),  # rows of three 4-byte pixel pairs
    ("UYVY", 12, (36,), (1,)),
])
def test_array_is_the_source_frame_shaped_by_its_format(code, stride, shape, strides):
    frame = first_frame("input.testsrc format=%s width=5 height=3 rate=0" % code)
    assert frame.format == (code, 5, 3, stride)
    array = frame.array
    assert (array.shape, array.strides, array.dtype) == (shape, strides, np.uint8)
    assert_view_of(array, frame)
    assert frame.array is array


def test_colour_orders_of_one_picture_agree():
    arrays = {code: first_frame("input.testsrc format=%s width=7 height=3 rate=0" % code).array
              for code in ("RGB3", "BGR3", "RGB4", "BGR4")}
    rgb = arrays["RGB3"]
    assert rgb.std() > 0  # a picture, not a flat field
    assert np.array_equal(arrays["BGR3"][..., ::-1], rgb)
    assert np.array_equal(arrays["RGB4"][..., :3], rgb)
    assert np.array_equal(arrays["BGR4"][..., 2::-1], rgb)


def test_compressed_frame_is_its_used_bytes():
    frame = first_frame("input.testsrc format=MJPG width=16 height=8 rate=0")
    assert frame.format == ("MJPG", 16, 8, 0)
    assert frame.array.shape == (frame.bytesused,) and 0 < frame.bytesused <= frame.buffer.length
    assert frame.array[:2].tolist() == [0xFF, 0xD8]
    assert_view_of(frame.array, frame)


@pytest.mark.parametrize("code, shape, strides", [
    ("GREY", (3, 6), (128, 1)),
    ("BGR4", (3, 6, 4), (128, 4, 1)),
])
def test_padded_rows_give_a_strided_view(code, shape, strides):
    frame = first_frame("input.testsrc format=BA81 width=6 height=3 rate=0 ! "
                        "convert.fast_debayer format=%s" % code)
    assert frame.format.stride == 128
    assert (frame.array.shape, frame.array.strides) == (shape, strides)
    assert_view_of(frame.array, frame)
    assert not frame.array.flags.c_contiguous


@pytest.mark.parametrize("code, sample, values, dtype", [
    ("LG16", "=3H", (1, 513, 65535), np.uint16),
    ("FG32", "=3f", (0.5, -2.0, 1e30), np.float32),
])
def test_wide_samples_are_native_numbers(code, sample, values, dtype):
    # Two rows of three samples, 16 bytes apart, written through a writable
    # view of a frame of our own.
    buffer = Kovkit.FrameBuffer.new_alloc(32)
    ctypes.memmove(buffer.data + 16, struct.pack(sample, *values), struct.calcsize(sample))
    array = kovkit.Frame(buffer, kovkit.FrameFormat(code, 3, 2, 16), writable=True).array
    assert (array.shape, array.dtype, array.strides[0]) == ((2, 3), dtype, 16)
    assert array.flags.writeable
    assert array[1].tolist() == [np.float32(v) for v in values]
    array[0] = 0
    assert ctypes.string_at(buffer.data, 4) == bytes(4)


@pytest.mark.parametrize("format, length, message", [
    (kovkit.FrameFormat("GREY", 4, 3, 4), 11,
     "a 4x3 GREY frame with rows of 4 bytes needs 12 bytes, this one holds 11"),
    (kovkit.FrameFormat("RGB3", 4, 2, 11), 64, "a 4x2 RGB3 frame cannot have rows of 11 bytes"),
    (kovkit.FrameFormat("GREY", 0, 2, 4), 64, "a 0x2 GREY frame cannot have rows of 4 bytes"),
])
def test_frame_shorter_than_its_format_is_refused(format, length, message):
    frame = kovkit.Frame(Kovkit.FrameBuffer.new_alloc(length), format, writable=True)
    with pytest.raises(ValueError) as raised:
        frame.array
    assert str(raised.value) == message


@pytest.mark.parametrize("format", [None, kovkit.FrameFormat("ABCD", 2, 2, 2),
                                    kovkit.FrameFormat("I420", 2, 2, 2)])
def test_unknown_or_missing_format_gives_the_flat_bytes(format):
    buffer = Kovkit.FrameBuffer.new_alloc(5)
    frame = kovkit.Frame(buffer, format)
    assert frame.array.shape == (0,)  # nothing used yet
    assert kovkit.Frame(buffer, format, writable=True).array.shape == (5,)


def test_arrays_outlive_their_frames_and_chain():
    chain = kovkit.Chain.from_string("input.testsrc format=GREY width=16 height=4 rate=0")
    frames = chain.frames(count=20)
    first = next(frames)
    array, copy = first.array, first.array.copy()
    del first
    later = [f.array.__array_interface__["data"][0] for f in frames]
    # The source recycles frames nobody holds; this one it must not touch.
    assert array.__array_interface__["data"][0] not in later
    del chain, frames
    gc.collect()
    assert np.array_equal(array, copy) and array.base.buffer.data == array.ctypes.data


def test_metadata_decodes_known_entries_and_keeps_others_as_bytes():
    frame = first_frame("input.testsrc format=GREY width=8 height=8 rate=0 ! "
                        "util.roi x=-1 y=2 width=3 height=400")
    assert frame.metadata == {"roi": (-1, 2, 3, 400)}
    buffer = Kovkit.FrameBuffer.new_alloc(1)
    for key, value in [("marker:x", struct.pack("=i", -5)), ("marker:r", struct.pack("=i", 9)),
                       ("marker:y", b"\x01\x02"), ("roi", b"short"), ("note", b"\x00\xff")]:
        buffer.metadata_set(key, value)
    assert kovkit.Frame(buffer, None).metadata == {
        "marker:x": -5, "marker:r": 9, "marker:y": b"\x01\x02", "roi": b"short",
        "note": b"\x00\xff"}


def test_frame_ready_callback_gets_frames():
    chain = kovkit.Chain.from_string("input.testsrc format=GREY width=4 height=2 rate=0")
    seen = []
    chain.connect_frame_ready(lambda c, frame, tag: seen.append((c, frame, tag)), "tag")
    chain.all_units_stream_init()
    chain.iterate()
    chain.all_units_stream_shutdown()
    ((emitter, frame, tag),) = seen
    assert (emitter, tag, type(frame)) == (chain, "tag", kovkit.Frame)
    assert frame.array.shape == (2, 4) and frame.timestamp > 0


@pytest.mark.parametrize("text, code, message", [
    ("input.testsrc ! no.such", 2, 'unknown unit "no.such"'),
    ("input.testsrc nosuch=1", 3, 'input.testsrc: unknown control "nosuch"'),
    ("input.testsrc width=0", 5, 'input.testsrc: value 0 of control "width" is outside 1..7680'),
    ('input.file location="open', 1, 'unterminated quote in chain description: location="open'),
])
def test_from_string_raises_the_framework_message(text, code, message):
    with pytest.raises(kovkit.Error) as raised:
        kovkit.Chain.from_string(text)
    error = raised.value
    assert isinstance(error, GLib.Error)
    assert (str(error), error.message, error.domain, error.code) == (
        message, message, "kovkit-error-quark", code)


def test_from_string_gives_a_chain_of_the_units():
    chain = kovkit.Chain.from_string("input.testsrc width=8 ! util.flip flip-h=true")
    assert isinstance(chain, kovkit.Chain)
    assert [u.get_id() for u in chain.get_units()] == ["input.testsrc", "util.flip"]
    assert chain.unit("util.flip").controls["flip-h"] is True
    with pytest.raises(KeyError):
        chain.unit("util.roi")


@pytest.fixture(scope="module")
def units():
    chain = kovkit.Chain.from_string(
        "input.example ! util.flip ! opencv.convert_canny ! convert.fast_debayer")
    text = kovkit.Chain.from_string("input.file")
    return {u.get_id(): u for u in chain.get_units() + text.get_units()}


@pytest.mark.parametrize("unit, control, value, read", [
    ("util.flip", "flip-h", True, True),
    ("util.flip", "flip-v", 1, True),
    ("util.flip", "flip-v", "no", False),
    ("input.example", "int1", 12, 12),
    ("input.example", "int1", np.int64(14), 14),
    ("input.example", "int1", 16.0, 16),
    ("input.example", "int2", "0x40", 64),
    ("opencv.convert_canny", "thresh1", 2.5, 2.5),
    ("opencv.convert_canny", "thresh2", 7, 7.0),
    ("convert.fast_debayer", "tiling", 2, (2, "BGGR")),
    ("convert.fast_debayer", "tiling", "RGGB", (3, "RGGB")),
    ("input.file", "location", "shots/*.png", "shots/*.png"),
])
def test_control_values_round_trip(units, unit, control, value, read):
    controls = units[unit].controls
    controls[control] = value
    got = controls[control]
    if isinstance(read, tuple):
        assert (got, got.name, type(got)) == (read[0], read[1], kovkit.EnumValue)
    else:
        assert (got, type(got)) == (read, type(read))


@pytest.mark.parametrize("unit, control, value, error, message", [
    ("input.example", "int1", 13, kovkit.Error,
     'input.example: value 13 of control "int1" is not 10 plus a multiple of 2'),
    ("input.example", "int1", 200, kovkit.Error,
     'input.example: value 200 of control "int1" is outside 10..100'),
    ("input.example", "int1", "many", kovkit.Error,
     'input.example: "many" is not an integer value for control "int1"'),
    ("input.example", "int1", 2 ** 31, ValueError,
     'input.example: control "int1" takes a 32-bit int, not 2147483648'),
    ("input.example", "int1", 12.5, TypeError, 'input.example: control "int1" takes an int, not 12.5'),
    ("input.example", "int1", True, TypeError, 'input.example: control "int1" takes an int, not True'),
    ("util.flip", "flip-h", 2, TypeError, 'util.flip: control "flip-h" takes a bool, not 2'),
    ("util.flip", "flip-h", "maybe", kovkit.Error,
     'util.flip: "maybe" is not a boolean value for control "flip-h" (use true or false)'),
    ("opencv.convert_canny", "thresh1", -1.0, kovkit.Error,
     'opencv.convert_canny: value -1 of control "thresh1" is outside 0..3.40282e+38'),
    ("opencv.convert_canny", "thresh1", 1e300, kovkit.Error,
     'opencv.convert_canny: value inf of control "thresh1" is outside 0..3.40282e+38'),
    ("opencv.convert_canny", "thresh1", float("nan"), kovkit.Error,
     'opencv.convert_canny: value nan of control "thresh1" is outside 0..3.40282e+38'),
    ("opencv.convert_canny", "thresh1", None, TypeError,
     'opencv.convert_canny: control "thresh1" takes a float, not None'),
    ("convert.fast_debayer", "tiling", 7, kovkit.Error,
     'convert.fast_debayer: 7 is not an entry of control "tiling"'),
    ("input.file", "location", 5, TypeError, 'input.file: control "location" takes a str, not 5'),
])
def test_refused_control_values_raise_and_keep_the_value(units, unit, control, value, error,
                                                          message):
    controls = units[unit].controls
    before = controls[control]
    with pytest.raises(error) as raised:
        controls[control] = value
    assert str(raised.value) == message
    assert controls[control] == before


def test_controls_mapping_lists_ids_and_refuses_unknown_ones(units):
    controls = units["input.example"].controls
    assert list(controls) == ["enum", "boolean", "int1", "int2"] and len(controls) == 4
    assert "int2" in controls and "int3" not in controls and 5 not in controls
    for key in ["int3", 5]:
        with pytest.raises(KeyError):
            controls[key]
        with pytest.raises(KeyError):
            controls[key] = 1
    controls.update(int1=20, boolean=True)
    assert (controls["int1"], controls["boolean"]) == (20, True)


def test_frames_stop_at_end_of_stream_and_stop_the_chain(tmp_path):
    for i in range(3):
        (tmp_path / ("%d.raw" % i)).write_bytes(bytes(range(i, i + 6)))
    chain = kovkit.Chain.from_string(
        "input.file location=%s/%%d.raw raw-width=3 raw-height=2" % tmp_path)
    frames = list(chain.frames(timeout=5))
    assert [f.array.tolist() for f in frames] == [[[0, 1, 2], [3, 4, 5]], [[1, 2, 3], [4, 5, 6]],
                                                  [[2, 3, 4], [5, 6, 7]]]
    assert not chain.is_streaming()
    assert [f.array.shape for f in chain.frames(count=2)] == [(2, 3)] * 2
    assert list(chain.frames(count=0)) == []


def test_frames_count_and_a_chain_that_already_streams():
    chain = kovkit.Chain.from_string("input.testsrc format=GREY width=4 height=2 rate=0")
    chain.all_units_stream_init()
    stamps = [f.timestamp for f in chain.frames(count=3)]
    assert len(stamps) == 3 and stamps == sorted(stamps)
    assert chain.is_streaming()  # started by its owner, left running
    chain.all_units_stream_shutdown()


@pytest.mark.parametrize("text, produced, message", [
    ("input.file location=/nonexistent/x.raw", 0,
     'input.file: cannot open "/nonexistent/x.raw": no such file'),
    ("input.testsrc width=4 height=2 rate=0 ! output.file location=/dev/null/%d.png", 1,
     'output.file: cannot create folder "/dev/null": Not a directory'),
])
def test_frames_raise_the_chain_error_after_the_frames_before_it(text, produced, message):
    chain = kovkit.Chain.from_string(text)
    got = []
    with pytest.raises(kovkit.Error) as raised:
        for frame in chain.frames(count=5):
            got.append(frame)
    assert (len(got), str(raised.value)) == (produced, message)
    assert not chain.is_streaming()


def test_frames_time_out_when_the_chain_goes_quiet():
    # One frame a second: the first is due at once, the next after the timeout.
    chain = kovkit.Chain.from_string("input.testsrc width=4 height=2 rate=1")
    got = []
    with pytest.raises(TimeoutError) as raised:
        for frame in chain.frames(timeout=0.25):
            got.append(frame)
    assert (len(got), str(raised.value)) == (1, "no frame within 0.25 s")
    assert not chain.is_streaming()


@pytest.mark.parametrize("arguments, message", [
    ({"count": -1}, "count must be 0 or more, not -1"),
    ({"timeout": 0}, "timeout must be more than 0 seconds, not 0"),
])
def test_frames_arguments_are_checked(arguments, message):
    with pytest.raises(ValueError) as raised:
        kovkit.Chain().frames(**arguments)
    assert str(raised.value) == message
