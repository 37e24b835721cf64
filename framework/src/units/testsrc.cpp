// SPDX-License-Identifier: LGPL-2.1-or-later
// input.testsrc: a source of generated frames for trying chains and for
// benchmarks. It draws a picture with smooth gradients, texture and sharp
// edges that scrolls sideways from frame to frame, and offers it in every
// common pixel format: packed RGB/BGR, grey, the four Bayer tilings
// (mosaicked from the RGB picture), YUV (BT.601 limited range) and JPEG.
#include <algorithm>
#include <cmath>
#include <cstring>

#include <libyuv.h>

#include <kovkit/imageio.h>

#include "units/builtin_units.h"

namespace {

enum Pattern { PATTERN_BARS = 0, PATTERN_GRADIENT = 1 };

const KovUnitControlEnumEntry pattern_entries[] = {
    {PATTERN_BARS, "bars", 1},
    {PATTERN_GRADIENT, "gradient", 1},
    {0, nullptr, 0},
};

const guint32 output_codes[] = {
    KOV_PIX_FMT_RGB3, KOV_PIX_FMT_BGR3, KOV_PIX_FMT_RGB4, KOV_PIX_FMT_BGR4, KOV_PIX_FMT_GREY,
    KOV_PIX_FMT_BA81, KOV_PIX_FMT_XXX2, KOV_PIX_FMT_XXX3, KOV_PIX_FMT_XXX4, KOV_PIX_FMT_I420,
    KOV_PIX_FMT_YUYV, KOV_PIX_FMT_UYVY, KOV_PIX_FMT_MJPG,
};

const int jpeg_quality = 90;

}  // namespace

struct KovTestSrc {
  KovUnit parent;
  KovUnitControl *width_ctl;
  KovUnitControl *height_ctl;
  KovUnitControl *pattern_ctl;
  KovUnitControl *rate_ctl;
  gint64 next_time;
  guint64 frame_count;
  guint8 *scene;   // width x height RGB picture, periodic sideways
  gint scene_width;
  gint scene_height;
  gint scene_pattern;
  guint8 *window;  // the scrolled picture of the current frame, packed RGB
  guint8 *argb;    // libyuv ARGB (B, G, R, A) work picture for the 4:2:2 formats
};

struct KovTestSrcClass {
  KovUnitClass parent_class;
};

G_DEFINE_TYPE(KovTestSrc, kov_test_src, KOV_TYPE_UNIT)

namespace {

guint8 clamp_u8(double v) { return static_cast<guint8>(v < 0 ? 0 : v > 255 ? 255 : v + 0.5); }

// Small deterministic grain so that codecs see texture, not flat areas.
int grain(int x, int y) {
  guint32 h = static_cast<guint32>(x) * 374761393u + static_cast<guint32>(y) * 668265263u;
  h = (h ^ (h >> 13)) * 1274126177u;
  return static_cast<int>((h >> 24) & 7) - 4;
}

// Colour bars over a shaded field, a hue gradient below them and a dark disc
// with a soft rim: gradients and edges, like a photograph of a test chart.
void draw_bars(guint8 *rgb, int w, int h) {
  static const guint8 bars[8][3] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235},
                                    {16, 235, 16},   {235, 16, 235}, {235, 16, 16},
                                    {16, 16, 235},   {16, 16, 16}};
  int bars_h = (h * 2) / 3;
  double cx = w * 0.5, cy = h * 0.45, radius = std::min(w, h) * 0.18;
  for (int y = 0; y < h; y++) {
    for (int x = 0; x < w; x++) {
      double c[3];
      if (y < bars_h) {
        const guint8 *bar = bars[(x * 8) / w];
        double shade = 0.6 + 0.4 * (1.0 - static_cast<double>(y) / (bars_h > 0 ? bars_h : 1));
        for (int k = 0; k < 3; k++) c[k] = bar[k] * shade;
      } else {
        double hue = 6.0 * x / w;
        double light = 0.3 + 0.7 * (y - bars_h) / static_cast<double>(h - bars_h);
        double f = hue - std::floor(hue);
        int sector = static_cast<int>(hue) % 6;
        double r = 0, g = 0, b = 0;
        switch (sector) {
          case 0: r = 1; g = f; break;
          case 1: r = 1 - f; g = 1; break;
          case 2: g = 1; b = f; break;
          case 3: g = 1 - f; b = 1; break;
          case 4: r = f; b = 1; break;
          default: r = 1; b = 1 - f; break;
        }
        c[0] = 255 * r * light;
        c[1] = 255 * g * light;
        c[2] = 255 * b * light;
      }
      double d = std::hypot(x - cx, y - cy) - radius;
      if (d < 1.5) {
        double a = d <= -1.5 ? 1.0 : (1.5 - d) / 3.0;  // antialiased rim
        for (int k = 0; k < 3; k++) c[k] = c[k] * (1 - a) + 40 * a;
      }
      int n = grain(x, y);
      guint8 *p = rgb + (static_cast<gsize>(y) * w + x) * 3;
      for (int k = 0; k < 3; k++) p[k] = clamp_u8(c[k] + n);
    }
  }
}

