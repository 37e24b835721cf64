// SPDX-License-Identifier: LGPL-2.1-or-later
// Fast debayer and to-RGB8 units per frame (the whole input_frame_ready,
// through the framework) against OpenCV's single-threaded bilinear cvtColor
// on the same BA81 (BGGR) mosaic in the same run. OpenCV names Bayer codes
// after the second row: a BGGR mosaic is its "BayerRG" (the psnr program in
// this folder confirms the pairing on photographs). KOV_SIMD=scalar, sse2,
// ssse3 or avx2 measures the framework's lower vector paths.
// The two-thread cases put the debayer's "threads" control at 2 against
// OpenCV with two threads, both in wall-clock time. Each unit figure also
// measures its ratio to the same OpenCV call in alternating rounds (counter
// "x_opencv"), which a busy machine disturbs far less than two figures
// measured one after the other.
#include <benchmark/benchmark.h>
#include <test_support.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <random>
#include <vector>

using kovtest::Ref;

namespace {

constexpr int kWidth = 1920, kHeight = 1080;

// A photograph-like BGGR mosaic: smooth shading, edges and fine noise.
const std::vector<uint8_t> &mosaic() {
  static const std::vector<uint8_t> bytes = [] {
    std::vector<uint8_t> m(size_t(kWidth) * kHeight);
    std::mt19937 rng(5);
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x) {
        const double r = 128 + 90 * std::sin(x * 0.013) * std::cos(y * 0.007);
        const double g = 120 + 60 * std::sin((x + y) * 0.02) + ((x / 97 + y / 61) % 2) * 40;
        const double b = 100 + 80 * std::cos(x * 0.004 - y * 0.011);
        const int site = (y & 1) * 2 + (x & 1);  // B G / G R
        const double v = site == 0 ? b : site == 3 ? r : g;
        m[size_t(y) * kWidth + x] = uint8_t(std::clamp(v + int(rng() % 9) - 4, 0.0, 255.0));
      }
    return m;
  }();
  return bytes;
}

// Test source -> unit, streaming, with the unit's output format chosen.
struct Chain {
  Ref<KovUnit> source, unit;
  Chain(const char *id, guint32 out_code) {
    source = kovtest::make_source(KOV_PIX_FMT_BA81, kWidth, kHeight, kWidth);
    unit = kovtest::create_unit(id);
    if (!unit) return;
    kov_unit_set_input(unit.get(), source.get());
    GList *formats = kov_unit_get_output_formats(unit.get());
    for (GList *l = formats; l != nullptr; l = l->next)
      if (KOV_UNIT_FORMAT(l->data)->pixelformat == out_code)
        kov_unit_set_output_format(unit.get(), KOV_UNIT_FORMAT(l->data));
    g_list_free(formats);
    kov_unit_stream_init(source.get(), nullptr);
    kov_unit_stream_init(unit.get(), nullptr);
  }
  ~Chain() {
    if (unit) kov_unit_stream_shutdown(unit.get());
    kov_unit_stream_shutdown(source.get());
  }
};

// Nanoseconds of this thread's CPU time, or of the wall clock (for work
// spread over threads).
double now_ns(bool wall) {
  timespec ts;
  clock_gettime(wall ? CLOCK_MONOTONIC : CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) * 1e9 + double(ts.tv_nsec);
}

// OpenCV's conversion of the mosaic (with as many threads as
// cv::setNumThreads last allowed).
struct CvPeer {
  int code;
  std::vector<uint8_t> bytes = mosaic();
  cv::Mat src, dst;
  CvPeer(int code_, int out_type) : code(code_) {
    src = cv::Mat(kHeight, kWidth, CV_8UC1, bytes.data());
    dst = cv::Mat(kHeight, kWidth, out_type);
  }
  void run() {
    cv::cvtColor(src, dst, code);
    benchmark::DoNotOptimize(dst.data);
  }
};

