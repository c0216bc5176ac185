// Mt19937 against the standard library's std::mt19937: the same values for the same seeds, across
// many refills.
#include "sampler/mt19937.h"

#include <cstdio>
#include <random>

int main() {
  for (const uint32_t seed : {0u, 1u, 5489u, 12345u, 0x7fffffffu, 0xffffffffu}) {
    std::mt19937 expected(seed);
    tovalib::Mt19937 generator(seed);
    for (int i = 0; i < 200000; ++i) {
      const auto want = static_cast<uint32_t>(expected());
      const uint32_t got = generator();
      if (got != want) {
        std::printf("seed %u draw %d: %u, expected %u\n", seed, i, got, want);
        return 1;
      }
    }
  }
  std::printf("ok\n");
  return 0;
}
