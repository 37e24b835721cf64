// SPDX-License-Identifier: LGPL-2.1-or-later
// input.gst: frames from a GStreamer pipeline. The "pipeline" control holds
// gst-launch text whose last element gives video ("v4l2src", "filesrc
// location=clip.mkv ! decodebin", "udpsrc port=5000 caps=... ! rtpjpegdepay");
// the unit ends it with an appsink that takes every format kovkit knows, so
// GStreamer converts nothing the chain can take as it is (a videoconvert in
// front of the appsink passes such frames through untouched). "format=" in
// the chain text, or the "caps" control, narrows what the appsink takes.
//
// Frames wrap GStreamer's buffers without copying and carry the buffer's
// running time; the stream's format is the first frame's, learnt when the
// unit starts. A pipeline that ends ends the stream; its errors are posted
// with GStreamer's message.
#include <kovkit/plugin_frame.h>

#include <string>

#include "gst_common.h"

namespace {

struct KovGstInput {
  KovUnit parent;
  KovUnitControl *pipeline_ctl;
  KovUnitControl *caps_ctl;
  KovUnitControl *drop_ctl;
  KovUnitControl *sync_ctl;
  KovUnitControl *timeout_ctl;
  kov::gstio::SourceStream *stream;
};

constexpr const char *kSinkName = "kovkit_appsink";

KovGstInput *as_input(gpointer object) { return kov::plugin::cast<KovGstInput>(object); }

// The text the unit runs: the user's pipeline, a converter for raw video
// when @convert, and the appsink.
std::string full_description(const gchar *pipeline, bool convert) {
  std::string text = pipeline;
  if (convert) text += " ! videoconvert";
  text += " ! appsink name=";
  text += kSinkName;
  return text;
}

bool takes_raw(GstCaps *caps) {
  for (guint i = 0; i < gst_caps_get_size(caps); i++)
    if (gst_structure_has_name(gst_caps_get_structure(caps, i), "video/x-raw")) return true;
  return false;
}

gint input_stream_init(KovUnit *unit, KovUnitFormat *) {
  KovGstInput *self = as_input(unit);
  if (kov::gstio::source_is_renegotiating(self->stream)) return 0;
  kov::gstio::source_stop(unit, self->stream);
  self->stream = nullptr;

  const gchar *pipeline = kov_unit_control_get_string(self->pipeline_ctl);
  GError *error = nullptr;
  if (pipeline == nullptr || pipeline[0] == '\0') {
    error = g_error_new(KOV_ERROR, KOV_ERROR_BAD_VALUE, "no \"pipeline\" to run");
  } else if (kov::gstio::ensure_gst(&error)) {
    GstCaps *caps =
        kov::gstio::source_caps(unit, kov_unit_control_get_string(self->caps_ctl), &error);
    if (caps != nullptr) {
      gboolean link_failed = FALSE;
      GstElement *bin = nullptr;
      if (takes_raw(caps))
        bin = kov::gstio::parse_pipeline(full_description(pipeline, true).c_str(), &error,
                                         &link_failed);
      if (bin == nullptr && (link_failed || !takes_raw(caps))) {
        // The pipeline names caps of its own that the converter cannot take
        // (a Bayer mosaic): the appsink takes them directly.
        g_clear_error(&error);
        bin = kov::gstio::parse_pipeline(full_description(pipeline, false).c_str(), &error);
      }
      if (bin != nullptr) {
        GstElement *sink = gst_bin_get_by_name(GST_BIN(bin), kSinkName);
        g_object_set(sink, "caps", caps, nullptr);
        kov::gstio::SourceOptions options;
        options.drop = kov_unit_control_get_boolean(self->drop_ctl);
        options.sync = kov_unit_control_get_boolean(self->sync_ctl);
        options.timeout_s = kov_unit_control_get_int(self->timeout_ctl);
        self->stream = kov::gstio::source_start(unit, bin, sink, options);
        gst_object_unref(sink);
      }
      gst_caps_unref(caps);
    }
  }
  if (error != nullptr) {
    kov_unit_set_error(unit, error);
    g_error_free(error);
  }
  return self->stream != nullptr ? 0 : -1;
}

gint input_stream_shutdown(KovUnit *unit) {
  KovGstInput *self = as_input(unit);
  if (kov::gstio::source_is_renegotiating(self->stream)) return 0;
  kov::gstio::source_stop(unit, self->stream);
  self->stream = nullptr;
  return 0;
}

gboolean input_produce_pending_frame(KovUnit *unit) {
  return kov::gstio::source_produce(unit, as_input(unit)->stream);
}

gint64 input_next_frame_time(KovUnit *unit) {
  return kov::gstio::source_next_frame_time(as_input(unit)->stream);
}

gboolean input_control_change(KovUnit *unit, KovUnitControl *control, const GValue *proposed,
                              GValue *store) {
  KovGstInput *self = as_input(unit);
  const gchar *text = G_VALUE_HOLDS_STRING(proposed) ? g_value_get_string(proposed) : nullptr;
  GError *error = nullptr;
  if (control == self->pipeline_ctl && text != nullptr && text[0] != '\0') {
    // Parsed with the appsink, so that a dangling "!" is caught too.
    const std::string full = full_description(text, false);
    GstElement *bin = kov::gstio::parse_pipeline(full.c_str(), &error);
    if (bin != nullptr) gst_object_unref(bin);
  } else if (control == self->caps_ctl && text != nullptr && text[0] != '\0') {
    GstCaps *caps = kov::gstio::source_caps(unit, text, &error);
    if (caps != nullptr) gst_caps_unref(caps);
  }
  if (error != nullptr) {
    kov_unit_control_set_refusal_reason(control, error->message);
    g_error_free(error);
    return FALSE;
  }
  g_value_copy(proposed, store);
  return TRUE;
}

void input_finalize(GObject *object) {
  KovGstInput *self = as_input(object);
  kov::gstio::source_stop(KOV_UNIT(object), self->stream);
  self->stream = nullptr;
  kov::plugin::parent_class<KovGstInput>()->finalize(object);
}

void input_class_init(KovUnitClass *klass) {
  G_OBJECT_CLASS(klass)->finalize = input_finalize;
  klass->stream_init = input_stream_init;
  klass->stream_shutdown = input_stream_shutdown;
  klass->produce_pending_frame = input_produce_pending_frame;
  klass->next_frame_time = input_next_frame_time;
  klass->control_change = input_control_change;
}

void input_init(KovGstInput *self) {
  KovUnit *unit = &self->parent;
  self->pipeline_ctl =
      kov_unit_add_control_string(unit, "pipeline", "GStreamer pipeline", "", TRUE);
  kov_unit_control_set_ui_hints(self->pipeline_ctl, KOV_UNIT_CONTROL_TEXT_ENTRY);
  self->caps_ctl = kov_unit_add_control_string(unit, "caps", "Caps to take", "", TRUE);
  kov_unit_control_set_ui_hints(self->caps_ctl, KOV_UNIT_CONTROL_TEXT_ENTRY);
  self->drop_ctl =
      kov_unit_add_control_boolean(unit, "drop", "Live sources: newest frame only", TRUE, TRUE);
  self->sync_ctl = kov_unit_add_control_boolean(unit, "sync", "Play at the clock's pace", TRUE, TRUE);
  self->timeout_ctl =
      kov_unit_add_control_int(unit, "timeout", "Seconds to wait for the first frame", 1, 3600, 1,
                               10, TRUE);
  kov::gstio::offer_any_size_formats(unit);
}

}  // namespace

KOV_PLUGIN_STOCK_UNIT(KovGstInput, kov_gst_input_get_type, "KovGstInput", input_class_init,
                      input_init, "input", "gst", "GStreamer pipeline",
                      KOV_UNIT_EVENT_METHOD_FD)
