/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Portable versions of the vectorised pixel routines. They compute exactly
// the same bytes as the SSE2/SSSE3 paths in bayer.cpp and colour_convert.cpp;
// the tests compare the two on random data, and the public functions use
// these where no vector unit is available and for the columns that do not
// fill a whole vector.
#ifndef KOVKIT_PIXEL_SCALAR_H
#define KOVKIT_PIXEL_SCALAR_H

#include <kovkit/pixel.h>

namespace kov::pixel::scalar {

void split_bayer_planes_8u(guint8 *planes[4], gint plane_stride, const guint8 *src,
                           gint src_stride, gint half_width, gint half_height);
void bayer_interpolate_to_8u_bgra(guint8 *planes[4], gint plane_stride, guint8 *dst,
                                  gint dst_stride, gint width, gint height, guint32 tiling);
void bayer_interpolate_to_8u_gray(const guint8 *origin, gint stride, guint8 *dst,
                                  gint dst_stride, gint width, gint height, guint32 tiling);
void convert_8u_bgra_to_8u_rgb(guint8 *dst, gint dst_stride, gint width, gint height,
                               const guint8 *src, gint src_stride);

}  // namespace kov::pixel::scalar

#endif
