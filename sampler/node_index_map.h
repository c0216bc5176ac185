// The map from a sampled node of one type, identified by (batch index, global node id), to its
// local index.
//
// The frontier is expanded seed by seed, and every lookup made for one frontier node carries that
// node's batch index. So the map is grouped by seed: each batch index owns a small open-addressing
// table of its own, placed in one arena shared by all of them. The lookups for one seed then stay
// in the few cache lines of its table instead of landing anywhere in a table of megabytes, and the
// tables a hop allocates lie one after another in the arena. A seed whose subgraph outgrows its
// table gets one twice the size at the end of the arena, so an unusually large seed costs memory
// in proportion to its own nodes. The first size of a table follows the previous call's nodes per
// seed, so a steady stream of similar calls rarely regrows a table.
//
// The map lives as long as the sampler; begin() starts a call and clear() ends it, keeping the
// arena for the next call. A slot counts as used only when it carries the running call's stamp,
// so neither a call's start nor a new table has to zero memory. No result depends on the slot
// order; callers keep insertion order in their own lists.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace tovalib {

class NodeIndexMap {
 public:
  // The largest batch index a key may carry; seeds beyond it are refused before sampling.
  static constexpr int64_t kMaxBatch = UINT32_MAX;

  // Hash of a node id within its seed's table, to prefetch a slot ahead of the lookup.
  static uint64_t hash(int64_t node) { return static_cast<uint64_t>(node) * 0x9E3779B97F4A7C15ull; }

  // Starts a call whose batch indices run from 0 to batches - 1, every one without nodes.
  // REQUIRES: 0 <= batches <= kMaxBatch + 1, and the previous call has been cleared.
  void begin(int64_t batches) {
    assert(0 <= batches && batches <= kMaxBatch + 1 && arena_used_ == 0);
    batches_ = static_cast<size_t>(batches);
    if (++stamp_ == 0) {  // after 2^32 calls: no slot may carry an old stamp that comes round again
      std::fill(arena_.begin(), arena_.end(), Slot{});
      stamp_ = 1;
    }
  }

  // Makes the per-seed tables ready for lookups. Only a node type that receives nodes pays for
  // them, which matters for calls with very many seeds.
  void prepare() {
    if (tables_.size() != batches_) tables_.assign(batches_, Table{});
  }

  // REQUIRES: prepare() since begin().
  void prefetch(int64_t batch, uint64_t hash) const {
    const Table& table = tables_[static_cast<size_t>(batch)];
    if (table.shift != 0) __builtin_prefetch(&arena_[table.offset + (hash >> table.shift)], 1);
  }

  // Returns the local index stored for (batch, node). When the pair is new it is stored with
  // `next_index` and `inserted` is set.
  // REQUIRES: prepare() since begin(), 0 <= batch < the batches of begin(), 0 <= next_index,
  // hash == hash(node).
  int64_t find_or_insert(int64_t batch, uint64_t hash, int64_t node, int64_t next_index,
                         bool& inserted) {
    assert(0 <= batch && static_cast<size_t>(batch) < tables_.size() && 0 <= next_index);
    assert(hash == NodeIndexMap::hash(node));
    Table& table = tables_[static_cast<size_t>(batch)];
    if (2 * (uint64_t{table.count} + 1) > capacity(table)) grow(table);
    Slot* slots = arena_.data() + table.offset;
    const uint64_t mask = capacity(table) - 1;
    uint64_t i = hash >> table.shift;
    while (slots[i].stamp == stamp_) {
      if (slots[i].node == node) {
        inserted = false;
        return slots[i].index;
      }
      i = (i + 1) & mask;
    }
    if (next_index >= static_cast<int64_t>(UINT32_MAX)) {
      throw std::length_error("Too many sampled nodes of one type in one call.");
    }
    slots[i] = Slot{node, static_cast<uint32_t>(next_index), stamp_};
    ++table.count;
    ++entries_;
    inserted = true;
    return next_index;
  }

