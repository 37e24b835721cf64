// SPDX-License-Identifier: LGPL-2.1-or-later
// Frames between kovkit and GStreamer: the format table and the zero-copy
// wrappers both ways (see kovkit/gst_bridge.h).
#include <kovkit/gst_bridge.h>

#include <cstring>

namespace kov::gst {
namespace {

constexpr const char *kRaw = "video/x-raw";
constexpr const char *kBayer = "video/x-bayer";
constexpr const char *kJpeg = "image/jpeg";

constexpr FormatMapping kTable[] = {
    {KOV_PIX_FMT_RGB3, kRaw, "RGB", GST_VIDEO_FORMAT_RGB},
    {KOV_PIX_FMT_BGR3, kRaw, "BGR", GST_VIDEO_FORMAT_BGR},
    {KOV_PIX_FMT_RGB4, kRaw, "RGBx", GST_VIDEO_FORMAT_RGBx},
    {KOV_PIX_FMT_BGR4, kRaw, "BGRx", GST_VIDEO_FORMAT_BGRx},
    {KOV_PIX_FMT_BGR4, kRaw, "BGRA", GST_VIDEO_FORMAT_BGRA},
    {KOV_PIX_FMT_GREY, kRaw, "GRAY8", GST_VIDEO_FORMAT_GRAY8},
    {KOV_PIX_FMT_LG16, kRaw, "GRAY16_LE", GST_VIDEO_FORMAT_GRAY16_LE},
    {KOV_PIX_FMT_I420, kRaw, "I420", GST_VIDEO_FORMAT_I420},
    {KOV_PIX_FMT_YUYV, kRaw, "YUY2", GST_VIDEO_FORMAT_YUY2},
    {KOV_PIX_FMT_UYVY, kRaw, "UYVY", GST_VIDEO_FORMAT_UYVY},
    {KOV_PIX_FMT_BA81, kBayer, "bggr", GST_VIDEO_FORMAT_UNKNOWN},
    {KOV_PIX_FMT_XXX2, kBayer, "gbrg", GST_VIDEO_FORMAT_UNKNOWN},
    {KOV_PIX_FMT_XXX3, kBayer, "grbg", GST_VIDEO_FORMAT_UNKNOWN},
    {KOV_PIX_FMT_XXX4, kBayer, "rggb", GST_VIDEO_FORMAT_UNKNOWN},
    {KOV_PIX_FMT_MJPG, kJpeg, nullptr, GST_VIDEO_FORMAT_UNKNOWN},
};

bool is_raw(const FormatMapping *m) { return m->video != GST_VIDEO_FORMAT_UNKNOWN; }

GQuark bridge_error_domain() { return KOV_ERROR; }

// One plane layout: offsets from the start of the memory, and strides.
struct Planes {
  guint n = 0;
  gsize offset[GST_VIDEO_MAX_PLANES] = {};
  gint stride[GST_VIDEO_MAX_PLANES] = {};
};

// Where kovkit expects the planes of a picture with luma stride @stride
// that starts @first bytes into its memory.
Planes kovkit_planes(guint32 code, gint height, gint stride, gsize first = 0) {
  Planes p;
  const KovPixelFormatInfo *info = kov_pixel_format_get_info(code);
  p.n = info != nullptr ? info->planes : 1;
  p.offset[0] = first;
  p.stride[0] = stride;
  if (p.n == 3) {
    const gint sub_stride = (stride + 1) / 2, sub_rows = (height + 1) / 2;
    p.stride[1] = p.stride[2] = sub_stride;
    p.offset[1] = first + gsize(stride) * gsize(height);
    p.offset[2] = p.offset[1] + gsize(sub_stride) * gsize(sub_rows);
  }
  return p;
}

// The planes of a GStreamer buffer: its GstVideoMeta, else the caps' default.
Planes gst_planes(const VideoLayout &layout, GstBuffer *buffer) {
  Planes p;
  const GstVideoMeta *meta = buffer != nullptr ? gst_buffer_get_video_meta(buffer) : nullptr;
  if (meta != nullptr) {
    p.n = MIN(meta->n_planes, guint(GST_VIDEO_MAX_PLANES));
    for (guint i = 0; i < p.n; i++) {
      p.offset[i] = meta->offset[i];
      p.stride[i] = meta->stride[i];
    }
  } else if (layout.bayer_stride > 0) {
    p.n = 1;
    p.stride[0] = layout.bayer_stride;
  } else {
    p.n = GST_VIDEO_INFO_N_PLANES(&layout.info);
    for (guint i = 0; i < p.n; i++) {
      p.offset[i] = GST_VIDEO_INFO_PLANE_OFFSET(&layout.info, i);
      p.stride[i] = GST_VIDEO_INFO_PLANE_STRIDE(&layout.info, i);
    }
  }
  return p;
}

bool same_planes(const Planes &a, const Planes &b) {
  if (a.n != b.n) return false;
  for (guint i = 0; i < a.n; i++)
    if (a.stride[i] != b.stride[i] || a.offset[i] != b.offset[i]) return false;
  return true;
}

// Bytes of one row of @plane, and its rows.
void plane_rows(guint32 code, gint width, gint height, guint plane, gsize *bytes, gsize *rows) {
  const KovPixelFormatInfo *info = kov_pixel_format_get_info(code);
  const gsize row = gsize(kov_pixel_format_min_row_stride(code, width));
  const bool sub = plane > 0 && info != nullptr && info->chroma_shift > 0;
  *bytes = sub ? (row + 1) / 2 : row;
  *rows = sub ? (gsize(height) + 1) / 2 : gsize(height);
}

// Copies a @width x @height picture of @code from @src planes to @dst planes,
// row by row, only the bytes each row holds.
void copy_planes(guint32 code, gint width, gint height, const guint8 *src, const Planes &from,
                 guint8 *dst, const Planes &to) {
  for (guint plane = 0; plane < to.n; plane++) {
    gsize bytes = 0, rows = 0;
    plane_rows(code, width, height, plane, &bytes, &rows);
    for (gsize y = 0; y < rows; y++)
      std::memcpy(dst + to.offset[plane] + y * gsize(to.stride[plane]),
                  src + from.offset[plane] + y * gsize(from.stride[plane]), bytes);
  }
}

// TRUE when every plane the format needs is in @p, with a stride that holds
// a row, and ends within @size bytes.
bool planes_fit(guint32 code, gint width, gint height, const Planes &p, gsize size) {
  const KovPixelFormatInfo *info = kov_pixel_format_get_info(code);
  if (info == nullptr || p.n < info->planes) return false;
  for (guint plane = 0; plane < info->planes; plane++) {
    gsize bytes = 0, rows = 0, end = 0;
    plane_rows(code, width, height, plane, &bytes, &rows);
    if (bytes == 0 || p.stride[plane] <= 0 || gsize(p.stride[plane]) < bytes) return false;
    if (!g_size_checked_mul(&end, rows - 1, gsize(p.stride[plane])) ||
        !g_size_checked_add(&end, end, bytes) || !g_size_checked_add(&end, end, p.offset[plane]) ||
        end > size)
      return false;
  }
  return true;
}

struct MappedBuffer {
  GstBuffer *buffer;
  GstMapInfo map;
};

void release_mapped(gpointer data) {
  auto *mapped = static_cast<MappedBuffer *>(data);
  gst_buffer_unmap(mapped->buffer, &mapped->map);
  gst_buffer_unref(mapped->buffer);
  g_free(mapped);
}

// The repacking a buffer needs: only I420 whose planes are not where
// kovkit puts them (GStreamer's default rounds each chroma stride up to 4,
// so width 10 has luma stride 12 but chroma stride 8, not 6).
bool needs_repack(const VideoLayout &layout, const Planes &p) {
  if (layout.code != KOV_PIX_FMT_I420) return false;
  return !same_planes(p, kovkit_planes(layout.code, layout.height, p.stride[0], p.offset[0]));
}

}  // namespace

std::span<const FormatMapping> format_table() { return kTable; }

const FormatMapping *mapping_for_code(guint32 code) {
  for (const FormatMapping &m : kTable)
    if (m.code == code) return &m;
  return nullptr;
}

guint32 code_for_structure(const GstStructure *structure) {
  g_return_val_if_fail(structure != nullptr, 0);
  const char *name = gst_structure_get_name(structure);
  if (g_strcmp0(name, kJpeg) == 0) return KOV_PIX_FMT_MJPG;
  const char *format = gst_structure_get_string(structure, "format");
  if (format == nullptr) return 0;
  for (const FormatMapping &m : kTable)
    if (m.format != nullptr && g_strcmp0(name, m.media) == 0 && std::strcmp(format, m.format) == 0)
      return m.code;
  return 0;
}

GstCaps *caps_for_codes(std::span<const guint32> codes) {
  GstCaps *caps = gst_caps_new_empty();
  for (guint32 code : codes) {
    const FormatMapping *first = mapping_for_code(code);
    if (first == nullptr) continue;
    GstStructure *s = gst_structure_new_empty(first->media);
    if (first->format != nullptr) {
      // All the GStreamer formats of this code, in table order.
      GValue list = G_VALUE_INIT, item = G_VALUE_INIT;
      g_value_init(&list, GST_TYPE_LIST);
      g_value_init(&item, G_TYPE_STRING);
      guint n = 0;
      for (const FormatMapping &m : kTable) {
        if (m.code != code) continue;
        g_value_set_static_string(&item, m.format);
        gst_value_list_append_value(&list, &item);
        n++;
      }
      if (n == 1)
        gst_structure_set(s, "format", G_TYPE_STRING, first->format, nullptr);
      else
        gst_structure_take_value(s, "format", &list);
      if (n == 1) g_value_unset(&list);
      g_value_unset(&item);
    }
    gst_structure_set(s, "width", GST_TYPE_INT_RANGE, 1, G_MAXINT, "height", GST_TYPE_INT_RANGE,
                      1, G_MAXINT, "framerate", GST_TYPE_FRACTION_RANGE, 0, 1, G_MAXINT, 1,
                      nullptr);
    gst_caps_append_structure(caps, s);
  }
  return caps;
}

GstCaps *caps_for_format(const KovUnitFormat *format, gint fps_n, gint fps_d) {
  g_return_val_if_fail(format != nullptr, nullptr);
  const FormatMapping *m = mapping_for_code(format->pixelformat);
  if (m == nullptr) return nullptr;
  GstStructure *s = gst_structure_new_empty(m->media);
  if (m->format != nullptr) gst_structure_set(s, "format", G_TYPE_STRING, m->format, nullptr);
  gst_structure_set(s, "width", G_TYPE_INT, format->width, "height", G_TYPE_INT, format->height,
                    "framerate", GST_TYPE_FRACTION, fps_n, fps_d, nullptr);
  if (is_raw(m)) gst_structure_set(s, "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
  return gst_caps_new_full(s, nullptr);
}

gboolean layout_from_caps(const GstCaps *caps, VideoLayout *layout) {
  g_return_val_if_fail(caps != nullptr && layout != nullptr, FALSE);
  *layout = VideoLayout{};
  if (!gst_caps_is_fixed(caps) || gst_caps_get_size(caps) != 1) return FALSE;
  const GstStructure *s = gst_caps_get_structure(caps, 0);
  const guint32 code = code_for_structure(s);
  gint width = 0, height = 0;
  if (code == 0 || !gst_structure_get_int(s, "width", &width) ||
      !gst_structure_get_int(s, "height", &height) || width <= 0 || height <= 0)
    return FALSE;
  if (kov_pixel_format_is_bayer(code)) {
    if (width > G_MAXINT - 3) return FALSE;
    layout->bayer_stride = GST_ROUND_UP_4(width);
  } else if (code != KOV_PIX_FMT_MJPG) {
    if (!gst_video_info_from_caps(&layout->info, caps)) return FALSE;
  }
  layout->code = code;
  layout->width = width;
  layout->height = height;
  return TRUE;
}

gint frame_row_stride(const VideoLayout &layout, GstBuffer *buffer) {
  if (layout.code == 0 || layout.code == KOV_PIX_FMT_MJPG) return 0;
  const Planes p = gst_planes(layout, buffer);
  if (needs_repack(layout, p)) return kov_pixel_format_min_row_stride(layout.code, layout.width);
  return p.stride[0];
}

KovUnitFormat *format_for_buffer(const VideoLayout &layout, GstBuffer *buffer) {
  return kov_unit_format_new(layout.code, nullptr, layout.width, layout.height,
                             frame_row_stride(layout, buffer));
}

KovFrameBuffer *frame_from_buffer(const VideoLayout &layout, GstBuffer *buffer, GError **error) {
  g_return_val_if_fail(buffer != nullptr && layout.code != 0, nullptr);
  auto *mapped = g_new0(MappedBuffer, 1);
  if (!gst_buffer_map(buffer, &mapped->map, GST_MAP_READ)) {
    g_free(mapped);
    g_set_error(error, bridge_error_domain(), KOV_ERROR_STREAM,
                "cannot read a buffer of the stream");
    return nullptr;
  }
  mapped->buffer = gst_buffer_ref(buffer);
  const gsize size = mapped->map.size;

  if (layout.code == KOV_PIX_FMT_MJPG) {
    KovFrameBuffer *frame = kov_framebuffer_new_full(mapped->map.data, size, release_mapped, mapped);
    frame->bytesused = size;
    return frame;
  }

  const Planes p = gst_planes(layout, buffer);
  if (!planes_fit(layout.code, layout.width, layout.height, p, size)) {
    g_set_error(error, bridge_error_domain(), KOV_ERROR_STREAM,
                "a buffer of %" G_GSIZE_FORMAT " bytes is too small for a %dx%d picture",
                size, layout.width, layout.height);
    release_mapped(mapped);
    return nullptr;
  }

  if (needs_repack(layout, p)) {
    const gint stride = kov_pixel_format_min_row_stride(layout.code, layout.width);
    const gsize bytes =
        kov_pixel_format_frame_size(layout.code, layout.width, layout.height, stride);
    KovFrameBuffer *frame = kov_framebuffer_new_alloc(bytes);
    if (frame != nullptr) {
      copy_planes(layout.code, layout.width, layout.height, mapped->map.data, p,
                  frame->data, kovkit_planes(layout.code, layout.height, stride));
      frame->bytesused = bytes;
    } else {
      g_set_error(error, bridge_error_domain(), KOV_ERROR_STREAM,
                  "out of memory for a %dx%d picture", layout.width, layout.height);
    }
    release_mapped(mapped);
    return frame;
  }

  const gsize first = p.offset[0];
  KovFrameBuffer *frame =
      kov_framebuffer_new_full(mapped->map.data + first, size - first, release_mapped, mapped);
  frame->bytesused = size - first;
  return frame;
}

gboolean peer_reads_video_meta(GstPad *pad, GstCaps *caps) {
  g_return_val_if_fail(GST_IS_PAD(pad), FALSE);
  GstQuery *query = gst_query_new_allocation(caps, FALSE);
  gboolean reads = gst_pad_peer_query(pad, query) &&
                   gst_query_find_allocation_meta(query, GST_VIDEO_META_API_TYPE, nullptr);
  gst_query_unref(query);
  return reads;
}

GstBuffer *buffer_from_frame(KovFrameBuffer *frame, const KovUnitFormat *format,
                             gboolean meta_readable) {
  g_return_val_if_fail(KOV_IS_FRAMEBUFFER(frame) && format != nullptr, nullptr);
  const FormatMapping *m = mapping_for_code(format->pixelformat);
  if (m == nullptr) return nullptr;

  if (format->pixelformat == KOV_PIX_FMT_MJPG) {
    const gsize used = frame->bytesused > 0 ? MIN(frame->bytesused, frame->length) : frame->length;
    return gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, frame->data, frame->length, 0,
                                       used, g_object_ref(frame), g_object_unref);
  }

  const gint width = format->width, height = format->height, stride = format->row_stride;
  const gsize needed = kov_pixel_format_min_frame_size(format->pixelformat, width, height, stride);
  if (needed == 0 || frame->length < needed) return nullptr;

  // GStreamer's default layout of these caps, which any element can read.
  VideoLayout layout;
  GstCaps *caps = caps_for_format(format);
  const gboolean ok = layout_from_caps(caps, &layout);
  gst_caps_unref(caps);
  if (!ok) return nullptr;
  const Planes standard = gst_planes(layout, nullptr);
  const Planes own = kovkit_planes(format->pixelformat, height, stride);
  const gsize standard_size = layout.bayer_stride > 0
                                  ? gsize(layout.bayer_stride) * gsize(height)
                                  : GST_VIDEO_INFO_SIZE(&layout.info);

  const bool fits_default = same_planes(own, standard) && frame->length >= standard_size;
  if (fits_default || (meta_readable && is_raw(m))) {
    const gsize size = fits_default ? standard_size : frame->length;
    GstBuffer *buffer = gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, frame->data,
                                                    frame->length, 0, size, g_object_ref(frame),
                                                    g_object_unref);
    if (is_raw(m)) {
      gsize offsets[GST_VIDEO_MAX_PLANES] = {};
      gint strides[GST_VIDEO_MAX_PLANES] = {};
      for (guint i = 0; i < own.n; i++) {
        offsets[i] = own.offset[i];
        strides[i] = own.stride[i];
      }
      gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, m->video, guint(width),
                                     guint(height), own.n, offsets, strides);
    }
    return buffer;
  }

  // Downstream could not find the picture where it lies: one copy into
  // GStreamer's default layout.
  GstBuffer *buffer = gst_buffer_new_allocate(nullptr, standard_size, nullptr);
  if (buffer == nullptr) return nullptr;
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
    gst_buffer_unref(buffer);
    return nullptr;
  }
  std::memset(map.data, 0, map.size);
  copy_planes(format->pixelformat, width, height, frame->data, own, map.data, standard);
  gst_buffer_unmap(buffer, &map);
  return buffer;
}

}  // namespace kov::gst
