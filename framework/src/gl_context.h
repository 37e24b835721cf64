/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Bookkeeping shared by the GL view and the GL textures: which view contexts
// are alive, which one is current, and running a piece of GL code in a given
// view's context. A texture remembers the view context it was made in, so
// that freeing it later deletes the GL name in that context (or not at all
// when the context is gone) whatever context is current at that moment.
#ifndef KOVKIT_SRC_GL_CONTEXT_H
#define KOVKIT_SRC_GL_CONTEXT_H

#include <glib.h>

#include <functional>

namespace kov::gl {

struct CurrentContext {
  void *handle = nullptr;  // the current context (EGL or GLX), nullptr if none
  guint64 view_serial = 0; // serial of the live view owning it, 0 if foreign
};

// The context current on this thread.
CurrentContext current_context();

// Runs fn with the context of the live view `serial` current and restores
// the previously current context afterwards. False (fn not run) when that
// view is gone.
bool run_in_view_context(guint64 serial, const std::function<void()> &fn);

}  // namespace kov::gl

#endif
