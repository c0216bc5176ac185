// Checked reads of the graph arrays: a node's CSC column and a node's time, each checked against
// the array it indexes where it is read, and the errors that name the array and the node at fault.
// Node ids come from the caller's arrays, so any of them may point outside another array.
#pragma once

#include <cstdint>
#include <string>

#include "sampler/int64_span.h"

namespace tovalib {

// The half-open range of positions in `row` that holds one node's neighbours.
struct Column {
  int64_t begin = 0;
  int64_t end = 0;
};

[[noreturn]] void throw_colptr_out_of_range(int64_t v, const std::string& node_type,
                                            const std::string& key, int64_t size);
[[noreturn]] void throw_column_out_of_range(int64_t v, const std::string& key, int64_t begin,
                                            int64_t end, int64_t size);
[[noreturn]] void throw_node_time_out_of_range(int64_t u, const std::string& node_type,
                                               int64_t size);

// Whether node v has a column and the range it spans lies inside `row`: the conditions under which
// read_column returns rather than throws (with the checks compiled in).
inline bool has_column(const Int64Span& colptr, const Int64Span& row, int64_t v) {
  return v >= 0 && v < colptr.size - 1 && colptr[v] >= 0 && colptr[v] <= colptr[v + 1] &&
         colptr[v + 1] <= row.size;
}

// Column v of an edge type, with v and the range it spans checked against the arrays.
// The checks can be compiled out (TOVALIB_NO_BOUNDS_CHECKS) only to measure their cost.
inline Column read_column(const Int64Span& colptr, const Int64Span& row, int64_t v,
                          const std::string& dst_type, const std::string& key) {
#ifndef TOVALIB_NO_BOUNDS_CHECKS
  if (v < 0 || v >= colptr.size - 1) throw_colptr_out_of_range(v, dst_type, key, colptr.size);
#endif
  const Column column{colptr[v], colptr[v + 1]};
#ifndef TOVALIB_NO_BOUNDS_CHECKS
  if (column.begin < 0 || column.end < column.begin || column.end > row.size) {
    throw_column_out_of_range(v, key, column.begin, column.end, row.size);
  }
#endif
  return column;
}

// The time of node u of a timed node type, with u checked against the time array.
inline int64_t read_time(const Int64Span& times, int64_t u, const std::string& node_type) {
#ifndef TOVALIB_NO_BOUNDS_CHECKS
  if (u < 0 || u >= times.size) throw_node_time_out_of_range(u, node_type, times.size);
#endif
  return times[u];
}

}  // namespace tovalib
