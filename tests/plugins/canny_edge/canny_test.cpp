// SPDX-License-Identifier: LGPL-2.1-or-later
// opencv.convert_canny: edges equal OpenCV's Canny on the whole frame or on
// the "roi" region; the rest of the frame, malformed regions and frames the
// unit cannot handle pass on unchanged.
#include <gtest/gtest.h>
#include <test_support.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cfloat>
#include <cstring>
#include <random>

using kovtest::Ref;

namespace {

// A grey test picture: noise with bright shapes, so Canny finds plenty of
// edges; padding bytes between rows hold a marker value of their own.
std::vector<uint8_t> make_picture(int w, int h, int stride, unsigned seed = 7) {
  std::vector<uint8_t> bytes(size_t(stride) * h, 0xA5);
  cv::Mat img(h, w, CV_8UC1, bytes.data(), stride);
  std::mt19937 rng(seed);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) img.at<uint8_t>(y, x) = uint8_t(rng() % 40);
  cv::rectangle(img, cv::Point(w / 5, h / 6), cv::Point(w / 2, h / 2), cv::Scalar(220), cv::FILLED);
  cv::circle(img, cv::Point(2 * w / 3, 2 * h / 3), std::max(2, h / 5), cv::Scalar(180), cv::FILLED);
  return bytes;
}

// Canny of a w x h region of a strided picture, computed on a packed copy.
cv::Mat reference_edges(const std::vector<uint8_t> &bytes, int stride, int x, int y, int w, int h,
                        double t1 = 400, double t2 = 600, int aperture = 5) {
  cv::Mat view(h, w, CV_8UC1, const_cast<uint8_t *>(bytes.data()) + size_t(y) * stride + x, stride);
  cv::Mat edges;
  cv::Canny(view.clone(), edges, t1, t2, aperture);
  return edges;
}

// The expected output: the input with the region replaced by its edges.
std::vector<uint8_t> expected_output(const std::vector<uint8_t> &bytes, int stride, int x, int y,
                                     int w, int h) {
  std::vector<uint8_t> out = bytes;
  cv::Mat edges = reference_edges(bytes, stride, x, y, w, h);
  for (int i = 0; i < h; i++) std::memcpy(&out[size_t(y + i) * stride + x], edges.ptr(i), w);
  return out;
}

void set_roi(KovFrameBuffer *frame, gint32 x, gint32 y, gint32 w, gint32 h) {
  const gint32 v[4] = {x, y, w, h};
  kov_framebuffer_metadata_set(frame, "roi", v, sizeof v);
}

// source -> opencv.convert_canny, both streaming, with a recorder.
struct CannyChain : kovtest::FedUnit {
  int w, h, stride;
  CannyChain(int w_, int h_, int stride_)
      : FedUnit("opencv.convert_canny", KOV_PIX_FMT_GREY, w_, h_, stride_), w(w_), h(h_), stride(stride_) {
    if (unit) {
      EXPECT_TRUE(kov_unit_is_streaming(unit.get()));
    }
  }
};

TEST(CannyTest, IdentityAndControls) {
  Ref<KovUnit> unit = kovtest::create_unit("opencv.convert_canny");
  ASSERT_TRUE(unit);
  EXPECT_STREQ(kov_unit_get_name(unit.get()), "Do Canny on image with ROI");
  EXPECT_EQ(kov_unit_get_flags(unit.get()), guint(KOV_UNIT_RENDERS_GL));
  EXPECT_STREQ(G_OBJECT_TYPE_NAME(unit.get()), "ConvertCannyPlugin");

  kovtest::expect_controls(
      unit.get(),
      {{"thresh1", "Threshold 1", KOV_UNIT_CONTROL_TYPE_FLOAT, 0, FLT_MAX, 1, 400,
        KOV_UNIT_CONTROL_SPINBUTTON},
       {"thresh2", "Threshold 2", KOV_UNIT_CONTROL_TYPE_FLOAT, 0, FLT_MAX, 1, 600,
        KOV_UNIT_CONTROL_SPINBUTTON},
       {"aperture", "Aperture", KOV_UNIT_CONTROL_TYPE_INT, 3, 7, 2, 5, 0}});
  // The aperture takes only the sizes Canny accepts.
  KovUnitControl *aperture = kov_unit_find_control(unit.get(), "aperture");
  EXPECT_FALSE(kov_unit_control_set_int(aperture, 4, nullptr));
  EXPECT_FALSE(kov_unit_control_set_int(aperture, 9, nullptr));
  EXPECT_TRUE(kov_unit_control_set_int(aperture, 7, nullptr));
}

