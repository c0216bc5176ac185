// The neighbour selection kernels.
#include "sampler/selection.h"

#include <algorithm>
#include <cassert>
#include <stdexcept>

namespace tovalib {

void throw_unsorted_neighbourhood() {
  throw std::runtime_error("Found invalid non-sorted temporal neighborhood");
}

namespace {

// Every position of [start, end), in column order.
void record_all(EdgeRecorder& recorder, int64_t start, int64_t end, int64_t batch,
                int64_t frontier_index) {
  for (int64_t p = start; p < end; ++p) recorder.record_edge(p, batch, frontier_index);
}

}  // namespace

void select_uniform(EdgeRecorder& recorder, Mt19937& generator, TakenSet& taken, int64_t batch,
                    int64_t frontier_index, int64_t start, int64_t end, int64_t k) {
  const int64_t n = end - start;
  // Case 1: the whole range, in column order, without drawing.
  if (k < 0 || k >= n) {
    record_all(recorder, start, end, batch, frontier_index);
    return;
  }
  // Case 2: Floyd's algorithm. Step j takes draw mod (j + 1) unless that offset is taken, and then
  // j itself, which no earlier step can have taken.
  taken.begin(n, k);
  for (int64_t j = n - k; j < n; ++j) {
    int64_t offset = static_cast<int64_t>(draw_below(generator, static_cast<uint64_t>(j) + 1));
    if (!taken.insert(offset)) {
      taken.insert(j);
      offset = j;
    }
    recorder.record_edge(start + offset, batch, frontier_index);
  }
}

void select_timed(EdgeRecorder& recorder, const NeighbourTimes& time, Column column,
                  const TimedHop& timed_hop, int64_t seed_time, int64_t batch,
                  int64_t frontier_index) {
  assert(timed_hop.latest != 0);
  if (column.begin == column.end) return;
  const TimeWindow& window = timed_hop.window;
  // With a lower bound the window starts after it; without one, at the column's start.
  const int64_t start = window.has_lower
                            ? upper_bound_by_time(column.begin, column.end,
                                                  wrapping_add(seed_time, window.lower), time)
                            : column.begin;
  const int64_t end =
      upper_bound_by_time(start, column.end, wrapping_add(seed_time, window.upper), time);
  record_cut(recorder, time, TimedCut{start, end}, timed_hop.latest, batch, frontier_index);
}

void record_cut(EdgeRecorder& recorder, const NeighbourTimes& time, TimedCut cut, int64_t latest,
                int64_t batch, int64_t frontier_index) {
  // Only the two end points are compared, before the cut to the latest.
  if (cut.end - cut.start >= 2 && time(cut.start) > time(cut.end - 1)) {
    throw_unsorted_neighbourhood();
  }
  const int64_t first = latest > 0 ? std::max(cut.start, cut.end - latest) : cut.start;
  record_all(recorder, first, cut.end, batch, frontier_index);
}

}  // namespace tovalib
