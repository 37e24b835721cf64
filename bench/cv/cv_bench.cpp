// SPDX-License-Identifier: LGPL-2.1-or-later
// Canny and Hough units per frame against the OpenCV call they wrap, on the
// same image in the same run. Both sides run with the same OpenCV thread
// count (KOV_BENCH_CV_THREADS, default 1: the figures stay comparable on a
// shared machine).
#include <benchmark/benchmark.h>
#include <test_support.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdlib>
#include <random>

using kovtest::Ref;

namespace {

// Bright discs and rectangles on a dark background with noise of the given
// amplitude: strong noise gives Canny edges everywhere; faint noise is what a
// circle detector is pointed at (strong noise makes Hough vote everywhere).
std::vector<uint8_t> make_picture(int w, int h, int noise = 30) {
  std::vector<uint8_t> bytes(size_t(w) * h);
  cv::Mat img(h, w, CV_8UC1, bytes.data());
  std::mt19937 rng(11);
  for (auto &b : bytes) b = uint8_t(20 + rng() % noise);
  const int r = h / 10;
  for (int i = 0; i < 4; i++) {
    cv::circle(img, cv::Point(w * (2 * i + 1) / 8, h / 3), r, cv::Scalar(200), cv::FILLED,
               cv::LINE_AA);
    cv::rectangle(img, cv::Point(w * i / 4 + r / 2, h * 2 / 3),
                  cv::Point(w * (i + 1) / 4 - r / 2, h * 2 / 3 + r), cv::Scalar(160), cv::FILLED);
  }
  return bytes;
}

// source -> unit, streaming; frames are pushed through the framework.
struct Chain {
  Ref<KovUnit> source, unit;
  Chain(const char *id, int w, int h) {
    source = kovtest::make_source(KOV_PIX_FMT_GREY, w, h, w);
    unit = kovtest::create_unit(id);
    kov_unit_set_input(unit.get(), source.get());
    kov_unit_stream_init(source.get(), nullptr);
    kov_unit_stream_init(unit.get(), nullptr);
  }
  ~Chain() {
    kov_unit_stream_shutdown(unit.get());
    kov_unit_stream_shutdown(source.get());
  }
};

// Region divisor: 1 = whole frame, 2 = a quarter, 4 = a sixteenth of it.
void BM_CannyUnit(benchmark::State &state) {
  const int w = int(state.range(0)), h = int(state.range(1)), div = int(state.range(2));
  Chain chain("opencv.convert_canny", w, h);
  if (!chain.unit) {
    state.SkipWithError("opencv.convert_canny not found");
    return;
  }
  Ref<KovFrameBuffer> frame = kovtest::make_frame(make_picture(w, h));
  if (div > 1) {
    const gint32 roi[4] = {w / 8, h / 8, w / div, h / div};
    kov_framebuffer_metadata_set(frame.get(), "roi", roi, sizeof roi);
  }
  for (auto _ : state) kovtest::source_push(chain.source.get(), frame.get());
  state.SetLabel("peer=BM_CvCanny");
}

void BM_CvCanny(benchmark::State &state) {
  const int w = int(state.range(0)), h = int(state.range(1)), div = int(state.range(2));
  std::vector<uint8_t> bytes = make_picture(w, h);
  cv::Mat img(h, w, CV_8UC1, bytes.data());
  cv::Mat src = div > 1 ? img(cv::Rect(w / 8, h / 8, w / div, h / div)) : img;
  cv::Mat dst(src.size(), CV_8UC1);
  for (auto _ : state) {
    cv::Canny(src, dst, 400, 600, 5);
    benchmark::DoNotOptimize(dst.data);
  }
}

void BM_HoughUnit(benchmark::State &state) {
  const int w = int(state.range(0)), h = int(state.range(1));
  Chain chain("detect.opencv.hough", w, h);
  if (!chain.unit) {
    state.SkipWithError("detect.opencv.hough not found");
    return;
  }
  Ref<KovFrameBuffer> frame = kovtest::make_frame(make_picture(w, h, 6));
  for (auto _ : state) kovtest::source_push(chain.source.get(), frame.get());
  state.SetLabel("peer=BM_CvHoughCircles");
}

void BM_CvHoughCircles(benchmark::State &state) {
  const int w = int(state.range(0)), h = int(state.range(1));
  std::vector<uint8_t> bytes = make_picture(w, h, 6);
  cv::Mat img(h, w, CV_8UC1, bytes.data());
  std::vector<cv::Vec3f> circles;
  for (auto _ : state) {
    cv::HoughCircles(img, circles, cv::HOUGH_GRADIENT, 2, 50, 100, 50, 10, 400);
    benchmark::DoNotOptimize(circles.data());
  }
}

// Each unit figure is registered right next to its peer, so both run under
// the same load on a shared machine.
struct Entry {
  const char *name;
  void (*fn)(benchmark::State &);
};

void register_pairs() {
  const Entry canny[] = {{"BM_CannyUnit", BM_CannyUnit}, {"BM_CvCanny", BM_CvCanny}};
  const Entry hough[] = {{"BM_HoughUnit", BM_HoughUnit}, {"BM_CvHoughCircles", BM_CvHoughCircles}};
  for (auto [w, h] : {std::pair{640, 480}, {1920, 1080}})
    for (int div : {1, 2, 4})
      for (const Entry &e : canny)
        benchmark::RegisterBenchmark(e.name, e.fn)->Args({w, h, div})->Unit(benchmark::kMillisecond);
  for (const Entry &e : hough)
    benchmark::RegisterBenchmark(e.name, e.fn)->Args({640, 480})->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char **argv) {
  const char *threads = std::getenv("KOV_BENCH_CV_THREADS");
  cv::setNumThreads(threads != nullptr ? std::atoi(threads) : 1);
  register_pairs();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