// Smooth colour waves, periodic sideways so that the scroll has no seam.
void draw_gradient(guint8 *rgb, int w, int h) {
  for (int y = 0; y < h; y++) {
    double fy = static_cast<double>(y) / h;
    for (int x = 0; x < w; x++) {
      double fx = static_cast<double>(x) / w;
      guint8 *p = rgb + (static_cast<gsize>(y) * w + x) * 3;
      p[0] = clamp_u8(128 + 100 * std::sin(2 * G_PI * fx));
      p[1] = clamp_u8(128 + 100 * std::sin(2 * G_PI * (fy + 0.25 * fx)));
      p[2] = clamp_u8(128 + 100 * std::cos(2 * G_PI * (fx + fy)));
    }
  }
}

void free_buffers(KovTestSrc *src) {
  g_clear_pointer(&src->scene, g_free);
  g_clear_pointer(&src->window, g_free);
  g_clear_pointer(&src->argb, g_free);
  src->scene_width = src->scene_height = 0;
}

// Builds the picture for the format's size (and the current pattern).
bool ensure_scene(KovTestSrc *src, int w, int h) {
  int pattern = kov_unit_control_get_enum(src->pattern_ctl);
  if (src->scene != nullptr && src->scene_width == w && src->scene_height == h &&
      src->scene_pattern == pattern)
    return true;
  free_buffers(src);
  gsize size = static_cast<gsize>(w) * h * 3;
  src->scene = static_cast<guint8 *>(g_try_malloc(size));
  src->window = static_cast<guint8 *>(g_try_malloc(size));
  if (src->scene == nullptr || src->window == nullptr) {
    free_buffers(src);
    return false;
  }
  if (pattern == PATTERN_GRADIENT) draw_gradient(src->scene, w, h);
  else draw_bars(src->scene, w, h);
  src->scene_width = w;
  src->scene_height = h;
  src->scene_pattern = pattern;
  return true;
}

// The picture scrolled left by a few pixels per frame, into src->window.
void render_window(KovTestSrc *src) {
  int w = src->scene_width, h = src->scene_height;
  int step = std::max(1, w / 160);
  int offset = static_cast<int>((src->frame_count * static_cast<guint64>(step)) % w);
  gsize row = static_cast<gsize>(w) * 3;
  gsize head = static_cast<gsize>(w - offset) * 3;
  for (int y = 0; y < h; y++) {
    const guint8 *s = src->scene + row * y;
    guint8 *d = src->window + row * y;
    memcpy(d, s + static_cast<gsize>(offset) * 3, head);
    memcpy(d + head, s, row - head);
  }
}

// Which colour (0 R, 1 G, 2 B) a Bayer mosaic samples at (row & 1, column & 1).
const int (*bayer_table(guint32 code))[2] {
  static const int tables[][2][2] = {
      {{2, 1}, {1, 0}},  // not a mosaic: as BGGR
      {{2, 1}, {1, 0}},  // BGGR
      {{1, 2}, {0, 1}},  // GBRG
      {{1, 0}, {2, 1}},  // GRBG
      {{0, 1}, {1, 2}},  // RGGB
  };
  const KovPixelFormatInfo *info = kov_pixel_format_get_info(code);
  return tables[info != nullptr ? info->tiling : KOV_BAYER_TILING_NONE];
}

