// Result arrays: the way out of a call. Every array a call returns is a new NumPy array that owns
// its memory. Small results are copied into memory from NumPy's own allocator. A large result's
// lists are handed over: the sampler built them in blocks of BlockPool::shared(), and each block
// becomes its array's memory without a copy; when the array is freed, the block goes back to the
// pool for the next call.
//
// The handover rests on NumPy's memory-handler API (NumPy 1.22 on), reached without NumPy's
// headers:
//   - a copy of the handler layout (PyDataMem_Handler, version 1: a 127-byte name, a version byte,
//     then five pointers), static_asserted in result_arrays.cpp;
//   - PyDataMem_SetHandler, found in NumPy's C-API table at slot 304 (pybind11's table stops short
//     of it), and only where NumPy's feature version says the slot exists;
//   - the handler's malloc recognising the one allocation of an array being made: the block on
//     offer is handed to the first request of exactly its byte count on this thread, and any
//     other request is served by the pool as usual;
//   - PyGC_Disable/PyGC_Enable (Python 3.10), so that no finalizer runs Python code while the
//     pool's handler is in force.
// If NumPy changes any of these, large results are copied instead (no handler API), or the checks
// in adopt_int64_block refuse to return an array that did not receive the sampled values.
#pragma once

#include <cstdint>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "sampler/block_pool.h"

namespace tovalib {

namespace py = pybind11;

// A new, owning, writeable 1-D int64 array holding a copy of data[0, n). `data` may be null when
// n is 0.
py::array make_int64_array(const int64_t* data, int64_t n);

// While alive, NumPy takes the memory of the arrays it makes on this thread (and context) from
// BlockPool::shared(), through a memory handler of NumPy's own kind, and each such array gives its
// memory back there when it is freed. The arrays are otherwise NumPy's usual ones: they own
// their data, have no base object, and are freed, resized or pickled as any other.
// REQUIRES: pooled_arrays_available() returned true.
class PooledArrays {
 public:
  PooledArrays();
  ~PooledArrays();
  PooledArrays(const PooledArrays&) = delete;
  PooledArrays& operator=(const PooledArrays&) = delete;

 private:
  bool collector_was_on_;
  PyObject* previous_;  // the handler in force before, restored at the end
};

// Whether this NumPy lets the pool serve arrays (from NumPy 1.22 on); the first call finds
// NumPy's handler API and makes the pool's handler. It may run Python code, only then.
bool pooled_arrays_available();

// A new 1-D int64 array of the n values at `data` that takes their memory over instead of
// copying them: NumPy, asking the pool's handler for the array's memory, is given this block.
//   REQUIRES: n > 0; `data` is a block of BlockPool::shared() with room for at least n values.
//   Returns: the array; or, once the block is taken, a null object with the Python error set
//   (nothing throws from then on).
//   Sets `taken` when the block has stopped being the caller's: whenever an array is returned,
//   except where a handler other than the pool's is in force (no PooledArrays scope), which gets
//   a copy of the values while the block stays the caller's.
py::object adopt_int64_block(int64_t* data, int64_t n, bool& taken);

}  // namespace tovalib
