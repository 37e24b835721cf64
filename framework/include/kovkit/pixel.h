/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Pixel routines the units call: Bayer demosaicing on aligned work planes and
 * BGRA to RGB conversion. Strides are in bytes; a stride of 0 means packed. */
#ifndef KOVKIT_PIXEL_H
#define KOVKIT_PIXEL_H

#include <kovkit/types.h>

G_BEGIN_DECLS

/* Bits per pixel of a pixel format (0 when unknown or compressed), from the
 * table of kovkit/pixelformat.h. */
gint kov_pixel_format_bpp(guint32 pixelformat);

/* Separates a mosaic into four quarter planes, one per position of the 2x2
 * cell: planes[0] top-left, [1] top-right, [2] bottom-left, [3] bottom-right;
 * each half_width x half_height at plane_stride. */
void kov_pixel_split_bayer_planes_8u(guint8 *planes[4], gint plane_stride, const guint8 *src,
                                     gint src_stride, gint half_width, gint half_height);
/* Extends a plane of width x height into a margin of one row above and below
 * and 16 bytes left and right by replicating its edge. */
void kov_pixel_replicate_border_8u(guint8 *origin, gint stride, gint width, gint height);
/* Extends a whole mosaic into a margin of two rows and 16 bytes, keeping the
 * 2x2 colour pattern. */
void kov_pixel_replicate_bayer_border_8u(guint8 *origin, gint stride, gint width, gint height);
/* Demosaics the four quarter planes into a width x height BGRA image. */
void kov_pixel_bayer_interpolate_to_8u_bgra(guint8 *planes[4], gint plane_stride, guint8 *dst,
                                            gint dst_stride, gint width, gint height,
                                            guint32 tiling);
/* Demosaics a whole mosaic (with its margin) into a width x height grey image. */
void kov_pixel_bayer_interpolate_to_8u_gray(const guint8 *origin, gint stride, guint8 *dst,
                                            gint dst_stride, gint width, gint height,
                                            guint32 tiling);
/* Demosaics the four quarter planes into a width x height packed RGB image. */
void kov_pixel_bayer_interpolate_to_8u_rgb(guint8 *planes[4], gint plane_stride, guint8 *dst,
                                           gint dst_stride, gint width, gint height,
                                           guint32 tiling);
/* The same three, for the rows first_row to first_row + n_rows - 1 (clipped
 * to the image) only: dst is still the image's first row, so that bands of
 * rows can be demosaiced separately (at the same time) into one image. */
void kov_pixel_bayer_interpolate_rows_to_8u_bgra(guint8 *planes[4], gint plane_stride,
                                                 guint8 *dst, gint dst_stride, gint width,
                                                 gint height, guint32 tiling, gint first_row,
                                                 gint n_rows);
void kov_pixel_bayer_interpolate_rows_to_8u_rgb(guint8 *planes[4], gint plane_stride, guint8 *dst,
                                                gint dst_stride, gint width, gint height,
                                                guint32 tiling, gint first_row, gint n_rows);
void kov_pixel_bayer_interpolate_rows_to_8u_gray(const guint8 *origin, gint stride, guint8 *dst,
                                                 gint dst_stride, gint width, gint height,
                                                 guint32 tiling, gint first_row, gint n_rows);
/* Grey rows first_row to first_row + n_rows - 1 (clipped) of a mosaic that
 * has no margin, read where it lies (src_stride bytes a row): the same bytes
 * as kov_pixel_replicate_bayer_border_8u on a copy of it followed by
 * kov_pixel_bayer_interpolate_rows_to_8u_gray, without the copy. */
void kov_pixel_bayer_rows_to_8u_gray_unpadded(const guint8 *src, gint src_stride, guint8 *dst,
                                              gint dst_stride, gint width, gint height,
                                              guint32 tiling, gint first_row, gint n_rows);
/* R, G, B from each B, G, R, A pixel. */
void kov_pixel_convert_8u_bgra_to_8u_rgb(guint8 *dst, gint dst_stride, gint width, gint height,
                                         const guint8 *src, gint src_stride);

G_END_DECLS

#endif
