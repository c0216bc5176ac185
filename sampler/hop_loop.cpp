// Second phase of `sample`: expand the frontier of every edge type hop by hop. Python is touched
// once per edge type and hop, to read that hop's fan-out or window; everything per frontier node
// and per edge runs on plain arrays.
#include <algorithm>

#include "sampler/neighbor_sampler.h"
#include "sampler/selection.h"

namespace tovalib {
namespace {

// A window bound as int64: integers and objects with __index__ only. pybind11's own integer caster
// would fall back to int() and so truncate a NumPy float32 bound silently; a time window given in
// floats is a mistake to report, not to round.
int64_t window_bound(const py::object& bound) {
  py::object index;
  if (PyIndex_Check(bound.ptr())) index = py::reinterpret_steal<py::object>(PyNumber_Index(bound.ptr()));
  int overflow = 0;
  long long value = index ? PyLong_AsLongLongAndOverflow(index.ptr(), &overflow) : -1;
  if (!index || overflow != 0 || (value == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    throw py::cast_error("Unable to cast Python instance of type " +
                         py::str(py::type::handle_of(bound)).cast<std::string>() +
                         " to C++ type '?' (#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in "
                         "debug mode for details)");
  }
  return static_cast<int64_t>(value);
}

}  // namespace

NeighborSampler::HopParameters NeighborSampler::read_hop_parameters(
    const EdgeTypePlan& plan, uint64_t hop, const py::dict& num_neighbors,
    const py::dict& sampling_time_offsets) const {
  HopParameters parameters;
  if (num_neighbors.contains(plan.py_key)) {
    // A list shorter than the hop count asks for nothing at the hops it does not reach.
    const Int64Array fan_outs(as_array(num_neighbors[plan.py_key]));
    if (hop < static_cast<uint64_t>(fan_outs.size())) parameters.fan_out = fan_outs.view()[hop];
    return parameters;
  }
  // Indexed through Python rather than converted, so that a window may hold None or any
  // integer-like object.
  const py::object windows = sampling_time_offsets[plan.py_key];
  const py::object window = windows[py::int_(hop)];
  const py::object lower = window[py::int_(0)];
  const py::object upper = window[py::int_(1)];
  if (lower.is_none()) {
    parameters.num_offsets = 1;
    parameters.offsets[0] = window_bound(upper);
  } else {
    parameters.num_offsets = 2;
    parameters.offsets[0] = window_bound(lower);
    parameters.offsets[1] = window_bound(upper);
  }
  return parameters;
}

void NeighborSampler::run_hops(uint64_t hop_count, const py::dict& num_neighbors,
                               const py::dict& sampling_time_offsets) {
  for (uint64_t hop = 0; hop < hop_count; ++hop) {
    for (const EdgeTypePlan& plan : plans_) {
      // The frontier as it stood when the hop began: nodes this hop adds wait for the next one,
      // even through a relation from a type to itself.
      const auto [begin, end] = frontiers_[plan.dst];
      std::vector<int64_t>& edges_per_hop = num_sampled_edges[plan.key];
      edges_per_hop.push_back(0);
      const size_t edges_before = sampled_row[plan.key].size();

      const HopParameters parameters =
          read_hop_parameters(plan, hop, num_neighbors, sampling_time_offsets);
      const bool timed = node_slots_[plan.src].timed && !seed_times_.empty();
      if (parameters.num_offsets > 0) {
        if (timed) expand_window(plan, parameters, begin, end);
      } else if (parameters.fan_out != 0) {
        if (timed) {
          expand_recent(plan, parameters.fan_out, begin, end);
        } else {
          expand_untimed(plan, parameters.fan_out, begin, end);
        }
      }
      edges_per_hop.back() = static_cast<int64_t>(sampled_row[plan.key].size() - edges_before);
    }
    // Every type's frontier moves on to exactly what this hop added to it, through any edge type.
    for (size_t slot = 0; slot < node_slots_.size(); ++slot) {
      auto& [frontier_begin, frontier_end] = frontiers_[slot];
      const int64_t added_end = static_cast<int64_t>(node[slot].size());
      num_sampled_nodes[slot].push_back(added_end - frontier_end);
      frontier_begin = frontier_end;
      frontier_end = added_end;
    }
  }
}

namespace {

// How far ahead of the frontier node being expanded its successors' data is prefetched: colptr
// entries kColumnLookahead nodes ahead; the first row entries of a column and the middle one (the
// first probe of a bisection) kRowLookahead nodes ahead, once their colptr has arrived; and, on
// the timed paths, the time of that middle neighbour kTimeLookahead nodes ahead.
constexpr int64_t kColumnLookahead = 16;
constexpr int64_t kRowLookahead = 8;
constexpr int64_t kTimeLookahead = 4;

}  // namespace

template <typename ExpandNode>
void NeighborSampler::expand_frontier(const EdgeTypePlan& plan, const Int64View* times,
                                      int64_t begin, int64_t end, ExpandNode expand_node) {
  EdgeRecorder recorder(plan.row.data, index_maps_[plan.src], batch[plan.src], node[plan.src],
                        sampled_row[plan.key], sampled_col[plan.key]);
  const std::string& dst_type = node_slots_[plan.dst].name;
  const std::string& key = plan.name;
  // Indexed, not iterated: with a relation from a type to itself the list grows underneath.
  const std::vector<int64_t>& frontier_batch = batch[plan.dst];
  const std::vector<int64_t>& frontier_node = node[plan.dst];
  const Int64View& colptr = plan.colptr;
  const auto in_colptr = [&colptr](int64_t v) { return v >= 0 && v < colptr.size - 1; };
  for (int64_t i = begin; i < end; ++i) {
    if (i + kColumnLookahead < end) {
      const int64_t ahead = frontier_node[i + kColumnLookahead];
      if (in_colptr(ahead)) __builtin_prefetch(colptr.data + ahead);
    }
    if (i + kRowLookahead < end) {
      const int64_t ahead = frontier_node[i + kRowLookahead];
      if (in_colptr(ahead)) {
        const int64_t c0 = colptr[ahead], c1 = colptr[ahead + 1];
        if (0 <= c0 && c0 < c1 && c1 <= plan.row.size) {
          __builtin_prefetch(plan.row.data + c0);
          __builtin_prefetch(plan.row.data + c0 + (c1 - c0) / 2);
        }
      }
    }
    if (times != nullptr && i + kTimeLookahead < end) {
      const int64_t ahead = frontier_node[i + kTimeLookahead];
      if (in_colptr(ahead)) {
        const int64_t c0 = colptr[ahead], c1 = colptr[ahead + 1];
        if (0 <= c0 && c0 < c1 && c1 <= plan.row.size) {
          const int64_t u = plan.row[c0 + (c1 - c0) / 2];
          if (0 <= u && u < times->size) __builtin_prefetch(times->data + u);
        }
      }
    }
    const Column column = read_column(colptr, plan.row, frontier_node[i], dst_type, key);
    expand_node(recorder, i, frontier_batch[i], column);
  }
  recorder.flush();
}

void NeighborSampler::expand_untimed(const EdgeTypePlan& plan, int64_t fan_out, int64_t begin,
                                     int64_t end) {
  expand_frontier(plan, /*times=*/nullptr, begin, end,
                  [&](EdgeRecorder& recorder, int64_t i, int64_t b, const Column& column) {
                    if (column.begin == column.end) return;
                    select_uniform(recorder, generator, taken_, b, i, column.begin, column.end,
                                   fan_out);
                  });
}

void NeighborSampler::expand_recent(const EdgeTypePlan& plan, int64_t fan_out, int64_t begin,
                                    int64_t end) {
  const NodeTypeSlot& src = node_slots_[plan.src];
  const NeighbourTimes time{plan.row.data, src.time, &src.name};
  expand_frontier(plan, &src.time, begin, end,
                  [&](EdgeRecorder& recorder, int64_t i, int64_t b, const Column& column) {
    if (column.begin == column.end) return;
    // Neighbours at exactly the seed time count as not later than it.
    const int64_t last = upper_bound_by_time(column.begin, column.end, seed_times_[b], time);
    // Only the two end points are compared, before the cut to the k latest.
    if (last - column.begin >= 2 && time(column.begin) > time(last - 1)) {
      throw_unsorted_neighbourhood();
    }
    const int64_t first = fan_out > 0 ? std::max(column.begin, last - fan_out) : column.begin;
    // The range holds at most k positions, so this takes all of them, in order, without drawing.
    if (first != last) select_uniform(recorder, generator, taken_, b, i, first, last, fan_out);
  });
}

void NeighborSampler::expand_window(const EdgeTypePlan& plan, const HopParameters& parameters,
                                    int64_t begin, int64_t end) {
  const NodeTypeSlot& src = node_slots_[plan.src];
  const NeighbourTimes time{plan.row.data, src.time, &src.name};
  expand_frontier(plan, &src.time, begin, end,
                  [&](EdgeRecorder& recorder, int64_t i, int64_t b, const Column& column) {
                    select_time_window(recorder, time, column, parameters.num_offsets,
                                       parameters.offsets, seed_times_[b], b, i);
                  });
}

}  // namespace tovalib
