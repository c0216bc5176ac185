// The memory policy: when the memory a call used is kept for the next call and when it is given
// back, for the sampler's per-call buffers, the result pool and the C library under both.
//
// The trade. Memory kept from one call serves the next similar call without asking the system
// again, and on a VM every page the system hands out costs a fault, about as much as sampling a few
// dozen edges. But memory kept for one oversized call (a large batch once in a training run) is
// held for nothing for the rest of the run. So memory is kept while recent calls needed it, and
// given back a few calls after they stop:
//   - A sampler trims after a call when its buffers hold over kSamplerRetainedBytes and over
//     kTrimRatio times the most any of its last kSamplerRecentCalls calls needed. Each buffer (a
//     list, an index map, the seed times) holding over kTrimRatio times what that call put in it
//     is then cut to what the call needed, and the taken set is freed. A buffer only a little too
//     large is kept: a similar call would just grow it again.
//   - The result pool keeps no more free memory than half as much again as the most that one of
//     its last kPoolRecentCalls calls (of any sampler) took from it, and none once no sampler is
//     left. The half covers calls of about the same size that split their memory differently over
//     the pool's size classes.
//   - glibc keeps freed memory in its heap; after a sampler trimmed, or the pool gave back over
//     kSamplerRetainedBytes, it is asked to return its free pages (return_free_pages()).
// Giving memory back never needs more: where a smaller buffer cannot be had, the buffer stays.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace tovalib {
namespace memory_policy {

constexpr size_t kSamplerRetainedBytes = size_t{64} << 20;
constexpr size_t kSamplerRecentCalls = 8;
constexpr size_t kTrimRatio = 4;
constexpr size_t kPoolRecentCalls = 4;

// Whether a buffer that holds `held` units (bytes, slots, elements) for a call that used `used` of
// them is cut down when its owner trims.
constexpr bool oversized(size_t held, size_t used) { return held > kTrimRatio * used; }

// Whether a sampler whose buffers hold `held` bytes trims them, when the most that any of its
// recent calls needed is `recent_need` bytes.
constexpr bool sampler_trims(size_t held, size_t recent_need) {
  return held > kSamplerRetainedBytes && oversized(held, recent_need);
}

// The most free memory the pool keeps, when the most that one of its recent calls took is
// `recent_most` bytes.
constexpr size_t pool_cache_limit(size_t recent_most) { return recent_most + recent_most / 2; }

// Asks the C library to return its free pages to the system, after a call in which the sampler
// trimmed or the pool gave back `pool_released` bytes. glibc keeps freed blocks below its mmap
// threshold (which rises to 32 MiB as large blocks are freed) in its heap, and returns free space
// at the heap's top only past another threshold, so tens of MiB could stay resident.
inline void return_free_pages(bool sampler_trimmed, size_t pool_released) noexcept {
#if defined(__GLIBC__)
  if (sampler_trimmed || pool_released > kSamplerRetainedBytes) malloc_trim(0);
#else
  (void)sampler_trimmed;
  (void)pool_released;
#endif
}

// The most of one figure (bytes needed, bytes taken) over the last N calls; calls not yet made
// count as 0.
template <size_t N>
class RecentMost {
 public:
  void record(size_t bytes) { recent_[calls_++ % N] = bytes; }
  size_t most() const { return *std::max_element(recent_.begin(), recent_.end()); }

 private:
  std::array<size_t, N> recent_{};
  uint64_t calls_ = 0;
};

}  // namespace memory_policy
}  // namespace tovalib
