// SPDX-License-Identifier: LGPL-2.1-or-later
// The GStreamer bridge: the format table both ways, frames over buffers and
// buffers over frames (the same bytes, kept alive by the other side), and
// the layouts where kovkit and GStreamer place rows or planes differently.
#include <gtest/gtest.h>

#include <kovkit/gst_bridge.h>

#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using kovtest::Ref;

class GstBridgeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gst_init(nullptr, nullptr); }
};

GstCaps *caps_from(const char *text) { return gst_caps_from_string(text); }

std::string to_string(GstCaps *caps) {
  gchar *text = gst_caps_to_string(caps);
  std::string s = text;
  g_free(text);
  return s;
}

// A buffer of @size bytes numbered 0, 1, 2, ... (mod 251).
GstBuffer *numbered_buffer(gsize size) {
  GstBuffer *buffer = gst_buffer_new_allocate(nullptr, size, nullptr);
  GstMapInfo map;
  gst_buffer_map(buffer, &map, GST_MAP_WRITE);
  for (gsize i = 0; i < size; i++) map.data[i] = guint8(i % 251);
  gst_buffer_unmap(buffer, &map);
  return buffer;
}

kov::gst::VideoLayout layout_of(const char *caps_text) {
  GstCaps *caps = caps_from(caps_text);
  kov::gst::VideoLayout layout;
  EXPECT_TRUE(kov::gst::layout_from_caps(caps, &layout)) << caps_text;
  gst_caps_unref(caps);
  return layout;
}

TEST_F(GstBridgeTest, EveryMappedFormatGoesBothWays) {
  const struct {
    guint32 code;
    const char *in;   // caps that come in as this code
    const char *out;  // what the code goes out as
  } table[] = {
      {KOV_PIX_FMT_RGB3, "video/x-raw, format=(string)RGB", nullptr},
      {KOV_PIX_FMT_BGR3, "video/x-raw, format=(string)BGR", nullptr},
      {KOV_PIX_FMT_RGB4, "video/x-raw, format=(string)RGBx", nullptr},
      {KOV_PIX_FMT_BGR4, "video/x-raw, format=(string)BGRx", nullptr},
      {KOV_PIX_FMT_BGR4, "video/x-raw, format=(string)BGRA", "video/x-raw, format=(string)BGRx"},
      {KOV_PIX_FMT_GREY, "video/x-raw, format=(string)GRAY8", nullptr},
      {KOV_PIX_FMT_LG16, "video/x-raw, format=(string)GRAY16_LE", nullptr},
      {KOV_PIX_FMT_I420, "video/x-raw, format=(string)I420", nullptr},
      {KOV_PIX_FMT_YUYV, "video/x-raw, format=(string)YUY2", nullptr},
      {KOV_PIX_FMT_UYVY, "video/x-raw, format=(string)UYVY", nullptr},
      {KOV_PIX_FMT_BA81, "video/x-bayer, format=(string)bggr", nullptr},
      {KOV_PIX_FMT_XXX2, "video/x-bayer, format=(string)gbrg", nullptr},
      {KOV_PIX_FMT_XXX3, "video/x-bayer, format=(string)grbg", nullptr},
      {KOV_PIX_FMT_XXX4, "video/x-bayer, format=(string)rggb", nullptr},
      {KOV_PIX_FMT_MJPG, "image/jpeg", nullptr},
  };
  for (const auto &row : table) {
    gchar code[11];
    SCOPED_TRACE(kov_pixel_format_to_string(row.code, code));
    GstCaps *in = caps_from(row.in);
    EXPECT_EQ(kov::gst::code_for_structure(gst_caps_get_structure(in, 0)), row.code);
    gst_caps_unref(in);

    Ref<KovUnitFormat> format(kov_unit_format_new(row.code, nullptr, 7, 5, 0));
    GstCaps *out = kov::gst::caps_for_format(format.get(), 30, 1);
    const std::string expected = std::string(row.out != nullptr ? row.out : row.in);
    const std::string text = to_string(out);
    EXPECT_EQ(text.substr(0, expected.size()), expected) << text;
    EXPECT_NE(text.find("width=(int)7, height=(int)5, framerate=(fraction)30/1"), std::string::npos)
        << text;
    gst_caps_unref(out);
  }

  // Formats kovkit does not know, and caps without a format.
  for (const char *text : {"video/x-raw, format=(string)NV12", "video/x-raw", "audio/x-raw",
                           "video/x-bayer, format=(string)bggr16le"}) {
    GstCaps *caps = caps_from(text);
    EXPECT_EQ(kov::gst::code_for_structure(gst_caps_get_structure(caps, 0)), 0u) << text;
    gst_caps_unref(caps);
  }
  Ref<KovUnitFormat> float_grey(kov_unit_format_new(KOV_PIX_FMT_FG32, nullptr, 7, 5, 28));
  EXPECT_EQ(kov::gst::caps_for_format(float_grey.get()), nullptr);
}

