// Pixel routines of libkovkit: bits per pixel of the format codes, Bayer
// demosaicing on the fast debayer unit's aligned work planes, and BGRA to RGB.
//
// Demosaicing is gradient-corrected linear interpolation: each missing colour
// is its bilinear estimate corrected by a fraction of the local Laplacian of
// the colour sampled at that pixel (a 5×5 neighbourhood). It is exact on flat
// areas and linear ramps and keeps more detail than plain bilinear. All
// formulas work on small integers, so that the vector code (16-bit lanes) and
// the scalar code give the same bytes; the scalar code also handles the
// columns that do not fill a whole vector.
//
// Quarter-plane layout (BGRA output): planes[0..3] hold the top-left,
// top-right, bottom-left and bottom-right pixel of every 2×2 cell, each plane
// width/2 × height/2 (truncated) with one replicated row above and below and
// 16 replicated bytes left and right. An odd last column or row of the output
// is interpolated from that replicated margin, so the whole width × height
// image is written without reading outside the planes and their margins.
#include <kovkit/pixel.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "pixel_scalar.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#include <tmmintrin.h>
#define KOV_PIXEL_SSE 1
#endif

namespace {

// What a pixel of the mosaic sampled, and for green which colour its
// horizontal neighbours carry.
enum Site : int { SITE_R, SITE_B, SITE_G_RED_ROW, SITE_G_BLUE_ROW };

// Site of each position of the 2×2 cell: top-left, top-right, bottom-left,
// bottom-right.
struct Layout {
  Site at[4];
};

// Codes outside the four Bayer tilings are read as BGGR.
Layout layout_of(guint32 tiling) {
  switch (tiling) {
    case KOV_PIX_FMT_XXX2:  // GBRG
      return {{SITE_G_BLUE_ROW, SITE_B, SITE_R, SITE_G_RED_ROW}};
    case KOV_PIX_FMT_XXX3:  // GRBG
      return {{SITE_G_RED_ROW, SITE_R, SITE_B, SITE_G_BLUE_ROW}};
    case KOV_PIX_FMT_XXX4:  // RGGB
      return {{SITE_R, SITE_G_RED_ROW, SITE_G_BLUE_ROW, SITE_B}};
    default:  // BA81, BGGR
      return {{SITE_B, SITE_G_BLUE_ROW, SITE_G_RED_ROW, SITE_R}};
  }
}

inline guint8 clamp8(int v) { return guint8(v < 0 ? 0 : v > 255 ? 255 : v); }

// Sums of the neighbour groups of one pixel: itself, its horizontal and
// vertical neighbours at distance 1, its four diagonal neighbours, and the
// same-colour pixels at distance 2 horizontally and vertically.
struct Sums {
  int c, h1, v1, d, h2, v2;
};

// Green at a red or blue site.
inline int green_at_rb(const Sums &s) {
  return (4 * s.c + 2 * (s.h1 + s.v1) - (s.h2 + s.v2) + 4) >> 3;
}
// Blue at a red site, or red at a blue site (the diagonal neighbours).
inline int chroma_diagonal(const Sums &s) {
  return (12 * s.c + 4 * s.d - 3 * (s.h2 + s.v2) + 8) >> 4;
}
// At a green site: the colour of the horizontal neighbours, and of the
// vertical ones.
inline int chroma_horizontal(const Sums &s) {
  return (10 * s.c + 8 * s.h1 - 2 * s.d - 2 * s.h2 + s.v2 + 8) >> 4;
}
inline int chroma_vertical(const Sums &s) {
  return (10 * s.c + 8 * s.v1 - 2 * s.d - 2 * s.v2 + s.h2 + 8) >> 4;
}

// Writes B, G, R of one pixel.
inline void site_to_bgr(Site site, const Sums &s, guint8 *bgr) {
  switch (site) {
    case SITE_R:
      bgr[0] = clamp8(chroma_diagonal(s));
      bgr[1] = clamp8(green_at_rb(s));
      bgr[2] = clamp8(s.c);
      break;
    case SITE_B:
      bgr[0] = clamp8(s.c);
      bgr[1] = clamp8(green_at_rb(s));
      bgr[2] = clamp8(chroma_diagonal(s));
      break;
    case SITE_G_RED_ROW:
      bgr[0] = clamp8(chroma_vertical(s));
      bgr[1] = clamp8(s.c);
      bgr[2] = clamp8(chroma_horizontal(s));
      break;
    case SITE_G_BLUE_ROW:
      bgr[0] = clamp8(chroma_horizontal(s));
      bgr[1] = clamp8(s.c);
      bgr[2] = clamp8(chroma_vertical(s));
      break;
  }
}

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

inline Sums sums_at(const Neighbours &n, int x) {
  return {n.cm[x],
          n.h[x] + n.h[x + 1],
          n.vu[x] + n.vd[x],
          n.du[x] + n.du[x + 1] + n.dd[x] + n.dd[x + 1],
          n.cm[x - 1] + n.cm[x + 1],
          n.cu[x] + n.cd[x]};
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
        site_to_bgr(layout.at[pos], sums_at(n[pos], x), p);
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

// Grey: the BT.601 luma of the colour the BGRA interpolation gives, folded
// into one weight per neighbour group and site, in Q15.
enum Group : int { G_C, G_H1, G_V1, G_D, G_H2, G_V2, GROUPS };

struct GreyWeights {
  gint16 w[4][GROUPS];  // [site][group]
};

GreyWeights make_grey_weights() {
  const double kr = 0.299, kg = 0.587, kb = 0.114;
  double w[4][GROUPS];
  // Red site; blue site with red and blue swapped.
  for (int site : {SITE_R, SITE_B}) {
    const double own = site == SITE_R ? kr : kb;
    const double other = site == SITE_R ? kb : kr;
    w[site][G_C] = own + kg * 4 / 8 + other * 12 / 16;
    w[site][G_H1] = w[site][G_V1] = kg * 2 / 8;
    w[site][G_D] = other * 4 / 16;
    w[site][G_H2] = w[site][G_V2] = -kg / 8 - other * 3 / 16;
  }
  // Green site: kh is the weight of the colour of the horizontal neighbours.
  for (int site : {SITE_G_RED_ROW, SITE_G_BLUE_ROW}) {
    const double kh = site == SITE_G_RED_ROW ? kr : kb;
    const double kv = site == SITE_G_RED_ROW ? kb : kr;
    w[site][G_C] = kg + (kh + kv) * 10 / 16;
    w[site][G_H1] = kh * 8 / 16;
    w[site][G_V1] = kv * 8 / 16;
    w[site][G_D] = -(kh + kv) * 2 / 16;
    w[site][G_H2] = -kh * 2 / 16 + kv / 16;
    w[site][G_V2] = kh / 16 - kv * 2 / 16;
  }
  GreyWeights q;
  for (int s = 0; s < 4; ++s)
    for (int g = 0; g < GROUPS; ++g) q.w[s][g] = gint16(std::lround(w[s][g] * 32768.0));
  return q;
}

const GreyWeights &grey_weights() {
  static const GreyWeights weights = make_grey_weights();
  return weights;
}

// One weighted group in sixteenths of a grey level: the high half of
// (sum << 5) × weight, as the vector multiply computes it.
inline int weighted(int sum, int weight) { return ((sum << 5) * weight) >> 16; }

// Sixteen grey levels minus the truncation of six terms (0 to 6/16 each,
// 3/16 on average) are rounded back to a level.
constexpr int kGreyRound = 8 + 3;

inline guint8 grey_pixel(const guint8 *r0, const guint8 *ru, const guint8 *rd,
                         const guint8 *ru2, const guint8 *rd2, int x, const gint16 *w) {
  const int acc = weighted(r0[x], w[G_C]) + weighted(r0[x - 1] + r0[x + 1], w[G_H1]) +
                  weighted(ru[x] + rd[x], w[G_V1]) +
                  weighted(ru[x - 1] + ru[x + 1] + rd[x - 1] + rd[x + 1], w[G_D]) +
                  weighted(r0[x - 2] + r0[x + 2], w[G_H2]) + weighted(ru2[x] + rd2[x], w[G_V2]);
  return clamp8((acc + kGreyRound) >> 4);
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
  const GreyWeights &q = grey_weights();
  for (int y = 0; y < height; ++y) {
    const guint8 *rows[5];
    for (int k = 0; k < 5; ++k) rows[k] = origin + std::ptrdiff_t(y - 2 + k) * stride;
    const int parity = (y & 1) * 2;
    row_fn(rows, dst + std::ptrdiff_t(y) * dst_stride, width, q.w[layout.at[parity]],
           q.w[layout.at[parity + 1]]);
  }
}

void gray_row_scalar(const guint8 *const rows[5], guint8 *out, int x_begin, int width,
                     const gint16 *w_even, const gint16 *w_odd) {
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

void bgra_to_rgb_row_scalar(guint8 *__restrict dst, const guint8 *__restrict src, int x_begin,
                            int width) {
  for (int x = x_begin; x < width; ++x) {
    dst[3 * x] = src[4 * x + 2];
    dst[3 * x + 1] = src[4 * x + 1];
    dst[3 * x + 2] = src[4 * x];
  }
}

#if KOV_PIXEL_SSE

// Sixteen bytes widened to two vectors of eight 16-bit lanes.
struct V {
  __m128i lo, hi;
};

inline V load16(const guint8 *p) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
  const __m128i z = _mm_setzero_si128();
  return {_mm_unpacklo_epi8(v, z), _mm_unpackhi_epi8(v, z)};
}
inline V operator+(V a, V b) { return {_mm_add_epi16(a.lo, b.lo), _mm_add_epi16(a.hi, b.hi)}; }
inline V operator-(V a, V b) { return {_mm_sub_epi16(a.lo, b.lo), _mm_sub_epi16(a.hi, b.hi)}; }
template <int N>
inline V shl(V a) {
  return {_mm_slli_epi16(a.lo, N), _mm_slli_epi16(a.hi, N)};
}
// Eight bytes widened to eight 16-bit lanes: the demosaic works on eight
// cells at a time, which keeps its working set in registers.
struct H {
  __m128i v;
};

inline H load8(const guint8 *p) {
  return {_mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)),
                            _mm_setzero_si128())};
}
inline H operator+(H a, H b) { return {_mm_add_epi16(a.v, b.v)}; }
inline H operator-(H a, H b) { return {_mm_sub_epi16(a.v, b.v)}; }
template <int N>
inline H shl(H a) {
  return {_mm_slli_epi16(a.v, N)};
}
// (a + round) >> Shift, saturated to bytes (in the low eight).
template <int Shift>
inline __m128i narrow(H a) {
  const __m128i r = _mm_set1_epi16(1 << (Shift - 1));
  const __m128i v = _mm_srai_epi16(_mm_add_epi16(a.v, r), Shift);
  return _mm_packus_epi16(v, v);
}

