// SPDX-License-Identifier: LGPL-2.1-or-later
// The element that runs a kovkit unit inside a GStreamer pipeline.
//
// Each element holds one unit and a small feeder unit as the unit's input.
// A buffer arriving on the sink pad becomes a frame over the buffer's own
// memory, the feeder hands it to the unit, and every frame the unit produces
// goes downstream as a buffer over the frame's memory. All of this happens on
// the streaming thread that calls the sink pad; property changes from other
// threads are queued and applied there before the next buffer.
//
// Caps: the sink pad takes the formats the unit accepts, found when the class
// is made by offering the unit each mapped format; once the input caps are
// known the source pad gives the formats the unit then offers.
#include "unit_element.h"

#include <gst/video/video.h>
#include <kovkit/gst_bridge.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "control_properties.h"
#include "unit_probe.h"

namespace kov::gst {
namespace {

void add_unique(std::vector<guint32> *codes, guint32 code) {
  if (std::find(codes->begin(), codes->end(), code) == codes->end()) codes->push_back(code);
}

/* ---- class data ---------------------------------------------------------- */

struct PropertyInfo {
  std::string control_id;
};

// What one element type knows about its unit; made once, kept for the life
// of the process (element types are never unregistered).
struct ElementClassInfo {
  std::string unit_id;
  std::vector<PropertyInfo> properties;  // property id - 1
  CodeMap codes;                         // found when the class was made
};

struct KovGstUnitElementClass {
  GstElementClass parent_class;
  ElementClassInfo *info;
};

// Per-element state that holds C++ objects; made in the instance
// initializer, deleted in finalize.
struct ElementState {
  std::vector<GValue> values;      // the properties as the application sees them
  std::vector<bool> pending;       // changed since the streaming thread last applied them
  VideoLayout layout;              // of the negotiated input caps
};

struct KovGstUnitElement {
  GstElement parent;
  GstPad *sinkpad;
  GstPad *srcpad;
  KovUnit *unit;    // strong reference
  KovUnit *feeder;  // strong reference
  ElementState *state;
  GMutex lock;          // guards state->values and state->pending
  gboolean any_pending; // under lock
  GstCaps *src_caps;    // last caps pushed on the source pad, or NULL
  gboolean meta_readable;  // downstream reads GstVideoMeta
  gint fps_n, fps_d;
  gint buffer_stride;   // row stride of the buffers the unit was started for
  gboolean repack;      // the unit takes only packed rows: buffers are copied
  GstBuffer *current_input;  // the buffer being processed (no reference)
  GstFlowReturn flow;        // of the pushes made for the current buffer
  GError *unit_error;        // posted by the unit while processing
  gulong frame_handler, error_handler;
};

GstElementClass *element_parent_class = nullptr;

KovGstUnitElementClass *class_of(KovGstUnitElement *self) {
  return reinterpret_cast<KovGstUnitElementClass *>(G_OBJECT_GET_CLASS(self));
}

KovGstUnitElement *element_of(gpointer object) {
  return reinterpret_cast<KovGstUnitElement *>(object);
}


void element_set_property(GObject *object, guint prop_id, const GValue *value, GParamSpec *) {
  KovGstUnitElement *self = element_of(object);
  g_mutex_lock(&self->lock);
  if (prop_id >= 1 && prop_id <= self->state->values.size()) {
    g_value_copy(value, &self->state->values[prop_id - 1]);
    self->state->pending[prop_id - 1] = true;
    self->any_pending = TRUE;
  }
  g_mutex_unlock(&self->lock);
}

void element_get_property(GObject *object, guint prop_id, GValue *value, GParamSpec *) {
  KovGstUnitElement *self = element_of(object);
  g_mutex_lock(&self->lock);
  if (prop_id >= 1 && prop_id <= self->state->values.size())
    g_value_copy(&self->state->values[prop_id - 1], value);
  g_mutex_unlock(&self->lock);
}

// On the streaming thread (or with no stream running): hands queued property
// changes to the unit. A value the unit refuses or adjusts is replaced by the
// control's own, with a warning on the bus for a refusal.
void apply_pending_properties(KovGstUnitElement *self) {
  g_mutex_lock(&self->lock);
  if (!self->any_pending) {
    g_mutex_unlock(&self->lock);
    return;
  }
  ElementState *st = self->state;
  const std::vector<PropertyInfo> &props = class_of(self)->info->properties;
  std::vector<GValue> changes(props.size());
  for (size_t i = 0; i < props.size(); ++i) {
    changes[i] = G_VALUE_INIT;
    if (!st->pending[i]) continue;
    g_value_init(&changes[i], G_VALUE_TYPE(&st->values[i]));
    g_value_copy(&st->values[i], &changes[i]);
    st->pending[i] = false;
  }
  self->any_pending = FALSE;
  g_mutex_unlock(&self->lock);

  for (size_t i = 0; i < props.size(); ++i) {
    if (!G_IS_VALUE(&changes[i])) continue;
    KovUnitControl *control = kov_unit_find_control(self->unit, props[i].control_id.c_str());
    GError *error = nullptr;
    if (control != nullptr && !write_control(control, &changes[i], &error) && error != nullptr) {
      GST_ELEMENT_WARNING(self, LIBRARY, SETTINGS, ("%s", error->message), (nullptr));
      g_clear_error(&error);
    }
    g_clear_error(&error);
    if (control != nullptr) {
      g_mutex_lock(&self->lock);
      if (!st->pending[i]) read_control(control, &st->values[i]);
      g_mutex_unlock(&self->lock);
    }
    g_value_unset(&changes[i]);
  }
}

/* ---- frames out ---------------------------------------------------------- */

gint32 read_entry(KovFrameBuffer *frame, const char *key, bool *present) {
  gsize length = 0;
  gconstpointer data = kov_framebuffer_metadata_get(frame, key, &length);
  gint32 value = 0;
  if (data != nullptr && length == sizeof value) {
    std::memcpy(&value, data, sizeof value);
    *present = true;
  }
  return value;
}

guint clamp_unsigned(gint64 v) { return guint(std::clamp<gint64>(v, 0, G_MAXINT32)); }

// The frame's "roi" entry and its circle marker, as region-of-interest metas
// that GStreamer applications can read.
void add_region_metas(GstBuffer *buffer, KovFrameBuffer *frame) {
  gsize length = 0;
  gconstpointer roi = kov_framebuffer_metadata_get(frame, "roi", &length);
  if (roi != nullptr && length == 4 * sizeof(gint32)) {
    gint32 v[4];
    std::memcpy(v, roi, sizeof v);
    gst_buffer_add_video_region_of_interest_meta(buffer, "roi", clamp_unsigned(v[0]),
                                                 clamp_unsigned(v[1]), clamp_unsigned(v[2]),
                                                 clamp_unsigned(v[3]));
  }
  bool has_x = false, has_y = false, has_r = false;
  const gint32 x = read_entry(frame, "marker:x", &has_x);
  const gint32 y = read_entry(frame, "marker:y", &has_y);
  const gint32 r = read_entry(frame, "marker:r", &has_r);
  if (!has_x || !has_y || !has_r || r <= 0) return;
  // The meta's rectangle bounds the circle; its parameters give the circle.
  GstVideoRegionOfInterestMeta *meta = gst_buffer_add_video_region_of_interest_meta(
      buffer, "circle", clamp_unsigned(gint64(x) - r), clamp_unsigned(gint64(y) - r),
      clamp_unsigned(gint64(r) * 2), clamp_unsigned(gint64(r) * 2));
  gst_video_region_of_interest_meta_add_param(
      meta, gst_structure_new("circle", "x", G_TYPE_INT, x, "y", G_TYPE_INT, y, "radius",
                              G_TYPE_INT, r, nullptr));
}

// Pushes caps for @format on the source pad unless they are the current ones.
bool update_src_caps(KovGstUnitElement *self, const KovUnitFormat *format) {
  GstCaps *caps = caps_for_format(format, self->fps_n, self->fps_d);
  if (caps == nullptr) return false;
  if (self->src_caps != nullptr && gst_caps_is_equal(caps, self->src_caps)) {
    gst_caps_unref(caps);
    return true;
  }
  self->meta_readable = peer_reads_video_meta(self->srcpad, caps);
  GST_OBJECT_LOCK(self);
  gst_caps_replace(&self->src_caps, caps);
  GST_OBJECT_UNLOCK(self);
  const bool pushed = gst_pad_push_event(self->srcpad, gst_event_new_caps(caps));
  gst_caps_unref(caps);
  return pushed;
}

void on_frame_ready(KovUnit *unit, KovFrameBuffer *frame, KovUnitFormat *format,
                    gpointer user_data) {
  KovGstUnitElement *self = element_of(user_data);
  if (format == nullptr) format = kov_unit_get_output_format(unit);
  if (format == nullptr || self->flow != GST_FLOW_OK) return;
  if (!update_src_caps(self, format)) {
    self->flow = GST_FLOW_NOT_NEGOTIATED;
    return;
  }
  GstBuffer *buffer = buffer_from_frame(frame, format, self->meta_readable);
  if (buffer == nullptr) {
    GST_ELEMENT_ERROR(self, STREAM, FORMAT,
                      ("%s produced a frame smaller than its format", kov_unit_get_id(unit)),
                      (nullptr));
    self->flow = GST_FLOW_ERROR;
    return;
  }
  if (self->current_input != nullptr)
    gst_buffer_copy_into(buffer, self->current_input, GstBufferCopyFlags(GST_BUFFER_COPY_TIMESTAMPS),
                         0, -1);
  else
    GST_BUFFER_PTS(buffer) = GstClockTime(std::max<gint64>(frame->timestamp, 0)) * GST_USECOND;
  add_region_metas(buffer, frame);
  self->flow = gst_pad_push(self->srcpad, buffer);
}

void on_unit_error(KovUnit *, GError *error, gpointer user_data) {
  KovGstUnitElement *self = element_of(user_data);
  if (self->unit_error == nullptr) self->unit_error = g_error_copy(error);
}

void post_unit_error(KovGstUnitElement *self) {
  const GError *error = self->unit_error != nullptr ? self->unit_error
                                                    : kov_unit_get_error(self->unit);
  if (error != nullptr)
    GST_ELEMENT_ERROR(self, LIBRARY, FAILED,
                      ("%s: %s", kov_unit_get_id(self->unit), error->message), (nullptr));
  else
    GST_ELEMENT_ERROR(self, LIBRARY, FAILED, ("%s refused to start", kov_unit_get_id(self->unit)),
                      (nullptr));
  g_clear_error(&self->unit_error);
}

/* ---- frames in ----------------------------------------------------------- */

// The buffer's first region-of-interest meta as the frame's "roi" entry.
void set_roi_entry(KovFrameBuffer *frame, GstBuffer *buffer) {
  gpointer state = nullptr;
  GstMeta *meta = gst_buffer_iterate_meta_filtered(buffer, &state,
                                                   GST_VIDEO_REGION_OF_INTEREST_META_API_TYPE);
  if (meta == nullptr) return;
  auto *roi = reinterpret_cast<GstVideoRegionOfInterestMeta *>(meta);
  const gint32 v[4] = {gint32(std::min<guint>(roi->x, G_MAXINT32)),
                       gint32(std::min<guint>(roi->y, G_MAXINT32)),
                       gint32(std::min<guint>(roi->w, G_MAXINT32)),
                       gint32(std::min<guint>(roi->h, G_MAXINT32))};
  kov_framebuffer_metadata_set(frame, "roi", v, sizeof v);
}

// Offers the unit the input format and picks, among the formats it then
// offers, the first one downstream takes; starts the unit with it. A unit
// that does not take GStreamer's padded rows of a single-plane format gets
// packed copies instead.
bool start_unit(KovGstUnitElement *self, guint32 code, gint width, gint height, gint stride) {
  kov_unit_stream_shutdown(self->unit);
  self->buffer_stride = stride;
  const KovPixelFormatInfo *info = kov_pixel_format_get_info(code);
  const gint packed = kov_pixel_format_min_row_stride(code, width);
  self->repack = FALSE;
  if (!set_feeder_format(self->feeder, self->unit, code, width, height, stride) &&
      info != nullptr && info->planes == 1 && packed > 0 && packed != stride &&
      set_feeder_format(self->feeder, self->unit, code, width, height, packed))
    self->repack = TRUE;
  if (kov_unit_get_output_format(self->unit) == nullptr) {
    gchar buf[11];
    GST_ELEMENT_ERROR(self, STREAM, FORMAT,
                      ("%s does not take %dx%d %s", kov_unit_get_id(self->unit), width, height,
                       kov_pixel_format_to_string(code, buf)),
                      (nullptr));
    return false;
  }
  GstCaps *peer = gst_pad_peer_query_caps(self->srcpad, nullptr);
  GList *offered = kov_unit_get_output_formats(self->unit);
  KovUnitFormat *chosen = nullptr;
  for (GList *l = offered; l != nullptr && chosen == nullptr; l = l->next) {
    GstCaps *caps = caps_for_format(KOV_UNIT_FORMAT(l->data), self->fps_n, self->fps_d);
    if (caps != nullptr && gst_caps_can_intersect(caps, peer)) chosen = KOV_UNIT_FORMAT(l->data);
    if (caps != nullptr) gst_caps_unref(caps);
  }
  g_list_free(offered);
  gst_caps_unref(peer);
  if (chosen == nullptr) {
    GST_ELEMENT_ERROR(self, CORE, NEGOTIATION,
                      ("downstream takes none of the formats %s gives",
                       kov_unit_get_id(self->unit)),
                      (nullptr));
    return false;
  }
  kov_unit_set_preferred_format(self->unit, chosen->pixelformat, chosen->width, chosen->height, 0);
  kov_unit_set_output_format(self->unit, chosen);
  if (kov_unit_stream_init(self->unit, nullptr) != 0) {
    post_unit_error(self);
    return false;
  }
  return update_src_caps(self, kov_unit_get_output_format(self->unit));
}

gboolean handle_caps(KovGstUnitElement *self, GstCaps *caps) {
  if (self->unit == nullptr) return FALSE;
  apply_pending_properties(self);
  VideoLayout layout;
  if (!layout_from_caps(caps, &layout)) return FALSE;
  const GstStructure *s = gst_caps_get_structure(caps, 0);
  if (!gst_structure_get_fraction(s, "framerate", &self->fps_n, &self->fps_d)) {
    self->fps_n = 0;
    self->fps_d = 1;
  }
  GST_OBJECT_LOCK(self);
  gst_caps_replace(&self->src_caps, nullptr);
  GST_OBJECT_UNLOCK(self);
  // Buffers are refused until caps the unit and downstream take arrive.
  self->state->layout = VideoLayout{};
  if (!start_unit(self, layout.code, layout.width, layout.height,
                  frame_row_stride(layout, nullptr)))
    return FALSE;
  self->state->layout = layout;
  return TRUE;
}

// A frame of @format (packed rows) with the picture of @frame, whose rows
// are @stride bytes apart; nullptr when @frame is short or memory runs out.
KovFrameBuffer *packed_copy(KovFrameBuffer *frame, const KovUnitFormat *format, gint stride) {
  const gsize size = kov_pixel_format_frame_size(format->pixelformat, format->width,
                                                 format->height, format->row_stride);
  const gsize needed = gsize(format->height - 1) * gsize(stride) + gsize(format->row_stride);
  if (size == 0 || format->height <= 0 || frame->length < needed) return nullptr;
  KovFrameBuffer *copy = kov_framebuffer_new_alloc(size);
  if (copy == nullptr) return nullptr;
  for (gint y = 0; y < format->height; ++y)
    std::memcpy(copy->data + gsize(y) * gsize(format->row_stride),
                frame->data + gsize(y) * gsize(stride), gsize(format->row_stride));
  copy->bytesused = size;
  return copy;
}

GstFlowReturn element_chain(GstPad *, GstObject *parent, GstBuffer *buffer) {
  KovGstUnitElement *self = element_of(parent);
  const VideoLayout &layout = self->state->layout;
  if (layout.code == 0) {
    gst_buffer_unref(buffer);
    return GST_FLOW_NOT_NEGOTIATED;
  }
  apply_pending_properties(self);

  // A buffer whose own stride differs from the negotiated one (an upstream
  // pool with padded rows) restarts the unit with that layout.
  const gint stride = frame_row_stride(layout, buffer);
  KovUnitFormat *in = kov_unit_get_output_format(self->feeder);
  if (in == nullptr || self->buffer_stride != stride || !kov_unit_is_streaming(self->unit)) {
    if (!start_unit(self, layout.code, layout.width, layout.height, stride)) {
      gst_buffer_unref(buffer);
      return GST_FLOW_NOT_NEGOTIATED;
    }
    in = kov_unit_get_output_format(self->feeder);
  }

  GError *error = nullptr;
  KovFrameBuffer *frame = frame_from_buffer(layout, buffer, &error);
  if (frame == nullptr) {
    GST_ELEMENT_ERROR(self, STREAM, DECODE, ("%s", error != nullptr ? error->message : "bad buffer"),
                      (nullptr));
    g_clear_error(&error);
    gst_buffer_unref(buffer);
    return GST_FLOW_ERROR;
  }
  if (self->repack) {
    KovFrameBuffer *copy = packed_copy(frame, in, stride);
    g_object_unref(frame);
    if (copy == nullptr) {
      GST_ELEMENT_ERROR(self, STREAM, FAILED,
                        ("cannot copy a buffer for %s", kov_unit_get_id(self->unit)), (nullptr));
      gst_buffer_unref(buffer);
      return GST_FLOW_ERROR;
    }
    frame = copy;
  }
  if (GST_BUFFER_PTS_IS_VALID(buffer)) frame->timestamp = gint64(GST_BUFFER_PTS(buffer) / GST_USECOND);
  set_roi_entry(frame, buffer);

  self->current_input = buffer;
  self->flow = GST_FLOW_OK;
  kov_unit_produce_frame(self->feeder, frame, in);
  self->current_input = nullptr;
  g_object_unref(frame);
  gst_buffer_unref(buffer);

  if (self->unit_error != nullptr) {
    post_unit_error(self);
    return GST_FLOW_ERROR;
  }
  return self->flow;
}

gboolean sink_event(GstPad *pad, GstObject *parent, GstEvent *event) {
  KovGstUnitElement *self = element_of(parent);
  if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS) {
    GstCaps *caps = nullptr;
    gst_event_parse_caps(event, &caps);
    const gboolean ok = handle_caps(self, caps);
    gst_event_unref(event);
    return ok;
  }
  return gst_pad_event_default(pad, parent, event);
}

// caps narrowed to a caps query's filter (taking caps; NULL filter: all).
GstCaps *filtered(GstCaps *caps, GstCaps *filter) {
  if (filter == nullptr) return caps;
  GstCaps *both = gst_caps_intersect_full(filter, caps, GST_CAPS_INTERSECT_FIRST);
  gst_caps_unref(caps);
  return both;
}

GstCaps *template_caps(GstPad *pad, GstCaps *filter) {
  return filtered(gst_pad_get_pad_template_caps(pad), filter);
}

// The input formats for which the unit gives a format downstream takes (at
// any size: units may change it), in the unit's order.
GstCaps *sink_caps(KovGstUnitElement *self, GstCaps *filter) {
  // Sizes are left out of the comparison.
  GstCaps *peer = gst_caps_make_writable(gst_pad_peer_query_caps(self->srcpad, nullptr));
  for (guint i = 0; i < gst_caps_get_size(peer); ++i)
    gst_structure_remove_fields(gst_caps_get_structure(peer, i), "width", "height", "framerate",
                                "pixel-aspect-ratio", nullptr);
  std::vector<guint32> inputs;
  for (const auto &[in, outs] : class_of(self)->info->codes) {
    GstCaps *out_caps = caps_for_codes(outs);
    if (gst_caps_can_intersect(out_caps, peer)) inputs.push_back(in);
    gst_caps_unref(out_caps);
  }
  gst_caps_unref(peer);
  return filtered(caps_for_codes(inputs), filter);
}

gboolean sink_query(GstPad *pad, GstObject *parent, GstQuery *query) {
  switch (GST_QUERY_TYPE(query)) {
    case GST_QUERY_CAPS: {
      GstCaps *filter = nullptr;
      gst_query_parse_caps(query, &filter);
      GstCaps *caps = sink_caps(element_of(parent), filter);
      gst_query_set_caps_result(query, caps);
      gst_caps_unref(caps);
      return TRUE;
    }
    case GST_QUERY_ALLOCATION:
      // Frames are made over the buffers as they come, strides and all.
      gst_query_add_allocation_meta(query, GST_VIDEO_META_API_TYPE, nullptr);
      return TRUE;
    default:
      return gst_pad_query_default(pad, parent, query);
  }
}

gboolean src_query(GstPad *pad, GstObject *parent, GstQuery *query) {
  KovGstUnitElement *self = element_of(parent);
  if (GST_QUERY_TYPE(query) != GST_QUERY_CAPS) return gst_pad_query_default(pad, parent, query);
  GstCaps *filter = nullptr;
  gst_query_parse_caps(query, &filter);
  GstCaps *caps = nullptr;
  GST_OBJECT_LOCK(self);
  if (self->src_caps != nullptr) caps = gst_caps_ref(self->src_caps);
  GST_OBJECT_UNLOCK(self);
  if (caps == nullptr) {
    caps = template_caps(pad, filter);
  } else if (filter != nullptr) {
    GstCaps *both = gst_caps_intersect_full(filter, caps, GST_CAPS_INTERSECT_FIRST);
    gst_caps_unref(caps);
    caps = both;
  }
  gst_query_set_caps_result(query, caps);
  gst_caps_unref(caps);
  return TRUE;
}

GstStateChangeReturn element_change_state(GstElement *element, GstStateChange transition) {
  KovGstUnitElement *self = element_of(element);
  const GstStateChangeReturn result = element_parent_class->change_state(element, transition);
  if (result == GST_STATE_CHANGE_FAILURE) return result;
  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY && self->unit != nullptr) {
    // The streaming thread has left the element: the unit is ours to stop.
    kov_unit_stream_shutdown(self->unit);
    self->state->layout = VideoLayout{};
    GST_OBJECT_LOCK(self);
    gst_caps_replace(&self->src_caps, nullptr);
    GST_OBJECT_UNLOCK(self);
    g_clear_error(&self->unit_error);
  }
  return result;
}

