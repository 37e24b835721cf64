// SPDX-License-Identifier: LGPL-2.1-or-later
// convert.jpeg_compress: compresses RGB3, BGR4 and GREY frames into JPEG
// images (pixel format MJPG) at the quality of the "quality" control.
//
// Output frames come from a pool made per stream, each large enough for any
// image the unit can emit. When nobody keeps frames the pool gives back the
// same frame every time.
#include <algorithm>

#include <kovkit/plugin_frame.h>
#include <kovkit/trace.h>

#include "compress.h"

namespace {

struct KovJpegEncode {
  KovUnit parent;
  KovUnitControl *quality_ctl;
  KovFramePool *out_pool;
};

using kov::plugin::cast;

// Room for the markers and tables of one image (headers, two quantisation
// and four Huffman tables come to well under 1 KiB).
constexpr gsize kHeaderRoom = 4096;

gsize round_up_16(gsize n) { return (n + 15) / 16 * 16; }

// Four bytes per pixel of the image padded to whole 16x16 blocks (the
// largest unit the compressor codes) plus the headers: even a 1x1 image,
// which is coded as one full block, fits.
gsize stream_buffer_size(int width, int height) {
  return round_up_16(gsize(width)) * round_up_16(gsize(height)) * 4 + kHeaderRoom;
}

// The formats the compressor reads.
bool accepted_input(guint32 pixelformat) {
  return pixelformat == KOV_PIX_FMT_RGB3 || pixelformat == KOV_PIX_FMT_BGR4 ||
         pixelformat == KOV_PIX_FMT_GREY;
}

void on_input_format_changed(KovUnit *unit, KovUnitFormat *format, gpointer) {
  kov_unit_remove_all_output_formats(unit);
  if (format == nullptr) return;
  if (accepted_input(format->pixelformat))
    kov_unit_add_output_format(unit, KOV_PIX_FMT_MJPG, nullptr, format->width, format->height, 0);
}

void release_out_pool(KovJpegEncode *self) {
  kov_frame_pool_free(self->out_pool);
  self->out_pool = nullptr;
}

gint jpeg_encode_stream_init(KovUnit *unit, KovUnitFormat *format) {
  auto *self = cast<KovJpegEncode>(unit);
  release_out_pool(self);
  if (format == nullptr || format->width <= 0 || format->height <= 0) {
    kov_dbg(KOV_DBG_ERROR, "[%s] cannot stream an empty image\n", kov_unit_get_name(unit));
    return -1;
  }
  self->out_pool =
      kov_frame_pool_new(stream_buffer_size(format->width, format->height), KOV_FRAME_POOL_DEFAULT_FRAMES);
  // The first frame is made now: a stream that starts has its memory.
  KovFrameBuffer *first =
      self->out_pool != nullptr ? kov_frame_pool_acquire(self->out_pool) : nullptr;
  if (first == nullptr) {
    release_out_pool(self);
    kov_dbg(KOV_DBG_ERROR, "[%s] out of memory for a %dx%d stream\n", kov_unit_get_name(unit),
            format->width, format->height);
    return -1;
  }
  g_object_unref(first);
  return 0;
}

gint jpeg_encode_stream_shutdown(KovUnit *unit) {
  release_out_pool(cast<KovJpegEncode>(unit));
  return 0;
}

void jpeg_encode_input_frame_ready(KovUnit *unit, KovFrameBuffer *frame, KovUnitFormat *format) {
  auto *self = cast<KovJpegEncode>(unit);
  const char *name = kov_unit_get_name(unit);
  kov_dbg(KOV_DBG_FILTER, "[%s] iterate\n", name);

  KovUnitFormat *out_format = kov_unit_get_output_format(unit);
  if (self->out_pool == nullptr || out_format == nullptr) {
    kov_dbg(KOV_DBG_ERROR, "[%s] frame dropped: the unit is not streaming\n", name);
    return;
  }
  // 0 for a width that is not positive or whose rows do not fit in a gint.
  const gint min_stride = kov_pixel_format_min_row_stride(format->pixelformat, format->width);
  if (!accepted_input(format->pixelformat) || min_stride == 0 || format->height <= 0) {
    kov_dbg(KOV_DBG_ERROR, "[%s] frame dropped: unsupported input format\n", name);
    return;
  }

  // The frame must hold every row it claims: stride x (height - 1) plus one
  // whole last row. A stride of 0 means packed rows.
  const gsize row_bytes = gsize(min_stride);
  const gsize stride = format->row_stride == 0 ? row_bytes : gsize(std::max(format->row_stride, 0));
  const gsize needed = stride * gsize(format->height - 1) + row_bytes;
  const gsize available_in = std::min(frame->bytesused, frame->length);
  if (stride < row_bytes || frame->data == nullptr || available_in < needed) {
    kov_dbg(KOV_DBG_ERROR,
            "[%s] frame dropped: %" G_GSIZE_FORMAT " bytes, %" G_GSIZE_FORMAT " needed\n", name,
            available_in, needed);
    return;
  }

  KovFrameBuffer *out = kov_frame_pool_acquire(self->out_pool);
  if (out == nullptr) {
    kov_dbg(KOV_DBG_ERROR, "[%s] frame dropped: out of memory\n", name);
    return;
  }
  size_t available = out->length;
  const int quality = kov_unit_control_get_int(self->quality_ctl);
  auto *compress = format->pixelformat == KOV_PIX_FMT_RGB3   ? kov::jpeg_encode::compress_rgb
                   : format->pixelformat == KOV_PIX_FMT_BGR4 ? kov::jpeg_encode::compress_bgra
                                                             : kov::jpeg_encode::compress_gray;
  if (compress(frame->data, format->width, format->height, ptrdiff_t(stride), out->data,
               &available, quality) != 0) {
    g_object_unref(out);
    return;  // the routine has printed why; no partial image is produced
  }

  kov_framebuffer_copy_metadata(out, frame);
  out->bytesused = available;
  kov_unit_produce_frame(unit, out, out_format);
  g_object_unref(out);
}

void jpeg_encode_class_init(KovUnitClass *klass) {
  klass->stream_init = jpeg_encode_stream_init;
  klass->stream_shutdown = jpeg_encode_stream_shutdown;
  klass->input_frame_ready = jpeg_encode_input_frame_ready;
}

void jpeg_encode_init(KovJpegEncode *self) {
  kov_dbg(KOV_DBG_FILTER, "jpeg compress constructor\n");
  auto *unit = reinterpret_cast<KovUnit *>(self);
  self->quality_ctl = kov_unit_add_control_int(unit, "quality", "Quality", 1, 100, 1, 94, 1);
  g_signal_connect_data(unit, "input-format-changed", G_CALLBACK(on_input_format_changed),
                        nullptr, nullptr, GConnectFlags(0));
}

}  // namespace

KOV_PLUGIN_STOCK_UNIT(KovJpegEncode, kov_jpeg_encode_get_type, "KovJpegEncode",
                      jpeg_encode_class_init, jpeg_encode_init, "convert", "jpeg_compress",
                      "JPEG Compress", 0)
