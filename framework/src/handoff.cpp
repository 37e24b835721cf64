// SPDX-License-Identifier: LGPL-2.1-or-later
// The hand-over of work between threads through a GMainContext. GLib's own
// locks are futexes that ThreadSanitizer does not see, and the context's
// wake-up descriptor orders the two threads only when the receiving thread
// was asleep; so the tool can take the idle source, which one thread makes
// and GLib frees on the other after the work has run, for memory shared
// without a lock. Each hand-over therefore also passes through one mutex of
// ours: released after the work and its source are made, taken before the
// work runs. It costs one uncontended lock on each side.
#include "handoff.h"

#include <mutex>

namespace kov {
namespace {

std::mutex handoff_mutex;

struct Work {
  GSourceFunc func;
  gpointer data;
  GDestroyNotify notify;
};

gboolean run_work(gpointer data) {
  { std::lock_guard<std::mutex> lock(handoff_mutex); }
  auto *work = static_cast<Work *>(data);
  return work->func(work->data);
}

void free_work(gpointer data) {
  auto *work = static_cast<Work *>(data);
  if (work->notify != nullptr) work->notify(work->data);
  delete work;
}

}  // namespace

void hand_to_context(GMainContext *context, GSourceFunc func, gpointer data,
                     GDestroyNotify notify, const char *name) {
  GSource *source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(source, run_work, new Work{func, data, notify}, free_work);
  g_source_set_name(source, name);
  { std::lock_guard<std::mutex> lock(handoff_mutex); }
  g_source_attach(source, context);
  g_source_unref(source);
}

}  // namespace kov
