/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Row mirrors of the flip unit: dst receives the pixels of src in reverse
// order, whole pixels of bpp bytes each. src and dst are different rows.
//
// Pixel sizes 1, 2, 3 and 4 have dedicated loops. On x86 the 1-, 2- and
// 3-byte mirrors use SSSE3 byte shuffles and the 4-byte one an SSE2 dword
// shuffle, chosen at run time; the scalar loops are the portable fallback and
// the reference the tests compare the vector paths against.
#ifndef KOV_IMAGE_FLIP_MIRROR_H
#define KOV_IMAGE_FLIP_MIRROR_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KOV_MIRROR_X86 1
#endif

namespace kov::flip {

// Scalar mirrors. Fixed-size memcpy compiles to plain loads and stores.
inline void mirror_row_1_scalar(uint8_t *__restrict dst, const uint8_t *__restrict src,
                                size_t width) {
  for (size_t j = 0; j < width; ++j) dst[j] = src[width - 1 - j];
}

inline void mirror_row_2_scalar(uint8_t *__restrict dst, const uint8_t *__restrict src,
                                size_t width) {
  for (size_t j = 0; j < width; ++j) std::memcpy(dst + 2 * j, src + 2 * (width - 1 - j), 2);
}

inline void mirror_row_3_scalar(uint8_t *__restrict dst, const uint8_t *__restrict src,
                                size_t width) {
  for (size_t j = 0; j < width; ++j) {
    const uint8_t *s = src + 3 * (width - 1 - j);
    dst[3 * j] = s[0];
    dst[3 * j + 1] = s[1];
    dst[3 * j + 2] = s[2];
  }
}

inline void mirror_row_4_scalar(uint8_t *__restrict dst, const uint8_t *__restrict src,
                                size_t width) {
  for (size_t j = 0; j < width; ++j) std::memcpy(dst + 4 * j, src + 4 * (width - 1 - j), 4);
}

// Any other pixel size: one copy of bpp bytes per pixel.
inline void mirror_row_n(uint8_t *__restrict dst, const uint8_t *__restrict src, size_t width,
                         size_t bpp) {
  for (size_t j = 0; j < width; ++j) std::memcpy(dst + bpp * j, src + bpp * (width - 1 - j), bpp);
}

#ifdef KOV_MIRROR_X86

// 16 output bytes from the 16 source bytes that end where the output block's
// mirror image ends. Every load and store stays inside the row; the leftover
// pixels at the end are done by the scalar loop.
__attribute__((target("ssse3"))) inline void mirror_row_1_ssse3(uint8_t *__restrict dst,
                                                                  const uint8_t *__restrict src,
                                                                  size_t width) {
  const __m128i rev = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  size_t j = 0;
  for (; j + 16 <= width; j += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + width - 16 - j));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + j), _mm_shuffle_epi8(v, rev));
  }
  for (; j < width; ++j) dst[j] = src[width - 1 - j];
}

__attribute__((target("ssse3"))) inline void mirror_row_2_ssse3(uint8_t *__restrict dst,
                                                                  const uint8_t *__restrict src,
                                                                  size_t width) {
  const __m128i rev = _mm_setr_epi8(14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1);
  size_t j = 0;
  for (; j + 8 <= width; j += 8) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 2 * (width - 8 - j)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 2 * j), _mm_shuffle_epi8(v, rev));
  }
  for (; j < width; ++j) std::memcpy(dst + 2 * j, src + 2 * (width - 1 - j), 2);
}

// Five 3-byte pixels (15 bytes) per step. The load starts one byte before the
// five source pixels so that it ends exactly at their end; the 16th stored
// byte lands on the next output pixel, which a later step or the scalar tail
// overwrites. A block is done only while both the load (needs one byte
// before its pixels) and the store (16 bytes) fit in the row: j + 6 <= width.
__attribute__((target("ssse3"))) inline void mirror_row_3_ssse3(uint8_t *__restrict dst,
                                                                  const uint8_t *__restrict src,
                                                                  size_t width) {
  const __m128i rev = _mm_setr_epi8(13, 14, 15, 10, 11, 12, 7, 8, 9, 4, 5, 6, 1, 2, 3, -128);
  size_t j = 0;
  for (; j + 6 <= width; j += 5) {
    __m128i v =
        _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 3 * (width - 5 - j) - 1));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 3 * j), _mm_shuffle_epi8(v, rev));
  }
  for (; j < width; ++j) {
    const uint8_t *s = src + 3 * (width - 1 - j);
    dst[3 * j] = s[0];
    dst[3 * j + 1] = s[1];
    dst[3 * j + 2] = s[2];
  }
}

__attribute__((target("sse2"))) inline void mirror_row_4_sse2(uint8_t *__restrict dst,
                                                                const uint8_t *__restrict src,
                                                                size_t width) {
  size_t j = 0;
  for (; j + 4 <= width; j += 4) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 4 * (width - 4 - j)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 4 * j),
                     _mm_shuffle_epi32(v, _MM_SHUFFLE(0, 1, 2, 3)));
  }
  for (; j < width; ++j) std::memcpy(dst + 4 * j, src + 4 * (width - 1 - j), 4);
}

#endif  // KOV_MIRROR_X86

using MirrorFn = void (*)(uint8_t *__restrict, const uint8_t *__restrict, size_t);

// The fastest mirror for pixel sizes 1 to 4 on this processor; nullptr for
// other sizes (use mirror_row_n).
inline MirrorFn pick_mirror(size_t bpp) {
#ifdef KOV_MIRROR_X86
  static const bool ssse3 = (__builtin_cpu_init(), __builtin_cpu_supports("ssse3"));
  static const bool sse2 = __builtin_cpu_supports("sse2");
  switch (bpp) {
    case 1: return ssse3 ? mirror_row_1_ssse3 : mirror_row_1_scalar;
    case 2: return ssse3 ? mirror_row_2_ssse3 : mirror_row_2_scalar;
    case 3: return ssse3 ? mirror_row_3_ssse3 : mirror_row_3_scalar;
    case 4: return sse2 ? mirror_row_4_sse2 : mirror_row_4_scalar;
    default: return nullptr;
  }
#else
  switch (bpp) {
    case 1: return mirror_row_1_scalar;
    case 2: return mirror_row_2_scalar;
    case 3: return mirror_row_3_scalar;
    case 4: return mirror_row_4_scalar;
    default: return nullptr;
  }
#endif
}

}  // namespace kov::flip

#endif