TEST(CannyTest, OffersGreyOnlyAndRefusesOtherStreams) {
  Ref<KovUnit> source = kovtest::make_source(KOV_PIX_FMT_GREY, 40, 30, 48, "grey 40x30");
  Ref<KovUnit> unit = kovtest::create_unit("opencv.convert_canny");
  ASSERT_TRUE(unit);
  kov_unit_set_input(unit.get(), source.get());
  GList *formats = kov_unit_get_output_formats(unit.get());
  ASSERT_EQ(g_list_length(formats), 1u);
  auto *f = static_cast<KovUnitFormat *>(formats->data);
  EXPECT_EQ(f->pixelformat, KOV_PIX_FMT_GREY);
  EXPECT_STREQ(f->name, "grey 40x30");
  EXPECT_EQ(f->width, 40);
  EXPECT_EQ(f->height, 30);
  EXPECT_EQ(f->row_stride, 48);
  g_list_free(formats);

  kovtest::source_set_format(source.get(), KOV_PIX_FMT_RGB3, 40, 30, 120);
  formats = kov_unit_get_output_formats(unit.get());
  EXPECT_EQ(formats, nullptr);
  g_list_free(formats);

  Ref<KovUnitFormat> rgb(kov_unit_format_new(KOV_PIX_FMT_RGB3, nullptr, 40, 30, 120));
  EXPECT_EQ(KOV_UNIT_GET_CLASS(unit.get())->stream_init(unit.get(), rgb.get()), -1);
}

TEST(CannyTest, WholeFrameEqualsOpenCvCanny) {
  // Odd width and a padded stride; the padding bytes are carried as they are.
  for (auto [w, h, stride] : {std::tuple{64, 48, 64}, {61, 37, 72}, {7, 5, 8}}) {
    SCOPED_TRACE(testing::Message() << w << "x" << h << " stride " << stride);
    CannyChain chain(w, h, stride);
    ASSERT_TRUE(chain.unit);
    std::vector<uint8_t> in = make_picture(w, h, stride);
    Ref<KovFrameBuffer> frame = kovtest::make_frame(in);
    chain.push(frame.get());
    ASSERT_EQ(chain.rec->count(), 1u);
    EXPECT_EQ(chain.rec->bytes[0], expected_output(in, stride, 0, 0, w, h));
    EXPECT_EQ(chain.rec->frames[0]->bytesused, size_t(stride) * h);
    // The input frame itself is untouched.
    EXPECT_EQ(std::vector<uint8_t>(frame->data, frame->data + in.size()), in);
  }
}

TEST(CannyTest, ControlsReachTheDetector) {
  CannyChain chain(80, 60, 80);
  ASSERT_TRUE(chain.unit);
  ASSERT_TRUE(kov_unit_control_set_float(chain.control("thresh1"), 30, nullptr));
  ASSERT_TRUE(kov_unit_control_set_float(chain.control("thresh2"), 90, nullptr));
  ASSERT_TRUE(kov_unit_control_set_int(chain.control("aperture"), 3, nullptr));
  std::vector<uint8_t> in = make_picture(80, 60, 80, 3);
  chain.push(kovtest::make_frame(in).get());
  ASSERT_EQ(chain.rec->count(), 1u);
  cv::Mat edges = reference_edges(in, 80, 0, 0, 80, 60, 30, 90, 3);
  EXPECT_EQ(chain.rec->bytes[0], std::vector<uint8_t>(edges.datastart, edges.dataend));

  // Thresholds up to the control's maximum mean fewer edges, never more
  // (beyond the int range OpenCV's own conversion would mark every pixel).
  for (int aperture : {3, 5, 7}) {
    ASSERT_TRUE(kov_unit_control_set_int(chain.control("aperture"), aperture, nullptr));
    for (float t : {3e9f, FLT_MAX}) {
      ASSERT_TRUE(kov_unit_control_set_float(chain.control("thresh1"), t, nullptr));
      ASSERT_TRUE(kov_unit_control_set_float(chain.control("thresh2"), t, nullptr));
      chain.push(kovtest::make_frame(in).get());
      EXPECT_EQ(chain.rec->bytes.back(), std::vector<uint8_t>(in.size(), 0))
          << "aperture " << aperture << " threshold " << t;
    }
  }
}

