// SPDX-License-Identifier: LGPL-2.1-or-later
// KovUnitControl: typed, range-checked parameters of a unit. A user's change
// is checked here before the unit's control_change slot sees it, so that a
// unit never receives a value of the wrong kind, outside its range or off its
// step grid.
#include <kovkit/control.h>
#include <kovkit/unit.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "handoff.h"
#include "unit_private.h"

struct _KovUnitControlPrivate {
  KovUnit *unit;  // not a reference: the unit owns its controls
  gchar *id;
  gchar *label;
  KovUnitControlType type;
  gboolean enabled;
  guint ui_hints;
  gchar *display_format;
  gdouble min, max, step;
  GValue value;
  GValue def;
  KovUnitControlEnumEntry *entries;  // owned copies of the nicks
  guint n_entries;
};

// Guards every control's stored value. A value is written on its unit's
// thread and may be read on any other (a window, a script, a GStreamer
// application thread), so a reader either takes this lock or copies the
// value under it.
static std::mutex values_lock;

enum { SIGNAL_CHANGED, N_SIGNALS };
static guint control_signals[N_SIGNALS];

G_DEFINE_TYPE_WITH_PRIVATE(KovUnitControl, kov_unit_control, G_TYPE_OBJECT)

static void kov_unit_control_finalize(GObject *object) {
  KovUnitControlPrivate *p = KOV_UNIT_CONTROL(object)->priv;
  g_free(p->id);
  g_free(p->label);
  g_free(p->display_format);
  if (G_IS_VALUE(&p->value)) g_value_unset(&p->value);
  if (G_IS_VALUE(&p->def)) g_value_unset(&p->def);
  for (guint i = 0; i < p->n_entries; ++i) g_free(const_cast<gchar *>(p->entries[i].nick));
  g_free(p->entries);
  G_OBJECT_CLASS(kov_unit_control_parent_class)->finalize(object);
}

static void kov_unit_control_class_init(KovUnitControlClass *klass) {
  G_OBJECT_CLASS(klass)->finalize = kov_unit_control_finalize;
  /* "changed": a new value was stored. */
  control_signals[SIGNAL_CHANGED] = g_signal_new("changed", G_TYPE_FROM_CLASS(klass),
                                                 G_SIGNAL_RUN_LAST, 0, nullptr, nullptr,
                                                 nullptr, G_TYPE_NONE, 0);
}

static void kov_unit_control_init(KovUnitControl *control) {
  control->priv =
      static_cast<KovUnitControlPrivate *>(kov_unit_control_get_instance_private(control));
}

