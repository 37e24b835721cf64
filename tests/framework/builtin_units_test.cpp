// SPDX-License-Identifier: LGPL-2.1-or-later
// Tests of the framework's built-in units (input.testsrc, input.file,
// output.file, util.roi, convert.colorspace) and of the image file helpers.
#include <gtest/gtest.h>

#include <glib/gstdio.h>

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

using kovtest::Recorder;
using kovtest::Ref;

namespace {

using Bytes = std::vector<uint8_t>;

void set_control(KovUnit *unit, const char *id, const char *value) {
  KovUnitControl *control = kov_unit_find_control(unit, id);
  ASSERT_NE(control, nullptr) << id;
  GError *error = nullptr;
  ASSERT_TRUE(kov_unit_control_set_from_string(control, value, &error))
      << (error != nullptr ? error->message : "");
}

Bytes read_file(const std::string &path) {
  gchar *contents = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(path.c_str(), &contents, &length, nullptr)) return {};
  Bytes bytes(contents, contents + length);
  g_free(contents);
  return bytes;
}

void write_file(const std::string &path, const Bytes &bytes) {
  ASSERT_TRUE(g_file_set_contents(path.c_str(), reinterpret_cast<const gchar *>(bytes.data()),
                                  static_cast<gssize>(bytes.size()), nullptr));
}

// A picture whose bytes encode their position.
Bytes pattern_bytes(size_t size, int seed = 0) {
  Bytes b(size);
  for (size_t i = 0; i < size; i++) b[i] = static_cast<uint8_t>(i * 7 + seed * 31 + (i >> 8));
  return b;
}

Bytes load_png(const std::string &path, KovImageInfo *info) {
  GError *error = nullptr;
  guint8 *pixels = kov_image_load_png(path.c_str(), info, &error);
  EXPECT_NE(pixels, nullptr) << (error != nullptr ? error->message : "");
  if (pixels == nullptr) {
    g_clear_error(&error);
    return {};
  }
  int bpp = info->pixelformat == KOV_PIX_FMT_RGB3 ? 3 : 1;
  Bytes b(pixels, pixels + static_cast<size_t>(info->width) * info->height * bpp);
  g_free(pixels);
  return b;
}

Bytes make_jpeg(int w, int h, int seed) {
  Bytes rgb = pattern_bytes(static_cast<size_t>(w) * h * 3, seed);
  gsize length = 0;
  guint8 *jpeg = kov_jpeg_compress(KOV_PIX_FMT_RGB3, w, h, w * 3, rgb.data(), 90, &length, nullptr);
  EXPECT_NE(jpeg, nullptr);
  Bytes b(jpeg, jpeg + length);
  g_free(jpeg);
  return b;
}

// Produces frames from a streaming source until it has given n or stops.
void pump(KovUnit *source, size_t n, Recorder &rec) {
  for (int guard = 0; rec.count() < n && guard < 1000; guard++) {
    if (kov_unit_next_frame_time(source) == G_MAXINT64) break;
    kov_unit_produce_pending_frame(source);
  }
}

std::vector<guint32> format_codes(KovUnit *unit) {
  std::vector<guint32> codes;
  GList *formats = kov_unit_get_output_formats(unit);
  for (GList *l = formats; l != nullptr; l = l->next)
    codes.push_back(KOV_UNIT_FORMAT(l->data)->pixelformat);
  g_list_free(formats);
  return codes;
}

KovUnitFormat *find_format(KovUnit *unit, guint32 code) {
  GList *formats = kov_unit_get_output_formats(unit);
  KovUnitFormat *found = nullptr;
  for (GList *l = formats; l != nullptr; l = l->next)
    if (KOV_UNIT_FORMAT(l->data)->pixelformat == code) found = KOV_UNIT_FORMAT(l->data);
  g_list_free(formats);
  return found;
}

// One frame of a fresh test source in the given format and size.
Bytes testsrc_frame(guint32 code, const char *w, const char *h, KovUnitFormat **fmt_out = nullptr,
                    Ref<KovUnit> *keep = nullptr) {
  Ref<KovUnit> src = kovtest::create_unit("input.testsrc");
  set_control(src.get(), "width", w);
  set_control(src.get(), "height", h);
  set_control(src.get(), "rate", "0");
  KovUnitFormat *fmt = find_format(src.get(), code);
  EXPECT_NE(fmt, nullptr);
  if (fmt == nullptr) return {};
  EXPECT_EQ(kov_unit_stream_init(src.get(), fmt), 0);
  Recorder rec(src.get());
  pump(src.get(), 1, rec);
  EXPECT_EQ(rec.count(), 1u);
  if (fmt_out != nullptr) *fmt_out = fmt;
  if (keep != nullptr) *keep = src;
  return rec.count() > 0 ? rec.bytes[0] : Bytes();
}

}  // namespace

// ---- image helpers ----------------------------------------------------------

TEST(ImageIoTest, PngRoundTripKeepsEveryFormatsColoursAndHonoursStrides) {
  std::string dir = kovtest::temp_dir();
  const int w = 5, h = 3, stride = 24;  // padded rows
  Bytes src = pattern_bytes(static_cast<size_t>(stride) * h);
  struct Case {
    guint32 code;
    int bpp;
    guint32 read_as;
  } cases[] = {{KOV_PIX_FMT_RGB3, 3, KOV_PIX_FMT_RGB3}, {KOV_PIX_FMT_BGR3, 3, KOV_PIX_FMT_RGB3},
               {KOV_PIX_FMT_RGB4, 4, KOV_PIX_FMT_RGB3}, {KOV_PIX_FMT_BGR4, 4, KOV_PIX_FMT_RGB3},
               {KOV_PIX_FMT_GREY, 1, KOV_PIX_FMT_GREY}};
  for (const Case &c : cases) {
    std::string path = dir + "/img.png";
    GError *error = nullptr;
    ASSERT_TRUE(kov_image_write_png(path.c_str(), c.code, w, h, stride, src.data(), &error));
    KovImageInfo info;
    Bytes got = load_png(path, &info);
    ASSERT_EQ(info.pixelformat, c.read_as);
    ASSERT_EQ(info.width, w);
    ASSERT_EQ(info.height, h);
    for (int y = 0; y < h; y++) {
      for (int x = 0; x < w; x++) {
        const uint8_t *s = src.data() + y * stride + x * c.bpp;
        if (c.code == KOV_PIX_FMT_GREY) {
          EXPECT_EQ(got[y * w + x], s[0]);
          continue;
        }
        bool bgr = c.code == KOV_PIX_FMT_BGR3 || c.code == KOV_PIX_FMT_BGR4;
        const uint8_t *d = got.data() + (y * w + x) * 3;
        EXPECT_EQ(d[0], s[bgr ? 2 : 0]) << x << "," << y;
        EXPECT_EQ(d[1], s[1]);
        EXPECT_EQ(d[2], s[bgr ? 0 : 2]);
      }
    }
  }
}

