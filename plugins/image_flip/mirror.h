/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Row mirrors of the flip unit: dst receives the pixels of src in reverse
// order, whole pixels of bpp bytes each. src and dst are different rows.
//
// Pixel sizes 1, 2, 3 and 4 have dedicated loops. On x86 the 1-, 2- and
// 3-byte mirrors use SSSE3 byte shuffles and the 4-byte one an SSE2 dword
// shuffle; on x86-64 each also has an AVX2 loop, and an AVX-512 one for
// processors with AVX-512 byte permutes (VBMI). The path is chosen at run
// time from kov_simd_level(); the scalar loops are the portable fallback and
// the reference the tests compare the vector paths against.
//
// 4:2:2 rows (YUYV, UYVY) hold pixel pairs of four bytes that share their
// chroma: mirror_row_422 reverses the pairs and swaps the two luma samples
// inside each.
#ifndef KOV_IMAGE_FLIP_MIRROR_H
#define KOV_IMAGE_FLIP_MIRROR_H

#include <kovkit/simd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KOV_MIRROR_X86 1
#endif
#if defined(__x86_64__)
#define KOV_MIRROR_AVX2 1
#endif

namespace kov::flip {

using MirrorFn = void (*)(uint8_t *__restrict, const uint8_t *__restrict, size_t);

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

// `pairs` pixel pairs of four bytes; the luma samples of a pair are bytes
// `luma` and `luma` + 2 (0 for YUYV, 1 for UYVY).
inline void mirror_row_422(uint8_t *__restrict dst, const uint8_t *__restrict src, size_t pairs,
                           size_t luma) {
  for (size_t j = 0; j < pairs; ++j) {
    const uint8_t *s = src + 4 * (pairs - 1 - j);
    uint8_t *d = dst + 4 * j;
    std::memcpy(d, s, 4);
    d[luma] = s[luma + 2];
    d[luma + 2] = s[luma];
  }
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

#ifdef KOV_MIRROR_AVX2

// 32 bytes a step: reversed inside each 16-byte lane, then the lanes swapped.
// The pixels left over are done by the SSSE3 loop on the remaining part of
// the row (output pixels j.. come from source pixels ..width - 1 - j).
__attribute__((target("avx2"))) inline void mirror_row_1_avx2(uint8_t *__restrict dst,
                                                                const uint8_t *__restrict src,
                                                                size_t width) {
  const __m256i rev = _mm256_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 15,
                                       14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  size_t j = 0;
  for (; j + 32 <= width; j += 32) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + width - 32 - j));
    v = _mm256_permute4x64_epi64(_mm256_shuffle_epi8(v, rev), 0x4E);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + j), v);
  }
  mirror_row_1_ssse3(dst + j, src, width - j);
}

__attribute__((target("avx2"))) inline void mirror_row_2_avx2(uint8_t *__restrict dst,
                                                                const uint8_t *__restrict src,
                                                                size_t width) {
  const __m256i rev = _mm256_setr_epi8(14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1, 14,
                                       15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1);
  size_t j = 0;
  for (; j + 16 <= width; j += 16) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + 2 * (width - 16 - j)));
    v = _mm256_permute4x64_epi64(_mm256_shuffle_epi8(v, rev), 0x4E);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + 2 * j), v);
  }
  mirror_row_2_ssse3(dst + 2 * j, src, width - j);
}

// 32 3-byte pixels (96 bytes) a step, stored as three whole 32-byte vectors:
// overlapping 16-byte stores cost about twice as much as the copy itself.
// The source bytes of one 16-byte output lane span up to 18 bytes of the
// block, so each lane is the shuffle of two 16-byte loads, one starting at
// the first byte it needs and one ending at the last; Mirror3Lanes works the
// offsets and shuffles out for the six lanes of a block. Every load stays
// inside the block of 32 source pixels, so a step needs j + 32 <= width.
struct Mirror3Lanes {
  int first[6], last[6];                 // load offsets in the block
  alignas(32) int8_t from_first[6][16];  // shuffles (-128: none)
  alignas(32) int8_t from_last[6][16];
  constexpr Mirror3Lanes() : first{}, last{}, from_first{}, from_last{} {
    auto source = [](int o) { return 3 * (31 - o / 3) + o % 3; };
    for (int lane = 0; lane < 6; ++lane) {
      int lo = 95, hi = 0;
      for (int i = 0; i < 16; ++i) {
        lo = std::min(lo, source(16 * lane + i));
        hi = std::max(hi, source(16 * lane + i));
      }
      first[lane] = lo;
      last[lane] = hi - 15;
      for (int i = 0; i < 16; ++i) {
        const int at = source(16 * lane + i);
        from_first[lane][i] = int8_t(at - lo < 16 ? at - lo : -128);
        from_last[lane][i] = int8_t(at - lo < 16 ? -128 : at - last[lane]);
      }
    }
  }
};

// 16 bytes at a in the low lane, 16 at b in the high one.
__attribute__((target("avx2"), always_inline)) inline __m256i load_lanes(const void *a,
                                                                         const void *b) {
  return _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(static_cast<const __m128i *>(a))),
      _mm_loadu_si128(static_cast<const __m128i *>(b)), 1);
}