namespace {

GType value_type_for(KovUnitControlType type) {
  switch (type) {
    case KOV_UNIT_CONTROL_TYPE_INT:
    case KOV_UNIT_CONTROL_TYPE_ENUM:
      return G_TYPE_INT;
    case KOV_UNIT_CONTROL_TYPE_BOOLEAN:
      return G_TYPE_BOOLEAN;
    case KOV_UNIT_CONTROL_TYPE_FLOAT:
      return G_TYPE_FLOAT;
    case KOV_UNIT_CONTROL_TYPE_STRING:
      return G_TYPE_STRING;
    default:
      return G_TYPE_INVALID;
  }
}

KovUnitControl *make_control(KovUnit *unit, const gchar *id, const gchar *label,
                             KovUnitControlType type, gboolean enabled) {
  auto *control = KOV_UNIT_CONTROL(g_object_new(KOV_TYPE_UNIT_CONTROL, nullptr));
  KovUnitControlPrivate *p = control->priv;
  p->unit = unit;
  p->id = g_strdup(id);
  p->label = g_strdup(label);
  p->type = type;
  p->enabled = enabled;
  g_value_init(&p->value, value_type_for(type));
  g_value_init(&p->def, value_type_for(type));
  kov_unit_take_control(unit, control);
  return control;
}

const gchar *unit_id_of(KovUnitControl *control) {
  KovUnit *unit = control->priv->unit;
  const gchar *id = unit != nullptr ? kov_unit_get_id(unit) : "";
  return (id != nullptr && *id != '\0') ? id : (unit != nullptr ? kov_unit_get_name(unit) : "?");
}

const KovUnitControlEnumEntry *find_entry(KovUnitControlPrivate *p, gint value) {
  for (guint i = 0; i < p->n_entries; ++i)
    if (p->entries[i].value == value) return &p->entries[i];
  return nullptr;
}

// Checks a proposed value of the control's own GType against range, grid and
// entries.
gboolean check_value(KovUnitControl *control, const GValue *value, GError **error) {
  KovUnitControlPrivate *p = control->priv;
  const gchar *uid = unit_id_of(control);
  switch (p->type) {
    case KOV_UNIT_CONTROL_TYPE_INT: {
      const gint v = g_value_get_int(value);
      if (v < p->min || v > p->max) {
        g_set_error(error, KOV_ERROR, KOV_ERROR_OUT_OF_RANGE,
                    "%s: value %d of control \"%s\" is outside %d..%d", uid, v, p->id,
                    (gint)p->min, (gint)p->max);
        return FALSE;
      }
      const gint64 step = (gint64)p->step;
      if (step > 1 && ((gint64)v - (gint64)p->min) % step != 0) {
        g_set_error(error, KOV_ERROR, KOV_ERROR_OUT_OF_RANGE,
                    "%s: value %d of control \"%s\" is not %d plus a multiple of %d", uid, v,
                    p->id, (gint)p->min, (gint)step);
        return FALSE;
      }
      return TRUE;
    }
    case KOV_UNIT_CONTROL_TYPE_FLOAT: {
      const gfloat v = g_value_get_float(value);
      if (std::isnan(v) || v < (gfloat)p->min || v > (gfloat)p->max) {
        g_set_error(error, KOV_ERROR, KOV_ERROR_OUT_OF_RANGE,
                    "%s: value %g of control \"%s\" is outside %g..%g", uid, (double)v, p->id,
                    p->min, p->max);
        return FALSE;
      }
      return TRUE;
    }
    case KOV_UNIT_CONTROL_TYPE_ENUM: {
      const gint v = g_value_get_int(value);
      const KovUnitControlEnumEntry *entry = find_entry(p, v);
      if (entry == nullptr || !entry->enabled) {
        g_set_error(error, KOV_ERROR, KOV_ERROR_OUT_OF_RANGE,
                    "%s: %d is not an entry of control \"%s\"", uid, v, p->id);
        return FALSE;
      }
      return TRUE;
    }
    default:
      return TRUE;
  }
}

}  // namespace

KovUnitControl *kov_unit_add_control_boolean(KovUnit *unit, const gchar *id, const gchar *label,
                                             gboolean def, gboolean enabled) {
  g_return_val_if_fail(KOV_IS_UNIT(unit) && id != nullptr, nullptr);
  KovUnitControl *control = make_control(unit, id, label, KOV_UNIT_CONTROL_TYPE_BOOLEAN, enabled);
  g_value_set_boolean(&control->priv->def, def != FALSE);
  g_value_set_boolean(&control->priv->value, def != FALSE);
  control->priv->max = 1;
  control->priv->step = 1;
  return control;
}

KovUnitControl *kov_unit_add_control_int(KovUnit *unit, const gchar *id, const gchar *label,
                                         gint min, gint max, gint step, gint def,
                                         gboolean enabled) {
  g_return_val_if_fail(KOV_IS_UNIT(unit) && id != nullptr, nullptr);
  KovUnitControl *control = make_control(unit, id, label, KOV_UNIT_CONTROL_TYPE_INT, enabled);
  KovUnitControlPrivate *p = control->priv;
  p->min = min;
  p->max = max;
  p->step = step > 0 ? step : 1;
  g_value_set_int(&p->def, def);
  g_value_set_int(&p->value, def);
  return control;
}

