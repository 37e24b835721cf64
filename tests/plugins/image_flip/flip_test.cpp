// SPDX-License-Identifier: LGPL-2.1-or-later
// util.flip through the framework: a test source feeds the flip unit and a
// recorder keeps a copy of every frame it produces. Frame pixels encode their
// own coordinates, so every mirrored byte can be checked exactly.
#include <gtest/gtest.h>

#include <test_support.h>

#include <cstring>
#include <memory>
#include <ostream>
#include <vector>

using kovtest::Ref;

namespace {

// Byte b of pixel (x, y) of a frame with bpp-byte pixels: distinct for every
// position within small frames, and bytes inside one pixel all differ.
uint8_t coord_byte(int x, int y, int b) { return uint8_t(x * 7 + y * 31 + b * 101 + 1); }

std::vector<uint8_t> coord_frame(int width, int height, int bpp, int stride) {
  std::vector<uint8_t> bytes(size_t(stride) * height, 0xEE);  // padding marked 0xEE
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int b = 0; b < bpp; ++b) bytes[size_t(y) * stride + x * bpp + b] = coord_byte(x, y, b);
  return bytes;
}

// What the flip must produce from pixels of bpp bytes: the input mirrored,
// the padding bytes of a row kept after the row's own pixels.
std::vector<uint8_t> expected_flip(const std::vector<uint8_t> &in, int width, int height,
                                   int stride, bool h, bool v, int bpp) {
  std::vector<uint8_t> out(in.size());
  for (int y = 0; y < height; ++y) {
    const int sy = v ? height - 1 - y : y;
    std::memcpy(&out[size_t(y) * stride], &in[size_t(sy) * stride], stride);
    for (int x = 0; x < width; ++x) {
      const int sx = h ? width - 1 - x : x;
      std::memcpy(&out[size_t(y) * stride + x * bpp], &in[size_t(sy) * stride + sx * bpp], bpp);
    }
  }
  return out;
}

class FlipTest : public ::testing::Test {
 protected:
  // Links a source of the given layout to a new flip unit and starts both.
  void start(guint32 code, int width, int height, int stride, bool h, bool v) {
    flip_ = kovtest::create_unit("util.flip");
    ASSERT_TRUE(flip_);
    source_ = kovtest::make_source(code, width, height, stride);
    ASSERT_TRUE(kov_unit_control_set_boolean(kov_unit_find_control(flip_.get(), "flip-h"), h,
                                             nullptr));
    ASSERT_TRUE(kov_unit_control_set_boolean(kov_unit_find_control(flip_.get(), "flip-v"), v,
                                             nullptr));
    kov_unit_set_input(flip_.get(), source_.get());
    ASSERT_NE(kov_unit_get_output_format(flip_.get()), nullptr);
    ASSERT_EQ(kov_unit_stream_init(source_.get(), nullptr), 0);
    ASSERT_EQ(kov_unit_stream_init(flip_.get(), nullptr), 0);
    recorder_ = std::make_unique<kovtest::Recorder>(flip_.get());
  }

  // Pushes one frame and returns the bytes the flip produced for it.
  std::vector<uint8_t> push(const std::vector<uint8_t> &bytes) {
    Ref<KovFrameBuffer> frame = kovtest::make_frame(bytes);
    const size_t before = recorder_->count();
    kovtest::source_push(source_.get(), frame.get());
    EXPECT_EQ(recorder_->count(), before + 1);
    return recorder_->count() > before ? recorder_->bytes.back() : std::vector<uint8_t>{};
  }

  void TearDown() override {
    recorder_.reset();
    if (flip_) kov_unit_stream_shutdown(flip_.get());
    if (source_) kov_unit_stream_shutdown(source_.get());
  }

  Ref<KovUnit> flip_;
  Ref<KovUnit> source_;
  std::unique_ptr<kovtest::Recorder> recorder_;
};

