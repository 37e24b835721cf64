/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Image files for the file units, snapshots and tests: PNG reading and
 * writing, JPEG header parsing and a small in-memory JPEG compressor, and the
 * frame-number patterns of file names ("out/%03d.png"). */
#ifndef KOVKIT_IMAGEIO_H
#define KOVKIT_IMAGEIO_H

#include <kovkit/types.h>

G_BEGIN_DECLS

/* R, G, B, A bytes per pixel, as OpenGL reads back a framebuffer. Accepted
 * by kov_image_write_png only; it is not a frame format. */
#define KOV_IMAGE_FORMAT_RGBA KOV_FOURCC('R', 'G', 'B', 'A')

typedef struct {
  guint32 pixelformat; /* KOV_PIX_FMT_RGB3 or KOV_PIX_FMT_GREY */
  gint width;
  gint height;
} KovImageInfo;

/**
 * kov_image_write_png:
 * Writes an 8-bit image as a PNG file. RGB3, BGR3, RGB4 and BGR4 give an RGB
 * file (the fourth byte of RGB4/BGR4 is not written: camera frames carry no
 * meaningful alpha), GREY a grey file and KOV_IMAGE_FORMAT_RGBA an RGBA file.
 * Row y starts at data + y * row_stride; a negative stride (with data pointing
 * at the last row in memory) writes bottom-up images the right way round.
 * The file is written under a temporary name in the same folder and renamed
 * over @path only when complete, so a failed write never leaves a partial
 * file under @path.
 */
gboolean kov_image_write_png(const gchar *path, guint32 pixelformat, gint width, gint height,
                             gint row_stride, gconstpointer data, GError **error);

/* Reads the header of a PNG file: grey files (with or without alpha) are
 * GREY, every other kind RGB3. */
gboolean kov_image_read_png_info(const gchar *path, KovImageInfo *info, GError **error);

/**
 * kov_image_read_png:
 * Decodes a PNG file into @dst (rows of @dst_stride bytes). The file must
 * have the size and kind of @expect (KOV_ERROR_FORMAT otherwise); alpha is
 * composited over black, 16-bit samples are reduced to 8 bits.
 */
gboolean kov_image_read_png(const gchar *path, const KovImageInfo *expect, guint8 *dst,
                            gint dst_stride, GError **error);

/**
 * kov_image_load_png:
 * Reads a whole PNG file into new packed rows (row stride = width × bytes
 * per pixel).
 * Returns: (transfer full) (nullable): the pixels, free with g_free.
 */
guint8 *kov_image_load_png(const gchar *path, KovImageInfo *info, GError **error);

/**
 * kov_jpeg_parse:
 * Walks the markers of the JPEG image at the start of @data without reading
 * past @length. On success gives the image size from its frame header and
 * the number of bytes up to and including its end-of-image marker.
 * Returns FALSE for data that does not start with a JPEG image, has no frame
 * header, or ends before its end-of-image marker.
 */
gboolean kov_jpeg_parse(const guint8 *data, gsize length, gint *width, gint *height,
                        gsize *image_length);

/**
 * kov_jpeg_compress:
 * Compresses an RGB3 or GREY image at @quality (1 to 100).
 * Returns: (transfer full) (nullable): the JPEG bytes (free with g_free), with
 * their count in @out_length.
 */
guint8 *kov_jpeg_compress(guint32 pixelformat, gint width, gint height, gint row_stride,
                          const guint8 *data, gint quality, gsize *out_length, GError **error);

/* Frame-number patterns: text with at most one conversion %d, %i or %u (with
 * optional '0' or '-' flag and a width) and any number of "%%". */

/* TRUE when @pattern is valid; @has_number tells whether it holds a
 * conversion. On FALSE, @error says what is wrong. */
gboolean kov_frame_pattern_check(const gchar *pattern, gboolean *has_number, GError **error);
/**
 * kov_frame_pattern_format:
 * Returns: (transfer full): the pattern with @number put in; NULL when the
 * pattern is not valid.
 */
gchar *kov_frame_pattern_format(const gchar *pattern, guint64 number);

G_END_DECLS

#endif
