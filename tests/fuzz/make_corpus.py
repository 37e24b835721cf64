#!/usr/bin/python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""Writes the fuzz targets' seed corpora: make_corpus.py OUT makes
OUT/<target>/<seed> for every target, in the byte layouts the targets read
(tests/fuzz/fuzz_support.h). The images are small and made here: every pixel
format, padded strides, PNG and JPEG files of each kind, a greyscale and a
progressive JPEG and one whose Huffman tables were removed."""
import os
import struct
import sys

import cv2
import numpy as np

CODES = ["RGB3", "BGR3", "RGB4", "BGR4", "GREY", "LG16", "FG32", "BA81", "XXX2", "XXX3",
         "XXX4", "I420", "YUYV", "UYVY", "MJPG"]
BYTES_PER_PIXEL = {"RGB3": 3, "BGR3": 3, "RGB4": 4, "BGR4": 4, "GREY": 1, "LG16": 2,
                   "FG32": 4, "BA81": 1, "XXX2": 1, "XXX3": 1, "XXX4": 1, "YUYV": 2,
                   "UYVY": 2, "I420": 1}
# Controls of each unit, in order: four bytes each.
CONTROLS = {"fuzz_jpeg_compress": 1, "fuzz_fast_debayer": 1, "fuzz_flip": 2,
            "fuzz_to_rgb8": 0, "fuzz_colorspace": 0, "fuzz_canny": 3, "fuzz_hough": 6}


def picture(width, height, channels, seed=0):
    """Smooth shapes plus a circle: something for edges and circles to find."""
    y, x = np.mgrid[0:height, 0:width]
    base = ((x * 7 + y * 13 + seed * 31) % 256).astype(np.uint8)
    cv2.circle(base, (width // 2, height // 2), max(1, min(width, height) // 3), 255, -1)
    if channels == 1:
        return base
    return np.dstack([np.roll(base, k, axis=1) for k in range(channels)])


def frame_bytes(code, width, height, stride):
    if code == "MJPG":
        return jpeg(picture(width, height, 3))
    rows = height * 3 // 2 if code == "I420" else height
    row = picture(width * BYTES_PER_PIXEL[code], rows, 1).tobytes()
    out = bytearray()
    for r in range(rows):
        line = row[r * width * BYTES_PER_PIXEL[code]:(r + 1) * width * BYTES_PER_PIXEL[code]]
        out += line + bytes(stride - len(line))
    return bytes(out)


def jpeg(image, *flags):
    ok, data = cv2.imencode(".jpg", image, list(flags))
    assert ok
    return data.tobytes()


def without_huffman_tables(data):
    """The JPEG with its DHT segments removed, as Motion-JPEG cameras send it."""
    out, i = bytearray(data[:2]), 2
    while i + 4 <= len(data):
        marker, length = data[i + 1], struct.unpack(">H", data[i + 2:i + 4])[0]
        if marker == 0xDA:  # start of scan: the rest is entropy-coded data
            out += data[i:]
            break
        if marker != 0xC4:
            out += data[i:i + 2 + length]
        i += 2 + length
    return bytes(out)


def controls(target, values):
    n = CONTROLS[target]
    values = (list(values) + [0] * n)[:n]
    return b"".join(struct.pack("<I", v) for v in values)


def unit_seed(target, code, width, height, stride, ctl=(), frames=None, roi=None):
    frames = frames if frames is not None else [frame_bytes(code, width, height, stride)]
    out = bytes([CODES.index(code)]) + struct.pack("<iii", width, height, stride)
    out += controls(target, ctl) + bytes([len(frames) - 1])
    for f in frames:
        out += bytes([0]) + struct.pack("<I", len(f))
        if roi is None:
            out += b"\xff"
        else:
            out += bytes([16]) + struct.pack("<iiii", *roi)
        out += f
    return out


def main():
    root = sys.argv[1]
    seeds = {}

    def add(target, name, data):
        seeds.setdefault(target, {})[name] = data

    sizes = [(1, 1), (3, 5), (5, 3), (7, 7), (16, 9)]
    for target in CONTROLS:
        for code in CODES:
            for w, h in sizes:
                stride = 0 if code == "MJPG" else w * BYTES_PER_PIXEL[code]
                add(target, f"{code}-{w}x{h}", unit_seed(target, code, w, h, stride))
            if code != "MJPG":
                stride = 16 * BYTES_PER_PIXEL[code] + 5
                add(target, f"{code}-padded", unit_seed(target, code, 16, 9, stride))
    for q in (1, 50, 100):
        for code in ("RGB3", "BGR4", "GREY"):
            add("fuzz_jpeg_compress", f"quality{q}-{code}",
                unit_seed("fuzz_jpeg_compress", code, 16, 8, 16 * BYTES_PER_PIXEL[code], [q - 1]))
    for t in range(4):
        add("fuzz_fast_debayer", f"tiling{t}",
            unit_seed("fuzz_fast_debayer", "BA81", 8, 6, 8, [t]))
    add("fuzz_flip", "both", unit_seed("fuzz_flip", "RGB3", 5, 3, 15, [1, 1]))
    for target in ("fuzz_canny", "fuzz_hough"):
        for roi in [(2, 2, 20, 20), (-5, -5, 100, 100), (0, 0, 0, 0), (30, 30, 1, 1)]:
            add(target, "roi%d_%d_%d_%d" % roi,
                unit_seed(target, "GREY", 32, 32, 32, frames=[picture(32, 32, 1).tobytes()],
                          roi=roi))
        add(target, "grey64", unit_seed(target, "GREY", 64, 48, 64))

    colour = picture(16, 8, 3)
    grey = picture(16, 8, 1)
    jpegs = {
        "baseline": jpeg(colour),
        "grey": jpeg(grey),
        "progressive": jpeg(colour, cv2.IMWRITE_JPEG_PROGRESSIVE, 1),
        "optimized": jpeg(colour, cv2.IMWRITE_JPEG_OPTIMIZE, 1),
        "no-huffman": without_huffman_tables(jpeg(colour)),
        "odd": jpeg(picture(13, 7, 3)),
    }
    for name, data in jpegs.items():
        h, w = (7, 13) if name == "odd" else (8, 16)
        add("fuzz_jpeg_decompress", name, struct.pack("<ii", w, h) + data)
    add("fuzz_jpeg_decompress", "wrong-size", struct.pack("<ii", 8, 16) + jpegs["baseline"])

    def file_seed(kind, contents, raw=0, width=16, height=8, loop=0):
        return bytes([kind, raw]) + struct.pack("<HH", width, height) + bytes([loop]) + contents

    png = lambda image: cv2.imencode(".png", image)[1].tobytes()
    add("fuzz_file_input", "png-rgb", file_seed(0, png(colour)))
    add("fuzz_file_input", "png-grey", file_seed(0, png(grey)))
    add("fuzz_file_input", "png-rgba", file_seed(0, png(picture(16, 8, 4))))
    add("fuzz_file_input", "png-16bit", file_seed(0, png(picture(16, 8, 1).astype(np.uint16) * 257)))
    for name, data in jpegs.items():
        add("fuzz_file_input", "jpg-" + name, file_seed(1, data))
    add("fuzz_file_input", "mjpg", file_seed(2, jpegs["baseline"] * 3, loop=1))
    for i, fmt in enumerate(["GREY", "RGB3", "BGR4", "BA81", "YUYV", "I420", "LG16"]):
        add("fuzz_file_input", "raw-" + fmt, file_seed(3, frame_bytes(fmt, 16, 8, 16 * BYTES_PER_PIXEL[fmt]) * 2, raw=i))

    chains = [
        "input.testsrc ! util.flip flip-h=true flip-v=1",
        "input.testsrc width=8 height=6 format=BA81 ! convert.fast_debayer tiling=1",
        "input.testsrc ! convert.jpeg_compress quality=50 ! convert.jpeg_decompress",
        "input.testsrc ! util.roi x=1 y=2 width=3 height=4 ! opencv.convert_canny "
        "thresh1=10.5 aperture=3 ! detect.opencv.hough dp=1.5",
        "input.file location=/nonexistent/x%03d.png loop=yes ! output.file location=",
        "util.roi x=-1 ! convert.to_rgb8 ! convert.colorspace",
    ]
    for i, text in enumerate(chains):
        add("fuzz_chain_text", f"chain{i}", b"\x00" + text.encode())
    add("fuzz_chain_text", "controls", b"\x80" + b"true\n3\n1e9\n-0.5\nnick\n\xff\xfe\n")

    for target, files in seeds.items():
        os.makedirs(os.path.join(root, target), exist_ok=True)
        for name, data in files.items():
            with open(os.path.join(root, target, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
