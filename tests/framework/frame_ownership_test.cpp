// SPDX-License-Identifier: LGPL-2.1-or-later
// Frame ownership: frame pools, frames wrapped around another frame's bytes,
// the pass-through format helper, and units whose produced frames a
// listener keeps while the stream goes on.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

using kovtest::FedUnit;
using kovtest::Recorder;
using kovtest::Ref;

namespace {

// A reference to a frame that the test takes over.
Ref<KovFrameBuffer> adopt(KovFrameBuffer *frame) { return Ref<KovFrameBuffer>(frame); }

struct PoolDeleter {
  void operator()(KovFramePool *pool) const { kov_frame_pool_free(pool); }
};
using PoolPtr = std::unique_ptr<KovFramePool, PoolDeleter>;

TEST(FramePoolTest, AFrameNobodyHoldsComesBackCleared) {
  PoolPtr pool(kov_frame_pool_new(100, 2));
  KovFrameBuffer *first = nullptr;
  {
    Ref<KovFrameBuffer> frame = adopt(kov_frame_pool_acquire(pool.get()));
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->length, 100u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(frame->data) % 64, 0u);
    frame->data[99] = 7;
    frame->bytesused = 50;
    frame->timestamp = 123;
    kov_framebuffer_metadata_set(frame.get(), "roi", "abcd", 4);
    first = frame.get();
  }
  Ref<KovFrameBuffer> again = adopt(kov_frame_pool_acquire(pool.get()));
  EXPECT_EQ(again.get(), first);
  EXPECT_EQ(again->bytesused, 0u);
  EXPECT_EQ(again->timestamp, 0);
  EXPECT_EQ(kov_framebuffer_metadata_keys(again.get()), nullptr);
  EXPECT_EQ(again->data[99], 7);  // the bytes are the frame's last ones
}

TEST(FramePoolTest, ASizedPoolIsMadeOnFirstUseAndRemadeForAnotherSize) {
  KovFramePool *raw = nullptr;
  Ref<KovFrameBuffer> a = adopt(kov_frame_pool_acquire_sized(&raw, 32));
  PoolPtr first(raw);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->length, 32u);
  KovFrameBuffer *a_frame = a.get();
  a = Ref<KovFrameBuffer>();
  EXPECT_EQ(adopt(kov_frame_pool_acquire_sized(&raw, 32)).get(), a_frame);
  EXPECT_EQ(raw, first.get());
  first.release();  // the next call frees it
  Ref<KovFrameBuffer> b = adopt(kov_frame_pool_acquire_sized(&raw, 48));
  PoolPtr second(raw);
  EXPECT_EQ(b->length, 48u);
}

TEST(FramePoolTest, AHeldFrameIsNeverHandedOutAgain) {
  PoolPtr pool(kov_frame_pool_new(16, 2));
  Ref<KovFrameBuffer> a = adopt(kov_frame_pool_acquire(pool.get()));
  Ref<KovFrameBuffer> b = adopt(kov_frame_pool_acquire(pool.get()));
  EXPECT_NE(a.get(), b.get());

  // Both kept frames are held: a third one is made outside the pool and
  // freed when its holder drops it.
  KovFrameBuffer *extra = kov_frame_pool_acquire(pool.get());
  ASSERT_NE(extra, nullptr);
  EXPECT_NE(extra, a.get());
  EXPECT_NE(extra, b.get());
  g_object_add_weak_pointer(G_OBJECT(extra), reinterpret_cast<gpointer *>(&extra));
  g_object_unref(extra);
  EXPECT_EQ(extra, nullptr);

  KovFrameBuffer *b_frame = b.get();
  b = Ref<KovFrameBuffer>();
  Ref<KovFrameBuffer> c = adopt(kov_frame_pool_acquire(pool.get()));
  EXPECT_EQ(c.get(), b_frame);
  Ref<KovFrameBuffer> d = adopt(kov_frame_pool_acquire(pool.get()));
  EXPECT_NE(d.get(), a.get());
  EXPECT_NE(d.get(), c.get());

  // Freeing the pool leaves held frames to their holders.
  pool.reset();
  a->data[15] = 1;
  EXPECT_EQ(G_OBJECT(a.get())->ref_count, 1u);
}

