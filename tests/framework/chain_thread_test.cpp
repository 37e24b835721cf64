// SPDX-License-Identifier: LGPL-2.1-or-later
// A chain on a thread of its own: while a unit of the chain is held inside
// a frame (a gate unit that waits until the test opens it) the calling
// thread's main loop runs, a control change and a stop return at once, and
// the unit sees both on the chain's thread once it is let go.
#include <gtest/gtest.h>

#include <kovkit/kovkit.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "test_support.h"

using kovtest::Ref;

namespace {

// What the gate unit did, under its mutex.
struct GateLog {
  std::mutex mutex;
  std::condition_variable cond;
  bool open = false;
  int frames_entered = 0;
  int changes = 0;
  int shutdowns = 0;
  std::thread::id frame_thread, change_thread, shutdown_thread;
  int level_seen = 0;
  bool say_shutdown = false;  // print "gate stopped" when it stops
};

struct KovTestGate {
  KovUnit parent;
  GateLog *log;
  KovUnitControl *level_ctl;
};

struct KovTestGateClass {
  KovUnitClass parent_class;
};

G_DEFINE_TYPE(KovTestGate, kov_test_gate, KOV_TYPE_UNIT)

KovTestGate *as_gate(gpointer p) { return reinterpret_cast<KovTestGate *>(p); }

// Passes each frame on, once the test has opened the gate.
void gate_frame(KovUnit *unit, KovFrameBuffer *frame, KovUnitFormat *format) {
  GateLog &log = *as_gate(unit)->log;
  {
    std::unique_lock<std::mutex> lock(log.mutex);
    ++log.frames_entered;
    log.frame_thread = std::this_thread::get_id();
    log.cond.notify_all();
    log.cond.wait(lock, [&log] { return log.open; });
  }
  kov_unit_produce_frame(unit, frame, format);
}

gboolean gate_control_change(KovUnit *unit, KovUnitControl *, const GValue *proposed,
                             GValue *store) {
  GateLog &log = *as_gate(unit)->log;
  std::lock_guard<std::mutex> lock(log.mutex);
  ++log.changes;
  log.change_thread = std::this_thread::get_id();
  if (G_VALUE_HOLDS_INT(proposed)) log.level_seen = g_value_get_int(proposed);
  g_value_copy(proposed, store);
  return TRUE;
}

gint gate_shutdown(KovUnit *unit) {
  GateLog &log = *as_gate(unit)->log;
  std::lock_guard<std::mutex> lock(log.mutex);
  ++log.shutdowns;
  log.shutdown_thread = std::this_thread::get_id();
  if (log.say_shutdown) fprintf(stderr, "gate stopped\n");
  return 0;
}

void on_gate_input_format(KovUnit *unit, KovUnitFormat *format, gpointer) {
  kov_unit_mirror_input_format(unit, format);
}

void kov_test_gate_class_init(KovTestGateClass *klass) {
  KovUnitClass *unit_class = KOV_UNIT_CLASS(klass);
  unit_class->input_frame_ready = gate_frame;
  unit_class->control_change = gate_control_change;
  unit_class->stream_shutdown = gate_shutdown;
}

void kov_test_gate_init(KovTestGate *gate) {
  kov_unit_set_name(KOV_UNIT(gate), "gate");
  gate->level_ctl = kov_unit_add_control_int(KOV_UNIT(gate), "level", "Level", 0, 10, 1, 0, TRUE);
  kov_unit_add_control_string(KOV_UNIT(gate), "note", "Note", "old", TRUE);
  g_signal_connect(gate, "input-format-changed", G_CALLBACK(on_gate_input_format), nullptr);
}

void set_control(KovUnit *unit, const char *id, const char *value) {
  ASSERT_TRUE(kov_unit_control_set_from_string(kov_unit_find_control(unit, id), value, nullptr))
      << id;
}

class ChainThreadTest : public testing::Test {
 protected:
  void SetUp() override {
    chain_ = Ref<KovUnitChain>(kov_unit_chain_new());
    Ref<KovUnit> source = kovtest::create_unit("input.testsrc");
    ASSERT_TRUE(source);
    set_control(source.get(), "width", "8");
    set_control(source.get(), "height", "4");
    set_control(source.get(), "rate", "0");  // always due
    kov_unit_chain_add_unit(chain_.get(), source.get());
    gate_ = KOV_UNIT(g_object_new(kov_test_gate_get_type(), nullptr));
    as_gate(gate_)->log = &log_;
    kov_unit_chain_add_unit(chain_.get(), gate_);
  }

