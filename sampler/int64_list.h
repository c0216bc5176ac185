// Int64List: a growable list of int64 kept in a block of the shared BlockPool, so that a result
// array can take the list's memory over when the call ends instead of copying it (adopt_block()).
//
// Growth leaves new elements unset: the kernels size a list for a whole batch of results and then
// write every element, so zeroing them first would be wasted stores. A list grows by doubling; one
// whose block was taken over starts its next growth at the capacity it had, which a similar call
// will need again, but only in a block the pool has cached. Capacity thus follows what a call
// needs, and how much of a large call's memory is kept at hand is the pool's business.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include "sampler/block_pool.h"
#include "sampler/memory_policy.h"

namespace tovalib {

class Int64List {
 public:
  Int64List() = default;
  ~Int64List() { BlockPool::shared().give(data_); }
  Int64List(Int64List&& other) noexcept { swap(other); }
  Int64List& operator=(Int64List&& other) noexcept {
    Int64List(std::move(other)).swap(*this);
    return *this;
  }
  Int64List(const Int64List&) = delete;
  Int64List& operator=(const Int64List&) = delete;

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  size_t capacity() const { return capacity_; }
  int64_t* data() { return data_; }
  const int64_t* data() const { return data_; }
  int64_t& operator[](size_t i) {
    assert(i < size_);
    return data_[i];
  }
  const int64_t& operator[](size_t i) const {
    assert(i < size_);
    return data_[i];
  }

  void clear() noexcept { size_ = adopted_ = 0; }
  void reserve(size_t n) {
    if (n > capacity_) reallocate(n);
  }
  // Elements past the old size are left unset.
  void resize(size_t n) {
    if (n > capacity_) grow(n);
    size_ = n;
  }
  void push_back(int64_t value) {
    if (size_ == capacity_) grow(size_ + 1);
    data_[size_++] = value;
  }

  // The bytes the list holds; and the bytes of values it held since it was last cleared, those
  // handed over included.
  size_t held_bytes() const { return capacity_ * sizeof(int64_t); }
  size_t used_bytes() const { return (size_ + adopted_) * sizeof(int64_t); }

  // Gives the block back when the memory policy finds it oversized for what the list was used
  // for; the next growth starts at that use.
  void trim() noexcept {
    if (!memory_policy::oversized(held_bytes(), used_bytes())) return;
    next_capacity_ = size_ + adopted_;
    BlockPool::shared().give(data_);
    drop_block();
  }

  // Offers the block to `adopt(data, size)`, which returns whether it took the block over; if it
  // did, the list is left empty, with no block. REQUIRES: !empty().
  template <typename Adopt>
  void adopt_block(Adopt adopt) {
    assert(size_ > 0);
    if (!adopt(data_, size_)) return;
    next_capacity_ = capacity_;
    adopted_ = size_;
    drop_block();
  }

 private:
  void swap(Int64List& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    std::swap(next_capacity_, other.next_capacity_);
    std::swap(adopted_, other.adopted_);
  }

  void drop_block() {
    data_ = nullptr;
    size_ = capacity_ = 0;
  }

  // Doubling; or, for a list with no block, at once to the capacity it had when its last block
  // was taken over, when the pool has such a block cached.
  void grow(size_t n) {
    if (data_ == nullptr && next_capacity_ > n) {
      if (void* data = BlockPool::shared().take_cached(next_capacity_ * sizeof(int64_t))) {
        data_ = static_cast<int64_t*>(data);
        capacity_ = BlockPool::capacity(data) / sizeof(int64_t);
        return;
      }
    }
    reallocate(std::max(n, 2 * capacity_));
  }

  void reallocate(size_t n) {
    if (n > SIZE_MAX / sizeof(int64_t)) throw std::bad_alloc();
    auto* data = static_cast<int64_t*>(
        BlockPool::shared().resize(data_, n * sizeof(int64_t), size_ * sizeof(int64_t)));
    if (data == nullptr) throw std::bad_alloc();
    data_ = data;
    capacity_ = BlockPool::capacity(data) / sizeof(int64_t);
  }

  int64_t* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  size_t next_capacity_ = 0;  // where the next growth of a list with no block may start
  size_t adopted_ = 0;        // values handed over since the list was last cleared
};

}  // namespace tovalib
