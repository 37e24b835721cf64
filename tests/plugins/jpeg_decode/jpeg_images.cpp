// SPDX-License-Identifier: LGPL-2.1-or-later
// Test images for the JPEG units (see jpeg_images.h). The libjpeg calls sit
// in small functions with plain data only, as longjmp requires.
#include "jpeg_images.h"

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>

namespace jpegtest {
namespace {

struct JumpingErrors {
  jpeg_error_mgr pub;
  jmp_buf jump;
};

void quiet_error_exit(j_common_ptr cinfo) {
  longjmp(reinterpret_cast<JumpingErrors *>(cinfo->err)->jump, 1);
}

void quiet_message(j_common_ptr) {}

uint32_t next_random(uint32_t &state) {
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return state;
}

// Writes a JPEG into *out (malloc'd by libjpeg); false when libjpeg refused.
bool encode_raw(const uint8_t *pixels, int width, int height, int components,
                const EncodeOptions *options, const jpeg_scan_info *script, int script_scans,
                unsigned char **out, unsigned long *out_size) {
  jpeg_compress_struct cinfo;
  JumpingErrors jerr;
  cinfo.err = jpeg_std_error(&jerr.pub);
  jerr.pub.error_exit = quiet_error_exit;
  jerr.pub.output_message = quiet_message;
  if (setjmp(jerr.jump) != 0) {
    jpeg_destroy_compress(&cinfo);
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, out, out_size);
  cinfo.image_width = JDIMENSION(width);
  cinfo.image_height = JDIMENSION(height);
  cinfo.input_components = components;
  cinfo.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, options->quality, TRUE);
  cinfo.optimize_coding = options->optimize ? TRUE : FALSE;
  if (options->progressive) jpeg_simple_progression(&cinfo);
  if (script != nullptr) {
    cinfo.scan_info = script;
    cinfo.num_scans = script_scans;
  }
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row =
        const_cast<JSAMPROW>(pixels + size_t(cinfo.next_scanline) * width * components);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

// Decodes into out, which the caller sized from a first header pass.
bool decode_raw(const uint8_t *jpeg, size_t size, bool gray, int *width, int *height,
                int *components, uint8_t *out, size_t out_size) {
  jpeg_decompress_struct cinfo;
  JumpingErrors jerr;
  cinfo.err = jpeg_std_error(&jerr.pub);
  jerr.pub.error_exit = quiet_error_exit;
  jerr.pub.output_message = quiet_message;
  if (setjmp(jerr.jump) != 0) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, jpeg, static_cast<unsigned long>(size));
  jpeg_read_header(&cinfo, TRUE);
  *width = int(cinfo.image_width);
  *height = int(cinfo.image_height);
  *components = cinfo.num_components;
  const int out_components = gray ? 1 : 3;
  if (out == nullptr ||
      out_size < size_t(cinfo.image_width) * cinfo.image_height * out_components) {
    jpeg_destroy_decompress(&cinfo);
    return out == nullptr;
  }
  cinfo.out_color_space = gray ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_start_decompress(&cinfo);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = out + size_t(cinfo.output_scanline) * cinfo.output_width * out_components;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

// Offsets of the marker segments before the first scan: (offset of 0xFF,
// marker byte, segment length including its two length bytes).
struct Segment {
  size_t offset;
  uint8_t marker;
  size_t length;
};

std::vector<Segment> header_segments(const std::vector<uint8_t> &jpeg) {
  std::vector<Segment> segments;
  size_t pos = 2;  // after SOI
  while (pos + 4 <= jpeg.size() && jpeg[pos] == 0xFF) {
    const uint8_t marker = jpeg[pos + 1];
    const size_t length = size_t(jpeg[pos + 2]) << 8 | jpeg[pos + 3];
    segments.push_back({pos, marker, length});
    if (marker == 0xDA) break;  // start of scan
    pos += 2 + length;
  }
  return segments;
}

}  // namespace

std::vector<uint8_t> photo_rgb(int width, int height, uint32_t seed) {
  std::vector<uint8_t> rgb(size_t(width) * height * 3);
  uint32_t state = seed * 2654435761u + 1;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const double u = double(x) / width, v = double(y) / height;
      // Sky-like vertical gradient, a soft disc and gentle waves.
      const double disc = std::exp(-((u - 0.6) * (u - 0.6) + (v - 0.4) * (v - 0.4)) * 18.0);
      const double wave = std::sin(u * 9.0 + v * 4.0) * std::cos(v * 7.0 - u * 3.0);
      const double grain = double(next_random(state) % 9) - 4.0;  // fine texture
      const double r = 60 + 120 * v + 70 * disc + 18 * wave + grain;
      const double g = 80 + 90 * (1 - v) * u + 50 * disc + 22 * wave + grain;
      const double b = 150 - 90 * v + 20 * disc - 15 * wave + grain;
      uint8_t *p = &rgb[(size_t(y) * width + x) * 3];
      p[0] = uint8_t(std::lround(std::fmin(255.0, std::fmax(0.0, r))));
      p[1] = uint8_t(std::lround(std::fmin(255.0, std::fmax(0.0, g))));
      p[2] = uint8_t(std::lround(std::fmin(255.0, std::fmax(0.0, b))));
    }
  }
  return rgb;
}