/* ---- type ---------------------------------------------------------------- */

void element_finalize(GObject *object) {
  KovGstUnitElement *self = element_of(object);
  if (self->unit != nullptr) {
    g_signal_handler_disconnect(self->unit, self->frame_handler);
    g_signal_handler_disconnect(self->unit, self->error_handler);
    kov_unit_stream_shutdown(self->unit);
    kov_unit_set_input(self->unit, nullptr);
    g_object_unref(self->unit);
  }
  g_clear_object(&self->feeder);
  for (GValue &v : self->state->values) g_value_unset(&v);
  delete self->state;
  gst_caps_replace(&self->src_caps, nullptr);
  g_clear_error(&self->unit_error);
  g_mutex_clear(&self->lock);
  G_OBJECT_CLASS(element_parent_class)->finalize(object);
}

KovUnit *create_unit(const char *id) {
  KovUnitManager *manager = kov_unit_manager_get_and_ref();
  KovUnit *unit = kov_unit_manager_create_unit_by_id(manager, id);
  g_object_unref(manager);
  return unit;
}

void element_init(GTypeInstance *instance, gpointer klass) {
  KovGstUnitElement *self = element_of(instance);
  auto *info = static_cast<KovGstUnitElementClass *>(klass)->info;
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
  g_mutex_init(&self->lock);
  self->state = new ElementState();
  self->fps_d = 1;

  self->sinkpad = gst_pad_new_from_template(
      gst_element_class_get_pad_template(element_class, "sink"), "sink");
  gst_pad_set_chain_function(self->sinkpad, element_chain);
  gst_pad_set_event_function(self->sinkpad, sink_event);
  gst_pad_set_query_function(self->sinkpad, sink_query);
  gst_element_add_pad(GST_ELEMENT(self), self->sinkpad);
  self->srcpad = gst_pad_new_from_template(
      gst_element_class_get_pad_template(element_class, "src"), "src");
  gst_pad_set_query_function(self->srcpad, src_query);
  gst_pad_use_fixed_caps(self->srcpad);
  gst_element_add_pad(GST_ELEMENT(self), self->srcpad);

  KovUnit *unit = create_unit(info->unit_id.c_str());
  if (unit == nullptr) return;  // the class could not have been made without one
  self->unit = KOV_UNIT(g_object_ref_sink(unit));
  self->feeder = KOV_UNIT(g_object_ref_sink(g_object_new(feeder_get_type(), nullptr)));
  kov_unit_set_input(self->unit, self->feeder);
  self->frame_handler = g_signal_connect(self->unit, "frame-ready", G_CALLBACK(on_frame_ready), self);
  self->error_handler = g_signal_connect(self->unit, "error", G_CALLBACK(on_unit_error), self);

  GObjectClass *object_class = G_OBJECT_CLASS(klass);
  for (const PropertyInfo &p : info->properties) {
    GValue v = G_VALUE_INIT;
    KovUnitControl *control = kov_unit_find_control(self->unit, p.control_id.c_str());
    GParamSpec *property =
        g_object_class_find_property(object_class, sanitized(p.control_id.c_str(), false).c_str());
    g_value_init(&v, property != nullptr ? property->value_type : G_TYPE_INT);
    if (control != nullptr) read_control(control, &v);
    self->state->values.push_back(v);
    self->state->pending.push_back(false);
  }
}