TEST(CannyTest, RegionIsReplacedAndTheRestIsTheInput) {
  const int w = 90, h = 70, stride = 96;
  CannyChain chain(w, h, stride);
  ASSERT_TRUE(chain.unit);
  std::vector<uint8_t> in = make_picture(w, h, stride);
  Ref<KovFrameBuffer> frame = kovtest::make_frame(in);
  set_roi(frame.get(), 10, 7, 23, 17);
  chain.push(frame.get());
  ASSERT_EQ(chain.rec->count(), 1u);
  const std::vector<uint8_t> &out = chain.rec->bytes[0];
  EXPECT_EQ(out, expected_output(in, stride, 10, 7, 23, 17));
  // Some edges inside, so the comparison above means something.
  cv::Mat edges = reference_edges(in, stride, 10, 7, 23, 17);
  EXPECT_GT(cv::countNonZero(edges), 0);
}

TEST(CannyTest, RegionOfAnotherLengthMeansTheWholeFrame) {
  const int w = 50, h = 40;
  for (size_t len : {12u, 20u, 0u}) {
    SCOPED_TRACE(len);
    CannyChain chain(w, h, w);
    ASSERT_TRUE(chain.unit);
    std::vector<uint8_t> in = make_picture(w, h, w);
    Ref<KovFrameBuffer> frame = kovtest::make_frame(in);
    const gint32 v[5] = {10, 10, 5, 5, 1};
    kov_framebuffer_metadata_set(frame.get(), "roi", v, len);
    chain.push(frame.get());
    ASSERT_EQ(chain.rec->count(), 1u);
    EXPECT_EQ(chain.rec->bytes[0], expected_output(in, w, 0, 0, w, h));
  }
}

// Regions are intersected with the frame; an empty intersection leaves the
// whole input as it is.
TEST(CannyTest, RegionsAreClippedToTheFrame) {
  const int w = 61, h = 45, stride = 64;
  struct Case {
    gint32 x, y, rw, rh;   // the roi entry
    int cx, cy, cw, ch;    // its intersection with the frame
  } cases[] = {
      {-5, -3, 20, 20, 0, 0, 15, 17},         // above and left
      {w - 13, 5, 100, 10, w - 13, 5, 13, 10}, // odd width reaching the right edge
      {3, h - 6, 30, 50, 3, h - 6, 30, 6},    // below
      {-10, -10, 200, 200, 0, 0, w, h},       // covers the frame
      {0, 0, w, h, 0, 0, w, h},
      {G_MAXINT32 - 1, 0, G_MAXINT32, 10, 0, 0, 0, 0},  // sums that would wrap
      {w, 0, 10, 10, 0, 0, 0, 0},  // right of the frame
      {0, h, 10, 10, 0, 0, 0, 0},  // below
      {-20, 0, 20, 10, 0, 0, 0, 0}, // left, ending at column 0
      {5, 5, -3, 10, 0, 0, 0, 0},   // negative and zero sizes
      {5, 5, 10, -3, 0, 0, 0, 0},
      {5, 5, 0, 10, 0, 0, 0, 0},
      {G_MININT32, G_MININT32, G_MAXINT32, G_MAXINT32, 0, 0, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.x << "," << c.y << " " << c.rw << "x" << c.rh);
    CannyChain chain(w, h, stride);
    ASSERT_TRUE(chain.unit);
    std::vector<uint8_t> in = make_picture(w, h, stride);
    Ref<KovFrameBuffer> frame = kovtest::make_frame(in);
    set_roi(frame.get(), c.x, c.y, c.rw, c.rh);
    chain.push(frame.get());
    ASSERT_EQ(chain.rec->count(), 1u);
    if (c.cw == 0)
      EXPECT_EQ(chain.rec->bytes[0], in);
    else
      EXPECT_EQ(chain.rec->bytes[0], expected_output(in, stride, c.cx, c.cy, c.cw, c.ch));
  }
}

TEST(CannyTest, OutputCarriesMetadataAndTimestamp) {
  CannyChain chain(32, 24, 32);
  ASSERT_TRUE(chain.unit);
  std::vector<uint8_t> in = make_picture(32, 24, 32);
  Ref<KovFrameBuffer> frame = kovtest::make_frame(in);
  frame->timestamp = 123456789;
  set_roi(frame.get(), 4, 4, 16, 12);
  kov_framebuffer_metadata_set(frame.get(), "note", "abc", 3);
  chain.push(frame.get());
  ASSERT_EQ(chain.rec->count(), 1u);
  KovFrameBuffer *out = chain.rec->frames[0].get();
  EXPECT_NE(out, frame.get());
  EXPECT_EQ(out->timestamp, 123456789);
  EXPECT_EQ(out->bytesused, 32u * 24u);
  gsize len = 0;
  const void *note = kov_framebuffer_metadata_get(out, "note", &len);
  ASSERT_NE(note, nullptr);
  EXPECT_EQ(std::string(static_cast<const char *>(note), len), "abc");
  const void *roi = kov_framebuffer_metadata_get(out, "roi", &len);
  ASSERT_NE(roi, nullptr);
  ASSERT_EQ(len, 16u);
  const gint32 expect[4] = {4, 4, 16, 12};
  EXPECT_EQ(std::memcmp(roi, expect, 16), 0);
  EXPECT_EQ(chain.rec->formats[0]->pixelformat, KOV_PIX_FMT_GREY);
  EXPECT_EQ(chain.rec->formats[0]->width, 32);
}

