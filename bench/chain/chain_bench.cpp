// SPDX-License-Identifier: LGPL-2.1-or-later
// Chain overhead: frames per second of "input.testsrc rate=0 ! util.flip
// flip-h=true" against the bare source "input.testsrc rate=0", both run
// through kov_unit_chain_iterate in the same process. The ratio of the two
// rates is the figure: what a unit and the framework's frame passing add.
#include <benchmark/benchmark.h>

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

BENCHMARK(BM_BareSource_640x480);
BENCHMARK(BM_SourceAndFlip_640x480);
BENCHMARK(BM_SourceAndRoi_640x480);
BENCHMARK(BM_BareSource_1920x1080);
BENCHMARK(BM_SourceAndFlip_1920x1080);

}  // namespace

BENCHMARK_MAIN();
