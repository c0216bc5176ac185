// What recording the chosen edges costs on its own, against reading their `row` entries alone: a
// lower bound for uniform sampling, which records every edge through a hash map of the seed's
// nodes. The sampler's own EdgeRecorder (row read, index-map insert, output appends, with its
// batching and prefetches) is fed uniformly random positions of a 32 MB row array, 100 edges per
// seed, with none of the selection work.
//
//   g++ -std=c++17 -O3 -I. -o /tmp/map_bound bench/map_bound.cpp && /tmp/map_bound 65000
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sys/mman.h>
#include <vector>

#include "sampler/edge_recorder.h"
#include "sampler/sampled_subgraph.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const size_t edges = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 65000;
  constexpr size_t kRow = size_t{4} << 20;  // 32 MB of int64
  // Huge pages, as NumPy asks for large arrays: the figures then compare with the benchmark's.
  auto* row = static_cast<int64_t*>(std::aligned_alloc(size_t{2} << 20, kRow * 8));
  madvise(row, kRow * 8, MADV_HUGEPAGE);
  std::mt19937_64 random(1);
  for (size_t i = 0; i < kRow; ++i) row[i] = static_cast<int64_t>(random() % 700000);
  const tovalib::Int64Span row_span{row, static_cast<int64_t>(kRow)};
  std::vector<int64_t> position(edges);
  tovalib::SampledNodes sources;
  tovalib::SampledEdges recorded;
  double best_read = 1e9, best_record = 1e9;
  int64_t sink = 0;
  for (int round = 0; round < 20; ++round) {
    for (auto& p : position) p = static_cast<int64_t>(random() % kRow);
    auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < edges; ++i) sink += row[position[i]];
    best_read = std::min(best_read, seconds_since(start));

    for (auto& p : position) p = static_cast<int64_t>(random() % kRow);
    sources.start();
    start = std::chrono::steady_clock::now();
    tovalib::EdgeRecorder recorder(row_span, sources, recorded);
    for (size_t i = 0; i < edges; ++i) {
      const auto seed = static_cast<int64_t>(i / 100);
      recorder.record_edge(position[i], seed, seed);
    }
    recorder.flush();
    best_record = std::min(best_record, seconds_since(start));
    sink += sources.size();
    sources.end();
    recorded.end();
  }
  std::printf("%zu edges: recorded %.1f ns/edge, row read alone %.1f ns/edge (%.2fx)%s\n", edges,
              1e9 * best_record / static_cast<double>(edges),
              1e9 * best_read / static_cast<double>(edges), best_record / best_read,
              sink == 42 ? " " : "");
  std::free(row);
  return 0;
}
