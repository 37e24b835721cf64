// SPDX-License-Identifier: LGPL-2.1-or-later
// input.example: a synthetic source of 640×480 RGB3 frames, black with one
// filled square that moves ten pixels per frame and bounces off the edges,
// at 1, 5, 15 or 30 frames per second. It comes with a driver class of its
// own, to show what a source unit and a driver need from the framework.
#include <kovkit/plugin_frame.h>
#include <kovkit/trace.h>

#include <sys/time.h>

#include <cstring>

namespace {

struct KovDemoInputDriver {
  KovUnitDriver parent;
};

struct KovDemoInput {
  KovUnit parent;
  KovUnitControl *enum_ctl;     // frame rate choice
  KovUnitControl *boolean_ctl;  // true: red square, false: cyan
  KovUnitControl *int1_ctl;     // side of the square in pixels
  KovUnitControl *int2_ctl;     // colour intensity
  gint64 next_time;             // when the next frame is due, µs since the epoch
  gint32 x, y;                  // top-left corner of the square
  gint32 dx, dy;                // motion per produced frame
  gint32 fps;
};

// Frames per second, indexed by the value of the "enum" control.
constexpr gint32 kFrameRates[] = {1, 5, 15, 30};

const KovUnitControlEnumEntry kRateEntries[] = {
    {0, "1", 1}, {1, "5", 1}, {2, "15", 1}, {3, "30", 1}, {0, nullptr, 0},
};

gint64 now_us() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return gint64(tv.tv_sec) * 1000000 + tv.tv_usec;
}

// Period of one frame, computed in floating point and truncated: 1000000,
// 200000, 66666 or 33333 µs.
gint64 period_us(gint32 fps) { return gint64(1000000.0 / fps); }

KovDemoInput *as_demo(gpointer object) { return kov::plugin::cast<KovDemoInput>(object); }

// One axis of the bounce: move, then reflect a position that left the image
// back inside it, reversing the motion.
void bounce(gint32 &pos, gint32 &delta, gint32 side, gint32 extent) {
  pos += delta;
  const gint32 d = pos + side - extent + 1;
  if (d > 0) {
    delta = -delta;
    pos = extent - side - d - 1;
  } else if (pos < 0) {
    pos = -pos;
    delta = -delta;
  }
}

void draw_rectangle(guint8 *data, const KovUnitFormat *fmt, gint32 x, gint32 y, gint32 w,
                    const guint8 colour[3]) {
  for (gint32 i = 0; i < w; ++i) {
    g_assert(y + i < fmt->height);
    guint8 *row = data + gsize(y + i) * gsize(fmt->row_stride);
    for (gint32 j = 0; j < w; ++j) {
      g_assert(x + j < fmt->width);
      std::memcpy(row + gsize(x + j) * 3, colour, 3);
    }
  }
}

gint demo_stream_init(KovUnit *unit, KovUnitFormat *) {
  kov_dbg(KOV_DBG_INPUT, "example stream init\n");
  as_demo(unit)->next_time = now_us();
  return 0;
}

gint64 demo_next_frame_time(KovUnit *unit) { return as_demo(unit)->next_time; }

gboolean demo_produce_pending_frame(KovUnit *unit) {
  KovDemoInput *self = as_demo(unit);
  kov_dbg(KOV_DBG_INPUT, "iterate\n");

  const gint64 now = now_us();
  if (now < self->next_time) return FALSE;

  KovUnitFormat *fmt = kov_unit_get_output_format(unit);
  if (fmt == nullptr) return FALSE;
  self->next_time += period_us(self->fps);

  const gsize size = gsize(fmt->row_stride) * gsize(fmt->height);
  KovFrameBuffer *frame = kov_framebuffer_new_alloc(size);
  if (frame == nullptr) {
    kov_dbg(KOV_DBG_ERROR, "example: out of memory for a frame of %" G_GSIZE_FORMAT " bytes\n",
            size);
    return FALSE;
  }
  std::memset(frame->data, 0, size);

  const gint32 w = kov_unit_control_get_int(self->int1_ctl);
  bounce(self->x, self->dx, w, fmt->width);
  bounce(self->y, self->dy, w, fmt->height);

  const guint8 v = guint8(kov_unit_control_get_int(self->int2_ctl) & 0xFF);
  guint8 colour[3] = {0, v, v};
  if (kov_unit_control_get_boolean(self->boolean_ctl)) {
    colour[0] = v;
    colour[1] = 0;
    colour[2] = 0;
  }
  draw_rectangle(frame->data, fmt, self->x, self->y, w, colour);

  frame->bytesused = size;
  frame->timestamp = now;
  kov_unit_produce_frame(unit, frame, fmt);
  g_object_unref(frame);
  return TRUE;
}

