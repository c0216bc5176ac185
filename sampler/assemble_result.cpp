// Last phase of `sample`: copy the accumulators into new arrays in six new dicts, keyed in
// constructor order.
#include "sampler/neighbor_sampler.h"

namespace tovalib {

SampleResult NeighborSampler::assemble_result() {
  py::dict node_out, num_sampled_nodes_out, batch_out;
  for (size_t slot = 0; slot < node_slots_.size(); ++slot) {
    const py::str& key = node_slots_[slot].key;
    node_out[key] = make_int64_array(node[slot].data(), static_cast<int64_t>(node[slot].size()));
    num_sampled_nodes_out[key] = make_int64_array(
        num_sampled_nodes[slot].data(), static_cast<int64_t>(num_sampled_nodes[slot].size()));
    batch_out[key] = make_int64_array(batch[slot].data(), static_cast<int64_t>(batch[slot].size()));
  }
  py::dict num_sampled_edges_out, sampled_row_out, sampled_col_out;
  for (const EdgeTypePlan& plan : plans_) {
    const py::str& key = plan.py_key;
    // The leading slot is bookkeeping; callers get one count per hop.
    const std::vector<int64_t>& edges_per_hop = num_sampled_edges[plan.key];
    num_sampled_edges_out[key] =
        make_int64_array(edges_per_hop.data() + 1, static_cast<int64_t>(edges_per_hop.size()) - 1);
    sampled_row_out[key] = make_int64_array(sampled_row[plan.key].data(),
                                            static_cast<int64_t>(sampled_row[plan.key].size()));
    sampled_col_out[key] = make_int64_array(sampled_col[plan.key].data(),
                                            static_cast<int64_t>(sampled_col[plan.key].size()));
  }
  return SampleResult{sampled_row_out, sampled_col_out, node_out,
                      batch_out,       num_sampled_nodes_out, num_sampled_edges_out};
}

}  // namespace tovalib
