// SPDX-License-Identifier: LGPL-2.1-or-later
// Shared test helpers: see test_support.h.
#include "test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kovtest {

/* ---- the test source unit ------------------------------------------------ */

namespace {

struct TestSource {
  KovUnit parent;
};

struct TestSourceClass {
  KovUnitClass parent_class;
};

G_DEFINE_TYPE(TestSource, test_source, KOV_TYPE_UNIT)

void test_source_class_init(TestSourceClass *) {}
void test_source_init(TestSource *) {}

void set_format(KovUnit *source, guint32 code, int width, int height, int row_stride,
                const char *name) {
  kov_unit_begin_format_update(source);
  kov_unit_remove_all_output_formats(source);
  if (code != 0) kov_unit_add_output_format(source, code, name, width, height, row_stride);
  kov_unit_end_format_update(source);
}

void on_frame(KovUnit *, KovFrameBuffer *frame, KovUnitFormat *format, gpointer user_data) {
  auto *rec = static_cast<Recorder *>(user_data);
  rec->frames.push_back(Ref<KovFrameBuffer>::borrow(frame));
  rec->formats.push_back(Ref<KovUnitFormat>::borrow(format));
  const size_t n = std::min<size_t>(frame->bytesused, frame->length);
  rec->bytes.emplace_back(frame->data, frame->data + (frame->data != nullptr ? n : 0));
}

// Reads both pipes until they close, without blocking on one while the other fills.
void drain(int out_fd, int err_fd, std::string &out, std::string &err) {
  struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  int open_count = 2;
  char buf[4096];
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? out : err).append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
}

ChildResult finish_child(pid_t pid, int out_fd, int err_fd) {
  ChildResult result;
  drain(out_fd, err_fd, result.out, result.err);
  close(out_fd);
  close(err_fd);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status))
    result.exit_status = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    result.exit_status = 128 + WTERMSIG(status);
  return result;
}

void apply_env(const std::vector<std::pair<std::string, const char *>> &env) {
  for (const auto &[name, value] : env) {
    if (value == nullptr)
      unsetenv(name.c_str());
    else
      setenv(name.c_str(), value, 1);
  }
}

}  // namespace

Ref<KovUnit> create_unit(const char *id) {
  KovUnitManager *manager = kov_unit_manager_get_and_ref();
  KovUnit *unit = kov_unit_manager_create_unit_by_id(manager, id);
  g_object_unref(manager);
  return Ref<KovUnit>(unit);
}

Ref<KovUnit> make_source(guint32 code, int width, int height, int row_stride, const char *name) {
  Ref<KovUnit> source(KOV_UNIT(g_object_new(test_source_get_type(), nullptr)));
  set_format(source.get(), code, width, height, row_stride, name);
  return source;
}

void source_set_format(KovUnit *source, guint32 code, int width, int height, int row_stride,
                       const char *name) {
  set_format(source, code, width, height, row_stride, name);
}

void source_push(KovUnit *source, KovFrameBuffer *frame) {
  kov_unit_produce_frame(source, frame, kov_unit_get_output_format(source));
}

void expect_controls(KovUnit *unit, const std::vector<ExpectedControl> &table) {
  const GList *controls = kov_unit_get_controls(unit);
  ASSERT_EQ(g_list_length(const_cast<GList *>(controls)), table.size());
  size_t i = 0;
  for (const GList *l = controls; l != nullptr; l = l->next, ++i) {
    auto *c = static_cast<KovUnitControl *>(l->data);
    const ExpectedControl &e = table[i];
    SCOPED_TRACE(e.id);
    EXPECT_STREQ(kov_unit_control_get_id(c), e.id);
    EXPECT_STREQ(kov_unit_control_get_label(c), e.label);
    EXPECT_EQ(kov_unit_control_get_control_type(c), e.type);
    EXPECT_TRUE(kov_unit_control_is_enabled(c));
    EXPECT_EQ(kov_unit_control_get_ui_hints(c), e.hints);
    switch (e.type) {
      case KOV_UNIT_CONTROL_TYPE_INT:
      case KOV_UNIT_CONTROL_TYPE_FLOAT:
        EXPECT_EQ(kov_unit_control_get_min(c), e.min);
        EXPECT_EQ(kov_unit_control_get_max(c), e.max);
        EXPECT_EQ(kov_unit_control_get_step(c), e.step);
        if (e.type == KOV_UNIT_CONTROL_TYPE_INT)
          EXPECT_EQ(kov_unit_control_get_int(c), int(e.def));
        else
          EXPECT_EQ(kov_unit_control_get_float(c), float(e.def));
        break;
      case KOV_UNIT_CONTROL_TYPE_BOOLEAN:
        EXPECT_EQ(bool(kov_unit_control_get_boolean(c)), e.def != 0);
        break;
      case KOV_UNIT_CONTROL_TYPE_ENUM:
        EXPECT_EQ(kov_unit_control_get_enum(c), int(e.def));
        break;
      default:
        break;
    }
  }
}

