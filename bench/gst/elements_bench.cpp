// SPDX-License-Identifier: LGPL-2.1-or-later
// The kovkit elements against GStreamer's own elements for the same job, in
// the same pipeline shape at 1920x1080:
//   appsrc ! kovkit-util-flip flip-h=true     ! fakesink
//   appsrc ! videoflip video-direction=horiz  ! fakesink
//   appsrc ! kovkit-convert-fast-debayer ! BGRx ! fakesink
//   appsrc ! bayer2rgb                   ! BGRx ! fakesink
// Each figure is the process CPU time per frame (all pipeline threads), best
// of alternating rounds; "x_peer" is the kovkit element's time over the
// GStreamer element's.
#include <benchmark/benchmark.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 1920, kHeight = 1080, kFrames = 30, kRounds = 6;

double process_cpu_ns() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) * 1e9 + double(ts.tv_nsec);
}

// CPU nanoseconds per frame for kFrames copies of @picture pushed through
// "appsrc caps=<caps> ! <middle> ! fakesink"; negative on failure.
double per_frame_ns(const std::string &caps, const std::string &middle, GstBuffer *picture) {
  const std::string text = "appsrc name=src block=true format=time caps=\"" + caps + "\" ! " +
                           middle + " ! fakesink sync=false";
  GstElement *pipeline = gst_parse_launch(text.c_str(), nullptr);
  if (pipeline == nullptr) return -1;
  GstElement *src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  // One frame through first: negotiation and first-frame setup are not timed.
  gst_app_src_push_buffer(GST_APP_SRC(src), gst_buffer_copy(picture));
  gst_element_get_state(pipeline, nullptr, nullptr, GST_CLOCK_TIME_NONE);
  const double start = process_cpu_ns();
  for (int i = 0; i < kFrames; ++i) {
    GstBuffer *b = gst_buffer_ref(picture);
    gst_app_src_push_buffer(GST_APP_SRC(src), b);
  }
  gst_app_src_end_of_stream(GST_APP_SRC(src));
  GstBus *bus = gst_element_get_bus(pipeline);
  GstMessage *msg = gst_bus_timed_pop_filtered(
      bus, GST_CLOCK_TIME_NONE, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  const bool ok = msg != nullptr && GST_MESSAGE_TYPE(msg) == GST_MESSAGE_EOS;
  const double elapsed = process_cpu_ns() - start;
  if (msg != nullptr) gst_message_unref(msg);
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(src);
  gst_object_unref(pipeline);
  return ok ? elapsed / kFrames : -1;
}

GstBuffer *picture(size_t size) {
  GstBuffer *buffer = gst_buffer_new_allocate(nullptr, size, nullptr);
  GstMapInfo map;
  gst_buffer_map(buffer, &map, GST_MAP_WRITE);
  for (size_t i = 0; i < size; ++i) map.data[i] = guint8(i * 7 + (i >> 9));
  gst_buffer_unmap(buffer, &map);
  return buffer;
}

// Alternating rounds of the kovkit pipeline and its peer; best of each.
void compare(benchmark::State &state, const std::string &caps, const std::string &kovkit,
             const std::string &peer, size_t size) {
  // The build's plug-in unless the caller points GStreamer elsewhere.
  g_setenv("GST_PLUGIN_PATH", KOV_GST_PLUGIN_BUILD_DIR, FALSE);
  gst_init(nullptr, nullptr);
  GstBuffer *input = picture(size);
  double best_kov = 1e30, best_peer = 1e30;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      const double k = per_frame_ns(caps, kovkit, input);
      const double p = per_frame_ns(caps, peer, input);
      if (k < 0 || p < 0) {
        state.SkipWithError("a pipeline failed (is GST_PLUGIN_PATH set to the build's plug-in?)");
        break;
      }
      best_kov = std::min(best_kov, k);
      best_peer = std::min(best_peer, p);
    }
  }
  gst_buffer_unref(input);
  state.counters["kovkit_ms"] = best_kov / 1e6;
  state.counters["peer_ms"] = best_peer / 1e6;
  state.counters["x_peer"] = best_kov / best_peer;
}

void BM_FlipHorizontalRGBx(benchmark::State &state) {
  compare(state, "video/x-raw,format=RGBx,width=1920,height=1080,framerate=30/1",
          "kovkit-util-flip flip-h=true", "videoflip video-direction=horiz",
          size_t(kWidth) * kHeight * 4);
}
BENCHMARK(BM_FlipHorizontalRGBx)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_FlipHorizontalRGB(benchmark::State &state) {
  compare(state, "video/x-raw,format=RGB,width=1920,height=1080,framerate=30/1",
          "kovkit-util-flip flip-h=true", "videoflip video-direction=horiz",
          size_t(kWidth) * kHeight * 3);
}
BENCHMARK(BM_FlipHorizontalRGB)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_DebayerBGGRToBGRx(benchmark::State &state) {
  compare(state, "video/x-bayer,format=bggr,width=1920,height=1080,framerate=30/1",
          "kovkit-convert-fast-debayer ! video/x-raw,format=BGRx",
          "bayer2rgb ! video/x-raw,format=BGRx", size_t(kWidth) * kHeight);
}
BENCHMARK(BM_DebayerBGGRToBGRx)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
