// SPDX-License-Identifier: LGPL-2.1-or-later
// Pixel routines: Bayer plane split and borders, demosaicing
// of every tiling (exact values on flat colours and ramps, odd and tiny
// sizes written whole and without stray reads), vector against scalar code,
// and BGRA to RGB.
#include <gtest/gtest.h>
#include <kovkit/pixel.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "pixel_scalar.h"
#include "pixel_simd.h"

namespace {

constexpr guint32 kTilings[4] = {KOV_PIX_FMT_XXX2, KOV_PIX_FMT_XXX3, KOV_PIX_FMT_BA81,
                                 KOV_PIX_FMT_XXX4};

// Colour channel (0 = R, 1 = G, 2 = B) sampled at (x, y) of a mosaic.
int channel_at(guint32 tiling, int x, int y) {
  const char *layout = tiling == KOV_PIX_FMT_XXX2   ? "GBRG"
                       : tiling == KOV_PIX_FMT_XXX3 ? "GRBG"
                       : tiling == KOV_PIX_FMT_XXX4 ? "RGGB"
                                                    : "BGGR";
  const char c = layout[(y & 1) * 2 + (x & 1)];
  return c == 'R' ? 0 : c == 'G' ? 1 : 2;
}

struct Rgb {
  int r, g, b;
};

// A mosaic of width × height at the given stride from a colour function.
template <typename F>
std::vector<guint8> mosaic(guint32 tiling, int width, int height, int stride, F colour) {
  std::vector<guint8> m(size_t(stride) * height, 0xEE);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const Rgb c = colour(x, y);
      const int ch = channel_at(tiling, x, y);
      m[size_t(y) * stride + x] = guint8(ch == 0 ? c.r : ch == 1 ? c.g : c.b);
    }
  return m;
}

int align16(int v) { return (v + 15) & ~15; }

// Memory of exactly the given size, so that AddressSanitizer sees any read
// outside it.
struct Block {
  explicit Block(size_t n) : p(static_cast<guint8 *>(aligned_alloc(16, (n + 15) & ~size_t(15)))) {}
  ~Block() { free(p); }
  Block(const Block &) = delete;
  Block &operator=(const Block &) = delete;
  guint8 *p;
};

// The fast debayer unit's quarter planes: align16(w/2) + 32 bytes per row,
// h/2 + 2 rows, origin one row down and 16 bytes in.
struct QuarterPlanes {
  QuarterPlanes(int width, int height)
      : hw(width / 2), hh(height / 2), stride(align16(hw) + 32),
        blocks{Block(size_t(stride) * (hh + 2)), Block(size_t(stride) * (hh + 2)),
               Block(size_t(stride) * (hh + 2)), Block(size_t(stride) * (hh + 2))} {
    for (int i = 0; i < 4; ++i) origins[i] = blocks[i].p + stride + 16;
  }
  void fill(const guint8 *src, int src_stride) {
    kov_pixel_split_bayer_planes_8u(origins, stride, src, src_stride, hw, hh);
    for (guint8 *o : origins) kov_pixel_replicate_border_8u(o, stride, hw, hh);
  }
  int hw, hh, stride;
  Block blocks[4];
  guint8 *origins[4];
};

// The unit's grey plane: align16(w) + 32 bytes per row, h + 4 rows, origin
// two rows down and 16 bytes in.
struct GreyPlane {
  GreyPlane(int width, int height)
      : w(width), h(height), stride(align16(width) + 32), block(size_t(stride) * (height + 4)),
        origin(block.p + 2 * stride + 16) {}
  void fill(const guint8 *src, int src_stride) {
    for (int y = 0; y < h; ++y) std::memcpy(origin + y * stride, src + y * src_stride, w);
    kov_pixel_replicate_bayer_border_8u(origin, stride, w, h);
  }
  int w, h, stride;
  Block block;
  guint8 *origin;
};

