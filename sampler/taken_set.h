// The offsets already chosen during one uniform selection without replacement.
//
// Below kDenseLimit positions it is a byte per offset; from there on a small hash set, so memory
// follows the number chosen rather than the population, or a bit per offset where that is no
// larger than the hash set (k a sizeable share of a large n, where a hash set far larger than
// the caches would miss on every probe). For the usual small fan-outs (k up to
// kScanLimit) both give way to a scan of the offsets chosen so far, which stay in one or two cache
// lines while a byte array over a popular node's column would miss the cache on every test. Every
// form gives the same answers; only speed and memory differ. The set is reused across selections:
// begin() undoes the marks of the previous selection one by one instead of zeroing the whole
// population, which keeps a selection O(k) even on columns with tens of thousands of entries, and
// also recovers from a selection that an exception interrupted.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tovalib {

class TakenSet {
 public:
  static constexpr uint64_t kDenseLimit = 100000;
  static constexpr int64_t kScanLimit = 16;

  // Starts a selection of at most k offsets from a population of n.
  // REQUIRES: 0 <= k < n.
  void begin(int64_t n, int64_t k) {
    assert(0 <= k && k < n);
    population_ = n;
    // Newest first: in the linear-probing table an older offset's probe never passes a newer
    // one's slot, so emptying in reverse insertion order leaves every remaining probe intact.
    if (form_ != Form::kScan) {
      for (auto x = marked_.rbegin(); x != marked_.rend(); ++x) {
        if (form_ == Form::kDense) {
          bytes_[static_cast<size_t>(*x)] = 0;
        } else if (form_ == Form::kBits) {
          bits_[static_cast<size_t>(*x) / 64] = 0;
        } else {
          slots_[find(*x)] = kEmpty;
        }
      }
    }
    marked_.clear();
    scanned_ = 0;
    if (k <= kScanLimit) {
      form_ = Form::kScan;
    } else if (static_cast<uint64_t>(n) < kDenseLimit) {
      form_ = Form::kDense;
      if (bytes_.size() < static_cast<size_t>(n)) bytes_.resize(static_cast<size_t>(n), 0);
    } else {
      size_t capacity = 16;
      while (capacity < 2 * static_cast<size_t>(k) + 2) capacity *= 2;
      const size_t words = (static_cast<size_t>(n) + 63) / 64;
      if (words <= capacity) {
        form_ = Form::kBits;
        if (bits_.size() < words) bits_.resize(words, 0);
      } else {
        form_ = Form::kSparse;
        if (slots_.size() < capacity) slots_.assign(capacity, kEmpty);
        // This selection's own span of the table, however large an earlier one made it: slots
        // past it are empty, and probes stay within what k needs.
        mask_ = capacity - 1;
      }
    }
  }

  // Marks x and tells whether it was new.
  // REQUIRES: 0 <= x < n of the current selection.
  bool insert(int64_t x) {
    assert(0 <= x && x < population_);
    if (form_ == Form::kScan) {
      for (size_t i = 0; i < scanned_; ++i) {
        if (scan_[i] == x) return false;
      }
      // A selection marks one offset per step, k in all.
      assert(scanned_ < static_cast<size_t>(kScanLimit));
      scan_[scanned_++] = x;
      return true;
    }
    if (form_ == Form::kDense) {
      uint8_t& byte = bytes_[static_cast<size_t>(x)];
      if (byte != 0) return false;
      byte = 1;
    } else if (form_ == Form::kBits) {
      uint64_t& word = bits_[static_cast<size_t>(x) / 64];
      const uint64_t bit = uint64_t{1} << (static_cast<uint64_t>(x) % 64);
      if ((word & bit) != 0) return false;
      word |= bit;
    } else {
      const size_t i = find(x);
      if (slots_[i] == x) return false;
      slots_[i] = x;
    }
    marked_.push_back(x);
    return true;
  }

  size_t held_bytes() const {
    return bytes_.capacity() +
           (bits_.capacity() + slots_.capacity() + marked_.capacity()) * sizeof(int64_t);
  }

  // Gives back all storage; the next selection starts from nothing.
  void release() noexcept { *this = TakenSet(); }

 private:
  static constexpr int64_t kEmpty = -1;

  // The slot holding x, or the empty slot where x would go.
  size_t find(int64_t x) const {
    size_t i =
        static_cast<size_t>((static_cast<uint64_t>(x) * 0x9E3779B97F4A7C15ull) >> 20) & mask_;
    while (slots_[i] != kEmpty && slots_[i] != x) i = (i + 1) & mask_;
    return i;
  }

  enum class Form { kScan, kDense, kBits, kSparse };
  Form form_ = Form::kScan;
  int64_t population_ = 0;      // n of the current selection
  std::vector<uint8_t> bytes_;  // dense form, all zero outside the offsets in marked_
  std::vector<uint64_t> bits_;  // bit form, all zero outside the words of the offsets in marked_
  std::vector<int64_t> slots_;  // sparse form, open addressing; kEmpty outside marked_
  size_t mask_ = 0;
  std::vector<int64_t> marked_;  // offsets marked by the current selection, other than by scan
  int64_t scan_[kScanLimit];     // scan form: the offsets marked
  size_t scanned_ = 0;
};

}  // namespace tovalib
