// The map from a sampled node, identified by (batch index, global node id), to its local index.
//
// Flat open addressing with linear probing: one 16-byte slot per entry and no allocation per
// insert, so a lookup costs one cache line in the common case. The map is meant to live as long
// as the sampler and be cleared between calls: clearing touches only the slots that were used
// (or sweeps the table when most of it was), so a small request after a large one stays cheap.
// No result depends on the slot order; callers keep insertion order in their own lists.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace tovalib {

class NodeIndexMap {
 public:
  // The largest batch index a key may carry; seeds beyond it are refused before sampling.
  static constexpr int64_t kMaxBatch = UINT32_MAX;

  // Hash of a key, to prefetch its slot ahead of the lookup. It stays valid across growth.
  static uint64_t hash(int64_t batch, int64_t node) {
    uint64_t h = static_cast<uint64_t>(node) * 0x9E3779B97F4A7C15ull;
    h ^= (static_cast<uint64_t>(batch) + 0x632BE59BD9B4E019ull) * 0xC2B2AE3D27D4EB4Full;
    h ^= h >> 29;
    return h * 0xBF58476D1CE4E5B9ull;
  }

  void prefetch(uint64_t hash) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[hash >> shift_], /*rw=*/1);
  }

  // Returns the local index stored for (batch, node). When the pair is new it is stored with
  // `next_index` and `inserted` is set.
  // REQUIRES: 0 <= batch <= kMaxBatch, 0 <= next_index, hash == hash(batch, node).
  int64_t find_or_insert(uint64_t hash, int64_t batch, int64_t node, int64_t next_index,
                         bool& inserted) {
    assert(0 <= batch && batch <= kMaxBatch && 0 <= next_index);
    assert(hash == NodeIndexMap::hash(batch, node));
    if (2 * (occupied_.size() + 1) > slots_.size()) grow();
    const uint32_t batch32 = static_cast<uint32_t>(batch);
    size_t i = static_cast<size_t>(hash >> shift_);
    while (true) {
      Slot& slot = slots_[i];
      if (slot.index_plus_one == 0) break;
      if (slot.node == node && slot.batch == batch32) {
        inserted = false;
        return static_cast<int64_t>(slot.index_plus_one) - 1;
      }
      i = (i + 1) & mask_;
    }
    if (next_index >= static_cast<int64_t>(UINT32_MAX)) {
      throw std::length_error("Too many sampled nodes of one type in one call.");
    }
    occupied_.push_back(static_cast<uint32_t>(i));
    slots_[i] = Slot{node, batch32, static_cast<uint32_t>(next_index + 1)};
    inserted = true;
    return next_index;
  }

  int64_t find_or_insert(int64_t batch, int64_t node, int64_t next_index, bool& inserted) {
    return find_or_insert(hash(batch, node), batch, node, next_index, inserted);
  }

  // Empties the map and keeps its capacity for the next call.
  void clear() {
    if (occupied_.size() * 8 > slots_.size()) {
      std::memset(static_cast<void*>(slots_.data()), 0, slots_.size() * sizeof(Slot));
    } else {
      for (uint32_t i : occupied_) slots_[i] = Slot{};
    }
    occupied_.clear();
  }

  // Adds the bytes the map holds, and the bytes a table for its current entries would need.
  void measure(size_t& held, size_t& needed) const {
    held += slots_.capacity() * sizeof(Slot) + occupied_.capacity() * sizeof(uint32_t);
    needed += table_size_for(occupied_.size()) * sizeof(Slot) + occupied_.size() * sizeof(uint32_t);
  }

  // At the end of a call, when the table is over four times what its entries needed: empties the
  // map and gives the rest back, so that one oversized call does not pin its peak for the
  // sampler's whole life.
  void trim() {
    const size_t needed = table_size_for(occupied_.size());
    if (slots_.size() <= 4 * needed) return;
    std::vector<Slot>(needed).swap(slots_);
    std::vector<uint32_t> occupied;
    occupied.reserve(needed / 2);
    occupied_.swap(occupied);
    set_capacity(needed);
  }

 private:
  struct Slot {
    int64_t node = 0;
    uint32_t batch = 0;
    uint32_t index_plus_one = 0;  // 0 marks an empty slot, so a zeroed table is an empty map
  };

  static constexpr size_t kMinTable = 1024;

  // The table a map of `entries` grows to: a power of two at least kMinTable, at most half full.
  static size_t table_size_for(size_t entries) {
    size_t size = kMinTable;
    while (2 * (entries + 1) > size) size *= 2;
    return size;
  }

  void set_capacity(size_t capacity) {
    mask_ = capacity - 1;
    shift_ = 64;
    for (size_t c = capacity; c > 1; c >>= 1) --shift_;
  }

  void grow() {
    const size_t capacity = slots_.empty() ? kMinTable : 2 * slots_.size();
    std::vector<Slot> old(capacity);
    old.swap(slots_);
    set_capacity(capacity);
    std::vector<uint32_t> old_occupied;
    old_occupied.reserve(capacity / 2);
    old_occupied.swap(occupied_);
    for (uint32_t o : old_occupied) {
      const Slot& slot = old[o];
      size_t i = static_cast<size_t>(hash(slot.batch, slot.node) >> shift_);
      while (slots_[i].index_plus_one != 0) i = (i + 1) & mask_;
      slots_[i] = slot;
      occupied_.push_back(static_cast<uint32_t>(i));
    }
  }

  std::vector<Slot> slots_;
  std::vector<uint32_t> occupied_;  // slots in use, so that clear() need not sweep the table
  size_t mask_ = 0;
  int shift_ = 64;
};

}  // namespace tovalib