// Converts the packed RGB window into the output format. Returns the bytes
// used, or 0 on failure.
gsize convert_window(KovTestSrc *src, KovUnitFormat *fmt, guint8 *dst, gsize dst_length) {
  int w = fmt->width, h = fmt->height, stride = fmt->row_stride;
  const guint8 *rgb = src->window;
  gsize rgb_row = static_cast<gsize>(w) * 3;
  switch (fmt->pixelformat) {
    case KOV_PIX_FMT_RGB3:
      for (int y = 0; y < h; y++) memcpy(dst + static_cast<gsize>(stride) * y, rgb + rgb_row * y, rgb_row);
      break;
    case KOV_PIX_FMT_BGR3:
    case KOV_PIX_FMT_RGB4:
    case KOV_PIX_FMT_BGR4: {
      bool swap = fmt->pixelformat != KOV_PIX_FMT_RGB4;
      const int bpp = int(kov_pixel_format_get_info(fmt->pixelformat)->bytes_per_pixel);
      for (int y = 0; y < h; y++) {
        const guint8 *s = rgb + rgb_row * y;
        guint8 *d = dst + static_cast<gsize>(stride) * y;
        for (int x = 0; x < w; x++) {
          d[x * bpp] = s[3 * x + (swap ? 2 : 0)];
          d[x * bpp + 1] = s[3 * x + 1];
          d[x * bpp + 2] = s[3 * x + (swap ? 0 : 2)];
          if (bpp == 4) d[x * bpp + 3] = 0xFF;
        }
      }
      break;
    }
    case KOV_PIX_FMT_GREY:
      for (int y = 0; y < h; y++) {
        const guint8 *s = rgb + rgb_row * y;
        guint8 *d = dst + static_cast<gsize>(stride) * y;
        for (int x = 0; x < w; x++)
          d[x] = static_cast<guint8>((77 * s[3 * x] + 150 * s[3 * x + 1] + 29 * s[3 * x + 2] + 128) >> 8);
      }
      break;
    case KOV_PIX_FMT_BA81:
    case KOV_PIX_FMT_XXX2:
    case KOV_PIX_FMT_XXX3:
    case KOV_PIX_FMT_XXX4: {
      const int(*table)[2] = bayer_table(fmt->pixelformat);
      for (int y = 0; y < h; y++) {
        const guint8 *s = rgb + rgb_row * y;
        guint8 *d = dst + static_cast<gsize>(stride) * y;
        const int *row = table[y & 1];
        for (int x = 0; x < w; x++) d[x] = s[3 * x + row[x & 1]];
      }
      break;
    }
    case KOV_PIX_FMT_I420: {
      gsize luma = static_cast<gsize>(stride) * h;
      int cstride = (stride + 1) / 2;
      guint8 *u = dst + luma;
      guint8 *v = u + static_cast<gsize>(cstride) * ((h + 1) / 2);
      if (libyuv::RAWToI420(rgb, static_cast<int>(rgb_row), dst, stride, u, cstride, v, cstride,
                            w, h) != 0)
        return 0;
      break;
    }
    case KOV_PIX_FMT_YUYV:
    case KOV_PIX_FMT_UYVY: {
      if (src->argb == nullptr) {
        src->argb = static_cast<guint8 *>(g_try_malloc(static_cast<gsize>(w) * h * 4));
        if (src->argb == nullptr) return 0;
      }
      libyuv::RAWToARGB(rgb, static_cast<int>(rgb_row), src->argb, w * 4, w, h);
      int rc = fmt->pixelformat == KOV_PIX_FMT_YUYV
                   ? libyuv::ARGBToYUY2(src->argb, w * 4, dst, stride, w, h)
                   : libyuv::ARGBToUYVY(src->argb, w * 4, dst, stride, w, h);
      if (rc != 0) return 0;
      break;
    }
    default:
      return 0;
  }
  return MIN(kov_pixel_format_frame_size(fmt->pixelformat, w, h, stride), dst_length);
}

void rebuild_formats(KovTestSrc *src, int w, int h) {
  KovUnit *unit = KOV_UNIT(src);
  KovUnitFormat *current = kov_unit_get_output_format(unit);
  guint32 keep = current != nullptr ? current->pixelformat : 0;
  kov_unit_begin_format_update(unit);
  kov_unit_remove_all_output_formats(unit);
  for (guint32 code : output_codes) {
    gchar *name = kov::units::format_name(code, w, h);
    kov_unit_add_output_format(unit, code, name, w, h, kov_pixel_format_min_row_stride(code, w));
    g_free(name);
  }
  // Keep the kind of pixels the user chose; only the size changed.
  if (keep != 0) kov_unit_set_preferred_format(unit, keep, 0, 0, 0);
  kov_unit_end_format_update(unit);
}

gint test_src_stream_init(KovUnit *unit, KovUnitFormat *format) {
  auto *src = reinterpret_cast<KovTestSrc *>(unit);
  KovUnitFormat *fmt = format != nullptr ? format : kov_unit_get_output_format(unit);
  if (fmt == nullptr || !ensure_scene(src, fmt->width, fmt->height)) return -1;
  src->next_time = kov_time_now();
  return 0;
}

gint test_src_stream_shutdown(KovUnit *unit) {
  free_buffers(reinterpret_cast<KovTestSrc *>(unit));
  return 0;
}