KovUnitControl *kov_unit_add_control_float(KovUnit *unit, const gchar *id, const gchar *label,
                                           gfloat min, gfloat max, gfloat step, gfloat def,
                                           gboolean enabled) {
  g_return_val_if_fail(KOV_IS_UNIT(unit) && id != nullptr, nullptr);
  KovUnitControl *control = make_control(unit, id, label, KOV_UNIT_CONTROL_TYPE_FLOAT, enabled);
  KovUnitControlPrivate *p = control->priv;
  p->min = min;
  p->max = max;
  p->step = step;
  g_value_set_float(&p->def, def);
  g_value_set_float(&p->value, def);
  return control;
}

KovUnitControl *kov_unit_add_control_enum(KovUnit *unit, const gchar *id, const gchar *label,
                                          gint def, gboolean enabled,
                                          const KovUnitControlEnumEntry *entries) {
  g_return_val_if_fail(KOV_IS_UNIT(unit) && id != nullptr, nullptr);
  KovUnitControl *control = make_control(unit, id, label, KOV_UNIT_CONTROL_TYPE_ENUM, enabled);
  KovUnitControlPrivate *p = control->priv;
  guint n = 0;
  while (entries != nullptr && entries[n].nick != nullptr) ++n;
  p->entries = g_new0(KovUnitControlEnumEntry, n + 1);
  p->n_entries = n;
  for (guint i = 0; i < n; ++i) {
    p->entries[i].value = entries[i].value;
    p->entries[i].nick = g_strdup(entries[i].nick);
    p->entries[i].enabled = entries[i].enabled;
    if (i == 0 || entries[i].value < p->min) p->min = entries[i].value;
    if (i == 0 || entries[i].value > p->max) p->max = entries[i].value;
  }
  p->step = 1;
  g_value_set_int(&p->def, def);
  g_value_set_int(&p->value, def);
  return control;
}

KovUnitControl *kov_unit_add_control_string(KovUnit *unit, const gchar *id, const gchar *label,
                                            const gchar *def, gboolean enabled) {
  g_return_val_if_fail(KOV_IS_UNIT(unit) && id != nullptr, nullptr);
  KovUnitControl *control = make_control(unit, id, label, KOV_UNIT_CONTROL_TYPE_STRING, enabled);
  g_value_set_string(&control->priv->def, def);
  g_value_set_string(&control->priv->value, def);
  return control;
}

gboolean kov_unit_control_get_boolean(KovUnitControl *control) {
  g_return_val_if_fail(KOV_IS_UNIT_CONTROL(control), FALSE);
  const GValue *v = &control->priv->value;
  std::lock_guard<std::mutex> lock(values_lock);
  return G_VALUE_HOLDS_BOOLEAN(v) ? g_value_get_boolean(v) : FALSE;
}

gint kov_unit_control_get_int(KovUnitControl *control) {
  g_return_val_if_fail(KOV_IS_UNIT_CONTROL(control), 0);
  const GValue *v = &control->priv->value;
  std::lock_guard<std::mutex> lock(values_lock);
  return G_VALUE_HOLDS_INT(v) ? g_value_get_int(v) : 0;
}

gfloat kov_unit_control_get_float(KovUnitControl *control) {
  g_return_val_if_fail(KOV_IS_UNIT_CONTROL(control), 0.0f);
  const GValue *v = &control->priv->value;
  std::lock_guard<std::mutex> lock(values_lock);
  return G_VALUE_HOLDS_FLOAT(v) ? g_value_get_float(v) : 0.0f;
}

gint kov_unit_control_get_enum(KovUnitControl *control) {
  return kov_unit_control_get_int(control);
}

const gchar *kov_unit_control_get_string(KovUnitControl *control) {
  g_return_val_if_fail(KOV_IS_UNIT_CONTROL(control), nullptr);
  const GValue *v = &control->priv->value;
  return G_VALUE_HOLDS_STRING(v) ? g_value_get_string(v) : nullptr;
}

gchar *kov_unit_control_dup_string(KovUnitControl *control) {
  g_return_val_if_fail(KOV_IS_UNIT_CONTROL(control), nullptr);
  const GValue *v = &control->priv->value;
  std::lock_guard<std::mutex> lock(values_lock);
  return G_VALUE_HOLDS_STRING(v) ? g_value_dup_string(v) : nullptr;
}

