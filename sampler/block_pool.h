// Memory for the result arrays of large calls, kept warm from one call to the next.
//
// A training loop drops each call's result before (or soon after) making the next call. Freed,
// that memory goes back to the C library, which returns a freed heap top and every block it mapped
// on its own to the system; the next call's arrays are then faulted in afresh, page by page, and
// on a VM a page fault costs about as much as sampling a few dozen edges. Arrays whose memory
// comes from this pool give it back here instead, and the next call takes it again.
//
// Blocks come in size classes, four to each doubling, and a request is served from its own class
// or one of the next two, so that calls of similar size reuse each other's blocks. How much free
// memory the pool keeps is sampler/memory_policy.h's to say. All operations are thread-safe and
// never throw: the array library calls them from its own code, possibly long after the call that
// made the array, and the pool lives as long as the process.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "sampler/memory_policy.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
// A cached block is poisoned, so that AddressSanitizer still reports a use after free of an array.
#define TOVALIB_POISON(data, bytes) ASAN_POISON_MEMORY_REGION(data, bytes)
#define TOVALIB_UNPOISON(data, bytes) ASAN_UNPOISON_MEMORY_REGION(data, bytes)
#else
#define TOVALIB_POISON(data, bytes) ((void)(data), (void)(bytes))
#define TOVALIB_UNPOISON(data, bytes) ((void)(data), (void)(bytes))
#endif

namespace tovalib {

class BlockPool {
 public:
  // The pool of the module: the result arrays' memory and the lists that become them. It lives
  // as long as the process, since arrays holding its memory may outlive every sampler and even
  // the module's teardown.
  static BlockPool& shared() {
    static BlockPool* const pool = new BlockPool();
    return *pool;
  }

  // A sampler's share in the pool, held for the sampler's life. Once no sampler is left no call
  // will take cached blocks again, so the pool gives them back and caches nothing until one is.
  class User {
   public:
    User() { shared().attach(); }
    ~User() { shared().detach(); }
    User(const User&) = delete;
    User& operator=(const User&) = delete;
  };

  BlockPool() = default;
  BlockPool(const BlockPool&) = delete;
  BlockPool& operator=(const BlockPool&) = delete;
  ~BlockPool() { release_down_to(0); }

  // A block of at least `bytes` bytes, aligned to kAlign, or null when the system has no memory.
  void* take(size_t bytes) noexcept {
    if (void* data = take_cached(bytes)) return data;
    const size_t wanted = class_of(bytes);
    if (wanted >= kClasses) return nullptr;
    Header* block = allocate(wanted);
    if (block == nullptr) return nullptr;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      handed_out_ += capacity_of(wanted);
    }
    return data_of(block);
  }

  // A cached block of at least `bytes` bytes, as take() would find one, or null when none is
  // cached: this never asks the system for memory.
  void* take_cached(size_t bytes) noexcept {
    const size_t wanted = class_of(bytes);
    const std::lock_guard<std::mutex> lock(mutex_);
    for (size_t c = wanted; c < std::min(wanted + kClassReach, kClasses); ++c) {
      Header* block = free_[c];
      if (block == nullptr) continue;
      free_[c] = block->next;
      cached_ -= capacity_of(c);
      handed_out_ += capacity_of(c);
      TOVALIB_UNPOISON(data_of(block), capacity_of(c));
      return data_of(block);
    }
    return nullptr;
  }

