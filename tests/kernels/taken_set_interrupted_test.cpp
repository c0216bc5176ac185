// TakenSet across selections that an exception ended midway: the next begin() must leave no mark
// behind, whatever form (scan, byte per offset, bit per offset, hash set) either selection took,
// and a hash set reused with a smaller span must still find every offset of its own. Each
// selection is compared with std::set; the offsets the interrupted one marked are tried first.
// Exits non-zero when a check fails.
#include <cstdio>
#include <random>
#include <set>
#include <vector>

#include "sampler/taken_set.h"
#include "tests/kernels/check.h"

namespace {

struct Selection {
  int64_t n, k;
  int64_t inserts;  // how many offsets are marked before the selection is cut short
};

}  // namespace

int main() {
  bool ok = true;
  std::mt19937_64 random(99);
  // Forms by (n, k): k <= 16 scans; n < 100,000 bytes; larger n bits or hash set by k.
  const std::vector<Selection> selections = {
      {50, 10, 4},              // scan
      {5000, 300, 150},         // bytes, cut halfway
      {5000, 40, 40},           // bytes again, over the last one's marks
      {1000000, 300, 200},      // hash set
      {1000000, 17, 9},         // hash set, a smaller span of the same table
      {1000000, 50000, 30000},  // bits
      {1000000, 300, 120},      // hash set after bits
      {200, 199, 199},          // bytes, nearly the whole population
      {1000000, 20, 20},        // hash set after bytes
      {64, 16, 16},             // scan after a hash set
      {1000000, 400000, 1},     // bits, cut at once
      {3000000, 1000, 999},     // hash set over a larger population
  };
  tovalib::TakenSet taken;
  std::vector<int64_t> left_marked;
  int checked = 0;
  for (const Selection& selection : selections) {
    taken.begin(selection.n, selection.k);
    std::set<int64_t> chosen;
    // The interrupted selection's offsets first: each must read as new here.
    std::vector<int64_t> offsets;
    for (const int64_t x : left_marked) {
      if (x < selection.n) offsets.push_back(x);
    }
    std::uniform_int_distribution<int64_t> draw(0, selection.n - 1);
    while (static_cast<int64_t>(offsets.size()) < 3 * selection.k) offsets.push_back(draw(random));
    left_marked.clear();
    for (const int64_t x : offsets) {
      if (static_cast<int64_t>(chosen.size()) == selection.inserts) break;
      const bool fresh = chosen.insert(x).second;
      ok &= check(taken.insert(x) == fresh, "insert reports new exactly when std::set does");
      ++checked;
      if (fresh) left_marked.push_back(x);
    }
    // Cut short here, as by an exception: no end-of-selection step exists to forget.
  }
  if (ok) std::printf("ok, %d inserts over %zu selections\n", checked, selections.size());
  return ok ? 0 : 1;
}
