// Last phase of `sample`: copy what the call sampled into new arrays in six new dicts, keyed in
// constructor order.
#include <optional>

#include "sampler/neighbor_sampler.h"

namespace tovalib {
namespace {

// The dicts are new and their keys exact str made at construction, so the dict's own insertion
// is all that is needed; no Python code can run.
template <typename Buffer>
void insert(const py::dict& dict, const py::str& key, const Buffer& values) {
  const py::array array = make_int64_array(values.data(), static_cast<int64_t>(values.size()));
  if (PyDict_SetItem(dict.ptr(), key.ptr(), array.ptr()) != 0) throw py::error_already_set();
}

// Results smaller than this take their memory from NumPy's own allocator, which serves small
// blocks from a cache of its own and whose memory the C library keeps anyway; larger ones from
// the result pool (see PooledArrays), which keeps a large result's pages for the next call.
constexpr size_t kPooledResultBytes = size_t{256} << 10;

}  // namespace

SampleResult NeighborSampler::assemble_result() {
  size_t result_bytes = 0;
  for (const NodeTypeRecord& type : node_types_) {
    result_bytes += 2 * type.sampled.node.size() * sizeof(int64_t);
  }
  for (const EdgeTypeRecord& type : edge_types_) {
    result_bytes += 2 * type.sampled.sampled_row.size() * sizeof(int64_t);
  }
  std::optional<PooledArrays> pooled;
  if (result_bytes >= kPooledResultBytes) pooled.emplace();
  py::dict node, num_sampled_nodes, batch;
  for (const NodeTypeRecord& type : node_types_) {
    insert(node, type.py_name, type.sampled.node);
    insert(num_sampled_nodes, type.py_name, type.sampled.num_sampled_nodes);
    insert(batch, type.py_name, type.sampled.batch);
  }
  py::dict num_sampled_edges, sampled_row, sampled_col;
  for (const EdgeTypeRecord& type : edge_types_) {
    insert(num_sampled_edges, type.py_key, type.sampled.num_sampled_edges);
    insert(sampled_row, type.py_key, type.sampled.sampled_row);
    insert(sampled_col, type.py_key, type.sampled.sampled_col);
  }
  return SampleResult{sampled_row, sampled_col, node, batch, num_sampled_nodes, num_sampled_edges};
}

}  // namespace tovalib
