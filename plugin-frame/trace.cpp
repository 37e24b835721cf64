// SPDX-License-Identifier: LGPL-2.1-or-later
// The debug trace: parses KOV_DBG into a category mask and writes coloured
// trace lines to standard error. Linked statically into each tracing module,
// with hidden visibility, so every module parses the variable by itself.
#include "kovkit/trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

uint16_t kov_dbg_initialised = 0;
uint64_t kov_dbg_mask = 0;

namespace {

struct Option {
  const char *name;
  uint64_t mask;
};

// Order matters only for lookup; "driver" stands before "chain".
constexpr Option kOptions[] = {
    {"all", ~uint64_t{0}}, {"error", 0x1},     {"unit", 0x2},    {"driver", 0x8},
    {"chain", 0x4},        {"manager", 0x10},  {"input", 0x20},  {"filter", 0x40},
    {"output", 0x80},      {"gui", 0x100},     {"control", 0x200}, {"ref", 0x400},
    {"plugin", 0x800},     {"log", 0x1000},    {"13", 0x2000},   {"14", 0x4000},
    {"15", 0x8000},        {"16", 0x10000},    {nullptr, 0},
};

struct Colour {
  uint64_t mask;
  const char *prefix;
};

constexpr Colour kColours[] = {
    {0x2, "\x1b[36;40mUnit: "},
    {0x4, "\x1b[31;40mChain: "},
    {0x8, "\x1b[37;40mDriver: "},
    {0x10, "\x1b[33;40mManager: "},
    {0x20, "\x1b[32;40mInput: "},
    {0x40, "\x1b[34;40mFilter: "},
    {0x80, "\x1b[35;40mOutput: "},
    {0x100, "\x1b[1;36;40mGUI: "},
    {0x200, "\x1b[1;33;40mUnitControl: "},
    {0x400, "\x1b[1;32;40mRefCount: "},
    {0x800, "\x1b[1;35;40mPlugin:"},
    {0x1000, "\x1b[1;33;40mLog:"},
    {0x2000, "\x1b[36;40m"},
    {0x4000, "\x1b[1;34;40m"},
    {0x8000, "\x1b[1;35;40m"},
    {0x10000, "\x1b[1;37;40m"},
    {0, nullptr},
};

constexpr const char *kDefaultPrefix = "\x1b[1;37;40m";
constexpr const char *kReset = "\x1b[0m";

const char *prefix_for(uint64_t category) {
  for (const Colour *row = kColours; row->mask != 0; ++row)
    if ((row->mask & category) != 0) return row->prefix;
  return kDefaultPrefix;
}

}  // namespace

void kov_dbg_init(void) {
  kov_dbg_initialised = 1;
  kov_dbg_mask = 0x1;

  const char *value = std::getenv("KOV_DBG");
  if (value == nullptr) return;

  // Working copy of at most 255 characters; a longer value is cut.
  char copy[256];
  std::strncpy(copy, value, sizeof copy - 1);
  copy[sizeof copy - 1] = '\0';

  char *save = nullptr;
  for (char *token = strtok_r(copy, ",", &save); token != nullptr;
       token = strtok_r(nullptr, ",", &save)) {
    bool clear = false;
    if (token[0] == '-') {
      clear = true;
      ++token;
    }
    const Option *found = nullptr;
    for (const Option *row = kOptions; row->name != nullptr; ++row) {
      if (std::strcmp(row->name, token) == 0) {
        found = row;
        break;
      }
    }
    if (found == nullptr) {
      std::fprintf(stderr, "Warning: Unknown debug option: \"%s\"\n", token);
      return;
    }
    if (clear)
      kov_dbg_mask &= ~found->mask;
    else
      kov_dbg_mask |= found->mask;
  }
}

void kov_dbg_write(uint64_t category, const char *format, ...) {
  if (!kov_dbg_initialised) kov_dbg_init();
  if ((kov_dbg_mask & category) == 0) return;

  std::fputs(prefix_for(category), stderr);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputs(kReset, stderr);
}
