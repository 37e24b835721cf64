// SPDX-License-Identifier: LGPL-2.1-or-later
// convert.to_rgb8: pass-through of RGB3, the debayer worker and its BGRA to
// RGB conversion, the order in which JPEG decompressors are chosen (with
// fake "ipp" and "framewave" drivers), format changes while streaming and
// unsupported inputs.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

using kovtest::Ref;

namespace {

// A module reads KOV_DBG once, at its first trace line, and forked children
// inherit that state: enable the driver category before anything loads.
const int trace_setup = setenv("KOV_DBG", "error,driver", 1);

// The unit's instance record, as the unit lays it out.
struct Rgb8Record {
  KovUnit parent;
  KovUnit *worker;
  KovUnitManager *manager;
};

KovUnit *worker_of(KovUnit *unit) { return reinterpret_cast<Rgb8Record *>(unit)->worker; }

/* A fake JPEG decompressor: offers RGB3 of the input's size for MJPG and
 * answers each frame with a frame whose bytes all hold its tag. */
struct FakeDecoder {
  KovUnit parent;
  guint8 tag;
};
struct FakeDecoderClass {
  KovUnitClass parent_class;
};

G_DEFINE_TYPE(FakeDecoder, fake_decoder, KOV_TYPE_UNIT)

void fake_format_changed(KovUnit *unit, KovUnitFormat *in, gpointer) {
  kov_unit_remove_all_output_formats(unit);
  if (in != nullptr && in->pixelformat == KOV_PIX_FMT_MJPG)
    kov_unit_add_output_format(unit, KOV_PIX_FMT_RGB3, "fake", in->width, in->height,
                               3 * in->width);
}

void fake_frame_ready(KovUnit *unit, KovFrameBuffer *, KovUnitFormat *) {
  KovUnitFormat *f = kov_unit_get_output_format(unit);
  auto frame = kovtest::make_frame(
      std::vector<guint8>(size_t(f->row_stride) * f->height, reinterpret_cast<FakeDecoder *>(unit)->tag));
  kov_unit_produce_frame(unit, frame.get(), f);
}

void fake_decoder_class_init(FakeDecoderClass *klass) {
  KOV_UNIT_CLASS(klass)->input_frame_ready = fake_frame_ready;
}
void fake_decoder_init(FakeDecoder *self) {
  g_signal_connect(self, "input-format-changed", G_CALLBACK(fake_format_changed), nullptr);
}

gpointer make_fake(guint8 tag) {
  auto *d = static_cast<FakeDecoder *>(g_object_new(fake_decoder_get_type(), nullptr));
  d->tag = tag;
  return d;
}
gpointer make_ipp() { return make_fake('I'); }
gpointer make_framewave() { return make_fake('F'); }

void register_fake(const char *package, KovUnitCreateFunc create) {
  KovUnitManager *manager = kov_unit_manager_get_and_ref();
  KovUnitDriver *driver =
      kov_unit_driver_new_stock_full(package, "jpeg_decompress", "Fake JPEG", 0, create, nullptr);
  kov_unit_manager_register_driver(manager, driver);
  g_object_unref(driver);
  g_object_unref(manager);
}

bool known(const char *id) {
  KovUnitManager *manager = kov_unit_manager_get_and_ref();
  const bool found = kov_unit_manager_find_unit_description(manager, id) != nullptr;
  g_object_unref(manager);
  return found;
}

class Rgb8ConvertTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unit_ = kovtest::create_unit("convert.to_rgb8");
    ASSERT_TRUE(unit_) << "plug-in not loaded";
  }
  void TearDown() override {
    if (unit_) kov_unit_stream_shutdown(unit_.get());
    if (source_) kov_unit_stream_shutdown(source_.get());
  }
  void link(guint32 code, int w, int h, int stride, const char *name = nullptr) {
    source_ = kovtest::make_source(code, w, h, stride, name);
    kov_unit_set_input(unit_.get(), source_.get());
  }
  int start() {
    kov_unit_stream_init(source_.get(), nullptr);
    return kov_unit_stream_init(unit_.get(), nullptr);
  }
  std::vector<KovUnitFormat *> formats() {
    std::vector<KovUnitFormat *> v;
    GList *list = kov_unit_get_output_formats(unit_.get());
    for (GList *l = list; l != nullptr; l = l->next) v.push_back(KOV_UNIT_FORMAT(l->data));
    g_list_free(list);
    return v;
  }
  Ref<KovUnit> unit_, source_;
};

