// SPDX-License-Identifier: LGPL-2.1-or-later
// KovChainThread: a chain run by the chain driver on a thread of its own,
// with an optional offscreen GL view whose pictures other threads read.
// Work for the thread (start, stop, control changes, redraws at a new size)
// travels as idle sources attached to the thread's context: same priority
// as the driver, so they run between two steps, in the order they were made.
#include <kovkit/chain_thread.h>

#include <kovkit/chain.h>
#include <kovkit/glview.h>
#include <kovkit/unit.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include <unistd.h>

#include "handoff.h"
#include "unit_private.h"

struct _KovChainThread {
  KovUnitChain *chain;  // reference
  guint flags;
  GMainContext *context;
  GMainLoop *loop;
  GThread *thread;
  pid_t pid;  // the process the thread runs in (a forked child has none)
  std::atomic<bool> streaming;

  // Creation hand-shake: the thread says whether its GL view could be made.
  std::mutex mutex;
  std::condition_variable cond;
  bool ready;
  GError *error;  // why the thread could not start

  // Only touched on the chain's thread:
  KovGLView *view;
  gulong frame_handler;
  std::vector<guint8> *back;  // picture being drawn

  // The picture, under picture_mutex:
  std::mutex picture_mutex;
  std::vector<guint8> *front;
  gint width, height, frame_width, frame_height;
  gint wanted_width, wanted_height;  // kov_chain_thread_set_picture_size
  std::atomic<bool> redraw_queued;
  // Held while the picture function runs, so that it is not replaced then.
  std::mutex func_mutex;
  KovChainThreadPictureFunc picture_func;
  gpointer picture_data;
  GDestroyNotify picture_notify;
};

