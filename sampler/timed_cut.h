// The timed cut: the part of a CSC column that a timed hop takes, the neighbours whose times lie
// in the hop's window around the seed time. A column's neighbour times ascend, so the cut is found
// by bisection: one column at a time (upper_bound_by_time), or many columns together so that their
// cache misses overlap (CutPipeline). Plain C++, no Python.
#pragma once

#include <cstdint>
#include <string>

#include "sampler/checked_reads.h"
#include "sampler/int64_span.h"

namespace tovalib {

// One hop's time window around the seed time: the neighbours with
// seed_time + lower < time <= seed_time + upper, or time <= seed_time + upper alone when there is
// no lower bound. The lower end is open and the upper end closed.
struct TimeWindow {
  bool has_lower = false;
  int64_t lower = 0;
  int64_t upper = 0;
};

// What one timed hop takes from each column: the neighbours inside `window` around the seed time,
// and of them the `latest` latest (all of them for latest < 0). The k most recent neighbours not
// later than the seed time are the k latest of the window (None, 0).
struct TimedHop {
  TimeWindow window;
  int64_t latest = -1;
};

// The part [start, end) of a column inside a timed hop's window, before the cut to the latest.
struct TimedCut {
  int64_t start = 0;
  int64_t end = 0;
};

// seed_time + offset in two's complement: thresholds wrap on overflow rather than fail.
inline int64_t wrapping_add(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

// The neighbour times of one edge type's columns: time(p) is the time of row[p].
struct NeighbourTimes {
  const int64_t* row = nullptr;
  Int64Span times;
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

// The cuts of up to kWidth consecutive frontier nodes, bisected together so that their cache
// misses overlap: a probe costs two dependent misses (the neighbour id in `row`, then its time),
// and a lone bisection would wait on each in turn.
//   - Columns go in with push(), and their cuts come out in the same order with pop().
//   - Every probe is the one upper_bound_by_time would make, in its order within the column.
//   - A column pop() cannot answer for (one outside the arrays, or a neighbour outside the time
//     array) comes out as no cut: select_timed then makes the very same reads and raises what
//     they raise, at that node's turn.
class CutPipeline {
 public:
  static constexpr uint64_t kWidth = 32;
  static_assert((kWidth & (kWidth - 1)) == 0, "slot i % kWidth stays in step as the counters wrap");

  CutPipeline(const Int64Span& row, const Int64Span& times, const TimedHop& timed_hop)
      : row_(row), times_(times), timed_hop_(timed_hop) {}

  bool full() const { return tail_ - head_ == kWidth; }

  // Queues node v's column, found through `colptr`, against seed_time. Never throws.
  //   REQUIRES: !full().
  void push(const Int64Span& colptr, int64_t v, int64_t seed_time);

  // Takes the earliest column queued and not yet taken. Never throws.
  //   REQUIRES: a column is queued.
  //   Returns: true with its cut in `cut`, or false when select_timed must take the column.
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

  const Int64Span row_;
  const Int64Span times_;
  const TimedHop timed_hop_;
  Slot slots_[kWidth];
  uint64_t head_ = 0;  // slots_[i % kWidth] holds the i-th column queued
  uint64_t tail_ = 0;
};

}  // namespace tovalib
