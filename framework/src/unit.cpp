// SPDX-License-Identifier: LGPL-2.1-or-later
// KovUnit: linking, format negotiation, streaming and frame delivery.
//
// Negotiation: when a unit's input is set (or the input's format changes),
// the unit's "input-format-changed" handlers rebuild its output formats; the
// framework then picks the current output format (the preferred one if it is
// offered, else the first) and announces it to every unit fed by this one.
// A streaming unit is stopped around such a change and restarted with its new
// format, so that units never see a format change while their per-stream
// buffers exist.
#include <kovkit/unit.h>
#include <kovkit/driver.h>
#include <kovkit/pixelformat.h>

#include <sys/time.h>

#include "unit_private.h"

struct _KovUnitPrivate {
  KovUnit *input;          // strong reference
  gulong input_handler;    // our "frame-ready" handler on the input
  GList *outputs;          // units fed by this one (no references)
  GList *formats;          // KovUnitFormat, owned
  KovUnitFormat *current;  // one of formats, or NULL
  guint32 pref_code;
  gint pref_width, pref_height, pref_stride;
  gboolean streaming;
  gint in_format_change;   // > 0 while the unit handles its input's format
  gint update_depth;       // kov_unit_begin_format_update nesting
  gboolean formats_dirty;
  gboolean disposing;
  GList *controls;         // KovUnitControl, owned, creation order
  gchar *name;
  KovUnitDescription *description;  // strong reference
  gboolean eos;            // posted end of stream, until the next stream_init
  GError *error;           // last error posted or set
  gint event_fd;           // descriptor the chain driver waits on, or -1
};

enum {
  SIGNAL_INPUT_FORMAT_CHANGED,
  SIGNAL_FRAME_READY,
  SIGNAL_STATUS_CHANGED,
  SIGNAL_EOS,
  SIGNAL_ERROR,
  N_SIGNALS
};
static guint unit_signals[N_SIGNALS];

G_DEFINE_TYPE_WITH_PRIVATE(KovUnit, kov_unit, G_TYPE_INITIALLY_UNOWNED)

static void announce_downstream(KovUnit *unit);

static gint default_stream_init(KovUnit *, KovUnitFormat *) { return 0; }
static gint default_stream_shutdown(KovUnit *) { return 0; }
static gboolean default_produce_pending_frame(KovUnit *) { return FALSE; }
static gint64 default_next_frame_time(KovUnit *) { return G_MAXINT64; }
static void default_input_frame_ready(KovUnit *, KovFrameBuffer *, KovUnitFormat *) {}
static gint default_draw_gl(KovUnit *) { return 0; }
static gboolean default_control_change(KovUnit *, KovUnitControl *, const GValue *proposed,
                                       GValue *store) {
  g_value_copy(proposed, store);
  return TRUE;
}

static void kov_unit_dispose(GObject *object) {
  KovUnit *unit = KOV_UNIT(object);
  KovUnitPrivate *p = unit->priv;
  p->disposing = TRUE;
  if (p->streaming) kov_unit_stream_shutdown(unit);
  // Units fed by this one lose their input.
  while (p->outputs != nullptr) kov_unit_set_input(KOV_UNIT(p->outputs->data), nullptr);
  if (p->input != nullptr) kov_unit_set_input(unit, nullptr);
  G_OBJECT_CLASS(kov_unit_parent_class)->dispose(object);
}

static void kov_unit_finalize(GObject *object) {
  KovUnitPrivate *p = KOV_UNIT(object)->priv;
  g_list_free_full(p->formats, g_object_unref);
  g_list_free_full(p->controls, g_object_unref);
  g_list_free(p->outputs);
  g_clear_object(&p->description);
  g_clear_error(&p->error);
  g_free(p->name);
  G_OBJECT_CLASS(kov_unit_parent_class)->finalize(object);
}

