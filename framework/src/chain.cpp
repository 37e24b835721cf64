// SPDX-License-Identifier: LGPL-2.1-or-later
// KovUnitChain: units linked one after the other. The chain owns its units,
// starts and stops them together, runs its source units when they are due
// and re-emits the last unit's frames as its own "frame-ready". It gathers
// what its units report: "eos" once every source has ended and its last
// frame has gone through, "error" for each error (the first is kept).
//
// The chain driver is a GSource: it sleeps until the next source is due (or
// a source's event descriptor is readable), runs one step and sleeps again.
#include <kovkit/chain.h>

#include <vector>
#include <kovkit/unit.h>
#include <kovkit/driver.h>

#include "chain_parser.h"
#include "unit_private.h"

struct _KovUnitChain {
  GInitiallyUnowned parent;
  GList *units;          // KovUnit, owned, in chain order
  KovUnit *watched;      // the last unit, whose frames we relay
  gulong watched_handler;
  GError *error;         // the first error a unit posted since the chain started
  gboolean eos_emitted;  // "eos" was emitted for this stream
  gboolean eos_pending;  // a source ended during a step: look when it is over
  gint stepping;         // > 0 while sources produce
};

typedef struct {
  GInitiallyUnownedClass parent_class;
} KovUnitChainClass;

enum { SIGNAL_FRAME_READY, SIGNAL_EOS, SIGNAL_ERROR, N_SIGNALS };
static guint chain_signals[N_SIGNALS];

G_DEFINE_TYPE(KovUnitChain, kov_unit_chain, G_TYPE_INITIALLY_UNOWNED)

static void on_last_frame_ready(KovUnit *, KovFrameBuffer *frame, KovUnitFormat *format,
                                gpointer user_data) {
  g_signal_emit(KOV_UNIT_CHAIN(user_data), chain_signals[SIGNAL_FRAME_READY], 0, frame, format);
}

// Emits "eos" once every source of the chain has ended.
static void emit_eos_when_done(KovUnitChain *chain) {
  chain->eos_pending = FALSE;
  if (chain->eos_emitted) return;
  bool any = false;
  for (GList *l = chain->units; l != nullptr; l = l->next) {
    auto *unit = KOV_UNIT(l->data);
    if (!kov_unit_is_source(unit)) continue;
    if (!kov_unit_is_eos(unit)) return;
    any = true;
  }
  if (!any) return;
  chain->eos_emitted = TRUE;
  g_signal_emit(chain, chain_signals[SIGNAL_EOS], 0);
}

static void on_unit_eos(KovUnit *, gpointer user_data) {
  auto *chain = KOV_UNIT_CHAIN(user_data);
  // A source that ends while producing has not yet delivered its last frame.
  if (chain->stepping > 0)
    chain->eos_pending = TRUE;
  else
    emit_eos_when_done(chain);
}

static void on_unit_error(KovUnit *unit, GError *error, gpointer user_data) {
  auto *chain = KOV_UNIT_CHAIN(user_data);
  if (chain->error == nullptr) chain->error = g_error_copy(error);
  if (g_signal_has_handler_pending(chain, chain_signals[SIGNAL_ERROR], 0, FALSE))
    g_signal_emit(chain, chain_signals[SIGNAL_ERROR], 0, unit, error);
  else
    g_printerr("%s: %s\n", unit_label(unit), error->message);
}

static void watch_last_unit(KovUnitChain *chain) {
  KovUnit *last = kov_unit_chain_get_last_unit(chain);
  if (last == chain->watched) return;
  if (chain->watched != nullptr) g_signal_handler_disconnect(chain->watched, chain->watched_handler);
  chain->watched = last;
  chain->watched_handler =
      last != nullptr ? g_signal_connect(last, "frame-ready", G_CALLBACK(on_last_frame_ready), chain)
                      : 0;
}

