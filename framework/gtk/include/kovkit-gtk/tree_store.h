/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* KovTreeStore: a GtkTreeStore whose rows can be dragged only where a
 * boolean column says so. */
#ifndef KOVKIT_GTK_TREE_STORE_H
#define KOVKIT_GTK_TREE_STORE_H

#include <gtk/gtk.h>

G_BEGIN_DECLS

#define KOV_TYPE_TREE_STORE (kov_tree_store_get_type())
#define KOV_TREE_STORE(o) (G_TYPE_CHECK_INSTANCE_CAST((o), KOV_TYPE_TREE_STORE, KovTreeStore))
#define KOV_IS_TREE_STORE(o) (G_TYPE_CHECK_INSTANCE_TYPE((o), KOV_TYPE_TREE_STORE))

typedef struct _KovTreeStore KovTreeStore;
typedef struct _KovTreeStoreClass KovTreeStoreClass;

struct _KovTreeStore {
  GtkTreeStore parent;
  gint draggable_col; /* boolean column that allows a drag; -1: every row */
};

struct _KovTreeStoreClass {
  GtkTreeStoreClass parent_class;
};

GType kov_tree_store_get_type(void);

/**
 * kov_tree_store_new:
 * Returns: (transfer full): a store with the given column types.
 */
KovTreeStore *kov_tree_store_new(gint n_columns, const GType *types);

/* Rows may be dragged only when their boolean column @col is TRUE; -1 lets
 * every row be dragged. A column that is out of range or not boolean is
 * refused with a warning and the setting is kept. */
void kov_tree_store_set_draggable_col(KovTreeStore *store, gint col);
gint kov_tree_store_get_draggable_col(KovTreeStore *store);

G_END_DECLS

#endif