  // Takes back a block from take() or resize(). A null block is ignored.
  void give(void* data) noexcept {
    if (data == nullptr) return;
    Header* block = header_of(data);
    const size_t capacity = BlockPool::capacity(data);
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (cached_ + capacity <= limit_) {
        TOVALIB_POISON(data, capacity);
        block->next = free_[block->size_class];
        free_[block->size_class] = block;
        cached_ += capacity;
        return;
      }
    }
    deallocate(block);
  }

  // realloc for pool blocks: the same block while it is large enough, otherwise a new one holding
  // the old one's first `kept` bytes (all of them by default). Null, with `data` untouched, when
  // there is no memory.
  void* resize(void* data, size_t bytes, size_t kept = SIZE_MAX) noexcept {
    if (data == nullptr) return take(bytes);
    const size_t held = capacity(data);
    if (bytes <= held) return data;
    void* moved = take(bytes);
    if (moved == nullptr) return nullptr;
    std::memcpy(moved, data, std::min(kept, held));
    give(data);
    return moved;
  }

  // The bytes a block from take() or resize() holds: at least what was asked.
  static size_t capacity(const void* data) { return capacity_of(header_of(data)->size_class); }

  // Called once per call, from any sampler, after its result is made: sets how much free memory
  // the pool may keep and gives back the rest. Returns the bytes given back to the system.
  size_t end_call() noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    recent_.record(handed_out_);
    handed_out_ = 0;
    if (users_ > 0) limit_ = memory_policy::pool_cache_limit(recent_.most());
    return release_down_to(limit_);
  }

  void attach() noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++users_;
    limit_ = memory_policy::pool_cache_limit(recent_.most());
  }
  void detach() noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (--users_ > 0) return;
    limit_ = 0;
    release_down_to(0);
  }

  size_t cached_bytes() const noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    return cached_;
  }

 private:
  static constexpr size_t kAlign = 64;  // a cache line, and enough for any vector load
  static constexpr size_t kMinBytes = 64;
  static constexpr size_t kClasses = 4 * 52;  // up to 2^58 bytes, far past any real request
  static constexpr size_t kClassReach = 3;    // a request may take a block up to two classes up

  struct alignas(kAlign) Header {
    size_t size_class;
    Header* next;  // in its class's free list
  };
  static constexpr size_t kHeaderBytes = sizeof(Header);
  static_assert(kHeaderBytes == kAlign, "a block's data starts on the alignment, after its header");
  static_assert(kAlign % alignof(std::max_align_t) == 0,
                "blocks serve any type, as the malloc NumPy's own handler uses does");

  // Class 0 holds kMinBytes; past it, the bytes in (2^e, 2^(e+1)] fall into four classes of
  // capacity m * 2^(e-2), m = 5..8.
  static size_t class_of(size_t bytes) {
    if (bytes <= kMinBytes) return 0;
    const size_t e = 63 - static_cast<size_t>(__builtin_clzll(bytes - 1));
    if (e >= 60) return kClasses;  // refused: no such memory exists
    const size_t step = size_t{1} << (e - 2);
    const size_t m = (bytes + step - 1) / step;
    return (e - 6) * 4 + (m - 5) + 1;
  }
  static size_t capacity_of(size_t size_class) {
    if (size_class == 0) return kMinBytes;
    const size_t e = 6 + (size_class - 1) / 4;
    const size_t m = 5 + (size_class - 1) % 4;
    return m << (e - 2);
  }

  // The bytes behind a block of a class, header included, a multiple of the alignment (as
  // aligned_alloc asks).
  static size_t total_of(size_t size_class) {
    return (kHeaderBytes + capacity_of(size_class) + kAlign - 1) / kAlign * kAlign;
  }

  // Large blocks are mapped from the system on their own, as the C library does by default, but
  // whatever its threshold has risen to: given back they return to the system at once, and blocks
  // still in use never pin freed memory under them in the heap.
  static constexpr size_t kMappedBytes = size_t{128} << 10;

  static bool is_mapped(size_t total) {
#if defined(__linux__)
    return total >= kMappedBytes;
#else
    return false;
#endif
  }

  static Header* allocate(size_t size_class) {
    const size_t total = total_of(size_class);
    void* memory = nullptr;
    if (is_mapped(total)) {
#if defined(__linux__)
      memory = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (memory == MAP_FAILED) memory = nullptr;
#endif
    } else {
      memory = std::aligned_alloc(kAlign, total);
    }
    if (memory == nullptr) return nullptr;
    Header* block = static_cast<Header*>(memory);
    block->size_class = size_class;
    block->next = nullptr;
    return block;
  }

  static void deallocate(Header* block) {
    const size_t total = total_of(block->size_class);
    if (is_mapped(total)) {
#if defined(__linux__)
      munmap(block, total);
#endif
      return;
    }
    std::free(block);
  }

  static void* data_of(Header* block) { return reinterpret_cast<char*>(block) + kHeaderBytes; }
  static Header* header_of(const void* data) {
    return reinterpret_cast<Header*>(const_cast<char*>(static_cast<const char*>(data)) -
                                     kHeaderBytes);
  }

  // Frees cached blocks, largest first, until at most `bytes` stay cached. REQUIRES: lock held.
  size_t release_down_to(size_t bytes) {
    size_t released = 0;
    for (size_t c = kClasses; c-- > 0 && cached_ > bytes;) {
      while (free_[c] != nullptr && cached_ > bytes) {
        Header* block = free_[c];
        free_[c] = block->next;
        cached_ -= capacity_of(c);
        released += capacity_of(c);
        TOVALIB_UNPOISON(data_of(block), capacity_of(c));
        deallocate(block);
      }
    }
    return released;
  }

  mutable std::mutex mutex_;
  std::array<Header*, kClasses> free_{};
  size_t cached_ = 0;      // bytes in free lists
  size_t limit_ = 0;       // the most bytes the free lists may hold
  size_t handed_out_ = 0;  // bytes taken since the last end_call()
  memory_policy::RecentMost<memory_policy::kPoolRecentCalls> recent_;  // handed_out_ per call
  size_t users_ = 0;                                                   // live User objects
};

}  // namespace tovalib
