// SPDX-License-Identifier: LGPL-2.1-or-later
// detect.opencv.hough: finds circles in 8-bit grey frames with OpenCV's Hough
// gradient method.
//
// Each frame goes on with its pixels unchanged and the first circle found
// attached as "marker:x", "marker:y" and "marker:r" (0 when none), in a new
// frame over the input's pixels: the input may be held by other listeners and
// is not modified. Frames the unit cannot search (too short, outside a
// stream) go on the same way, with a 0 marker. Only the frame's "roi" region is searched when it carries
// one. In the GL view the unit outlines the first circle with a bright
// square and every circle of the last frame with a dim one.
#include <kovkit/plugin_frame.h>
#include <kovkit/roi.h>

#include <epoxy/gl.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

using CircleList = std::vector<cv::Vec3f>;  // centre column, centre row, radius

struct DetectHoughPlugin {
  KovUnit parent;
  gint32 marker_x;  // first circle of the last frame, frame pixels; 0 when none
  gint32 marker_y;
  gint32 marker_r;
  guint8 *work_data;    // the examined region, packed rows: work_size bytes
  CircleList *circles;  // circles of the last frame, region coordinates
  KovUnitControl *dp_ctl;
  KovUnitControl *min_dist_ctl;
  KovUnitControl *param1_ctl;
  KovUnitControl *param2_ctl;
  KovUnitControl *min_radius_ctl;
  KovUnitControl *max_radius_ctl;
  gsize work_size;  // width x height of the stream format
  gint32 circles_x;  // origin of the region in which circles were found
  gint32 circles_y;
};

KOV_EXPORT GType detect_hough_plugin_get_type(void);
KOV_EXPORT DetectHoughPlugin *detect_hough_plugin_new(void);

