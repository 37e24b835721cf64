// SPDX-License-Identifier: LGPL-2.1-or-later
// Chains: description text, errors, streaming together, scheduling of
// sources, the chain's frame-ready, and the manager's handling of modules.
#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

#include "test_support.h"

using kovtest::Ref;

namespace {

// "test.counter": a source of 2x2 GREY frames, due every `period` µs (0:
// always due), with an int control "period", a boolean "flag" and "count"
// frames before its end (0: no end). With an event descriptor it produces
// one frame per byte it reads from it instead.
struct CounterSource {
  KovUnit parent;
  KovUnitControl *period_ctl;
  KovUnitControl *count_ctl;
  gint64 next_time;
  int produced;
};
struct CounterSourceClass {
  KovUnitClass parent_class;
};
G_DEFINE_TYPE(CounterSource, counter_source, KOV_TYPE_UNIT)

gint counter_stream_init(KovUnit *unit, KovUnitFormat *) {
  reinterpret_cast<CounterSource *>(unit)->next_time = kov_time_now();
  return 0;
}
gint64 counter_next(KovUnit *unit) {
  if (kov_unit_is_eos(unit) || kov_unit_get_event_fd(unit) >= 0) return G_MAXINT64;
  return reinterpret_cast<CounterSource *>(unit)->next_time;
}
gboolean counter_produce(KovUnit *unit) {
  auto *c = reinterpret_cast<CounterSource *>(unit);
  const int fd = kov_unit_get_event_fd(unit);
  char byte;
  if (fd >= 0 ? read(fd, &byte, 1) != 1 : kov_time_now() < c->next_time) return FALSE;
  c->next_time += kov_unit_control_get_int(c->period_ctl);
  KovFrameBuffer *frame = kov_framebuffer_new_alloc(4);
  frame->bytesused = 4;
  frame->data[0] = static_cast<guint8>(c->produced++);
  kov_unit_produce_frame(unit, frame, kov_unit_get_output_format(unit));
  g_object_unref(frame);
  if (c->produced == kov_unit_control_get_int(c->count_ctl)) kov_unit_post_eos(unit);
  return TRUE;
}
void counter_source_class_init(CounterSourceClass *klass) {
  KovUnitClass *u = KOV_UNIT_CLASS(klass);
  u->stream_init = counter_stream_init;
  u->next_frame_time = counter_next;
  u->produce_pending_frame = counter_produce;
}
void counter_source_init(CounterSource *c) {
  KovUnit *unit = KOV_UNIT(c);
  c->period_ctl = kov_unit_add_control_int(unit, "period", "Period", 0, 10000000, 1, 0, TRUE);
  kov_unit_add_control_boolean(unit, "flag", "Flag", FALSE, TRUE);
  c->count_ctl = kov_unit_add_control_int(unit, "count", "Frames", 0, 1000, 1, 0, TRUE);
  kov_unit_add_output_format(unit, KOV_PIX_FMT_GREY, "2x2", 2, 2, 2);
  kov_unit_add_output_format(unit, KOV_PIX_FMT_RGB3, "2x2 rgb", 2, 2, 6);
}

// "test.copy": passes frames on; takes GREY only.
struct CopyUnit {
  KovUnit parent;
};
struct CopyUnitClass {
  KovUnitClass parent_class;
};
G_DEFINE_TYPE(CopyUnit, copy_unit, KOV_TYPE_UNIT)
void copy_on_format(KovUnit *unit, KovUnitFormat *f, gpointer) {
  kov_unit_remove_all_output_formats(unit);
  if (f != nullptr && f->pixelformat == KOV_PIX_FMT_GREY)
    kov_unit_add_output_format(unit, f->pixelformat, f->name, f->width, f->height, f->row_stride);
}
void copy_unit_class_init(CopyUnitClass *klass) {
  KOV_UNIT_CLASS(klass)->input_frame_ready = kov_unit_produce_frame;
}
void copy_unit_init(CopyUnit *unit) {
  g_signal_connect(unit, "input-format-changed", G_CALLBACK(copy_on_format), nullptr);
}

void register_test_units() {
  static bool done = false;
  if (done) return;
  done = true;
  KovUnitManager *m = kov_unit_manager_get_and_ref();
  KovUnitDriver *d = kov_unit_driver_new_stock_full(
      "test", "counter", "Counter", KOV_UNIT_EVENT_METHOD_TIMEOUT,
      [] { return g_object_new(counter_source_get_type(), nullptr); }, nullptr);
  kov_unit_manager_register_driver(m, d);
  g_object_unref(d);
  d = kov_unit_driver_new_stock_full("test", "copy", "Copy", 0,
                                     [] { return g_object_new(copy_unit_get_type(), nullptr); },
                                     nullptr);
  kov_unit_manager_register_driver(m, d);
  g_object_unref(d);
  g_object_unref(m);
}

class ChainTest : public ::testing::Test {
 protected:
  void SetUp() override { register_test_units(); }
  Ref<KovUnitChain> chain{kov_unit_chain_new()};

