// Int64Span: a borrowed pointer and length over int64 values, the form in which the kernels read
// every graph and request array. Plain C++ so that the kernels can be built, tested and profiled
// without Python.
#pragma once

#include <cassert>
#include <cstdint>

namespace tovalib {

// data[0, size).
//   REQUIRES: the storage behind `data` outlives every read through the span.
struct Int64Span {
  const int64_t* data = nullptr;
  int64_t size = 0;

  // REQUIRES: 0 <= i < size.
  int64_t operator[](int64_t i) const {
    assert(0 <= i && i < size);
    return data[i];
  }
};

}  // namespace tovalib
