// SPDX-License-Identifier: LGPL-2.1-or-later
// JPEG images in memory: walking the markers of an image to find its size
// and end, and compressing a frame with libjpeg (6.2 interface).
#include <kovkit/imageio.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>
#include <kovkit/jpeg_error.h>

namespace {

// Holds only plain data around setjmp: the error exit jumps back here.
int compress_plain(kov::jpeg::ErrorManager *err, jpeg_compress_struct *cinfo, guint32 code,
                   int width, int height, int row_stride, const guint8 *data, int quality,
                   unsigned char **out, unsigned long *out_length) {
  if (setjmp(err->jump)) {
    jpeg_destroy_compress(cinfo);
    return -1;
  }
  jpeg_create_compress(cinfo);
  jpeg_mem_dest(cinfo, out, out_length);
  cinfo->image_width = static_cast<JDIMENSION>(width);
  cinfo->image_height = static_cast<JDIMENSION>(height);
  cinfo->input_components = code == KOV_PIX_FMT_GREY ? 1 : 3;
  cinfo->in_color_space = code == KOV_PIX_FMT_GREY ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(cinfo);
  jpeg_set_quality(cinfo, quality, TRUE);
  jpeg_start_compress(cinfo, TRUE);
  while (cinfo->next_scanline < cinfo->image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(data + static_cast<gsize>(cinfo->next_scanline) *
                                                   static_cast<gsize>(row_stride));
    jpeg_write_scanlines(cinfo, &row, 1);
  }
  jpeg_finish_compress(cinfo);
  jpeg_destroy_compress(cinfo);
  return 0;
}

bool is_sof_marker(guint8 m) {
  return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}

}  // namespace

gboolean kov_jpeg_parse(const guint8 *data, gsize length, gint *width, gint *height,
                        gsize *image_length) {
  if (data == nullptr || length < 4 || data[0] != 0xFF || data[1] != 0xD8) return FALSE;
  gint w = 0, h = 0;
  gsize pos = 2;
  for (;;) {
    if (pos >= length || data[pos] != 0xFF) return FALSE;
    while (pos < length && data[pos] == 0xFF) pos++;  // fill bytes
    if (pos >= length) return FALSE;
    guint8 marker = data[pos++];
    if (marker == 0xD9) {
      if (w <= 0 || h <= 0) return FALSE;
      if (width != nullptr) *width = w;
      if (height != nullptr) *height = h;
      if (image_length != nullptr) *image_length = pos;
      return TRUE;
    }
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;  // no length
    if (marker == 0xD8 || marker == 0x00) return FALSE;
    if (length - pos < 2) return FALSE;
    gsize seg = (static_cast<gsize>(data[pos]) << 8) | data[pos + 1];
    if (seg < 2 || seg > length - pos) return FALSE;
    if (is_sof_marker(marker)) {
      if (seg < 7) return FALSE;
      h = (data[pos + 3] << 8) | data[pos + 4];
      w = (data[pos + 5] << 8) | data[pos + 6];
    }
    pos += seg;
    if (marker == 0xDA) {
      // Entropy-coded data: stuffed 0xFF00 and restart markers belong to it;
      // any other marker ends the scan.
      for (;;) {
        if (length - pos < 2) return FALSE;
        if (data[pos] != 0xFF) {
          pos++;
          continue;
        }
        guint8 next = data[pos + 1];
        if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) {
          pos += 2;
        } else if (next == 0xFF) {
          pos++;
        } else {
          break;
        }
      }
    }
  }
}

guint8 *kov_jpeg_compress(guint32 pixelformat, gint width, gint height, gint row_stride,
                          const guint8 *data, gint quality, gsize *out_length, GError **error) {
  if (pixelformat != KOV_PIX_FMT_RGB3 && pixelformat != KOV_PIX_FMT_GREY) {
    gchar buf[11];
    g_set_error(error, KOV_ERROR, KOV_ERROR_FORMAT, "cannot compress %s pixels as JPEG",
                kov_pixel_format_to_string(pixelformat, buf));
    return nullptr;
  }
  int bpp = pixelformat == KOV_PIX_FMT_GREY ? 1 : 3;
  if (width <= 0 || height <= 0 || width > 65500 || height > 65500 || data == nullptr ||
      row_stride < width * bpp) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_BAD_VALUE,
                "cannot compress a %dx%d image with row stride %d as JPEG", width, height,
                row_stride);
    return nullptr;
  }
  kov::jpeg::ErrorManager err;
  jpeg_compress_struct cinfo;
  cinfo.err = kov::jpeg::init_error_manager(&err, nullptr);  // reported through error
  unsigned char *out = nullptr;
  unsigned long out_len = 0;
  int rc = compress_plain(&err, &cinfo, pixelformat, width, height, row_stride, data,
                          CLAMP(quality, 1, 100), &out, &out_len);
  if (rc != 0) {
    free(out);
    g_set_error(error, KOV_ERROR, KOV_ERROR_FAILED, "JPEG compression failed: %s",
                err.message);
    return nullptr;
  }
  guint8 *result = static_cast<guint8 *>(g_memdup2(out, out_len));
  free(out);
  if (out_length != nullptr) *out_length = out_len;
  return result;
}