Ref<KovFrameBuffer> make_frame(const uint8_t *bytes, size_t size) {
  Ref<KovFrameBuffer> frame(kov_framebuffer_new_alloc(size));
  if (size > 0) std::memcpy(frame->data, bytes, size);
  frame->bytesused = size;
  return frame;
}

Ref<KovFrameBuffer> make_frame(const std::vector<uint8_t> &bytes) {
  return make_frame(bytes.data(), bytes.size());
}

Recorder::Recorder(KovUnit *unit) : unit_(unit) {
  g_object_ref(unit_);
  handler_ = g_signal_connect(unit_, "frame-ready", G_CALLBACK(on_frame), this);
}

Recorder::~Recorder() {
  g_signal_handler_disconnect(unit_, handler_);
  g_object_unref(unit_);
}

namespace {

// Forks a child whose standard output and error go to pipes, runs `child`
// in it (which must not return for run_program, and exits 0 otherwise), and
// collects both streams and the exit status.
ChildResult spawn(const std::function<void()> &child) {
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0) return {};
  if (pipe(err_pipe) != 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return {};
  }
  fflush(stdout);
  fflush(stderr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
    child();
    fflush(stdout);
    fflush(stderr);
    _exit(0);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  return finish_child(pid, out_pipe[0], err_pipe[0]);
}

}  // namespace

FedUnit::FedUnit(const char *id, guint32 code, int width, int height, int row_stride)
    : source(make_source(code, width, height, row_stride)), unit(create_unit(id)) {
  if (!unit) return;
  kov_unit_set_input(unit.get(), source.get());
  rec = std::make_unique<Recorder>(unit.get());
  kov_unit_stream_init(source.get(), nullptr);
  kov_unit_stream_init(unit.get(), nullptr);
}

FedUnit::~FedUnit() {
  if (unit) kov_unit_stream_shutdown(unit.get());
  kov_unit_stream_shutdown(source.get());
}

ChildResult run_in_child(const std::function<void()> &body,
                         const std::vector<std::pair<std::string, const char *>> &env) {
  return spawn([&] {
    apply_env(env);
    body();
  });
}

ChildResult run_program(const std::vector<std::string> &argv,
                        const std::vector<std::pair<std::string, const char *>> &env) {
  if (argv.empty()) return {};
  return spawn([&] {
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, STDIN_FILENO);
    apply_env(env);
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  });
}

std::string plugin_dir() { return KOV_TEST_PLUGIN_DIR; }
std::string bin_dir() { return KOV_TEST_BIN_DIR; }
std::string source_dir() { return KOV_TEST_SOURCE_DIR; }

std::string temp_dir() {
  static std::vector<std::string> *dirs = nullptr;
  if (dirs == nullptr) {
    dirs = new std::vector<std::string>;
    std::atexit([] {
      for (const std::string &d : *dirs) {
        const std::string cmd = "rm -rf '" + d + "'";
        if (std::system(cmd.c_str()) != 0) {
        }
      }
    });
  }
  gchar *dir = g_dir_make_tmp("kovtest-XXXXXX", nullptr);
  std::string result = dir != nullptr ? dir : "/tmp";
  g_free(dir);
  if (!result.empty()) dirs->push_back(result);
  return result;
}

}  // namespace kovtest
