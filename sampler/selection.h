// The neighbour selection kernels: which positions of a CSC column are taken, in which order the
// chosen edges are recorded, and how many values the random stream yields. Two kernels:
// select_uniform (a fan-out, no times known) and select_timed (the k most recent neighbours, or a
// time window, against the seed time), the latter in two steps, the cut (sampler/timed_cut.h) and
// record_cut, so that the hop loop can find many cuts at once. They work on plain int64 runs and
// the sampler's own containers and never call into Python.
#pragma once

#include <cstdint>

#include "sampler/checked_reads.h"
#include "sampler/edge_recorder.h"
#include "sampler/mt19937.h"
#include "sampler/taken_set.h"
#include "sampler/timed_cut.h"

namespace tovalib {

// An offset below `population`, for one step of Floyd's algorithm.
//   REQUIRES: population >= 1.
//   Returns: one draw mod population while the population fits in 32 bits (a 64-bit division
//   costs several times more); past 2^32, where every single draw falls short and would leave the
//   upper offsets to chance collisions, two draws (the first the high half) mod population.
inline uint64_t draw_below(Mt19937& generator, uint64_t population) {
  const uint32_t draw = generator();
  if (population <= UINT32_MAX) return draw % static_cast<uint32_t>(population);
  if (population == uint64_t{1} << 32) return draw;
  return ((static_cast<uint64_t>(draw) << 32) | generator()) % population;
}

[[noreturn]] void throw_unsorted_neighbourhood();

// Records positions of [start, end) as edges of the frontier node `frontier_index` of seed `batch`.
//   - k < 0 or k >= end - start: every position, in ascending order, drawing nothing;
//   - otherwise: k positions chosen uniformly without replacement by Floyd's algorithm, in the
//     order chosen, with exactly one draw_below() per position.
void select_uniform(EdgeRecorder& recorder, Mt19937& generator, TakenSet& taken, int64_t batch,
                    int64_t frontier_index, int64_t start, int64_t end, int64_t k);

// Records, in column order, the neighbours in `column` that `timed_hop` takes against seed_time.
//   REQUIRES: timed_hop.latest != 0.
//   Does: the cut's bisections (upper_bound_by_time), then record_cut.
//   Throws: out_of_range for a neighbour outside the time array; what record_cut throws.
void select_timed(EdgeRecorder& recorder, const NeighbourTimes& time, Column column,
                  const TimedHop& timed_hop, int64_t seed_time, int64_t batch,
                  int64_t frontier_index);

// Records, in column order, the `latest` latest positions of `cut` (all of them for latest < 0).
//   Throws: runtime_error "Found invalid non-sorted temporal neighborhood" when the cut's first
//   neighbour is later than its last (only these two are compared, before the cut to the latest).
void record_cut(EdgeRecorder& recorder, const NeighbourTimes& time, TimedCut cut, int64_t latest,
                int64_t batch, int64_t frontier_index);

}  // namespace tovalib
