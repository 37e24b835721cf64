// SPDX-License-Identifier: LGPL-2.1-or-later
// example.invert: a plug-in built outside the kovkit tree. It turns each
// 8-bit frame into its negative (every colour byte b becomes 255 - b) and
// keeps the format of its input. GREY, RGB3, BGR3 and BGR4 frames are
// inverted (the fourth byte of BGR4 is kept as it is); frames of other
// formats, or frames shorter than their format says, are passed on unchanged.
#include <kovkit/plugin_frame.h>
#include <kovkit/trace.h>

#include <cstring>

namespace {

struct ExampleInvert {
  KovUnit parent;
};

// Bytes per pixel and colour bytes per pixel of the formats the unit inverts;
// false for any other format.
bool pixel_layout(guint32 pixelformat, gsize *bytes, gsize *colour_bytes) {
  switch (pixelformat) {
    case KOV_PIX_FMT_GREY:
      *bytes = *colour_bytes = 1;
      return true;
    case KOV_PIX_FMT_RGB3:
    case KOV_PIX_FMT_BGR3:
      *bytes = *colour_bytes = 3;
      return true;
    case KOV_PIX_FMT_BGR4:
      *bytes = 4;
      *colour_bytes = 3;
      return true;
    default:
      return false;
  }
}

// The output format is the input's, whatever it is: frames the unit cannot
// invert pass through.
void on_input_format_changed(KovUnit *unit, KovUnitFormat *input, gpointer) {
  kov_unit_remove_all_output_formats(unit);
  if (input != nullptr)
    kov_unit_add_output_format(unit, input->pixelformat, input->name, input->width,
                               input->height, input->row_stride);
}

// One row: colour bytes inverted, other bytes (alpha, row padding) copied.
void invert_row(guint8 *__restrict dst, const guint8 *__restrict src, gsize row_bytes,
                gsize pixel_bytes, gsize colour_bytes) {
  if (pixel_bytes == colour_bytes) {
    for (gsize i = 0; i < row_bytes; ++i) dst[i] = guint8(255 - src[i]);
    return;
  }
  for (gsize i = 0; i < row_bytes; ++i)
    dst[i] = i % pixel_bytes < colour_bytes ? guint8(255 - src[i]) : src[i];
}

void invert_input_frame_ready(KovUnit *unit, KovFrameBuffer *frame, KovUnitFormat *format) {
  gsize pixel_bytes = 0, colour_bytes = 0, size = 0;
  const bool readable =
      format != nullptr && pixel_layout(format->pixelformat, &pixel_bytes, &colour_bytes) &&
      format->width > 0 && format->height > 0 &&
      gsize(format->row_stride) >= gsize(format->width) * pixel_bytes &&
      g_size_checked_mul(&size, gsize(format->row_stride), gsize(format->height)) &&
      frame->data != nullptr && frame->length >= size;
  if (!readable) {
    kov_dbg(KOV_DBG_FILTER, "[%s] frame not inverted: format or size not understood\n",
            kov_unit_get_name(unit));
    kov_unit_produce_frame(unit, frame, format);
    return;
  }

  // A fresh frame each time: whoever received the previous one may keep it.
  KovFrameBuffer *out = kov_framebuffer_new_alloc(size);
  if (out == nullptr) {
    kov_unit_produce_frame(unit, frame, format);
    return;
  }
  const gsize stride = gsize(format->row_stride);
  const gsize pixels_bytes = gsize(format->width) * pixel_bytes;
  for (gsize y = 0; y < gsize(format->height); ++y) {
    const guint8 *src = frame->data + y * stride;
    guint8 *dst = out->data + y * stride;
    invert_row(dst, src, pixels_bytes, pixel_bytes, colour_bytes);
    std::memcpy(dst + pixels_bytes, src + pixels_bytes, stride - pixels_bytes);
  }
  out->bytesused = size;
  kov_framebuffer_copy_metadata(out, frame);
  kov_unit_produce_frame(unit, out, format);
  g_object_unref(out);
}

gint invert_stream_shutdown(KovUnit *unit) {
  kov_unit_remove_all_output_formats(unit);
  return 0;
}

void invert_class_init(KovUnitClass *klass) {
  klass->input_frame_ready = invert_input_frame_ready;
  klass->stream_shutdown = invert_stream_shutdown;
}

void invert_init(ExampleInvert *self) {
  g_signal_connect_data(&self->parent, "input-format-changed",
                        G_CALLBACK(on_input_format_changed), nullptr, nullptr, GConnectFlags(0));
}

}  // namespace

KOV_PLUGIN_STOCK_UNIT(ExampleInvert, example_invert_get_type, "ExampleInvert", invert_class_init,
                      invert_init, "example", "invert", "Invert colours", 0)
