// SPDX-License-Identifier: LGPL-2.1-or-later
// KovUnitDescriptionWidget: a read-only text view that describes the unit
// selected in a manager widget (label, identifier, package, name, flags).
#include <kovkit-gtk/description_widget.h>

G_DEFINE_TYPE(KovUnitDescriptionWidget, kov_unit_description_widget, GTK_TYPE_TEXT_VIEW)

namespace {

void append_flags(GString *text, guint flags) {
  static const struct {
    guint bit;
    const char *name;
  } names[] = {{KOV_UNIT_RENDERS_GL, "renders GL"},
               {KOV_UNIT_EVENT_METHOD_FD, "event based on fd polling"},
               {KOV_UNIT_EVENT_METHOD_TIMEOUT, "event based on timeout"}};
  g_string_append_printf(text, "Flags: 0x%x", flags);
  const char *sep = " (";
  for (const auto &n : names) {
    if (flags & n.bit) {
      g_string_append_printf(text, "%s%s", sep, n.name);
      sep = ", ";
    }
  }
  if (sep[0] == ',') g_string_append_c(text, ')');
  g_string_append_c(text, '\n');
}

void show_selection(KovUnitDescriptionWidget *widget) {
  KovUnitDescription *desc = nullptr;
  if (widget->manager != nullptr)
    desc = kov_unit_manager_widget_get_selected_description(widget->manager);
  gchar *text = kov_unit_description_widget_describe(desc);
  gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(widget)), text, -1);
  g_free(text);
}

void on_selection_changed(GtkTreeSelection *, gpointer data) {
  show_selection(KOV_UNIT_DESCRIPTION_WIDGET(data));
}

// The selection is kept by reference of its own: a destroyed tree view has
// already let go of its selection when this widget is disposed after it.
void forget_manager(KovUnitDescriptionWidget *widget) {
  if (widget->selection != nullptr) {
    g_signal_handler_disconnect(widget->selection, widget->selection_handler);
    widget->selection_handler = 0;
    g_clear_object(&widget->selection);
  }
  g_clear_object(&widget->manager);
}

void dispose(GObject *object) {
  forget_manager(KOV_UNIT_DESCRIPTION_WIDGET(object));
  G_OBJECT_CLASS(kov_unit_description_widget_parent_class)->dispose(object);
}

}  // namespace

static void kov_unit_description_widget_class_init(KovUnitDescriptionWidgetClass *klass) {
  G_OBJECT_CLASS(klass)->dispose = dispose;
}

static void kov_unit_description_widget_init(KovUnitDescriptionWidget *widget) {
  gtk_text_view_set_editable(GTK_TEXT_VIEW(widget), FALSE);
  gtk_text_view_set_cursor_visible(GTK_TEXT_VIEW(widget), FALSE);
  gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(widget), GTK_WRAP_WORD);
}

GtkWidget *kov_unit_description_widget_new(void) {
  return GTK_WIDGET(g_object_new(KOV_TYPE_UNIT_DESCRIPTION_WIDGET, nullptr));
}

gint kov_unit_description_widget_set_manager(KovUnitDescriptionWidget *widget,
                                             KovUnitManagerWidget *manager) {
  g_return_val_if_fail(KOV_IS_UNIT_DESCRIPTION_WIDGET(widget), -1);
  if (manager != nullptr && !KOV_IS_UNIT_MANAGER_WIDGET(manager)) return -1;
  if (manager != nullptr) g_object_ref(manager);
  forget_manager(widget);
  widget->manager = manager;
  if (manager != nullptr) {
    widget->selection =
        GTK_TREE_SELECTION(g_object_ref(gtk_tree_view_get_selection(GTK_TREE_VIEW(manager))));
    widget->selection_handler = g_signal_connect(widget->selection, "changed",
                                                 G_CALLBACK(on_selection_changed), widget);
  }
  show_selection(widget);
  return 0;
}

gchar *kov_unit_description_widget_describe(KovUnitDescription *desc) {
  if (desc == nullptr || !KOV_IS_UNIT_DESCRIPTION(desc)) return g_strdup("");
  GString *text = g_string_new(nullptr);
  g_string_append_printf(text, "%s\n", kov_unit_description_get_label(desc));
  g_string_append_printf(text, "Identifier: %s\n", kov_unit_description_get_id(desc));
  g_string_append_printf(text, "Package: %s\n", kov_unit_description_get_package(desc));
  g_string_append_printf(text, "Name: %s\n", kov_unit_description_get_name(desc));
  append_flags(text, kov_unit_description_get_flags(desc));
  return g_string_free(text, FALSE);
}
