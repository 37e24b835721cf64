// SPDX-License-Identifier: LGPL-2.1-or-later
// detect.opencv.hough: frames pass on with their pixels and metadata, plus the
// first circle as "marker:x/y/r" in frame coordinates (0 when none); regions
// are clipped to the frame and bad frames pass on with a zero marker.
#include <gtest/gtest.h>
#include <test_support.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <random>

using kovtest::Ref;

namespace {

constexpr int W = 320, H = 240;

struct Circle {
  int x, y, r;
};

// Filled bright discs on a dark background; padding bytes hold 0xA5.
std::vector<uint8_t> make_picture(int w, int h, int stride, std::initializer_list<Circle> discs) {
  std::vector<uint8_t> bytes(size_t(stride) * h, 0xA5);
  cv::Mat img(h, w, CV_8UC1, bytes.data(), stride);
  img.setTo(cv::Scalar(20));
  for (const Circle &c : discs)
    cv::circle(img, cv::Point(c.x, c.y), c.r, cv::Scalar(200), cv::FILLED, cv::LINE_AA);
  return bytes;
}

void set_roi(KovFrameBuffer *frame, gint32 x, gint32 y, gint32 w, gint32 h) {
  const gint32 v[4] = {x, y, w, h};
  kov_framebuffer_metadata_set(frame, "roi", v, sizeof v);
}

// The value of a 4-byte marker entry; nullopt when it is missing or sized wrongly.
std::optional<gint32> marker(KovFrameBuffer *frame, const char *key) {
  gsize len = 0;
  const void *p = kov_framebuffer_metadata_get(frame, key, &len);
  if (p == nullptr || len != 4) return std::nullopt;
  gint32 v;
  std::memcpy(&v, p, 4);
  return v;
}

// source -> detect.opencv.hough, both streaming, with a recorder.
struct HoughChain : kovtest::FedUnit {
  HoughChain(int w = W, int h = H, int stride = W)
      : FedUnit("detect.opencv.hough", KOV_PIX_FMT_GREY, w, h, stride) {
    if (unit) {
      EXPECT_TRUE(kov_unit_is_streaming(unit.get()));
    }
  }
  using FedUnit::push;
  KovFrameBuffer *push(const std::vector<uint8_t> &bytes, std::optional<std::array<gint32, 4>> roi = {}) {
    Ref<KovFrameBuffer> frame = kovtest::make_frame(bytes);
    if (roi) set_roi(frame.get(), (*roi)[0], (*roi)[1], (*roi)[2], (*roi)[3]);
    push(frame.get());
    return rec->count() ? rec->frames.back().get() : nullptr;
  }
};

void expect_marker(KovFrameBuffer *out, Circle truth, int tolerance = 2) {
  ASSERT_NE(out, nullptr);
  auto x = marker(out, "marker:x"), y = marker(out, "marker:y"), r = marker(out, "marker:r");
  ASSERT_TRUE(x && y && r);
  EXPECT_NEAR(*x, truth.x, tolerance);
  EXPECT_NEAR(*y, truth.y, tolerance);
  EXPECT_NEAR(*r, truth.r, tolerance);
}

void expect_zero_marker(KovFrameBuffer *out) {
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(marker(out, "marker:x"), std::optional<gint32>(0));
  EXPECT_EQ(marker(out, "marker:y"), std::optional<gint32>(0));
  EXPECT_EQ(marker(out, "marker:r"), std::optional<gint32>(0));
}

TEST(HoughTest, IdentityAndControls) {
  Ref<KovUnit> unit = kovtest::create_unit("detect.opencv.hough");
  ASSERT_TRUE(unit);
  EXPECT_STREQ(kov_unit_get_name(unit.get()), "Detect Hough circles on image");
  EXPECT_EQ(kov_unit_get_flags(unit.get()), guint(KOV_UNIT_RENDERS_GL));
  EXPECT_STREQ(G_OBJECT_TYPE_NAME(unit.get()), "DetectHoughPlugin");
  const guint spin = KOV_UNIT_CONTROL_SPINBUTTON;
  kovtest::expect_controls(
      unit.get(), {{"dp", "DP", KOV_UNIT_CONTROL_TYPE_FLOAT, 1, 10, 0.5, 2, spin},
                   {"min-dist", "Min. Distance", KOV_UNIT_CONTROL_TYPE_FLOAT, 1, 1000, 5, 50, spin},
                   {"param-1", "Param 1", KOV_UNIT_CONTROL_TYPE_FLOAT, 1, 500, 1, 100, spin},
                   {"param-2", "Param 2", KOV_UNIT_CONTROL_TYPE_FLOAT, 1, 500, 1, 50, spin},
                   {"min_radius", "Min. Radius", KOV_UNIT_CONTROL_TYPE_INT, 1, 100, 1, 10, spin},
                   {"max_radius", "Max. Radius", KOV_UNIT_CONTROL_TYPE_INT, 1, 500, 1, 400, spin}});
}

TEST(HoughTest, OffersGreyOnlyAndRefusesOtherStreams) {
  Ref<KovUnit> source = kovtest::make_source(KOV_PIX_FMT_GREY, 40, 30, 48, "grey");
  Ref<KovUnit> unit = kovtest::create_unit("detect.opencv.hough");
  ASSERT_TRUE(unit);
  kov_unit_set_input(unit.get(), source.get());
  KovUnitFormat *f = kov_unit_get_output_format(unit.get());
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->pixelformat, KOV_PIX_FMT_GREY);
  EXPECT_STREQ(f->name, "grey");
  EXPECT_EQ(f->width, 40);
  EXPECT_EQ(f->height, 30);
  EXPECT_EQ(f->row_stride, 48);
  kovtest::source_set_format(source.get(), KOV_PIX_FMT_BGR4, 40, 30, 160);
  GList *formats = kov_unit_get_output_formats(unit.get());
  EXPECT_EQ(formats, nullptr);
  g_list_free(formats);
  Ref<KovUnitFormat> bgr(kov_unit_format_new(KOV_PIX_FMT_BGR4, nullptr, 40, 30, 160));
  EXPECT_EQ(KOV_UNIT_GET_CLASS(unit.get())->stream_init(unit.get(), bgr.get()), -1);
}

