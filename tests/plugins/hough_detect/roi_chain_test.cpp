// SPDX-License-Identifier: LGPL-2.1-or-later
// The two vision units in a chain run by kovkit-run: a 640x480 grey picture
// with one disc per quadrant, a region over the upper-left quadrant, Hough
// then Canny. Only that quadrant turns into edges and only its disc is
// marked; the rest of each frame is the picture.
#include <gtest/gtest.h>
#include <kovkit/imageio.h>
#include <test_support.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <glib/gstdio.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int W = 640, H = 480;

struct Picture {
  std::string dir;
  std::string path;
  std::vector<uint8_t> pixels;
};

Picture make_circles_png() {
  Picture p;
  p.dir = kovtest::temp_dir();
  p.path = p.dir + "/circles.png";
  p.pixels.assign(size_t(W) * H, 0);
  cv::Mat img(H, W, CV_8UC1, p.pixels.data());
  img.setTo(cv::Scalar(30));
  cv::circle(img, cv::Point(150, 110), 60, cv::Scalar(210), cv::FILLED, cv::LINE_AA);
  cv::circle(img, cv::Point(480, 120), 50, cv::Scalar(210), cv::FILLED, cv::LINE_AA);
  cv::circle(img, cv::Point(170, 360), 70, cv::Scalar(210), cv::FILLED, cv::LINE_AA);
  cv::circle(img, cv::Point(470, 350), 55, cv::Scalar(210), cv::FILLED, cv::LINE_AA);
  GError *error = nullptr;
  EXPECT_TRUE(kov_image_write_png(p.path.c_str(), KOV_PIX_FMT_GREY, W, H, W, p.pixels.data(),
                                  &error))
      << (error ? error->message : "");
  g_clear_error(&error);
  EXPECT_EQ(g_mkdir_with_parents((p.dir + "/out").c_str(), 0755), 0);
  return p;
}

std::vector<std::string> files_with_prefix(const std::string &dir, const std::string &prefix) {
  std::vector<std::string> names;
  GDir *d = g_dir_open(dir.c_str(), 0, nullptr);
  if (d == nullptr) return names;
  while (const char *name = g_dir_read_name(d))
    if (g_str_has_prefix(name, prefix.c_str())) names.push_back(dir + "/" + name);
  g_dir_close(d);
  std::sort(names.begin(), names.end());
  return names;
}

std::string chain_text(const Picture &p) {
  return "input.file location=" + p.path +
         " loop=true ! util.roi x=0 y=0 width=320 height=240 ! detect.opencv.hough"
         " ! opencv.convert_canny ! output.file location=" + p.dir + "/out/edges-%03d.png";
}

TEST(RoiChainTest, OnlyTheUpperLeftQuadrantTurnsIntoEdges) {
  Picture p = make_circles_png();
  kovtest::ChildResult r = kovtest::run_program(
      {kovtest::bin_dir() + "/kovkit-run", "-n", "30", "--meta", chain_text(p)});
  ASSERT_EQ(r.exit_status, 0) << r.err;

  // Every frame is the picture with the quadrant replaced by its edges.
  std::vector<uint8_t> expect = p.pixels;
  cv::Mat quadrant;
  cv::Canny(cv::Mat(H, W, CV_8UC1, p.pixels.data())(cv::Rect(0, 0, 320, 240)).clone(), quadrant,
            400, 600, 5);
  ASSERT_GT(cv::countNonZero(quadrant), 100);
  for (int y = 0; y < 240; y++) std::copy_n(quadrant.ptr(y), 320, &expect[size_t(y) * W]);

  std::vector<std::string> files = files_with_prefix(p.dir + "/out", "edges-");
  ASSERT_EQ(files.size(), 30u);
  for (const std::string &file : {files.front(), files.back()}) {
    SCOPED_TRACE(file);
    KovImageInfo info{};
    GError *error = nullptr;
    guint8 *pixels = kov_image_load_png(file.c_str(), &info, &error);
    ASSERT_NE(pixels, nullptr) << (error ? error->message : "");
    EXPECT_EQ(info.pixelformat, KOV_PIX_FMT_GREY);
    ASSERT_EQ(info.width, W);
    ASSERT_EQ(info.height, H);
    EXPECT_TRUE(std::equal(expect.begin(), expect.end(), pixels));
    g_free(pixels);
  }

  // The marker names the upper-left disc on every frame ("--meta" lines:
  // "frame N: marker:r=R marker:x=X marker:y=Y roi=0,0,320,240").
  auto value = [](const std::string &line, const char *key) {
    const size_t at = line.find(key);
    return at == std::string::npos ? -1000 : std::atoi(line.c_str() + at + std::strlen(key));
  };
  size_t lines = 0;
  for (size_t start = 0, end; (end = r.out.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = r.out.substr(start, end - start);
    if (line.rfind("frame ", 0) != 0) continue;
    SCOPED_TRACE(line);
    lines++;
    EXPECT_NEAR(value(line, " marker:x="), 150, 3);
    EXPECT_NEAR(value(line, " marker:y="), 110, 3);
    EXPECT_NEAR(value(line, " marker:r="), 60, 3);
    EXPECT_NE(line.find(" roi=0,0,320,240"), std::string::npos);
  }
  EXPECT_EQ(lines, 30u);
}

TEST(RoiChainTest, GlSnapshotsShowSquaresOnTheQuadrantsCircle) {
  kovtest::ChildResult help =
      kovtest::run_program({kovtest::bin_dir() + "/kovkit-run", "--help-all"});
  if (help.out.find("--gl-snapshot") == std::string::npos)
    GTEST_SKIP() << "kovkit-run has no --gl-snapshot";
  Picture p = make_circles_png();
  kovtest::ChildResult r = kovtest::run_program(
      {kovtest::bin_dir() + "/kovkit-run", "-n", "30", "--gl-snapshot",
       p.dir + "/out/h-%03d.png", chain_text(p)});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  std::vector<std::string> shots = files_with_prefix(p.dir + "/out", "h-");
  ASSERT_FALSE(shots.empty());
  KovImageInfo info{};
  GError *error = nullptr;
  guint8 *rgb = kov_image_load_png(shots.back().c_str(), &info, &error);
  ASSERT_NE(rgb, nullptr) << (error ? error->message : "");
  ASSERT_EQ(info.pixelformat, KOV_PIX_FMT_RGB3);
  // Green outlines: the bright square lies within a few pixels of the
  // square of half side 60 around (150, 110); nothing green elsewhere.
  size_t near = 0, stray = 0;
  for (int y = 0; y < info.height; y++) {
    for (int x = 0; x < info.width; x++) {
      const guint8 *px = rgb + (size_t(y) * info.width + x) * 3;
      if (!(px[1] > 100 && px[0] < 60 && px[2] < 60)) continue;
      // Snapshot pixels may be scaled to the view; map them to frame pixels.
      const double fx = (x + 0.5) * W / info.width, fy = (y + 0.5) * H / info.height;
      const double dx = std::abs(fx - 150), dy = std::abs(fy - 110);
      const double d = std::abs(std::max(dx, dy) - 60);
      (d <= 4 ? near : stray)++;
    }
  }
  g_free(rgb);
  EXPECT_GT(near, 200u);
  EXPECT_EQ(stray, 0u);
}

}  // namespace