void run_unit(benchmark::State &state, const char *id, guint32 out_code, int cv_code,
              int cv_type, int threads = 1) {
  Chain chain(id, out_code);
  if (!chain.unit) {
    state.SkipWithError("unit not found");
    return;
  }
  if (threads > 1)
    kov_unit_control_set_int(kov_unit_find_control(chain.unit.get(), "threads"), threads, nullptr);
  Ref<KovFrameBuffer> frame = kovtest::make_frame(mosaic());
  for (auto _ : state) kovtest::source_push(chain.source.get(), frame.get());
  // Alternating rounds of five frames each, the best round of each side.
  cv::setNumThreads(threads);
  CvPeer peer(cv_code, cv_type);
  const bool wall = threads > 1;
  double best_unit = 1e30, best_cv = 1e30;
  for (int round = 0; round < 10; ++round) {
    const double t0 = now_ns(wall);
    for (int i = 0; i < 5; ++i) kovtest::source_push(chain.source.get(), frame.get());
    const double t1 = now_ns(wall);
    for (int i = 0; i < 5; ++i) peer.run();
    const double t2 = now_ns(wall);
    best_unit = std::min(best_unit, t1 - t0);
    best_cv = std::min(best_cv, t2 - t1);
  }
  state.counters["x_opencv"] = best_unit / best_cv;
  state.counters["opencv_us"] = best_cv / 5 / 1000;
}

void run_cv(benchmark::State &state, int code, int out_type, int threads = 1) {
  cv::setNumThreads(threads);
  CvPeer peer(code, out_type);
  for (auto _ : state) peer.run();
}

void BM_FastDebayerToBGR4(benchmark::State &s) {
  run_unit(s, "convert.fast_debayer", KOV_PIX_FMT_BGR4, cv::COLOR_BayerRG2BGRA, CV_8UC4);
  s.SetLabel("peer=BM_CvBayerRG2BGRA");
}
void BM_CvBayerRG2BGRA(benchmark::State &s) { run_cv(s, cv::COLOR_BayerRG2BGRA, CV_8UC4); }
void BM_FastDebayerToGREY(benchmark::State &s) {
  run_unit(s, "convert.fast_debayer", KOV_PIX_FMT_GREY, cv::COLOR_BayerRG2GRAY, CV_8UC1);
  s.SetLabel("peer=BM_CvBayerRG2GRAY");
}
void BM_FastDebayerToBGR4_2Threads(benchmark::State &s) {
  run_unit(s, "convert.fast_debayer", KOV_PIX_FMT_BGR4, cv::COLOR_BayerRG2BGRA, CV_8UC4, 2);
  s.SetLabel("peer=BM_CvBayerRG2BGRA_2Threads");
}
void BM_CvBayerRG2BGRA_2Threads(benchmark::State &s) {
  run_cv(s, cv::COLOR_BayerRG2BGRA, CV_8UC4, 2);
}
void BM_CvBayerRG2GRAY(benchmark::State &s) { run_cv(s, cv::COLOR_BayerRG2GRAY, CV_8UC1); }
void BM_ToRgb8FromBA81(benchmark::State &s) {
  run_unit(s, "convert.to_rgb8", KOV_PIX_FMT_RGB3, cv::COLOR_BayerRG2RGB, CV_8UC3);
  s.SetLabel("peer=BM_CvBayerRG2RGB");
}
void BM_CvBayerRG2RGB(benchmark::State &s) { run_cv(s, cv::COLOR_BayerRG2RGB, CV_8UC3); }

}  // namespace

BENCHMARK(BM_FastDebayerToBGR4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CvBayerRG2BGRA)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FastDebayerToBGR4_2Threads)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CvBayerRG2BGRA_2Threads)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FastDebayerToGREY)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CvBayerRG2GRAY)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ToRgb8FromBA81)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CvBayerRG2RGB)->Unit(benchmark::kMillisecond);

// The vector level in use heads the report (KOV_SIMD lowers it to measure
// each path).
int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::AddCustomContext("kovkit SIMD", kov_simd_level_name(kov_simd_level()));
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
