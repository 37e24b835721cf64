// SPDX-License-Identifier: LGPL-2.1-or-later
// The KOV_DBG trace. Every case runs in a child process (the trace state is
// per process and read once) and compares the child's standard error byte for
// byte, escape sequences included. The parsing cases use the trace linked
// into this test; the per-module cases load real plug-ins.
#include <gtest/gtest.h>

#include <kovkit/trace.h>
#include <test_support.h>

#include "plugin_loader.h"

#include <cstdlib>
#include <regex>
#include <string>

namespace {

const std::string kReset = "\x1b[0m";
const std::string kDefault = "\x1b[1;37;40m";

// One trace line per category bit 0..16, message "line <bit>\n".
void trace_every_category() {
  for (int bit = 0; bit < 17; ++bit) kov_dbg(uint64_t{1} << bit, "line %d\n", bit);
}

kovtest::ChildResult run_trace(const char *value) {
  kovtest::ChildResult r = kovtest::run_in_child(trace_every_category, {{"KOV_DBG", value}});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, "");
  return r;
}

// The trace of run_trace with each line's colour, label and reset taken off
// ("\x1b[36;40mUnit: line 1\n\x1b[0m" gives "line 1\n"); a line without them
// and warnings stay as they are.
std::string trace_with(const char *value) {
  static const std::regex kColouredLine(
      "\x1b\\[[0-9;]+m(?:[A-Za-z]+: ?)?(line [0-9]+\n)\x1b\\[0m");
  return std::regex_replace(run_trace(value).err, kColouredLine, "$1");
}

// The expected output of trace_with for the enabled bits.
std::string lines(std::initializer_list<int> bits) {
  std::string s;
  for (int bit : bits) s += "line " + std::to_string(bit) + "\n";
  return s;
}

std::string all_lines_but(int skipped) {
  std::string s;
  for (int bit = 0; bit < 17; ++bit)
    if (bit != skipped) s += lines({bit});
  return s;
}

std::string warning(const std::string &option) {
  return "Warning: Unknown debug option: \"" + option + "\"\n";
}

TEST(TraceTest, UnsetOrEmptyPrintsErrorLinesOnly) {
  EXPECT_EQ(trace_with(nullptr), lines({0}));
  EXPECT_EQ(trace_with(""), lines({0}));
  EXPECT_EQ(trace_with(",,,"), lines({0}));
}

TEST(TraceTest, ErrorLineCarriesDefaultPrefixAndReset) {
  EXPECT_EQ(run_trace(nullptr).err, "\x1b[1;37;40mline 0\n\x1b[0m");
}

TEST(TraceTest, AllPrintsEveryCategoryWithItsPrefix) {
  EXPECT_EQ(trace_with("all"), all_lines_but(-1));
  // Plain and bold colours, labels with and without a space, colours alone.
  const std::string err = run_trace("all").err;
  for (const char *line : {"\x1b[36;40mUnit: line 1\n\x1b[0m\x1b[31;40mChain: line 2\n",
                           "\x1b[0m\x1b[1;33;40mUnitControl: line 9\n\x1b[0m",
                           "\x1b[0m\x1b[1;35;40mPlugin:line 11\n\x1b[0m\x1b[1;33;40mLog:line 12\n",
                           "\x1b[0m\x1b[36;40mline 13\n\x1b[0m\x1b[1;34;40mline 14\n",
                           "\x1b[0m\x1b[1;37;40mline 16\n\x1b[0m"})
    EXPECT_NE(err.find(line), std::string::npos) << line;
}

TEST(TraceTest, MinusClearsACategory) {
  EXPECT_EQ(trace_with("unit,-error"), lines({1}));
  EXPECT_EQ(trace_with("all,-unit"), all_lines_but(1));
  EXPECT_EQ(trace_with("-error"), "");
  // Set and clear act in order.
  EXPECT_EQ(trace_with("-chain,chain"), lines({0, 2}));
  EXPECT_EQ(trace_with("chain,-chain"), lines({0}));
}

TEST(TraceTest, EachOptionNameSetsItsOwnBit) {
  const char *names[17] = {"error", "unit",    "chain", "driver", "manager", "input",
                           "filter", "output", "gui",   "control", "ref",    "plugin",
                           "log",   "13",      "14",    "15",     "16"};
  for (int bit = 1; bit < 17; ++bit) {
    SCOPED_TRACE(names[bit]);
    EXPECT_EQ(trace_with(names[bit]), lines({0, bit}));
  }
}

