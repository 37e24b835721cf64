// SPDX-License-Identifier: LGPL-2.1-or-later
// The GL view: an offscreen desktop OpenGL context (EGL, surfaceless
// platform) with a framebuffer object that the GL-rendering units of a chain
// draw into, and the read-back of the picture. GL functions are loaded
// through libepoxy, so the same code runs on Mesa's llvmpipe or a real driver.
#include <kovkit/glview.h>

#include <kovkit/chain.h>
#include <kovkit/unit.h>

#include <epoxy/egl.h>
#include <epoxy/gl.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "gl_context.h"

namespace {

// A GL unit the view has seen: whether its draw_gl_init is done, and the
// handler that notices its status changes.
struct TrackedUnit {
  KovUnit *unit;
  gulong status_handler;
  bool initialised;
};

}  // namespace

struct _KovGLView {
  EGLDisplay display;
  EGLContext context;
  guint64 serial;
  GLuint framebuffer;
  GLuint renderbuffer;
  gint width;
  gint height;
  KovUnitChain *chain;
  std::vector<TrackedUnit> *units;
};

namespace {

// Live views by serial. Serials are never reused, so a texture of a view
// that is gone can never be mistaken for one of a newer view.
std::map<guint64, KovGLView *> &live_views() {
  static std::map<guint64, KovGLView *> views;
  return views;
}
guint64 next_serial = 1;
// Guards the live views, the serials and the shared display: views of
// chains that run on threads of their own come and go on those threads.
std::mutex views_mutex;
// The EGL display is shared by all views and stays initialised for the rest
// of the process once made: starting the driver is costly, and terminating it
// unloads code that the driver's own exit handlers still use.
EGLDisplay shared_display = EGL_NO_DISPLAY;

void set_error(GError **error, const char *step) {
  g_set_error(error, KOV_ERROR, KOV_ERROR_FAILED,
              "Cannot create the offscreen GL context: %s failed (EGL error 0x%x)", step,
              static_cast<unsigned>(eglGetError()));
}

EGLDisplay acquire_display(GError **error) {
  std::lock_guard<std::mutex> lock(views_mutex);
  if (shared_display != EGL_NO_DISPLAY) return shared_display;
  // eglGetPlatformDisplay is EGL 1.5; its extension form serves older EGLs.
  using GetPlatformDisplay = EGLDisplay (*)(EGLenum, void *, const EGLAttrib *);
  using GetPlatformDisplayExt = EGLDisplay (*)(EGLenum, void *, const EGLint *);
  EGLDisplay display = EGL_NO_DISPLAY;
  if (auto get = reinterpret_cast<GetPlatformDisplay>(eglGetProcAddress("eglGetPlatformDisplay")))
    display = get(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
  else if (auto get_ext = reinterpret_cast<GetPlatformDisplayExt>(
               eglGetProcAddress("eglGetPlatformDisplayEXT")))
    display = get_ext(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
  if (display == EGL_NO_DISPLAY) {
    set_error(error, "eglGetPlatformDisplay (surfaceless)");
    return EGL_NO_DISPLAY;
  }
  EGLint major = 0, minor = 0;
  if (!eglInitialize(display, &major, &minor)) {
    set_error(error, "eglInitialize");
    return EGL_NO_DISPLAY;
  }
  shared_display = display;
  return display;
}

// Makes the view's context current for a scope and, when another context
// (or none) was current before, puts that one back at the end.
class ScopedCurrent {
 public:
  explicit ScopedCurrent(KovGLView *view) {
    if (eglGetCurrentContext() == view->context) {
      ok_ = true;
      return;
    }
    saved_display_ = eglGetCurrentDisplay();
    saved_context_ = eglGetCurrentContext();
    saved_draw_ = eglGetCurrentSurface(EGL_DRAW);
    saved_read_ = eglGetCurrentSurface(EGL_READ);
    view_display_ = view->display;
    ok_ = eglMakeCurrent(view->display, EGL_NO_SURFACE, EGL_NO_SURFACE, view->context);
    switched_ = ok_;
  }
  ~ScopedCurrent() {
    if (!switched_) return;
    if (saved_context_ != EGL_NO_CONTEXT)
      eglMakeCurrent(saved_display_, saved_draw_, saved_read_, saved_context_);
    else
      eglMakeCurrent(view_display_, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
  }
  ScopedCurrent(const ScopedCurrent &) = delete;
  ScopedCurrent &operator=(const ScopedCurrent &) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
  bool switched_ = false;
  EGLDisplay saved_display_ = EGL_NO_DISPLAY;
  EGLDisplay view_display_ = EGL_NO_DISPLAY;
  EGLContext saved_context_ = EGL_NO_CONTEXT;
  EGLSurface saved_draw_ = EGL_NO_SURFACE;
  EGLSurface saved_read_ = EGL_NO_SURFACE;
};

bool is_gl_unit(KovUnit *unit) {
  return (kov_unit_get_flags(unit) & KOV_UNIT_RENDERS_GL) != 0;
}

TrackedUnit *find_tracked(KovGLView *view, KovUnit *unit) {
  for (TrackedUnit &t : *view->units)
    if (t.unit == unit) return &t;
  return nullptr;
}

void release_unit(KovGLView *view, KovUnit *unit) {
  ScopedCurrent current(view);
  if (current.ok()) kov_unit_draw_gl_release(unit);
}

// "status-changed": the unit starts or stops. Its GL setup is redone at the
// next redraw; a unit that stopped gives its GL resources back now.
void on_unit_status_changed(KovUnit *unit, gpointer data) {
  auto *view = static_cast<KovGLView *>(data);
  if (TrackedUnit *t = find_tracked(view, unit)) t->initialised = false;
  if (!kov_unit_is_streaming(unit)) release_unit(view, unit);
}

// A unit that is being destroyed releases its GL resources while the
// context is still there. Its signal handlers are already gone.
void on_unit_disposed(gpointer data, GObject *object) {
  auto *view = static_cast<KovGLView *>(data);
  auto *unit = reinterpret_cast<KovUnit *>(object);
  release_unit(view, unit);
  auto &units = *view->units;
  units.erase(std::remove_if(units.begin(), units.end(),
                             [unit](const TrackedUnit &t) { return t.unit == unit; }),
              units.end());
}

TrackedUnit &track(KovGLView *view, KovUnit *unit) {
  if (TrackedUnit *t = find_tracked(view, unit)) return *t;
  gulong handler =
      g_signal_connect(unit, "status-changed", G_CALLBACK(on_unit_status_changed), view);
  g_object_weak_ref(G_OBJECT(unit), on_unit_disposed, view);
  view->units->push_back({unit, handler, false});
  return view->units->back();
}

void track_chain_units(KovGLView *view) {
  if (view->chain == nullptr) return;
  for (const GList *l = kov_unit_chain_get_units(view->chain); l != nullptr; l = l->next) {
    auto *unit = static_cast<KovUnit *>(l->data);
    if (is_gl_unit(unit)) track(view, unit);
  }
}

// Releases every GL unit the view knows (and those of its chain) and stops
// watching them.
void release_all_units(KovGLView *view) {
  track_chain_units(view);
  std::vector<TrackedUnit> units;
  units.swap(*view->units);
  for (TrackedUnit &t : units) {
    release_unit(view, t.unit);
    g_signal_handler_disconnect(t.unit, t.status_handler);
    g_object_weak_unref(G_OBJECT(t.unit), on_unit_disposed, view);
  }
}

bool ensure_framebuffer(KovGLView *view, gint width, gint height) {
  if (view->framebuffer == 0) {
    glGenFramebuffers(1, &view->framebuffer);
    glGenRenderbuffers(1, &view->renderbuffer);
  }
  glBindFramebuffer(GL_FRAMEBUFFER, view->framebuffer);
  if (width != view->width || height != view->height) {
    glBindRenderbuffer(GL_RENDERBUFFER, view->renderbuffer);
    // No alpha channel: the picture is opaque whatever the units draw (an XOR
    // marker would otherwise punch transparent holes into snapshots).
    glRenderbufferStorage(GL_RENDERBUFFER, GL_RGB8, width, height);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER,
                              view->renderbuffer);
    if (glGetError() != GL_NO_ERROR ||
        glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) {
      view->width = view->height = 0;
      return false;
    }
    view->width = width;
    view->height = height;
  }
  return true;
}

}  // namespace

namespace kov::gl {

CurrentContext current_context() {
  CurrentContext current;
  EGLContext egl = eglGetCurrentContext();
  if (egl != EGL_NO_CONTEXT) {
    current.handle = egl;
    std::lock_guard<std::mutex> lock(views_mutex);
    for (const auto &[serial, view] : live_views())
      if (view->context == egl) current.view_serial = serial;
    return current;
  }
  // A context made through GLX by someone else (only asked when GLX is loaded).
  using GetCurrent = void *(*)();
  if (auto glx = reinterpret_cast<GetCurrent>(dlsym(RTLD_DEFAULT, "glXGetCurrentContext")))
    current.handle = glx();
  return current;
}

bool run_in_view_context(guint64 serial, const std::function<void()> &fn) {
  KovGLView *view = nullptr;
  {
    std::lock_guard<std::mutex> lock(views_mutex);
    auto it = live_views().find(serial);
    if (it == live_views().end()) return false;
    view = it->second;
  }
  ScopedCurrent current(view);
  if (!current.ok()) return false;
  fn();
  return true;
}

}  // namespace kov::gl

KovGLView *kov_gl_view_new_offscreen(GError **error) {
  EGLDisplay display = acquire_display(error);
  if (display == EGL_NO_DISPLAY) return nullptr;

  const char *extensions = eglQueryString(display, EGL_EXTENSIONS);
  if (extensions == nullptr || std::strstr(extensions, "EGL_KHR_surfaceless_context") == nullptr) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_FAILED,
                "Cannot create the offscreen GL context: EGL lacks EGL_KHR_surfaceless_context");
    return nullptr;
  }
  if (!eglBindAPI(EGL_OPENGL_API)) {
    set_error(error, "eglBindAPI (desktop OpenGL)");
    return nullptr;
  }
  // A context needs no config when it never draws to an EGL surface.
  EGLConfig config = EGL_NO_CONFIG_KHR;
  if (std::strstr(extensions, "EGL_KHR_no_config_context") == nullptr) {
    const EGLint config_attribs[] = {EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT, EGL_NONE};
    EGLint count = 0;
    if (!eglChooseConfig(display, config_attribs, &config, 1, &count) || count < 1) {
      set_error(error, "eglChooseConfig (desktop OpenGL)");
      return nullptr;
    }
  }
  // Units draw in immediate mode: a compatibility profile is required.
  const EGLint context_attribs[] = {EGL_CONTEXT_OPENGL_PROFILE_MASK,
                                    EGL_CONTEXT_OPENGL_COMPATIBILITY_PROFILE_BIT, EGL_NONE};
  EGLContext context = eglCreateContext(display, config, EGL_NO_CONTEXT, context_attribs);
  if (context == EGL_NO_CONTEXT) {
    set_error(error, "eglCreateContext (OpenGL compatibility profile)");
    return nullptr;
  }

