// SPDX-License-Identifier: LGPL-2.1-or-later
// Shared fuzz helpers: see fuzz_support.h.
#include "fuzz_support.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sanitizer/asan_interface.h>

namespace kovfuzz {

namespace {

// A source unit of the fuzzer's own: offers the one format it is given and
// produces the frames it is handed.
struct FuzzSource {
  KovUnit parent;
};
struct FuzzSourceClass {
  KovUnitClass parent_class;
};
G_DEFINE_TYPE(FuzzSource, fuzz_source, KOV_TYPE_UNIT)
void fuzz_source_class_init(FuzzSourceClass *) {}
void fuzz_source_init(FuzzSource *) {}

constexpr uint32_t kCodes[] = {
    KOV_PIX_FMT_RGB3, KOV_PIX_FMT_BGR3, KOV_PIX_FMT_RGB4, KOV_PIX_FMT_BGR4, KOV_PIX_FMT_GREY,
    KOV_PIX_FMT_LG16, KOV_PIX_FMT_FG32, KOV_PIX_FMT_BA81, KOV_PIX_FMT_XXX2, KOV_PIX_FMT_XXX3,
    KOV_PIX_FMT_XXX4, KOV_PIX_FMT_I420, KOV_PIX_FMT_YUYV, KOV_PIX_FMT_UYVY, KOV_PIX_FMT_MJPG};
constexpr size_t kCodeCount = sizeof kCodes / sizeof kCodes[0];

// Checks that every byte a unit says it produced is memory of the frame's.
void on_frame(KovUnit *, KovFrameBuffer *frame, KovUnitFormat *, gpointer) {
  if (frame->bytesused > frame->length) {
    std::fprintf(stderr, "frame of %zu bytes claims %zu used\n", frame->length, frame->bytesused);
    std::abort();
  }
  if (frame->bytesused > 0 && __asan_region_is_poisoned(frame->data, frame->bytesused) != nullptr) {
    std::fprintf(stderr, "frame's %zu used bytes are not all its own\n", frame->bytesused);
    std::abort();
  }
}

void fatal_log(const gchar *domain, GLogLevelFlags, const gchar *message, gpointer) {
  std::fprintf(stderr, "%s: %s\n", domain != nullptr ? domain : "", message);
  std::abort();
}

}  // namespace

// libFuzzer links the C++ library ahead of the shared sanitizer runtime.
extern "C" const char *__asan_default_options() { return "verify_asan_link_order=0"; }

void init() {
  static bool done = false;
  if (done) return;
  done = true;
  g_setenv("KOV_DBG", "-error", FALSE);  // units report refused frames per frame
  g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_FATAL_MASK | G_LOG_LEVEL_CRITICAL));
  g_log_set_default_handler(
      [](const gchar *domain, GLogLevelFlags level, const gchar *message, gpointer data) {
        if (level & (G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_ERROR)) fatal_log(domain, level, message, data);
      },
      nullptr);
  KovUnitManager *manager = kov_unit_manager_get_and_ref();
  (void)manager;  // kept for the life of the process: plug-ins stay loaded
}

uint8_t Reader::u8() { return p_ < end_ ? *p_++ : 0; }

uint32_t Reader::u32() {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= uint32_t(u8()) << (8 * i);
  return v;
}

uint32_t Reader::code() {
  const uint8_t pick = u8();
  return pick == 0xff ? u32() : kCodes[pick % kCodeCount];
}

std::string Reader::bytes(size_t n) {
  n = std::min(n, remaining());
  std::string s(reinterpret_cast<const char *>(p_), n);
  p_ += n;
  return s;
}

void check_frames(KovUnit *unit) {
  g_signal_connect(unit, "frame-ready", G_CALLBACK(on_frame), nullptr);
}

bool within_cap(int64_t width, int64_t height) {
  return std::llabs(width) * std::llabs(height) <= kMaxPixels;
}

