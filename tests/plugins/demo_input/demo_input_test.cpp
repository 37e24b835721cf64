// SPDX-License-Identifier: LGPL-2.1-or-later
// input.example with a clock the test controls: this executable exports its
// own gettimeofday (it is linked with -rdynamic), which the dlopened plug-in
// binds to instead of the C library's. The unit itself is unchanged.
#include <gtest/gtest.h>

#include <test_support.h>

#include <sys/time.h>

#include <cstring>
#include <utility>
#include <vector>

using kovtest::Ref;

namespace {
gint64 g_fake_now = 1700000000123456;  // microseconds since the epoch
}  // namespace

extern "C" __attribute__((visibility("default"))) int gettimeofday(
    struct timeval *__restrict tv, void *__restrict) noexcept {
  tv->tv_sec = time_t(g_fake_now / 1000000);
  tv->tv_usec = suseconds_t(g_fake_now % 1000000);
  return 0;
}

namespace {

constexpr int kWidth = 640, kHeight = 480, kStride = 1920;
constexpr size_t kFrameSize = 921600;

// The unit's instance record: the framework's KovUnit followed by the unit's
// fields in their documented order. Tests use it to place the square next to
// an edge, a position the public controls reach only by chance.
struct DemoInputRecord {
  KovUnit parent;
  KovUnitControl *enum_ctl, *boolean_ctl, *int1_ctl, *int2_ctl;
  gint64 next_time;
  gint32 x, y, dx, dy, fps;
};

// A black 640×480 RGB3 frame with a w×w square of colour c at (x, y).
std::vector<uint8_t> square_frame(int x, int y, int w, const uint8_t c[3]) {
  std::vector<uint8_t> f(kFrameSize, 0);
  for (int i = 0; i < w; ++i)
    for (int j = 0; j < w; ++j) std::memcpy(&f[size_t(y + i) * kStride + (x + j) * 3], c, 3);
  return f;
}

// Top-left corner of the first non-black pixel of a frame, or (-1, -1).
std::pair<int, int> first_lit_pixel(const std::vector<uint8_t> &f) {
  for (size_t i = 0; i < f.size(); ++i)
    if (f[i] != 0) return {int(i % kStride) / 3, int(i / kStride)};
  return {-1, -1};
}

class DemoInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_fake_now = 1700000000123456;
    unit_ = kovtest::create_unit("input.example");
    ASSERT_TRUE(unit_);
    recorder_ = std::make_unique<kovtest::Recorder>(unit_.get());
  }
  void TearDown() override {
    recorder_.reset();
    if (unit_) kov_unit_stream_shutdown(unit_.get());
  }

  // The record, after checking that its layout matches the unit's.
  DemoInputRecord *record() {
    auto *r = reinterpret_cast<DemoInputRecord *>(unit_.get());
    EXPECT_EQ(r->int2_ctl, control("int2"));
    EXPECT_EQ(r->fps, 1);
    return r;
  }
  KovUnitControl *control(const char *id) { return kov_unit_find_control(unit_.get(), id); }
  void set_int(const char *id, int v) {
    GError *error = nullptr;
    ASSERT_TRUE(kov_unit_control_set_int(control(id), v, &error)) << error->message;
  }
  gboolean produce() { return kov_unit_produce_pending_frame(unit_.get()); }

  Ref<KovUnit> unit_;
  std::unique_ptr<kovtest::Recorder> recorder_;
};