namespace {

GQuark home_quark() {
  static const GQuark quark = g_quark_from_static_string("kov-home-context");
  return quark;
}

thread_local KovChainThread *current_thread = nullptr;

void set_home(KovUnitChain *chain, GMainContext *context) {
  for (const GList *l = kov_unit_chain_get_units(chain); l != nullptr; l = l->next)
    unit_set_home_context(KOV_UNIT(l->data), context);
}

// The largest size within box_width × box_height at the frame's aspect
// ratio: the whole width or the whole height, the other side rounded to the
// nearest pixel. The box itself without a frame size.
void fit_to_box(gint frame_width, gint frame_height, gint &width, gint &height) {
  if (frame_width < 1 || frame_height < 1 || width < 1 || height < 1) return;
  const gint64 fw = frame_width, fh = frame_height, bw = width, bh = height;
  if (bw * fh <= bh * fw)
    height = gint(MAX(1, (bw * fh + fw / 2) / fw));
  else
    width = gint(MAX(1, (bh * fw + fh / 2) / fh));
}

// Draws the chain's GL units as large as the wanted size allows and makes it
// the newest picture. Runs on the chain's thread.
void draw_picture(KovChainThread *t) {
  if (t->view == nullptr) return;
  gint width, height;
  {
    std::lock_guard<std::mutex> lock(t->picture_mutex);
    width = t->wanted_width;
    height = t->wanted_height;
  }
  gint frame_width = 0, frame_height = 0;
  kov_gl_view_get_frame_size(t->view, &frame_width, &frame_height);
  fit_to_box(frame_width, frame_height, width, height);
  if (kov_gl_view_render(t->view, width, height) != 0) return;
  width = kov_gl_view_get_width(t->view);
  height = kov_gl_view_get_height(t->view);
  t->back->resize(gsize(width) * gsize(height) * 4);
  if (!kov_gl_view_read_pixels_bgra(t->view, t->back->data(), gsize(width) * 4)) return;
  {
    std::lock_guard<std::mutex> lock(t->picture_mutex);
    std::swap(t->back, t->front);
    t->width = width;
    t->height = height;
    t->frame_width = frame_width;
    t->frame_height = frame_height;
  }
  std::lock_guard<std::mutex> lock(t->func_mutex);
  if (t->picture_func != nullptr) t->picture_func(t, t->picture_data);
}

void on_chain_frame(KovUnitChain *, KovFrameBuffer *, KovUnitFormat *, gpointer data) {
  draw_picture(static_cast<KovChainThread *>(data));
}

// Before each step of the driver: GL units upload their textures as frames
// arrive, so the view's context must be current.
gboolean before_step(gpointer data) {
  auto *t = static_cast<KovChainThread *>(data);
  if (t->view != nullptr) kov_gl_view_make_current(t->view);
  return G_SOURCE_CONTINUE;
}

void announce_ready(KovChainThread *t) {
  std::lock_guard<std::mutex> lock(t->mutex);
  t->ready = true;
  t->cond.notify_all();
}

gpointer thread_main(gpointer data) {
  auto *t = static_cast<KovChainThread *>(data);
  current_thread = t;
  g_main_context_push_thread_default(t->context);
  g_main_context_acquire(t->context);  // owned for the thread's whole life
  if (t->flags & KOV_CHAIN_THREAD_GL_VIEW) {
    t->view = kov_gl_view_new_offscreen(&t->error);
    if (t->view == nullptr) {
      g_main_context_release(t->context);
      g_main_context_pop_thread_default(t->context);
      announce_ready(t);
      return nullptr;
    }
    kov_gl_view_set_chain(t->view, t->chain);
    kov_gl_view_make_current(t->view);
    t->frame_handler = g_signal_connect(t->chain, "frame-ready", G_CALLBACK(on_chain_frame), t);
  }
  GSource *driver = kov_unit_chain_source_new(t->chain);
  g_source_set_callback(driver, before_step, t, nullptr);
  g_source_attach(driver, t->context);
  announce_ready(t);

  g_main_loop_run(t->loop);

  // The driver goes first, so that draining the work still on its way
  // below runs no more steps.
  g_source_destroy(driver);
  g_source_unref(driver);
  if (t->view != nullptr) kov_gl_view_make_current(t->view);
  kov_unit_chain_all_units_stream_shutdown(t->chain);
  t->streaming = false;
  // Control changes still on their way apply here, directly.
  set_home(t->chain, nullptr);
  while (g_main_context_iteration(t->context, FALSE)) {
  }
  if (t->frame_handler != 0) g_signal_handler_disconnect(t->chain, t->frame_handler);
  g_clear_pointer(&t->view, kov_gl_view_free);
  g_main_context_release(t->context);
  g_main_context_pop_thread_default(t->context);
  current_thread = nullptr;
  return nullptr;
}

gboolean quit_loop(gpointer data) {
  g_main_loop_quit(static_cast<KovChainThread *>(data)->loop);
  return G_SOURCE_REMOVE;
}

// Ends the thread: its loop quits, the chain stops there, and the caller
// waits for it. Safe to call again.
void end_thread(KovChainThread *t) {
  if (t->thread == nullptr) return;
  kov_chain_thread_invoke(t, quit_loop, t, nullptr);
  g_thread_join(t->thread);
  t->thread = nullptr;
}

// The threads not yet freed. A program may exit while one of them is inside
// a unit or drawing with GL (a window closed without being destroyed): the
// libraries it uses are then torn down under it. So the first thread
// registers an exit handler that ends the ones still running, before that
// teardown. They stay listed (and reachable) until they are freed.
std::mutex live_mutex;
std::vector<KovChainThread *> &live_threads() {
  static auto *threads = new std::vector<KovChainThread *>;
  return *threads;
}

// Under the lock throughout: a thread freed meanwhile on another thread
// waits in remove_live, then finds it ended. A forked child that exits has
// the list but not the threads: it leaves them alone.
void end_threads_at_exit() {
  std::lock_guard<std::mutex> lock(live_mutex);
  for (KovChainThread *t : live_threads())
    if (t->pid == getpid() && !kov_chain_thread_is_current(t)) end_thread(t);
}

void add_live(KovChainThread *t) {
  static std::once_flag registered;
  std::call_once(registered, [] { std::atexit(end_threads_at_exit); });
  std::lock_guard<std::mutex> lock(live_mutex);
  live_threads().push_back(t);
}

void remove_live(KovChainThread *t) {
  std::lock_guard<std::mutex> lock(live_mutex);
  auto &threads = live_threads();
  threads.erase(std::remove(threads.begin(), threads.end(), t), threads.end());
}

struct StartRequest {
  KovChainThread *thread = nullptr;
  std::mutex mutex;
  std::condition_variable cond;
  bool done = false;
  gboolean started = FALSE;
  GError *error = nullptr;
};

gboolean start_on_thread(gpointer data) {
  auto *r = static_cast<StartRequest *>(data);
  KovChainThread *t = r->thread;
  if (t->view != nullptr) kov_gl_view_make_current(t->view);
  GError *error = nullptr;
  const gboolean started = kov_unit_chain_all_units_stream_init_full(t->chain, &error);
  t->streaming = started != FALSE;
  std::lock_guard<std::mutex> lock(r->mutex);
  r->started = started;
  r->error = error;
  r->done = true;
  r->cond.notify_all();
  return G_SOURCE_REMOVE;
}

gboolean stop_on_thread(gpointer data) {
  auto *t = static_cast<KovChainThread *>(data);
  if (t->view != nullptr) kov_gl_view_make_current(t->view);
  kov_unit_chain_all_units_stream_shutdown(t->chain);
  t->streaming = false;
  return G_SOURCE_REMOVE;
}

gboolean redraw_on_thread(gpointer data) {
  auto *t = static_cast<KovChainThread *>(data);
  t->redraw_queued = false;
  draw_picture(t);
  return G_SOURCE_REMOVE;
}

}  // namespace