TEST_F(Rgb8ConvertTest, IdentityAndOnlyTheThreadsControl) {
  EXPECT_STREQ(kov_unit_get_name(unit_.get()), "Convert to 8-bit RGB");
  EXPECT_STREQ(G_OBJECT_TYPE_NAME(unit_.get()), "KovRgb8Convert");
  const GList *controls = kov_unit_get_controls(unit_.get());
  ASSERT_EQ(g_list_length(const_cast<GList *>(controls)), 1u);
  EXPECT_STREQ(kov_unit_control_get_id(KOV_UNIT_CONTROL(controls->data)), "threads");
  EXPECT_TRUE(formats().empty());
  EXPECT_EQ(kov_unit_stream_init(unit_.get(), nullptr), -1);
}

TEST_F(Rgb8ConvertTest, Rgb3PassesThroughAsTheSameFrame) {
  link(KOV_PIX_FMT_RGB3, 640, 480, 1920, "N");
  auto f = formats();
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0]->pixelformat, KOV_PIX_FMT_RGB3);
  EXPECT_EQ(f[0]->width, 640);
  EXPECT_EQ(f[0]->height, 480);
  EXPECT_EQ(f[0]->row_stride, 1920);
  EXPECT_STREQ(f[0]->name, "N");
  EXPECT_EQ(worker_of(unit_.get()), nullptr);
  ASSERT_EQ(start(), 0);
  kovtest::Recorder rec(unit_.get());
  auto frame = kovtest::make_frame(std::vector<guint8>(1920 * 480, 3));
  kovtest::source_push(source_.get(), frame.get());
  ASSERT_EQ(rec.count(), 1u);
  EXPECT_EQ(rec.frames[0].get(), frame.get());
  EXPECT_EQ(rec.formats[0].get(), kov_unit_get_output_format(source_.get()));
}

// BA81: the fast debayer works, only its BGR4 format is offered (as RGB3
// with packed rows), and each BGRA frame becomes a new w × h × 3 frame.
TEST_F(Rgb8ConvertTest, BayerGoesThroughTheDebayersOwnRgb) {
  const int w = 34, h = 6;
  link(KOV_PIX_FMT_BA81, w, h, 40);
  KovUnit *worker = worker_of(unit_.get());
  ASSERT_NE(worker, nullptr);
  EXPECT_STREQ(kov_unit_get_id(worker), "convert.fast_debayer");
  auto f = formats();
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0]->pixelformat, KOV_PIX_FMT_RGB3);
  EXPECT_EQ(f[0]->row_stride, 3 * w);
  auto *wf = static_cast<KovUnitFormat *>(g_object_get_data(G_OBJECT(f[0]), "rgb8_convert:wfmt"));
  ASSERT_NE(wf, nullptr);
  EXPECT_EQ(wf->pixelformat, KOV_PIX_FMT_RGB3);

  ASSERT_EQ(start(), 0);
  EXPECT_TRUE(kov_unit_is_streaming(worker));
  kovtest::Recorder rec(unit_.get());
  kovtest::Recorder worker_rec(worker);
  // B G / G R cells of a flat colour, then a random mosaic.
  std::vector<guint8> flat(40 * h), noise(40 * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < 40; ++x) {
      flat[y * 40 + x] = (y & 1) != (x & 1) ? 100 : (y & 1) ? 200 : 7;
      noise[y * 40 + x] = guint8((x * 131 + y * 71) ^ (x * y));
    }
  auto frame = kovtest::make_frame(flat);
  frame->timestamp = 42;
  kovtest::source_push(source_.get(), frame.get());
  auto frame2 = kovtest::make_frame(noise);
  kovtest::source_push(source_.get(), frame2.get());
  ASSERT_EQ(rec.count(), 2u);
  ASSERT_EQ(rec.bytes[0].size(), size_t(w * h * 3));
  for (int i = 0; i < w * h; ++i) {
    ASSERT_EQ(rec.bytes[0][3 * i], 200) << i;
    ASSERT_EQ(rec.bytes[0][3 * i + 1], 100);
    ASSERT_EQ(rec.bytes[0][3 * i + 2], 7);
  }
  EXPECT_EQ(rec.frames[0]->timestamp, 42);
  EXPECT_EQ(rec.formats[0].get(), kov_unit_get_output_format(unit_.get()));
  // The second frame is the worker's own, with the colours of the BGRA
  // demosaic.
  ASSERT_EQ(worker_rec.count(), 2u);
  EXPECT_EQ(rec.frames[1].get(), worker_rec.frames[1].get());
  const int hw = w / 2, hh = h / 2, ps = hw + 32;
  std::vector<guint8> planes(size_t(ps) * (hh + 2) * 4), bgra(size_t(w) * 4 * h);
  guint8 *origins[4];
  for (int i = 0; i < 4; ++i) origins[i] = planes.data() + size_t(ps) * (hh + 2) * i + ps + 16;
  kov_pixel_split_bayer_planes_8u(origins, ps, noise.data(), 40, hw, hh);
  for (guint8 *o : origins) kov_pixel_replicate_border_8u(o, ps, hw, hh);
  kov_pixel_bayer_interpolate_to_8u_bgra(origins, ps, bgra.data(), 0, w, h, KOV_PIX_FMT_BA81);
  for (int i = 0; i < w * h; ++i)
    for (int c = 0; c < 3; ++c) ASSERT_EQ(rec.bytes[1][3 * i + c], bgra[4 * i + 2 - c]) << i;
}