static void kov_unit_chain_dispose(GObject *object) {
  kov_unit_chain_clear(KOV_UNIT_CHAIN(object));
  G_OBJECT_CLASS(kov_unit_chain_parent_class)->dispose(object);
}

static void kov_unit_chain_finalize(GObject *object) {
  g_clear_error(&KOV_UNIT_CHAIN(object)->error);
  G_OBJECT_CLASS(kov_unit_chain_parent_class)->finalize(object);
}

static void kov_unit_chain_class_init(KovUnitChainClass *klass) {
  G_OBJECT_CLASS(klass)->dispose = kov_unit_chain_dispose;
  G_OBJECT_CLASS(klass)->finalize = kov_unit_chain_finalize;
  /* "frame-ready" (chain, frame, format of the chain's last unit). */
  chain_signals[SIGNAL_FRAME_READY] = g_signal_new(
      "frame-ready", G_TYPE_FROM_CLASS(klass), G_SIGNAL_RUN_LAST, 0, nullptr, nullptr,
      kov_marshal_VOID__OBJECT_OBJECT, G_TYPE_NONE, 2, KOV_TYPE_FRAMEBUFFER, KOV_TYPE_UNIT_FORMAT);
  g_signal_set_va_marshaller(chain_signals[SIGNAL_FRAME_READY], G_TYPE_FROM_CLASS(klass),
                             kov_marshal_VOID__OBJECT_OBJECTv);
  /* "eos" (chain): every source has ended and its last frame has gone through. */
  chain_signals[SIGNAL_EOS] = g_signal_new("eos", G_TYPE_FROM_CLASS(klass), G_SIGNAL_RUN_LAST, 0,
                                           nullptr, nullptr, nullptr, G_TYPE_NONE, 0);
  /* "error" (chain, unit, GError): a unit posted an error. */
  chain_signals[SIGNAL_ERROR] =
      g_signal_new("error", G_TYPE_FROM_CLASS(klass), G_SIGNAL_RUN_LAST, 0, nullptr, nullptr,
                   nullptr, G_TYPE_NONE, 2, KOV_TYPE_UNIT, G_TYPE_ERROR);
}

static void kov_unit_chain_init(KovUnitChain *) {}

KovUnitChain *kov_unit_chain_new(void) {
  return KOV_UNIT_CHAIN(g_object_new(kov_unit_chain_get_type(), nullptr));
}

void kov_unit_chain_add_unit(KovUnitChain *chain, KovUnit *unit) {
  g_return_if_fail(KOV_IS_UNIT_CHAIN(chain) && KOV_IS_UNIT(unit));
  KovUnit *last = kov_unit_chain_get_last_unit(chain);
  chain->units = g_list_append(chain->units, g_object_ref_sink(unit));
  g_signal_connect(unit, "eos", G_CALLBACK(on_unit_eos), chain);
  g_signal_connect(unit, "error", G_CALLBACK(on_unit_error), chain);
  if (last != nullptr) kov_unit_set_input(unit, last);
  watch_last_unit(chain);
}

void kov_unit_chain_clear(KovUnitChain *chain) {
  g_return_if_fail(KOV_IS_UNIT_CHAIN(chain));
  kov_unit_chain_all_units_stream_shutdown(chain);
  if (chain->watched != nullptr) g_signal_handler_disconnect(chain->watched, chain->watched_handler);
  chain->watched = nullptr;
  chain->watched_handler = 0;
  GList *units = chain->units;
  chain->units = nullptr;
  for (GList *l = units; l != nullptr; l = l->next)
    g_signal_handlers_disconnect_by_data(l->data, chain);
  // Unlink from the end so that no unit renegotiates against a dying input.
  for (GList *l = g_list_last(units); l != nullptr; l = l->prev)
    kov_unit_set_input(KOV_UNIT(l->data), nullptr);
  g_list_free_full(units, g_object_unref);
}

const GList *kov_unit_chain_get_units(KovUnitChain *chain) {
  g_return_val_if_fail(KOV_IS_UNIT_CHAIN(chain), nullptr);
  return chain->units;
}