  std::string load_error(const char *text) {
    GError *error = nullptr;
    EXPECT_FALSE(kov_unit_chain_load_from_str(chain.get(), text, &error)) << text;
    std::string message = error != nullptr ? error->message : "";
    g_clear_error(&error);
    EXPECT_EQ(kov_unit_chain_get_units(chain.get()), nullptr) << "half-built chain for " << text;
    return message;
  }
};

}  // namespace

TEST_F(ChainTest, TextBuildsLinkedUnitsWithSettingsAndFormat) {
  GError *error = nullptr;
  ASSERT_TRUE(kov_unit_chain_load_from_str(
      chain.get(), "  test.counter period=\"25\" flag=yes format=RGB3!test.counter ! test.copy", &error))
      << error->message;
  const GList *units = kov_unit_chain_get_units(chain.get());
  ASSERT_EQ(g_list_length(const_cast<GList *>(units)), 3u);
  auto *first = KOV_UNIT(units->data);
  EXPECT_STREQ(kov_unit_get_id(first), "test.counter");
  EXPECT_STREQ(kov_unit_get_name(first), "Counter");
  EXPECT_EQ(kov_unit_control_get_int(kov_unit_find_control(first, "period")), 25);
  EXPECT_TRUE(kov_unit_control_get_boolean(kov_unit_find_control(first, "flag")));
  EXPECT_EQ(kov_unit_get_output_format(first)->pixelformat, KOV_PIX_FMT_RGB3);
  auto *copy = KOV_UNIT(g_list_last(const_cast<GList *>(units))->data);
  EXPECT_EQ(kov_unit_get_input(copy), KOV_UNIT(units->next->data));
  EXPECT_EQ(kov_unit_chain_get_last_unit(chain.get()), copy);
  EXPECT_EQ(kov_unit_chain_find_unit_by_id(chain.get(), "test.copy"), copy);
  EXPECT_FALSE(kov_unit_chain_has_gl_units(chain.get()));
}

TEST_F(ChainTest, EveryErrorNamesTheUnitAndTheOffendingWord) {
  EXPECT_EQ(load_error(""), "empty chain description");
  EXPECT_EQ(load_error("   "), "empty chain description");
  EXPECT_EQ(load_error("test.counter !"), "\"!\" at the end without a unit after \"test.counter\"");
  EXPECT_EQ(load_error("! test.counter"), "\"!\" without a unit before it");
  EXPECT_EQ(load_error("test.counter ! ! test.copy"), "\"!\" without a unit after \"test.counter\"");
  EXPECT_EQ(load_error("test.counter ! no.such"), "unknown unit \"no.such\"");
  EXPECT_EQ(load_error("test.counter bogus=1"), "test.counter: unknown control \"bogus\"");
  EXPECT_EQ(load_error("test.counter period"), "test.counter: \"period\" is not a setting (key=value)");
  EXPECT_EQ(load_error("test.counter =5"), "test.counter: \"=5\" is not a setting (key=value)");
  EXPECT_EQ(load_error("test.counter period=abc"),
            "test.counter: \"abc\" is not an integer value for control \"period\"");
  EXPECT_EQ(load_error("test.counter period=-1"),
            "test.counter: value -1 of control \"period\" is outside 0..10000000");
  EXPECT_EQ(load_error("test.counter flag=maybe"),
            "test.counter: \"maybe\" is not a boolean value for control \"flag\" (use true or false)");
  EXPECT_EQ(load_error("test.counter format=BA81"),
            "test.counter: format BA81 is not offered (offered: GREY, RGB3)");
  EXPECT_EQ(load_error("test.counter format=GREYY"),
            "test.counter: \"GREYY\" is not a four-character format code");
  EXPECT_EQ(load_error("test.counter period=\"12"), "unterminated quote in chain description: period=\"12");
  EXPECT_EQ(load_error("period=1 ! test.copy"), "expected a unit identifier, found the setting \"period=1\"");
}

