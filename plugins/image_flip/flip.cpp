// SPDX-License-Identifier: LGPL-2.1-or-later
// util.flip: mirrors each frame horizontally, vertically or both, as the
// "flip-h" and "flip-v" controls choose. What a pixel is comes from the
// framework's pixel-format table: packed formats mirror whole pixels, 4:2:2
// formats mirror pixel pairs (swapping their two luma samples), planar
// formats flip each plane, and a row's padding stays at the row's end. The
// per-format plan is made once per format. With both controls off the input
// frame itself is passed on; flipped frames come from the unit's pool.
#include <kovkit/pixelformat.h>
#include <kovkit/plugin_frame.h>
#include <kovkit/trace.h>

#include <cstring>

#include "mirror.h"

namespace {

// One plane of a frame: `rows` rows of `stride` bytes from `offset`, each
// starting with `pixels` pixels (or pixel pairs) of `row_bytes` bytes in all.
struct FlipPlane {
  gsize offset, stride, rows, pixels, row_bytes;
};

// How frames of one format are flipped.
struct FlipPlan {
  // The format the plan was made for.
  guint32 code;
  gint width, height, row_stride;
  gboolean usable;  // FALSE: frames of this format are passed on unflipped
  guint n_planes;
  FlipPlane planes[3];
  gsize frame_size;  // every row of every plane whole
  kov::flip::MirrorFn mirror;  // null for 4:2:2 pixel pairs
  gsize luma;                  // 4:2:2: offset of a pair's first luma sample
};

struct KovConvertFlip {
  KovUnit parent;
  KovUnitControl *flip_h_ctl;
  KovUnitControl *flip_v_ctl;
  // Output frames of the plan's frame size. Null until the first flipped
  // frame of a stream; a frame of another size makes a new pool.
  KovFramePool *frame_pool;
  FlipPlan plan;
  KovUnitControl *threads_ctl;  // bands of rows flipped at once
};

KovConvertFlip *as_flip(gpointer object) { return kov::plugin::cast<KovConvertFlip>(object); }

void free_buffers(KovConvertFlip *self) {
  kov_frame_pool_free(self->frame_pool);
  self->frame_pool = nullptr;
}

// n divided by 2^shift, rounded up.
gsize halve_up(gsize n, guint shift) { return (n + (gsize(1) << shift) - 1) >> shift; }

// Fills @plan for @format; leaves it unusable for layouts the flip cannot
// read: unknown or compressed formats, and rows shorter than their pixels.
void make_plan(FlipPlan *plan, const KovUnitFormat *format) {
  *plan = FlipPlan{};
  plan->code = format->pixelformat;
  plan->width = format->width;
  plan->height = format->height;
  plan->row_stride = format->row_stride;
  const KovPixelFormatInfo *info = kov_pixel_format_get_info(format->pixelformat);
  if (info == nullptr || info->compressed || info->planes > G_N_ELEMENTS(plan->planes) ||
      format->width <= 0 || format->height <= 0)
    return;
  const gint min_stride = kov_pixel_format_min_row_stride(format->pixelformat, format->width);
  if (min_stride == 0 || format->row_stride < min_stride) return;
  plan->frame_size = kov_pixel_format_frame_size(format->pixelformat, format->width,
                                                 format->height, format->row_stride);
  if (plan->frame_size == 0) return;

  const gsize bpp = info->bytes_per_pixel;
  gsize offset = 0;
  for (guint i = 0; i < info->planes; ++i) {
    const guint shift = i == 0 ? 0 : info->chroma_shift;
    FlipPlane &plane = plan->planes[i];
    plane.offset = offset;
    plane.stride = halve_up(gsize(format->row_stride), shift);
    plane.rows = halve_up(gsize(format->height), shift);
    plane.pixels = halve_up(gsize(format->width), shift);
    if (info->block_width == 2) plane.pixels = halve_up(plane.pixels, 1);  // pairs
    plane.row_bytes = plane.pixels * bpp * info->block_width;
    offset += plane.stride * plane.rows;
  }
  plan->n_planes = info->planes;
  if (info->block_width == 2) {
    // YUYV keeps luma in bytes 0 and 2 of a pair, UYVY in bytes 1 and 3.
    plan->luma = format->pixelformat == KOV_PIX_FMT_UYVY ? 1 : 0;
  } else {
    plan->mirror = kov::flip::pick_mirror(bpp);
    if (plan->mirror == nullptr) return;
  }
  plan->usable = TRUE;
}

bool plan_matches(const FlipPlan &plan, const KovUnitFormat *format) {
  return plan.code == format->pixelformat && plan.width == format->width &&
         plan.height == format->height && plan.row_stride == format->row_stride;
}

void on_input_format_changed(KovUnit *unit, KovUnitFormat *input_format, gpointer) {
  FlipPlan plan;
  if (input_format != nullptr) make_plan(&plan, input_format);
  kov_unit_mirror_input_format(unit, input_format != nullptr && plan.usable ? input_format
                                                                            : nullptr);
  if (input_format != nullptr) as_flip(unit)->plan = plan;
}

gint flip_stream_shutdown(KovUnit *unit) {
  free_buffers(as_flip(unit));
  kov_unit_remove_all_output_formats(unit);
  return 0;
}

// Output rows [first, last) of one plane: row k receives input row k, or
// row rows - 1 - k with flip_v, its pixels mirrored with flip_h and its
// padding copied as it is. Rows are independent, so a frame can be split
// into bands of rows. A mirrored row is read from its end to its start, so
// the rows are taken in the order that keeps the whole read going down
// through memory (from the last row up, unless flipped vertically): the
// hardware prefetcher follows one steady stream better than one that jumps
// back up after every row.
void flip_plane_rows(const FlipPlan &plan, const FlipPlane &plane, guint8 *out, const guint8 *in,
                     gsize first, gsize last, bool flip_h, bool flip_v) {
  const gsize padding = plane.stride - plane.row_bytes;
  const bool upwards = flip_h && !flip_v;
  for (gsize i = first; i < last; ++i) {
    const gsize k = upwards ? first + last - 1 - i : i;
    const guint8 *src = in + plane.offset + (flip_v ? plane.rows - 1 - k : k) * plane.stride;
    guint8 *dst = out + plane.offset + k * plane.stride;
    if (!flip_h) {
      std::memcpy(dst, src, plane.stride);
      continue;
    }
    if (plan.mirror != nullptr)
      plan.mirror(dst, src, plane.pixels);
    else
      kov::flip::mirror_row_422(dst, src, plane.pixels, plan.luma);
    if (padding > 0) std::memcpy(dst + plane.row_bytes, src + plane.row_bytes, padding);
  }
}

// One frame's flip, shared by its bands of output rows.
struct FlipJob {
  const FlipPlan *plan;
  const FlipPlane *plane;
  guint8 *out;
  const guint8 *in;
  bool flip_h, flip_v;
};

// Output rows [first, first + rows) of one plane.
void flip_band(gint first, gint rows, gpointer data) {
  const FlipJob &j = *static_cast<FlipJob *>(data);
  flip_plane_rows(*j.plan, *j.plane, j.out, j.in, gsize(first), gsize(first) + gsize(rows),
                  j.flip_h, j.flip_v);
}

void flip_input_frame_ready(KovUnit *unit, KovFrameBuffer *frame, KovUnitFormat *format) {
  KovConvertFlip *self = as_flip(unit);
  kov_dbg(KOV_DBG_OUTPUT, "[%s] iterate\n", kov_unit_get_name(unit));

  const bool flip_h = kov_unit_control_get_boolean(self->flip_h_ctl);
  const bool flip_v = kov_unit_control_get_boolean(self->flip_v_ctl);
  if (!flip_h && !flip_v) {
    kov_unit_produce_frame(unit, frame, format);
    return;
  }

  // A frame the flip cannot read whole (a layout it does not know, or fewer
  // bytes than its rows) is passed on as it came.
  if (format == nullptr) {
    kov_unit_produce_frame(unit, frame, format);
    return;
  }
  if (!plan_matches(self->plan, format)) make_plan(&self->plan, format);
  const FlipPlan &plan = self->plan;
  if (!plan.usable) {
    kov_dbg(KOV_DBG_ERROR, "[%s] frame layout not understood, passed on unflipped\n",
            kov_unit_get_name(unit));
    kov_unit_produce_frame(unit, frame, format);
    return;
  }
  if (frame->data == nullptr || frame->length < plan.frame_size) {
    kov_dbg(KOV_DBG_ERROR,
            "[%s] frame of %" G_GSIZE_FORMAT " bytes is shorter than %" G_GSIZE_FORMAT
            ", passed on unflipped\n",
            kov_unit_get_name(unit), frame->length, plan.frame_size);
    kov_unit_produce_frame(unit, frame, format);
    return;
  }

  KovFrameBuffer *out = kov_frame_pool_acquire_sized(&self->frame_pool, plan.frame_size);
  if (out == nullptr) {
    kov_unit_produce_frame(unit, frame, format);
    return;
  }

  const gint bands = kov_unit_control_get_int(self->threads_ctl);
  for (guint i = 0; i < plan.n_planes; ++i) {
    FlipJob job = {&plan, &plan.planes[i], out->data, frame->data, flip_h, flip_v};
    kov_workers_run_bands(bands, gint(plan.planes[i].rows), 1, flip_band, &job);
  }

  out->bytesused = plan.frame_size;
  kov_framebuffer_copy_metadata(out, frame);
  kov_unit_produce_frame(unit, out, format);
  g_object_unref(out);
}

void flip_finalize(GObject *object) {
  kov_dbg(KOV_DBG_INPUT, "ConvertFlip finalize\n");
  free_buffers(as_flip(object));
  kov::plugin::parent_class<KovConvertFlip>()->finalize(object);
}

void flip_class_init(KovUnitClass *klass) {
  kov_dbg(KOV_DBG_OUTPUT, "ConvertFlip class initializer\n");
  G_OBJECT_CLASS(klass)->finalize = flip_finalize;
  klass->stream_shutdown = flip_stream_shutdown;
  klass->input_frame_ready = flip_input_frame_ready;
}

void flip_init(KovConvertFlip *self) {
  kov_dbg(KOV_DBG_OUTPUT, "ConvertFlip constructor\n");
  KovUnit *unit = &self->parent;
  self->flip_h_ctl = kov_unit_add_control_boolean(unit, "flip-h", "Horiz flip", FALSE, TRUE);
  self->flip_v_ctl = kov_unit_add_control_boolean(unit, "flip-v", "Vert flip", FALSE, TRUE);
  self->frame_pool = nullptr;
  self->threads_ctl = kov_unit_add_control_int(unit, "threads", "Threads", 1, 16, 1, 1, TRUE);
  g_signal_connect_data(unit, "input-format-changed", G_CALLBACK(on_input_format_changed),
                        nullptr, nullptr, GConnectFlags(0));
}

}  // namespace

KOV_PLUGIN_STOCK_UNIT(KovConvertFlip, kov_convert_flip_get_type, "KovConvertFlip",
                      flip_class_init, flip_init, "util", "flip", "Flip image", 0)