// Demosaics a mosaic to BGRA through the quarter planes.
std::vector<guint8> to_bgra(const std::vector<guint8> &m, int width, int height, int src_stride,
                            int dst_stride, guint32 tiling, bool scalar = false) {
  QuarterPlanes planes(width, height);
  planes.fill(m.data(), src_stride);
  std::vector<guint8> out(size_t(dst_stride ? dst_stride : width * 4) * height, 0x5A);
  if (scalar)
    kov::pixel::scalar::bayer_interpolate_to_8u_bgra(planes.origins, planes.stride, out.data(),
                                                     dst_stride, width, height, tiling);
  else
    kov_pixel_bayer_interpolate_to_8u_bgra(planes.origins, planes.stride, out.data(), dst_stride,
                                           width, height, tiling);
  return out;
}

std::vector<guint8> to_gray(const std::vector<guint8> &m, int width, int height, int src_stride,
                            int dst_stride, guint32 tiling, bool scalar = false) {
  GreyPlane plane(width, height);
  plane.fill(m.data(), src_stride);
  std::vector<guint8> out(size_t(dst_stride ? dst_stride : width) * height, 0x5A);
  if (scalar)
    kov::pixel::scalar::bayer_interpolate_to_8u_gray(plane.origin, plane.stride, out.data(),
                                                     dst_stride, width, height, tiling);
  else
    kov_pixel_bayer_interpolate_to_8u_gray(plane.origin, plane.stride, out.data(), dst_stride,
                                           width, height, tiling);
  return out;
}

std::vector<guint8> random_bytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<guint8> v(n);
  for (auto &b : v) b = guint8(rng());
  return v;
}

// BT.601 luma in 64ths, as the grey demosaic weighs the colours.
int luma(Rgb c) { return (19 * c.r + 38 * c.g + 7 * c.b + 32) >> 6; }

TEST(BayerPlanesTest, SplitPutsEachCellPositionInItsPlane) {
  // 35 × 7: an odd last column and row are left out of the planes.
  const int w = 35, h = 7, stride = 40;
  std::vector<guint8> src(stride * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < stride; ++x) src[y * stride + x] = guint8(y * 64 + x);
  QuarterPlanes planes(w, h);
  kov_pixel_split_bayer_planes_8u(planes.origins, planes.stride, src.data(), stride, planes.hw,
                                  planes.hh);
  ASSERT_EQ(planes.hw, 17);
  for (int y = 0; y < planes.hh; ++y)
    for (int x = 0; x < planes.hw; ++x) {
      const int at = y * planes.stride + x;
      EXPECT_EQ(planes.origins[0][at], src[(2 * y) * stride + 2 * x]);
      EXPECT_EQ(planes.origins[1][at], src[(2 * y) * stride + 2 * x + 1]);
      EXPECT_EQ(planes.origins[2][at], src[(2 * y + 1) * stride + 2 * x]);
      EXPECT_EQ(planes.origins[3][at], src[(2 * y + 1) * stride + 2 * x + 1]);
    }
}

TEST(BayerPlanesTest, ReplicateBorderCopiesEdgesIntoTheMargin) {
  const int w = 5, h = 3, stride = 48;
  Block b(stride * (h + 2));
  guint8 *o = b.p + stride + 16;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) o[y * stride + x] = guint8(10 * y + x);
  kov_pixel_replicate_border_8u(o, stride, w, h);
  for (int y = -1; y <= h; ++y) {
    const int sy = y < 0 ? 0 : y >= h ? h - 1 : y;
    for (int x = -16; x < w + 16; ++x) {
      const int sx = x < 0 ? 0 : x >= w ? w - 1 : x;
      EXPECT_EQ(o[y * stride + x], 10 * sy + sx) << "at " << x << "," << y;
    }
  }
}

