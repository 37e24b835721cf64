/* SPDX-License-Identifier: LGPL-2.1-or-later */
// The byte arithmetic of the Bayer demosaic, shared by the scalar, SSE2/SSSE3
// (bayer.cpp) and AVX2 (bayer_avx2.cpp) versions: the cell sites of each
// tiling, the colour estimates of one site, the scalar per-pixel code and the
// row loops that the vector versions plug their row functions into. See
// bayer.cpp for the method. Everything here is internal to each file that
// includes it (an anonymous namespace, no standard-library templates), so the
// AVX2 file, compiled for AVX2, shares no code with the others.
#ifndef KOVKIT_BAYER_KERNELS_H
#define KOVKIT_BAYER_KERNELS_H

#include <kovkit/pixel.h>
#include <kovkit/pixelformat.h>

#include <cstddef>

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
// 128 + (a - b) / 2: a signed difference carried in a byte.
inline int half_diff(int a, int b) { return avg(a, 255 - b); }
// Halves the signed offset of t from 128.
inline int halve(int t) { return avg(t, 127); }
// Saturated sum and difference of two bytes read as signed (paddsb,
// psubsb); bytes are kept as 0..255 throughout.
inline int as_s8(int v) { return v < 128 ? v : v - 256; }
inline int adds_s8(int a, int b) { return clamp8(as_s8(a) + as_s8(b) + 128) ^ 0x80; }
inline int subs_s8(int a, int b) { return clamp8(as_s8(a) - as_s8(b) + 128) ^ 0x80; }

// The colour estimates of one site from its neighbours (see Neighbours):
//   green at red or blue:  avg4(green) + (C - avg4(same colour at 2)) / 2
//   the diagonal chroma:   avg4(diagonal) + 3/4 (C - avg4(same colour at 2))
//   chroma at green:       avg2(neighbours on that axis) + (C - avg4(diagonal)) / 2
//                          + (C - avg2(same colour, that axis)) / 4
//                          - (C - avg2(same colour, other axis)) / 8
// (the gradient-corrected 5×5 kernels written as averages and differences).
// The offsets are added to and taken from the base with saturation, one at a
// time. Both are done as signed bytes: a byte v stands for v - 128 (its top
// bit flipped), so that base + (t - 128), clamped to 0..255, is one signed
// saturated add of base and t in that form, and a chain of them needs the
// flips only at its ends.
template <typename Ops>
struct SiteMath {
  using T = typename Ops::Value;
  // Green and the other chroma at a red or blue site.
  static void at_red_or_blue(const T &c, const T &avg_green, const T &avg_same, const T &avg_diag,
                             T &green, T &other) {
    const T t = Ops::half_diff(c, avg_same);
    const T t2 = Ops::flip(t), t4 = Ops::flip(Ops::halve(t));
    green = Ops::flip(Ops::adds(Ops::flip(avg_green), t2));
    other = Ops::flip(Ops::adds(Ops::adds(Ops::flip(avg_diag), t2), t4));
  }
  // The colours of the horizontal and vertical neighbours at a green site.
  static void at_green(const T &c, const T &avg_h1, const T &avg_v1, const T &avg_diag,
                       const T &avg_h2, const T &avg_v2, T &horizontal, T &vertical) {
    const T t = Ops::flip(Ops::half_diff(c, avg_diag));
    const T h = Ops::halve(Ops::half_diff(c, avg_h2)), v = Ops::halve(Ops::half_diff(c, avg_v2));
    const T h4 = Ops::flip(h), h8 = Ops::flip(Ops::halve(h));
    const T v4 = Ops::flip(v), v8 = Ops::flip(Ops::halve(v));
    horizontal = Ops::flip(Ops::subs(Ops::adds(Ops::adds(Ops::flip(avg_h1), t), h4), v8));
    vertical = Ops::flip(Ops::subs(Ops::adds(Ops::adds(Ops::flip(avg_v1), t), v4), h8));
  }
};

struct ScalarOps {
  using Value = int;
  static int half_diff(int a, int b) { return ::half_diff(a, b); }
  static int halve(int t) { return ::halve(t); }
  static int flip(int v) { return v ^ 0x80; }
  static int adds(int a, int b) { return adds_s8(a, b); }
  static int subs(int a, int b) { return subs_s8(a, b); }
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
    r = r < -1 ? -1 : r > half_height ? half_height : r;
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

// How the demosaic stores a pixel: B, G, R, A = 255, or R, G, B.
enum class Packing { BGRA, RGB };

template <Packing P>
constexpr int kPixelBytes = P == Packing::BGRA ? 4 : 3;

// Cells [x_begin, x_end) of one plane row into output rows out0 and out1
// (either NULL when that row is not wanted); columns at or past width are
// skipped.
template <Packing P>
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
        guint8 *p = out + std::ptrdiff_t(col) * kPixelBytes<P>;
        guint8 bgr[3] = {};  // (the compiler cannot always see that each site writes all three)
        site_to_bgr(layout.at[pos], n[pos], x, bgr);
        if constexpr (P == Packing::BGRA) {
          p[0] = bgr[0];
          p[1] = bgr[1];
          p[2] = bgr[2];
          p[3] = 255;
        } else {
          p[0] = bgr[2];
          p[1] = bgr[1];
          p[2] = bgr[0];
        }
      }
    }
  }
}