TEST(ImageIoTest, PngWithNegativeStrideIsWrittenTopRowFirst) {
  std::string path = kovtest::temp_dir() + "/flipped.png";
  // Rows 0, 1 in memory; with data at the last row and stride -1 the file
  // starts with memory row 1.
  Bytes rows = {10, 20};
  ASSERT_TRUE(kov_image_write_png(path.c_str(), KOV_PIX_FMT_GREY, 1, 2, -1, rows.data() + 1, nullptr));
  KovImageInfo info;
  EXPECT_EQ(load_png(path, &info), (Bytes{20, 10}));
}

TEST(ImageIoTest, RgbaPngKeepsAlpha) {
  std::string path = kovtest::temp_dir() + "/rgba.png";
  Bytes px = {1, 2, 3, 128};
  ASSERT_TRUE(kov_image_write_png(path.c_str(), KOV_IMAGE_FORMAT_RGBA, 1, 1, 4, px.data(), nullptr));
  Bytes file = read_file(path);
  ASSERT_GT(file.size(), 26u);
  EXPECT_EQ(file[25], 6);  // colour type RGBA in the header chunk
}

TEST(ImageIoTest, PngWriteFailuresLeaveNoFileAndSayWhy) {
  std::string dir = kovtest::temp_dir();
  Bytes px(12);
  GError *error = nullptr;
  EXPECT_FALSE(kov_image_write_png((dir + "/x.png").c_str(), KOV_PIX_FMT_YUYV, 2, 2, 4, px.data(), &error));
  ASSERT_NE(error, nullptr);
  EXPECT_STREQ(error->message, "cannot write YUYV pixels as PNG");
  g_clear_error(&error);
  EXPECT_FALSE(kov_image_write_png((dir + "/x.png").c_str(), KOV_PIX_FMT_RGB3, 2, 2, 5, px.data(), &error));
  g_clear_error(&error);
  std::string missing = dir + "/no/such/folder/x.png";
  EXPECT_FALSE(kov_image_write_png(missing.c_str(), KOV_PIX_FMT_GREY, 2, 2, 2, px.data(), &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code, KOV_ERROR_IO);
  EXPECT_NE(strstr(error->message, missing.c_str()), nullptr) << error->message;
  g_clear_error(&error);
  GDir *d = g_dir_open(dir.c_str(), 0, nullptr);
  EXPECT_EQ(g_dir_read_name(d), nullptr) << "no temporary file is left behind";
  g_dir_close(d);
}

TEST(ImageIoTest, PngReadRefusesAnotherSizeOrKind) {
  std::string path = kovtest::temp_dir() + "/g.png";
  Bytes px(6, 9);
  ASSERT_TRUE(kov_image_write_png(path.c_str(), KOV_PIX_FMT_GREY, 3, 2, 3, px.data(), nullptr));
  Bytes dst(64);
  KovImageInfo rgb = {KOV_PIX_FMT_RGB3, 3, 2};
  GError *error = nullptr;
  EXPECT_FALSE(kov_image_read_png(path.c_str(), &rgb, dst.data(), 9, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code, KOV_ERROR_FORMAT);
  g_clear_error(&error);
  KovImageInfo bigger = {KOV_PIX_FMT_GREY, 4, 2};
  EXPECT_FALSE(kov_image_read_png(path.c_str(), &bigger, dst.data(), 4, &error));
  g_clear_error(&error);
  std::string junk = kovtest::temp_dir() + "/junk.png";
  write_file(junk, Bytes{0x89, 'P', 'N', 'G', 0, 1, 2});
  KovImageInfo info;
  EXPECT_FALSE(kov_image_read_png_info(junk.c_str(), &info, &error));
  g_clear_error(&error);
}

TEST(ImageIoTest, JpegParseFindsSizeAndEndAndRefusesEveryTruncation) {
  Bytes jpeg = make_jpeg(33, 17, 1);
  gint w = 0, h = 0;
  gsize length = 0;
  ASSERT_TRUE(kov_jpeg_parse(jpeg.data(), jpeg.size(), &w, &h, &length));
  EXPECT_EQ(w, 33);
  EXPECT_EQ(h, 17);
  EXPECT_EQ(length, jpeg.size());
  // Trailing data after the image is not part of it.
  Bytes more = jpeg;
  more.insert(more.end(), {0xFF, 0xD8, 0x00});
  ASSERT_TRUE(kov_jpeg_parse(more.data(), more.size(), nullptr, nullptr, &length));
  EXPECT_EQ(length, jpeg.size());
  // Every prefix is an incomplete image; copies make over-reads visible.
  for (size_t n = 0; n < jpeg.size(); n++) {
    Bytes prefix(jpeg.begin(), jpeg.begin() + static_cast<long>(n));
    EXPECT_FALSE(kov_jpeg_parse(prefix.data(), prefix.size(), nullptr, nullptr, nullptr)) << n;
  }
  Bytes bad = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x01, 0xFF, 0xD9};  // segment length below 2
  EXPECT_FALSE(kov_jpeg_parse(bad.data(), bad.size(), nullptr, nullptr, nullptr));
  Bytes no_frame = {0xFF, 0xD8, 0xFF, 0xD9};
  EXPECT_FALSE(kov_jpeg_parse(no_frame.data(), no_frame.size(), nullptr, nullptr, nullptr));
}

TEST(ImageIoTest, FramePatternsPutInTheNumberAndRefuseOtherConversions) {
  auto fmt = [](const char *p, guint64 n) {
    gchar *s = kov_frame_pattern_format(p, n);
    std::string r = s != nullptr ? s : "<null>";
    g_free(s);
    return r;
  };
  EXPECT_EQ(fmt("out/%03d.png", 7), "out/007.png");
  EXPECT_EQ(fmt("out/%03d.png", 12345), "out/12345.png");
  EXPECT_EQ(fmt("%%d_%u", 5), "%d_5");
  EXPECT_EQ(fmt("a%-4ib", 5), "a5   b");
  EXPECT_EQ(fmt("a%4db", 5), "a   5b");
  EXPECT_EQ(fmt("plain.mjpg", 5), "plain.mjpg");
  gboolean has = TRUE;
  EXPECT_TRUE(kov_frame_pattern_check("plain%%.mjpg", &has, nullptr));
  EXPECT_FALSE(has);
  for (const char *bad : {"x%sy", "%d%d", "%", "a%n", "%999d", "%.3d"}) {
    GError *error = nullptr;
    EXPECT_FALSE(kov_frame_pattern_check(bad, nullptr, &error)) << bad;
    EXPECT_NE(error, nullptr);
    g_clear_error(&error);
    EXPECT_EQ(fmt(bad, 1), "<null>");
  }
}

// ---- input.testsrc ------------------------------------------------------------

TEST(TestSourceTest, OffersEveryFormatWithItsStride) {
  Ref<KovUnit> src = kovtest::create_unit("input.testsrc");
  ASSERT_TRUE(src);
  EXPECT_STREQ(kov_unit_get_name(src.get()), "Test Pattern Source");
  std::vector<guint32> expected = {
      KOV_PIX_FMT_RGB3, KOV_PIX_FMT_BGR3, KOV_PIX_FMT_RGB4, KOV_PIX_FMT_BGR4, KOV_PIX_FMT_GREY,
      KOV_PIX_FMT_BA81, KOV_PIX_FMT_XXX2, KOV_PIX_FMT_XXX3, KOV_PIX_FMT_XXX4, KOV_PIX_FMT_I420,
      KOV_PIX_FMT_YUYV, KOV_PIX_FMT_UYVY, KOV_PIX_FMT_MJPG};
  EXPECT_EQ(format_codes(src.get()), expected);
  EXPECT_EQ(kov_unit_get_output_format(src.get())->pixelformat, KOV_PIX_FMT_RGB3);
  set_control(src.get(), "width", "7");
  EXPECT_EQ(find_format(src.get(), KOV_PIX_FMT_RGB3)->row_stride, 21);
  EXPECT_EQ(find_format(src.get(), KOV_PIX_FMT_BGR4)->row_stride, 28);
  EXPECT_EQ(find_format(src.get(), KOV_PIX_FMT_XXX3)->row_stride, 7);
  EXPECT_EQ(find_format(src.get(), KOV_PIX_FMT_I420)->row_stride, 7);
  EXPECT_EQ(find_format(src.get(), KOV_PIX_FMT_YUYV)->row_stride, 16);
  EXPECT_EQ(find_format(src.get(), KOV_PIX_FMT_MJPG)->row_stride, 0);
  EXPECT_EQ(find_format(src.get(), KOV_PIX_FMT_MJPG)->width, 7);
}

TEST(TestSourceTest, SizeChangeReachesUnitsDownstreamAndKeepsTheChosenKind) {
  Ref<KovUnitChain> chain(kov_unit_chain_new());
  GError *error = nullptr;
  ASSERT_TRUE(kov_unit_chain_load_from_str(chain.get(), "input.testsrc format=GREY ! convert.colorspace", &error));
  KovUnit *src = kov_unit_chain_find_unit_by_id(chain.get(), "input.testsrc");
  KovUnit *cs = kov_unit_chain_get_last_unit(chain.get());
  ASSERT_EQ(kov_unit_chain_all_units_stream_init(chain.get()), 0);
  set_control(src, "width", "64");
  set_control(src, "height", "10");
  EXPECT_EQ(kov_unit_get_output_format(src)->pixelformat, KOV_PIX_FMT_GREY);
  EXPECT_EQ(kov_unit_get_output_format(src)->width, 64);
  EXPECT_TRUE(kov_unit_is_streaming(src));
  KovUnitFormat *out = kov_unit_get_output_format(cs);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->width, 64);
  EXPECT_EQ(out->height, 10);
  EXPECT_EQ(out->row_stride, 192);
  Recorder rec(cs);
  kov_unit_chain_iterate(chain.get());
  ASSERT_EQ(rec.count(), 1u);
  EXPECT_EQ(rec.bytes[0].size(), 64u * 10 * 3);
  kov_unit_chain_all_units_stream_shutdown(chain.get());
}

