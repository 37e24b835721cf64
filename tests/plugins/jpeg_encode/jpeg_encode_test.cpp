// SPDX-License-Identifier: LGPL-2.1-or-later
// convert.jpeg_compress: formats, the quality control, the images it makes
// (checked by decoding them), frames it must drop, and the compress routine's
// behaviour when the image does not fit or libjpeg refuses it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "compress.h"
#include "jpeg_images.h"
#include "test_support.h"

using kovtest::Recorder;
using kovtest::Ref;
using ::testing::HasSubstr;

namespace {

const char kBufferFull[] = "Error: JPEG compressor ran out of buffer space\n";

// source -> convert.jpeg_compress, both streaming, frames recorded.
struct EncodeChain {
  Ref<KovUnit> source;
  Ref<KovUnit> encoder;
  std::unique_ptr<Recorder> recorder;

  EncodeChain(guint32 code, int width, int height, int stride) {
    source = kovtest::make_source(code, width, height, stride);
    encoder = kovtest::create_unit("convert.jpeg_compress");
    kov_unit_set_input(encoder.get(), source.get());
    recorder = std::make_unique<Recorder>(encoder.get());
    kov_unit_stream_init(source.get(), nullptr);
    kov_unit_stream_init(encoder.get(), nullptr);
  }
  ~EncodeChain() {
    kov_unit_stream_shutdown(encoder.get());
    kov_unit_stream_shutdown(source.get());
  }
  void push(const std::vector<uint8_t> &bytes) {
    kovtest::source_push(source.get(), kovtest::make_frame(bytes).get());
  }
  KovUnitControl *quality() { return kov_unit_find_control(encoder.get(), "quality"); }
};

// RGB rows to BGRA rows with a varying fourth byte.
std::vector<uint8_t> rgb_to_bgra(const std::vector<uint8_t> &rgb) {
  std::vector<uint8_t> bgra(rgb.size() / 3 * 4);
  for (size_t i = 0, j = 0; i < rgb.size(); i += 3, j += 4) {
    bgra[j] = rgb[i + 2];
    bgra[j + 1] = rgb[i + 1];
    bgra[j + 2] = rgb[i];
    bgra[j + 3] = uint8_t(i * 7);
  }
  return bgra;
}

std::vector<uint8_t> compress_with(int (*routine)(const uint8_t *, int, int, ptrdiff_t,
                                                  uint8_t *, size_t *, int),
                                   const std::vector<uint8_t> &pixels, int width, int height,
                                   ptrdiff_t stride, int quality) {
  std::vector<uint8_t> out(size_t(width) * height * 4 + 8192);
  size_t size = out.size();
  if (routine(pixels.data(), width, height, stride, out.data(), &size, quality) != 0) return {};
  out.resize(size);
  return out;
}

TEST(JpegEncodeUnit, OffersOneMjpgFormatForRgbBgraAndGrey) {
  for (guint32 code : {KOV_PIX_FMT_RGB3, KOV_PIX_FMT_BGR4, KOV_PIX_FMT_GREY}) {
    Ref<KovUnit> source =
        kovtest::make_source(code, 640, 480, kov_pixel_format_min_row_stride(code, 640));
    Ref<KovUnit> encoder = kovtest::create_unit("convert.jpeg_compress");
    ASSERT_TRUE(encoder);
    kov_unit_set_input(encoder.get(), source.get());
    GList *formats = kov_unit_get_output_formats(encoder.get());
    ASSERT_EQ(g_list_length(formats), 1u);
    auto *f = static_cast<KovUnitFormat *>(formats->data);
    EXPECT_EQ(f->pixelformat, KOV_PIX_FMT_MJPG);
    EXPECT_EQ(f->width, 640);
    EXPECT_EQ(f->height, 480);
    EXPECT_EQ(f->row_stride, 0);
    g_list_free(formats);
  }
  for (guint32 code : {KOV_PIX_FMT_BGR3, KOV_PIX_FMT_BA81, KOV_PIX_FMT_MJPG}) {
    Ref<KovUnit> source =
        kovtest::make_source(code, 640, 480, kov_pixel_format_min_row_stride(code, 640));
    ASSERT_NE(kov_unit_get_output_format(source.get()), nullptr);
    Ref<KovUnit> encoder = kovtest::create_unit("convert.jpeg_compress");
    kov_unit_set_input(encoder.get(), source.get());
    EXPECT_EQ(kov_unit_get_output_formats(encoder.get()), nullptr);
  }
}

TEST(JpegEncodeUnit, QualityControlRangeAndDefault) {
  Ref<KovUnit> encoder = kovtest::create_unit("convert.jpeg_compress");
  KovUnitControl *q = kov_unit_find_control(encoder.get(), "quality");
  ASSERT_NE(q, nullptr);
  EXPECT_STREQ(kov_unit_control_get_label(q), "Quality");
  EXPECT_EQ(kov_unit_control_get_int(q), 94);
  EXPECT_EQ(kov_unit_control_get_min(q), 1.0);
  EXPECT_EQ(kov_unit_control_get_max(q), 100.0);
  EXPECT_EQ(kov_unit_control_get_step(q), 1.0);
  EXPECT_TRUE(kov_unit_control_set_int(q, 1, nullptr));
  EXPECT_TRUE(kov_unit_control_set_int(q, 100, nullptr));
}

TEST(JpegEncodeUnit, RgbRoundTripKeepsAPhotographAbove40dB) {
  const auto photo = jpegtest::photo_rgb(640, 480);
  EncodeChain chain(KOV_PIX_FMT_RGB3, 640, 480, 1920);
  Ref<KovUnit> decoder = kovtest::create_unit("convert.jpeg_decompress");
  kov_unit_set_input(decoder.get(), chain.encoder.get());
  Recorder decoded(decoder.get());
  kov_unit_stream_init(decoder.get(), nullptr);
  chain.push(photo);
  kov_unit_stream_shutdown(decoder.get());

  ASSERT_EQ(chain.recorder->count(), 1u);
  const auto &jpeg = chain.recorder->bytes[0];
  EXPECT_EQ(chain.recorder->frames[0]->bytesused, jpeg.size());
  EXPECT_GE(chain.recorder->frames[0]->length, 640u * 480 * 4);
  ASSERT_GE(jpeg.size(), 4u);
  EXPECT_EQ(jpeg[0], 0xFF);
  EXPECT_EQ(jpeg[1], 0xD8);
  EXPECT_EQ(jpeg[jpeg.size() - 2], 0xFF);
  EXPECT_EQ(jpeg[jpeg.size() - 1], 0xD9);
  EXPECT_EQ(jpegtest::count_huffman_segments(jpeg), 4);  // the image carries its tables
  EXPECT_EQ(chain.recorder->formats[0]->pixelformat, KOV_PIX_FMT_MJPG);

  ASSERT_EQ(decoded.count(), 1u);
  EXPECT_GT(jpegtest::psnr(decoded.bytes[0], photo), 40.0);
  const auto reference = jpegtest::decode(jpeg);
  ASSERT_TRUE(reference.ok);
  EXPECT_EQ(reference.components, 3);
  EXPECT_EQ(reference.pixels, decoded.bytes[0]);
}

TEST(JpegEncodeUnit, GreyGivesOneComponent) {
  auto grey = jpegtest::photo_rgb(64, 48);
  grey.resize(64 * 48);  // any bytes make a grey picture
  EncodeChain chain(KOV_PIX_FMT_GREY, 64, 48, 64);
  chain.push(grey);
  ASSERT_EQ(chain.recorder->count(), 1u);
  const auto image = jpegtest::decode(chain.recorder->bytes[0], true);
  ASSERT_TRUE(image.ok);
  EXPECT_EQ(image.components, 1);
  EXPECT_EQ(image.width, 64);
  EXPECT_EQ(image.height, 48);
  EXPECT_GT(jpegtest::psnr(image.pixels, grey), 35.0);
}

TEST(JpegEncodeUnit, BgraGivesTheSameImageAsRgbOfTheSameColours) {
  const auto rgb = jpegtest::photo_rgb(37, 21);
  EncodeChain from_rgb(KOV_PIX_FMT_RGB3, 37, 21, 37 * 3);
  EncodeChain from_bgra(KOV_PIX_FMT_BGR4, 37, 21, 37 * 4);
  from_rgb.push(rgb);
  from_bgra.push(rgb_to_bgra(rgb));
  ASSERT_EQ(from_rgb.recorder->count(), 1u);
  ASSERT_EQ(from_bgra.recorder->count(), 1u);
  EXPECT_EQ(from_rgb.recorder->bytes[0], from_bgra.recorder->bytes[0]);
  EXPECT_EQ(jpegtest::decode(from_bgra.recorder->bytes[0]).components, 3);
}

TEST(JpegEncodeUnit, PaddedRowsCompressLikePackedRows) {
  const int w = 5, h = 7, stride = 24;
  const auto packed = jpegtest::photo_rgb(w, h);
  std::vector<uint8_t> padded(size_t(stride) * (h - 1) + w * 3, 0xEE);
  for (int y = 0; y < h; ++y) memcpy(&padded[size_t(y) * stride], &packed[size_t(y) * w * 3], w * 3);
  EncodeChain chain(KOV_PIX_FMT_RGB3, w, h, stride);
  chain.push(padded);  // the last row carries no padding
  ASSERT_EQ(chain.recorder->count(), 1u);
  EXPECT_EQ(chain.recorder->bytes[0],
            compress_with(kov::jpeg_encode::compress_rgb, packed, w, h, w * 3, 94));
}

TEST(JpegEncodeUnit, QualityChangeAppliesToTheNextFrame) {
  const auto photo = jpegtest::photo_rgb(64, 64);
  EncodeChain chain(KOV_PIX_FMT_RGB3, 64, 64, 192);
  chain.push(photo);
  ASSERT_TRUE(kov_unit_control_set_int(chain.quality(), 10, nullptr));
  chain.push(photo);
  ASSERT_EQ(chain.recorder->count(), 2u);
  EXPECT_EQ(chain.recorder->bytes[0],
            compress_with(kov::jpeg_encode::compress_rgb, photo, 64, 64, 192, 94));
  EXPECT_EQ(chain.recorder->bytes[1],
            compress_with(kov::jpeg_encode::compress_rgb, photo, 64, 64, 192, 10));
  EXPECT_LT(chain.recorder->bytes[1].size(), chain.recorder->bytes[0].size());
}

TEST(JpegEncodeUnit, OutputIsLibjpegsOwnAtTheSameQuality) {
  // Byte for byte what libjpeg makes of the picture with its defaults and
  // the control's quality, for colour and grey, across the quality range.
  const auto photo = jpegtest::photo_rgb(24, 16);
  std::vector<uint8_t> grey = photo;
  grey.resize(24 * 16);
  for (int quality : {1, 2, 50, 93, 94, 99, 100}) {
    SCOPED_TRACE(quality);
    jpegtest::EncodeOptions options;
    options.quality = quality;
    EncodeChain rgb(KOV_PIX_FMT_RGB3, 24, 16, 72);
    EncodeChain mono(KOV_PIX_FMT_GREY, 24, 16, 24);
    for (EncodeChain *chain : {&rgb, &mono}) {
      ASSERT_TRUE(kov_unit_control_set_int(chain->quality(), quality, nullptr));
    }
    rgb.push(photo);
    mono.push(grey);
    ASSERT_EQ(rgb.recorder->count(), 1u);
    ASSERT_EQ(mono.recorder->count(), 1u);
    EXPECT_EQ(rgb.recorder->bytes[0], jpegtest::encode(photo, 24, 16, 3, options));
    EXPECT_EQ(mono.recorder->bytes[0], jpegtest::encode(grey, 24, 16, 1, options));
  }
}

TEST(JpegEncodeUnit, TinyFramesOfNoiseCompressAtQuality100) {
  for (auto [w, h] : {std::pair{1, 1}, {8, 8}, {3, 5}, {7, 1}, {17, 16}}) {
    EncodeChain chain(KOV_PIX_FMT_BGR4, w, h, w * 4);
    kov_unit_control_set_int(chain.quality(), 100, nullptr);
    chain.push(jpegtest::noise(w, h, 4));
    ASSERT_EQ(chain.recorder->count(), 1u) << w << "x" << h;
    const auto image = jpegtest::decode(chain.recorder->bytes[0]);
    ASSERT_TRUE(image.ok);
    EXPECT_EQ(image.width, w);
    EXPECT_EQ(image.height, h);
  }
}

TEST(JpegEncodeUnit, KeepsTheFramesMetadata) {
  EncodeChain chain(KOV_PIX_FMT_GREY, 8, 8, 8);
  auto frame = kovtest::make_frame(std::vector<uint8_t>(64, 128));
  frame->timestamp = 123456789;
  const gint32 roi[4] = {1, 2, 3, 4};
  kov_framebuffer_metadata_set(frame.get(), "roi", roi, sizeof roi);
  kovtest::source_push(chain.source.get(), frame.get());
  ASSERT_EQ(chain.recorder->count(), 1u);
  EXPECT_EQ(chain.recorder->frames[0]->timestamp, 123456789);
  gsize length = 0;
  const void *stored = kov_framebuffer_metadata_get(chain.recorder->frames[0].get(), "roi", &length);
  ASSERT_EQ(length, sizeof roi);
  EXPECT_EQ(memcmp(stored, roi, sizeof roi), 0);
}

TEST(JpegEncodeUnit, DropsShortFramesAndFramesWhileNotStreaming) {
  auto result = kovtest::run_in_child([] {
    EncodeChain chain(KOV_PIX_FMT_RGB3, 16, 4, 64);
    // Needs 64 x 3 + 48 = 240 bytes.
    chain.push(std::vector<uint8_t>(239, 1));
    chain.push(std::vector<uint8_t>(240, 1));
    printf("%zu\n", chain.recorder->count());

    // A frame handed straight to a unit that is not streaming.
    kov_unit_stream_shutdown(chain.encoder.get());
    auto frame = kovtest::make_frame(std::vector<uint8_t>(256, 1));
    KOV_UNIT_GET_CLASS(chain.encoder.get())
        ->input_frame_ready(chain.encoder.get(), frame.get(),
                            kov_unit_get_output_format(chain.source.get()));
    printf("%zu\n", chain.recorder->count());
  });
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out, "1\n1\n");
  EXPECT_THAT(result.err, HasSubstr("frame dropped: 239 bytes, 240 needed\n"));
  EXPECT_THAT(result.err, HasSubstr("frame dropped: the unit is not streaming\n"));
}