TEST(BayerPlanesTest, BayerBorderKeepsTheColourPattern) {
  for (int w : {1, 2, 3, 6}) {
    for (int h : {1, 2, 5}) {
      const int stride = align16(w) + 32;
      Block b(stride * (h + 4));
      guint8 *o = b.p + 2 * stride + 16;
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) o[y * stride + x] = guint8(((y & 1) * 2 + (x & 1)) * 50 + 1);
      kov_pixel_replicate_bayer_border_8u(o, stride, w, h);
      for (int y = -2; y < h + 2; ++y)
        for (int x = -16; x < w + 16; ++x) {
          // Where the mosaic has both parities, the margin keeps the parity.
          const int py = h > 1 ? (y & 1) : 0, px = w > 1 ? (x & 1) : 0;
          EXPECT_EQ(o[y * stride + x], (py * 2 + px) * 50 + 1)
              << w << "x" << h << " at " << x << "," << y;
        }
    }
  }
}

// Every tiling: a flat colour is reproduced exactly everywhere, the ramps of
// each channel exactly two pixels away from the border; alpha is 255.
TEST(BayerInterpolateTest, FlatColourIsExactForEveryTiling) {
  const int w = 70, h = 38, dst_stride = w * 4 + 8;
  const Rgb colour{200, 90, 30};
  for (guint32 tiling : kTilings) {
    const auto m = mosaic(tiling, w, h, w, [&](int, int) { return colour; });
    const auto out = to_bgra(m, w, h, w, dst_stride, tiling);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const guint8 *p = &out[y * dst_stride + x * 4];
        ASSERT_EQ(p[0], colour.b) << tiling << " " << x << "," << y;
        ASSERT_EQ(p[1], colour.g);
        ASSERT_EQ(p[2], colour.r);
        ASSERT_EQ(p[3], 255);
      }
    const auto grey = to_gray(m, w, h, w, w, tiling);
    for (int i = 0; i < w * h; ++i) ASSERT_EQ(grey[i], luma(colour)) << tiling << " " << i;
  }
}

TEST(BayerInterpolateTest, RampsAreExactAwayFromTheBorder) {
  const int w = 67, h = 41, dst_stride = w * 4;
  auto colour = [](int x, int y) { return Rgb{2 * x + y, 3 * y + 4, 250 - 3 * x}; };
  for (guint32 tiling : kTilings) {
    const auto m = mosaic(tiling, w, h, w, colour);
    const auto out = to_bgra(m, w, h, w, dst_stride, tiling);
    // The quarter planes hold whole cells only (66 × 40 here): the odd last
    // column and row are extrapolated from the margin, not interpolated.
    for (int y = 2; y < h / 2 * 2 - 2; ++y)
      for (int x = 2; x < w / 2 * 2 - 2; ++x) {
        const Rgb c = colour(x, y);
        const guint8 *p = &out[y * dst_stride + x * 4];
        ASSERT_EQ(p[0], c.b) << "tiling " << tiling << " at " << x << "," << y;
        ASSERT_EQ(p[1], c.g) << "tiling " << tiling << " at " << x << "," << y;
        ASSERT_EQ(p[2], c.r) << "tiling " << tiling << " at " << x << "," << y;
      }
    // The grey image is the luma of the same colours, within rounding.
    const auto grey = to_gray(m, w, h, w, w, tiling);
    for (int y = 2; y < h - 2; ++y)
      for (int x = 2; x < w - 2; ++x) ASSERT_NEAR(grey[y * w + x], luma(colour(x, y)), 1);
  }
}

TEST(BayerInterpolateTest, WrongTilingSwapsColours) {
  // A red picture read with red and blue exchanged comes out blue: the
  // tiling really steers the interpretation.
  const int w = 32, h = 8;
  const auto m = mosaic(KOV_PIX_FMT_XXX4, w, h, w, [](int, int) { return Rgb{255, 0, 0}; });
  const auto out = to_bgra(m, w, h, w, w * 4, KOV_PIX_FMT_BA81);
  const guint8 *p = &out[4 * w * 4 + 8 * 4];
  EXPECT_EQ(p[0], 255);
  EXPECT_EQ(p[1], 0);
  EXPECT_EQ(p[2], 0);
}

