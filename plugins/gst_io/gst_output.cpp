// SPDX-License-Identifier: LGPL-2.1-or-later
// output.gst: pushes every frame it receives into a GStreamer pipeline and
// passes the frame on unchanged. The "pipeline" control holds gst-launch
// text that takes video ("videoconvert ! x264enc ! mp4mux ! filesink
// location=out.mp4", "jpegenc ! rtpjpegpay ! udpsink host=... port=5000");
// the unit puts an appsrc in front of it.
//
// Buffers wrap the frames without copying (they keep the frame alive), with
// a GstVideoMeta for the frame's stride; a picture whose rows the next
// element could not find is copied once into GStreamer's default layout.
// When the stream stops the unit sends end-of-stream and waits, for at most
// "timeout" seconds, until the pipeline has finished, so that a recording is
// a complete file. Pipeline errors are posted once, with GStreamer's message.
#include <kovkit/gst_bridge.h>
#include <kovkit/plugin_frame.h>

#include <gst/app/gstappsrc.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "gst_common.h"

namespace {

constexpr const char *kSourceName = "kovkit_appsrc";

// One running pipeline. The bus handler runs on GStreamer's threads.
struct SinkStream {
  GstElement *pipeline = nullptr;
  GstElement *src = nullptr;  // the appsrc, owned by the pipeline
  std::mutex lock;
  std::condition_variable finished_cv;
  GError *error = nullptr;  // the first error, until posted
  bool failed = false;      // an error was seen (posted or not)
  bool finished = false;    // end of stream reached the sinks
  KovUnitFormat *format = nullptr;
  bool meta_known = false;  // asked whether the next element reads GstVideoMeta
  gboolean meta_readable = FALSE;
  gint64 first_timestamp = -1;
  GstClockTime last_pts = GST_CLOCK_TIME_NONE;
  gint64 start_us = 0;
};

struct KovGstOutput {
  KovUnit parent;
  KovUnitControl *pipeline_ctl;
  KovUnitControl *timeout_ctl;
  SinkStream *stream;
};

KovGstOutput *as_output(gpointer object) { return kov::plugin::cast<KovGstOutput>(object); }

std::string full_description(const gchar *pipeline) {
  return std::string("appsrc name=") + kSourceName + " ! " + pipeline;
}

GstBusSyncReply on_bus_message(GstBus *, GstMessage *message, gpointer data) {
  auto *stream = static_cast<SinkStream *>(data);
  if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
    {
      std::lock_guard<std::mutex> hold(stream->lock);
      if (!stream->failed) stream->error = kov::gstio::error_from_message(message);
      stream->failed = true;
    }
    stream->finished_cv.notify_all();
    // A push blocked on a full queue returns instead of waiting forever.
    gst_app_src_end_of_stream(GST_APP_SRC(stream->src));
  } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS) {
    {
      std::lock_guard<std::mutex> hold(stream->lock);
      stream->finished = true;
    }
    stream->finished_cv.notify_all();
  }
  return GST_BUS_DROP;
}

// Posts the pipeline's first error, once.
void post_pending_error(KovUnit *unit, SinkStream *stream) {
  GError *error = nullptr;
  {
    std::lock_guard<std::mutex> hold(stream->lock);
    error = stream->error;
    stream->error = nullptr;
  }
  if (error == nullptr) return;
  kov_unit_post_error(unit, error);
  g_error_free(error);
}

void fail(KovUnit *unit, SinkStream *stream, GError *error) {
  {
    std::lock_guard<std::mutex> hold(stream->lock);
    if (stream->failed) {
      g_error_free(error);
      return;
    }
    stream->failed = true;
  }
  kov_unit_post_error(unit, error);
  g_error_free(error);
}

void free_stream(SinkStream *stream) {
  gst_element_set_state(stream->pipeline, GST_STATE_NULL);
  GstBus *bus = gst_element_get_bus(stream->pipeline);
  gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
  gst_object_unref(bus);
  gst_object_unref(stream->pipeline);
  g_clear_error(&stream->error);
  g_clear_object(&stream->format);
  delete stream;
}

// Sends end-of-stream and waits until the pipeline has finished, for at
// most @timeout_s seconds; then stops it.
void finish_stream(KovUnit *unit, SinkStream *stream, gint timeout_s) {
  gst_app_src_end_of_stream(GST_APP_SRC(stream->src));
  bool done = false;
  {
    std::unique_lock<std::mutex> hold(stream->lock);
    done = stream->finished_cv.wait_for(hold, std::chrono::seconds(timeout_s),
                                        [stream] { return stream->finished || stream->failed; });
  }
  post_pending_error(unit, stream);
  if (!done)
    fail(unit, stream,
         g_error_new(KOV_ERROR, KOV_ERROR_STREAM,
                     "the pipeline did not finish within %d s of the end of the stream; what it "
                     "wrote may be incomplete",
                     timeout_s));
  free_stream(stream);
}

