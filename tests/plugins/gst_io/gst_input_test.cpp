// SPDX-License-Identifier: LGPL-2.1-or-later
// input.gst: frames of every mapped format, as GStreamer gives them, with
// GStreamer's strides; narrowing by "format=" and "caps"; the end of a
// finite stream; refused settings and pipelines that fail.
#include <gtest/gtest.h>

#include <glib/gstdio.h>

#include <string>
#include <vector>

#include "gst_chain_run.h"
#include "test_support.h"

namespace {

using gsttest::run_chain;

class GstInputTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gst_init(nullptr, nullptr); }
};

// The pixels of each row, without the padding at its end (and without the
// unused fourth byte of RGBx and BGRx), which GStreamer leaves as it finds it.
std::vector<uint8_t> pixels(const std::vector<uint8_t> &frame, size_t stride, size_t row_bytes,
                            bool unused_fourth = false) {
  std::vector<uint8_t> out;
  for (size_t y = 0; y * stride < frame.size(); y++)
    for (size_t x = 0; x < row_bytes && y * stride + x < frame.size(); x++)
      out.push_back(unused_fourth && x % 4 == 3 ? 0 : frame[y * stride + x]);
  return out;
}

std::string input(const std::string &pipeline, const std::string &extra = "") {
  return "input.gst sync=false pipeline=\"" + pipeline + "\"" + (extra.empty() ? "" : " " + extra);
}

// The bytes of a 7-pixel UYVY row that are compared: the three whole pairs.
// GStreamer may leave the luma of the half-used last pair unwritten (its
// 32-bit x86 build always, its converter now and then), so that byte holds
// whatever the buffer held before.
constexpr size_t kUyvyOddRowBytes = 12;

// Two frames of each format at an odd width (or the width GStreamer's and
// kovkit's I420 layouts agree on), against the buffers of the same source.
TEST_F(GstInputTest, EveryFormatArrivesAsGStreamerGivesIt) {
  const struct {
    const char *caps;  // after "videotestsrc num-buffers=2 ! "
    guint32 code;
    gint stride;
    size_t row_bytes;  // that GStreamer writes in a row (I420 8x4 has no padding)
  } table[] = {
      {"video/x-raw,format=RGB,width=7,height=5", KOV_PIX_FMT_RGB3, 24, 21},
      {"video/x-raw,format=BGR,width=7,height=5", KOV_PIX_FMT_BGR3, 24, 21},
      {"video/x-raw,format=RGBx,width=7,height=5", KOV_PIX_FMT_RGB4, 28, 28},
      {"video/x-raw,format=BGRx,width=7,height=5", KOV_PIX_FMT_BGR4, 28, 28},
      {"video/x-raw,format=BGRA,width=7,height=5", KOV_PIX_FMT_BGR4, 28, 28},
      {"video/x-raw,format=GRAY8,width=7,height=5", KOV_PIX_FMT_GREY, 8, 7},
      {"video/x-raw,format=GRAY16_LE,width=7,height=5", KOV_PIX_FMT_LG16, 16, 14},
      {"video/x-raw,format=I420,width=8,height=4", KOV_PIX_FMT_I420, 8, 8},
      // Up to the luma of the eighth pixel, which does not exist.
      {"video/x-raw,format=YUY2,width=7,height=5", KOV_PIX_FMT_YUYV, 16, 14},
      {"video/x-raw,format=UYVY,width=7,height=5", KOV_PIX_FMT_UYVY, 16, kUyvyOddRowBytes},
      {"video/x-bayer,format=bggr,width=7,height=5", KOV_PIX_FMT_BA81, 8, 7},
      {"video/x-bayer,format=gbrg,width=7,height=5", KOV_PIX_FMT_XXX2, 8, 7},
      {"video/x-bayer,format=grbg,width=7,height=5", KOV_PIX_FMT_XXX3, 8, 7},
      {"video/x-bayer,format=rggb,width=7,height=5", KOV_PIX_FMT_XXX4, 8, 7},
  };
  for (const auto &row : table) {
    SCOPED_TRACE(row.caps);
    const std::string pipeline = std::string("videotestsrc num-buffers=2 pattern=colors ! ") + row.caps;
    const auto expected = gsttest::gst_buffers(pipeline);
    const auto run = run_chain(input(pipeline), 10);
    EXPECT_EQ(run.error, "");
    EXPECT_TRUE(run.eos);
    ASSERT_EQ(run.frames.size(), 2u);
    for (size_t i = 0; i < 2; i++) {
      EXPECT_EQ(run.formats[i]->pixelformat, row.code);
      EXPECT_EQ(run.formats[i]->width, row.code == KOV_PIX_FMT_I420 ? 8 : 7);
      EXPECT_EQ(run.formats[i]->height, row.code == KOV_PIX_FMT_I420 ? 4 : 5);
      EXPECT_EQ(run.formats[i]->row_stride, row.stride);
      ASSERT_EQ(run.frames[i].size(), expected.at(i).size());
      const bool x = std::string(row.caps).find("x,") != std::string::npos;
      EXPECT_EQ(pixels(run.frames[i], row.stride, row.row_bytes, x),
                pixels(expected[i], row.stride, row.row_bytes, x));
    }
    // Running time of a 30 frames/s stream.
    EXPECT_EQ(run.timestamps, (std::vector<gint64>{0, 33333}));
  }
}

