// KovUnitChain: units linked one after the other. The chain owns its units,
// starts and stops them together, runs its source units when they are due
// and re-emits the last unit's frames as its own "frame-ready".
#include <kovkit/chain.h>
#include <kovkit/unit.h>
#include <kovkit/driver.h>

#include "chain_parser.h"
#include "unit_private.h"

struct _KovUnitChain {
  GInitiallyUnowned parent;
  GList *units;          // KovUnit, owned, in chain order
  KovUnit *watched;      // the last unit, whose frames we relay
  gulong watched_handler;
};

typedef struct {
  GInitiallyUnownedClass parent_class;
} KovUnitChainClass;

enum { SIGNAL_FRAME_READY, N_SIGNALS };
static guint chain_signals[N_SIGNALS];

G_DEFINE_TYPE(KovUnitChain, kov_unit_chain, G_TYPE_INITIALLY_UNOWNED)

static void on_last_frame_ready(KovUnit *, KovFrameBuffer *frame, KovUnitFormat *format,
                                gpointer user_data) {
  g_signal_emit(KOV_UNIT_CHAIN(user_data), chain_signals[SIGNAL_FRAME_READY], 0, frame, format);
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

static void kov_unit_chain_class_init(KovUnitChainClass *klass) {
  G_OBJECT_CLASS(klass)->dispose = kov_unit_chain_dispose;
  /* "frame-ready" (chain, frame, format of the chain's last unit). */
  chain_signals[SIGNAL_FRAME_READY] =
      g_signal_new("frame-ready", G_TYPE_FROM_CLASS(klass), G_SIGNAL_RUN_LAST, 0, nullptr,
                   nullptr, nullptr, G_TYPE_NONE, 2, KOV_TYPE_FRAMEBUFFER, KOV_TYPE_UNIT_FORMAT);
}

static void kov_unit_chain_init(KovUnitChain *) {}

KovUnitChain *kov_unit_chain_new(void) {
  return KOV_UNIT_CHAIN(g_object_new(kov_unit_chain_get_type(), nullptr));
}

void kov_unit_chain_add_unit(KovUnitChain *chain, KovUnit *unit) {
  g_return_if_fail(KOV_IS_UNIT_CHAIN(chain) && KOV_IS_UNIT(unit));
  KovUnit *last = kov_unit_chain_get_last_unit(chain);
  chain->units = g_list_append(chain->units, g_object_ref_sink(unit));
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

static const gchar *unit_label(KovUnit *unit) {
  const gchar *id = kov_unit_get_id(unit);
  return (id != nullptr && *id != '\0') ? id : kov_unit_get_name(unit);
}

gboolean kov_unit_chain_all_units_stream_init_full(KovUnitChain *chain, GError **error) {
  g_return_val_if_fail(KOV_IS_UNIT_CHAIN(chain), FALSE);
  if (chain->units == nullptr) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_STREAM, "the chain has no units");
    return FALSE;
  }
  for (GList *l = chain->units; l != nullptr; l = l->next) {
    auto *unit = KOV_UNIT(l->data);
    if (kov_unit_is_streaming(unit)) continue;
    // A unit that dropped its formats when it was last stopped gets its
    // input's format announced again.
    if (kov_unit_get_output_format(unit) == nullptr) kov_unit_renegotiate(unit);
    KovUnitFormat *format = kov_unit_get_output_format(unit);
    if (format == nullptr) {
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
    } else if (kov_unit_stream_init(unit, nullptr) == 0) {
      continue;
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

gint64 kov_unit_chain_iterate(KovUnitChain *chain) {
  g_return_val_if_fail(KOV_IS_UNIT_CHAIN(chain), G_MAXINT64);
  g_object_ref(chain);
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
  g_object_unref(chain);
  return next;
}