KovUnit *kov_unit_chain_get_last_unit(KovUnitChain *chain) {
  g_return_val_if_fail(KOV_IS_UNIT_CHAIN(chain), nullptr);
  GList *last = g_list_last(chain->units);
  return last != nullptr ? KOV_UNIT(last->data) : nullptr;
}

KovUnit *kov_unit_chain_find_unit_by_id(KovUnitChain *chain, const gchar *id) {
  g_return_val_if_fail(KOV_IS_UNIT_CHAIN(chain), nullptr);
  for (GList *l = chain->units; l != nullptr; l = l->next)
    if (g_strcmp0(kov_unit_get_id(KOV_UNIT(l->data)), id) == 0) return KOV_UNIT(l->data);
  return nullptr;
}

gboolean kov_unit_chain_has_gl_units(KovUnitChain *chain) {
  g_return_val_if_fail(KOV_IS_UNIT_CHAIN(chain), FALSE);
  for (GList *l = chain->units; l != nullptr; l = l->next)
    if (kov_unit_get_flags(KOV_UNIT(l->data)) & KOV_UNIT_RENDERS_GL) return TRUE;
  return FALSE;
}

gboolean kov_unit_chain_load_from_str(KovUnitChain *chain, const gchar *text, GError **error) {
  g_return_val_if_fail(KOV_IS_UNIT_CHAIN(chain), FALSE);
  kov_unit_chain_clear(chain);
  if (!kov_chain_parse_into(chain, text, error)) {
    kov_unit_chain_clear(chain);
    return FALSE;
  }
  return TRUE;
}

gboolean kov_unit_chain_all_units_stream_init_full(KovUnitChain *chain, GError **error) {
  g_return_val_if_fail(KOV_IS_UNIT_CHAIN(chain), FALSE);
  if (chain->units == nullptr) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_STREAM, "the chain has no units");
    return FALSE;
  }
  if (!kov_unit_chain_is_streaming(chain)) {
    g_clear_error(&chain->error);
    chain->eos_emitted = FALSE;
    chain->eos_pending = FALSE;
  }
  for (GList *l = chain->units; l != nullptr; l = l->next) {
    auto *unit = KOV_UNIT(l->data);
    if (kov_unit_is_streaming(unit)) continue;
    // A unit that dropped its formats when it was last stopped gets its
    // input's format announced again.
    if (kov_unit_get_output_format(unit) == nullptr) kov_unit_renegotiate(unit);
    KovUnitFormat *format = kov_unit_get_output_format(unit);
    if (format != nullptr && kov_unit_stream_init(unit, nullptr) == 0) continue;
    // The unit's own account of why it has no format or refused (a file that
    // cannot be read) says most.
    const GError *reason = kov_unit_get_error(unit);
    if (reason != nullptr) {
      g_set_error(error, reason->domain, reason->code, "%s: %s", unit_label(unit),
                  reason->message);
    } else if (format == nullptr) {
      KovUnit *input = kov_unit_get_input(unit);
      KovUnitFormat *in = input != nullptr ? kov_unit_get_output_format(input) : nullptr;
      gchar code[11];
      if (in != nullptr)
        g_set_error(error, KOV_ERROR, KOV_ERROR_FORMAT,
                    "unit %s cannot take its input's format %s %dx%d", unit_label(unit),
                    kov_pixel_format_to_string(in->pixelformat, code), in->width, in->height);
      else
        g_set_error(error, KOV_ERROR, KOV_ERROR_FORMAT, "unit %s has no output format",
                    unit_label(unit));
    } else {
      g_set_error(error, KOV_ERROR, KOV_ERROR_STREAM, "unit %s refused to start streaming",
                  unit_label(unit));
    }
    kov_unit_chain_all_units_stream_shutdown(chain);
    return FALSE;
  }
  return TRUE;
}

