// SPDX-License-Identifier: LGPL-2.1-or-later
// KovFrameBuffer: frame memory, timestamp and metadata. Owned allocations are
// 16-byte aligned and come from a small recycling pool (buffer_pool.h).
#include <kovkit/framebuffer.h>

#include "buffer_pool.h"
#include "framebuffer_private.h"

#include <cstdint>
#include <cstring>

struct _KovFrameBufferPrivate {
  bool owns_data;
  GHashTable *metadata;    // key (string) -> GBytes
  KovFrameBuffer *parent;  // owner of the bytes of a wrapped frame (a reference), or NULL
};

namespace {

using kov::BufferPool;

// Never destroyed: frames may be released during process exit.
BufferPool &pool() {
  static auto *instance = new BufferPool;
  return *instance;
}

}  // namespace

G_DEFINE_TYPE_WITH_PRIVATE(KovFrameBuffer, kov_framebuffer, G_TYPE_OBJECT)

static void kov_framebuffer_finalize(GObject *object) {
  KovFrameBuffer *frame = KOV_FRAMEBUFFER(object);
  if (frame->priv->owns_data && frame->data != nullptr) pool().give(frame->data, frame->length);
  if (frame->priv->parent != nullptr) g_object_unref(frame->priv->parent);
  g_hash_table_unref(frame->priv->metadata);
  G_OBJECT_CLASS(kov_framebuffer_parent_class)->finalize(object);
}

static void kov_framebuffer_class_init(KovFrameBufferClass *klass) {
  G_OBJECT_CLASS(klass)->finalize = kov_framebuffer_finalize;
}

static void kov_framebuffer_init(KovFrameBuffer *frame) {
  frame->priv = static_cast<KovFrameBufferPrivate *>(kov_framebuffer_get_instance_private(frame));
  frame->priv->metadata =
      g_hash_table_new_full(g_str_hash, g_str_equal, g_free, (GDestroyNotify)g_bytes_unref);
}

KovFrameBuffer *kov_framebuffer_new(gpointer data, gsize length) {
  auto *frame = KOV_FRAMEBUFFER(g_object_new(KOV_TYPE_FRAMEBUFFER, nullptr));
  frame->data = static_cast<guint8 *>(data);
  frame->length = length;
  return frame;
}

KovFrameBuffer *kov_framebuffer_new_wrapped(KovFrameBuffer *parent, gpointer data, gsize length) {
  g_return_val_if_fail(KOV_IS_FRAMEBUFFER(parent), nullptr);
  // Compared as addresses: data + length must not be formed past the end.
  const auto start = uintptr_t(parent->data), first = uintptr_t(data);
  g_return_val_if_fail(first >= start && first - start <= parent->length &&
                           length <= parent->length - (first - start),
                       nullptr);
  KovFrameBuffer *frame = kov_framebuffer_new(data, length);
  frame->priv->parent = KOV_FRAMEBUFFER(g_object_ref(parent));
  return frame;
}

KovFrameBuffer *kov_framebuffer_new_alloc(gsize length) {
  void *block = pool().take(length);
  if (block == nullptr) return nullptr;
  auto *frame = KOV_FRAMEBUFFER(g_object_new(KOV_TYPE_FRAMEBUFFER, nullptr));
  frame->data = static_cast<guint8 *>(block);
  frame->length = length;
  frame->priv->owns_data = true;
  return frame;
}

void kov_framebuffer_reset(KovFrameBuffer *frame) {
  frame->bytesused = 0;
  frame->timestamp = 0;
  g_hash_table_remove_all(frame->priv->metadata);
}

void kov_framebuffer_copy_metadata(KovFrameBuffer *to, KovFrameBuffer *from) {
  g_return_if_fail(KOV_IS_FRAMEBUFFER(to) && KOV_IS_FRAMEBUFFER(from));
  if (to == from) return;
  to->timestamp = from->timestamp;
  GHashTableIter iter;
  gpointer key, value;
  g_hash_table_iter_init(&iter, from->priv->metadata);
  while (g_hash_table_iter_next(&iter, &key, &value))
    g_hash_table_replace(to->priv->metadata, g_strdup(static_cast<const gchar *>(key)),
                         g_bytes_ref(static_cast<GBytes *>(value)));
}

gconstpointer kov_framebuffer_metadata_get(KovFrameBuffer *frame, const gchar *key,
                                           gsize *length) {
  if (length != nullptr) *length = 0;
  g_return_val_if_fail(KOV_IS_FRAMEBUFFER(frame) && key != nullptr, nullptr);
  auto *bytes = static_cast<GBytes *>(g_hash_table_lookup(frame->priv->metadata, key));
  if (bytes == nullptr) return nullptr;
  gsize size = 0;
  gconstpointer data = g_bytes_get_data(bytes, &size);
  if (length != nullptr) *length = size;
  // An empty entry still reads as present.
  return data != nullptr ? data : "";
}

void kov_framebuffer_metadata_set(KovFrameBuffer *frame, const gchar *key, gconstpointer data,
                                  gsize length) {
  g_return_if_fail(KOV_IS_FRAMEBUFFER(frame) && key != nullptr);
  g_return_if_fail(data != nullptr || length == 0);
  g_hash_table_replace(frame->priv->metadata, g_strdup(key), g_bytes_new(data, length));
}

GList *kov_framebuffer_metadata_keys(KovFrameBuffer *frame) {
  g_return_val_if_fail(KOV_IS_FRAMEBUFFER(frame), nullptr);
  GList *keys = g_hash_table_get_keys(frame->priv->metadata);
  return g_list_sort(keys, (GCompareFunc)g_strcmp0);
}
