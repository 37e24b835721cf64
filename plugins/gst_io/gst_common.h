// SPDX-License-Identifier: LGPL-2.1-or-later
// What the GStreamer units share: starting GStreamer, checking pipeline
// texts, turning bus messages into errors, and the machinery of a source
// unit fed by an appsink (input.gst, input.camera).
#ifndef KOVKIT_GST_IO_COMMON_H
#define KOVKIT_GST_IO_COMMON_H

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <kovkit/kovkit.h>

namespace kov::gstio {

// Initializes GStreamer once; FALSE (with @error) when it cannot start.
gboolean ensure_gst(GError **error);

// Builds a pipeline from gst-launch text; nullptr with @error naming the
// parse error (missing elements count as errors, unlike gst-launch).
// @link_failed, when given, says whether two elements could not be linked.
GstElement *parse_pipeline(const gchar *text, GError **error, gboolean *link_failed = nullptr);

// The error or warning a bus message carries, as a KOV_ERROR_STREAM error
// with GStreamer's message (and its debug detail for errors of elements
// that give none).
GError *error_from_message(GstMessage *message);

// Offers one format of any size for every code a GStreamer source can give,
// so that "format=" in chain text can narrow the choice before the stream
// starts and says what the source will be.
void offer_any_size_formats(KovUnit *unit);

// A running source: a pipeline ending in an appsink, its samples handed to
// the chain's thread through an event descriptor.
struct SourceStream;

struct SourceOptions {
  gboolean drop = TRUE;  // live sources: keep only the newest waiting frame
  gboolean sync = TRUE;  // deliver frames at the pipeline clock's pace
  gint timeout_s = 10;   // for the first frame
};

// The caps the appsink of @unit takes: every mapped format, narrowed by the
// format chosen in chain text and by @caps_text (nullable). nullptr with
// @error when @caps_text does not parse or leaves nothing.
GstCaps *source_caps(KovUnit *unit, const gchar *caps_text, GError **error);

// Starts @pipeline (taken over) whose appsink is @sink, waits for its first
// frame, and makes that frame's format the unit's output format. On failure
// the unit's error is set and nullptr returned.
SourceStream *source_start(KovUnit *unit, GstElement *pipeline, GstElement *sink,
                           const SourceOptions &options);
// The unit's produce_pending_frame: hands on one waiting frame, or posts the
// end of the stream or an error.
gboolean source_produce(KovUnit *unit, SourceStream *stream);
// The unit's next_frame_time: at once while a frame is waiting, else never
// (the event descriptor wakes the driver).
gint64 source_next_frame_time(SourceStream *stream);
// Stops and frees the stream (nullptr is fine).
void source_stop(KovUnit *unit, SourceStream *stream);
// TRUE while the stream changes the unit's format itself: the framework then
// restarts the unit, which must keep its pipeline running.
gboolean source_is_renegotiating(SourceStream *stream);

}  // namespace kov::gstio

#endif
