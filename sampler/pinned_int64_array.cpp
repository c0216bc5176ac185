// PinnedInt64Array: holding a graph array's memory in place, and telling whether it has moved.
#include "sampler/pinned_int64_array.h"

#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

#include "sampler/array_access.h"

namespace tovalib {
namespace {

constexpr const char* kChangedAfterCheck =
    "An array's dtype or shape changed after it was checked.";
constexpr const char* kMovedAfterCheck = "An array's memory moved after it was checked.";

bool is_native_byte_order(char byteorder) {
  constexpr char kNative = (PY_LITTLE_ENDIAN ? '<' : '>');
  return byteorder == '=' || byteorder == '|' || byteorder == kNative;
}

// True when element i of an int64 array can be read at data + 8 * i with an aligned native load.
bool is_dense_native(const py::array& array, const py::dtype& dtype) {
  constexpr int kDenseFlags = py::array::c_style | py::detail::npy_api::NPY_ARRAY_ALIGNED_;
  return is_native_byte_order(dtype.byteorder()) && (array.flags() & kDenseFlags) == kDenseFlags;
}

// The address of element 0, read from the array object itself: a buffer request would allocate
// a description of the layout that the flags checked above already give. Read-only and
// memory-mapped arrays serve as well.
const int64_t* int64_data(const py::array& array) {
  return static_cast<const int64_t*>(array.data());
}

// Whether `object` lends memory that it refuses to free or move while a buffer export of it
// exists: an mmap refuses to close, a bytearray or array.array to resize.
bool holds_still_while_exported(PyObject* object) {
  // Looked up once and kept for the life of the process, as the modules are.
  static PyObject* const mmap_type =
      py::object(py::module_::import("mmap").attr("mmap")).release().ptr();
  static PyObject* const array_type =
      py::object(py::module_::import("array").attr("array")).release().ptr();
  const auto* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  return PyByteArray_CheckExact(object) || type == mmap_type || type == array_type;
}

// The type of the object NumPy's as_strided leaves as the base of its views: it lends the memory
// of the array under its `base` attribute.
PyTypeObject* strided_view_lender() {
  static PyTypeObject* const type = [] {
    const py::object view = py::module_::import("numpy")
                                .attr("lib")
                                .attr("stride_tricks")
                                .attr("as_strided")(py::module_::import("numpy").attr("zeros")(1));
    return Py_TYPE(py::object(view.attr("base")).release().ptr());
  }();
  return type;
}

// What keeps the memory `array` reads allocated, and where it is; an empty pin when nothing can.
// It walks down the chain of objects that lent the memory (array bases, what a memoryview or
// PickleBuffer views, the array under an as_strided view) to the one that owns it:
//   - an ndarray: held by a strong reference (the chain between it and `array` is the caller's to
//     change: a view's base can be replaced, a memoryview released) and a weak one, for NumPy
//     refuses to resize an array that has one;
//   - an mmap, bytearray or array.array: held by a buffer export, under which it refuses to close
//     or resize (np.memmap, and so np.load(mmap_mode=...), holds its mmap without one);
//   - bytes, which never change: held as they are;
//   - anything else (ctypes, which resizes under an export, or an object that only gives an
//     address): not held; the caller reads a copy instead.
// Each object of the chain is held while it is looked at, since Python code can run on the way
// (an attribute lookup, a collection inside an allocation) and change the chain.
PinnedInt64Array::Pin pin_memory(const py::array& array) {
  const auto& api = py::detail::npy_api::get();
  PinnedInt64Array::Pin pin;
  py::object object = array;
  while (object) {
    PyObject* const current = object.ptr();
    if (api.PyArray_Check_(current)) {
      const auto* fields = py::detail::array_proxy(current);
      if ((fields->flags & py::detail::npy_api::NPY_ARRAY_OWNDATA_) != 0) {
        pin.holder = object;
        PyObject* guard = PyWeakref_NewRef(current, nullptr);
        if (guard == nullptr) throw py::error_already_set();
        pin.guard = py::reinterpret_steal<py::object>(guard);
        pin.other_array = current != array.ptr();
        return pin;
      }
      object = py::reinterpret_borrow<py::object>(fields->base);
    } else if (PyMemoryView_Check(current)) {
      object = py::reinterpret_borrow<py::object>(PyMemoryView_GET_BUFFER(current)->obj);
    } else if (PyPickleBuffer_Check(current)) {
      const Py_buffer* buffer = PyPickleBuffer_GetBuffer(current);
      if (buffer == nullptr) throw py::error_already_set();
      object = py::reinterpret_borrow<py::object>(buffer->obj);
    } else if (Py_TYPE(current) == strided_view_lender()) {
      object = object.attr("base");
    } else if (PyBytes_CheckExact(current)) {
      pin.holder = object;
      pin.begin = PyBytes_AS_STRING(current);
      pin.end = pin.begin + PyBytes_GET_SIZE(current);
      return pin;
    } else if (holds_still_while_exported(current)) {
      PyObject* view = PyMemoryView_FromObject(current);
      if (view == nullptr) throw py::error_already_set();
      pin.holder = py::reinterpret_steal<py::object>(view);
      const Py_buffer* buffer = PyMemoryView_GET_BUFFER(view);
      pin.begin = static_cast<const char*>(buffer->buf);
      pin.end = pin.begin + buffer->len;
      return pin;
    } else {
      break;
    }
  }
  return PinnedInt64Array::Pin{};
}

// Whether the memory `pin` holds now contains the values `span` reads.
bool holds(const PinnedInt64Array::Pin& pin, const Int64Span& span) {
  const char* begin = pin.begin;
  const char* end = pin.end;
  if (pin.guard) {  // an ndarray's memory: where it is now
    const auto* fields = py::detail::array_proxy(pin.holder.ptr());
    auto bytes = static_cast<size_t>(py::reinterpret_borrow<py::dtype>(fields->descr).itemsize());
    for (int axis = 0; axis < fields->nd; ++axis) {
      bytes *= static_cast<size_t>(fields->dimensions[axis]);
    }
    begin = fields->data;
    end = begin + bytes;
  }
  const auto* first = reinterpret_cast<const char*>(span.data);
  return begin <= first && first <= end &&
         static_cast<size_t>(span.size) <= static_cast<size_t>(end - first) / sizeof(int64_t);
}

// The dtype of `array`, which passed check_array() or check_array_dict() for one dimension and
// int64 values, or a null dtype when it is empty. An array's dtype and shape can be set in place,
// and the caller's code (a later key's __str__, say) may have done so since its check: such an
// array is refused, never cast.
py::dtype checked_int64_dtype(const py::array& array) {
  if (array.ndim() != 1) throw std::runtime_error(kChangedAfterCheck);
  if (array_size(array) == 0) return py::dtype();
  py::dtype dtype = array.dtype();
  if (!is_int64_dtype(dtype)) throw std::runtime_error(kChangedAfterCheck);
  return dtype;
}

// Replaces `values` by a contiguous native copy of the values of `array`, whose dtype is `dtype`.
void copy_values(const py::array& array, const py::dtype& dtype, std::vector<int64_t>& values) {
  if (is_dense_native(array, dtype)) {
    values.assign(int64_data(array), int64_data(array) + array_size(array));
    return;
  }
  using DenseInt64 = py::array_t<int64_t, py::array::c_style | py::array::forcecast |
                                              py::detail::npy_api::NPY_ARRAY_ALIGNED_>;
  const DenseInt64 converted(array);
  values.assign(converted.data(), converted.data() + converted.size());
}

}  // namespace

PinnedInt64Array::PinnedInt64Array(const py::array& array) {
  py::dtype dtype = checked_int64_dtype(array);
  if (!dtype) return;
  if (is_dense_native(array, dtype)) {
    Pin pin = pin_memory(array);
    // Python code may have run while the memory was pinned (a lookup made the first time, a
    // collection): what the array is, and where, is read again.
    dtype = checked_int64_dtype(array);
    if (!dtype) return;
    if (pin.holder && is_dense_native(array, dtype)) {
      const Int64Span span{int64_data(array), array_size(array)};
      if (!holds(pin, span)) throw std::runtime_error(kMovedAfterCheck);
      pin_ = std::move(pin);
      array_ = array;
      dtype_ = dtype;
      span_ = span;
      return;
    }
  }
  // A copy of the sampler's own, which no Python object refers to.
  copy_values(array, dtype, copy_);
  span_ = Int64Span{copy_.data(), static_cast<int64_t>(copy_.size())};
}

void copy_int64_array(const py::array& array, std::vector<int64_t>& values) {
  const py::dtype dtype = checked_int64_dtype(array);
  if (dtype) {
    copy_values(array, dtype, values);
  } else {
    values.clear();
  }
}

void PinnedInt64Array::check_fields() const {
  const auto* fields = py::detail::array_proxy(array_.ptr());
  const bool moved = fields->data != static_cast<const void*>(span_.data) ||
                     (pin_.other_array && !holds(pin_, span_));
  if (moved) throw std::runtime_error(kMovedAfterCheck);
  const bool same_shape = fields->nd == 1 && fields->dimensions[0] == span_.size &&
                          (span_.size == 1 || fields->strides[0] == sizeof(int64_t));
  if (!same_shape) throw std::runtime_error(kChangedAfterCheck);
  if (fields->descr == dtype_.ptr()) return;
  const auto dtype = py::reinterpret_borrow<py::dtype>(fields->descr);
  if (!is_int64_dtype(dtype) || !is_native_byte_order(dtype.byteorder())) {
    throw std::runtime_error(kChangedAfterCheck);
  }
}

}  // namespace tovalib