TEST_F(FlipTest, BothOffProducesTheVeryInputFrameWithItsFormat) {
  start(KOV_PIX_FMT_RGB3, 4, 3, 12, false, false);
  Ref<KovFrameBuffer> frame = kovtest::make_frame(coord_frame(4, 3, 3, 12));
  kovtest::source_push(source_.get(), frame.get());
  ASSERT_EQ(recorder_->count(), 1u);
  EXPECT_EQ(recorder_->frames[0].get(), frame.get());
  EXPECT_EQ(recorder_->formats[0].get(), kov_unit_get_output_format(source_.get()));
}

TEST_F(FlipTest, VerticalReversesRowsWithTheirFullStride) {
  start(KOV_PIX_FMT_GREY, 2, 3, 4, false, true);
  const std::vector<uint8_t> in = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  EXPECT_EQ(push(in), (std::vector<uint8_t>{9, 10, 11, 12, 5, 6, 7, 8, 1, 2, 3, 4}));
}

TEST_F(FlipTest, HorizontalMirrorsGreyRow) {
  start(KOV_PIX_FMT_GREY, 4, 1, 4, true, false);
  EXPECT_EQ(push({10, 20, 30, 40}), (std::vector<uint8_t>{40, 30, 20, 10}));
}

TEST_F(FlipTest, HorizontalMirrorsRgbPixelsKeepingByteOrder) {
  start(KOV_PIX_FMT_RGB3, 2, 1, 6, true, false);
  EXPECT_EQ(push({1, 2, 3, 4, 5, 6}), (std::vector<uint8_t>{4, 5, 6, 1, 2, 3}));
}

// The pixel size comes from the format, not from the row stride: three
// 2-byte pixels in rows of 18 bytes mirror as 2-byte pixels, and the 12
// padding bytes stay at the row's end.
TEST_F(FlipTest, HorizontalMirrorsPixelsOfTheFormatInPaddedRows) {
  start(KOV_PIX_FMT_LG16, 3, 2, 18, true, false);
  const std::vector<uint8_t> in = coord_frame(3, 2, 2, 18);
  EXPECT_EQ(push(in), expected_flip(in, 3, 2, 18, true, false, 2));
  const std::vector<uint8_t> out = recorder_->bytes.back();
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 6),
            (std::vector<uint8_t>{in[4], in[5], in[2], in[3], in[0], in[1]}));
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + 6, out.begin() + 18),
            std::vector<uint8_t>(12, 0xEE));
}

TEST_F(FlipTest, BothOnTurnsTheFrameBy180Degrees) {
  start(KOV_PIX_FMT_BGR4, 5, 3, 20, true, true);
  const std::vector<uint8_t> in = coord_frame(5, 3, 4, 20);
  std::vector<uint8_t> turned(in.size());
  for (int p = 0; p < 15; ++p) std::memcpy(&turned[p * 4], &in[(14 - p) * 4], 4);
  EXPECT_EQ(push(in), turned);
}

// Every pixel size with a dedicated loop, odd and small widths (the vector
// paths work in blocks and finish with a scalar tail), odd heights, and
// padded strides.
struct Layout {
  int width, height, bpp, padding;
};

guint32 packed_format(int bpp) {
  switch (bpp) {
    case 1: return KOV_PIX_FMT_GREY;
    case 2: return KOV_PIX_FMT_LG16;
    case 3: return KOV_PIX_FMT_RGB3;
    default: return KOV_PIX_FMT_BGR4;
  }
}

class FlipLayoutTest : public FlipTest, public ::testing::WithParamInterface<Layout> {};