TEST(TestSourceTest, FramesHaveTheirFormatsSizeAndMove) {
  Ref<KovUnit> src = kovtest::create_unit("input.testsrc");
  set_control(src.get(), "rate", "0");
  ASSERT_EQ(kov_unit_stream_init(src.get(), nullptr), 0);
  Recorder rec(src.get());
  pump(src.get(), 3, rec);
  ASSERT_EQ(rec.count(), 3u);
  EXPECT_EQ(rec.bytes[0].size(), 921600u);
  EXPECT_NE(rec.bytes[0], rec.bytes[1]) << "the picture moves";
  EXPECT_GE(rec.frames[1]->timestamp, rec.frames[0]->timestamp);
  kov_unit_stream_shutdown(src.get());

  EXPECT_EQ(testsrc_frame(KOV_PIX_FMT_I420, "640", "480").size(), 460800u);
  EXPECT_EQ(testsrc_frame(KOV_PIX_FMT_YUYV, "640", "480").size(), 614400u);
  EXPECT_EQ(testsrc_frame(KOV_PIX_FMT_I420, "5", "3").size(), 15u + 2 * 3 * 2);
  Bytes jpeg = testsrc_frame(KOV_PIX_FMT_MJPG, "96", "40");
  gint w = 0, h = 0;
  gsize length = 0;
  ASSERT_TRUE(kov_jpeg_parse(jpeg.data(), jpeg.size(), &w, &h, &length));
  EXPECT_EQ(w, 96);
  EXPECT_EQ(h, 40);
  EXPECT_EQ(length, jpeg.size());
}

TEST(TestSourceTest, ColourFormatsAndMosaicsComeFromTheSameRgbPicture) {
  const int w = 9, h = 5;
  Bytes rgb = testsrc_frame(KOV_PIX_FMT_RGB3, "9", "5");
  ASSERT_EQ(rgb.size(), static_cast<size_t>(w * h * 3));
  Bytes bgr = testsrc_frame(KOV_PIX_FMT_BGR3, "9", "5");
  Bytes rgb4 = testsrc_frame(KOV_PIX_FMT_RGB4, "9", "5");
  Bytes bgr4 = testsrc_frame(KOV_PIX_FMT_BGR4, "9", "5");
  Bytes grey = testsrc_frame(KOV_PIX_FMT_GREY, "9", "5");
  struct Tiling {
    guint32 code;
    int table[2][2];
  } tilings[] = {{KOV_PIX_FMT_BA81, {{2, 1}, {1, 0}}},
                 {KOV_PIX_FMT_XXX2, {{1, 2}, {0, 1}}},
                 {KOV_PIX_FMT_XXX3, {{1, 0}, {2, 1}}},
                 {KOV_PIX_FMT_XXX4, {{0, 1}, {1, 2}}}};
  std::vector<Bytes> mosaics;
  for (const Tiling &t : tilings) mosaics.push_back(testsrc_frame(t.code, "9", "5"));
  for (int y = 0; y < h; y++) {
    for (int x = 0; x < w; x++) {
      const uint8_t *p = &rgb[(y * w + x) * 3];
      int i = y * w + x;
      EXPECT_EQ(bgr[i * 3], p[2]);
      EXPECT_EQ(bgr[i * 3 + 2], p[0]);
      EXPECT_EQ(rgb4[i * 4], p[0]);
      EXPECT_EQ(rgb4[i * 4 + 2], p[2]);
      EXPECT_EQ(bgr4[i * 4], p[2]);
      EXPECT_EQ(bgr4[i * 4 + 1], p[1]);
      EXPECT_EQ(bgr4[i * 4 + 2], p[0]);
      EXPECT_EQ(bgr4[i * 4 + 3], 255);
      EXPECT_EQ(grey[i], (77 * p[0] + 150 * p[1] + 29 * p[2] + 128) >> 8);
      for (size_t k = 0; k < 4; k++)
        EXPECT_EQ(mosaics[k][i], p[tilings[k].table[y & 1][x & 1]]) << k << " at " << x << "," << y;
    }
  }
}

