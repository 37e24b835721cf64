// SPDX-License-Identifier: LGPL-2.1-or-later
// convert.colorspace: converts BGR4, BGR3, GREY, I420, YUYV and UYVY frames
// to packed RGB3 (YUV as BT.601 limited range, the camera convention), with
// libyuv's SIMD converters. In libyuv's names "ARGB" is B, G, R, A in memory,
// "RGB24" is B, G, R and "RAW" is R, G, B. Frames shorter than their format
// needs are dropped, never read past their end.
#include <atomic>
#include <cstring>

#include <libyuv.h>

#include "units/builtin_units.h"

struct KovColorspace {
  KovUnit parent;
  guint8 *argb;  // work picture for the 4:2:2 inputs, allocated per stream
  gsize argb_size;
  gboolean warned_short;
  KovUnitControl *threads_ctl;  // bands of rows converted at once
};

struct KovColorspaceClass {
  KovUnitClass parent_class;
};

G_DEFINE_TYPE(KovColorspace, kov_colorspace, KOV_TYPE_UNIT)

namespace {

bool accepted_input(guint32 code) {
  switch (code) {
    case KOV_PIX_FMT_BGR4:
    case KOV_PIX_FMT_BGR3:
    case KOV_PIX_FMT_GREY:
    case KOV_PIX_FMT_I420:
    case KOV_PIX_FMT_YUYV:
    case KOV_PIX_FMT_UYVY:
      return true;
    default:
      return false;
  }
}

void on_input_format_changed(KovUnit *unit, KovUnitFormat *in, gpointer) {
  kov_unit_remove_all_output_formats(unit);
  if (in == nullptr || !accepted_input(in->pixelformat)) return;
  // Sizes whose strides or frames do not fit the arithmetic are refused.
  const gint w = in->width, h = in->height;
  const gint rgb_stride = kov_pixel_format_min_row_stride(KOV_PIX_FMT_RGB3, w);
  if (kov_pixel_format_min_frame_size(in->pixelformat, w, h, in->row_stride) == 0 ||
      kov_pixel_format_frame_size(KOV_PIX_FMT_RGB3, w, h, rgb_stride) == 0)
    return;
  gchar *name = kov::units::format_name(KOV_PIX_FMT_RGB3, w, h);
  kov_unit_add_output_format(unit, KOV_PIX_FMT_RGB3, name, w, h, rgb_stride);
  g_free(name);
}

void free_work(KovColorspace *cs) {
  g_clear_pointer(&cs->argb, g_free);
  cs->argb_size = 0;
}

gint colorspace_stream_init(KovUnit *unit, KovUnitFormat *) {
  auto *cs = reinterpret_cast<KovColorspace *>(unit);
  cs->warned_short = FALSE;
  KovUnit *input = kov_unit_get_input(unit);
  KovUnitFormat *in = input != nullptr ? kov_unit_get_output_format(input) : nullptr;
  if (in == nullptr || !accepted_input(in->pixelformat)) return -1;
  if (in->pixelformat == KOV_PIX_FMT_YUYV || in->pixelformat == KOV_PIX_FMT_UYVY) {
    const gint argb_stride = kov_pixel_format_min_row_stride(KOV_PIX_FMT_BGR4, in->width);
    gsize size = kov_pixel_format_frame_size(KOV_PIX_FMT_BGR4, in->width, in->height, argb_stride);
    if (size == 0) return -1;
    if (cs->argb_size != size) {
      free_work(cs);
      cs->argb = static_cast<guint8 *>(g_try_malloc(size));
      if (cs->argb == nullptr) return -1;
      cs->argb_size = size;
    }
  }
  return 0;
}

gint colorspace_stream_shutdown(KovUnit *unit) {
  free_work(reinterpret_cast<KovColorspace *>(unit));
  return 0;
}

// Converts rows first .. first + h - 1 of a frame into dst (RGB3, packed
// rows); false when libyuv fails. Bands of I420 start on even rows, where a
// chroma row starts.
bool convert(KovColorspace *cs, KovUnitFormat *in, const guint8 *frame, guint8 *frame_dst,
             int first, int h) {
  int w = in->width, s = in->row_stride, d = w * 3;
  const guint8 *src = frame + static_cast<gsize>(s) * first;
  guint8 *dst = frame_dst + static_cast<gsize>(d) * first;
  switch (in->pixelformat) {
    case KOV_PIX_FMT_BGR4:
      return libyuv::ARGBToRAW(src, s, dst, d, w, h) == 0;
    case KOV_PIX_FMT_BGR3:
      return libyuv::RGB24ToRAW(src, s, dst, d, w, h) == 0;
    case KOV_PIX_FMT_GREY:
      for (int y = 0; y < h; y++) {
        const guint8 *__restrict g = src + static_cast<gsize>(s) * y;
        guint8 *__restrict o = dst + static_cast<gsize>(d) * y;
        for (int x = 0; x < w; x++) o[3 * x] = o[3 * x + 1] = o[3 * x + 2] = g[x];
      }
      return true;
    case KOV_PIX_FMT_I420: {
      int cs_stride = (s + 1) / 2;
      const guint8 *u = frame + static_cast<gsize>(s) * in->height;
      const guint8 *v = u + static_cast<gsize>(cs_stride) * ((in->height + 1) / 2);
      u += static_cast<gsize>(cs_stride) * (first / 2);
      v += static_cast<gsize>(cs_stride) * (first / 2);
      return libyuv::I420ToRAW(src, s, u, cs_stride, v, cs_stride, dst, d, w, h) == 0;
    }
    case KOV_PIX_FMT_YUYV:
    case KOV_PIX_FMT_UYVY: {
      if (cs->argb == nullptr) return false;
      guint8 *argb = cs->argb + static_cast<gsize>(w) * 4 * first;
      int rc = in->pixelformat == KOV_PIX_FMT_YUYV
                   ? libyuv::YUY2ToARGB(src, s, argb, w * 4, w, h)
                   : libyuv::UYVYToARGB(src, s, argb, w * 4, w, h);
      return rc == 0 && libyuv::ARGBToRAW(argb, w * 4, dst, d, w, h) == 0;
    }
    default:
      return false;
  }
}

void colorspace_input_frame_ready(KovUnit *unit, KovFrameBuffer *frame, KovUnitFormat *in) {
  auto *cs = reinterpret_cast<KovColorspace *>(unit);
  KovUnitFormat *out = kov_unit_get_output_format(unit);
  if (out == nullptr || in == nullptr || in->width != out->width || in->height != out->height)
    return;
  gsize need =
      kov_pixel_format_min_frame_size(in->pixelformat, in->width, in->height, in->row_stride);
  gsize have = MIN(frame->bytesused, frame->length);
  if (need == 0 || have < need) {
    if (!cs->warned_short) {
      gchar code[11];
      g_printerr("convert.colorspace: dropping a %s frame of %" G_GSIZE_FORMAT
                 " bytes; %dx%d needs %" G_GSIZE_FORMAT "\n",
                 kov_pixel_format_to_string(in->pixelformat, code), have, in->width, in->height,
                 need);
      cs->warned_short = TRUE;
    }
    return;
  }
  gsize size =
      kov_pixel_format_frame_size(out->pixelformat, out->width, out->height, out->row_stride);
  KovFrameBuffer *rgb = kov_framebuffer_new_alloc(size);
  if (rgb == nullptr) return;
  struct Job {
    KovColorspace *cs;
    KovUnitFormat *in;
    const guint8 *src;
    guint8 *dst;
    std::atomic<bool> failed;
  } job = {cs, in, frame->data, rgb->data, {false}};
  kov_workers_run_bands(
      kov_unit_control_get_int(cs->threads_ctl), in->height, 2,
      [](gint first, gint rows, gpointer data) {
        Job &j = *static_cast<Job *>(data);
        if (!convert(j.cs, j.in, j.src, j.dst, first, rows)) j.failed = true;
      },
      &job);
  if (!job.failed) {
    kov_framebuffer_copy_metadata(rgb, frame);
    rgb->bytesused = size;
    kov_unit_produce_frame(unit, rgb, out);
  }
  g_object_unref(rgb);
}

void colorspace_finalize(GObject *object) {
  free_work(reinterpret_cast<KovColorspace *>(object));
  G_OBJECT_CLASS(kov_colorspace_parent_class)->finalize(object);
}

}  // namespace

static void kov_colorspace_class_init(KovColorspaceClass *klass) {
  G_OBJECT_CLASS(klass)->finalize = colorspace_finalize;
  KovUnitClass *unit_class = KOV_UNIT_CLASS(klass);
  unit_class->stream_init = colorspace_stream_init;
  unit_class->stream_shutdown = colorspace_stream_shutdown;
  unit_class->input_frame_ready = colorspace_input_frame_ready;
}

static void kov_colorspace_init(KovColorspace *cs) {
  kov_unit_set_preferred_format(KOV_UNIT(cs), KOV_PIX_FMT_RGB3, 0, 0, 0);
  cs->threads_ctl =
      kov_unit_add_control_int(KOV_UNIT(cs), "threads", "Threads", 1, 16, 1, 1, TRUE);
  g_signal_connect(cs, "input-format-changed", G_CALLBACK(on_input_format_changed), nullptr);
}