static void kov_unit_class_init(KovUnitClass *klass) {
  GObjectClass *object_class = G_OBJECT_CLASS(klass);
  object_class->dispose = kov_unit_dispose;
  object_class->finalize = kov_unit_finalize;

  klass->stream_init = default_stream_init;
  klass->stream_shutdown = default_stream_shutdown;
  klass->produce_pending_frame = default_produce_pending_frame;
  klass->next_frame_time = default_next_frame_time;
  klass->input_frame_ready = default_input_frame_ready;
  klass->draw_gl_init = default_draw_gl;
  klass->draw_gl = default_draw_gl;
  klass->draw_gl_release = default_draw_gl;
  klass->control_change = default_control_change;

  /* "input-format-changed" (unit, the input's format or NULL). */
  unit_signals[SIGNAL_INPUT_FORMAT_CHANGED] =
      g_signal_new("input-format-changed", G_TYPE_FROM_CLASS(klass), G_SIGNAL_RUN_LAST, 0,
                   nullptr, nullptr, nullptr, G_TYPE_NONE, 1, KOV_TYPE_UNIT_FORMAT);
  /* "frame-ready" (unit, frame, format), for every produced frame. */
  unit_signals[SIGNAL_FRAME_READY] = g_signal_new(
      "frame-ready", G_TYPE_FROM_CLASS(klass), G_SIGNAL_RUN_LAST, 0, nullptr, nullptr,
      kov_marshal_VOID__OBJECT_OBJECT, G_TYPE_NONE, 2, KOV_TYPE_FRAMEBUFFER, KOV_TYPE_UNIT_FORMAT);
  g_signal_set_va_marshaller(unit_signals[SIGNAL_FRAME_READY], G_TYPE_FROM_CLASS(klass),
                             kov_marshal_VOID__OBJECT_OBJECTv);
  /* "status-changed" (unit): streaming started or stopped. */
  unit_signals[SIGNAL_STATUS_CHANGED] =
      g_signal_new("status-changed", G_TYPE_FROM_CLASS(klass), G_SIGNAL_RUN_LAST, 0, nullptr,
                   nullptr, nullptr, G_TYPE_NONE, 0);
  /* "eos" (unit): a source has no more frames. */
  unit_signals[SIGNAL_EOS] = g_signal_new("eos", G_TYPE_FROM_CLASS(klass), G_SIGNAL_RUN_LAST, 0,
                                          nullptr, nullptr, nullptr, G_TYPE_NONE, 0);
  /* "error" (unit, GError): an error that stops the unit's work. */
  unit_signals[SIGNAL_ERROR] = g_signal_new("error", G_TYPE_FROM_CLASS(klass), G_SIGNAL_RUN_LAST,
                                            0, nullptr, nullptr, nullptr, G_TYPE_NONE, 1,
                                            G_TYPE_ERROR);
}

static void kov_unit_init(KovUnit *unit) {
  unit->priv = static_cast<KovUnitPrivate *>(kov_unit_get_instance_private(unit));
  unit->priv->event_fd = -1;
}

/* ---- frame delivery ---------------------------------------------------- */

namespace {
using FrameReadyFunc = void (*)(gpointer instance, gpointer frame, gpointer format,
                                gpointer data);

// Handlers are C callbacks of many declared types, called through one
// generic type as GLib's own marshallers do; clang's check of the callee's
// type on indirect calls does not apply here.
#if defined(__clang__)
#define KOV_NO_SANITIZE_FUNCTION __attribute__((no_sanitize("function")))
#else
#define KOV_NO_SANITIZE_FUNCTION
#endif

// Calls a "frame-ready" handler, its instance and user data swapped as the
// closure says.
KOV_NO_SANITIZE_FUNCTION void call_frame_ready(GClosure *closure, gpointer marshal_data, gpointer instance,
                      gpointer frame, gpointer format) {
  auto callback = reinterpret_cast<FrameReadyFunc>(
      marshal_data != nullptr ? marshal_data : reinterpret_cast<GCClosure *>(closure)->callback);
  if (G_CCLOSURE_SWAP_DATA(closure))
    callback(closure->data, frame, format, instance);
  else
    callback(instance, frame, format, closure->data);
}
}  // namespace