// Presentation time of a frame: its own timestamp counted from the first
// frame's, or the time since the stream started for frames without one;
// always after the previous frame's, as muxers require.
GstClockTime frame_pts(SinkStream *stream, KovFrameBuffer *frame) {
  GstClockTime pts;
  if (frame->timestamp > 0) {
    if (stream->first_timestamp < 0) stream->first_timestamp = frame->timestamp;
    const gint64 us = frame->timestamp - stream->first_timestamp;
    pts = us > 0 ? GstClockTime(us) * GST_USECOND : 0;
  } else {
    pts = GstClockTime(g_get_monotonic_time() - stream->start_us) * GST_USECOND;
  }
  if (GST_CLOCK_TIME_IS_VALID(stream->last_pts) && pts <= stream->last_pts)
    pts = stream->last_pts + GST_MSECOND;
  stream->last_pts = pts;
  return pts;
}

// Whether buffers may carry their own strides: asked once the element after
// the appsrc has its caps, since before that it cannot tell.
gboolean meta_readable(SinkStream *stream) {
  if (stream->meta_known) return stream->meta_readable;
  GstPad *pad = gst_element_get_static_pad(stream->src, "src");
  GstPad *peer = gst_pad_get_peer(pad);
  if (peer != nullptr && gst_pad_has_current_caps(peer)) {
    GstCaps *caps = gst_pad_get_current_caps(peer);
    stream->meta_readable = kov::gst::peer_reads_video_meta(pad, caps);
    stream->meta_known = true;
    gst_caps_unref(caps);
  }
  if (peer != nullptr) gst_object_unref(peer);
  gst_object_unref(pad);
  return stream->meta_readable;
}

void push_frame(KovUnit *unit, SinkStream *stream, KovFrameBuffer *frame) {
  {
    std::lock_guard<std::mutex> hold(stream->lock);
    if (stream->failed) return;
  }
  GstBuffer *buffer = kov::gst::buffer_from_frame(frame, stream->format, meta_readable(stream));
  if (buffer == nullptr) {
    gchar code[11];
    fail(unit, stream,
         g_error_new(KOV_ERROR, KOV_ERROR_STREAM,
                     "a frame of %" G_GSIZE_FORMAT " bytes does not hold a %dx%d %s picture",
                     frame->length, stream->format->width, stream->format->height,
                     kov_pixel_format_to_string(stream->format->pixelformat, code)));
    return;
  }
  const GstClockTime previous = stream->last_pts;
  GST_BUFFER_PTS(buffer) = frame_pts(stream, frame);
  // Muxers give the last frame the duration of its buffer: the interval
  // since the previous frame is the best guess.
  if (GST_CLOCK_TIME_IS_VALID(previous))
    GST_BUFFER_DURATION(buffer) = GST_BUFFER_PTS(buffer) - previous;
  const GstFlowReturn flow = gst_app_src_push_buffer(GST_APP_SRC(stream->src), buffer);
  post_pending_error(unit, stream);
  if (flow != GST_FLOW_OK)
    fail(unit, stream,
         g_error_new(KOV_ERROR, KOV_ERROR_STREAM, "the pipeline takes no more frames (%s)",
                     gst_flow_get_name(flow)));
}

