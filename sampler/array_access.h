// Reading the caller's NumPy arrays, and the argument checks that guard them: the way in. (The way
// out, result arrays, is sampler/result_arrays.h.)
//
// Python code can run inside almost any conversion (a key's __str__ or __hash__, an __array__, a
// dict subclass, another thread while such code has released the lock), so every argument is
// converted once into something the call owns, checked, and from then on read only there.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "sampler/int64_view.h"

namespace tovalib {

namespace py = pybind11;

// A graph array (colptr, row, node_time) read by its logical values for the sampler's life. A
// contiguous, aligned, native-order int64 array is read where it lies when its memory can be held
// there for as long as this object lives (see pin_memory); any other array (another layout or byte
// order, memory that cannot be held) is read through a contiguous native copy of the sampler's
// own, which no Python object refers to. An empty array of any dtype is an empty view, with no
// buffer asked for. The length is taken once, here: later changes to the array's shape or dtype
// cannot make a read run past its memory.
//
// Holding the memory keeps it allocated, but NumPy can still give an array new memory in place
// (`__setstate__`, or assigning `.data` on NumPy 1.x), freeing the old; check_unchanged() tells
// whether that, or a change of dtype or shape, has happened since.
class Int64Array {
 public:
  Int64Array() = default;
  // `array` passed check_array() or check_array_dict() for one dimension and int64 values;
  // RuntimeError when it no longer would.
  explicit Int64Array(const py::array& array);
  // Moved, never copied: a copy's view would still read the original's memory.
  Int64Array(Int64Array&&) noexcept = default;
  Int64Array& operator=(Int64Array&&) noexcept = default;
  Int64Array(const Int64Array&) = delete;
  Int64Array& operator=(const Int64Array&) = delete;

  const Int64View& view() const { return view_; }
  int64_t size() const { return view_.size; }

  // RuntimeError when the array read in place no longer has the memory, dtype or shape it had
  // when it was converted: its view would read freed memory, or values the array no longer shows.
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
    view_ = Int64View{};
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
  Int64View view_;
};

// Replaces `values` by a copy of the values of `array`, which passed check_array() or
// check_array_dict() for one dimension and int64 values (RuntimeError when it no longer would):
// how a call reads its seeds, seed times and fan-outs, which Python code running during the call
// could change between two reads.
void copy_int64_array(const py::array& array, std::vector<int64_t>& values);

// The object itself when it is an ndarray (or subclass); otherwise NumPy's conversion of it to a
// new base-class ndarray. Conversion errors propagate as NumPy raised them.
py::array as_array(py::handle object);

// Product of all extents: 1 for a 0-dimensional array, 0 when any extent is 0.
int64_t array_size(const py::array& array);

// Extent along `axis`; IndexError "invalid axis: <axis> (ndim = <ndim>)" past the last axis.
int64_t array_dim(const py::array& array, int axis);

// The allowed names of a dict check, each with its position in the caller's list.
using NameIndex = std::unordered_map<std::string, size_t>;

// A dict of arrays as one call saw and checked it: its items, taken from the dict's storage in
// order and held by strong references, each value replaced by the array that was checked. No
// Python object refers to the snapshot, so no Python code (a key's __str__ or __eq__ that finds
// the caller's dict through the garbage collector, say) can change or free what it holds, and
// later lookups read exactly what was checked.
class CheckedArrayDict {
 public:
  struct Item {
    py::object key;
    Py_hash_t hash = 0;
    py::object value;  // the checked array, once check_array_dict has checked it
  };

  CheckedArrayDict() = default;
  // REQUIRES: every item's hash is set.
  explicit CheckedArrayDict(std::vector<Item> items);

  size_t size() const { return items_.size(); }

  // The array under `key` as a dict lookup finds it: the first item whose key is `key`, or has
  // its hash and compares equal to it. A null object when there is none.
  py::object find(const py::str& key) const;
  // The array under `key`; KeyError(key), as the dict itself would raise, when there is none.
  py::array at(const py::str& key) const;

 private:
  // Whether `item` answers a lookup of `key`, whose hash is `hash`.
  static bool matches(const Item& item, const py::str& key, Py_hash_t hash);

  // Dicts up to this size are searched item by item; larger ones through `slots_`, so that a call
  // over thousands of types looks each one up in constant time.
  static constexpr size_t kScanned = 8;

  std::vector<Item> items_;
  // Open addressing by hash with linear probing: 1 + the item's position, or 0 for an empty slot.
  // Items are placed in dict order, so items of one hash lie along a probe in dict order and the
  // first that matches is the one the dict itself would find.
  std::vector<uint32_t> slots_;
};

// Validates a dict of arrays and returns it checked: every key (by its str() text) must be one of
// `allowed`, every value must have `ndim` dimensions and, when `require_int64` and it is not empty,
// dtype int64. Throws std::runtime_error naming the argument and the key at the first fault, in
// dict order.
CheckedArrayDict check_array_dict(const py::dict& dict, const char* name, const NameIndex& allowed,
                                  int ndim, bool require_int64);

// The same checks for one array; messages name the argument alone.
void check_array(const py::array& array, const std::string& name, int ndim, bool require_int64);

}  // namespace tovalib
