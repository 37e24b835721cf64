// SPDX-License-Identifier: LGPL-2.1-or-later
// util.flip per frame, through the framework (source -> flip, the whole
// input_frame_ready), against a plain memcpy of the same frame measured in
// the same run. Each flip figure carries its ratio to that memcpy in the
// "x_memcpy" counter (thread CPU time, best of alternating rounds); plain
// memcpy figures are listed beside them.
#include <benchmark/benchmark.h>
#include <test_support.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <vector>

using kovtest::Ref;

namespace {

enum Mode { kHorizontal = 1, kVertical = 2, kBoth = 3 };

std::vector<uint8_t> picture(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(i * 7 + (i >> 9));
  return bytes;
}

// Thread CPU time in nanoseconds: other processes on a shared machine do
// not count against either side of the comparison.
double cpu_ns() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) * 1e9 + double(ts.tv_nsec);
}

// The flip and a cache-warm memcpy of the same frame, in alternating rounds
// of 10 frames; the best round of each is kept, and the ratio is the figure.
double ratio_to_memcpy(KovUnit *source, KovFrameBuffer *frame, uint8_t *copy, size_t size,
                       double *memcpy_us) {
  double best_flip = 1e30, best_copy = 1e30;
  for (int round = 0; round < 8; ++round) {
    const double t0 = cpu_ns();
    for (int i = 0; i < 10; ++i) kovtest::source_push(source, frame);
    const double t1 = cpu_ns();
    for (int i = 0; i < 10; ++i) {
      std::memcpy(copy, frame->data, size);
      benchmark::ClobberMemory();
    }
    const double t2 = cpu_ns();
    best_flip = std::min(best_flip, (t1 - t0) / 10);
    best_copy = std::min(best_copy, (t2 - t1) / 10);
  }
  *memcpy_us = best_copy / 1000;
  return best_flip / best_copy;
}

// Arguments: width, height, bytes per pixel (3: RGB3, 4: BGR4), mode.
void BM_Flip(benchmark::State &state) {
  const int w = int(state.range(0)), h = int(state.range(1)), bpp = int(state.range(2));
  const int mode = int(state.range(3));
  const guint32 code = bpp == 3 ? KOV_PIX_FMT_RGB3 : KOV_PIX_FMT_BGR4;
  const size_t size = size_t(w) * bpp * h;

  Ref<KovUnit> source = kovtest::make_source(code, w, h, w * bpp);
  Ref<KovUnit> flip = kovtest::create_unit("util.flip");
  if (!flip) {
    state.SkipWithError("util.flip not found");
    return;
  }
  kov_unit_control_set_boolean(kov_unit_find_control(flip.get(), "flip-h"), mode & kHorizontal,
                               nullptr);
  kov_unit_control_set_boolean(kov_unit_find_control(flip.get(), "flip-v"), mode & kVertical,
                               nullptr);
  kov_unit_set_input(flip.get(), source.get());
  kov_unit_stream_init(source.get(), nullptr);
  kov_unit_stream_init(flip.get(), nullptr);
  Ref<KovFrameBuffer> frame = kovtest::make_frame(picture(size));

  for (auto _ : state) kovtest::source_push(source.get(), frame.get());
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));

  std::vector<uint8_t> copy(size);
  double memcpy_us = 0;
  state.counters["x_memcpy"] =
      ratio_to_memcpy(source.get(), frame.get(), copy.data(), size, &memcpy_us);
  state.counters["memcpy_us"] = memcpy_us;
  kov_unit_stream_shutdown(flip.get());
  kov_unit_stream_shutdown(source.get());
}

void BM_Memcpy(benchmark::State &state) {
  const size_t size = size_t(state.range(0)) * state.range(1) * state.range(2);
  std::vector<uint8_t> src = picture(size), dst(size);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), size);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}

void flip_args(benchmark::internal::Benchmark *b) {
  b->ArgNames({"w", "h", "bpp", "mode"});
  for (auto [w, h] : {std::pair{640, 480}, std::pair{1920, 1080}})
    for (int bpp : {3, 4})
      for (int mode : {kHorizontal, kVertical, kBoth}) b->Args({w, h, bpp, mode});
}

void memcpy_args(benchmark::internal::Benchmark *b) {
  b->ArgNames({"w", "h", "bpp"});
  for (auto [w, h] : {std::pair{640, 480}, std::pair{1920, 1080}})
    for (int bpp : {3, 4}) b->Args({w, h, bpp});
}

BENCHMARK(BM_Memcpy)->Apply(memcpy_args)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Flip)->Apply(flip_args)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
