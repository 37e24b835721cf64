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

inline bool have_ssse3() { return kov_simd_level() >= KOV_SIMD_SSSE3; }

}  // namespace kov::pixel
#endif

#endif