TEST(TestSourceTest, RateSetsTheScheduleAndZeroMeansAlwaysDue) {
  Ref<KovUnit> src = kovtest::create_unit("input.testsrc");
  set_control(src.get(), "rate", "1");
  ASSERT_EQ(kov_unit_stream_init(src.get(), nullptr), 0);
  EXPECT_LE(kov_unit_next_frame_time(src.get()), kov_time_now());
  gint64 due = kov_unit_next_frame_time(src.get());
  EXPECT_TRUE(kov_unit_produce_pending_frame(src.get()));
  EXPECT_EQ(kov_unit_next_frame_time(src.get()), due + 1000000);
  EXPECT_FALSE(kov_unit_produce_pending_frame(src.get()));
  // A new rate makes the next frame due at once.
  set_control(src.get(), "rate", "0");
  EXPECT_LE(kov_unit_next_frame_time(src.get()), kov_time_now());
  EXPECT_TRUE(kov_unit_produce_pending_frame(src.get()));
  EXPECT_LE(kov_unit_next_frame_time(src.get()), kov_time_now());
  EXPECT_TRUE(kov_unit_produce_pending_frame(src.get()));
  kov_unit_stream_shutdown(src.get());
}

TEST(TestSourceTest, TinyAndOddSizesWorkInEveryFormat) {
  for (const char *size : {"1", "2", "3"}) {
    Ref<KovUnit> src = kovtest::create_unit("input.testsrc");
    set_control(src.get(), "width", size);
    set_control(src.get(), "height", "3");
    set_control(src.get(), "rate", "0");
    set_control(src.get(), "pattern", "gradient");
    for (guint32 code : format_codes(src.get())) {
      KovUnitFormat *fmt = find_format(src.get(), code);
      ASSERT_EQ(kov_unit_stream_init(src.get(), fmt), 0);
      Recorder rec(src.get());
      pump(src.get(), 1, rec);
      EXPECT_EQ(rec.count(), 1u) << code;
      kov_unit_stream_shutdown(src.get());
    }
  }
}

// ---- convert.colorspace -----------------------------------------------------------

namespace {

struct ColorspaceRig {
  Ref<KovUnit> source;
  Ref<KovUnit> unit;
  explicit ColorspaceRig(guint32 code, int w, int h, int stride) {
    source = kovtest::make_source(code, w, h, stride);
    unit = kovtest::create_unit("convert.colorspace");
    kov_unit_set_input(unit.get(), source.get());
    kov_unit_stream_init(source.get(), nullptr);
    kov_unit_stream_init(unit.get(), nullptr);
  }
  Bytes convert(const Bytes &in, size_t *count = nullptr) {
    Recorder rec(unit.get());
    Ref<KovFrameBuffer> frame = kovtest::make_frame(in);
    kovtest::source_push(source.get(), frame.get());
    if (count != nullptr) *count = rec.count();
    return rec.count() == 1 ? rec.bytes[0] : Bytes();
  }
};

}  // namespace

TEST(ColorspaceTest, PackedInputsBecomeRgbInMemoryOrder) {
  {
    ColorspaceRig rig(KOV_PIX_FMT_BGR4, 2, 1, 8);
    KovUnitFormat *out = kov_unit_get_output_format(rig.unit.get());
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->pixelformat, KOV_PIX_FMT_RGB3);
    EXPECT_EQ(out->row_stride, 6);
    EXPECT_EQ(rig.convert({1, 2, 3, 4, 5, 6, 7, 8}), (Bytes{3, 2, 1, 7, 6, 5}));
  }
  {
    ColorspaceRig rig(KOV_PIX_FMT_BGR3, 2, 2, 8);  // padded rows
    EXPECT_EQ(rig.convert({1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0}),
              (Bytes{3, 2, 1, 6, 5, 4, 9, 8, 7, 12, 11, 10}));
  }
  {
    ColorspaceRig rig(KOV_PIX_FMT_GREY, 3, 1, 3);
    EXPECT_EQ(rig.convert({0, 128, 255}), (Bytes{0, 0, 0, 128, 128, 128, 255, 255, 255}));
  }
}

TEST(ColorspaceTest, YuvIsLimitedRangeBt601) {
  // Y 16 is black, Y 235 white, neutral chroma 128; a red of BT.601 limited
  // range: Y 81, U 90, V 240.
  {
    ColorspaceRig rig(KOV_PIX_FMT_I420, 2, 2, 2);
    Bytes out = rig.convert({16, 235, 235, 16, 128, 128});
    ASSERT_EQ(out.size(), 12u);
    EXPECT_EQ(out, (Bytes{0, 0, 0, 255, 255, 255, 255, 255, 255, 0, 0, 0}));
  }
  {
    ColorspaceRig rig(KOV_PIX_FMT_YUYV, 2, 1, 4);
    Bytes out = rig.convert({81, 90, 81, 240});
    ASSERT_EQ(out.size(), 6u);
    EXPECT_NEAR(out[0], 255, 2);
    EXPECT_NEAR(out[1], 0, 2);
    EXPECT_NEAR(out[2], 0, 2);
  }
  {
    ColorspaceRig rig(KOV_PIX_FMT_UYVY, 2, 1, 4);
    EXPECT_EQ(rig.convert({128, 235, 128, 16}), (Bytes{255, 255, 255, 0, 0, 0}));
  }
}

TEST(ColorspaceTest, ShortFramesAreDroppedOnceReportedAndOthersRefused) {
  kovtest::ChildResult r = kovtest::run_in_child([] {
    ColorspaceRig rig(KOV_PIX_FMT_I420, 4, 4, 4);
    size_t count = 9;
    rig.convert(Bytes(23), &count);  // needs 16 + 2 * 4
    printf("%zu", count);
    rig.convert(Bytes(10), &count);
    printf(" %zu", count);
    rig.convert(Bytes(24), &count);
    printf(" %zu", count);
  });
  EXPECT_EQ(r.out, "0 0 1");
  EXPECT_EQ(r.err, "convert.colorspace: dropping a I420 frame of 23 bytes; 4x4 needs 24\n");
  for (guint32 code : {KOV_PIX_FMT_RGB3, KOV_PIX_FMT_MJPG, KOV_PIX_FMT_BA81}) {
    ColorspaceRig rig(code, 4, 4, code == KOV_PIX_FMT_RGB3 ? 12 : 4);
    EXPECT_EQ(kov_unit_get_output_format(rig.unit.get()), nullptr);
  }
  // Up to the widest grey input whose RGB3 rows fit in a gint; one more
  // pixel and nothing is offered.
  ColorspaceRig widest(KOV_PIX_FMT_GREY, 715827882, 1, 715827882);
  ASSERT_NE(kov_unit_get_output_format(widest.unit.get()), nullptr);
  EXPECT_EQ(kov_unit_get_output_format(widest.unit.get())->row_stride, 2147483646);
  ColorspaceRig wider(KOV_PIX_FMT_GREY, 715827883, 1, 715827883);
  EXPECT_EQ(kov_unit_get_output_format(wider.unit.get()), nullptr);
}

