// SPDX-License-Identifier: LGPL-2.1-or-later
// The table of pixel formats: what each code the framework knows is, and the
// row stride and frame size an image of it needs. Sizes are worked out in 64
// bits with overflow checks, so that a huge width or height gives 0 (refused)
// and never a small size that a unit would then read past.
#include <kovkit/pixel.h>
#include <kovkit/pixelformat.h>

#include <cstdint>

namespace {

constexpr KovPixelFormatInfo kFormats[] = {
    // code             name    bits bytes block planes shift compressed tiling
    {KOV_PIX_FMT_RGB3, "RGB3", 24, 3, 1, 1, 0, FALSE, KOV_BAYER_TILING_NONE},
    {KOV_PIX_FMT_BGR3, "BGR3", 24, 3, 1, 1, 0, FALSE, KOV_BAYER_TILING_NONE},
    {KOV_PIX_FMT_RGB4, "RGB4", 32, 4, 1, 1, 0, FALSE, KOV_BAYER_TILING_NONE},
    {KOV_PIX_FMT_BGR4, "BGR4", 32, 4, 1, 1, 0, FALSE, KOV_BAYER_TILING_NONE},
    {KOV_PIX_FMT_GREY, "GREY", 8, 1, 1, 1, 0, FALSE, KOV_BAYER_TILING_NONE},
    {KOV_PIX_FMT_LG16, "LG16", 16, 2, 1, 1, 0, FALSE, KOV_BAYER_TILING_NONE},
    {KOV_PIX_FMT_FG32, "FG32", 32, 4, 1, 1, 0, FALSE, KOV_BAYER_TILING_NONE},
    {KOV_PIX_FMT_BA81, "BA81", 8, 1, 1, 1, 0, FALSE, KOV_BAYER_TILING_BGGR},
    {KOV_PIX_FMT_XXX2, "XXX2", 8, 1, 1, 1, 0, FALSE, KOV_BAYER_TILING_GBRG},
    {KOV_PIX_FMT_XXX3, "XXX3", 8, 1, 1, 1, 0, FALSE, KOV_BAYER_TILING_GRBG},
    {KOV_PIX_FMT_XXX4, "XXX4", 8, 1, 1, 1, 0, FALSE, KOV_BAYER_TILING_RGGB},
    {KOV_PIX_FMT_I420, "I420", 12, 1, 1, 3, 1, FALSE, KOV_BAYER_TILING_NONE},
    {KOV_PIX_FMT_YUYV, "YUYV", 16, 2, 2, 1, 0, FALSE, KOV_BAYER_TILING_NONE},
    {KOV_PIX_FMT_UYVY, "UYVY", 16, 2, 2, 1, 0, FALSE, KOV_BAYER_TILING_NONE},
    {KOV_PIX_FMT_MJPG, "MJPG", 0, 0, 0, 1, 0, TRUE, KOV_BAYER_TILING_NONE},
};

// The smallest row stride as a 64-bit value (0 when there is none); a gint
// width times at most two pixels per block and four bytes cannot overflow it.
std::uint64_t row_bytes(const KovPixelFormatInfo *info, gint width) {
  if (info == nullptr || info->compressed || width <= 0) return 0;
  const std::uint64_t block = info->block_width;
  const std::uint64_t blocks = (std::uint64_t(width) + block - 1) / block;
  return blocks * block * info->bytes_per_pixel;
}

// n divided by 2^shift, rounded up.
gsize halve_up(gsize n, guint shift) {
  return (n >> shift) + ((n & ((gsize(1) << shift) - 1)) != 0);
}

gsize frame_size(guint32 code, gint width, gint height, gint row_stride, bool whole_last_row) {
  const KovPixelFormatInfo *info = kov_pixel_format_get_info(code);
  if (height <= 0 || row_stride <= 0) return 0;
  const std::uint64_t row = row_bytes(info, width);
  if (row == 0 || std::uint64_t(row_stride) < row) return 0;
  const gsize stride = gsize(row_stride), rows = gsize(height);
  gsize size = 0;
  if (info->planes > 1) {
    // Every plane is whole; the ones after the first are subsampled.
    const gsize sub_stride = halve_up(stride, info->chroma_shift);
    const gsize sub_rows = halve_up(rows, info->chroma_shift);
    gsize sub = 0;
    if (!g_size_checked_mul(&size, stride, rows) ||
        !g_size_checked_mul(&sub, sub_stride, sub_rows) ||
        !g_size_checked_mul(&sub, sub, info->planes - 1) || !g_size_checked_add(&size, size, sub))
      return 0;
    return size;
  }
  // row fits in a gint here, being at most row_stride.
  const gsize last = whole_last_row ? stride : gsize(row);
  if (!g_size_checked_mul(&size, stride, rows - 1) || !g_size_checked_add(&size, size, last))
    return 0;
  return size;
}

}  // namespace

extern "C" {

const KovPixelFormatInfo *kov_pixel_format_get_info(guint32 code) {
  for (const KovPixelFormatInfo &info : kFormats)
    if (info.code == code) return &info;
  return nullptr;
}

gboolean kov_pixel_format_is_bayer(guint32 code) {
  const KovPixelFormatInfo *info = kov_pixel_format_get_info(code);
  return info != nullptr && info->tiling != KOV_BAYER_TILING_NONE;
}

gint kov_pixel_format_bpp(guint32 pixelformat) {
  const KovPixelFormatInfo *info = kov_pixel_format_get_info(pixelformat);
  return info != nullptr ? gint(info->bits_per_pixel) : 0;
}

gint kov_pixel_format_min_row_stride(guint32 code, gint width) {
  const std::uint64_t row = row_bytes(kov_pixel_format_get_info(code), width);
  return row <= std::uint64_t(G_MAXINT) ? gint(row) : 0;
}

gsize kov_pixel_format_min_frame_size(guint32 code, gint width, gint height, gint row_stride) {
  return frame_size(code, width, height, row_stride, false);
}

gsize kov_pixel_format_frame_size(guint32 code, gint width, gint height, gint row_stride) {
  return frame_size(code, width, height, row_stride, true);
}

gboolean kov_pixel_format_check(guint32 code, gint width, gint height, gint row_stride,
                                GError **error) {
  gchar name[11];
  kov_pixel_format_to_string(code, name);
  const KovPixelFormatInfo *info = kov_pixel_format_get_info(code);
  const char *problem = nullptr;
  gchar *owned = nullptr;
  std::uint64_t size = 0;
  if (width <= 0 || height <= 0) {
    problem = "width and height must be positive";
  } else if (info != nullptr && info->compressed) {
    if (row_stride < 0) problem = "the row stride is negative";
  } else if (row_stride <= 0) {
    problem = "the row stride is not positive";
  } else if (info != nullptr && std::uint64_t(row_stride) < row_bytes(info, width)) {
    problem = owned = g_strdup_printf("a row needs %" G_GUINT64_FORMAT " bytes",
                                      guint64(row_bytes(info, width)));
  } else if (info != nullptr ? kov_pixel_format_frame_size(code, width, height, row_stride) == 0
                             : (size = std::uint64_t(row_stride) * std::uint64_t(height),
                                size > std::uint64_t(G_MAXSIZE))) {
    problem = "a frame does not fit in memory";
  }
  if (problem == nullptr) return TRUE;
  g_set_error(error, KOV_ERROR, KOV_ERROR_FORMAT, "format %s %dx%d, row stride %d: %s", name,
              width, height, row_stride, problem);
  g_free(owned);
  return FALSE;
}

}  // extern "C"