gint output_stream_init(KovUnit *unit, KovUnitFormat *format) {
  KovGstOutput *self = as_output(unit);
  if (self->stream != nullptr) {
    finish_stream(unit, self->stream, kov_unit_control_get_int(self->timeout_ctl));
    self->stream = nullptr;
  }
  const gchar *pipeline = kov_unit_control_get_string(self->pipeline_ctl);
  GError *error = nullptr;
  GstCaps *caps = format != nullptr ? kov::gst::caps_for_format(format) : nullptr;
  GstElement *bin = nullptr;
  if (pipeline == nullptr || pipeline[0] == '\0') {
    error = g_error_new(KOV_ERROR, KOV_ERROR_BAD_VALUE, "no \"pipeline\" to run");
  } else if (caps == nullptr) {
    gchar code[11];
    error = g_error_new(KOV_ERROR, KOV_ERROR_FORMAT, "frames of format %s cannot go to GStreamer",
                        format != nullptr ? kov_pixel_format_to_string(format->pixelformat, code)
                                          : "none");
  } else {
    bin = kov::gstio::parse_pipeline(full_description(pipeline).c_str(), &error);
  }
  if (bin == nullptr) {
    if (caps != nullptr) gst_caps_unref(caps);
    kov_unit_set_error(unit, error);
    g_error_free(error);
    return -1;
  }

  auto *stream = new SinkStream;
  stream->pipeline = bin;
  stream->src = gst_bin_get_by_name(GST_BIN(bin), kSourceName);
  gst_object_unref(stream->src);  // the pipeline keeps it
  stream->format = KOV_UNIT_FORMAT(g_object_ref(format));
  stream->start_us = g_get_monotonic_time();
  // A bounded queue: a slow encoder holds the chain back rather than
  // filling memory or losing frames of a recording.
  g_object_set(stream->src, "caps", caps, "format", GST_FORMAT_TIME, "block", TRUE,
               "max-buffers", guint64(4), nullptr);
  gst_caps_unref(caps);
  GstBus *bus = gst_element_get_bus(bin);
  gst_bus_set_sync_handler(bus, on_bus_message, stream, nullptr);
  gst_object_unref(bus);
  if (gst_element_set_state(bin, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    {
      std::lock_guard<std::mutex> hold(stream->lock);
      error = stream->error;
      stream->error = nullptr;
    }
    if (error == nullptr)
      error = g_error_new(KOV_ERROR, KOV_ERROR_STREAM, "the pipeline cannot start");
    kov_unit_set_error(unit, error);
    g_error_free(error);
    free_stream(stream);
    return -1;
  }
  self->stream = stream;
  return 0;
}

gint output_stream_shutdown(KovUnit *unit) {
  KovGstOutput *self = as_output(unit);
  if (self->stream != nullptr)
    finish_stream(unit, self->stream, kov_unit_control_get_int(self->timeout_ctl));
  self->stream = nullptr;
  return 0;
}

void output_input_frame_ready(KovUnit *unit, KovFrameBuffer *frame, KovUnitFormat *) {
  KovGstOutput *self = as_output(unit);
  if (self->stream != nullptr) push_frame(unit, self->stream, frame);
  kov_unit_produce_frame(unit, frame, kov_unit_get_output_format(unit));
}

void on_input_format_changed(KovUnit *unit, KovUnitFormat *format, gpointer) {
  kov_unit_mirror_input_format(unit, format);
}

gboolean output_control_change(KovUnit *unit, KovUnitControl *control, const GValue *proposed,
                               GValue *store) {
  KovGstOutput *self = as_output(unit);
  const gchar *text = G_VALUE_HOLDS_STRING(proposed) ? g_value_get_string(proposed) : nullptr;
  if (control == self->pipeline_ctl && text != nullptr && text[0] != '\0') {
    GError *error = nullptr;
    GstElement *bin = kov::gstio::parse_pipeline(full_description(text).c_str(), &error);
    if (bin == nullptr) {
      kov_unit_control_set_refusal_reason(control, error->message);
      g_error_free(error);
      return FALSE;
    }
    gst_object_unref(bin);
  }
  g_value_copy(proposed, store);
  return TRUE;
}

void output_finalize(GObject *object) {
  KovGstOutput *self = as_output(object);
  if (self->stream != nullptr) free_stream(self->stream);
  self->stream = nullptr;
  kov::plugin::parent_class<KovGstOutput>()->finalize(object);
}

void output_class_init(KovUnitClass *klass) {
  G_OBJECT_CLASS(klass)->finalize = output_finalize;
  klass->stream_init = output_stream_init;
  klass->stream_shutdown = output_stream_shutdown;
  klass->input_frame_ready = output_input_frame_ready;
  klass->control_change = output_control_change;
}

void output_init(KovGstOutput *self) {
  KovUnit *unit = &self->parent;
  self->pipeline_ctl =
      kov_unit_add_control_string(unit, "pipeline", "GStreamer pipeline", "", TRUE);
  kov_unit_control_set_ui_hints(self->pipeline_ctl, KOV_UNIT_CONTROL_TEXT_ENTRY);
  self->timeout_ctl = kov_unit_add_control_int(
      unit, "timeout", "Seconds to wait for the pipeline to finish", 1, 3600, 1, 5, TRUE);
  g_signal_connect(unit, "input-format-changed", G_CALLBACK(on_input_format_changed), nullptr);
}

}  // namespace

KOV_PLUGIN_STOCK_UNIT(KovGstOutput, kov_gst_output_get_type, "KovGstOutput", output_class_init,
                      output_init, "output", "gst", "GStreamer pipeline", 0)
