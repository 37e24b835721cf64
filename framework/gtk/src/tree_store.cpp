// SPDX-License-Identifier: LGPL-2.1-or-later
// KovTreeStore: a GtkTreeStore whose rows are draggable only where a chosen
// boolean column holds TRUE (package rows of the manager widget, for example,
// cannot be dragged while their unit rows can).
#include <kovkit-gtk/tree_store.h>

static void kov_tree_store_drag_source_init(GtkTreeDragSourceIface *iface);

G_DEFINE_TYPE_WITH_CODE(KovTreeStore, kov_tree_store, GTK_TYPE_TREE_STORE,
                        G_IMPLEMENT_INTERFACE(GTK_TYPE_TREE_DRAG_SOURCE,
                                              kov_tree_store_drag_source_init))

namespace {

GtkTreeDragSourceIface *parent_drag_source;

gboolean row_draggable(GtkTreeDragSource *source, GtkTreePath *path) {
  KovTreeStore *store = KOV_TREE_STORE(source);
  if (store->draggable_col < 0) return parent_drag_source->row_draggable(source, path);
  GtkTreeIter iter;
  if (!gtk_tree_model_get_iter(GTK_TREE_MODEL(store), &iter, path)) return FALSE;
  gboolean draggable = FALSE;
  gtk_tree_model_get(GTK_TREE_MODEL(store), &iter, store->draggable_col, &draggable, -1);
  return draggable;
}

}  // namespace

static void kov_tree_store_drag_source_init(GtkTreeDragSourceIface *iface) {
  parent_drag_source = static_cast<GtkTreeDragSourceIface *>(g_type_interface_peek_parent(iface));
  iface->row_draggable = row_draggable;
}

static void kov_tree_store_class_init(KovTreeStoreClass *) {}

static void kov_tree_store_init(KovTreeStore *store) {
  store->draggable_col = -1;
}

KovTreeStore *kov_tree_store_new(gint n_columns, const GType *types) {
  g_return_val_if_fail(n_columns > 0 && types != nullptr, nullptr);
  KovTreeStore *store = KOV_TREE_STORE(g_object_new(KOV_TYPE_TREE_STORE, nullptr));
  gtk_tree_store_set_column_types(GTK_TREE_STORE(store), n_columns, const_cast<GType *>(types));
  return store;
}

void kov_tree_store_set_draggable_col(KovTreeStore *store, gint col) {
  g_return_if_fail(KOV_IS_TREE_STORE(store));
  GtkTreeModel *model = GTK_TREE_MODEL(store);
  if (col >= 0 && (col >= gtk_tree_model_get_n_columns(model) ||
                   gtk_tree_model_get_column_type(model, col) != G_TYPE_BOOLEAN)) {
    g_warning("kov_tree_store_set_draggable_col: column %d is not a boolean column", col);
    return;
  }
  store->draggable_col = col < 0 ? -1 : col;
}

gint kov_tree_store_get_draggable_col(KovTreeStore *store) {
  g_return_val_if_fail(KOV_IS_TREE_STORE(store), -1);
  return store->draggable_col;
}