TEST_P(FlipLayoutTest, MatchesReferenceForEveryDirection) {
  const Layout l = GetParam();
  const int stride = l.width * l.bpp + l.padding;
  for (int mode = 1; mode <= 3; ++mode) {
    const bool h = mode & 1, v = mode & 2;
    SCOPED_TRACE(testing::Message() << "w=" << l.width << " h=" << l.height << " bpp=" << l.bpp
                                    << " stride=" << stride << " flip-h=" << h << " flip-v=" << v);
    start(packed_format(l.bpp), l.width, l.height, stride, h, v);
    const std::vector<uint8_t> in = coord_frame(l.width, l.height, l.bpp, stride);
    EXPECT_EQ(push(in), expected_flip(in, l.width, l.height, stride, h, v, l.bpp));
    TearDown();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Widths, FlipLayoutTest,
    ::testing::Values(Layout{1, 1, 1, 0}, Layout{3, 5, 1, 0}, Layout{5, 3, 1, 3},
                      Layout{7, 7, 1, 0}, Layout{17, 3, 1, 0}, Layout{33, 1, 1, 0},
                      Layout{65, 2, 1, 7}, Layout{1, 3, 2, 0}, Layout{7, 5, 2, 2},
                      Layout{9, 1, 2, 0}, Layout{33, 3, 2, 1}, Layout{1, 1, 3, 0},
                      Layout{3, 3, 3, 1}, Layout{5, 1, 3, 0}, Layout{6, 3, 3, 0},
                      Layout{7, 5, 3, 0}, Layout{11, 2, 3, 2}, Layout{21, 3, 3, 5},
                      Layout{1, 5, 4, 0}, Layout{5, 3, 4, 0}, Layout{7, 1, 4, 4},
                      Layout{17, 3, 4, 12}, Layout{640, 3, 3, 0}, Layout{641, 3, 1, 0},
                      Layout{641, 3, 3, 1}));

TEST_F(FlipTest, PaddedGreyRowMirrorsItsPixelsAndKeepsItsPadding) {
  start(KOV_PIX_FMT_GREY, 4, 1, 8, true, false);
  EXPECT_EQ(push({1, 2, 3, 4, 5, 6, 7, 8}), (std::vector<uint8_t>{4, 3, 2, 1, 5, 6, 7, 8}));
}

// 4:2:2 rows mirror pixel pairs: the pair's luma samples swap, its chroma
// stays. Width 3 holds two pairs, the second one half padding.
TEST_F(FlipTest, PairFormatsSwapLumaInsideMirroredPairs) {
  start(KOV_PIX_FMT_YUYV, 4, 1, 8, true, false);
  EXPECT_EQ(push({1, 2, 3, 4, 5, 6, 7, 8}), (std::vector<uint8_t>{7, 6, 5, 8, 3, 2, 1, 4}));
  TearDown();
  start(KOV_PIX_FMT_UYVY, 3, 2, 10, true, true);
  EXPECT_EQ(push({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20}),
            (std::vector<uint8_t>{15, 18, 17, 16, 11, 14, 13, 12, 19, 20,  //
                                  5, 8, 7, 6, 1, 4, 3, 2, 9, 10}));
}

// Planar I420: each plane flips on its own, the chroma planes at half the
// stride and height (rounded up).
TEST_F(FlipTest, PlanarFormatFlipsEveryPlane) {
  start(KOV_PIX_FMT_I420, 3, 3, 4, true, true);
  // Luma 4 x 3, then two chroma planes of 2 x 2.
  std::vector<uint8_t> in = {1, 2, 3, 90, 4, 5, 6, 91, 7, 8, 9, 92,  //
                             10, 11, 12, 13, 20, 21, 22, 23};
  EXPECT_EQ(push(in), (std::vector<uint8_t>{9, 8, 7, 92, 6, 5, 4, 91, 3, 2, 1, 90,  //
                                            13, 12, 11, 10, 23, 22, 21, 20}));
}

TEST_F(FlipTest, OutputCarriesTimestampMetadataAndFullSize) {
  start(KOV_PIX_FMT_RGB3, 3, 3, 9, true, true);
  Ref<KovFrameBuffer> frame = kovtest::make_frame(coord_frame(3, 3, 3, 9));
  frame->timestamp = 1234567890123;
  frame->bytesused = 5;  // not consulted: a whole frame is stride × height
  const int32_t roi[4] = {1, 2, 3, 4};
  kov_framebuffer_metadata_set(frame.get(), "roi", roi, sizeof roi);
  kov_framebuffer_metadata_set(frame.get(), "marker:x", "\x07\0\0\0", 4);
  kovtest::source_push(source_.get(), frame.get());
  ASSERT_EQ(recorder_->count(), 1u);
  KovFrameBuffer *out = recorder_->frames[0].get();
  EXPECT_NE(out, frame.get());
  EXPECT_EQ(out->timestamp, 1234567890123);
  EXPECT_EQ(out->bytesused, 27u);
  gsize len = 0;
  const void *got = kov_framebuffer_metadata_get(out, "roi", &len);
  ASSERT_NE(got, nullptr);
  ASSERT_EQ(len, sizeof roi);
  EXPECT_EQ(std::memcmp(got, roi, sizeof roi), 0);
  got = kov_framebuffer_metadata_get(out, "marker:x", &len);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(len, 4u);
  EXPECT_EQ(std::memcmp(got, "\x07\0\0\0", 4), 0);
}

TEST_F(FlipTest, ShortFrameIsPassedOnUnreadAndUnflipped) {
  start(KOV_PIX_FMT_RGB3, 4, 4, 12, true, true);
  // One byte short of 4 rows of 12, in a heap block of exactly that size: in
  // an ASan build any read of the missing byte is reported.
  std::vector<uint8_t> bytes(47, 9);
  Ref<KovFrameBuffer> frame(kov_framebuffer_new(bytes.data(), bytes.size()));
  frame->bytesused = bytes.size();
  kovtest::source_push(source_.get(), frame.get());
  ASSERT_EQ(recorder_->count(), 1u);
  EXPECT_EQ(recorder_->frames[0].get(), frame.get());
  // The next whole frame is flipped again.
  const std::vector<uint8_t> in = coord_frame(4, 4, 3, 12);
  EXPECT_EQ(push(in), expected_flip(in, 4, 4, 12, true, true, 3));
}

TEST_F(FlipTest, EmptyFrameIsPassedOn) {
  start(KOV_PIX_FMT_GREY, 8, 2, 8, true, false);
  Ref<KovFrameBuffer> frame(kov_framebuffer_new(nullptr, 0));
  kovtest::source_push(source_.get(), frame.get());
  ASSERT_EQ(recorder_->count(), 1u);
  EXPECT_EQ(recorder_->frames[0].get(), frame.get());
}

TEST_F(FlipTest, ReusesItsBufferAcrossFramesOfAStreamOnceNobodyHoldsIt) {
  start(KOV_PIX_FMT_GREY, 3, 2, 3, true, false);
  push({1, 2, 3, 4, 5, 6});
  push({7, 8, 9, 10, 11, 12});
  ASSERT_EQ(recorder_->count(), 2u);
  // The recorder holds the first frame: the second one is another.
  EXPECT_NE(recorder_->frames[0]->data, recorder_->frames[1]->data);
  EXPECT_EQ(recorder_->bytes[1], (std::vector<uint8_t>{9, 8, 7, 12, 11, 10}));
  const guint8 *second = recorder_->frames[1]->data;
  recorder_->frames[1] = Ref<KovFrameBuffer>();
  push({13, 14, 15, 16, 17, 18});
  ASSERT_EQ(recorder_->count(), 3u);
  EXPECT_EQ(recorder_->frames[2]->data, second);
  EXPECT_EQ(recorder_->bytes[2], (std::vector<uint8_t>{15, 14, 13, 18, 17, 16}));
}

TEST_F(FlipTest, FrameOfAnotherSizeMidStreamIsNotWrittenPastTheBuffer) {
  start(KOV_PIX_FMT_GREY, 2, 2, 2, true, false);
  EXPECT_EQ(push({1, 2, 3, 4}), (std::vector<uint8_t>{2, 1, 4, 3}));
  // The framework normally restarts the stream on a format change; a larger
  // frame handed in anyway gets a buffer of its own size.
  Ref<KovUnitFormat> big(kov_unit_format_new(KOV_PIX_FMT_GREY, nullptr, 4, 4, 4));
  Ref<KovFrameBuffer> frame = kovtest::make_frame(coord_frame(4, 4, 1, 4));
  KOV_UNIT_GET_CLASS(flip_.get())->input_frame_ready(flip_.get(), frame.get(), big.get());
  ASSERT_EQ(recorder_->count(), 2u);
  EXPECT_EQ(recorder_->bytes[1],
            expected_flip(coord_frame(4, 4, 1, 4), 4, 4, 4, true, false, 1));
}

// Formats offered for input formats.
struct OfferCase {
  guint32 code;
  int width, height, stride;
  bool offered;
};

void PrintTo(const OfferCase &c, std::ostream *os) {
  *os << std::hex << c.code << std::dec << " " << c.width << "x" << c.height << " stride "
      << c.stride;
}

class FlipFormatTest : public ::testing::TestWithParam<OfferCase> {};

TEST_P(FlipFormatTest, OffersCopyOfAcceptedInputFormatOnly) {
  const OfferCase c = GetParam();
  Ref<KovUnit> flip = kovtest::create_unit("util.flip");
  ASSERT_TRUE(flip);
  Ref<KovUnit> source = kovtest::make_source(c.code, c.width, c.height, c.stride, "in name");
  kov_unit_set_input(flip.get(), source.get());
  GList *formats = kov_unit_get_output_formats(flip.get());
  if (!c.offered) {
    EXPECT_EQ(formats, nullptr);
    EXPECT_EQ(kov_unit_get_output_format(flip.get()), nullptr);
  } else {
    ASSERT_EQ(g_list_length(formats), 1u);
    auto *f = static_cast<KovUnitFormat *>(formats->data);
    EXPECT_EQ(f->pixelformat, c.code);
    EXPECT_STREQ(f->name, "in name");
    EXPECT_EQ(f->width, c.width);
    EXPECT_EQ(f->height, c.height);
    EXPECT_EQ(f->row_stride, c.stride);
  }
  g_list_free(formats);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, FlipFormatTest,
    ::testing::Values(OfferCase{KOV_PIX_FMT_RGB3, 640, 480, 1920, true},
                      OfferCase{KOV_PIX_FMT_RGB3, 640, 480, 1922, true},
                      OfferCase{KOV_PIX_FMT_RGB3, 640, 480, 1919, false},
                      OfferCase{KOV_PIX_FMT_YUYV, 5, 2, 12, true},
                      OfferCase{KOV_PIX_FMT_YUYV, 5, 2, 10, false},
                      OfferCase{KOV_PIX_FMT_I420, 5, 3, 6, true},
                      OfferCase{0x31323334, 4, 4, 16, false},
                      OfferCase{KOV_PIX_FMT_MJPG, 640, 480, 0, false},
                      OfferCase{KOV_PIX_FMT_GREY, 0, 480, 640, false},
                      OfferCase{KOV_PIX_FMT_GREY, 7, 3, 14, true},
                      OfferCase{KOV_PIX_FMT_GREY, 8, 0, 8, false},
                      OfferCase{KOV_PIX_FMT_GREY, 8, 2, -8, false},
                      OfferCase{KOV_PIX_FMT_FG32, 5, 1, 20, true}));

TEST(FlipUnitTest, NoFormatUntilInputAndNoneAfterShutdownUntilAnnouncedAgain) {
  Ref<KovUnit> flip = kovtest::create_unit("util.flip");
  ASSERT_TRUE(flip);
  EXPECT_EQ(kov_unit_get_output_formats(flip.get()), nullptr);
  Ref<KovUnit> source = kovtest::make_source(KOV_PIX_FMT_GREY, 4, 2, 4);
  kov_unit_set_input(flip.get(), source.get());
  ASSERT_EQ(kov_unit_stream_init(flip.get(), nullptr), 0);
  ASSERT_NE(kov_unit_get_output_format(flip.get()), nullptr);
  ASSERT_EQ(kov_unit_stream_shutdown(flip.get()), 0);
  EXPECT_EQ(kov_unit_get_output_formats(flip.get()), nullptr);
  EXPECT_EQ(kov_unit_get_output_format(flip.get()), nullptr);
  kovtest::source_set_format(source.get(), KOV_PIX_FMT_GREY, 6, 2, 6);
  KovUnitFormat *f = kov_unit_get_output_format(flip.get());
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->width, 6);
}

