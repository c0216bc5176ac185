// One `sample` call's request, converted once and owned by the call: every decision that
// preparation takes about the arguments is stored here, and the hop loop reads only this record,
// never the caller's dicts or arrays.
#pragma once

#include <cstdint>
#include <vector>

#include <pybind11/pybind11.h>

#include "sampler/array_access.h"

namespace tovalib {

// How the hop loop expands an edge type: decided once per call, in preparation, from the
// request's dict that names the edge type and from whether its neighbours' times are known (its
// source type is timed and the call has seed times).
enum class ExpansionRule : uint8_t {
  kUniform,     // fan-outs, no times: uniformly without replacement
  kMostRecent,  // fan-outs, times: the k latest neighbours not later than the seed time
  kTimeWindow,  // windows, times: every neighbour whose time lies in the hop's window
  // Windows without seed times: nothing to choose by, so nothing is recorded; each hop's row is
  // still read, so that a missing row or a bound that is no integer fails the call as with times.
  kWindowWithoutTimes,
};

// How one edge type is expanded in this call.
struct EdgeTypeRequest {
  ExpansionRule rule = ExpansionRule::kUniform;
  // Fan-out rules: the per-hop fan-outs; a hop past the end of the list asks for none.
  std::vector<int64_t> fan_outs;
  // Window rules: the checked window array, indexed through Python at every hop so that a row may
  // hold None or any integer-like object. Null for the fan-out rules.
  py::object windows;

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
