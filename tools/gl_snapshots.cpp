// SPDX-License-Identifier: LGPL-2.1-or-later
// kovkit-run's GL view and its PNG snapshots.
#include "gl_snapshots.h"

#include <cerrno>

#include <glib/gstdio.h>

namespace {

// Creates the folder of a snapshot file, as output.file does for its files.
bool make_folder(const gchar *path, GError **error) {
  gchar *dir = g_path_get_dirname(path);
  bool ok = g_mkdir_with_parents(dir, 0777) == 0;
  if (!ok) {
    int e = errno;
    g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "cannot create folder \"%s\": %s", dir,
                g_strerror(e));
  }
  g_free(dir);
  return ok;
}

}  // namespace

bool gl_run_begin(KovUnitChain *chain, GlRun *gl, GError **error) {
  if (gl->every < 1) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_BAD_VALUE, "--gl-every must be 1 or more");
    return false;
  }
  if (gl->pattern != nullptr) {
    gboolean has_number = FALSE;
    GError *pattern_error = nullptr;
    if (!kov_frame_pattern_check(gl->pattern, &has_number, &pattern_error)) {
      g_set_error(error, KOV_ERROR, KOV_ERROR_BAD_VALUE, "--gl-snapshot: %s",
                  pattern_error->message);
      g_error_free(pattern_error);
      return false;
    }
    if (!kov_unit_chain_has_gl_units(chain)) {
      g_set_error(error, KOV_ERROR, KOV_ERROR_BAD_VALUE,
                  "--gl-snapshot: the chain has no unit that renders GL");
      return false;
    }
  } else if (!kov_unit_chain_has_gl_units(chain)) {
    return true;
  }
  GError *view_error = nullptr;
  gl->view = kov_gl_view_new_offscreen(&view_error);
  if (gl->view == nullptr) {
    if (gl->pattern != nullptr) {
      g_propagate_error(error, view_error);
      return false;
    }
    g_printerr("kovkit-run: warning: %s; GL units will not draw\n", view_error->message);
    g_error_free(view_error);
    return true;
  }
  kov_gl_view_set_chain(gl->view, chain);
  kov_gl_view_make_current(gl->view);
  return true;
}

void gl_run_make_current(GlRun *gl) {
  if (gl->view != nullptr) kov_gl_view_make_current(gl->view);
}

bool gl_run_frame(GlRun *gl) {
  if (gl->error != nullptr) return false;
  if (gl->view == nullptr || gl->pattern == nullptr) return true;
  const guint64 number = gl->frame_number++;
  if (number % static_cast<guint64>(gl->every) != 0) return true;
  if (kov_gl_view_render(gl->view, 0, 0) != 0) {
    g_set_error(&gl->error, KOV_ERROR, KOV_ERROR_FAILED,
                "--gl-snapshot: no GL unit of the chain has a frame size to draw");
    return false;
  }
  const gint w = kov_gl_view_get_width(gl->view), h = kov_gl_view_get_height(gl->view);
  gl->pixels.resize(static_cast<gsize>(w) * h * 4);
  gchar *path = kov_frame_pattern_format(gl->pattern, number);
  if (kov_gl_view_read_pixels(gl->view, gl->pixels.data(), static_cast<gsize>(w) * 4) &&
      make_folder(path, &gl->error))
    kov_image_write_png(path, KOV_IMAGE_FORMAT_RGBA, w, h, w * 4, gl->pixels.data(), &gl->error);
  g_free(path);
  return gl->error == nullptr;
}

void gl_run_end(GlRun *gl) {
  if (gl->error != nullptr) {
    g_printerr("kovkit-run: %s\n", gl->error->message);
    g_clear_error(&gl->error);
  }
  if (gl->view != nullptr) {
    kov_gl_view_free(gl->view);
    gl->view = nullptr;
  }
}
