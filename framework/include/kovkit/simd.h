/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Which vector instructions the pixel routines use. The level is chosen once
 * per process from the processor and can be lowered (never raised) with the
 * environment variable KOV_SIMD=scalar|sse2|ssse3|avx2|avx512bw, for example
 * to measure or test each path. Each routine takes the best path it has at or
 * below the level. */
#ifndef KOVKIT_SIMD_H
#define KOVKIT_SIMD_H

#include <glib.h>

G_BEGIN_DECLS

typedef enum {
  KOV_SIMD_SCALAR,
  KOV_SIMD_SSE2,
  KOV_SIMD_SSSE3,
  KOV_SIMD_AVX2,
  KOV_SIMD_AVX512BW
} KovSimdLevel;

/* The level in use: what both the processor and this build support, capped by
 * KOV_SIMD. */
KovSimdLevel kov_simd_level(void);
/* "scalar", "sse2", "ssse3", "avx2" or "avx512bw"; "unknown" for other values. */
const gchar *kov_simd_level_name(KovSimdLevel level);

G_END_DECLS

#endif
