// What one `sample` call builds for one node type and for one edge type. The sampler keeps one of
// each per type between calls for their capacity only: every call starts them afresh (start()),
// the hop loop and the kernels fill them, result assembly hands their lists over to the result
// arrays (or copies them out), and end() empties them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "sampler/int64_list.h"
#include "sampler/memory_policy.h"
#include "sampler/node_index_map.h"

namespace tovalib {

// Makes room for `count` more elements at the end of `list` and returns where they start; the
// caller writes them all, or shrinks the list back over the ones it did not write.
inline int64_t* extend(Int64List& list, size_t count) {
  const size_t size = list.size();
  list.resize(size + count);
  return list.data() + size;
}

// Bytes a buffer holds and bytes this call needed of it, summed over buffers.
struct BufferUse {
  size_t held = 0;
  size_t needed = 0;

  template <typename T>
  void add(const std::vector<T>& buffer) {
    held += buffer.capacity() * sizeof(T);
    needed += buffer.size() * sizeof(T);
  }
  void add(const Int64List& list) {
    held += list.held_bytes();
    needed += list.used_bytes();
  }
};

// At the end of a call, when the memory policy finds `buffer` oversized for what the call put in
// it: empties it and keeps room for that much only. Its contents are no longer needed, so nothing
// is copied. Without memory for the smaller buffer, the buffer stays as it is.
template <typename T>
void trim_buffer(std::vector<T>& buffer) noexcept {
  if (!memory_policy::oversized(buffer.capacity(), buffer.size())) return;
  std::vector<T> fitted;
  try {
    fitted.reserve(buffer.size());
  } catch (const std::bad_alloc&) {
    return;
  }
  buffer.swap(fitted);
}

// The sampled nodes of one node type. Entry i of `batch` and `node` is the node with local index i:
// together they are the type's sampled-node list, and `index_map` finds a node's local index.
struct SampledNodes {
  Int64List batch;
  Int64List node;
  std::vector<int64_t> num_sampled_nodes;  // seeds, then one count per hop
  NodeIndexMap index_map;
  int64_t frontier_begin = 0;  // [frontier_begin, frontier_end): what the next hop expands
  int64_t frontier_end = 0;

  int64_t size() const { return static_cast<int64_t>(node.size()); }

  void start() {
    num_sampled_nodes.assign(1, 0);
    frontier_begin = frontier_end = 0;
  }

  // Appends (batch index, node id) as the next local index.
  // Callers look the pair up in `index_map` first; only seeds, which are never merged, may
  // repeat a pair.
  void append(int64_t batch_index, int64_t node_id) {
    batch.push_back(batch_index);
    node.push_back(node_id);
  }

  // Moves the frontier on to exactly the nodes added since it last moved, and counts them.
  void advance_frontier() {
    num_sampled_nodes.push_back(size() - frontier_end);
    frontier_begin = frontier_end;
    frontier_end = size();
  }

  void measure(BufferUse& use) const {
    use.add(batch);
    use.add(node);
    use.add(num_sampled_nodes);
    index_map.measure(use.held, use.needed);
  }

  // Called after measure() and before end(), while the sizes still show what this call needed.
  void trim() noexcept {
    batch.trim();
    node.trim();
    index_map.trim();
  }

  void end() noexcept {
    batch.clear();
    node.clear();
    num_sampled_nodes.clear();
    index_map.clear();
  }
};

// The sampled edges of one edge type: entry i of `sampled_row` and `sampled_col` is one edge, as
// the local indices of its source (the neighbour) and its destination (the frontier node).
struct SampledEdges {
  Int64List sampled_row;
  Int64List sampled_col;
  std::vector<int64_t> num_sampled_edges;  // one count per hop

  int64_t size() const { return static_cast<int64_t>(sampled_row.size()); }

  void measure(BufferUse& use) const {
    use.add(sampled_row);
    use.add(sampled_col);
    use.add(num_sampled_edges);
  }

  void trim() noexcept {
    sampled_row.trim();
    sampled_col.trim();
  }

  void end() noexcept {
    sampled_row.clear();
    sampled_col.clear();
    num_sampled_edges.clear();
  }
};

}  // namespace tovalib
