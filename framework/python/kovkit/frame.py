# SPDX-License-Identifier: LGPL-2.1-or-later
"""kovkit.Frame: a frame of a chain as Python values.

A Frame pairs a framework frame (Kovkit.FrameBuffer, in .buffer) with the
format it was produced in. .array is a NumPy view of the frame's bytes,
without a copy; .metadata the frame's metadata as a dict; .timestamp and
.format the rest. A Frame, and every array taken from it, holds a reference
to the frame buffer: the bytes stay valid and unchanged while either lives
(the framework recycles a frame only when nobody else holds it).
"""

import collections
import ctypes
import struct
import weakref

from gi.repository import Kovkit

FrameFormat = collections.namedtuple("FrameFormat", "code width height stride")
FrameFormat.__doc__ = """A frame's format: four-character code ("GREY"), width and
height in pixels, row stride in bytes (0 for compressed frames)."""

# Sample types of the formats whose samples are not bytes (NumPy type codes);
# the pixel-format table gives every format's size.
_SAMPLE_TYPES = {"LG16": "=u2", "FG32": "=f4"}

# Metadata whose layout the framework's units agree on: native-endian gint32s.
_METADATA_LAYOUTS = {"roi": struct.Struct("=4i"), "marker:x": struct.Struct("=i"),
                     "marker:y": struct.Struct("=i"), "marker:r": struct.Struct("=i")}


# What the framework says about a format, worked out once per format rather
# than once per frame: FrameFormat of each Kovkit.UnitFormat (formats do not
# change once made), and the array layout of each FrameFormat.
_frame_formats = weakref.WeakKeyDictionary()
_layouts = {}
_LAYOUTS_KEPT = 256


def code_string(code):
    """The four characters of a pixel format code, or its hex value when
    they are not printable."""
    info = Kovkit.pixel_format_get_info(code)
    if info is not None:
        return info.name
    chars = code.to_bytes(4, "little")
    if all(0x20 <= c <= 0x7E for c in chars):
        return chars.decode("ascii")
    return "0x%x" % code


class _FrameBytes:
    """What a frame's array is made from: NumPy's array interface over the
    frame's bytes, and the frame buffer that keeps them alive (the array's
    base)."""

    __slots__ = ("buffer", "__array_interface__")

    def __init__(self, buffer, interface):
        self.buffer = buffer
        self.__array_interface__ = interface


