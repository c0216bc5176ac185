#include "sampler/array_access.h"

#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

namespace tovalib {
namespace {

bool is_int64_dtype(const py::dtype& dtype) { return dtype.kind() == 'i' && dtype.itemsize() == 8; }

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

// str(key) as UTF-8, into `text`, whose capacity serves key after key. A text that cannot be
// encoded (a lone surrogate) raises Python's own UnicodeEncodeError rather than pybind11's
// generic cast error.
void read_key_text(py::handle key, std::string& text) {
  const py::str str(key);
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str.ptr(), &size);
  if (data == nullptr) throw py::error_already_set();
  text.assign(data, static_cast<size_t>(size));
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

// What keeps the memory `array` reads allocated and where it is, or an empty pin when nothing can.
// Down the chain of objects that lent the memory (array bases, what a memoryview or PickleBuffer
// views, the array under an as_strided view) to the one that owns it: an ndarray, held by a strong
// reference (the chain between it and `array` is the caller's to change: a view's base can be
// replaced, a memoryview released) and a weak one, for NumPy refuses to resize an array that has
// one; a buffer export of an mmap, bytearray or array.array, which then refuses to close or resize
// (np.memmap, and so np.load(mmap_mode=...), holds its mmap without one); bytes, which never
// change. Memory from anything else (ctypes, which resizes under an export, or an object that only
// gives an address) cannot be held: the caller reads a copy of it instead. Each object of the
// chain is held while it is looked at, since Python code can run on the way (an attribute lookup,
// a collection inside an allocation) and change the chain.
Int64Array::Pin pin_memory(const py::array& array) {
  const auto& api = py::detail::npy_api::get();
  Int64Array::Pin pin;
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
  return Int64Array::Pin{};
}

// Whether the memory `pin` holds now contains the values `view` reads.
bool holds(const Int64Array::Pin& pin, const Int64View& view) {
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
  const auto* first = reinterpret_cast<const char*>(view.data);
  return begin <= first && first <= end &&
         static_cast<size_t>(view.size) <= static_cast<size_t>(end - first) / sizeof(int64_t);
}

// Whether two exact str hold the same characters. A str still in the legacy form (never one made
// by Python 3.10 itself) is compared by Python; readying it here would name a function that later
// Pythons lack, and keep the module from loading there even to be refused.
bool same_text(PyObject* a, PyObject* b) {
  if (!PyUnicode_IS_READY(a) || !PyUnicode_IS_READY(b)) {
    const int order = PyUnicode_Compare(a, b);
    if (order == -1 && PyErr_Occurred() != nullptr) throw py::error_already_set();
    return order == 0;
  }
  const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
  const int kind = PyUnicode_KIND(a);
  return length == PyUnicode_GET_LENGTH(b) && kind == PyUnicode_KIND(b) &&
         std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                     static_cast<size_t>(length) * static_cast<size_t>(kind)) == 0;
}

}  // namespace

