// SPDX-License-Identifier: LGPL-2.1-or-later
// KovUnitManagerWidget: the unit manager's descriptions as a tree, one branch
// per package (in identifier order), one row per unit with its label. Only
// unit rows can be dragged.
#include <kovkit-gtk/manager_widget.h>

#include <cstring>

G_DEFINE_TYPE(KovUnitManagerWidget, kov_unit_manager_widget, GTK_TYPE_TREE_VIEW)

namespace {

void fill(KovUnitManagerWidget *widget) {
  GtkTreeStore *store = GTK_TREE_STORE(widget->store);
  GList *descriptions = kov_unit_manager_get_unit_descriptions(widget->manager);
  GtkTreeIter package_iter;
  const gchar *current_package = nullptr;
  for (GList *l = descriptions; l != nullptr; l = l->next) {
    KovUnitDescription *desc = KOV_UNIT_DESCRIPTION(l->data);
    const gchar *package = kov_unit_description_get_package(desc);
    if (current_package == nullptr || g_strcmp0(package, current_package) != 0) {
      gtk_tree_store_insert_with_values(store, &package_iter, nullptr, -1,
                                        KOV_UNIT_MANAGER_WIDGET_COL_LABEL, package,
                                        KOV_UNIT_MANAGER_WIDGET_COL_DRAGGABLE, FALSE, -1);
      current_package = package;
    }
    GtkTreeIter iter;
    gtk_tree_store_insert_with_values(store, &iter, &package_iter, -1,
                                      KOV_UNIT_MANAGER_WIDGET_COL_LABEL,
                                      kov_unit_description_get_label(desc),
                                      KOV_UNIT_MANAGER_WIDGET_COL_ID,
                                      kov_unit_description_get_id(desc),
                                      KOV_UNIT_MANAGER_WIDGET_COL_DESCRIPTION, desc,
                                      KOV_UNIT_MANAGER_WIDGET_COL_DRAGGABLE, TRUE, -1);
  }
  g_list_free(descriptions);
}

// Finds the row of @id below @parent (NULL: the top level), depth first.
gboolean find_id(GtkTreeModel *model, GtkTreeIter *parent, const gchar *id, GtkTreeIter *found) {
  GtkTreeIter iter;
  if (!gtk_tree_model_iter_children(model, &iter, parent)) return FALSE;
  do {
    gchar *row_id = nullptr;
    gtk_tree_model_get(model, &iter, KOV_UNIT_MANAGER_WIDGET_COL_ID, &row_id, -1);
    const bool match = row_id != nullptr && strcmp(row_id, id) == 0;
    g_free(row_id);
    if (match) {
      *found = iter;
      return TRUE;
    }
    if (find_id(model, &iter, id, found)) return TRUE;
  } while (gtk_tree_model_iter_next(model, &iter));
  return FALSE;
}

void dispose(GObject *object) {
  KovUnitManagerWidget *widget = KOV_UNIT_MANAGER_WIDGET(object);
  g_clear_object(&widget->store);
  g_clear_object(&widget->manager);
  G_OBJECT_CLASS(kov_unit_manager_widget_parent_class)->dispose(object);
}

}  // namespace

static void kov_unit_manager_widget_class_init(KovUnitManagerWidgetClass *klass) {
  G_OBJECT_CLASS(klass)->dispose = dispose;
}

static void kov_unit_manager_widget_init(KovUnitManagerWidget *widget) {
  const GType types[KOV_UNIT_MANAGER_WIDGET_N_COLS] = {G_TYPE_STRING, G_TYPE_STRING,
                                                       KOV_TYPE_UNIT_DESCRIPTION, G_TYPE_BOOLEAN};
  widget->store = kov_tree_store_new(KOV_UNIT_MANAGER_WIDGET_N_COLS, types);
  kov_tree_store_set_draggable_col(widget->store, KOV_UNIT_MANAGER_WIDGET_COL_DRAGGABLE);
  widget->manager = kov_unit_manager_get_and_ref();
  fill(widget);

  GtkTreeView *view = GTK_TREE_VIEW(widget);
  gtk_tree_view_set_model(view, GTK_TREE_MODEL(widget->store));
  gtk_tree_view_insert_column_with_attributes(view, -1, "Unit", gtk_cell_renderer_text_new(),
                                              "text", KOV_UNIT_MANAGER_WIDGET_COL_LABEL, nullptr);
  gtk_tree_view_insert_column_with_attributes(view, -1, "Identifier",
                                              gtk_cell_renderer_text_new(), "text",
                                              KOV_UNIT_MANAGER_WIDGET_COL_ID, nullptr);
  gtk_tree_view_expand_all(view);
  static const GtkTargetEntry targets[] = {{const_cast<gchar *>("GTK_TREE_MODEL_ROW"),
                                            GTK_TARGET_SAME_APP, 0}};
  gtk_tree_view_enable_model_drag_source(view, GDK_BUTTON1_MASK, targets, G_N_ELEMENTS(targets),
                                         GDK_ACTION_COPY);
}

GtkWidget *kov_unit_manager_widget_new(void) {
  return GTK_WIDGET(g_object_new(KOV_TYPE_UNIT_MANAGER_WIDGET, nullptr));
}

KovUnitDescription *kov_unit_manager_widget_get_selected_description(KovUnitManagerWidget *widget) {
  g_return_val_if_fail(KOV_IS_UNIT_MANAGER_WIDGET(widget), nullptr);
  GtkTreeSelection *selection = gtk_tree_view_get_selection(GTK_TREE_VIEW(widget));
  GtkTreeModel *model = nullptr;
  GtkTreeIter iter;
  // A destroyed tree view has no selection any more.
  if (selection == nullptr || !gtk_tree_selection_get_selected(selection, &model, &iter))
    return nullptr;
  KovUnitDescription *desc = nullptr;
  gtk_tree_model_get(model, &iter, KOV_UNIT_MANAGER_WIDGET_COL_DESCRIPTION, &desc, -1);
  // The store keeps its own reference; the manager keeps the description alive.
  if (desc != nullptr) g_object_unref(desc);
  return desc;
}

gboolean kov_unit_manager_widget_select_id(KovUnitManagerWidget *widget, const gchar *id) {
  g_return_val_if_fail(KOV_IS_UNIT_MANAGER_WIDGET(widget), FALSE);
  if (id == nullptr) return FALSE;
  GtkTreeIter iter;
  if (!find_id(GTK_TREE_MODEL(widget->store), nullptr, id, &iter)) return FALSE;
  gtk_tree_selection_select_iter(gtk_tree_view_get_selection(GTK_TREE_VIEW(widget)), &iter);
  return TRUE;
}