// Runs in a fresh process (see TracesUnderTheFilterCategory): the trace
// reads KOV_DBG once per process, at the module's first trace line.
TEST(JpegEncodeTrace, DISABLED_TracedChain) {
  EncodeChain chain(KOV_PIX_FMT_GREY, 8, 8, 8);
  chain.push(std::vector<uint8_t>(64, 9));
}

TEST(JpegEncodeUnit, TracesUnderTheFilterCategory) {
  auto result = kovtest::run_program(
      {kovtest::bin_dir() + "/jpeg_encode_test", "--gtest_also_run_disabled_tests",
       "--gtest_filter=JpegEncodeTrace.DISABLED_TracedChain"},
      {{"KOV_DBG", "filter"}});
  EXPECT_EQ(result.exit_status, 0) << result.out;
  EXPECT_EQ(result.err,
            "\x1b[34;40mFilter: jpeg compress constructor\n\x1b[0m"
            "\x1b[34;40mFilter: [JPEG Compress] iterate\n\x1b[0m");
}

// The compress routine itself, as the unit calls it.

TEST(JpegCompressRoutine, StopsAtTheEndOfASmallBufferWithoutWritingPastIt) {
  const auto pixels = jpegtest::noise(64, 64, 3);
  auto result = kovtest::run_in_child([&] {
    // The output space is followed by canary bytes that must stay untouched.
    const size_t space = 2000, canary = 64;
    auto *out = static_cast<uint8_t *>(malloc(space + canary));
    memset(out + space, 0xA5, canary);
    size_t size = space;
    const int rc = kov::jpeg_encode::compress_rgb(pixels.data(), 64, 64, 192, out, &size, 100);
    bool intact = true;
    for (size_t i = space; i < space + canary; ++i) intact = intact && out[i] == 0xA5;
    printf("%d %zu %d\n", rc, size, intact);
    free(out);

    // An exactly sized allocation: a write past it is a heap overflow.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[1000]);
    size = 1000;
    printf("%d\n", kov::jpeg_encode::compress_bgra(pixels.data(), 32, 32, 96 + 32, exact.get(),
                                                   &size, 100));
    // The next image compresses normally.
    printf("%zu\n", compress_with(kov::jpeg_encode::compress_rgb, pixels, 64, 64, 192, 100).size());
  });
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.err, std::string(kBufferFull) + kBufferFull);
  int rc = 0, intact = 0, rc2 = 0;
  size_t size = 1, next = 0;
  ASSERT_EQ(sscanf(result.out.c_str(), "%d %zu %d\n%d\n%zu", &rc, &size, &intact, &rc2, &next), 5)
      << result.out;
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(intact, 1);
  EXPECT_EQ(rc2, -1);
  EXPECT_GT(next, 2000u);
}

TEST(JpegCompressRoutine, LibraryErrorIsReportedAndTheNextImageCompresses) {
  const auto grey = jpegtest::noise(16, 16, 1);
  auto result = kovtest::run_in_child([&] {
    std::vector<uint8_t> out(70000 * 4 + 8192);
    size_t size = out.size();
    printf("%d\n", kov::jpeg_encode::compress_gray(grey.data(), 0, 16, 16, out.data(), &size, 90));
    std::vector<uint8_t> wide(70000);
    size = out.size();
    printf("%d\n", kov::jpeg_encode::compress_gray(wide.data(), 70000, 1, 70000, out.data(),
                                                    &size, 90));
    const auto next = compress_with(kov::jpeg_encode::compress_gray, grey, 16, 16, 16, 90);
    printf("%d\n", jpegtest::decode(next, true).ok);
  });
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out, "-1\n-1\n1\n");
  EXPECT_EQ(result.err,
            "Empty JPEG image (DNL not supported)\n"
            "Maximum supported image dimension is 65500 pixels\n");
}

}  // namespace
