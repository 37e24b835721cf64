// SPDX-License-Identifier: LGPL-2.1-or-later
// convert.jpeg_decompress: formats, decoded bytes (against libjpeg's own
// decoding), the standard Huffman tables, and frames that are corrupt,
// truncated, of the wrong size or too costly to decode.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "jpeg_images.h"
#include "test_support.h"

using kovtest::Recorder;
using kovtest::Ref;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

const char kFatalPrefix[] = "JPEG decoding error (jpeg_decode:179) - ";

// MJPG source -> convert.jpeg_decompress (RGB3 unless grey), both streaming.
struct DecodeChain {
  Ref<KovUnit> source;
  Ref<KovUnit> decoder;
  std::unique_ptr<Recorder> recorder;

  DecodeChain(int width, int height, bool grey = false) {
    source = kovtest::make_source(KOV_PIX_FMT_MJPG, width, height, 0);
    decoder = kovtest::create_unit("convert.jpeg_decompress");
    if (grey)
      kov_unit_set_preferred_format(decoder.get(), KOV_PIX_FMT_GREY, 0, 0, 0);
    kov_unit_set_input(decoder.get(), source.get());
    recorder = std::make_unique<Recorder>(decoder.get());
    kov_unit_stream_init(source.get(), nullptr);
    kov_unit_stream_init(decoder.get(), nullptr);
  }
  ~DecodeChain() {
    kov_unit_stream_shutdown(decoder.get());
    kov_unit_stream_shutdown(source.get());
  }
  void push(const std::vector<uint8_t> &bytes) {
    kovtest::source_push(source.get(), kovtest::make_frame(bytes).get());
  }
  // A frame whose bytes beyond bytesused are still there (and valid JPEG),
  // so reading past bytesused would show in the picture.
  void push_prefix(const std::vector<uint8_t> &bytes, size_t bytesused) {
    std::vector<uint8_t> copy = bytes;
    Ref<KovFrameBuffer> frame(kov_framebuffer_new(copy.data(), copy.size()));
    frame->bytesused = bytesused;
    kovtest::source_push(source.get(), frame.get());
  }
};

std::vector<uint8_t> photo_jpeg(int w, int h, const jpegtest::EncodeOptions &o = {}) {
  return jpegtest::encode(jpegtest::photo_rgb(w, h), w, h, 3, o);
}

std::vector<uint8_t> grey_jpeg(int w, int h, const jpegtest::EncodeOptions &o = {}) {
  auto grey = jpegtest::photo_rgb(w, h);
  grey.resize(size_t(w) * h);
  return jpegtest::encode(grey, w, h, 1, o);
}

TEST(JpegDecodeUnit, OffersRgbThenGreyForMjpg) {
  Ref<KovUnit> source = kovtest::make_source(KOV_PIX_FMT_MJPG, 640, 480, 0);
  Ref<KovUnit> decoder = kovtest::create_unit("convert.jpeg_decompress");
  ASSERT_TRUE(decoder);
  kov_unit_set_input(decoder.get(), source.get());
  GList *formats = kov_unit_get_output_formats(decoder.get());
  ASSERT_EQ(g_list_length(formats), 2u);
  auto *rgb = static_cast<KovUnitFormat *>(formats->data);
  auto *grey = static_cast<KovUnitFormat *>(formats->next->data);
  EXPECT_EQ(rgb->pixelformat, KOV_PIX_FMT_RGB3);
  EXPECT_EQ(rgb->row_stride, 1920);
  EXPECT_EQ(grey->pixelformat, KOV_PIX_FMT_GREY);
  EXPECT_EQ(grey->row_stride, 640);
  for (auto *f : {rgb, grey}) {
    EXPECT_EQ(f->width, 640);
    EXPECT_EQ(f->height, 480);
    EXPECT_EQ(f->name, nullptr);
  }
  g_list_free(formats);

  Ref<KovUnit> rgb_source = kovtest::make_source(KOV_PIX_FMT_RGB3, 640, 480, 1920);
  kov_unit_set_input(decoder.get(), rgb_source.get());
  EXPECT_EQ(kov_unit_get_output_formats(decoder.get()), nullptr);
}

