/* SPDX-License-Identifier: LGPL-2.1-or-later */
// kovkit-run's GL view: chains with units that draw with GL need the
// framework's GL view made current while frames flow (the units make and fill
// their textures as frames arrive). With --gl-snapshot PATTERN the view is
// drawn after every chain frame (or every Nth) and written as a PNG file
// named by the frame's number.
#ifndef KOVKIT_TOOLS_GL_SNAPSHOTS_H
#define KOVKIT_TOOLS_GL_SNAPSHOTS_H

#include <vector>

#include <kovkit/kovkit.h>

struct GlRun {
  const gchar *pattern = nullptr;  // --gl-snapshot, or NULL
  gint every = 1;                  // --gl-every
  KovGLView *view = nullptr;
  guint64 frame_number = 0;
  std::vector<guint8> pixels;
  GError *error = nullptr;  // the first snapshot that could not be written
};

// Opens the offscreen view when the chain has GL units. Without a GL context
// the GL units pass their frames on without drawing: only a warning, unless
// snapshots were asked for.
bool gl_run_begin(KovUnitChain *chain, GlRun *gl, GError **error);
// Makes the view current (before each step of the chain driver).
void gl_run_make_current(GlRun *gl);
// Draws and writes the snapshot of one chain frame; FALSE once writing failed.
bool gl_run_frame(GlRun *gl);
// Prints a pending snapshot error and closes the view.
void gl_run_end(GlRun *gl);

#endif