void kov_marshal_VOID__OBJECT_OBJECT(GClosure *closure, GValue *, guint n_param_values,
                                     const GValue *param_values, gpointer,
                                     gpointer marshal_data) {
  g_return_if_fail(n_param_values == 3);
  call_frame_ready(closure, marshal_data, g_value_peek_pointer(&param_values[0]),
                   g_value_peek_pointer(&param_values[1]),
                   g_value_peek_pointer(&param_values[2]));
}

// The arguments are held for the handler's call, as GLib's own marshallers do.
void kov_marshal_VOID__OBJECT_OBJECTv(GClosure *closure, GValue *, gpointer instance,
                                      va_list args, gpointer marshal_data, int, GType *) {
  va_list copy;
  G_VA_COPY(copy, args);
  gpointer frame = va_arg(copy, gpointer);
  gpointer format = va_arg(copy, gpointer);
  va_end(copy);
  if (frame != nullptr) g_object_ref(frame);
  if (format != nullptr) g_object_ref(format);
  call_frame_ready(closure, marshal_data, instance, frame, format);
  if (format != nullptr) g_object_unref(format);
  if (frame != nullptr) g_object_unref(frame);
}

// Connected to the input's "frame-ready": hands the frame to this unit while
// it streams.
static void on_input_frame_ready(KovUnit *, KovFrameBuffer *frame, KovUnitFormat *format,
                                 gpointer user_data) {
  KovUnit *unit = KOV_UNIT(user_data);
  if (!unit->priv->streaming) return;
  KOV_UNIT_GET_CLASS(unit)->input_frame_ready(unit, frame, format);
}

void kov_unit_produce_frame(KovUnit *unit, KovFrameBuffer *frame, KovUnitFormat *format) {
  g_return_if_fail(KOV_IS_UNIT(unit));
  g_return_if_fail(KOV_IS_FRAMEBUFFER(frame));
  // Receivers may drop the last other reference (a unit that releases its
  // stream buffer when it is stopped from a handler): hold one meanwhile.
  g_object_ref(frame);
  if (format != nullptr) g_object_ref(format);
  g_signal_emit(unit, unit_signals[SIGNAL_FRAME_READY], 0, frame, format);
  if (format != nullptr) g_object_unref(format);
  g_object_unref(frame);
}

/* ---- format negotiation ------------------------------------------------- */

static KovUnitFormat *choose_format(KovUnitPrivate *p) {
  if (p->pref_code != 0) {
    for (GList *l = p->formats; l != nullptr; l = l->next) {
      auto *f = KOV_UNIT_FORMAT(l->data);
      if (f->pixelformat == p->pref_code && (p->pref_width == 0 || f->width == p->pref_width) &&
          (p->pref_height == 0 || f->height == p->pref_height) &&
          (p->pref_stride == 0 || f->row_stride == p->pref_stride))
        return f;
    }
  }
  return p->formats != nullptr ? KOV_UNIT_FORMAT(p->formats->data) : nullptr;
}

// Handles a new input format: stop, let the unit rebuild its formats, choose,
// restart, and announce downstream.
// A format offered with width, height and row stride all 0 names only its
// code: a source that learns its size from its first frame offers the codes
// it can give that way, so that the chain text can choose one, and offers the
// real size before it produces anything.
static bool size_not_known_yet(gint width, gint height, gint row_stride) {
  return width == 0 && height == 0 && row_stride == 0;
}