TEST_F(DemoInputTest, IdentityControlsAndFormat) {
  EXPECT_STREQ(kov_unit_get_id(unit_.get()), "input.example");
  EXPECT_STREQ(kov_unit_get_name(unit_.get()), "Example Input");
  EXPECT_EQ(kov_unit_get_flags(unit_.get()), guint(KOV_UNIT_EVENT_METHOD_TIMEOUT));

  struct Row {
    const char *id, *label;
    KovUnitControlType type;
    double min, max, step;
  } rows[] = {
      {"enum", "menu", KOV_UNIT_CONTROL_TYPE_ENUM, 0, 0, 0},
      {"boolean", "bool", KOV_UNIT_CONTROL_TYPE_BOOLEAN, 0, 0, 0},
      {"int1", "int 1", KOV_UNIT_CONTROL_TYPE_INT, 10, 100, 2},
      {"int2", "int 2", KOV_UNIT_CONTROL_TYPE_INT, 0, 255, 1},
  };
  const GList *controls = kov_unit_get_controls(unit_.get());
  ASSERT_EQ(g_list_length(const_cast<GList *>(controls)), 4u);
  size_t i = 0;
  for (const GList *l = controls; l != nullptr; l = l->next, ++i) {
    auto *c = static_cast<KovUnitControl *>(l->data);
    SCOPED_TRACE(rows[i].id);
    EXPECT_STREQ(kov_unit_control_get_id(c), rows[i].id);
    EXPECT_STREQ(kov_unit_control_get_label(c), rows[i].label);
    EXPECT_EQ(kov_unit_control_get_control_type(c), rows[i].type);
    EXPECT_TRUE(kov_unit_control_is_enabled(c));
    if (rows[i].type == KOV_UNIT_CONTROL_TYPE_INT) {
      EXPECT_EQ(kov_unit_control_get_min(c), rows[i].min);
      EXPECT_EQ(kov_unit_control_get_max(c), rows[i].max);
      EXPECT_EQ(kov_unit_control_get_step(c), rows[i].step);
    }
  }
  EXPECT_EQ(kov_unit_control_get_enum(control("enum")), 0);
  EXPECT_FALSE(kov_unit_control_get_boolean(control("boolean")));
  EXPECT_EQ(kov_unit_control_get_int(control("int1")), 50);
  EXPECT_EQ(kov_unit_control_get_int(control("int2")), 127);
  EXPECT_STREQ(kov_unit_control_get_display_format(control("int2")), "0x%02X");

  guint n = 0;
  const KovUnitControlEnumEntry *e = kov_unit_control_get_enum_entries(control("enum"), &n);
  ASSERT_EQ(n, 4u);
  const char *nicks[] = {"1", "5", "15", "30"};
  for (guint k = 0; k < n; ++k) {
    EXPECT_EQ(e[k].value, gint32(k));
    EXPECT_STREQ(e[k].nick, nicks[k]);
    EXPECT_NE(e[k].enabled, 0);
  }

  GList *formats = kov_unit_get_output_formats(unit_.get());
  ASSERT_EQ(g_list_length(formats), 1u);
  auto *f = static_cast<KovUnitFormat *>(formats->data);
  EXPECT_EQ(f->pixelformat, 0x33424752u);
  EXPECT_STREQ(f->name, "640x480 RGB");
  EXPECT_EQ(f->width, kWidth);
  EXPECT_EQ(f->height, kHeight);
  EXPECT_EQ(f->row_stride, kStride);
  g_list_free(formats);
}

TEST_F(DemoInputTest, DueAtOnceAfterStreamInitThenOncePerPeriod) {
  const gint64 start = g_fake_now;
  ASSERT_EQ(kov_unit_stream_init(unit_.get(), nullptr), 0);
  EXPECT_EQ(kov_unit_next_frame_time(unit_.get()), start);
  EXPECT_TRUE(produce());
  EXPECT_EQ(kov_unit_next_frame_time(unit_.get()), start + 1000000);
  EXPECT_FALSE(produce());
  g_fake_now = start + 999999;
  EXPECT_FALSE(produce());
  g_fake_now = start + 1000000;
  EXPECT_TRUE(produce());
  ASSERT_EQ(recorder_->count(), 2u);
  EXPECT_EQ(recorder_->frames[0]->timestamp, start);
  EXPECT_EQ(recorder_->frames[1]->timestamp, start + 1000000);
}

TEST_F(DemoInputTest, ThirtyPerSecondIsDueAtOnceThenEvery33333Microseconds) {
  ASSERT_EQ(kov_unit_stream_init(unit_.get(), nullptr), 0);
  ASSERT_TRUE(produce());  // next one due in a second
  g_fake_now += 5000;
  const gint64 chosen = g_fake_now;
  GError *error = nullptr;
  ASSERT_TRUE(kov_unit_control_set_enum(control("enum"), 3, &error));
  EXPECT_EQ(kov_unit_next_frame_time(unit_.get()), chosen);
  EXPECT_TRUE(produce());
  EXPECT_EQ(kov_unit_next_frame_time(unit_.get()), chosen + 33333);
  g_fake_now = chosen + 33332;
  EXPECT_FALSE(produce());
  g_fake_now = chosen + 33333;
  EXPECT_TRUE(produce());
  EXPECT_EQ(kov_unit_next_frame_time(unit_.get()), chosen + 66666);
}

