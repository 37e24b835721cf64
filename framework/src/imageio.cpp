// Image files: PNG through libpng's simplified interface, JPEG header walking,
// in-memory JPEG compression (libjpeg 6.2 interface) and frame-number
// patterns for file names.
#include <kovkit/imageio.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>
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

struct JpegError {
  jpeg_error_mgr pub;
  jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void jpeg_error_jump(j_common_ptr cinfo) {
  auto *err = reinterpret_cast<JpegError *>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->message);
  longjmp(err->jump, 1);
}

void jpeg_ignore_message(j_common_ptr, int) {}

// Holds only plain data around setjmp: the error exit jumps back here.
int compress_plain(JpegError *err, jpeg_compress_struct *cinfo, guint32 code, int width,
                   int height, int row_stride, const guint8 *data, int quality,
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

// One parsed conversion of a frame-number pattern.
struct FramePattern {
  gsize start = 0;  // offset of '%'
  gsize end = 0;    // offset after the conversion character
  bool zero = false;
  bool left = false;
  int width = 0;
  bool found = false;
};

bool parse_pattern(const gchar *pattern, FramePattern *pattern_out, GError **error) {
  *pattern_out = FramePattern();
  for (gsize i = 0; pattern[i] != '\0'; i++) {
    if (pattern[i] != '%') continue;
    if (pattern[i + 1] == '%') {
      i++;
      continue;
    }
    if (pattern_out->found) {
      g_set_error(error, KOV_ERROR, KOV_ERROR_BAD_VALUE,
                  "\"%s\" has more than one number conversion", pattern);
      return false;
    }
    FramePattern s;
    s.start = i;
    gsize j = i + 1;
    for (; pattern[j] == '0' || pattern[j] == '-'; j++) {
      if (pattern[j] == '0') s.zero = true;
      else s.left = true;
    }
    for (; g_ascii_isdigit(pattern[j]); j++) {
      s.width = s.width * 10 + (pattern[j] - '0');
      if (s.width > 64) {
        g_set_error(error, KOV_ERROR, KOV_ERROR_BAD_VALUE,
                    "\"%s\": number width is too large", pattern);
        return false;
      }
    }
    if (pattern[j] != 'd' && pattern[j] != 'i' && pattern[j] != 'u') {
      g_set_error(error, KOV_ERROR, KOV_ERROR_BAD_VALUE,
                  "\"%s\": only %%d, %%i or %%u (with an optional width such as %%03d) "
                  "may hold the frame number",
                  pattern);
      return false;
    }
    s.end = j + 1;
    s.found = true;
    *pattern_out = s;
    i = j;
  }
  return true;
}

// Appends pattern text with "%%" turned into '%'.
void append_literal(GString *out, const gchar *text, gsize length) {
  for (gsize i = 0; i < length; i++) {
    g_string_append_c(out, text[i]);
    if (text[i] == '%' && i + 1 < length && text[i + 1] == '%') i++;
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
  JpegError err;
  jpeg_compress_struct cinfo;
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = jpeg_error_jump;
  err.pub.emit_message = jpeg_ignore_message;
  err.message[0] = '\0';
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

gboolean kov_frame_pattern_check(const gchar *pattern, gboolean *has_number, GError **error) {
  FramePattern parsed;
  if (pattern == nullptr || !parse_pattern(pattern, &parsed, error)) return FALSE;
  if (has_number != nullptr) *has_number = parsed.found;
  return TRUE;
}

gchar *kov_frame_pattern_format(const gchar *pattern, guint64 number) {
  FramePattern parsed;
  if (pattern == nullptr || !parse_pattern(pattern, &parsed, nullptr)) return nullptr;
  GString *out = g_string_new(nullptr);
  if (!parsed.found) {
    append_literal(out, pattern, strlen(pattern));
    return g_string_free(out, FALSE);
  }
  append_literal(out, pattern, parsed.start);
  gchar digits[32];
  g_snprintf(digits, sizeof digits, "%" G_GUINT64_FORMAT, number);
  int pad = parsed.width - static_cast<int>(strlen(digits));
  if (pad > 0 && !parsed.left) {
    for (int i = 0; i < pad; i++) g_string_append_c(out, parsed.zero ? '0' : ' ');
  }
  g_string_append(out, digits);
  if (pad > 0 && parsed.left) {
    for (int i = 0; i < pad; i++) g_string_append_c(out, ' ');
  }
  append_literal(out, pattern + parsed.end, strlen(pattern + parsed.end));
  return g_string_free(out, FALSE);
}