TEST(TraceTest, EmptyFieldsAreSkipped) {
  EXPECT_EQ(trace_with(",,unit"), lines({0, 1}));
  EXPECT_EQ(trace_with("unit,,,input,"), lines({0, 1, 5}));
}

TEST(TraceTest, UnknownOptionWarnsOnceAndStopsParsing) {
  EXPECT_EQ(trace_with("unit,bogus,chain"), warning("bogus") + lines({0, 1}));
}

TEST(TraceTest, WarningNamesOptionWithoutItsMinus) {
  EXPECT_EQ(trace_with("-bogus"), warning("bogus") + lines({0}));
  EXPECT_EQ(trace_with("-"), warning("") + lines({0}));
}

TEST(TraceTest, NamesAreExactAndCaseSensitive) {
  EXPECT_EQ(trace_with(" unit"), warning(" unit") + lines({0}));
  EXPECT_EQ(trace_with("unit "), warning("unit ") + lines({0}));
  EXPECT_EQ(trace_with("UNIT,chain"), warning("UNIT") + lines({0}));
  EXPECT_EQ(trace_with("al"), warning("al") + lines({0}));
}

TEST(TraceTest, LongValueIsCutTo255Characters) {
  // "chain" ends at character 255: it is read whole.
  const std::string fits = std::string(250, ',') + "chain";
  EXPECT_EQ(trace_with(fits.c_str()), lines({0, 2}));
  // One comma more and the cut leaves "chai".
  const std::string cut = std::string(251, ',') + "chain";
  EXPECT_EQ(trace_with(cut.c_str()), warning("chai") + lines({0}));
  // A very long value is read no further than its first 255 characters:
  // "unit" and 41 × ",input" make 250, and the cut leaves ",inpu".
  std::string huge = "unit";
  while (huge.size() < 100000) huge += ",input";
  EXPECT_EQ(trace_with(huge.c_str()), warning("inpu") + lines({0, 1, 5}));
}

TEST(TraceTest, CategoryOutsideTheColourTableGetsDefaultPrefix) {
  kovtest::ChildResult r = kovtest::run_in_child(
      [] {
        kov_dbg(0x20000, "high %s %d\n", "bit", 17);
        kov_dbg(KOV_DBG_UNIT | KOV_DBG_CHAIN, "both\n");  // first matching row wins
      },
      {{"KOV_DBG", "all"}});
  EXPECT_EQ(r.err, kDefault + "high bit 17\n" + kReset + "\x1b[36;40mUnit: both\n" + kReset);
}

TEST(TraceTest, VariableIsReadAtTheFirstTraceCallOnly) {
  kovtest::ChildResult r = kovtest::run_in_child(
      [] {
        setenv("KOV_DBG", "unit", 1);
        kov_dbg(KOV_DBG_INPUT, "not shown\n");  // reads the variable
        setenv("KOV_DBG", "all", 1);
        kov_dbg(KOV_DBG_INPUT, "still not shown\n");
        kov_dbg(KOV_DBG_UNIT, "shown\n");
      },
      {{"KOV_DBG", nullptr}});
  EXPECT_EQ(r.err, "\x1b[36;40mUnit: shown\n" + kReset);
}

TEST(TraceTest, DisabledLineBeforeInitStillReadsTheVariableOnce) {
  kovtest::ChildResult r = kovtest::run_in_child(
      [] {
        kov_dbg(KOV_DBG_CHAIN, "off\n");
        kov_dbg(KOV_DBG_CHAIN, "off again\n");
      },
      {{"KOV_DBG", "nothing"}});
  EXPECT_EQ(r.err, warning("nothing"));
}

// Per-module state, with real plug-ins: each module reads KOV_DBG itself.
std::string plugin_path(const char *deliverable) {
  return kovtest::plugin_dir() + "/" + deliverable + ".so";
}

