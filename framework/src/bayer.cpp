// SPDX-License-Identifier: LGPL-2.1-or-later
// Bayer routines of libkovkit: the split of a mosaic into quarter planes,
// their replicated borders, and demosaicing to BGRA, RGB or grey on the fast
// debayer unit's aligned work planes, whole or by bands of rows. This file
// holds the scalar and SSE2/SSSE3 versions and picks the version for the
// level kov_simd_level() gives; bayer_avx2.cpp holds the AVX2 versions (built
// again for AVX-512 by bayer_avx512.cpp) and bayer_kernels.h the byte
// arithmetic they all share.
//
// Demosaicing is gradient-corrected linear interpolation: each missing colour
// is its bilinear estimate corrected by a fraction of the local Laplacian of
// the colour sampled at that pixel (a 5×5 neighbourhood). It is exact on flat
// areas and linear ramps and keeps more detail than plain bilinear. The BGRA
// path works entirely on bytes: averages round up as SSE2's pavgb does, and
// each correction is a signed half-difference kept around 128 and added with
// saturation, so sixteen (SSE2) or 32 (AVX2) cells go through one vector
// operation. The scalar code repeats the same byte arithmetic and so gives
// the same bytes; it also handles the columns that do not fill a whole
// vector.
//
// Quarter-plane layout (BGRA output): planes[0..3] hold the top-left,
// top-right, bottom-left and bottom-right pixel of every 2×2 cell, each plane
// width/2 × height/2 (truncated) with one replicated row above and below and
// 16 replicated bytes left and right. An odd last column or row of the output
// is interpolated from that replicated margin, so the whole width × height
// image is written without reading outside the planes and their margins.
#include <kovkit/pixel.h>
#include <kovkit/pixelformat.h>

#include <cstddef>
#include <cstring>

#include "bayer_kernels.h"
#include "pixel_scalar.h"
#include "pixel_simd.h"

namespace {



#if KOV_PIXEL_SSE

// The byte arithmetic of SiteMath on sixteen lanes.
struct VectorOps {
  using Value = __m128i;
  static __m128i half_diff(__m128i a, __m128i b) {
    return _mm_avg_epu8(a, _mm_xor_si128(b, _mm_set1_epi8(-1)));
  }
  static __m128i halve(__m128i t) { return _mm_avg_epu8(t, _mm_set1_epi8(127)); }
  static __m128i flip(__m128i v) { return _mm_xor_si128(v, _mm_set1_epi8(-128)); }
  static __m128i adds(__m128i a, __m128i b) { return _mm_adds_epi8(a, b); }
  static __m128i subs(__m128i a, __m128i b) { return _mm_subs_epi8(a, b); }
};

struct Bgr {
  __m128i b, g, r;
};

// Row pointers of the four planes at rows y-1, y, y+1 (clamped like
// neighbours_of). Every position reads the same addresses through these, so
// the compiler loads each of the 24 distinct vectors once per cell group.
struct PlaneRows {
  const guint8 *r[4][3];
};

// B, G, R of position (PY, PX) with site S for sixteen cells at plane x,
// with the neighbours that neighbours_of gives.
template <int PY, int PX, Site S>
__attribute__((always_inline)) inline Bgr vsite_to_bgr(const PlaneRows &rows, int x) {
  constexpr int own = PY * 2 + PX, horizontal = PY * 2 + (1 - PX);
  constexpr int vertical = (1 - PY) * 2 + PX, diagonal = (1 - PY) * 2 + (1 - PX);
  constexpr int left = PX == 0 ? -1 : 0;  // column of the left neighbour, relative
  constexpr int up = PY == 0 ? 0 : 1;     // row index of the upper neighbour
  auto at = [&](int plane, int row, int dx) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(rows.r[plane][row] + x + dx));
  };
  using Math = SiteMath<VectorOps>;
  const __m128i c = at(own, 1, 0);
  const __m128i avg_diag = _mm_avg_epu8(_mm_avg_epu8(at(diagonal, up, left), at(diagonal, up, left + 1)),
                                        _mm_avg_epu8(at(diagonal, up + 1, left), at(diagonal, up + 1, left + 1)));
  const __m128i avg_h1 = _mm_avg_epu8(at(horizontal, 1, left), at(horizontal, 1, left + 1));
  const __m128i avg_v1 = _mm_avg_epu8(at(vertical, up, 0), at(vertical, up + 1, 0));
  const __m128i avg_h2 = _mm_avg_epu8(at(own, 1, -1), at(own, 1, 1));
  const __m128i avg_v2 = _mm_avg_epu8(at(own, 0, 0), at(own, 2, 0));
  __m128i a, b;
  if constexpr (S == SITE_R || S == SITE_B) {
    Math::at_red_or_blue(c, _mm_avg_epu8(avg_h1, avg_v1), _mm_avg_epu8(avg_h2, avg_v2), avg_diag,
                         a, b);
    if constexpr (S == SITE_R)
      return {b, a, c};
    else
      return {c, a, b};
  } else {
    Math::at_green(c, avg_h1, avg_v1, avg_diag, avg_h2, avg_v2, a, b);
    if constexpr (S == SITE_G_RED_ROW)
      return {b, c, a};
    else
      return {a, c, b};
  }
}

