// The errors of the checked reads, composed only once a read fails.
#include "sampler/checked_reads.h"

#include <stdexcept>

namespace tovalib {

void throw_colptr_out_of_range(int64_t v, const std::string& node_type, const std::string& key,
                               int64_t size) {
  throw std::out_of_range("Node " + std::to_string(v) + " of type '" + node_type +
                          "' is out of range for 'colptr' at '" + key + "' (size " +
                          std::to_string(size) + ").");
}

void throw_column_out_of_range(int64_t v, const std::string& key, int64_t begin, int64_t end,
                               int64_t size) {
  throw std::out_of_range("Neighbourhood of node " + std::to_string(v) + " at '" + key +
                          "' spans " + std::to_string(begin) + " to " + std::to_string(end) +
                          ", outside 'row' (size " + std::to_string(size) + ").");
}

void throw_node_time_out_of_range(int64_t u, const std::string& node_type, int64_t size) {
  throw std::out_of_range("Node " + std::to_string(u) + " of type '" + node_type +
                          "' is out of range for 'node_time' (size " + std::to_string(size) + ").");
}

}  // namespace tovalib