TEST(JpegDecodeUnit, DecodesRgbAndGreyLikeLibjpeg) {
  const auto jpeg = photo_jpeg(640, 480);
  {
    DecodeChain chain(640, 480);
    chain.push(jpeg);
    ASSERT_EQ(chain.recorder->count(), 1u);
    EXPECT_EQ(chain.recorder->formats[0]->pixelformat, KOV_PIX_FMT_RGB3);
    EXPECT_EQ(chain.recorder->frames[0]->bytesused, 921600u);
    EXPECT_GE(chain.recorder->frames[0]->length, 1228800u);
    EXPECT_EQ(chain.recorder->bytes[0], jpegtest::decode(jpeg).pixels);
  }
  {
    DecodeChain chain(640, 480, true);
    chain.push(jpeg);
    ASSERT_EQ(chain.recorder->count(), 1u);
    EXPECT_EQ(chain.recorder->formats[0]->pixelformat, KOV_PIX_FMT_GREY);
    EXPECT_EQ(chain.recorder->frames[0]->bytesused, 307200u);
    EXPECT_EQ(chain.recorder->bytes[0], jpegtest::decode(jpeg, true).pixels);
  }
}

TEST(JpegDecodeUnit, RgbSamplesComeInRedGreenBlueOrder) {
  std::vector<uint8_t> red(16 * 16 * 3);
  for (size_t i = 0; i < red.size(); i += 3) red[i] = 255;
  DecodeChain chain(16, 16);
  chain.push(jpegtest::encode(red, 16, 16, 3));
  ASSERT_EQ(chain.recorder->count(), 1u);
  const auto &px = chain.recorder->bytes[0];
  EXPECT_GE(px[0], 250);
  EXPECT_LE(px[1], 5);
  EXPECT_LE(px[2], 5);
}

TEST(JpegDecodeUnit, FramesWithoutHuffmanTablesGetTheStandardOnes) {
  const auto with_tables = photo_jpeg(96, 64);
  const auto without = jpegtest::strip_huffman_tables(with_tables);
  ASSERT_EQ(jpegtest::count_huffman_segments(with_tables), 4);
  ASSERT_EQ(jpegtest::count_huffman_segments(without), 0);
  ASSERT_LT(without.size(), with_tables.size());

  DecodeChain chain(96, 64);
  chain.push(without);
  chain.push(with_tables);
  ASSERT_EQ(chain.recorder->count(), 2u);
  EXPECT_EQ(chain.recorder->bytes[0], jpegtest::decode(with_tables).pixels);
  EXPECT_EQ(chain.recorder->bytes[1], chain.recorder->bytes[0]);
}

TEST(JpegDecodeUnit, ImageSpecificHuffmanTablesAreKept) {
  jpegtest::EncodeOptions optimized;
  optimized.optimize = true;
  const auto colour = photo_jpeg(40, 24, optimized);
  const auto grey = grey_jpeg(40, 24, optimized);  // defines slot 0 tables only
  ASSERT_EQ(jpegtest::count_huffman_segments(grey), 2);
  DecodeChain chain(40, 24, true);
  chain.push(colour);
  chain.push(grey);
  ASSERT_EQ(chain.recorder->count(), 2u);
  EXPECT_EQ(chain.recorder->bytes[0], jpegtest::decode(colour, true).pixels);
  EXPECT_EQ(chain.recorder->bytes[1], jpegtest::decode(grey, true).pixels);
}

TEST(JpegDecodeUnit, TinyFramesDecode) {
  for (auto [w, h] : {std::pair{1, 1}, {8, 8}, {3, 5}}) {
    const auto jpeg = photo_jpeg(w, h);
    DecodeChain chain(w, h);
    chain.push(jpeg);
    ASSERT_EQ(chain.recorder->count(), 1u);
    EXPECT_EQ(chain.recorder->bytes[0], jpegtest::decode(jpeg).pixels) << w << "x" << h;
  }
}

