// SPDX-License-Identifier: LGPL-2.1-or-later
// The traces of output.opengl under KOV_DBG=output. Every case runs in a
// child process that loads the plug-ins itself, so the module's trace reads
// the variable afresh; the parent never loads them.
#include <gtest/gtest.h>

#include <test_support.h>

#include <kovkit/kovkit.h>

#include <cstdio>
#include <string>
#include <vector>

using kovtest::Ref;

namespace {

// The output-category trace lines of this unit in a child's standard error.
std::string unit_traces(const std::string &err, const std::string &needle) {
  const std::string prefix = "\x1b[35;40mOutput: ", reset = "\x1b[0m";
  std::string kept;
  for (size_t at = err.find(prefix); at != std::string::npos; at = err.find(prefix, at + 1)) {
    const size_t end = err.find(reset, at);
    if (end == std::string::npos) break;
    const std::string line = err.substr(at, end + reset.size() - at);
    if (line.find(needle) != std::string::npos) kept += line;
  }
  return kept;
}

std::string line(const std::string &message) {
  return "\x1b[35;40mOutput: " + message + "\x1b[0m";
}

const std::vector<std::pair<std::string, const char *>> kOutputTrace = {{"KOV_DBG", "output"}};

TEST(GlViewTraceTest, RefusedMJPGInputFailsInitAndDrawWithTheNoFormatTrace) {
  kovtest::ChildResult r = kovtest::run_in_child(
      [] {
        KovGLView *view = kov_gl_view_new_offscreen(nullptr);
        kov_gl_view_make_current(view);
        Ref<KovUnit> unit = kovtest::create_unit("output.opengl");
        Ref<KovUnit> source = kovtest::make_source(KOV_PIX_FMT_MJPG, 640, 480, 0);
        kov_unit_set_input(unit.get(), source.get());
        const gint init = kov_unit_draw_gl_init(unit.get());
        const gint draw = kov_unit_draw_gl(unit.get());
        std::printf("format=%p init=%d draw=%d\n",
                    static_cast<void *>(kov_unit_get_output_format(unit.get())), init, draw);
        unit = {};
        kov_gl_view_free(view);
      },
      kOutputTrace);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "format=(nil) init=-1 draw=-1\n");
  EXPECT_EQ(unit_traces(r.err, "GlView"),
            line("GlView class initializer\n") + line("GlView constructor\n") +
                line("GlView cannot init drawing.  No format!\n"));
}

TEST(GlViewTraceTest, InitWithoutInputUnitTracesAndFails) {
  kovtest::ChildResult r = kovtest::run_in_child(
      [] {
        Ref<KovUnit> unit = kovtest::create_unit("output.opengl");
        std::printf("init=%d\n", kov_unit_draw_gl_init(unit.get()));
      },
      kOutputTrace);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "init=-1\n");
  EXPECT_EQ(unit_traces(r.err, "GlView"),
            line("GlView class initializer\n") + line("GlView constructor\n") +
                line("GlView cannot init drawing - no input unit\n"));
}

TEST(GlViewTraceTest, FramesTraceIterateAndASecondInitTracesAlreadyInitialized) {
  kovtest::ChildResult r = kovtest::run_in_child(
      [] {
        KovGLView *view = kov_gl_view_new_offscreen(nullptr);
        kov_gl_view_make_current(view);
        Ref<KovUnit> unit = kovtest::create_unit("output.opengl");
        Ref<KovUnit> source = kovtest::make_source(KOV_PIX_FMT_GREY, 4, 2, 4);
        kov_unit_set_input(unit.get(), source.get());
        kov_unit_stream_init(source.get(), nullptr);
        kov_unit_stream_init(unit.get(), nullptr);
        Ref<KovFrameBuffer> frame = kovtest::make_frame(std::vector<uint8_t>(8, 1));
        kovtest::source_push(source.get(), frame.get());
        kovtest::source_push(source.get(), frame.get());
        const gint again = kov_unit_draw_gl_init(unit.get());
        // A stop releases the texture; the next frame initialises again.
        kov_unit_stream_shutdown(unit.get());
        kov_unit_stream_init(unit.get(), nullptr);
        kovtest::source_push(source.get(), frame.get());
        std::printf("again=%d\n", again);
        kov_unit_stream_shutdown(unit.get());
        kov_unit_stream_shutdown(source.get());
        unit = {};
        kov_gl_view_free(view);
      },
      kOutputTrace);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "again=0\n");
  const std::string traces = unit_traces(r.err, "GlView") + "|" + unit_traces(r.err, "[OpenGL]");
  EXPECT_EQ(traces, line("GlView class initializer\n") + line("GlView constructor\n") +
                        line("GlView draw_gl_init\n") + line("GlView already initialized.\n") +
                        line("GlView draw_gl_init\n") + "|" + line("[OpenGL] iterate\n") +
                        line("[OpenGL] iterate\n") + line("[OpenGL] iterate\n"));
}

TEST(GlViewTraceTest, WithoutKovDbgNothingIsTraced) {
  kovtest::ChildResult r = kovtest::run_in_child(
      [] {
        Ref<KovUnit> unit = kovtest::create_unit("output.opengl");
        kov_unit_draw_gl_init(unit.get());
      },
      {{"KOV_DBG", nullptr}});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(unit_traces(r.err, "GlView"), "");
}

}  // namespace
