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
#include <string>
#include <tuple>
#include <vector>

#include "sampler/array_access.h"
#include "sampler/block_pool.h"
#include "sampler/memory_policy.h"
#include "sampler/pinned_int64_array.h"
#include "sampler/sample_request.h"
#include "sampler/sampled_subgraph.h"
#include "sampler/selection.h"
#include "sampler/taken_set.h"

namespace tovalib {

// A long call must stop on Ctrl-C, but asking Python for pending signals costs a call: it is asked
// once per kWorkPerPoll frontier nodes, edges stored or seeds registered, some hundred
// microseconds apart. Throws the handler's exception, KeyboardInterrupt for Ctrl-C.
constexpr uint64_t kWorkPerPoll = EdgeRecorder::kEdgesPerPoll;

inline void poll_signals() {
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// (source node type, relation, destination node type).
using EdgeType = std::tuple<std::string, std::string, std::string>;

// The one string that names an edge type everywhere: source + "__" + relation + "__" +
// destination, without escaping.
std::string make_edge_type_key(const EdgeType& edge_type);

using SampleResult = std::tuple<py::dict, py::dict, py::dict, py::dict, py::dict, py::dict>;

class NeighborSampler {
 public:
  // Validates the dicts, keeps every graph array it will read and seeds the generator with `seed`
  // modulo 2^32.
  //   Throws: RuntimeError for a malformed dict or edge type; the Python error of a lookup that
  //   fails (KeyError, ...) as it is.
  NeighborSampler(const std::vector<std::string>& node_types,
                  const std::vector<EdgeType>& edge_types, const py::dict& colptr,
                  const py::dict& row, const py::dict& node_time, int32_t seed);

  NeighborSampler(const NeighborSampler&) = delete;
  NeighborSampler& operator=(const NeighborSampler&) = delete;

  // Samples the subgraphs of `seed_node` (ids of node type `entity_table`).
  //   - Every edge type appears in exactly one of `num_neighbors` (a per-hop fan-out list) and
  //     `sampling_time_offsets` (a per-hop array of (lower, upper) offsets from the seed time).
  //   - `seed_time` holds one time per seed, or nothing to use the seeds' own times.
  //   Returns: the six dicts described at the top of this file.
  //   Throws: RuntimeError for a malformed request, IndexError for an id outside an array,
  //   KeyError for an edge type in neither dict (the README lists every error); the arguments'
  //   own Python errors as they are.
  SampleResult sample(const py::dict& num_neighbors, const py::dict& sampling_time_offsets,
                      const std::string& entity_table, const py::array& seed_node,
                      const py::array& seed_time);

  // Calls visit(handle) for every Python object the sampler holds, for the garbage collector.
  template <typename Visit>
  void visit_references(Visit visit) const {
    for (const NodeTypeRecord& type : node_types_) type.node_time.visit_references(visit);
    for (const EdgeTypeRecord& type : edge_types_) {
      type.colptr.visit_references(visit);
      type.row.visit_references(visit);
    }
  }

  // Drops every Python object the sampler holds, so that the garbage collector can break a cycle
  // through it. A sampler without its arrays refuses to sample.
  void release_references();

 private:
  // One distinct node type: its name, its times and what the running call samples of it. A type
  // listed twice is one type, so that every count has one entry per hop.
  struct NodeTypeRecord {
    std::string name;
    py::str py_name;             // `name` as a Python str, made once
    PinnedInt64Array node_time;  // empty unless `timed`
    bool timed = false;
    SampledNodes sampled;
  };

  // One distinct edge type: its key, its CSC arrays and what the running call samples along it.
  struct EdgeTypeRecord {
    std::string key;  // the edge-type key
    py::str py_key;   // `key` as a Python str, made once
    size_t src = 0;   // node-type records
    size_t dst = 0;
    PinnedInt64Array colptr;
    PinnedInt64Array row;
    SampledEdges sampled;
    uint64_t checked_at = 0;  // python_runs_ when its arrays were last checked in this call
  };

  // The three phases of `sample`.
  SampleRequest prepare_request(const py::dict& num_neighbors,
                                const py::dict& sampling_time_offsets,
                                const std::string& entity_table, const py::array& seed_node,
                                const py::array& seed_time);
  void run_hops(const SampleRequest& request);
  SampleResult assemble_result();

  // Expand the frontier nodes [begin, end) of the edge type's destination type, in order: the
  // untimed path runs select_uniform on each; the timed path finds their cuts a few nodes ahead
  // in a CutPipeline and records each with record_cut (select_timed where it has none).
  void expand_untimed(EdgeTypeRecord& edge_type, int64_t fan_out, int64_t begin, int64_t end);
  void expand_timed(EdgeTypeRecord& edge_type, const TimedHop& timed_hop, int64_t begin,
                    int64_t end);

  // The poll of one edge type's expansion, run by its loop every kWorkPerPoll frontier nodes (for
  // hops that expand many nodes and record few edges) and by its recorder every kWorkPerPoll
  // edges stored (within one long column too). A signal handler may change the arrays being
  // read, so each poll checks them again.
  struct ExpansionPoll {
    NeighborSampler* sampler;
    EdgeTypeRecord* edge_type;

    void operator()() const {
      poll_signals();
      sampler->after_python(edge_type);
    }
    static void run(void* poll) { (*static_cast<const ExpansionPoll*>(poll))(); }
  };

  // The graph arrays are the caller's, and Python code run inside a call (a window bound's
  // __index__, a signal handler, a key's __str__) can give one new memory or change its dtype or
  // shape. Every array is checked once a call, after the request's conversions, and an edge
  // type's arrays again before it is expanded, and on, whenever Python code may have run since.
  // These throw RuntimeError at a changed array.
  void check_graph_unchanged();
  void check_unchanged(EdgeTypeRecord& edge_type);
  // Called after anything that may have run Python code; checks the edge type being expanded.
  void after_python(EdgeTypeRecord* expanding);

  // Empties the per-call state after a call, whether it returned or threw, and gives back
  // memory that recent calls did not need (see sampler/memory_policy.h). Runs from a destructor:
  // it allocates nothing that could fail, and a trim without memory for its smaller buffers
  // leaves them as they are.
  void end_call() noexcept;

  // First, so that it is left last: the records' lists give their blocks back to the pool first.
  BlockPool::User pool_user_;

  // Graph description, fixed at construction.
  NameIndex node_type_index_;  // node-type name to record
  NameIndex edge_type_index_;  // edge-type key to record
  std::vector<NodeTypeRecord> node_types_;
  std::vector<EdgeTypeRecord> edge_types_;
  bool has_node_time_ = false;
  Mt19937 generator_;

  // Per-call working state beyond the records, kept between calls for its capacity only.
  std::vector<int64_t> seed_times_;  // per batch index, or empty
  TakenSet taken_;
  // Bytes the last calls needed, for end_call().
  memory_policy::RecentMost<memory_policy::kSamplerRecentCalls> recent_needs_;
  uint64_t python_runs_ = 0;  // the points in this call where Python code may have run
  bool sampling_ = false;
  bool released_ = false;
};

}  // namespace tovalib
