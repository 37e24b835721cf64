// SPDX-License-Identifier: LGPL-2.1-or-later
// KovFramePool: a unit's output frames, reused only when the pool holds the
// only reference. The frames are kept most recently handed out first, so a
// stream whose frames nobody keeps gets the same frame every time.
#include <kovkit/framepool.h>

#include "framebuffer_private.h"

#include <new>
#include <vector>

struct _KovFramePool {
  gsize frame_size;
  guint max_frames;
  std::vector<KovFrameBuffer *> frames;  // one reference each, most recently handed out first
};

namespace {

// A frame whose only reference is the pool's. The read is atomic; other
// threads can only drop references to a frame they hold, never take new
// ones, so a count of 1 cannot rise again behind the pool's back.
bool held_only_by_pool(KovFrameBuffer *frame) {
  return g_atomic_int_get(&G_OBJECT(frame)->ref_count) == 1;
}

}  // namespace

KovFramePool *kov_frame_pool_new(gsize frame_size, guint max_frames) {
  g_return_val_if_fail(max_frames > 0, nullptr);
  auto *pool = new (std::nothrow) KovFramePool;
  if (pool == nullptr) return nullptr;
  pool->frame_size = frame_size;
  pool->max_frames = max_frames;
  return pool;
}

KovFrameBuffer *kov_frame_pool_acquire(KovFramePool *pool) {
  g_return_val_if_fail(pool != nullptr, nullptr);
  auto &frames = pool->frames;
  for (size_t i = 0; i < frames.size(); ++i) {
    KovFrameBuffer *frame = frames[i];
    if (!held_only_by_pool(frame)) continue;
    // Move it to the front: it is now the most recently handed out.
    for (size_t j = i; j > 0; --j) frames[j] = frames[j - 1];
    frames[0] = frame;
    kov_framebuffer_reset(frame);
    return KOV_FRAMEBUFFER(g_object_ref(frame));
  }
  KovFrameBuffer *frame = kov_framebuffer_new_alloc(pool->frame_size);
  if (frame == nullptr) return nullptr;
  if (frames.size() < pool->max_frames) {
    try {
      frames.insert(frames.begin(), KOV_FRAMEBUFFER(g_object_ref(frame)));
    } catch (const std::bad_alloc &) {
      g_object_unref(frame);  // the pool's reference: the frame goes out unpooled
    }
  }
  return frame;
}

KovFrameBuffer *kov_frame_pool_acquire_sized(KovFramePool **pool, gsize frame_size) {
  g_return_val_if_fail(pool != nullptr, nullptr);
  if (*pool != nullptr && (*pool)->frame_size != frame_size) {
    kov_frame_pool_free(*pool);
    *pool = nullptr;
  }
  if (*pool == nullptr) *pool = kov_frame_pool_new(frame_size, KOV_FRAME_POOL_DEFAULT_FRAMES);
  return *pool != nullptr ? kov_frame_pool_acquire(*pool) : nullptr;
}

gsize kov_frame_pool_get_frame_size(KovFramePool *pool) {
  g_return_val_if_fail(pool != nullptr, 0);
  return pool->frame_size;
}

void kov_frame_pool_free(KovFramePool *pool) {
  if (pool == nullptr) return;
  for (KovFrameBuffer *frame : pool->frames) g_object_unref(frame);
  delete pool;
}