// JPEG images go through whole, as the file holds them (jpegenc itself does
// not give the same bytes twice in one process, so the image is a file).
TEST_F(GstInputTest, JpegImagesArriveWhole) {
  const auto images = gsttest::gst_buffers(
      "videotestsrc num-buffers=1 pattern=colors ! video/x-raw,width=7,height=5 ! jpegenc");
  ASSERT_EQ(images.size(), 1u);
  const std::string path = kovtest::temp_dir() + "/one.jpg";
  ASSERT_TRUE(g_file_set_contents(path.c_str(), reinterpret_cast<const gchar *>(images[0].data()),
                                  gssize(images[0].size()), nullptr));
  const auto run = run_chain(input("filesrc location=" + path + " ! jpegparse"), 10);
  EXPECT_EQ(run.error, "");
  EXPECT_TRUE(run.eos);
  ASSERT_EQ(run.frames.size(), 1u);
  EXPECT_EQ(run.formats[0]->pixelformat, KOV_PIX_FMT_MJPG);
  EXPECT_EQ(run.formats[0]->width, 7);
  EXPECT_EQ(run.formats[0]->height, 5);
  EXPECT_EQ(run.frames[0], images[0]);
}

// 7x5 I420: GStreamer's chroma planes lie at 48 and 60 (luma rounded to 6
// rows of 8); kovkit's at 35 and 47 (5 rows of 7, chroma stride 4).
TEST_F(GstInputTest, I420AtAnOddSizeIsRepackedPlaneByPlane) {
  const std::string pipeline = "videotestsrc num-buffers=1 pattern=colors ! video/x-raw,format=I420,width=7,height=5";
  const auto gst = gsttest::gst_buffers(pipeline);
  ASSERT_EQ(gst.size(), 1u);
  ASSERT_EQ(gst[0].size(), 72u);
  std::vector<uint8_t> expected;
  for (int y = 0; y < 5; y++) expected.insert(expected.end(), &gst[0][y * 8], &gst[0][y * 8 + 7]);
  for (int plane_offset : {48, 60})
    for (int y = 0; y < 3; y++)
      expected.insert(expected.end(), &gst[0][plane_offset + y * 4],
                      &gst[0][plane_offset + y * 4 + 4]);
  const auto run = run_chain(input(pipeline), 10);
  ASSERT_EQ(run.frames.size(), 1u);
  EXPECT_EQ(run.formats[0]->row_stride, 7);
  EXPECT_EQ(run.frames[0], expected);
}

TEST_F(GstInputTest, FormatAndCapsNarrowWhatThePipelineGives) {
  const std::string source = "videotestsrc num-buffers=1 pattern=colors ! video/x-raw,width=7,height=5";
  const struct {
    const char *setting;
    const char *converted;  // what GStreamer converts to
    guint32 code;
    size_t stride, row_bytes;
  } table[] = {
      {"format=GREY", "GRAY8", KOV_PIX_FMT_GREY, 8, 7},
      {"caps=video/x-raw,format=UYVY", "UYVY", KOV_PIX_FMT_UYVY, 16, kUyvyOddRowBytes},
      {"format=BGR4 caps=video/x-raw,format=BGRA", "BGRA", KOV_PIX_FMT_BGR4, 28, 28},
  };
  for (const auto &row : table) {
    SCOPED_TRACE(row.setting);
    const auto expected = gsttest::gst_buffers(
        source + " ! videoconvert ! video/x-raw,format=" + row.converted);
    const auto run = run_chain(input(source, row.setting), 10);
    EXPECT_EQ(run.error, "");
    ASSERT_EQ(run.frames.size(), 1u);
    EXPECT_EQ(run.formats[0]->pixelformat, row.code);
    EXPECT_EQ(pixels(run.frames[0], row.stride, row.row_bytes),
              pixels(expected.at(0), row.stride, row.row_bytes));
  }
}

