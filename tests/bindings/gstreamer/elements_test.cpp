// SPDX-License-Identifier: LGPL-2.1-or-later
// The kovkit elements in real GStreamer pipelines: which units become
// elements, their properties, and that frames through an element come out as
// the same unit in a kovkit chain makes them (strided rows, metadata, a
// property changed while the pipeline plays).
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using kovtest::FedUnit;
using kovtest::make_frame;
using Bytes = std::vector<uint8_t>;

class ElementsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gst_init(nullptr, nullptr); }
};

// One buffer with the given bytes, and a region-of-interest meta when w > 0.
GstBuffer *make_buffer(const Bytes &bytes, guint rx = 0, guint ry = 0, guint rw = 0,
                       guint rh = 0) {
  GstBuffer *buffer = gst_buffer_new_memdup(bytes.data(), bytes.size());
  if (rw > 0) gst_buffer_add_video_region_of_interest_meta(buffer, "roi", rx, ry, rw, rh);
  return buffer;
}

// A running "appsrc ! <middle> ! appsink" pipeline.
class Pipeline {
 public:
  Pipeline(const std::string &caps, const std::string &middle) {
    GError *error = nullptr;
    const std::string text = "appsrc name=src format=time caps=\"" + caps + "\" ! " + middle +
                             " ! appsink name=sink sync=false";
    pipeline_ = gst_parse_launch(text.c_str(), &error);
    EXPECT_EQ(error, nullptr) << (error != nullptr ? error->message : "") << " in " << text;
    g_clear_error(&error);
    src_ = gst_bin_get_by_name(GST_BIN(pipeline_), "src");
    sink_ = gst_bin_get_by_name(GST_BIN(pipeline_), "sink");
    gst_element_set_state(pipeline_, GST_STATE_PLAYING);
  }
  ~Pipeline() {
    gst_element_set_state(pipeline_, GST_STATE_NULL);
    gst_object_unref(src_);
    gst_object_unref(sink_);
    gst_object_unref(pipeline_);
  }
  GstElement *element(const char *name) { return gst_bin_get_by_name(GST_BIN(pipeline_), name); }
  void push(GstBuffer *buffer) {
    GST_BUFFER_PTS(buffer) = pts_;
    pts_ += GST_SECOND / 30;
    ASSERT_EQ(gst_app_src_push_buffer(GST_APP_SRC(src_), buffer), GST_FLOW_OK);
  }
  // The next sample, or nullptr at the end of the stream or on an error.
  GstSample *pull() { return gst_app_sink_try_pull_sample(GST_APP_SINK(sink_), 10 * GST_SECOND); }
  void end() { gst_app_src_end_of_stream(GST_APP_SRC(src_)); }
  // The text of the first error on the bus, "" when the stream ended cleanly.
  std::string error() {
    GstBus *bus = gst_element_get_bus(pipeline_);
    GstMessage *msg = gst_bus_timed_pop_filtered(
        bus, 10 * GST_SECOND, GstMessageType(GST_MESSAGE_ERROR | GST_MESSAGE_EOS));
    std::string text = msg == nullptr ? "timeout" : "";
    if (msg != nullptr && GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR) {
      GError *error = nullptr;
      gst_message_parse_error(msg, &error, nullptr);
      text = error->message;
      g_error_free(error);
    }
    if (msg != nullptr) gst_message_unref(msg);
    gst_object_unref(bus);
    return text;
  }

 private:
  GstElement *pipeline_ = nullptr, *src_ = nullptr, *sink_ = nullptr;
  GstClockTime pts_ = 0;
};

// The visible bytes of each row (row_bytes of every stride), rows packed.
Bytes packed(const uint8_t *data, size_t stride, size_t row_bytes, int height) {
  Bytes out;
  for (int y = 0; y < height; ++y) out.insert(out.end(), data + y * stride, data + y * stride + row_bytes);
  return out;
}

// A sample's picture with rows packed, read through its GstVideoMeta or
// GStreamer's default layout; compressed samples whole.
Bytes sample_bytes(GstSample *sample, size_t row_bytes, int height) {
  GstBuffer *buffer = gst_sample_get_buffer(sample);
  GstMapInfo map;
  EXPECT_TRUE(gst_buffer_map(buffer, &map, GST_MAP_READ));
  Bytes out;
  if (row_bytes == 0) {
    out.assign(map.data, map.data + map.size);
  } else {
    size_t stride = 0, offset = 0;
    if (const GstVideoMeta *meta = gst_buffer_get_video_meta(buffer)) {
      stride = size_t(meta->stride[0]);
      offset = meta->offset[0];
    } else {
      GstVideoInfo info;
      if (gst_video_info_from_caps(&info, gst_sample_get_caps(sample)))
        stride = size_t(GST_VIDEO_INFO_PLANE_STRIDE(&info, 0));
      else
        stride = (row_bytes + 3) & ~size_t(3);  // Bayer rows
    }
    out = packed(map.data + offset, stride, row_bytes, height);
  }
  gst_buffer_unmap(buffer, &map);
  return out;
}