const GValue *kov_unit_control_get_value(KovUnitControl *control) {
  g_return_val_if_fail(KOV_IS_UNIT_CONTROL(control), nullptr);
  return &control->priv->value;
}

namespace {

// A checked control change on its way to the unit's thread. The unit is
// kept alive with it: its controls do not hold it.
struct HandedOver {
  KovUnit *unit;
  KovUnitControl *control;
  GValue value;
};

gboolean apply_handed_over(gpointer data) {
  auto *h = static_cast<HandedOver *>(data);
  GError *error = nullptr;
  if (!kov_unit_control_set_value(h->control, &h->value, &error)) {
    g_printerr("%s\n", error->message);
    g_error_free(error);
  }
  return G_SOURCE_REMOVE;
}

void free_handed_over(gpointer data) {
  auto *h = static_cast<HandedOver *>(data);
  g_value_unset(&h->value);
  g_object_unref(h->control);
  g_object_unref(h->unit);
  delete h;
}

void hand_over(KovUnitControl *control, const GValue *value, GMainContext *home) {
  auto *h = new HandedOver{KOV_UNIT(g_object_ref(control->priv->unit)),
                           KOV_UNIT_CONTROL(g_object_ref(control)), G_VALUE_INIT};
  g_value_init(&h->value, G_VALUE_TYPE(value));
  g_value_copy(value, &h->value);
  kov::hand_to_context(home, apply_handed_over, h, free_handed_over, "[kovkit] control change");
}

}  // namespace

gboolean kov_unit_control_set_value(KovUnitControl *control, const GValue *value,
                                    GError **error) {
  g_return_val_if_fail(KOV_IS_UNIT_CONTROL(control) && value != nullptr, FALSE);
  KovUnitControlPrivate *p = control->priv;
  const GType want = value_type_for(p->type);
  if (G_VALUE_TYPE(value) != want) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_BAD_VALUE,
                "%s: control \"%s\" takes a value of type %s, not %s", unit_id_of(control),
                p->id, g_type_name(want), G_VALUE_TYPE_NAME(value));
    return FALSE;
  }
  if (!check_value(control, value, error)) return FALSE;
  // The unit runs on a chain thread and this is another thread: the unit
  // sees the change there, between two of its operations.
  GMainContext *home = p->unit != nullptr ? unit_home_context(p->unit) : nullptr;
  if (home != nullptr && !g_main_context_is_owner(home)) {
    hand_over(control, value, home);
    return TRUE;
  }

  GValue store = G_VALUE_INIT;
  g_value_init(&store, want);
  gboolean accepted = TRUE;
  KovUnit *unit = p->unit;
  KovUnitClass *klass = unit != nullptr ? KOV_UNIT_GET_CLASS(unit) : nullptr;
  if (klass != nullptr && klass->control_change != nullptr)
    accepted = klass->control_change(unit, control, value, &store);
  else
    g_value_copy(value, &store);

  // The reason a unit gives for refusing, taken off the control either way.
  auto *reason = static_cast<gchar *>(g_object_steal_data(G_OBJECT(control), "kov-refusal"));
  if (!accepted) {
    g_value_unset(&store);
    if (reason != nullptr)
      g_set_error(error, KOV_ERROR, KOV_ERROR_REFUSED, "%s: control \"%s\" refused the value: %s",
                  unit_id_of(control), p->id, reason);
    else
      g_set_error(error, KOV_ERROR, KOV_ERROR_REFUSED, "%s: control \"%s\" refused the value",
                  unit_id_of(control), p->id);
    g_free(reason);
    return FALSE;
  }
  g_free(reason);
  {
    std::lock_guard<std::mutex> lock(values_lock);
    g_value_unset(&p->value);
    p->value = store;  // takes over the stored value
  }
  g_signal_emit(control, control_signals[SIGNAL_CHANGED], 0);
  return TRUE;
}