  void open_gate() {
    std::lock_guard<std::mutex> lock(log_.mutex);
    log_.open = true;
    log_.cond.notify_all();
  }

  void wait_for_frame() {
    std::unique_lock<std::mutex> lock(log_.mutex);
    log_.cond.wait(lock, [this] { return log_.frames_entered > 0; });
  }

  GateLog log_;
  Ref<KovUnitChain> chain_;
  KovUnit *gate_ = nullptr;  // owned by the chain
};

TEST_F(ChainThreadTest, HeldUnitLeavesCallerFreeAndGetsChangesOnItsThread) {
  GError *error = nullptr;
  KovChainThread *thread = kov_chain_thread_new(chain_.get(), 0, &error);
  ASSERT_NE(thread, nullptr) << error->message;
  EXPECT_EQ(kov_chain_thread_get_chain(thread), chain_.get());
  EXPECT_FALSE(kov_chain_thread_is_current(thread));
  EXPECT_FALSE(kov_chain_thread_in_chain_thread());
  ASSERT_TRUE(kov_chain_thread_start(thread, &error)) << error->message;
  EXPECT_TRUE(kov_chain_thread_is_streaming(thread));
  wait_for_frame();  // the gate now holds the chain's thread

  // This thread's main loop still dispatches.
  bool dispatched = false;
  g_idle_add(
      [](gpointer data) {
        *static_cast<bool *>(data) = true;
        return G_SOURCE_REMOVE;
      },
      &dispatched);
  while (!dispatched) g_main_context_iteration(nullptr, TRUE);

  // A change is checked here and waits for the unit's thread.
  KovUnitControl *level = kov_unit_find_control(gate_, "level");
  EXPECT_TRUE(kov_unit_control_set_int(level, 7, &error));
  EXPECT_FALSE(kov_unit_control_set_int(level, 11, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_STREQ(error->message, "gate: value 11 of control \"level\" is outside 0..10");
  g_clear_error(&error);
  kov_chain_thread_stop(thread);
  {
    std::lock_guard<std::mutex> lock(log_.mutex);
    EXPECT_EQ(log_.changes, 0);
    EXPECT_EQ(log_.shutdowns, 0);
  }

  open_gate();
  kov_chain_thread_free(thread);
  std::lock_guard<std::mutex> lock(log_.mutex);
  EXPECT_EQ(log_.changes, 1);
  EXPECT_EQ(log_.level_seen, 7);
  EXPECT_EQ(kov_unit_control_get_int(level), 7);
  EXPECT_NE(log_.frame_thread, std::this_thread::get_id());
  EXPECT_EQ(log_.change_thread, log_.frame_thread);
  EXPECT_GE(log_.shutdowns, 1);
  EXPECT_EQ(log_.shutdown_thread, log_.frame_thread);
  EXPECT_FALSE(kov_unit_chain_is_streaming(chain_.get()));
}

// A window or a script reads a text control while the chain's thread stores
// a new one: the copy is taken under the framework's lock, so the reader
// never sees the old text being freed (ThreadSanitizer checks the ordering).
TEST_F(ChainThreadTest, TextIsCopiedSafelyWhileTheChainThreadChangesIt) {
  KovChainThread *thread = kov_chain_thread_new(chain_.get(), 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(kov_chain_thread_start(thread, nullptr));
  wait_for_frame();
  KovUnitControl *note = kov_unit_find_control(gate_, "note");
  ASSERT_TRUE(kov_unit_control_set_string(note, "new", nullptr));
  gchar *text = kov_unit_control_dup_string(note);
  EXPECT_STREQ(text, "old");  // still waiting for the unit's thread
  g_free(text);
  open_gate();
  for (bool changed = false; !changed;) {
    text = kov_unit_control_dup_string(note);
    changed = g_strcmp0(text, "new") == 0;
    if (!changed) {
      EXPECT_STREQ(text, "old");
    }
    g_free(text);
  }
  kov_chain_thread_free(thread);
}

// A program that exits while its chain still runs on the thread (never
// freed): the chain is stopped there before the process's libraries are
// torn down.
TEST_F(ChainThreadTest, ExitStopsAChainStillRunning) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        open_gate();
        KovChainThread *thread = kov_chain_thread_new(chain_.get(), 0, nullptr);
        kov_chain_thread_start(thread, nullptr);
        wait_for_frame();
        {
          std::lock_guard<std::mutex> lock(log_.mutex);
          log_.say_shutdown = true;
        }
        std::exit(0);
      },
      testing::ExitedWithCode(0), "gate stopped");
}

// Once the thread is gone the units belong to the caller again: a change
// reaches the unit at once, on this thread.
TEST_F(ChainThreadTest, ChangesApplyDirectlyAfterTheThreadEnds) {
  KovChainThread *thread = kov_chain_thread_new(chain_.get(), 0, nullptr);
  ASSERT_NE(thread, nullptr);
  kov_chain_thread_free(thread);
  EXPECT_TRUE(kov_unit_control_set_int(kov_unit_find_control(gate_, "level"), 3, nullptr));
  std::lock_guard<std::mutex> lock(log_.mutex);
  EXPECT_EQ(log_.changes, 1);
  EXPECT_EQ(log_.change_thread, std::this_thread::get_id());
}

TEST_F(ChainThreadTest, StartReportsWhyTheChainDidNotStart) {
  Ref<KovUnitChain> lone(kov_unit_chain_new());
  KovUnit *gate = KOV_UNIT(g_object_new(kov_test_gate_get_type(), nullptr));
  as_gate(gate)->log = &log_;
  kov_unit_chain_add_unit(lone.get(), gate);
  KovChainThread *thread = kov_chain_thread_new(lone.get(), 0, nullptr);
  ASSERT_NE(thread, nullptr);
  GError *error = nullptr;
  EXPECT_FALSE(kov_chain_thread_start(thread, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_STREQ(error->message, "unit gate has no output format");
  g_error_free(error);
  EXPECT_FALSE(kov_chain_thread_is_streaming(thread));
  kov_chain_thread_free(thread);
}

// Work handed to the thread runs there, in order, and what is still queued
// when the thread ends is freed.
TEST_F(ChainThreadTest, InvokedWorkRunsOnTheChainThreadInOrder) {
  KovChainThread *thread = kov_chain_thread_new(chain_.get(), 0, nullptr);
  ASSERT_NE(thread, nullptr);
  struct Record {
    KovChainThread *thread;
    std::mutex mutex;
    std::string order;
    bool on_thread = true;
    int freed = 0;
  } record;
  record.thread = thread;
  auto step = [](gpointer data) -> gboolean {
    auto *r = static_cast<Record *>(data);
    std::lock_guard<std::mutex> lock(r->mutex);
    r->order += char('a' + r->order.size());
    r->on_thread = r->on_thread && kov_chain_thread_is_current(r->thread) &&
                   kov_chain_thread_in_chain_thread();
    return G_SOURCE_REMOVE;
  };
  auto freed = [](gpointer data) {
    auto *r = static_cast<Record *>(data);
    std::lock_guard<std::mutex> lock(r->mutex);
    ++r->freed;
  };
  for (int i = 0; i < 3; ++i) kov_chain_thread_invoke(thread, step, &record, freed);
  kov_chain_thread_free(thread);
  EXPECT_EQ(record.order, "abc");
  EXPECT_TRUE(record.on_thread);
  EXPECT_EQ(record.freed, 3);
}

}  // namespace
