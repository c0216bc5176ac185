// NeighborSampler: construction, the frame of a `sample` call and the end of a call. The call's
// three phases are prepare_request.cpp, hop_loop.cpp and assemble_result.cpp.
#include "sampler/neighbor_sampler.h"

#include <stdexcept>
#include <utility>

#include "sampler/memory_policy.h"

namespace tovalib {
namespace {

std::string describe(const EdgeType& edge_type) {
  return "('" + std::get<0>(edge_type) + "', '" + std::get<1>(edge_type) + "', '" +
         std::get<2>(edge_type) + "')";
}

}  // namespace

std::string make_edge_type_key(const EdgeType& edge_type) {
  return std::get<0>(edge_type) + "__" + std::get<1>(edge_type) + "__" + std::get<2>(edge_type);
}

NeighborSampler::NeighborSampler(const std::vector<std::string>& node_types,
                                 const std::vector<EdgeType>& edge_types, const py::dict& colptr,
                                 const py::dict& row, const py::dict& node_time, int32_t seed) {
  // Names are looked up by hash, so that construction and every call grow linearly with the
  // number of types. A name listed twice maps to its first listing.
  std::vector<std::string> keys;
  NameIndex first_listing;  // edge-type key to the first edge type with that key
  keys.reserve(edge_types.size());
  for (size_t i = 0; i < edge_types.size(); ++i) {
    keys.push_back(make_edge_type_key(edge_types[i]));
    first_listing.emplace(keys.back(), i);
  }
  for (const std::string& type : node_types)
    node_type_index_.emplace(type, node_type_index_.size());

  const CheckedArrayDict checked_colptr =
      check_array_dict(colptr, "colptr", first_listing, /*ndim=*/1, /*require_int64=*/true);
  const CheckedArrayDict checked_row =
      check_array_dict(row, "row", first_listing, /*ndim=*/1, /*require_int64=*/true);
  const CheckedArrayDict checked_node_time =
      check_array_dict(node_time, "node_time", node_type_index_, /*ndim=*/1,
                       /*require_int64=*/true);
  has_node_time_ = checked_node_time.size() > 0;

  // Every edge type's arrays, colptr before row, before anything else is looked at.
  for (size_t i = 0; i < edge_types.size(); ++i) {
    if (first_listing.at(keys[i]) != i) continue;  // the same key again
    EdgeTypeRecord record;
    record.key = keys[i];
    record.py_key = py::str(record.key);
    record.colptr = PinnedInt64Array(checked_colptr.at(record.py_key));
    record.row = PinnedInt64Array(checked_row.at(record.py_key));
    edge_types_.push_back(std::move(record));
  }
  for (const std::string& type : node_types) {
    NodeTypeRecord record;
    record.name = type;
    record.py_name = py::str(type);
    const py::object times = checked_node_time.find(record.py_name);
    if (times) {
      record.node_time = PinnedInt64Array(py::reinterpret_borrow<py::array>(times));
      record.timed = true;
    }
    if (node_type_index_.at(type) == node_types_.size()) node_types_.push_back(std::move(record));
  }

  for (size_t i = 0; i < edge_types.size(); ++i) {
    const std::string& key = keys[i];
    // Without this the hop loop would have no frontier for the destination type, and neighbours
    // of an unknown source type would be sampled into a list that no result reports.
    for (const std::string* type : {&std::get<0>(edge_types[i]), &std::get<2>(edge_types[i])}) {
      if (node_type_index_.find(*type) == node_type_index_.end()) {
        throw std::runtime_error("Edge type '" + key + "' refers to node type '" + *type +
                                 "', which is not in node_types.");
      }
    }
    // A different edge type with the same key (names containing "__") would put local indices
    // of two node types into one result array; the same triple again is simply the same type.
    const size_t first = first_listing.at(key);
    if (first != i) {
      if (edge_types[first] != edge_types[i]) {
        throw std::runtime_error("Edge types " + describe(edge_types[first]) + " and " +
                                 describe(edge_types[i]) + " share the key '" + key + "'.");
      }
      continue;
    }
    EdgeTypeRecord& record = edge_types_[edge_type_index_.size()];
    record.src = node_type_index_.at(std::get<0>(edge_types[i]));
    record.dst = node_type_index_.at(std::get<2>(edge_types[i]));
    edge_type_index_.emplace(key, edge_type_index_.size());
  }

  generator_.seed(static_cast<uint32_t>(seed));
}

void NeighborSampler::release_references() {
  for (NodeTypeRecord& type : node_types_) {
    type.node_time.release();
    type.timed = false;
  }
  for (EdgeTypeRecord& type : edge_types_) {
    type.colptr.release();
    type.row.release();
  }
  released_ = true;
}

SampleResult NeighborSampler::sample(const py::dict& num_neighbors,
                                     const py::dict& sampling_time_offsets,
                                     const std::string& entity_table, const py::array& seed_node,
                                     const py::array& seed_time) {
  // Python code can run inside a call (a window bound's __index__, a signal handler) and call
  // back in; letting it in would reset the state under the running hop loop.
  if (sampling_) {
    throw std::runtime_error("sample() called on a NeighborSampler that is already sampling.");
  }
  if (released_) {
    throw std::runtime_error(
        "sample() called on a NeighborSampler whose arrays the garbage collector released.");
  }
  sampling_ = true;
  struct EndCall {
    NeighborSampler* sampler;
    ~EndCall() { sampler->end_call(); }
  } end_call_on_exit{this};

  const SampleRequest request =
      prepare_request(num_neighbors, sampling_time_offsets, entity_table, seed_node, seed_time);
  run_hops(request);
  return assemble_result();
}

void NeighborSampler::check_graph_unchanged() {
  for (const NodeTypeRecord& type : node_types_) type.node_time.check_unchanged();
  for (EdgeTypeRecord& type : edge_types_) {
    type.colptr.check_unchanged();
    type.row.check_unchanged();
    type.checked_at = python_runs_;
  }
}

void NeighborSampler::check_unchanged(EdgeTypeRecord& edge_type) {
  edge_type.colptr.check_unchanged();
  edge_type.row.check_unchanged();
  node_types_[edge_type.src].node_time.check_unchanged();
  edge_type.checked_at = python_runs_;
}

void NeighborSampler::after_python(EdgeTypeRecord* expanding) {
  ++python_runs_;
  if (expanding != nullptr) check_unchanged(*expanding);
}

void NeighborSampler::end_call() noexcept {
  BufferUse use;
  for (const NodeTypeRecord& type : node_types_) type.sampled.measure(use);
  for (const EdgeTypeRecord& type : edge_types_) type.sampled.measure(use);
  use.add(seed_times_);
  use.held += taken_.held_bytes();
  recent_needs_.record(use.needed);
  const bool trims = memory_policy::sampler_trims(use.held, recent_needs_.most());
  if (trims) {
    for (NodeTypeRecord& type : node_types_) type.sampled.trim();
    for (EdgeTypeRecord& type : edge_types_) type.sampled.trim();
    trim_buffer(seed_times_);
    taken_.release();
  }
  // The result pool too keeps only what recent calls of any sampler needed.
  const size_t pool_released = BlockPool::shared().end_call();
  memory_policy::return_free_pages(trims, pool_released);
  for (NodeTypeRecord& type : node_types_) type.sampled.end();
  for (EdgeTypeRecord& type : edge_types_) type.sampled.end();
  seed_times_.clear();
  sampling_ = false;
}

}  // namespace tovalib
