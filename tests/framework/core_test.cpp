// SPDX-License-Identifier: LGPL-2.1-or-later
// Framework core: formats, frames, controls, negotiation, streaming, delivery.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "buffer_pool.h"
#include "test_support.h"

using kovtest::Ref;

namespace {

// A filter that offers, for any input, a GREY and an RGB3 format of the
// input's size (or nothing for MJPG), and records what it is asked to do.
struct ProbeUnit {
  KovUnit parent;
  int stream_inits;
  int stream_shutdowns;
  int frames;
  int format_changes;
  KovUnitFormat *last_init_format;
  gboolean refuse_start;
  gboolean refuse_controls;
};
struct ProbeUnitClass {
  KovUnitClass parent_class;
};

G_DEFINE_TYPE(ProbeUnit, probe_unit, KOV_TYPE_UNIT)

gint probe_stream_init(KovUnit *unit, KovUnitFormat *format) {
  auto *p = reinterpret_cast<ProbeUnit *>(unit);
  p->stream_inits++;
  p->last_init_format = format;
  return p->refuse_start ? -1 : 0;
}
gint probe_stream_shutdown(KovUnit *unit) {
  reinterpret_cast<ProbeUnit *>(unit)->stream_shutdowns++;
  return 0;
}
void probe_input_frame_ready(KovUnit *unit, KovFrameBuffer *frame, KovUnitFormat *) {
  reinterpret_cast<ProbeUnit *>(unit)->frames++;
  kov_unit_produce_frame(unit, frame, kov_unit_get_output_format(unit));
}
gboolean probe_control_change(KovUnit *unit, KovUnitControl *, const GValue *proposed,
                              GValue *store) {
  if (reinterpret_cast<ProbeUnit *>(unit)->refuse_controls) return FALSE;
  g_value_copy(proposed, store);
  return TRUE;
}
void probe_on_format(KovUnit *unit, KovUnitFormat *format, gpointer) {
  reinterpret_cast<ProbeUnit *>(unit)->format_changes++;
  kov_unit_remove_all_output_formats(unit);
  if (format == nullptr || format->pixelformat == KOV_PIX_FMT_MJPG) return;
  kov_unit_add_output_format(unit, KOV_PIX_FMT_GREY, "grey", format->width, format->height,
                             format->width);
  kov_unit_add_output_format(unit, KOV_PIX_FMT_RGB3, "rgb", format->width, format->height,
                             format->width * 3);
}
void probe_unit_class_init(ProbeUnitClass *klass) {
  KovUnitClass *u = KOV_UNIT_CLASS(klass);
  u->stream_init = probe_stream_init;
  u->stream_shutdown = probe_stream_shutdown;
  u->input_frame_ready = probe_input_frame_ready;
  u->control_change = probe_control_change;
}
void probe_unit_init(ProbeUnit *unit) {
  g_signal_connect(unit, "input-format-changed", G_CALLBACK(probe_on_format), nullptr);
}

Ref<KovUnit> make_probe() { return Ref<KovUnit>(KOV_UNIT(g_object_new(probe_unit_get_type(), nullptr))); }
ProbeUnit *probe(const Ref<KovUnit> &u) { return reinterpret_cast<ProbeUnit *>(u.get()); }

}  // namespace

TEST(FormatTest, FourCharacterCodesHaveTheFirstCharacterInTheLowestByte) {
  EXPECT_EQ(KOV_PIX_FMT_RGB3, 0x33424752u);
  EXPECT_EQ(KOV_PIX_FMT_GREY, 0x59455247u);
  EXPECT_EQ(KOV_PIX_FMT_LG16, 0x3631474Cu);
  EXPECT_EQ(KOV_PIX_FMT_FG32, 0x32334746u);
  EXPECT_EQ(KOV_PIX_FMT_BA81, 0x31384142u);
  EXPECT_EQ(KOV_PIX_FMT_MJPG, 0x47504A4Du);
  EXPECT_EQ(kov_pixel_format_from_string("XXX4"), 0x34585858u);
  EXPECT_EQ(kov_pixel_format_from_string("GRE"), 0u);
  EXPECT_EQ(kov_pixel_format_from_string("GREYY"), 0u);
  gchar buf[11];
  EXPECT_STREQ(kov_pixel_format_to_string(KOV_PIX_FMT_I420, buf), "I420");
  EXPECT_STREQ(kov_pixel_format_to_string(0x165, buf), "0x165");
}