TEST(FlipUnitTest, RefusedInputFormatLeavesNoFormat) {
  Ref<KovUnit> flip = kovtest::create_unit("util.flip");
  ASSERT_TRUE(flip);
  Ref<KovUnit> source = kovtest::make_source(KOV_PIX_FMT_GREY, 4, 2, 4);
  kov_unit_set_input(flip.get(), source.get());
  ASSERT_NE(kov_unit_get_output_format(flip.get()), nullptr);
  kovtest::source_set_format(source.get(), KOV_PIX_FMT_RGB3, 640, 480, 1919);
  EXPECT_EQ(kov_unit_get_output_formats(flip.get()), nullptr);
}

TEST(FlipUnitTest, ControlsAndDefaults) {
  Ref<KovUnit> flip = kovtest::create_unit("util.flip");
  ASSERT_TRUE(flip);
  const GList *controls = kov_unit_get_controls(flip.get());
  ASSERT_EQ(g_list_length(const_cast<GList *>(controls)), 3u);  // and "threads" (workers_test)
  const char *ids[] = {"flip-h", "flip-v"};
  const char *labels[] = {"Horiz flip", "Vert flip"};
  int i = 0;
  for (const GList *l = controls; i < 2; l = l->next, ++i) {
    auto *c = static_cast<KovUnitControl *>(l->data);
    EXPECT_STREQ(kov_unit_control_get_id(c), ids[i]);
    EXPECT_STREQ(kov_unit_control_get_label(c), labels[i]);
    EXPECT_EQ(kov_unit_control_get_control_type(c), KOV_UNIT_CONTROL_TYPE_BOOLEAN);
    EXPECT_FALSE(kov_unit_control_get_boolean(c));
    EXPECT_TRUE(kov_unit_control_is_enabled(c));
  }
}

