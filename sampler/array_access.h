// Reading the caller's NumPy arrays in place, making result arrays, and the argument checks that
// guard both. This file and the bindings are the only places that know how NumPy lays out data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace tovalib {

namespace py = pybind11;

// A borrowed run of int64 values with its length. Element i is data[i].
// REQUIRES: the storage behind `data` outlives every read through the view.
struct Int64View {
  const int64_t* data = nullptr;
  int64_t size = 0;

  int64_t operator[](int64_t i) const { return data[i]; }
};

// An int64 array read by its logical values, together with the reference that keeps its memory
// alive. A contiguous, aligned, native-order int64 array is viewed where it lies; any other
// layout or byte order is read through a contiguous native copy that this object owns, so a
// strided or byte-swapped array is never misread as a dense one.
class Int64Array {
 public:
  Int64Array() = default;
  // REQUIRES: `array` is empty or has a 64-bit signed integer dtype (the checks below ensure it).
  explicit Int64Array(const py::array& array);

  const Int64View& view() const { return view_; }
  int64_t size() const { return view_.size; }

 private:
  py::object owner_;
  Int64View view_;
};

// The object itself when it is an ndarray (or subclass); otherwise NumPy's conversion of it to a
// new base-class ndarray. Conversion errors propagate as NumPy raised them.
py::array as_array(py::handle object);

// Product of all extents: 1 for a 0-dimensional array, 0 when any extent is 0.
int64_t array_size(const py::array& array);

// Extent along `axis`; IndexError "invalid axis: <axis> (ndim = <ndim>)" past the last axis.
int64_t array_dim(const py::array& array, int axis);

// A new, owning, writeable 1-D int64 array holding a copy of data[0, n). `data` may be null when
// n is 0.
py::array make_int64_array(const int64_t* data, int64_t n);

// Validates a dict of arrays: every key (by its str() text) must be one of `allowed`, every value
// must have `ndim` dimensions and, when `require_int64` and it is not empty, dtype int64. Throws
// std::runtime_error naming the argument and the key at the first fault, in dict order.
void check_array_dict(const py::dict& dict, const std::string& name,
                      const std::vector<std::string>& allowed, int ndim, bool require_int64);

// The same checks for one array; messages name the argument alone.
void check_array(const py::array& array, const std::string& name, int ndim, bool require_int64);

}  // namespace tovalib
