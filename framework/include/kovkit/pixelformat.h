/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* What each pixel format code is: its bytes per pixel, planes, Bayer tiling,
 * and the smallest row stride and frame size an image of it needs. Units ask
 * these functions instead of keeping their own list of formats. */
#ifndef KOVKIT_PIXELFORMAT_H
#define KOVKIT_PIXELFORMAT_H

#include <kovkit/types.h>

G_BEGIN_DECLS

/* Colours of the top-left, top-right, bottom-left and bottom-right sample of
 * every 2x2 cell of a Bayer mosaic. */
typedef enum {
  KOV_BAYER_TILING_NONE = 0, /* not a mosaic */
  KOV_BAYER_TILING_BGGR,
  KOV_BAYER_TILING_GBRG,
  KOV_BAYER_TILING_GRBG,
  KOV_BAYER_TILING_RGGB
} KovBayerTiling;

typedef struct {
  guint32 code;
  const gchar *name;     /* the four characters, "RGB3" */
  guint bits_per_pixel;  /* averaged over all planes: 24 for RGB3, 12 for I420; 0 if compressed */
  guint bytes_per_pixel; /* of the first plane's samples: 1 for I420, 2 for YUYV; 0 if compressed */
  guint block_width;     /* pixels that share their samples along a row (2 for YUYV, UYVY);
                          * a row holds whole blocks. 0 if compressed */
  guint planes;          /* 3 for I420, else 1 */
  guint chroma_shift;    /* planes after the first have the first plane's row stride and
                          * height halved this many times, rounded up (1 for I420) */
  gboolean compressed;   /* MJPG: row stride 0, the frame size is what the producer says */
  KovBayerTiling tiling; /* NONE unless a Bayer mosaic */
} KovPixelFormatInfo;

/* The facts of a code, or NULL when the framework does not know it. */
const KovPixelFormatInfo *kov_pixel_format_get_info(guint32 code);

/* TRUE for the 8-bit Bayer mosaics (BA81, XXX2, XXX3, XXX4). */
gboolean kov_pixel_format_is_bayer(guint32 code);

/* Smallest row stride for @width, in bytes (I420: of its luma plane; YUYV and
 * UYVY hold whole pixel pairs), or 0 when the code is unknown or compressed,
 * @width is not positive, or the stride does not fit in a gint. */
gint kov_pixel_format_min_row_stride(guint32 code, gint width);

/* Smallest frame, in bytes, that holds every pixel of a @width x @height image
 * whose rows are @row_stride bytes apart: the last row of a single plane
 * needs only its pixels; I420 is the luma plane followed by two chroma planes
 * of half the stride and height, rounded up, all whole. 0 when the code is
 * unknown or compressed, a size is not positive, @row_stride is below the
 * minimum, or the size does not fit in a gsize. */
gsize kov_pixel_format_min_frame_size(guint32 code, gint width, gint height, gint row_stride);

/* Like kov_pixel_format_min_frame_size, but every row whole, the last one
 * included: the size of a frame that a producer allocates. */
gsize kov_pixel_format_frame_size(guint32 code, gint width, gint height, gint row_stride);

/* TRUE when a frame format can describe real frames: width and height
 * positive; for a compressed code a row stride of 0 or more (it is not
 * used); otherwise a positive row stride, at least the code's smallest one
 * for @width when the framework knows the code, and a frame of @height rows
 * of @row_stride bytes whose size fits in a gsize. FALSE, with the reason in
 * @error (KOV_ERROR_FORMAT), for anything else. The framework refuses such
 * formats where units offer them; units that work out sizes of their own
 * still check them. */
gboolean kov_pixel_format_check(guint32 code, gint width, gint height, gint row_stride,
                                GError **error);

G_END_DECLS

#endif
