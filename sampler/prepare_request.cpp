// First phase of `sample`: validate the request in its fixed order, fix the hop count, register
// the seeds and gather one reference time per seed.
#include <algorithm>
#include <stdexcept>

#include "sampler/neighbor_sampler.h"
#include "sampler/selection.h"

namespace tovalib {
namespace {

// `name` as message text. A name given as bytes need not be UTF-8, and Python would turn a message
// it cannot decode into a RuntimeError without any text; such bytes are shown as \xNN escapes.
std::string printable(const std::string& name) {
  const py::object text = py::reinterpret_steal<py::object>(
      PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "backslashreplace"));
  if (!text) throw py::error_already_set();
  return text.cast<std::string>();
}

}  // namespace

uint64_t NeighborSampler::prepare_request(const py::dict& num_neighbors,
                                          const py::dict& sampling_time_offsets,
                                          const std::string& entity_table,
                                          const py::array& seed_node, const py::array& seed_time) {
  check_array_dict(num_neighbors, "num_neighbors", edge_type_keys, /*ndim=*/1,
                   /*require_int64=*/true);
  check_array_dict(sampling_time_offsets, "sampling_time_offsets", edge_type_keys, /*ndim=*/2,
                   /*require_int64=*/false);
  check_array(seed_node, "seed_node", /*ndim=*/1, /*require_int64=*/true);
  check_array(seed_time, "seed_time", /*ndim=*/1, /*require_int64=*/true);

  if (std::find(node_types.begin(), node_types.end(), entity_table) == node_types.end()) {
    throw std::runtime_error("Invalid entity table '" + printable(entity_table) + "'.");
  }
  const size_t entity = node_type_slot(entity_table);
  const int64_t seed_time_size = array_size(seed_time);
  if (has_node_time && seed_time_size > 0 && seed_time_size != array_size(seed_node)) {
    throw std::runtime_error("'seed_node' and 'seed_time' size mismatch.");
  }

  for (size_t slot = 0; slot < node_slots_.size(); ++slot) {
    num_sampled_nodes[slot].assign(1, 0);
    frontiers_[slot] = {0, 0};
  }
  for (std::vector<int64_t>& edges_per_hop : num_sampled_edges) edges_per_hop.assign(1, 0);

  uint64_t hop_count = 0;
  for (const EdgeTypePlan& plan : plans_) {
    const bool in_fan_outs = num_neighbors.contains(plan.py_key);
    if (in_fan_outs && sampling_time_offsets.contains(plan.py_key)) {
      throw std::runtime_error(
          "'sampling_time_offsets' and 'num_neighbors' may not contain the same edge type. '" +
          plan.name + "' appears in both.");
    }
    if (in_fan_outs) {
      const int64_t hops = array_size(as_array(num_neighbors[plan.py_key]));
      hop_count = std::max(hop_count, static_cast<uint64_t>(hops));
      continue;
    }
    const py::array windows = as_array(sampling_time_offsets[plan.py_key]);
    hop_count = std::max(hop_count, static_cast<uint64_t>(array_dim(windows, 0)));
    const NodeTypeSlot& src = node_slots_[plan.src];
    if (!src.timed) {
      throw std::runtime_error("'sampling_time_offsets' contains '" + plan.name + "' but " +
                               src.name + " is not included in 'node_time'.");
    }
    if (array_dim(windows, 1) != 2) {
      throw std::runtime_error("'sampling_time_offsets' at '" + plan.name +
                               "' does not have shape (N, 2).");
    }
  }

  // Seeds are never merged: equal ids at two positions are two sampled nodes.
  const Int64Array seeds(seed_node);
  const int64_t n = array_dim(seed_node, 0);
  if (n > NodeIndexMap::kMaxBatch) {
    throw std::length_error("At most " + std::to_string(NodeIndexMap::kMaxBatch) +
                            " seeds fit in one call.");
  }
  std::vector<int64_t>& entity_batch = batch[entity];
  std::vector<int64_t>& entity_node = node[entity];
  NodeIndexMap& entity_map = index_maps_[entity];
  entity_batch.reserve(static_cast<size_t>(n));
  entity_node.reserve(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) {
    bool inserted = false;
    entity_map.find_or_insert(i, seeds.view()[i], i, inserted);
    entity_batch.push_back(i);
    entity_node.push_back(seeds.view()[i]);
  }
  frontiers_[entity] = {0, n};
  num_sampled_nodes[entity][0] = n;

  // Every node sampled for a seed is judged against that seed's time, however far away it is.
  if (has_node_time) {
    const NodeTypeSlot& entity_slot = node_slots_[entity];
    if (seed_time_size > 0) {
      const Int64Array times(seed_time);
      seed_times_.assign(times.view().data, times.view().data + n);
    } else if (entity_slot.timed) {
      seed_times_.resize(static_cast<size_t>(n));
      for (int64_t i = 0; i < n; ++i) {
        seed_times_[i] = read_time(entity_slot.time, seeds.view()[i], entity_slot.name);
      }
    }
  }
  return hop_count;
}

}  // namespace tovalib
