// The neighbour selection kernels: which positions of a CSC column are taken, in which order the
// chosen edges are recorded, and how many values the random stream yields. Two kernels:
// select_uniform (a fan-out, no times known) and select_timed (the k most recent neighbours, or a
// time window, against the seed time), the latter also taken apart for CutPipeline, which bisects
// many columns at once. They work on plain int64 runs and the sampler's own containers and never
// call into Python.
#pragma once

#include <cassert>
#include <cstdint>
#include <string>

#include "sampler/int64_view.h"
#include "sampler/mt19937.h"
#include "sampler/node_index_map.h"
#include "sampler/sampled_subgraph.h"
#include "sampler/taken_set.h"

namespace tovalib {

// Where one edge type's chosen edges go during one hop: the source type's sampled nodes and the
// edge type's sampled edges.
//
// Each edge costs two cache misses: the neighbour id in `row`, and then its slot in the index map.
// Storing edges one by one would wait on both in turn, so the recorder collects up to kBatch of
// them and stores them together in two stages. The row stage reads every neighbour id of the batch
// (its line was prefetched when the edge was recorded; the loads do not depend on each other, so
// the stragglers are in flight together). The store stage then stores the edges in the order
// recorded, prefetching the slot NodeIndexMap::kPrefetchAhead edges ahead: enough to hide a miss,
// while slots prefetched for the whole batch at once were found to arrive no sooner. The outcome is
// exactly that of storing each edge at once; callers flush() before reading what was recorded.
class EdgeRecorder {
 public:
  // `sources` are the edge type's source type's sampled nodes.
  EdgeRecorder(const Int64View& row, SampledNodes& sources, SampledEdges& edges)
      : row_(row), sources_(sources), edges_(edges) {}

  // Records the edge from row[position] to the frontier node with local index frontier_index.
  // The neighbour joins the seed's subgraph once: met again under the same batch index it keeps
  // its first local index. Edges are never merged.
  // REQUIRES: 0 <= position < row.size.
  void record_edge(int64_t position, int64_t batch, int64_t frontier_index) {
    assert(0 <= position && position < row_.size);
    // Asked for now, read when the batch is stored: the selection work in between hides the wait.
    __builtin_prefetch(row_.data + position);
    Pending& edge = pending_[pending_count_];
    edge.position = position;
    edge.batch = batch;
    edge.frontier_index = frontier_index;
    if (++pending_count_ == kBatch) store_pending();
  }

  // About every kEdgesPerPoll edges stored, after a batch is stored in full, the recorder calls
  // poll(context), which may throw to end the call; by default it calls nothing.
  static constexpr uint64_t kEdgesPerPoll = 1 << 14;
  void set_poll(void (*poll)(void*), void* context) {
    poll_ = poll;
    poll_context_ = context;
  }

  // Stores every pending edge.
  void flush() { store_pending(); }

 private:
  static constexpr size_t kBatch = 256;

  struct Pending {
    int64_t position, batch, frontier_index, neighbour;
    uint64_t hash;
  };

  void store_pending() {
    const size_t count = pending_count_;
    if (count == 0) return;
    NodeIndexMap& index_map = sources_.index_map;
    // Grown first, so that the slots prefetched below are the ones the stores will use.
    index_map.reserve(count);
    // Row stage.
    for (size_t i = 0; i < count; ++i) {
      Pending& edge = pending_[i];
      edge.neighbour = row_.data[edge.position];
      edge.hash = index_map.hash(edge.batch, edge.neighbour);
    }
    // Store stage.
    constexpr size_t kAhead = NodeIndexMap::kPrefetchAhead;
    for (size_t i = 0; i < count && i < kAhead; ++i) index_map.prefetch(pending_[i].hash);
    // Room for every edge, and for every neighbour as a new node: one size check per batch.
    int64_t* const sampled_row = extend(edges_.sampled_row, count);
    int64_t* const sampled_col = extend(edges_.sampled_col, count);
    // New nodes get the map's next local indices, so the list and the map grow together.
    const int64_t known = sources_.size();
    assert(static_cast<size_t>(known) == index_map.size());
    int64_t* const new_batch = extend(sources_.batch, count);
    int64_t* const new_node = extend(sources_.node, count);
    size_t added = 0;
    for (size_t i = 0; i < count; ++i) {
      const Pending& edge = pending_[i];
      if (i + kAhead < count) index_map.prefetch(pending_[i + kAhead].hash);
      bool inserted = false;
      sampled_row[i] = index_map.find_or_insert(edge.hash, edge.batch, edge.neighbour, inserted);
      sampled_col[i] = edge.frontier_index;
      // Written either way and kept only when new: a branch here would be a coin toss.
      new_batch[added] = edge.batch;
      new_node[added] = edge.neighbour;
      added += inserted;
    }
    sources_.batch.resize(static_cast<size_t>(known) + added);
    sources_.node.resize(static_cast<size_t>(known) + added);
    pending_count_ = 0;
    since_poll_ += count;
    if (since_poll_ >= kEdgesPerPoll && poll_ != nullptr) {
      since_poll_ = 0;
      poll_(poll_context_);
    }
  }

