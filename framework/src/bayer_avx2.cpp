// SPDX-License-Identifier: LGPL-2.1-or-later
// AVX2 versions of the Bayer routines: the plane split, demosaicing to BGRA,
// RGB and grey. This file is compiled for AVX2, and again for AVX-512 by
// bayer_avx512.cpp; each build gives its routines as one table (pixel_simd.h)
// that is used only when kov_simd_level() allows it. The byte arithmetic is
// bayer.cpp's, on 32 lanes instead of 16, and gives the same bytes as the
// scalar code (which also does the columns that do not fill a whole vector).
//
// AVX2's byte and word unpacks work within each 128-bit half, so a row of
// 32 cells comes out as two interleaved halves (cells 0-15 in the low half
// of every vector, 16-31 in the high half); the stores put the halves back
// in order.
#include "pixel_simd.h"

#if KOV_PIXEL_AVX2

#include "bayer_kernels.h"

namespace {

// The byte arithmetic of SiteMath on 32 lanes.
struct Ops256 {
  using Value = __m256i;
  static __m256i half_diff(__m256i a, __m256i b) {
    return _mm256_avg_epu8(a, _mm256_xor_si256(b, _mm256_set1_epi8(-1)));
  }
  static __m256i halve(__m256i t) { return _mm256_avg_epu8(t, _mm256_set1_epi8(127)); }
  static __m256i flip(__m256i v) { return _mm256_xor_si256(v, _mm256_set1_epi8(-128)); }
  static __m256i adds(__m256i a, __m256i b) { return _mm256_adds_epi8(a, b); }
  static __m256i subs(__m256i a, __m256i b) { return _mm256_subs_epi8(a, b); }
};

inline __m256i load(const guint8 *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }
inline void store(guint8 *p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v); }

struct Bgr {
  __m256i b, g, r;
};

// Row pointers of the four planes at rows y-1, y, y+1 (as neighbours_of).
struct PlaneRows {
  const guint8 *r[4][3];
};

