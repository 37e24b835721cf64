// SPDX-License-Identifier: LGPL-2.1-or-later
// The pixel format table: every code's facts, and the row strides and frame
// sizes it gives for a small odd image (7x5), at the minimum stride and at a
// padded one, with the boundaries where sizes stop being valid or overflow.
#include <gtest/gtest.h>
#include <kovkit/kovkit.h>

#include <string>

namespace {

struct Expected {
  guint32 code;
  const char *name;
  int bits, bytes, planes;
  bool compressed;
  KovBayerTiling tiling;
  // 7x5: minimum stride and the smallest frame at it; a padded stride, the
  // smallest frame at it and the frame with a whole last row.
  int stride;
  gsize frame;
  int padded;
  gsize padded_frame, whole_frame;
};

constexpr KovBayerTiling NONE = KOV_BAYER_TILING_NONE;

const Expected kTable[] = {
    {KOV_PIX_FMT_RGB3, "RGB3", 24, 3, 1, false, NONE, 21, 105, 24, 117, 120},
    {KOV_PIX_FMT_BGR3, "BGR3", 24, 3, 1, false, NONE, 21, 105, 24, 117, 120},
    {KOV_PIX_FMT_RGB4, "RGB4", 32, 4, 1, false, NONE, 28, 140, 32, 156, 160},
    {KOV_PIX_FMT_BGR4, "BGR4", 32, 4, 1, false, NONE, 28, 140, 32, 156, 160},
    {KOV_PIX_FMT_GREY, "GREY", 8, 1, 1, false, NONE, 7, 35, 8, 39, 40},
    {KOV_PIX_FMT_LG16, "LG16", 16, 2, 1, false, NONE, 14, 70, 16, 78, 80},
    {KOV_PIX_FMT_FG32, "FG32", 32, 4, 1, false, NONE, 28, 140, 32, 156, 160},
    {KOV_PIX_FMT_BA81, "BA81", 8, 1, 1, false, KOV_BAYER_TILING_BGGR, 7, 35, 8, 39, 40},
    {KOV_PIX_FMT_XXX2, "XXX2", 8, 1, 1, false, KOV_BAYER_TILING_GBRG, 7, 35, 8, 39, 40},
    {KOV_PIX_FMT_XXX3, "XXX3", 8, 1, 1, false, KOV_BAYER_TILING_GRBG, 7, 35, 8, 39, 40},
    {KOV_PIX_FMT_XXX4, "XXX4", 8, 1, 1, false, KOV_BAYER_TILING_RGGB, 7, 35, 8, 39, 40},
    // Luma 7x5, then two chroma planes of 4 bytes x 3 rows (stride 7) or of
    // 4 x 3 (stride 8): all planes whole.
    {KOV_PIX_FMT_I420, "I420", 12, 1, 3, false, NONE, 7, 59, 8, 64, 64},
    // Four pixel pairs of 4 bytes per row.
    {KOV_PIX_FMT_YUYV, "YUYV", 16, 2, 1, false, NONE, 16, 80, 20, 96, 100},
    {KOV_PIX_FMT_UYVY, "UYVY", 16, 2, 1, false, NONE, 16, 80, 20, 96, 100},
    {KOV_PIX_FMT_MJPG, "MJPG", 0, 0, 1, true, NONE, 0, 0, 0, 0, 0},
};

TEST(PixelFormatTest, TableAnswersForEveryCode) {
  for (const Expected &e : kTable) {
    SCOPED_TRACE(e.name);
    const KovPixelFormatInfo *info = kov_pixel_format_get_info(e.code);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->code, e.code);
    EXPECT_EQ(std::string(info->name), e.name);
    EXPECT_EQ(info->bits_per_pixel, guint(e.bits));
    EXPECT_EQ(kov_pixel_format_bpp(e.code), e.bits);
    EXPECT_EQ(info->bytes_per_pixel, guint(e.bytes));
    EXPECT_EQ(info->planes, guint(e.planes));
    EXPECT_EQ(bool(info->compressed), e.compressed);
    EXPECT_EQ(info->tiling, e.tiling);
    EXPECT_EQ(bool(kov_pixel_format_is_bayer(e.code)), e.tiling != NONE);

    EXPECT_EQ(kov_pixel_format_min_row_stride(e.code, 7), e.stride);
    const int at_min = e.compressed ? 21 : e.stride;  // MJPG: any stride gives 0
    EXPECT_EQ(kov_pixel_format_min_frame_size(e.code, 7, 5, at_min), e.frame);
    EXPECT_EQ(kov_pixel_format_min_frame_size(e.code, 7, 5, e.padded), e.padded_frame);
    EXPECT_EQ(kov_pixel_format_frame_size(e.code, 7, 5, e.padded), e.whole_frame);
    if (e.compressed) continue;
    // One byte short of the minimum stride is refused; so is every size
    // that is not positive.
    EXPECT_EQ(kov_pixel_format_min_frame_size(e.code, 7, 5, e.stride - 1), 0u);
    EXPECT_EQ(kov_pixel_format_frame_size(e.code, 7, 5, e.stride - 1), 0u);
    for (int bad : {0, -1}) {
      EXPECT_EQ(kov_pixel_format_min_row_stride(e.code, bad), 0);
      EXPECT_EQ(kov_pixel_format_min_frame_size(e.code, bad, 5, e.stride), 0u);
      EXPECT_EQ(kov_pixel_format_min_frame_size(e.code, 7, bad, e.stride), 0u);
      EXPECT_EQ(kov_pixel_format_min_frame_size(e.code, 7, 5, bad), 0u);
      EXPECT_EQ(kov_pixel_format_frame_size(e.code, 7, bad, e.stride), 0u);
    }
  }
}