// Sixteen pixels of B, G, R (and A = 255) as 64 bytes of BGRA.
inline void store_bgra16(guint8 *dst, __m128i b, __m128i g, __m128i r) {
  const __m128i a = _mm_set1_epi8(-1);
  const __m128i bg_lo = _mm_unpacklo_epi8(b, g), bg_hi = _mm_unpackhi_epi8(b, g);
  const __m128i ra_lo = _mm_unpacklo_epi8(r, a), ra_hi = _mm_unpackhi_epi8(r, a);
  __m128i *d = reinterpret_cast<__m128i *>(dst);
  _mm_storeu_si128(d, _mm_unpacklo_epi16(bg_lo, ra_lo));
  _mm_storeu_si128(d + 1, _mm_unpackhi_epi16(bg_lo, ra_lo));
  _mm_storeu_si128(d + 2, _mm_unpacklo_epi16(bg_hi, ra_hi));
  _mm_storeu_si128(d + 3, _mm_unpackhi_epi16(bg_hi, ra_hi));
}

// One output row of 32 pixels from the left (px 0) and right (px 1) pixels
// of 16 cells.
inline void store_cells(guint8 *out, const Bgr &left, const Bgr &right) {
  store_bgra16(out, _mm_unpacklo_epi8(left.b, right.b), _mm_unpacklo_epi8(left.g, right.g),
               _mm_unpacklo_epi8(left.r, right.r));
  store_bgra16(out + 64, _mm_unpackhi_epi8(left.b, right.b), _mm_unpackhi_epi8(left.g, right.g),
               _mm_unpackhi_epi8(left.r, right.r));
}

// Both rows of sixteen cells at a time while both of their columns lie inside
// the image (reads reach plane x + 16, inside the right margin); the rest
// scalar. The
// sites are template arguments so that each tiling gets straight-line code.
template <Site S0, Site S1, Site S2, Site S3>
void cells_row_sse_tiled(const Neighbours n[4], const Layout &layout, guint8 *out0, guint8 *out1,
                         int width, int half_width) {
  PlaneRows rows;
  for (int p = 0; p < 4; ++p) {
    rows.r[p][0] = n[p].cu;
    rows.r[p][1] = n[p].cm;
    rows.r[p][2] = n[p].cd;
  }
  int x = 0;
  for (; x + 16 <= half_width; x += 16) {
    const Bgr tl = vsite_to_bgr<0, 0, S0>(rows, x);
    const Bgr tr = vsite_to_bgr<0, 1, S1>(rows, x);
    const Bgr bl = vsite_to_bgr<1, 0, S2>(rows, x);
    const Bgr br = vsite_to_bgr<1, 1, S3>(rows, x);
    store_cells(out0 + std::ptrdiff_t(x) * 8, tl, tr);
    store_cells(out1 + std::ptrdiff_t(x) * 8, bl, br);
  }
  cells_scalar<Packing::BGRA>(n, layout, out0, out1, x, (width + 1) / 2, width);
}