struct VSums {
  H c, h1, v1, d, h2, v2;
};

// The vector forms of the four formulas above.
inline __m128i vgreen_at_rb(const VSums &s) {
  return narrow<3>(shl<2>(s.c) + shl<1>(s.h1 + s.v1) - (s.h2 + s.v2));
}
inline __m128i vchroma_diagonal(const VSums &s) {
  const H x2 = s.h2 + s.v2;
  return narrow<4>(shl<3>(s.c) + shl<2>(s.c) + shl<2>(s.d) - (shl<1>(x2) + x2));
}
inline H vgreen_site_common(const VSums &s) { return shl<3>(s.c) + shl<1>(s.c) - shl<1>(s.d); }
inline __m128i vchroma_horizontal(const VSums &s, H common) {
  return narrow<4>(common + shl<3>(s.h1) - shl<1>(s.h2) + s.v2);
}
inline __m128i vchroma_vertical(const VSums &s, H common) {
  return narrow<4>(common + shl<3>(s.v1) - shl<1>(s.v2) + s.h2);
}

struct Bgr {
  __m128i b, g, r;
};

// Row pointers of the four planes at rows y-1, y, y+1 (clamped like
// neighbours_of). Every position reads the same addresses through these, so
// the compiler loads and widens each of the 24 distinct vectors once.
struct PlaneRows {
  const guint8 *r[4][3];
};

