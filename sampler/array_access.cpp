// The argument checks and the array operations they use.
#include "sampler/array_access.h"

#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

namespace tovalib {
namespace {

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

bool is_int64_dtype(const py::dtype& dtype) { return dtype.kind() == 'i' && dtype.itemsize() == 8; }

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
