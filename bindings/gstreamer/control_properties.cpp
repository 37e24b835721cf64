// SPDX-License-Identifier: LGPL-2.1-or-later
// Unit controls as GObject properties.
#include "control_properties.h"

#include <gst/gst.h>

#include <algorithm>
#include <cctype>

namespace kov::gst {
namespace {

// A GEnum type for an enum control, named after the element type and the
// control; its values and nicks are the control's entries.
GType enum_type_for(const char *type_name, KovUnitControl *control) {
  guint n = 0;
  const KovUnitControlEnumEntry *entries = kov_unit_control_get_enum_entries(control, &n);
  std::string name = std::string(type_name) + "_" + sanitized(kov_unit_control_get_id(control), true);
  std::replace(name.begin(), name.end(), '-', '_');
  if (GType existing = g_type_from_name(name.c_str()); existing != 0)
    return G_TYPE_IS_ENUM(existing) ? existing : G_TYPE_INVALID;
  // The value table lives as long as the type: for the life of the process.
  auto *values = g_new0(GEnumValue, n + 1);
  guint k = 0;
  for (guint i = 0; i < n; ++i) {
    bool duplicate = false;
    for (guint j = 0; j < k; ++j)
      duplicate = duplicate || values[j].value == entries[i].value ||
                  g_strcmp0(values[j].value_nick, entries[i].nick) == 0;
    if (duplicate) continue;
    values[k].value = entries[i].value;
    values[k].value_name = g_strdup(entries[i].nick);
    values[k].value_nick = values[k].value_name;
    ++k;
  }
  return g_enum_register_static(g_intern_string(name.c_str()), values);
}

}  // namespace

std::string sanitized(const char *text, bool keep_case) {
  std::string out;
  for (const char *p = text; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    out += std::isalnum(c) ? char(keep_case ? c : std::tolower(c)) : '-';
  }
  return out;
}

GParamSpec *property_for(const char *type_name, KovUnitControl *control, const char *prop_name) {
  const char *label = kov_unit_control_get_label(control);
  const GValue *def = kov_unit_control_get_default(control);
  const auto flags =
      GParamFlags(G_PARAM_READWRITE | GST_PARAM_MUTABLE_PLAYING | G_PARAM_STATIC_NAME);
  const double min = kov_unit_control_get_min(control), max = kov_unit_control_get_max(control);
  switch (kov_unit_control_get_control_type(control)) {
    case KOV_UNIT_CONTROL_TYPE_BOOLEAN:
      return g_param_spec_boolean(prop_name, label, label, g_value_get_boolean(def), flags);
    case KOV_UNIT_CONTROL_TYPE_INT:
      return g_param_spec_int(prop_name, label, label, gint(min), gint(max), g_value_get_int(def),
                              flags);
    case KOV_UNIT_CONTROL_TYPE_FLOAT:
      return g_param_spec_float(prop_name, label, label, gfloat(min), gfloat(max),
                                g_value_get_float(def), flags);
    case KOV_UNIT_CONTROL_TYPE_STRING:
      return g_param_spec_string(prop_name, label, label, g_value_get_string(def), flags);
    case KOV_UNIT_CONTROL_TYPE_ENUM: {
      const GType type = enum_type_for(type_name, control);
      if (type == G_TYPE_INVALID) return nullptr;
      const gint value = G_VALUE_HOLDS_ENUM(def) ? g_value_get_enum(def) : g_value_get_int(def);
      GEnumClass *klass = static_cast<GEnumClass *>(g_type_class_ref(type));
      const bool known = g_enum_get_value(klass, value) != nullptr;
      const gint fallback = klass->n_values > 0 ? klass->values[0].value : 0;
      g_type_class_unref(klass);
      return g_param_spec_enum(prop_name, label, label, type, known ? value : fallback, flags);
    }
    default:
      return nullptr;
  }
}

void read_control(KovUnitControl *control, GValue *value) {
  switch (kov_unit_control_get_control_type(control)) {
    case KOV_UNIT_CONTROL_TYPE_BOOLEAN:
      g_value_set_boolean(value, kov_unit_control_get_boolean(control));
      break;
    case KOV_UNIT_CONTROL_TYPE_INT:
      g_value_set_int(value, kov_unit_control_get_int(control));
      break;
    case KOV_UNIT_CONTROL_TYPE_FLOAT:
      g_value_set_float(value, kov_unit_control_get_float(control));
      break;
    case KOV_UNIT_CONTROL_TYPE_STRING:
      g_value_take_string(value, kov_unit_control_dup_string(control));
      break;
    case KOV_UNIT_CONTROL_TYPE_ENUM:
      g_value_set_enum(value, kov_unit_control_get_enum(control));
      break;
    default:
      break;
  }
}

gboolean write_control(KovUnitControl *control, const GValue *value, GError **error) {
  switch (kov_unit_control_get_control_type(control)) {
    case KOV_UNIT_CONTROL_TYPE_BOOLEAN:
      return kov_unit_control_set_boolean(control, g_value_get_boolean(value), error);
    case KOV_UNIT_CONTROL_TYPE_INT:
      return kov_unit_control_set_int(control, g_value_get_int(value), error);
    case KOV_UNIT_CONTROL_TYPE_FLOAT:
      return kov_unit_control_set_float(control, g_value_get_float(value), error);
    case KOV_UNIT_CONTROL_TYPE_STRING:
      return kov_unit_control_set_string(control, g_value_get_string(value), error);
    case KOV_UNIT_CONTROL_TYPE_ENUM:
      return kov_unit_control_set_enum(control, g_value_get_enum(value), error);
    default:
      return FALSE;
  }
}
}  // namespace kov::gst
