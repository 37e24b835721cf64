// SPDX-License-Identifier: LGPL-2.1-or-later
// PNG files through libpng's simplified interface: writing frames (under a
// temporary name, then renamed), reading a file's header and its pixels.
#include <kovkit/imageio.h>

#include <cstring>

#include <png.h>

namespace {

gboolean set_io_error(GError **error, const gchar *path, const gchar *what) {
  g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "cannot %s \"%s\"", what, path);
  return FALSE;
}

// Bytes per pixel of the formats the PNG writer accepts; 0 for others.
int writer_bpp(guint32 code) {
  switch (code) {
    case KOV_PIX_FMT_GREY:
      return 1;
    case KOV_PIX_FMT_RGB3:
    case KOV_PIX_FMT_BGR3:
      return 3;
    case KOV_PIX_FMT_RGB4:
    case KOV_PIX_FMT_BGR4:
    case KOV_IMAGE_FORMAT_RGBA:
      return 4;
    default:
      return 0;
  }
}

// Packs one source row into the PNG sample order (R, G, B[, A] or grey).
void pack_row(guint32 code, int width, const guint8 *src, guint8 *dst) {
  switch (code) {
    case KOV_PIX_FMT_GREY:
    case KOV_PIX_FMT_RGB3:
      memcpy(dst, src, static_cast<size_t>(width) * (code == KOV_PIX_FMT_GREY ? 1 : 3));
      break;
    case KOV_IMAGE_FORMAT_RGBA:
      memcpy(dst, src, static_cast<size_t>(width) * 4);
      break;
    case KOV_PIX_FMT_BGR3:
      for (int x = 0; x < width; x++) {
        dst[3 * x] = src[3 * x + 2];
        dst[3 * x + 1] = src[3 * x + 1];
        dst[3 * x + 2] = src[3 * x];
      }
      break;
    case KOV_PIX_FMT_RGB4:
      for (int x = 0; x < width; x++) {
        dst[3 * x] = src[4 * x];
        dst[3 * x + 1] = src[4 * x + 1];
        dst[3 * x + 2] = src[4 * x + 2];
      }
      break;
    case KOV_PIX_FMT_BGR4:
      for (int x = 0; x < width; x++) {
        dst[3 * x] = src[4 * x + 2];
        dst[3 * x + 1] = src[4 * x + 1];
        dst[3 * x + 2] = src[4 * x];
      }
      break;
    default:
      break;
  }
}

}  // namespace

gboolean kov_image_write_png(const gchar *path, guint32 pixelformat, gint width, gint height,
                             gint row_stride, gconstpointer data, GError **error) {
  int bpp = writer_bpp(pixelformat);
  if (bpp == 0) {
    gchar buf[11];
    g_set_error(error, KOV_ERROR, KOV_ERROR_FORMAT, "cannot write %s pixels as PNG",
                kov_pixel_format_to_string(pixelformat, buf));
    return FALSE;
  }
  if (width <= 0 || height <= 0 || data == nullptr ||
      static_cast<gint64>(row_stride < 0 ? -static_cast<gint64>(row_stride) : row_stride) <
          static_cast<gint64>(width) * bpp) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_BAD_VALUE,
                "cannot write \"%s\": bad image geometry %dx%d, row stride %d", path, width,
                height, row_stride);
    return FALSE;
  }
  png_image image;
  memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(width);
  image.height = static_cast<png_uint_32>(height);
  int out_bpp;
  if (pixelformat == KOV_PIX_FMT_GREY) {
    image.format = PNG_FORMAT_GRAY;
    out_bpp = 1;
  } else if (pixelformat == KOV_IMAGE_FORMAT_RGBA) {
    image.format = PNG_FORMAT_RGBA;
    out_bpp = 4;
  } else {
    image.format = PNG_FORMAT_RGB;
    out_bpp = 3;
  }
  gsize packed_stride = static_cast<gsize>(width) * out_bpp;
  gsize packed_size = 0;
  if (!g_size_checked_mul(&packed_size, packed_stride, static_cast<gsize>(height)))
    return set_io_error(error, path, "allocate memory to write");
  guint8 *packed = static_cast<guint8 *>(g_try_malloc(packed_size));
  if (packed == nullptr) return set_io_error(error, path, "allocate memory to write");
  const guint8 *src = static_cast<const guint8 *>(data);
  for (int y = 0; y < height; y++)
    pack_row(pixelformat, width, src + static_cast<gssize>(y) * row_stride,
             packed + packed_stride * y);

  // Fast filtering and compression: frames are written as they stream.
  image.flags |= PNG_IMAGE_FLAG_FAST;
  png_alloc_size_t size = PNG_IMAGE_PNG_SIZE_MAX(image);
  gboolean ok = FALSE;
  {
    void *png = g_try_malloc(size);
    if (png != nullptr &&
        png_image_write_to_memory(&image, png, &size, 0, packed, 0, nullptr)) {
      GError *local = nullptr;
      ok = g_file_set_contents_full(path, static_cast<const gchar *>(png),
                                    static_cast<gssize>(size),
                                    G_FILE_SET_CONTENTS_CONSISTENT, 0666, &local);
      if (!ok) {
        g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "cannot write \"%s\": %s", path,
                    local->message);
        g_error_free(local);
      }
    } else if (png != nullptr) {
      g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "cannot encode \"%s\": %s", path,
                  image.message);
    } else {
      set_io_error(error, path, "allocate memory to write");
    }
    g_free(png);
  }
  png_image_free(&image);
  g_free(packed);
  return ok;
}