void kov_unit_control_set_refusal_reason(KovUnitControl *control, const gchar *reason) {
  g_return_if_fail(KOV_IS_UNIT_CONTROL(control));
  g_object_set_data_full(G_OBJECT(control), "kov-refusal", g_strdup(reason), g_free);
}

#define KOV_DEFINE_SETTER(suffix, ctype, gtype, setter)                                  \
  gboolean kov_unit_control_set_##suffix(KovUnitControl *control, ctype value,          \
                                         GError **error) {                              \
    GValue v = G_VALUE_INIT;                                                            \
    g_value_init(&v, gtype);                                                            \
    setter(&v, value);                                                                  \
    const gboolean ok = kov_unit_control_set_value(control, &v, error);                 \
    g_value_unset(&v);                                                                  \
    return ok;                                                                          \
  }

KOV_DEFINE_SETTER(boolean, gboolean, G_TYPE_BOOLEAN, g_value_set_boolean)
KOV_DEFINE_SETTER(int, gint, G_TYPE_INT, g_value_set_int)
KOV_DEFINE_SETTER(float, gfloat, G_TYPE_FLOAT, g_value_set_float)
KOV_DEFINE_SETTER(enum, gint, G_TYPE_INT, g_value_set_int)
KOV_DEFINE_SETTER(string, const gchar *, G_TYPE_STRING, g_value_set_string)

