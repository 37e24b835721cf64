// SPDX-License-Identifier: LGPL-2.1-or-later
// Pixel routines: Bayer plane split and borders, demosaicing
// of every tiling (exact values on flat colours and ramps, odd and tiny
// sizes written whole and without stray reads), vector against scalar code,
// and BGRA to RGB.
#include <gtest/gtest.h>
#include <kovkit/pixel.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
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

// The same grey read straight from the mosaic, in two bands of rows.
std::vector<guint8> to_gray_unpadded(const std::vector<guint8> &m, int width, int height,
                                     int src_stride, int dst_stride, guint32 tiling) {
  std::vector<guint8> out(size_t(dst_stride) * height, 0x5A);
  const int split = height / 2 & ~1;
  kov_pixel_bayer_rows_to_8u_gray_unpadded(m.data(), src_stride, out.data(), dst_stride, width,
                                           height, tiling, 0, split);
  kov_pixel_bayer_rows_to_8u_gray_unpadded(m.data(), src_stride, out.data(), dst_stride, width,
                                           height, tiling, split, height);
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

namespace {

// Every vector level this processor has, from scalar up; the dispatch is set
// to each in turn and put back afterwards.
template <typename F>
void for_each_level(F body) {
  const KovSimdLevel top = kov_simd_level();
  for (int level = KOV_SIMD_SCALAR; level <= top; ++level) {
    kov::simd::set_level(KovSimdLevel(level));
    body(KovSimdLevel(level));
  }
  kov::simd::set_level(top);
}

// The demosaic as 5×5 kernels over the mosaic (rows dy = -2..2, columns
// dx = -2..2): green at a red or blue pixel in eighths; the other chroma at a
// red or blue pixel, and the colour of the horizontal neighbours at a green
// pixel, in sixteenths (the vertical neighbours' colour uses its transpose).
const int kGreenAtRedOrBlue[5][5] = {{0, 0, -1, 0, 0},
                                     {0, 0, 2, 0, 0},
                                     {-1, 2, 4, 2, -1},
                                     {0, 0, 2, 0, 0},
                                     {0, 0, -1, 0, 0}};
const int kDiagonalAtRedOrBlue[5][5] = {{0, 0, -3, 0, 0},
                                        {0, 4, 0, 4, 0},
                                        {-3, 0, 12, 0, -3},
                                        {0, 4, 0, 4, 0},
                                        {0, 0, -3, 0, 0}};
const int kRowColourAtGreen[5][5] = {{0, 0, 1, 0, 0},
                                     {0, -2, 0, -2, 0},
                                     {-2, 8, 10, 8, -2},
                                     {0, -2, 0, -2, 0},
                                     {0, 0, 1, 0, 0}};

// Grey weights in 64ths of a pixel's groups: itself, the averages of its
// horizontal, vertical and diagonal neighbours and of the pixels two away
// horizontally and vertically, for a red, a blue, and a green pixel on a red
// row (a green pixel on a blue row swaps the horizontal and vertical weights).
struct GreyWeights {
  int c, h1, v1, d, h2, v2;
};
const GreyWeights kGreyAtRed{43, 19, 19, 7, -12, -12};
const GreyWeights kGreyAtBlue{41, 19, 19, 19, -17, -17};
const GreyWeights kGreyAtGreenRedRow{54, 19, 7, -13, -4, 1};

struct Expected {
  int b, g, r, grey;
};

// Expected colour and grey of pixel (x, y), at least two pixels inside the
// mosaic. The inputs are chosen so that every kernel sum divides exactly and
// every group average is whole: the test fails if one does not.
Expected expected_at(const std::vector<guint8> &m, int stride, guint32 tiling, int x, int y) {
  auto at = [&](int dx, int dy) { return int(m[size_t(y + dy) * stride + x + dx]); };
  auto apply = [&](const int (*k)[5], bool transpose, int divisor) {
    int sum = 0;
    for (int dy = -2; dy <= 2; ++dy)
      for (int dx = -2; dx <= 2; ++dx)
        sum += (transpose ? k[dx + 2][dy + 2] : k[dy + 2][dx + 2]) * at(dx, dy);
    EXPECT_EQ(sum % divisor, 0) << "inexact kernel sum at " << x << "," << y;
    return std::clamp(sum / divisor, 0, 255);
  };
  const int ch = channel_at(tiling, x, y);
  int rgb[3];
  GreyWeights w;
  if (ch == 1) {
    const int row_ch = channel_at(tiling, x + 1, y);  // the horizontal neighbours' colour
    rgb[1] = at(0, 0);
    rgb[row_ch] = apply(kRowColourAtGreen, false, 16);
    rgb[2 - row_ch] = apply(kRowColourAtGreen, true, 16);
    w = kGreyAtGreenRedRow;
    if (row_ch == 2) {
      std::swap(w.h1, w.v1);
      std::swap(w.h2, w.v2);
    }
  } else {
    rgb[ch] = at(0, 0);
    rgb[1] = apply(kGreenAtRedOrBlue, false, 8);
    rgb[2 - ch] = apply(kDiagonalAtRedOrBlue, false, 16);
    w = ch == 0 ? kGreyAtRed : kGreyAtBlue;
  }
  // The grey sum in 256ths: each group's weight spread over its members.
  const int grey256 = 4 * w.c * at(0, 0) + 2 * w.h1 * (at(-1, 0) + at(1, 0)) +
                      2 * w.v1 * (at(0, -1) + at(0, 1)) +
                      w.d * (at(-1, -1) + at(1, -1) + at(-1, 1) + at(1, 1)) +
                      2 * w.h2 * (at(-2, 0) + at(2, 0)) + 2 * w.v2 * (at(0, -2) + at(0, 2));
  EXPECT_EQ(grey256 % 4, 0) << "inexact group average at " << x << "," << y;
  return {rgb[2], rgb[1], rgb[0], std::clamp((grey256 / 4 + 32) >> 6, 0, 255)};
}

}  // namespace

// Known answers: a single bright pixel at each position of a cell (it shows
// every kernel weight on its neighbours), a vertical and a horizontal edge
// and colour ramps, in every tiling, on every vector level.
TEST(BayerKnownAnswerTest, InteriorPixelsFollowTheKernels) {
  const int w = 14, h = 14;
  struct Case {
    const char *name;
    std::function<Rgb(int, int)> colour;
  };
  std::vector<Case> cases;
  for (int k = 0; k < 4; ++k) {
    const int bx = 6 + k % 2, by = 6 + k / 2;
    cases.push_back({"bright pixel", [=](int x, int y) {
                       const int v = x == bx && y == by ? 192 : 64;
                       return Rgb{v, v, v};
                     }});
  }
  cases.push_back({"vertical edge", [](int x, int) {
                     const int v = x < 7 ? 80 : 176;
                     return Rgb{v, v, v};
                   }});
  cases.push_back({"horizontal edge", [](int, int y) {
                     const int v = y < 6 ? 176 : 80;
                     return Rgb{v, v, v};
                   }});
  cases.push_back({"ramps", [](int x, int y) { return Rgb{4 * x + 2 * y + 20, 6 * y + 30, 230 - 6 * x}; }});
  for_each_level([&](KovSimdLevel level) {
    for (const Case &c : cases)
      for (guint32 tiling : kTilings) {
        const auto m = mosaic(tiling, w, h, w, c.colour);
        const auto bgra = to_bgra(m, w, h, w, w * 4, tiling);
        const auto grey = to_gray(m, w, h, w, w, tiling);
        for (int y = 2; y < h - 2; ++y)
          for (int x = 2; x < w - 2; ++x) {
            const Expected e = expected_at(m, w, tiling, x, y);
            const guint8 *p = &bgra[size_t(y) * w * 4 + x * 4];
            const int got[4] = {p[0], p[1], p[2], grey[size_t(y) * w + x]};
            const int want[4] = {e.b, e.g, e.r, e.grey};
            for (int i = 0; i < 4; ++i)
              ASSERT_EQ(got[i], want[i])
                  << "BGRY"[i] << " of " << c.name << ", tiling " << tiling << ", "
                  << kov_simd_level_name(level) << ", at " << x << "," << y;
          }
      }
  });
}

namespace {

// Demosaics rows [first_row, first_row + n_rows) of a mosaic to packed RGB
// through the quarter planes, into rows of dst_stride bytes filled with 0x5A.
std::vector<guint8> to_rgb(const std::vector<guint8> &m, int width, int height, int src_stride,
                           int dst_stride, guint32 tiling, int first_row, int n_rows) {
  QuarterPlanes planes(width, height);
  planes.fill(m.data(), src_stride);
  std::vector<guint8> out(size_t(dst_stride) * height, 0x5A);
  kov_pixel_bayer_interpolate_rows_to_8u_rgb(planes.origins, planes.stride, out.data(), dst_stride,
                                             width, height, tiling, first_row, n_rows);
  return out;
}

// R, G, B of each B, G, R, A pixel; row padding copied as it is.
std::vector<guint8> rgb_of(const std::vector<guint8> &bgra, int width, int height, int bgra_stride,
                           int rgb_stride) {
  std::vector<guint8> rgb(size_t(rgb_stride) * height, 0x5A);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < 3; ++c)
        rgb[size_t(y) * rgb_stride + 3 * x + c] = bgra[size_t(y) * bgra_stride + 4 * x + 2 - c];
  return rgb;
}

}  // namespace