// Odd and tiny sizes: every pixel of width × height is written (alpha 255,
// a flat colour reproduced), row padding is untouched, and the planes are
// exactly as large as the unit makes them (AddressSanitizer checks reads).
TEST(BayerInterpolateTest, OddAndTinySizesAreWrittenWhole) {
  const int sizes[][2] = {{1, 1}, {2, 2}, {3, 5}, {5, 3}, {1, 6}, {6, 1}, {2, 3},
                          {33, 3}, {35, 2}, {47, 9}, {64, 7}, {7, 64}};
  const Rgb colour{40, 160, 220};
  for (const auto &s : sizes) {
    const int w = s[0], h = s[1], dst_stride = w * 4 + 4;
    for (guint32 tiling : kTilings) {
      const auto m = mosaic(tiling, w, h, w, [&](int, int) { return colour; });
      const auto out = to_bgra(m, w, h, w, dst_stride, tiling);
      const bool has_cell = w >= 2 && h >= 2;
      for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
          const guint8 *p = &out[y * dst_stride + x * 4];
          ASSERT_EQ(p[3], 255) << w << "x" << h << " at " << x << "," << y;
          // Without a whole 2×2 cell the picture is black.
          ASSERT_EQ(p[0], has_cell ? colour.b : 0) << w << "x" << h << " at " << x << "," << y;
          ASSERT_EQ(p[1], has_cell ? colour.g : 0);
          ASSERT_EQ(p[2], has_cell ? colour.r : 0);
        }
        for (int k = w * 4; k < dst_stride; ++k) ASSERT_EQ(out[y * dst_stride + k], 0x5A);
      }
      const auto grey = to_gray(m, w, h, w, w + 3, tiling);
      for (int y = 0; y < h; ++y) {
        if (has_cell) {
          for (int x = 0; x < w; ++x)
            ASSERT_EQ(grey[y * (w + 3) + x], luma(colour)) << w << "x" << h << " at " << x;
        }
        for (int k = w; k < w + 3; ++k) ASSERT_EQ(grey[y * (w + 3) + k], 0x5A);
      }
    }
  }
}

TEST(BayerInterpolateTest, VectorCodeEqualsScalarCode) {
  const int sizes[][2] = {{1, 1}, {2, 2}, {3, 5}, {31, 4}, {32, 6}, {33, 7}, {65, 9},
                          {97, 12}, {130, 31}, {200, 3}};
  unsigned seed = 1;
  for (const auto &s : sizes) {
    const int w = s[0], h = s[1], src_stride = w + 5;
    const auto m = random_bytes(size_t(src_stride) * h, seed++);
    for (guint32 tiling : kTilings) {
      EXPECT_EQ(to_bgra(m, w, h, src_stride, w * 4, tiling),
                to_bgra(m, w, h, src_stride, w * 4, tiling, true))
          << w << "x" << h << " tiling " << tiling;
      EXPECT_EQ(to_gray(m, w, h, src_stride, w, tiling), to_gray(m, w, h, src_stride, w, tiling, true))
          << w << "x" << h << " tiling " << tiling;
    }
  }
}

TEST(BayerInterpolateTest, PackedStrideOfZero) {
  const int w = 20, h = 6;
  const auto m = random_bytes(w * h, 7);
  EXPECT_EQ(to_bgra(m, w, h, w, 0, KOV_PIX_FMT_BA81), to_bgra(m, w, h, w, w * 4, KOV_PIX_FMT_BA81));
  EXPECT_EQ(to_gray(m, w, h, w, 0, KOV_PIX_FMT_XXX3), to_gray(m, w, h, w, w, KOV_PIX_FMT_XXX3));
}

