// SPDX-License-Identifier: LGPL-2.1-or-later
// KovGlView ("output.opengl"): shows the frames passing through it in the
// GL view, drawn pixel for pixel over the frame area, black until the first
// frame after a format change. Frames are handed on unchanged.
#include <kovkit/gl_display.h>

struct KovGlView {
  KovUnit parent;
  KovGLTexture *texture;
  gint32 gl_initialized;
  gint32 has_frame;
};

namespace {

struct GlViewTraits {
  static constexpr const char *prefix = "GlView";
  static constexpr GLfloat placeholder[3] = {0.0f, 0.0f, 0.0f};
  static void begin_transform(const KovUnitFormat *) {}
  static void end_transform() {}
};

using Display = kov::gl_display::Display<KovGlView, GlViewTraits>;

void gl_view_class_init(KovUnitClass *klass) { Display::class_init(klass); }
void gl_view_init(KovGlView *view) { Display::instance_init(view); }

}  // namespace

KOV_PLUGIN_STOCK_UNIT(KovGlView, kov_gl_view_get_type, "KovGlView", gl_view_class_init,
                      gl_view_init, "output", "opengl", "OpenGL", KOV_UNIT_RENDERS_GL)
