// SPDX-License-Identifier: LGPL-2.1-or-later
// Fuzz target for one frame-processing unit, named by KOV_FUZZ_UNIT at build
// time: arbitrary input formats (code, width, height, stride), control
// values, frame lengths and "roi" entries (see fuzz_support.h).
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  kovfuzz::run_unit(KOV_FUZZ_UNIT, data, size);
  return 0;
}
