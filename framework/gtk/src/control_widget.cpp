// SPDX-License-Identifier: LGPL-2.1-or-later
// KovUnitControlWidget: an expander with one row per control of a unit. Each
// row's editor follows the control ("changed") and sends the user's changes
// through the framework's setters; after every change the editor shows the
// stored value again, so a refused or adjusted value springs back at once.
#include <kovkit-gtk/control_widget.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

G_DEFINE_TYPE(KovUnitControlWidget, kov_unit_control_widget, GTK_TYPE_EVENT_BOX)

namespace {

// One control and its editor; owned by the widget's rows array.
struct Row {
  KovUnitControlWidget *widget;  // the widget whose rows hold this one
  KovUnitControl *control;  // reference
  GtkWidget *editor;        // reference (the grid holds another)
  gulong control_handler;
  gulong editor_handler;
};

void row_free(gpointer data) {
  Row *row = static_cast<Row *>(data);
  if (row->control_handler != 0) g_signal_handler_disconnect(row->control, row->control_handler);
  if (row->editor_handler != 0) g_signal_handler_disconnect(row->editor, row->editor_handler);
  g_object_unref(row->editor);
  g_object_unref(row->control);
  g_free(row);
}

GtkAdjustment *editor_adjustment(GtkWidget *editor) {
  if (GTK_IS_SPIN_BUTTON(editor)) return gtk_spin_button_get_adjustment(GTK_SPIN_BUTTON(editor));
  return gtk_range_get_adjustment(GTK_RANGE(editor));
}

// Shows the control's stored value in its editor without reacting to it.
void show_value(Row *row) {
  KovUnitControl *control = row->control;
  GtkWidget *editor = row->editor;
  if (row->editor_handler != 0) g_signal_handler_block(editor, row->editor_handler);
  switch (kov_unit_control_get_control_type(control)) {
    case KOV_UNIT_CONTROL_TYPE_BOOLEAN:
      gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(editor), kov_unit_control_get_boolean(control));
      break;
    case KOV_UNIT_CONTROL_TYPE_INT:
      gtk_adjustment_set_value(editor_adjustment(editor), kov_unit_control_get_int(control));
      break;
    case KOV_UNIT_CONTROL_TYPE_FLOAT:
      gtk_adjustment_set_value(editor_adjustment(editor), kov_unit_control_get_float(control));
      break;
    case KOV_UNIT_CONTROL_TYPE_ENUM: {
      gchar *id = g_strdup_printf("%d", kov_unit_control_get_enum(control));
      gtk_combo_box_set_active_id(GTK_COMBO_BOX(editor), id);
      g_free(id);
      break;
    }
    case KOV_UNIT_CONTROL_TYPE_STRING: {
      gchar *text = kov_unit_control_dup_string(control);
      gtk_entry_set_text(GTK_ENTRY(editor), text != nullptr ? text : "");
      g_free(text);
      break;
    }
    default: {
      gchar *text = kov_unit_control_value_to_string(control, kov_unit_control_get_value(control));
      gtk_label_set_text(GTK_LABEL(editor), text != nullptr ? text : "");
      g_free(text);
      break;
    }
  }
  gtk_widget_set_sensitive(editor, kov_unit_control_is_enabled(control));
  if (row->editor_handler != 0) g_signal_handler_unblock(editor, row->editor_handler);
}

// The user changed an editor: offer the value to the framework, then show
// whatever it stored (the old value when it refused).
void on_editor_changed(GtkWidget *editor, gpointer data) {
  Row *row = static_cast<Row *>(data);
  KovUnitControl *control = row->control;
  GError *error = nullptr;
  switch (kov_unit_control_get_control_type(control)) {
    case KOV_UNIT_CONTROL_TYPE_BOOLEAN:
      kov_unit_control_set_boolean(control, gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(editor)),
                                   &error);
      break;
    case KOV_UNIT_CONTROL_TYPE_INT:
      kov_unit_control_set_int(
          control, static_cast<gint>(std::lround(gtk_adjustment_get_value(editor_adjustment(editor)))),
          &error);
      break;
    case KOV_UNIT_CONTROL_TYPE_FLOAT:
      kov_unit_control_set_float(
          control, static_cast<gfloat>(gtk_adjustment_get_value(editor_adjustment(editor))), &error);
      break;
    case KOV_UNIT_CONTROL_TYPE_ENUM: {
      const gchar *id = gtk_combo_box_get_active_id(GTK_COMBO_BOX(editor));
      if (id != nullptr) kov_unit_control_set_enum(control, static_cast<gint>(atoi(id)), &error);
      break;
    }
    case KOV_UNIT_CONTROL_TYPE_STRING:
      kov_unit_control_set_string(control, gtk_entry_get_text(GTK_ENTRY(editor)), &error);
      break;
    default:
      break;
  }
  if (error != nullptr) {
    gtk_widget_set_tooltip_text(editor, error->message);
    g_error_free(error);
  } else {
    gtk_widget_set_tooltip_text(editor, nullptr);
  }
  show_value(row);
}

