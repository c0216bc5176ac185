// The Python module `tovalib`: the NeighborSampler class and nothing else. Conversions and
// exception translation are pybind11's defaults; the sampler does all validation itself.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "sampler/neighbor_sampler.h"

namespace py = pybind11;

namespace {

// `node_time` is declared as any object because any mapping-like value (a list of pairs, say) is
// welcome; dict() turns it into the dict the sampler expects and raises its own TypeError
// otherwise.
std::unique_ptr<tovalib::NeighborSampler> make_sampler(std::vector<std::string> node_types,
                                                       std::vector<tovalib::EdgeType> edge_types,
                                                       py::dict colptr, py::dict row,
                                                       py::object node_time, int32_t seed) {
  return std::make_unique<tovalib::NeighborSampler>(std::move(node_types), std::move(edge_types),
                                                    colptr, row, py::dict(node_time), seed);
}

}  // namespace

PYBIND11_MODULE(tovalib, m) {
  py::class_<tovalib::NeighborSampler>(m, "NeighborSampler")
      .def(py::init(&make_sampler), py::arg("node_types"), py::arg("edge_types"),
           py::arg("colptr"), py::arg("row"), py::arg("node_time"), py::arg("seed") = 123)
      .def("sample", &tovalib::NeighborSampler::sample, py::arg("num_neighbors"),
           py::arg("sampling_time_offsets"), py::arg("entity_table"), py::arg("seed_node"),
           py::arg("seed_time"));
}
