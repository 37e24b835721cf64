// SPDX-License-Identifier: LGPL-2.1-or-later
// JPEG compress (RGB3, quality 94) and decompress (to RGB3) per frame through
// the units' input_frame_ready, against TurboJPEG on the same photograph-like
// frame at the same quality, 4:2:0 subsampling and accurate DCT.
#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <string>
#include <vector>

#include "jpeg_images.h"
#include "test_support.h"

using kovtest::Ref;

namespace {

// A unit fed by a test source of the given format, streaming.
struct UnitUnderTest {
  Ref<KovUnit> source;
  Ref<KovUnit> unit;
  UnitUnderTest(const char *id, guint32 code, int w, int h, int stride) {
    source = kovtest::make_source(code, w, h, stride);
    unit = kovtest::create_unit(id);
    kov_unit_set_input(unit.get(), source.get());
    kov_unit_stream_init(source.get(), nullptr);
    kov_unit_stream_init(unit.get(), nullptr);
  }
  ~UnitUnderTest() {
    kov_unit_stream_shutdown(unit.get());
    kov_unit_stream_shutdown(source.get());
  }
  // Counts produced frames without touching their bytes.
  size_t produced = 0;
  void count_frames() {
    g_signal_connect(unit.get(), "frame-ready",
                     G_CALLBACK(+[](KovUnit *, KovFrameBuffer *, KovUnitFormat *, gpointer n) {
                       ++*static_cast<size_t *>(n);
                     }),
                     &produced);
  }
  void feed(KovFrameBuffer *frame) {
    KOV_UNIT_GET_CLASS(unit.get())
        ->input_frame_ready(unit.get(), frame, kov_unit_get_output_format(source.get()));
  }
};

// The size, and for a unit's figure the TurboJPEG peer it is compared with.
void set_size_label(benchmark::State &state, const char *peer = nullptr) {
  std::string label = std::to_string(state.range(0)) + "x" + std::to_string(state.range(1));
  if (peer != nullptr) label += std::string(" peer=") + peer;
  state.SetLabel(label);
}

void BM_UnitCompress(benchmark::State &state) {
  const int w = int(state.range(0)), h = int(state.range(1));
  auto frame = kovtest::make_frame(jpegtest::photo_rgb(w, h));
  UnitUnderTest encoder("convert.jpeg_compress", KOV_PIX_FMT_RGB3, w, h, w * 3);
  encoder.count_frames();
  for (auto _ : state) encoder.feed(frame.get());
  if (encoder.produced != size_t(state.iterations())) state.SkipWithError("frames were dropped");
  set_size_label(state, "BM_TurboJpegCompress");
}

void BM_TurboJpegCompress(benchmark::State &state) {
  const int w = int(state.range(0)), h = int(state.range(1));
  const auto rgb = jpegtest::photo_rgb(w, h);
  tjhandle handle = tjInitCompress();
  std::vector<unsigned char> out(tjBufSize(w, h, TJSAMP_420));
  for (auto _ : state) {
    unsigned char *buf = out.data();
    unsigned long size = out.size();
    if (tjCompress2(handle, rgb.data(), w, w * 3, h, TJPF_RGB, &buf, &size, TJSAMP_420, 94,
                    TJFLAG_NOREALLOC) != 0)
      state.SkipWithError(tjGetErrorStr2(handle));
    benchmark::DoNotOptimize(size);
  }
  tjDestroy(handle);
  set_size_label(state);
}

void BM_UnitDecompress(benchmark::State &state) {
  const int w = int(state.range(0)), h = int(state.range(1));
  auto frame = kovtest::make_frame(jpegtest::encode(jpegtest::photo_rgb(w, h), w, h, 3));
  UnitUnderTest decoder("convert.jpeg_decompress", KOV_PIX_FMT_MJPG, w, h, 0);
  decoder.count_frames();
  for (auto _ : state) decoder.feed(frame.get());
  if (decoder.produced != size_t(state.iterations())) state.SkipWithError("frames were dropped");
  set_size_label(state, "BM_TurboJpegDecompress");
}

void BM_TurboJpegDecompress(benchmark::State &state) {
  const int w = int(state.range(0)), h = int(state.range(1));
  const auto jpeg = jpegtest::encode(jpegtest::photo_rgb(w, h), w, h, 3);
  std::vector<unsigned char> rgb(size_t(w) * h * 3);
  tjhandle handle = tjInitDecompress();
  for (auto _ : state) {
    if (tjDecompress2(handle, jpeg.data(), jpeg.size(), rgb.data(), w, w * 3, h, TJPF_RGB, 0) != 0)
      state.SkipWithError(tjGetErrorStr2(handle));
    benchmark::DoNotOptimize(rgb.data());
  }
  tjDestroy(handle);
  set_size_label(state);
}

void sizes(benchmark::internal::Benchmark *b) {
  b->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_UnitCompress)->Apply(sizes);
BENCHMARK(BM_TurboJpegCompress)->Apply(sizes);
BENCHMARK(BM_UnitDecompress)->Apply(sizes);
BENCHMARK(BM_TurboJpegDecompress)->Apply(sizes);

}  // namespace

BENCHMARK_MAIN();
