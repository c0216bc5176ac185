// NodeIndexMap against std::map over many calls, with the stamp limit lowered so that stamps
// start over (between calls) and are moved down (inside a call) many times. Exits non-zero on the
// first disagreement.
#include "sampler/node_index_map.h"

#include <cstdio>
#include <map>
#include <random>
#include <utility>

int main() {
  std::mt19937_64 random(12345);
  tovalib::NodeIndexMap map(/*stamp_limit=*/3000);
  long resets_seen = 0;
  for (int call = 0; call < 400; ++call) {
    std::map<std::pair<int64_t, int64_t>, int64_t> reference;
    // Some calls alone pass the stamp limit; keys repeat often enough to exercise finds.
    const int lookups = static_cast<int>(random() % (call % 25 == 0 ? 5000 : 800));
    for (int i = 0; i < lookups; ++i) {
      const int64_t batch = static_cast<int64_t>(random() % 7);
      const int64_t node = static_cast<int64_t>(random() % 900) - 3;
      const int64_t next = static_cast<int64_t>(reference.size());
      bool inserted = false;
      const int64_t local = map.find_or_insert(batch, node, next, inserted);
      const auto [it, is_new] = reference.emplace(std::make_pair(batch, node), next);
      if (local != it->second || inserted != is_new) {
        std::printf("call %d lookup %d: (%lld, %lld) gave %lld/%d, expected %lld/%d\n", call, i,
                    static_cast<long long>(batch), static_cast<long long>(node),
                    static_cast<long long>(local), inserted, static_cast<long long>(it->second),
                    is_new);
        return 1;
      }
    }
    resets_seen += lookups;
    if (call % 50 == 49) map.trim();
    map.clear();
  }
  std::printf("ok, %ld lookups\n", resets_seen);
  return 0;
}
