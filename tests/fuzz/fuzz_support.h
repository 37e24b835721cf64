/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Shared by the fuzz targets: one-time set-up, a reader of the input's bytes,
// and a driver that feeds a unit formats, control values and frames taken
// from the input. The byte layout is the one tests/fuzz/make_corpus.py writes.
#ifndef KOV_FUZZ_SUPPORT_H
#define KOV_FUZZ_SUPPORT_H

#include <kovkit/kovkit.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace kovfuzz {

// Largest announced picture (width x height) and frame a target builds: as
// libjpeg-turbo's fuzzers do, bigger pictures are skipped so that a run does
// not spend its time on huge allocations. Widths and strides up to the int
// limits are still tried, with a height that keeps under the cap.
constexpr int64_t kMaxPixels = 1 << 18;
constexpr size_t kMaxFrameBytes = 1 << 20;

// Loads the plug-ins of the build tree and makes GLib criticals fatal.
void init();

// Reads the input front to back; past its end every value is 0.
class Reader {
 public:
  Reader(const uint8_t *data, size_t size) : p_(data), end_(data + size) {}
  uint8_t u8();
  uint32_t u32();  // little-endian
  int32_t i32() { return static_cast<int32_t>(u32()); }
  // A pixel format: an index into the known formats, or 0xff and any code.
  uint32_t code();
  // Up to n bytes (fewer at the end of the input).
  std::string bytes(size_t n);
  std::string rest() { return bytes(remaining()); }
  size_t remaining() const { return static_cast<size_t>(end_ - p_); }

 private:
  const uint8_t *p_;
  const uint8_t *end_;
};

// Reads every frame the unit produces ("frame-ready") and aborts when one
// claims more bytes than it holds.
void check_frames(KovUnit *unit);

// True when a width x height picture is within kMaxPixels (any sign).
bool within_cap(int64_t width, int64_t height);

// Sets every control of the unit, in order, from four bytes each: the low
// 31 bits pick a value within the control's range, or (top bit set) the
// bytes are given as they are, out of range or not. String controls take a
// length byte and that many bytes.
void set_controls(KovUnit *unit, Reader &in);

// A unit made by the manager (the process aborts when it is unknown), fed by
// a source of the fuzzer's own, both streaming; every frame it produces is
// read whole.
class Fed {
 public:
  Fed(const char *id, uint32_t code, int width, int height, int stride);
  ~Fed();
  Fed(const Fed &) = delete;
  Fed &operator=(const Fed &) = delete;
  void set_format(uint32_t code, int width, int height, int stride);
  // Pushes a frame of `length` bytes (the given ones, then zeros) with
  // bytesused `used` and, unless roi is null, that "roi" entry.
  void push(const std::string &bytes, size_t length, size_t used, const std::string *roi);
  KovUnit *unit() const { return unit_; }
  KovUnit *source() const { return source_; }

 private:
  KovUnit *unit_;
  KovUnit *source_;
};

// Makes the unit, feeds it from a source of the format the input announces
// and pushes the frames the input describes (each with an optional "roi"
// entry of any length); the format may change between frames. A frame's
// length is a number of bytes, or (top bit set) the announced format's frame
// size plus a signed byte.
void run_unit(const char *id, const uint8_t *data, size_t size);

}  // namespace kovfuzz

#endif
