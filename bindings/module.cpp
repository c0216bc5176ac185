// The Python module `tovalib`: the NeighborSampler class and nothing else. Conversions and
// exception translation are pybind11's defaults; the sampler does all validation itself.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "sampler/neighbor_sampler.h"

namespace py = pybind11;

namespace {

// The `self` of `sample`, loaded only from an instance whose __init__ has run. An instance made by
// NeighborSampler.__new__ alone (or by copy.copy, which goes through it) has no sampler, and
// pybind11 would hand the method uninitialised storage in its place.
struct ConstructedSampler {
  tovalib::NeighborSampler* sampler = nullptr;
};

}  // namespace

namespace pybind11 {
namespace detail {

template <>
struct type_caster<ConstructedSampler> {
  // Named like the class itself, so that the signature reads `self: tovalib.NeighborSampler`.
  PYBIND11_TYPE_CASTER(ConstructedSampler, make_caster<tovalib::NeighborSampler>::name);

  bool load(handle source, bool /*convert*/) {
    if (!isinstance<tovalib::NeighborSampler>(source)) return false;
    auto* instance = reinterpret_cast<detail::instance*>(source.ptr());
    value_and_holder holder =
        instance->get_value_and_holder(get_type_info(typeid(tovalib::NeighborSampler)));
    if (!holder.holder_constructed()) {
      throw type_error("sample() called on a NeighborSampler whose __init__ did not run.");
    }
    value.sampler = holder.value_ptr<tovalib::NeighborSampler>();
    return true;
  }

  static handle cast(const ConstructedSampler&, return_value_policy, handle) = delete;
};

}  // namespace detail
}  // namespace pybind11

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

tovalib::SampleResult sample(ConstructedSampler self, const py::dict& num_neighbors,
                             const py::dict& sampling_time_offsets, const std::string& entity_table,
                             const py::array& seed_node, const py::array& seed_time) {
  return self.sampler->sample(num_neighbors, sampling_time_offsets, entity_table, seed_node,
                              seed_time);
}

}  // namespace

PYBIND11_MODULE(tovalib, m) {
  py::class_<tovalib::NeighborSampler>(m, "NeighborSampler")
      .def(py::init(&make_sampler), py::arg("node_types"), py::arg("edge_types"),
           py::arg("colptr"), py::arg("row"), py::arg("node_time"), py::arg("seed") = 123)
      .def("sample", &sample, py::arg("num_neighbors"), py::arg("sampling_time_offsets"),
           py::arg("entity_table"), py::arg("seed_node"), py::arg("seed_time"));
}
