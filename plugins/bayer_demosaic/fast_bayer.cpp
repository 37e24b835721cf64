// SPDX-License-Identifier: LGPL-2.1-or-later
// convert.fast_debayer: turns an 8-bit Bayer mosaic (BA81, XXX2, XXX3, XXX4,
// or GREY read with the tiling the user chooses) into BGRA colour (BGR4),
// grey (GREY) or packed RGB (RGB3, the same colours without alpha). Colour is
// worked out from 16-byte-aligned quarter planes (one per position of the
// 2×2 cell) with a margin that the framework's border routines fill, so that
// its interpolation routines may read a little around the image; grey is
// read straight from the input frame.
#include <kovkit/plugin_frame.h>
#include <kovkit/trace.h>

#include <malloc.h>

#include <cstdlib>
#include <cstring>

namespace {

struct KovFastBayerFilter {
  KovUnit parent;
  KovUnitControl *tiling_ctl;
  guint8 *aligned_input;  // aligned copy of a misaligned input frame
  guint8 *planes[4];      // work planes of colour output
  gint plane_stride;
  // Size of aligned_input, so that a copy never writes past it.
  gsize aligned_size;
  KovFramePool *rgb_pool;  // RGB3 output frames, made on the first one; or NULL
  KovUnitControl *threads_ctl;  // bands of rows worked on at once
  bool streaming;               // between a successful stream_init and shutdown
};

// Mosaic layout for each value of the "tiling" control.
const guint32 tiling_formats[4] = {KOV_PIX_FMT_XXX2, KOV_PIX_FMT_XXX3, KOV_PIX_FMT_BA81,
                                   KOV_PIX_FMT_XXX4};

const KovUnitControlEnumEntry tiling_entries[] = {
    {0, "GBRG", 1}, {1, "GRBG", 1}, {2, "BGGR", 1}, {3, "RGGB", 1}, {0, nullptr, 0}};

KovFastBayerFilter *as_bayer(gpointer object) {
  return kov::plugin::cast<KovFastBayerFilter>(object);
}

gint align_16(gint v) { return (v + 15) & ~15; }

// Row stride of an output format: its pixels padded to 128 bytes; 0 when
// that does not fit in a gint.
gint padded_row_stride(guint32 code, gint width) {
  const gint row = kov_pixel_format_min_row_stride(code, width);
  return row > 0 && row <= G_MAXINT - 127 ? (row + 127) & ~127 : 0;
}

bool is_mosaic(guint32 code) {
  return kov_pixel_format_is_bayer(code) || code == KOV_PIX_FMT_GREY;
}

void on_input_format_changed(KovUnit *unit, KovUnitFormat *input_format, gpointer) {
  kov_unit_remove_all_output_formats(unit);
  if (input_format == nullptr || !is_mosaic(input_format->pixelformat)) return;
  const gint w = input_format->width, h = input_format->height;
  const gint bgra_stride = padded_row_stride(KOV_PIX_FMT_BGR4, w);
  const gint grey_stride = padded_row_stride(KOV_PIX_FMT_GREY, w);
  if (bgra_stride == 0 || grey_stride == 0) return;  // too wide to address
  kov_unit_add_output_format(unit, KOV_PIX_FMT_BGR4, nullptr, w, h, bgra_stride);
  kov_unit_add_output_format(unit, KOV_PIX_FMT_GREY, nullptr, w, h, grey_stride);
  // Packed RGB rows, as a converter to RGB would write them.
  const gint rgb_stride = kov_pixel_format_min_row_stride(KOV_PIX_FMT_RGB3, w);
  if (rgb_stride > 0) kov_unit_add_output_format(unit, KOV_PIX_FMT_RGB3, nullptr, w, h, rgb_stride);
}

void free_buffers(KovFastBayerFilter *self) {
  for (guint8 *&plane : self->planes) {
    std::free(plane);
    plane = nullptr;
  }
  std::free(self->aligned_input);
  self->aligned_input = nullptr;
  self->aligned_size = 0;
}

gint bayer_stream_shutdown(KovUnit *unit) {
  KovFastBayerFilter *self = as_bayer(unit);
  self->streaming = false;
  free_buffers(self);
  kov_frame_pool_free(self->rgb_pool);
  self->rgb_pool = nullptr;
  return 0;
}

// Allocates the work planes for the output format (none for GREY); false
// (nothing kept) when a size overflows or memory runs out.
bool allocate_planes(KovFastBayerFilter *self, const KovUnitFormat *out) {
  if (out->pixelformat == KOV_PIX_FMT_GREY) return true;
  const gint stride = align_16(out->width / 2) + 32;
  const gsize rows = gsize(out->height / 2) + 2;
  gsize size = 0;
  if (!g_size_checked_mul(&size, gsize(stride), rows)) return false;
  self->plane_stride = stride;
  for (int i = 0; i < 4; ++i) {
    self->planes[i] = static_cast<guint8 *>(memalign(16, size));
    if (self->planes[i] == nullptr) {
      free_buffers(self);
      return false;
    }
  }
  return true;
}

gint bayer_stream_init(KovUnit *unit, KovUnitFormat *) {
  KovFastBayerFilter *self = as_bayer(unit);
  KovUnit *input = kov_unit_get_input(unit);
  KovUnitFormat *in = input != nullptr ? kov_unit_get_output_format(input) : nullptr;
  if (in == nullptr) return -1;
  // A mosaic says its tiling; for GREY the user's tiling stands.
  if (!is_mosaic(in->pixelformat)) return -1;
  for (gint i = 0; i < 4; ++i)
    if (tiling_formats[i] == in->pixelformat) kov_unit_control_force_set_enum(self->tiling_ctl, i);
  KovUnitFormat *out = kov_unit_get_output_format(unit);
  if (out == nullptr || out->width <= 0 || out->height <= 0) return -1;
  self->streaming = false;
  free_buffers(self);
  if (!allocate_planes(self, out)) {
    kov_dbg(KOV_DBG_ERROR, "[%s] no memory for the work planes\n", kov_unit_get_name(unit));
    return -1;
  }
  self->streaming = true;
  return 0;
}

// The input's data, 16-byte aligned: the frame's own when it is, else a copy
// of as much as fits into the stream's aligned buffer. NULL when no buffer.
const guint8 *aligned_source(KovFastBayerFilter *self, KovFrameBuffer *frame, gsize needed) {
  if ((guintptr(frame->data) & 15) == 0) return frame->data;
  if (self->aligned_input != nullptr && self->aligned_size < needed) {
    std::free(self->aligned_input);
    self->aligned_input = nullptr;
    self->aligned_size = 0;
  }
  if (self->aligned_input == nullptr) {
    self->aligned_input = static_cast<guint8 *>(memalign(16, needed));
    if (self->aligned_input == nullptr) return nullptr;
    self->aligned_size = needed;
  }
  std::memcpy(self->aligned_input, frame->data, MIN(frame->bytesused, self->aligned_size));
  return self->aligned_input;
}

// Output rows are padded to 128 bytes; the padding of a recycled buffer
// would otherwise carry stale bytes downstream (into files, for example).
void clear_row_padding(guint8 *data, const KovUnitFormat *out) {
  const gsize used = gsize(kov_pixel_format_min_row_stride(out->pixelformat, out->width));
  if (gsize(out->row_stride) <= used) return;
  for (gint r = 0; r < out->height; ++r)
    std::memset(data + gsize(r) * out->row_stride + used, 0, out->row_stride - used);
}

// What the band functions share for one frame.
struct Band {
  const KovUnitFormat *in, *out;
  const guint8 *src;
  guint8 *dst;
  guint8 *origins[4];  // planes[i] at their first image row and column
  gint stride;         // of the planes
  guint32 code;
};

void grey_band(gint first, gint rows, gpointer data) {
  const Band &b = *static_cast<Band *>(data);
  kov_pixel_bayer_rows_to_8u_gray_unpadded(b.src, b.in->row_stride, b.dst, b.out->row_stride,
                                           b.out->width, b.out->height, b.code, first, rows);
}

// Rows of the quarter planes, that is pairs of mosaic rows.
void split_band(gint first, gint rows, gpointer data) {
  const Band &b = *static_cast<Band *>(data);
  guint8 *origins[4];
  for (int i = 0; i < 4; ++i) origins[i] = b.origins[i] + gsize(first) * b.stride;
  kov_pixel_split_bayer_planes_8u(origins, b.stride, b.src + gsize(2 * first) * b.in->row_stride,
                                  b.in->row_stride, b.out->width / 2, rows);
}

void bgra_band(gint first, gint rows, gpointer data) {
  auto &b = *static_cast<Band *>(data);
  kov_pixel_bayer_interpolate_rows_to_8u_bgra(b.origins, b.stride, b.dst, b.out->row_stride,
                                              b.out->width, b.out->height, b.code, first, rows);
}

void rgb_band(gint first, gint rows, gpointer data) {
  auto &b = *static_cast<Band *>(data);
  kov_pixel_bayer_interpolate_rows_to_8u_rgb(b.origins, b.stride, b.dst, b.out->row_stride,
                                             b.out->width, b.out->height, b.code, first, rows);
}

void bayer_input_frame_ready(KovUnit *unit, KovFrameBuffer *frame, KovUnitFormat *in) {
  KovFastBayerFilter *self = as_bayer(unit);
  const gchar *name = kov_unit_get_name(unit);
  kov_dbg(KOV_DBG_FILTER, "[%s] iterate\n", name);

  KovUnitFormat *out = kov_unit_get_output_format(unit);
  // Colour needs the planes made for it at the start of the stream.
  if (!self->streaming || out == nullptr || in == nullptr || frame == nullptr ||
      frame->data == nullptr ||
      (out->pixelformat != KOV_PIX_FMT_GREY && self->planes[0] == nullptr)) {
    kov_dbg(KOV_DBG_ERROR, "[%s] frame arrived while not streaming, dropped\n", name);
    return;
  }
  // The planes were sized for the output format, which has the input's size.
  gsize needed = 0;
  if (in->width != out->width || in->height != out->height || in->row_stride < in->width ||
      !g_size_checked_mul(&needed, gsize(in->row_stride), gsize(in->height))) {
    kov_dbg(KOV_DBG_ERROR, "[%s] input format %dx%d stride %d does not fit the stream, dropped\n",
            name, in->width, in->height, in->row_stride);
    return;
  }
  if (frame->bytesused < needed || frame->length < needed) {
    kov_dbg(KOV_DBG_ERROR,
            "[%s] frame of %" G_GSIZE_FORMAT " bytes is shorter than %d rows of %d bytes, dropped\n",
            name, frame->bytesused, in->height, in->row_stride);
    return;
  }

  const gsize size = gsize(out->row_stride) * gsize(out->height);
  // RGB frames come from a pool, so that a chain whose frames nobody keeps
  // reuses one.
  KovFrameBuffer *output = out->pixelformat == KOV_PIX_FMT_RGB3
                               ? kov_frame_pool_acquire_sized(&self->rgb_pool, size)
                               : kov_framebuffer_new_alloc(size);
  if (output == nullptr) {
    kov_dbg(KOV_DBG_ERROR, "[%s] no memory for an output frame, dropped\n", name);
    return;
  }
  const bool grey = out->pixelformat == KOV_PIX_FMT_GREY;
  const guint8 *src = grey ? frame->data : aligned_source(self, frame, needed);
  if (src == nullptr) {
    kov_dbg(KOV_DBG_ERROR, "[%s] no memory for an aligned copy, dropped\n", name);
    g_object_unref(output);
    return;
  }

  const gint tiling = kov_unit_control_get_enum(self->tiling_ctl);
  const guint32 code = tiling_formats[tiling >= 0 && tiling < 4 ? tiling : 2];
  const gint stride = self->plane_stride;
  // Bands start on even rows, so that each keeps whole 2×2 cells and its
  // rows their colour pattern; the borders need every row and stay serial.
  const gint bands = kov_unit_control_get_int(self->threads_ctl);
  Band band = {in, out, src, output->data, {}, stride, code};
  if (grey) {
    kov_workers_run_bands(bands, out->height, 2, grey_band, &band);
  } else {
    for (int i = 0; i < 4; ++i) band.origins[i] = self->planes[i] + stride + 16;
    const gint hw = out->width / 2, hh = out->height / 2;
    kov_workers_run_bands(bands, hh, 1, split_band, &band);
    for (guint8 *origin : band.origins) kov_pixel_replicate_border_8u(origin, stride, hw, hh);
    kov_workers_run_bands(bands, out->height, 2,
                          out->pixelformat == KOV_PIX_FMT_RGB3 ? rgb_band : bgra_band, &band);
  }

  clear_row_padding(output->data, out);

  kov_framebuffer_copy_metadata(output, frame);
  output->bytesused = size;
  kov_unit_produce_frame(unit, output, out);
  g_object_unref(output);
}

void bayer_class_init(KovUnitClass *klass) {
  kov_dbg(KOV_DBG_FILTER, "fast_bayer filter class initializer\n");
  klass->stream_init = bayer_stream_init;
  klass->stream_shutdown = bayer_stream_shutdown;
  klass->input_frame_ready = bayer_input_frame_ready;
}

void bayer_init(KovFastBayerFilter *self) {
  kov_dbg(KOV_DBG_FILTER, "fast_bayer filter constructor\n");
  KovUnit *unit = &self->parent;
  self->tiling_ctl = kov_unit_add_control_enum(unit, "tiling", "Tiling", 0, TRUE, tiling_entries);
  self->aligned_input = nullptr;
  for (guint8 *&plane : self->planes) plane = nullptr;
  self->streaming = false;
  self->aligned_size = 0;
  self->rgb_pool = nullptr;
  self->threads_ctl = kov_unit_add_control_int(unit, "threads", "Threads", 1, 16, 1, 1, TRUE);
  g_signal_connect_data(unit, "input-format-changed", G_CALLBACK(on_input_format_changed), unit,
                        nullptr, GConnectFlags(0));
}

}  // namespace

KOV_PLUGIN_STOCK_UNIT(KovFastBayerFilter, kov_fast_bayer_filter_get_type, "KovFastBayerFilter",
                      bayer_class_init, bayer_init, "convert", "fast_debayer", "Fast Debayer", 0)