class Frame:
    """A frame and its format.

    Frame(buffer, format, writable=False): buffer is a Kovkit.FrameBuffer,
    format a Kovkit.UnitFormat or a FrameFormat (None for a frame without
    one, whose array is its bytes as a flat uint8 array). writable=True makes
    .array a writable view of all the frame's bytes (its length, as
    bytesused is not set yet): only for a frame of one's own that has not
    been handed on; a produced frame must not change.
    """

    __slots__ = ("buffer", "_unit_format", "_format", "_writable", "_array", "_metadata")

    def __init__(self, buffer, format, writable=False):
        self.buffer = buffer
        self._unit_format = format
        self._format = format if format is None or isinstance(format, FrameFormat) else None
        self._writable = bool(writable)
        self._array = None
        self._metadata = None

    def __repr__(self):
        f = self.format
        if f is None:
            return "<kovkit.Frame %d bytes at %d us>" % (self.bytesused, self.timestamp)
        return "<kovkit.Frame %s %dx%d at %d us>" % (f.code, f.width, f.height, self.timestamp)

    @property
    def format(self):
        """The FrameFormat (code, width, height, stride), or None."""
        if self._format is None and self._unit_format is not None:
            u = self._unit_format
            f = _frame_formats.get(u)
            if f is None:
                f = FrameFormat(code_string(u.pixelformat), u.width, u.height, u.row_stride)
                _frame_formats[u] = f
            self._format = f
        return self._format

    @property
    def timestamp(self):
        """Microseconds, as the producer set them."""
        return self.buffer.timestamp

    @property
    def bytesused(self):
        """Bytes of the frame that hold its picture (at most its length)."""
        return min(self.buffer.bytesused, self.buffer.length)

    @property
    def array(self):
        """A NumPy view of the frame's bytes, shaped by its format:
        (height, width, 3) for RGB3/BGR3, (height, width, 4) for RGB4/BGR4,
        (height, width) for GREY and the Bayer formats (uint8), LG16 (uint16)
        and FG32 (float32), rows the format's stride apart; one flat uint8
        dimension of the bytes used for compressed, planar and YUV formats.
        Read-only unless the Frame was made writable. Raises ValueError when
        the frame is shorter than its format needs."""
        if self._array is None:
            self._array = _numpy().asarray(_FrameBytes(self.buffer, self._interface()))
        return self._array

    def _interface(self):
        buffer = self.buffer
        length = buffer.length
        # A frame being made has no bytesused yet: its view covers all of it.
        used = length if self._writable else min(buffer.bytesused, length)
        address = buffer.data
        if not address:
            used = 0
        layout = self._layout(used)
        if layout is None:
            shape, strides, typestr = (used,), None, "|u1"
        else:
            shape, strides, typestr = layout
        if used == 0:
            # NumPy takes a null address for "allocate": an empty array points
            # at a static byte instead.
            address = ctypes.addressof(_EMPTY)
        return {"version": 3, "shape": shape, "strides": strides, "typestr": typestr,
                "data": (address, not self._writable)}

    def _layout(self, used):
        """(shape, strides, NumPy type code) of an image format, None for a flat
        view."""
        f = self.format
        if f is None:
            return None
        known = _layouts.get(f)
        if known is None:
            if len(_layouts) >= _LAYOUTS_KEPT:
                _layouts.clear()
            known = _layouts[f] = _layout_of(f)
        layout, needed = known
        if needed > used:
            raise ValueError("a %dx%d %s frame with rows of %d bytes needs %d bytes, this one "
                             "holds %d" % (f.width, f.height, f.code, f.stride, needed, used))
        return layout

    @property
    def metadata(self):
        """The frame's metadata: "roi" as (x, y, width, height),
        "marker:x", "marker:y" and "marker:r" as ints, other keys as bytes."""
        if self._metadata is None:
            entries = {}
            for key in self.buffer.metadata_keys():
                value = bytes(self.buffer.metadata_get(key) or b"")
                layout = _METADATA_LAYOUTS.get(key)
                if layout is not None and len(value) == layout.size:
                    value = layout.unpack(value)
                    if len(value) == 1:
                        value = value[0]
                entries[key] = value
            self._metadata = entries
        return self._metadata


def _numpy():
    """NumPy, imported by the first program that looks at pixels."""
    global _numpy_module
    if _numpy_module is None:
        import numpy
        _numpy_module = numpy
    return _numpy_module


_numpy_module = None


def _layout_of(f):
    """(layout, bytes needed) of a FrameFormat: the layout (shape, strides,
    NumPy type code) of an image format, None for a flat view (0 bytes
    needed). ValueError for a format that cannot describe an image."""
    code = Kovkit.pixel_format_from_string(f.code)
    info = Kovkit.pixel_format_get_info(code) if code else None
    if info is None or info.compressed or info.planes != 1 or info.block_width != 1:
        return None, 0
    needed = Kovkit.pixel_format_min_frame_size(code, f.width, f.height, f.stride)
    if needed == 0:
        raise ValueError("a %dx%d %s frame cannot have rows of %d bytes"
                         % (f.width, f.height, f.code, f.stride))
    typestr = _SAMPLE_TYPES.get(f.code, "|u1")
    sample = int(typestr[2:])
    pixel = info.bytes_per_pixel
    if pixel == sample:
        return ((f.height, f.width), (f.stride, pixel), typestr), needed
    return ((f.height, f.width, pixel // sample), (f.stride, pixel, sample), typestr), needed


_EMPTY = ctypes.c_uint8(0)