TEST_F(DemoInputTest, PeriodsOfEveryRate) {
  const gint64 periods[] = {1000000, 200000, 66666, 33333};
  ASSERT_EQ(kov_unit_stream_init(unit_.get(), nullptr), 0);
  for (int v = 3; v >= 0; --v) {
    ASSERT_TRUE(kov_unit_control_set_enum(control("enum"), v, nullptr));
    const gint64 due = kov_unit_next_frame_time(unit_.get());
    EXPECT_EQ(due, g_fake_now);
    ASSERT_TRUE(produce());
    EXPECT_EQ(kov_unit_next_frame_time(unit_.get()) - due, periods[v]) << "enum " << v;
  }
}

TEST_F(DemoInputTest, LateCallerCatchesUpOnePeriodPerCall) {
  const gint64 start = g_fake_now;
  ASSERT_EQ(kov_unit_stream_init(unit_.get(), nullptr), 0);
  g_fake_now = start + 2500000;  // two and a half periods late
  EXPECT_TRUE(produce());
  EXPECT_TRUE(produce());
  EXPECT_TRUE(produce());
  EXPECT_FALSE(produce());
  EXPECT_EQ(kov_unit_next_frame_time(unit_.get()), start + 3000000);
  for (const auto &frame : recorder_->frames) EXPECT_EQ(frame->timestamp, g_fake_now);
}

TEST_F(DemoInputTest, FrameIsBlackWithCyanSquareMovedOnce) {
  ASSERT_EQ(kov_unit_stream_init(unit_.get(), nullptr), 0);
  ASSERT_TRUE(produce());
  ASSERT_EQ(recorder_->count(), 1u);
  EXPECT_EQ(recorder_->frames[0]->bytesused, kFrameSize);
  EXPECT_EQ(recorder_->formats[0].get(), kov_unit_get_output_format(unit_.get()));
  const uint8_t cyan[3] = {0x00, 0x7F, 0x7F};
  EXPECT_TRUE(recorder_->bytes[0] == square_frame(305, 225, 50, cyan));
}

TEST_F(DemoInputTest, RedSquareWhenBooleanIsOn) {
  ASSERT_TRUE(kov_unit_control_set_boolean(control("boolean"), TRUE, nullptr));
  set_int("int2", 0x7F);
  ASSERT_EQ(kov_unit_stream_init(unit_.get(), nullptr), 0);
  ASSERT_TRUE(produce());
  const uint8_t red[3] = {0x7F, 0x00, 0x00};
  EXPECT_TRUE(recorder_->bytes.at(0) == square_frame(305, 225, 50, red));
}

TEST_F(DemoInputTest, IntensityAndSideFollowTheControls) {
  set_int("int2", 255);
  set_int("int1", 10);
  ASSERT_EQ(kov_unit_stream_init(unit_.get(), nullptr), 0);
  ASSERT_TRUE(produce());
  const uint8_t c[3] = {0x00, 0xFF, 0xFF};
  EXPECT_TRUE(recorder_->bytes.at(0) == square_frame(305, 225, 10, c));
}

TEST_F(DemoInputTest, BounceOffRightAndBottomEdges) {
  // After the move x + w = 640 and y + w = 480: d = 1 on both axes.
  record()->x = 580;
  record()->y = 420;
  ASSERT_EQ(kov_unit_stream_init(unit_.get(), nullptr), 0);
  ASSERT_TRUE(produce());
  EXPECT_EQ(record()->x, 640 - 50 - 2);
  EXPECT_EQ(record()->y, 480 - 50 - 2);
  EXPECT_EQ(record()->dx, -10);
  EXPECT_EQ(record()->dy, -10);
  const uint8_t cyan[3] = {0x00, 0x7F, 0x7F};
  EXPECT_TRUE(recorder_->bytes.at(0) == square_frame(588, 428, 50, cyan));
}

TEST_F(DemoInputTest, BounceOffLeftAndTopEdges) {
  record()->x = 6;
  record()->y = 6;
  record()->dx = -10;
  record()->dy = -10;
  ASSERT_EQ(kov_unit_stream_init(unit_.get(), nullptr), 0);
  ASSERT_TRUE(produce());  // moves to -4: reflected to 4
  EXPECT_EQ(record()->x, 4);
  EXPECT_EQ(record()->y, 4);
  EXPECT_EQ(record()->dx, 10);
  EXPECT_EQ(record()->dy, 10);
  const uint8_t cyan[3] = {0x00, 0x7F, 0x7F};
  EXPECT_TRUE(recorder_->bytes.at(0) == square_frame(4, 4, 50, cyan));
}

