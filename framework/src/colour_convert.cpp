// SPDX-License-Identifier: LGPL-2.1-or-later
// Colour conversion routines of libkovkit: BGRA to packed RGB, with an SSSE3
// shuffle where the processor has one and a scalar twin that gives the same
// bytes.
#include <kovkit/pixel.h>

#include <cstddef>

#include "pixel_scalar.h"
#include "pixel_simd.h"

namespace {

void bgra_to_rgb_row_scalar(guint8 *__restrict dst, const guint8 *__restrict src, int x_begin,
                            int width) {
  for (int x = x_begin; x < width; ++x) {
    dst[3 * x] = src[4 * x + 2];
    dst[3 * x + 1] = src[4 * x + 1];
    dst[3 * x + 2] = src[4 * x];
  }
}

#if KOV_PIXEL_SSE

__attribute__((target("ssse3"))) void bgra_to_rgb_row_ssse3(guint8 *dst, const guint8 *src,
                                                             int width) {
  const __m128i mask = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  int x = 0;
  for (; x + 16 <= width; x += 16) {
    const __m128i *s = reinterpret_cast<const __m128i *>(src + std::ptrdiff_t(x) * 4);
    const __m128i a = _mm_shuffle_epi8(_mm_loadu_si128(s), mask);
    const __m128i b = _mm_shuffle_epi8(_mm_loadu_si128(s + 1), mask);
    const __m128i c = _mm_shuffle_epi8(_mm_loadu_si128(s + 2), mask);
    const __m128i d = _mm_shuffle_epi8(_mm_loadu_si128(s + 3), mask);
    __m128i *o = reinterpret_cast<__m128i *>(dst + std::ptrdiff_t(x) * 3);
    _mm_storeu_si128(o, _mm_or_si128(a, _mm_slli_si128(b, 12)));
    _mm_storeu_si128(o + 1, _mm_or_si128(_mm_srli_si128(b, 4), _mm_slli_si128(c, 8)));
    _mm_storeu_si128(o + 2, _mm_or_si128(_mm_srli_si128(c, 8), _mm_slli_si128(d, 4)));
  }
  bgra_to_rgb_row_scalar(dst, src, x, width);
}

#endif  // KOV_PIXEL_SSE

template <typename RowFn>
void bgra_to_rgb(guint8 *dst, gint dst_stride, gint width, gint height, const guint8 *src,
                 gint src_stride, RowFn row_fn) {
  if (dst == nullptr || src == nullptr || width <= 0 || height <= 0) return;
  if (dst_stride == 0) dst_stride = width * 3;
  if (src_stride == 0) src_stride = width * 4;
  for (gint y = 0; y < height; ++y)
    row_fn(dst + std::ptrdiff_t(y) * dst_stride, src + std::ptrdiff_t(y) * src_stride, width);
}

}  // namespace

namespace kov::pixel::scalar {

void convert_8u_bgra_to_8u_rgb(guint8 *dst, gint dst_stride, gint width, gint height,
                               const guint8 *src, gint src_stride) {
  bgra_to_rgb(dst, dst_stride, width, height, src, src_stride,
              [](guint8 *d, const guint8 *s, int w) { bgra_to_rgb_row_scalar(d, s, 0, w); });
}

}  // namespace kov::pixel::scalar

extern "C" {

void kov_pixel_convert_8u_bgra_to_8u_rgb(guint8 *dst, gint dst_stride, gint width, gint height,
                                         const guint8 *src, gint src_stride) {
#if KOV_PIXEL_SSE
  if (kov::pixel::have_ssse3()) {
    bgra_to_rgb(dst, dst_stride, width, height, src, src_stride, bgra_to_rgb_row_ssse3);
    return;
  }
#endif
  kov::pixel::scalar::convert_8u_bgra_to_8u_rgb(dst, dst_stride, width, height, src, src_stride);
}

}  // extern "C"