TEST(JpegDecodeUnit, WrongSizeLeavesThePreviousPictureAndSaysSo) {
  const auto good = photo_jpeg(640, 480);
  const auto small = photo_jpeg(320, 240);
  auto result = kovtest::run_in_child([&] {
    DecodeChain chain(640, 480);
    chain.push(good);
    chain.push(small);
    printf("%zu %d %zu\n", chain.recorder->count(),
           chain.recorder->bytes[1] == chain.recorder->bytes[0],
           chain.recorder->frames[1]->bytesused);
  });
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out, "2 1 921600\n");
  EXPECT_EQ(result.err, "Error: Buffer was 640x480 but JPEG image is 320x240\n");
}

TEST(JpegDecodeUnit, HugeClaimedSizeIsRefusedBeforeDecoding) {
  // 60000x60000 passes libjpeg's own limit (65500) and must be refused by the
  // size check before the decoder allocates for it; 65535 is refused by libjpeg.
  // So must a header where only one side is wrong: a progressive image would
  // otherwise be read whole (and its scans warned about) before any check.
  const auto small = photo_jpeg(16, 16);
  jpegtest::EncodeOptions progressive;
  progressive.progressive = true;
  const auto small_progressive = photo_jpeg(16, 16, progressive);
  auto result = kovtest::run_in_child([&] {
    DecodeChain chain(16, 16);
    chain.push(small);
    chain.push(jpegtest::with_frame_size(small, 60000, 60000));
    chain.push(jpegtest::with_frame_size(small_progressive, 60000, 60000));
    chain.push(jpegtest::with_frame_size(small, 65535, 65535));
    chain.push(jpegtest::with_frame_size(small_progressive, 16, 60000));
    chain.push(jpegtest::with_frame_size(small_progressive, 60000, 16));
    printf("%zu %d\n", chain.recorder->count(),
           chain.recorder->bytes[5] == chain.recorder->bytes[0]);
  });
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out, "6 1\n");
  EXPECT_EQ(result.err, "Error: Buffer was 16x16 but JPEG image is 60000x60000\n"
                        "Error: Buffer was 16x16 but JPEG image is 60000x60000\n" +
                            std::string(kFatalPrefix) +
                            "Maximum supported image dimension is 65500 pixels\n"
                            "Error: Buffer was 16x16 but JPEG image is 16x60000\n"
                            "Error: Buffer was 16x16 but JPEG image is 60000x16\n");
}

TEST(JpegDecodeUnit, CorruptFrameIsReportedAndTheNextFrameDecodes) {
  const auto good = photo_jpeg(32, 32);
  auto result = kovtest::run_in_child([&] {
    DecodeChain chain(32, 32);
    chain.push(std::vector<uint8_t>{'n', 'o', 't', ' ', 'J', 'P', 'E', 'G'});
    std::vector<uint8_t> bad_table = good;  // a quantisation table number out of range
    for (size_t i = 2; i + 4 < bad_table.size(); ++i)
      if (bad_table[i] == 0xFF && bad_table[i + 1] == 0xDB) {
        bad_table[i + 4] = 0x07;
        break;
      }
    chain.push(bad_table);
    chain.push(good);
    printf("%zu %d\n", chain.recorder->count(),
           chain.recorder->bytes[2] == jpegtest::decode(good).pixels);
  });
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out, "3 1\n");
  EXPECT_EQ(result.err, std::string(kFatalPrefix) +
                            "Not a JPEG file: starts with 0x6e 0x6f\n" + kFatalPrefix +
                            "Bogus DQT index 7\n");
}