static void input_format_changed(KovUnit *unit, KovUnitFormat *input_format) {
  KovUnitPrivate *p = unit->priv;
  // Formats are checked when offered; one changed behind the framework's
  // back since is announced as no format.
  if (input_format != nullptr && !size_not_known_yet(input_format->width, input_format->height,
                                                    input_format->row_stride) &&
      !kov_pixel_format_check(input_format->pixelformat, input_format->width,
                              input_format->height, input_format->row_stride, nullptr))
    input_format = nullptr;
  g_object_ref(unit);
  const gboolean was_streaming = p->streaming;
  if (was_streaming) kov_unit_stream_shutdown(unit);

  p->in_format_change++;
  g_signal_emit(unit, unit_signals[SIGNAL_INPUT_FORMAT_CHANGED], 0, input_format);
  p->in_format_change--;
  p->formats_dirty = FALSE;
  p->current = choose_format(p);

  if (was_streaming && !p->streaming && p->current != nullptr) {
    if (kov_unit_stream_init(unit, nullptr) != 0)
      g_printerr("kovkit: unit %s refused to restart streaming after a format change\n",
                 unit_label(unit));
  }
  announce_downstream(unit);
  g_object_unref(unit);
}

static void announce_downstream(KovUnit *unit) {
  // Units may unlink or be destroyed while we announce: walk a referenced copy.
  GList *outputs = g_list_copy_deep(unit->priv->outputs, ref_object, nullptr);
  for (GList *l = outputs; l != nullptr; l = l->next) {
    auto *down = KOV_UNIT(l->data);
    if (down->priv->input == unit) input_format_changed(down, unit->priv->current);
  }
  g_list_free_full(outputs, g_object_unref);
}

// Formats changed outside the unit's own format handler: re-choose and
// announce, unless a batch is open.
static void formats_changed(KovUnit *unit) {
  KovUnitPrivate *p = unit->priv;
  if (p->in_format_change > 0) return;
  if (p->update_depth > 0) {
    p->formats_dirty = TRUE;
    return;
  }
  KovUnitFormat *chosen = choose_format(p);
  const gboolean was_streaming = p->streaming;
  if (was_streaming && chosen != p->current) kov_unit_stream_shutdown(unit);
  p->current = chosen;
  if (was_streaming && !p->streaming && p->current != nullptr) kov_unit_stream_init(unit, nullptr);
  announce_downstream(unit);
}

void kov_unit_begin_format_update(KovUnit *unit) {
  g_return_if_fail(KOV_IS_UNIT(unit));
  unit->priv->update_depth++;
}

void kov_unit_end_format_update(KovUnit *unit) {
  g_return_if_fail(KOV_IS_UNIT(unit));
  KovUnitPrivate *p = unit->priv;
  g_return_if_fail(p->update_depth > 0);
  if (--p->update_depth == 0 && p->formats_dirty) {
    p->formats_dirty = FALSE;
    formats_changed(unit);
  }
}

void kov_unit_set_input(KovUnit *unit, KovUnit *input) {
  g_return_if_fail(KOV_IS_UNIT(unit));
  g_return_if_fail(input == nullptr || KOV_IS_UNIT(input));
  g_return_if_fail(input != unit);
  KovUnitPrivate *p = unit->priv;
  if (p->input == input) return;

  g_object_ref(unit);
  if (p->input != nullptr) {
    KovUnit *old = p->input;
    g_signal_handler_disconnect(old, p->input_handler);
    p->input_handler = 0;
    old->priv->outputs = g_list_remove(old->priv->outputs, unit);
    p->input = nullptr;
    g_object_unref(old);
  }
  if (input != nullptr) {
    p->input = KOV_UNIT(g_object_ref(input));
    input->priv->outputs = g_list_append(input->priv->outputs, unit);
    p->input_handler =
        g_signal_connect(input, "frame-ready", G_CALLBACK(on_input_frame_ready), unit);
  }
  // A unit being destroyed does not renegotiate.
  if (!p->disposing)
    input_format_changed(unit, input != nullptr ? input->priv->current : nullptr);
  g_object_unref(unit);
}