// B, G, R of position (PY, PX) with site S for 32 cells at plane x.
template <int PY, int PX, Site S>
__attribute__((always_inline)) inline Bgr vsite_to_bgr(const PlaneRows &rows, int x) {
  constexpr int own = PY * 2 + PX, horizontal = PY * 2 + (1 - PX);
  constexpr int vertical = (1 - PY) * 2 + PX, diagonal = (1 - PY) * 2 + (1 - PX);
  constexpr int left = PX == 0 ? -1 : 0;  // column of the left neighbour, relative
  constexpr int up = PY == 0 ? 0 : 1;     // row index of the upper neighbour
  auto at = [&](int plane, int row, int dx) { return load(rows.r[plane][row] + x + dx); };
  using Math = SiteMath<Ops256>;
  const __m256i c = at(own, 1, 0);
  const __m256i avg_diag =
      _mm256_avg_epu8(_mm256_avg_epu8(at(diagonal, up, left), at(diagonal, up, left + 1)),
                      _mm256_avg_epu8(at(diagonal, up + 1, left), at(diagonal, up + 1, left + 1)));
  const __m256i avg_h1 = _mm256_avg_epu8(at(horizontal, 1, left), at(horizontal, 1, left + 1));
  const __m256i avg_v1 = _mm256_avg_epu8(at(vertical, up, 0), at(vertical, up + 1, 0));
  const __m256i avg_h2 = _mm256_avg_epu8(at(own, 1, -1), at(own, 1, 1));
  const __m256i avg_v2 = _mm256_avg_epu8(at(own, 0, 0), at(own, 2, 0));
  __m256i a, b;
  if constexpr (S == SITE_R || S == SITE_B) {
    Math::at_red_or_blue(c, _mm256_avg_epu8(avg_h1, avg_v1), _mm256_avg_epu8(avg_h2, avg_v2),
                         avg_diag, a, b);
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

// Four-byte groups of 16 pixels from four vectors of their first, second,
// third and fourth bytes, in the order of the 128-bit halves (see the top of
// the file): q0..q3 hold groups 0-3, 4-7, 8-11 and 12-15 of each half.
struct Quads {
  __m256i q0, q1, q2, q3;
};

__attribute__((always_inline)) inline Quads quads(__m256i p0, __m256i p1, __m256i p2, __m256i p3) {
  const __m256i lo01 = _mm256_unpacklo_epi8(p0, p1), hi01 = _mm256_unpackhi_epi8(p0, p1);
  const __m256i lo23 = _mm256_unpacklo_epi8(p2, p3), hi23 = _mm256_unpackhi_epi8(p2, p3);
  return {_mm256_unpacklo_epi16(lo01, lo23), _mm256_unpackhi_epi16(lo01, lo23),
          _mm256_unpacklo_epi16(hi01, hi23), _mm256_unpackhi_epi16(hi01, hi23)};
}

// Joins the low (kHalf 0x20) or high (0x31) halves of two vectors.
template <int kHalf>
__attribute__((always_inline)) inline __m256i join(__m256i a, __m256i b) {
  return _mm256_permute2x128_si256(a, b, kHalf);
}

// 64 BGRA pixels (256 bytes) from the left and right pixels of 32 cells:
// the first 16 cells of each half go to bytes 0-127, the others to 128-255.
__attribute__((always_inline)) inline void store_cells_bgra(guint8 *out, const Bgr &l,
                                                            const Bgr &r) {
  const __m256i alpha = _mm256_set1_epi8(-1);
  const Quads a = quads(_mm256_unpacklo_epi8(l.b, r.b), _mm256_unpacklo_epi8(l.g, r.g),
                        _mm256_unpacklo_epi8(l.r, r.r), alpha);
  const Quads b = quads(_mm256_unpackhi_epi8(l.b, r.b), _mm256_unpackhi_epi8(l.g, r.g),
                        _mm256_unpackhi_epi8(l.r, r.r), alpha);
  store(out, join<0x20>(a.q0, a.q1));
  store(out + 32, join<0x20>(a.q2, a.q3));
  store(out + 64, join<0x20>(b.q0, b.q1));
  store(out + 96, join<0x20>(b.q2, b.q3));
  store(out + 128, join<0x31>(a.q0, a.q1));
  store(out + 160, join<0x31>(a.q2, a.q3));
  store(out + 192, join<0x31>(b.q0, b.q1));
  store(out + 224, join<0x31>(b.q2, b.q3));
}

// Shuffles that pick, for each 16-byte lane of 16 RGB pixels (48 bytes, three
// chunks), the bytes of chunk k from a lane of 16 reds, greens or blues:
// at[k][channel][i] is the pixel whose channel is byte i of the chunk, or -128.
struct RgbPick {
  alignas(32) gint8 at[3][3][32];
  constexpr RgbPick() : at{} {
    for (int k = 0; k < 3; ++k)
      for (int ch = 0; ch < 3; ++ch)
        for (int i = 0; i < 32; ++i) {
          const int o = 16 * k + i % 16;
          at[k][ch][i] = gint8(o % 3 == ch ? o / 3 : -128);
        }
  }
};
constexpr RgbPick kRgbPick;

__attribute__((always_inline)) inline __m256i pick(__m256i v, int k, int ch) {
  return _mm256_shuffle_epi8(v, load(reinterpret_cast<const guint8 *>(kRgbPick.at[k][ch])));
}

// Chunk k (of three) of 16 RGB pixels in each lane, from that lane's 16
// reds, greens and blues in pixel order.
__attribute__((always_inline)) inline __m256i rgb_chunk(__m256i r, __m256i g, __m256i b, int k) {
  return _mm256_or_si256(_mm256_or_si256(pick(r, k, 0), pick(g, k, 1)), pick(b, k, 2));
}

// 64 RGB pixels (192 bytes) from the left and right pixels of 32 cells, as
// six whole 32-byte stores: the unpacks give pixels 0-15 and 32-47 (lo) and
// 16-31 and 48-63 (hi) in the two lanes.
__attribute__((always_inline)) inline void store_cells_rgb(guint8 *out, const Bgr &l,
                                                           const Bgr &r) {
  const __m256i r_lo = _mm256_unpacklo_epi8(l.r, r.r), r_hi = _mm256_unpackhi_epi8(l.r, r.r);
  const __m256i g_lo = _mm256_unpacklo_epi8(l.g, r.g), g_hi = _mm256_unpackhi_epi8(l.g, r.g);
  const __m256i b_lo = _mm256_unpacklo_epi8(l.b, r.b), b_hi = _mm256_unpackhi_epi8(l.b, r.b);
  const __m256i lo0 = rgb_chunk(r_lo, g_lo, b_lo, 0), lo1 = rgb_chunk(r_lo, g_lo, b_lo, 1);
  const __m256i lo2 = rgb_chunk(r_lo, g_lo, b_lo, 2), hi0 = rgb_chunk(r_hi, g_hi, b_hi, 0);
  const __m256i hi1 = rgb_chunk(r_hi, g_hi, b_hi, 1), hi2 = rgb_chunk(r_hi, g_hi, b_hi, 2);
  store(out, join<0x20>(lo0, lo1));
  store(out + 32, join<0x20>(lo2, hi0));
  store(out + 64, join<0x20>(hi1, hi2));
  store(out + 96, join<0x31>(lo0, lo1));
  store(out + 128, join<0x31>(lo2, hi0));
  store(out + 160, join<0x31>(hi1, hi2));
}

// Both rows of 32 cells at plane x (reads reach plane x + 32, inside the
// right margin).
template <Packing P, Site S0, Site S1, Site S2, Site S3>
__attribute__((always_inline)) inline void cells_block(const PlaneRows &rows, int x, guint8 *out0,
                                                       guint8 *out1) {
  const Bgr tl = vsite_to_bgr<0, 0, S0>(rows, x);
  const Bgr tr = vsite_to_bgr<0, 1, S1>(rows, x);
  const Bgr bl = vsite_to_bgr<1, 0, S2>(rows, x);
  const Bgr br = vsite_to_bgr<1, 1, S3>(rows, x);
  const std::ptrdiff_t at = std::ptrdiff_t(x) * 2 * kPixelBytes<P>;
  if constexpr (P == Packing::BGRA) {
    store_cells_bgra(out0 + at, tl, tr);
    store_cells_bgra(out1 + at, bl, br);
  } else {
    store_cells_rgb(out0 + at, tl, tr);
    store_cells_rgb(out1 + at, bl, br);
  }
}

// Both rows of a plane row of cells, 32 cells at a time; where fewer than 32
// remain, the last block is moved left to end at the last whole cell (its
// cells that were done already come out the same). Only an odd last column
// is left to the scalar code.
template <Packing P, Site S0, Site S1, Site S2, Site S3>
void cells_row_tiled(const Neighbours n[4], const Layout &layout, guint8 *out0, guint8 *out1,
                     int width, int half_width) {
  PlaneRows rows;
  for (int p = 0; p < 4; ++p) {
    rows.r[p][0] = n[p].cu;
    rows.r[p][1] = n[p].cm;
    rows.r[p][2] = n[p].cd;
  }
  int x = 0;
  for (; x + 32 <= half_width; x += 32) cells_block<P, S0, S1, S2, S3>(rows, x, out0, out1);
  if (x < half_width && half_width >= 32) {
    cells_block<P, S0, S1, S2, S3>(rows, half_width - 32, out0, out1);
    x = half_width;
  }
  cells_scalar<P>(n, layout, out0, out1, x, (width + 1) / 2, width);
}

template <Packing P>
void cells_row(const Neighbours n[4], const Layout &layout, guint8 *out0, guint8 *out1, int width,
               int half_width) {
  constexpr Site R = SITE_R, B = SITE_B, GR = SITE_G_RED_ROW, GB = SITE_G_BLUE_ROW;
  auto row = cells_row_tiled<P, B, GB, GR, R>;  // BGGR
  if (layout.at[0] == GB) row = cells_row_tiled<P, GB, B, R, GR>;       // GBRG
  else if (layout.at[0] == GR) row = cells_row_tiled<P, GR, R, B, GB>;  // GRBG
  else if (layout.at[0] == R) row = cells_row_tiled<P, R, GR, GB, B>;   // RGGB
  row(n, layout, out0, out1, width, half_width);
}

// Signed byte weights of two groups for pixels that alternate between the
// even-column and odd-column site, interleaved as pmaddubsw pairs them.
inline __m256i pair_weights(const gint8 *even, const gint8 *odd, int g1, int g2) {
  const int w = guint8(even[g1]) | guint8(even[g2]) << 8 | guint8(odd[g1]) << 16 |
                guint8(odd[g2]) << 24;
  return _mm256_set1_epi32(w);
}

// The weights of one row, interleaved for the three pmaddubsw of grey32.
struct GreyWeights {
  __m256i c_h1, v1_d, h2_v2;
  GreyWeights(const gint8 *even, const gint8 *odd)
      : c_h1(pair_weights(even, odd, G_C, G_H1)),
        v1_d(pair_weights(even, odd, G_V1, G_D)),
        h2_v2(pair_weights(even, odd, G_H2, G_V2)) {}
};

inline __m256i luma16(__m256i c_h1, __m256i v1_d, __m256i h2_v2, const GreyWeights &w) {
  __m256i acc = _mm256_maddubs_epi16(c_h1, w.c_h1);
  acc = _mm256_add_epi16(acc, _mm256_maddubs_epi16(v1_d, w.v1_d));
  acc = _mm256_add_epi16(acc, _mm256_maddubs_epi16(h2_v2, w.h2_v2));
  return _mm256_srai_epi16(_mm256_add_epi16(acc, _mm256_set1_epi16(32)), 6);
}

// 32 grey pixels from their neighbour groups; the in-half unpacks and the
// in-half pack undo each other, so the pixels stay in order.
__attribute__((always_inline)) inline __m256i grey32(__m256i c, __m256i h1, __m256i v1, __m256i d,
                                                     __m256i h2, __m256i v2,
                                                     const GreyWeights &w) {
  const __m256i lo = luma16(_mm256_unpacklo_epi8(c, h1), _mm256_unpacklo_epi8(v1, d),
                            _mm256_unpacklo_epi8(h2, v2), w);
  const __m256i hi = luma16(_mm256_unpackhi_epi8(c, h1), _mm256_unpackhi_epi8(v1, d),
                            _mm256_unpackhi_epi8(h2, v2), w);
  return _mm256_packus_epi16(lo, hi);
}

// Runs block(x) over a row of grey, 32 pixels at a time; where fewer than
// 32 are left, one more block ends at the last pixel (or the one before, to
// keep the weights' column parity), redoing some pixels with the same
// result. Returns the column where the scalar code takes over.
template <typename Block>
__attribute__((always_inline)) inline int grey_blocks(int width, Block block) {
  int x = 0;
  for (; x + 32 <= width; x += 32) block(x);
  if (x < width && width > 32) {
    const int last = (width - 32) & ~1;
    block(last);
    x = last + 32;
  }
  return x;
}

// The average of the pixels dx columns to each side of 32 pixels.
__attribute__((always_inline)) inline __m256i across(const guint8 *row, int dx) {
  return _mm256_avg_epu8(load(row - dx), load(row + dx));
}

// Split of one mosaic row into its even and odd columns, 32 of each at a
// time; the in-half pack leaves the quarters in the order 0, 2, 1, 3.
void split_row(guint8 *even, guint8 *odd, const guint8 *src, int half_width) {
  const __m256i low = _mm256_set1_epi16(0x00ff);
  int x = 0;
  for (; x + 32 <= half_width; x += 32) {
    const __m256i a = load(src + 2 * x), b = load(src + 2 * x + 32);
    const __m256i e = _mm256_packus_epi16(_mm256_and_si256(a, low), _mm256_and_si256(b, low));
    const __m256i o = _mm256_packus_epi16(_mm256_srli_epi16(a, 8), _mm256_srli_epi16(b, 8));
    store(even + x, _mm256_permute4x64_epi64(e, 0xD8));
    store(odd + x, _mm256_permute4x64_epi64(o, 0xD8));
  }
  for (; x < half_width; ++x) {
    even[x] = src[2 * x];
    odd[x] = src[2 * x + 1];
  }
}

void split_bayer_planes_8u(guint8 *planes[4], gint plane_stride, const guint8 *src,
                           gint src_stride, gint half_width, gint half_height) {
  split_planes(planes, plane_stride, src, src_stride, half_width, half_height, split_row);
}

void bayer_rows_to_8u_bgra(guint8 *const planes[4], gint plane_stride, guint8 *dst,
                           gint dst_stride, gint width, gint height, guint32 tiling,
                           gint first_row, gint n_rows) {
  interpolate_cells<Packing::BGRA>(planes, plane_stride, dst, dst_stride, width, height, tiling,
                                   first_row, n_rows, cells_row<Packing::BGRA>);
}

void bayer_rows_to_8u_rgb(guint8 *const planes[4], gint plane_stride, guint8 *dst,
                          gint dst_stride, gint width, gint height, guint32 tiling,
                          gint first_row, gint n_rows) {
  interpolate_cells<Packing::RGB>(planes, plane_stride, dst, dst_stride, width, height, tiling,
                                  first_row, n_rows, cells_row<Packing::RGB>);
}

// One row of grey; reads reach x + 33, inside the 16-byte right margin.
void gray_row(const guint8 *const rows[5], guint8 *out, int width, const gint8 *w_even,
              const gint8 *w_odd) {
  const GreyWeights w(w_even, w_odd);
  const int done = grey_blocks(width, [&](int x) __attribute__((always_inline)) {
    const guint8 *r0 = rows[2] + x, *ru = rows[1] + x, *rd = rows[3] + x;
    store(out + x, grey32(load(r0), across(r0, 1), _mm256_avg_epu8(load(ru), load(rd)),
                          _mm256_avg_epu8(across(ru, 1), across(rd, 1)), across(r0, 2),
                          _mm256_avg_epu8(load(rows[0] + x), load(rows[4] + x)), w));
  });
  gray_row_scalar(rows, out, done, width, w_even, w_odd);
}

// Two rows of grey at a time, from the mosaic rows y - 2 to y + 3: the
// horizontal averages of rows y - 1 to y + 2 each serve one row as its
// horizontal neighbours and the other as half its diagonal ones, and the
// centre rows are each other's vertical neighbours, so a pair takes 18 loads
// where two single rows take 26. The bytes are gray_row's.
void gray_row_pair(const guint8 *const rows[6], guint8 *out0, guint8 *out1, int width,
                   const gint8 *w0_even, const gint8 *w0_odd, const gint8 *w1_even,
                   const gint8 *w1_odd) {
  const GreyWeights w0(w0_even, w0_odd), w1(w1_even, w1_odd);
  const int done = grey_blocks(width, [&](int x) __attribute__((always_inline)) {
    const guint8 *r0 = rows[0] + x, *r1 = rows[1] + x, *r2 = rows[2] + x;
    const guint8 *r3 = rows[3] + x, *r4 = rows[4] + x, *r5 = rows[5] + x;
    const __m256i h1 = across(r1, 1), h2 = across(r2, 1), h3 = across(r3, 1), h4 = across(r4, 1);
    const __m256i c1 = load(r1), c2 = load(r2), c3 = load(r3), c4 = load(r4);
    store(out0 + x, grey32(c2, h2, _mm256_avg_epu8(c1, c3), _mm256_avg_epu8(h1, h3),
                           across(r2, 2), _mm256_avg_epu8(load(r0), c4), w0));
    store(out1 + x, grey32(c3, h3, _mm256_avg_epu8(c2, c4), _mm256_avg_epu8(h2, h4),
                           across(r3, 2), _mm256_avg_epu8(c1, load(r5)), w1));
  });
  gray_row_scalar(rows, out0, done, width, w0_even, w0_odd);
  gray_row_scalar(rows + 1, out1, done, width, w1_even, w1_odd);
}

}  // namespace

// The table of this build (see bayer_avx512.cpp).
#ifndef KOV_BAYER_VECTOR_TABLE
#define KOV_BAYER_VECTOR_TABLE avx2_bayer
#endif

const kov::pixel::BayerVectorRoutines kov::pixel::KOV_BAYER_VECTOR_TABLE = {
    split_bayer_planes_8u, bayer_rows_to_8u_bgra, bayer_rows_to_8u_rgb, gray_row, gray_row_pair};

#endif  // KOV_PIXEL_AVX2
