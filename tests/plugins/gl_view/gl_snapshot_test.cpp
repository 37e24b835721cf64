// SPDX-License-Identifier: LGPL-2.1-or-later
// kovkit-run --gl-snapshot: the GL view of a running chain written as PNG
// files, read back here.
#include <gtest/gtest.h>

#include <test_support.h>

#include <kovkit/kovkit.h>

#include <string>

namespace {

std::string run_path() { return kovtest::bin_dir() + "/kovkit-run"; }

struct Png {
  KovImageInfo info{};
  guint8 *pixels = nullptr;
  ~Png() { g_free(pixels); }
  guint32 rgb(int x, int y) const {
    const guint8 *p = pixels + (size_t(y) * info.width + x) * 3;
    return guint32(p[0]) << 16 | guint32(p[1]) << 8 | p[2];
  }
};

TEST(GlSnapshotTest, WritesTheDisplayTheInsetAndTheCrossOfEveryFrame) {
  const std::string dir = kovtest::temp_dir();
  kovtest::ChildResult r = kovtest::run_program(
      {run_path(), "-n", "3", "--gl-snapshot", dir + "/view-%03d.png",
       "input.example enum=3 ! output.opengl ! output.pip ! oxa.manual-marker marker-x=100"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  for (const char *name : {"view-000.png", "view-001.png", "view-002.png"})
    EXPECT_TRUE(g_file_test((dir + "/" + name).c_str(), G_FILE_TEST_IS_REGULAR)) << name;
  EXPECT_FALSE(g_file_test((dir + "/view-003.png").c_str(), G_FILE_TEST_EXISTS));

  Png png;
  GError *error = nullptr;
  png.pixels = kov_image_load_png((dir + "/view-002.png").c_str(), &png.info, &error);
  ASSERT_NE(png.pixels, nullptr) << error->message;
  ASSERT_EQ(png.info.width, 640);
  ASSERT_EQ(png.info.height, 480);
  ASSERT_EQ(png.info.pixelformat, KOV_PIX_FMT_RGB3);

  // The cross at (420, 240) inverts the picture beneath it: the arm pixels
  // differ from their neighbours above and below (or left and right).
  for (int x : {400, 410, 430, 440})
    EXPECT_NE(png.rgb(x, 240), png.rgb(x, 238)) << x;
  for (int y : {220, 230, 250, 260})
    EXPECT_NE(png.rgb(419, y), png.rgb(417, y)) << y;
  // The example frame is black around its square: the full-size square and
  // the quarter-size one inside the inset both show.
  int inset = 0, outside = 0;
  for (int y = 0; y < 480; ++y)
    for (int x = 0; x < 640; ++x) {
      if (png.rgb(x, y) == 0 || y == 240 || x == 419) continue;
      (x >= 10 && x < 170 && y >= 350 && y < 470 ? inset : outside)++;
    }
  EXPECT_GT(inset, 0);
  EXPECT_GT(outside, inset * 8);
}

TEST(GlSnapshotTest, EveryNthFrameOnly) {
  const std::string dir = kovtest::temp_dir();
  kovtest::ChildResult r = kovtest::run_program(
      {run_path(), "-n", "5", "--gl-every", "2", "--gl-snapshot", dir + "/s%d.png",
       "input.example enum=3 ! output.opengl"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  for (const char *name : {"s0.png", "s2.png", "s4.png"})
    EXPECT_TRUE(g_file_test((dir + "/" + name).c_str(), G_FILE_TEST_IS_REGULAR)) << name;
  for (const char *name : {"s1.png", "s3.png"})
    EXPECT_FALSE(g_file_test((dir + "/" + name).c_str(), G_FILE_TEST_EXISTS)) << name;
}

TEST(GlSnapshotTest, RefusesChainsWithoutGLUnitsAndBadArguments) {
  const std::string dir = kovtest::temp_dir();
  kovtest::ChildResult r = kovtest::run_program(
      {run_path(), "-n", "1", "--gl-snapshot", dir + "/a%d.png", "input.example"});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.err, "kovkit-run: --gl-snapshot: the chain has no unit that renders GL\n");

  r = kovtest::run_program({run_path(), "-n", "1", "--gl-every", "0", "--gl-snapshot",
                            dir + "/a%d.png", "input.example ! output.opengl"});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.err, "kovkit-run: --gl-every must be 1 or more\n");

  r = kovtest::run_program({run_path(), "-n", "1", "--gl-snapshot", dir + "/a%d%d.png",
                            "input.example ! output.opengl"});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.err.rfind("kovkit-run: --gl-snapshot: ", 0), 0u) << r.err;

  // A folder that does not exist is made; one that cannot be made stops the
  // run with the output error status.
  r = kovtest::run_program({run_path(), "-n", "1", "--gl-snapshot", dir + "/no/such/a%d.png",
                            "input.example enum=3 ! output.opengl"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(g_file_test((dir + "/no/such/a0.png").c_str(), G_FILE_TEST_IS_REGULAR));
  g_file_set_contents((dir + "/plain").c_str(), "x", 1, nullptr);
  r = kovtest::run_program({run_path(), "-n", "3", "--gl-snapshot", dir + "/plain/a%d.png",
                            "input.example enum=3 ! output.opengl"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err.rfind("kovkit-run: cannot create folder \"" + dir + "/plain\": Not a directory\n", 0),
            0u) << r.err;
}

}  // namespace
