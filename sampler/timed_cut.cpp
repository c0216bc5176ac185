// CutPipeline: the bisections of many timed cuts, a probe at a time, so that their misses overlap.
#include "sampler/timed_cut.h"

#include <cassert>

namespace tovalib {

void CutPipeline::push(const Int64Span& colptr, int64_t v, int64_t seed_time) {
  assert(!full());
  Slot& slot = slots_[tail_++ % kWidth];
  if (!has_column(colptr, row_, v)) {
    slot.stage = Stage::kUnanswered;
    return;
  }
  const TimeWindow& window = timed_hop_.window;
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