  const Int64View row_;
  SampledNodes& sources_;
  SampledEdges& edges_;
  Pending pending_[kBatch];
  size_t pending_count_ = 0;
  uint64_t since_poll_ = 0;
  void (*poll_)(void*) = nullptr;
  void* poll_context_ = nullptr;
};

// An offset below `population` for one step of Floyd's algorithm: one draw mod population, in 32
// bits whenever the population fits (a 64-bit division costs several times more). A population
// past 2^32 exceeds every single draw, which would leave its upper positions to chance
// collisions, so there two draws make one 64-bit value (the first the high half) that is taken
// mod population instead.
// REQUIRES: population >= 1.
inline uint64_t draw_below(Mt19937& generator, uint64_t population) {
  const uint32_t draw = generator();
  if (population <= UINT32_MAX) return draw % static_cast<uint32_t>(population);
  if (population == uint64_t{1} << 32) return draw;
  return ((static_cast<uint64_t>(draw) << 32) | generator()) % population;
}

// The half-open range of positions in `row` that holds one node's neighbours.
struct Column {
  int64_t begin = 0;
  int64_t end = 0;
};

[[noreturn]] void throw_colptr_out_of_range(int64_t v, const std::string& node_type,
                                            const std::string& key, int64_t size);
[[noreturn]] void throw_column_out_of_range(int64_t v, const std::string& key, int64_t begin,
                                            int64_t end, int64_t size);
[[noreturn]] void throw_node_time_out_of_range(int64_t u, const std::string& node_type,
                                               int64_t size);
[[noreturn]] void throw_unsorted_neighbourhood();

// Whether node v has a column and the range it spans lies inside `row`: the conditions under which
// read_column returns rather than throws (with the checks compiled in).
inline bool has_column(const Int64View& colptr, const Int64View& row, int64_t v) {
  return v >= 0 && v < colptr.size - 1 && colptr[v] >= 0 && colptr[v] <= colptr[v + 1] &&
         colptr[v + 1] <= row.size;
}

// Column v of an edge type, with v and the range it spans checked against the arrays.
// The checks can be compiled out (TOVALIB_NO_BOUNDS_CHECKS) only to measure their cost.
inline Column read_column(const Int64View& colptr, const Int64View& row, int64_t v,
                          const std::string& dst_type, const std::string& key) {
#ifndef TOVALIB_NO_BOUNDS_CHECKS
  if (v < 0 || v >= colptr.size - 1) throw_colptr_out_of_range(v, dst_type, key, colptr.size);
#endif
  const Column column{colptr[v], colptr[v + 1]};
#ifndef TOVALIB_NO_BOUNDS_CHECKS
  if (column.begin < 0 || column.end < column.begin || column.end > row.size) {
    throw_column_out_of_range(v, key, column.begin, column.end, row.size);
  }
#endif
  return column;
}

// The time of node u of a timed node type, with u checked against the time array.
inline int64_t read_time(const Int64View& times, int64_t u, const std::string& node_type) {
#ifndef TOVALIB_NO_BOUNDS_CHECKS
  if (u < 0 || u >= times.size) throw_node_time_out_of_range(u, node_type, times.size);
#endif
  return times[u];
}

// The neighbour times of one edge type's columns: time(p) is the time of row[p].
struct NeighbourTimes {
  const int64_t* row = nullptr;
  Int64View times;
  const std::string* node_type = nullptr;  // the source type, for messages

  int64_t operator()(int64_t position) const { return read_time(times, row[position], *node_type); }
};

// A search for the first position p in [first, first + count) with threshold < time(p), taken one
// probe at a time so that several searches can wait on memory together. This exact probing order
// decides the answer on a column that is not sorted, so it is part of the contract.
struct TimeBisection {
  int64_t first = 0;
  int64_t count = 0;
  int64_t threshold = 0;

