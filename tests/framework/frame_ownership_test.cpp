// Frame ownership and the pass-through format helper.
#include <gtest/gtest.h>

#include "test_support.h"

using kovtest::Ref;

namespace {

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