TEST(FrameBufferTest, AllocatedMemoryIsAlignedAndRecycledBySize) {
  KovFrameBuffer *a = kov_framebuffer_new_alloc(1000);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a->data) % 64, 0u);
  EXPECT_EQ(a->length, 1000u);
  EXPECT_EQ(a->bytesused, 0u);
  guint8 *first = a->data;
  g_object_unref(a);
  KovFrameBuffer *b = kov_framebuffer_new_alloc(1000);
  EXPECT_EQ(b->data, first);
  g_object_unref(b);
}

TEST(FrameBufferTest, PoolKeepsFewSizesWhenEveryFrameHasAnotherSize) {
  kov::BufferPool pool;
  // Motion-JPEG: every frame a different length.
  for (gsize size = 1000; size < 3000; ++size) pool.give(pool.take(size), size);
  EXPECT_EQ(pool.size_count(), kov::BufferPool::kMaxSizes);
  EXPECT_EQ(pool.block_count(), kov::BufferPool::kMaxSizes);
  // The sizes used last stay (2984 to 2999); a new size pushes out the oldest.
  void *recent = pool.take(2999);
  void *again = pool.take(2999);
  pool.give(again, 2999);
  pool.give(recent, 2999);
  EXPECT_EQ(pool.take(2999), recent);
  pool.give(recent, 2999);
  void *kept = pool.take(2985);
  pool.give(kept, 2985);
  std::vector<void *> blocks;
  for (size_t i = 0; i < kov::BufferPool::kMaxPerSize + 2; ++i) blocks.push_back(pool.take(64));
  for (void *b : blocks) pool.give(b, 64);  // two beyond the count are freed
  EXPECT_EQ(pool.size_count(), kov::BufferPool::kMaxSizes);
  EXPECT_EQ(pool.take(2985), kept);
  pool.give(kept, 2985);
  // 15 sizes of one block, 2999 with two, 64 with a full count.
  EXPECT_EQ(pool.block_count(), kov::BufferPool::kMaxSizes + kov::BufferPool::kMaxPerSize);
  // A block larger than the whole budget is never kept.
  pool.give(std::malloc(16), kov::BufferPool::kMaxPooledBytes + 1);
  EXPECT_EQ(pool.block_count(), kov::BufferPool::kMaxSizes + kov::BufferPool::kMaxPerSize);
}

TEST(FrameBufferTest, WrappedMemoryIsNeitherCopiedNorFreed) {
  std::vector<guint8> memory(64, 7);
  KovFrameBuffer *f = kov_framebuffer_new(memory.data(), memory.size());
  EXPECT_EQ(f->data, memory.data());
  g_object_unref(f);
  EXPECT_EQ(memory[63], 7);
}

