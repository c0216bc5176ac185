// What the row read and the index-map insert cost per edge on their own, against the row read
// alone: a lower bound for any sampler that records each chosen edge in a hash map, with none of
// the selection work. Uses the sampler's own NodeIndexMap, with the recorder's batching and
// prefetch distances (256 edges; rows 16 and slots 16 ahead), on a 32 MB row array read at
// uniformly random positions and 100 edges per seed.
//
//   g++ -std=c++17 -O3 -I. -o /tmp/map_bound bench/map_bound.cpp && /tmp/map_bound 65000
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sys/mman.h>
#include <vector>

#include "sampler/node_index_map.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const size_t edges = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 65000;
  constexpr size_t kRow = size_t{4} << 20;  // 32 MB of int64
  constexpr size_t kBatch = 256, kAhead = 16;
  // Huge pages, as NumPy asks for large arrays: the figures then compare with the benchmark's.
  auto* row = static_cast<int64_t*>(std::aligned_alloc(size_t{2} << 20, kRow * 8));
  madvise(row, kRow * 8, MADV_HUGEPAGE);
  std::mt19937_64 random(1);
  for (size_t i = 0; i < kRow; ++i) row[i] = static_cast<int64_t>(random() % 700000);
  std::vector<int64_t> position(edges), neighbour(edges), local(edges);
  std::vector<uint64_t> hash(edges);
  tovalib::NodeIndexMap map;
  double best_gather = 1e9, best_insert = 1e9;
  int64_t sink = 0;
  for (int round = 0; round < 20; ++round) {
    for (auto& p : position) p = static_cast<int64_t>(random() % kRow);
    auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < edges; ++i) sink += row[position[i]];
    best_gather = std::min(best_gather, seconds_since(start));

    for (auto& p : position) p = static_cast<int64_t>(random() % kRow);
    start = std::chrono::steady_clock::now();
    for (size_t first = 0; first < edges; first += kBatch) {
      const size_t end = std::min(edges, first + kBatch);
      map.reserve(end - first);
      for (size_t i = first; i < end; ++i) {
        if (i + kAhead < end) __builtin_prefetch(row + position[i + kAhead]);
        neighbour[i] = row[position[i]];
        hash[i] = tovalib::NodeIndexMap::hash(static_cast<int64_t>(i / 100), neighbour[i]);
      }
      for (size_t i = first; i < end; ++i) {
        if (i + kAhead < end) map.prefetch(hash[i + kAhead]);
        bool inserted = false;
        local[i] =
            map.find_or_insert(hash[i], static_cast<int64_t>(i / 100), neighbour[i], inserted);
      }
    }
    best_insert = std::min(best_insert, seconds_since(start));
    sink += local[edges / 2];
    map.clear();
  }
  std::printf(
      "%zu edges: row read + map insert %.1f ns/edge, row read alone %.1f ns/edge (%.2fx)%s\n",
      edges, 1e9 * best_insert / edges, 1e9 * best_gather / edges, best_insert / best_gather,
      sink == 42 ? " " : "");
  std::free(row);
  return 0;
}