TEST(JpegDecodeUnit, TruncatedFramesAreNotReadPastTheirEnd) {
  const auto jpeg = photo_jpeg(128, 128);
  const std::vector<uint8_t> prefix(jpeg.begin(), jpeg.begin() + jpeg.size() * 3 / 4);
  // libjpeg's own memory source also ends a short input with an end-of-image marker.
  const auto expected = jpegtest::decode(prefix);
  ASSERT_TRUE(expected.ok);
  ASSERT_NE(expected.pixels, jpegtest::decode(jpeg).pixels);
  auto result = kovtest::run_in_child([&] {
    DecodeChain chain(128, 128);
    // The rest of the image stays in memory behind bytesused.
    chain.push_prefix(jpeg, prefix.size());
    printf("%d\n", chain.recorder->bytes[0] == expected.pixels);
    // Every cut, from nothing to all but the last byte.
    for (size_t n = 0; n < jpeg.size(); n += 7) chain.push_prefix(jpeg, n);
    printf("%zu\n", chain.recorder->count());
  });
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out, "1\n" + std::to_string(1 + (jpeg.size() + 6) / 7) + "\n");
  EXPECT_THAT(result.err, StartsWith("Premature end of JPEG file\n"
                                     "Premature end of JPEG file\n" +
                                     std::string(kFatalPrefix) +
                                     "Not a JPEG file: starts with 0xff 0xd9\n"));
}

TEST(JpegDecodeUnit, OverlongSegmentStopsAtTheEndOfTheFrame) {
  // SOI, then an APP1 segment that claims 65533 bytes of which 4 are present.
  const std::vector<uint8_t> frame = {0xFF, 0xD8, 0xFF, 0xE1, 0xFF, 0xFF, 1, 2, 3, 4};
  auto result = kovtest::run_in_child([&] {
    DecodeChain chain(8, 8);
    chain.push_prefix(frame, frame.size());
    printf("%zu\n", chain.recorder->count());
  });
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out, "1\n");
  EXPECT_THAT(result.err, HasSubstr(kFatalPrefix));
}

TEST(JpegDecodeUnit, ProgressiveImagesAreLimitedTo100Scans) {
  jpegtest::EncodeOptions many;
  many.scans = 101;
  const auto too_many = grey_jpeg(32, 32, many);
  many.scans = 100;
  const auto enough = grey_jpeg(32, 32, many);
  ASSERT_FALSE(too_many.empty());
  ASSERT_FALSE(enough.empty());
  auto result = kovtest::run_in_child([&] {
    DecodeChain chain(32, 32, true);
    chain.push(too_many);
    chain.push(enough);
    printf("%zu %d\n", chain.recorder->count(),
           chain.recorder->bytes[1] == jpegtest::decode(enough, true).pixels);
  });
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out, "2 1\n");
  EXPECT_EQ(result.err, std::string(kFatalPrefix) + "JPEG image has more than 100 scans\n");
}

TEST(JpegDecodeUnit, FramesWhileNotStreamingAreDropped) {
  DecodeChain chain(16, 16);
  kov_unit_stream_shutdown(chain.decoder.get());
  auto frame = kovtest::make_frame(photo_jpeg(16, 16));
  KOV_UNIT_GET_CLASS(chain.decoder.get())
      ->input_frame_ready(chain.decoder.get(), frame.get(),
                          kov_unit_get_output_format(chain.source.get()));
  EXPECT_EQ(chain.recorder->count(), 0u);
}

TEST(JpegDecodeUnit, KeepsTheFramesMetadata) {
  DecodeChain chain(8, 8);
  auto frame = kovtest::make_frame(photo_jpeg(8, 8));
  frame->timestamp = 42;
  kov_framebuffer_metadata_set(frame.get(), "marker:x", "\x01\x00\x00\x00", 4);
  kovtest::source_push(chain.source.get(), frame.get());
  ASSERT_EQ(chain.recorder->count(), 1u);
  EXPECT_EQ(chain.recorder->frames[0]->timestamp, 42);
  gsize length = 0;
  EXPECT_NE(kov_framebuffer_metadata_get(chain.recorder->frames[0].get(), "marker:x", &length),
            nullptr);
  EXPECT_EQ(length, 4u);
}

}  // namespace
