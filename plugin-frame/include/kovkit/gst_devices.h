/* SPDX-License-Identifier: LGPL-2.1-or-later */
// The video capture devices (cameras) GStreamer's device monitor finds, for
// the camera source and for programs that list what they could capture from.
#ifndef KOVKIT_GST_DEVICES_H
#define KOVKIT_GST_DEVICES_H

#include <gst/gst.h>

namespace kov::gst {

// The video capture devices, in the monitor's order; free with
// g_list_free_full(list, gst_object_unref). GStreamer must be initialized.
GList *video_capture_devices();

// The device's node ("/dev/video0") when its properties name one, else
// nullptr; free with g_free.
gchar *device_path(GstDevice *device);

// TRUE when @name is the device's display name or node.
gboolean device_matches(GstDevice *device, const gchar *name);

// What the device offers, one line per format with its sizes, such as
// "YUYV 640x480 1280x720" (kovkit's code, or GStreamer's media type for
// formats kovkit does not know); each line starts with @indent. Free with
// g_free.
gchar *describe_device_formats(GstDevice *device, const gchar *indent);

}  // namespace kov::gst

#endif
