/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Finding out what a unit does before it runs in a pipeline: a feeder unit
// that stands in for the unit's input, and probes that offer the unit each
// format GStreamer can carry.
#ifndef KOVKIT_GST_UNIT_PROBE_H
#define KOVKIT_GST_UNIT_PROBE_H

#include <kovkit/kovkit.h>

#include <utility>
#include <vector>

namespace kov::gst {

// The feeder: a unit with no operations of its own. Its owner sets its one
// output format and produces the frames the fed unit is to get.
GType feeder_get_type();

// Gives the feeder one output format (the unit fed by it renegotiates), unless
// it already has that one. FALSE when the unit then offers no output format.
bool set_feeder_format(KovUnit *feeder, KovUnit *unit, guint32 code, gint width, gint height,
                       gint stride);

// A unit and its feeder, linked; owns both.
struct Probe {
  KovUnit *feeder = nullptr;
  KovUnit *unit = nullptr;
  explicit Probe(KovUnit *u) : unit(u) {
    if (unit == nullptr) return;
    g_object_ref_sink(unit);
    feeder = KOV_UNIT(g_object_ref_sink(g_object_new(feeder_get_type(), nullptr)));
    kov_unit_set_input(unit, feeder);
  }
  ~Probe() {
    if (unit != nullptr) {
      kov_unit_stream_shutdown(unit);
      kov_unit_set_input(unit, nullptr);
      g_object_unref(unit);
    }
    if (feeder != nullptr) g_object_unref(feeder);
  }
  Probe(const Probe &) = delete;
  Probe &operator=(const Probe &) = delete;
};

// What a unit takes and gives: each accepted input code with the codes the
// unit offers for it.
using CodeMap = std::vector<std::pair<guint32, std::vector<guint32>>>;

// Offers the probe's unit every mapped format at a small size.
CodeMap probe_formats(Probe &probe);

}  // namespace kov::gst

#endif