void kov_unit_renegotiate(KovUnit *unit) {
  g_return_if_fail(KOV_IS_UNIT(unit));
  KovUnit *input = unit->priv->input;
  if (input != nullptr) input_format_changed(unit, input->priv->current);
}

KovUnit *kov_unit_get_input(KovUnit *unit) {
  g_return_val_if_fail(KOV_IS_UNIT(unit), nullptr);
  return unit->priv->input;
}

KovUnitFormat *kov_unit_add_output_format(KovUnit *unit, guint32 pixelformat, const gchar *name,
                                          gint width, gint height, gint row_stride) {
  g_return_val_if_fail(KOV_IS_UNIT(unit), nullptr);
  // A format whose sizes are impossible or overflow never reaches a unit:
  // the reason is kept as the unit's error, for the chain to report.
  GError *invalid = nullptr;
  if (!size_not_known_yet(width, height, row_stride) &&
      !kov_pixel_format_check(pixelformat, width, height, row_stride, &invalid)) {
    kov_unit_set_error(unit, invalid);
    g_error_free(invalid);
    return nullptr;
  }
  KovUnitFormat *format = kov_unit_format_new(pixelformat, name, width, height, row_stride);
  unit->priv->formats = g_list_append(unit->priv->formats, format);
  formats_changed(unit);
  return format;
}

void kov_unit_remove_all_output_formats(KovUnit *unit) {
  g_return_if_fail(KOV_IS_UNIT(unit));
  KovUnitPrivate *p = unit->priv;
  if (p->formats == nullptr && p->current == nullptr) return;
  GList *old = p->formats;
  p->formats = nullptr;
  p->current = nullptr;
  formats_changed(unit);
  g_list_free_full(old, g_object_unref);
}

GList *kov_unit_get_output_formats(KovUnit *unit) {
  g_return_val_if_fail(KOV_IS_UNIT(unit), nullptr);
  return g_list_copy(unit->priv->formats);
}

KovUnitFormat *kov_unit_get_output_format(KovUnit *unit) {
  g_return_val_if_fail(KOV_IS_UNIT(unit), nullptr);
  return unit->priv->current;
}

gboolean kov_unit_set_output_format(KovUnit *unit, KovUnitFormat *format) {
  g_return_val_if_fail(KOV_IS_UNIT(unit), FALSE);
  KovUnitPrivate *p = unit->priv;
  if (g_list_find(p->formats, format) == nullptr) return FALSE;
  if (p->current == format) return TRUE;
  const gboolean was_streaming = p->streaming;
  if (was_streaming) kov_unit_stream_shutdown(unit);
  p->current = format;
  if (was_streaming) kov_unit_stream_init(unit, nullptr);
  announce_downstream(unit);
  return TRUE;
}

void kov_unit_set_preferred_format(KovUnit *unit, guint32 pixelformat, gint width, gint height,
                                   gint row_stride) {
  g_return_if_fail(KOV_IS_UNIT(unit));
  KovUnitPrivate *p = unit->priv;
  p->pref_code = pixelformat;
  p->pref_width = width;
  p->pref_height = height;
  p->pref_stride = row_stride;
}

guint32 kov_unit_get_preferred_format(KovUnit *unit) {
  g_return_val_if_fail(KOV_IS_UNIT(unit), 0);
  return unit->priv->pref_code;
}

/* ---- streaming ---------------------------------------------------------- */

gint kov_unit_stream_init(KovUnit *unit, KovUnitFormat *format) {
  g_return_val_if_fail(KOV_IS_UNIT(unit), -1);
  KovUnitPrivate *p = unit->priv;
  if (p->streaming) return 0;
  if (format == nullptr) format = p->current;
  // A format the unit does not own (a worker's, handed over by the unit
  // that drives it) is accepted as given.
  if (format != nullptr && g_list_find(p->formats, format) != nullptr) p->current = format;
  p->eos = FALSE;
  g_clear_error(&p->error);
  const gint result = KOV_UNIT_GET_CLASS(unit)->stream_init(unit, format);
  if (result != 0) return result;
  p->streaming = TRUE;
  g_signal_emit(unit, unit_signals[SIGNAL_STATUS_CHANGED], 0);
  return 0;
}

