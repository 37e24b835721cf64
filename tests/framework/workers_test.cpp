// SPDX-License-Identifier: LGPL-2.1-or-later
// The worker pool (how rows are split into bands, callers on several threads
// at once) and the "threads" control of the units that use it: the same
// bytes for every number of bands, down to bands of one row and more bands
// than rows.
#include <gtest/gtest.h>

#include <kovkit/kovkit.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "test_support.h"

using kovtest::Ref;

namespace {

using Bands = std::vector<std::pair<int, int>>;  // first row, rows

struct BandLog {
  std::mutex mutex;
  Bands bands;
};

void log_band(gint first, gint rows, gpointer data) {
  auto *log = static_cast<BandLog *>(data);
  std::lock_guard<std::mutex> lock(log->mutex);
  log->bands.emplace_back(first, rows);
}

Bands run_bands(int n_bands, int n_rows, int granule) {
  BandLog log;
  kov_workers_run_bands(n_bands, n_rows, granule, log_band, &log);
  std::sort(log.bands.begin(), log.bands.end());
  return log.bands;
}

TEST(WorkersTest, SplitsRowsIntoBandsOfWholeGranules) {
  struct Case {
    int n_bands, n_rows, granule;
    Bands expected;
  };
  const Case cases[] = {
      {2, 1080, 2, {{0, 540}, {540, 540}}},
      {3, 7, 2, {{0, 2}, {2, 2}, {4, 3}}},         // the odd row joins the last band
      {4, 5, 2, {{0, 2}, {2, 3}}},                 // only two granules
      {16, 7, 1, {{0, 1}, {1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}}},
      {3, 10, 1, {{0, 3}, {3, 3}, {6, 4}}},
      {2, 3, 2, {{0, 3}}},                         // one granule: one band
      {2, 1, 2, {{0, 1}}},                         // no whole granule
      {1, 9, 1, {{0, 9}}},
      {0, 9, 1, {{0, 9}}},
      {-3, 9, 1, {{0, 9}}},
      {4, 9, 0, {{0, 9}}},
      {4, 0, 1, {}},
      {4, -2, 1, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.n_bands << " bands, " << c.n_rows << " rows, granule "
                                    << c.granule);
    EXPECT_EQ(run_bands(c.n_bands, c.n_rows, c.granule), c.expected);
  }
  EXPECT_GE(kov_workers_get_n_processors(), 1);
}

// Two threads ask at once, and bands ask for bands themselves: every
// request returns with all of its rows done exactly once.
TEST(WorkersTest, ConcurrentAndNestedRequestsCoverEveryRowOnce) {
  constexpr int kRows = 64;
  struct Grid {
    std::vector<std::atomic<int>> hits = std::vector<std::atomic<int>>(kRows * kRows);
  };
  struct Cell {
    Grid *grid;
    int row;
  };
  auto outer = [](gint first, gint rows, gpointer data) {
    for (int r = first; r < first + rows; ++r) {
      Cell cell = {static_cast<Grid *>(data), r};
      kov_workers_run_bands(
          3, kRows, 1,
          [](gint f, gint n, gpointer d) {
            auto *c = static_cast<Cell *>(d);
            for (int x = f; x < f + n; ++x) c->grid->hits[c->row * kRows + x]++;
          },
          &cell);
    }
  };
  Grid a, b;
  std::thread other([&] { kov_workers_run_bands(4, kRows, 1, outer, &b); });
  kov_workers_run_bands(4, kRows, 1, outer, &a);
  other.join();
  for (Grid *g : {&a, &b})
    for (auto &hit : g->hits) ASSERT_EQ(hit.load(), 1);
}

std::vector<uint8_t> noise(size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(size);
  for (auto &b : v) b = uint8_t(rng());
  return v;
}

struct UnitCase {
  const char *id;
  guint32 code;
  int width, height, row_stride;
  size_t frame_size;
  guint32 out_code;  // the output format to stream with
  const char *controls;  // "id=value" pairs set before streaming, or nullptr
};

// The unit's frames for one input with 1, 2, 3 and 16 threads.
std::vector<std::vector<uint8_t>> outputs_by_threads(const UnitCase &c) {
  std::vector<std::vector<uint8_t>> outputs;
  kovtest::FedUnit fed(c.id, c.code, c.width, c.height, c.row_stride);
  EXPECT_TRUE(fed.unit);
  if (!fed.unit) return outputs;
  if (c.controls != nullptr) {
    gchar **pairs = g_strsplit(c.controls, " ", -1);
    for (gchar **p = pairs; *p != nullptr; ++p) {
      gchar **kv = g_strsplit(*p, "=", 2);
      EXPECT_TRUE(kov_unit_control_set_from_string(fed.control(kv[0]), kv[1], nullptr)) << *p;
      g_strfreev(kv);
    }
    g_strfreev(pairs);
  }
  KovUnitFormat *current = kov_unit_get_output_format(fed.unit.get());
  if (current == nullptr || current->pixelformat != c.out_code) {
    kov_unit_stream_shutdown(fed.unit.get());
    KovUnitFormat *chosen = nullptr;
    GList *formats = kov_unit_get_output_formats(fed.unit.get());
    for (GList *l = formats; l != nullptr; l = l->next)
      if (static_cast<KovUnitFormat *>(l->data)->pixelformat == c.out_code && chosen == nullptr)
        chosen = static_cast<KovUnitFormat *>(l->data);
    g_list_free(formats);
    EXPECT_NE(chosen, nullptr);
    if (chosen == nullptr || kov_unit_stream_init(fed.unit.get(), chosen) != 0) return outputs;
  }
  Ref<KovFrameBuffer> frame = kovtest::make_frame(noise(c.frame_size, c.width * 31 + c.height));
  for (int threads : {1, 2, 3, 16}) {
    EXPECT_TRUE(kov_unit_control_set_int(fed.control("threads"), threads, nullptr));
    fed.push(frame.get());
    EXPECT_EQ(fed.rec->count(), outputs.size() + 1) << threads << " threads";
    if (fed.rec->count() != outputs.size() + 1) break;
    outputs.push_back(fed.rec->bytes.back());
  }
  return outputs;
}

TEST(UnitThreadsTest, EveryNumberOfThreadsGivesTheSameBytes) {
  const UnitCase cases[] = {
      {"convert.fast_debayer", KOV_PIX_FMT_BA81, 6, 7, 8, 56, KOV_PIX_FMT_BGR4, nullptr},
      {"convert.fast_debayer", KOV_PIX_FMT_BA81, 38, 33, 40, 40 * 33, KOV_PIX_FMT_BGR4, nullptr},
      {"convert.fast_debayer", KOV_PIX_FMT_BA81, 38, 32, 38, 38 * 32, KOV_PIX_FMT_BGR4, nullptr},
      {"convert.fast_debayer", KOV_PIX_FMT_XXX4, 7, 5, 7, 35, KOV_PIX_FMT_GREY, nullptr},
      {"convert.fast_debayer", KOV_PIX_FMT_BA81, 40, 33, 48, 48 * 33, KOV_PIX_FMT_GREY, nullptr},
      {"convert.to_rgb8", KOV_PIX_FMT_BA81, 10, 9, 12, 12 * 9, KOV_PIX_FMT_RGB3, nullptr},
      {"convert.to_rgb8", KOV_PIX_FMT_BGR4, 5, 7, 24, 24 * 7, KOV_PIX_FMT_RGB3, nullptr},
      {"convert.colorspace", KOV_PIX_FMT_I420, 5, 7, 5, 35 + 2 * 3 * 4, KOV_PIX_FMT_RGB3, nullptr},
      {"convert.colorspace", KOV_PIX_FMT_YUYV, 6, 5, 12, 60, KOV_PIX_FMT_RGB3, nullptr},
      {"convert.colorspace", KOV_PIX_FMT_GREY, 3, 3, 4, 12, KOV_PIX_FMT_RGB3, nullptr},
      {"convert.colorspace", KOV_PIX_FMT_BGR3, 7, 4, 24, 96, KOV_PIX_FMT_RGB3, nullptr},
      {"util.flip", KOV_PIX_FMT_RGB3, 5, 7, 15, 105, KOV_PIX_FMT_RGB3, "flip-v=true"},
      {"util.flip", KOV_PIX_FMT_RGB3, 5, 7, 15, 105, KOV_PIX_FMT_RGB3, "flip-h=true flip-v=true"},
      {"util.flip", KOV_PIX_FMT_GREY, 1, 3, 1, 3, KOV_PIX_FMT_GREY, "flip-h=true"},
  };
  for (const UnitCase &c : cases) {
    gchar code[11];
    SCOPED_TRACE(testing::Message() << c.id << " " << kov_pixel_format_to_string(c.code, code)
                                    << " " << c.width << "x" << c.height);
    const auto outputs = outputs_by_threads(c);
    ASSERT_EQ(outputs.size(), 4u);
    for (size_t i = 1; i < outputs.size(); ++i) EXPECT_EQ(outputs[i], outputs[0]) << i;
  }
}

TEST(UnitThreadsTest, ThreadsControlTakesOneToSixteenAndStartsAtOne) {
  for (const char *id : {"convert.fast_debayer", "convert.to_rgb8", "convert.colorspace",
                         "util.flip"}) {
    SCOPED_TRACE(id);
    Ref<KovUnit> unit = kovtest::create_unit(id);
    ASSERT_TRUE(unit);
    KovUnitControl *threads = kov_unit_find_control(unit.get(), "threads");
    ASSERT_NE(threads, nullptr);
    EXPECT_STREQ(kov_unit_control_get_label(threads), "Threads");
    EXPECT_EQ(kov_unit_control_get_int(threads), 1);
    EXPECT_EQ(kov_unit_control_get_min(threads), 1);
    EXPECT_EQ(kov_unit_control_get_max(threads), 16);
    EXPECT_FALSE(kov_unit_control_set_int(threads, 0, nullptr));
    EXPECT_FALSE(kov_unit_control_set_int(threads, 17, nullptr));
    EXPECT_TRUE(kov_unit_control_set_int(threads, 16, nullptr));
  }
}

}  // namespace
