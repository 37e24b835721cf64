/* SPDX-License-Identifier: LGPL-2.1-or-later */
// What the pixel routines may use of the processor: SSE2 is part of the
// build's target when KOV_PIXEL_SSE is 1; the SSSE3, AVX2 and AVX-512BW paths
// are compiled with target attributes (AVX2 and AVX-512 on x86-64 only, when
// KOV_PIXEL_AVX2 is 1) and chosen at run time through kov_simd_level().
#ifndef KOVKIT_PIXEL_SIMD_H
#define KOVKIT_PIXEL_SIMD_H

#include <kovkit/simd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <tmmintrin.h>
#define KOV_PIXEL_SSE 1
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define KOV_PIXEL_AVX2 1
#else
#define KOV_PIXEL_AVX2 0
#endif
#else
#define KOV_PIXEL_SSE 0
#define KOV_PIXEL_AVX2 0
#endif

namespace kov::simd {

// Lowers the available level to what the KOV_SIMD value names; an empty or
// missing value keeps it, one that names no level sets *unknown.
KovSimdLevel cap_level(KovSimdLevel available, const char *request, bool *unknown);
// Sets the level kov_simd_level() returns from now on, so that tests can run
// every path in one process. The level must be one the processor supports.
void set_level(KovSimdLevel level);

}  // namespace kov::simd

#if KOV_PIXEL_SSE
namespace kov::pixel {

static inline bool have_ssse3() { return kov_simd_level() >= KOV_SIMD_SSSE3; }

}  // namespace kov::pixel
#endif

#if KOV_PIXEL_AVX2
#include <kovkit/pixel.h>

namespace kov::pixel {

// The vector Bayer routines of one build of bayer_avx2.cpp, with the
// arguments of the public functions.
struct BayerVectorRoutines {
  void (*split_planes)(guint8 *planes[4], gint plane_stride, const guint8 *src, gint src_stride,
                       gint half_width, gint half_height);
  void (*rows_to_bgra)(guint8 *const planes[4], gint plane_stride, guint8 *dst, gint dst_stride,
                       gint width, gint height, guint32 tiling, gint first_row, gint n_rows);
  void (*rows_to_rgb)(guint8 *const planes[4], gint plane_stride, guint8 *dst, gint dst_stride,
                      gint width, gint height, guint32 tiling, gint first_row, gint n_rows);
  // Grey row functions for the shared row loops of bayer_kernels.h: one row,
  // and two rows at a time.
  void (*gray_row)(const guint8 *const rows[5], guint8 *out, int width, const gint8 *w_even,
                   const gint8 *w_odd);
  void (*gray_row_pair)(const guint8 *const rows[6], guint8 *out0, guint8 *out1, int width,
                        const gint8 *w0_even, const gint8 *w0_odd, const gint8 *w1_even,
                        const gint8 *w1_odd);
};

// The AVX2 build, for kov_simd_level() KOV_SIMD_AVX2 and up, and the AVX-512
// one (bayer_avx512.cpp), for KOV_SIMD_AVX512BW.
extern const BayerVectorRoutines avx2_bayer;
extern const BayerVectorRoutines avx512_bayer;

}  // namespace kov::pixel
#endif

#endif
