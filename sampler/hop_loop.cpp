// Second phase of `sample`: expand the frontier of every edge type hop by hop. Python is touched
// once per edge type and hop, to read that hop's window, and now and then to let a pending signal
// (Ctrl-C) through; everything per frontier node and per edge runs on plain arrays.
#include <algorithm>

#include "sampler/neighbor_sampler.h"
#include "sampler/selection.h"

namespace tovalib {
namespace {

[[noreturn]] void throw_cast_error(py::handle bound) {
  throw py::cast_error("Unable to cast Python instance of type " +
                       py::str(py::type::handle_of(bound)).cast<std::string>() +
                       " to C++ type '?' (#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in "
                       "debug mode for details)");
}

// A window bound as int64: integers and objects with __index__ only. pybind11's own integer caster
// would fall back to int() and so truncate a NumPy float32 bound silently; a time window given in
// floats is a mistake to report, not to round. __index__ says "not an integer" with a TypeError
// (a float array does); any other error it raises is the caller's and passes through as it is.
int64_t window_bound(const py::object& bound) {
  if (!PyIndex_Check(bound.ptr())) throw_cast_error(bound);
  const auto index = py::reinterpret_steal<py::object>(PyNumber_Index(bound.ptr()));
  if (!index) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
    PyErr_Clear();
    throw_cast_error(bound);
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (overflow != 0) throw_cast_error(bound);
  if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
  return static_cast<int64_t>(value);
}

// Row `hop` of a window array, indexed through Python so that a bound may be None or any
// integer-like object. A missing row raises the array's own IndexError.
TimeWindow read_window(const py::object& windows, uint64_t hop) {
  const py::object row = windows[py::int_(hop)];
  const py::object lower = row[py::int_(0)];
  const py::object upper = row[py::int_(1)];
  TimeWindow window;
  window.has_lower = !lower.is_none();
  if (window.has_lower) window.lower = window_bound(lower);
  window.upper = window_bound(upper);
  return window;
}

// How far ahead of the frontier node being expanded its successors' data is prefetched: colptr
// entries kColumnLookahead nodes ahead, and, on the untimed path, the first and middle row entries
// of a column kRowLookahead nodes ahead, once its colptr has arrived. The timed path queues columns
// CutPipeline::kWidth nodes ahead to bisect them, and prefetches colptr kColumnLookahead nodes
// ahead of the node it queues; the pipeline fetches their rows itself. The prefetches are written
// out in the loops: GCC finds a helper that only prefetches free of effects and drops its calls.
constexpr int64_t kColumnLookahead = 16;
constexpr int64_t kRowLookahead = 8;

}  // namespace

void NeighborSampler::run_hops(const SampleRequest& request) {
  for (uint64_t hop = 0; hop < request.hop_count; ++hop) {
    for (size_t e = 0; e < edge_types_.size(); ++e) {
      EdgeTypeRecord& edge_type = edge_types_[e];
      const EdgeTypeRequest& edge_request = request.edge_types[e];
      // The frontier as it stood when the hop began: nodes this hop adds wait for the next one,
      // even through a relation from a type to itself.
      const SampledNodes& frontier = node_types_[edge_type.dst].sampled;
      const int64_t begin = frontier.frontier_begin;
      const int64_t end = frontier.frontier_end;
      const int64_t edges_before = edge_type.sampled.size();
      switch (edge_request.rule) {
        case ExpansionRule::kUniform:
        case ExpansionRule::kMostRecent: {
          const int64_t fan_out = edge_request.fan_out(hop);
          if (fan_out == 0) break;
          if (edge_type.checked_at != python_runs_) check_unchanged(edge_type);
          if (edge_request.rule == ExpansionRule::kUniform) {
            expand_untimed(edge_type, fan_out, begin, end);
          } else {
            // The most recent k: the k latest not later than the seed time.
            expand_timed(edge_type, TimedHop{TimeWindow{}, fan_out}, begin, end);
          }
          break;
        }
        case ExpansionRule::kTimeWindow:
        case ExpansionRule::kWindowWithoutTimes: {
          // Read with or without times: a row that is missing or no integers fails the call.
          const TimeWindow window = read_window(edge_request.windows, hop);
          after_python(&edge_type);  // reading the bounds may have run Python code
          if (edge_request.rule == ExpansionRule::kTimeWindow) {
            expand_timed(edge_type, TimedHop{window, /*latest=*/-1}, begin, end);
          }
          break;
        }
      }
      edge_type.sampled.num_sampled_edges.push_back(edge_type.sampled.size() - edges_before);
    }
    // Every type's frontier moves on to exactly what this hop added to it, through any edge type.
    for (NodeTypeRecord& type : node_types_) type.sampled.advance_frontier();
    // Hops that expand nothing still take time when there are very many of them.
    poll_signals();
    after_python(/*expanding=*/nullptr);
  }
}

void NeighborSampler::expand_untimed(EdgeTypeRecord& edge_type, int64_t fan_out, int64_t begin,
                                     int64_t end) {
  EdgeRecorder recorder(edge_type.row.span(), node_types_[edge_type.src].sampled,
                        edge_type.sampled);
  ExpansionPoll poll{this, &edge_type};
  recorder.set_poll(&ExpansionPoll::run, &poll);
  const std::string& dst_type = node_types_[edge_type.dst].name;
  const Int64Span& colptr = edge_type.colptr.span();
  const Int64Span& row = edge_type.row.span();
  // Indexed, not iterated: with a relation from a type to itself the lists grow underneath.
  const Int64List& frontier_batch = node_types_[edge_type.dst].sampled.batch;
  const Int64List& frontier_node = node_types_[edge_type.dst].sampled.node;
  for (int64_t i = begin; i < end; ++i) {
    if (i + kColumnLookahead < end) {
      const int64_t v = frontier_node[static_cast<size_t>(i + kColumnLookahead)];
      if (v >= 0 && v < colptr.size - 1) __builtin_prefetch(colptr.data + v);
    }
    if (i + kRowLookahead < end) {
      const int64_t v = frontier_node[static_cast<size_t>(i + kRowLookahead)];
      if (has_column(colptr, row, v)) {
        const int64_t c0 = colptr[v], c1 = colptr[v + 1];
        __builtin_prefetch(row.data + c0);
        __builtin_prefetch(row.data + c0 + (c1 - c0) / 2);
      }
    }
    const size_t at = static_cast<size_t>(i);
    const Column column = read_column(colptr, row, frontier_node[at], dst_type, edge_type.key);
    if (column.begin != column.end) {
      select_uniform(recorder, generator_, taken_, frontier_batch[at], i, column.begin, column.end,
                     fan_out);
    }
    if (static_cast<uint64_t>(i - begin + 1) % kWorkPerPoll == 0) poll();
  }
  recorder.flush();
}

void NeighborSampler::expand_timed(EdgeTypeRecord& edge_type, const TimedHop& timed_hop,
                                   int64_t begin, int64_t end) {
  const NodeTypeRecord& src = node_types_[edge_type.src];
  EdgeRecorder recorder(edge_type.row.span(), node_types_[edge_type.src].sampled,
                        edge_type.sampled);
  ExpansionPoll poll{this, &edge_type};
  recorder.set_poll(&ExpansionPoll::run, &poll);
  const std::string& dst_type = node_types_[edge_type.dst].name;
  const Int64Span& colptr = edge_type.colptr.span();
  const Int64Span& row = edge_type.row.span();
  const NeighbourTimes time{row.data, src.node_time.span(), &src.name};
  // Indexed, not iterated: with a relation from a type to itself the lists grow underneath.
  const Int64List& frontier_batch = node_types_[edge_type.dst].sampled.batch;
  const Int64List& frontier_node = node_types_[edge_type.dst].sampled.node;
  CutPipeline cuts(row, src.node_time.span(), timed_hop);
  int64_t queued = begin;  // the next frontier node to queue
  for (int64_t i = begin; i < end; ++i) {
    // Queue fill: the columns of the nodes after i, so that their bisections share i's waits.
    for (; queued < end && !cuts.full(); ++queued) {
      if (queued + kColumnLookahead < end) {
        const int64_t v = frontier_node[static_cast<size_t>(queued + kColumnLookahead)];
        if (v >= 0 && v < colptr.size - 1) __builtin_prefetch(colptr.data + v);
      }
      const size_t at = static_cast<size_t>(queued);
      cuts.push(colptr, frontier_node[at], seed_times_[static_cast<size_t>(frontier_batch[at])]);
    }
    const size_t at = static_cast<size_t>(i);
    const int64_t b = frontier_batch[at];
    TimedCut cut;
    if (cuts.pop(cut)) {
      record_cut(recorder, time, cut, timed_hop.latest, b, i);
    } else {
      // A column the pipeline could not answer: the scalar kernel reads it again and raises what
      // its reads raise.
      const Column column = read_column(colptr, row, frontier_node[at], dst_type, edge_type.key);
      select_timed(recorder, time, column, timed_hop, seed_times_[static_cast<size_t>(b)], b, i);
    }
    if (static_cast<uint64_t>(i - begin + 1) % kWorkPerPoll == 0) poll();
  }
  recorder.flush();
}

}  // namespace tovalib
