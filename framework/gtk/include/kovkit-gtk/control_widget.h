/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* KovUnitControlWidget: one live row per control of a unit. Booleans get a
 * check button, ints and floats a spin button or a slider (by UI hint), enums
 * a combo box and strings an entry. A change goes through the framework's
 * control setter, so a refused value springs back to the stored one. */
#ifndef KOVKIT_GTK_CONTROL_WIDGET_H
#define KOVKIT_GTK_CONTROL_WIDGET_H

#include <gtk/gtk.h>
#include <kovkit/kovkit.h>

G_BEGIN_DECLS

#define KOV_TYPE_UNIT_CONTROL_WIDGET (kov_unit_control_widget_get_type())
#define KOV_UNIT_CONTROL_WIDGET(o) (G_TYPE_CHECK_INSTANCE_CAST((o), KOV_TYPE_UNIT_CONTROL_WIDGET, KovUnitControlWidget))
#define KOV_IS_UNIT_CONTROL_WIDGET(o) (G_TYPE_CHECK_INSTANCE_TYPE((o), KOV_TYPE_UNIT_CONTROL_WIDGET))

typedef struct _KovUnitControlWidget KovUnitControlWidget;
typedef struct _KovUnitControlWidgetClass KovUnitControlWidgetClass;

struct _KovUnitControlWidget {
  GtkEventBox parent;
  GtkExpander *expander;
  GtkGrid *grid;
  KovUnit *unit;   /* reference */
  GPtrArray *rows; /* one record per control, owned */
};

struct _KovUnitControlWidgetClass {
  GtkEventBoxClass parent_class;
};

GType kov_unit_control_widget_get_type(void);

/**
 * kov_unit_control_widget_new:
 * Returns: (transfer floating):
 */
GtkWidget *kov_unit_control_widget_new(void);
/**
 * kov_unit_control_widget_set_unit:
 * @unit: (nullable): the unit whose controls to show
 *
 * Shows the controls of @unit (reference kept; NULL shows nothing).
 *
 * Returns: 0, or -1 when @unit is not a unit.
 */
gint kov_unit_control_widget_set_unit(KovUnitControlWidget *widget, KovUnit *unit);
/**
 * kov_unit_control_widget_get_unit:
 * Returns: (transfer none) (nullable):
 */
KovUnit *kov_unit_control_widget_get_unit(KovUnitControlWidget *widget);
void kov_unit_control_widget_set_expanded(KovUnitControlWidget *widget, gint expanded);
/* Lets go of the unit: removes the rows and every connection to it. */
void kov_unit_control_widget_detach(KovUnitControlWidget *widget);

/**
 * kov_unit_control_widget_get_editor:
 * Returns: (transfer none) (nullable): the editor of the control with that
 * id (GtkCheckButton, GtkSpinButton, GtkScale, GtkComboBoxText, GtkEntry).
 */
GtkWidget *kov_unit_control_widget_get_editor(KovUnitControlWidget *widget, const gchar *id);

G_END_DECLS

#endif
