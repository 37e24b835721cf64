/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Released frame memory waiting for reuse, by size, so that a stream of
// same-sized frames does not page-fault fresh megabytes for every frame.
// Bounded three ways: bytes kept, blocks per size, and the number of sizes,
// so that neither a change of resolution nor a stream whose every frame has
// another size (Motion-JPEG) makes it grow. When a new size needs room, the
// size used least recently goes.
#ifndef KOVKIT_BUFFER_POOL_H
#define KOVKIT_BUFFER_POOL_H

#include <glib.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
#include <vector>

namespace kov {

class BufferPool {
 public:
  static constexpr gsize kMaxPooledBytes = 256u * 1024 * 1024;
  static constexpr size_t kMaxPerSize = 8;
  static constexpr size_t kMaxSizes = 16;

  BufferPool() = default;
  BufferPool(const BufferPool &) = delete;
  BufferPool &operator=(const BufferPool &) = delete;
  ~BufferPool() {
    for (auto &entry : free_)
      for (void *block : entry.second.blocks) std::free(block);
  }

  // A block of @size bytes aligned to a cache line, so that no vector load
  // or store of a row that starts on one is split across two: a released
  // one when there is one, else a new one; NULL when out of memory.
  void *take(gsize size) {
    {
      std::lock_guard lock(mutex_);
      auto it = free_.find(size);
      if (it != free_.end()) {
        void *block = it->second.blocks.back();
        it->second.blocks.pop_back();
        it->second.last_use = ++clock_;
        if (it->second.blocks.empty()) free_.erase(it);
        pooled_bytes_ -= size;
        return block;
      }
    }
    void *block = nullptr;
    if (posix_memalign(&block, 64, size == 0 ? 64 : size) != 0) return nullptr;
    return block;
  }

  // Keeps @block (from take) for reuse, or frees it when the pool is full.
  void give(void *block, gsize size) {
    std::vector<void *> evicted;
    {
      std::lock_guard lock(mutex_);
      if (keep(block, size, &evicted)) block = nullptr;
    }
    for (void *old : evicted) std::free(old);
    std::free(block);
  }

  // Sizes and blocks kept now, for tests.
  size_t size_count() {
    std::lock_guard lock(mutex_);
    return free_.size();
  }
  size_t block_count() {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const auto &entry : free_) n += entry.second.blocks.size();
    return n;
  }

 private:
  struct Entry {
    std::vector<void *> blocks;
    std::uint64_t last_use = 0;
  };

  // Called with the lock held. Blocks that leave the pool to make room go
  // to @evicted, to be freed after the lock is released.
  bool keep(void *block, gsize size, std::vector<void *> *evicted) {
    if (size > kMaxPooledBytes) return false;
    auto it = free_.find(size);
    if (it != free_.end() && it->second.blocks.size() >= kMaxPerSize) return false;
    try {
      while (pooled_bytes_ + size > kMaxPooledBytes ||
             (it == free_.end() && free_.size() >= kMaxSizes)) {
        auto victim = least_recent(size);
        if (victim == free_.end()) return false;
        pooled_bytes_ -= victim->first * victim->second.blocks.size();
        evicted->insert(evicted->end(), victim->second.blocks.begin(),
                        victim->second.blocks.end());
        free_.erase(victim);
      }
      if (it == free_.end()) it = free_.emplace(size, Entry{}).first;
      it->second.blocks.push_back(block);
    } catch (const std::bad_alloc &) {
      if (it != free_.end() && it->second.blocks.empty()) free_.erase(it);
      return false;
    }
    it->second.last_use = ++clock_;
    pooled_bytes_ += size;
    return true;
  }

  // The entry used least recently, other than @size's; end() when none.
  std::map<gsize, Entry>::iterator least_recent(gsize size) {
    auto best = free_.end();
    for (auto it = free_.begin(); it != free_.end(); ++it)
      if (it->first != size && (best == free_.end() || it->second.last_use < best->second.last_use))
        best = it;
    return best;
  }

  std::mutex mutex_;
  std::map<gsize, Entry> free_;  // never holds an empty entry
  gsize pooled_bytes_ = 0;
  std::uint64_t clock_ = 0;
};

}  // namespace kov

#endif
