// draw_below against std::mt19937: one draw mod the population up to 2^32, the draw itself at
// 2^32, and past 2^32 two draws as one 64-bit value, so that the upper half of a population of
// 2^33 is drawn about half the time. Exits non-zero when a check fails.
#include <cstdio>
#include <random>

#include "sampler/selection.h"
#include "tests/kernels/check.h"

namespace {}  // namespace

int main() {
  bool ok = true;
  tovalib::Mt19937 generator(7);
  std::mt19937 reference(7);
  for (const uint64_t population : {uint64_t{1}, uint64_t{10}, uint64_t{UINT32_MAX}}) {
    for (int i = 0; i < 1000; ++i) {
      const uint64_t want = reference() % population;
      ok &= check(tovalib::draw_below(generator, population) == want, "one draw mod population");
    }
  }
  ok &= check(tovalib::draw_below(generator, uint64_t{1} << 32) == reference(), "2^32: the draw");
  const uint64_t large = uint64_t{1} << 33;
  int upper = 0;
  for (int i = 0; i < 20000; ++i) {
    const uint64_t high = reference();
    const uint64_t want = ((high << 32) | reference()) % large;
    const uint64_t got = tovalib::draw_below(generator, large);
    ok &= check(got == want, "two draws past 2^32");
    upper += got >= (uint64_t{1} << 32);
  }
  ok &= check(upper > 9000 && upper < 11000, "the upper half drawn about half the time");
  if (ok) std::printf("ok, upper half %d of 20000\n", upper);
  return ok ? 0 : 1;
}
