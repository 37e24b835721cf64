/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* KovUnitDescriptionWidget: a read-only text view describing the unit
 * selected in a KovUnitManagerWidget. */
#ifndef KOVKIT_GTK_DESCRIPTION_WIDGET_H
#define KOVKIT_GTK_DESCRIPTION_WIDGET_H

#include <kovkit-gtk/manager_widget.h>

G_BEGIN_DECLS

#define KOV_TYPE_UNIT_DESCRIPTION_WIDGET (kov_unit_description_widget_get_type())
#define KOV_UNIT_DESCRIPTION_WIDGET(o) (G_TYPE_CHECK_INSTANCE_CAST((o), KOV_TYPE_UNIT_DESCRIPTION_WIDGET, KovUnitDescriptionWidget))
#define KOV_IS_UNIT_DESCRIPTION_WIDGET(o) (G_TYPE_CHECK_INSTANCE_TYPE((o), KOV_TYPE_UNIT_DESCRIPTION_WIDGET))

typedef struct _KovUnitDescriptionWidget KovUnitDescriptionWidget;
typedef struct _KovUnitDescriptionWidgetClass KovUnitDescriptionWidgetClass;

struct _KovUnitDescriptionWidget {
  GtkTextView parent;
  KovUnitManagerWidget *manager; /* reference */
  GtkTreeSelection *selection;   /* reference: the manager's selection */
  gulong selection_handler;
};

struct _KovUnitDescriptionWidgetClass {
  GtkTextViewClass parent_class;
};

GType kov_unit_description_widget_get_type(void);

/**
 * kov_unit_description_widget_new:
 * Returns: (transfer floating):
 */
GtkWidget *kov_unit_description_widget_new(void);
/**
 * kov_unit_description_widget_set_manager:
 * @manager: (nullable): the manager widget to follow
 *
 * Follows the selection of @manager (NULL stops following).
 *
 * Returns: 0, or -1 when @manager is not a manager widget.
 */
gint kov_unit_description_widget_set_manager(KovUnitDescriptionWidget *widget,
                                             KovUnitManagerWidget *manager);
/**
 * kov_unit_description_widget_describe:
 * @description: (nullable): a description
 *
 * Returns: (transfer full): the text shown for @description ("" for NULL).
 */
gchar *kov_unit_description_widget_describe(KovUnitDescription *description);

G_END_DECLS

#endif
