// SPDX-License-Identifier: LGPL-2.1-or-later
// Registers the drivers of the framework's built-in units, and helpers they
// share about format names and pass-through formats.
#include "units/builtin.h"

#include "units/builtin_units.h"

namespace {

template <GType (*get_type)()>
gpointer create_instance() {
  return g_object_new(get_type(), nullptr);
}

void add_stock(KovUnitManager *manager, const gchar *package, const gchar *name,
               const gchar *label, guint flags, KovUnitCreateFunc create) {
  KovUnitDriver *driver =
      kov_unit_driver_new_stock_full(package, name, label, flags, create, nullptr);
  kov_unit_manager_register_driver(manager, driver);
  g_object_unref(driver);
}

}  // namespace

void kov_builtin_units_register(KovUnitManager *manager) {
  add_stock(manager, "input", "testsrc", "Test Pattern Source", KOV_UNIT_EVENT_METHOD_TIMEOUT,
            create_instance<kov_test_src_get_type>);
  add_stock(manager, "input", "file", "File Source", KOV_UNIT_EVENT_METHOD_TIMEOUT,
            create_instance<kov_file_input_get_type>);
  add_stock(manager, "output", "file", "File Writer", 0,
            create_instance<kov_file_output_get_type>);
  add_stock(manager, "util", "roi", "Region of Interest", 0,
            create_instance<kov_roi_unit_get_type>);
  add_stock(manager, "convert", "colorspace", "Colour Space to RGB", 0,
            create_instance<kov_colorspace_get_type>);
}

namespace kov::units {

gchar *format_name(guint32 code, gint width, gint height) {
  gchar buf[11];
  return g_strdup_printf("%dx%d %s", width, height, kov_pixel_format_to_string(code, buf));
}

}  // namespace kov::units
