// SPDX-License-Identifier: LGPL-2.1-or-later
// output.pip drawn into the offscreen GL view: the inset's exact place, its
// green placeholder, and the projection stack it leaves behind.
#include <gtest/gtest.h>

#include <test_support.h>

#include "gl_test_util.h"

#include <memory>
#include <vector>

using kovtest::Ref;
using kovtest::gl::Picture;
using kovtest::gl::ViewPtr;

namespace {

class PipTest : public ::testing::Test {
 protected:
  void SetUp() override {
    view_ = kovtest::gl::make_view();
    ASSERT_TRUE(view_);
    unit_ = kovtest::create_unit("output.pip");
    ASSERT_TRUE(unit_);
  }

  void start(int width, int height) {
    source_ = kovtest::make_source(KOV_PIX_FMT_RGB3, width, height, width * 3);
    kov_unit_set_input(unit_.get(), source_.get());
    ASSERT_EQ(kov_unit_stream_init(source_.get(), nullptr), 0);
    ASSERT_EQ(kov_unit_stream_init(unit_.get(), nullptr), 0);
  }

  void push_uniform(int width, int height, uint8_t r, uint8_t g, uint8_t b) {
    std::vector<uint8_t> bytes(size_t(width) * height * 3);
    for (size_t i = 0; i < bytes.size(); i += 3) bytes[i] = r, bytes[i + 1] = g, bytes[i + 2] = b;
    Ref<KovFrameBuffer> frame = kovtest::make_frame(bytes);
    kovtest::source_push(source_.get(), frame.get());
  }

  Picture draw(int width, int height) {
    EXPECT_TRUE(kov_gl_view_begin(view_.get(), width, height));
    EXPECT_EQ(kov_unit_draw_gl(unit_.get()), 0);
    return kovtest::gl::read_picture(view_.get());
  }

  void TearDown() override {
    if (unit_) kov_unit_stream_shutdown(unit_.get());
    if (source_) kov_unit_stream_shutdown(source_.get());
    unit_ = {};
    source_ = {};
  }

  ViewPtr view_;
  Ref<KovUnit> unit_;
  Ref<KovUnit> source_;
};

// Pixels inside [x0, x1) × [y0, y1) have colour `inside`, all others black.
void expect_rectangle(const Picture &p, int x0, int y0, int x1, int y1, uint32_t inside) {
  int wrong = 0;
  for (int y = 0; y < p.height; ++y)
    for (int x = 0; x < p.width; ++x) {
      const bool in = x >= x0 && x < x1 && y >= y0 && y < y1;
      const uint32_t want = in ? inside : 0u;
      if (p.rgb(x, y) != want && ++wrong <= 5)
        ADD_FAILURE() << "(" << x << ", " << y << ") is " << std::hex << p.rgb(x, y)
                      << ", expected " << want;
    }
  EXPECT_EQ(wrong, 0);
}

TEST_F(PipTest, A640x480FrameLandsInTheLowerLeftQuarterSizeInsetAndNowhereElse) {
  start(640, 480);
  push_uniform(640, 480, 200, 100, 50);
  expect_rectangle(draw(640, 480), 10, 350, 170, 470, 0xC86432);
}

TEST_F(PipTest, GreenPlaceholderBeforeTheFirstFrameAndAfterAFormatChange) {
  start(640, 480);
  ASSERT_EQ(kov_unit_draw_gl_init(unit_.get()), 0);
  expect_rectangle(draw(640, 480), 10, 350, 170, 470, 0x00FF00);
  GLfloat colour[4];
  glGetFloatv(GL_CURRENT_COLOR, colour);
  EXPECT_EQ(colour[0], 0.0f);
  EXPECT_EQ(colour[1], 1.0f);
  EXPECT_EQ(colour[2], 0.0f);

  push_uniform(640, 480, 1, 2, 3);
  expect_rectangle(draw(640, 480), 10, 350, 170, 470, 0x010203);

  kovtest::source_set_format(source_.get(), KOV_PIX_FMT_RGB3, 320, 240, 960);
  ASSERT_EQ(kov_unit_draw_gl_init(unit_.get()), 0);
  // 0.75 × 240 - 10 = 170: the inset of 80 × 60 at (10, 170).
  expect_rectangle(draw(320, 240), 10, 170, 90, 230, 0x00FF00);
}

TEST_F(PipTest, AnOddHeightGivesAFractionalOffsetPassedUnrounded) {
  // 0.75 × 481 - 10 = 350.75: the inset spans 350.75 to 470.75, so the
  // pixel centres of rows 351 to 470 are inside.
  start(640, 481);
  ASSERT_EQ(kov_unit_draw_gl_init(unit_.get()), 0);
  expect_rectangle(draw(640, 481), 10, 351, 170, 471, 0x00FF00);
}

TEST_F(PipTest, TheProjectionStackKeepsItsDepthAndHoldsThePlainProjection) {
  start(640, 480);
  push_uniform(640, 480, 9, 9, 9);
  ASSERT_TRUE(kov_gl_view_begin(view_.get(), 640, 480));
  GLint before = 0, after = 0, mode = 0;
  glGetIntegerv(GL_PROJECTION_STACK_DEPTH, &before);
  ASSERT_EQ(kov_unit_draw_gl(unit_.get()), 0);
  glGetIntegerv(GL_PROJECTION_STACK_DEPTH, &after);
  glGetIntegerv(GL_MATRIX_MODE, &mode);
  EXPECT_EQ(before, after);
  EXPECT_EQ(mode, GL_PROJECTION);
  GLdouble m[16];
  glGetDoublev(GL_PROJECTION_MATRIX, m);
  // glOrtho(0, 640, 480, 0, -1, 1)
  const GLdouble want[16] = {2.0 / 640, 0, 0, 0, 0, -2.0 / 480, 0, 0, 0, 0, -1, 0, -1, 1, 0, 1};
  for (int i = 0; i < 16; ++i) EXPECT_NEAR(m[i], want[i], 1e-7) << i;  // single precision
  GLdouble mv[16];
  glGetDoublev(GL_MODELVIEW_MATRIX, mv);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(mv[i], i % 5 == 0 ? 1.0 : 0.0) << i;
}

TEST_F(PipTest, DrawWithoutTextureOrFormatDrawsNothing) {
  EXPECT_EQ(kov_unit_draw_gl(unit_.get()), -1);
  start(64, 48);
  EXPECT_EQ(kov_unit_draw_gl(unit_.get()), -1);  // no frame, no init yet
  Ref<KovUnit> mjpg = kovtest::make_source(KOV_PIX_FMT_MJPG, 64, 48, 0);
  kov_unit_stream_shutdown(unit_.get());
  kov_unit_set_input(unit_.get(), mjpg.get());
  EXPECT_EQ(kov_unit_get_output_format(unit_.get()), nullptr);
  EXPECT_EQ(kov_unit_draw_gl_init(unit_.get()), -1);
  EXPECT_EQ(kov_unit_draw_gl(unit_.get()), -1);
}

}  // namespace