  bool done() const { return count <= 0; }
  // The position whose time the next narrow() needs. REQUIRES: !done().
  int64_t probe() const { return first + count / 2; }
  // The search left once the probe's time is known to be later than the threshold, or not.
  TimeBisection after(bool probe_later) const {
    const int64_t half = count / 2;
    if (probe_later) return TimeBisection{first, half, threshold};
    return TimeBisection{first + half + 1, count - half - 1, threshold};
  }
  void narrow(int64_t probe_time) { *this = after(threshold < probe_time); }
};

// The first position p in [first, last) with threshold < time(p), or last.
inline int64_t upper_bound_by_time(int64_t first, int64_t last, int64_t threshold,
                                   const NeighbourTimes& time) {
  TimeBisection search{first, last - first, threshold};
  while (!search.done()) search.narrow(time(search.probe()));
  return search.first;
}

// seed_time + offset in two's complement: thresholds wrap on overflow rather than fail.
inline int64_t wrapping_add(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

// One hop's time window around the seed time: the neighbours with
// seed_time + lower < time <= seed_time + upper, or time <= seed_time + upper alone when there is
// no lower bound. The lower end is open and the upper end closed.
struct TimeWindow {
  bool has_lower = false;
  int64_t lower = 0;
  int64_t upper = 0;
};

// How a timed hop chooses among a column's neighbours: those inside `window` around the seed time,
// and of them the `latest` latest (all of them for latest < 0). The k most recent neighbours not
// later than the seed time are the k latest of the window (None, 0).
struct TimedRule {
  TimeWindow window;
  int64_t latest = -1;
};

// The part [start, end) of a column inside a rule's window, before the cut to the latest.
struct TimedCut {
  int64_t start = 0;
  int64_t end = 0;
};

// Records k positions of [start, end) chosen uniformly without replacement by Floyd's algorithm,
// in the order chosen, with exactly one draw per position; or every position in ascending order,
// without drawing, when k < 0 or k >= end - start.
void select_uniform(EdgeRecorder& recorder, Mt19937& generator, TakenSet& taken, int64_t batch,
                    int64_t frontier_index, int64_t start, int64_t end, int64_t k);

// Records, in column order, the neighbours in `column` that `rule` chooses against seed_time: the
// bisections of select_cut, then record_cut. REQUIRES: rule.latest != 0.
void select_timed(EdgeRecorder& recorder, const NeighbourTimes& time, Column column,
                  const TimedRule& rule, int64_t seed_time, int64_t batch, int64_t frontier_index);

// Records, in column order, the `latest` latest positions of `cut` (all of them for latest < 0).
// Throws when the first of the cut's neighbours is later than the last of them.
void record_cut(EdgeRecorder& recorder, const NeighbourTimes& time, TimedCut cut, int64_t latest,
                int64_t batch, int64_t frontier_index);

// The cuts of up to kWidth consecutive frontier nodes, bisected together so that their cache misses
// overlap: a probe costs two dependent misses (the neighbour id in `row`, then its time), and a
// lone bisection would wait on each in turn. Columns go in with push() and their cuts come out in
// the same order with pop(); every probe is the one upper_bound_by_time would make, in its order
// within the column. A column pop() cannot answer for (one outside the arrays, or a neighbour
// outside the time array) comes out as no cut: select_timed then makes the very same reads and
// raises what they raise, at that node's turn.
class CutPipeline {
 public:
  static constexpr uint64_t kWidth = 32;

  CutPipeline(const Int64View& row, const Int64View& times, const TimedRule& rule)
      : row_(row), times_(times), rule_(rule) {}

  bool full() const { return tail_ - head_ == kWidth; }

  // Queues node v's column, found through `colptr`, against seed_time. REQUIRES: !full().
  void push(const Int64View& colptr, int64_t v, int64_t seed_time);

  // The cut of the earliest column queued and not yet taken, or false when select_timed must
  // take it. REQUIRES: a column is queued.
  bool pop(TimedCut& cut);

 private:
  enum class Stage : uint8_t { kLowerCut, kUpperCut, kDone, kUnanswered };

  struct Slot {
    TimeBisection search;
    int64_t column_end = 0;
    int64_t upper = 0;      // the upper cut's threshold
    int64_t start = 0;      // where the upper cut begins: the lower cut's answer
    int64_t neighbour = 0;  // row[search.probe()], once read
    Stage stage = Stage::kDone;
    bool neighbour_read = false;
  };

  void settle(Slot& slot) const;
  void read_probe(Slot& slot) const;
  void advance(Slot& slot) const;

  const Int64View row_;
  const Int64View times_;
  const TimedRule rule_;
  Slot slots_[kWidth];
  uint64_t head_ = 0;  // slots_[i % kWidth] holds the i-th column queued
  uint64_t tail_ = 0;
};

}  // namespace tovalib