void element_class_init(gpointer klass, gpointer class_data) {
  auto *info = static_cast<ElementClassInfo *>(class_data);
  auto *element_class = GST_ELEMENT_CLASS(klass);
  GObjectClass *object_class = G_OBJECT_CLASS(klass);
  static_cast<KovGstUnitElementClass *>(klass)->info = info;
  element_parent_class = static_cast<GstElementClass *>(g_type_class_peek_parent(klass));
  object_class->set_property = element_set_property;
  object_class->get_property = element_get_property;
  object_class->finalize = element_finalize;
  element_class->change_state = element_change_state;

  KovUnitManager *manager = kov_unit_manager_get_and_ref();
  KovUnitDescription *description =
      kov_unit_manager_find_unit_description(manager, info->unit_id.c_str());
  const gchar *label = description != nullptr ? kov_unit_description_get_label(description)
                                               : info->unit_id.c_str();
  g_object_unref(manager);
  gchar *long_name = g_strdup_printf("kovkit %s", info->unit_id.c_str());
  gchar *about = g_strdup_printf("%s (kovkit unit %s)", label, info->unit_id.c_str());
  gst_element_class_set_metadata(element_class, long_name, "Filter/Effect/Video", about,
                                 "kovkit");
  g_free(long_name);
  g_free(about);

  Probe probe(create_unit(info->unit_id.c_str()));
  if (probe.unit != nullptr) info->codes = probe_formats(probe);
  std::vector<guint32> inputs, outputs;
  for (const auto &[in, outs] : info->codes) {
    add_unique(&inputs, in);
    for (guint32 out : outs) add_unique(&outputs, out);
  }
  GstCaps *sink_caps = caps_for_codes(inputs);
  GstCaps *src_caps = caps_for_codes(outputs);
  gst_element_class_add_pad_template(
      element_class, gst_pad_template_new("sink", GST_PAD_SINK, GST_PAD_ALWAYS, sink_caps));
  gst_element_class_add_pad_template(
      element_class, gst_pad_template_new("src", GST_PAD_SRC, GST_PAD_ALWAYS, src_caps));
  gst_caps_unref(sink_caps);
  gst_caps_unref(src_caps);

  // One property per control, in the unit's order; ids GStreamer already
  // uses for elements ("name", "parent") are left out.
  const gchar *type_name = g_type_name(G_TYPE_FROM_CLASS(klass));
  guint prop_id = 1;
  if (probe.unit == nullptr) return;
  for (const GList *l = kov_unit_get_controls(probe.unit); l != nullptr; l = l->next) {
    KovUnitControl *control = KOV_UNIT_CONTROL(l->data);
    const std::string name = sanitized(kov_unit_control_get_id(control), false);
    if (name.empty() || !std::isalpha(static_cast<unsigned char>(name[0])) ||
        g_object_class_find_property(object_class, name.c_str()) != nullptr)
      continue;
    GParamSpec *property = property_for(type_name, control, g_intern_string(name.c_str()));
    if (property == nullptr) continue;
    g_object_class_install_property(object_class, prop_id++, property);
    info->properties.push_back({kov_unit_control_get_id(control)});
  }
}


}  // namespace

std::string element_name_for_unit(const char *unit_id) {
  return "kovkit-" + sanitized(unit_id, false);
}


gboolean register_unit_element(GstPlugin *plugin, KovUnitDescription *description) {
  const char *id = kov_unit_description_get_id(description);
  const std::string element_name = element_name_for_unit(id);
  std::string type_name = "KovGst_" + sanitized(id, true);
  std::replace(type_name.begin(), type_name.end(), '-', '_');
  if (g_type_from_name(type_name.c_str()) != 0) return FALSE;
  auto *info = new ElementClassInfo{id, {}, {}};
  const GTypeInfo type_info = {
      sizeof(KovGstUnitElementClass), nullptr, nullptr, element_class_init, nullptr, info,
      sizeof(KovGstUnitElement), 0, element_init, nullptr};
  const GType type = g_type_register_static(GST_TYPE_ELEMENT, g_intern_string(type_name.c_str()),
                                            &type_info, GTypeFlags(0));
  return gst_element_register(plugin, element_name.c_str(), GST_RANK_NONE, type);
}

}  // namespace kov::gst
