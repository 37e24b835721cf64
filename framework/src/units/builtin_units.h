/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Types and shared helpers of the framework's built-in units.
#ifndef KOVKIT_BUILTIN_UNITS_H
#define KOVKIT_BUILTIN_UNITS_H

#include <kovkit/kovkit.h>

G_BEGIN_DECLS

GType kov_test_src_get_type(void);
GType kov_file_input_get_type(void);
GType kov_file_output_get_type(void);
GType kov_roi_unit_get_type(void);
GType kov_colorspace_get_type(void);

G_END_DECLS

namespace kov::units {

// Name of a format such as "640x480 RGB3".
gchar *format_name(guint32 code, gint width, gint height);

}  // namespace kov::units

#endif