TEST(FrameBufferTest, MetadataIsCopiedWithTheTimestamp) {
  Ref<KovFrameBuffer> from(kov_framebuffer_new(nullptr, 0));
  Ref<KovFrameBuffer> to(kov_framebuffer_new(nullptr, 0));
  const gint32 roi[4] = {1, -2, 3, 4};
  kov_framebuffer_metadata_set(from.get(), "roi", roi, sizeof roi);
  kov_framebuffer_metadata_set(from.get(), "empty", nullptr, 0);
  from->timestamp = 123456789012345;
  kov_framebuffer_metadata_set(to.get(), "roi", "x", 1);
  kov_framebuffer_copy_metadata(to.get(), from.get());

  gsize length = 99;
  auto *got = static_cast<const gint32 *>(kov_framebuffer_metadata_get(to.get(), "roi", &length));
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(length, 16u);
  EXPECT_EQ(std::memcmp(got, roi, 16), 0);
  EXPECT_NE(kov_framebuffer_metadata_get(to.get(), "empty", &length), nullptr);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(to->timestamp, 123456789012345);
  EXPECT_EQ(kov_framebuffer_metadata_get(to.get(), "missing", &length), nullptr);
  EXPECT_EQ(length, 0u);

  GList *keys = kov_framebuffer_metadata_keys(to.get());
  ASSERT_EQ(g_list_length(keys), 2u);
  EXPECT_STREQ(static_cast<const char *>(keys->data), "empty");
  EXPECT_STREQ(static_cast<const char *>(keys->next->data), "roi");
  g_list_free(keys);
}

class ControlTest : public ::testing::Test {
 protected:
  Ref<KovUnit> unit = make_probe();
};