// The picture a unit in a kovkit chain makes from one frame.
Bytes chain_bytes(FedUnit &fed, const Bytes &input, const char *roi = nullptr) {
  auto frame = make_frame(input);
  if (roi != nullptr) kov_framebuffer_metadata_set(frame.get(), "roi", roi, 16);
  fed.push(frame.get());
  EXPECT_EQ(fed.rec->count(), 1u);
  if (fed.rec->count() == 0) return {};
  KovUnitFormat *f = fed.rec->formats[0].get();
  if (f->row_stride == 0) return fed.rec->bytes[0];
  const size_t row_bytes = size_t(kov_pixel_format_min_row_stride(f->pixelformat, f->width));
  return packed(fed.rec->bytes[0].data(), size_t(f->row_stride), row_bytes, f->height);
}

// Bytes whose values encode their offset.
Bytes coordinate_bytes(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 7 + i / 251);
  return b;
}

TEST_F(ElementsTest, UnitsThatTakeFramesBecomeElementsAndOthersDoNot) {
  const struct {
    const char *name;
    bool present;
  } table[] = {
      {"kovkit-util-flip", true},           {"kovkit-convert-fast-debayer", true},
      {"kovkit-convert-to-rgb8", true},     {"kovkit-convert-jpeg-compress", true},
      {"kovkit-convert-jpeg-decompress", true}, {"kovkit-opencv-convert-canny", true},
      {"kovkit-detect-opencv-hough", true}, {"kovkit-util-roi", true},
      {"kovkit-convert-colorspace", true},  {"kovkit-input-testsrc", false},
      {"kovkit-input-file", false},         {"kovkit-output-file", false},
      {"kovkit-output-opengl", false},      {"kovkit-output-pip", false},
      {"kovkit-oxa-manual-marker", false},  {"kovkit-input-gst", false},
      {"kovkit-output-gst", false},         {"kovkit-input-camera", false},
  };
  for (const auto &row : table) {
    GstElementFactory *factory = gst_element_factory_find(row.name);
    EXPECT_EQ(factory != nullptr, row.present) << row.name;
    if (factory != nullptr) gst_object_unref(factory);
  }
}

TEST_F(ElementsTest, ControlsArePropertiesWithTypeRangeDefaultAndDescription) {
  const struct {
    const char *element, *property, *blurb;
    GType type;  // G_TYPE_ENUM: any registered enum type
    double min, max, def;
  } table[] = {
      {"kovkit-util-flip", "flip-h", "Horiz flip", G_TYPE_BOOLEAN, 0, 1, 0},
      {"kovkit-opencv-convert-canny", "aperture", "Aperture", G_TYPE_INT, 3, 7, 5},
      {"kovkit-opencv-convert-canny", "thresh1", "Threshold 1", G_TYPE_FLOAT, 0, FLT_MAX, 400},
      {"kovkit-convert-jpeg-compress", "quality", "Quality", G_TYPE_INT, 1, 100, 94},
      {"kovkit-convert-fast-debayer", "tiling", "Tiling", G_TYPE_ENUM, 0, 3, 0},
  };
  for (const auto &row : table) {
    SCOPED_TRACE(std::string(row.element) + " " + row.property);
    GstElement *element = gst_element_factory_make(row.element, nullptr);
    ASSERT_NE(element, nullptr);
    auto *param = g_object_class_find_property(G_OBJECT_GET_CLASS(element), row.property);
    ASSERT_NE(param, nullptr);
    EXPECT_STREQ(g_param_spec_get_blurb(param), row.blurb);
    EXPECT_TRUE(param->flags & GST_PARAM_MUTABLE_PLAYING);
    if (row.type == G_TYPE_ENUM) {
      ASSERT_TRUE(G_IS_PARAM_SPEC_ENUM(param));
      GEnumClass *klass = G_PARAM_SPEC_ENUM(param)->enum_class;
      EXPECT_EQ(klass->minimum, row.min);
      EXPECT_EQ(klass->maximum, row.max);
      EXPECT_STREQ(g_enum_get_value(klass, 2)->value_nick, "BGGR");
      EXPECT_EQ(G_PARAM_SPEC_ENUM(param)->default_value, row.def);
      gst_util_set_object_arg(G_OBJECT(element), row.property, "RGGB");
      gint value = -1;
      g_object_get(element, row.property, &value, nullptr);
      EXPECT_EQ(value, 3);
    } else if (row.type == G_TYPE_INT) {
      EXPECT_EQ(G_PARAM_SPEC_INT(param)->minimum, row.min);
      EXPECT_EQ(G_PARAM_SPEC_INT(param)->maximum, row.max);
      EXPECT_EQ(G_PARAM_SPEC_INT(param)->default_value, row.def);
    } else if (row.type == G_TYPE_FLOAT) {
      EXPECT_EQ(G_PARAM_SPEC_FLOAT(param)->minimum, row.min);
      EXPECT_EQ(G_PARAM_SPEC_FLOAT(param)->maximum, float(row.max));
      EXPECT_EQ(G_PARAM_SPEC_FLOAT(param)->default_value, row.def);
    } else {
      EXPECT_EQ(param->value_type, row.type);
      EXPECT_EQ(G_PARAM_SPEC_BOOLEAN(param)->default_value, row.def != 0);
    }
    gst_object_unref(element);
  }
}