TEST(ModuleTraceTest, EachModuleWarnsOnceAtItsFirstTraceCall) {
  kovtest::ChildResult r = kovtest::run_in_child(
      [] {
        kovtest::LoadedPlugin flip, demo;
        if (!flip.open(plugin_path("image_flip")) || !demo.open(plugin_path("demo_input")))
          std::abort();
        KovUnitDriver *flip_driver = flip.initialize_and_create();
        // Many trace calls in the flip module: class initializer, constructor,
        // finalize; the warning comes once.
        g_object_unref(g_object_ref_sink(g_object_new(flip.get_type("kov_convert_flip_get_type"), nullptr)));
        g_object_unref(g_object_ref_sink(g_object_new(flip.get_type("kov_convert_flip_get_type"), nullptr)));
        KovUnitDriver *demo_driver = demo.initialize_and_create();  // traces twice
        g_object_unref(demo_driver);
        g_object_unref(flip_driver);
      },
      {{"KOV_DBG", "bogus"}});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, warning("bogus") + warning("bogus"));
}

TEST(ModuleTraceTest, ModulesReadTheVariableIndependently) {
  kovtest::ChildResult r = kovtest::run_in_child(
      [] {
        kovtest::LoadedPlugin flip, demo;
        if (!flip.open(plugin_path("image_flip")) || !demo.open(plugin_path("demo_input")))
          std::abort();
        KovUnitDriver *flip_driver = flip.initialize_and_create();
        setenv("KOV_DBG", "output", 1);
        g_object_unref(g_object_ref_sink(g_object_new(flip.get_type("kov_convert_flip_get_type"), nullptr)));
        // The demo module has not traced yet: it reads the new value.
        setenv("KOV_DBG", "driver", 1);
        KovUnitDriver *demo_driver = demo.initialize_and_create();
        g_object_unref(demo_driver);
        g_object_unref(flip_driver);
      },
      {{"KOV_DBG", nullptr}});
  const std::string out = "\x1b[35;40mOutput: ";
  const std::string drv = "\x1b[37;40mDriver: ";
  EXPECT_EQ(r.err, out + "ConvertFlip class initializer\n" + kReset + out +
                       "ConvertFlip constructor\n" + kReset + drv +
                       "example driver class initializer\n" + kReset + drv +
                       "example driver constructor\n" + kReset + drv +
                       "example driver finalize\n" + kReset);
}

TEST(ModuleTraceTest, FlipAndExampleLifeCycleLines) {
  kovtest::ChildResult r = kovtest::run_in_child(
      [] {
        KovUnitManager *manager = kov_unit_manager_get_and_ref();
        KovUnit *flip = kov_unit_manager_create_unit_by_id(manager, "util.flip");
        KovUnit *demo = kov_unit_manager_create_unit_by_id(manager, "input.example");
        if (flip == nullptr || demo == nullptr) std::abort();
        g_object_ref_sink(flip);
        g_object_ref_sink(demo);
        kov_unit_set_input(flip, demo);
        kov_unit_control_set_boolean(kov_unit_find_control(flip, "flip-h"), TRUE, nullptr);
        kov_unit_stream_init(demo, nullptr);
        kov_unit_stream_init(flip, nullptr);
        kov_unit_produce_pending_frame(demo);
        kov_unit_stream_shutdown(flip);
        kov_unit_stream_shutdown(demo);
        kov_unit_set_input(flip, nullptr);
        g_object_unref(flip);
        g_object_unref(demo);
        g_object_unref(manager);
      },
      {{"KOV_DBG", "input,output,driver"}});
  EXPECT_EQ(r.exit_status, 0);
  const std::string in = "\x1b[32;40mInput: ", out = "\x1b[35;40mOutput: ",
                    drv = "\x1b[37;40mDriver: ";
  auto has = [&](const std::string &text) {
    EXPECT_NE(r.err.find(text), std::string::npos) << "missing: " << text << "\nin:\n" << r.err;
  };
  // The driver is made when the manager loads the module.
  has(drv + "example driver class initializer\n" + kReset + drv + "example driver constructor\n" +
      kReset);
  has(out + "ConvertFlip class initializer\n" + kReset + out + "ConvertFlip constructor\n" +
      kReset);
  has(drv + "example driver creating new KovExample unit\n" + kReset + in +
      "example class initializer\n" + kReset + in + "example constructor\n" + kReset);
  has(in + "example stream init\n" + kReset);
  has(in + "iterate\n" + kReset + out + "[Flip image] iterate\n" + kReset);
  has(in + "ConvertFlip finalize\n" + kReset);
  has(in + "example finalize\n" + kReset);
}

}  // namespace