gboolean demo_control_change(KovUnit *unit, KovUnitControl *control, const GValue *proposed,
                             GValue *store) {
  KovDemoInput *self = as_demo(unit);
  if (control == self->enum_ctl) {
    const gint index = g_value_get_int(proposed);
    if (index >= 0 && index < gint(G_N_ELEMENTS(kFrameRates))) self->fps = kFrameRates[index];
    self->next_time = now_us();
  }
  g_value_copy(proposed, store);
  return TRUE;
}

void demo_finalize(GObject *object) {
  kov_dbg(KOV_DBG_INPUT, "example finalize\n");
  kov::plugin::parent_class<KovDemoInput>()->finalize(object);
}

void demo_class_init(KovUnitClass *klass) {
  kov_dbg(KOV_DBG_INPUT, "example class initializer\n");
  G_OBJECT_CLASS(klass)->finalize = demo_finalize;
  klass->stream_init = demo_stream_init;
  klass->produce_pending_frame = demo_produce_pending_frame;
  klass->next_frame_time = demo_next_frame_time;
  klass->control_change = demo_control_change;
}

void demo_init(KovDemoInput *self) {
  kov_dbg(KOV_DBG_INPUT, "example constructor\n");
  KovUnit *unit = &self->parent;
  self->fps = 1;
  self->next_time = 0;

  self->enum_ctl = kov_unit_add_control_enum(unit, "enum", "menu", 0, TRUE, kRateEntries);
  self->boolean_ctl = kov_unit_add_control_boolean(unit, "boolean", "bool", FALSE, TRUE);
  self->int1_ctl = kov_unit_add_control_int(unit, "int1", "int 1", 10, 100, 2, 50, TRUE);
  self->int2_ctl = kov_unit_add_control_int(unit, "int2", "int 2", 0, 255, 1, 127, TRUE);
  kov_unit_control_set_display_format(self->int2_ctl, "0x%02X");

  // Start centred.
  const gint32 side = kov_unit_control_get_int(self->int1_ctl);
  self->x = 320 - side / 2;
  self->y = 240 - side / 2;
  self->dx = 10;
  self->dy = 10;

  kov_unit_add_output_format(unit, KOV_PIX_FMT_RGB3, "640x480 RGB", 640, 480, 1920);
}

// The driver: one description, input.example, scheduled by time.
gint driver_update_unit_descriptions(KovUnitDriver *driver) {
  kov_unit_driver_add_unit_description(driver, "Example Input", nullptr,
                                       KOV_UNIT_EVENT_METHOD_TIMEOUT);
  return 0;
}

KovUnit *driver_create_unit(KovUnitDriver *, KovUnitDescription *) {
  kov_dbg(KOV_DBG_DRIVER, "example driver creating new KovExample unit\n");
  return KOV_UNIT(kov::plugin::new_instance<KovDemoInput>());
}

void driver_finalize(GObject *object) {
  kov_dbg(KOV_DBG_DRIVER, "example driver finalize\n");
  kov::plugin::parent_class<KovDemoInputDriver>()->finalize(object);
}

void driver_class_init(KovUnitDriverClass *klass) {
  kov_dbg(KOV_DBG_DRIVER, "example driver class initializer\n");
  G_OBJECT_CLASS(klass)->finalize = driver_finalize;
  klass->update_unit_descriptions = driver_update_unit_descriptions;
  klass->driver_create_unit = driver_create_unit;
}

void driver_init(KovDemoInputDriver *self) {
  kov_dbg(KOV_DBG_DRIVER, "example driver constructor\n");
  kov_unit_driver_set_name(&self->parent, "input", "example");
}

}  // namespace

KOV_EXPORT GType kov_demo_input_driver_get_type(void) {
  return kov::plugin::type_of<KovDemoInputDriver>();
}

KOV_EXPORT GType kov_demo_input_get_type(void) { return kov::plugin::type_of<KovDemoInput>(); }

KOV_EXPORT void kov_plugin_initialize(GTypeModule *module) {
  kov::plugin::register_type<KovDemoInputDriver, KovUnitDriverClass, driver_class_init,
                             driver_init>(module, kov_unit_driver_get_type(),
                                          "KovDemoInputDriver");
  kov::plugin::register_type<KovDemoInput, KovUnitClass, demo_class_init, demo_init>(
      module, kov_unit_get_type(), "KovDemoInput");
}

KOV_EXPORT KovUnitDriver *kov_plugin_create(GTypeModule *) {
  return KOV_UNIT_DRIVER(kov::plugin::new_instance<KovDemoInputDriver>());
}
