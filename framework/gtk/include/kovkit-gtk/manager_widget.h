/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* KovUnitManagerWidget: a tree view of the unit manager's descriptions, one
 * branch per package. */
#ifndef KOVKIT_GTK_MANAGER_WIDGET_H
#define KOVKIT_GTK_MANAGER_WIDGET_H

#include <gtk/gtk.h>
#include <kovkit/kovkit.h>
#include <kovkit-gtk/tree_store.h>

G_BEGIN_DECLS

#define KOV_TYPE_UNIT_MANAGER_WIDGET (kov_unit_manager_widget_get_type())
#define KOV_UNIT_MANAGER_WIDGET(o) (G_TYPE_CHECK_INSTANCE_CAST((o), KOV_TYPE_UNIT_MANAGER_WIDGET, KovUnitManagerWidget))
#define KOV_IS_UNIT_MANAGER_WIDGET(o) (G_TYPE_CHECK_INSTANCE_TYPE((o), KOV_TYPE_UNIT_MANAGER_WIDGET))

/* Columns of the widget's model. */
enum {
  KOV_UNIT_MANAGER_WIDGET_COL_LABEL,       /* package, or the unit's label */
  KOV_UNIT_MANAGER_WIDGET_COL_ID,          /* "package.name"; NULL for packages */
  KOV_UNIT_MANAGER_WIDGET_COL_DESCRIPTION, /* KovUnitDescription; NULL for packages */
  KOV_UNIT_MANAGER_WIDGET_COL_DRAGGABLE,   /* TRUE for descriptions */
  KOV_UNIT_MANAGER_WIDGET_N_COLS
};

typedef struct _KovUnitManagerWidget KovUnitManagerWidget;
typedef struct _KovUnitManagerWidgetClass KovUnitManagerWidgetClass;

struct _KovUnitManagerWidget {
  GtkTreeView parent;
  KovTreeStore *store;
  KovUnitManager *manager; /* reference */
};

struct _KovUnitManagerWidgetClass {
  GtkTreeViewClass parent_class;
};

GType kov_unit_manager_widget_get_type(void);

/**
 * kov_unit_manager_widget_new:
 * Returns: (transfer floating): a widget filled from the unit manager.
 */
GtkWidget *kov_unit_manager_widget_new(void);
/**
 * kov_unit_manager_widget_get_selected_description:
 * Returns: (transfer none) (nullable): the selected description; NULL when
 * nothing or a package row is selected.
 */
KovUnitDescription *kov_unit_manager_widget_get_selected_description(KovUnitManagerWidget *widget);
/* Selects the description with that id; FALSE when there is none. */
gboolean kov_unit_manager_widget_select_id(KovUnitManagerWidget *widget, const gchar *id);

G_END_DECLS

#endif