TEST(WrappedFrameTest, TheParentLivesAsLongAsTheWrappedFrame) {
  KovFrameBuffer *parent = kov_framebuffer_new_alloc(64);
  g_object_add_weak_pointer(G_OBJECT(parent), reinterpret_cast<gpointer *>(&parent));
  kov_framebuffer_metadata_set(parent, "roi", "abcd", 4);
  KovFrameBuffer *child = kov_framebuffer_new_wrapped(parent, parent->data + 16, 48);
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(child->data, parent->data + 16);
  EXPECT_EQ(child->length, 48u);
  EXPECT_EQ(kov_framebuffer_metadata_keys(child), nullptr);
  g_object_unref(parent);
  ASSERT_NE(parent, nullptr);
  child->data[47] = 5;  // the last byte of the parent's block
  g_object_unref(child);
  EXPECT_EQ(parent, nullptr);
}

TEST(WrappedFrameTest, ForeignMemoryIsReleasedOnceWhenTheLastReferenceGoes) {
  static guint8 bytes[8];
  int released = 0;
  KovFrameBuffer *frame = kov_framebuffer_new_full(
      bytes, sizeof bytes, [](gpointer data) { ++*static_cast<int *>(data); }, &released);
  EXPECT_EQ(frame->data, bytes);
  EXPECT_EQ(frame->length, 8u);
  g_object_ref(frame);  // a listener keeps it
  g_object_unref(frame);
  EXPECT_EQ(released, 0);
  g_object_unref(frame);
  EXPECT_EQ(released, 1);
}

TEST(WrappedFrameTest, RangesOutsideTheParentAreRefused) {
  Ref<KovFrameBuffer> parent = adopt(kov_framebuffer_new_alloc(64));
  guint8 *d = parent->data;
  const struct {
    guint8 *data;
    gsize length;
    bool ok;
  } cases[] = {
      {d, 64, true},       {d + 64, 0, true}, {d + 63, 1, true},   {d + 1, 64, false},
      {d + 65, 0, false},  {d - 1, 1, false}, {d, G_MAXSIZE, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.data - d);
    if (!c.ok)
      g_test_expect_message("kovkit", G_LOG_LEVEL_CRITICAL,
                            "*kov_framebuffer_new_wrapped*assertion*failed");
    Ref<KovFrameBuffer> child = adopt(kov_framebuffer_new_wrapped(parent.get(), c.data, c.length));
    g_test_assert_expected_messages();
    EXPECT_EQ(bool(child), c.ok);
  }
}

TEST(MirrorInputFormatTest, OffersOneCopyOfTheInputsFormatOrNone) {
  Ref<KovUnit> input = kovtest::make_source(KOV_PIX_FMT_RGB3, 5, 3, 16, "five by three");
  Ref<KovUnit> unit = kovtest::make_source(KOV_PIX_FMT_GREY, 8, 8, 8);
  kov_unit_add_output_format(unit.get(), KOV_PIX_FMT_BGR4, nullptr, 8, 8, 32);
  kov_unit_mirror_input_format(unit.get(), kov_unit_get_output_format(input.get()));
  GList *formats = kov_unit_get_output_formats(unit.get());
  ASSERT_EQ(g_list_length(formats), 1u);
  auto *f = static_cast<KovUnitFormat *>(formats->data);
  EXPECT_EQ(f->pixelformat, KOV_PIX_FMT_RGB3);
  EXPECT_STREQ(f->name, "five by three");
  EXPECT_EQ(f->width, 5);
  EXPECT_EQ(f->height, 3);
  EXPECT_EQ(f->row_stride, 16);
  g_list_free(formats);
  kov_unit_mirror_input_format(unit.get(), nullptr);
  EXPECT_EQ(kov_unit_get_output_format(unit.get()), nullptr);
}

/* ---- units whose frames a listener keeps -------------------------------- */

constexpr int kFrames = 5;

// Frame n of a stream: its timestamp is 1000 + n and its "n" metadata n.
Ref<KovFrameBuffer> numbered(const std::vector<uint8_t> &bytes, int n) {
  Ref<KovFrameBuffer> frame = kovtest::make_frame(bytes);
  frame->timestamp = 1000 + n;
  const gint32 value = n;
  kov_framebuffer_metadata_set(frame.get(), "n", &value, sizeof value);
  return frame;
}

std::vector<uint8_t> uniform(size_t size, int n) { return std::vector<uint8_t>(size, 40 + 40 * n); }

// Every byte of the picture within 2 of the grey level of frame n.
void expect_level(const std::vector<uint8_t> &bytes, int n) {
  for (uint8_t b : bytes) ASSERT_LE(std::abs(int(b) - (40 + 40 * n)), 2) << "frame " << n;
}

