// SPDX-License-Identifier: LGPL-2.1-or-later
// output.opengl drawn into the offscreen GL view: a test source feeds the
// unit, the unit uploads each frame into its texture, and draw_gl is read
// back pixel by pixel.
#include <gtest/gtest.h>

#include <test_support.h>

#include "gl_test_util.h"

#include <cstring>
#include <memory>
#include <vector>

using kovtest::Ref;
using kovtest::gl::Picture;
using kovtest::gl::ViewPtr;

namespace {

class GlViewUnitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    view_ = kovtest::gl::make_view();
    ASSERT_TRUE(view_);
    unit_ = kovtest::create_unit("output.opengl");
    ASSERT_TRUE(unit_);
  }

  // Links a source of this layout to the unit and starts both.
  void start(guint32 code, int width, int height, int stride) {
    source_ = kovtest::make_source(code, width, height, stride);
    kov_unit_set_input(unit_.get(), source_.get());
    ASSERT_EQ(kov_unit_stream_init(source_.get(), nullptr), 0);
    ASSERT_EQ(kov_unit_stream_init(unit_.get(), nullptr), 0);
    recorder_ = std::make_unique<kovtest::Recorder>(unit_.get());
  }

  void push(const std::vector<uint8_t> &bytes) {
    Ref<KovFrameBuffer> frame = kovtest::make_frame(bytes);
    kovtest::source_push(source_.get(), frame.get());
  }

  // draw_gl over a white view of the given size.
  Picture draw(int width, int height, gint expected = 0) {
    EXPECT_TRUE(kov_gl_view_begin(view_.get(), width, height));
    kovtest::gl::clear_to(0xFFFFFF);
    EXPECT_EQ(kov_unit_draw_gl(unit_.get()), expected);
    return kovtest::gl::read_picture(view_.get());
  }

  void TearDown() override {
    recorder_.reset();
    if (unit_) kov_unit_stream_shutdown(unit_.get());
    if (source_) kov_unit_stream_shutdown(source_.get());
    unit_ = {};
    source_ = {};
  }

  ViewPtr view_;
  Ref<KovUnit> unit_;
  Ref<KovUnit> source_;
  std::unique_ptr<kovtest::Recorder> recorder_;
};

void expect_all(const Picture &p, uint32_t rgb) {
  int wrong = 0;
  for (int y = 0; y < p.height; ++y)
    for (int x = 0; x < p.width; ++x)
      if (p.rgb(x, y) != rgb && ++wrong <= 3)
        ADD_FAILURE() << "(" << x << ", " << y << ") is " << std::hex << p.rgb(x, y);
  EXPECT_EQ(wrong, 0);
}

TEST_F(GlViewUnitTest, RGB3FrameAppearsPixelForPixelOverTheWholeView) {
  start(KOV_PIX_FMT_RGB3, 640, 480, 640 * 3);
  push(kovtest::gl::coord_rgb(640, 480, 640 * 3));
  Picture p = draw(640, 480);
  int wrong = 0;
  for (int y = 0; y < 480; ++y)
    for (int x = 0; x < 640; ++x)
      if (p.rgb(x, y) != kovtest::gl::coord_rgb_pixel(x, y)) ++wrong;
  EXPECT_EQ(wrong, 0);
  // The pixel projection is left current.
  GLint mode = 0;
  glGetIntegerv(GL_MATRIX_MODE, &mode);
  EXPECT_EQ(mode, GL_PROJECTION);
}

