// SPDX-License-Identifier: LGPL-2.1-or-later
// convert.fast_debayer: offered formats and work-plane geometry, the tiling
// control, exact colours for every tiling, misaligned and short frames,
// frames outside a stream, odd and tiny sizes.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

using kovtest::Ref;

namespace {

// The unit's instance record, as the unit lays it out.
struct BayerRecord {
  KovUnit parent;
  KovUnitControl *tiling_ctl;
  guint8 *aligned_input;
  guint8 *planes[4];
  gint plane_stride;
};

const BayerRecord *record(KovUnit *unit) { return reinterpret_cast<const BayerRecord *>(unit); }

struct Rgb {
  int r, g, b;
};

// A flat colour mosaicked with the named 2×2 layout ("BGGR" and so on).
std::vector<guint8> flat_mosaic(const char *layout, Rgb c, int width, int height, int stride) {
  std::vector<guint8> m(size_t(stride) * height, 0);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const char ch = layout[(y & 1) * 2 + (x & 1)];
      m[size_t(y) * stride + x] = guint8(ch == 'R' ? c.r : ch == 'G' ? c.g : c.b);
    }
  return m;
}

std::vector<std::pair<guint32, std::vector<int>>> formats_of(KovUnit *unit) {
  std::vector<std::pair<guint32, std::vector<int>>> result;
  GList *list = kov_unit_get_output_formats(unit);
  for (GList *l = list; l != nullptr; l = l->next) {
    auto *f = static_cast<KovUnitFormat *>(l->data);
    EXPECT_EQ(f->name, nullptr);
    result.push_back({f->pixelformat, {f->width, f->height, f->row_stride}});
  }
  g_list_free(list);
  return result;
}

class FastBayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unit_ = kovtest::create_unit("convert.fast_debayer");
    ASSERT_TRUE(unit_) << "plug-in not loaded";
  }
  void TearDown() override {
    if (unit_) kov_unit_stream_shutdown(unit_.get());
    if (source_) kov_unit_stream_shutdown(source_.get());
  }
  // Feeds the unit from a test source and starts both with the output code.
  void start(guint32 in_code, int w, int h, int stride, guint32 out_code) {
    source_ = kovtest::make_source(in_code, w, h, stride);
    kov_unit_set_input(unit_.get(), source_.get());
    GList *list = kov_unit_get_output_formats(unit_.get());
    for (GList *l = list; l != nullptr; l = l->next) {
      auto *f = static_cast<KovUnitFormat *>(l->data);
      if (f->pixelformat == out_code) {
        EXPECT_TRUE(kov_unit_set_output_format(unit_.get(), f));
      }
    }
    g_list_free(list);
    ASSERT_EQ(kov_unit_stream_init(source_.get(), nullptr), 0);
    ASSERT_EQ(kov_unit_stream_init(unit_.get(), nullptr), 0);
  }
  KovUnitControl *tiling() { return kov_unit_find_control(unit_.get(), "tiling"); }
  Ref<KovUnit> unit_, source_;
};

TEST_F(FastBayerTest, TilingControlAndIdentity) {
  EXPECT_STREQ(kov_unit_get_name(unit_.get()), "Fast Debayer");
  EXPECT_STREQ(G_OBJECT_TYPE_NAME(unit_.get()), "KovFastBayerFilter");
  KovUnitControl *ctl = tiling();
  ASSERT_NE(ctl, nullptr);
  EXPECT_STREQ(kov_unit_control_get_label(ctl), "Tiling");
  EXPECT_EQ(kov_unit_control_get_enum(ctl), 0);
  guint n = 0;
  const KovUnitControlEnumEntry *e = kov_unit_control_get_enum_entries(ctl, &n);
  ASSERT_EQ(n, 4u);
  const char *nicks[] = {"GBRG", "GRBG", "BGGR", "RGGB"};
  for (guint i = 0; i < n; ++i) {
    EXPECT_EQ(e[i].value, gint32(i));
    EXPECT_STREQ(e[i].nick, nicks[i]);
    EXPECT_TRUE(e[i].enabled);
  }
}