  auto *view = new _KovGLView{};
  view->display = display;
  view->context = context;
  view->units = new std::vector<TrackedUnit>;
  {
    std::lock_guard<std::mutex> lock(views_mutex);
    view->serial = next_serial++;
    live_views()[view->serial] = view;
  }
  return view;
}

void kov_gl_view_free(KovGLView *view) {
  if (view == nullptr) return;
  release_all_units(view);
  if (view->chain != nullptr) g_object_unref(view->chain);
  view->chain = nullptr;
  {
    ScopedCurrent current(view);
    if (current.ok() && view->framebuffer != 0) {
      glBindFramebuffer(GL_FRAMEBUFFER, 0);
      glDeleteFramebuffers(1, &view->framebuffer);
      glDeleteRenderbuffers(1, &view->renderbuffer);
    }
  }
  if (eglGetCurrentContext() == view->context)
    eglMakeCurrent(view->display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
  {
    std::lock_guard<std::mutex> lock(views_mutex);
    live_views().erase(view->serial);
  }
  eglDestroyContext(view->display, view->context);
  delete view->units;
  delete view;
}

gboolean kov_gl_view_make_current(KovGLView *view) {
  if (view == nullptr) return FALSE;
  if (eglGetCurrentContext() == view->context) return TRUE;
  return eglMakeCurrent(view->display, EGL_NO_SURFACE, EGL_NO_SURFACE, view->context) ? TRUE
                                                                                       : FALSE;
}

gboolean kov_gl_view_is_current(KovGLView *view) {
  return view != nullptr && eglGetCurrentContext() == view->context;
}

void kov_gl_view_set_chain(KovGLView *view, KovUnitChain *chain) {
  if (view == nullptr || chain == view->chain) return;
  release_all_units(view);
  if (chain != nullptr) g_object_ref_sink(chain);
  if (view->chain != nullptr) g_object_unref(view->chain);
  view->chain = chain;
  track_chain_units(view);
}

KovUnitChain *kov_gl_view_get_chain(KovGLView *view) {
  return view != nullptr ? view->chain : nullptr;
}

gboolean kov_gl_view_get_frame_size(KovGLView *view, gint *width, gint *height) {
  if (width != nullptr) *width = 0;
  if (height != nullptr) *height = 0;
  if (view == nullptr || view->chain == nullptr) return FALSE;
  for (const GList *l = kov_unit_chain_get_units(view->chain); l != nullptr; l = l->next) {
    auto *unit = static_cast<KovUnit *>(l->data);
    if (!is_gl_unit(unit)) continue;
    KovUnitFormat *format = kov_unit_get_output_format(unit);
    if (format == nullptr || format->width < 1 || format->height < 1) continue;
    if (width != nullptr) *width = format->width;
    if (height != nullptr) *height = format->height;
    return TRUE;
  }
  return FALSE;
}

gboolean kov_gl_view_begin(KovGLView *view, gint width, gint height) {
  if (view == nullptr || width < 1 || height < 1) return FALSE;
  if (!kov_gl_view_make_current(view)) return FALSE;
  GLint max_size = 0;
  glGetIntegerv(GL_MAX_RENDERBUFFER_SIZE, &max_size);
  if (width > max_size || height > max_size) return FALSE;
  if (!ensure_framebuffer(view, width, height)) return FALSE;

  glViewport(0, 0, width, height);
  glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT);
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  return TRUE;
}

