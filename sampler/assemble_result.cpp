// Last phase of `sample`: copy what the call sampled into new arrays in six new dicts, keyed in
// constructor order.
#include "sampler/neighbor_sampler.h"

namespace tovalib {
namespace {

py::array to_array(const std::vector<int64_t>& values) {
  return make_int64_array(values.data(), static_cast<int64_t>(values.size()));
}

}  // namespace

SampleResult NeighborSampler::assemble_result() {
  py::dict node, num_sampled_nodes, batch;
  for (const NodeTypeRecord& type : node_types_) {
    node[type.py_name] = to_array(type.sampled.node);
    num_sampled_nodes[type.py_name] = to_array(type.sampled.num_sampled_nodes);
    batch[type.py_name] = to_array(type.sampled.batch);
  }
  py::dict num_sampled_edges, sampled_row, sampled_col;
  for (const EdgeTypeRecord& type : edge_types_) {
    num_sampled_edges[type.py_key] = to_array(type.sampled.num_sampled_edges);
    sampled_row[type.py_key] = to_array(type.sampled.sampled_row);
    sampled_col[type.py_key] = to_array(type.sampled.sampled_col);
  }
  return SampleResult{sampled_row, sampled_col, node, batch, num_sampled_nodes, num_sampled_edges};
}

}  // namespace tovalib
