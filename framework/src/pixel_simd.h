/* SPDX-License-Identifier: LGPL-2.1-or-later */
// What the pixel routines may use of the processor: SSE2 is part of the
// build's target when KOV_PIXEL_SSE is 1; SSSE3 is asked at run time.
#ifndef KOVKIT_PIXEL_SIMD_H
#define KOVKIT_PIXEL_SIMD_H

#if defined(__SSE2__)
#include <emmintrin.h>
#include <tmmintrin.h>
#define KOV_PIXEL_SSE 1

namespace kov::pixel {

inline bool have_ssse3() {
  static const bool supported = __builtin_cpu_supports("ssse3");
  return supported;
}

}  // namespace kov::pixel
#endif

#endif
