// SPDX-License-Identifier: LGPL-2.1-or-later
// The row mirrors on their own: every vector path against its scalar
// fallback, for widths around the block sizes, with guard bytes on both
// sides of the output row to catch stray stores.
#include <gtest/gtest.h>

#include <mirror.h>

#include <cstdint>
#include <vector>

namespace {

using kov::flip::MirrorFn;

constexpr uint8_t kGuard = 0xA5;
constexpr size_t kPad = 32;

// Runs fn on a row of width pixels of bpp bytes; returns the output row.
// The source sits at the very end of its allocation so an overread past the
// row shows under AddressSanitizer.
std::vector<uint8_t> run(MirrorFn fn, size_t bpp, size_t width) {
  std::vector<uint8_t> src(width * bpp);
  for (size_t i = 0; i < src.size(); ++i) src[i] = uint8_t(i * 13 + 7);
  std::vector<uint8_t> dst(width * bpp + 2 * kPad, kGuard);
  fn(dst.data() + kPad, src.data(), width);
  for (size_t i = 0; i < kPad; ++i) {
    EXPECT_EQ(dst[i], kGuard) << "store before the row, width " << width;
    EXPECT_EQ(dst[kPad + width * bpp + i], kGuard) << "store past the row, width " << width;
  }
  return {dst.begin() + kPad, dst.begin() + kPad + width * bpp};
}

std::vector<uint8_t> reference(size_t bpp, size_t width) {
  std::vector<uint8_t> src(width * bpp), out(width * bpp);
  for (size_t i = 0; i < src.size(); ++i) src[i] = uint8_t(i * 13 + 7);
  for (size_t j = 0; j < width; ++j)
    for (size_t b = 0; b < bpp; ++b) out[j * bpp + b] = src[(width - 1 - j) * bpp + b];
  return out;
}

void check_all_widths(MirrorFn fn, size_t bpp) {
  for (size_t width = 0; width <= 70; ++width)
    EXPECT_EQ(run(fn, bpp, width), reference(bpp, width)) << "bpp " << bpp << " width " << width;
  for (size_t width : {1919u, 1920u, 1921u})
    EXPECT_EQ(run(fn, bpp, width), reference(bpp, width)) << "bpp " << bpp << " width " << width;
}

TEST(MirrorTest, ScalarLoopsMirrorWholePixels) {
  check_all_widths(kov::flip::mirror_row_1_scalar, 1);
  check_all_widths(kov::flip::mirror_row_2_scalar, 2);
  check_all_widths(kov::flip::mirror_row_3_scalar, 3);
  check_all_widths(kov::flip::mirror_row_4_scalar, 4);
}

TEST(MirrorTest, GenericLoopMirrorsOddPixelSizes) {
  for (size_t bpp : {5u, 6u, 8u, 12u})
    for (size_t width = 0; width <= 9; ++width) {
      std::vector<uint8_t> src(width * bpp);
      for (size_t i = 0; i < src.size(); ++i) src[i] = uint8_t(i * 13 + 7);
      std::vector<uint8_t> dst(width * bpp);
      kov::flip::mirror_row_n(dst.data(), src.data(), width, bpp);
      EXPECT_EQ(dst, reference(bpp, width)) << "bpp " << bpp << " width " << width;
    }
}

// Every vector level this processor runs, from scalar up to the level in
// use, picks a mirror that matches the reference.
TEST(MirrorTest, PickedMirrorsMatchReferenceAtEveryLevel) {
  for (int level = KOV_SIMD_SCALAR; level <= int(kov_simd_level()); ++level)
    for (size_t bpp = 1; bpp <= 4; ++bpp) {
      SCOPED_TRACE(kov_simd_level_name(KovSimdLevel(level)));
      MirrorFn fn = kov::flip::pick_mirror(bpp, KovSimdLevel(level));
      ASSERT_NE(fn, nullptr);
      check_all_widths(fn, bpp);
    }
  EXPECT_EQ(kov::flip::pick_mirror(5), nullptr);
  EXPECT_EQ(kov::flip::pick_mirror(0), nullptr);
}

TEST(MirrorTest, PairMirrorSwapsLumaAndKeepsChroma) {
  // Two YUYV pairs (Y0 U Y1 V), then the same as UYVY (U Y0 V Y1).
  const uint8_t yuyv[] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint8_t out[8] = {};
  kov::flip::mirror_row_422(out, yuyv, 2, 0);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 8), (std::vector<uint8_t>{7, 6, 5, 8, 3, 2, 1, 4}));
  kov::flip::mirror_row_422(out, yuyv, 2, 1);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 8), (std::vector<uint8_t>{5, 8, 7, 6, 1, 4, 3, 2}));
  kov::flip::mirror_row_422(out, yuyv, 1, 0);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{3, 2, 1, 4}));
}

}  // namespace