gint kov_gl_view_render(KovGLView *view, gint width, gint height) {
  if (view == nullptr) return -1;
  if (width < 1 || height < 1) {
    if (!kov_gl_view_get_frame_size(view, &width, &height)) return -1;
  }
  if (!kov_gl_view_begin(view, width, height)) return -1;
  if (view->chain == nullptr) return 0;

  // The list is copied: a unit's operation may change the chain's list.
  std::vector<KovUnit *> units;
  for (const GList *l = kov_unit_chain_get_units(view->chain); l != nullptr; l = l->next) {
    auto *unit = static_cast<KovUnit *>(l->data);
    if (is_gl_unit(unit)) {
      g_object_ref(unit);
      units.push_back(unit);
    }
  }
  for (KovUnit *unit : units) {
    // A unit is looked up again after each call: a handler may drop it.
    if (!track(view, unit).initialised) {
      gint result = kov_unit_draw_gl_init(unit);
      if (TrackedUnit *t = find_tracked(view, unit)) t->initialised = result == 0;
    }
    kov_unit_draw_gl(unit);
  }
  for (KovUnit *unit : units) g_object_unref(unit);
  return 0;
}

gint kov_gl_view_get_width(KovGLView *view) { return view != nullptr ? view->width : 0; }
gint kov_gl_view_get_height(KovGLView *view) { return view != nullptr ? view->height : 0; }

