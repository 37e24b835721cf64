/* SPDX-License-Identifier: LGPL-2.1-or-later */
// The region of interest a frame carries as "roi" metadata: 16 bytes, four
// 32-bit signed integers in host order (x, y, width, height). Units that work
// on a region clip it to the frame before touching any pixel.
#ifndef KOVKIT_ROI_H
#define KOVKIT_ROI_H

#include <kovkit/kovkit.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace kov::plugin {

// A region inside the frame; empty when w or h is 0.
struct Region {
  int x = 0, y = 0, w = 0, h = 0;
  bool empty() const { return w <= 0 || h <= 0; }
};

// The frame's "roi" entry intersected with the frame (width x height). A
// missing entry, or one that is not exactly 16 bytes, means the whole frame.
inline Region frame_region(KovFrameBuffer *frame, int width, int height) {
  gsize length = 0;
  gconstpointer roi = kov_framebuffer_metadata_get(frame, "roi", &length);
  if (roi == nullptr || length != 4 * sizeof(gint32)) return {0, 0, width, height};
  gint32 v[4];
  std::memcpy(v, roi, sizeof v);
  // 64-bit sums: x + width of two large 32-bit values must not wrap.
  const int64_t x0 = std::max<int64_t>(v[0], 0);
  const int64_t y0 = std::max<int64_t>(v[1], 0);
  const int64_t x1 = std::min<int64_t>(int64_t(v[0]) + v[2], width);
  const int64_t y1 = std::min<int64_t>(int64_t(v[1]) + v[3], height);
  if (x1 <= x0 || y1 <= y0) return {};
  return {int(x0), int(y0), int(x1 - x0), int(y1 - y0)};
}

}  // namespace kov::plugin

#endif