TEST_F(FastBayerTest, OffersBgraThenGreyWithRowsPaddedTo128ThenPackedRgb) {
  source_ = kovtest::make_source(KOV_PIX_FMT_BA81, 640, 480, 640);
  kov_unit_set_input(unit_.get(), source_.get());
  auto f = formats_of(unit_.get());
  ASSERT_EQ(f.size(), 3u);
  EXPECT_EQ(f[0].first, KOV_PIX_FMT_BGR4);
  EXPECT_EQ(f[0].second, (std::vector<int>{640, 480, 2560}));
  EXPECT_EQ(f[1].first, KOV_PIX_FMT_GREY);
  EXPECT_EQ(f[1].second, (std::vector<int>{640, 480, 640}));
  EXPECT_EQ(f[2].first, KOV_PIX_FMT_RGB3);
  EXPECT_EQ(f[2].second, (std::vector<int>{640, 480, 1920}));

  kovtest::source_set_format(source_.get(), KOV_PIX_FMT_XXX3, 642, 481, 642);
  f = formats_of(unit_.get());
  ASSERT_EQ(f.size(), 3u);
  EXPECT_EQ(f[0].second, (std::vector<int>{642, 481, 2688}));
  EXPECT_EQ(f[1].second, (std::vector<int>{642, 481, 768}));
  EXPECT_EQ(f[2].second, (std::vector<int>{642, 481, 1926}));

  // The widest mosaic whose padded BGRA rows fit in a gint; one pixel more
  // and nothing is offered.
  kovtest::source_set_format(source_.get(), KOV_PIX_FMT_BA81, 536870880, 1, 536870880);
  f = formats_of(unit_.get());
  ASSERT_EQ(f.size(), 3u);
  EXPECT_EQ(f[0].second, (std::vector<int>{536870880, 1, 2147483520}));
  EXPECT_EQ(f[1].second, (std::vector<int>{536870880, 1, 536870912}));
  EXPECT_EQ(f[2].second, (std::vector<int>{536870880, 1, 1610612640}));
  kovtest::source_set_format(source_.get(), KOV_PIX_FMT_BA81, 536870881, 1, 536870881);
  EXPECT_TRUE(formats_of(unit_.get()).empty());
}

TEST_F(FastBayerTest, NoFormatsForOtherInputs) {
  source_ = kovtest::make_source(KOV_PIX_FMT_RGB3, 64, 48, 192);
  kov_unit_set_input(unit_.get(), source_.get());
  EXPECT_TRUE(formats_of(unit_.get()).empty());
  EXPECT_EQ(kov_unit_stream_init(unit_.get(), nullptr), -1);
  EXPECT_EQ(record(unit_.get())->planes[0], nullptr);

  kovtest::source_set_format(source_.get(), 0, 0, 0, 0);  // no format at all
  EXPECT_TRUE(formats_of(unit_.get()).empty());
}

TEST_F(FastBayerTest, StreamInitForcesTilingAndSizesFourQuarterPlanes) {
  start(KOV_PIX_FMT_BA81, 640, 480, 640, KOV_PIX_FMT_BGR4);
  EXPECT_EQ(kov_unit_control_get_enum(tiling()), 2);
  const BayerRecord *r = record(unit_.get());
  EXPECT_EQ(r->plane_stride, 352);
  for (guint8 *p : r->planes) {
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(guintptr(p) & 15, 0u);
    EXPECT_GE(malloc_usable_size(p), size_t(352 * 242));
  }
  kov_unit_stream_shutdown(unit_.get());
  for (guint8 *p : r->planes) EXPECT_EQ(p, nullptr);
}

TEST_F(FastBayerTest, PlaneGeometryOfOddSizes) {
  start(KOV_PIX_FMT_XXX4, 642, 481, 642, KOV_PIX_FMT_BGR4);
  EXPECT_EQ(kov_unit_control_get_enum(tiling()), 3);
  EXPECT_EQ(record(unit_.get())->plane_stride, 368);
  EXPECT_GE(malloc_usable_size(record(unit_.get())->planes[3]), size_t(368 * 242));
  kov_unit_stream_shutdown(unit_.get());

  // Grey is read straight from the input: no planes.
  start(KOV_PIX_FMT_XXX2, 642, 481, 642, KOV_PIX_FMT_GREY);
  EXPECT_EQ(kov_unit_control_get_enum(tiling()), 0);
  for (guint8 *p : record(unit_.get())->planes) EXPECT_EQ(p, nullptr);
}

