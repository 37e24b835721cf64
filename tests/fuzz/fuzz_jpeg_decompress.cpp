// SPDX-License-Identifier: LGPL-2.1-or-later
// Fuzz target for convert.jpeg_decompress: the input's first eight bytes are
// the announced width and height (little-endian), the rest is one MJPG frame.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  kovfuzz::Reader in(data, size);
  const int width = in.i32(), height = in.i32();
  if (!kovfuzz::within_cap(width, height)) return 0;
  const std::string frame = in.rest();
  kovfuzz::Fed fed("convert.jpeg_decompress", KOV_PIX_FMT_MJPG, width, height, 0);
  fed.push(frame, frame.size(), frame.size(), nullptr);
  return 0;
}
