// The map from a sampled node, identified by (batch index, global node id), to its local index.
//
// Flat open addressing with linear probing: one 16-byte slot per entry and no allocation per
// insert, so a lookup costs one cache line in the common case. The map is meant to live as long
// as the sampler and be cleared between calls: an entry's stamp is its local index plus the first
// stamp of the call that made it, and each call starts its stamps above the last call's, so
// clearing writes nothing (but for a sweep once in two billion entries) and a small request after
// a large one stays cheap.
// No result depends on the slot order; callers keep insertion order in their own lists.
#pragma once

#include <atomic>
#include <cassert>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <random>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "sampler/memory_policy.h"

namespace tovalib {

class NodeIndexMap {
 public:
  // The largest batch index a key may carry; seeds beyond it are refused before sampling.
  static constexpr int64_t kMaxBatch = UINT32_MAX;

  // `stamp_limit` is the largest stamp handed out before stamps start over; only tests lower it.
  explicit NodeIndexMap(uint64_t stamp_limit = UINT32_MAX) : stamp_limit_(stamp_limit) {}
  // A map whose hash key is `key` rather than a random one: for tests only.
  NodeIndexMap(uint64_t stamp_limit, uint64_t key) : key_(key), stamp_limit_(stamp_limit) {}

  // Hash of a key, to prefetch its slot ahead of the lookup. It stays valid across growth.
  // The map's own random key goes in first: node ids are the caller's data, and ids chosen to
  // collide under a known function would make every lookup walk one ever longer run of slots.
  uint64_t hash(int64_t batch, int64_t node) const {
    uint64_t h = (static_cast<uint64_t>(node) ^ key_) * 0x9E3779B97F4A7C15ull;
    h ^= (static_cast<uint64_t>(batch) + 0x632BE59BD9B4E019ull) * 0xC2B2AE3D27D4EB4Full;
    h ^= h >> 29;
    return h * 0xBF58476D1CE4E5B9ull;
  }

  // How many lookups ahead of the one being made a caller prefetches a slot: enough to hide a
  // miss to memory, while slots prefetched much earlier were found to arrive no sooner.
  static constexpr size_t kPrefetchAhead = 16;

  // REQUIRES: reserve() was called.
  void prefetch(uint64_t hash) const {
    assert(!slots_.empty());
    __builtin_prefetch(&slots_[hash >> shift_], /*rw=*/1);
  }

  // The number of entries: the local index the next new key gets.
  size_t size() const { return size_; }

  // Makes room for `entries` more entries without growing, so that slots prefetched before they
  // are inserted stay where they were prefetched.
  void reserve(size_t entries) {
    while (2 * (size_ + entries + 1) > slots_.size()) grow();
  }

  // Returns the local index stored for (batch, node). When the pair is new it gets the next local
  // index, the number of entries before it, and `inserted` is set.
  // REQUIRES: 0 <= batch <= kMaxBatch, hash == hash(batch, node), room reserved for one more entry.
  int64_t find_or_insert(uint64_t hash, int64_t batch, int64_t node, bool& inserted) {
    assert(0 <= batch && batch <= kMaxBatch);
    assert(hash == this->hash(batch, node));
    assert(2 * (size_ + 1) <= slots_.size());
    const uint32_t batch32 = static_cast<uint32_t>(batch);
    size_t i = static_cast<size_t>(hash >> shift_);
    while (true) {
      const Slot& slot = slots_[i];
      if (slot.stamp < first_stamp_) break;
      if (slot.node == node && slot.batch == batch32) {
        inserted = false;
        return static_cast<int64_t>(slot.stamp - first_stamp_);
      }
      i = (i + 1) & mask_;
    }
    const uint64_t index = size_;
    if (first_stamp_ + index >= stamp_limit_) make_stamp(index);
    slots_[i] = Slot{node, batch32, static_cast<uint32_t>(first_stamp_ + index)};
    ++size_;
    inserted = true;
    return static_cast<int64_t>(index);
  }

  int64_t find_or_insert(int64_t batch, int64_t node, bool& inserted) {
    reserve(1);
    return find_or_insert(hash(batch, node), batch, node, inserted);
  }

  // Empties the map and keeps its capacity for the next call. Usually nothing is written: the next
  // call stamps its entries above this call's, so every slot this call used reads as empty then.
  void clear() noexcept {
    first_stamp_ += size_;
    size_ = 0;
    // Stamps are 32 bits; long before they run out, the table is zeroed once and they start over.
    if (first_stamp_ > stamp_limit_ / 2) reset();
  }

