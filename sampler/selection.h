// The neighbour selection kernels: which positions of a CSC column are taken, in which order the
// chosen edges are recorded, and how many values the random stream yields. Two kernels:
// select_uniform (a fan-out, no times known) and select_timed (the k most recent neighbours, or a
// time window, against the seed time), the latter also taken apart for CutPipeline, which bisects
// many columns at once. They work on plain int64 runs and the sampler's own containers and never
// call into Python.
#pragma once

#include <cstdint>
#include <string>

#include "sampler/edge_recorder.h"
#include "sampler/int64_view.h"
#include "sampler/mt19937.h"
#include "sampler/taken_set.h"

namespace tovalib {

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
