// Frame ownership: frames wrapped around another frame's bytes, and the
// pass-through format helper.
#include <gtest/gtest.h>

#include "test_support.h"

using kovtest::Ref;

namespace {

// A reference to a frame that the test takes over.
Ref<KovFrameBuffer> adopt(KovFrameBuffer *frame) { return Ref<KovFrameBuffer>(frame); }

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

}  // namespace
