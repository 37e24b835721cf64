// SPDX-License-Identifier: LGPL-2.1-or-later
// KovFrameBuffer: frame memory, timestamp and metadata. Owned allocations are
// 16-byte aligned and come from a small recycling pool (buffer_pool.h).
#include <kovkit/framebuffer.h>

#include "buffer_pool.h"
#include "framebuffer_private.h"

#include <cstdint>
#include <cstring>

// One metadata entry. Keys are reference-counted strings and values GBytes,
// so copying metadata onto the next frame of a chain copies no bytes.
struct MetadataEntry {
  char *key;  // GRefString
  GBytes *value;
};

struct _KovFrameBufferPrivate {
  bool owns_data;
  // A frame carries few entries, if any: a small array searched in order
  // costs less per frame than a hash table. Allocated with the first entry.
  MetadataEntry *metadata;
  guint n_metadata, n_metadata_allocated;
  KovFrameBuffer *parent;  // owner of the bytes of a wrapped frame (a reference), or NULL
  GDestroyNotify release;  // called with release_data when the frame goes, or NULL
  gpointer release_data;
};

namespace {

using kov::BufferPool;

// Never destroyed: frames may be released during process exit.
BufferPool &pool() {
  static auto *instance = new BufferPool;
  return *instance;
}

MetadataEntry *find_metadata(KovFrameBufferPrivate *p, const gchar *key) {
  for (guint i = 0; i < p->n_metadata; ++i)
    if (std::strcmp(p->metadata[i].key, key) == 0) return &p->metadata[i];
  return nullptr;
}

// Stores @key -> @value, taking over both references.
void put_metadata(KovFrameBufferPrivate *p, char *key, GBytes *value) {
  if (MetadataEntry *entry = find_metadata(p, key)) {
    g_ref_string_release(key);
    g_bytes_unref(entry->value);
    entry->value = value;
    return;
  }
  if (p->n_metadata == p->n_metadata_allocated) {
    p->n_metadata_allocated = MAX(4u, p->n_metadata_allocated * 2);
    p->metadata = g_renew(MetadataEntry, p->metadata, p->n_metadata_allocated);
  }
  p->metadata[p->n_metadata++] = MetadataEntry{key, value};
}

void clear_metadata(KovFrameBufferPrivate *p) {
  for (guint i = 0; i < p->n_metadata; ++i) {
    g_ref_string_release(p->metadata[i].key);
    g_bytes_unref(p->metadata[i].value);
  }
  p->n_metadata = 0;
}

}  // namespace

G_DEFINE_TYPE_WITH_PRIVATE(KovFrameBuffer, kov_framebuffer, G_TYPE_OBJECT)

static void kov_framebuffer_finalize(GObject *object) {
  KovFrameBuffer *frame = KOV_FRAMEBUFFER(object);
  if (frame->priv->owns_data && frame->data != nullptr) pool().give(frame->data, frame->length);
  if (frame->priv->parent != nullptr) g_object_unref(frame->priv->parent);
  if (frame->priv->release != nullptr) frame->priv->release(frame->priv->release_data);
  clear_metadata(frame->priv);
  g_free(frame->priv->metadata);
  G_OBJECT_CLASS(kov_framebuffer_parent_class)->finalize(object);
}

static void kov_framebuffer_class_init(KovFrameBufferClass *klass) {
  G_OBJECT_CLASS(klass)->finalize = kov_framebuffer_finalize;
}

static void kov_framebuffer_init(KovFrameBuffer *frame) {
  frame->priv = static_cast<KovFrameBufferPrivate *>(kov_framebuffer_get_instance_private(frame));
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

KovFrameBuffer *kov_framebuffer_new_full(gpointer data, gsize length, GDestroyNotify release,
                                         gpointer release_data) {
  KovFrameBuffer *frame = kov_framebuffer_new(data, length);
  frame->priv->release = release;
  frame->priv->release_data = release_data;
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
  clear_metadata(frame->priv);
}

void kov_framebuffer_copy_metadata(KovFrameBuffer *to, KovFrameBuffer *from) {
  g_return_if_fail(KOV_IS_FRAMEBUFFER(to) && KOV_IS_FRAMEBUFFER(from));
  if (to == from) return;
  to->timestamp = from->timestamp;
  for (guint i = 0; i < from->priv->n_metadata; ++i) {
    const MetadataEntry &entry = from->priv->metadata[i];
    put_metadata(to->priv, g_ref_string_acquire(entry.key), g_bytes_ref(entry.value));
  }
}

gconstpointer kov_framebuffer_metadata_get(KovFrameBuffer *frame, const gchar *key,
                                           gsize *length) {
  if (length != nullptr) *length = 0;
  g_return_val_if_fail(KOV_IS_FRAMEBUFFER(frame) && key != nullptr, nullptr);
  const MetadataEntry *entry = find_metadata(frame->priv, key);
  if (entry == nullptr) return nullptr;
  GBytes *bytes = entry->value;
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
  put_metadata(frame->priv, g_ref_string_new(key), g_bytes_new(data, length));
}

GList *kov_framebuffer_metadata_keys(KovFrameBuffer *frame) {
  g_return_val_if_fail(KOV_IS_FRAMEBUFFER(frame), nullptr);
  GList *keys = nullptr;
  for (guint i = 0; i < frame->priv->n_metadata; ++i)
    keys = g_list_prepend(keys, frame->priv->metadata[i].key);
  return g_list_sort(keys, (GCompareFunc)g_strcmp0);
}