struct KeptCase {
  const char *name;
  const char *id;
  guint32 code;
  int width, height, stride;
  std::function<std::vector<uint8_t>(int n)> input;
  std::function<void(KovFrameBuffer *frame, int n)> check;  // the picture is frame n's
  std::function<void(KovUnit *unit)> setup;
};

// The frames of the JPEG compressor for uniform 16x16 RGB pictures.
std::vector<std::vector<uint8_t>> jpeg_frames() {
  FedUnit encoder("convert.jpeg_compress", KOV_PIX_FMT_RGB3, 16, 16, 48);
  for (int n = 0; n < kFrames; ++n) encoder.push(numbered(uniform(16 * 16 * 3, n), n).get());
  return encoder.rec->bytes;
}

// The unit's own entry on its output frame.
void expect_entry(KovFrameBuffer *out, const char *key, gsize length) {
  gsize stored = 0;
  EXPECT_NE(kov_framebuffer_metadata_get(out, key, &stored), nullptr) << key;
  EXPECT_EQ(stored, length) << key;
}

std::vector<KeptCase> kept_cases() {
  const auto grey_ramp = [](int n) {
    return std::vector<uint8_t>{uint8_t(n), uint8_t(10 + n), uint8_t(20 + n),
                                uint8_t(30 + n), uint8_t(40 + n), uint8_t(50 + n)};
  };
  const auto flipped_ramp = [](KovFrameBuffer *f, int n) {
    const std::vector<uint8_t> expected = {uint8_t(50 + n), uint8_t(40 + n), uint8_t(30 + n),
                                           uint8_t(20 + n), uint8_t(10 + n), uint8_t(n)};
    EXPECT_EQ(std::vector<uint8_t>(f->data, f->data + f->bytesused), expected);
  };
  const auto level = [](KovFrameBuffer *f, int n) {
    expect_level(std::vector<uint8_t>(f->data, f->data + f->bytesused), n);
  };
  // A step from black to white at column 4 + 2n of a 16x8 grey picture.
  const auto step = [](int n) {
    std::vector<uint8_t> bytes(16 * 8);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = int(i % 16) < 4 + 2 * n ? 0 : 255;
    return bytes;
  };
  const auto edges_move = [](KovFrameBuffer *f, int n) {
    int first = 16;
    for (int x = 15; x >= 0; --x)
      if (f->data[4 * 16 + x] != 0) first = x;
    EXPECT_EQ(first, 3 + 2 * n);
  };
  const auto same_grey = [](KovFrameBuffer *f, int n) {
    EXPECT_EQ(std::vector<uint8_t>(f->data, f->data + f->bytesused), uniform(16 * 16, n));
  };
  const auto jpeg = std::make_shared<std::vector<std::vector<uint8_t>>>(jpeg_frames());
  const auto jpeg_input = [jpeg](int n) { return (*jpeg)[size_t(n)]; };
  const auto is_jpeg = [](KovFrameBuffer *f, int n) {
    ASSERT_GE(f->bytesused, 2u) << n;
    EXPECT_EQ(f->data[0], 0xFF);
    EXPECT_EQ(f->data[1], 0xD8);
  };
  const auto flip_both = [](KovUnit *unit) {
    for (const char *id : {"flip-h", "flip-v"})
      kov_unit_control_set_boolean(kov_unit_find_control(unit, id), TRUE, nullptr);
  };
  const auto canny_row = [](KovUnit *unit) {
    kov_unit_control_set_float(kov_unit_find_control(unit, "thresh1"), 100, nullptr);
    kov_unit_control_set_float(kov_unit_find_control(unit, "thresh2"), 200, nullptr);
    kov_unit_control_set_int(kov_unit_find_control(unit, "aperture"), 3, nullptr);
  };
  return {
      {"flip", "util.flip", KOV_PIX_FMT_GREY, 3, 2, 3, grey_ramp, flipped_ramp, flip_both},
      {"canny", "opencv.convert_canny", KOV_PIX_FMT_GREY, 16, 8, 16, step, edges_move,
       canny_row},
      {"to_rgb8 from Bayer", "convert.to_rgb8", KOV_PIX_FMT_BA81, 8, 8, 8,
       [](int n) { return uniform(64, n); }, level, nullptr},
      {"to_rgb8 from MJPG", "convert.to_rgb8", KOV_PIX_FMT_MJPG, 16, 16, 0, jpeg_input, level,
       nullptr},
      {"jpeg_compress", "convert.jpeg_compress", KOV_PIX_FMT_RGB3, 16, 16, 48,
       [](int n) { return uniform(16 * 16 * 3, n); }, is_jpeg, nullptr},
      {"jpeg_decompress", "convert.jpeg_decompress", KOV_PIX_FMT_MJPG, 16, 16, 0, jpeg_input,
       level, nullptr},
      {"roi", "util.roi", KOV_PIX_FMT_GREY, 16, 16, 16, [](int n) { return uniform(256, n); },
       [same_grey](KovFrameBuffer *f, int n) {
         same_grey(f, n);
         expect_entry(f, "roi", 16);
       },
       nullptr},
      {"hough", "detect.opencv.hough", KOV_PIX_FMT_GREY, 16, 16, 16,
       [](int n) { return uniform(256, n); },
       [same_grey](KovFrameBuffer *f, int n) {
         same_grey(f, n);
         expect_entry(f, "marker:r", 4);
       },
       nullptr},
  };
}

