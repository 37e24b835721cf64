// SPDX-License-Identifier: LGPL-2.1-or-later
// Tests of the kovkit-run program, run as a child process from the build tree.
#include <gtest/gtest.h>

#include <glib/gstdio.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using kovtest::ChildResult;

std::string runner() { return kovtest::bin_dir() + "/kovkit-run"; }

ChildResult run(std::vector<std::string> args) {
  args.insert(args.begin(), runner());
  return kovtest::run_program(args);
}

size_t count_lines(const std::string &text) {
  size_t n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

std::vector<uint8_t> load_png(const std::string &path, KovImageInfo *info) {
  guint8 *px = kov_image_load_png(path.c_str(), info, nullptr);
  if (px == nullptr) return {};
  std::vector<uint8_t> b(px, px + static_cast<size_t>(info->width) * info->height *
                                      (info->pixelformat == KOV_PIX_FMT_RGB3 ? 3 : 1));
  g_free(px);
  return b;
}

}  // namespace

TEST(RunnerTest, ListShowsPluginAndBuiltInUnitsSorted) {
  ChildResult r = run({"--list"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  for (const char *line : {"input.example\tExample Input\n", "input.testsrc\tTest Pattern Source\n",
                           "input.file\tFile Source\n", "output.file\tFile Writer\n",
                           "util.roi\tRegion of Interest\n", "convert.colorspace\tColour Space to RGB\n"})
    EXPECT_NE(r.out.find(line), std::string::npos) << line;
  EXPECT_NE(r.out.find("util.flip\t"), std::string::npos);
  std::vector<std::string> ids;
  gchar **lines = g_strsplit(r.out.c_str(), "\n", -1);
  for (gchar **l = lines; *l != nullptr && **l != '\0'; l++) {
    gchar *tab = strchr(*l, '\t');
    ASSERT_NE(tab, nullptr) << *l;
    ids.emplace_back(*l, tab);
  }
  g_strfreev(lines);
  EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
}

TEST(RunnerTest, DescribeShowsControlsRangesDefaultsAndFlags) {
  ChildResult r = run({"--describe", "util.roi"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out,
            "util.roi\tRegion of Interest\n"
            "flags: none\n"
            "controls:\n"
            "  x\t\"Left edge\"\tint\t-1048576 to 1048576, step 1\tdefault 0\n"
            "  y\t\"Top edge\"\tint\t-1048576 to 1048576, step 1\tdefault 0\n"
            "  width\t\"Width\"\tint\t-1048576 to 1048576, step 1\tdefault 320\n"
            "  height\t\"Height\"\tint\t-1048576 to 1048576, step 1\tdefault 240\n");
  r = run({"--describe", "input.testsrc"});
  EXPECT_NE(r.out.find("flags: event-timeout\n"), std::string::npos);
  EXPECT_NE(r.out.find("  pattern\t\"Pattern\"\tenum\t0=bars 1=gradient\tdefault bars\n"),
            std::string::npos)
      << r.out;
  r = run({"--describe", "no.such"});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.err, "kovkit-run: unknown unit \"no.such\" (see --list)\n");
}

TEST(RunnerTest, RunsAChainToNFramesAndSummarises) {
  ChildResult r = run({"-n", "7", "input.testsrc rate=0 width=32 height=8 ! util.flip flip-h=true"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(count_lines(r.err), 1u) << r.err;
  EXPECT_EQ(r.err.rfind("7 frames in ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find(" frames/s\n"), std::string::npos);
}

TEST(RunnerTest, ErrorsPrintOneLineAndExitTwo) {
  struct Case {
    std::vector<std::string> args;
    const char *contains;
  } cases[] = {
      {{"input.testsrc ! no.such_unit"}, "no.such_unit"},
      {{"input.testsrc width=abc"}, "abc"},
      {{"input.testsrc !"}, ""},
      {{""}, ""},
      {{}, "no chain given"},
      {{"--frobnicate"}, "--frobnicate"},
      {{"-n", "-3", "input.testsrc"}, "negative"},
      {{"input.testsrc", "extra"}, "extra"},
      {{"--set", "input.testsrc.nope=1", "input.testsrc"}, "no control \"nope\""},
      {{"--set", "util.flip.flip-h=true", "input.testsrc"}, "no unit util.flip"},
      {{"--set", "garbage", "input.testsrc"}, "ID.CONTROL=VALUE"},
      {{"--set", "input.testsrc.width=0", "input.testsrc"}, "width"},
      {{"input.testsrc format=GREY ! convert.colorspace ! convert.colorspace format=BGR3"}, "BGR3"},
  };
  for (const Case &c : cases) {
    ChildResult r = run(c.args);
    std::string what = c.args.empty() ? "(none)" : c.args.back();
    EXPECT_EQ(r.exit_status, 2) << what;
    EXPECT_EQ(count_lines(r.err), 1u) << what << ": " << r.err;
    EXPECT_EQ(r.err.rfind("kovkit-run: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.contains), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST(RunnerTest, MetaPrintsEveryFramesMetadata) {
  ChildResult r = run({"--meta", "-n", "2",
                       "input.testsrc rate=0 width=16 height=16 ! util.roi x=-3 y=4 width=10 height=20"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "frame 0: roi=-3,4,10,20\nframe 1: roi=-3,4,10,20\n");
  r = run({"--meta", "-n", "1", "input.testsrc rate=0 width=16 height=16"});
  EXPECT_EQ(r.out, "frame 0:\n");
}

TEST(RunnerTest, MetaShowsFourByteValuesAsSignedIntegers) {
  // The test picture holds a dark disc that the circle detector finds.
  if (run({"--list"}).out.find("detect.opencv.hough\t") == std::string::npos)
    GTEST_SKIP() << "circle detector not built";
  ChildResult r = run({"--meta", "-n", "1",
                       "input.testsrc rate=0 format=GREY ! util.roi x=100 y=20 width=400 height=300 ! "
                       "detect.opencv.hough"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(g_regex_match_simple(
      "^frame 0: marker:r=[0-9]+ marker:x=[0-9]+ marker:y=[0-9]+ roi=100,20,400,300\n$",
      r.out.c_str(), G_REGEX_MULTILINE, G_REGEX_MATCH_DEFAULT))
      << r.out;
}

TEST(RunnerTest, OutputFileWritesThePicturesAndSetOverridesControls) {
  std::string dir = kovtest::temp_dir();
  ChildResult r = run({"-n", "3", "--set", "input.testsrc.width=40",
                       "input.testsrc rate=0 width=20 height=12 ! util.flip flip-h=true ! "
                       "output.file location=" + dir + "/out/%03d.png"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  KovImageInfo info;
  std::vector<uint8_t> first = load_png(dir + "/out/000.png", &info);
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(info.width, 40);
  EXPECT_EQ(info.height, 12);
  EXPECT_EQ(info.pixelformat, KOV_PIX_FMT_RGB3);
  EXPECT_TRUE(g_file_test((dir + "/out/002.png").c_str(), G_FILE_TEST_EXISTS));
  EXPECT_FALSE(g_file_test((dir + "/out/003.png").c_str(), G_FILE_TEST_EXISTS));

  // The same first frame, unflipped, made in this process: the file holds its mirror.
  kovtest::Ref<KovUnit> src = kovtest::create_unit("input.testsrc");
  GError *error = nullptr;
  kov_unit_control_set_from_string(kov_unit_find_control(src.get(), "width"), "40", &error);
  kov_unit_control_set_from_string(kov_unit_find_control(src.get(), "height"), "12", &error);
  ASSERT_EQ(kov_unit_stream_init(src.get(), nullptr), 0);
  kovtest::Recorder rec(src.get());
  kov_unit_produce_pending_frame(src.get());
  ASSERT_EQ(rec.count(), 1u);
  for (int y = 0; y < 12; y++)
    for (int x = 0; x < 40; x++)
      for (int k = 0; k < 3; k++)
        ASSERT_EQ(first[(y * 40 + x) * 3 + k], rec.bytes[0][(y * 40 + (39 - x)) * 3 + k]);
}

TEST(RunnerTest, FileSourceEndsTheRunAndReadsBackWhatWasWritten) {
  std::string dir = kovtest::temp_dir();
  ChildResult w = run({"-n", "4", "input.testsrc rate=0 width=24 height=8 format=MJPG ! "
                                  "output.file location=" + dir + "/clip.mjpg"});
  ASSERT_EQ(w.exit_status, 0) << w.err;
  ChildResult r = run({"--meta", "input.file location=" + dir + "/clip.mjpg"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(count_lines(r.out), 4u);
  EXPECT_EQ(r.err.rfind("4 frames in ", 0), 0u) << r.err;
}

TEST(RunnerTest, WriteErrorStopsTheRunWithStatusOne) {
  std::string dir = kovtest::temp_dir();
  ASSERT_TRUE(g_file_set_contents((dir + "/file").c_str(), "x", 1, nullptr));
  ChildResult r = run({"-n", "50", "input.testsrc rate=0 width=8 height=8 ! output.file location=" +
                                       dir + "/file/%d.png"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err.rfind("output.file: cannot create folder \"" + dir + "/file\": Not a directory\n", 0),
            0u)
      << r.err;
  EXPECT_EQ(count_lines(r.err), 2u) << "the error once, then the summary: " << r.err;
  EXPECT_EQ(r.err.find("50 frames"), std::string::npos);
}

TEST(RunnerTest, FileInputErrorsNameTheFile) {
  std::string dir = kovtest::temp_dir();
  ChildResult r = run({"input.file location=" + dir + "/missing.png"});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.err, "kovkit-run: input.file: cannot open \"" + dir + "/missing.png\": no such file\n");
  ASSERT_TRUE(g_file_set_contents((dir + "/bad.jpg").c_str(), "not a jpeg", -1, nullptr));
  r = run({"input.file location=" + dir + "/bad.jpg"});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.err, "kovkit-run: input.file: \"" + dir + "/bad.jpg\" does not start with a whole JPEG image\n");
}

TEST(RunnerTest, SecondsLimitAndInterruptEndWithASummary) {
  ChildResult r = run({"--seconds", "0.3", "input.testsrc rate=20 width=8 height=8"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.err.find(" frames in "), std::string::npos) << r.err;
  // Ctrl-C once the first frame is out (the handler is in place by then).
  r = kovtest::run_program({"/bin/bash", "-c",
                            "coproc RUN { exec \"$0\" --meta \"$1\"; }; read -r line <&${RUN[0]}; "
                            "kill -INT $RUN_PID; cat <&${RUN[0]} >/dev/null; wait $RUN_PID",
                            runner(), "input.testsrc rate=20 width=8 height=8"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.err.find(" (interrupted)\n"), std::string::npos) << r.err;
  EXPECT_EQ(count_lines(r.err), 1u);
}

// --version names the vector level in use; KOV_SIMD lowers it, and a value
// that names no level is ignored with one warning.
TEST(RunnerTest, VersionPrintsTheSimdLevelThatKovSimdCaps) {
  const ChildResult plain = run({"--version"});
  ASSERT_EQ(plain.exit_status, 0) << plain.err;
  EXPECT_EQ(plain.out.rfind("kovkit-run 6.", 0), 0u) << plain.out;
  EXPECT_NE(plain.out.find("\nSIMD: "), std::string::npos) << plain.out;
  EXPECT_EQ(plain.err, "");

  const ChildResult scalar = kovtest::run_program({runner(), "--version"}, {{"KOV_SIMD", "scalar"}});
  EXPECT_NE(scalar.out.find("\nSIMD: scalar\n"), std::string::npos) << scalar.out;

  const ChildResult bogus = kovtest::run_program({runner(), "--version"}, {{"KOV_SIMD", "avx9"}});
  EXPECT_EQ(bogus.exit_status, 0);
  EXPECT_EQ(bogus.out, plain.out);
  const std::string warning = "KOV_SIMD=avx9 is not one of scalar, sse2, ssse3, avx2, avx512bw";
  const size_t at = bogus.err.find(warning);
  EXPECT_NE(at, std::string::npos) << bogus.err;
  EXPECT_EQ(bogus.err.find(warning, at + 1), std::string::npos) << bogus.err;
}