// A change applied on a chain's own thread is shown from the main loop, if
// the widget still has a row for the control by then.
struct ChangedElsewhere {
  KovUnitControlWidget *widget;  // reference
  KovUnitControl *control;       // reference
};

gboolean show_changed_elsewhere(gpointer data) {
  auto *c = static_cast<ChangedElsewhere *>(data);
  GPtrArray *rows = c->widget->rows;
  for (guint i = 0; rows != nullptr && i < rows->len; ++i) {
    Row *row = static_cast<Row *>(g_ptr_array_index(rows, i));
    if (row->control == c->control) show_value(row);
  }
  return G_SOURCE_REMOVE;
}

void free_changed_elsewhere(gpointer data) {
  auto *c = static_cast<ChangedElsewhere *>(data);
  g_object_unref(c->widget);
  g_object_unref(c->control);
  g_free(c);
}

void on_control_changed(KovUnitControl *control, gpointer data) {
  Row *row = static_cast<Row *>(data);
  if (kov_chain_thread_in_chain_thread()) {
    auto *c = g_new(ChangedElsewhere, 1);
    c->widget = KOV_UNIT_CONTROL_WIDGET(g_object_ref(row->widget));
    c->control = KOV_UNIT_CONTROL(g_object_ref(control));
    g_idle_add_full(G_PRIORITY_DEFAULT, show_changed_elsewhere, c, free_changed_elsewhere);
    return;
  }
  show_value(row);
}

gint digits_for_step(gdouble step) {
  gint digits = 0;
  while (digits < 6 && step > 0 && std::fabs(step - std::round(step)) > 1e-9) {
    step *= 10;
    ++digits;
  }
  return digits;
}

// The text of an int control's value in its display format ("0x%02X" shows
// 127 as "0x7F"); the framework falls back to "%d" for a format that is not
// one int conversion.
gchar *int_text(KovUnitControl *control, gdouble value) {
  GValue v = G_VALUE_INIT;
  g_value_init(&v, G_TYPE_INT);
  g_value_set_int(&v, static_cast<gint>(std::lround(value)));
  gchar *text = kov_unit_control_value_to_string(control, &v);
  g_value_unset(&v);
  return text;
}

// "output" of a spin button: its value in the display format.
gboolean on_spin_output(GtkSpinButton *spin, gpointer data) {
  gchar *text = int_text(KOV_UNIT_CONTROL(data), gtk_spin_button_get_value(spin));
  if (g_strcmp0(text, gtk_entry_get_text(GTK_ENTRY(spin))) != 0)
    gtk_entry_set_text(GTK_ENTRY(spin), text);
  g_free(text);
  return TRUE;
}

// "input" of a spin button: reads back what the user typed in the display
// format. The text before the conversion may be typed or left out, the
// number is read in the conversion's base (16 for %x and %X, 8 for %o), and
// anything after it is ignored.
gint on_spin_input(GtkSpinButton *spin, gdouble *value, gpointer data) {
  const gchar *format = kov_unit_control_get_display_format(KOV_UNIT_CONTROL(data));
  const gchar *conversion = format != nullptr ? strchr(format, '%') : nullptr;
  if (conversion == nullptr) return FALSE;
  const gchar *text = gtk_entry_get_text(GTK_ENTRY(spin));
  while (g_ascii_isspace(*text)) ++text;
  const gsize prefix = static_cast<gsize>(conversion - format);
  if (strncmp(text, format, prefix) == 0) text += prefix;
  conversion += 1 + strspn(conversion + 1, "-+ #0123456789.");
  const guint base = *conversion == 'x' || *conversion == 'X' ? 16 : *conversion == 'o' ? 8 : 10;
  gchar *end = nullptr;
  const gint64 number = g_ascii_strtoll(text, &end, base);
  if (end == text) return GTK_INPUT_ERROR;
  *value = static_cast<gdouble>(number);
  return TRUE;
}

// "format-value" of a slider: its value in the display format.
gchar *on_scale_format_value(GtkScale *, gdouble value, gpointer data) {
  return int_text(KOV_UNIT_CONTROL(data), value);
}

void unref_control(gpointer control, GClosure *) { g_object_unref(control); }

