// MT19937: value for value the stream of std::mt19937 seeded alike, made a block at a time.
//
// Every uniform draw of the sampler comes from here. std::mt19937 keeps its state in
// uint_fast32_t, 64 bits on this platform, refills it one word at a time and tempers each word as
// it is drawn. This one keeps 32-bit words, refills them in loops whose iterations are
// independent, and tempers the whole block into a second array right after, so the compiler turns
// each loop into vector code and a draw is one load.
#pragma once

#include <cstdint>
#include <random>

namespace tovalib {

class Mt19937 {
 public:
  explicit Mt19937(uint32_t seed = 5489u) { this->seed(seed); }

  void seed(uint32_t seed) {
    state_[0] = seed;
    for (uint32_t i = 1; i < kWords; ++i) {
      state_[i] = 1812433253u * (state_[i - 1] ^ (state_[i - 1] >> 30)) + i;
    }
    next_ = kWords;
  }

  uint32_t operator()() {
    if (next_ == kWords) refill();
    return output_[next_++];
  }

 private:
  static constexpr uint32_t kWords = 624;
  static constexpr uint32_t kShift = 397;
  // The literals below are the published parameters; std::mt19937 holds them too.
  using Reference = std::mt19937;
  static_assert(kWords == Reference::state_size && kShift == Reference::shift_size &&
                    Reference::word_size == 32 && Reference::mask_bits == 31,
                "the state and its twist");
  static_assert(Reference::xor_mask == 0x9908b0dfu && Reference::tempering_u == 11 &&
                    Reference::tempering_d == 0xffffffffu && Reference::tempering_s == 7 &&
                    Reference::tempering_b == 0x9d2c5680u && Reference::tempering_t == 15 &&
                    Reference::tempering_c == 0xefc60000u && Reference::tempering_l == 18 &&
                    Reference::initialization_multiplier == 1812433253u,
                "the twist, the tempering and the seeding");

  // The word that replaces `word`, from its successor and the word kShift further on.
  static uint32_t twist(uint32_t word, uint32_t successor, uint32_t shifted) {
    const uint32_t y = (word & 0x80000000u) | (successor & 0x7fffffffu);
    return shifted ^ (y >> 1) ^ ((successor & 1u) != 0 ? 0x9908b0dfu : 0u);
  }

  // Word i is made from words i, i + 1 and i + kShift (mod kWords) in order. The first
  // kWords - kShift words read only words not yet replaced; the others read words replaced
  // kWords - kShift steps earlier. Either way no step depends on the few before it.
  void refill() {
    uint32_t i = 0;
    for (; i < kWords - kShift; ++i)
      state_[i] = twist(state_[i], state_[i + 1], state_[i + kShift]);
    for (; i < kWords - 1; ++i) {
      state_[i] = twist(state_[i], state_[i + 1], state_[i + kShift - kWords]);
    }
    state_[kWords - 1] = twist(state_[kWords - 1], state_[0], state_[kShift - 1]);
    for (i = 0; i < kWords; ++i) {
      uint32_t y = state_[i];
      y ^= y >> 11;
      y ^= (y << 7) & 0x9d2c5680u;
      y ^= (y << 15) & 0xefc60000u;
      output_[i] = y ^ (y >> 18);
    }
    next_ = 0;
  }

  uint32_t state_[kWords];
  uint32_t output_[kWords];  // the tempered state, drawn in order
  uint32_t next_ = kWords;
};

}  // namespace tovalib
