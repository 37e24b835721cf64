// SPDX-License-Identifier: LGPL-2.1-or-later
// KovUnitFormat, the error domain and pixel-format code text.
#include <kovkit/format.h>

#include <cstdio>

G_DEFINE_QUARK(kovkit-error-quark, kov_error)

G_DEFINE_TYPE(KovUnitFormat, kov_unit_format, G_TYPE_OBJECT)

static void kov_unit_format_finalize(GObject *object) {
  KovUnitFormat *format = KOV_UNIT_FORMAT(object);
  g_free(format->name);
  G_OBJECT_CLASS(kov_unit_format_parent_class)->finalize(object);
}

static void kov_unit_format_class_init(KovUnitFormatClass *klass) {
  G_OBJECT_CLASS(klass)->finalize = kov_unit_format_finalize;
}

static void kov_unit_format_init(KovUnitFormat *) {}

KovUnitFormat *kov_unit_format_new(guint32 pixelformat, const gchar *name, gint width,
                                   gint height, gint row_stride) {
  auto *format = KOV_UNIT_FORMAT(g_object_new(KOV_TYPE_UNIT_FORMAT, nullptr));
  format->pixelformat = pixelformat;
  format->name = g_strdup(name);
  format->width = width;
  format->height = height;
  format->row_stride = row_stride;
  return format;
}

gboolean kov_unit_format_equal(const KovUnitFormat *a, const KovUnitFormat *b) {
  if (a == b) return TRUE;
  if (a == nullptr || b == nullptr) return FALSE;
  return a->pixelformat == b->pixelformat && a->width == b->width && a->height == b->height &&
         a->row_stride == b->row_stride;
}

const gchar *kov_pixel_format_to_string(guint32 pixelformat, gchar buf[11]) {
  bool printable = true;
  for (int i = 0; i < 4; ++i) {
    const guint8 c = (pixelformat >> (8 * i)) & 0xff;
    if (c < 0x20 || c > 0x7e) printable = false;
  }
  if (printable) {
    for (int i = 0; i < 4; ++i) buf[i] = static_cast<gchar>((pixelformat >> (8 * i)) & 0xff);
    buf[4] = '\0';
  } else {
    std::snprintf(buf, 11, "0x%x", pixelformat);
  }
  return buf;
}

guint32 kov_pixel_format_from_string(const gchar *text) {
  if (text == nullptr) return 0;
  for (int i = 0; i < 4; ++i)
    if (text[i] < 0x20 || text[i] > 0x7e) return 0;
  if (text[4] != '\0') return 0;
  return KOV_FOURCC(text[0], text[1], text[2], text[3]);
}