// Each input code and each value of the control on a grey input gives the
// exact colour back on every pixel, alpha 255, with the input's metadata.
TEST_F(FastBayerTest, EveryTilingGivesTheExactFlatColour) {
  const struct {
    guint32 code;
    const char *layout;
  } cases[] = {{KOV_PIX_FMT_BA81, "BGGR"}, {KOV_PIX_FMT_XXX2, "GBRG"},
               {KOV_PIX_FMT_XXX3, "GRBG"}, {KOV_PIX_FMT_XXX4, "RGGB"}};
  const Rgb c{210, 120, 15};
  const int w = 38, h = 10, stride = 40;
  for (const auto &k : cases) {
    start(k.code, w, h, stride, KOV_PIX_FMT_BGR4);
    kovtest::Recorder rec(unit_.get());
    auto frame = kovtest::make_frame(flat_mosaic(k.layout, c, w, h, stride));
    frame->timestamp = 1234;
    const gint32 roi[4] = {1, 2, 3, 4};
    kov_framebuffer_metadata_set(frame.get(), "roi", roi, sizeof roi);
    kovtest::source_push(source_.get(), frame.get());
    ASSERT_EQ(rec.count(), 1u) << k.layout;
    EXPECT_EQ(rec.formats[0]->pixelformat, KOV_PIX_FMT_BGR4);
    ASSERT_EQ(rec.bytes[0].size(), size_t(256 * h));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const guint8 *p = &rec.bytes[0][y * 256 + x * 4];
        ASSERT_EQ(p[0], c.b) << k.layout << " " << x << "," << y;
        ASSERT_EQ(p[1], c.g);
        ASSERT_EQ(p[2], c.r);
        ASSERT_EQ(p[3], 255);
      }
    for (int y = 0; y < h; ++y)  // row padding is cleared
      for (int i = w * 4; i < 256; ++i) ASSERT_EQ(rec.bytes[0][y * 256 + i], 0);
    EXPECT_EQ(rec.frames[0]->timestamp, 1234);
    gsize len = 0;
    const void *got = kov_framebuffer_metadata_get(rec.frames[0].get(), "roi", &len);
    ASSERT_EQ(len, sizeof roi);
    EXPECT_EQ(std::memcmp(got, roi, sizeof roi), 0);
    kov_unit_stream_shutdown(unit_.get());
    kov_unit_stream_shutdown(source_.get());
  }
}

// A grey input keeps the user's tiling, and a change while streaming takes
// effect on the next frame.
TEST_F(FastBayerTest, GreyInputUsesTheControlFrameByFrame) {
  ASSERT_TRUE(kov_unit_control_set_from_string(tiling(), "RGGB", nullptr));
  const int w = 16, h = 4;
  start(KOV_PIX_FMT_GREY, w, h, w, KOV_PIX_FMT_BGR4);
  EXPECT_EQ(kov_unit_control_get_enum(tiling()), 3);
  kovtest::Recorder rec(unit_.get());
  // Pure red in RGGB order: read as RGGB it is red, read as BGGR it is blue.
  auto frame = kovtest::make_frame(flat_mosaic("RGGB", {255, 0, 0}, w, h, w));
  kovtest::source_push(source_.get(), frame.get());
  ASSERT_TRUE(kov_unit_control_set_enum(tiling(), 2, nullptr));
  kovtest::source_push(source_.get(), frame.get());
  ASSERT_EQ(rec.count(), 2u);
  const guint8 *first = &rec.bytes[0][128 + 8 * 4], *second = &rec.bytes[1][128 + 8 * 4];
  EXPECT_EQ((std::vector<int>{first[0], first[1], first[2]}), (std::vector<int>{0, 0, 255}));
  EXPECT_EQ((std::vector<int>{second[0], second[1], second[2]}), (std::vector<int>{255, 0, 0}));
}

TEST_F(FastBayerTest, GreyOutputOfAFlatGreyMosaic) {
  const int w = 21, h = 7;
  start(KOV_PIX_FMT_BA81, w, h, 24, KOV_PIX_FMT_GREY);
  kovtest::Recorder rec(unit_.get());
  auto frame = kovtest::make_frame(std::vector<guint8>(24 * h, 77));
  kovtest::source_push(source_.get(), frame.get());
  ASSERT_EQ(rec.count(), 1u);
  EXPECT_EQ(rec.formats[0]->pixelformat, KOV_PIX_FMT_GREY);
  ASSERT_EQ(rec.bytes[0].size(), size_t(128 * h));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) ASSERT_EQ(rec.bytes[0][y * 128 + x], 77) << x << "," << y;
}

// A frame whose data is not 16-byte aligned is copied into one aligned
// buffer, made at the first such frame and kept for the stream.
TEST_F(FastBayerTest, MisalignedInputIsCopiedOnceAndReused) {
  const int w = 40, h = 6;
  start(KOV_PIX_FMT_BA81, w, h, w, KOV_PIX_FMT_BGR4);
  kovtest::Recorder rec(unit_.get());
  const auto m = flat_mosaic("BGGR", {10, 20, 30}, w, h, w);
  auto aligned = kovtest::make_frame(m);
  kovtest::source_push(source_.get(), aligned.get());
  EXPECT_EQ(record(unit_.get())->aligned_input, nullptr);

  std::vector<guint8> storage(m.size() + 16);
  guint8 *odd = storage.data() + ((16 - (guintptr(storage.data()) & 15)) & 15) + 3;
  std::memcpy(odd, m.data(), m.size());
  Ref<KovFrameBuffer> misaligned(kov_framebuffer_new(odd, m.size()));
  misaligned->bytesused = m.size();
  kovtest::source_push(source_.get(), misaligned.get());
  const guint8 *copy = record(unit_.get())->aligned_input;
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(guintptr(copy) & 15, 0u);
  kovtest::source_push(source_.get(), misaligned.get());
  EXPECT_EQ(record(unit_.get())->aligned_input, copy);

  ASSERT_EQ(rec.count(), 3u);
  EXPECT_EQ(rec.bytes[1], rec.bytes[0]);
  EXPECT_EQ(rec.bytes[2], rec.bytes[0]);
  kov_unit_stream_shutdown(unit_.get());
  EXPECT_EQ(record(unit_.get())->aligned_input, nullptr);
}

