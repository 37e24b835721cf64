// SPDX-License-Identifier: LGPL-2.1-or-later
// Chain overhead: frames per second of "input.testsrc rate=0 ! util.flip
// flip-h=true" against the bare source "input.testsrc rate=0", both run
// through kov_unit_chain_iterate in the same process. The ratio of the two
// rates is the figure: what a unit and the framework's frame passing add.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <vector>

#include "test_support.h"

namespace {

void run_chain(benchmark::State &state, const char *text) {
  kovtest::Ref<KovUnitChain> chain(kov_unit_chain_new());
  GError *error = nullptr;
  if (!kov_unit_chain_load_from_str(chain.get(), text, &error)) {
    state.SkipWithError(error->message);
    g_error_free(error);
    return;
  }
  if (kov_unit_chain_all_units_stream_init(chain.get()) != 0) {
    state.SkipWithError("the chain did not start");
    return;
  }
  guint64 frames = 0;
  gulong handler = g_signal_connect(
      chain.get(), "frame-ready",
      G_CALLBACK(+[](KovUnitChain *, KovFrameBuffer *, KovUnitFormat *, gpointer count) {
        ++*static_cast<guint64 *>(count);
      }),
      &frames);
  for (auto _ : state) kov_unit_chain_iterate(chain.get());
  g_signal_handler_disconnect(chain.get(), handler);
  kov_unit_chain_all_units_stream_shutdown(chain.get());
  state.counters["fps"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  state.counters["frames_per_iteration"] =
      static_cast<double>(frames) / static_cast<double>(state.iterations());
}

void BM_BareSource_640x480(benchmark::State &state) {
  run_chain(state, "input.testsrc rate=0");
}
void BM_SourceAndFlip_640x480(benchmark::State &state) {
  run_chain(state, "input.testsrc rate=0 ! util.flip flip-h=true");
}
// A unit that only passes frames on (with metadata): the framework's own cost.
void BM_SourceAndRoi_640x480(benchmark::State &state) {
  run_chain(state, "input.testsrc rate=0 ! util.roi");
}
void BM_BareSource_1920x1080(benchmark::State &state) {
  run_chain(state, "input.testsrc rate=0 width=1920 height=1080");
}
void BM_SourceAndFlip_1920x1080(benchmark::State &state) {
  run_chain(state, "input.testsrc rate=0 width=1920 height=1080 ! util.flip flip-h=true");
}

// Thread CPU time in nanoseconds.
double cpu_ns() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) * 1e9 + double(ts.tv_nsec);
}

// A test source feeding `count` pass-through units one after the other.
struct PassThroughLine {
  kovtest::Ref<KovUnit> source;
  std::vector<kovtest::Ref<KovUnit>> units;
  PassThroughLine(const char *id, int count) {
    source = kovtest::make_source(KOV_PIX_FMT_RGB3, 640, 480, 1920);
    KovUnit *previous = source.get();
    for (int i = 0; i < count; ++i) {
      units.push_back(kovtest::create_unit(id));
      if (!units.back()) return;
      kov_unit_set_input(units.back().get(), previous);
      previous = units.back().get();
    }
    kov_unit_stream_init(source.get(), nullptr);
    for (auto &unit : units) kov_unit_stream_init(unit.get(), nullptr);
  }
  ~PassThroughLine() {
    for (auto &unit : units)
      if (unit) kov_unit_stream_shutdown(unit.get());
    kov_unit_stream_shutdown(source.get());
  }
  bool complete(int count) const { return int(units.size()) == count && units.back(); }
};

// The framework's cost per pass-through unit and frame: the same source
// feeds ten units in one line and one unit in another; the lines run in
// alternating rounds (best round of each kept) and the difference, divided
// by nine, is the figure ("unit_us"; also the benchmark's manual time).
void BM_PassThroughUnitCost(benchmark::State &state, const char *id) {
  PassThroughLine one(id, 1), ten(id, 10);
  if (!one.complete(1) || !ten.complete(10)) {
    state.SkipWithError("unit not found");
    return;
  }
  kovtest::Ref<KovFrameBuffer> frame = kovtest::make_frame(std::vector<uint8_t>(640 * 480 * 3));
  const int frames = 200;
  double sum = 0;
  for (auto _ : state) {
    double best_one = 1e30, best_ten = 1e30;
    for (int round = 0; round < 4; ++round) {
      const double t0 = cpu_ns();
      for (int i = 0; i < frames; ++i) kovtest::source_push(one.source.get(), frame.get());
      const double t1 = cpu_ns();
      for (int i = 0; i < frames; ++i) kovtest::source_push(ten.source.get(), frame.get());
      const double t2 = cpu_ns();
      best_one = std::min(best_one, (t1 - t0) / frames);
      best_ten = std::min(best_ten, (t2 - t1) / frames);
    }
    const double per_unit_s = std::max(0.0, best_ten - best_one) / 9 / 1e9;
    state.SetIterationTime(per_unit_s);
    sum += per_unit_s;
  }
  state.counters["unit_us"] = sum / double(state.iterations()) * 1e6;
}

BENCHMARK_CAPTURE(BM_PassThroughUnitCost, roi, "util.roi")
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_PassThroughUnitCost, flip_off, "util.flip")
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareSource_640x480);
BENCHMARK(BM_SourceAndFlip_640x480);
BENCHMARK(BM_SourceAndRoi_640x480);
BENCHMARK(BM_BareSource_1920x1080);
BENCHMARK(BM_SourceAndFlip_1920x1080);

}  // namespace

BENCHMARK_MAIN();