TEST_F(GlViewUnitTest, BGR4GreyAndLG16FramesAppearPixelForPixel) {
  struct Case {
    guint32 code;
    int bpp;
  };
  for (Case c : {Case{KOV_PIX_FMT_BGR4, 4}, Case{KOV_PIX_FMT_GREY, 1}, Case{KOV_PIX_FMT_LG16, 2}}) {
    SCOPED_TRACE(c.code);
    TearDown();
    unit_ = kovtest::create_unit("output.opengl");
    const int width = 37, height = 21, stride = width * c.bpp + 4;
    start(c.code, width, height, stride);
    std::vector<uint8_t> bytes(size_t(stride) * height, 0);
    std::vector<uint32_t> shown(size_t(width) * height);
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) {
        uint8_t *px = &bytes[size_t(y) * stride + size_t(x) * c.bpp];
        const uint8_t r = kovtest::gl::coord_value(x, y, 0), g = kovtest::gl::coord_value(x, y, 1),
                      b = kovtest::gl::coord_value(x, y, 2);
        if (c.code == KOV_PIX_FMT_BGR4) {
          px[0] = b, px[1] = g, px[2] = r, px[3] = 0;
          shown[size_t(y) * width + x] = uint32_t(r) << 16 | uint32_t(g) << 8 | b;
        } else if (c.code == KOV_PIX_FMT_GREY) {
          px[0] = r;
          shown[size_t(y) * width + x] = r * 0x010101u;
        } else {
          const uint16_t v = uint16_t(r * 257);
          std::memcpy(px, &v, 2);
          shown[size_t(y) * width + x] = r * 0x010101u;
        }
      }
    push(bytes);
    Picture p = draw(width, height);
    int wrong = 0;
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x)
        if (p.rgb(x, y) != shown[size_t(y) * width + x]) ++wrong;
    EXPECT_EQ(wrong, 0);
  }
}

TEST_F(GlViewUnitTest, BlackPlaceholderAfterInitUntilTheFirstFrame) {
  start(KOV_PIX_FMT_RGB3, 8, 6, 24);
  ASSERT_EQ(kov_unit_draw_gl_init(unit_.get()), 0);
  expect_all(draw(8, 6), 0x000000);
  GLfloat colour[4];
  glGetFloatv(GL_CURRENT_COLOR, colour);
  EXPECT_EQ(colour[0], 0.0f);
  EXPECT_EQ(colour[1], 0.0f);
  EXPECT_EQ(colour[2], 0.0f);
}

TEST_F(GlViewUnitTest, FormatChangeShowsThePlaceholderUntilTheNextFrame) {
  start(KOV_PIX_FMT_RGB3, 8, 6, 24);
  push(kovtest::gl::coord_rgb(8, 6, 24));
  EXPECT_EQ(draw(8, 6).rgb(3, 2), kovtest::gl::coord_rgb_pixel(3, 2));

  // Same size, another layout: the streaming unit is restarted (its texture
  // released); the view initialises it again before drawing.
  kovtest::source_set_format(source_.get(), KOV_PIX_FMT_BGR3, 8, 6, 24);
  ASSERT_EQ(kov_unit_draw_gl_init(unit_.get()), 0);
  expect_all(draw(8, 6), 0x000000);
  push(kovtest::gl::coord_rgb(8, 6, 24));  // read as BGR: red and blue swap
  const uint32_t rgb = kovtest::gl::coord_rgb_pixel(3, 2);
  EXPECT_EQ(draw(8, 6).rgb(3, 2), (rgb & 0xFF) << 16 | (rgb & 0xFF00) | rgb >> 16);
}

TEST_F(GlViewUnitTest, TheFrameHandedOnIsTheSameObjectWithTheSameFormat) {
  start(KOV_PIX_FMT_GREY, 4, 2, 4);
  Ref<KovFrameBuffer> frame = kovtest::make_frame(std::vector<uint8_t>(8, 9));
  kovtest::source_push(source_.get(), frame.get());
  ASSERT_EQ(recorder_->count(), 1u);
  EXPECT_EQ(recorder_->frames[0].get(), frame.get());
  EXPECT_EQ(recorder_->formats[0].get(), kov_unit_get_output_format(source_.get()));
  EXPECT_EQ(recorder_->bytes[0], std::vector<uint8_t>(8, 9));
}

