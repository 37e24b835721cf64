/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* KovUnitChainWidget: lists the units of a chain in order; selecting one
 * emits "unit-selected" (unit). */
#ifndef KOVKIT_GTK_CHAIN_WIDGET_H
#define KOVKIT_GTK_CHAIN_WIDGET_H

#include <gtk/gtk.h>
#include <kovkit/kovkit.h>

G_BEGIN_DECLS

#define KOV_TYPE_UNIT_CHAIN_WIDGET (kov_unit_chain_widget_get_type())
#define KOV_UNIT_CHAIN_WIDGET(o) (G_TYPE_CHECK_INSTANCE_CAST((o), KOV_TYPE_UNIT_CHAIN_WIDGET, KovUnitChainWidget))
#define KOV_IS_UNIT_CHAIN_WIDGET(o) (G_TYPE_CHECK_INSTANCE_TYPE((o), KOV_TYPE_UNIT_CHAIN_WIDGET))

typedef struct _KovUnitChainWidget KovUnitChainWidget;
typedef struct _KovUnitChainWidgetClass KovUnitChainWidgetClass;

struct _KovUnitChainWidget {
  GtkEventBox parent;
  GtkListBox *list;
  KovUnitChain *chain; /* reference */
};

struct _KovUnitChainWidgetClass {
  GtkEventBoxClass parent_class;
};

GType kov_unit_chain_widget_get_type(void);

/**
 * kov_unit_chain_widget_new:
 * Returns: (transfer floating):
 */
GtkWidget *kov_unit_chain_widget_new(void);
/**
 * kov_unit_chain_widget_set_chain:
 * @chain: (nullable): the chain to show
 *
 * Shows the units of @chain (reference kept; NULL clears).
 *
 * Returns: 0, or -1 when @chain is not a chain.
 */
gint kov_unit_chain_widget_set_chain(KovUnitChainWidget *widget, KovUnitChain *chain);
/**
 * kov_unit_chain_widget_get_chain:
 * Returns: (transfer none) (nullable):
 */
KovUnitChain *kov_unit_chain_widget_get_chain(KovUnitChainWidget *widget);
/* Rebuilds the rows after the chain's units changed. */
void kov_unit_chain_widget_refresh(KovUnitChainWidget *widget);
/**
 * kov_unit_chain_widget_find_unit_by_id:
 * Returns: (transfer none) (nullable): the chain's first unit with that id.
 */
KovUnit *kov_unit_chain_widget_find_unit_by_id(KovUnitChainWidget *widget, const gchar *unit_id);
/**
 * kov_unit_chain_widget_get_selected_unit:
 * Returns: (transfer none) (nullable): the selected unit.
 */
KovUnit *kov_unit_chain_widget_get_selected_unit(KovUnitChainWidget *widget);

G_END_DECLS

#endif
