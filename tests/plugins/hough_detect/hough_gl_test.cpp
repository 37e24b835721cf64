// SPDX-License-Identifier: LGPL-2.1-or-later
// detect.opencv.hough in the offscreen GL view: a bright square on the first
// circle, dim squares on every circle (in frame coordinates, also with a
// region), nothing when the last frame had no circle or could not be searched.
#include <gtest/gtest.h>
#include <test_support.h>

#include <epoxy/gl.h>
#include <kovkit/glview.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstring>
#include <memory>

using kovtest::Ref;

namespace {

constexpr int W = 320, H = 240;
constexpr uint8_t kBright = 255;
constexpr uint8_t kDim = 178;  // 0.7 of full green, either rounding

struct Square {
  float x, y, r;  // centre and half side, frame pixels
};

std::vector<uint8_t> make_picture(std::initializer_list<cv::Vec3i> discs) {
  std::vector<uint8_t> bytes(size_t(W) * H);
  cv::Mat img(H, W, CV_8UC1, bytes.data());
  img.setTo(cv::Scalar(20));
  for (const cv::Vec3i &c : discs)
    cv::circle(img, cv::Point(c[0], c[1]), c[2], cv::Scalar(200), cv::FILLED, cv::LINE_AA);
  return bytes;
}

gint32 marker(KovFrameBuffer *frame, const char *key) {
  gsize len = 0;
  const void *p = kov_framebuffer_metadata_get(frame, key, &len);
  gint32 v = -1;
  if (p != nullptr && len == 4) std::memcpy(&v, p, 4);
  return v;
}

// Distance of a pixel centre from the outline of a square.
float outline_distance(const Square &s, float px, float py) {
  const float dx = std::fabs(px - s.x), dy = std::fabs(py - s.y);
  if (dx <= s.r && dy <= s.r) return std::min(s.r - dx, s.r - dy);
  return std::hypot(std::max(dx - s.r, 0.0f), std::max(dy - s.r, 0.0f));
}

class HoughGlTest : public testing::Test {
 protected:
  void SetUp() override {
    GError *error = nullptr;
    view_ = kov_gl_view_new_offscreen(&error);
    ASSERT_NE(view_, nullptr) << (error ? error->message : "no view");
    source_ = kovtest::make_source(KOV_PIX_FMT_GREY, W, H, W);
    unit_ = kovtest::create_unit("detect.opencv.hough");
    ASSERT_TRUE(unit_);
    kov_unit_set_input(unit_.get(), source_.get());
    rec_ = std::make_unique<kovtest::Recorder>(unit_.get());
    ASSERT_EQ(kov_unit_stream_init(source_.get(), nullptr), 0);
    ASSERT_EQ(kov_unit_stream_init(unit_.get(), nullptr), 0);
  }
  void TearDown() override {
    if (unit_) kov_unit_stream_shutdown(unit_.get());
    if (source_) kov_unit_stream_shutdown(source_.get());
    rec_.reset();
    unit_ = {};
    source_ = {};
    kov_gl_view_free(view_);
  }

  KovFrameBuffer *push(const std::vector<uint8_t> &bytes, const gint32 *roi = nullptr) {
    Ref<KovFrameBuffer> frame = kovtest::make_frame(bytes);
    if (roi != nullptr) kov_framebuffer_metadata_set(frame.get(), "roi", roi, 16);
    kovtest::source_push(source_.get(), frame.get());
    return rec_->frames.back().get();
  }

  // Draws the unit alone into a cleared view; the pixels, RGBA, top row first.
  std::vector<uint8_t> draw() {
    EXPECT_TRUE(kov_gl_view_begin(view_, W, H));
    EXPECT_EQ(kov_unit_draw_gl(unit_.get()), 0);
    std::vector<uint8_t> pixels(size_t(W) * H * 4);
    EXPECT_TRUE(kov_gl_view_read_pixels(view_, pixels.data(), W * 4));
    return pixels;
  }

  // Every lit pixel is pure green of the given level and lies on one of the
  // squares; every square is lit along most of its outline.
  // Tolerance covers rasterisation and the distance between the truncated
  // marker or drawn disc and what the detector found.
  void expect_squares(const std::vector<uint8_t> &pixels, uint8_t level,
                      const std::vector<Square> &squares, float tolerance = 1.5f,
                      float min_fraction = 0.6f) {
    std::vector<int> hits(squares.size());
    for (int y = 0; y < H; y++) {
      for (int x = 0; x < W; x++) {
        const uint8_t *p = &pixels[(size_t(y) * W + x) * 4];
        if (p[1] != level) continue;
        EXPECT_EQ(p[0], 0);
        EXPECT_EQ(p[2], 0);
        bool on_one = false;
        for (size_t i = 0; i < squares.size(); i++) {
          if (outline_distance(squares[i], x + 0.5f, y + 0.5f) <= tolerance) {
            hits[i]++;
            on_one = true;
          }
        }
        EXPECT_TRUE(on_one) << "stray pixel at " << x << "," << y;
      }
    }
    for (size_t i = 0; i < squares.size(); i++)
      EXPECT_GT(hits[i], int(8 * squares[i].r * min_fraction)) << "square " << i;
  }