// A frame shorter than row stride × height is dropped with an error line,
// and nothing past its end is read (the buffer is exactly that short).
TEST_F(FastBayerTest, ShortFrameIsDroppedWithAnError) {
  const auto result = kovtest::run_in_child([] {
    Ref<KovUnit> unit = kovtest::create_unit("convert.fast_debayer");
    Ref<KovUnit> source = kovtest::make_source(KOV_PIX_FMT_BA81, 32, 8, 32);
    kov_unit_set_input(unit.get(), source.get());
    kov_unit_stream_init(source.get(), nullptr);
    kov_unit_stream_init(unit.get(), nullptr);
    kovtest::Recorder rec(unit.get());
    std::vector<guint8> bytes(32 * 8 - 1, 9);
    for (int misalign = 0; misalign < 2; ++misalign) {
      Ref<KovFrameBuffer> frame(kov_framebuffer_new(bytes.data() + misalign, bytes.size() - misalign));
      frame->bytesused = bytes.size() - misalign;
      kovtest::source_push(source.get(), frame.get());
    }
    printf("%zu\n", rec.count());
    kov_unit_stream_shutdown(unit.get());
  });
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.out, "0\n");
  const std::string line =
      "\x1b[1;37;40m[Fast Debayer] frame of 255 bytes is shorter than 8 rows of 32 bytes, "
      "dropped\n\x1b[0m";
  EXPECT_NE(result.err.find(line), std::string::npos) << result.err;
}

TEST_F(FastBayerTest, FrameOutsideAStreamIsDropped) {
  source_ = kovtest::make_source(KOV_PIX_FMT_BA81, 16, 4, 16);
  kov_unit_set_input(unit_.get(), source_.get());
  kovtest::Recorder rec(unit_.get());
  auto frame = kovtest::make_frame(std::vector<guint8>(64, 1));
  KovUnitClass *klass = KOV_UNIT_GET_CLASS(unit_.get());
  klass->input_frame_ready(unit_.get(), frame.get(), kov_unit_get_output_format(source_.get()));
  EXPECT_EQ(rec.count(), 0u);
}

// Odd and tiny sizes run through every output (AddressSanitizer watches the
// reads); every BGRA pixel is opaque, and RGB has the BGRA pixels' colours.
TEST_F(FastBayerTest, OddAndTinySizes) {
  const int sizes[][2] = {{1, 1}, {2, 2}, {3, 5}, {5, 3}, {17, 1}, {1, 9}, {33, 17}, {139, 7}};
  for (const auto &s : sizes) {
    const int w = s[0], h = s[1];
    std::vector<guint8> bgra;
    int bgra_stride = 0;
    for (guint32 out : {KOV_PIX_FMT_BGR4, KOV_PIX_FMT_GREY, KOV_PIX_FMT_RGB3}) {
      start(KOV_PIX_FMT_XXX3, w, h, w, out);
      kovtest::Recorder rec(unit_.get());
      std::vector<guint8> bytes(size_t(w) * h);
      for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = guint8(i * 37);
      auto frame = kovtest::make_frame(bytes);
      kovtest::source_push(source_.get(), frame.get());
      ASSERT_EQ(rec.count(), 1u) << w << "x" << h;
      const int stride = rec.formats[0]->row_stride;
      ASSERT_EQ(rec.bytes[0].size(), size_t(stride) * h);
      if (out == KOV_PIX_FMT_BGR4) {
        for (int y = 0; y < h; ++y)
          for (int x = 0; x < w; ++x) ASSERT_EQ(rec.bytes[0][y * stride + x * 4 + 3], 255);
        bgra = rec.bytes[0];
        bgra_stride = stride;
      } else if (out == KOV_PIX_FMT_RGB3) {
        ASSERT_EQ(stride, 3 * w);
        for (int y = 0; y < h; ++y)
          for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
              ASSERT_EQ(rec.bytes[0][y * stride + x * 3 + c], bgra[y * bgra_stride + x * 4 + 2 - c])
                  << w << "x" << h << " at " << x << "," << y;
      }
      kov_unit_stream_shutdown(unit_.get());
      kov_unit_stream_shutdown(source_.get());
    }
  }
}

}  // namespace
