// SPDX-License-Identifier: LGPL-2.1-or-later
// Helpers of the GStreamer unit tests: run a chain until it ends, fails or
// has given enough frames, and take the buffers GStreamer itself gives for a
// pipeline, to compare with.
#ifndef KOV_TEST_GST_CHAIN_RUN_H
#define KOV_TEST_GST_CHAIN_RUN_H

#include <gst/gst.h>

#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"

namespace gsttest {

struct ChainRun {
  std::vector<std::vector<uint8_t>> frames;  // bytesused of each frame
  std::vector<kovtest::Ref<KovUnitFormat>> formats;
  std::vector<gint64> timestamps;
  bool eos = false;
  std::string error;  // "<unit id>: <message>" of a start failure or the first posted error
};

// Loads @text (it must parse), starts it and runs its driver on a context
// of its own until "eos", an error, @max_frames frames from the last unit,
// or @seconds.
ChainRun run_chain(const std::string &text, size_t max_frames, int seconds = 20);

// The bytes of every buffer "@pipeline ! appsink" gives (sync off), until
// the end of the stream; @caps gets the first buffer's caps.
std::vector<std::vector<uint8_t>> gst_buffers(const std::string &pipeline,
                                              std::string *caps = nullptr);

}  // namespace gsttest

#endif