  // 0.7 of full green as the driver rounds it.
  static uint8_t dim_level(const std::vector<uint8_t> &pixels) {
    for (size_t i = 1; i < pixels.size(); i += 4)
      if (pixels[i] == kDim + 1) return kDim + 1;
    return kDim;
  }

  static size_t lit(const std::vector<uint8_t> &pixels) {
    size_t n = 0;
    for (size_t i = 0; i < pixels.size(); i += 4)
      n += (pixels[i] | pixels[i + 1] | pixels[i + 2]) != 0;
    return n;
  }

  KovGLView *view_ = nullptr;
  Ref<KovUnit> source_, unit_;
  std::unique_ptr<kovtest::Recorder> rec_;
};

TEST_F(HoughGlTest, BrightSquareOnTheFirstCircleDimOnEveryOther) {
  KovFrameBuffer *out = push(make_picture({{80, 70, 30}, {240, 170, 35}}));
  const Square first{float(marker(out, "marker:x")), float(marker(out, "marker:y")),
                     float(marker(out, "marker:r"))};
  ASSERT_GT(first.r, 0);
  // The other disc is the one the marker does not name.
  const Square other = first.x > 160 ? Square{80, 70, 30} : Square{240, 170, 35};
  std::vector<uint8_t> pixels = draw();
  // The first circle's dim square lies within a pixel of its bright one and
  // may cover parts of it; the other circle has only a dim square.
  expect_squares(pixels, kBright, {first}, 1.5f, 0.25f);
  expect_squares(pixels, dim_level(pixels), {first, other}, 2.5f);

  // The projection stays on the frame's pixel grid.
  GLdouble m[16];
  glGetDoublev(GL_PROJECTION_MATRIX, m);
  EXPECT_NEAR(m[0], 2.0 / W, 1e-9);
  EXPECT_NEAR(m[5], -2.0 / H, 1e-9);
  EXPECT_NEAR(m[12], -1.0, 1e-9);
  EXPECT_NEAR(m[13], 1.0, 1e-9);
}

TEST_F(HoughGlTest, DimSquaresAreShiftedByTheRegionOrigin) {
  const gint32 roi[4] = {160, 120, 160, 120};
  KovFrameBuffer *out = push(make_picture({{80, 70, 30}, {240, 170, 35}}), roi);
  ASSERT_NEAR(marker(out, "marker:x"), 240, 2);
  std::vector<uint8_t> pixels = draw();
  const Square first{float(marker(out, "marker:x")), float(marker(out, "marker:y")),
                     float(marker(out, "marker:r"))};
  expect_squares(pixels, kBright, {first}, 1.5f, 0.25f);
  expect_squares(pixels, dim_level(pixels), {first}, 2.5f);
  // Nothing is drawn where the unshifted dim square would be (its top edge
  // near row 15, columns 45 to 115).
  for (int y = 12; y <= 18; y++)
    for (int x = 50; x < 110; x++) EXPECT_EQ(pixels[(size_t(y) * W + x) * 4 + 1], 0) << x << "," << y;
}

TEST_F(HoughGlTest, NoCircleDrawsNothingAndLeavesTheProjection) {
  // After a circle: a picture without one, and a frame too short to search.
  std::vector<uint8_t> too_short = make_picture({{150, 110, 40}});
  too_short.resize(too_short.size() - 1);
  for (const auto &next : {make_picture({}), too_short}) {
    push(make_picture({{150, 110, 40}}));
    push(next);
    EXPECT_TRUE(kov_gl_view_begin(view_, W, H));
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glMatrixMode(GL_MODELVIEW);
    EXPECT_EQ(kov_unit_draw_gl(unit_.get()), 0);
    std::vector<uint8_t> pixels(size_t(W) * H * 4);
    ASSERT_TRUE(kov_gl_view_read_pixels(view_, pixels.data(), W * 4));
    EXPECT_EQ(lit(pixels), 0u) << next.size();
    GLdouble m[16];
    glGetDoublev(GL_PROJECTION_MATRIX, m);
    for (int i = 0; i < 16; i++) EXPECT_EQ(m[i], i % 5 == 0 ? 1.0 : 0.0) << i;
  }
}

}  // namespace
