/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* KovUnitFormat: one output format of a unit. Read-only for units; a GObject
 * so that units can attach data to it with g_object_set_data. */
#ifndef KOVKIT_FORMAT_H
#define KOVKIT_FORMAT_H

#include <kovkit/types.h>

G_BEGIN_DECLS

#define KOV_TYPE_UNIT_FORMAT (kov_unit_format_get_type())
#define KOV_UNIT_FORMAT(o) (G_TYPE_CHECK_INSTANCE_CAST((o), KOV_TYPE_UNIT_FORMAT, KovUnitFormat))
#define KOV_IS_UNIT_FORMAT(o) (G_TYPE_CHECK_INSTANCE_TYPE((o), KOV_TYPE_UNIT_FORMAT))

struct _KovUnitFormat {
  GObject parent;
  guint32 pixelformat; /* four-character code */
  gchar *name;         /* may be NULL */
  gint row_stride;     /* bytes per row; 0 for MJPG */
  gint width;
  gint height;
};

typedef struct {
  GObjectClass parent_class;
} KovUnitFormatClass;

GType kov_unit_format_get_type(void);

/**
 * kov_unit_format_new:
 * Returns: (transfer full): a new format.
 */
KovUnitFormat *kov_unit_format_new(guint32 pixelformat, const gchar *name,
                                   gint width, gint height, gint row_stride);

/* TRUE when code, width, height and row stride are equal. */
gboolean kov_unit_format_equal(const KovUnitFormat *a, const KovUnitFormat *b);

G_END_DECLS

#endif
