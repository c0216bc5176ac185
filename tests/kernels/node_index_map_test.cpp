// NodeIndexMap against std::map over many calls, with the stamp limit lowered to 3000 so that
// stamps start over between calls (every ~1500 entries) and, in the calls with more distinct keys
// than the limit, are moved down inside the call. Odd calls go through the recorder's path
// (reserve a chunk, prefetch its slots, then look up by hash). Exits non-zero on the first
// disagreement, or when the calls did not reach those states.
#include "sampler/node_index_map.h"

#include <cstdio>
#include <map>
#include <random>
#include <utility>
#include <vector>

namespace {

constexpr uint64_t kStampLimit = 3000;

struct Key {
  int64_t batch, node;
};

}  // namespace

int main() {
  std::mt19937_64 random(12345);
  tovalib::NodeIndexMap map(kStampLimit);
  long entries = 0;
  int calls_past_limit = 0;
  for (int call = 0; call < 400; ++call) {
    const int lookups = call % 25 == 0 ? 6000 : static_cast<int>(random() % 800);
    std::vector<Key> keys;
    for (int i = 0; i < lookups; ++i) {
      // 7 x 900 keys: repeats often enough to exercise finds.
      keys.push_back(
          Key{static_cast<int64_t>(random() % 7), static_cast<int64_t>(random() % 900) - 3});
    }
    std::map<std::pair<int64_t, int64_t>, int64_t> reference;
    for (size_t first = 0; first < keys.size(); first += 64) {
      const size_t end = std::min(keys.size(), first + 64);
      if (call % 2 == 1) {
        map.reserve(end - first);
        for (size_t i = first; i < end; ++i) {
          map.prefetch(tovalib::NodeIndexMap::hash(keys[i].batch, keys[i].node));
        }
      }
      for (size_t i = first; i < end; ++i) {
        const Key& key = keys[i];
        bool inserted = false;
        const int64_t local =
            call % 2 == 1 ? map.find_or_insert(tovalib::NodeIndexMap::hash(key.batch, key.node),
                                               key.batch, key.node, inserted)
                          : map.find_or_insert(key.batch, key.node, inserted);
        const auto [it, is_new] = reference.emplace(std::make_pair(key.batch, key.node),
                                                    static_cast<int64_t>(reference.size()));
        if (local != it->second || inserted != is_new) {
          std::printf("call %d lookup %zu: (%lld, %lld) gave %lld/%d, expected %lld/%d\n", call, i,
                      static_cast<long long>(key.batch), static_cast<long long>(key.node),
                      static_cast<long long>(local), inserted, static_cast<long long>(it->second),
                      is_new);
          return 1;
        }
      }
    }
    entries += static_cast<long>(reference.size());
    if (reference.size() > kStampLimit) ++calls_past_limit;
    if (call % 50 == 49) map.trim();
    map.clear();
  }
  if (calls_past_limit < 10 || entries < 50 * static_cast<long>(kStampLimit)) {
    std::printf("only %d calls past the stamp limit and %ld entries\n", calls_past_limit, entries);
    return 1;
  }
  std::printf("ok, %ld entries, %d calls past the stamp limit\n", entries, calls_past_limit);
  return 0;
}