TEST_F(Rgb8ConvertTest, UnsupportedInputOffersNothing) {
  link(KOV_PIX_FMT_LG16, 8, 8, 16);
  EXPECT_TRUE(formats().empty());
  EXPECT_EQ(worker_of(unit_.get()), nullptr);
  EXPECT_EQ(kov_unit_stream_init(unit_.get(), nullptr), -1);
}

// A format change while streaming stops the unit, rebuilds worker and
// formats and starts again; an unsupported format leaves it stopped.
TEST_F(Rgb8ConvertTest, FormatChangeWhileStreaming) {
  link(KOV_PIX_FMT_BA81, 16, 4, 16);
  ASSERT_EQ(start(), 0);
  KovUnit *debayer = worker_of(unit_.get());
  ASSERT_NE(debayer, nullptr);
  kovtest::Recorder rec(unit_.get());

  kovtest::source_set_format(source_.get(), KOV_PIX_FMT_RGB3, 16, 4, 48);
  EXPECT_TRUE(kov_unit_is_streaming(unit_.get()));
  EXPECT_EQ(worker_of(unit_.get()), nullptr);
  auto rgb = kovtest::make_frame(std::vector<guint8>(48 * 4, 5));
  kovtest::source_push(source_.get(), rgb.get());
  ASSERT_EQ(rec.count(), 1u);
  EXPECT_EQ(rec.frames[0].get(), rgb.get());

  kovtest::source_set_format(source_.get(), KOV_PIX_FMT_XXX4, 20, 4, 32);
  EXPECT_TRUE(kov_unit_is_streaming(unit_.get()));
  ASSERT_NE(worker_of(unit_.get()), nullptr);
  EXPECT_TRUE(kov_unit_is_streaming(worker_of(unit_.get())));
  auto mosaic = kovtest::make_frame(std::vector<guint8>(32 * 4, 9));
  kovtest::source_push(source_.get(), mosaic.get());
  ASSERT_EQ(rec.count(), 2u);
  EXPECT_EQ(rec.bytes[1], std::vector<guint8>(20 * 4 * 3, 9));
  EXPECT_EQ(rec.formats[1]->width, 20);

  kovtest::source_set_format(source_.get(), KOV_PIX_FMT_LG16, 20, 4, 40);
  EXPECT_FALSE(kov_unit_is_streaming(unit_.get()));
  EXPECT_TRUE(formats().empty());
}

