// SPDX-License-Identifier: LGPL-2.1-or-later
// opencv.convert_canny: OpenCV's Canny edge detector on 8-bit grey frames.
//
// The detector runs on the whole frame or on the region of interest that an
// upstream unit attached as "roi" metadata (x, y, width, height as four
// 32-bit integers). The output frame is the input image with the region
// replaced by its edge image, in a frame from the unit's pool.
//
// OpenCV reads the region straight from the input frame and writes the edges
// straight into the output buffer, through headers that carry the row stride.
// A header made from a bare pointer does not know the pixels around it, so
// the result is the same as Canny on a copy of the region.
#include <kovkit/plugin_frame.h>
#include <kovkit/roi.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cfloat>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

struct ConvertCannyPlugin {
  KovUnit parent;
  gint32 width;   // of the stream format
  gint32 height;
  KovFramePool *frame_pool;  // output frames of frame_size bytes, while streaming
  KovUnitControl *thresh1_ctl;
  KovUnitControl *thresh2_ctl;
  KovUnitControl *aperture_ctl;
  gsize frame_size;  // row stride x height of the stream format
};

KOV_EXPORT GType convert_canny_plugin_get_type(void);
KOV_EXPORT ConvertCannyPlugin *convert_canny_plugin_new(void);

namespace {

using kov::plugin::cast;
using kov::plugin::parent_class;

using kov::plugin::frame_region;
using kov::plugin::Region;

void free_buffers(ConvertCannyPlugin *self) {
  kov_frame_pool_free(self->frame_pool);
  self->frame_pool = nullptr;
  self->frame_size = 0;
}

void on_input_format_changed(KovUnit *unit, KovUnitFormat *format, gpointer) {
  const bool grey = format != nullptr && format->pixelformat == KOV_PIX_FMT_GREY;
  kov_unit_mirror_input_format(unit, grey ? format : nullptr);
}

gint canny_stream_init(KovUnit *unit, KovUnitFormat *format) {
  auto *self = cast<ConvertCannyPlugin>(unit);
  if (format == nullptr || format->pixelformat != KOV_PIX_FMT_GREY) return -1;
  self->width = format->width;
  self->height = format->height;
  free_buffers(self);
  if (format->width <= 0 || format->height <= 0) return 0;
  const gsize size = gsize(std::max(format->row_stride, format->width)) * gsize(format->height);
  // Without a pool every frame passes through unchanged.
  self->frame_pool = kov_frame_pool_new(size, KOV_FRAME_POOL_DEFAULT_FRAMES);
  if (self->frame_pool != nullptr) self->frame_size = size;
  return 0;
}

gint canny_stream_shutdown(KovUnit *unit) {
  free_buffers(cast<ConvertCannyPlugin>(unit));
  return 0;
}

// Writes the edges of the region of the input (rows stride bytes apart) into
// the same region of out. False when OpenCV refused; the reason went to stderr.
bool detect_edges(ConvertCannyPlugin *self, const guint8 *in, guint8 *out, int stride,
                  const Region &r) {
  const gsize origin = gsize(r.y) * stride + r.x;
  const int aperture = kov_unit_control_get_int(self->aperture_ctl);
  // OpenCV truncates the thresholds to int: past INT_MAX they wrap and
  // every pixel becomes an edge. No gradient of an 8-bit image reaches 1e9,
  // so capping there keeps every threshold's meaning.
  const double thresh2 = std::min(double(kov_unit_control_get_float(self->thresh2_ctl)), 1e9);
  const double thresh1 = std::min(double(kov_unit_control_get_float(self->thresh1_ctl)), 1e9);
  try {
    const cv::Mat src(r.h, r.w, CV_8UC1, const_cast<guint8 *>(in) + origin, gsize(stride));
    cv::Mat dst(r.h, r.w, CV_8UC1, out + origin, gsize(stride));
    cv::Canny(src, dst, thresh1, thresh2, aperture);
    // Canny keeps a destination of the right size and type; a new one would
    // mean the edges are not in the frame.
    if (dst.data != out + origin) {
      std::fprintf(stderr, "Error: Canny edge detection did not write into the frame\n");
      return false;
    }
  } catch (const cv::Exception &e) {
    std::fprintf(stderr, "Error: Canny edge detection failed: %s\n", e.err.c_str());
    return false;
  } catch (const std::bad_alloc &) {
    std::fprintf(stderr, "Error: Canny edge detection ran out of memory\n");
    return false;
  }
  return true;
}

void canny_input_frame_ready(KovUnit *unit, KovFrameBuffer *frame, KovUnitFormat *format) {
  auto *self = cast<ConvertCannyPlugin>(unit);
  if (frame == nullptr || format == nullptr) return;

  // Anything the buffers were not made for goes on unchanged: frames outside
  // a stream, another format, or a frame shorter than its format says.
  const int w = format->width, h = format->height, stride = format->row_stride;
  const gsize size = gsize(std::max(stride, 0)) * gsize(std::max(h, 0));
  if (self->frame_pool == nullptr || format->pixelformat != KOV_PIX_FMT_GREY || w <= 0 ||
      h <= 0 || stride < w || size > self->frame_size || frame->data == nullptr ||
      frame->length < size || frame->bytesused < size) {
    kov_unit_produce_frame(unit, frame, format);
    return;
  }

  // An empty region, or a detector failure, leaves the input as it is.
  const Region r = frame_region(frame, w, h);
  if (r.empty()) {
    kov_unit_produce_frame(unit, frame, format);
    return;
  }
  KovFrameBuffer *out = kov_frame_pool_acquire(self->frame_pool);
  if (out == nullptr) {
    kov_unit_produce_frame(unit, frame, format);
    return;
  }
  std::memcpy(out->data, frame->data, size);
  if (!detect_edges(self, frame->data, out->data, stride, r)) {
    g_object_unref(out);
    kov_unit_produce_frame(unit, frame, format);
    return;
  }

  kov_framebuffer_copy_metadata(out, frame);
  out->bytesused = size;
  kov_unit_produce_frame(unit, out, format);
  g_object_unref(out);
}

gint canny_draw_gl(KovUnit *) { return 0; }

void canny_finalize(GObject *object) {
  free_buffers(reinterpret_cast<ConvertCannyPlugin *>(object));
  parent_class<ConvertCannyPlugin>()->finalize(object);
}

void canny_class_init(KovUnitClass *klass) {
  G_OBJECT_CLASS(klass)->finalize = canny_finalize;
  klass->stream_init = canny_stream_init;
  klass->stream_shutdown = canny_stream_shutdown;
  klass->input_frame_ready = canny_input_frame_ready;
  klass->draw_gl = canny_draw_gl;
}

void canny_init(ConvertCannyPlugin *self) {
  KovUnit *unit = &self->parent;
  self->thresh1_ctl =
      kov_unit_add_control_float(unit, "thresh1", "Threshold 1", 0.0f, FLT_MAX, 1.0f, 400.0f, TRUE);
  kov_unit_control_set_ui_hints(self->thresh1_ctl, KOV_UNIT_CONTROL_SPINBUTTON);
  self->thresh2_ctl =
      kov_unit_add_control_float(unit, "thresh2", "Threshold 2", 0.0f, FLT_MAX, 1.0f, 600.0f, TRUE);
  kov_unit_control_set_ui_hints(self->thresh2_ctl, KOV_UNIT_CONTROL_SPINBUTTON);
  self->aperture_ctl = kov_unit_add_control_int(unit, "aperture", "Aperture", 3, 7, 2, 5, TRUE);
  g_signal_connect(unit, "input-format-changed", G_CALLBACK(on_input_format_changed), nullptr);
}

}  // namespace

KOV_EXPORT ConvertCannyPlugin *convert_canny_plugin_new(void) {
  return kov::plugin::cast<ConvertCannyPlugin>(kov::plugin::new_instance<ConvertCannyPlugin>());
}

namespace {
gpointer create_canny_unit(void) { return convert_canny_plugin_new(); }
}  // namespace

KOV_PLUGIN_STOCK_UNIT_FULL(ConvertCannyPlugin, convert_canny_plugin_get_type, "ConvertCannyPlugin",
                           canny_class_init, canny_init, "opencv", "convert_canny",
                           "Do Canny on image with ROI", KOV_UNIT_RENDERS_GL, create_canny_unit)