TEST(KeptFramesTest, AListenerThatKeepsEveryFrameSeesFiveDifferentCorrectPictures) {
  for (const KeptCase &c : kept_cases()) {
    SCOPED_TRACE(c.name);
    FedUnit fed(c.id, c.code, c.width, c.height, c.stride);
    ASSERT_TRUE(fed.unit);
    if (c.setup) c.setup(fed.unit.get());
    // The input frames live only as long as someone holds them: the test
    // lets go of each one but the first once it has been handed on.
    Ref<KovFrameBuffer> first_input;
    for (int n = 0; n < kFrames; ++n) {
      Ref<KovFrameBuffer> frame = numbered(c.input(n), n);
      fed.push(frame.get());
      if (n == 0) first_input = frame;
    }
    ASSERT_EQ(fed.rec->count(), size_t(kFrames));
    for (int n = 0; n < kFrames; ++n) {
      KovFrameBuffer *out = fed.rec->frames[n].get();
      const std::vector<uint8_t> now(out->data, out->data + out->bytesused);
      EXPECT_EQ(now, fed.rec->bytes[n]) << "frame " << n << " changed after it was produced";
      EXPECT_EQ(out->timestamp, 1000 + n);
      gsize length = 0;
      auto *value = static_cast<const gint32 *>(kov_framebuffer_metadata_get(out, "n", &length));
      ASSERT_EQ(length, sizeof(gint32));
      EXPECT_EQ(*value, n);
      c.check(out, n);
      for (int m = 0; m < n; ++m) EXPECT_NE(fed.rec->bytes[m], now) << m << " and " << n;
    }
    // The units add their metadata to frames of their own, never to their input.
    EXPECT_EQ(kov_framebuffer_metadata_get(first_input.get(), "roi", nullptr), nullptr);
    EXPECT_EQ(kov_framebuffer_metadata_get(first_input.get(), "marker:r", nullptr), nullptr);
  }
}

TEST(KeptFramesTest, WhenNobodyKeepsFramesAUnitReusesOneFrame) {
  for (const KeptCase &c : kept_cases()) {
    if (std::string(c.id) == "util.roi" || std::string(c.id) == "detect.opencv.hough")
      continue;  // these make a frame around each input's pixels
    SCOPED_TRACE(c.name);
    Ref<KovUnit> source = kovtest::make_source(c.code, c.width, c.height, c.stride);
    Ref<KovUnit> unit = kovtest::create_unit(c.id);
    ASSERT_TRUE(unit);
    if (c.setup) c.setup(unit.get());
    kov_unit_set_input(unit.get(), source.get());
    kov_unit_stream_init(source.get(), nullptr);
    kov_unit_stream_init(unit.get(), nullptr);
    std::vector<gpointer> produced;
    const gulong handler = g_signal_connect(
        unit.get(), "frame-ready",
        G_CALLBACK(+[](KovUnit *, KovFrameBuffer *frame, KovUnitFormat *, gpointer list) {
          static_cast<std::vector<gpointer> *>(list)->push_back(frame);
        }),
        &produced);
    for (int n = 0; n < kFrames; ++n)
      kovtest::source_push(source.get(), numbered(c.input(n), n).get());
    g_signal_handler_disconnect(unit.get(), handler);
    ASSERT_EQ(produced.size(), size_t(kFrames));
    for (gpointer frame : produced) EXPECT_EQ(frame, produced[0]);
    kov_unit_stream_shutdown(unit.get());
    kov_unit_stream_shutdown(source.get());
  }
}

}  // namespace
