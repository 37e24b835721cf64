// SPDX-License-Identifier: LGPL-2.1-or-later
// input.gst and output.gst per 1920x1080 BGRx frame, against a bare
// appsink or appsrc pipeline moving the same frames in the same run. The
// frames are never touched (a source that does not fill its buffers, a sink
// that drops them), so the figures are what moving a frame costs. Work runs
// on GStreamer's threads too: times are the process's CPU time, best of
// alternating rounds; "x_bare" is the ratio to the bare pipeline.
#include <benchmark/benchmark.h>
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <test_support.h>

#include <algorithm>
#include <ctime>
#include <string>

using kovtest::Ref;

namespace {

constexpr int kWidth = 1920, kHeight = 1080, kStride = kWidth * 4;
constexpr gsize kSize = gsize(kStride) * kHeight;
constexpr int kFrames = 1000;
constexpr int kRounds = 5;

double cpu_ns() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) * 1e9 + double(ts.tv_nsec);
}

std::string caps_text() {
  return "video/x-raw,format=BGRx,width=" + std::to_string(kWidth) +
         ",height=" + std::to_string(kHeight) + ",framerate=30/1";
}

// Buffers of a frame's size, allocated but never filled.
std::string source_text() {
  return "fakesrc sizetype=fixed filltype=nothing sizemax=" + std::to_string(kSize) +
         " num-buffers=" + std::to_string(kFrames) + " ! " + caps_text();
}

// Each sample pulled and mapped, as a frame over it would be.
void bare_appsink() {
  const std::string text = source_text() + " ! appsink name=sink sync=false max-buffers=2";
  GstElement *bin = gst_parse_launch(text.c_str(), nullptr);
  GstElement *sink = gst_bin_get_by_name(GST_BIN(bin), "sink");
  gst_element_set_state(bin, GST_STATE_PLAYING);
  while (GstSample *sample = gst_app_sink_pull_sample(GST_APP_SINK(sink))) {
    GstMapInfo map;
    gst_buffer_map(gst_sample_get_buffer(sample), &map, GST_MAP_READ);
    benchmark::DoNotOptimize(map.data);
    gst_buffer_unmap(gst_sample_get_buffer(sample), &map);
    gst_sample_unref(sample);
  }
  gst_element_set_state(bin, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(bin);
}

void count_frame(KovUnitChain *, KovFrameBuffer *, KovUnitFormat *, gpointer data) {
  ++*static_cast<int *>(data);
}
void mark_done(KovUnitChain *, gpointer data) { *static_cast<bool *>(data) = true; }

// The same source through input.gst and the chain driver, until its end.
bool input_gst() {
  Ref<KovUnitChain> chain(kov_unit_chain_new());
  const std::string text =
      "input.gst sync=false drop=false pipeline=\"" + source_text() + "\"";
  if (!kov_unit_chain_load_from_str(chain.get(), text.c_str(), nullptr)) return false;
  int frames = 0;
  bool done = false;
  g_signal_connect(chain.get(), "frame-ready", G_CALLBACK(count_frame), &frames);
  g_signal_connect(chain.get(), "eos", G_CALLBACK(mark_done), &done);
  if (!kov_unit_chain_all_units_stream_init_full(chain.get(), nullptr)) return false;
  GMainContext *context = g_main_context_new();
  GSource *driver = kov_unit_chain_source_new(chain.get());
  g_source_attach(driver, context);
  while (!done) g_main_context_iteration(context, TRUE);
  g_source_destroy(driver);
  g_source_unref(driver);
  kov_unit_chain_all_units_stream_shutdown(chain.get());
  g_main_context_unref(context);
  return frames == kFrames;
}

void wait_for_eos(GstElement *bin) {
  GstBus *bus = gst_element_get_bus(bin);
  GstMessage *message = gst_bus_timed_pop_filtered(
      bus, GST_CLOCK_TIME_NONE, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  if (message != nullptr) gst_message_unref(message);
  gst_object_unref(bus);
}

// Buffers wrapping the frame's bytes, pushed into "appsrc ! fakesink".
void bare_appsrc(KovFrameBuffer *frame) {
  const std::string text = "appsrc name=src format=time block=true max-buffers=4 caps=" +
                           caps_text() + " ! fakesink sync=false";
  GstElement *bin = gst_parse_launch(text.c_str(), nullptr);
  GstElement *src = gst_bin_get_by_name(GST_BIN(bin), "src");
  gst_element_set_state(bin, GST_STATE_PLAYING);
  for (int i = 0; i < kFrames; i++) {
    GstBuffer *buffer = gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, frame->data, kSize,
                                                    0, kSize, g_object_ref(frame), g_object_unref);
    GST_BUFFER_PTS(buffer) = GstClockTime(i) * 33 * GST_MSECOND;
    gst_app_src_push_buffer(GST_APP_SRC(src), buffer);
  }
  gst_app_src_end_of_stream(GST_APP_SRC(src));
  wait_for_eos(bin);
  gst_element_set_state(bin, GST_STATE_NULL);
  gst_object_unref(src);
  gst_object_unref(bin);
}

// The same frames through output.gst into a fakesink, until it finished.
void output_gst(KovFrameBuffer *frame) {
  Ref<KovUnit> source = kovtest::make_source(KOV_PIX_FMT_BGR4, kWidth, kHeight, kStride);
  Ref<KovUnit> out = kovtest::create_unit("output.gst");
  kov_unit_control_set_string(kov_unit_find_control(out.get(), "pipeline"), "fakesink sync=false",
                              nullptr);
  kov_unit_set_input(out.get(), source.get());
  kov_unit_stream_init(source.get(), nullptr);
  kov_unit_stream_init(out.get(), nullptr);
  for (int i = 0; i < kFrames; i++) {
    frame->timestamp = 1 + gint64(i) * 33000;
    kovtest::source_push(source.get(), frame);
  }
  kov_unit_stream_shutdown(out.get());
  kov_unit_stream_shutdown(source.get());
  kov_unit_set_input(out.get(), nullptr);
}

template <typename Ours, typename Bare>
void compare(benchmark::State &state, Ours ours, Bare bare) {
  double best_ours = 1e30, best_bare = 1e30;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      const double t0 = cpu_ns();
      ours();
      const double t1 = cpu_ns();
      bare();
      const double t2 = cpu_ns();
      best_ours = std::min(best_ours, (t1 - t0) / kFrames);
      best_bare = std::min(best_bare, (t2 - t1) / kFrames);
    }
  }
  state.counters["us_per_frame"] = best_ours / 1000;
  state.counters["bare_us_per_frame"] = best_bare / 1000;
  state.counters["x_bare"] = best_ours / best_bare;
}

void BM_InputGst(benchmark::State &state) {
  bool ok = true;
  compare(state, [&] { ok = input_gst() && ok; }, bare_appsink);
  if (!ok) state.SkipWithError("input.gst did not give every frame");
}

void BM_OutputGst(benchmark::State &state) {
  Ref<KovFrameBuffer> frame(kov_framebuffer_new_alloc(kSize));
  frame->bytesused = kSize;
  compare(state, [&] { output_gst(frame.get()); }, [&] { bare_appsrc(frame.get()); });
}

BENCHMARK(BM_InputGst)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OutputGst)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
  gst_init(&argc, &argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