__attribute__((target("avx2"))) inline void mirror_row_3_avx2(uint8_t *__restrict dst,
                                                                const uint8_t *__restrict src,
                                                                size_t width) {
  static constexpr Mirror3Lanes kLanes;
  __m256i from_first[3], from_last[3];
#pragma GCC unroll 3
  for (int k = 0; k < 3; ++k) {
    from_first[k] = load_lanes(kLanes.from_first[2 * k], kLanes.from_first[2 * k + 1]);
    from_last[k] = load_lanes(kLanes.from_last[2 * k], kLanes.from_last[2 * k + 1]);
  }
  size_t j = 0;
  for (; j + 32 <= width; j += 32) {
    const uint8_t *block = src + 3 * (width - 32 - j);
#pragma GCC unroll 3
    for (int k = 0; k < 3; ++k) {
      const __m256i a = load_lanes(block + kLanes.first[2 * k], block + kLanes.first[2 * k + 1]);
      const __m256i b = load_lanes(block + kLanes.last[2 * k], block + kLanes.last[2 * k + 1]);
      const __m256i v = _mm256_or_si256(_mm256_shuffle_epi8(a, from_first[k]),
                                        _mm256_shuffle_epi8(b, from_last[k]));
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + 3 * j + 32 * k), v);
    }
  }
  mirror_row_3_ssse3(dst + 3 * j, src, width - j);
}

__attribute__((target("avx2"))) inline void mirror_row_4_avx2(uint8_t *__restrict dst,
                                                                const uint8_t *__restrict src,
                                                                size_t width) {
  const __m256i rev = _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0);
  size_t j = 0;
  for (; j + 8 <= width; j += 8) {
    const __m256i v =
        _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + 4 * (width - 8 - j)));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + 4 * j),
                        _mm256_permutevar8x32_epi32(v, rev));
  }
  mirror_row_4_sse2(dst + 4 * j, src, width - j);
}

// AVX-512: 64 pixels a step, as kBpp whole 64-byte stores. The source bytes
// of one output chunk span at most 66 bytes of the block, so each chunk is
// one two-register byte permute of two loads, one starting at the first byte
// it needs and one ending at the last (the same load when the span is 64).
template <int kBpp>
struct Mirror512Chunks {
  int first[kBpp], last[kBpp];           // load offsets in the block
  alignas(64) uint8_t index[kBpp][64];   // 0-63: first load, 64-127: last
  constexpr Mirror512Chunks() : first{}, last{}, index{} {
    auto source = [](int o) { return kBpp * (63 - o / kBpp) + o % kBpp; };
    for (int k = 0; k < kBpp; ++k) {
      int lo = 64 * kBpp, hi = 0;
      for (int i = 0; i < 64; ++i) {
        lo = std::min(lo, source(64 * k + i));
        hi = std::max(hi, source(64 * k + i));
      }
      first[k] = lo;
      last[k] = hi - 63;
      for (int i = 0; i < 64; ++i) {
        const int at = source(64 * k + i);
        index[k][i] = uint8_t(at - lo < 64 ? at - lo : 64 + at - last[k]);
      }
    }
  }
};

template <int kBpp>
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) inline void mirror_row_avx512(
    uint8_t *__restrict dst, const uint8_t *__restrict src, size_t width) {
  static constexpr Mirror512Chunks<kBpp> kChunks;
  static constexpr MirrorFn kRest[] = {mirror_row_1_avx2, mirror_row_2_avx2, mirror_row_3_avx2,
                                       mirror_row_4_avx2};
  __m512i index[kBpp];
#pragma GCC unroll 4
  for (int k = 0; k < kBpp; ++k) index[k] = _mm512_load_si512(kChunks.index[k]);
  size_t j = 0;
  for (; j + 64 <= width; j += 64) {
    const uint8_t *block = src + kBpp * (width - 64 - j);
#pragma GCC unroll 4
    for (int k = 0; k < kBpp; ++k) {
      const __m512i v = _mm512_permutex2var_epi8(_mm512_loadu_si512(block + kChunks.first[k]),
                                                 index[k],
                                                 _mm512_loadu_si512(block + kChunks.last[k]));
      _mm512_storeu_si512(dst + kBpp * j + 64 * k, v);
    }
  }
  kRest[kBpp - 1](dst + kBpp * j, src, width - j);
}

inline bool have_avx512_permutes() {
  static const bool have = __builtin_cpu_supports("avx512vbmi");
  return have;
}

#endif  // KOV_MIRROR_AVX2

// The mirror for pixel sizes 1 to 4 at the given vector level (the best path
// at or below it); nullptr for other sizes (use mirror_row_n).
inline MirrorFn pick_mirror(size_t bpp, KovSimdLevel level) {
  static constexpr MirrorFn scalar[] = {mirror_row_1_scalar, mirror_row_2_scalar,
                                        mirror_row_3_scalar, mirror_row_4_scalar};
  if (bpp < 1 || bpp > 4) return nullptr;
#ifdef KOV_MIRROR_AVX2
  static constexpr MirrorFn avx2[] = {mirror_row_1_avx2, mirror_row_2_avx2, mirror_row_3_avx2,
                                      mirror_row_4_avx2};
  static constexpr MirrorFn avx512[] = {mirror_row_avx512<1>, mirror_row_avx512<2>,
                                        mirror_row_avx512<3>, mirror_row_avx512<4>};
  if (level >= KOV_SIMD_AVX512BW && have_avx512_permutes()) return avx512[bpp - 1];
  if (level >= KOV_SIMD_AVX2) return avx2[bpp - 1];
#endif
#ifdef KOV_MIRROR_X86
  static constexpr MirrorFn ssse3[] = {mirror_row_1_ssse3, mirror_row_2_ssse3,
                                       mirror_row_3_ssse3, mirror_row_4_sse2};
  if (level >= KOV_SIMD_SSSE3 || (bpp == 4 && level >= KOV_SIMD_SSE2)) return ssse3[bpp - 1];
#endif
  (void)level;
  return scalar[bpp - 1];
}

// The mirror for this process's vector level.
inline MirrorFn pick_mirror(size_t bpp) { return pick_mirror(bpp, kov_simd_level()); }

}  // namespace kov::flip

#endif
