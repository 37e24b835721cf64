/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Helpers for tests that render with the offscreen GL view and read the
// picture back: an owned view, RGBA read-back, pixel access and frames whose
// pixels encode their coordinates.
#ifndef KOV_GL_TEST_UTIL_H
#define KOV_GL_TEST_UTIL_H

#include <gtest/gtest.h>
#include <kovkit/kovkit.h>

#include <epoxy/gl.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace kovtest::gl {

struct ViewDeleter {
  void operator()(KovGLView *view) const { kov_gl_view_free(view); }
};
using ViewPtr = std::unique_ptr<KovGLView, ViewDeleter>;

// A new offscreen view, made current.
inline ViewPtr make_view() {
  GError *error = nullptr;
  ViewPtr view(kov_gl_view_new_offscreen(&error));
  EXPECT_NE(view, nullptr) << (error != nullptr ? error->message : "");
  g_clear_error(&error);
  if (view) {
    EXPECT_TRUE(kov_gl_view_make_current(view.get()));
  }
  return view;
}

// The view's picture, RGBA, top row first.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgba;

  // 0xRRGGBB of pixel (x, y).
  uint32_t rgb(int x, int y) const {
    const uint8_t *p = &rgba[(size_t(y) * width + x) * 4];
    return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
  }
  uint8_t alpha(int x, int y) const { return rgba[(size_t(y) * width + x) * 4 + 3]; }
};

inline Picture read_picture(KovGLView *view) {
  Picture picture;
  picture.width = kov_gl_view_get_width(view);
  picture.height = kov_gl_view_get_height(view);
  picture.rgba.assign(size_t(picture.width) * picture.height * 4, 0xAB);
  EXPECT_TRUE(kov_gl_view_read_pixels(view, picture.rgba.data(), size_t(picture.width) * 4));
  return picture;
}

// Fills the bound framebuffer with one colour (0xRRGGBB).
inline void clear_to(uint32_t rgb) {
  glClearColor(((rgb >> 16) & 0xFF) / 255.0f, ((rgb >> 8) & 0xFF) / 255.0f, (rgb & 0xFF) / 255.0f,
               1.0f);
  glClear(GL_COLOR_BUFFER_BIT);
}

// Channel c of pixel (x, y) of a coordinate-coded image: distinct for nearby
// pixels and never 0, so a pixel that was not drawn (black) stands out.
inline uint8_t coord_value(int x, int y, int c) {
  return uint8_t((x * 7 + y * 13 + c * 71) % 250 + 5);
}

// An RGB image (3 bytes per pixel, R first) with rows stride bytes apart.
inline std::vector<uint8_t> coord_rgb(int width, int height, int stride) {
  std::vector<uint8_t> bytes(size_t(stride) * height, 0xEE);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < 3; ++c) bytes[size_t(y) * stride + x * 3 + c] = coord_value(x, y, c);
  return bytes;
}

inline uint32_t coord_rgb_pixel(int x, int y) {
  return uint32_t(coord_value(x, y, 0)) << 16 | uint32_t(coord_value(x, y, 1)) << 8 |
         coord_value(x, y, 2);
}

}  // namespace kovtest::gl

#endif