TEST_F(ChainTest, AFailedLoadReplacesAnEarlierChainByNothing) {
  ASSERT_TRUE(kov_unit_chain_load_from_str(chain.get(), "test.counter", nullptr));
  load_error("test.counter ! nope");
}

TEST_F(ChainTest, StartRefusesAUnitWithoutFormatAndStopsTheOthers) {
  ASSERT_TRUE(kov_unit_chain_load_from_str(chain.get(), "test.counter format=RGB3 ! test.copy", nullptr));
  GError *error = nullptr;
  EXPECT_FALSE(kov_unit_chain_all_units_stream_init_full(chain.get(), &error));
  EXPECT_STREQ(error->message, "unit test.copy cannot take its input's format RGB3 2x2");
  g_clear_error(&error);
  EXPECT_FALSE(kov_unit_chain_is_streaming(chain.get()));
}

TEST_F(ChainTest, AChainStartsAgainAfterAStopEvenWhenAUnitDroppedItsFormats) {
  ASSERT_TRUE(kov_unit_chain_load_from_str(chain.get(), "test.counter ! test.copy", nullptr));
  auto *copy = kov_unit_chain_get_last_unit(chain.get());
  ASSERT_EQ(kov_unit_chain_all_units_stream_init(chain.get()), 0);
  kov_unit_chain_all_units_stream_shutdown(chain.get());
  kov_unit_remove_all_output_formats(copy);  // as a unit may do when it stops
  GError *error = nullptr;
  EXPECT_TRUE(kov_unit_chain_all_units_stream_init_full(chain.get(), &error))
      << (error != nullptr ? error->message : "");
  g_clear_error(&error);
  EXPECT_TRUE(kov_unit_is_streaming(copy));
}

TEST_F(ChainTest, IterateRunsDueSourcesOncePerCallAndRelaysTheLastUnitsFrames) {
  ASSERT_TRUE(kov_unit_chain_load_from_str(chain.get(), "test.counter ! test.copy", nullptr));
  int frames = 0;
  g_signal_connect_swapped(chain.get(), "frame-ready",
                           G_CALLBACK(+[](int *n, KovFrameBuffer *f, KovUnitFormat *fmt) {
                             EXPECT_EQ(f->data[0], *n);
                             EXPECT_EQ(fmt->pixelformat, KOV_PIX_FMT_GREY);
                             ++*n;
                           }),
                           &frames);
  EXPECT_EQ(kov_unit_chain_iterate(chain.get()), G_MAXINT64);  // not streaming
  ASSERT_EQ(kov_unit_chain_all_units_stream_init(chain.get()), 0);
  EXPECT_TRUE(kov_unit_chain_is_streaming(chain.get()));
  for (int i = 0; i < 5; ++i) kov_unit_chain_iterate(chain.get());
  EXPECT_EQ(frames, 5);

  auto *src = KOV_UNIT(kov_unit_chain_get_units(chain.get())->data);
  ASSERT_TRUE(kov_unit_control_set_int(kov_unit_find_control(src, "period"), 10000000, nullptr));
  kov_unit_chain_iterate(chain.get());  // due now, then ten seconds on
  const gint64 next = kov_unit_chain_iterate(chain.get());
  EXPECT_EQ(frames, 6);
  EXPECT_GT(next, kov_time_now() + 5000000);
  kov_unit_chain_all_units_stream_shutdown(chain.get());
  kov_unit_chain_iterate(chain.get());
  EXPECT_EQ(frames, 6);
}