// The neighbour sums of position (PY, PX), as neighbours_of lays them out.
template <int PY, int PX>
__attribute__((always_inline)) inline VSums window_sums(const PlaneRows &rows, int x) {
  constexpr int own = PY * 2 + PX, horizontal = PY * 2 + (1 - PX);
  constexpr int vertical = (1 - PY) * 2 + PX, diagonal = (1 - PY) * 2 + (1 - PX);
  constexpr int left = PX == 0 ? -1 : 0;  // column of the left neighbour, relative
  constexpr int up = PY == 0 ? 0 : 1;     // row index of the upper neighbour
  auto at = [&](int plane, int row, int dx) { return load8(rows.r[plane][row] + x + dx); };
  VSums s;
  s.c = at(own, 1, 0);
  s.h1 = at(horizontal, 1, left) + at(horizontal, 1, left + 1);
  s.v1 = at(vertical, up, 0) + at(vertical, up + 1, 0);
  s.d = (at(diagonal, up, left) + at(diagonal, up, left + 1)) +
        (at(diagonal, up + 1, left) + at(diagonal, up + 1, left + 1));
  s.h2 = at(own, 1, -1) + at(own, 1, 1);
  s.v2 = at(own, 0, 0) + at(own, 2, 0);
  return s;
}

template <Site S>
__attribute__((always_inline)) inline Bgr vsite_to_bgr(const VSums &s) {
  const __m128i own = _mm_packus_epi16(s.c.v, s.c.v);
  if constexpr (S == SITE_R) {
    return {vchroma_diagonal(s), vgreen_at_rb(s), own};
  } else if constexpr (S == SITE_B) {
    return {own, vgreen_at_rb(s), vchroma_diagonal(s)};
  } else if constexpr (S == SITE_G_RED_ROW) {
    const H common = vgreen_site_common(s);
    return {vchroma_vertical(s, common), own, vchroma_horizontal(s, common)};
  } else {
    const H common = vgreen_site_common(s);
    return {vchroma_horizontal(s, common), own, vchroma_vertical(s, common)};
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

// One output row of 16 pixels from the left (px 0) and right (px 1) pixels
// of 8 cells.
inline void store_cells(guint8 *out, const Bgr &left, const Bgr &right) {
  store_bgra16(out, _mm_unpacklo_epi8(left.b, right.b), _mm_unpacklo_epi8(left.g, right.g),
               _mm_unpacklo_epi8(left.r, right.r));
}

// Eight cells at a time while both of their columns lie inside the image
// (reads reach plane x + 8, inside the right margin); the rest scalar. The
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
    for (; x + 8 <= half_width; x += 8) {
      const Bgr tl = vsite_to_bgr<S0>(window_sums<0, 0>(rows, x));
      const Bgr tr = vsite_to_bgr<S1>(window_sums<0, 1>(rows, x));
      const Bgr bl = vsite_to_bgr<S2>(window_sums<1, 0>(rows, x));
      const Bgr br = vsite_to_bgr<S3>(window_sums<1, 1>(rows, x));
      store_cells(out0 + std::ptrdiff_t(x) * 8, tl, tr);
      store_cells(out1 + std::ptrdiff_t(x) * 8, bl, br);
    }
  } else {
    for (; x + 8 <= half_width; x += 8) {
      const Bgr tl = vsite_to_bgr<S0>(window_sums<0, 0>(rows, x));
      const Bgr tr = vsite_to_bgr<S1>(window_sums<0, 1>(rows, x));
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

// Weights of one group for sixteen pixels that start at an even column.
inline __m128i lane_weights(gint16 even, gint16 odd) {
  return _mm_set_epi16(odd, even, odd, even, odd, even, odd, even);
}

inline __m128i vweighted(__m128i sum, __m128i weights) {
  return _mm_mulhi_epi16(_mm_slli_epi16(sum, 5), weights);
}

void gray_row_sse(const guint8 *const rows[5], guint8 *out, int width, const gint16 *w_even,
                  const gint16 *w_odd) {
  __m128i w[GROUPS];
  for (int g = 0; g < GROUPS; ++g) w[g] = lane_weights(w_even[g], w_odd[g]);
  const __m128i round = _mm_set1_epi16(kGreyRound);
  const guint8 *r0 = rows[2], *ru = rows[1], *rd = rows[3];
  int x = 0;
  // Reads reach x + 17, inside the 16-byte right margin.
  for (; x + 16 <= width; x += 16) {
    const V c = load16(r0 + x);
    const V h1 = load16(r0 + x - 1) + load16(r0 + x + 1);
    const V v1 = load16(ru + x) + load16(rd + x);
    const V d = (load16(ru + x - 1) + load16(ru + x + 1)) + (load16(rd + x - 1) + load16(rd + x + 1));
    const V h2 = load16(r0 + x - 2) + load16(r0 + x + 2);
    const V v2 = load16(rows[0] + x) + load16(rows[4] + x);
    __m128i half[2];
    for (int k = 0; k < 2; ++k) {
      auto pick = [k](const V &v) { return k == 0 ? v.lo : v.hi; };
      __m128i acc = _mm_add_epi16(vweighted(pick(c), w[G_C]), vweighted(pick(h1), w[G_H1]));
      acc = _mm_add_epi16(acc, _mm_add_epi16(vweighted(pick(v1), w[G_V1]), vweighted(pick(d), w[G_D])));
      acc = _mm_add_epi16(acc, _mm_add_epi16(vweighted(pick(h2), w[G_H2]), vweighted(pick(v2), w[G_V2])));
      half[k] = _mm_srai_epi16(_mm_add_epi16(acc, round), 4);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + x), _mm_packus_epi16(half[0], half[1]));
  }
  gray_row_scalar(rows, out, x, width, w_even, w_odd);
}

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

bool have_ssse3() {
  static const bool supported = __builtin_cpu_supports("ssse3");
  return supported;
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
                   [](const guint8 *const rows[5], guint8 *out, int w, const gint16 *we,
                      const gint16 *wo) { gray_row_scalar(rows, out, 0, w, we, wo); });
}

void convert_8u_bgra_to_8u_rgb(guint8 *dst, gint dst_stride, gint width, gint height,
                               const guint8 *src, gint src_stride) {
  bgra_to_rgb(dst, dst_stride, width, height, src, src_stride,
              [](guint8 *d, const guint8 *s, int w) { bgra_to_rgb_row_scalar(d, s, 0, w); });
}

}  // namespace kov::pixel::scalar

