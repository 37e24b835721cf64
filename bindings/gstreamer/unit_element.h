/* SPDX-License-Identifier: LGPL-2.1-or-later */
// GStreamer elements that run one kovkit unit each: one element type per
// unit description, registered when the plug-in loads.
#ifndef KOVKIT_GST_UNIT_ELEMENT_H
#define KOVKIT_GST_UNIT_ELEMENT_H

#include <gst/gst.h>
#include <kovkit/kovkit.h>

#include <string>

namespace kov::gst {

// The element name of a unit: "kovkit-" + its identifier with '.' and '_'
// (and anything else GStreamer does not take in a name) turned into '-'.
std::string element_name_for_unit(const char *unit_id);

// Whether a unit of @description makes sense inside a GStreamer pipeline:
// it takes an input, is not the end of a chain ("output" units) and does
// more than draw with GL. Creates a unit of the description to find out.
bool unit_fits_element(KovUnitManager *manager, KovUnitDescription *description);

// Registers the element type of @description with @plugin.
gboolean register_unit_element(GstPlugin *plugin, KovUnitDescription *description);

}  // namespace kov::gst

#endif