TEST_F(ChainTest, EosFollowsTheLastFrameOnceAndErrorsAreRelayedWithTheFirstKept) {
  ASSERT_TRUE(kov_unit_chain_load_from_str(chain.get(), "test.counter count=3 ! test.copy", nullptr));
  std::string log;
  g_signal_connect_swapped(chain.get(), "frame-ready",
                           G_CALLBACK(+[](std::string *l, KovFrameBuffer *f, KovUnitFormat *) {
                             *l += std::to_string(f->data[0]) + " ";
                           }),
                           &log);
  g_signal_connect_swapped(chain.get(), "eos", G_CALLBACK(+[](std::string *l) { *l += "eos "; }),
                           &log);
  g_signal_connect_swapped(chain.get(), "error",
                           G_CALLBACK(+[](std::string *l, KovUnit *u, GError *e) {
                             *l += std::string(kov_unit_get_id(u)) + ":" + e->message + " ";
                           }),
                           &log);
  ASSERT_EQ(kov_unit_chain_all_units_stream_init(chain.get()), 0);
  for (int i = 0; i < 5; ++i) kov_unit_chain_iterate(chain.get());
  EXPECT_EQ(log, "0 1 2 eos ");
  EXPECT_TRUE(kov_unit_chain_is_eos(chain.get()));

  auto *copy = kov_unit_chain_get_last_unit(chain.get());
  GError *first = g_error_new_literal(KOV_ERROR, KOV_ERROR_IO, "disk full");
  GError *second = g_error_new_literal(KOV_ERROR, KOV_ERROR_IO, "still full");
  kov_unit_post_error(copy, first);
  kov_unit_post_error(copy, second);
  EXPECT_EQ(log, "0 1 2 eos test.copy:disk full test.copy:still full ");
  EXPECT_STREQ(kov_unit_chain_get_error(chain.get())->message, "disk full");
  EXPECT_STREQ(kov_unit_get_error(copy)->message, "still full");

  // A new start forgets both; a unit that cannot start names its reason.
  kov_unit_chain_all_units_stream_shutdown(chain.get());
  ASSERT_EQ(kov_unit_chain_all_units_stream_init(chain.get()), 0);
  EXPECT_FALSE(kov_unit_chain_is_eos(chain.get()));
  EXPECT_EQ(kov_unit_chain_get_error(chain.get()), nullptr);
  ASSERT_TRUE(kov_unit_chain_load_from_str(chain.get(), "test.counter format=RGB3 ! test.copy", nullptr));
  kov_unit_set_error(kov_unit_chain_get_last_unit(chain.get()), first);
  GError *error = nullptr;
  EXPECT_FALSE(kov_unit_chain_all_units_stream_init_full(chain.get(), &error));
  EXPECT_STREQ(error->message, "test.copy: disk full");
  g_clear_error(&error);
  g_error_free(first);
  g_error_free(second);

  // Nobody listening: the error is printed, naming the unit.
  kovtest::ChildResult r = kovtest::run_in_child([] {
    Ref<KovUnit> lone = kovtest::create_unit("test.copy");
    GError *e = g_error_new_literal(KOV_ERROR, KOV_ERROR_IO, "cannot write \"x\"");
    kov_unit_post_error(lone.get(), e);
    g_error_free(e);
  });
  EXPECT_EQ(r.err, "test.copy: cannot write \"x\"\n");
}

// One manual main-loop cycle: prepare, query, check, dispatch. Returns the
// poll timeout the sources asked for (-1: sleep until woken).
int cycle(GMainContext *context) {
  gint priority = 0, timeout = 0;
  GPollFD fds[16];
  g_main_context_acquire(context);
  g_main_context_prepare(context, &priority);
  const gint n = g_main_context_query(context, priority, &timeout, fds, 16);
  g_poll(fds, n, 0);
  if (g_main_context_check(context, priority, fds, n)) g_main_context_dispatch(context);
  g_main_context_release(context);
  return timeout;
}

