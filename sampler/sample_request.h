// One `sample` call's request, converted once and owned by the call: every decision that
// preparation takes about the arguments is stored here, and the hop loop reads only this record,
// never the caller's dicts or arrays.
#pragma once

#include <cstdint>
#include <vector>

#include <pybind11/pybind11.h>

#include "sampler/array_access.h"

namespace tovalib {

// How one edge type is expanded in this call.
struct EdgeTypeRequest {
  // Fan-out rule: the per-hop fan-outs; a hop past the end of the list asks for none.
  std::vector<int64_t> fan_outs;
  // Time-window rule: the checked window array, indexed through Python at every hop so that a
  // row may hold None or any integer-like object. Null for the fan-out rule.
  py::object windows;

  bool is_window() const { return static_cast<bool>(windows); }

  int64_t fan_out(uint64_t hop) const { return hop < fan_outs.size() ? fan_outs[hop] : 0; }
};

struct SampleRequest {
  // Keep every converted value alive for the whole call.
  CheckedArrayDict num_neighbors;
  CheckedArrayDict sampling_time_offsets;
  size_t entity = 0;               // the node-type record of the seeds
  std::vector<int64_t> seed_node;  // the checked seeds; their count is the batch size
  uint64_t hop_count = 0;
  std::vector<EdgeTypeRequest> edge_types;  // one per edge-type record, in order
};

}  // namespace tovalib
