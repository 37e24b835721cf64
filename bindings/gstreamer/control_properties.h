/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Unit controls as GObject properties: the property of each kind of control
// (enums as GEnum types of their own) and values copied both ways.
#ifndef KOVKIT_GST_CONTROL_PROPERTIES_H
#define KOVKIT_GST_CONTROL_PROPERTIES_H

#include <kovkit/kovkit.h>

#include <string>

namespace kov::gst {

// @text with every character but ASCII letters and digits turned into '-',
// lower-cased unless @keep_case.
std::string sanitized(const char *text, bool keep_case);

// The property for @control: same type, range, default and description;
// an enum control gets a GEnum type named after @type_name and the control.
// nullptr for a control of no known kind.
GParamSpec *property_for(const char *type_name, KovUnitControl *control, const char *prop_name);

// The control's current value into @value (initialised to the property's type).
void read_control(KovUnitControl *control, GValue *value);
// Sets the control from a property value, as a user's change.
gboolean write_control(KovUnitControl *control, const GValue *value, GError **error);

}  // namespace kov::gst

#endif