TEST(ColorspaceTest, CarriesTimestampAndMetadata) {
  ColorspaceRig rig(KOV_PIX_FMT_GREY, 1, 1, 1);
  Recorder rec(rig.unit.get());
  Ref<KovFrameBuffer> frame = kovtest::make_frame(Bytes{7});
  frame->timestamp = 1234;
  gint32 v = -5;
  kov_framebuffer_metadata_set(frame.get(), "marker:x", &v, 4);
  kovtest::source_push(rig.source.get(), frame.get());
  ASSERT_EQ(rec.count(), 1u);
  EXPECT_EQ(rec.frames[0]->timestamp, 1234);
  gsize length = 0;
  EXPECT_NE(kov_framebuffer_metadata_get(rec.frames[0].get(), "marker:x", &length), nullptr);
  EXPECT_EQ(length, 4u);
}

// ---- util.roi ------------------------------------------------------------------

TEST(RoiTest, NewFrameSharesPixelsAndAddsRoiWithoutTouchingTheInput) {
  Ref<KovUnit> source = kovtest::make_source(KOV_PIX_FMT_GREY, 4, 2, 4);
  Ref<KovUnit> roi = kovtest::create_unit("util.roi");
  kov_unit_set_input(roi.get(), source.get());
  KovUnitFormat *fmt = kov_unit_get_output_format(roi.get());
  ASSERT_NE(fmt, nullptr);
  EXPECT_EQ(fmt->pixelformat, KOV_PIX_FMT_GREY);
  EXPECT_EQ(fmt->row_stride, 4);
  set_control(roi.get(), "x", "-3");
  set_control(roi.get(), "y", "2");
  set_control(roi.get(), "width", "100");
  set_control(roi.get(), "height", "-1");
  kov_unit_stream_init(source.get(), nullptr);
  kov_unit_stream_init(roi.get(), nullptr);
  Recorder rec(roi.get());
  {
    Ref<KovFrameBuffer> frame = kovtest::make_frame(pattern_bytes(8));
    frame->timestamp = 77;
    kov_framebuffer_metadata_set(frame.get(), "tag", "ab", 2);
    kovtest::source_push(source.get(), frame.get());
    ASSERT_EQ(rec.count(), 1u);
    KovFrameBuffer *out = rec.frames[0].get();
    EXPECT_NE(out, frame.get());
    EXPECT_EQ(out->data, frame->data);
    EXPECT_EQ(out->bytesused, 8u);
    EXPECT_EQ(out->timestamp, 77);
    EXPECT_EQ(kov_framebuffer_metadata_get(frame.get(), "roi", nullptr), nullptr);
    gsize length = 0;
    const void *r = kov_framebuffer_metadata_get(out, "roi", &length);
    ASSERT_EQ(length, 16u);
    gint32 region[4];
    memcpy(region, r, 16);
    EXPECT_EQ(region[0], -3);
    EXPECT_EQ(region[1], 2);
    EXPECT_EQ(region[2], 100);
    EXPECT_EQ(region[3], -1);
    EXPECT_NE(kov_framebuffer_metadata_get(out, "tag", &length), nullptr);
  }
  // The recorder holds only the new frame now: its pixels must still be there.
  Bytes copy(rec.frames[0]->data, rec.frames[0]->data + 8);
  EXPECT_EQ(copy, pattern_bytes(8));
}

// ---- output.file ------------------------------------------------------------------

namespace {

struct OutputRig {
  Ref<KovUnit> source;
  Ref<KovUnit> unit;
  OutputRig(guint32 code, int w, int h, int stride, const std::string &location) {
    source = kovtest::make_source(code, w, h, stride);
    unit = kovtest::create_unit("output.file");
    kov_unit_set_input(unit.get(), source.get());
    set_control(unit.get(), "location", location.c_str());
    kov_unit_stream_init(source.get(), nullptr);
  }
  void push(const Bytes &bytes) {
    Ref<KovFrameBuffer> frame = kovtest::make_frame(bytes);
    kovtest::source_push(source.get(), frame.get());
  }
};

}  // namespace

TEST(FileOutputTest, WritesNumberedPngsAndPassesTheSameFrameOn) {
  std::string dir = kovtest::temp_dir() + "/new/sub";
  OutputRig rig(KOV_PIX_FMT_BGR3, 2, 2, 8, dir + "/%03d.png");
  ASSERT_EQ(kov_unit_stream_init(rig.unit.get(), nullptr), 0);
  Recorder rec(rig.unit.get());
  Bytes f0 = {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0};
  Ref<KovFrameBuffer> frame = kovtest::make_frame(f0);
  kovtest::source_push(rig.source.get(), frame.get());
  rig.push(pattern_bytes(16));
  ASSERT_EQ(rec.count(), 2u);
  EXPECT_EQ(rec.frames[0].get(), frame.get());
  KovImageInfo info;
  EXPECT_EQ(load_png(dir + "/000.png", &info), (Bytes{3, 2, 1, 6, 5, 4, 9, 8, 7, 12, 11, 10}));
  EXPECT_TRUE(g_file_test((dir + "/001.png").c_str(), G_FILE_TEST_EXISTS));
  // A restart continues the numbers instead of overwriting.
  kov_unit_stream_shutdown(rig.unit.get());
  ASSERT_EQ(kov_unit_stream_init(rig.unit.get(), nullptr), 0);
  rig.push(pattern_bytes(16));
  EXPECT_TRUE(g_file_test((dir + "/002.png").c_str(), G_FILE_TEST_EXISTS));
}

TEST(FileOutputTest, MjpgGoesToJpegFilesOrIsAppendedToOneFile) {
  std::string dir = kovtest::temp_dir();
  Bytes a = make_jpeg(8, 8, 1), b = make_jpeg(8, 8, 2);
  {
    OutputRig rig(KOV_PIX_FMT_MJPG, 8, 8, 0, dir + "/f%d.jpg");
    ASSERT_EQ(kov_unit_stream_init(rig.unit.get(), nullptr), 0);
    rig.push(a);
    rig.push(b);
    EXPECT_EQ(read_file(dir + "/f0.jpg"), a);
    EXPECT_EQ(read_file(dir + "/f1.jpg"), b);
  }
  OutputRig rig(KOV_PIX_FMT_MJPG, 8, 8, 0, dir + "/all.mjpg");
  ASSERT_EQ(kov_unit_stream_init(rig.unit.get(), nullptr), 0);
  rig.push(a);
  rig.push(b);
  kov_unit_stream_shutdown(rig.unit.get());
  Bytes ab = a;
  ab.insert(ab.end(), b.begin(), b.end());
  EXPECT_EQ(read_file(dir + "/all.mjpg"), ab);
  // Restarting appends; a new location starts a new file.
  ASSERT_EQ(kov_unit_stream_init(rig.unit.get(), nullptr), 0);
  rig.push(a);
  kov_unit_stream_shutdown(rig.unit.get());
  Bytes aba = ab;
  aba.insert(aba.end(), a.begin(), a.end());
  EXPECT_EQ(read_file(dir + "/all.mjpg"), aba);
  set_control(rig.unit.get(), "location", (dir + "/all.mjpg").c_str());
  ASSERT_EQ(kov_unit_stream_init(rig.unit.get(), nullptr), 0);
  rig.push(b);
  kov_unit_stream_shutdown(rig.unit.get());
  EXPECT_EQ(read_file(dir + "/all.mjpg"), b);
}

