// SPDX-License-Identifier: LGPL-2.1-or-later
// util.roi: attaches a region of interest ("roi" metadata: x, y, width,
// height as four 32-bit signed integers in host order) to every frame, so
// that a chain can steer the units that work on a region. The incoming frame
// may be held by other listeners, so it is not modified: the unit produces a
// new frame that shares its pixels, with a copy of its metadata plus "roi".
#include "units/builtin_units.h"

struct KovRoiUnit {
  KovUnit parent;
  KovUnitControl *x_ctl;
  KovUnitControl *y_ctl;
  KovUnitControl *width_ctl;
  KovUnitControl *height_ctl;
};

struct KovRoiUnitClass {
  KovUnitClass parent_class;
};

G_DEFINE_TYPE(KovRoiUnit, kov_roi_unit, KOV_TYPE_UNIT)

namespace {

// Region values are passed on as set; units that read them clip them.
const gint coordinate_limit = 1 << 20;

void on_input_format_changed(KovUnit *unit, KovUnitFormat *format, gpointer) {
  kov_unit_mirror_input_format(unit, format);
}

void roi_input_frame_ready(KovUnit *unit, KovFrameBuffer *frame, KovUnitFormat *) {
  auto *roi = reinterpret_cast<KovRoiUnit *>(unit);
  KovFrameBuffer *out = kov_framebuffer_new_wrapped(frame, frame->data, frame->length);
  out->bytesused = frame->bytesused;
  kov_framebuffer_copy_metadata(out, frame);
  gint32 region[4] = {kov_unit_control_get_int(roi->x_ctl), kov_unit_control_get_int(roi->y_ctl),
                      kov_unit_control_get_int(roi->width_ctl),
                      kov_unit_control_get_int(roi->height_ctl)};
  kov_framebuffer_metadata_set(out, "roi", region, sizeof region);
  kov_unit_produce_frame(unit, out, kov_unit_get_output_format(unit));
  g_object_unref(out);
}

}  // namespace

static void kov_roi_unit_class_init(KovRoiUnitClass *klass) {
  KOV_UNIT_CLASS(klass)->input_frame_ready = roi_input_frame_ready;
}

static void kov_roi_unit_init(KovRoiUnit *roi) {
  KovUnit *unit = KOV_UNIT(roi);
  roi->x_ctl = kov_unit_add_control_int(unit, "x", "Left edge", -coordinate_limit,
                                        coordinate_limit, 1, 0, TRUE);
  roi->y_ctl = kov_unit_add_control_int(unit, "y", "Top edge", -coordinate_limit,
                                        coordinate_limit, 1, 0, TRUE);
  roi->width_ctl = kov_unit_add_control_int(unit, "width", "Width", -coordinate_limit,
                                            coordinate_limit, 1, 320, TRUE);
  roi->height_ctl = kov_unit_add_control_int(unit, "height", "Height", -coordinate_limit,
                                             coordinate_limit, 1, 240, TRUE);
  g_signal_connect(unit, "input-format-changed", G_CALLBACK(on_input_format_changed), nullptr);
}