// Both flips of pictures 7 pixels wide: RGBx, and RGB whose rows GStreamer
// pads to 24 bytes (the chain gets them packed).
TEST_F(ElementsTest, FlipAtOddWidthGivesTheChainsBytes) {
  const struct {
    const char *format;
    guint32 code;
    int bpp, gst_stride;
  } table[] = {{"RGBx", KOV_PIX_FMT_RGB4, 4, 28}, {"RGB", KOV_PIX_FMT_RGB3, 3, 24}};
  for (const auto &row : table) {
    SCOPED_TRACE(row.format);
    const int row_bytes = 7 * row.bpp;
    const Bytes input = coordinate_bytes(size_t(row.gst_stride) * 5);
    FedUnit fed("util.flip", row.code, 7, 5, row_bytes);
    kov_unit_control_set_boolean(fed.control("flip-h"), TRUE, nullptr);
    kov_unit_control_set_boolean(fed.control("flip-v"), TRUE, nullptr);
    const Bytes expected = chain_bytes(fed, packed(input.data(), row.gst_stride, row_bytes, 5));
    // The first pixel out is the last pixel of the last row.
    const size_t last = size_t(4 * row.gst_stride + row_bytes - row.bpp);
    ASSERT_EQ(Bytes(expected.begin(), expected.begin() + row.bpp),
              Bytes(input.begin() + last, input.begin() + last + row.bpp));

    Pipeline p(std::string("video/x-raw,width=7,height=5,framerate=30/1,format=") + row.format,
               "kovkit-util-flip flip-h=true flip-v=true");
    p.push(make_buffer(input));
    GstSample *sample = p.pull();
    ASSERT_NE(sample, nullptr);
    EXPECT_EQ(sample_bytes(sample, size_t(row_bytes), 5), expected);
    gst_sample_unref(sample);
  }
}

TEST_F(ElementsTest, DebayerGivesTheChainsBytes) {
  const Bytes input = coordinate_bytes(12 * 6);  // 10 wide: rows padded to 12 bytes
  FedUnit fed("convert.fast_debayer", KOV_PIX_FMT_BA81, 10, 6, 12);
  const Bytes expected = chain_bytes(fed, input);
  ASSERT_EQ(expected.size(), 10u * 6 * 4);

  Pipeline p("video/x-bayer,format=bggr,width=10,height=6,framerate=30/1",
             "kovkit-convert-fast-debayer ! video/x-raw,format=BGRx");
  p.push(make_buffer(input));
  GstSample *sample = p.pull();
  ASSERT_NE(sample, nullptr);
  EXPECT_EQ(sample_bytes(sample, 40, 6), expected);
  gst_sample_unref(sample);
}

TEST_F(ElementsTest, JpegRoundTripGivesTheChainsBytes) {
  const Bytes input = coordinate_bytes(48 * 16);
  FedUnit compress("convert.jpeg_compress", KOV_PIX_FMT_RGB3, 16, 16, 48);
  const Bytes jpeg = chain_bytes(compress, input);
  FedUnit decompress("convert.jpeg_decompress", KOV_PIX_FMT_MJPG, 16, 16, 0);
  const Bytes expected = chain_bytes(decompress, jpeg);
  ASSERT_EQ(expected.size(), 48u * 16);

  Pipeline p("video/x-raw,format=RGB,width=16,height=16,framerate=30/1",
             "kovkit-convert-jpeg-compress name=c ! kovkit-convert-jpeg-decompress ! "
             "video/x-raw,format=RGB");
  p.push(make_buffer(input));
  GstSample *sample = p.pull();
  ASSERT_NE(sample, nullptr);
  EXPECT_EQ(sample_bytes(sample, 48, 16), expected);
  gst_sample_unref(sample);
}