TEST(FileOutputTest, OtherFormatsAreWrittenRawAndRawSuffixKeepsRgbRaw) {
  std::string dir = kovtest::temp_dir();
  Bytes yuyv = pattern_bytes(16);
  OutputRig rig(KOV_PIX_FMT_YUYV, 4, 2, 8, dir + "/y%d.yuv");
  ASSERT_EQ(kov_unit_stream_init(rig.unit.get(), nullptr), 0);
  rig.push(yuyv);
  EXPECT_EQ(read_file(dir + "/y0.yuv"), yuyv);
  OutputRig rgb(KOV_PIX_FMT_RGB3, 2, 1, 6, dir + "/r%d.raw");
  ASSERT_EQ(kov_unit_stream_init(rgb.unit.get(), nullptr), 0);
  rgb.push({1, 2, 3, 4, 5, 6});
  EXPECT_EQ(read_file(dir + "/r0.raw"), (Bytes{1, 2, 3, 4, 5, 6}));
}

TEST(FileOutputTest, WriteErrorIsReportedOnceKeptAndFramesStillPass) {
  std::string dir = kovtest::temp_dir();
  write_file(dir + "/plainfile", Bytes{1});
  kovtest::ChildResult r = kovtest::run_in_child([dir] {
    OutputRig rig(KOV_PIX_FMT_GREY, 1, 1, 1, dir + "/plainfile/%d.png");
    if (kov_unit_stream_init(rig.unit.get(), nullptr) != 0) printf("init failed ");
    Recorder rec(rig.unit.get());
    rig.push({1});
    rig.push({2});
    const GError *error = kov_unit_get_error(rig.unit.get());
    printf("%zu %s", rec.count(), error != nullptr ? "error" : "none");
  });
  EXPECT_EQ(r.out, "2 error");
  EXPECT_EQ(r.err, "output.file: cannot create folder \"" + dir + "/plainfile\": Not a directory\n");
}