  int64_t find_or_insert(int64_t batch, int64_t node, int64_t next_index, bool& inserted) {
    return find_or_insert(batch, hash(node), node, next_index, inserted);
  }

  // Ends a call: empties the map, keeping its arena, and sizes the next call's first tables after
  // this call's nodes per seed.
  void clear() {
    if (!tables_.empty() && entries_ > 0) {
      const uint64_t per_seed = entries_ / tables_.size();
      first_capacity_ = kMinCapacity;
      while (first_capacity_ < 2 * (per_seed + 1) && first_capacity_ < kMaxFirstCapacity) {
        first_capacity_ *= 2;
      }
    }
    tables_.clear();
    arena_used_ = 0;
    entries_ = 0;
  }

  // Adds the bytes the map holds, and the bytes this call needed of them.
  void measure(size_t& held, size_t& needed) const {
    held += tables_.capacity() * sizeof(Table) + arena_.capacity() * sizeof(Slot);
    needed += tables_.size() * sizeof(Table) + arena_used_ * sizeof(Slot);
  }

  // Gives back storage that is over four times what this call used: one oversized call must not
  // pin its peak for the sampler's whole life. Call before clear().
  void trim() {
    if (arena_.capacity() > 4 * arena_used_) std::vector<Slot>(arena_used_).swap(arena_);
    if (tables_.capacity() > 4 * tables_.size()) std::vector<Table>().swap(tables_);
  }

 private:
  struct Slot {
    int64_t node = 0;
    uint32_t index = 0;
    uint32_t stamp = 0;  // the call that stored the slot; any other stamp marks it empty
  };
  // One seed's table: arena_[offset, offset + capacity), capacity = 2^(64 - shift); shift 0 means
  // the seed has no table yet. Slot i holds a node whose hash >> shift is i, or it follows such a
  // slot (linear probing). At most half full.
  struct Table {
    uint64_t offset = 0;
    uint32_t count = 0;
    uint32_t shift = 0;
  };

  static constexpr uint64_t kMinCapacity = 8;
  static constexpr uint64_t kMaxFirstCapacity = 4096;

  static uint64_t capacity(const Table& table) {
    return table.shift == 0 ? 0 : uint64_t{1} << (64 - table.shift);
  }

  // Moves the table to a region of the arena twice its size (or its first region). The region
  // lies past every region of this call, so none of its slots carries this call's stamp.
  void grow(Table& table) {
    const uint64_t old_capacity = capacity(table);
    const uint64_t new_capacity = std::max(2 * old_capacity, first_capacity_);
    if (arena_used_ + new_capacity > arena_.size()) {
      arena_.resize(std::max<size_t>(2 * arena_.size(), arena_used_ + new_capacity));
    }
    Slot* region = arena_.data() + arena_used_;
    uint32_t shift = 64;
    for (uint64_t c = new_capacity; c > 1; c >>= 1) --shift;
    const uint64_t mask = new_capacity - 1;
    const Slot* old = arena_.data() + table.offset;
    for (uint64_t o = 0; o < old_capacity; ++o) {
      if (old[o].stamp != stamp_) continue;
      uint64_t i = hash(old[o].node) >> shift;
      while (region[i].stamp == stamp_) i = (i + 1) & mask;
      region[i] = old[o];
    }
    table.offset = arena_used_;
    table.shift = shift;
    arena_used_ += new_capacity;
  }

  std::vector<Table> tables_;  // per batch index of the running call
  std::vector<Slot> arena_;    // every table's slots; [0, arena_used_) is in use
  size_t arena_used_ = 0;
  uint64_t entries_ = 0;  // nodes stored in the running call
  uint64_t first_capacity_ = kMinCapacity;
  uint32_t stamp_ = 0;  // the running call's; slots start at 0, which no call uses
  size_t batches_ = 0;  // of the running call
};

}  // namespace tovalib