gint kov_unit_chain_all_units_stream_init(KovUnitChain *chain) {
  GError *error = nullptr;
  if (kov_unit_chain_all_units_stream_init_full(chain, &error)) return 0;
  g_printerr("kovkit: %s\n", error->message);
  g_error_free(error);
  return -1;
}

gint kov_unit_chain_all_units_stream_shutdown(KovUnitChain *chain) {
  g_return_val_if_fail(KOV_IS_UNIT_CHAIN(chain), -1);
  gint result = 0;
  for (GList *l = chain->units; l != nullptr; l = l->next)
    if (kov_unit_stream_shutdown(KOV_UNIT(l->data)) != 0) result = -1;
  return result;
}

gboolean kov_unit_chain_is_streaming(KovUnitChain *chain) {
  g_return_val_if_fail(KOV_IS_UNIT_CHAIN(chain), FALSE);
  for (GList *l = chain->units; l != nullptr; l = l->next)
    if (kov_unit_is_streaming(KOV_UNIT(l->data))) return TRUE;
  return FALSE;
}

const GError *kov_unit_chain_get_error(KovUnitChain *chain) {
  g_return_val_if_fail(KOV_IS_UNIT_CHAIN(chain), nullptr);
  return chain->error;
}

gboolean kov_unit_chain_is_eos(KovUnitChain *chain) {
  g_return_val_if_fail(KOV_IS_UNIT_CHAIN(chain), FALSE);
  return chain->eos_emitted;
}

gint64 kov_unit_chain_iterate(KovUnitChain *chain) {
  g_return_val_if_fail(KOV_IS_UNIT_CHAIN(chain), G_MAXINT64);
  g_object_ref(chain);
  chain->stepping++;
  gint64 next = G_MAXINT64;
  // A copy: a frame handler may change the chain.
  GList *units = g_list_copy_deep(chain->units, ref_object, nullptr);
  for (GList *l = units; l != nullptr; l = l->next) {
    auto *unit = KOV_UNIT(l->data);
    if (!kov_unit_is_source(unit) || !kov_unit_is_streaming(unit)) continue;
    // One frame per source and call, so that a source that is always due
    // cannot starve the caller.
    if (kov_unit_next_frame_time(unit) <= kov_time_now()) kov_unit_produce_pending_frame(unit);
    if (kov_unit_is_streaming(unit)) next = MIN(next, kov_unit_next_frame_time(unit));
  }
  g_list_free_full(units, g_object_unref);
  if (--chain->stepping == 0 && chain->eos_pending) emit_eos_when_done(chain);
  g_object_unref(chain);
  return next;
}

/* ---- the chain driver ----------------------------------------------------- */

