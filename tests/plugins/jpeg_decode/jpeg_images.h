/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Test images for the JPEG units: a photograph-like picture, JPEG files made
// and read with libjpeg directly, and marker surgery on JPEG bytes.
#ifndef KOV_TEST_JPEG_IMAGES_H
#define KOV_TEST_JPEG_IMAGES_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace jpegtest {

// Packed RGB rows of a synthetic photograph: smooth gradients, soft shapes
// and a fine texture, so that JPEG error figures resemble a real picture's.
std::vector<uint8_t> photo_rgb(int width, int height, uint32_t seed = 1);
// Packed rows of uniform noise, components bytes per pixel.
std::vector<uint8_t> noise(int width, int height, int components, uint32_t seed = 7);

struct EncodeOptions {
  int quality = 94;
  bool optimize = false;     // image-specific Huffman tables
  bool progressive = false;  // libjpeg's standard progressive script
  int scans = 0;             // grey only: a progressive script of this many scans (2..128)
};

// A JPEG image of packed rows with 1 (grey) or 3 (RGB) components; empty
// when libjpeg refused.
std::vector<uint8_t> encode(const std::vector<uint8_t> &pixels, int width, int height,
                            int components, const EncodeOptions &options = {});

struct Decoded {
  bool ok = false;
  int width = 0;
  int height = 0;
  int components = 0;  // of the image as coded
  std::vector<uint8_t> pixels;  // packed, 3 (RGB) or 1 (grey) bytes per pixel
};

// Decodes with libjpeg's own memory source into RGB or grey.
Decoded decode(const std::vector<uint8_t> &jpeg, bool gray = false);

// The JPEG without its Huffman table segments (as Motion-JPEG cameras send).
std::vector<uint8_t> strip_huffman_tables(const std::vector<uint8_t> &jpeg);
// Number of Huffman table segments before the first scan.
int count_huffman_segments(const std::vector<uint8_t> &jpeg);
// The JPEG with the image size in its frame header replaced.
std::vector<uint8_t> with_frame_size(const std::vector<uint8_t> &jpeg, int width, int height);

// Peak signal-to-noise ratio of two equally long sample arrays, in dB.
double psnr(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b);

}  // namespace jpegtest

#endif