TEST_F(GstBridgeTest, CapsForCodesKeepTheirOrderAndTakeBothFourByteBgrFormats) {
  const guint32 codes[] = {KOV_PIX_FMT_BGR4, KOV_PIX_FMT_FG32, KOV_PIX_FMT_MJPG};
  GstCaps *caps = kov::gst::caps_for_codes(codes);
  EXPECT_EQ(to_string(caps),
            "video/x-raw, format=(string){ BGRx, BGRA }, width=(int)[ 1, 2147483647 ], "
            "height=(int)[ 1, 2147483647 ], framerate=(fraction)[ 0/1, 2147483647/1 ]; "
            "image/jpeg, width=(int)[ 1, 2147483647 ], height=(int)[ 1, 2147483647 ], "
            "framerate=(fraction)[ 0/1, 2147483647/1 ]");
  gst_caps_unref(caps);
  GstCaps *none = kov::gst::caps_for_codes({});
  EXPECT_TRUE(gst_caps_is_empty(none));
  gst_caps_unref(none);
}

TEST_F(GstBridgeTest, LayoutsRefuseCapsThatAreNotOneFixedMappedPicture) {
  kov::gst::VideoLayout layout;
  for (const char *text :
       {"video/x-raw, format=(string)NV12, width=(int)8, height=(int)8",
        "video/x-raw, format=(string)RGB, width=(int)[ 1, 8 ], height=(int)8",
        "video/x-raw, format=(string)RGB, width=(int)0, height=(int)8",
        "video/x-bayer, format=(string)rggb, width=(int)2147483647, height=(int)2",
        "video/x-raw, format=(string)RGB, width=(int)8, height=(int)8; "
        "video/x-raw, format=(string)BGR, width=(int)8, height=(int)8"}) {
    GstCaps *caps = caps_from(text);
    EXPECT_FALSE(kov::gst::layout_from_caps(caps, &layout)) << text;
    EXPECT_EQ(layout.code, 0u);
    gst_caps_unref(caps);
  }
}

// Frames take GStreamer's own strides: rows padded to 4 bytes, or what a
// GstVideoMeta says.
TEST_F(GstBridgeTest, FramesCarryGStreamersStride) {
  const struct {
    const char *caps;
    gint stride;
  } table[] = {
      {"video/x-raw, format=RGB, width=7, height=5", 24},
      {"video/x-raw, format=GRAY8, width=7, height=5", 8},
      {"video/x-raw, format=GRAY16_LE, width=7, height=5", 16},
      {"video/x-raw, format=YUY2, width=7, height=5", 16},
      {"video/x-raw, format=BGRA, width=7, height=5", 28},
      {"video/x-bayer, format=grbg, width=7, height=5", 8},
      {"video/x-raw, format=I420, width=8, height=4", 8},
      {"image/jpeg, width=7, height=5", 0},
  };
  for (const auto &row : table) {
    const kov::gst::VideoLayout layout = layout_of(row.caps);
    EXPECT_EQ(kov::gst::frame_row_stride(layout, nullptr), row.stride) << row.caps;
  }

  const kov::gst::VideoLayout rgb = layout_of("video/x-raw, format=RGB, width=7, height=5");
  GstBuffer *buffer = numbered_buffer(32 * 5);
  gsize offsets[4] = {0};
  gint strides[4] = {32};
  gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_RGB, 7, 5, 1,
                                 offsets, strides);
  Ref<KovUnitFormat> format(kov::gst::format_for_buffer(rgb, buffer));
  EXPECT_EQ(format->pixelformat, KOV_PIX_FMT_RGB3);
  EXPECT_EQ(format->width, 7);
  EXPECT_EQ(format->height, 5);
  EXPECT_EQ(format->row_stride, 32);
  gst_buffer_unref(buffer);
}

void count_free(gpointer data, GstMiniObject *) { ++*static_cast<int *>(data); }