TEST_F(Rgb8ConvertTest, ColourSpaceWorkerForBgr3) {
  if (!known("convert.colorspace")) GTEST_SKIP() << "convert.colorspace is not available";
  link(KOV_PIX_FMT_BGR3, 4, 2, 12);
  ASSERT_NE(worker_of(unit_.get()), nullptr);
  EXPECT_STREQ(kov_unit_get_id(worker_of(unit_.get())), "convert.colorspace");
  ASSERT_FALSE(formats().empty());
  EXPECT_EQ(formats()[0]->pixelformat, KOV_PIX_FMT_RGB3);
  ASSERT_EQ(start(), 0);
  kovtest::Recorder rec(unit_.get());
  std::vector<guint8> bgr(24);
  for (size_t i = 0; i < bgr.size(); ++i) bgr[i] = guint8(i * 10);
  auto frame = kovtest::make_frame(bgr);
  kovtest::source_push(source_.get(), frame.get());
  ASSERT_EQ(rec.count(), 1u);
  EXPECT_EQ(rec.formats[0]->pixelformat, KOV_PIX_FMT_RGB3);
  ASSERT_GE(rec.bytes[0].size(), 3u);
  EXPECT_EQ((std::vector<int>{rec.bytes[0][0], rec.bytes[0][1], rec.bytes[0][2]}),
            (std::vector<int>{20, 10, 0}));
}

// Which decompressor an MJPG input gets, in a fresh process each time (the
// fake drivers stay registered for the life of a process). The child prints
// the chosen worker's id and the tag of the first relayed frame.
std::string choose_decoder(bool framewave, bool ipp, std::string *trace) {
  const auto r = kovtest::run_in_child(
      [framewave, ipp] {
        if (framewave) register_fake("framewave", make_framewave);
        if (ipp) register_fake("ipp", make_ipp);
        Ref<KovUnit> unit = kovtest::create_unit("convert.to_rgb8");
        Ref<KovUnit> source = kovtest::make_source(KOV_PIX_FMT_MJPG, 8, 2, 0);
        kov_unit_set_input(unit.get(), source.get());
        KovUnit *worker = worker_of(unit.get());
        printf("%s", worker != nullptr ? kov_unit_get_id(worker) : "none");
        if (worker != nullptr && (framewave || ipp)) {
          kov_unit_stream_init(source.get(), nullptr);
          if (kov_unit_stream_init(unit.get(), nullptr) == 0) {
            kovtest::Recorder rec(unit.get());
            auto frame = kovtest::make_frame(std::vector<guint8>(16, 0));
            kovtest::source_push(source.get(), frame.get());
            if (rec.count() == 1) printf(" %c", rec.bytes[0][0]);
            kov_unit_stream_shutdown(unit.get());
          }
        }
      });
  EXPECT_EQ(r.exit_status, 0) << r.err;
  if (trace != nullptr) *trace = r.err;
  return r.out;
}

TEST(Rgb8DecoderChoiceTest, IppFirstThenFramewaveThenOurOwn) {
  std::string trace;
  EXPECT_EQ(choose_decoder(true, true, &trace), "ipp.jpeg_decompress I");
  EXPECT_NE(trace.find("\x1b[37;40mDriver: using worker unit [ipp.jpeg_decompress]\n\x1b[0m"),
            std::string::npos)
      << trace;
  EXPECT_EQ(trace.find("framewave"), std::string::npos);
  EXPECT_EQ(choose_decoder(true, false, &trace), "framewave.jpeg_decompress F");
  EXPECT_NE(trace.find("using worker unit [framewave.jpeg_decompress]"), std::string::npos);
}

TEST(Rgb8DecoderChoiceTest, OwnDecompressorWhenNoOtherIsKnown) {
  if (!known("convert.jpeg_decompress")) GTEST_SKIP() << "convert.jpeg_decompress is not available";
  std::string trace;
  EXPECT_EQ(choose_decoder(false, false, &trace), "convert.jpeg_decompress");
  EXPECT_NE(trace.find("using worker unit [convert.jpeg_decompress]"), std::string::npos) << trace;
}

}  // namespace