namespace {

gboolean read_pixels(KovGLView *view, GLenum format, guint8 *pixels, gsize row_stride) {
  if (view == nullptr || pixels == nullptr || view->width < 1 || view->height < 1) return FALSE;
  const gsize row_bytes = static_cast<gsize>(view->width) * 4;
  if (row_stride < row_bytes) return FALSE;
  ScopedCurrent current(view);
  if (!current.ok()) return FALSE;

  GLint previous_read = 0, previous_pack = 0;
  glGetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &previous_read);
  glGetIntegerv(GL_PIXEL_PACK_BUFFER_BINDING, &previous_pack);
  glBindFramebuffer(GL_READ_FRAMEBUFFER, view->framebuffer);
  if (previous_pack != 0) glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
  glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glPixelStorei(GL_PACK_ROW_LENGTH, 0);
  glPixelStorei(GL_PACK_SKIP_ROWS, 0);
  glPixelStorei(GL_PACK_SKIP_PIXELS, 0);
  std::vector<guint8> bottom_up(row_bytes * static_cast<gsize>(view->height));
  glReadPixels(0, 0, view->width, view->height, format, GL_UNSIGNED_BYTE, bottom_up.data());
  glPopClientAttrib();
  // GL's first row is the bottom one; the caller gets the top row first.
  for (gint y = 0; y < view->height; ++y)
    std::memcpy(pixels + row_stride * static_cast<gsize>(y),
                bottom_up.data() + row_bytes * static_cast<gsize>(view->height - 1 - y),
                row_bytes);
  if (previous_pack != 0) glBindBuffer(GL_PIXEL_PACK_BUFFER, static_cast<GLuint>(previous_pack));
  glBindFramebuffer(GL_READ_FRAMEBUFFER, static_cast<GLuint>(previous_read));
  return TRUE;
}

}  // namespace

gboolean kov_gl_view_read_pixels(KovGLView *view, guint8 *pixels, gsize row_stride) {
  return read_pixels(view, GL_RGBA, pixels, row_stride);
}

gboolean kov_gl_view_read_pixels_bgra(KovGLView *view, guint8 *pixels, gsize row_stride) {
  return read_pixels(view, GL_BGRA, pixels, row_stride);
}

void kov_gl_view_release(KovGLView *view) {
  if (view == nullptr) return;
  track_chain_units(view);
  for (TrackedUnit &t : *view->units) t.initialised = false;
  // Copied: a release may change the set of units.
  std::vector<KovUnit *> units;
  for (TrackedUnit &t : *view->units) units.push_back(t.unit);
  for (KovUnit *unit : units) release_unit(view, unit);
}
