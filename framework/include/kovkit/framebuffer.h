/* KovFrameBuffer: one frame's pixels, its timestamp and its metadata. */
#ifndef KOVKIT_FRAMEBUFFER_H
#define KOVKIT_FRAMEBUFFER_H

#include <kovkit/types.h>

G_BEGIN_DECLS

#define KOV_TYPE_FRAMEBUFFER (kov_framebuffer_get_type())
#define KOV_FRAMEBUFFER(o) (G_TYPE_CHECK_INSTANCE_CAST((o), KOV_TYPE_FRAMEBUFFER, KovFrameBuffer))
#define KOV_IS_FRAMEBUFFER(o) (G_TYPE_CHECK_INSTANCE_TYPE((o), KOV_TYPE_FRAMEBUFFER))

typedef struct _KovFrameBufferPrivate KovFrameBufferPrivate;

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
 * @data: memory the frame refers to; it is not copied and not freed.
 * Returns: (transfer full): a new frame.
 */
KovFrameBuffer *kov_framebuffer_new(gpointer data, gsize length);

/**
 * kov_framebuffer_new_alloc:
 *
 * Allocates @length bytes, 16-byte aligned, owned by the frame. Buffers of
 * the same size are recycled, so a stream does not fault in fresh pages for
 * every frame. The contents are not cleared.
 *
 * Returns: (transfer full) (nullable): a new frame, or NULL when out of memory.
 */
KovFrameBuffer *kov_framebuffer_new_alloc(gsize length);

/* Copies the timestamp and every metadata entry of @from onto @to. */
void kov_framebuffer_copy_metadata(KovFrameBuffer *to, KovFrameBuffer *from);

/**
 * kov_framebuffer_metadata_get:
 * @length: (out) (optional): the stored length, 0 when absent.
 * Returns: (transfer none) (nullable): the stored bytes, or NULL.
 */
gconstpointer kov_framebuffer_metadata_get(KovFrameBuffer *frame, const gchar *key,
                                           gsize *length);

/* Stores a copy of @length bytes under @key, replacing an earlier entry. */
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