TEST(HoughTest, DrawnCircleGivesTruncatedMarker) {
  HoughChain chain;
  ASSERT_TRUE(chain.unit);
  std::vector<uint8_t> in = make_picture(W, H, W, {{150, 110, 40}});
  KovFrameBuffer *out = chain.push(in);
  expect_marker(out, {150, 110, 40});
  EXPECT_EQ(chain.rec->bytes[0], in);
  EXPECT_EQ(out->bytesused, size_t(W) * H);
}

TEST(HoughTest, RegionMarkerIsInFrameCoordinates) {
  // Two discs; the region holds only the second, so the marker is that one.
  const int stride = W + 12;
  HoughChain chain(W, H, stride);
  ASSERT_TRUE(chain.unit);
  std::vector<uint8_t> in = make_picture(W, H, stride, {{80, 70, 30}, {240, 170, 35}});
  KovFrameBuffer *out = chain.push(in, std::array<gint32, 4>{160, 120, 160, 120});
  expect_marker(out, {240, 170, 35});
  // Regions reaching past the frame are clipped and still find it.
  out = chain.push(in, std::array<gint32, 4>{170, 100, 1000, 1000});
  expect_marker(out, {240, 170, 35});
  out = chain.push(in, std::array<gint32, 4>{-100, -100, 240, 220});
  expect_marker(out, {80, 70, 30});
  for (const auto &bytes : chain.rec->bytes) EXPECT_EQ(bytes, in);
}

TEST(HoughTest, NoCircleGivesThreeZeroEntries) {
  HoughChain chain;
  ASSERT_TRUE(chain.unit);
  // A circle first, so that stale values would show.
  expect_marker(chain.push(make_picture(W, H, W, {{150, 110, 40}})), {150, 110, 40});
  std::vector<uint8_t> blank = make_picture(W, H, W, {});
  expect_zero_marker(chain.push(blank));
  // A square has edges but no circle.
  std::vector<uint8_t> square = blank;
  cv::Mat img(H, W, CV_8UC1, square.data());
  cv::rectangle(img, cv::Point(100, 60), cv::Point(200, 160), cv::Scalar(200), cv::FILLED);
  expect_zero_marker(chain.push(square));
}

TEST(HoughTest, EmptyOrMalformedRegions) {
  HoughChain chain;
  ASSERT_TRUE(chain.unit);
  std::vector<uint8_t> in = make_picture(W, H, W, {{150, 110, 40}});
  const std::array<gint32, 4> empty[] = {
      {400, 0, 50, 50}, {0, 300, 50, 50}, {-60, 0, 50, 50}, {10, 10, -20, 50},
      {10, 10, 50, 0},  {G_MAXINT32, G_MAXINT32, G_MAXINT32, G_MAXINT32},
  };
  for (const auto &r : empty) {
    SCOPED_TRACE(testing::Message() << r[0] << "," << r[1] << " " << r[2] << "x" << r[3]);
    expect_zero_marker(chain.push(in, r));
  }
  // A "roi" of 12 or 20 bytes means the whole frame.
  for (size_t len : {12u, 20u}) {
    Ref<KovFrameBuffer> frame = kovtest::make_frame(in);
    const gint32 v[5] = {0, 0, 20, 20, 0};
    kov_framebuffer_metadata_set(frame.get(), "roi", v, len);
    kovtest::source_push(chain.source.get(), frame.get());
    expect_marker(chain.rec->frames.back().get(), {150, 110, 40});
  }
  for (const auto &bytes : chain.rec->bytes) EXPECT_EQ(bytes, in);
}

