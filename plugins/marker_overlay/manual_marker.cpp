// SPDX-License-Identifier: LGPL-2.1-or-later
// ManualMarkerPlugin ("oxa.manual-marker"): draws a cross of user-chosen
// size, rotation, colour and position over the picture in the GL view,
// XOR-ed with what is already drawn by default. Frames pass through
// untouched; the unit holds no GL resources and prints nothing.
#include <kovkit/plugin_frame.h>

#include <epoxy/gl.h>

#include <cmath>

struct ManualMarkerPlugin {
  KovUnit parent;
  KovUnitControl *enable_ctl;
  KovUnitControl *gl_xor_ctl;
  KovUnitControl *color_ctl[3];
  KovUnitControl *marker_size_ctl;
  KovUnitControl *marker_angle_ctl;
  KovUnitControl *marker_x_ctl;
  KovUnitControl *marker_y_ctl;
};

namespace {

constexpr double kPi = 3.141592653589793;

ManualMarkerPlugin *self(KovUnit *unit) { return reinterpret_cast<ManualMarkerPlugin *>(unit); }

// The output format repeats the input's, whatever its pixel format.
void on_input_format_changed(KovUnit *unit, KovUnitFormat *format, gpointer) {
  kov_unit_mirror_input_format(unit, format);
}

gint manual_marker_draw_gl(KovUnit *unit) {
  ManualMarkerPlugin *marker = self(unit);
  KovUnitFormat *format = kov_unit_get_output_format(unit);
  if (format == nullptr) return 0;
  if (!kov_unit_control_get_boolean(marker->enable_ctl)) return 0;

  const gfloat red = kov_unit_control_get_float(marker->color_ctl[0]);
  const gfloat green = kov_unit_control_get_float(marker->color_ctl[1]);
  const gfloat blue = kov_unit_control_get_float(marker->color_ctl[2]);
  const gboolean use_xor = kov_unit_control_get_boolean(marker->gl_xor_ctl);
  const gint size = kov_unit_control_get_int(marker->marker_size_ctl);
  const gfloat angle = kov_unit_control_get_float(marker->marker_angle_ctl);
  const gint x = kov_unit_control_get_int(marker->marker_x_ctl);
  const gint y = kov_unit_control_get_int(marker->marker_y_ctl);

  glMatrixMode(GL_PROJECTION);
  if (use_xor) {
    glEnable(GL_COLOR_LOGIC_OP);
    glLogicOp(GL_XOR);
  } else {
    glDisable(GL_COLOR_LOGIC_OP);
  }
  double sin_theta = 0.0, cos_theta = 0.0;
  sincos(static_cast<double>(angle) * kPi / 180.0, &sin_theta, &cos_theta);

  glLoadIdentity();
  glOrtho(0, format->width, format->height, 0, -1, 1);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  glPointSize(1.0f);
  glColor3f(red, green, blue);

  // Integer centre: an odd size loses its half pixel. y grows downwards, so
  // a positive offset moves the marker up.
  const gint cx = format->width / 2 + x;
  const gint cy = format->height / 2 - y;
  const double dx = size * cos_theta;
  const double dy = size * sin_theta;

  glBegin(GL_LINES);
  glVertex3f(static_cast<GLfloat>(cx + dx), static_cast<GLfloat>(cy + dy), 0.0f);
  glVertex3f(static_cast<GLfloat>(cx - dx), static_cast<GLfloat>(cy - dy), 0.0f);
  glEnd();
  glBegin(GL_LINES);
  glVertex3f(static_cast<GLfloat>(cx + dy), static_cast<GLfloat>(cy - dx), 0.0f);
  glVertex3f(static_cast<GLfloat>(cx - dy), static_cast<GLfloat>(cy + dx), 0.0f);
  glEnd();

  glLogicOp(GL_NOOP);
  glDisable(GL_COLOR_LOGIC_OP);
  return 0;
}

void manual_marker_finalize(GObject *object) {
  kov::plugin::parent_class<ManualMarkerPlugin>()->finalize(object);
}

void manual_marker_class_init(KovUnitClass *klass) {
  klass->input_frame_ready = kov_unit_produce_frame;
  klass->draw_gl = manual_marker_draw_gl;
  G_OBJECT_CLASS(klass)->finalize = manual_marker_finalize;
}

void manual_marker_init(ManualMarkerPlugin *marker) {
  KovUnit *unit = &marker->parent;
  marker->enable_ctl = kov_unit_add_control_boolean(unit, "enable", "Enable marker", TRUE, TRUE);
  marker->color_ctl[0] = kov_unit_add_control_float(unit, "color-r", "R component of color",
                                                    0.0f, 1.0f, 0.01f, 1.0f, TRUE);
  marker->color_ctl[1] = kov_unit_add_control_float(unit, "color-g", "G component of color",
                                                    0.0f, 1.0f, 0.01f, 1.0f, TRUE);
  marker->color_ctl[2] = kov_unit_add_control_float(unit, "color-b", "B component of color",
                                                    0.0f, 1.0f, 0.01f, 1.0f, TRUE);
  marker->gl_xor_ctl = kov_unit_add_control_boolean(unit, "gl-xor", "Enable logic XOR with image",
                                                    TRUE, TRUE);
  marker->marker_size_ctl =
      kov_unit_add_control_int(unit, "marker-size", "Marker size (radius)", 0, 1000, 1, 25, TRUE);
  marker->marker_angle_ctl = kov_unit_add_control_float(unit, "marker-angle", "Marker rotation",
                                                        -360.0f, 360.0f, 1.0f, 0.0f, TRUE);
  marker->marker_x_ctl = kov_unit_add_control_int(unit, "marker-x", "Marker X (from center)",
                                                  -1000, 1000, 1, 0, TRUE);
  marker->marker_y_ctl = kov_unit_add_control_int(unit, "marker-y", "Marker Y (from center)",
                                                  -1000, 1000, 1, 0, TRUE);
  g_signal_connect(marker, "input-format-changed", G_CALLBACK(on_input_format_changed), nullptr);
}

}  // namespace

KOV_EXPORT ManualMarkerPlugin *manualmarker_plugin_new(void) {
  return kov::plugin::cast<ManualMarkerPlugin>(
      g_object_new(kov::plugin::type_of<ManualMarkerPlugin>(), nullptr));
}

namespace {
gpointer create_manual_marker() { return manualmarker_plugin_new(); }
}  // namespace

KOV_PLUGIN_STOCK_UNIT_FULL(ManualMarkerPlugin, manualmarker_plugin_get_type,
                           "ManualMarkerPlugin", manual_marker_class_init, manual_marker_init,
                           "oxa", "manual-marker", "Draw marker at user defined position",
                           KOV_UNIT_RENDERS_GL, create_manual_marker)
