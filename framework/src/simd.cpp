// SPDX-License-Identifier: LGPL-2.1-or-later
// Run-time choice of the vector paths of the pixel routines: the processor's
// best level that this build compiled, lowered by KOV_SIMD.
#include <kovkit/simd.h>

#include <atomic>
#include <cstring>

#include "pixel_simd.h"

namespace {

const char *const kNames[] = {"scalar", "sse2", "ssse3", "avx2", "avx512bw"};
constexpr int kLevels = G_N_ELEMENTS(kNames);

// The best level both the processor and this build support. The SSE2 and
// SSSE3 paths need SSE2 in the build's target; the AVX2 and AVX-512 paths are
// compiled for x86-64 only.
KovSimdLevel processor_level() {
#if KOV_PIXEL_SSE
  __builtin_cpu_init();
#if KOV_PIXEL_AVX2
  if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl"))
    return KOV_SIMD_AVX512BW;
  if (__builtin_cpu_supports("avx2")) return KOV_SIMD_AVX2;
#endif
  if (__builtin_cpu_supports("ssse3")) return KOV_SIMD_SSSE3;
  return KOV_SIMD_SSE2;
#else
  return KOV_SIMD_SCALAR;
#endif
}

// -1 until the level is chosen.
std::atomic<int> chosen{-1};

}  // namespace

namespace kov::simd {

KovSimdLevel cap_level(KovSimdLevel available, const char *request, bool *unknown) {
  *unknown = false;
  if (request == nullptr || *request == '\0') return available;
  for (int i = 0; i < kLevels; ++i)
    if (g_ascii_strcasecmp(request, kNames[i]) == 0)
      return i < available ? KovSimdLevel(i) : available;
  *unknown = true;
  return available;
}

void set_level(KovSimdLevel level) { chosen.store(level, std::memory_order_relaxed); }

}  // namespace kov::simd

extern "C" {

KovSimdLevel kov_simd_level(void) {
  int level = chosen.load(std::memory_order_relaxed);
  if (level >= 0) return KovSimdLevel(level);
  const char *request = g_getenv("KOV_SIMD");
  bool unknown = false;
  const KovSimdLevel capped = kov::simd::cap_level(processor_level(), request, &unknown);
  int expected = -1;
  // Only the first caller to choose warns about a value it does not know.
  if (chosen.compare_exchange_strong(expected, capped) && unknown)
    g_warning("KOV_SIMD=%s is not one of scalar, sse2, ssse3, avx2, avx512bw: ignored", request);
  return KovSimdLevel(chosen.load(std::memory_order_relaxed));
}

const gchar *kov_simd_level_name(KovSimdLevel level) {
  return int(level) >= 0 && int(level) < kLevels ? kNames[level] : "unknown";
}

}  // extern "C"