std::vector<uint8_t> noise(int width, int height, int components, uint32_t seed) {
  std::vector<uint8_t> bytes(size_t(width) * height * components);
  uint32_t state = seed * 2654435761u + 1;
  for (auto &b : bytes) b = uint8_t(next_random(state) >> 24);
  return bytes;
}

std::vector<uint8_t> encode(const std::vector<uint8_t> &pixels, int width, int height,
                            int components, const EncodeOptions &options) {
  // A grey progressive script: DC first and refinement, then each AC
  // coefficient on its own, coarse then refined, as many scans as asked.
  std::vector<jpeg_scan_info> script;
  if (options.scans > 0) {
    script.push_back({1, {0}, 0, 0, 0, 1});
    for (int k = 1; k <= 63; ++k) script.push_back({1, {0}, k, k, 0, 1});
    script.push_back({1, {0}, 0, 0, 1, 0});
    for (int k = 1; k <= 63; ++k) script.push_back({1, {0}, k, k, 1, 0});
    if (options.scans >= 65 && options.scans < int(script.size())) {
      // Every coefficient coarse, then as many refinements as there is room
      // for: the others stay coarse.
      script.resize(size_t(options.scans));
    } else if (options.scans < int(script.size())) {
      // Keep the first scans and finish each coefficient at full precision.
      script.clear();
      script.push_back({1, {0}, 0, 0, 0, 0});
      const int ac_scans = options.scans - 1;
      for (int k = 1; k <= ac_scans; ++k) {
        const int first = 1 + (k - 1) * 63 / ac_scans, last = k * 63 / ac_scans;
        script.push_back({1, {0}, first, last, 0, 0});
      }
    }
  }
  unsigned char *out = nullptr;
  unsigned long size = 0;
  const bool ok = encode_raw(pixels.data(), width, height, components, &options,
                             script.empty() ? nullptr : script.data(), int(script.size()), &out,
                             &size);
  std::vector<uint8_t> jpeg;
  if (ok) jpeg.assign(out, out + size);
  free(out);
  return jpeg;
}

Decoded decode(const std::vector<uint8_t> &jpeg, bool gray) {
  Decoded d;
  if (!decode_raw(jpeg.data(), jpeg.size(), gray, &d.width, &d.height, &d.components, nullptr,
                  0))
    return d;
  d.pixels.resize(size_t(d.width) * d.height * (gray ? 1 : 3));
  d.ok = decode_raw(jpeg.data(), jpeg.size(), gray, &d.width, &d.height, &d.components,
                    d.pixels.data(), d.pixels.size());
  return d;
}

std::vector<uint8_t> strip_huffman_tables(const std::vector<uint8_t> &jpeg) {
  std::vector<uint8_t> out(jpeg.begin(), jpeg.begin() + 2);
  size_t pos = 2;
  for (const Segment &s : header_segments(jpeg)) {
    out.insert(out.end(), jpeg.begin() + pos, jpeg.begin() + s.offset);
    if (s.marker == 0xDA) {
      pos = s.offset;
      break;
    }
    if (s.marker != 0xC4) out.insert(out.end(), jpeg.begin() + s.offset,
                                     jpeg.begin() + s.offset + 2 + s.length);
    pos = s.offset + 2 + s.length;
  }
  out.insert(out.end(), jpeg.begin() + pos, jpeg.end());
  return out;
}

int count_huffman_segments(const std::vector<uint8_t> &jpeg) {
  int n = 0;
  for (const Segment &s : header_segments(jpeg)) n += s.marker == 0xC4;
  return n;
}

std::vector<uint8_t> with_frame_size(const std::vector<uint8_t> &jpeg, int width, int height) {
  std::vector<uint8_t> out = jpeg;
  for (const Segment &s : header_segments(jpeg)) {
    if (s.marker >= 0xC0 && s.marker <= 0xC2) {
      // Length (2), precision (1), then height and width, big-endian.
      out[s.offset + 5] = uint8_t(height >> 8);
      out[s.offset + 6] = uint8_t(height);
      out[s.offset + 7] = uint8_t(width >> 8);
      out[s.offset + 8] = uint8_t(width);
    }
  }
  return out;
}

double psnr(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b) {
  if (a.size() != b.size() || a.empty()) return 0.0;
  double sum = 0.0;
  for (size_t i = 0; i < a.size(); ++i) {
    const double d = double(a[i]) - double(b[i]);
    sum += d * d;
  }
  if (sum == 0.0) return INFINITY;
  return 10.0 * std::log10(255.0 * 255.0 * double(a.size()) / sum);
}

}  // namespace jpegtest