void set_controls(KovUnit *unit, Reader &in) {
  for (const GList *l = kov_unit_get_controls(unit); l != nullptr; l = l->next) {
    auto *c = static_cast<KovUnitControl *>(l->data);
    const KovUnitControlType type = kov_unit_control_get_control_type(c);
    if (type == KOV_UNIT_CONTROL_TYPE_STRING) {
      const std::string s = in.bytes(in.u8());
      kov_unit_control_set_string(c, s.c_str(), nullptr);
      continue;
    }
    const uint32_t v = in.u32();
    const bool raw = (v & 0x80000000u) != 0;
    const uint32_t low = v & 0x7fffffffu;
    const double min = kov_unit_control_get_min(c), max = kov_unit_control_get_max(c);
    switch (type) {
      case KOV_UNIT_CONTROL_TYPE_BOOLEAN:
        kov_unit_control_set_boolean(c, raw ? gboolean(v) : gboolean(v & 1), nullptr);
        break;
      case KOV_UNIT_CONTROL_TYPE_INT:
      case KOV_UNIT_CONTROL_TYPE_FLOAT: {
        // In range: a point of the control's step grid, which the setters
        // check. Raw: the bytes as an int or a float.
        const double step = kov_unit_control_get_step(c);
        const double points = step > 0 ? std::floor((max - min) / step) + 1 : 1;
        const double value = min + std::fmod(double(low), points) * step;
        float raw_float;
        std::memcpy(&raw_float, &v, sizeof raw_float);
        if (type == KOV_UNIT_CONTROL_TYPE_INT)
          kov_unit_control_set_int(c, raw ? int32_t(v) : int(value), nullptr);
        else
          kov_unit_control_set_float(c, raw ? raw_float : float(value), nullptr);
        break;
      }
      case KOV_UNIT_CONTROL_TYPE_ENUM:
        kov_unit_control_set_enum(c, raw ? int32_t(v) : int(low % 8), nullptr);
        break;
      default:
        break;
    }
  }
}

Fed::Fed(const char *id, uint32_t code, int width, int height, int stride) {
  init();
  KovUnitManager *manager = kov_unit_manager_get_and_ref();
  unit_ = kov_unit_manager_create_unit_by_id(manager, id);
  g_object_unref(manager);
  if (unit_ == nullptr) {
    std::fprintf(stderr, "no unit \"%s\": are the plug-ins built?\n", id);
    std::abort();
  }
  g_object_ref_sink(unit_);
  source_ = KOV_UNIT(g_object_new(fuzz_source_get_type(), nullptr));
  set_format(code, width, height, stride);
  kov_unit_set_input(unit_, source_);
  check_frames(unit_);
  kov_unit_stream_init(source_, nullptr);
  kov_unit_stream_init(unit_, nullptr);
}

Fed::~Fed() {
  kov_unit_stream_shutdown(unit_);
  kov_unit_stream_shutdown(source_);
  kov_unit_set_input(unit_, nullptr);
  g_object_unref(unit_);
  g_object_unref(source_);
}

void Fed::set_format(uint32_t code, int width, int height, int stride) {
  kov_unit_begin_format_update(source_);
  kov_unit_remove_all_output_formats(source_);
  kov_unit_add_output_format(source_, code, nullptr, width, height, stride);
  kov_unit_end_format_update(source_);
}

void Fed::push(const std::string &bytes, size_t length, size_t used, const std::string *roi) {
  KovFrameBuffer *frame = kov_framebuffer_new_alloc(length);
  if (length > 0) {
    std::memset(frame->data, 0, length);
    std::memcpy(frame->data, bytes.data(), std::min(bytes.size(), length));
  }
  frame->bytesused = std::min(used, length);
  if (roi != nullptr) kov_framebuffer_metadata_set(frame, "roi", roi->data(), roi->size());
  kov_unit_produce_frame(source_, frame, kov_unit_get_output_format(source_));
  g_object_unref(frame);
}

void run_unit(const char *id, const uint8_t *data, size_t size) {
  Reader in(data, size);
  const uint32_t code = in.code();
  const int width = in.i32(), height = in.i32(), stride = in.i32();
  if (!within_cap(width, height)) return;
  Fed fed(id, code, width, height, stride);
  set_controls(fed.unit(), in);
  for (int n = 1 + in.u8() % 4; n > 0 && in.remaining() > 0; --n) {
    const uint8_t op = in.u8();
    if (op & 1) {
      const uint32_t c = in.code();
      const int w = in.i32(), h = in.i32(), s = in.i32();
      if (within_cap(w, h)) fed.set_format(c, w, h, s);
    }
    if (op & 2) set_controls(fed.unit(), in);
    const uint32_t length_field = in.u32();
    size_t length = length_field;
    if (length_field & 0x80000000u) {
      KovUnitFormat *f = kov_unit_get_output_format(fed.source());
      const gsize exact = f != nullptr ? kov_pixel_format_frame_size(f->pixelformat, f->width,
                                                                     f->height, f->row_stride)
                                       : 0;
      length = std::min<size_t>(exact, kMaxFrameBytes) + size_t(int8_t(length_field & 0xff));
    }
    length %= kMaxFrameBytes + 1;
    const uint8_t roi_length = in.u8();
    const std::string roi = in.bytes(roi_length % 33);
    const std::string bytes = in.bytes(length);
    fed.push(bytes, length, (op & 4) ? length / 2 : length, roi_length != 0xff ? &roi : nullptr);
  }
}

}  // namespace kovfuzz
