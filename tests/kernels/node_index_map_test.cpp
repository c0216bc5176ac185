// NodeIndexMap against std::map over many calls, with the stamp limit lowered to 3000 so that
// stamps start over between calls (every ~1500 entries) and, in the calls with more distinct keys
// than the limit, are moved down inside the call. Odd calls go through the recorder's path
// (reserve a chunk, prefetch its slots, then look up by hash). Last, ids made to share one slot
// under the hash with a known key must spread over the table under a map's own random key. Exits
// non-zero on the first disagreement, or when the calls did not reach those states.
#include "sampler/node_index_map.h"

#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <utility>
#include <vector>

namespace {

constexpr uint64_t kStampLimit = 3000;

struct Key {
  int64_t batch, node;
};

// The multiplicative inverse of an odd number modulo 2^64 (Newton's iteration).
uint64_t inverse(uint64_t a) {
  uint64_t x = a;
  for (int i = 0; i < 6; ++i) x *= 2 - a * x;
  return x;
}

// A node id whose hash under key 0, batch 0, is `h`: the hash's steps undone one by one.
int64_t node_with_hash(uint64_t h) {
  h *= inverse(0xBF58476D1CE4E5B9ull);
  h ^= (h >> 29) ^ (h >> 58);
  h ^= 0x632BE59BD9B4E019ull * 0xC2B2AE3D27D4EB4Full;
  return static_cast<int64_t>(h * inverse(0x9E3779B97F4A7C15ull));
}

// Slots (of 1024) taken by the hashes of `nodes` under `map`.
size_t distinct_slots(const tovalib::NodeIndexMap& map, const std::vector<int64_t>& nodes) {
  std::set<uint64_t> slots;
  for (const int64_t node : nodes) slots.insert(map.hash(0, node) >> 54);
  return slots.size();
}

bool crafted_ids_spread() {
  std::vector<int64_t> nodes;
  for (uint64_t i = 0; i < 1000; ++i) nodes.push_back(node_with_hash((uint64_t{1} << 63) + i));
  const size_t known = distinct_slots(tovalib::NodeIndexMap(UINT32_MAX, 0), nodes);
  const size_t own = distinct_slots(tovalib::NodeIndexMap(), nodes);
  std::printf("1000 crafted ids: %zu slot(s) under the known key, %zu under a random one\n", known,
              own);
  return known == 1 && own > 400;
}

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
          map.prefetch(map.hash(keys[i].batch, keys[i].node));
        }
      }
      for (size_t i = first; i < end; ++i) {
        const Key& key = keys[i];
        bool inserted = false;
        const int64_t local = call % 2 == 1 ? map.find_or_insert(map.hash(key.batch, key.node),
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
  return crafted_ids_spread() ? 0 : 1;
}
