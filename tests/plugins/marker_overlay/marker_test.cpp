// SPDX-License-Identifier: LGPL-2.1-or-later
// oxa.manual-marker drawn into the offscreen GL view. The expected pixels are
// the ones Mesa lights for the marker's lines: a horizontal line along y = 240
// lights row 240, a vertical line along x = 320 lights column 319, and under
// XOR the pixel where the two arms cross is inverted twice.
#include <gtest/gtest.h>

#include <test_support.h>

#include "gl_test_util.h"

#include <cstring>
#include <set>
#include <utility>
#include <vector>

using kovtest::Ref;
using kovtest::gl::Picture;
using kovtest::gl::ViewPtr;

namespace {

using PixelSet = std::set<std::pair<int, int>>;

// The default cross (size 25, angle 0) centred on (cx, cy) as Mesa draws it
// under XOR: arms of 50 pixels, the crossing pixel restored.
PixelSet xor_cross(int cx, int cy) {
  PixelSet pixels;
  for (int x = cx - 25; x < cx + 25; ++x) pixels.insert({x, cy});
  for (int y = cy - 25; y < cy + 25; ++y) pixels.insert({cx - 1, y});
  pixels.erase({cx - 1, cy});
  return pixels;
}

PixelSet pixels_not(const Picture &p, uint32_t background) {
  PixelSet set;
  for (int y = 0; y < p.height; ++y)
    for (int x = 0; x < p.width; ++x)
      if (p.rgb(x, y) != background) set.insert({x, y});
  return set;
}

class MarkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    view_ = kovtest::gl::make_view();
    ASSERT_TRUE(view_);
    unit_ = kovtest::create_unit("oxa.manual-marker");
    ASSERT_TRUE(unit_);
    set_size(640, 480);
  }

  void set_size(int width, int height) {
    source_ = kovtest::make_source(KOV_PIX_FMT_RGB3, width, height, width * 3);
    kov_unit_set_input(unit_.get(), source_.get());
  }

  KovUnitControl *control(const char *id) {
    KovUnitControl *c = kov_unit_find_control(unit_.get(), id);
    EXPECT_NE(c, nullptr) << id;
    return c;
  }
  void set_int(const char *id, int v) {
    ASSERT_TRUE(kov_unit_control_set_int(control(id), v, nullptr)) << id;
  }
  void set_float(const char *id, float v) {
    ASSERT_TRUE(kov_unit_control_set_float(control(id), v, nullptr)) << id;
  }
  void set_bool(const char *id, bool v) {
    ASSERT_TRUE(kov_unit_control_set_boolean(control(id), v, nullptr)) << id;
  }

  // The marker drawn over a view of the source's size filled with background.
  Picture draw(uint32_t background = 0x000000, int times = 1) {
    KovUnitFormat *f = kov_unit_get_output_format(unit_.get());
    EXPECT_NE(f, nullptr);
    EXPECT_TRUE(kov_gl_view_begin(view_.get(), f->width, f->height));
    kovtest::gl::clear_to(background);
    for (int i = 0; i < times; ++i) EXPECT_EQ(kov_unit_draw_gl(unit_.get()), 0);
    return kovtest::gl::read_picture(view_.get());
  }

  ViewPtr view_;
  Ref<KovUnit> unit_;
  Ref<KovUnit> source_;
};

TEST_F(MarkerTest, DefaultCrossInvertsTheArmsUnderXorAndNothingElse) {
  Picture p = draw(0x000000);
  EXPECT_EQ(pixels_not(p, 0x000000), xor_cross(320, 240));
  EXPECT_EQ(p.rgb(300, 240), 0xFFFFFFu);
  EXPECT_EQ(p.alpha(300, 240), 255);  // the view stays opaque under XOR

  // Over a coloured picture each arm pixel is that colour inverted.
  p = draw(0x3366CC);
  EXPECT_EQ(pixels_not(p, 0x3366CC), xor_cross(320, 240));
  EXPECT_EQ(p.rgb(300, 240), 0xCC9933u);
}

TEST_F(MarkerTest, DrawingTheCrossTwiceRestoresThePicture) {
  EXPECT_TRUE(pixels_not(draw(0x3366CC, 2), 0x3366CC).empty());
}

TEST_F(MarkerTest, WithoutXorTheArmsTakeTheChosenColour) {
  set_bool("gl-xor", false);
  set_float("color-r", 1.0f);
  set_float("color-g", 0.0f);
  set_float("color-b", 0.0f);
  Picture p = draw(0xFFFFFF);
  PixelSet expected = xor_cross(320, 240);
  expected.insert({319, 240});  // painted, not inverted twice
  EXPECT_EQ(pixels_not(p, 0xFFFFFF), expected);
  for (const auto &[x, y] : expected) EXPECT_EQ(p.rgb(x, y), 0xFF0000u) << x << "," << y;
}