namespace {

struct FdWatch {
  KovUnit *unit;  // a unit of the chain; looked up again before use
  gint fd;
  gpointer tag;
};

struct ChainSource {
  GSource source;
  KovUnitChain *chain;            // strong reference
  std::vector<FdWatch> *watches;  // descriptors of streaming sources
};

// Time at which the next timed source is due, G_MAXINT64 when none is.
gint64 next_due(KovUnitChain *chain) {
  gint64 next = G_MAXINT64;
  for (GList *l = chain->units; l != nullptr; l = l->next) {
    auto *unit = KOV_UNIT(l->data);
    if (kov_unit_is_source(unit) && kov_unit_is_streaming(unit))
      next = MIN(next, kov_unit_next_frame_time(unit));
  }
  return next;
}

// Waits on the descriptor of every streaming source that has one.
void sync_watches(ChainSource *cs) {
  std::vector<FdWatch> &watches = *cs->watches;
  std::vector<FdWatch> wanted;
  for (GList *l = cs->chain->units; l != nullptr; l = l->next) {
    auto *unit = KOV_UNIT(l->data);
    const gint fd = kov_unit_get_event_fd(unit);
    if (fd >= 0 && kov_unit_is_source(unit) && kov_unit_is_streaming(unit))
      wanted.push_back({unit, fd, nullptr});
  }
  for (auto it = watches.begin(); it != watches.end();) {
    bool keep = false;
    for (FdWatch &w : wanted)
      if (w.unit == it->unit && w.fd == it->fd && w.tag == nullptr) {
        w.tag = it->tag;
        keep = true;
      }
    if (!keep) g_source_remove_unix_fd(&cs->source, it->tag);
    it = keep ? it + 1 : watches.erase(it);
  }
  for (FdWatch &w : wanted) {
    if (w.tag != nullptr) continue;
    w.tag = g_source_add_unix_fd(&cs->source, w.fd, G_IO_IN);
    watches.push_back(w);
  }
}

bool any_fd_ready(ChainSource *cs) {
  for (const FdWatch &w : *cs->watches)
    if (g_source_query_unix_fd(&cs->source, w.tag) != 0) return true;
  return false;
}

gboolean chain_source_prepare(GSource *source, gint *timeout) {
  auto *cs = reinterpret_cast<ChainSource *>(source);
  sync_watches(cs);
  *timeout = -1;
  const gint64 due = next_due(cs->chain);
  if (due == G_MAXINT64) return FALSE;
  const gint64 wait = due - kov_time_now();
  if (wait <= 0) {
    *timeout = 0;
    return TRUE;
  }
  *timeout = static_cast<gint>(MIN((wait + 999) / 1000, G_MAXINT));
  return FALSE;
}

gboolean chain_source_check(GSource *source) {
  auto *cs = reinterpret_cast<ChainSource *>(source);
  return any_fd_ready(cs) || next_due(cs->chain) <= kov_time_now();
}

gboolean chain_source_dispatch(GSource *source, GSourceFunc callback, gpointer user_data) {
  auto *cs = reinterpret_cast<ChainSource *>(source);
  if (callback != nullptr && !callback(user_data)) return G_SOURCE_REMOVE;
  KovUnitChain *chain = KOV_UNIT_CHAIN(g_object_ref(cs->chain));
  chain->stepping++;
  // Sources woken by their descriptor first, then the timed ones.
  std::vector<KovUnit *> woken;
  for (const FdWatch &w : *cs->watches)
    if (g_source_query_unix_fd(source, w.tag) != 0) woken.push_back(w.unit);
  for (KovUnit *unit : woken) {
    if (g_list_find(chain->units, unit) == nullptr) continue;
    g_object_ref(unit);
    if (kov_unit_is_streaming(unit)) kov_unit_produce_pending_frame(unit);
    g_object_unref(unit);
  }
  kov_unit_chain_iterate(chain);
  if (--chain->stepping == 0 && chain->eos_pending) emit_eos_when_done(chain);
  g_object_unref(chain);
  return G_SOURCE_CONTINUE;
}

void chain_source_finalize(GSource *source) {
  auto *cs = reinterpret_cast<ChainSource *>(source);
  delete cs->watches;
  cs->watches = nullptr;
  g_clear_object(&cs->chain);
}

GSourceFuncs chain_source_funcs = {chain_source_prepare, chain_source_check,
                                   chain_source_dispatch, chain_source_finalize, nullptr, nullptr};

}  // namespace

GSource *kov_unit_chain_source_new(KovUnitChain *chain) {
  g_return_val_if_fail(KOV_IS_UNIT_CHAIN(chain), nullptr);
  GSource *source = g_source_new(&chain_source_funcs, sizeof(ChainSource));
  auto *cs = reinterpret_cast<ChainSource *>(source);
  cs->chain = KOV_UNIT_CHAIN(g_object_ref(chain));
  cs->watches = new std::vector<FdWatch>();
  g_source_set_name(source, "[kovkit] chain driver");
  return source;
}

guint kov_unit_chain_attach(KovUnitChain *chain, GMainContext *context) {
  g_return_val_if_fail(KOV_IS_UNIT_CHAIN(chain), 0);
  GSource *source = kov_unit_chain_source_new(chain);
  const guint id = g_source_attach(source, context);
  g_source_unref(source);
  return id;
}