gint kov_unit_stream_shutdown(KovUnit *unit) {
  g_return_val_if_fail(KOV_IS_UNIT(unit), -1);
  KovUnitPrivate *p = unit->priv;
  if (!p->streaming) return 0;
  p->streaming = FALSE;
  const gint result = KOV_UNIT_GET_CLASS(unit)->stream_shutdown(unit);
  g_signal_emit(unit, unit_signals[SIGNAL_STATUS_CHANGED], 0);
  return result;
}

gboolean kov_unit_is_streaming(KovUnit *unit) {
  g_return_val_if_fail(KOV_IS_UNIT(unit), FALSE);
  return unit->priv->streaming;
}

gboolean kov_unit_is_source(KovUnit *unit) {
  g_return_val_if_fail(KOV_IS_UNIT(unit), FALSE);
  return unit->priv->input == nullptr &&
         KOV_UNIT_GET_CLASS(unit)->produce_pending_frame != default_produce_pending_frame;
}

gint64 kov_unit_next_frame_time(KovUnit *unit) {
  g_return_val_if_fail(KOV_IS_UNIT(unit), G_MAXINT64);
  return KOV_UNIT_GET_CLASS(unit)->next_frame_time(unit);
}

gboolean kov_unit_produce_pending_frame(KovUnit *unit) {
  g_return_val_if_fail(KOV_IS_UNIT(unit), FALSE);
  if (!unit->priv->streaming) return FALSE;
  return KOV_UNIT_GET_CLASS(unit)->produce_pending_frame(unit);
}

/* ---- end of stream and errors ------------------------------------------- */

void kov_unit_post_eos(KovUnit *unit) {
  g_return_if_fail(KOV_IS_UNIT(unit));
  if (unit->priv->eos) return;
  unit->priv->eos = TRUE;
  g_signal_emit(unit, unit_signals[SIGNAL_EOS], 0);
}

gboolean kov_unit_is_eos(KovUnit *unit) {
  g_return_val_if_fail(KOV_IS_UNIT(unit), FALSE);
  return unit->priv->eos;
}

void kov_unit_set_error(KovUnit *unit, const GError *error) {
  g_return_if_fail(KOV_IS_UNIT(unit));
  KovUnitPrivate *p = unit->priv;
  if (p->error == error) return;
  g_clear_error(&p->error);
  if (error != nullptr) p->error = g_error_copy(error);
}

void kov_unit_post_error(KovUnit *unit, const GError *error) {
  g_return_if_fail(KOV_IS_UNIT(unit));
  g_return_if_fail(error != nullptr);
  kov_unit_set_error(unit, error);
  // The signal carries the unit's own copy: a handler may post again.
  GError *copy = g_error_copy(error);
  if (g_signal_has_handler_pending(unit, unit_signals[SIGNAL_ERROR], 0, FALSE))
    g_signal_emit(unit, unit_signals[SIGNAL_ERROR], 0, copy);
  else
    g_printerr("%s: %s\n", unit_label(unit), copy->message);
  g_error_free(copy);
}

const GError *kov_unit_get_error(KovUnit *unit) {
  g_return_val_if_fail(KOV_IS_UNIT(unit), nullptr);
  return unit->priv->error;
}

void kov_unit_set_event_fd(KovUnit *unit, gint fd) {
  g_return_if_fail(KOV_IS_UNIT(unit));
  unit->priv->event_fd = fd >= 0 ? fd : -1;
}

gint kov_unit_get_event_fd(KovUnit *unit) {
  g_return_val_if_fail(KOV_IS_UNIT(unit), -1);
  return unit->priv->event_fd;
}

