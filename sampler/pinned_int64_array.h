// PinnedInt64Array: a graph array (colptr, row, node_time) held for the sampler's life and read
// as a plain Int64Span. With it, copy_int64_array: the same conversion for a value one call reads
// (its seeds, seed times, fan-outs), which the call copies instead of holding.
#pragma once

#include <cstdint>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "sampler/int64_span.h"

namespace tovalib {

namespace py = pybind11;

// A checked 1-D int64 array, its values read through span() for as long as this object lives:
//   - in place, for a contiguous, aligned, native-order array whose memory can be held there
//     (pinned: see pin_memory in the .cpp);
//   - through a contiguous native copy of the sampler's own, which no Python object refers to,
//     for any other (another layout or byte order, memory that cannot be held);
//   - as an empty span, with no buffer asked for, for an empty array of any dtype.
// The length is taken once, at construction: later changes to the array's shape or dtype cannot
// make a read run past its memory.
//
// Holding the memory keeps it allocated, but NumPy can still give an array new memory in place
// (`__setstate__`, or assigning `.data` on NumPy 1.x), freeing the old; check_unchanged() tells
// whether that, or a change of dtype or shape, has happened since.
class PinnedInt64Array {
 public:
  PinnedInt64Array() = default;
  // REQUIRES: `array` passed check_array() or check_array_dict() for one dimension and int64.
  // Throws RuntimeError when it no longer would (Python code may have changed it since).
  explicit PinnedInt64Array(const py::array& array);
  // Moved, never copied: a copy's span would still read the original's memory.
  PinnedInt64Array(PinnedInt64Array&&) noexcept = default;
  PinnedInt64Array& operator=(PinnedInt64Array&&) noexcept = default;
  PinnedInt64Array(const PinnedInt64Array&) = delete;
  PinnedInt64Array& operator=(const PinnedInt64Array&) = delete;

  const Int64Span& span() const { return span_; }
  int64_t size() const { return span_.size; }

  // Throws RuntimeError when the array read in place no longer has the memory, dtype or shape it
  // had at construction: its span would read freed memory, or values the array no longer shows.
  // A few loads: called once per array per call, and after Python code may have run.
  void check_unchanged() const {
    if (array_) check_fields();
  }

  // Calls visit(handle) for the Python objects held (for the garbage collector): the caller's
  // array and what owns its memory, when it is read in place.
  template <typename Visit>
  void visit_references(Visit visit) const {
    visit(array_);
    visit(pin_.holder);
  }

  // Drops every Python object held; the array reads as empty from then on.
  void release() {
    array_ = py::object();
    dtype_ = py::object();
    pin_ = Pin{};
    std::vector<int64_t>().swap(copy_);
    span_ = Int64Span{};
  }

  // What keeps the memory of an array read in place allocated and where it is.
  struct Pin {
    py::object holder;  // owns the memory (strongly), or is an export that keeps it from moving
    py::object guard;   // a weak reference to an owning ndarray: NumPy refuses to resize it then
    // Whether `holder` is an ndarray other than the array read: its memory can be replaced in
    // place while the array read keeps its address, so where it lies is looked at each time.
    bool other_array = false;
    const char* begin = nullptr;  // otherwise the memory held, which cannot change: [begin, end)
    const char* end = nullptr;
  };

 private:
  void check_fields() const;

  py::object array_;  // the caller's array, when read in place
  py::object dtype_;  // its dtype when checked, held so that its address names it alone
  Pin pin_;
  std::vector<int64_t> copy_;  // the sampler's own copy, when not read in place
  Int64Span span_;
};

// Replaces `values` by a copy of the values of `array`: how a call reads its seeds, seed times and
// fan-outs, which Python code running during the call could change between two reads.
//   REQUIRES: `array` passed check_array() or check_array_dict() for one dimension and int64.
//   Throws RuntimeError when it no longer would.
void copy_int64_array(const py::array& array, std::vector<int64_t>& values);

}  // namespace tovalib