// Many frames at 30 per second, growing the square from 10 to 100 near the
// bottom-right corner: every frame shows the whole square inside the image,
// at the worked-out positions where it bounces off each edge.
TEST_F(DemoInputTest, SquareStaysInsideWhileItBouncesAndGrows) {
  ASSERT_TRUE(kov_unit_control_set_enum(control("enum"), 3, nullptr));
  set_int("int1", 10);
  ASSERT_EQ(kov_unit_stream_init(unit_.get(), nullptr), 0);
  std::vector<std::pair<int, int>> seen;  // corner in frame n
  const uint8_t cyan[3] = {0x00, 0x7F, 0x7F};
  for (int n = 0, w = 10; n < 150; ++n) {
    if (n == 30) set_int("int1", w = 100);  // near the right and bottom edges
    g_fake_now += 33333;
    ASSERT_TRUE(produce()) << "frame " << n;
    const auto [x, y] = first_lit_pixel(recorder_->bytes.back());
    ASSERT_TRUE(x >= 0 && x + w <= kWidth && y + w <= kHeight) << "frame " << n;
    ASSERT_TRUE(recorder_->bytes.back() == square_frame(x, y, w, cyan)) << "frame " << n;
    seen.emplace_back(x, y);
    // Keep no frames: they are recycled buffers of 900 KiB each.
    recorder_->bytes.clear();
    recorder_->frames.clear();
    recorder_->formats.clear();
  }
  // From (295, 215), 10 per frame on each axis; a bounce reflects the overshoot.
  const struct {
    int n, x, y;
  } worked[] = {
      {0, 305, 225},    // first move
      {25, 555, 463},   // bottom, side 10: 475 -> 480 - 10 - 6 - 1
      {30, 473, 345},   // side 100: right (605 -> 473) and bottom (413 -> 345)
      {34, 433, 373},   // bottom: 385 -> 480 - 100 - 6 - 1
      {72, 53, 7},      // top: -7 -> 7
      {78, 7, 67},      // left: -7 -> 7
      {132, 531, 151},  // right: 547 -> 640 - 100 - 8 - 1
  };
  for (const auto &e : worked) EXPECT_EQ(seen.at(e.n), std::make_pair(e.x, e.y)) << e.n;
}

TEST_F(DemoInputTest, PositionSurvivesRestart) {
  ASSERT_EQ(kov_unit_stream_init(unit_.get(), nullptr), 0);
  ASSERT_TRUE(produce());
  ASSERT_EQ(kov_unit_stream_shutdown(unit_.get()), 0);
  g_fake_now += 10;
  ASSERT_EQ(kov_unit_stream_init(unit_.get(), nullptr), 0);
  EXPECT_EQ(kov_unit_next_frame_time(unit_.get()), g_fake_now);
  ASSERT_TRUE(produce());
  const uint8_t cyan[3] = {0x00, 0x7F, 0x7F};
  EXPECT_TRUE(recorder_->bytes.at(1) == square_frame(315, 235, 50, cyan));
}

TEST(DemoInputChainTest, ChainWithFlipProducesMirroredSquare) {
  Ref<KovUnitChain> chain(kov_unit_chain_new());
  GError *error = nullptr;
  ASSERT_TRUE(kov_unit_chain_load_from_str(
      chain.get(), "input.example enum=3 int1=20 ! util.flip flip-h=true", &error))
      << (error ? error->message : "");
  KovUnit *flip = kov_unit_chain_get_last_unit(chain.get());
  kovtest::Recorder out(flip);
  ASSERT_TRUE(kov_unit_chain_all_units_stream_init_full(chain.get(), &error))
      << (error ? error->message : "");
  kov_unit_chain_iterate(chain.get());
  kov_unit_chain_all_units_stream_shutdown(chain.get());
  ASSERT_EQ(out.count(), 1u);
  // The square moved from (295, 215) to (305, 225); mirrored, its left
  // column is 640 - 305 - 20.
  const uint8_t cyan[3] = {0x00, 0x7F, 0x7F};
  EXPECT_TRUE(out.bytes[0] == square_frame(315, 225, 20, cyan));
}

}  // namespace
