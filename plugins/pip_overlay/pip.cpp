// SPDX-License-Identifier: LGPL-2.1-or-later
// KovFilterPIP ("output.pip"): shows the frames passing through it as an
// inset of a quarter of their width and height in the lower-left corner of
// the GL view, 10 pixels in from the left and up from the bottom; green until
// the first frame after a format change. Frames are handed on unchanged.
#include <kovkit/gl_display.h>

struct KovFilterPIP {
  KovUnit parent;
  KovGLTexture *texture;
  gint32 gl_initialized;
  gint32 has_frame;
};

namespace {

// The inset is placed on the projection matrix stack, which is current after
// the pixel projection; the pop restores the plain projection.
struct PipTraits {
  static constexpr const char *prefix = "FilterPIP";
  static constexpr GLfloat placeholder[3] = {0.0f, 1.0f, 0.0f};
  static void begin_transform(const KovUnitFormat *format) {
    glPushMatrix();
    glTranslated(10.0, 0.75 * static_cast<double>(format->height) - 10.0, 0.0);
    glScalef(0.25f, 0.25f, 1.0f);
  }
  static void end_transform() { glPopMatrix(); }
};

using Display = kov::gl_display::Display<KovFilterPIP, PipTraits>;

void pip_class_init(KovUnitClass *klass) { Display::class_init(klass); }
void pip_init(KovFilterPIP *pip) { Display::instance_init(pip); }

}  // namespace

KOV_PLUGIN_STOCK_UNIT(KovFilterPIP, kov_filter_pip_get_type, "KovFilterPIP", pip_class_init,
                      pip_init, "output", "pip", "Draw Picture-in-Picture", KOV_UNIT_RENDERS_GL)