TEST(HoughTest, MetadataAndTimestampAreCarried) {
  HoughChain chain;
  ASSERT_TRUE(chain.unit);
  std::vector<uint8_t> in = make_picture(W, H, W, {{150, 110, 40}});
  Ref<KovFrameBuffer> frame = kovtest::make_frame(in);
  frame->timestamp = 987654321;
  set_roi(frame.get(), 0, 0, W, H);
  kov_framebuffer_metadata_set(frame.get(), "note", "xyz", 3);
  kov_framebuffer_metadata_set(frame.get(), "marker:r", "old", 3);
  kovtest::source_push(chain.source.get(), frame.get());
  ASSERT_EQ(chain.rec->count(), 1u);
  KovFrameBuffer *out = chain.rec->frames[0].get();
  EXPECT_EQ(out->timestamp, 987654321);
  // The pixels are the input's own memory, not a copy.
  EXPECT_EQ(out->data, frame->data);
  gsize len = 0;
  const void *note = kov_framebuffer_metadata_get(out, "note", &len);
  ASSERT_NE(note, nullptr);
  EXPECT_EQ(std::string(static_cast<const char *>(note), len), "xyz");
  EXPECT_NE(kov_framebuffer_metadata_get(out, "roi", &len), nullptr);
  EXPECT_EQ(len, 16u);
  expect_marker(out, {150, 110, 40});
  // The input frame does not get the markers.
  EXPECT_EQ(marker(frame.get(), "marker:x"), std::nullopt);
}

// A frame the unit cannot search goes on over the same bytes, with a zero
// marker, and leaves the input untouched.
void expect_passed_on(KovFrameBuffer *out, KovFrameBuffer *in) {
  ASSERT_NE(out, nullptr);
  EXPECT_NE(out, in);
  EXPECT_EQ(out->data, in->data);
  EXPECT_EQ(out->length, in->length);
  EXPECT_EQ(out->bytesused, in->bytesused);
  expect_zero_marker(out);
  EXPECT_EQ(marker(in, "marker:x"), std::nullopt);
}

TEST(HoughTest, BadFramesPassOnWithAZeroMarker) {
  HoughChain chain(64, 48, 64);
  ASSERT_TRUE(chain.unit);
  std::vector<uint8_t> in = make_picture(64, 48, 64, {{30, 24, 15}});
  expect_marker(chain.push(in), {30, 24, 15});  // a circle first: stale values would show
  in.resize(in.size() - 64);
  Ref<KovFrameBuffer> frame = kovtest::make_frame(in);
  kovtest::source_push(chain.source.get(), frame.get());
  ASSERT_EQ(chain.rec->count(), 2u);
  expect_passed_on(chain.rec->frames[1].get(), frame.get());

  // Outside a stream, and a unit that never streamed.
  Ref<KovUnit> unit = kovtest::create_unit("detect.opencv.hough");
  kovtest::Recorder rec(unit.get());
  Ref<KovUnitFormat> fmt(kov_unit_format_new(KOV_PIX_FMT_GREY, nullptr, 64, 48, 64));
  Ref<KovFrameBuffer> whole = kovtest::make_frame(make_picture(64, 48, 64, {{30, 24, 15}}));
  KovUnitClass *klass = KOV_UNIT_GET_CLASS(unit.get());
  klass->input_frame_ready(unit.get(), whole.get(), fmt.get());
  ASSERT_EQ(klass->stream_init(unit.get(), fmt.get()), 0);
  ASSERT_EQ(klass->stream_init(unit.get(), fmt.get()), 0);  // again, no shutdown
  ASSERT_EQ(klass->stream_shutdown(unit.get()), 0);
  klass->input_frame_ready(unit.get(), whole.get(), fmt.get());
  ASSERT_EQ(rec.count(), 2u);
  expect_passed_on(rec.frames[0].get(), whole.get());
  expect_passed_on(rec.frames[1].get(), whole.get());
  // Destroyed while streaming: finalize frees the stream's data (valgrind).
  ASSERT_EQ(klass->stream_init(unit.get(), fmt.get()), 0);
  klass->input_frame_ready(unit.get(), whole.get(), fmt.get());
  EXPECT_EQ(rec.count(), 3u);
}

TEST(HoughTest, DetectorFailureGivesZeroMarkersAndOneErrorLine) {
  HoughChain chain;
  ASSERT_TRUE(chain.unit);
  std::vector<uint8_t> in = make_picture(W, H, W, {{150, 110, 40}});
  expect_marker(chain.push(in), {150, 110, 40});
  // A resolution ratio of 0, stored behind the control's range check.
  KovUnitControl *dp = kov_unit_find_control(chain.unit.get(), "dp");
  g_value_set_float(const_cast<GValue *>(kov_unit_control_get_value(dp)), 0.0f);
  ASSERT_EQ(kov_unit_control_get_float(dp), 0.0f);
  testing::internal::CaptureStderr();
  KovFrameBuffer *out = chain.push(in);
  const std::string err = testing::internal::GetCapturedStderr();
  expect_zero_marker(out);
  EXPECT_EQ(chain.rec->bytes.back(), in);
  EXPECT_EQ(err.rfind("Error: Hough circle detection failed: ", 0), 0u) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

}  // namespace
