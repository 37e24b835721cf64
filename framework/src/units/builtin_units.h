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

/* The stored errors of the two file units (NULL for other units). */
const GError *kov_file_input_error(KovUnit *unit);
const GError *kov_file_output_error(KovUnit *unit);

G_END_DECLS

namespace kov::units {

// Row stride of a packed format at this width (I420: of the luma plane);
// 0 for compressed or unknown formats.
gint default_row_stride(guint32 code, gint width);

// Bytes a frame of this format must hold so that every pixel can be read:
// the last row need not be padded. 0 when unknown (MJPG, unknown codes).
gsize min_frame_size(guint32 code, gint width, gint height, gint row_stride);

// Name of a format such as "640x480 RGB3".
gchar *format_name(guint32 code, gint width, gint height);

}  // namespace kov::units

#endif
