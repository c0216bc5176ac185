// Last phase of `sample`: turn what the call sampled into new arrays in six new dicts, keyed in
// constructor order.
#include <optional>

#include "sampler/neighbor_sampler.h"
#include "sampler/result_arrays.h"

namespace tovalib {
namespace {

// The dicts are new and their keys exact str made at construction, so the dict's own insertion
// is all that is needed; no Python code can run.
void insert(const py::dict& dict, const py::str& key, const py::object& array) {
  if (PyDict_SetItem(dict.ptr(), key.ptr(), array.ptr()) != 0) throw py::error_already_set();
}

template <typename Buffer>
void insert_copy(const py::dict& dict, const py::str& key, const Buffer& values) {
  insert(dict, key, make_int64_array(values.data(), static_cast<int64_t>(values.size())));
}

// Results smaller than this take their memory from NumPy's own allocator, which serves small
// blocks from a cache of its own and whose memory the C library keeps anyway; larger ones from
// the pool (see PooledArrays), which keeps a large result's pages for the next call.
constexpr size_t kPooledResultBytes = size_t{256} << 10;

// In a pooled result, a list that fills at least half its block hands the block over to its
// array; the others, and every list of a smaller result, are copied, keeping their block.
void insert_list(const py::dict& dict, const py::str& key, Int64List& values, bool pooled) {
  if (!pooled || values.empty() || 2 * values.size() < values.capacity()) {
    insert_copy(dict, key, values);
    return;
  }
  py::object array;
  values.adopt_block([&](int64_t* data, size_t n) {
    bool taken = false;
    array = adopt_int64_block(data, static_cast<int64_t>(n), taken);
    return taken;
  });
  if (!array) throw py::error_already_set();
  insert(dict, key, array);
}

}  // namespace

SampleResult NeighborSampler::assemble_result() {
  size_t result_bytes = 0;
  for (const NodeTypeRecord& type : node_types_) {
    result_bytes += 2 * type.sampled.node.size() * sizeof(int64_t);
  }
  for (const EdgeTypeRecord& type : edge_types_) {
    result_bytes += 2 * type.sampled.sampled_row.size() * sizeof(int64_t);
  }
  const bool pooled = result_bytes >= kPooledResultBytes && pooled_arrays_available();
  std::optional<PooledArrays> pooled_arrays;
  if (pooled) pooled_arrays.emplace();
  py::dict node, num_sampled_nodes, batch;
  for (NodeTypeRecord& type : node_types_) {
    insert_list(node, type.py_name, type.sampled.node, pooled);
    insert_copy(num_sampled_nodes, type.py_name, type.sampled.num_sampled_nodes);
    insert_list(batch, type.py_name, type.sampled.batch, pooled);
  }
  py::dict num_sampled_edges, sampled_row, sampled_col;
  for (EdgeTypeRecord& type : edge_types_) {
    insert_copy(num_sampled_edges, type.py_key, type.sampled.num_sampled_edges);
    insert_list(sampled_row, type.py_key, type.sampled.sampled_row, pooled);
    insert_list(sampled_col, type.py_key, type.sampled.sampled_col, pooled);
  }
  return SampleResult{sampled_row, sampled_col, node, batch, num_sampled_nodes, num_sampled_edges};
}

}  // namespace tovalib
