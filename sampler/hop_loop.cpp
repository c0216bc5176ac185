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
// of a column kRowLookahead nodes ahead, once its colptr has arrived. The timed paths read columns
// CutPipeline::kWidth nodes ahead to bisect them and fetch their rows themselves.
constexpr int64_t kColumnLookahead = 16;
constexpr int64_t kRowLookahead = 8;

}  // namespace

void NeighborSampler::run_hops(const SampleRequest& request) {
  for (uint64_t hop = 0; hop < request.hop_count; ++hop) {
    for (size_t e = 0; e < edge_types_.size(); ++e) {
      EdgeTypeRecord& edge_type = edge_types_[e];
      const EdgeTypeRequest& rule = request.edge_types[e];
      // The frontier as it stood when the hop began: nodes this hop adds wait for the next one,
      // even through a relation from a type to itself.
      const SampledNodes& frontier = node_types_[edge_type.dst].sampled;
      const int64_t begin = frontier.frontier_begin;
      const int64_t end = frontier.frontier_end;
      const int64_t edges_before = edge_type.sampled.size();
      const bool timed = node_types_[edge_type.src].timed && !seed_times_.empty();
      if (rule.is_window()) {
        const TimeWindow window = read_window(rule.windows, hop);
        after_python(&edge_type);  // reading the bounds may have run Python code
        if (timed) expand_timed(edge_type, TimedRule{window, /*latest=*/-1}, begin, end);
      } else if (const int64_t fan_out = rule.fan_out(hop); fan_out != 0) {
        if (edge_type.checked_at != python_runs_) check_unchanged(edge_type);
        if (timed) {
          // The most recent k: the k latest not later than the seed time.
          expand_timed(edge_type, TimedRule{TimeWindow{}, fan_out}, begin, end);
        } else {
          expand_untimed(edge_type, fan_out, begin, end);
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

template <typename ExpandNode>
void NeighborSampler::expand_frontier(EdgeTypeRecord& edge_type, int64_t column_lookahead,
                                      int64_t row_lookahead, int64_t begin, int64_t end,
                                      ExpandNode expand_node) {
  SampledNodes& frontier = node_types_[edge_type.dst].sampled;
  EdgeRecorder recorder(edge_type.row.view(), node_types_[edge_type.src].sampled,
                        edge_type.sampled);
  // The recorder polls by edges stored, within one long column too; this loop by frontier nodes,
  // for hops that expand many nodes and record few edges. A signal handler may change the arrays
  // being read, so each poll checks them again.
  struct Poll {
    NeighborSampler* sampler;
    EdgeTypeRecord* edge_type;
    static void run(void* context) {
      const auto* poll = static_cast<const Poll*>(context);
      poll_signals();
      poll->sampler->after_python(poll->edge_type);
    }
  } poll{this, &edge_type};
  recorder.set_poll(&Poll::run, &poll);
  const std::string& dst_type = node_types_[edge_type.dst].name;
  const Int64View& colptr = edge_type.colptr.view();
  const Int64View& row = edge_type.row.view();
  // Indexed, not iterated: with a relation from a type to itself the list grows underneath.
  const Int64Buffer& frontier_batch = frontier.batch;
  const Int64Buffer& frontier_node = frontier.node;
  for (int64_t i = begin; i < end; ++i) {
    const auto ahead = [&](int64_t distance) {
      return frontier_node[static_cast<size_t>(i + distance)];
    };
    if (i + column_lookahead < end) {
      const int64_t v = ahead(column_lookahead);
      if (v >= 0 && v < colptr.size - 1) __builtin_prefetch(colptr.data + v);
    }
    if (row_lookahead > 0 && i + row_lookahead < end) {
      const int64_t v = ahead(row_lookahead);
      if (has_column(colptr, row, v)) {
        const int64_t c0 = colptr[v], c1 = colptr[v + 1];
        __builtin_prefetch(row.data + c0);
        __builtin_prefetch(row.data + c0 + (c1 - c0) / 2);
      }
    }
    const size_t at = static_cast<size_t>(i);
    const Column column = read_column(colptr, row, frontier_node[at], dst_type, edge_type.key);
    expand_node(recorder, i, frontier_batch[at], column);
    if (static_cast<uint64_t>(i - begin + 1) % kWorkPerPoll == 0) Poll::run(&poll);
  }
  recorder.flush();
}

void NeighborSampler::expand_untimed(EdgeTypeRecord& edge_type, int64_t fan_out, int64_t begin,
                                     int64_t end) {
  expand_frontier(edge_type, kColumnLookahead, kRowLookahead, begin, end,
                  [&](EdgeRecorder& recorder, int64_t i, int64_t b, const Column& column) {
                    if (column.begin == column.end) return;
                    select_uniform(recorder, generator_, taken_, b, i, column.begin, column.end,
                                   fan_out);
                  });
}

void NeighborSampler::expand_timed(EdgeTypeRecord& edge_type, const TimedRule& rule, int64_t begin,
                                   int64_t end) {
  const NodeTypeRecord& src = node_types_[edge_type.src];
  const SampledNodes& frontier = node_types_[edge_type.dst].sampled;
  const Int64View& colptr = edge_type.colptr.view();
  const Int64View& row = edge_type.row.view();
  const NeighbourTimes time{row.data, src.node_time.view(), &src.name};
  CutPipeline cuts(row, src.node_time.view(), rule);
  int64_t queued = begin;
  // The pipeline reads colptr as it queues, CutPipeline::kWidth nodes ahead of the node expanded.
  const int64_t column_lookahead = kColumnLookahead + static_cast<int64_t>(CutPipeline::kWidth);
  expand_frontier(
      edge_type, column_lookahead, /*row_lookahead=*/0, begin, end,
      [&](EdgeRecorder& recorder, int64_t i, int64_t b, const Column& column) {
        // Queue fill: the next nodes' columns, so that their bisections share this one's waits.
        for (; queued < end && !cuts.full(); ++queued) {
          const size_t at = static_cast<size_t>(queued);
          const int64_t seed_time = seed_times_[static_cast<size_t>(frontier.batch[at])];
          cuts.push(colptr, frontier.node[at], seed_time);
        }
        TimedCut cut;
        if (cuts.pop(cut)) {
          record_cut(recorder, time, cut, rule.latest, b, i);
        } else {
          select_timed(recorder, time, column, rule, seed_times_[static_cast<size_t>(b)], b, i);
        }
      });
}

}  // namespace tovalib