TEST(BgraToRgbTest, SwapsAndDropsAlpha) {
  for (int w : {1, 5, 15, 16, 17, 33}) {
    const int h = 3, src_stride = w * 4 + 12, dst_stride = w * 3 + 7;
    const auto src = random_bytes(size_t(src_stride) * h, unsigned(w));
    std::vector<guint8> dst(size_t(dst_stride) * h, 0x77), ref(dst);
    kov_pixel_convert_8u_bgra_to_8u_rgb(dst.data(), dst_stride, w, h, src.data(), src_stride);
    kov::pixel::scalar::convert_8u_bgra_to_8u_rgb(ref.data(), dst_stride, w, h, src.data(),
                                                  src_stride);
    EXPECT_EQ(dst, ref) << w;
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x)
        for (int c = 0; c < 3; ++c)
          ASSERT_EQ(dst[y * dst_stride + 3 * x + c], src[y * src_stride + 4 * x + 2 - c]);
      for (int k = w * 3; k < dst_stride; ++k) ASSERT_EQ(dst[y * dst_stride + k], 0x77);
    }
  }
}

TEST(BgraToRgbTest, PackedRowsWhenStridesAreZero) {
  const guint8 src[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  guint8 dst[6] = {};
  kov_pixel_convert_8u_bgra_to_8u_rgb(dst, 0, 1, 2, src, 0);
  const guint8 expected[6] = {3, 2, 1, 7, 6, 5};
  EXPECT_EQ(std::memcmp(dst, expected, 6), 0);
}

TEST(BgraToRgbTest, NothingHappensForEmptyOrMissingImages) {
  guint8 dst[4] = {9, 9, 9, 9};
  const guint8 src[4] = {1, 2, 3, 4};
  kov_pixel_convert_8u_bgra_to_8u_rgb(dst, 0, 0, 1, src, 0);
  kov_pixel_convert_8u_bgra_to_8u_rgb(dst, 0, 1, 1, nullptr, 0);
  kov_pixel_bayer_interpolate_to_8u_gray(nullptr, 16, dst, 0, 1, 1, KOV_PIX_FMT_BA81);
  EXPECT_EQ(dst[0], 9);
  EXPECT_EQ(dst[3], 9);
}

}  // namespace

// KOV_SIMD lowers the level by name (in any case) and never raises it.
TEST(SimdLevelTest, KovSimdCapsTheAvailableLevel) {
  struct Case {
    KovSimdLevel available;
    const char *request;
    KovSimdLevel expected;
    bool unknown;
  } cases[] = {
      {KOV_SIMD_AVX512BW, nullptr, KOV_SIMD_AVX512BW, false},
      {KOV_SIMD_AVX512BW, "", KOV_SIMD_AVX512BW, false},
      {KOV_SIMD_AVX512BW, "scalar", KOV_SIMD_SCALAR, false},
      {KOV_SIMD_AVX512BW, "SSSE3", KOV_SIMD_SSSE3, false},
      {KOV_SIMD_AVX512BW, "avx2", KOV_SIMD_AVX2, false},
      {KOV_SIMD_SSE2, "avx512bw", KOV_SIMD_SSE2, false},
      {KOV_SIMD_AVX2, "avx", KOV_SIMD_AVX2, true},
      {KOV_SIMD_AVX2, "avx2 ", KOV_SIMD_AVX2, true},
  };
  for (const Case &c : cases) {
    bool unknown = !c.unknown;
    EXPECT_EQ(kov::simd::cap_level(c.available, c.request, &unknown), c.expected)
        << (c.request ? c.request : "(unset)");
    EXPECT_EQ(unknown, c.unknown) << (c.request ? c.request : "(unset)");
  }
  EXPECT_STREQ(kov_simd_level_name(KOV_SIMD_SCALAR), "scalar");
  EXPECT_STREQ(kov_simd_level_name(KOV_SIMD_AVX512BW), "avx512bw");
  EXPECT_STREQ(kov_simd_level_name(KovSimdLevel(5)), "unknown");
}