TEST_F(GlViewUnitTest, ReleaseWithoutTextureAndDrawWithoutFormat) {
  EXPECT_EQ(kov_unit_draw_gl_release(unit_.get()), 0);
  EXPECT_EQ(kov_unit_draw_gl_release(unit_.get()), 0);
  EXPECT_EQ(kov_unit_draw_gl_init(unit_.get()), -1);  // no input
  EXPECT_EQ(kov_unit_draw_gl(unit_.get()), -1);
}

TEST_F(GlViewUnitTest, ReleaseKeepsHasFrameSoTheNewTextureIsDrawn) {
  start(KOV_PIX_FMT_RGB3, 4, 4, 12);
  push(std::vector<uint8_t>(48, 0xC8));
  ASSERT_EQ(kov_unit_draw_gl_release(unit_.get()), 0);
  EXPECT_EQ(kov_unit_draw_gl(unit_.get()), -1);  // no texture now
  ASSERT_EQ(kov_unit_draw_gl_init(unit_.get()), 0);
  // Not the black placeholder: the new, never filled texture is drawn.
  Picture p = draw(4, 4);
  EXPECT_EQ(p.rgb(0, 0), p.rgb(3, 3));
  push(std::vector<uint8_t>(48, 0xC8));
  expect_all(draw(4, 4), 0xC8C8C8);
}

TEST_F(GlViewUnitTest, ShortFramesPassOnWithoutUpload) {
  start(KOV_PIX_FMT_RGB3, 16, 16, 48);
  // A frame of half the size the format promises, in an exactly sized block.
  Ref<KovFrameBuffer> frame = kovtest::make_frame(std::vector<uint8_t>(48 * 8, 0x55));
  kovtest::source_push(source_.get(), frame.get());
  ASSERT_EQ(recorder_->count(), 1u);
  EXPECT_EQ(recorder_->frames[0].get(), frame.get());
  expect_all(draw(16, 16), 0x000000);  // still the placeholder
}

TEST_F(GlViewUnitTest, UploadOfALargerFrameThanTheTextureStaysInBounds) {
  // The texture is made for 8×6; the format grows to 16×12 while the unit
  // is not restarted, and frames of the new size arrive.
  start(KOV_PIX_FMT_RGB3, 8, 6, 24);
  push(kovtest::gl::coord_rgb(8, 6, 24));
  KovUnitFormat *big = kov_unit_format_new(KOV_PIX_FMT_RGB3, nullptr, 16, 12, 48);
  Ref<KovFrameBuffer> frame = kovtest::make_frame(std::vector<uint8_t>(48 * 12, 0x5A));
  KOV_UNIT_GET_CLASS(unit_.get())->input_frame_ready(unit_.get(), frame.get(), big);
  g_object_unref(big);
  // The frame was read within its bounds (the address sanitizer watches the
  // exactly sized block) and shows over the unit's 8×6 frame area.
  expect_all(draw(8, 6), 0x5A5A5A);
}

TEST_F(GlViewUnitTest, OffersItsInputsFormatForShownCodesOnly) {
  const guint32 shown[] = {KOV_PIX_FMT_RGB3, KOV_PIX_FMT_BGR3, KOV_PIX_FMT_RGB4,
                           KOV_PIX_FMT_BGR4, KOV_PIX_FMT_BA81, KOV_PIX_FMT_XXX2,
                           KOV_PIX_FMT_XXX3, KOV_PIX_FMT_XXX4, KOV_PIX_FMT_GREY,
                           KOV_PIX_FMT_LG16, KOV_PIX_FMT_FG32, KOV_PIX_FMT_NONE_165};
  for (guint32 code : shown) {
    Ref<KovUnit> source = kovtest::make_source(code, 7, 5, 40, "cam");
    kov_unit_set_input(unit_.get(), source.get());
    KovUnitFormat *f = kov_unit_get_output_format(unit_.get());
    ASSERT_NE(f, nullptr) << std::hex << code;
    EXPECT_EQ(f->pixelformat, code);
    EXPECT_STREQ(f->name, "cam");
    EXPECT_EQ(f->width, 7);
    EXPECT_EQ(f->height, 5);
    EXPECT_EQ(f->row_stride, 40);
  }
  for (guint32 code : {KOV_PIX_FMT_MJPG, KOV_PIX_FMT_YUYV, KOV_PIX_FMT_I420, 0x166u}) {
    Ref<KovUnit> source = kovtest::make_source(code, 7, 5, 40);
    kov_unit_set_input(unit_.get(), source.get());
    EXPECT_EQ(kov_unit_get_output_format(unit_.get()), nullptr) << std::hex << code;
  }
  kov_unit_set_input(unit_.get(), nullptr);
}