void cells_row_sse(const Neighbours n[4], const Layout &layout, guint8 *out0, guint8 *out1,
                   int width, int half_width) {
  constexpr Site R = SITE_R, B = SITE_B, GR = SITE_G_RED_ROW, GB = SITE_G_BLUE_ROW;
  auto row = cells_row_sse_tiled<B, GB, GR, R>;  // BGGR
  if (layout.at[0] == GB) row = cells_row_sse_tiled<GB, B, R, GR>;       // GBRG
  else if (layout.at[0] == GR) row = cells_row_sse_tiled<GR, R, B, GB>;  // GRBG
  else if (layout.at[0] == R) row = cells_row_sse_tiled<R, GR, GB, B>;   // RGGB
  row(n, layout, out0, out1, width, half_width);
}

// Signed byte weights of two groups for pixels that alternate between the
// even-column and odd-column site, interleaved as pmaddubsw pairs them.
inline __m128i pair_weights(const gint8 *even, const gint8 *odd, int g1, int g2) {
  const int w = guint8(even[g1]) | guint8(even[g2]) << 8 | guint8(odd[g1]) << 16 |
                guint8(odd[g2]) << 24;
  return _mm_set1_epi32(w);
}

// Eight grey values from three interleaved group pairs and their weights.
__attribute__((target("ssse3"), always_inline)) inline __m128i luma8(__m128i c_h1, __m128i v1_d,
                                                                     __m128i h2_v2, __m128i w1,
                                                                     __m128i w2, __m128i w3) {
  __m128i acc = _mm_maddubs_epi16(c_h1, w1);
  acc = _mm_add_epi16(acc, _mm_maddubs_epi16(v1_d, w2));
  acc = _mm_add_epi16(acc, _mm_maddubs_epi16(h2_v2, w3));
  return _mm_srai_epi16(_mm_add_epi16(acc, _mm_set1_epi16(32)), 6);
}

__attribute__((target("ssse3"))) void gray_row_ssse3(const guint8 *const rows[5], guint8 *out,
                                                      int width, const gint8 *w_even,
                                                      const gint8 *w_odd) {
  const __m128i w_c_h1 = pair_weights(w_even, w_odd, G_C, G_H1);
  const __m128i w_v1_d = pair_weights(w_even, w_odd, G_V1, G_D);
  const __m128i w_h2_v2 = pair_weights(w_even, w_odd, G_H2, G_V2);
  const guint8 *r0 = rows[2], *ru = rows[1], *rd = rows[3];
  auto at = [](const guint8 *row, int x) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + x));
  };
  int x = 0;
  // Reads reach x + 17, inside the 16-byte right margin.
  for (; x + 16 <= width; x += 16) {
    const __m128i c = at(r0, x);
    const __m128i h1 = _mm_avg_epu8(at(r0, x - 1), at(r0, x + 1));
    const __m128i v1 = _mm_avg_epu8(at(ru, x), at(rd, x));
    const __m128i d = _mm_avg_epu8(_mm_avg_epu8(at(ru, x - 1), at(ru, x + 1)),
                                   _mm_avg_epu8(at(rd, x - 1), at(rd, x + 1)));
    const __m128i h2 = _mm_avg_epu8(at(r0, x - 2), at(r0, x + 2));
    const __m128i v2 = _mm_avg_epu8(at(rows[0], x), at(rows[4], x));
    const __m128i lo = luma8(_mm_unpacklo_epi8(c, h1), _mm_unpacklo_epi8(v1, d),
                             _mm_unpacklo_epi8(h2, v2), w_c_h1, w_v1_d, w_h2_v2);
    const __m128i hi = luma8(_mm_unpackhi_epi8(c, h1), _mm_unpackhi_epi8(v1, d),
                             _mm_unpackhi_epi8(h2, v2), w_c_h1, w_v1_d, w_h2_v2);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + x), _mm_packus_epi16(lo, hi));
  }
  gray_row_scalar(rows, out, x, width, w_even, w_odd);
}

