// NeighborSampler: samples one subgraph per seed node out of a heterogeneous graph whose node
// types may carry timestamps.
//
// The graph is given per edge type (source type, relation, destination type) as a CSC adjacency
// in the caller's int64 arrays: the in-neighbours of destination node v are
// row[colptr[v] .. colptr[v+1]). `sample` expands every seed separately, hop by hop, against the
// direction of the edges, choosing neighbours in one of three ways:
//   * uniformly without replacement (a fan-out, no times known);
//   * the k most recent neighbours not later than the seed time (a fan-out, times known);
//   * every neighbour whose time lies in the hop's window around the seed time.
// It returns (sampled_row, sampled_col, node, batch, num_sampled_nodes, num_sampled_edges): per
// edge type the local source and destination indices of every sampled edge, per node type the
// global id and seed index of every sampled node, and the per-hop node and edge counts.
//
// The sampler reads the caller's arrays in place and holds a reference to each for its whole
// life. One MT19937 stream, seeded at construction, serves every call, so equal samplers given
// equal calls return equal results. A sampler serves one call at a time.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "sampler/array_access.h"
#include "sampler/node_index_map.h"
#include "sampler/taken_set.h"

namespace tovalib {

// (source node type, relation, destination node type).
using EdgeType = std::tuple<std::string, std::string, std::string>;

// The one string that names an edge type everywhere: source + "__" + relation + "__" +
// destination, without escaping.
std::string make_edge_type_key(const EdgeType& edge_type);

using SampleResult = std::tuple<py::dict, py::dict, py::dict, py::dict, py::dict, py::dict>;

class NeighborSampler {
 public:
  // Validates the dicts, records a view of every graph array and seeds the generator with `seed`
  // modulo 2^32. Throws std::runtime_error for a malformed dict or edge type, and lets the
  // Python error through (KeyError, ...) when a lookup fails.
  NeighborSampler(std::vector<std::string> node_types, std::vector<EdgeType> edge_types,
                  const py::dict& colptr, const py::dict& row, const py::dict& node_time,
                  int32_t seed);

  NeighborSampler(const NeighborSampler&) = delete;
  NeighborSampler& operator=(const NeighborSampler&) = delete;

  // Samples the subgraphs of `seed_node` (ids of node type `entity_table`). Every edge type must
  // appear in exactly one of `num_neighbors` (a per-hop fan-out list) and `sampling_time_offsets`
  // (a per-hop array of (lower, upper) offsets from the seed time). `seed_time` holds one time
  // per seed, or nothing to use the seeds' own times.
  SampleResult sample(const py::dict& num_neighbors, const py::dict& sampling_time_offsets,
                      const std::string& entity_table, const py::array& seed_node,
                      const py::array& seed_time);

  // Graph description, fixed at construction.
  std::vector<std::string> node_types;
  std::vector<EdgeType> edge_types;
  std::vector<std::string> edge_type_keys;
  bool has_node_time = false;
  std::mt19937 generator;
  std::unordered_map<std::string, Int64Array> colptr_data;
  std::unordered_map<std::string, Int64Array> row_data;
  std::unordered_map<std::string, Int64Array> node_time_data;

  // Accumulators of the running call, indexed by node-type slot or by edge-type plan (below).
  // The sampled-node list of a node type is its `batch` and `node` accumulators side by side:
  // entry i of both is the node with local index i. All are empty between calls but keep their
  // capacity, so a steady stream of similar calls allocates nothing.
  std::vector<std::vector<int64_t>> num_sampled_nodes;
  std::vector<std::vector<int64_t>> num_sampled_edges;
  std::vector<std::vector<int64_t>> batch;
  std::vector<std::vector<int64_t>> node;
  std::vector<std::vector<int64_t>> sampled_col;
  std::vector<std::vector<int64_t>> sampled_row;

 private:
  // A node type listed twice, or an edge type listed twice, is one type: one slot, one set of
  // accumulators, expanded and reported once, so that every count has one entry per hop.
  struct NodeTypeSlot {
    std::string name;
    py::str key;            // `name` as a Python str, made once
    Int64View time;         // node times, when `timed`
    bool timed = false;
  };
  struct EdgeTypePlan {
    size_t src = 0, dst = 0;  // node-type slots
    size_t key = 0;           // the plan's own position, which indexes its accumulators
    std::string name;         // the edge-type key
    py::str py_key;           // `name` as a Python str, made once
    Int64View colptr, row;
  };
  // The request's choice for one edge type in one hop.
  struct HopParameters {
    int64_t fan_out = 0;
    int num_offsets = 0;  // 0 for a fan-out edge type, else 1 (upper only) or 2 (lower, upper)
    int64_t offsets[2] = {0, 0};
  };

  // The slot of a node type name; node_slots_.size() when there is none.
  size_t node_type_slot(const std::string& name) const;

  // The three phases of `sample`.
  uint64_t prepare_request(const py::dict& num_neighbors, const py::dict& sampling_time_offsets,
                           const std::string& entity_table, const py::array& seed_node,
                           const py::array& seed_time);
  void run_hops(uint64_t hop_count, const py::dict& num_neighbors,
                const py::dict& sampling_time_offsets);
  SampleResult assemble_result();

  HopParameters read_hop_parameters(const EdgeTypePlan& plan, uint64_t hop,
                                    const py::dict& num_neighbors,
                                    const py::dict& sampling_time_offsets) const;
  // Runs expand_node(recorder, local index, batch index, column) for every frontier node of the
  // edge type's destination type in [begin, end), in order, prefetching ahead; `times` (the
  // source type's, or null) also prefetches the time of each column's first bisection probe.
  template <typename ExpandNode>
  void expand_frontier(const EdgeTypePlan& plan, const Int64View* times, int64_t begin,
                       int64_t end, ExpandNode expand_node);
  void expand_untimed(const EdgeTypePlan& plan, int64_t fan_out, int64_t begin, int64_t end);
  void expand_recent(const EdgeTypePlan& plan, int64_t fan_out, int64_t begin, int64_t end);
  void expand_window(const EdgeTypePlan& plan, const HopParameters& parameters, int64_t begin,
                     int64_t end);

  // Empties the per-call state after a call, whether it returned or threw.
  void end_call();

  std::vector<NodeTypeSlot> node_slots_;  // one per distinct node type, in order
  std::vector<EdgeTypePlan> plans_;       // one per distinct edge type, in order

  // Per-call working state, kept between calls for its capacity only.
  std::vector<NodeIndexMap> index_maps_;                // per node-type slot
  std::vector<std::pair<int64_t, int64_t>> frontiers_;  // per node-type slot: [begin, end)
  std::vector<int64_t> seed_times_;                     // per batch index, or empty
  TakenSet taken_;
  bool sampling_ = false;
};

}  // namespace tovalib
