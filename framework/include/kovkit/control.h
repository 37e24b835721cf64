/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* KovUnitControl: a user-settable parameter of a unit. Every change made
 * through the setters is checked (type, range, step grid, enum entry) before
 * the unit's control_change slot sees it. */
#ifndef KOVKIT_CONTROL_H
#define KOVKIT_CONTROL_H

#include <kovkit/types.h>

G_BEGIN_DECLS

#define KOV_TYPE_UNIT_CONTROL (kov_unit_control_get_type())
#define KOV_UNIT_CONTROL(o) (G_TYPE_CHECK_INSTANCE_CAST((o), KOV_TYPE_UNIT_CONTROL, KovUnitControl))
#define KOV_IS_UNIT_CONTROL(o) (G_TYPE_CHECK_INSTANCE_TYPE((o), KOV_TYPE_UNIT_CONTROL))

typedef struct _KovUnitControlPrivate KovUnitControlPrivate;

struct _KovUnitControl {
  GObject parent;
  KovUnitControlPrivate *priv;
};

typedef struct {
  GObjectClass parent_class;
} KovUnitControlClass;

/* One entry of an enum control; a list ends with an entry whose nick is NULL. */
typedef struct {
  gint32 value;
  const gchar *nick;
  gint32 enabled;
} KovUnitControlEnumEntry;

GType kov_unit_control_get_type(void);

/* Creation; each returns the control, which belongs to the unit. */
/**
 * kov_unit_add_control_boolean:
 * Returns: (transfer none): the new control.
 */
KovUnitControl *kov_unit_add_control_boolean(KovUnit *unit, const gchar *id, const gchar *label,
                                             gboolean def, gboolean enabled);
/**
 * kov_unit_add_control_int:
 * Returns: (transfer none): the new control.
 */
KovUnitControl *kov_unit_add_control_int(KovUnit *unit, const gchar *id, const gchar *label,
                                         gint min, gint max, gint step, gint def,
                                         gboolean enabled);
/**
 * kov_unit_add_control_float:
 * Returns: (transfer none): the new control.
 */
KovUnitControl *kov_unit_add_control_float(KovUnit *unit, const gchar *id, const gchar *label,
                                           gfloat min, gfloat max, gfloat step, gfloat def,
                                           gboolean enabled);
/**
 * kov_unit_add_control_enum:
 * Returns: (transfer none): the new control.
 */
KovUnitControl *kov_unit_add_control_enum(KovUnit *unit, const gchar *id, const gchar *label,
                                          gint def, gboolean enabled,
                                          const KovUnitControlEnumEntry *entries);
/**
 * kov_unit_add_control_string:
 * Returns: (transfer none): the new control.
 */
KovUnitControl *kov_unit_add_control_string(KovUnit *unit, const gchar *id, const gchar *label,
                                            const gchar *def, gboolean enabled);

/* Current values. A getter of the wrong kind returns 0 / FALSE / NULL. The
 * number getters may be called on any thread. */
gboolean kov_unit_control_get_boolean(KovUnitControl *control);
gint kov_unit_control_get_int(KovUnitControl *control);
gfloat kov_unit_control_get_float(KovUnitControl *control);
gint kov_unit_control_get_enum(KovUnitControl *control);
/* The stored text itself, valid until the control next changes: for the
 * unit's own thread, where changes are made. Other threads (a window, a
 * script, an application thread) take a copy with
 * kov_unit_control_dup_string. */
const gchar *kov_unit_control_get_string(KovUnitControl *control);
/**
 * kov_unit_control_dup_string:
 * Returns: (transfer full) (nullable): a copy of the current text, safe to
 * take on any thread; NULL for a control that holds no text.
 */
gchar *kov_unit_control_dup_string(KovUnitControl *control);
/**
 * kov_unit_control_get_value:
 * Returns: (transfer none): the current value; like
 * kov_unit_control_get_string, for the unit's own thread.
 */
const GValue *kov_unit_control_get_value(KovUnitControl *control);

/* A user's change: checked, then offered to the unit's control_change slot,
 * which may refuse or adjust it. Emits "changed" when a value is stored. */
gboolean kov_unit_control_set_value(KovUnitControl *control, const GValue *value,
                                    GError **error);
gboolean kov_unit_control_set_boolean(KovUnitControl *control, gboolean value, GError **error);
gboolean kov_unit_control_set_int(KovUnitControl *control, gint value, GError **error);
gboolean kov_unit_control_set_float(KovUnitControl *control, gfloat value, GError **error);
gboolean kov_unit_control_set_enum(KovUnitControl *control, gint value, GError **error);
gboolean kov_unit_control_set_string(KovUnitControl *control, const gchar *value,
                                     GError **error);
/* Parses text as the control's kind (booleans: true/false/yes/no/1/0, enums:
 * the value or the nick) and sets it. */
gboolean kov_unit_control_set_from_string(KovUnitControl *control, const gchar *text,
                                          GError **error);
/* Called by a unit's control_change before it returns FALSE: says why the
 * value is refused (a pipeline text that does not parse, naming the parse
 * error). The setter's error then ends with ": <reason>". */
void kov_unit_control_set_refusal_reason(KovUnitControl *control, const gchar *reason);
/* Sets an enum control directly, without asking the unit (a unit forcing its
 * own control). Values that are not entries are ignored. */
void kov_unit_control_force_set_enum(KovUnitControl *control, gint value);

void kov_unit_control_set_display_format(KovUnitControl *control, const gchar *format);
void kov_unit_control_set_ui_hints(KovUnitControl *control, guint hints);
void kov_unit_control_set_enabled(KovUnitControl *control, gboolean enabled);

/* Description of the control. */
const gchar *kov_unit_control_get_id(KovUnitControl *control);
const gchar *kov_unit_control_get_label(KovUnitControl *control);
KovUnitControlType kov_unit_control_get_control_type(KovUnitControl *control);
/**
 * kov_unit_control_get_unit:
 * Returns: (transfer none): the unit the control belongs to.
 */
KovUnit *kov_unit_control_get_unit(KovUnitControl *control);
gboolean kov_unit_control_is_enabled(KovUnitControl *control);
guint kov_unit_control_get_ui_hints(KovUnitControl *control);
const gchar *kov_unit_control_get_display_format(KovUnitControl *control);
/* Range of int and float controls, as doubles. */
gdouble kov_unit_control_get_min(KovUnitControl *control);
gdouble kov_unit_control_get_max(KovUnitControl *control);
gdouble kov_unit_control_get_step(KovUnitControl *control);
/**
 * kov_unit_control_get_default:
 * Returns: (transfer none): the default value.
 */
const GValue *kov_unit_control_get_default(KovUnitControl *control);
/**
 * kov_unit_control_get_enum_entries:
 * @n_entries: (out) (optional): the number of entries, without the last one
 *   (whose nick is NULL)
 *
 * Returns: (transfer none) (nullable) (array length=n_entries): the entries of
 * an enum control, NULL for controls of other kinds.
 */
const KovUnitControlEnumEntry *kov_unit_control_get_enum_entries(KovUnitControl *control,
                                                                 guint *n_entries);
/**
 * kov_unit_control_value_to_string:
 * Returns: (transfer full): a value as text, with the display format for ints
 * and the nick for enums.
 */
gchar *kov_unit_control_value_to_string(KovUnitControl *control, const GValue *value);
const gchar *kov_unit_control_type_name(KovUnitControlType type);

G_END_DECLS

#endif