// Int editors of a control with a display format show their value in it.
void use_display_format(GtkWidget *editor, KovUnitControl *control) {
  if (kov_unit_control_get_display_format(control) == nullptr) return;
  // Each handler holds a reference to the control for as long as the editor lives.
  auto connect = [&](const gchar *signal, GCallback handler) {
    g_signal_connect_data(editor, signal, handler, g_object_ref(control), unref_control,
                          GConnectFlags(0));
  };
  if (GTK_IS_SPIN_BUTTON(editor)) {
    gtk_spin_button_set_numeric(GTK_SPIN_BUTTON(editor), FALSE);  // "0x" is no digit
    connect("output", G_CALLBACK(on_spin_output));
    connect("input", G_CALLBACK(on_spin_input));
    on_spin_output(GTK_SPIN_BUTTON(editor), control);
  } else {
    connect("format-value", G_CALLBACK(on_scale_format_value));
  }
}

// Makes the editor that fits the control's kind and UI hints.
GtkWidget *make_editor(KovUnitControl *control, const gchar **signal) {
  const KovUnitControlType type = kov_unit_control_get_control_type(control);
  const guint hints = kov_unit_control_get_ui_hints(control);
  switch (type) {
    case KOV_UNIT_CONTROL_TYPE_BOOLEAN: {
      GtkWidget *editor = (hints & KOV_UNIT_CONTROL_TOGGLE_BUTTON)
                              ? gtk_toggle_button_new_with_label(kov_unit_control_get_label(control))
                              : gtk_check_button_new();
      *signal = "toggled";
      return editor;
    }
    case KOV_UNIT_CONTROL_TYPE_INT:
    case KOV_UNIT_CONTROL_TYPE_FLOAT: {
      const gdouble min = kov_unit_control_get_min(control);
      const gdouble max = kov_unit_control_get_max(control);
      gdouble step = kov_unit_control_get_step(control);
      if (step <= 0) step = type == KOV_UNIT_CONTROL_TYPE_INT ? 1 : (max - min) / 100;
      if (step <= 0) step = 1;
      const gint digits = type == KOV_UNIT_CONTROL_TYPE_INT ? 0 : digits_for_step(step);
      GtkWidget *editor;
      if (hints & KOV_UNIT_CONTROL_SLIDER) {
        editor = gtk_scale_new_with_range(GTK_ORIENTATION_HORIZONTAL, min, MAX(min, max), step);
        gtk_scale_set_digits(GTK_SCALE(editor), digits);
        gtk_widget_set_size_request(editor, 160, -1);
      } else {
        editor = gtk_spin_button_new_with_range(min, MAX(min, max), step);
        gtk_spin_button_set_digits(GTK_SPIN_BUTTON(editor), static_cast<guint>(digits));
      }
      if (type == KOV_UNIT_CONTROL_TYPE_INT) use_display_format(editor, control);
      *signal = "value-changed";
      return editor;
    }
    case KOV_UNIT_CONTROL_TYPE_ENUM: {
      GtkWidget *editor = gtk_combo_box_text_new();
      guint n = 0;
      const KovUnitControlEnumEntry *entries = kov_unit_control_get_enum_entries(control, &n);
      for (guint i = 0; entries != nullptr && i < n && entries[i].nick != nullptr; ++i) {
        if (!entries[i].enabled) continue;
        gchar *id = g_strdup_printf("%d", entries[i].value);
        gtk_combo_box_text_append(GTK_COMBO_BOX_TEXT(editor), id, entries[i].nick);
        g_free(id);
      }
      *signal = "changed";
      return editor;
    }
    case KOV_UNIT_CONTROL_TYPE_STRING:
      *signal = "activate";
      return gtk_entry_new();
    default:
      *signal = nullptr;
      return gtk_label_new("");
  }
}

void add_row(KovUnitControlWidget *widget, KovUnitControl *control, gint index) {
  GtkWidget *label = gtk_label_new(kov_unit_control_get_label(control));
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  const gchar *signal = nullptr;
  GtkWidget *editor = make_editor(control, &signal);
  gtk_widget_set_hexpand(editor, TRUE);
  gtk_widget_set_name(editor, kov_unit_control_get_id(control));
  gtk_grid_attach(widget->grid, label, 0, index, 1, 1);
  gtk_grid_attach(widget->grid, editor, 1, index, 1, 1);

  Row *row = g_new0(Row, 1);
  row->widget = widget;
  row->control = KOV_UNIT_CONTROL(g_object_ref(control));
  row->editor = GTK_WIDGET(g_object_ref(editor));
  g_ptr_array_add(widget->rows, row);
  show_value(row);
  if (signal != nullptr)
    row->editor_handler = g_signal_connect(editor, signal, G_CALLBACK(on_editor_changed), row);
  row->control_handler =
      g_signal_connect(control, "changed", G_CALLBACK(on_control_changed), row);
}