TEST_F(MarkerTest, OffsetsMoveTheCentreRightAndUp) {
  set_int("marker-x", 100);
  set_int("marker-y", 100);
  EXPECT_EQ(pixels_not(draw(), 0), xor_cross(420, 140));
  set_int("marker-x", -1000);  // far outside: nothing shows, nothing breaks
  set_int("marker-y", 1000);
  EXPECT_TRUE(pixels_not(draw(), 0).empty());
}

TEST_F(MarkerTest, AnOddWidthLosesItsHalfPixel) {
  set_size(641, 481);
  // Centre (320, 240) as for 640 × 480, not (320.5, 240.5).
  EXPECT_EQ(pixels_not(draw(), 0), xor_cross(320, 240));
}

TEST_F(MarkerTest, AQuarterTurnDrawsTheSameCrossWithItsArmsExchanged) {
  set_float("marker-angle", 90.0f);
  EXPECT_EQ(pixels_not(draw(), 0), xor_cross(320, 240));
  set_float("marker-angle", -270.0f);
  EXPECT_EQ(pixels_not(draw(), 0), xor_cross(320, 240));
}

TEST_F(MarkerTest, FortyFiveDegreesDrawsADiagonalCross) {
  set_float("marker-angle", 45.0f);
  PixelSet lit = pixels_not(draw(), 0);
  // Arm ends at (320 ± 17.68, 240 ± 17.68): the diagonals x - y = 80 and
  // x + y = 559, 35 pixels each, which share no pixel.
  int falling = 0, rising = 0;
  for (const auto &[x, y] : lit) {
    EXPECT_NE(x - y == 80, x + y == 559) << x << "," << y;
    falling += x - y == 80;
    rising += x + y == 559;
    EXPECT_GE(x, 302);
    EXPECT_LE(x, 338);
  }
  EXPECT_EQ(falling, 35);
  EXPECT_EQ(rising, 35);
}

TEST_F(MarkerTest, SizeZeroDrawsNothingVisible) {
  set_int("marker-size", 0);
  EXPECT_TRUE(pixels_not(draw(0x102030), 0x102030).empty());
}

TEST_F(MarkerTest, LeavesIdentityModelViewNoopLogicOpAndItsColour) {
  set_float("color-g", 0.5f);
  ASSERT_TRUE(kov_gl_view_begin(view_.get(), 640, 480));
  glMatrixMode(GL_MODELVIEW);
  glTranslatef(5, 6, 0);
  glPointSize(3.0f);
  ASSERT_EQ(kov_unit_draw_gl(unit_.get()), 0);

  GLint mode = 0, logic = 0;
  glGetIntegerv(GL_MATRIX_MODE, &mode);
  glGetIntegerv(GL_LOGIC_OP_MODE, &logic);
  EXPECT_EQ(mode, GL_MODELVIEW);
  EXPECT_EQ(logic, GL_NOOP);
  EXPECT_FALSE(glIsEnabled(GL_COLOR_LOGIC_OP));
  GLdouble mv[16], pr[16];
  glGetDoublev(GL_MODELVIEW_MATRIX, mv);
  glGetDoublev(GL_PROJECTION_MATRIX, pr);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(mv[i], i % 5 == 0 ? 1.0 : 0.0) << i;
  const GLdouble ortho[16] = {2.0 / 640, 0, 0, 0, 0, -2.0 / 480, 0, 0, 0, 0, -1, 0, -1, 1, 0, 1};
  for (int i = 0; i < 16; ++i) EXPECT_NEAR(pr[i], ortho[i], 1e-7) << i;
  GLfloat colour[4], point = 0;
  glGetFloatv(GL_CURRENT_COLOR, colour);
  glGetFloatv(GL_POINT_SIZE, &point);
  EXPECT_EQ(colour[0], 1.0f);
  EXPECT_EQ(colour[1], 0.5f);
  EXPECT_EQ(colour[2], 1.0f);
  EXPECT_EQ(point, 1.0f);

  // Without XOR the logic operation is left the same way.
  set_bool("gl-xor", false);
  glEnable(GL_COLOR_LOGIC_OP);
  glLogicOp(GL_AND);
  ASSERT_EQ(kov_unit_draw_gl(unit_.get()), 0);
  glGetIntegerv(GL_LOGIC_OP_MODE, &logic);
  EXPECT_EQ(logic, GL_NOOP);
  EXPECT_FALSE(glIsEnabled(GL_COLOR_LOGIC_OP));
}

