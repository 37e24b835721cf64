/* SPDX-License-Identifier: LGPL-2.1-or-later */
// The texture display unit shared by the OpenGL display ("output.opengl")
// and the picture-in-picture inset ("output.pip"). Each frame that arrives is
// uploaded into the unit's texture and handed on unchanged; draw_gl sets a
// pixel projection over the frame area and draws the texture there, or a
// placeholder rectangle while no frame has arrived since the last format
// change. The two units differ only in their trace prefix, the placeholder
// colour and the transform around the drawing, given by a Traits type:
//
//   struct Traits {
//     static constexpr const char *prefix;          // "GlView", "FilterPIP"
//     static constexpr GLfloat placeholder[3];      // placeholder colour
//     static void begin_transform(const KovUnitFormat *format);
//     static void end_transform();
//   };
//
// The header is compiled into each module, which keeps its own state; a
// module that includes it links libepoxy.
#ifndef KOVKIT_GL_DISPLAY_H
#define KOVKIT_GL_DISPLAY_H

#include <kovkit/plugin_frame.h>
#include <kovkit/trace.h>

#include <epoxy/gl.h>

namespace kov::gl_display {

// Pixel formats the display units offer an output format for.
inline bool is_accepted(guint32 code) {
  switch (code) {
    case KOV_PIX_FMT_RGB3:
    case KOV_PIX_FMT_BGR3:
    case KOV_PIX_FMT_RGB4:
    case KOV_PIX_FMT_BGR4:
    case KOV_PIX_FMT_BA81:
    case KOV_PIX_FMT_XXX2:
    case KOV_PIX_FMT_XXX3:
    case KOV_PIX_FMT_XXX4:
    case KOV_PIX_FMT_GREY:
    case KOV_PIX_FMT_LG16:
    case KOV_PIX_FMT_FG32:
    case KOV_PIX_FMT_NONE_165:
      return true;
    default:
      return false;
  }
}

// Bytes that an upload into the texture reads from a frame with this row
// stride: every row of the texture's height, the last one whole. Frames
// shorter than that are handed on without upload, so a short or mislabelled
// frame is never read past its end.
inline gsize upload_bytes(KovGLTexture *texture, gint row_stride) {
  gint width = 0, height = 0;
  kov_gl_texture_get_size(texture, &width, &height);
  if (row_stride <= 0 || height <= 0) return 0;
  return static_cast<gsize>(row_stride) * static_cast<gsize>(height);
}

// Instance: a standard-layout record { KovUnit parent; KovGLTexture *texture;
// gint32 gl_initialized; gint32 has_frame; }.
template <typename Instance, typename Traits>
struct Display {
  static Instance *self(KovUnit *unit) { return reinterpret_cast<Instance *>(unit); }

  static gint draw_gl_init(KovUnit *unit) {
    Instance *view = self(unit);
    KovUnit *input = kov_unit_get_input(unit);
    if (input == nullptr) {
      kov_dbg(KOV_DBG_OUTPUT, "%s cannot init drawing - no input unit\n", Traits::prefix);
      return -1;
    }
    KovUnitFormat *input_format = kov_unit_get_output_format(input);
    // The own format repeats the input's; without either there is nothing to size.
    if (kov_unit_get_output_format(unit) == nullptr || input_format == nullptr) {
      kov_dbg(KOV_DBG_OUTPUT, "%s cannot init drawing.  No format!\n", Traits::prefix);
      return -1;
    }
    if (view->gl_initialized == 1) {
      kov_dbg(KOV_DBG_OUTPUT, "%s already initialized.\n", Traits::prefix);
      return 0;
    }
    kov_dbg(KOV_DBG_OUTPUT, "%s draw_gl_init\n", Traits::prefix);
    if (view->texture == nullptr) {
      const gsize size =
          static_cast<gsize>(MAX(input_format->row_stride, 0)) * MAX(input_format->height, 0);
      view->texture = kov_gl_texture_new(input_format->width, input_format->height, size);
      if (view->texture == nullptr) return -1;
    }
    view->gl_initialized = 1;
    return 0;
  }

  static gint draw_gl_release(KovUnit *unit) {
    Instance *view = self(unit);
    if (view->texture != nullptr) {
      kov_gl_texture_free(view->texture);
      view->texture = nullptr;
    }
    view->gl_initialized = 0;
    return 0;
  }

  static gint draw_gl(KovUnit *unit) {
    Instance *view = self(unit);
    KovUnitFormat *format = kov_unit_get_output_format(unit);
    if (format == nullptr || view->texture == nullptr) return -1;

    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(0, format->width, format->height, 0, -1, 1);
    Traits::begin_transform(format);
    if (view->has_frame == 1) {
      kov_gl_texture_draw(view->texture);
    } else {
      const auto w = static_cast<GLfloat>(format->width);
      const auto h = static_cast<GLfloat>(format->height);
      glColor3f(Traits::placeholder[0], Traits::placeholder[1], Traits::placeholder[2]);
      glBegin(GL_QUADS);
      glVertex2f(0, 0);
      glVertex2f(w, 0);
      glVertex2f(w, h);
      glVertex2f(0, h);
      glEnd();
    }
    Traits::end_transform();
    return 0;
  }

  static void input_frame_ready(KovUnit *unit, KovFrameBuffer *frame, KovUnitFormat *format) {
    Instance *view = self(unit);
    kov_dbg(KOV_DBG_OUTPUT, "[%s] iterate\n", kov_unit_get_name(unit));
    if (view->gl_initialized == 0) draw_gl_init(unit);
    if (view->texture != nullptr && frame != nullptr && format != nullptr &&
        frame->data != nullptr) {
      const gsize needed = upload_bytes(view->texture, format->row_stride);
      if (needed != 0 && frame->length >= needed) {
        kov_gl_texture_upload(view->texture, format->pixelformat, format->row_stride,
                              frame->data);
        view->has_frame = 1;
      }
    }
    kov_unit_produce_frame(unit, frame, format);
  }

  static void on_status_changed(KovUnit *unit, gpointer) {
    if (self(unit)->gl_initialized == 1) draw_gl_release(unit);
  }

  static void on_input_format_changed(KovUnit *unit, KovUnitFormat *format, gpointer) {
    self(unit)->has_frame = 0;
    const bool accepted = format != nullptr && is_accepted(format->pixelformat);
    kov_unit_mirror_input_format(unit, accepted ? format : nullptr);
  }

  static void class_init(KovUnitClass *klass) {
    kov_dbg(KOV_DBG_OUTPUT, "%s class initializer\n", Traits::prefix);
    klass->input_frame_ready = input_frame_ready;
    klass->draw_gl_init = draw_gl_init;
    klass->draw_gl = draw_gl;
    klass->draw_gl_release = draw_gl_release;
  }

  static void instance_init(Instance *view) {
    kov_dbg(KOV_DBG_OUTPUT, "%s constructor\n", Traits::prefix);
    view->gl_initialized = 0;
    view->has_frame = 0;
    g_signal_connect(view, "status-changed", G_CALLBACK(on_status_changed), nullptr);
    g_signal_connect(view, "input-format-changed", G_CALLBACK(on_input_format_changed),
                     nullptr);
  }
};

}  // namespace kov::gl_display

#endif