// Every vector level gives the scalar code's bytes, on random mosaics of odd
// sizes and padded strides, around each vector width (16 and 32 cells, with
// and without room for the overlapping RGB stores); RGB has the BGRA bytes,
// and grey read from the mosaic without a margin the bytes of grey with one.
// Row padding stays untouched.
TEST(BayerInterpolateTest, EveryLevelEqualsScalarCode) {
  const int sizes[][2] = {{1, 1}, {2, 2}, {3, 5}, {31, 4}, {32, 6}, {33, 7}, {65, 9}, {66, 4},
                          {67, 5}, {68, 3}, {69, 4}, {70, 2}, {97, 12}, {130, 31}, {135, 5},
                          {200, 3}};
  unsigned seed = 1;
  for (const auto &s : sizes) {
    const int w = s[0], h = s[1], src_stride = w + 5;
    const auto m = random_bytes(size_t(src_stride) * h, seed++);
    for (guint32 tiling : kTilings) {
      const auto bgra = to_bgra(m, w, h, src_stride, w * 4 + 4, tiling, true);
      const auto grey = to_gray(m, w, h, src_stride, w + 3, tiling, true);
      const auto rgb = rgb_of(bgra, w, h, w * 4 + 4, w * 3 + 5);
      for_each_level([&](KovSimdLevel level) {
        const char *name = kov_simd_level_name(level);
        EXPECT_EQ(to_bgra(m, w, h, src_stride, w * 4 + 4, tiling), bgra)
            << w << "x" << h << " tiling " << tiling << " " << name;
        EXPECT_EQ(to_gray(m, w, h, src_stride, w + 3, tiling), grey)
            << w << "x" << h << " tiling " << tiling << " " << name;
        EXPECT_EQ(to_gray_unpadded(m, w, h, src_stride, w + 3, tiling), grey)
            << w << "x" << h << " tiling " << tiling << " " << name << " unpadded";
        EXPECT_EQ(to_rgb(m, w, h, src_stride, w * 3 + 5, tiling, 0, h), rgb)
            << w << "x" << h << " tiling " << tiling << " " << name;
      });
    }
  }
}

