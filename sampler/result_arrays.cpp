// Result arrays: new int64 arrays, and the handover of pool blocks to NumPy.
#include "sampler/result_arrays.h"

#include <cassert>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

namespace tovalib {
namespace {

// A new 1-D int64 array of n values, left unset, its memory from NumPy's current handler.
// NumPy's C API directly: pybind11's generic constructor builds shape and stride vectors and a
// temporary view, then copies through NumPy's casting machinery, several times the cost of the
// copy itself for the short arrays of a small call. Given no data, NumPy allocates memory that
// the array owns (C-contiguous, aligned, writeable), so the result never aliases the sampler's
// buffers.
py::array new_int64_array(int64_t n) {
  const auto& api = py::detail::npy_api::get();
  PyObject* descr = api.PyArray_DescrFromType_(py::detail::npy_api::NPY_INT64_);
  if (descr == nullptr) throw py::error_already_set();
  const Py_intptr_t shape[1] = {static_cast<Py_intptr_t>(n)};
  auto array = py::reinterpret_steal<py::array>(api.PyArray_NewFromDescr_(
      api.PyArray_Type_, descr, 1, shape, /*strides=*/nullptr, /*data=*/nullptr, /*flags=*/0,
      /*obj=*/nullptr));
  if (!array) throw py::error_already_set();
  return array;
}

int64_t* mutable_data(const py::handle& array) {
  return reinterpret_cast<int64_t*>(py::detail::array_proxy(array.ptr())->data);
}

}  // namespace

py::array make_int64_array(const int64_t* data, int64_t n) {
  py::array array = new_int64_array(n);
  if (n > 0) std::memcpy(mutable_data(array), data, static_cast<size_t>(n) * sizeof(int64_t));
  return array;
}

namespace {

// NumPy's memory handler, as its C API lays it out (version 1): a capsule named "mem_handler"
// holds one, and each array made under it keeps the capsule and frees through it.
struct NumpyAllocator {
  void* ctx;
  void* (*malloc)(void* ctx, size_t size);
  void* (*calloc)(void* ctx, size_t count, size_t size);
  void* (*realloc)(void* ctx, void* data, size_t size);
  void (*free)(void* ctx, void* data, size_t size);
};
struct NumpyMemHandler {
  char name[127];
  uint8_t version;
  NumpyAllocator allocator;
};
// NumPy's PyDataMem_Handler on the platforms it supports: a 128-byte header, then five pointers,
// with no padding that NumPy's own definition would not have.
static_assert(std::is_standard_layout<NumpyMemHandler>::value,
              "NumPy reads the handler as a C struct");
static_assert(offsetof(NumpyMemHandler, version) == 127 &&
                  offsetof(NumpyMemHandler, allocator) == 128 &&
                  sizeof(NumpyAllocator) == 5 * sizeof(void*) &&
                  sizeof(NumpyMemHandler) == 128 + sizeof(NumpyAllocator),
              "the copy of NumPy's memory handler layout no longer matches it");
// The array's length is an int64 and NumPy's shape entries are npy_intp.
static_assert(sizeof(Py_intptr_t) >= sizeof(int64_t), "an int64 length fits a NumPy shape");

BlockPool& pool_of(void* ctx) { return *static_cast<BlockPool*>(ctx); }

// The block adopt_int64_block() offers to the array it is making, until NumPy asks for memory of
// exactly that array's size: NumPy may make other allocations of its own meanwhile.
thread_local void* offered_block = nullptr;
thread_local size_t offered_bytes = 0;

// Ends the offer; true when NumPy took the block.
bool end_offer() { return std::exchange(offered_block, nullptr) == nullptr; }

void* pool_malloc(void* ctx, size_t size) {
  if (offered_block != nullptr && size == offered_bytes) {
    assert(size <= BlockPool::capacity(offered_block));
    return std::exchange(offered_block, nullptr);
  }
  return pool_of(ctx).take(size);
}
void* pool_calloc(void* ctx, size_t count, size_t size) {
  if (size != 0 && count > SIZE_MAX / size) return nullptr;
  void* data = pool_of(ctx).take(count * size);
  if (data != nullptr) std::memset(data, 0, count * size);
  return data;
}
void* pool_realloc(void* ctx, void* data, size_t size) { return pool_of(ctx).resize(data, size); }
void pool_free(void* ctx, void* data, size_t /*size*/) { pool_of(ctx).give(data); }

// Position of PyDataMem_SetHandler in NumPy's C API table (since NumPy 1.22, unchanged in 2.x);
// pybind11's own table does not include it. Older tables end before it.
constexpr size_t kSetHandlerSlot = 304;
constexpr unsigned kFirstHandlerFeatureVersion = 0x0F;  // NumPy 1.22

struct HandlerApi {
  bool looked_up = false;
  PyObject* (*set_handler)(PyObject*) = nullptr;
  PyObject* handler = nullptr;  // the capsule for BlockPool::shared(); null when NumPy has no API
};

// Filled at the first large result and never freed: arrays holding the capsule may outlive the
// module's teardown.
HandlerApi handler_api;

}  // namespace

bool pooled_arrays_available() {
  if (handler_api.looked_up) return handler_api.handler != nullptr;
  // No lock of our own: the lookup runs Python code (NumPy's version check), where a finalizer or
  // another thread may come here too, and a guard held across it has deadlocked both ways. Any
  // of them may do the lookup; the first to finish records it, with no Python code in between.
  const auto& api = py::detail::npy_api::get();
  HandlerApi found;
  found.looked_up = true;
  if (api.PyArray_GetNDArrayCFeatureVersion_() >= kFirstHandlerFeatureVersion) {
    const py::object table =
        py::detail::import_numpy_core_submodule("multiarray").attr("_ARRAY_API");
    void** slots = static_cast<void**>(PyCapsule_GetPointer(table.ptr(), nullptr));
    if (slots == nullptr) throw py::error_already_set();
    static NumpyMemHandler handler{
        "tovalib_result_pool", 1,
        NumpyAllocator{&BlockPool::shared(), pool_malloc, pool_calloc, pool_realloc, pool_free}};
    found.handler = PyCapsule_New(&handler, "mem_handler", nullptr);
    if (found.handler == nullptr) throw py::error_already_set();
    found.set_handler = reinterpret_cast<PyObject* (*)(PyObject*)>(slots[kSetHandlerSlot]);
  }
  if (handler_api.looked_up) {
    Py_XDECREF(found.handler);
  } else {
    handler_api = found;
  }
  return handler_api.handler != nullptr;
}

// The collector stays off for the scope. Its finalizers would run arbitrary Python code in the
// middle of it, and CPython's context variables (where NumPy keeps the handler) can be corrupted
// when a finalizer run by a collection inside a context-variable set sets one again. Nothing in
// the scope releases the GIL, so no other thread's collections are held up.
PooledArrays::PooledArrays() : collector_was_on_(PyGC_Disable() != 0) {
  assert(handler_api.handler != nullptr);
  previous_ = handler_api.set_handler(handler_api.handler);
  if (previous_ == nullptr) {
    if (collector_was_on_) PyGC_Enable();
    throw py::error_already_set();
  }
}

PooledArrays::~PooledArrays() {
  // Runs also while an error is on its way out; setting a context variable must not see it.
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyObject* ours = handler_api.set_handler(previous_);
  if (ours == nullptr) PyErr_WriteUnraisable(nullptr);
  Py_XDECREF(ours);
  Py_DECREF(previous_);
  if (collector_was_on_) PyGC_Enable();
  PyErr_Restore(type, value, traceback);
}

py::object adopt_int64_block(int64_t* data, int64_t n, bool& taken) {
  assert(n > 0);
  offered_block = data;
  offered_bytes = static_cast<size_t>(n) * sizeof(int64_t);
  py::object array;
  try {
    array = new_int64_array(n);
  } catch (py::error_already_set& error) {
    taken = end_offer();
    if (!taken) throw;
    error.restore();  // NumPy freed the block into the pool: no longer the caller's either way
    return py::object();
  }
  taken = end_offer();
  // Not asked for: NumPy's memory came from another handler than the pool's.
  if (!taken) std::memcpy(mutable_data(array), data, offered_bytes);
  // Taken, but by another allocation of the same size: its values are no longer safe to read.
  if (taken && mutable_data(array) != data) {
    PyErr_SetString(PyExc_RuntimeError, "A result array did not receive the sampled values.");
    return py::object();
  }
  return array;
}

}  // namespace tovalib