TEST(GlViewNoContextTest, FramesPassOnUntouchedWithoutAContext) {
  Ref<KovUnit> unit = kovtest::create_unit("output.opengl");
  Ref<KovUnit> source = kovtest::make_source(KOV_PIX_FMT_RGB3, 4, 4, 12);
  kov_unit_set_input(unit.get(), source.get());
  ASSERT_EQ(kov_unit_stream_init(source.get(), nullptr), 0);
  ASSERT_EQ(kov_unit_stream_init(unit.get(), nullptr), 0);
  kovtest::Recorder recorder(unit.get());
  Ref<KovFrameBuffer> frame = kovtest::make_frame(std::vector<uint8_t>(48, 3));
  kovtest::source_push(source.get(), frame.get());
  ASSERT_EQ(recorder.count(), 1u);
  EXPECT_EQ(recorder.frames[0].get(), frame.get());
  EXPECT_EQ(kov_unit_draw_gl_init(unit.get()), -1);
  EXPECT_EQ(kov_unit_draw_gl(unit.get()), -1);
  kov_unit_stream_shutdown(unit.get());
  kov_unit_stream_shutdown(source.get());
}

TEST(GlViewChainTest, ChainOfDisplayAndInsetRendersThroughTheView) {
  ViewPtr view = kovtest::gl::make_view();
  ASSERT_TRUE(view);
  Ref<KovUnitChain> chain(kov_unit_chain_new());
  Ref<KovUnit> source = kovtest::make_source(KOV_PIX_FMT_RGB3, 64, 48, 192);
  kov_unit_chain_add_unit(chain.get(), source.get());
  for (const char *id : {"output.opengl", "output.pip"})
    kov_unit_chain_add_unit(chain.get(), kovtest::create_unit(id).get());
  kov_gl_view_set_chain(view.get(), chain.get());
  ASSERT_EQ(kov_unit_chain_all_units_stream_init(chain.get()), 0);
  kovtest::Recorder recorder(kov_unit_chain_get_last_unit(chain.get()));
  Ref<KovFrameBuffer> frame = kovtest::make_frame(kovtest::gl::coord_rgb(64, 48, 192));
  kovtest::source_push(source.get(), frame.get());
  ASSERT_EQ(kov_gl_view_render(view.get(), 0, 0), 0);
  Picture p = kovtest::gl::read_picture(view.get());
  ASSERT_EQ(p.width, 64);
  ASSERT_EQ(p.height, 48);
  EXPECT_EQ(p.rgb(40, 5), kovtest::gl::coord_rgb_pixel(40, 5));   // the full picture
  // The inset's first pixel samples the frame at (2, 2), on a texel corner:
  // either neighbour is right.
  const uint32_t inset = p.rgb(10, 26);
  EXPECT_TRUE(inset == kovtest::gl::coord_rgb_pixel(1, 1) ||
              inset == kovtest::gl::coord_rgb_pixel(1, 2) ||
              inset == kovtest::gl::coord_rgb_pixel(2, 1) ||
              inset == kovtest::gl::coord_rgb_pixel(2, 2))
      << std::hex << inset;
  EXPECT_EQ(recorder.frames.at(0).get(), frame.get());
  kov_unit_chain_all_units_stream_shutdown(chain.get());
}

}  // namespace