gboolean kov_image_read_png_info(const gchar *path, KovImageInfo *info, GError **error) {
  png_image image;
  memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path)) {
    if (!g_file_test(path, G_FILE_TEST_EXISTS))
      g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "cannot open \"%s\": no such file", path);
    else
      g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "cannot read PNG \"%s\": %s", path,
                  image.message);
    png_image_free(&image);
    return FALSE;
  }
  info->pixelformat = (image.format & PNG_FORMAT_FLAG_COLOR) ? KOV_PIX_FMT_RGB3
                                                              : KOV_PIX_FMT_GREY;
  info->width = static_cast<gint>(image.width);
  info->height = static_cast<gint>(image.height);
  png_image_free(&image);
  // Frames of the file must be addressable with int strides on every target.
  gsize bytes = 0;
  if (info->width <= 0 || info->height <= 0 || image.width > 65535 || image.height > 65535 ||
      !g_size_checked_mul(&bytes, static_cast<gsize>(image.width) * 3, image.height) ||
      bytes > static_cast<gsize>(G_MAXINT32)) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "PNG \"%s\" is too large", path);
    return FALSE;
  }
  return TRUE;
}

gboolean kov_image_read_png(const gchar *path, const KovImageInfo *expect, guint8 *dst,
                            gint dst_stride, GError **error) {
  png_image image;
  memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path)) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "cannot read PNG \"%s\": %s", path,
                image.message);
    png_image_free(&image);
    return FALSE;
  }
  guint32 kind = (image.format & PNG_FORMAT_FLAG_COLOR) ? KOV_PIX_FMT_RGB3 : KOV_PIX_FMT_GREY;
  if (kind != expect->pixelformat || image.width != static_cast<png_uint_32>(expect->width) ||
      image.height != static_cast<png_uint_32>(expect->height)) {
    gchar a[11], b[11];
    g_set_error(error, KOV_ERROR, KOV_ERROR_FORMAT,
                "PNG \"%s\" is %ux%u %s, expected %dx%d %s", path, image.width, image.height,
                kov_pixel_format_to_string(kind, a), expect->width, expect->height,
                kov_pixel_format_to_string(expect->pixelformat, b));
    png_image_free(&image);
    return FALSE;
  }
  int bpp = kind == KOV_PIX_FMT_RGB3 ? 3 : 1;
  if (dst_stride < expect->width * bpp) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_BAD_VALUE, "row stride %d too small for \"%s\"",
                dst_stride, path);
    png_image_free(&image);
    return FALSE;
  }
  image.format = kind == KOV_PIX_FMT_RGB3 ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
  png_color black = {0, 0, 0};
  if (!png_image_finish_read(&image, &black, dst, dst_stride, nullptr)) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "cannot decode PNG \"%s\": %s", path,
                image.message);
    png_image_free(&image);
    return FALSE;
  }
  png_image_free(&image);
  return TRUE;
}

guint8 *kov_image_load_png(const gchar *path, KovImageInfo *info, GError **error) {
  if (!kov_image_read_png_info(path, info, error)) return nullptr;
  gint stride = info->width * (info->pixelformat == KOV_PIX_FMT_RGB3 ? 3 : 1);
  auto *pixels = static_cast<guint8 *>(g_try_malloc(static_cast<gsize>(stride) * info->height));
  if (pixels == nullptr) {
    set_io_error(error, path, "allocate memory to read");
    return nullptr;
  }
  if (!kov_image_read_png(path, info, pixels, stride, error)) {
    g_free(pixels);
    return nullptr;
  }
  return pixels;
}
