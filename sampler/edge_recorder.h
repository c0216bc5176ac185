// EdgeRecorder: how the selection kernels store the edges they choose, batched so that the cache
// misses of many edges overlap. Plain C++, no Python.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>

#include "sampler/int64_span.h"
#include "sampler/node_index_map.h"
#include "sampler/sampled_subgraph.h"

namespace tovalib {

// Where one edge type's chosen edges go during one hop: the source type's sampled nodes and the
// edge type's sampled edges.
//
// Each edge costs two cache misses: the neighbour id in `row`, and then its slot in the index map.
// Storing edges one by one would wait on both in turn, so the recorder collects up to kBatch of
// them and stores them together in two stages. The row stage reads every neighbour id of the batch
// (its line was prefetched when the edge was recorded; the loads do not depend on each other, so
// the stragglers are in flight together). The store stage then stores the edges in the order
// recorded, prefetching the slot NodeIndexMap::kPrefetchAhead edges ahead: enough to hide a miss,
// while slots prefetched for the whole batch at once were found to arrive no sooner. The outcome is
// exactly that of storing each edge at once; callers flush() before reading what was recorded.
class EdgeRecorder {
 public:
  // `sources` are the edge type's source type's sampled nodes.
  EdgeRecorder(const Int64Span& row, SampledNodes& sources, SampledEdges& edges)
      : row_(row), sources_(sources), edges_(edges) {}

  // Records the edge from row[position] to the frontier node with local index frontier_index.
  // The neighbour joins the seed's subgraph once: met again under the same batch index it keeps
  // its first local index. Edges are never merged.
  // REQUIRES: 0 <= position < row.size.
  void record_edge(int64_t position, int64_t batch, int64_t frontier_index) {
    assert(0 <= position && position < row_.size);
    // Asked for now, read when the batch is stored: the selection work in between hides the wait.
    __builtin_prefetch(row_.data + position);
    Pending& edge = pending_[pending_count_];
    edge.position = position;
    edge.batch = batch;
    edge.frontier_index = frontier_index;
    if (++pending_count_ == kBatch) store_pending();
  }

  // About every kEdgesPerPoll edges stored, after a batch is stored in full, the recorder calls
  // poll(context), which may throw to end the call; by default it calls nothing.
  static constexpr uint64_t kEdgesPerPoll = 1 << 14;
  void set_poll(void (*poll)(void*), void* context) {
    poll_ = poll;
    poll_context_ = context;
  }

  // Stores every pending edge.
  void flush() { store_pending(); }

 private:
  static constexpr size_t kBatch = 256;

  struct Pending {
    int64_t position, batch, frontier_index, neighbour;
    uint64_t hash;
  };

  void store_pending() {
    const size_t count = pending_count_;
    if (count == 0) return;
    NodeIndexMap& index_map = sources_.index_map;
    // Grown first, so that the slots prefetched below are the ones the stores will use.
    index_map.reserve(count);
    // Row stage.
    for (size_t i = 0; i < count; ++i) {
      Pending& edge = pending_[i];
      edge.neighbour = row_.data[edge.position];
      edge.hash = index_map.hash(edge.batch, edge.neighbour);
    }
    // Store stage.
    constexpr size_t kAhead = NodeIndexMap::kPrefetchAhead;
    for (size_t i = 0; i < count && i < kAhead; ++i) index_map.prefetch(pending_[i].hash);
    // Room for every edge, and for every neighbour as a new node: one size check per batch.
    int64_t* const sampled_row = extend(edges_.sampled_row, count);
    int64_t* const sampled_col = extend(edges_.sampled_col, count);
    // New nodes get the map's next local indices, so the list and the map grow together.
    const int64_t known = sources_.size();
    assert(static_cast<size_t>(known) == index_map.size());
    int64_t* const new_batch = extend(sources_.batch, count);
    int64_t* const new_node = extend(sources_.node, count);
    size_t added = 0;
    for (size_t i = 0; i < count; ++i) {
      const Pending& edge = pending_[i];
      if (i + kAhead < count) index_map.prefetch(pending_[i + kAhead].hash);
      bool inserted = false;
      sampled_row[i] = index_map.find_or_insert(edge.hash, edge.batch, edge.neighbour, inserted);
      sampled_col[i] = edge.frontier_index;
      // Written either way and kept only when new: a branch here would be a coin toss.
      new_batch[added] = edge.batch;
      new_node[added] = edge.neighbour;
      added += inserted;
    }
    sources_.batch.resize(static_cast<size_t>(known) + added);
    sources_.node.resize(static_cast<size_t>(known) + added);
    pending_count_ = 0;
    since_poll_ += count;
    if (since_poll_ >= kEdgesPerPoll && poll_ != nullptr) {
      since_poll_ = 0;
      poll_(poll_context_);
    }
  }

  const Int64Span row_;
  SampledNodes& sources_;
  SampledEdges& edges_;
  Pending pending_[kBatch];
  size_t pending_count_ = 0;
  uint64_t since_poll_ = 0;
  void (*poll_)(void*) = nullptr;
  void* poll_context_ = nullptr;
};

}  // namespace tovalib
