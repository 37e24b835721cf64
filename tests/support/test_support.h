/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Helpers shared by the C++ tests: reference holders, a source unit and a
// recorder of produced frames, units made through the manager, and a runner
// that executes a test body in a child process with its standard error
// captured (for per-process state such as the trace).
#ifndef KOV_TEST_SUPPORT_H
#define KOV_TEST_SUPPORT_H

#include <kovkit/kovkit.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kovtest {

// Owns one reference to a GObject; adopting a floating object sinks it.
template <typename T>
class Ref {
 public:
  Ref() = default;
  explicit Ref(T *object) : p_(object) {
    if (p_ != nullptr && g_object_is_floating(p_)) g_object_ref_sink(p_);
  }
  Ref(const Ref &other) : p_(other.p_) {
    if (p_ != nullptr) g_object_ref(p_);
  }
  Ref(Ref &&other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref &operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Ref() {
    if (p_ != nullptr) g_object_unref(p_);
  }
  static Ref borrow(T *object) {
    if (object != nullptr) g_object_ref(object);
    Ref r;
    r.p_ = object;
    return r;
  }
  T *get() const { return p_; }
  T *operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  T *release() { return std::exchange(p_, nullptr); }

 private:
  T *p_ = nullptr;
};

// A unit made by the manager from its identifier (NULL Ref when unknown).
Ref<KovUnit> create_unit(const char *id);

// A source unit of the tests' own: offers exactly one output format (or none
// when code is 0) and produces the frames handed to source_push.
Ref<KovUnit> make_source(guint32 code, int width, int height, int row_stride,
                         const char *name = nullptr);
// Replaces the source's format and announces it to the units it feeds.
void source_set_format(KovUnit *source, guint32 code, int width, int height, int row_stride,
                       const char *name = nullptr);
// Produces the frame with the source's current format (it must stream).
void source_push(KovUnit *source, KovFrameBuffer *frame);

// One row of a unit's expected control table. Range and step are checked for
// int and float controls; `def` is the current value of a fresh unit.
struct ExpectedControl {
  const char *id;
  const char *label;
  KovUnitControlType type;
  double min, max, step, def;
  guint hints;
};

// Checks the unit's controls, in creation order, against the table (all
// enabled).
void expect_controls(KovUnit *unit, const std::vector<ExpectedControl> &table);

// A frame owning a copy of the bytes (16-byte aligned), bytesused = size.
Ref<KovFrameBuffer> make_frame(const std::vector<uint8_t> &bytes);
Ref<KovFrameBuffer> make_frame(const uint8_t *bytes, size_t size);

// Records every frame a unit produces ("frame-ready"), with its format.
class Recorder {
 public:
  explicit Recorder(KovUnit *unit);
  ~Recorder();
  Recorder(const Recorder &) = delete;
  Recorder &operator=(const Recorder &) = delete;

  size_t count() const { return frames.size(); }
  // Bytes of frame i (bytesused of them), copied when the frame was produced:
  // units may reuse their buffers for the next frame.
  std::vector<Ref<KovFrameBuffer>> frames;
  std::vector<Ref<KovUnitFormat>> formats;
  std::vector<std::vector<uint8_t>> bytes;

 private:
  KovUnit *unit_;
  gulong handler_;
};

// A unit made by the manager, fed by a test source of one format, both
// streaming, with the unit's frames recorded. `unit` is empty when the
// identifier is unknown.
struct FedUnit {
  FedUnit(const char *id, guint32 code, int width, int height, int row_stride);
  ~FedUnit();
  FedUnit(const FedUnit &) = delete;
  FedUnit &operator=(const FedUnit &) = delete;

  void push(KovFrameBuffer *frame) { source_push(source.get(), frame); }
  KovUnitControl *control(const char *id) { return kov_unit_find_control(unit.get(), id); }

  Ref<KovUnit> source;
  Ref<KovUnit> unit;
  std::unique_ptr<Recorder> rec;
};

struct ChildResult {
  int exit_status = -1;  // exit code, or 128 + signal number
  std::string out;       // standard output
  std::string err;       // standard error
};

// Runs body in a forked child with the given environment changes
// (a value of nullptr unsets the variable); the child exits 0 when body
// returns. Both output streams are captured byte for byte.
ChildResult run_in_child(const std::function<void()> &body,
                         const std::vector<std::pair<std::string, const char *>> &env = {});

// Runs a program and captures its output (argv[0] is the program path).
ChildResult run_program(const std::vector<std::string> &argv,
                        const std::vector<std::pair<std::string, const char *>> &env = {});

// Directory of the built plug-ins, of the built programs, of the sources.
std::string plugin_dir();
std::string bin_dir();
std::string source_dir();
// A fresh empty temporary directory, removed at process exit.
std::string temp_dir();

}  // namespace kovtest

#endif
