// SPDX-License-Identifier: LGPL-2.1-or-later
// Video capture devices through GStreamer's device monitor (see
// kovkit/gst_devices.h).
#include <kovkit/gst_bridge.h>
#include <kovkit/gst_devices.h>

#include <string>
#include <vector>

namespace kov::gst {

GList *video_capture_devices() {
  GstDeviceMonitor *monitor = gst_device_monitor_new();
  gst_device_monitor_add_filter(monitor, "Video/Source", nullptr);
  GList *devices = gst_device_monitor_get_devices(monitor);
  gst_object_unref(monitor);
  return devices;
}

gchar *device_path(GstDevice *device) {
  g_return_val_if_fail(GST_IS_DEVICE(device), nullptr);
  GstStructure *props = gst_device_get_properties(device);
  if (props == nullptr) return nullptr;
  gchar *path = nullptr;
  for (const char *key : {"api.v4l2.path", "device.path", "object.path"}) {
    const gchar *value = gst_structure_get_string(props, key);
    if (value != nullptr && value[0] == '/') {
      path = g_strdup(value);
      break;
    }
  }
  gst_structure_free(props);
  return path;
}

gboolean device_matches(GstDevice *device, const gchar *name) {
  g_return_val_if_fail(GST_IS_DEVICE(device) && name != nullptr, FALSE);
  gchar *display = gst_device_get_display_name(device);
  gchar *path = device_path(device);
  const gboolean match = g_strcmp0(display, name) == 0 || g_strcmp0(path, name) == 0;
  g_free(display);
  g_free(path);
  return match;
}

namespace {

// "640x480", or the ranges a structure gives ("1x1-1920x1080").
std::string size_text(const GstStructure *s) {
  gint w = 0, h = 0;
  if (gst_structure_get_int(s, "width", &w) && gst_structure_get_int(s, "height", &h))
    return std::to_string(w) + "x" + std::to_string(h);
  const GValue *wv = gst_structure_get_value(s, "width");
  const GValue *hv = gst_structure_get_value(s, "height");
  if (wv != nullptr && hv != nullptr && GST_VALUE_HOLDS_INT_RANGE(wv) &&
      GST_VALUE_HOLDS_INT_RANGE(hv))
    return std::to_string(gst_value_get_int_range_min(wv)) + "x" +
           std::to_string(gst_value_get_int_range_min(hv)) + "-" +
           std::to_string(gst_value_get_int_range_max(wv)) + "x" +
           std::to_string(gst_value_get_int_range_max(hv));
  return "any size";
}

std::string format_name(const GstStructure *s) {
  const guint32 code = code_for_structure(s);
  if (code != 0) {
    gchar text[11];
    return kov_pixel_format_to_string(code, text);
  }
  const gchar *format = gst_structure_get_string(s, "format");
  return std::string(gst_structure_get_name(s)) + (format != nullptr ? std::string(" ") + format : "");
}

}  // namespace

gchar *describe_device_formats(GstDevice *device, const gchar *indent) {
  g_return_val_if_fail(GST_IS_DEVICE(device), nullptr);
  GstCaps *caps = gst_device_get_caps(device);
  // Formats in the order the device gives them, each with its sizes once.
  std::vector<std::pair<std::string, std::vector<std::string>>> formats;
  for (guint i = 0; caps != nullptr && i < gst_caps_get_size(caps); i++) {
    const GstStructure *s = gst_caps_get_structure(caps, i);
    // A structure with a list of formats stands for each of them.
    std::vector<std::string> names;
    const GValue *list = gst_structure_get_value(s, "format");
    if (list != nullptr && GST_VALUE_HOLDS_LIST(list)) {
      for (guint k = 0; k < gst_value_list_get_size(list); k++) {
        GstStructure *one = gst_structure_copy(s);
        gst_structure_set_value(one, "format", gst_value_list_get_value(list, k));
        names.push_back(format_name(one));
        gst_structure_free(one);
      }
    } else {
      names.push_back(format_name(s));
    }
    const std::string size = size_text(s);
    for (const std::string &name : names) {
      auto it = formats.begin();
      while (it != formats.end() && it->first != name) ++it;
      if (it == formats.end()) it = formats.insert(formats.end(), {name, {}});
      bool seen = false;
      for (const std::string &known : it->second) seen = seen || known == size;
      if (!seen) it->second.push_back(size);
    }
  }
  if (caps != nullptr) gst_caps_unref(caps);
  std::string text;
  for (const auto &[name, sizes] : formats) {
    text += indent != nullptr ? indent : "";
    text += name;
    for (const std::string &size : sizes) text += " " + size;
    text += "\n";
  }
  return g_strdup(text.c_str());
}

}  // namespace kov::gst
