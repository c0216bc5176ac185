// EdgeRecorder's poll: called about every kEdgesPerPoll edges stored, inside a run of edges of one
// frontier node too, and only after a batch is stored in full, so that a poll that throws (Ctrl-C)
// leaves the sampled nodes and edges consistent. Exits non-zero when a check fails.
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "sampler/edge_recorder.h"
#include "tests/kernels/check.h"

namespace {

int polls = 0;
int throw_at = -1;  // the poll that throws, or -1 for none

void poll(void* /*context*/) {
  if (++polls == throw_at) throw std::runtime_error("interrupted");
}

// Records `edges` edges of one frontier node whose neighbours cycle through 5000 ids.
void record(int64_t edges, tovalib::SampledNodes& sources, tovalib::SampledEdges& sampled) {
  static std::vector<int64_t> row(200000);
  for (size_t i = 0; i < row.size(); ++i) row[i] = static_cast<int64_t>(i % 5000);
  const tovalib::Int64Span span{row.data(), static_cast<int64_t>(row.size())};
  tovalib::EdgeRecorder recorder(span, sources, sampled);
  recorder.set_poll(&poll, nullptr);
  for (int64_t i = 0; i < edges; ++i) recorder.record_edge(i, /*batch=*/0, /*frontier_index=*/0);
  recorder.flush();
}

}  // namespace

int main() {
  constexpr int64_t kEvery = static_cast<int64_t>(tovalib::EdgeRecorder::kEdgesPerPoll);
  bool ok = true;
  {
    tovalib::SampledNodes sources;
    tovalib::SampledEdges sampled;
    sources.start();
    record(6 * kEvery + 100, sources, sampled);
    ok &= check(polls == 6, "one poll per kEdgesPerPoll edges of one node");
    ok &= check(sampled.size() == 6 * kEvery + 100, "every edge stored");
  }
  {
    polls = 0;
    throw_at = 2;
    tovalib::SampledNodes sources;
    tovalib::SampledEdges sampled;
    sources.start();
    bool thrown = false;
    try {
      record(6 * kEvery, sources, sampled);
    } catch (const std::runtime_error&) {
      thrown = true;
    }
    ok &= check(thrown, "the poll's exception passes through");
    ok &= check(sampled.size() == 2 * kEvery, "stopped right after the batch that polled");
    ok &= check(sources.size() == 5000 && sources.index_map.size() == 5000,
                "the nodes and the map agree when stopped");
  }
  if (ok) std::printf("ok, %d polls\n", polls);
  return ok ? 0 : 1;
}