TEST_F(ChainTest, TheDriverSleepsUntilASourceIsDueOrItsDescriptorIsReadable) {
  // A 10 s period: the driver's wait is checked against it with room for a
  // slow (valgrind, loaded) machine, yet cannot pass without waiting.
  ASSERT_TRUE(kov_unit_chain_load_from_str(chain.get(), "test.counter period=10000000", nullptr));
  int frames = 0;
  g_signal_connect_swapped(chain.get(), "frame-ready", G_CALLBACK(+[](int *n) { ++*n; }), &frames);
  GMainContext *context = g_main_context_new();
  const guint id = kov_unit_chain_attach(chain.get(), context);
  EXPECT_EQ(cycle(context), -1) << "a chain that does not stream sleeps";
  ASSERT_EQ(kov_unit_chain_all_units_stream_init(chain.get()), 0);
  EXPECT_EQ(cycle(context), 0);  // due now: one frame
  EXPECT_EQ(frames, 1);
  const int timeout = cycle(context);
  EXPECT_GE(timeout, 8000);  // then asleep for the rest of the period
  EXPECT_LE(timeout, 10000);
  EXPECT_EQ(frames, 1);

  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  kov_unit_chain_all_units_stream_shutdown(chain.get());
  kov_unit_set_event_fd(kov_unit_chain_get_last_unit(chain.get()), pipe_fds[0]);
  ASSERT_EQ(kov_unit_chain_all_units_stream_init(chain.get()), 0);
  EXPECT_EQ(cycle(context), -1);
  EXPECT_EQ(frames, 1);
  ASSERT_EQ(write(pipe_fds[1], "ab", 2), 2);
  cycle(context);
  cycle(context);
  EXPECT_EQ(cycle(context), -1);
  EXPECT_EQ(frames, 3);

  GSource *source = g_main_context_find_source_by_id(context, id);
  ASSERT_NE(source, nullptr);
  g_source_destroy(source);
  g_main_context_unref(context);
  close(pipe_fds[0]);
  close(pipe_fds[1]);
}

// Runs in a fresh process (the manager is a per-process singleton): loads
// the modules of KOV_PLUGIN_PATH and prints what it found.
TEST(ManagerChild, LoadsModules) {
  if (g_getenv("KOV_MANAGER_CHILD") == nullptr) GTEST_SKIP() << "runs only as a child";
  KovUnitManager *m = kov_unit_manager_get_and_ref();
  for (const GList *l = kov_unit_manager_get_plugin_dirs(m); l != nullptr; l = l->next)
    std::printf("dir %s\n", static_cast<const char *>(l->data));
  GError *error = nullptr;
  if (!kov_unit_manager_load_module(m, "/nonexistent/x.so", &error)) std::printf("%s\n", error->message);
  g_clear_error(&error);
  g_object_unref(m);
}

TEST(ManagerTest, ABrokenModuleIsReportedByNameAndSkipped) {
  const std::string dir = KOV_TEST_MODULE_DIR;
  gchar *self = g_file_read_link("/proc/self/exe", nullptr);
  const std::string exe = self != nullptr ? self : "";
  g_free(self);
  auto result = kovtest::run_program({exe, "--gtest_filter=ManagerChild.*"},
                                     {{"KOV_PLUGIN_PATH", dir.c_str()}, {"KOV_MANAGER_CHILD", "1"}});
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_NE(result.err.find("kovkit: skipping plug-in " + dir + "/kov_not_a_plugin.so: not a plug-in "
                            "(kov_plugin_initialize or kov_plugin_create is missing)\n"),
            std::string::npos)
      << result.err;
  EXPECT_NE(result.out.find("dir " + dir + "\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("cannot load: /nonexistent/x.so"), std::string::npos) << result.out;
}
