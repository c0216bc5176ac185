#include "sampler/selection.h"

#include <algorithm>
#include <cassert>
#include <stdexcept>

namespace tovalib {

void throw_colptr_out_of_range(int64_t v, const std::string& node_type, const std::string& key,
                               int64_t size) {
  throw std::out_of_range("Node " + std::to_string(v) + " of type '" + node_type +
                          "' is out of range for 'colptr' at '" + key + "' (size " +
                          std::to_string(size) + ").");
}

void throw_column_out_of_range(int64_t v, const std::string& key, int64_t begin, int64_t end,
                               int64_t size) {
  throw std::out_of_range("Neighbourhood of node " + std::to_string(v) + " at '" + key +
                          "' spans " + std::to_string(begin) + " to " + std::to_string(end) +
                          ", outside 'row' (size " + std::to_string(size) + ").");
}

void throw_node_time_out_of_range(int64_t u, const std::string& node_type, int64_t size) {
  throw std::out_of_range("Node " + std::to_string(u) + " of type '" + node_type +
                          "' is out of range for 'node_time' (size " + std::to_string(size) + ").");
}

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

void select_uniform(EdgeRecorder& recorder, std::mt19937& generator, TakenSet& taken, int64_t batch,
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
    const uint32_t draw = static_cast<uint32_t>(generator());
    // draw mod (j + 1), in 32 bits whenever j + 1 fits (a 64-bit division costs several times
    // more); a larger j + 1 exceeds every draw, which is then its own remainder.
    const uint64_t population = static_cast<uint64_t>(j) + 1;
    int64_t offset = population <= UINT32_MAX ? draw % static_cast<uint32_t>(population) : draw;
    if (!taken.insert(offset)) {
      taken.insert(j);
      offset = j;
    }
    recorder.record_edge(start + offset, batch, frontier_index);
  }
}

void select_recent(EdgeRecorder& recorder, const NeighbourTimes& time, Column column, int64_t k,
                   int64_t seed_time, int64_t batch, int64_t frontier_index) {
  assert(k != 0);
  if (column.begin == column.end) return;
  // Neighbours at exactly the seed time count as not later than it.
  const int64_t last = upper_bound_by_time(column.begin, column.end, seed_time, time);
  // Only the two end points are compared, before the cut to the k latest.
  if (last - column.begin >= 2 && time(column.begin) > time(last - 1)) {
    throw_unsorted_neighbourhood();
  }
  const int64_t first = k > 0 ? std::max(column.begin, last - k) : column.begin;
  record_all(recorder, first, last, batch, frontier_index);
}

void select_time_window(EdgeRecorder& recorder, const NeighbourTimes& time, Column column,
                        const TimeWindow& window, int64_t seed_time, int64_t batch,
                        int64_t frontier_index) {
  if (column.begin == column.end) return;
  // With a lower bound the window starts after it; without one, at the column's start.
  const int64_t start = window.has_lower
                            ? upper_bound_by_time(column.begin, column.end,
                                                  wrapping_add(seed_time, window.lower), time)
                            : column.begin;
  const int64_t end =
      upper_bound_by_time(start, column.end, wrapping_add(seed_time, window.upper), time);
  if (end - start >= 2 && time(start) > time(end - 1)) throw_unsorted_neighbourhood();
  record_all(recorder, start, end, batch, frontier_index);
}

}  // namespace tovalib