// Without a whole 2×2 cell there is nothing to interpolate from: black
// (opaque for BGRA).
template <Packing P>
void fill_black(guint8 *dst, gint dst_stride, gint width, gint first_row, gint end_row) {
  for (gint y = first_row; y < end_row; ++y) {
    guint8 *row = dst + std::ptrdiff_t(y) * dst_stride;
    for (gint x = 0; x < width; ++x)
      for (int k = 0; k < kPixelBytes<P>; ++k) row[kPixelBytes<P> * x + k] = k == 3 ? 255 : 0;
  }
}

// The rows [first_row, first_row + n_rows) of the image, clipped to it.
struct RowRange {
  gint begin, end;
};

inline RowRange clip_rows(gint height, gint first_row, gint n_rows) {
  const gint64 end = gint64(first_row) + (n_rows > 0 ? n_rows : 0);
  const gint begin = first_row < 0 ? 0 : first_row > height ? height : first_row;
  return {begin, end < begin ? begin : end > height ? height : gint(end)};
}

// Shared frame of every colour version: argument checks, degenerate sizes, the
// per-row neighbour set-up. RowFn(n, layout, out0, out1, width, half_width)
// fills both rows of one plane row of cells; a cell row of which only one
// row is wanted (the odd last row of the image or of the range, or an odd
// first row) goes through the scalar code.
template <Packing P, typename RowFn>
void interpolate_cells(guint8 *const planes[4], gint plane_stride, guint8 *dst, gint dst_stride,
                       gint width, gint height, guint32 tiling, gint first_row, gint n_rows,
                       RowFn row_fn) {
  if (planes == nullptr || dst == nullptr || width <= 0 || height <= 0) return;
  if (dst_stride == 0) dst_stride = width * kPixelBytes<P>;
  const RowRange rows = clip_rows(height, first_row, n_rows);
  const int half_width = width / 2;
  const int half_height = height / 2;
  if (half_width == 0 || half_height == 0) {
    fill_black<P>(dst, dst_stride, width, rows.begin, rows.end);
    return;
  }
  for (int i = 0; i < 4; ++i)
    if (planes[i] == nullptr) return;
  const Layout layout = layout_of(tiling);
  for (int y = rows.begin / 2; 2 * y < rows.end; ++y) {
    guint8 *top = dst + std::ptrdiff_t(2 * y) * dst_stride;
    guint8 *out0 = 2 * y >= rows.begin ? top : nullptr;
    guint8 *out1 = 2 * y + 1 < rows.end ? top + dst_stride : nullptr;
    Neighbours n[4];
    for (int pos = 0; pos < 4; ++pos)
      n[pos] = neighbours_of(planes, plane_stride, pos / 2, pos % 2, y, half_height);
    if (out0 != nullptr && out1 != nullptr)
      row_fn(n, layout, out0, out1, width, half_width);
    else
      cells_scalar<P>(n, layout, out0, out1, 0, (width + 1) / 2, width);
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

// Grey of one pixel; at(r, dx) is the mosaic value dx columns from it in
// row r of the five rows y-2 to y+2.
template <typename At>
inline guint8 grey_from(At at, const gint8 *w) {
  const int acc = at(2, 0) * w[G_C] + avg(at(2, -1), at(2, 1)) * w[G_H1] +
                  avg(at(1, 0), at(3, 0)) * w[G_V1] +
                  avg(avg(at(1, -1), at(1, 1)), avg(at(3, -1), at(3, 1))) * w[G_D] +
                  avg(at(2, -2), at(2, 2)) * w[G_H2] + avg(at(0, 0), at(4, 0)) * w[G_V2];
  return clamp8((acc + 32) >> 6);
}

// Index of the mosaic row or column that stands for i (outside 0..n-1) when
// the mosaic is mirrored about its first and last row or column; mirroring
// keeps the parity and so the colour pattern.
inline int reflect_keeping_parity(int i, int n) {
  if (n == 1) return 0;
  const int period = 2 * (n - 1);
  i %= period;
  if (i < 0) i += period;
  return i < n ? i : period - i;
}

// Shared frame of every grey version. RowFn(rows[5], dst_row, width, w_even,
// w_odd) fills one row; rows[0..4] are the mosaic rows y-2 to y+2 and
// w_even/w_odd the weights of the even and odd columns of this row.
template <typename RowFn>
void interpolate_gray(const guint8 *origin, gint stride, guint8 *dst, gint dst_stride,
                      gint width, gint height, guint32 tiling, gint first_row, gint n_rows,
                      RowFn row_fn) {
  if (origin == nullptr || dst == nullptr || width <= 0 || height <= 0) return;
  if (dst_stride == 0) dst_stride = width;
  const Layout layout = layout_of(tiling);
  const RowRange range = clip_rows(height, first_row, n_rows);
  for (int y = range.begin; y < range.end; ++y) {
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
    out[x] = grey_from([&](int r, int dx) { return int(rows[r][x + dx]); },
                       (x & 1) ? w_odd : w_even);
}

// Grey straight from a mosaic that has no margin: the rows outside it are
// its rows mirrored about the first and last (as
// kov_pixel_replicate_bayer_border_8u fills a margin), RowFn does the
// columns 2 to width - 3 (its reads, two columns to each side, stay inside
// the row), and the two columns at each side are worked out one by one with
// mirrored neighbours. A PairFn, if given, does the same for two rows at a
// time (rows[0..5] are the mosaic rows y-2 to y+3, then the weights of row y
// and of row y+1); RowFn does a row left over. The bytes are those of
// interpolate_gray on a copy of the mosaic with its margin filled.
struct NoPairFn {};
template <typename PairFn>
constexpr bool kIsPairFn = true;
template <>
constexpr bool kIsPairFn<NoPairFn> = false;

template <typename RowFn, typename PairFn = NoPairFn>
void interpolate_gray_unpadded(const guint8 *src, gint stride, guint8 *dst, gint dst_stride,
                               gint width, gint height, guint32 tiling, gint first_row,
                               gint n_rows, RowFn row_fn, PairFn pair_fn = {}) {
  if (src == nullptr || dst == nullptr || width <= 0 || height <= 0) return;
  if (dst_stride == 0) dst_stride = width;
  const Layout layout = layout_of(tiling);
  const RowRange range = clip_rows(height, first_row, n_rows);
  const int inner = width > 4 ? width - 4 : 0;
  // The columns worked out one by one (at most four) and, for each, the
  // columns that stand for its neighbours two to each side: the same for
  // every row.
  int edge_x[4], edge_cols[4][5], n_edges = 0;
  for (int x = 0; x < width; x = (x == 1 && inner > 0) ? width - 2 : x + 1) {
    edge_x[n_edges] = x;
    for (int dx = -2; dx <= 2; ++dx)
      edge_cols[n_edges][dx + 2] = reflect_keeping_parity(x + dx, width);
    ++n_edges;
  }
  constexpr bool kPairs = kIsPairFn<PairFn>;
  for (int y = range.begin; y < range.end;) {
    const int count = kPairs && y + 1 < range.end && inner > 0 ? 2 : 1;
    const guint8 *rows[6], *inner_rows[6];
    for (int k = 0; k < 4 + count; ++k) {
      rows[k] = src + std::ptrdiff_t(reflect_keeping_parity(y - 2 + k, height)) * stride;
      inner_rows[k] = rows[k] + 2;  // an even shift keeps the column parity
    }
    const gint8 *w[2][2];  // [row][column parity]
    for (int i = 0; i < 2; ++i) {
      const int parity = ((y + i) & 1) * 2;
      w[i][0] = kGreyWeights[layout.at[parity]];
      w[i][1] = kGreyWeights[layout.at[parity + 1]];
    }
    guint8 *out[2] = {dst + std::ptrdiff_t(y) * dst_stride,
                      dst + std::ptrdiff_t(y + 1) * dst_stride};
    if constexpr (kPairs) {
      if (count == 2)
        pair_fn(inner_rows, out[0] + 2, out[1] + 2, inner, w[0][0], w[0][1], w[1][0], w[1][1]);
    }
    if (count == 1 && inner > 0) row_fn(inner_rows, out[0] + 2, inner, w[0][0], w[0][1]);
    for (int i = 0; i < count; ++i)
      for (int e = 0; e < n_edges; ++e)
        out[i][edge_x[e]] =
            grey_from([&](int r, int dx) { return int(rows[r + i][edge_cols[e][dx + 2]]); },
                      w[i][edge_x[e] & 1]);
    y += count;
  }
}

// Shared frame of every plane split: RowFn(even, odd, src, half_width)
// splits one mosaic row.
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

}  // namespace

#endif