// Edges only inside the region the buffer's region-of-interest meta gives.
TEST_F(ElementsTest, CannyWorksOnTheRegionOfTheBuffersMeta) {
  Bytes input(32 * 24);
  for (int y = 0; y < 24; ++y)
    for (int x = 0; x < 32; ++x) input[y * 32 + x] = (x / 4 + y / 4) % 2 ? 230 : 20;
  const gint32 roi[4] = {4, 6, 16, 12};
  FedUnit fed("opencv.convert_canny", KOV_PIX_FMT_GREY, 32, 24, 32);
  const Bytes expected = chain_bytes(fed, input, reinterpret_cast<const char *>(roi));
  FedUnit whole("opencv.convert_canny", KOV_PIX_FMT_GREY, 32, 24, 32);
  ASSERT_NE(expected, chain_bytes(whole, input));

  Pipeline p("video/x-raw,format=GRAY8,width=32,height=24,framerate=30/1",
             "kovkit-opencv-convert-canny");
  p.push(make_buffer(input, 4, 6, 16, 12));
  GstSample *sample = p.pull();
  ASSERT_NE(sample, nullptr);
  EXPECT_EQ(sample_bytes(sample, 32, 24), expected);
  gst_sample_unref(sample);
}

TEST_F(ElementsTest, HoughCirclesGoOutAsCircleRegionMetas) {
  Bytes input(96 * 96, 0);
  for (int y = 0; y < 96; ++y)
    for (int x = 0; x < 96; ++x)
      if (std::hypot(x - 40.0, y - 52.0) <= 20.0) input[y * 96 + x] = 255;
  FedUnit fed("detect.opencv.hough", KOV_PIX_FMT_GREY, 96, 96, 96);
  chain_bytes(fed, input);
  gint32 marker[3] = {};
  const char *keys[3] = {"marker:x", "marker:y", "marker:r"};
  for (int i = 0; i < 3; ++i)
    std::memcpy(&marker[i], kov_framebuffer_metadata_get(fed.rec->frames[0].get(), keys[i], nullptr), 4);
  ASSERT_GT(marker[2], 0);

  Pipeline p("video/x-raw,format=GRAY8,width=96,height=96,framerate=30/1",
             "kovkit-detect-opencv-hough");
  p.push(make_buffer(input));
  GstSample *sample = p.pull();
  ASSERT_NE(sample, nullptr);
  GstVideoRegionOfInterestMeta *meta = gst_buffer_get_video_region_of_interest_meta_id(
      gst_sample_get_buffer(sample), 0);
  ASSERT_NE(meta, nullptr);
  EXPECT_STREQ(g_quark_to_string(meta->roi_type), "circle");
  EXPECT_EQ(meta->x, guint(marker[0] - marker[2]));
  EXPECT_EQ(meta->w, guint(2 * marker[2]));
  GstStructure *circle = gst_video_region_of_interest_meta_get_param(meta, "circle");
  ASSERT_NE(circle, nullptr);
  gint x = 0, y = 0, r = 0;
  EXPECT_TRUE(gst_structure_get(circle, "x", G_TYPE_INT, &x, "y", G_TYPE_INT, &y, "radius",
                                G_TYPE_INT, &r, nullptr));
  EXPECT_EQ(x, marker[0]);
  EXPECT_EQ(y, marker[1]);
  EXPECT_EQ(r, marker[2]);
  gst_sample_unref(sample);
}

// The second buffer, pushed after the application turned "flip-h" on, comes
// out mirrored; the first did not.
TEST_F(ElementsTest, PropertyChangedWhilePlayingAppliesToTheNextBuffer) {
  const Bytes input = {1, 2, 3, 4, 5, 6, 7, 8};  // GREY 4x2
  Pipeline p("video/x-raw,format=GRAY8,width=4,height=2,framerate=30/1", "kovkit-util-flip name=f");
  p.push(make_buffer(input));
  GstSample *first = p.pull();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(sample_bytes(first, 4, 2), input);
  gst_sample_unref(first);

  GstElement *flip = p.element("f");
  g_object_set(flip, "flip-h", TRUE, nullptr);
  gboolean value = FALSE;
  g_object_get(flip, "flip-h", &value, nullptr);
  EXPECT_TRUE(value);
  gst_object_unref(flip);
  p.push(make_buffer(input));
  GstSample *second = p.pull();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(sample_bytes(second, 4, 2), (Bytes{4, 3, 2, 1, 8, 7, 6, 5}));
  gst_sample_unref(second);
}

TEST_F(ElementsTest, BufferShorterThanItsCapsEndsWithAnError) {
  Pipeline p("video/x-raw,format=RGB,width=7,height=5,framerate=30/1", "kovkit-util-flip");
  p.push(make_buffer(Bytes(50)));
  EXPECT_EQ(p.pull(), nullptr);
  EXPECT_NE(p.error(), "");
}

}  // namespace