namespace {

// A display format for int values: text with exactly one conversion %d, %i,
// %o, %u, %x or %X (flags, a width and precision of up to three digits, no
// length modifier or '*') and any number of "%%".
bool is_int_display_format(const gchar *format) {
  if (format == nullptr) return false;
  int conversions = 0;
  for (const gchar *c = format; *c != '\0'; ++c) {
    if (*c != '%') continue;
    if (c[1] == '%') {
      ++c;
      continue;
    }
    c += 1 + strspn(c + 1, "-+ #0");
    // Widths and precisions of up to three digits: a huge one would make
    // printf allocate or fail.
    const size_t width = strspn(c, "0123456789");
    c += width;
    size_t precision = 0;
    if (*c == '.') {
      precision = strspn(c + 1, "0123456789");
      c += 1 + precision;
    }
    if (width > 3 || precision > 3 || *c == '\0' || strchr("diouxX", *c) == nullptr) return false;
    ++conversions;
  }
  return conversions == 1;
}

bool parse_int(const gchar *text, gint *out) {
  if (text == nullptr || *text == '\0') return false;
  errno = 0;
  gchar *end = nullptr;
  const gint64 v = g_ascii_strtoll(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0' || v < G_MININT || v > G_MAXINT) return false;
  *out = static_cast<gint>(v);
  return true;
}

}  // namespace

gboolean kov_unit_control_set_from_string(KovUnitControl *control, const gchar *text,
                                          GError **error) {
  g_return_val_if_fail(KOV_IS_UNIT_CONTROL(control) && text != nullptr, FALSE);
  KovUnitControlPrivate *p = control->priv;
  const gchar *uid = unit_id_of(control);
  switch (p->type) {
    case KOV_UNIT_CONTROL_TYPE_BOOLEAN: {
      static const char *const truths[] = {"true", "yes", "1"};
      static const char *const falsehoods[] = {"false", "no", "0"};
      for (const char *t : truths)
        if (g_ascii_strcasecmp(text, t) == 0) return kov_unit_control_set_boolean(control, TRUE, error);
      for (const char *f : falsehoods)
        if (g_ascii_strcasecmp(text, f) == 0) return kov_unit_control_set_boolean(control, FALSE, error);
      g_set_error(error, KOV_ERROR, KOV_ERROR_BAD_VALUE,
                  "%s: \"%s\" is not a boolean value for control \"%s\" (use true or false)",
                  uid, text, p->id);
      return FALSE;
    }
    case KOV_UNIT_CONTROL_TYPE_INT: {
      gint v = 0;
      if (!parse_int(text, &v)) {
        g_set_error(error, KOV_ERROR, KOV_ERROR_BAD_VALUE,
                    "%s: \"%s\" is not an integer value for control \"%s\"", uid, text, p->id);
        return FALSE;
      }
      return kov_unit_control_set_int(control, v, error);
    }
    case KOV_UNIT_CONTROL_TYPE_FLOAT: {
      gchar *end = nullptr;
      errno = 0;
      const gdouble v = g_ascii_strtod(text, &end);
      if (*text == '\0' || end == text || *end != '\0' || errno != 0 || !std::isfinite(v)) {
        g_set_error(error, KOV_ERROR, KOV_ERROR_BAD_VALUE,
                    "%s: \"%s\" is not a number for control \"%s\"", uid, text, p->id);
        return FALSE;
      }
      if (v < p->min || v > p->max) {
        g_set_error(error, KOV_ERROR, KOV_ERROR_OUT_OF_RANGE,
                    "%s: value %s of control \"%s\" is outside %g..%g", uid, text, p->id, p->min,
                    p->max);
        return FALSE;
      }
      return kov_unit_control_set_float(control, static_cast<gfloat>(v), error);
    }
    case KOV_UNIT_CONTROL_TYPE_ENUM: {
      for (guint i = 0; i < p->n_entries; ++i)
        if (g_strcmp0(p->entries[i].nick, text) == 0)
          return kov_unit_control_set_enum(control, p->entries[i].value, error);
      gint v = 0;
      if (!parse_int(text, &v)) {
        g_set_error(error, KOV_ERROR, KOV_ERROR_BAD_VALUE,
                    "%s: \"%s\" is not an entry of control \"%s\"", uid, text, p->id);
        return FALSE;
      }
      return kov_unit_control_set_enum(control, v, error);
    }
    case KOV_UNIT_CONTROL_TYPE_STRING:
      return kov_unit_control_set_string(control, text, error);
    default:
      g_set_error(error, KOV_ERROR, KOV_ERROR_BAD_VALUE, "%s: control \"%s\" has no value",
                  uid, p->id);
      return FALSE;
  }
}

void kov_unit_control_force_set_enum(KovUnitControl *control, gint value) {
  g_return_if_fail(KOV_IS_UNIT_CONTROL(control));
  KovUnitControlPrivate *p = control->priv;
  if (p->type != KOV_UNIT_CONTROL_TYPE_ENUM || find_entry(p, value) == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(values_lock);
    if (g_value_get_int(&p->value) == value) return;
    g_value_set_int(&p->value, value);
  }
  g_signal_emit(control, control_signals[SIGNAL_CHANGED], 0);
}

void kov_unit_control_set_display_format(KovUnitControl *control, const gchar *format) {
  g_return_if_fail(KOV_IS_UNIT_CONTROL(control));
  g_free(control->priv->display_format);
  control->priv->display_format = g_strdup(format);
}

void kov_unit_control_set_ui_hints(KovUnitControl *control, guint hints) {
  g_return_if_fail(KOV_IS_UNIT_CONTROL(control));
  control->priv->ui_hints = hints;
}

void kov_unit_control_set_enabled(KovUnitControl *control, gboolean enabled) {
  g_return_if_fail(KOV_IS_UNIT_CONTROL(control));
  control->priv->enabled = enabled;
}

const gchar *kov_unit_control_get_id(KovUnitControl *control) {
  g_return_val_if_fail(KOV_IS_UNIT_CONTROL(control), nullptr);
  return control->priv->id;
}

const gchar *kov_unit_control_get_label(KovUnitControl *control) {
  g_return_val_if_fail(KOV_IS_UNIT_CONTROL(control), nullptr);
  return control->priv->label;
}

KovUnitControlType kov_unit_control_get_control_type(KovUnitControl *control) {
  g_return_val_if_fail(KOV_IS_UNIT_CONTROL(control), KOV_UNIT_CONTROL_TYPE_INVALID);
  return control->priv->type;
}

KovUnit *kov_unit_control_get_unit(KovUnitControl *control) {
  g_return_val_if_fail(KOV_IS_UNIT_CONTROL(control), nullptr);
  return control->priv->unit;
}

gboolean kov_unit_control_is_enabled(KovUnitControl *control) {
  g_return_val_if_fail(KOV_IS_UNIT_CONTROL(control), FALSE);
  return control->priv->enabled;
}

guint kov_unit_control_get_ui_hints(KovUnitControl *control) {
  g_return_val_if_fail(KOV_IS_UNIT_CONTROL(control), 0);
  return control->priv->ui_hints;
}

const gchar *kov_unit_control_get_display_format(KovUnitControl *control) {
  g_return_val_if_fail(KOV_IS_UNIT_CONTROL(control), nullptr);
  return control->priv->display_format;
}

gdouble kov_unit_control_get_min(KovUnitControl *control) {
  g_return_val_if_fail(KOV_IS_UNIT_CONTROL(control), 0);
  return control->priv->min;
}

gdouble kov_unit_control_get_max(KovUnitControl *control) {
  g_return_val_if_fail(KOV_IS_UNIT_CONTROL(control), 0);
  return control->priv->max;
}

gdouble kov_unit_control_get_step(KovUnitControl *control) {
  g_return_val_if_fail(KOV_IS_UNIT_CONTROL(control), 0);
  return control->priv->step;
}

const GValue *kov_unit_control_get_default(KovUnitControl *control) {
  g_return_val_if_fail(KOV_IS_UNIT_CONTROL(control), nullptr);
  return &control->priv->def;
}

const KovUnitControlEnumEntry *kov_unit_control_get_enum_entries(KovUnitControl *control,
                                                                 guint *n_entries) {
  if (n_entries != nullptr) *n_entries = 0;
  g_return_val_if_fail(KOV_IS_UNIT_CONTROL(control), nullptr);
  if (n_entries != nullptr) *n_entries = control->priv->n_entries;
  return control->priv->entries;
}

gchar *kov_unit_control_value_to_string(KovUnitControl *control, const GValue *value) {
  g_return_val_if_fail(KOV_IS_UNIT_CONTROL(control) && value != nullptr, nullptr);
  KovUnitControlPrivate *p = control->priv;
  if (G_VALUE_TYPE(value) != value_type_for(p->type)) return g_strdup("?");
  switch (p->type) {
    case KOV_UNIT_CONTROL_TYPE_BOOLEAN:
      return g_strdup(g_value_get_boolean(value) ? "true" : "false");
    case KOV_UNIT_CONTROL_TYPE_INT:
      if (is_int_display_format(p->display_format)) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"  // checked: one int conversion
        return g_strdup_printf(p->display_format, g_value_get_int(value));
#pragma GCC diagnostic pop
      }
      return g_strdup_printf("%d", g_value_get_int(value));
    case KOV_UNIT_CONTROL_TYPE_FLOAT: {
      gchar buf[G_ASCII_DTOSTR_BUF_SIZE];
      return g_strdup(g_ascii_formatd(buf, sizeof buf, "%g", g_value_get_float(value)));
    }
    case KOV_UNIT_CONTROL_TYPE_ENUM: {
      const KovUnitControlEnumEntry *entry = find_entry(p, g_value_get_int(value));
      return entry != nullptr ? g_strdup(entry->nick) : g_strdup_printf("%d", g_value_get_int(value));
    }
    case KOV_UNIT_CONTROL_TYPE_STRING:
      return g_strdup(g_value_get_string(value) != nullptr ? g_value_get_string(value) : "");
    default:
      return g_strdup("");
  }
}

const gchar *kov_unit_control_type_name(KovUnitControlType type) {
  switch (type) {
    case KOV_UNIT_CONTROL_TYPE_INT: return "int";
    case KOV_UNIT_CONTROL_TYPE_BOOLEAN: return "boolean";
    case KOV_UNIT_CONTROL_TYPE_ENUM: return "enum";
    case KOV_UNIT_CONTROL_TYPE_STRING: return "string";
    case KOV_UNIT_CONTROL_TYPE_FLOAT: return "float";
    default: return "invalid";
  }
}
