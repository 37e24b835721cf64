// SPDX-License-Identifier: LGPL-2.1-or-later
#include "gst_chain_run.h"

#include <gst/app/gstappsink.h>
#include <gtest/gtest.h>

namespace gsttest {

namespace {

struct RunState {
  ChainRun *run;
  size_t max_frames;
  bool done = false;
};

void on_frame(KovUnitChain *, KovFrameBuffer *frame, KovUnitFormat *format, gpointer data) {
  auto *state = static_cast<RunState *>(data);
  const gsize used = MIN(frame->bytesused, frame->length);
  state->run->frames.emplace_back(frame->data, frame->data + used);
  state->run->formats.push_back(kovtest::Ref<KovUnitFormat>::borrow(format));
  state->run->timestamps.push_back(frame->timestamp);
  if (state->run->frames.size() >= state->max_frames) state->done = true;
}

void on_eos(KovUnitChain *, gpointer data) {
  auto *state = static_cast<RunState *>(data);
  state->run->eos = true;
  state->done = true;
}

void on_error(KovUnitChain *, KovUnit *unit, GError *error, gpointer data) {
  auto *state = static_cast<RunState *>(data);
  if (state->run->error.empty())
    state->run->error = std::string(kov_unit_get_id(unit)) + ": " + error->message;
  state->done = true;
}

gboolean on_deadline(gpointer data) {
  static_cast<RunState *>(data)->done = true;
  return G_SOURCE_REMOVE;
}

}  // namespace

ChainRun run_chain(const std::string &text, size_t max_frames, int seconds) {
  ChainRun run;
  RunState state{&run, max_frames};
  kovtest::Ref<KovUnitChain> chain(kov_unit_chain_new());
  GError *error = nullptr;
  if (!kov_unit_chain_load_from_str(chain.get(), text.c_str(), &error)) {
    ADD_FAILURE() << text << ": " << error->message;
    g_error_free(error);
    return run;
  }
  g_signal_connect(chain.get(), "frame-ready", G_CALLBACK(on_frame), &state);
  g_signal_connect(chain.get(), "eos", G_CALLBACK(on_eos), &state);
  g_signal_connect(chain.get(), "error", G_CALLBACK(on_error), &state);
  if (!kov_unit_chain_all_units_stream_init_full(chain.get(), &error)) {
    if (run.error.empty()) run.error = error->message;
    g_error_free(error);
    g_signal_handlers_disconnect_by_data(chain.get(), &state);
    return run;
  }
  GMainContext *context = g_main_context_new();
  GSource *driver = kov_unit_chain_source_new(chain.get());
  g_source_attach(driver, context);
  GSource *deadline = g_timeout_source_new_seconds(guint(seconds));
  g_source_set_callback(deadline, on_deadline, &state, nullptr);
  g_source_attach(deadline, context);
  while (!state.done) g_main_context_iteration(context, TRUE);
  g_source_destroy(deadline);
  g_source_unref(deadline);
  g_source_destroy(driver);
  g_source_unref(driver);
  kov_unit_chain_all_units_stream_shutdown(chain.get());
  g_signal_handlers_disconnect_by_data(chain.get(), &state);
  g_main_context_unref(context);
  return run;
}

std::vector<std::vector<uint8_t>> gst_buffers(const std::string &pipeline, std::string *caps) {
  std::vector<std::vector<uint8_t>> buffers;
  GError *error = nullptr;
  const std::string text = pipeline + " ! appsink name=reference sync=false";
  GstElement *bin = gst_parse_launch(text.c_str(), &error);
  if (bin == nullptr || error != nullptr) {
    ADD_FAILURE() << text << ": " << (error != nullptr ? error->message : "?");
    g_clear_error(&error);
    if (bin != nullptr) gst_object_unref(bin);
    return buffers;
  }
  GstElement *sink = gst_bin_get_by_name(GST_BIN(bin), "reference");
  gst_element_set_state(bin, GST_STATE_PLAYING);
  while (GstSample *sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 10 * GST_SECOND)) {
    if (caps != nullptr && buffers.empty()) {
      gchar *s = gst_caps_to_string(gst_sample_get_caps(sample));
      *caps = s;
      g_free(s);
    }
    GstMapInfo map;
    GstBuffer *buffer = gst_sample_get_buffer(sample);
    gst_buffer_map(buffer, &map, GST_MAP_READ);
    buffers.emplace_back(map.data, map.data + map.size);
    gst_buffer_unmap(buffer, &map);
    gst_sample_unref(sample);
  }
  gst_element_set_state(bin, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(bin);
  return buffers;
}

}  // namespace gsttest