TEST(PixelFormatTest, UnknownCodesHaveNoFacts) {
  for (guint32 code : {0u, KOV_PIX_FMT_NONE_165, KOV_FOURCC('N', 'V', '1', '2')}) {
    EXPECT_EQ(kov_pixel_format_get_info(code), nullptr);
    EXPECT_FALSE(kov_pixel_format_is_bayer(code));
    EXPECT_EQ(kov_pixel_format_bpp(code), 0);
    EXPECT_EQ(kov_pixel_format_min_row_stride(code, 7), 0);
    EXPECT_EQ(kov_pixel_format_min_frame_size(code, 7, 5, 64), 0u);
    EXPECT_EQ(kov_pixel_format_frame_size(code, 7, 5, 64), 0u);
  }
}

TEST(PixelFormatTest, StridesRoundPixelPairsUpAndNeverWrap) {
  const struct {
    guint32 code;
    gint width;
    gint stride;
  } cases[] = {
      {KOV_PIX_FMT_YUYV, 1, 4},
      {KOV_PIX_FMT_UYVY, 8, 16},
      {KOV_PIX_FMT_GREY, G_MAXINT, G_MAXINT},
      {KOV_PIX_FMT_BGR4, 134217732, 536870928},  // 2^27 + 4
      {KOV_PIX_FMT_BGR4, 536870911, 2147483644},
      {KOV_PIX_FMT_BGR4, 536870912, 0},  // 2^31: one past G_MAXINT
      {KOV_PIX_FMT_BGR3, 715827882, 2147483646},
      {KOV_PIX_FMT_BGR3, 715827883, 0},
      {KOV_PIX_FMT_BGR3, 1431655766, 0},  // 2^32 + 2 bytes
      {KOV_PIX_FMT_LG16, 1073741824, 0},
      {KOV_PIX_FMT_YUYV, 1073741822, 2147483644},
      {KOV_PIX_FMT_YUYV, 1073741823, 0},  // rounds up to 2^30 pairs
      {KOV_PIX_FMT_UYVY, G_MAXINT, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.width);
    EXPECT_EQ(kov_pixel_format_min_row_stride(c.code, c.width), c.stride);
  }
}

TEST(PixelFormatTest, HugeFramesAreExactOrRefused) {
  // The largest image of gint sizes: exact in a 64-bit gsize, refused where
  // gsize has 32 bits.
  const bool wide = sizeof(gsize) >= 8;
  EXPECT_EQ(kov_pixel_format_min_frame_size(KOV_PIX_FMT_GREY, G_MAXINT, G_MAXINT, G_MAXINT),
            wide ? G_GUINT64_CONSTANT(4611686014132420609) : 0u);
  EXPECT_EQ(kov_pixel_format_min_frame_size(KOV_PIX_FMT_I420, G_MAXINT, G_MAXINT, G_MAXINT),
            wide ? G_GUINT64_CONSTANT(6917529023346114561) : 0u);
  // A stride that is itself too small because the width's rows overflow.
  EXPECT_EQ(kov_pixel_format_min_frame_size(KOV_PIX_FMT_BGR3, 1431655766, 1, G_MAXINT), 0u);
}

TEST(PixelFormatTest, CheckRefusesImpossibleFormatsWithTheReason) {
  const char *fits = sizeof(gsize) >= 8 ? nullptr : "a frame does not fit in memory";
  const struct {
    guint32 code;
    gint width, height, stride;
    const char *reason;  // nullptr: accepted
  } cases[] = {
      {KOV_PIX_FMT_GREY, 1, 1, 1, nullptr},
      {KOV_PIX_FMT_BGR3, 7, 5, 21, nullptr},
      {KOV_PIX_FMT_MJPG, 640, 480, 0, nullptr},
      {KOV_FOURCC('Z', 'Z', 'Z', 'Z'), 3, 3, 1, nullptr},  // unknown: any positive stride
      {KOV_PIX_FMT_GREY, G_MAXINT, G_MAXINT, G_MAXINT, fits},
      {KOV_PIX_FMT_GREY, 0, 5, 7, "width and height must be positive"},
      {KOV_PIX_FMT_GREY, 7, -1, 7, "width and height must be positive"},
      {KOV_PIX_FMT_MJPG, 0, 480, 0, "width and height must be positive"},
      {KOV_PIX_FMT_MJPG, 640, 480, -1, "the row stride is negative"},
      {KOV_PIX_FMT_GREY, 7, 5, 0, "the row stride is not positive"},
      {KOV_FOURCC('Z', 'Z', 'Z', 'Z'), 3, 3, -3, "the row stride is not positive"},
      {KOV_PIX_FMT_BGR3, 7, 5, 20, "a row needs 21 bytes"},
      {KOV_PIX_FMT_BGR4, 134217732, 2, 128, "a row needs 536870928 bytes"},  // 2^27 + 4
      {KOV_PIX_FMT_BGR3, 1431655766, 1, 2, "a row needs 4294967298 bytes"},
      {KOV_PIX_FMT_I420, 8, 8, 7, "a row needs 8 bytes"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " " << c.stride);
    GError *error = nullptr;
    EXPECT_EQ(kov_pixel_format_check(c.code, c.width, c.height, c.stride, &error),
              c.reason == nullptr);
    if (c.reason == nullptr) {
      EXPECT_EQ(error, nullptr);
      continue;
    }
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code, KOV_ERROR_FORMAT);
    gchar name[11];
    EXPECT_EQ(std::string(error->message),
              std::string("format ") + kov_pixel_format_to_string(c.code, name) + " " +
                  std::to_string(c.width) + "x" + std::to_string(c.height) + ", row stride " +
                  std::to_string(c.stride) + ": " + c.reason);
    g_error_free(error);
  }
}

}  // namespace
