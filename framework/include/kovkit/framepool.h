/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* KovFramePool: output frames of one size that a unit reuses once nobody
 * else holds them. */
#ifndef KOVKIT_FRAMEPOOL_H
#define KOVKIT_FRAMEPOOL_H

#include <kovkit/framebuffer.h>

G_BEGIN_DECLS

/* A unit that fills frames of its own takes each one from a pool: a frame
 * comes back only when the pool holds its only reference, so a listener that
 * keeps a frame sees bytes that never change. When nobody keeps frames the
 * pool hands out the same frame every time.
 *
 * A pool is used by one thread at a time (its unit's); the frames it hands
 * out may be released on any thread. */
typedef struct _KovFramePool KovFramePool;

/* Frames a unit's pool keeps unless it has reason for another number: enough
 * for a listener or two that hold frames while the next ones are made. */
#define KOV_FRAME_POOL_DEFAULT_FRAMES 4u

/**
 * kov_frame_pool_new:
 * @frame_size: bytes of every frame (the frames' length).
 * @max_frames: frames the pool keeps for reuse, at least 1.
 * Returns: (transfer full) (nullable): a new pool, to be freed with
 * kov_frame_pool_free; NULL when out of memory.
 */
KovFramePool *kov_frame_pool_new(gsize frame_size, guint max_frames);

/**
 * kov_frame_pool_acquire:
 * A frame of the pool's size, aligned to 64 bytes (a cache line), with
 * bytesused and timestamp 0 and no metadata. Its bytes are those it held
 * when it was last handed out (or undefined for a new frame): the frame
 * handed out last comes back first when nobody holds it any more. When
 * every kept frame is held elsewhere the pool makes another one, and once it
 * keeps @max_frames it hands out new frames that are freed when their last
 * holder drops them.
 * Returns: (transfer full) (nullable): the frame, or NULL when out of memory.
 */
KovFrameBuffer *kov_frame_pool_acquire(KovFramePool *pool);

/**
 * kov_frame_pool_acquire_sized:
 * @pool: (inout) (nullable): the unit's pool, or NULL before its first frame.
 * For units whose frame size is known only when a frame arrives: replaces
 * *@pool by a new pool of KOV_FRAME_POOL_DEFAULT_FRAMES frames of
 * @frame_size when there is none or its frames have another size, then
 * acquires a frame from it.
 * Returns: (transfer full) (nullable): the frame, or NULL when out of memory.
 */
KovFrameBuffer *kov_frame_pool_acquire_sized(KovFramePool **pool, gsize frame_size);

/* The frame size the pool was made for. */
gsize kov_frame_pool_get_frame_size(KovFramePool *pool);

/* Drops the pool's references; frames held elsewhere live on. NULL is allowed. */
void kov_frame_pool_free(KovFramePool *pool);

G_END_DECLS

#endif
