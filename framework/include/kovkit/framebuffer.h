/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* KovFrameBuffer: one frame's pixels, its timestamp and its metadata.
 *
 * Ownership. A frame is a reference-counted object. A unit hands a frame on
 * with kov_unit_produce_frame; the units it feeds and every "frame-ready"
 * listener receive it (transfer none) for the duration of the call. Anyone
 * may keep the frame after that, on any thread, by taking a reference
 * (g_object_ref) and dropping it when done.
 *
 * Once produced, a frame's bytes, bytesused, timestamp and metadata stay as
 * they are for as long as anyone other than its maker holds a reference:
 *  - the maker reuses a frame only when it holds the only reference (a
 *    KovFramePool does this check for it);
 *  - nobody else writes into a frame, neither its bytes nor its metadata. A
 *    unit that passes pixels on with metadata of its own makes a new frame
 *    over the same bytes with kov_framebuffer_new_wrapped and copies the
 *    metadata it keeps with kov_framebuffer_copy_metadata.
 * So the bytes of a frame are valid, and unchanged, while a reference to it
 * is held, and no longer. */
#ifndef KOVKIT_FRAMEBUFFER_H
#define KOVKIT_FRAMEBUFFER_H

#include <kovkit/types.h>

G_BEGIN_DECLS

#define KOV_TYPE_FRAMEBUFFER (kov_framebuffer_get_type())
#define KOV_FRAMEBUFFER(o) (G_TYPE_CHECK_INSTANCE_CAST((o), KOV_TYPE_FRAMEBUFFER, KovFrameBuffer))
#define KOV_IS_FRAMEBUFFER(o) (G_TYPE_CHECK_INSTANCE_TYPE((o), KOV_TYPE_FRAMEBUFFER))

typedef struct _KovFrameBufferPrivate KovFrameBufferPrivate;

/**
 * KovFrameBuffer:
 * @data: (type gpointer): the frame's first byte (an address for bindings).
 */
struct _KovFrameBuffer {
  GObject parent;
  guint8 *data;
  gsize length;    /* bytes allocated (or wrapped) */
  gsize bytesused; /* set by the producer */
  gint64 timestamp; /* microseconds */
  KovFrameBufferPrivate *priv;
};

typedef struct {
  GObjectClass parent_class;
} KovFrameBufferClass;

GType kov_framebuffer_get_type(void);

/**
 * kov_framebuffer_new:
 * @data: memory the frame refers to; it is not copied and not freed. It must
 * stay valid and unchanged for the frame's whole life, which any listener
 * may extend: for bytes owned by another frame use
 * kov_framebuffer_new_wrapped, for bytes of one's own kov_framebuffer_new_alloc
 * or a KovFramePool.
 * Returns: (transfer full): a new frame.
 */
KovFrameBuffer *kov_framebuffer_new(gpointer data, gsize length);

/**
 * kov_framebuffer_new_wrapped:
 * @parent: (transfer none): the frame whose bytes the new frame shows; the
 * new frame takes a reference of its own.
 * @data: the first byte of the new frame, inside @parent's data.
 * @length: bytes of the new frame; @data + @length must not pass the end of
 * @parent's data (@parent->data + @parent->length).
 *
 * A frame over bytes of @parent, with no metadata, timestamp 0 and bytesused
 * 0. It holds a reference to @parent for its own life, so the bytes stay
 * valid as long as the new frame does. Neither frame is to be written to
 * once produced: the new frame exists to carry a timestamp and metadata of
 * its own, or a part of @parent's picture.
 * Returns: (transfer full) (nullable): a new frame, or NULL when the range
 * does not lie within @parent's data.
 */
KovFrameBuffer *kov_framebuffer_new_wrapped(KovFrameBuffer *parent, gpointer data, gsize length);

/**
 * kov_framebuffer_new_full:
 * @data: memory the frame refers to; it is not copied.
 * @release: (nullable) (scope async): called once with @release_data when the
 * frame is finalized, after which @data is no longer used.
 * @release_data: (closure release): what @release gets.
 *
 * A frame over memory that something else owns and keeps alive until
 * @release runs: a mapped buffer of another library, an array of another
 * language. The bytes must stay unchanged while the frame lives.
 * Returns: (transfer full): a new frame.
 */
KovFrameBuffer *kov_framebuffer_new_full(gpointer data, gsize length, GDestroyNotify release,
                                         gpointer release_data);
/**
 * kov_framebuffer_new_alloc:
 *
 * Allocates @length bytes, aligned to 64 bytes (a cache line), owned by
 * the frame. Buffers of the same size are recycled, so a stream does not
 * fault in fresh pages for every frame. The contents are not cleared.
 *
 * Returns: (transfer full) (nullable): a new frame, or NULL when out of memory.
 */
KovFrameBuffer *kov_framebuffer_new_alloc(gsize length);

/* Copies the timestamp and every metadata entry of @from onto @to. Only the
 * maker of @to may do this, before it produces @to. */
void kov_framebuffer_copy_metadata(KovFrameBuffer *to, KovFrameBuffer *from);

/**
 * kov_framebuffer_metadata_get:
 * @length: (out) (optional): the stored length, 0 when absent.
 * Returns: (transfer none) (nullable) (array length=length) (element-type guint8):
 * the stored bytes, or NULL. They belong to the frame and stay valid while a
 * reference to it is held.
 */
gconstpointer kov_framebuffer_metadata_get(KovFrameBuffer *frame, const gchar *key,
                                           gsize *length);

/**
 * kov_framebuffer_metadata_set:
 * @data: (array length=length) (element-type guint8) (nullable): the bytes.
 * Stores a copy of @length bytes under @key, replacing an earlier entry.
 * Only the maker of @frame may do this, before it produces @frame.
 */
void kov_framebuffer_metadata_set(KovFrameBuffer *frame, const gchar *key,
                                  gconstpointer data, gsize length);

/**
 * kov_framebuffer_metadata_keys:
 * Returns: (transfer container) (element-type utf8): the keys in sorted order;
 * free the list with g_list_free, the strings belong to the frame.
 */
GList *kov_framebuffer_metadata_keys(KovFrameBuffer *frame);

G_END_DECLS

#endif
