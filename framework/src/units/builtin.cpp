// Registers the drivers of the framework's built-in units, and helpers they
// share about frame geometry.
#include "units/builtin.h"

#include <kovkit/fileunits.h>

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

const GError *kov_file_unit_get_error(KovUnit *unit) {
  const GError *error = kov_file_input_error(unit);
  return error != nullptr ? error : kov_file_output_error(unit);
}

namespace kov::units {

gint default_row_stride(guint32 code, gint width) {
  switch (code) {
    case KOV_PIX_FMT_RGB3:
    case KOV_PIX_FMT_BGR3:
      return width * 3;
    case KOV_PIX_FMT_RGB4:
    case KOV_PIX_FMT_BGR4:
    case KOV_PIX_FMT_FG32:
      return width * 4;
    case KOV_PIX_FMT_GREY:
    case KOV_PIX_FMT_BA81:
    case KOV_PIX_FMT_XXX2:
    case KOV_PIX_FMT_XXX3:
    case KOV_PIX_FMT_XXX4:
    case KOV_PIX_FMT_I420:
      return width;
    case KOV_PIX_FMT_LG16:
      return width * 2;
    case KOV_PIX_FMT_YUYV:
    case KOV_PIX_FMT_UYVY:
      return ((width + 1) / 2) * 4;
    default:
      return 0;
  }
}

gsize min_frame_size(guint32 code, gint width, gint height, gint row_stride) {
  if (width <= 0 || height <= 0 || row_stride <= 0) return 0;
  gsize row = static_cast<gsize>(default_row_stride(code, width));
  if (row == 0 || static_cast<gsize>(row_stride) < row) return 0;
  gsize stride = static_cast<gsize>(row_stride);
  gsize h = static_cast<gsize>(height);
  // Sizes that do not fit in gsize (32-bit targets) count as unusable.
  gsize size = 0, chroma = 0;
  if (code == KOV_PIX_FMT_I420) {
    // Chroma planes of half the luma stride, rounded up, follow the luma plane.
    gsize chroma_stride = (stride + 1) / 2;
    gsize chroma_rows = (h + 1) / 2;
    if (!g_size_checked_mul(&size, stride, h) ||
        !g_size_checked_mul(&chroma, chroma_stride, chroma_rows) ||
        !g_size_checked_mul(&chroma, chroma, 2) || !g_size_checked_add(&size, size, chroma))
      return 0;
    return size;
  }
  if (!g_size_checked_mul(&size, stride, h - 1) || !g_size_checked_add(&size, size, row)) return 0;
  return size;
}

gchar *format_name(guint32 code, gint width, gint height) {
  gchar buf[11];
  return g_strdup_printf("%dx%d %s", width, height, kov_pixel_format_to_string(code, buf));
}

}  // namespace kov::units
