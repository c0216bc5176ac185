// The argument checks: the array operations they use and the checked snapshot of a dict of arrays
// they return. (The arrays' values are read through sampler/pinned_int64_array.h; result arrays
// are sampler/result_arrays.h.)
//
// Python code can run inside almost any conversion (a key's __str__ or __hash__, an __array__, a
// dict subclass, another thread while such code has released the lock), so every argument is
// converted once into something the call owns, checked, and from then on read only there.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace tovalib {

namespace py = pybind11;

// The object itself when it is an ndarray (or subclass); otherwise NumPy's conversion of it to a
// new base-class ndarray. Conversion errors propagate as NumPy raised them.
py::array as_array(py::handle object);

// Whether `dtype` holds 8-byte signed integers, in either byte order.
bool is_int64_dtype(const py::dtype& dtype);

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

// Checks a dict of arrays, item by item in dict order, and returns what it checked:
//   - every key, by its str() text, is one of `allowed`;
//   - every value, as an array, has `ndim` dimensions and, when `require_int64` and it is not
//     empty, dtype int64.
//   Throws: RuntimeError naming the argument (`name`) and the key at the first fault.
CheckedArrayDict check_array_dict(const py::dict& dict, const char* name, const NameIndex& allowed,
                                  int ndim, bool require_int64);

// The same checks for one array; messages name the argument alone.
void check_array(const py::array& array, const std::string& name, int ndim, bool require_int64);

}  // namespace tovalib