void clear(KovUnitControlWidget *widget) {
  if (widget->rows != nullptr) g_ptr_array_set_size(widget->rows, 0);
  if (widget->grid != nullptr) {
    GList *children = gtk_container_get_children(GTK_CONTAINER(widget->grid));
    for (GList *l = children; l != nullptr; l = l->next) gtk_widget_destroy(GTK_WIDGET(l->data));
    g_list_free(children);
  }
  g_clear_object(&widget->unit);
}

void dispose(GObject *object) {
  KovUnitControlWidget *widget = KOV_UNIT_CONTROL_WIDGET(object);
  clear(widget);
  widget->grid = nullptr;  // destroyed with the container
  G_OBJECT_CLASS(kov_unit_control_widget_parent_class)->dispose(object);
}

void finalize(GObject *object) {
  KovUnitControlWidget *widget = KOV_UNIT_CONTROL_WIDGET(object);
  g_ptr_array_unref(widget->rows);
  G_OBJECT_CLASS(kov_unit_control_widget_parent_class)->finalize(object);
}

}  // namespace

static void kov_unit_control_widget_class_init(KovUnitControlWidgetClass *klass) {
  G_OBJECT_CLASS(klass)->dispose = dispose;
  G_OBJECT_CLASS(klass)->finalize = finalize;
}

static void kov_unit_control_widget_init(KovUnitControlWidget *widget) {
  widget->rows = g_ptr_array_new_with_free_func(row_free);
  widget->expander = GTK_EXPANDER(gtk_expander_new("Controls"));
  gtk_expander_set_expanded(widget->expander, TRUE);
  widget->grid = GTK_GRID(gtk_grid_new());
  gtk_grid_set_row_spacing(widget->grid, 4);
  gtk_grid_set_column_spacing(widget->grid, 8);
  gtk_container_add(GTK_CONTAINER(widget->expander), GTK_WIDGET(widget->grid));
  gtk_container_add(GTK_CONTAINER(widget), GTK_WIDGET(widget->expander));
  gtk_widget_show_all(GTK_WIDGET(widget->expander));
}

GtkWidget *kov_unit_control_widget_new(void) {
  return GTK_WIDGET(g_object_new(KOV_TYPE_UNIT_CONTROL_WIDGET, nullptr));
}

gint kov_unit_control_widget_set_unit(KovUnitControlWidget *widget, KovUnit *unit) {
  g_return_val_if_fail(KOV_IS_UNIT_CONTROL_WIDGET(widget), -1);
  if (unit != nullptr && !KOV_IS_UNIT(unit)) return -1;
  if (unit != nullptr) g_object_ref_sink(unit);  // before clear: it may be the same unit
  clear(widget);
  widget->unit = unit;
  if (unit == nullptr) {
    gtk_expander_set_label(widget->expander, "Controls");
    return 0;
  }
  gchar *title = g_strdup_printf("Controls of %s", kov_unit_get_name(unit));
  gtk_expander_set_label(widget->expander, title);
  g_free(title);
  gint index = 0;
  for (const GList *l = kov_unit_get_controls(unit); l != nullptr; l = l->next)
    add_row(widget, KOV_UNIT_CONTROL(l->data), index++);
  gtk_widget_show_all(GTK_WIDGET(widget->grid));
  return 0;
}

KovUnit *kov_unit_control_widget_get_unit(KovUnitControlWidget *widget) {
  g_return_val_if_fail(KOV_IS_UNIT_CONTROL_WIDGET(widget), nullptr);
  return widget->unit;
}

void kov_unit_control_widget_set_expanded(KovUnitControlWidget *widget, gint expanded) {
  g_return_if_fail(KOV_IS_UNIT_CONTROL_WIDGET(widget));
  gtk_expander_set_expanded(widget->expander, expanded != 0);
}

void kov_unit_control_widget_detach(KovUnitControlWidget *widget) {
  g_return_if_fail(KOV_IS_UNIT_CONTROL_WIDGET(widget));
  clear(widget);
  gtk_expander_set_label(widget->expander, "Controls");
}

GtkWidget *kov_unit_control_widget_get_editor(KovUnitControlWidget *widget, const gchar *id) {
  g_return_val_if_fail(KOV_IS_UNIT_CONTROL_WIDGET(widget), nullptr);
  if (id == nullptr) return nullptr;
  for (guint i = 0; i < widget->rows->len; ++i) {
    Row *row = static_cast<Row *>(g_ptr_array_index(widget->rows, i));
    if (g_strcmp0(kov_unit_control_get_id(row->control), id) == 0) return row->editor;
  }
  return nullptr;
}