namespace {

using kov::plugin::cast;
using kov::plugin::parent_class;

using kov::plugin::frame_region;
using kov::plugin::Region;

void free_stream_data(DetectHoughPlugin *self) {
  std::free(self->work_data);
  self->work_data = nullptr;
  self->work_size = 0;
  delete self->circles;
  self->circles = nullptr;
}

void on_input_format_changed(KovUnit *unit, KovUnitFormat *format, gpointer) {
  const bool grey = format != nullptr && format->pixelformat == KOV_PIX_FMT_GREY;
  kov_unit_mirror_input_format(unit, grey ? format : nullptr);
}

gint hough_stream_init(KovUnit *unit, KovUnitFormat *format) {
  auto *self = cast<DetectHoughPlugin>(unit);
  if (format == nullptr || format->pixelformat != KOV_PIX_FMT_GREY) return -1;
  free_stream_data(self);
  if (format->width > 0 && format->height > 0) {
    const gsize size = gsize(format->width) * gsize(format->height);
    self->work_data = static_cast<guint8 *>(std::malloc(size));
    if (self->work_data != nullptr) self->work_size = size;
  }
  self->circles = new (std::nothrow) CircleList();
  return 0;
}

gint hough_stream_shutdown(KovUnit *unit) {
  free_stream_data(cast<DetectHoughPlugin>(unit));
  return 0;
}

// Searches the region of the frame for circles into self->circles. False when
// OpenCV refused (the reason went to stderr); the list is then empty.
bool find_circles(DetectHoughPlugin *self, const guint8 *in, int stride, const Region &r) {
  for (int i = 0; i < r.h; i++)
    std::memcpy(self->work_data + gsize(i) * r.w, in + gsize(r.y + i) * stride + r.x,
                gsize(r.w));
  const float dp = kov_unit_control_get_float(self->dp_ctl);
  const float min_dist = kov_unit_control_get_float(self->min_dist_ctl);
  const float param1 = kov_unit_control_get_float(self->param1_ctl);
  const float param2 = kov_unit_control_get_float(self->param2_ctl);
  const int min_radius = kov_unit_control_get_int(self->min_radius_ctl);
  const int max_radius = kov_unit_control_get_int(self->max_radius_ctl);
  try {
    const cv::Mat image(r.h, r.w, CV_8UC1, self->work_data);
    cv::HoughCircles(image, *self->circles, cv::HOUGH_GRADIENT, double(dp), double(min_dist),
                     double(param1), double(param2), min_radius, max_radius);
  } catch (const cv::Exception &e) {
    self->circles->clear();
    std::fprintf(stderr, "Error: Hough circle detection failed: %s\n", e.err.c_str());
    return false;
  } catch (const std::bad_alloc &) {
    self->circles->clear();
    std::fprintf(stderr, "Error: Hough circle detection ran out of memory\n");
    return false;
  }
  return true;
}

void set_marker(KovFrameBuffer *frame, const char *key, gint32 value) {
  kov_framebuffer_metadata_set(frame, key, &value, sizeof value);
}

// Sends on a new frame over @frame's first @length bytes (which keeps @frame
// alive for them), with @frame's metadata and the last frame's marker.
void produce_with_marker(DetectHoughPlugin *self, KovFrameBuffer *frame, KovUnitFormat *format,
                         gsize length, gsize bytesused) {
  KovFrameBuffer *out = kov_framebuffer_new_wrapped(frame, frame->data, length);
  kov_framebuffer_copy_metadata(out, frame);
  out->bytesused = bytesused;
  set_marker(out, "marker:x", self->marker_x);
  set_marker(out, "marker:y", self->marker_y);
  set_marker(out, "marker:r", self->marker_r);
  kov_unit_produce_frame(KOV_UNIT(self), out, format);
  g_object_unref(out);
}

void hough_input_frame_ready(KovUnit *unit, KovFrameBuffer *frame, KovUnitFormat *format) {
  auto *self = cast<DetectHoughPlugin>(unit);
  if (frame == nullptr || format == nullptr) return;

  // Every frame is a new picture: what the GL view draws and the marker
  // follow it, found or not.
  self->marker_x = 0;
  self->marker_y = 0;
  self->marker_r = 0;
  if (self->circles != nullptr) self->circles->clear();

  // Anything the buffers were not made for goes on with its bytes as they
  // are and no circle: frames outside a stream, another format, or a frame
  // shorter than its format says.
  const int w = format->width, h = format->height, stride = format->row_stride;
  const gsize size = gsize(std::max(stride, 0)) * gsize(std::max(h, 0));
  if (self->circles == nullptr || self->work_data == nullptr ||
      format->pixelformat != KOV_PIX_FMT_GREY || w <= 0 || h <= 0 || stride < w ||
      gsize(w) * gsize(h) > self->work_size || frame->data == nullptr ||
      frame->length < size || frame->bytesused < size) {
    produce_with_marker(self, frame, format, frame->length, frame->bytesused);
    return;
  }

  const Region r = frame_region(frame, w, h);
  self->circles_x = r.x;
  self->circles_y = r.y;
  if (!r.empty() && find_circles(self, frame->data, stride, r) && !self->circles->empty()) {
    const cv::Vec3f &c = self->circles->front();
    // Sums in floating point, truncated toward zero.
    self->marker_x = gint32(float(r.x) + c[0]);
    self->marker_y = gint32(float(r.y) + c[1]);
    self->marker_r = gint32(c[2]);
  }
  produce_with_marker(self, frame, format, size, size);
}

void square_outline(float cx, float cy, float r) {
  glBegin(GL_LINE_LOOP);
  glVertex2f(cx - r, cy - r);
  glVertex2f(cx - r, cy + r);
  glVertex2f(cx + r, cy + r);
  glVertex2f(cx + r, cy - r);
  glEnd();
}

gint hough_draw_gl(KovUnit *unit) {
  auto *self = cast<DetectHoughPlugin>(unit);
  KovUnitFormat *format = kov_unit_get_output_format(unit);
  if (format == nullptr || self->marker_r <= 0) return 0;

  // One unit per frame pixel, origin at the top-left corner.
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  glOrtho(0, format->width, format->height, 0, -1, 1);

  glColor3f(0.0f, 1.0f, 0.0f);
  square_outline(float(self->marker_x), float(self->marker_y), float(self->marker_r));

  if (self->circles != nullptr) {
    // Circles are in the coordinates of the examined region: shift them by
    // its origin so that they sit on the frame's circles.
    glColor3f(0.0f, 0.7f, 0.0f);
    for (const cv::Vec3f &c : *self->circles)
      square_outline(float(self->circles_x) + c[0], float(self->circles_y) + c[1], c[2]);
  }
  return 0;
}

void hough_finalize(GObject *object) {
  free_stream_data(reinterpret_cast<DetectHoughPlugin *>(object));
  parent_class<DetectHoughPlugin>()->finalize(object);
}

void hough_class_init(KovUnitClass *klass) {
  G_OBJECT_CLASS(klass)->finalize = hough_finalize;
  klass->stream_init = hough_stream_init;
  klass->stream_shutdown = hough_stream_shutdown;
  klass->input_frame_ready = hough_input_frame_ready;
  klass->draw_gl = hough_draw_gl;
}

KovUnitControl *add_float(KovUnit *unit, const char *id, const char *label, float min, float max,
                          float step, float def) {
  KovUnitControl *control = kov_unit_add_control_float(unit, id, label, min, max, step, def, TRUE);
  kov_unit_control_set_ui_hints(control, KOV_UNIT_CONTROL_SPINBUTTON);
  return control;
}

KovUnitControl *add_int(KovUnit *unit, const char *id, const char *label, int min, int max,
                        int step, int def) {
  KovUnitControl *control = kov_unit_add_control_int(unit, id, label, min, max, step, def, TRUE);
  kov_unit_control_set_ui_hints(control, KOV_UNIT_CONTROL_SPINBUTTON);
  return control;
}

void hough_init(DetectHoughPlugin *self) {
  KovUnit *unit = &self->parent;
  self->dp_ctl = add_float(unit, "dp", "DP", 1.0f, 10.0f, 0.5f, 2.0f);
  self->min_dist_ctl = add_float(unit, "min-dist", "Min. Distance", 1.0f, 1000.0f, 5.0f, 50.0f);
  self->param1_ctl = add_float(unit, "param-1", "Param 1", 1.0f, 500.0f, 1.0f, 100.0f);
  self->param2_ctl = add_float(unit, "param-2", "Param 2", 1.0f, 500.0f, 1.0f, 50.0f);
  self->min_radius_ctl = add_int(unit, "min_radius", "Min. Radius", 1, 100, 1, 10);
  self->max_radius_ctl = add_int(unit, "max_radius", "Max. Radius", 1, 500, 1, 400);
  g_signal_connect(unit, "input-format-changed", G_CALLBACK(on_input_format_changed), nullptr);
}

gpointer create_hough_unit(void) { return detect_hough_plugin_new(); }

}  // namespace

KOV_EXPORT DetectHoughPlugin *detect_hough_plugin_new(void) {
  return kov::plugin::cast<DetectHoughPlugin>(kov::plugin::new_instance<DetectHoughPlugin>());
}

KOV_PLUGIN_STOCK_UNIT_FULL(DetectHoughPlugin, detect_hough_plugin_get_type, "DetectHoughPlugin",
                           hough_class_init, hough_init, "detect", "opencv.hough",
                           "Detect Hough circles on image", KOV_UNIT_RENDERS_GL, create_hough_unit)
