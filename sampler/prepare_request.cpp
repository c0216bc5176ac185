// First phase of `sample`: validate the request in its fixed order, convert every argument once
// into the call's own request record, register the seeds and gather one reference time per seed.
#include <algorithm>
#include <new>
#include <stdexcept>

#include "sampler/checked_reads.h"
#include "sampler/neighbor_sampler.h"
#include "sampler/pinned_int64_array.h"

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

[[noreturn]] void throw_size_mismatch() {
  throw std::runtime_error("'seed_node' and 'seed_time' size mismatch.");
}

}  // namespace

SampleRequest NeighborSampler::prepare_request(const py::dict& num_neighbors,
                                               const py::dict& sampling_time_offsets,
                                               const std::string& entity_table,
                                               const py::array& seed_node,
                                               const py::array& seed_time) {
  SampleRequest request;
  request.num_neighbors = check_array_dict(num_neighbors, "num_neighbors", edge_type_index_,
                                           /*ndim=*/1, /*require_int64=*/true);
  request.sampling_time_offsets =
      check_array_dict(sampling_time_offsets, "sampling_time_offsets", edge_type_index_,
                       /*ndim=*/2, /*require_int64=*/false);
  check_array(seed_node, "seed_node", /*ndim=*/1, /*require_int64=*/true);
  check_array(seed_time, "seed_time", /*ndim=*/1, /*require_int64=*/true);

  const auto entity = node_type_index_.find(entity_table);
  if (entity == node_type_index_.end()) {
    throw std::runtime_error("Invalid entity table '" + printable(entity_table) + "'.");
  }
  request.entity = entity->second;
  const int64_t n = array_size(seed_node);
  const int64_t seed_time_size = array_size(seed_time);
  if (has_node_time_ && seed_time_size > 0 && seed_time_size != n) throw_size_mismatch();
  // Before any copy: a broadcast view can stand for more seeds than memory could hold.
  if (n > NodeIndexMap::kMaxBatch) {
    throw std::length_error("At most " + std::to_string(NodeIndexMap::kMaxBatch) +
                            " seeds fit in one call.");
  }
  // The seeds and their times are converted here, right after their checks and before any Python
  // code can run again, and read only from the converted arrays from here on.
  copy_int64_array(seed_node, request.seed_node);
  if (has_node_time_ && seed_time_size > 0) {
    copy_int64_array(seed_time, seed_times_);
    if (seed_times_.size() != request.seed_node.size()) throw_size_mismatch();
  }

  for (NodeTypeRecord& type : node_types_) type.sampled.start();

  request.edge_types.resize(edge_types_.size());
  for (size_t e = 0; e < edge_types_.size(); ++e) {
    const EdgeTypeRecord& edge_type = edge_types_[e];
    EdgeTypeRequest& edge_request = request.edge_types[e];
    const py::object fan_outs = request.num_neighbors.find(edge_type.py_key);
    if (fan_outs && request.sampling_time_offsets.find(edge_type.py_key)) {
      throw std::runtime_error(
          "'sampling_time_offsets' and 'num_neighbors' may not contain the same edge type. '" +
          edge_type.key + "' appears in both.");
    }
    if (fan_outs) {
      copy_int64_array(py::reinterpret_borrow<py::array>(fan_outs), edge_request.fan_outs);
      request.hop_count =
          std::max(request.hop_count, static_cast<uint64_t>(edge_request.fan_outs.size()));
      continue;
    }
    const py::array windows = request.sampling_time_offsets.at(edge_type.py_key);
    request.hop_count = std::max(request.hop_count, static_cast<uint64_t>(array_dim(windows, 0)));
    const NodeTypeRecord& src = node_types_[edge_type.src];
    if (!src.timed) {
      throw std::runtime_error("'sampling_time_offsets' contains '" + edge_type.key + "' but " +
                               src.name + " is not included in 'node_time'.");
    }
    if (array_dim(windows, 1) != 2) {
      throw std::runtime_error("'sampling_time_offsets' at '" + edge_type.key +
                               "' does not have shape (N, 2).");
    }
    edge_request.windows = windows;
  }

  // One count per hop and type: room for all of them now, so that a hop count no memory could
  // hold (a broadcast window array of 2^50 rows, say) fails here with MemoryError, before any
  // hop, instead of growing the counts until memory runs out.
  if (request.hop_count >= std::vector<int64_t>().max_size()) throw std::bad_alloc();
  for (NodeTypeRecord& type : node_types_) {
    type.sampled.num_sampled_nodes.reserve(request.hop_count + 1);
  }
  for (EdgeTypeRecord& type : edge_types_) {
    type.sampled.num_sampled_edges.reserve(request.hop_count);
  }

  // Seeds are never merged: equal ids at two positions are two sampled nodes.
  NodeTypeRecord& entity_type = node_types_[request.entity];
  SampledNodes& seeds = entity_type.sampled;
  const Int64Span seed_ids{request.seed_node.data(),
                           static_cast<int64_t>(request.seed_node.size())};
  seeds.batch.reserve(static_cast<size_t>(seed_ids.size));
  seeds.node.reserve(static_cast<size_t>(seed_ids.size));
  // Room for every seed at once, so that slots prefetched ahead stay where they were fetched.
  seeds.index_map.reserve(static_cast<size_t>(seed_ids.size));
  for (int64_t i = 0; i < seed_ids.size; ++i) {
    // Slot prefetch: a large batch fills a table far larger than the caches, one random slot per
    // seed, so the slot of a seed some places on is fetched while this one is stored.
    if (const int64_t ahead = i + int64_t{NodeIndexMap::kPrefetchAhead}; ahead < seed_ids.size) {
      seeds.index_map.prefetch(seeds.index_map.hash(ahead, seed_ids[ahead]));
    }
    bool inserted = false;
    seeds.index_map.find_or_insert(seeds.index_map.hash(i, seed_ids[i]), i, seed_ids[i], inserted);
    seeds.append(i, seed_ids[i]);
    if (static_cast<uint64_t>(i + 1) % kWorkPerPoll == 0) poll_signals();
  }
  seeds.frontier_end = seed_ids.size;
  seeds.num_sampled_nodes[0] = seed_ids.size;

  // The last Python code of preparation has run (a signal handler in the loop above, at the
  // latest): from here on the graph arrays are read.
  check_graph_unchanged();

  // Every node sampled for a seed is judged against that seed's time, however far away it is.
  if (has_node_time_ && seed_time_size == 0 && entity_type.timed) {
    seed_times_.resize(static_cast<size_t>(seed_ids.size));
    for (int64_t i = 0; i < seed_ids.size; ++i) {
      seed_times_[static_cast<size_t>(i)] =
          read_time(entity_type.node_time.span(), seed_ids[i], entity_type.name);
    }
  }

  // Each edge type's rule, now that it is known whether the call has seed times.
  for (size_t e = 0; e < edge_types_.size(); ++e) {
    EdgeTypeRequest& edge_request = request.edge_types[e];
    const bool timed = node_types_[edge_types_[e].src].timed && !seed_times_.empty();
    if (edge_request.windows) {
      edge_request.rule = timed ? ExpansionRule::kTimeWindow : ExpansionRule::kWindowWithoutTimes;
    } else {
      edge_request.rule = timed ? ExpansionRule::kMostRecent : ExpansionRule::kUniform;
    }
  }
  return request;
}

}  // namespace tovalib
