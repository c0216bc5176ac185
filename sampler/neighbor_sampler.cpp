#include "sampler/neighbor_sampler.h"

#include <stdexcept>
#include <utility>

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

NeighborSampler::NeighborSampler(std::vector<std::string> node_types_in,
                                 std::vector<EdgeType> edge_types_in, const py::dict& colptr,
                                 const py::dict& row, const py::dict& node_time, int32_t seed)
    : node_types(std::move(node_types_in)), edge_types(std::move(edge_types_in)) {
  for (const EdgeType& edge_type : edge_types) edge_type_keys.push_back(make_edge_type_key(edge_type));

  check_array_dict(colptr, "colptr", edge_type_keys, /*ndim=*/1, /*require_int64=*/true);
  check_array_dict(row, "row", edge_type_keys, /*ndim=*/1, /*require_int64=*/true);
  has_node_time = !node_time.empty();
  check_array_dict(node_time, "node_time", node_types, /*ndim=*/1, /*require_int64=*/true);

  for (const std::string& key : edge_type_keys) {
    const py::str py_key(key);
    colptr_data[key] = Int64Array(as_array(colptr[py_key]));
    row_data[key] = Int64Array(as_array(row[py_key]));
  }
  for (const std::string& type : node_types) {
    const py::str py_type(type);
    if (node_time.contains(py_type)) {
      node_time_data[type] = Int64Array(as_array(node_time[py_type]));
    }
  }

  // Slots: each distinct name once, in order of first appearance.
  for (const std::string& type : node_types) {
    if (node_type_slot(type) < node_slots_.size()) continue;
    NodeTypeSlot entry{type, py::str(type), Int64View{}, false};
    const auto time = node_time_data.find(type);
    if (time != node_time_data.end()) {
      entry.time = time->second.view();
      entry.timed = true;
    }
    node_slots_.push_back(std::move(entry));
  }
  for (size_t i = 0; i < edge_types.size(); ++i) {
    const std::string& key = edge_type_keys[i];
    const std::string& src = std::get<0>(edge_types[i]);
    const std::string& dst = std::get<2>(edge_types[i]);
    // Without this the hop loop would have no frontier for the destination type, and neighbours
    // of an unknown source type would be sampled into a list that no result reports.
    for (const std::string* type : {&src, &dst}) {
      if (node_type_slot(*type) == node_slots_.size()) {
        throw std::runtime_error("Edge type '" + key + "' refers to node type '" + *type +
                                 "', which is not in node_types.");
      }
    }
    // A different edge type with the same key (names containing "__") would put local indices
    // of two node types into one result array; the same triple again is simply the same type.
    bool repeated = false;
    for (size_t j = 0; j < i && !repeated; ++j) {
      if (edge_type_keys[j] != key) continue;
      if (edge_types[j] != edge_types[i]) {
        throw std::runtime_error("Edge types " + describe(edge_types[j]) + " and " +
                                 describe(edge_types[i]) + " share the key '" + key + "'.");
      }
      repeated = true;
    }
    if (repeated) continue;
    plans_.push_back(EdgeTypePlan{node_type_slot(src), node_type_slot(dst), plans_.size(), key,
                                  py::str(key), colptr_data.at(key).view(),
                                  row_data.at(key).view()});
  }

  generator.seed(static_cast<uint32_t>(seed));

  num_sampled_nodes.resize(node_slots_.size());
  batch.resize(node_slots_.size());
  node.resize(node_slots_.size());
  index_maps_.resize(node_slots_.size());
  frontiers_.resize(node_slots_.size());
  num_sampled_edges.resize(plans_.size());
  sampled_row.resize(plans_.size());
  sampled_col.resize(plans_.size());
}

// A linear scan: there are a handful of node types, and this runs once per call at most.
size_t NeighborSampler::node_type_slot(const std::string& name) const {
  size_t slot = 0;
  while (slot < node_slots_.size() && node_slots_[slot].name != name) ++slot;
  return slot;
}

SampleResult NeighborSampler::sample(const py::dict& num_neighbors,
                                     const py::dict& sampling_time_offsets,
                                     const std::string& entity_table, const py::array& seed_node,
                                     const py::array& seed_time) {
  // Python code can run inside a call (a window bound's __index__, say) and call back in; letting
  // it in would reset the state under the running hop loop.
  if (sampling_) {
    throw std::runtime_error("sample() called on a NeighborSampler that is already sampling.");
  }
  sampling_ = true;
  struct EndCall {
    NeighborSampler* sampler;
    ~EndCall() { sampler->end_call(); }
  } end_call_on_exit{this};

  const uint64_t hop_count =
      prepare_request(num_neighbors, sampling_time_offsets, entity_table, seed_node, seed_time);
  if (hop_count > 0) run_hops(hop_count, num_neighbors, sampling_time_offsets);
  return assemble_result();
}

void NeighborSampler::end_call() {
  for (NodeIndexMap& map : index_maps_) map.clear();
  for (auto* accumulators : {&num_sampled_nodes, &batch, &node, &num_sampled_edges, &sampled_row,
                             &sampled_col}) {
    for (std::vector<int64_t>& values : *accumulators) values.clear();
  }
  seed_times_.clear();
  sampling_ = false;
}

}  // namespace tovalib