TEST_F(GstBridgeTest, FrameShowsTheBufferAndKeepsItUntilTheFrameGoes) {
  const kov::gst::VideoLayout layout = layout_of("video/x-raw, format=RGB, width=7, height=5");
  GstBuffer *buffer = numbered_buffer(120);
  int freed = 0;
  gst_mini_object_weak_ref(GST_MINI_OBJECT(buffer), count_free, &freed);
  GstMapInfo map;
  gst_buffer_map(buffer, &map, GST_MAP_READ);
  const guint8 *bytes = map.data;
  gst_buffer_unmap(buffer, &map);

  GError *error = nullptr;
  KovFrameBuffer *frame = kov::gst::frame_from_buffer(layout, buffer, &error);
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->data, bytes);
  EXPECT_EQ(frame->bytesused, 120u);
  gst_buffer_unref(buffer);
  EXPECT_EQ(freed, 0);
  EXPECT_EQ(frame->data[119], 119);  // still readable
  g_object_unref(frame);
  EXPECT_EQ(freed, 1);
}

// The picture must fit: the last row needs only its pixels, not its padding.
TEST_F(GstBridgeTest, BufferTooSmallForThePictureIsAnError) {
  const kov::gst::VideoLayout layout = layout_of("video/x-raw, format=RGB, width=7, height=5");
  GstBuffer *whole = numbered_buffer(4 * 24 + 21);
  GError *error = nullptr;
  KovFrameBuffer *frame = kov::gst::frame_from_buffer(layout, whole, &error);
  EXPECT_NE(frame, nullptr);
  EXPECT_EQ(error, nullptr);
  if (frame != nullptr) g_object_unref(frame);
  gst_buffer_unref(whole);

  GstBuffer *cut = numbered_buffer(4 * 24 + 20);
  EXPECT_EQ(kov::gst::frame_from_buffer(layout, cut, &error), nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_STREQ(error->message, "a buffer of 116 bytes is too small for a 7x5 picture");
  g_clear_error(&error);
  gst_buffer_unref(cut);

  // A meta whose planes lie past the end of the memory.
  GstBuffer *lying = numbered_buffer(64);
  gsize offsets[4] = {G_MAXSIZE - 8};
  gint strides[4] = {24};
  gst_buffer_add_video_meta_full(lying, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_RGB, 7, 5, 1,
                                 offsets, strides);
  EXPECT_EQ(kov::gst::frame_from_buffer(layout, lying, &error), nullptr);
  EXPECT_NE(error, nullptr);
  g_clear_error(&error);
  gst_buffer_unref(lying);
}

// GStreamer's I420 rounds each chroma stride up to 4 bytes and the luma
// height up to 2 rows; kovkit's chroma planes follow the luma plane with
// half its stride. Where the two differ the picture is repacked.
TEST_F(GstBridgeTest, I420IsRepackedOnlyWhereThePlanesLieElsewhere) {
  // 8x4: both place the planes at 0, 32, 40 with strides 8, 4, 4.
  const kov::gst::VideoLayout same = layout_of("video/x-raw, format=I420, width=8, height=4");
  GstBuffer *buffer = numbered_buffer(48);
  GError *error = nullptr;
  KovFrameBuffer *frame = kov::gst::frame_from_buffer(same, buffer, &error);
  ASSERT_NE(frame, nullptr);
  GstMapInfo map;
  gst_buffer_map(buffer, &map, GST_MAP_READ);
  EXPECT_EQ(frame->data, map.data);
  gst_buffer_unmap(buffer, &map);
  g_object_unref(frame);
  gst_buffer_unref(buffer);

  // 10x3: GStreamer has luma stride 12 over 4 rows, chroma stride 8 at 48
  // and 64; kovkit packs it as luma 10x3, chroma stride 5 at 30 and 40.
  const kov::gst::VideoLayout odd = layout_of("video/x-raw, format=I420, width=10, height=3");
  EXPECT_EQ(kov::gst::frame_row_stride(odd, nullptr), 10);
  buffer = numbered_buffer(80);
  frame = kov::gst::frame_from_buffer(odd, buffer, &error);
  ASSERT_NE(frame, nullptr);
  ASSERT_EQ(frame->bytesused, 50u);
  const std::vector<guint8> expected = {
      0,  1,  2,  3,  4,  5,  6,  7,  8,  9,    // luma rows at 0, 12, 24
      12, 13, 14, 15, 16, 17, 18, 19, 20, 21,   //
      24, 25, 26, 27, 28, 29, 30, 31, 32, 33,   //
      48, 49, 50, 51, 52, 56, 57, 58, 59, 60,   // U rows at 48, 56
      64, 65, 66, 67, 68, 72, 73, 74, 75, 76};  // V rows at 64, 72
  EXPECT_EQ(std::vector<guint8>(frame->data, frame->data + 50), expected);
  g_object_unref(frame);
  gst_buffer_unref(buffer);
}

TEST_F(GstBridgeTest, BufferShowsTheFrameAndKeepsItAlive) {
  // RGB 8x2 with stride 24 is GStreamer's own layout: wrapped as it is.
  Ref<KovUnitFormat> format(kov_unit_format_new(KOV_PIX_FMT_RGB3, nullptr, 8, 2, 24));
  KovFrameBuffer *frame = kov_framebuffer_new_alloc(48);
  frame->bytesused = 48;
  for (int i = 0; i < 48; i++) frame->data[i] = guint8(i);
  GstBuffer *buffer = kov::gst::buffer_from_frame(frame, format.get(), FALSE);
  ASSERT_NE(buffer, nullptr);
  g_object_unref(frame);  // the buffer holds it now
  GstMapInfo map;
  ASSERT_TRUE(gst_buffer_map(buffer, &map, GST_MAP_READ));
  EXPECT_EQ(map.data, frame->data);
  EXPECT_EQ(map.size, 48u);
  EXPECT_EQ(map.data[47], 47);
  gst_buffer_unmap(buffer, &map);
  const GstVideoMeta *meta = gst_buffer_get_video_meta(buffer);
  ASSERT_NE(meta, nullptr);
  EXPECT_EQ(meta->stride[0], 24);
  gst_buffer_unref(buffer);
}

// RGB 7x2 packed (stride 21): wrapped with a meta for an element that reads
// it, else copied into rows of 24 bytes with zero padding.
TEST_F(GstBridgeTest, PackedRowsGoOutWithAMetaOrAreCopiedToPaddedRows) {
  Ref<KovUnitFormat> format(kov_unit_format_new(KOV_PIX_FMT_RGB3, nullptr, 7, 2, 21));
  Ref<KovFrameBuffer> frame(kov_framebuffer_new_alloc(42));
  frame->bytesused = 42;
  for (int i = 0; i < 42; i++) frame->data[i] = guint8(i + 1);

  GstBuffer *wrapped = kov::gst::buffer_from_frame(frame.get(), format.get(), TRUE);
  ASSERT_NE(wrapped, nullptr);
  GstVideoMeta *meta = gst_buffer_get_video_meta(wrapped);
  ASSERT_NE(meta, nullptr);
  EXPECT_EQ(meta->stride[0], 21);
  GstMapInfo map;
  gst_buffer_map(wrapped, &map, GST_MAP_READ);
  EXPECT_EQ(map.data, frame->data);
  gst_buffer_unmap(wrapped, &map);
  gst_buffer_unref(wrapped);

  GstBuffer *copied = kov::gst::buffer_from_frame(frame.get(), format.get(), FALSE);
  ASSERT_NE(copied, nullptr);
  gst_buffer_map(copied, &map, GST_MAP_READ);
  std::vector<guint8> expected(48, 0);
  for (int i = 0; i < 21; i++) {
    expected[i] = guint8(i + 1);
    expected[24 + i] = guint8(22 + i);
  }
  EXPECT_EQ(std::vector<guint8>(map.data, map.data + map.size), expected);
  gst_buffer_unmap(copied, &map);
  gst_buffer_unref(copied);

  // Bayer has no meta: always rows of 4 bytes.
  Ref<KovUnitFormat> bayer(kov_unit_format_new(KOV_PIX_FMT_BA81, nullptr, 3, 2, 3));
  GstBuffer *mosaic = kov::gst::buffer_from_frame(frame.get(), bayer.get(), TRUE);
  ASSERT_NE(mosaic, nullptr);
  gst_buffer_map(mosaic, &map, GST_MAP_READ);
  EXPECT_EQ(std::vector<guint8>(map.data, map.data + map.size),
            (std::vector<guint8>{1, 2, 3, 0, 4, 5, 6, 0}));
  gst_buffer_unmap(mosaic, &map);
  gst_buffer_unref(mosaic);

  // A frame shorter than its format says goes nowhere.
  Ref<KovUnitFormat> big(kov_unit_format_new(KOV_PIX_FMT_RGB3, nullptr, 7, 3, 21));
  EXPECT_EQ(kov::gst::buffer_from_frame(frame.get(), big.get(), TRUE), nullptr);
}

TEST_F(GstBridgeTest, JpegGoesOutAsTheBytesUsed) {
  Ref<KovUnitFormat> format(kov_unit_format_new(KOV_PIX_FMT_MJPG, nullptr, 7, 5, 0));
  Ref<KovFrameBuffer> frame(kov_framebuffer_new_alloc(100));
  frame->bytesused = 37;
  GstBuffer *buffer = kov::gst::buffer_from_frame(frame.get(), format.get(), FALSE);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(gst_buffer_get_size(buffer), 37u);
  EXPECT_EQ(gst_buffer_get_video_meta(buffer), nullptr);
  gst_buffer_unref(buffer);
}

}  // namespace
