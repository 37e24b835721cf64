// SPDX-License-Identifier: LGPL-2.1-or-later
// The traces of output.pip under KOV_DBG=output, in a child process that
// loads the plug-ins itself so that the module reads the variable afresh.
#include <gtest/gtest.h>

#include <test_support.h>

#include <string>
#include <vector>

using kovtest::Ref;

namespace {

TEST(PipTraceTest, TracesCarryTheFilterPIPPrefix) {
  kovtest::ChildResult r = kovtest::run_in_child(
      [] {
        KovGLView *view = kov_gl_view_new_offscreen(nullptr);
        kov_gl_view_make_current(view);
        Ref<KovUnit> unit = kovtest::create_unit("output.pip");
        kov_unit_draw_gl_init(unit.get());
        Ref<KovUnit> mjpg = kovtest::make_source(KOV_PIX_FMT_MJPG, 64, 48, 0);
        kov_unit_set_input(unit.get(), mjpg.get());
        kov_unit_draw_gl_init(unit.get());
        Ref<KovUnit> source = kovtest::make_source(KOV_PIX_FMT_GREY, 4, 2, 4);
        kov_unit_set_input(unit.get(), source.get());
        kov_unit_stream_init(source.get(), nullptr);
        kov_unit_stream_init(unit.get(), nullptr);
        Ref<KovFrameBuffer> frame = kovtest::make_frame(std::vector<uint8_t>(8, 1));
        kovtest::source_push(source.get(), frame.get());
        kov_unit_draw_gl_init(unit.get());
        kov_unit_stream_shutdown(unit.get());
        kov_unit_stream_shutdown(source.get());
        unit = {};
        kov_gl_view_free(view);
      },
      {{"KOV_DBG", "output"}});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  const auto line = [](const char *m) { return "\x1b[35;40mOutput: " + std::string(m) + "\x1b[0m"; };
  std::string traces;
  const std::string prefix = "\x1b[35;40mOutput: ";
  for (size_t at = r.err.find(prefix); at != std::string::npos; at = r.err.find(prefix, at + 1)) {
    const size_t end = r.err.find("\x1b[0m", at);
    const std::string l = r.err.substr(at, end + 4 - at);
    if (l.find("FilterPIP") != std::string::npos || l.find("[Draw Picture-in-Picture]") != std::string::npos)
      traces += l;
  }
  EXPECT_EQ(traces, line("FilterPIP class initializer\n") + line("FilterPIP constructor\n") +
                        line("FilterPIP cannot init drawing - no input unit\n") +
                        line("FilterPIP cannot init drawing.  No format!\n") +
                        line("[Draw Picture-in-Picture] iterate\n") +
                        line("FilterPIP draw_gl_init\n") + line("FilterPIP already initialized.\n"));
}

}  // namespace