// Split of one mosaic row into its even and odd columns, 16 of each at a time.
void split_row_sse(guint8 *even, guint8 *odd, const guint8 *src, int half_width) {
  const __m128i low = _mm_set1_epi16(0x00ff);
  int x = 0;
  for (; x + 16 <= half_width; x += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 2 * x));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 2 * x + 16));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(even + x),
                     _mm_packus_epi16(_mm_and_si128(a, low), _mm_and_si128(b, low)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(odd + x),
                     _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8)));
  }
  for (; x < half_width; ++x) {
    even[x] = src[2 * x];
    odd[x] = src[2 * x + 1];
  }
}

#endif  // KOV_PIXEL_SSE

template <Packing P>
void cells_row_scalar(const Neighbours n[4], const Layout &layout, guint8 *out0, guint8 *out1,
                      int width, int) {
  cells_scalar<P>(n, layout, out0, out1, 0, (width + 1) / 2, width);
}

void gray_row_whole_scalar(const guint8 *const rows[5], guint8 *out, int width,
                           const gint8 *w_even, const gint8 *w_odd) {
  gray_row_scalar(rows, out, 0, width, w_even, w_odd);
}

#if KOV_PIXEL_SSE
// RGB without a direct vector kernel: each pair of rows is demosaiced to BGRA
// in a scratch buffer by the SSE2 code and converted from there, so the
// picture never exists as a whole BGRA frame. Without scratch memory it falls
// back to the scalar code.
void rgb_rows_via_bgra_sse(guint8 *const planes[4], gint plane_stride, guint8 *dst,
                           gint dst_stride, gint width, gint height, guint32 tiling,
                           gint first_row, gint n_rows) {
  guint8 *scratch = static_cast<guint8 *>(g_try_malloc(gsize(width) * 8));
  if (scratch == nullptr) {
    interpolate_cells<Packing::RGB>(planes, plane_stride, dst, dst_stride, width, height, tiling,
                                    first_row, n_rows, cells_row_scalar<Packing::RGB>);
    return;
  }
  interpolate_cells<Packing::RGB>(
      planes, plane_stride, dst, dst_stride, width, height, tiling, first_row, n_rows,
      [scratch](const Neighbours n[4], const Layout &layout, guint8 *out0, guint8 *out1, int w,
                int half_width) {
        guint8 *bgra1 = scratch + std::ptrdiff_t(w) * 4;
        cells_row_sse(n, layout, scratch, bgra1, w, half_width);
        kov_pixel_convert_8u_bgra_to_8u_rgb(out0, 0, w, 1, scratch, 0);
        kov_pixel_convert_8u_bgra_to_8u_rgb(out1, 0, w, 1, bgra1, 0);
      });
  g_free(scratch);
}
#endif

#if KOV_PIXEL_AVX2
// The vector routines of this process's level: the AVX-512 or the AVX2
// build; NULL below AVX2.
const kov::pixel::BayerVectorRoutines *vector_bayer(KovSimdLevel level) {
  if (level >= KOV_SIMD_AVX512BW) return &kov::pixel::avx512_bayer;
  if (level >= KOV_SIMD_AVX2) return &kov::pixel::avx2_bayer;
  return nullptr;
}
#endif

// Runs rows(row_fn, pair_fn) with the grey row functions of this process's
// vector level (pair_fn NoPairFn where the level has none).
template <typename Rows>
void with_gray_rows(Rows rows) {
  const KovSimdLevel level = kov_simd_level();
#if KOV_PIXEL_AVX2
  if (const kov::pixel::BayerVectorRoutines *v = vector_bayer(level)) {
    rows(v->gray_row, v->gray_row_pair);
    return;
  }
#endif
#if KOV_PIXEL_SSE
  if (level >= KOV_SIMD_SSSE3) {
    rows(gray_row_ssse3, NoPairFn{});
    return;
  }
#endif
  (void)level;
  rows(gray_row_whole_scalar, NoPairFn{});
}

void split_row_scalar(guint8 *even, guint8 *odd, const guint8 *src, int half_width) {
  for (int x = 0; x < half_width; ++x) {
    even[x] = src[2 * x];
    odd[x] = src[2 * x + 1];
  }
}

}  // namespace