extern "C" {

gint kov_pixel_format_bpp(guint32 pixelformat) {
  switch (pixelformat) {
    case KOV_PIX_FMT_RGB3:
    case KOV_PIX_FMT_BGR3:
      return 24;
    case KOV_PIX_FMT_RGB4:
    case KOV_PIX_FMT_BGR4:
    case KOV_PIX_FMT_FG32:
      return 32;
    case KOV_PIX_FMT_GREY:
    case KOV_PIX_FMT_BA81:
    case KOV_PIX_FMT_XXX2:
    case KOV_PIX_FMT_XXX3:
    case KOV_PIX_FMT_XXX4:
      return 8;
    case KOV_PIX_FMT_LG16:
    case KOV_PIX_FMT_YUYV:
    case KOV_PIX_FMT_UYVY:
      return 16;
    case KOV_PIX_FMT_I420:
      return 12;
    default:  // MJPG and unknown codes
      return 0;
  }
}

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
  interpolate_gray(origin, stride, dst, dst_stride, width, height, tiling, gray_row_sse);
#else
  kov::pixel::scalar::bayer_interpolate_to_8u_gray(origin, stride, dst, dst_stride, width, height,
                                                   tiling);
#endif
}

void kov_pixel_convert_8u_bgra_to_8u_rgb(guint8 *dst, gint dst_stride, gint width, gint height,
                                         const guint8 *src, gint src_stride) {
#if KOV_PIXEL_SSE
  if (have_ssse3()) {
    bgra_to_rgb(dst, dst_stride, width, height, src, src_stride, bgra_to_rgb_row_ssse3);
    return;
  }
#endif
  kov::pixel::scalar::convert_8u_bgra_to_8u_rgb(dst, dst_stride, width, height, src, src_stride);
}

}  // extern "C"
