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

[[noreturn]] void throw_unsorted_neighbourhood();

// Records k positions of [start, end) chosen uniformly without replacement by Floyd's algorithm,
// in the order chosen, with exactly one draw per position; or every position in ascending order,
// without drawing, when k < 0 or k >= end - start.
void select_uniform(EdgeRecorder& recorder, Mt19937& generator, TakenSet& taken, int64_t batch,
                    int64_t frontier_index, int64_t start, int64_t end, int64_t k);

// Records, in column order, the neighbours in `column` that `rule` chooses against seed_time: the
// cut, bisected by upper_bound_by_time, then record_cut. REQUIRES: rule.latest != 0.
void select_timed(EdgeRecorder& recorder, const NeighbourTimes& time, Column column,
                  const TimedRule& rule, int64_t seed_time, int64_t batch, int64_t frontier_index);

// Records, in column order, the `latest` latest positions of `cut` (all of them for latest < 0).
// Throws when the first of the cut's neighbours is later than the last of them.
void record_cut(EdgeRecorder& recorder, const NeighbourTimes& time, TimedCut cut, int64_t latest,
                int64_t batch, int64_t frontier_index);

}  // namespace tovalib