// A file size limit stands in for a full disk: writes past it fail.
TEST(FileOutputTest, FullDiskLeavesNoPartialFileAndCutsAppendsBackToWholeFrames) {
  std::string dir = kovtest::temp_dir();
  Bytes a = make_jpeg(8, 8, 1), b = make_jpeg(64, 64, 2);
  kovtest::ChildResult r = kovtest::run_in_child([dir, a, b] {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {static_cast<rlim_t>(a.size() + 100), static_cast<rlim_t>(a.size() + 100)};
    setrlimit(RLIMIT_FSIZE, &limit);
    OutputRig png(KOV_PIX_FMT_GREY, 64, 64, 64, dir + "/p%d.png");
    kov_unit_stream_init(png.unit.get(), nullptr);
    Bytes noise(64 * 64);  // does not compress below the limit
    GRand *rand = g_rand_new_with_seed(7);
    for (uint8_t &v : noise) v = static_cast<uint8_t>(g_rand_int(rand));
    g_rand_free(rand);
    png.push(noise);
    OutputRig mjpg(KOV_PIX_FMT_MJPG, 8, 8, 0, dir + "/all.mjpg");
    kov_unit_stream_init(mjpg.unit.get(), nullptr);
    mjpg.push(a);
    mjpg.push(b);
    mjpg.push(a);
    kov_unit_stream_shutdown(mjpg.unit.get());
    printf("%d %d", kov_unit_get_error(png.unit.get()) != nullptr,
           kov_unit_get_error(mjpg.unit.get()) != nullptr);
  });
  EXPECT_EQ(r.out, "1 1");
  EXPECT_EQ(r.err.rfind("output.file: cannot write \"" + dir + "/p0.png\": ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find("\noutput.file: cannot write \"" + dir + "/all.mjpg\": File too large\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2);
  EXPECT_EQ(read_file(dir + "/all.mjpg"), a) << "only whole frames stay in the file";
  GDir *d = g_dir_open(dir.c_str(), 0, nullptr);
  std::vector<std::string> names;
  while (const gchar *n = g_dir_read_name(d)) names.emplace_back(n);
  g_dir_close(d);
  EXPECT_EQ(names, std::vector<std::string>{"all.mjpg"}) << "no partial or temporary PNG";
}

TEST(FileOutputTest, BadLocationRefusesToStartAndShortFramesAreSkipped) {
  std::string dir = kovtest::temp_dir();
  kovtest::ChildResult r = kovtest::run_in_child([dir] {
    OutputRig bad(KOV_PIX_FMT_GREY, 1, 1, 1, dir + "/%s.png");
    printf("%d ", kov_unit_stream_init(bad.unit.get(), nullptr));
    OutputRig rig(KOV_PIX_FMT_RGB3, 2, 2, 6, dir + "/%d.png");
    printf("%d ", kov_unit_stream_init(rig.unit.get(), nullptr));
    Recorder rec(rig.unit.get());
    rig.push(Bytes(11));
    rig.push(Bytes(11));
    rig.push(Bytes(12));
    printf("%zu", rec.count());
  });
  EXPECT_EQ(r.out, "-1 0 3");
  EXPECT_EQ(r.err,
            "output.file: location \"" + dir +
                "/%s.png\": only %d, %i or %u (with an optional width such as %03d) may hold the "
                "frame number\n"
                "output.file: frame 0 has 11 bytes, 2x2 needs 12; not written\n");
  EXPECT_FALSE(g_file_test((dir + "/0.png").c_str(), G_FILE_TEST_EXISTS));
  EXPECT_TRUE(g_file_test((dir + "/2.png").c_str(), G_FILE_TEST_EXISTS));
}

// ---- input.file ----------------------------------------------------------------

namespace {

Ref<KovUnit> file_source(const std::string &location) {
  Ref<KovUnit> unit = kovtest::create_unit("input.file");
  set_control(unit.get(), "location", location.c_str());
  return unit;
}

}  // namespace

TEST(FileInputTest, ReadsANumberedPngSeriesThenStops) {
  std::string dir = kovtest::temp_dir();
  std::vector<Bytes> pics;
  for (int i = 1; i <= 3; i++) {  // numbered from 1
    pics.push_back(pattern_bytes(3 * 2 * 3, i));
    gchar *p = g_strdup_printf("%s/%02d.png", dir.c_str(), i);
    ASSERT_TRUE(kov_image_write_png(p, KOV_PIX_FMT_RGB3, 3, 2, 9, pics.back().data(), nullptr));
    g_free(p);
  }
  Ref<KovUnit> src = file_source(dir + "/%02d.png");
  KovUnitFormat *fmt = kov_unit_get_output_format(src.get());
  ASSERT_NE(fmt, nullptr);
  EXPECT_EQ(fmt->pixelformat, KOV_PIX_FMT_RGB3);
  EXPECT_EQ(fmt->width, 3);
  EXPECT_EQ(fmt->height, 2);
  EXPECT_EQ(fmt->row_stride, 9);
  ASSERT_EQ(kov_unit_stream_init(src.get(), nullptr), 0);
  Recorder rec(src.get());
  pump(src.get(), 10, rec);
  ASSERT_EQ(rec.count(), 3u);
  for (int i = 0; i < 3; i++) EXPECT_EQ(rec.bytes[i], pics[i]);
  EXPECT_TRUE(kov_unit_is_eos(src.get()));
  EXPECT_EQ(kov_unit_next_frame_time(src.get()), G_MAXINT64);
  EXPECT_FALSE(kov_unit_produce_pending_frame(src.get()));
  // A restart reads the series again; with loop it goes round.
  kov_unit_stream_shutdown(src.get());
  set_control(src.get(), "loop", "true");
  ASSERT_EQ(kov_unit_stream_init(src.get(), nullptr), 0);
  EXPECT_FALSE(kov_unit_is_eos(src.get()));
  pump(src.get(), 10, rec);
  ASSERT_EQ(rec.count(), 10u);
  EXPECT_EQ(rec.bytes[9], pics[0]);
}

TEST(FileInputTest, WildcardsReadInNameOrderAndGreyPngsAreGrey) {
  std::string dir = kovtest::temp_dir();
  for (const char *name : {"b.png", "a.png", "c.png"}) {
    Bytes px(4, static_cast<uint8_t>(name[0]));
    ASSERT_TRUE(kov_image_write_png((dir + "/" + name).c_str(), KOV_PIX_FMT_GREY, 2, 2, 2, px.data(), nullptr));
  }
  write_file(dir + "/skip.txt", Bytes{1});
  Ref<KovUnit> src = file_source(dir + "/*.png");
  KovUnitFormat *fmt = kov_unit_get_output_format(src.get());
  ASSERT_NE(fmt, nullptr);
  EXPECT_EQ(fmt->pixelformat, KOV_PIX_FMT_GREY);
  ASSERT_EQ(kov_unit_stream_init(src.get(), nullptr), 0);
  Recorder rec(src.get());
  pump(src.get(), 5, rec);
  ASSERT_EQ(rec.count(), 3u);
  EXPECT_EQ(rec.bytes[0][0], 'a');
  EXPECT_EQ(rec.bytes[1][0], 'b');
  EXPECT_EQ(rec.bytes[2][0], 'c');

  // Names and patterns that are not UTF-8 are bytes like any other: "?" is
  // one character (two bytes for UTF-8 "é", one for Latin-1 "\xe9").
  Bytes px(4, 'x');
  for (const char *name : {"d\xc3\xa9.png", "e\xe9.png", "ff.png"})
    ASSERT_TRUE(kov_image_write_png((dir + "/" + name).c_str(), KOV_PIX_FMT_GREY, 2, 2, 2,
                                    px.data(), nullptr));
  const struct {
    const char *pattern;
    size_t files;
  } cases[] = {{"/?\xc3\xa9.png", 1}, {"/??.png", 3}, {"/e?.png", 1}, {"/\xf8*\xe4\xe4", 0},
               {"/*\xe9*", 1}};
  for (const auto &c : cases) {
    Ref<KovUnit> glob = file_source(dir + c.pattern);
    if (c.files == 0) {
      EXPECT_EQ(kov_unit_get_output_format(glob.get()), nullptr) << c.pattern;
      continue;
    }
    ASSERT_EQ(kov_unit_stream_init(glob.get(), nullptr), 0) << c.pattern;
    Recorder found(glob.get());
    pump(glob.get(), 5, found);
    EXPECT_EQ(found.count(), c.files) << c.pattern;
  }
}

TEST(FileInputTest, MotionJpegIsSplitIntoImagesAndAnIncompleteTailIgnored) {
  std::string dir = kovtest::temp_dir();
  std::vector<Bytes> images = {make_jpeg(16, 8, 1), make_jpeg(16, 8, 2), make_jpeg(16, 8, 3)};
  Bytes file;
  for (const Bytes &j : images) file.insert(file.end(), j.begin(), j.end());
  file.insert(file.end(), images[0].begin(), images[0].begin() + 40);
  write_file(dir + "/clip.mjpg", file);
  kovtest::ChildResult r = kovtest::run_in_child([dir, images] {
    Ref<KovUnit> src = file_source(dir + "/clip.mjpg");
    KovUnitFormat *fmt = kov_unit_get_output_format(src.get());
    printf("%d %d %d ", fmt->pixelformat == KOV_PIX_FMT_MJPG, fmt->width, fmt->row_stride);
    kov_unit_stream_init(src.get(), nullptr);
    Recorder rec(src.get());
    pump(src.get(), 10, rec);
    printf("%zu", rec.count());
    for (size_t i = 0; i < rec.count() && i < 3; i++) printf(" %d", rec.bytes[i] == images[i]);
  });
  EXPECT_EQ(r.out, "1 16 0 3 1 1 1");
  gsize at = images[0].size() * 0 + images[0].size() + images[1].size() + images[2].size();
  EXPECT_EQ(r.err, "input.file: \"" + dir + "/clip.mjpg\" holds an incomplete JPEG image at byte " +
                       std::to_string(at) + "; the rest of the file is ignored\n");
}

TEST(FileInputTest, JpegFilesAreMjpgFramesAndRawFilesAreSplitIntoFrames) {
  std::string dir = kovtest::temp_dir();
  Bytes jpeg = make_jpeg(24, 10, 5);
  write_file(dir + "/one.jpg", jpeg);
  Ref<KovUnit> src = file_source(dir + "/one.jpg");
  KovUnitFormat *fmt = kov_unit_get_output_format(src.get());
  ASSERT_NE(fmt, nullptr);
  EXPECT_EQ(fmt->pixelformat, KOV_PIX_FMT_MJPG);
  EXPECT_EQ(fmt->width, 24);
  EXPECT_EQ(fmt->height, 10);
  ASSERT_EQ(kov_unit_stream_init(src.get(), nullptr), 0);
  Recorder rec(src.get());
  pump(src.get(), 5, rec);
  ASSERT_EQ(rec.count(), 1u);
  EXPECT_EQ(rec.bytes[0], jpeg);

  Bytes raw = pattern_bytes(2 * 12 + 5);  // two 4x3 GREY frames and a tail
  write_file(dir + "/frames.bin", raw);
  kovtest::ChildResult r = kovtest::run_in_child([dir, raw] {
    Ref<KovUnit> in = kovtest::create_unit("input.file");
    set_control(in.get(), "raw-width", "4");
    set_control(in.get(), "raw-height", "3");
    set_control(in.get(), "location", (dir + "/frames.bin").c_str());
    KovUnitFormat *f = kov_unit_get_output_format(in.get());
    printf("%d %d ", f->pixelformat == KOV_PIX_FMT_GREY, f->row_stride);
    kov_unit_stream_init(in.get(), nullptr);
    Recorder rec2(in.get());
    pump(in.get(), 5, rec2);
    printf("%zu %d %d", rec2.count(), rec2.bytes[0] == Bytes(raw.begin(), raw.begin() + 12),
           rec2.bytes[1] == Bytes(raw.begin() + 12, raw.begin() + 24));
  });
  EXPECT_EQ(r.out, "1 4 2 1 1");
  EXPECT_EQ(r.err, "input.file: \"" + dir +
                       "/frames.bin\" ends with 5 bytes that do not make a whole frame; they are "
                       "ignored\n");
}

TEST(FileInputTest, ImagesAboveMaxPixelsAreRefusedWithTheReason) {
  std::string dir = kovtest::temp_dir();
  // A JPEG header that claims 20000x20000 over a 16x8 image.
  Bytes forged = make_jpeg(16, 8, 1);
  for (size_t i = 0; i + 9 < forged.size(); i++)
    if (forged[i] == 0xFF && forged[i + 1] == 0xC0) {
      const Bytes size = {0x4E, 0x20, 0x4E, 0x20};
      std::copy(size.begin(), size.end(), forged.begin() + i + 5);
      break;
    }
  write_file(dir + "/big.jpg", forged);
  Bytes px(18, 7);
  ASSERT_TRUE(kov_image_write_png((dir + "/small.png").c_str(), KOV_PIX_FMT_RGB3, 3, 2, 9,
                                  px.data(), nullptr));
  write_file(dir + "/frame.raw", Bytes(16, 1));
  const struct {
    const char *file, *max_pixels, *raw_size;
    const char *error;  // nullptr: accepted
  } cases[] = {
      {"big.jpg", nullptr, nullptr, "is 20000x20000, 400000000 pixels: more than max-pixels (100000000)"},
      {"small.png", "5", nullptr, "is 3x2, 6 pixels: more than max-pixels (5)"},
      {"small.png", "6", nullptr, nullptr},
      {"frame.raw", nullptr, "16384", "is 16384x16384, 268435456 pixels: more than max-pixels (100000000)"},
      {"frame.raw", nullptr, "4", nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.file);
    Ref<KovUnit> src = kovtest::create_unit("input.file");
    if (c.max_pixels != nullptr) set_control(src.get(), "max-pixels", c.max_pixels);
    if (c.raw_size != nullptr) {
      set_control(src.get(), "raw-width", c.raw_size);
      set_control(src.get(), "raw-height", c.raw_size);
    }
    const std::string path = dir + "/" + c.file;
    set_control(src.get(), "location", path.c_str());
    if (c.error == nullptr) {
      EXPECT_NE(kov_unit_get_output_format(src.get()), nullptr);
      continue;
    }
    EXPECT_EQ(kov_unit_get_output_format(src.get()), nullptr);
    ASSERT_NE(kov_unit_get_error(src.get()), nullptr);
    EXPECT_EQ(std::string(kov_unit_get_error(src.get())->message), "\"" + path + "\" " + c.error);
  }
}

TEST(FileInputTest, MissingFilesAreClearErrorsAndBadFilesAreSkipped) {
  std::string dir = kovtest::temp_dir();
  Ref<KovUnit> none = file_source(dir + "/none.png");
  EXPECT_EQ(kov_unit_get_output_format(none.get()), nullptr);
  ASSERT_NE(kov_unit_get_error(none.get()), nullptr);
  EXPECT_EQ(std::string(kov_unit_get_error(none.get())->message),
            "cannot open \"" + dir + "/none.png\": no such file");

  Bytes px(4, 1);
  for (const char *n : {"/s0.png", "/s1.png", "/s2.png"})
    ASSERT_TRUE(kov_image_write_png((dir + n).c_str(), KOV_PIX_FMT_GREY, 2, 2, 2, px.data(), nullptr));
  kovtest::ChildResult r = kovtest::run_in_child([dir] {
    Ref<KovUnit> src = file_source(dir + "/s%d.png");
    write_file(dir + "/s1.png", Bytes{1, 2, 3});  // spoiled after the format was read
    kov_unit_stream_init(src.get(), nullptr);
    Recorder rec(src.get());
    pump(src.get(), 5, rec);
    printf("%zu ", rec.count());
    kov_unit_stream_shutdown(src.get());
    for (const char *n : {"/s0.png", "/s1.png", "/s2.png"}) g_unlink((dir + n).c_str());
    int rc = kov_unit_stream_init(src.get(), nullptr);
    printf("%d %d", rc, kov_unit_get_error(src.get()) != nullptr);
  });
  EXPECT_EQ(r.out, "2 -1 1");
  EXPECT_NE(r.err.find("input.file: cannot read PNG \"" + dir + "/s1.png\""), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("; frame skipped\n"), std::string::npos);
  EXPECT_NE(r.err.find("input.file: no file matches \"" + dir + "/s%d.png\"\n"), std::string::npos) << r.err;
}

TEST(FileInputTest, LoopStopsWhenAWholePassGivesNoFrameAndOtherSizesAreSkipped) {
  std::string dir = kovtest::temp_dir();
  write_file(dir + "/a.jpg", make_jpeg(16, 8, 1));
  write_file(dir + "/b.jpg", make_jpeg(32, 8, 2));  // another size
  write_file(dir + "/c.jpg", make_jpeg(16, 8, 3));
  kovtest::ChildResult r = kovtest::run_in_child([dir] {
    Ref<KovUnit> src = file_source(dir + "/*.jpg");
    set_control(src.get(), "loop", "true");
    kov_unit_stream_init(src.get(), nullptr);
    Recorder rec(src.get());
    pump(src.get(), 4, rec);
    printf("%zu ", rec.count());
    kov_unit_stream_shutdown(src.get());
    // Every file spoiled: one pass of skips, then the end instead of spinning.
    kov_unit_stream_init(src.get(), nullptr);
    for (const char *n : {"/a.jpg", "/b.jpg", "/c.jpg"}) write_file(dir + n, Bytes{0xFF, 0xD8});
    Recorder none(src.get());
    for (int i = 0; i < 10; i++) kov_unit_produce_pending_frame(src.get());
    printf("%zu %d", none.count(), kov_unit_is_eos(src.get()));
  });
  EXPECT_EQ(r.out, "4 0 1");
  std::string skip_b = "input.file: \"" + dir + "/b.jpg\" is 32x8, the stream is 16x8; frame skipped\n";
  EXPECT_EQ(r.err.rfind(skip_b + skip_b, 0), 0u) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 5) << r.err;
}