TEST(CannyTest, ShortFramesPassOnUnchanged) {
  const int w = 30, h = 20, stride = 32;
  CannyChain chain(w, h, stride);
  ASSERT_TRUE(chain.unit);
  std::vector<uint8_t> in = make_picture(w, h, stride);
  // One byte short of stride x height.
  in.resize(in.size() - 1);
  Ref<KovFrameBuffer> frame = kovtest::make_frame(in);
  chain.push(frame.get());
  // bytesused short, length complete.
  Ref<KovFrameBuffer> frame2 = kovtest::make_frame(make_picture(w, h, stride));
  frame2->bytesused = size_t(stride) * (h - 1);
  chain.push(frame2.get());
  ASSERT_EQ(chain.rec->count(), 2u);
  EXPECT_EQ(chain.rec->frames[0].get(), frame.get());
  EXPECT_EQ(chain.rec->bytes[0], in);
  EXPECT_EQ(chain.rec->frames[1].get(), frame2.get());
}

TEST(CannyTest, StreamLifecycle) {
  // Frames outside a stream pass on unchanged. Checked for leaks by the
  // valgrind run: a second stream_init frees what the first allocated, and
  // destroying a streaming unit frees its buffer.
  Ref<KovUnit> unit = kovtest::create_unit("opencv.convert_canny");
  ASSERT_TRUE(unit);
  kovtest::Recorder rec(unit.get());
  KovUnitClass *klass = KOV_UNIT_GET_CLASS(unit.get());
  Ref<KovUnitFormat> small(kov_unit_format_new(KOV_PIX_FMT_GREY, nullptr, 16, 8, 16));
  Ref<KovUnitFormat> big(kov_unit_format_new(KOV_PIX_FMT_GREY, nullptr, 40, 30, 48));
  std::vector<uint8_t> in0 = make_picture(16, 8, 16);
  klass->input_frame_ready(unit.get(), kovtest::make_frame(in0).get(), small.get());
  ASSERT_EQ(klass->stream_init(unit.get(), small.get()), 0);
  ASSERT_EQ(klass->stream_shutdown(unit.get()), 0);
  klass->input_frame_ready(unit.get(), kovtest::make_frame(in0).get(), small.get());
  ASSERT_EQ(klass->stream_init(unit.get(), small.get()), 0);
  ASSERT_EQ(klass->stream_init(unit.get(), big.get()), 0);
  std::vector<uint8_t> in = make_picture(40, 30, 48);
  klass->input_frame_ready(unit.get(), kovtest::make_frame(in).get(), big.get());
  // A frame larger than the stream's buffers goes on unchanged.
  Ref<KovUnitFormat> bigger(kov_unit_format_new(KOV_PIX_FMT_GREY, nullptr, 80, 30, 80));
  std::vector<uint8_t> in2 = make_picture(80, 30, 80);
  klass->input_frame_ready(unit.get(), kovtest::make_frame(in2).get(), bigger.get());
  ASSERT_EQ(rec.count(), 4u);
  EXPECT_EQ(rec.bytes[0], in0);
  EXPECT_EQ(rec.bytes[1], in0);
  EXPECT_EQ(rec.bytes[2], expected_output(in, 48, 0, 0, 40, 30));
  EXPECT_EQ(rec.bytes[3], in2);
}

TEST(CannyTest, DetectorFailureIsReportedAndTheInputPassesOn) {
  CannyChain chain(32, 24, 32);
  ASSERT_TRUE(chain.unit);
  // An aperture off the control's grid, stored behind the setter's back.
  auto *value = const_cast<GValue *>(kov_unit_control_get_value(chain.control("aperture")));
  g_value_set_int(value, 4);
  ASSERT_EQ(kov_unit_control_get_int(chain.control("aperture")), 4);
  std::vector<uint8_t> in = make_picture(32, 24, 32);
  testing::internal::CaptureStderr();
  chain.push(kovtest::make_frame(in).get());
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_EQ(chain.rec->count(), 1u);
  EXPECT_EQ(chain.rec->bytes[0], in);
  EXPECT_EQ(err.rfind("Error: Canny edge detection failed: ", 0), 0u) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_EQ(err.back(), '\n');
}

}  // namespace