namespace kov::pixel::scalar {

void split_bayer_planes_8u(guint8 *planes[4], gint plane_stride, const guint8 *src,
                           gint src_stride, gint half_width, gint half_height) {
  split_planes(planes, plane_stride, src, src_stride, half_width, half_height, split_row_scalar);
}

void bayer_interpolate_to_8u_bgra(guint8 *planes[4], gint plane_stride, guint8 *dst,
                                  gint dst_stride, gint width, gint height, guint32 tiling) {
  interpolate_cells<Packing::BGRA>(planes, plane_stride, dst, dst_stride, width, height, tiling, 0,
                                   height, cells_row_scalar<Packing::BGRA>);
}

void bayer_interpolate_to_8u_gray(const guint8 *origin, gint stride, guint8 *dst,
                                  gint dst_stride, gint width, gint height, guint32 tiling) {
  interpolate_gray(origin, stride, dst, dst_stride, width, height, tiling, 0, height,
                   gray_row_whole_scalar);
}

}  // namespace kov::pixel::scalar

extern "C" {

void kov_pixel_split_bayer_planes_8u(guint8 *planes[4], gint plane_stride, const guint8 *src,
                                     gint src_stride, gint half_width, gint half_height) {
  const KovSimdLevel level = kov_simd_level();
#if KOV_PIXEL_AVX2
  if (const kov::pixel::BayerVectorRoutines *v = vector_bayer(level)) {
    v->split_planes(planes, plane_stride, src, src_stride, half_width, half_height);
    return;
  }
#endif
#if KOV_PIXEL_SSE
  if (level >= KOV_SIMD_SSE2) {
    split_planes(planes, plane_stride, src, src_stride, half_width, half_height, split_row_sse);
    return;
  }
#endif
  (void)level;
  kov::pixel::scalar::split_bayer_planes_8u(planes, plane_stride, src, src_stride, half_width,
                                            half_height);
}

void kov_pixel_replicate_border_8u(guint8 *origin, gint stride, gint width, gint height) {
  if (origin == nullptr || width <= 0 || height <= 0) return;
  for (gint y = 0; y < height; ++y) {
    guint8 *row = origin + std::ptrdiff_t(y) * stride;
    std::memset(row - 16, row[0], 16);
    std::memset(row + width, row[width - 1], 16);
  }
  const std::size_t span = std::size_t(width) + 32;
  std::memcpy(origin - stride - 16, origin - 16, span);
  std::memcpy(origin + std::ptrdiff_t(height) * stride - 16,
              origin + std::ptrdiff_t(height - 1) * stride - 16, span);
}

void kov_pixel_replicate_bayer_border_8u(guint8 *origin, gint stride, gint width, gint height) {
  if (origin == nullptr || width <= 0 || height <= 0) return;
  int left[16], right[16];
  for (int k = 0; k < 16; ++k) {
    left[k] = reflect_keeping_parity(-1 - k, width);
    right[k] = reflect_keeping_parity(width + k, width);
  }
  for (gint y = 0; y < height; ++y) {
    guint8 *row = origin + std::ptrdiff_t(y) * stride;
    for (int k = 0; k < 16; ++k) {
      row[-1 - k] = row[left[k]];
      row[width + k] = row[right[k]];
    }
  }
  const std::size_t span = std::size_t(width) + 32;
  for (int k = 0; k < 2; ++k) {
    std::memcpy(origin + std::ptrdiff_t(-1 - k) * stride - 16,
                origin + std::ptrdiff_t(reflect_keeping_parity(-1 - k, height)) * stride - 16,
                span);
    std::memcpy(origin + std::ptrdiff_t(height + k) * stride - 16,
                origin + std::ptrdiff_t(reflect_keeping_parity(height + k, height)) * stride - 16,
                span);
  }
}

void kov_pixel_bayer_interpolate_rows_to_8u_bgra(guint8 *planes[4], gint plane_stride,
                                                 guint8 *dst, gint dst_stride, gint width,
                                                 gint height, guint32 tiling, gint first_row,
                                                 gint n_rows) {
  const KovSimdLevel level = kov_simd_level();
#if KOV_PIXEL_AVX2
  if (const kov::pixel::BayerVectorRoutines *v = vector_bayer(level)) {
    v->rows_to_bgra(planes, plane_stride, dst, dst_stride, width, height, tiling, first_row,
                    n_rows);
    return;
  }
#endif
#if KOV_PIXEL_SSE
  if (level >= KOV_SIMD_SSE2) {
    interpolate_cells<Packing::BGRA>(planes, plane_stride, dst, dst_stride, width, height, tiling,
                                     first_row, n_rows, cells_row_sse);
    return;
  }
#endif
  (void)level;
  interpolate_cells<Packing::BGRA>(planes, plane_stride, dst, dst_stride, width, height, tiling,
                                   first_row, n_rows, cells_row_scalar<Packing::BGRA>);
}

void kov_pixel_bayer_interpolate_to_8u_bgra(guint8 *planes[4], gint plane_stride, guint8 *dst,
                                            gint dst_stride, gint width, gint height,
                                            guint32 tiling) {
  kov_pixel_bayer_interpolate_rows_to_8u_bgra(planes, plane_stride, dst, dst_stride, width,
                                              height, tiling, 0, height);
}

void kov_pixel_bayer_interpolate_rows_to_8u_rgb(guint8 *planes[4], gint plane_stride, guint8 *dst,
                                                gint dst_stride, gint width, gint height,
                                                guint32 tiling, gint first_row, gint n_rows) {
  const KovSimdLevel level = kov_simd_level();
#if KOV_PIXEL_AVX2
  if (const kov::pixel::BayerVectorRoutines *v = vector_bayer(level)) {
    v->rows_to_rgb(planes, plane_stride, dst, dst_stride, width, height, tiling, first_row,
                   n_rows);
    return;
  }
#endif
#if KOV_PIXEL_SSE
  if (level >= KOV_SIMD_SSE2) {
    rgb_rows_via_bgra_sse(planes, plane_stride, dst, dst_stride, width, height, tiling, first_row,
                          n_rows);
    return;
  }
#endif
  (void)level;
  interpolate_cells<Packing::RGB>(planes, plane_stride, dst, dst_stride, width, height, tiling,
                                  first_row, n_rows, cells_row_scalar<Packing::RGB>);
}

void kov_pixel_bayer_interpolate_to_8u_rgb(guint8 *planes[4], gint plane_stride, guint8 *dst,
                                           gint dst_stride, gint width, gint height,
                                           guint32 tiling) {
  kov_pixel_bayer_interpolate_rows_to_8u_rgb(planes, plane_stride, dst, dst_stride, width, height,
                                             tiling, 0, height);
}

void kov_pixel_bayer_interpolate_rows_to_8u_gray(const guint8 *origin, gint stride, guint8 *dst,
                                                 gint dst_stride, gint width, gint height,
                                                 guint32 tiling, gint first_row, gint n_rows) {
  with_gray_rows([&](auto row_fn, auto) {
    interpolate_gray(origin, stride, dst, dst_stride, width, height, tiling, first_row, n_rows,
                     row_fn);
  });
}

void kov_pixel_bayer_rows_to_8u_gray_unpadded(const guint8 *src, gint src_stride, guint8 *dst,
                                              gint dst_stride, gint width, gint height,
                                              guint32 tiling, gint first_row, gint n_rows) {
  with_gray_rows([&](auto row_fn, auto pair_fn) {
    interpolate_gray_unpadded(src, src_stride, dst, dst_stride, width, height, tiling, first_row,
                              n_rows, row_fn, pair_fn);
  });
}

void kov_pixel_bayer_interpolate_to_8u_gray(const guint8 *origin, gint stride, guint8 *dst,
                                            gint dst_stride, gint width, gint height,
                                            guint32 tiling) {
  kov_pixel_bayer_interpolate_rows_to_8u_gray(origin, stride, dst, dst_stride, width, height,
                                              tiling, 0, height);
}

}  // extern "C"
