// SPDX-License-Identifier: LGPL-2.1-or-later
// util.flip: mirrors each frame horizontally, vertically or both, as the
// "flip-h" and "flip-v" controls choose. The unit does not know the pixel
// format: a frame is `height` rows of `row_stride` bytes, each holding
// `width` pixels of row_stride / width bytes. With both controls off the
// input frame itself is passed on; flipped frames come from the unit's pool.
#include <kovkit/plugin_frame.h>
#include <kovkit/trace.h>

#include <cstring>

#include "mirror.h"

namespace {

struct KovConvertFlip {
  KovUnit parent;
  KovUnitControl *flip_h_ctl;
  KovUnitControl *flip_v_ctl;
  // Output frames of row stride × height bytes. Null until the first
  // flipped frame of a stream; a frame of another size makes a new pool.
  KovFramePool *frame_pool;
  KovUnitControl *threads_ctl;  // bands of rows flipped at once
};

KovConvertFlip *as_flip(gpointer object) { return kov::plugin::cast<KovConvertFlip>(object); }

void free_buffers(KovConvertFlip *self) {
  kov_frame_pool_free(self->frame_pool);
  self->frame_pool = nullptr;
}

// The output format copies the input's, for layouts the flip understands:
// whole pixels of row_stride / width bytes and nothing else in a row.
bool format_accepted(const KovUnitFormat *format) {
  return format != nullptr && format->row_stride > 0 && format->width > 0 &&
         format->height > 0 && format->row_stride % format->width == 0;
}

void on_input_format_changed(KovUnit *unit, KovUnitFormat *input_format, gpointer) {
  kov_unit_mirror_input_format(unit, format_accepted(input_format) ? input_format : nullptr);
}

gint flip_stream_shutdown(KovUnit *unit) {
  free_buffers(as_flip(unit));
  kov_unit_remove_all_output_formats(unit);
  return 0;
}

// Output row k receives input row src_row(k), mirrored when flip_h is on.
void flip_rows(guint8 *__restrict out, const guint8 *__restrict in, gsize stride, gsize width,
               gsize height, bool flip_h, bool flip_v) {
  const gsize bpp = stride / width;
  const kov::flip::MirrorFn mirror = flip_h ? kov::flip::pick_mirror(bpp) : nullptr;
  for (gsize k = 0; k < height; ++k) {
    const guint8 *src = in + (flip_v ? height - 1 - k : k) * stride;
    guint8 *dst = out + k * stride;
    if (!flip_h)
      std::memcpy(dst, src, stride);
    else if (mirror != nullptr)
      mirror(dst, src, width);
    else
      kov::flip::mirror_row_n(dst, src, width, bpp);
  }
}

// One frame's flip, shared by its bands of output rows.
struct FlipJob {
  guint8 *out;
  const guint8 *in;
  gsize stride, width, height;
  bool flip_h, flip_v;
};

// Output rows [first, first + rows): with flip_v they come from the input's
// rows that end where the band's mirror image begins.
void flip_band(gint first, gint rows, gpointer data) {
  const FlipJob &j = *static_cast<FlipJob *>(data);
  const gsize src_first = j.flip_v ? j.height - gsize(first) - gsize(rows) : gsize(first);
  flip_rows(j.out + gsize(first) * j.stride, j.in + src_first * j.stride, j.stride, j.width,
            gsize(rows), j.flip_h, j.flip_v);
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

  // A frame the flip cannot read whole (a layout it does not accept, or
  // fewer bytes than row stride × height) is passed on as it came.
  gsize size = 0;
  if (!format_accepted(format) ||
      !g_size_checked_mul(&size, gsize(format->row_stride), gsize(format->height))) {
    kov_dbg(KOV_DBG_ERROR, "[%s] frame layout not understood, passed on unflipped\n",
            kov_unit_get_name(unit));
    kov_unit_produce_frame(unit, frame, format);
    return;
  }
  if (frame->data == nullptr || frame->length < size) {
    kov_dbg(KOV_DBG_ERROR,
            "[%s] frame of %" G_GSIZE_FORMAT " bytes is shorter than %" G_GSIZE_FORMAT
            ", passed on unflipped\n",
            kov_unit_get_name(unit), frame->length, size);
    kov_unit_produce_frame(unit, frame, format);
    return;
  }

  KovFrameBuffer *out = kov_frame_pool_acquire_sized(&self->frame_pool, size);
  if (out == nullptr) {
    kov_unit_produce_frame(unit, frame, format);
    return;
  }

  FlipJob job = {out->data,           frame->data, gsize(format->row_stride), gsize(format->width),
                 gsize(format->height), flip_h,      flip_v};
  kov_workers_run_bands(kov_unit_control_get_int(self->threads_ctl), format->height, 1, flip_band,
                        &job);

  out->bytesused = size;
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
