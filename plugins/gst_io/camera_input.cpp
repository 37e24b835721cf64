// SPDX-License-Identifier: LGPL-2.1-or-later
// input.camera: frames from a video capture device that GStreamer's device
// monitor finds: the first one, or the one the "device" control names (its
// display name or its node, such as "/dev/video0"). Frames are handed over
// as input.gst hands them: without copying, only the newest one waiting
// when "drop" is on, in the formats "format=" in the chain text allows.
#include <kovkit/gst_devices.h>
#include <kovkit/plugin_frame.h>

#include <string>

#include "gst_common.h"

namespace {

struct KovGstCamera {
  KovUnit parent;
  KovUnitControl *device_ctl;
  KovUnitControl *drop_ctl;
  kov::gstio::SourceStream *stream;
};

KovGstCamera *as_camera(gpointer object) { return kov::plugin::cast<KovGstCamera>(object); }

// The device to open, or nullptr with @error saying what there is instead.
GstDevice *find_device(const gchar *name, GError **error) {
  GList *devices = kov::gst::video_capture_devices();
  GstDevice *found = nullptr;
  std::string names;
  for (GList *l = devices; l != nullptr && found == nullptr; l = l->next) {
    auto *device = GST_DEVICE(l->data);
    if (name == nullptr || name[0] == '\0' || kov::gst::device_matches(device, name)) {
      found = GST_DEVICE(gst_object_ref(device));
      break;
    }
    gchar *display = gst_device_get_display_name(device);
    names += names.empty() ? "" : ", ";
    names += display != nullptr ? display : "?";
    g_free(display);
  }
  g_list_free_full(devices, gst_object_unref);
  if (found != nullptr) return found;
  if (names.empty())
    g_set_error(error, KOV_ERROR, KOV_ERROR_STREAM, "no video capture device found");
  else
    g_set_error(error, KOV_ERROR, KOV_ERROR_STREAM, "no video capture device \"%s\" (found: %s)",
                name, names.c_str());
  return nullptr;
}

// device element ! [videoconvert !] appsink
GstElement *build_pipeline(GstDevice *device, GstCaps *caps, GstElement **sink, GError **error) {
  GstElement *source = gst_device_create_element(device, nullptr);
  if (source == nullptr) {
    gchar *display = gst_device_get_display_name(device);
    g_set_error(error, KOV_ERROR, KOV_ERROR_STREAM, "cannot open video capture device \"%s\"",
                display);
    g_free(display);
    return nullptr;
  }
  bool raw = false;
  for (guint i = 0; i < gst_caps_get_size(caps); i++)
    raw = raw || gst_structure_has_name(gst_caps_get_structure(caps, i), "video/x-raw");
  GstElement *pipeline = gst_pipeline_new(nullptr);
  *sink = gst_element_factory_make("appsink", nullptr);
  GstElement *convert = raw ? gst_element_factory_make("videoconvert", nullptr) : nullptr;
  gst_bin_add_many(GST_BIN(pipeline), source, *sink, nullptr);
  if (convert != nullptr) gst_bin_add(GST_BIN(pipeline), convert);
  g_object_set(*sink, "caps", caps, nullptr);
  const gboolean linked = convert != nullptr ? gst_element_link_many(source, convert, *sink, nullptr)
                                             : gst_element_link(source, *sink);
  if (!linked) {
    gst_object_unref(pipeline);
    g_set_error(error, KOV_ERROR, KOV_ERROR_FORMAT,
                "the video capture device gives no format the chain can take");
    return nullptr;
  }
  return pipeline;
}

gint camera_stream_init(KovUnit *unit, KovUnitFormat *) {
  KovGstCamera *self = as_camera(unit);
  if (kov::gstio::source_is_renegotiating(self->stream)) return 0;
  kov::gstio::source_stop(unit, self->stream);
  self->stream = nullptr;

  GError *error = nullptr;
  GstDevice *device = nullptr;
  GstCaps *caps = nullptr;
  if (kov::gstio::ensure_gst(&error) &&
      (device = find_device(kov_unit_control_get_string(self->device_ctl), &error)) != nullptr &&
      (caps = kov::gstio::source_caps(unit, nullptr, &error)) != nullptr) {
    GstElement *sink = nullptr;
    GstElement *pipeline = build_pipeline(device, caps, &sink, &error);
    if (pipeline != nullptr) {
      kov::gstio::SourceOptions options;
      options.drop = kov_unit_control_get_boolean(self->drop_ctl);
      options.sync = FALSE;  // a camera's frames are due when they arrive
      self->stream = kov::gstio::source_start(unit, pipeline, sink, options);
    }
  }
  if (caps != nullptr) gst_caps_unref(caps);
  if (device != nullptr) gst_object_unref(device);
  if (error != nullptr) {
    kov_unit_set_error(unit, error);
    g_error_free(error);
  }
  return self->stream != nullptr ? 0 : -1;
}

gint camera_stream_shutdown(KovUnit *unit) {
  KovGstCamera *self = as_camera(unit);
  if (kov::gstio::source_is_renegotiating(self->stream)) return 0;
  kov::gstio::source_stop(unit, self->stream);
  self->stream = nullptr;
  return 0;
}

gboolean camera_produce_pending_frame(KovUnit *unit) {
  return kov::gstio::source_produce(unit, as_camera(unit)->stream);
}

gint64 camera_next_frame_time(KovUnit *unit) {
  return kov::gstio::source_next_frame_time(as_camera(unit)->stream);
}

void camera_finalize(GObject *object) {
  KovGstCamera *self = as_camera(object);
  kov::gstio::source_stop(KOV_UNIT(object), self->stream);
  self->stream = nullptr;
  kov::plugin::parent_class<KovGstCamera>()->finalize(object);
}

void camera_class_init(KovUnitClass *klass) {
  G_OBJECT_CLASS(klass)->finalize = camera_finalize;
  klass->stream_init = camera_stream_init;
  klass->stream_shutdown = camera_stream_shutdown;
  klass->produce_pending_frame = camera_produce_pending_frame;
  klass->next_frame_time = camera_next_frame_time;
}

void camera_init(KovGstCamera *self) {
  KovUnit *unit = &self->parent;
  self->device_ctl = kov_unit_add_control_string(unit, "device", "Device (name or node; empty: first)",
                                                 "", TRUE);
  self->drop_ctl = kov_unit_add_control_boolean(unit, "drop", "Newest frame only", TRUE, TRUE);
  kov::gstio::offer_any_size_formats(unit);
}

}  // namespace

KOV_PLUGIN_STOCK_UNIT(KovGstCamera, kov_gst_camera_get_type, "KovGstCamera", camera_class_init,
                      camera_init, "input", "camera", "Camera", KOV_UNIT_EVENT_METHOD_FD)