  // Adds the bytes the map holds, and the bytes a table for its current entries would need.
  void measure(size_t& held, size_t& needed) const {
    held += slots_.capacity() * sizeof(Slot);
    needed += table_size_for(size_) * sizeof(Slot);
  }

  // At the end of a call, when the memory policy finds the table oversized for what its entries
  // needed: empties the map and keeps a table of that size only. Without memory for the smaller
  // table the map stays as it is.
  void trim() noexcept {
    const size_t needed = table_size_for(size_);
    if (!memory_policy::oversized(slots_.size(), needed)) return;
    std::vector<Slot> fitted;
    try {
      fitted.resize(needed);
    } catch (const std::bad_alloc&) {
      return;
    }
    fitted.swap(slots_);
    set_capacity(needed);
    size_ = 0;
    first_stamp_ = 1;
  }

 private:
  // A slot belongs to the current call when its stamp is at least first_stamp_; the entry with
  // local index i carries the stamp first_stamp_ + i. Older stamps, and 0, mark an empty slot.
  struct Slot {
    int64_t node = 0;
    uint32_t batch = 0;
    uint32_t stamp = 0;
  };
  static_assert(sizeof(Slot) == 16, "four slots to a cache line");
  static_assert(std::is_trivially_copyable<Slot>::value, "reset() zeroes the table with memset");
  static_assert(kMaxBatch <= UINT32_MAX, "a slot keeps the batch index in 32 bits");

  // Small: a sampler keeps a map per node type, and over thousands of types, most of which see a
  // few nodes per call, a larger first table made each type's lookups touch a page of their own.
  static constexpr size_t kMinTable = 16;

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

  // Every slot empty, stamps from 1 again.
  void reset() noexcept {
    std::memset(static_cast<void*>(slots_.data()), 0, slots_.size() * sizeof(Slot));
    size_ = 0;
    first_stamp_ = 1;
  }

  // Off the common path: makes sure the entry with local index `index` gets a stamp within the
  // limit, or refuses an entry that no 32-bit stamp could hold (its stamp is at least index + 1).
  void make_stamp(uint64_t index) {
    if (index >= UINT32_MAX) {
      throw std::length_error("Too many sampled nodes of one type in one call.");
    }
    if (first_stamp_ + index > stamp_limit_) restamp();
  }

  // Moves the current call's stamps down to start at 1, in a call whose stamps would pass the
  // limit.
  void restamp() {
    for (Slot& slot : slots_) {
      slot.stamp = slot.stamp >= first_stamp_ ? slot.stamp - first_stamp_ + 1 : 0;
    }
    first_stamp_ = 1;
  }

  void grow() {
    const size_t capacity = slots_.empty() ? kMinTable : 2 * slots_.size();
    std::vector<Slot> old(capacity);
    old.swap(slots_);
    set_capacity(capacity);
    for (const Slot& slot : old) {
      if (slot.stamp < first_stamp_) continue;
      size_t i = static_cast<size_t>(hash(slot.batch, slot.node) >> shift_);
      while (slots_[i].stamp >= first_stamp_) i = (i + 1) & mask_;
      slots_[i] = slot;
    }
  }

  // A key no caller can know: the system's random source, asked once per process (a sampler over
  // thousands of node types makes a map for each, and each ask costs a system call), mixed with
  // the clock, this map's address and a count of the maps made.
  static uint64_t random_key(const void* self) {
    static const uint64_t process_key = system_random();
    static std::atomic<uint64_t> maps_made{0};
    uint64_t key = process_key;
    key ^= static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    key ^= static_cast<uint64_t>(reinterpret_cast<uintptr_t>(self)) * 0xD6E8FEB86659FD93ull;
    key += maps_made.fetch_add(1, std::memory_order_relaxed) * 0x9E3779B97F4A7C15ull;
    // splitmix64's finaliser: every input bit reaches every key bit.
    key = (key ^ (key >> 30)) * 0xBF58476D1CE4E5B9ull;
    key = (key ^ (key >> 27)) * 0x94D049BB133111EBull;
    return key ^ (key >> 31);
  }

  static uint64_t system_random() {
    try {
      std::random_device source;
      return (static_cast<uint64_t>(source()) << 32) | source();
    } catch (const std::exception&) {  // no random source here: the clock and address will do
      return 0;
    }
  }

  std::vector<Slot> slots_;
  uint64_t key_ = random_key(this);
  uint64_t stamp_limit_;
  size_t size_ = 0;           // entries of the current call
  uint64_t first_stamp_ = 1;  // stamp of the current call's local index 0
  size_t mask_ = 0;
  int shift_ = 64;
};

}  // namespace tovalib