// A file cut in the middle of its second picture gives its first one and
// ends.
TEST_F(GstInputTest, StreamThatStopsMidFrameEndsAfterItsWholeFrames) {
  const std::string path = kovtest::temp_dir() + "/cut.raw";
  const std::vector<gchar> bytes(7 * 3 * 5 + 50, 'x');
  ASSERT_TRUE(g_file_set_contents(path.c_str(), bytes.data(), gssize(bytes.size()), nullptr));
  const auto run = run_chain(
      input("filesrc location=" + path +
            " ! rawvideoparse width=7 height=5 format=rgb framerate=30/1 plane-strides=<21>"),
      10);
  EXPECT_EQ(run.error, "");
  EXPECT_TRUE(run.eos);
  ASSERT_EQ(run.frames.size(), 1u);
  EXPECT_EQ(run.formats[0]->row_stride, 21);
  EXPECT_EQ(run.frames[0], std::vector<uint8_t>(105, 'x'));
}

TEST_F(GstInputTest, SettingsThatDoNotParseAreRefusedNamingTheFault) {
  kovtest::Ref<KovUnit> unit = kovtest::create_unit("input.gst");
  ASSERT_TRUE(unit);
  const struct {
    const char *control, *value, *message;
  } table[] = {
      {"pipeline", "videotestsrc ! nosuchelement",
       "input.gst: control \"pipeline\" refused the value: no element \"nosuchelement\""},
      {"pipeline", "videotestsrc !",
       "input.gst: control \"pipeline\" refused the value: syntax error"},
      // A caps name that is not a name (GStreamer complains before it fails).
      {"pipeline", "videotestsrc ! 4c/r",
       "input.gst: control \"pipeline\" refused the value: could not parse caps \"4c/r\""},
      // GStreamer would crash on a link between two references it cannot find.
      {"pipeline", "x.src ! video/x-raw ! y.sink",
       "input.gst: control \"pipeline\" refused the value: a link from \"x.\" to \"y.\" "
       "names no element at either end"},
      {"pipeline", "videotestsrc ! capsfilter caps=4c/r",
       "input.gst: control \"pipeline\" refused the value: could not set property \"caps\" in "
       "element \"capsfilter\" to \"4c/r\""},
      {"caps", "video/x-raw,width=(int)seven",
       "input.gst: control \"caps\" refused the value: caps \"video/x-raw,width=(int)seven\" do "
       "not parse"},
      {"caps", "audio/x-raw",
       "input.gst: control \"caps\" refused the value: caps \"audio/x-raw\" leave no format to "
       "give"},
  };
  for (const auto &row : table) {
    GError *error = nullptr;
    EXPECT_FALSE(kov_unit_control_set_string(kov_unit_find_control(unit.get(), row.control),
                                             row.value, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(error->message, row.message);
    g_error_free(error);
    EXPECT_STREQ(kov_unit_control_get_string(kov_unit_find_control(unit.get(), row.control)), "");
  }
}

TEST_F(GstInputTest, PipelinesThatFailEndWithGStreamersMessage) {
  const struct {
    std::string chain;
    const char *message;  // the start of the error
  } table[] = {
      {"input.gst", "input.gst: no \"pipeline\" to run"},
      {input("filesrc location=/nonexistent/clip.mkv ! decodebin"),
       "input.gst: Resource not found. (No such file \"/nonexistent/clip.mkv\")"},
      {input("v4l2src device=/dev/kovkit-no-such-camera"),
       "input.gst: Cannot identify device '/dev/kovkit-no-such-camera'."},
      {input("videotestsrc ! video/x-raw,width=7,height=5", "caps=video/x-raw,width=9"),
       "input.gst: Internal data stream error. (streaming stopped, reason not-negotiated (-4))"},
      {input("videotestsrc num-buffers=0"), "input.gst: the pipeline ended without a frame"},
  };
  for (const auto &row : table) {
    SCOPED_TRACE(row.chain);
    const auto run = run_chain(row.chain, 10);
    EXPECT_EQ(run.error.substr(0, strlen(row.message)), row.message) << run.error;
    EXPECT_TRUE(run.frames.empty());
  }
}

}  // namespace