TEST_F(ControlTest, IntControlRefusesValuesOutsideTheRangeOrOffTheStepGrid) {
  KovUnitControl *c = kov_unit_add_control_int(unit.get(), "aperture", "Aperture", 3, 7, 2, 5, TRUE);
  GError *error = nullptr;
  EXPECT_FALSE(kov_unit_control_set_int(c, 4, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code, KOV_ERROR_OUT_OF_RANGE);
  EXPECT_NE(std::string(error->message).find("aperture"), std::string::npos);
  g_clear_error(&error);
  EXPECT_FALSE(kov_unit_control_set_int(c, 9, &error));
  g_clear_error(&error);
  EXPECT_FALSE(kov_unit_control_set_int(c, 1, &error));
  g_clear_error(&error);
  EXPECT_EQ(kov_unit_control_get_int(c), 5);
  EXPECT_TRUE(kov_unit_control_set_int(c, 7, &error));
  EXPECT_EQ(kov_unit_control_get_int(c), 7);
  EXPECT_TRUE(kov_unit_control_set_from_string(c, "3", nullptr));
  EXPECT_EQ(kov_unit_control_get_int(c), 3);
  EXPECT_FALSE(kov_unit_control_set_from_string(c, "3x", &error));
  EXPECT_EQ(error->code, KOV_ERROR_BAD_VALUE);
  g_clear_error(&error);
}

TEST_F(ControlTest, ValuesOfTheWrongTypeNeverReachTheUnit) {
  KovUnitControl *c = kov_unit_add_control_float(unit.get(), "t", "T", 0.0f, 10.0f, 1.0f, 2.5f, TRUE);
  GValue v = G_VALUE_INIT;
  g_value_init(&v, G_TYPE_INT);
  g_value_set_int(&v, 3);
  GError *error = nullptr;
  EXPECT_FALSE(kov_unit_control_set_value(c, &v, &error));
  EXPECT_EQ(error->code, KOV_ERROR_BAD_VALUE);
  g_clear_error(&error);
  g_value_unset(&v);
  EXPECT_FLOAT_EQ(kov_unit_control_get_float(c), 2.5f);
  EXPECT_FALSE(kov_unit_control_set_from_string(c, "nan", nullptr));
  EXPECT_FALSE(kov_unit_control_set_from_string(c, "10.5", nullptr));
  EXPECT_TRUE(kov_unit_control_set_from_string(c, "9.75", nullptr));
  EXPECT_FLOAT_EQ(kov_unit_control_get_float(c), 9.75f);
  EXPECT_EQ(kov_unit_control_get_int(c), 0);  // getter of the wrong kind
}

TEST_F(ControlTest, BooleansAndEnumsParseTheirWords) {
  KovUnitControl *b = kov_unit_add_control_boolean(unit.get(), "flip-h", "Horiz flip", FALSE, TRUE);
  for (const char *t : {"true", "yes", "1", "TRUE"}) {
    ASSERT_TRUE(kov_unit_control_set_from_string(b, "false", nullptr));
    EXPECT_TRUE(kov_unit_control_set_from_string(b, t, nullptr)) << t;
    EXPECT_TRUE(kov_unit_control_get_boolean(b)) << t;
  }
  EXPECT_FALSE(kov_unit_control_set_from_string(b, "on", nullptr));

  const KovUnitControlEnumEntry entries[] = {{0, "1", 1}, {1, "5", 1}, {3, "30", 1}, {7, "off", 0}, {0, nullptr, 0}};
  KovUnitControl *e = kov_unit_add_control_enum(unit.get(), "enum", "menu", 0, TRUE, entries);
  EXPECT_TRUE(kov_unit_control_set_from_string(e, "30", nullptr));  // the nick
  EXPECT_EQ(kov_unit_control_get_enum(e), 3);
  EXPECT_TRUE(kov_unit_control_set_from_string(e, "1", nullptr));   // a nick before a value
  EXPECT_EQ(kov_unit_control_get_enum(e), 0);
  EXPECT_FALSE(kov_unit_control_set_enum(e, 2, nullptr));           // not an entry
  EXPECT_FALSE(kov_unit_control_set_enum(e, 7, nullptr));           // disabled entry
  kov_unit_control_force_set_enum(e, 1);
  EXPECT_EQ(kov_unit_control_get_enum(e), 1);
  kov_unit_control_force_set_enum(e, 42);
  EXPECT_EQ(kov_unit_control_get_enum(e), 1);
  guint n = 0;
  kov_unit_control_get_enum_entries(e, &n);
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(kov_unit_find_control(unit.get(), "enum"), e);
  EXPECT_EQ(g_list_length(const_cast<GList *>(kov_unit_get_controls(unit.get()))), 2u);
}

TEST_F(ControlTest, TheUnitCanRefuseAChangeAndChangedIsEmittedOnlyOnStore) {
  KovUnitControl *c = kov_unit_add_control_int(unit.get(), "n", "N", 0, 10, 1, 1, TRUE);
  int changed = 0;
  g_signal_connect_swapped(c, "changed", G_CALLBACK(+[](int *n) { ++*n; }), &changed);
  probe(unit)->refuse_controls = TRUE;
  GError *error = nullptr;
  EXPECT_FALSE(kov_unit_control_set_int(c, 2, &error));
  EXPECT_EQ(error->code, KOV_ERROR_REFUSED);
  g_clear_error(&error);
  EXPECT_EQ(kov_unit_control_get_int(c), 1);
  EXPECT_EQ(changed, 0);
  probe(unit)->refuse_controls = FALSE;
  EXPECT_TRUE(kov_unit_control_set_int(c, 2, nullptr));
  EXPECT_EQ(changed, 1);
}

TEST_F(ControlTest, DisplayFormatIsUsedForIntText) {
  KovUnitControl *c = kov_unit_add_control_int(unit.get(), "int2", "int 2", 0, 255, 1, 127, TRUE);
  // Formats that are not one int conversion are ignored.
  const struct {
    const char *format;
    std::string text;
  } cases[] = {{"0x%02X", "0x7F"}, {"%+5d%%", " +127%"}, {"%s", "127"}, {"%ld", "127"},
               {"%d %d", "127"},   {"%*d", "127"},      {"50%", "127"},
               {"%999d", std::string(996, ' ') + "127"}, {"%2147483648d", "127"}};
  for (const auto &t : cases) {
    kov_unit_control_set_display_format(c, t.format);
    gchar *text = kov_unit_control_value_to_string(c, kov_unit_control_get_value(c));
    EXPECT_EQ(std::string(text != nullptr ? text : "(null)"), t.text) << t.format;
    g_free(text);
  }
}

TEST(NegotiationTest, SettingAnInputAnnouncesItsFormatAndPropagatesDownstream) {
  Ref<KovUnit> src = kovtest::make_source(KOV_PIX_FMT_BGR4, 8, 4, 32);
  Ref<KovUnit> a = make_probe();
  Ref<KovUnit> b = make_probe();
  kov_unit_set_input(b.get(), a.get());
  EXPECT_EQ(kov_unit_get_output_format(b.get()), nullptr);  // a has no format yet
  kov_unit_set_input(a.get(), src.get());
  KovUnitFormat *fa = kov_unit_get_output_format(a.get());
  ASSERT_NE(fa, nullptr);
  EXPECT_EQ(fa->pixelformat, KOV_PIX_FMT_GREY);  // the first offered
  EXPECT_EQ(fa->width, 8);
  ASSERT_NE(kov_unit_get_output_format(b.get()), nullptr);
  EXPECT_EQ(probe(b)->format_changes, 2);
  EXPECT_EQ(kov_unit_get_input(b.get()), a.get());

  // A preferred format is chosen when offered, and the change reaches b.
  kov_unit_set_preferred_format(b.get(), KOV_PIX_FMT_RGB3, 0, 0, 0);
  kovtest::source_set_format(src.get(), KOV_PIX_FMT_RGB3, 16, 2, 48);
  EXPECT_EQ(kov_unit_get_output_format(a.get())->width, 16);
  EXPECT_EQ(kov_unit_get_output_format(b.get())->pixelformat, KOV_PIX_FMT_RGB3);
  EXPECT_EQ(kov_unit_get_output_format(b.get())->row_stride, 48);

  // A refused input leaves both without formats.
  kovtest::source_set_format(src.get(), KOV_PIX_FMT_MJPG, 16, 2, 0);
  EXPECT_EQ(kov_unit_get_output_format(a.get()), nullptr);
  EXPECT_EQ(kov_unit_get_output_format(b.get()), nullptr);
}

TEST(NegotiationTest, ImpossibleFormatsAreNeitherOfferedNorAnnounced) {
  Ref<KovUnit> src = kovtest::make_source(KOV_PIX_FMT_GREY, 4, 4, 4);
  Ref<KovUnit> a = make_probe();
  kov_unit_set_input(a.get(), src.get());
  ASSERT_NE(kov_unit_get_output_format(a.get()), nullptr);
  // A stride that a 32-bit product of width and 4 would wrap to.
  EXPECT_EQ(kov_unit_add_output_format(src.get(), KOV_PIX_FMT_BGR4, nullptr, 134217732, 2, 128),
            nullptr);
  ASSERT_NE(kov_unit_get_error(src.get()), nullptr);
  EXPECT_STREQ(kov_unit_get_error(src.get())->message,
               "format BGR4 134217732x2, row stride 128: a row needs 536870928 bytes");
  kovtest::source_set_format(src.get(), KOV_PIX_FMT_RGB3, 0, 4, 12);
  EXPECT_EQ(kov_unit_get_output_format(src.get()), nullptr);
  EXPECT_EQ(kov_unit_get_output_format(a.get()), nullptr);

  // A format changed after it was offered is announced as none.
  kovtest::source_set_format(src.get(), KOV_PIX_FMT_GREY, 4, 4, 4);
  ASSERT_NE(kov_unit_get_output_format(a.get()), nullptr);
  kov_unit_get_output_format(src.get())->row_stride = -4;
  kov_unit_set_input(a.get(), nullptr);
  kov_unit_set_input(a.get(), src.get());
  EXPECT_EQ(kov_unit_get_output_format(a.get()), nullptr);
  kov_unit_get_output_format(src.get())->row_stride = 4;

  // Width, height and stride all 0: a code offered before its size is known.
  kov_unit_set_error(src.get(), nullptr);
  kovtest::source_set_format(src.get(), KOV_PIX_FMT_RGB3, 0, 0, 0);
  ASSERT_NE(kov_unit_get_output_format(a.get()), nullptr);
  EXPECT_EQ(kov_unit_get_output_format(a.get())->width, 0);
  EXPECT_EQ(kov_unit_get_error(src.get()), nullptr);
  kovtest::source_set_format(src.get(), KOV_PIX_FMT_RGB3, 0, 0, 1);
  EXPECT_EQ(kov_unit_get_output_format(a.get()), nullptr);
}

TEST(NegotiationTest, FormatsChangedOutsideTheHandlerAreAnnouncedOnceInABatch) {
  Ref<KovUnit> src = kovtest::make_source(KOV_PIX_FMT_GREY, 4, 4, 4);
  Ref<KovUnit> a = make_probe();
  kov_unit_set_input(a.get(), src.get());
  const int before = probe(a)->format_changes;
  kov_unit_begin_format_update(src.get());
  kov_unit_remove_all_output_formats(src.get());
  kov_unit_add_output_format(src.get(), KOV_PIX_FMT_GREY, nullptr, 6, 6, 6);
  kov_unit_end_format_update(src.get());
  EXPECT_EQ(probe(a)->format_changes, before + 1);
  kov_unit_remove_all_output_formats(src.get());  // unbatched: announced at once
  EXPECT_EQ(probe(a)->format_changes, before + 2);
  EXPECT_EQ(kov_unit_get_output_format(a.get()), nullptr);
}

TEST(StreamingTest, FramesReachAUnitOnlyWhileItStreams) {
  Ref<KovUnit> src = kovtest::make_source(KOV_PIX_FMT_GREY, 4, 1, 4);
  Ref<KovUnit> a = make_probe();
  kov_unit_set_input(a.get(), src.get());
  int status = 0;
  g_signal_connect_swapped(a.get(), "status-changed", G_CALLBACK(+[](int *n) { ++*n; }), &status);
  kovtest::Recorder out(a.get());
  auto frame = kovtest::make_frame({1, 2, 3, 4});

  kovtest::source_push(src.get(), frame.get());
  EXPECT_EQ(probe(a)->frames, 0);
  ASSERT_EQ(kov_unit_stream_init(a.get(), nullptr), 0);
  EXPECT_TRUE(kov_unit_is_streaming(a.get()));
  EXPECT_EQ(probe(a)->last_init_format, kov_unit_get_output_format(a.get()));
  EXPECT_EQ(status, 1);
  kovtest::source_push(src.get(), frame.get());
  EXPECT_EQ(probe(a)->frames, 1);
  ASSERT_EQ(out.count(), 1u);
  EXPECT_EQ(out.frames[0].get(), frame.get());
  EXPECT_EQ(out.bytes[0], (std::vector<uint8_t>{1, 2, 3, 4}));

  EXPECT_EQ(kov_unit_stream_shutdown(a.get()), 0);
  EXPECT_EQ(kov_unit_stream_shutdown(a.get()), 0);  // not streaming: nothing to do
  EXPECT_EQ(probe(a)->stream_shutdowns, 1);
  EXPECT_EQ(status, 2);
  kovtest::source_push(src.get(), frame.get());
  EXPECT_EQ(probe(a)->frames, 1);
}

TEST(StreamingTest, AStreamingUnitIsRestartedAroundAnInputFormatChange) {
  Ref<KovUnit> src = kovtest::make_source(KOV_PIX_FMT_GREY, 4, 1, 4);
  Ref<KovUnit> a = make_probe();
  kov_unit_set_input(a.get(), src.get());
  ASSERT_EQ(kov_unit_stream_init(a.get(), nullptr), 0);
  kovtest::source_set_format(src.get(), KOV_PIX_FMT_GREY, 8, 2, 8);
  EXPECT_EQ(probe(a)->stream_shutdowns, 1);
  EXPECT_EQ(probe(a)->stream_inits, 2);
  EXPECT_TRUE(kov_unit_is_streaming(a.get()));
  EXPECT_EQ(probe(a)->last_init_format->width, 8);
  // A format the unit cannot take stops it for good.
  kovtest::source_set_format(src.get(), KOV_PIX_FMT_MJPG, 8, 2, 0);
  EXPECT_FALSE(kov_unit_is_streaming(a.get()));
  EXPECT_EQ(probe(a)->stream_inits, 2);
}

TEST(StreamingTest, ARefusedStartLeavesTheUnitStopped) {
  Ref<KovUnit> src = kovtest::make_source(KOV_PIX_FMT_GREY, 4, 1, 4);
  Ref<KovUnit> a = make_probe();
  kov_unit_set_input(a.get(), src.get());
  probe(a)->refuse_start = TRUE;
  EXPECT_EQ(kov_unit_stream_init(a.get(), nullptr), -1);
  EXPECT_FALSE(kov_unit_is_streaming(a.get()));
  EXPECT_EQ(kov_unit_stream_shutdown(a.get()), 0);
  EXPECT_EQ(probe(a)->stream_shutdowns, 0);
}

TEST(StreamingTest, DestroyingAnInputUnlinksItsConsumers) {
  Ref<KovUnit> a = make_probe();
  {
    Ref<KovUnit> src = kovtest::make_source(KOV_PIX_FMT_GREY, 4, 1, 4);
    kov_unit_set_input(a.get(), src.get());
    ASSERT_EQ(kov_unit_stream_init(a.get(), nullptr), 0);
  }
  // a keeps its input alive until it is unlinked.
  ASSERT_NE(kov_unit_get_input(a.get()), nullptr);
  kov_unit_set_input(a.get(), nullptr);
  EXPECT_EQ(kov_unit_get_input(a.get()), nullptr);
  EXPECT_EQ(kov_unit_get_output_format(a.get()), nullptr);
  EXPECT_FALSE(kov_unit_is_streaming(a.get()));
}

// "frame-ready" hands every handler the unit, the frame, the format and its
// own data, in the order its connection asks for: alone (the direct path) and
// beside a second handler, connected plainly and swapped.
TEST(UnitTest, FrameReadyHandlersGetTheirArgumentsWhicheverWayConnected) {
  struct Seen {
    std::vector<std::vector<gpointer>> calls;
  } seen;
  Ref<KovUnit> source = kovtest::make_source(KOV_PIX_FMT_GREY, 2, 1, 2);
  KovUnitFormat *format = kov_unit_get_output_format(source.get());
  Ref<KovFrameBuffer> frame = kovtest::make_frame(std::vector<uint8_t>{1, 2});
  auto plain = +[](KovUnit *unit, KovFrameBuffer *f, KovUnitFormat *fmt, Seen *s) {
    s->calls.push_back({unit, f, fmt, s});
  };
  auto swapped = +[](Seen *s, KovFrameBuffer *f, KovUnitFormat *fmt, KovUnit *unit) {
    s->calls.push_back({unit, f, fmt, s, nullptr});
  };
  const std::vector<gpointer> by_plain = {source.get(), frame.get(), format, &seen};
  const std::vector<gpointer> by_swapped = {source.get(), frame.get(), format, &seen, nullptr};

  gulong first = g_signal_connect(source.get(), "frame-ready", G_CALLBACK(plain), &seen);
  kovtest::source_push(source.get(), frame.get());
  g_signal_connect_swapped(source.get(), "frame-ready", G_CALLBACK(swapped), &seen);
  kovtest::source_push(source.get(), frame.get());
  g_signal_handler_disconnect(source.get(), first);
  kovtest::source_push(source.get(), frame.get());
  EXPECT_EQ(seen.calls,
            (std::vector<std::vector<gpointer>>{by_plain, by_plain, by_swapped, by_swapped}));
}