TEST_F(MarkerTest, DisabledOrWithoutFormatItTouchesNoGLState) {
  ASSERT_TRUE(kov_gl_view_begin(view_.get(), 640, 480));
  kovtest::gl::clear_to(0x445566);
  glMatrixMode(GL_TEXTURE);
  glEnable(GL_COLOR_LOGIC_OP);
  glLogicOp(GL_AND);
  glColor3f(0.25f, 0.5f, 0.75f);
  glPointSize(4.0f);

  set_bool("enable", false);
  EXPECT_EQ(kov_unit_draw_gl(unit_.get()), 0);
  Ref<KovUnit> bare = kovtest::create_unit("oxa.manual-marker");
  EXPECT_EQ(kov_unit_draw_gl(bare.get()), 0);  // no format

  GLint mode = 0, logic = 0;
  glGetIntegerv(GL_MATRIX_MODE, &mode);
  glGetIntegerv(GL_LOGIC_OP_MODE, &logic);
  EXPECT_EQ(mode, GL_TEXTURE);
  EXPECT_EQ(logic, GL_AND);
  EXPECT_TRUE(glIsEnabled(GL_COLOR_LOGIC_OP));
  GLfloat colour[4], point = 0;
  glGetFloatv(GL_CURRENT_COLOR, colour);
  glGetFloatv(GL_POINT_SIZE, &point);
  EXPECT_EQ(colour[0], 0.25f);
  EXPECT_EQ(colour[2], 0.75f);
  EXPECT_EQ(point, 4.0f);
  glDisable(GL_COLOR_LOGIC_OP);
  glMatrixMode(GL_MODELVIEW);
  EXPECT_TRUE(pixels_not(kovtest::gl::read_picture(view_.get()), 0x445566).empty());
}

TEST(MarkerUnitTest, ControlsComeInOrderWithTheirDefaults) {
  Ref<KovUnit> unit = kovtest::create_unit("oxa.manual-marker");
  ASSERT_TRUE(unit);
  const char *order[] = {"enable", "color-r", "color-g", "color-b", "gl-xor",
                         "marker-size", "marker-angle", "marker-x", "marker-y"};
  const GList *l = kov_unit_get_controls(unit.get());
  for (const char *id : order) {
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->data, kov_unit_find_control(unit.get(), id)) << id;
    l = l->next;
  }
  EXPECT_EQ(l, nullptr);

  auto find = [&](const char *id) { return kov_unit_find_control(unit.get(), id); };
  EXPECT_TRUE(kov_unit_control_get_boolean(find("enable")));
  EXPECT_TRUE(kov_unit_control_get_boolean(find("gl-xor")));
  EXPECT_EQ(kov_unit_control_get_float(find("color-r")), 1.0f);
  EXPECT_EQ(kov_unit_control_get_int(find("marker-size")), 25);
  EXPECT_EQ(kov_unit_control_get_float(find("marker-angle")), 0.0f);
  EXPECT_EQ(kov_unit_control_get_int(find("marker-x")), 0);
}

TEST(MarkerUnitTest, EveryFrameIsHandedOnItselfWhateverItsFormat) {
  for (guint32 code : {KOV_PIX_FMT_RGB3, KOV_PIX_FMT_MJPG, KOV_PIX_FMT_YUYV, 0x1234u}) {
    Ref<KovUnit> unit = kovtest::create_unit("oxa.manual-marker");
    Ref<KovUnit> source = kovtest::make_source(code, 6, 4, code == KOV_PIX_FMT_MJPG ? 0 : 24, "n");
    kov_unit_set_input(unit.get(), source.get());
    KovUnitFormat *f = kov_unit_get_output_format(unit.get());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->pixelformat, code);
    EXPECT_STREQ(f->name, "n");
    EXPECT_EQ(f->width, 6);
    ASSERT_EQ(kov_unit_stream_init(source.get(), nullptr), 0);
    ASSERT_EQ(kov_unit_stream_init(unit.get(), nullptr), 0);
    kovtest::Recorder recorder(unit.get());
    Ref<KovFrameBuffer> frame = kovtest::make_frame(std::vector<uint8_t>(24, 7));
    kovtest::source_push(source.get(), frame.get());
    ASSERT_EQ(recorder.count(), 1u);
    EXPECT_EQ(recorder.frames[0].get(), frame.get());
    EXPECT_EQ(recorder.formats[0].get(), kov_unit_get_output_format(source.get()));
    kov_unit_stream_shutdown(unit.get());
    kov_unit_stream_shutdown(source.get());
  }
}

}  // namespace