gint kov_unit_draw_gl_init(KovUnit *unit) {
  g_return_val_if_fail(KOV_IS_UNIT(unit), -1);
  auto fn = KOV_UNIT_GET_CLASS(unit)->draw_gl_init;
  return fn != nullptr ? fn(unit) : 0;
}

gint kov_unit_draw_gl(KovUnit *unit) {
  g_return_val_if_fail(KOV_IS_UNIT(unit), -1);
  auto fn = KOV_UNIT_GET_CLASS(unit)->draw_gl;
  return fn != nullptr ? fn(unit) : 0;
}

gint kov_unit_draw_gl_release(KovUnit *unit) {
  g_return_val_if_fail(KOV_IS_UNIT(unit), -1);
  auto fn = KOV_UNIT_GET_CLASS(unit)->draw_gl_release;
  return fn != nullptr ? fn(unit) : 0;
}

/* ---- identity and controls ---------------------------------------------- */

const gchar *kov_unit_get_name(KovUnit *unit) {
  g_return_val_if_fail(KOV_IS_UNIT(unit), nullptr);
  KovUnitPrivate *p = unit->priv;
  if (p->name != nullptr) return p->name;
  if (p->description != nullptr) return kov_unit_description_get_label(p->description);
  return G_OBJECT_TYPE_NAME(unit);
}

void kov_unit_set_name(KovUnit *unit, const gchar *name) {
  g_return_if_fail(KOV_IS_UNIT(unit));
  g_free(unit->priv->name);
  unit->priv->name = g_strdup(name);
}

const gchar *kov_unit_get_id(KovUnit *unit) {
  g_return_val_if_fail(KOV_IS_UNIT(unit), nullptr);
  KovUnitDescription *d = unit->priv->description;
  return d != nullptr ? kov_unit_description_get_id(d) : "";
}

const gchar *unit_label(KovUnit *unit) {
  const gchar *id = kov_unit_get_id(unit);
  return id[0] != '\0' ? id : kov_unit_get_name(unit);
}

guint kov_unit_get_flags(KovUnit *unit) {
  g_return_val_if_fail(KOV_IS_UNIT(unit), 0);
  KovUnitDescription *d = unit->priv->description;
  return d != nullptr ? kov_unit_description_get_flags(d) : 0;
}

KovUnitDescription *kov_unit_get_description(KovUnit *unit) {
  g_return_val_if_fail(KOV_IS_UNIT(unit), nullptr);
  return unit->priv->description;
}

void kov_unit_set_description(KovUnit *unit, KovUnitDescription *description) {
  g_return_if_fail(KOV_IS_UNIT(unit));
  if (description != nullptr) g_object_ref(description);
  g_clear_object(&unit->priv->description);
  unit->priv->description = description;
}

void kov_unit_take_control(KovUnit *unit, KovUnitControl *control) {
  unit->priv->controls = g_list_append(unit->priv->controls, control);
}

const GList *kov_unit_get_controls(KovUnit *unit) {
  g_return_val_if_fail(KOV_IS_UNIT(unit), nullptr);
  return unit->priv->controls;
}

KovUnitControl *kov_unit_find_control(KovUnit *unit, const gchar *id) {
  g_return_val_if_fail(KOV_IS_UNIT(unit) && id != nullptr, nullptr);
  for (GList *l = unit->priv->controls; l != nullptr; l = l->next) {
    auto *control = KOV_UNIT_CONTROL(l->data);
    if (g_strcmp0(kov_unit_control_get_id(control), id) == 0) return control;
  }
  return nullptr;
}

gpointer ref_object(gconstpointer object, gpointer) {
  return g_object_ref(const_cast<gpointer>(object));
}

gint64 kov_time_now(void) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<gint64>(tv.tv_sec) * 1000000 + tv.tv_usec;
}
