// SPDX-License-Identifier: LGPL-2.1-or-later
// KovUnitChainWidget: one row per unit of the chain, in chain order, with the
// unit's name and identifier; selecting a row emits "unit-selected".
#include <kovkit-gtk/chain_widget.h>

G_DEFINE_TYPE(KovUnitChainWidget, kov_unit_chain_widget, GTK_TYPE_EVENT_BOX)

namespace {

enum { SIGNAL_UNIT_SELECTED, N_SIGNALS };
guint signals[N_SIGNALS];

const char kUnitKey[] = "kov-unit";

void clear_rows(KovUnitChainWidget *widget) {
  GList *children = gtk_container_get_children(GTK_CONTAINER(widget->list));
  for (GList *l = children; l != nullptr; l = l->next) gtk_widget_destroy(GTK_WIDGET(l->data));
  g_list_free(children);
}

GtkWidget *make_row(KovUnit *unit, guint index) {
  const gchar *id = kov_unit_get_id(unit);
  gchar *text = g_strdup_printf("%u. %s%s%s%s", index + 1, kov_unit_get_name(unit),
                                *id != '\0' ? " (" : "", id, *id != '\0' ? ")" : "");
  GtkWidget *label = gtk_label_new(text);
  g_free(text);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_widget_set_margin_start(label, 4);
  gtk_widget_set_margin_end(label, 4);
  GtkWidget *row = gtk_list_box_row_new();
  gtk_container_add(GTK_CONTAINER(row), label);
  // The row keeps its unit alive: the chain may drop it before the row goes.
  g_object_set_data_full(G_OBJECT(row), kUnitKey, g_object_ref(unit), g_object_unref);
  gtk_widget_show_all(row);
  return row;
}

void on_row_selected(GtkListBox *, GtkListBoxRow *row, gpointer data) {
  if (row == nullptr) return;
  auto *unit = static_cast<KovUnit *>(g_object_get_data(G_OBJECT(row), kUnitKey));
  if (unit != nullptr) g_signal_emit(data, signals[SIGNAL_UNIT_SELECTED], 0, unit);
}

void dispose(GObject *object) {
  KovUnitChainWidget *widget = KOV_UNIT_CHAIN_WIDGET(object);
  g_clear_object(&widget->chain);
  G_OBJECT_CLASS(kov_unit_chain_widget_parent_class)->dispose(object);
}

}  // namespace

static void kov_unit_chain_widget_class_init(KovUnitChainWidgetClass *klass) {
  G_OBJECT_CLASS(klass)->dispose = dispose;
  signals[SIGNAL_UNIT_SELECTED] =
      g_signal_new("unit-selected", G_TYPE_FROM_CLASS(klass), G_SIGNAL_RUN_LAST, 0, nullptr,
                   nullptr, nullptr, G_TYPE_NONE, 1, KOV_TYPE_UNIT);
}

static void kov_unit_chain_widget_init(KovUnitChainWidget *widget) {
  widget->list = GTK_LIST_BOX(gtk_list_box_new());
  gtk_list_box_set_selection_mode(widget->list, GTK_SELECTION_SINGLE);
  g_signal_connect(widget->list, "row-selected", G_CALLBACK(on_row_selected), widget);
  gtk_container_add(GTK_CONTAINER(widget), GTK_WIDGET(widget->list));
  gtk_widget_show(GTK_WIDGET(widget->list));
}

GtkWidget *kov_unit_chain_widget_new(void) {
  return GTK_WIDGET(g_object_new(KOV_TYPE_UNIT_CHAIN_WIDGET, nullptr));
}

gint kov_unit_chain_widget_set_chain(KovUnitChainWidget *widget, KovUnitChain *chain) {
  g_return_val_if_fail(KOV_IS_UNIT_CHAIN_WIDGET(widget), -1);
  if (chain != nullptr && !KOV_IS_UNIT_CHAIN(chain)) return -1;
  if (chain != widget->chain) {
    if (chain != nullptr) g_object_ref_sink(chain);
    if (widget->chain != nullptr) g_object_unref(widget->chain);
    widget->chain = chain;
  }
  kov_unit_chain_widget_refresh(widget);
  return 0;
}

KovUnitChain *kov_unit_chain_widget_get_chain(KovUnitChainWidget *widget) {
  g_return_val_if_fail(KOV_IS_UNIT_CHAIN_WIDGET(widget), nullptr);
  return widget->chain;
}

void kov_unit_chain_widget_refresh(KovUnitChainWidget *widget) {
  g_return_if_fail(KOV_IS_UNIT_CHAIN_WIDGET(widget));
  clear_rows(widget);
  if (widget->chain == nullptr) return;
  guint index = 0;
  for (const GList *l = kov_unit_chain_get_units(widget->chain); l != nullptr; l = l->next)
    gtk_container_add(GTK_CONTAINER(widget->list), make_row(KOV_UNIT(l->data), index++));
}

KovUnit *kov_unit_chain_widget_find_unit_by_id(KovUnitChainWidget *widget, const gchar *unit_id) {
  g_return_val_if_fail(KOV_IS_UNIT_CHAIN_WIDGET(widget), nullptr);
  if (widget->chain == nullptr || unit_id == nullptr) return nullptr;
  return kov_unit_chain_find_unit_by_id(widget->chain, unit_id);
}

KovUnit *kov_unit_chain_widget_get_selected_unit(KovUnitChainWidget *widget) {
  g_return_val_if_fail(KOV_IS_UNIT_CHAIN_WIDGET(widget), nullptr);
  GtkListBoxRow *row = gtk_list_box_get_selected_row(widget->list);
  if (row == nullptr) return nullptr;
  return static_cast<KovUnit *>(g_object_get_data(G_OBJECT(row), kUnitKey));
}