gint64 test_src_next_frame_time(KovUnit *unit) {
  return reinterpret_cast<KovTestSrc *>(unit)->next_time;
}

gboolean test_src_produce_pending_frame(KovUnit *unit) {
  auto *src = reinterpret_cast<KovTestSrc *>(unit);
  gint64 now = kov_time_now();
  if (now < src->next_time) return FALSE;
  gint64 due = src->next_time;
  int rate = kov_unit_control_get_int(src->rate_ctl);
  if (rate <= 0) {
    src->next_time = now;
  } else {
    gint64 period = 1000000 / rate;
    src->next_time += period;
    // Far behind (the chain was held up): resume from now instead of
    // producing a burst of stale frames.
    if (src->next_time < now) src->next_time = now + period;
  }
  KovUnitFormat *fmt = kov_unit_get_output_format(unit);
  if (fmt == nullptr || !ensure_scene(src, fmt->width, fmt->height)) return FALSE;
  render_window(src);

  KovFrameBuffer *frame = nullptr;
  if (fmt->pixelformat == KOV_PIX_FMT_MJPG) {
    gsize length = 0;
    guint8 *jpeg = kov_jpeg_compress(KOV_PIX_FMT_RGB3, fmt->width, fmt->height,
                                     fmt->width * 3, src->window, jpeg_quality, &length, nullptr);
    if (jpeg != nullptr) {
      frame = kov_framebuffer_new_alloc(length);
      if (frame != nullptr) {
        memcpy(frame->data, jpeg, length);
        frame->bytesused = length;
      }
      g_free(jpeg);
    }
  } else {
    gsize size = kov_pixel_format_frame_size(fmt->pixelformat, fmt->width, fmt->height,
                                             fmt->row_stride);
    frame = size > 0 ? kov_framebuffer_new_alloc(size) : nullptr;
    if (frame != nullptr) {
      frame->bytesused = convert_window(src, fmt, frame->data, frame->length);
      if (frame->bytesused == 0) g_clear_object(&frame);
    }
  }
  src->frame_count++;
  if (frame == nullptr) return FALSE;
  frame->timestamp = rate <= 0 ? now : due;
  kov_unit_produce_frame(unit, frame, fmt);
  g_object_unref(frame);
  return TRUE;
}

gboolean test_src_control_change(KovUnit *unit, KovUnitControl *control,
                                 const GValue *proposed, GValue *store) {
  auto *src = reinterpret_cast<KovTestSrc *>(unit);
  g_value_copy(proposed, store);
  if (control == src->rate_ctl) src->next_time = kov_time_now();  // the new rate starts now
  if (control == src->width_ctl || control == src->height_ctl) {
    int w = control == src->width_ctl ? g_value_get_int(proposed)
                                      : kov_unit_control_get_int(src->width_ctl);
    int h = control == src->height_ctl ? g_value_get_int(proposed)
                                       : kov_unit_control_get_int(src->height_ctl);
    // The framework restarts a streaming source with its new format.
    rebuild_formats(src, w, h);
  }
  return TRUE;
}

void test_src_finalize(GObject *object) {
  free_buffers(reinterpret_cast<KovTestSrc *>(object));
  G_OBJECT_CLASS(kov_test_src_parent_class)->finalize(object);
}

}  // namespace

static void kov_test_src_class_init(KovTestSrcClass *klass) {
  G_OBJECT_CLASS(klass)->finalize = test_src_finalize;
  KovUnitClass *unit_class = KOV_UNIT_CLASS(klass);
  unit_class->stream_init = test_src_stream_init;
  unit_class->stream_shutdown = test_src_stream_shutdown;
  unit_class->produce_pending_frame = test_src_produce_pending_frame;
  unit_class->next_frame_time = test_src_next_frame_time;
  unit_class->control_change = test_src_control_change;
}

static void kov_test_src_init(KovTestSrc *src) {
  KovUnit *unit = KOV_UNIT(src);
  src->width_ctl = kov_unit_add_control_int(unit, "width", "Width", 1, 7680, 1, 640, TRUE);
  src->height_ctl = kov_unit_add_control_int(unit, "height", "Height", 1, 4320, 1, 480, TRUE);
  src->pattern_ctl =
      kov_unit_add_control_enum(unit, "pattern", "Pattern", PATTERN_BARS, TRUE, pattern_entries);
  src->rate_ctl = kov_unit_add_control_int(unit, "rate", "Frames per second (0: as fast as possible)",
                                           0, 1000, 1, 30, TRUE);
  rebuild_formats(src, 640, 480);
}