// Bands of rows, one call each, make up the whole image; a call writes its
// own rows only, and ranges reaching outside the image are clipped.
TEST(BayerInterpolateTest, RowRangesWriteTheirRowsOnly) {
  const int w = 75, h = 13;
  const auto m = random_bytes(size_t(w) * h, 99);
  const guint32 tiling = KOV_PIX_FMT_XXX3;
  const auto whole_bgra = to_bgra(m, w, h, w, w * 4, tiling);
  const auto whole_grey = to_gray(m, w, h, w, w, tiling);
  const auto whole_rgb = to_rgb(m, w, h, w, w * 3, tiling, 0, h);
  const int bands[][2] = {{-4, 5}, {1, 3}, {4, 4}, {8, 1}, {9, 0}, {9, 100}};
  for_each_level([&](KovSimdLevel level) {
    QuarterPlanes planes(w, h);
    planes.fill(m.data(), w);
    GreyPlane grey_plane(w, h);
    grey_plane.fill(m.data(), w);
    std::vector<guint8> bgra(size_t(w) * 4 * h, 0x5A), grey(size_t(w) * h, 0x5A);
    std::vector<guint8> rgb(size_t(w) * 3 * h, 0x5A);
    for (const auto &band : bands) {
      kov_pixel_bayer_interpolate_rows_to_8u_bgra(planes.origins, planes.stride, bgra.data(), 0, w,
                                                  h, tiling, band[0], band[1]);
      kov_pixel_bayer_interpolate_rows_to_8u_gray(grey_plane.origin, grey_plane.stride, grey.data(),
                                                  0, w, h, tiling, band[0], band[1]);
      kov_pixel_bayer_interpolate_rows_to_8u_rgb(planes.origins, planes.stride, rgb.data(), 0, w,
                                                 h, tiling, band[0], band[1]);
      // Rows past the band are still untouched.
      const int end = std::clamp(band[0] + std::max(band[1], 0), 0, h);
      for (int y = end; y < h; ++y) {
        ASSERT_EQ(grey[size_t(y) * w], 0x5A) << "row " << y << " " << kov_simd_level_name(level);
        ASSERT_EQ(rgb[size_t(y) * w * 3 + w * 3 - 1], 0x5A) << "row " << y;
        ASSERT_EQ(bgra[size_t(y) * w * 4], 0x5A) << "row " << y;
      }
    }
    EXPECT_EQ(bgra, whole_bgra) << kov_simd_level_name(level);
    EXPECT_EQ(grey, whole_grey) << kov_simd_level_name(level);
    EXPECT_EQ(rgb, whole_rgb) << kov_simd_level_name(level);
  });
}
