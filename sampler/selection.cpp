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
                  const TimedRule& rule, int64_t seed_time, int64_t batch, int64_t frontier_index) {
  assert(rule.latest != 0);
  if (column.begin == column.end) return;
  const TimeWindow& window = rule.window;
  // With a lower bound the window starts after it; without one, at the column's start.
  const int64_t start = window.has_lower
                            ? upper_bound_by_time(column.begin, column.end,
                                                  wrapping_add(seed_time, window.lower), time)
                            : column.begin;
  const int64_t end =
      upper_bound_by_time(start, column.end, wrapping_add(seed_time, window.upper), time);
  record_cut(recorder, time, TimedCut{start, end}, rule.latest, batch, frontier_index);
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

void CutPipeline::push(const Int64View& colptr, int64_t v, int64_t seed_time) {
  assert(!full());
  Slot& slot = slots_[tail_++ % kWidth];
  if (!has_column(colptr, row_, v)) {
    slot.stage = Stage::kUnanswered;
    return;
  }
  const TimeWindow& window = rule_.window;
  const Column column{colptr[v], colptr[v + 1]};
  slot.column_end = column.end;
  slot.start = column.begin;
  slot.upper = wrapping_add(seed_time, window.upper);
  if (window.has_lower) {
    slot.stage = Stage::kLowerCut;
    slot.search = {column.begin, column.end - column.begin, wrapping_add(seed_time, window.lower)};
  } else {
    slot.stage = Stage::kUpperCut;
    slot.search = {column.begin, column.end - column.begin, slot.upper};
    // Cut-start prefetch: without a lower cut the cut starts at the column's first entry, which
    // the bisection seldom probes but the sortedness test reads (see settle()).
    if (column.end - column.begin >= 2) __builtin_prefetch(row_.data + column.begin);
  }
  settle(slot);
}

// Moves a slot past the searches that have ended.
void CutPipeline::settle(Slot& slot) const {
  slot.neighbour_read = false;
  if (slot.stage == Stage::kLowerCut && slot.search.done()) {
    slot.start = slot.search.first;
    slot.search = {slot.start, slot.column_end - slot.start, slot.upper};
    slot.stage = Stage::kUpperCut;
  }
  if (slot.stage == Stage::kUpperCut && slot.search.done()) {
    slot.stage = Stage::kDone;
    // Sortedness prefetch: record_cut reads the time of the cut's first neighbour, which the
    // bisections rarely probed (its last one they did).
    if (slot.search.first - slot.start >= 2) {
      const int64_t u = row_[slot.start];
      if (0 <= u && u < times_.size) __builtin_prefetch(times_.data + u);
    }
    return;
  }
  // First-probe prefetch: a search that starts here has no earlier probe to have fetched the row
  // entry of its first one, so the slot reads it only at its next turn.
  __builtin_prefetch(row_.data + slot.search.probe());
}

// Reads the neighbour id of the slot's probe, fetched a turn earlier, and fetches what the
// slot's next turn reads.
void CutPipeline::read_probe(Slot& slot) const {
  slot.neighbour = row_[slot.search.probe()];
  if (slot.neighbour < 0 || slot.neighbour >= times_.size) {
    slot.stage = Stage::kUnanswered;
    return;
  }
  slot.neighbour_read = true;
  // Time prefetch: the probed neighbour's time, which narrows the search.
  __builtin_prefetch(times_.data + slot.neighbour);
  // Row prefetch: the row entries of both probes that can follow, so that the next turn need not
  // wait for a row entry after the time has arrived.
  for (const bool later : {true, false}) {
    const TimeBisection next = slot.search.after(later);
    if (!next.done()) __builtin_prefetch(row_.data + next.probe());
  }
}

// One turn of a slot: the time of its probe has arrived and the search narrows, then the next
// probe is read; a search that has just started reads its first probe.
void CutPipeline::advance(Slot& slot) const {
  if (slot.stage != Stage::kLowerCut && slot.stage != Stage::kUpperCut) return;
  if (slot.neighbour_read) {
    slot.search.narrow(times_[slot.neighbour]);
    if (slot.search.done()) {
      settle(slot);
      return;
    }
  }
  read_probe(slot);
}

bool CutPipeline::pop(TimedCut& cut) {
  assert(head_ < tail_);
  Slot& slot = slots_[head_ % kWidth];
  // Every queued column takes a step per round, so the columns behind the head wait on memory
  // together with it.
  while (slot.stage == Stage::kLowerCut || slot.stage == Stage::kUpperCut) {
    for (uint64_t i = head_; i < tail_; ++i) advance(slots_[i % kWidth]);
  }
  ++head_;
  if (slot.stage == Stage::kUnanswered) return false;
  cut = TimedCut{slot.start, slot.search.first};
  return true;
}

}  // namespace tovalib
