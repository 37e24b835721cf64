// SPDX-License-Identifier: LGPL-2.1-or-later
// Bayer routines of libkovkit: the split of a mosaic into quarter planes,
// their replicated borders, and demosaicing to BGRA or grey on the fast
// debayer unit's aligned work planes.
//
// Demosaicing is gradient-corrected linear interpolation: each missing colour
// is its bilinear estimate corrected by a fraction of the local Laplacian of
// the colour sampled at that pixel (a 5×5 neighbourhood). It is exact on flat
// areas and linear ramps and keeps more detail than plain bilinear. The BGRA
// path works entirely on bytes: averages round up as SSE2's pavgb does, and
// each correction is a signed half-difference kept around 128 and added with
// saturation, so sixteen cells go through one vector operation. The scalar
// code repeats the same byte arithmetic and so gives the same bytes; it also
// handles the columns that do not fill a whole vector.
//
// Quarter-plane layout (BGRA output): planes[0..3] hold the top-left,
// top-right, bottom-left and bottom-right pixel of every 2×2 cell, each plane
// width/2 × height/2 (truncated) with one replicated row above and below and
// 16 replicated bytes left and right. An odd last column or row of the output
// is interpolated from that replicated margin, so the whole width × height
// image is written without reading outside the planes and their margins.
#include <kovkit/pixel.h>
#include <kovkit/pixelformat.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "pixel_scalar.h"
#include "pixel_simd.h"