namespace {

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

Int64Array::Int64Array(const py::array& array) {
  py::dtype dtype = checked_int64_dtype(array);
  if (!dtype) return;
  if (is_dense_native(array, dtype)) {
    Pin pin = pin_memory(array);
    // Python code may have run while the memory was pinned (a lookup made the first time, a
    // collection): what the array is, and where, is read again.
    dtype = checked_int64_dtype(array);
    if (!dtype) return;
    if (pin.holder && is_dense_native(array, dtype)) {
      const Int64View view{int64_data(array), array_size(array)};
      if (!holds(pin, view)) throw std::runtime_error(kMovedAfterCheck);
      pin_ = std::move(pin);
      array_ = array;
      dtype_ = dtype;
      view_ = view;
      return;
    }
  }
  // A copy of the sampler's own, which no Python object refers to.
  copy_values(array, dtype, copy_);
  view_ = Int64View{copy_.data(), static_cast<int64_t>(copy_.size())};
}

void copy_int64_array(const py::array& array, std::vector<int64_t>& values) {
  const py::dtype dtype = checked_int64_dtype(array);
  if (dtype) {
    copy_values(array, dtype, values);
  } else {
    values.clear();
  }
}

void Int64Array::check_fields() const {
  const auto* fields = py::detail::array_proxy(array_.ptr());
  const bool moved = fields->data != static_cast<const void*>(view_.data) ||
                     (pin_.other_array && !holds(pin_, view_));
  if (moved) throw std::runtime_error(kMovedAfterCheck);
  const bool same_shape = fields->nd == 1 && fields->dimensions[0] == view_.size &&
                          (view_.size == 1 || fields->strides[0] == sizeof(int64_t));
  if (!same_shape) throw std::runtime_error(kChangedAfterCheck);
  if (fields->descr == dtype_.ptr()) return;
  const auto dtype = py::reinterpret_borrow<py::dtype>(fields->descr);
  if (!is_int64_dtype(dtype) || !is_native_byte_order(dtype.byteorder())) {
    throw std::runtime_error(kChangedAfterCheck);
  }
}

py::array as_array(py::handle object) {
  return py::array(py::reinterpret_borrow<py::object>(object));
}

int64_t array_size(const py::array& array) { return static_cast<int64_t>(array.size()); }

int64_t array_dim(const py::array& array, int axis) {
  return static_cast<int64_t>(array.shape(static_cast<py::ssize_t>(axis)));
}

namespace {

size_t slot_of(Py_hash_t hash, size_t mask) {
  return static_cast<size_t>((static_cast<uint64_t>(hash) * 0x9E3779B97F4A7C15ull) >> 32) & mask;
}

}  // namespace

CheckedArrayDict::CheckedArrayDict(std::vector<Item> items) : items_(std::move(items)) {
  if (items_.size() <= kScanned) return;
  if (items_.size() >= UINT32_MAX / 2) throw std::length_error("A dict too large to index.");
  size_t capacity = 16;
  while (capacity < 2 * items_.size()) capacity *= 2;
  slots_.assign(capacity, 0);
  const size_t mask = capacity - 1;
  for (size_t i = 0; i < items_.size(); ++i) {
    size_t slot = slot_of(items_[i].hash, mask);
    while (slots_[slot] != 0) slot = (slot + 1) & mask;
    slots_[slot] = static_cast<uint32_t>(i + 1);
  }
}

bool CheckedArrayDict::matches(const Item& item, const py::str& key, Py_hash_t hash) {
  if (item.key.ptr() == key.ptr()) return true;
  if (item.hash != hash) return false;
  // Two exact str compare by their characters, as str's own == does, without its dispatch.
  if (PyUnicode_CheckExact(key.ptr()) && PyUnicode_CheckExact(item.key.ptr())) {
    return same_text(item.key.ptr(), key.ptr());
  }
  const int equal = PyObject_RichCompareBool(item.key.ptr(), key.ptr(), Py_EQ);
  if (equal < 0) throw py::error_already_set();
  return equal == 1;
}

py::object CheckedArrayDict::find(const py::str& key) const {
  if (items_.empty()) return py::object();
  const Py_hash_t hash = PyObject_Hash(key.ptr());  // cached in the str
  if (hash == -1) throw py::error_already_set();
  if (slots_.empty()) {
    for (const Item& item : items_) {
      if (matches(item, key, hash)) return item.value;
    }
    return py::object();
  }
  const size_t mask = slots_.size() - 1;
  for (size_t slot = slot_of(hash, mask); slots_[slot] != 0; slot = (slot + 1) & mask) {
    const Item& item = items_[slots_[slot] - 1];
    if (matches(item, key, hash)) return item.value;
  }
  return py::object();
}

py::array CheckedArrayDict::at(const py::str& key) const {
  py::object value = find(key);
  if (!value) {
    PyErr_SetObject(PyExc_KeyError, key.ptr());
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::array>(value.release());
}

CheckedArrayDict check_array_dict(const py::dict& dict, const char* name, const NameIndex& allowed,
                                  int ndim, bool require_int64) {
  // The items first, from the dict's storage: no Python code runs while they are taken, so a dict
  // subclass's own __getitem__ or __iter__ plays no part and the walk below cannot be disturbed.
  std::vector<CheckedArrayDict::Item> items;
  items.reserve(static_cast<size_t>(PyDict_GET_SIZE(dict.ptr())));
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict.ptr(), &position, &key, &value)) {
    items.push_back(CheckedArrayDict::Item{py::reinterpret_borrow<py::object>(key), 0,
                                           py::reinterpret_borrow<py::object>(value)});
  }
  std::string text;
  // Messages are composed only at a fault: on the way through, their strings would cost more than
  // the checks themselves.
  const auto fault = [&](const std::string& what) {
    return std::runtime_error("Type '" + text + "' in " + name + what);
  };
  for (CheckedArrayDict::Item& item : items) {
    read_key_text(item.key, text);
    if (allowed.find(text) == allowed.end()) {
      throw std::runtime_error("Invalid type '" + text + "' found in " + name + ".");
    }
    py::array array = as_array(item.value);
    if (array.ndim() != ndim) {
      throw fault(" is not " + std::to_string(ndim) + "D.");
    }
    if (array_size(array) > 0 && require_int64 && !is_int64_dtype(array.dtype())) {
      throw fault(" must have dtype int64.");
    }
    item.hash = PyObject_Hash(item.key.ptr());
    if (item.hash == -1) throw py::error_already_set();
    item.value = std::move(array);
  }
  return CheckedArrayDict(std::move(items));
}

void check_array(const py::array& array, const std::string& name, int ndim, bool require_int64) {
  if (array.ndim() != ndim) {
    throw std::runtime_error(name + " is not " + std::to_string(ndim) + "D.");
  }
  if (array_size(array) == 0) return;
  if (require_int64 && !is_int64_dtype(array.dtype())) {
    throw std::runtime_error(name + " must have dtype int64.");
  }
}

}  // namespace tovalib
