// SPDX-License-Identifier: LGPL-2.1-or-later
// libgstkovkit: the GStreamer plug-in that offers kovkit units as elements.
// When GStreamer loads it, it asks the kovkit unit manager for every unit
// description (built-ins and installed plug-ins alike) and registers an
// element for each unit that fits in a pipeline.
// GST_PLUGIN_DEFINE names the package that built the plug-in.
#define PACKAGE "kovkit"
#include <gst/gst.h>
#include <kovkit/kovkit.h>

#include "unit_element.h"

namespace {

gboolean plugin_init(GstPlugin *plugin) {
  KovUnitManager *manager = kov_unit_manager_get_and_ref();
  GList *descriptions = kov_unit_manager_get_unit_descriptions(manager);
  for (GList *l = descriptions; l != nullptr; l = l->next) {
    auto *description = KOV_UNIT_DESCRIPTION(l->data);
    if (kov::gst::unit_fits_element(manager, description))
      kov::gst::register_unit_element(plugin, description);
  }
  g_list_free(descriptions);
  g_object_unref(manager);
  return TRUE;
}

}  // namespace

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, kovkit,
                  "kovkit units as GStreamer elements", plugin_init, KOVKIT_VERSION_STRING,
                  "LGPL", "kovkit", "kovkit")