namespace {

// What a pixel of the mosaic sampled, and for green which colour its
// horizontal neighbours carry.
enum Site : int { SITE_R, SITE_B, SITE_G_RED_ROW, SITE_G_BLUE_ROW };

// Site of each position of the 2×2 cell: top-left, top-right, bottom-left,
// bottom-right.
struct Layout {
  Site at[4];
};

// Sites of the cell positions for each tiling; codes that are not a Bayer
// mosaic are read as BGGR.
Layout layout_of(guint32 code) {
  static const Layout layouts[] = {
      {{SITE_B, SITE_G_BLUE_ROW, SITE_G_RED_ROW, SITE_R}},  // NONE: as BGGR
      {{SITE_B, SITE_G_BLUE_ROW, SITE_G_RED_ROW, SITE_R}},  // BGGR
      {{SITE_G_BLUE_ROW, SITE_B, SITE_R, SITE_G_RED_ROW}},  // GBRG
      {{SITE_G_RED_ROW, SITE_R, SITE_B, SITE_G_BLUE_ROW}},  // GRBG
      {{SITE_R, SITE_G_RED_ROW, SITE_G_BLUE_ROW, SITE_B}},  // RGGB
  };
  const KovPixelFormatInfo *info = kov_pixel_format_get_info(code);
  return layouts[info != nullptr ? info->tiling : KOV_BAYER_TILING_NONE];
}

inline guint8 clamp8(int v) { return guint8(v < 0 ? 0 : v > 255 ? 255 : v); }

// Byte arithmetic of the BGRA demosaic (each the scalar twin of one SSE2
// instruction or a short sequence of them).
inline int avg(int a, int b) { return (a + b + 1) >> 1; }  // pavgb
inline int sat_add(int a, int b) { return a + b > 255 ? 255 : a + b; }
inline int sat_sub(int a, int b) { return a - b < 0 ? 0 : a - b; }
// 128 + (a - b) / 2: a signed difference carried in a byte.
inline int half_diff(int a, int b) { return avg(a, 255 - b); }
// Halves the signed offset of t from 128.
inline int halve(int t) { return avg(t, 127); }
// base + (t - 128) and base - (t - 128), saturated.
inline int add_offset(int base, int t) { return sat_sub(sat_add(base, sat_sub(t, 128)), sat_sub(128, t)); }
inline int sub_offset(int base, int t) { return sat_add(sat_sub(base, sat_sub(t, 128)), sat_sub(128, t)); }

// The colour estimates of one site from its neighbours (see Neighbours):
//   green at red or blue:  avg4(green) + (C - avg4(same colour at 2)) / 2
//   the diagonal chroma:   avg4(diagonal) + 3/4 (C - avg4(same colour at 2))
//   chroma at green:       avg2(neighbours on that axis) + (C - avg4(diagonal)) / 2
//                          + (C - avg2(same colour, that axis)) / 4
//                          - (C - avg2(same colour, other axis)) / 8
// (the gradient-corrected 5×5 kernels written as averages and differences).
template <typename Ops>
struct SiteMath {
  using T = typename Ops::Value;
  // Green and the other chroma at a red or blue site.
  static void at_red_or_blue(const T &c, const T &avg_green, const T &avg_same, const T &avg_diag,
                             T &green, T &other) {
    const T t = Ops::half_diff(c, avg_same);
    green = Ops::add_offset(avg_green, t);
    other = Ops::add_offset(Ops::add_offset(avg_diag, t), Ops::halve(t));
  }
  // The colours of the horizontal and vertical neighbours at a green site.
  static void at_green(const T &c, const T &avg_h1, const T &avg_v1, const T &avg_diag,
                       const T &avg_h2, const T &avg_v2, T &horizontal, T &vertical) {
    const T t = Ops::half_diff(c, avg_diag);
    const T h4 = Ops::halve(Ops::half_diff(c, avg_h2)), h8 = Ops::halve(h4);
    const T v4 = Ops::halve(Ops::half_diff(c, avg_v2)), v8 = Ops::halve(v4);
    horizontal = Ops::sub_offset(Ops::add_offset(Ops::add_offset(avg_h1, t), h4), v8);
    vertical = Ops::sub_offset(Ops::add_offset(Ops::add_offset(avg_v1, t), v4), h8);
  }
};

struct ScalarOps {
  using Value = int;
  static int half_diff(int a, int b) { return ::half_diff(a, b); }
  static int halve(int t) { return ::halve(t); }
  static int add_offset(int base, int t) { return ::add_offset(base, t); }
  static int sub_offset(int base, int t) { return ::sub_offset(base, t); }
};

// Row pointers of one cell position at one plane row, in plane coordinates x:
// own plane cu/cm/cd (rows above, same, below; x±1 on cm are the same colour
// two pixels away), horizontal neighbours h[x] and h[x+1], vertical
// neighbours vu[x] and vd[x], diagonal neighbours du[x], du[x+1], dd[x], dd[x+1].
struct Neighbours {
  const guint8 *cu, *cm, *cd, *h, *vu, *vd, *du, *dd;
};

// Neighbours of position (py, px) of the cells in plane row y. Rows are
// clamped to the margin rows -1 and half_height: only the odd last output
// row reaches below the margin, and the replicated margin row stands for it.
Neighbours neighbours_of(guint8 *const planes[4], gint stride, int py, int px, int y,
                         int half_height) {
  auto row = [&](int plane, int r) -> const guint8 * {
    r = std::clamp(r, -1, half_height);
    return planes[plane] + std::ptrdiff_t(r) * stride;
  };
  const int own = py * 2 + px;
  const int horizontal = py * 2 + (1 - px);
  const int vertical = (1 - py) * 2 + px;
  const int diagonal = (1 - py) * 2 + (1 - px);
  const int left = px == 0 ? -1 : 0;  // plane x of the left neighbour, relative
  const int up = py == 0 ? -1 : 0;    // plane row of the upper neighbour, relative
  Neighbours n;
  n.cu = row(own, y - 1);
  n.cm = row(own, y);
  n.cd = row(own, y + 1);
  n.h = row(horizontal, y) + left;
  n.vu = row(vertical, y + up);
  n.vd = row(vertical, y + up + 1);
  n.du = row(diagonal, y + up) + left;
  n.dd = row(diagonal, y + up + 1) + left;
  return n;
}

// B, G, R of one pixel at plane x.
inline void site_to_bgr(Site site, const Neighbours &n, int x, guint8 *bgr) {
  using Math = SiteMath<ScalarOps>;
  const int c = n.cm[x];
  const int avg_diag = avg(avg(n.du[x], n.du[x + 1]), avg(n.dd[x], n.dd[x + 1]));
  const int avg_h1 = avg(n.h[x], n.h[x + 1]), avg_v1 = avg(n.vu[x], n.vd[x]);
  const int avg_h2 = avg(n.cm[x - 1], n.cm[x + 1]), avg_v2 = avg(n.cu[x], n.cd[x]);
  int a = 0, b = 0;
  switch (site) {
    case SITE_R:
    case SITE_B:
      Math::at_red_or_blue(c, avg(avg_h1, avg_v1), avg(avg_h2, avg_v2), avg_diag, a, b);
      bgr[0] = guint8(site == SITE_B ? c : b);
      bgr[1] = guint8(a);
      bgr[2] = guint8(site == SITE_R ? c : b);
      break;
    case SITE_G_RED_ROW:
    case SITE_G_BLUE_ROW:
      Math::at_green(c, avg_h1, avg_v1, avg_diag, avg_h2, avg_v2, a, b);
      bgr[0] = guint8(site == SITE_G_BLUE_ROW ? a : b);
      bgr[1] = guint8(c);
      bgr[2] = guint8(site == SITE_G_RED_ROW ? a : b);
      break;
  }
}

// Cells [x_begin, x_end) of one plane row into output rows out0 and out1
// (out1 NULL for an odd last row); columns at or past width are skipped.
void cells_scalar(const Neighbours n[4], const Layout &layout, guint8 *out0, guint8 *out1,
                  int x_begin, int x_end, int width) {
  for (int x = x_begin; x < x_end; ++x) {
    for (int py = 0; py < 2; ++py) {
      guint8 *out = py == 0 ? out0 : out1;
      if (out == nullptr) continue;
      for (int px = 0; px < 2; ++px) {
        const int col = 2 * x + px;
        if (col >= width) continue;
        const int pos = py * 2 + px;
        guint8 *p = out + std::ptrdiff_t(col) * 4;
        site_to_bgr(layout.at[pos], n[pos], x, p);
        p[3] = 255;
      }
    }
  }
}

// Without a whole 2×2 cell there is nothing to interpolate from: opaque black.
void fill_black_bgra(guint8 *dst, gint dst_stride, gint width, gint height) {
  for (gint y = 0; y < height; ++y) {
    guint8 *row = dst + std::ptrdiff_t(y) * dst_stride;
    for (gint x = 0; x < width; ++x) {
      row[4 * x] = row[4 * x + 1] = row[4 * x + 2] = 0;
      row[4 * x + 3] = 255;
    }
  }
}

// Shared frame of both BGRA versions: argument checks, degenerate sizes, the
// per-row neighbour set-up. RowFn(n, layout, out0, out1, width, half_width)
// fills one plane row of cells.
template <typename RowFn>
void interpolate_bgra(guint8 *planes[4], gint plane_stride, guint8 *dst, gint dst_stride,
                      gint width, gint height, guint32 tiling, RowFn row_fn) {
  if (planes == nullptr || dst == nullptr || width <= 0 || height <= 0) return;
  if (dst_stride == 0) dst_stride = width * 4;
  const int half_width = width / 2;
  const int half_height = height / 2;
  if (half_width == 0 || half_height == 0) {
    fill_black_bgra(dst, dst_stride, width, height);
    return;
  }
  for (int i = 0; i < 4; ++i)
    if (planes[i] == nullptr) return;
  const Layout layout = layout_of(tiling);
  const int cell_rows = (height + 1) / 2;
  for (int y = 0; y < cell_rows; ++y) {
    guint8 *out0 = dst + std::ptrdiff_t(2 * y) * dst_stride;
    guint8 *out1 = 2 * y + 1 < height ? out0 + dst_stride : nullptr;
    Neighbours n[4];
    for (int pos = 0; pos < 4; ++pos)
      n[pos] = neighbours_of(planes, plane_stride, pos / 2, pos % 2, y, half_height);
    row_fn(n, layout, out0, out1, width, half_width);
  }
}

// Grey: the BT.601 luma (R 19, G 38, B 7 in 64ths) of the gradient-corrected
// colour, folded into one weight per neighbour group and site. The groups are
// the pixel itself and the averages (rounded up, as pavgb does) of its
// horizontal, vertical and diagonal neighbours and of the same-colour pixels
// two away horizontally and vertically. Each site's weights add up to 64 and
// give each colour exactly its luma share, so flat areas and ramps come out
// at their luma; the vector code sums them with one pmaddubsw per two groups.
enum Group : int { G_C, G_H1, G_V1, G_D, G_H2, G_V2, GROUPS };

const gint8 kGreyWeights[4][GROUPS] = {
    {43, 19, 19, 7, -12, -12},  // SITE_R: red 43-12-12, green 19+19, blue 7
    {41, 19, 19, 19, -17, -17}, // SITE_B: blue 41-17-17, green 19+19, red 19
    {54, 19, 7, -13, -4, 1},    // SITE_G_RED_ROW: green 54-13-4+1, red 19, blue 7
    {54, 7, 19, -13, 1, -4},    // SITE_G_BLUE_ROW: green 54-13+1-4, blue 7, red 19
};

inline guint8 grey_pixel(const guint8 *r0, const guint8 *ru, const guint8 *rd,
                         const guint8 *ru2, const guint8 *rd2, int x, const gint8 *w) {
  const int acc = r0[x] * w[G_C] + avg(r0[x - 1], r0[x + 1]) * w[G_H1] +
                  avg(ru[x], rd[x]) * w[G_V1] +
                  avg(avg(ru[x - 1], ru[x + 1]), avg(rd[x - 1], rd[x + 1])) * w[G_D] +
                  avg(r0[x - 2], r0[x + 2]) * w[G_H2] + avg(ru2[x], rd2[x]) * w[G_V2];
  return clamp8((acc + 32) >> 6);
}

// Shared frame of both grey versions. RowFn(rows[5], dst_row, width, w_even,
// w_odd) fills one row; rows[0..4] are the mosaic rows y-2 to y+2 and
// w_even/w_odd the weights of the even and odd columns of this row.
template <typename RowFn>
void interpolate_gray(const guint8 *origin, gint stride, guint8 *dst, gint dst_stride,
                      gint width, gint height, guint32 tiling, RowFn row_fn) {
  if (origin == nullptr || dst == nullptr || width <= 0 || height <= 0) return;
  if (dst_stride == 0) dst_stride = width;
  const Layout layout = layout_of(tiling);
  for (int y = 0; y < height; ++y) {
    const guint8 *rows[5];
    for (int k = 0; k < 5; ++k) rows[k] = origin + std::ptrdiff_t(y - 2 + k) * stride;
    const int parity = (y & 1) * 2;
    row_fn(rows, dst + std::ptrdiff_t(y) * dst_stride, width, kGreyWeights[layout.at[parity]],
           kGreyWeights[layout.at[parity + 1]]);
  }
}

void gray_row_scalar(const guint8 *const rows[5], guint8 *out, int x_begin, int width,
                     const gint8 *w_even, const gint8 *w_odd) {
  for (int x = x_begin; x < width; ++x)
    out[x] = grey_pixel(rows[2], rows[1], rows[3], rows[0], rows[4], x, (x & 1) ? w_odd : w_even);
}

// Index of the mosaic row or column that stands for i (outside 0..n-1) when
// the mosaic is mirrored about its first and last row or column; mirroring
// keeps the parity and so the colour pattern.
int reflect_keeping_parity(int i, int n) {
  if (n == 1) return 0;
  const int period = 2 * (n - 1);
  i %= period;
  if (i < 0) i += period;
  return i < n ? i : period - i;
}

#if KOV_PIXEL_SSE

// The byte arithmetic of SiteMath on sixteen lanes.
struct VectorOps {
  using Value = __m128i;
  static __m128i half_diff(__m128i a, __m128i b) {
    return _mm_avg_epu8(a, _mm_xor_si128(b, _mm_set1_epi8(-1)));
  }
  static __m128i halve(__m128i t) { return _mm_avg_epu8(t, _mm_set1_epi8(127)); }
  static __m128i add_offset(__m128i base, __m128i t) {
    const __m128i mid = _mm_set1_epi8(-128);
    return _mm_subs_epu8(_mm_adds_epu8(base, _mm_subs_epu8(t, mid)), _mm_subs_epu8(mid, t));
  }
  static __m128i sub_offset(__m128i base, __m128i t) {
    const __m128i mid = _mm_set1_epi8(-128);
    return _mm_adds_epu8(_mm_subs_epu8(base, _mm_subs_epu8(t, mid)), _mm_subs_epu8(mid, t));
  }
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

// Sixteen cells at a time while both of their columns lie inside the image
// (reads reach plane x + 16, inside the right margin); the rest scalar. The
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
  if (out1 != nullptr) {
    for (; x + 16 <= half_width; x += 16) {
      const Bgr tl = vsite_to_bgr<0, 0, S0>(rows, x);
      const Bgr tr = vsite_to_bgr<0, 1, S1>(rows, x);
      const Bgr bl = vsite_to_bgr<1, 0, S2>(rows, x);
      const Bgr br = vsite_to_bgr<1, 1, S3>(rows, x);
      store_cells(out0 + std::ptrdiff_t(x) * 8, tl, tr);
      store_cells(out1 + std::ptrdiff_t(x) * 8, bl, br);
    }
  } else {
    for (; x + 16 <= half_width; x += 16) {
      const Bgr tl = vsite_to_bgr<0, 0, S0>(rows, x);
      const Bgr tr = vsite_to_bgr<0, 1, S1>(rows, x);
      store_cells(out0 + std::ptrdiff_t(x) * 8, tl, tr);
    }
  }
  cells_scalar(n, layout, out0, out1, x, (width + 1) / 2, width);
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

template <typename RowFn>
void split_planes(guint8 *planes[4], gint plane_stride, const guint8 *src, gint src_stride,
                  gint half_width, gint half_height, RowFn split_row) {
  if (planes == nullptr || src == nullptr || half_width <= 0 || half_height <= 0) return;
  for (int i = 0; i < 4; ++i)
    if (planes[i] == nullptr) return;
  for (gint y = 0; y < half_height; ++y) {
    const guint8 *top = src + std::ptrdiff_t(2 * y) * src_stride;
    const std::ptrdiff_t at = std::ptrdiff_t(y) * plane_stride;
    split_row(planes[0] + at, planes[1] + at, top, half_width);
    split_row(planes[2] + at, planes[3] + at, top + src_stride, half_width);
  }
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
  interpolate_bgra(planes, plane_stride, dst, dst_stride, width, height, tiling,
                   [](const Neighbours n[4], const Layout &layout, guint8 *out0, guint8 *out1,
                      int w, int) { cells_scalar(n, layout, out0, out1, 0, (w + 1) / 2, w); });
}

void bayer_interpolate_to_8u_gray(const guint8 *origin, gint stride, guint8 *dst,
                                  gint dst_stride, gint width, gint height, guint32 tiling) {
  interpolate_gray(origin, stride, dst, dst_stride, width, height, tiling,
                   [](const guint8 *const rows[5], guint8 *out, int w, const gint8 *we,
                      const gint8 *wo) { gray_row_scalar(rows, out, 0, w, we, wo); });
}

}  // namespace kov::pixel::scalar

extern "C" {

void kov_pixel_split_bayer_planes_8u(guint8 *planes[4], gint plane_stride, const guint8 *src,
                                     gint src_stride, gint half_width, gint half_height) {
#if KOV_PIXEL_SSE
  split_planes(planes, plane_stride, src, src_stride, half_width, half_height, split_row_sse);
#else
  kov::pixel::scalar::split_bayer_planes_8u(planes, plane_stride, src, src_stride, half_width,
                                            half_height);
#endif
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

void kov_pixel_bayer_interpolate_to_8u_bgra(guint8 *planes[4], gint plane_stride, guint8 *dst,
                                            gint dst_stride, gint width, gint height,
                                            guint32 tiling) {
#if KOV_PIXEL_SSE
  interpolate_bgra(planes, plane_stride, dst, dst_stride, width, height, tiling, cells_row_sse);
#else
  kov::pixel::scalar::bayer_interpolate_to_8u_bgra(planes, plane_stride, dst, dst_stride, width,
                                                   height, tiling);
#endif
}

void kov_pixel_bayer_interpolate_to_8u_gray(const guint8 *origin, gint stride, guint8 *dst,
                                            gint dst_stride, gint width, gint height,
                                            guint32 tiling) {
#if KOV_PIXEL_SSE
  if (kov::pixel::have_ssse3()) {
    interpolate_gray(origin, stride, dst, dst_stride, width, height, tiling, gray_row_ssse3);
    return;
  }
#endif
  kov::pixel::scalar::bayer_interpolate_to_8u_gray(origin, stride, dst, dst_stride, width, height,
                                                   tiling);
}

}  // extern "C"
