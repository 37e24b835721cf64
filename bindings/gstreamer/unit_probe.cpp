// SPDX-License-Identifier: LGPL-2.1-or-later
// The feeder unit, format probes, and which units become elements.
#include "unit_probe.h"

#include <kovkit/gst_bridge.h>

#include <algorithm>
#include <cstring>

#include "unit_element.h"

namespace kov::gst {
namespace {

struct KovGstFeeder {
  KovUnit parent;
};

struct KovGstFeederClass {
  KovUnitClass parent_class;
};

// The size formats are offered at when probing; even, so that mosaics and
// chroma planes divide evenly.
constexpr gint kProbeWidth = 64;
constexpr gint kProbeHeight = 48;

gint probe_stride(guint32 code) {
  const KovPixelFormatInfo *info = kov_pixel_format_get_info(code);
  return info != nullptr && info->compressed ? 0 : kov_pixel_format_min_row_stride(code, kProbeWidth);
}

// Produces the frame the probe's feeder makes, returning whether the unit
// passed the very same frame on (or nothing at all).
bool passes_frame_untouched(Probe &probe, guint32 code) {
  const gint stride = probe_stride(code);
  if (!set_feeder_format(probe.feeder, probe.unit, code, kProbeWidth, kProbeHeight, stride))
    return true;
  if (kov_unit_stream_init(probe.unit, nullptr) != 0) return true;
  const gsize size = kov_pixel_format_frame_size(code, kProbeWidth, kProbeHeight, stride);
  KovFrameBuffer *frame = kov_framebuffer_new_alloc(size);
  if (frame == nullptr) return true;
  std::memset(frame->data, 0x80, size);
  frame->bytesused = size;
  struct Seen {
    KovFrameBuffer *input;
    bool untouched;
  } seen{frame, true};
  const gulong handler = g_signal_connect(
      probe.unit, "frame-ready",
      G_CALLBACK(+[](KovUnit *, KovFrameBuffer *out, KovUnitFormat *, gpointer data) {
        auto *s = static_cast<Seen *>(data);
        if (out != s->input) s->untouched = false;
      }),
      &seen);
  kov_unit_produce_frame(probe.feeder, frame, kov_unit_get_output_format(probe.feeder));
  g_signal_handler_disconnect(probe.unit, handler);
  kov_unit_stream_shutdown(probe.unit);
  g_object_unref(frame);
  return seen.untouched;
}

}  // namespace

GType feeder_get_type() {
  static GType type = 0;
  if (g_once_init_enter(&type)) {
    GType t = g_type_register_static_simple(
        KOV_TYPE_UNIT, g_intern_static_string("KovGstFeeder"), sizeof(KovGstFeederClass),
        nullptr, sizeof(KovGstFeeder), nullptr, GTypeFlags(0));
    g_once_init_leave(&type, t);
  }
  return type;
}

bool set_feeder_format(KovUnit *feeder, KovUnit *unit, guint32 code, gint width, gint height,
                       gint stride) {
  KovUnitFormat *current = kov_unit_get_output_format(feeder);
  if (current == nullptr || current->pixelformat != code || current->width != width ||
      current->height != height || current->row_stride != stride) {
    kov_unit_begin_format_update(feeder);
    kov_unit_remove_all_output_formats(feeder);
    gchar buf[11];
    gchar *name = g_strdup_printf("%dx%d %s", width, height, kov_pixel_format_to_string(code, buf));
    kov_unit_add_output_format(feeder, code, name, width, height, stride);
    g_free(name);
    kov_unit_end_format_update(feeder);
  }
  return kov_unit_get_output_format(unit) != nullptr;
}

CodeMap probe_formats(Probe &probe) {
  CodeMap map;
  for (const FormatMapping &m : format_table()) {
    if (std::any_of(map.begin(), map.end(), [&](const auto &e) { return e.first == m.code; }))
      continue;
    if (!set_feeder_format(probe.feeder, probe.unit, m.code, kProbeWidth, kProbeHeight,
                           probe_stride(m.code)))
      continue;
    std::vector<guint32> outputs;
    GList *offered = kov_unit_get_output_formats(probe.unit);
    for (GList *l = offered; l != nullptr; l = l->next) {
      const guint32 code = KOV_UNIT_FORMAT(l->data)->pixelformat;
      if (std::find(outputs.begin(), outputs.end(), code) == outputs.end()) outputs.push_back(code);
    }
    g_list_free(offered);
    map.emplace_back(m.code, std::move(outputs));
  }
  return map;
}

bool unit_fits_element(KovUnitManager *manager, KovUnitDescription *description) {
  if (g_strcmp0(kov_unit_description_get_package(description), "output") == 0) return false;
  Probe probe(kov_unit_manager_create_unit_by_id(manager, kov_unit_description_get_id(description)));
  if (probe.unit == nullptr) return false;
  // A source keeps its own produce operation: it makes frames, it takes none.
  kov_unit_set_input(probe.unit, nullptr);
  if (kov_unit_is_source(probe.unit)) return false;
  kov_unit_set_input(probe.unit, probe.feeder);
  if ((kov_unit_description_get_flags(description) & KOV_UNIT_RENDERS_GL) == 0) return true;
  // A GL unit that hands its input on untouched only draws; one that makes
  // frames of its own (edges, markers) has a job outside the GL view too.
  return !passes_frame_untouched(probe, KOV_PIX_FMT_GREY) ||
         !passes_frame_untouched(probe, KOV_PIX_FMT_RGB3);
}

}  // namespace kov::gst