TEST(FlipChainTest, ChainFlipsTestSourceFrames) {
  Ref<KovUnitManager> manager(kov_unit_manager_get_and_ref());
  if (kov_unit_manager_find_unit_description(manager.get(), "input.testsrc") == nullptr)
    GTEST_SKIP() << "input.testsrc is not built";
  Ref<KovUnitChain> chain(kov_unit_chain_new());
  GError *error = nullptr;
  ASSERT_TRUE(kov_unit_chain_load_from_str(
      chain.get(), "input.testsrc width=8 height=4 format=GREY ! util.flip flip-h=true flip-v=true",
      &error))
      << (error ? error->message : "");
  const GList *units = kov_unit_chain_get_units(chain.get());
  ASSERT_EQ(g_list_length(const_cast<GList *>(units)), 2u);
  auto *src = static_cast<KovUnit *>(units->data);
  auto *flip = static_cast<KovUnit *>(units->next->data);
  kovtest::Recorder in(src), out(flip);
  ASSERT_TRUE(kov_unit_chain_all_units_stream_init_full(chain.get(), &error))
      << (error ? error->message : "");
  for (int i = 0; i < 50 && out.count() < 2; ++i) kov_unit_chain_iterate(chain.get());
  kov_unit_chain_all_units_stream_shutdown(chain.get());
  ASSERT_GE(out.count(), 1u);
  ASSERT_EQ(in.bytes[0].size(), 32u);
  EXPECT_EQ(out.bytes[0], expected_flip(in.bytes[0], 8, 4, 8, true, true, 1));
}

}  // namespace