void unit_set_home_context(KovUnit *unit, GMainContext *context) {
  g_object_set_qdata(G_OBJECT(unit), home_quark(), context);
}

GMainContext *unit_home_context(KovUnit *unit) {
  return static_cast<GMainContext *>(g_object_get_qdata(G_OBJECT(unit), home_quark()));
}

KovChainThread *kov_chain_thread_new(KovUnitChain *chain, guint flags, GError **error) {
  g_return_val_if_fail(KOV_IS_UNIT_CHAIN(chain), nullptr);
  auto *t = new _KovChainThread{};
  t->chain = KOV_UNIT_CHAIN(g_object_ref_sink(chain));
  t->flags = flags;
  t->context = g_main_context_new();
  t->loop = g_main_loop_new(t->context, FALSE);
  t->back = new std::vector<guint8>;
  t->front = new std::vector<guint8>;
  set_home(chain, t->context);
  t->thread = g_thread_try_new("kovkit-chain", thread_main, t, error);
  if (t->thread != nullptr) {
    {
      std::unique_lock<std::mutex> lock(t->mutex);
      t->cond.wait(lock, [t] { return t->ready; });
    }
    if (t->error == nullptr) {
      t->pid = getpid();
      add_live(t);
      return t;
    }
    g_thread_join(t->thread);
    t->thread = nullptr;
    g_propagate_error(error, t->error);
    t->error = nullptr;
  }
  set_home(chain, nullptr);
  kov_chain_thread_free(t);
  return nullptr;
}

void kov_chain_thread_free(KovChainThread *thread) {
  if (thread == nullptr) return;
  g_return_if_fail(!kov_chain_thread_is_current(thread));
  remove_live(thread);
  end_thread(thread);
  if (thread->picture_notify != nullptr) thread->picture_notify(thread->picture_data);
  g_main_loop_unref(thread->loop);
  g_main_context_unref(thread->context);
  delete thread->back;
  delete thread->front;
  g_object_unref(thread->chain);
  delete thread;
}

KovUnitChain *kov_chain_thread_get_chain(KovChainThread *thread) {
  g_return_val_if_fail(thread != nullptr, nullptr);
  return thread->chain;
}

GMainContext *kov_chain_thread_get_context(KovChainThread *thread) {
  g_return_val_if_fail(thread != nullptr, nullptr);
  return thread->context;
}

gboolean kov_chain_thread_is_current(KovChainThread *thread) {
  return thread != nullptr && current_thread == thread;
}

gboolean kov_chain_thread_in_chain_thread(void) { return current_thread != nullptr; }

void kov_chain_thread_invoke(KovChainThread *thread, GSourceFunc func, gpointer data,
                             GDestroyNotify notify) {
  g_return_if_fail(thread != nullptr && func != nullptr);
  kov::hand_to_context(thread->context, func, data, notify, "[kovkit] chain thread work");
}

gboolean kov_chain_thread_start(KovChainThread *thread, GError **error) {
  g_return_val_if_fail(thread != nullptr, FALSE);
  StartRequest r;
  r.thread = thread;
  if (kov_chain_thread_is_current(thread))
    start_on_thread(&r);
  else
    kov_chain_thread_invoke(thread, start_on_thread, &r, nullptr);
  {
    std::unique_lock<std::mutex> lock(r.mutex);
    r.cond.wait(lock, [&r] { return r.done; });
  }
  if (r.error != nullptr) g_propagate_error(error, r.error);
  return r.started;
}

void kov_chain_thread_stop(KovChainThread *thread) {
  g_return_if_fail(thread != nullptr);
  kov_chain_thread_invoke(thread, stop_on_thread, thread, nullptr);
}

gboolean kov_chain_thread_is_streaming(KovChainThread *thread) {
  g_return_val_if_fail(thread != nullptr, FALSE);
  return thread->streaming;
}

void kov_chain_thread_set_picture_func(KovChainThread *thread, KovChainThreadPictureFunc func,
                                       gpointer data, GDestroyNotify notify) {
  g_return_if_fail(thread != nullptr);
  GDestroyNotify old_notify;
  gpointer old_data;
  {
    std::lock_guard<std::mutex> lock(thread->func_mutex);
    old_notify = thread->picture_notify;
    old_data = thread->picture_data;
    thread->picture_func = func;
    thread->picture_data = data;
    thread->picture_notify = notify;
  }
  if (old_notify != nullptr) old_notify(old_data);
}

void kov_chain_thread_set_picture_size(KovChainThread *thread, gint width, gint height) {
  g_return_if_fail(thread != nullptr);
  width = MAX(width, 0);
  height = MAX(height, 0);
  bool changed;
  {
    std::lock_guard<std::mutex> lock(thread->picture_mutex);
    changed = thread->wanted_width != width || thread->wanted_height != height;
    thread->wanted_width = width;
    thread->wanted_height = height;
  }
  if (changed && (thread->flags & KOV_CHAIN_THREAD_GL_VIEW) && !thread->redraw_queued.exchange(true))
    kov_chain_thread_invoke(thread, redraw_on_thread, thread, nullptr);
}

const guint8 *kov_chain_thread_lock_picture(KovChainThread *thread, gint *width, gint *height,
                                            gint *frame_width, gint *frame_height) {
  g_return_val_if_fail(thread != nullptr, nullptr);
  thread->picture_mutex.lock();
  const bool have = !thread->front->empty();
  if (width != nullptr) *width = have ? thread->width : 0;
  if (height != nullptr) *height = have ? thread->height : 0;
  if (frame_width != nullptr) *frame_width = have ? thread->frame_width : 0;
  if (frame_height != nullptr) *frame_height = have ? thread->frame_height : 0;
  return have ? thread->front->data() : nullptr;
}

void kov_chain_thread_unlock_picture(KovChainThread *thread) {
  g_return_if_fail(thread != nullptr);
  thread->picture_mutex.unlock();
}
