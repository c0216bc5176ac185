// The Python module `tovalib`: the NeighborSampler class and nothing else. Conversions and
// exception translation are pybind11's defaults; the sampler does all validation itself.
//
// pybind11 internals this module relies on, all in the 2.x line that pyproject.toml and
// CMakeLists.txt pin (>=2.13,<3); if one moves, the build fails or the test named breaks:
//   - detail::instance::get_value_and_holder, value_and_holder, type_info, get_type_info: reading
//     whether an instance's __init__ has run, without pybind11's own `self` caster, which hands a
//     method uninitialised storage (test_an_instance_whose_init_did_not_run_is_refused).
//   - type_caster specialisations (PYBIND11_TYPE_CASTER) for those two `self` types.
//   - detail::get_function, is_function_record_capsule, function_record::is_constructor: __init__
//     bound as a plain method, so that a second __init__ is seen and refused
//     (test_a_second_init_is_refused_and_the_sampler_stays_as_it_was).
//   - detail::initimpl::construct: the holder made as pybind11's constructors make it.
//   - In sampler/pinned_int64_array.cpp and sampler/result_arrays.cpp: detail::npy_api
//     (PyArray_Check_, PyArray_DescrFromType_, PyArray_NewFromDescr_, PyArray_Type_,
//     PyArray_GetNDArrayCFeatureVersion_, NPY_* flags), detail::array_proxy (an ndarray's fields)
//     and detail::import_numpy_core_submodule: NumPy's C API without compiling against NumPy's
//     headers.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "sampler/neighbor_sampler.h"

namespace py = pybind11;

static_assert(PYBIND11_VERSION_MAJOR == 2 && PYBIND11_VERSION_MINOR >= 13,
              "the internals listed above are those of pybind11 2.13 and later 2.x");

namespace {

using tovalib::NeighborSampler;

// pybind11's record of the NeighborSampler class, set once the class is registered; it lives as
// long as the module. Looking it up by C++ type would hash the type's name, twice per call.
py::detail::type_info* sampler_type = nullptr;

// The sampler inside a Python instance, or null while its __init__ has not completed.
NeighborSampler* constructed_sampler(PyObject* self) {
  auto* instance = reinterpret_cast<py::detail::instance*>(self);
  const py::detail::value_and_holder holder =
      instance->get_value_and_holder(sampler_type, /*throw_if_missing=*/false);
  if (holder.inst == nullptr || !holder.holder_constructed()) return nullptr;
  return holder.value_ptr<NeighborSampler>();
}

// The `self` of `__init__`: any instance, whether or not it holds a sampler yet.
struct InitTarget {
  py::detail::value_and_holder holder;
};

// The `self` of `sample`, loaded only from an instance whose __init__ has run. An instance made by
// NeighborSampler.__new__ alone (or by copy.copy, which goes through it) has no sampler, and
// pybind11 would hand the method uninitialised storage in its place.
struct ConstructedSampler {
  NeighborSampler* sampler = nullptr;
};

}  // namespace

// Both casters check `self` by its actual type, never with isinstance(): that honours a
// `__class__` attribute, so an object of any layout could pass for an instance.
namespace pybind11 {
namespace detail {

template <>
struct type_caster<ConstructedSampler> {
  // Named like the class itself, so that the signature reads `self: tovalib.NeighborSampler`.
  PYBIND11_TYPE_CASTER(ConstructedSampler, make_caster<NeighborSampler>::name);

  bool load(handle source, bool /*convert*/) {
    if (!PyObject_TypeCheck(source.ptr(), sampler_type->type)) return false;
    value.sampler = constructed_sampler(source.ptr());
    if (value.sampler == nullptr) {
      throw type_error("sample() called on a NeighborSampler whose __init__ did not run.");
    }
    return true;
  }

  static handle cast(const ConstructedSampler&, return_value_policy, handle) = delete;
};

template <>
struct type_caster<InitTarget> {
  PYBIND11_TYPE_CASTER(InitTarget, make_caster<NeighborSampler>::name);

  bool load(handle source, bool /*convert*/) {
    if (!PyObject_TypeCheck(source.ptr(), sampler_type->type)) return false;
    auto* instance = reinterpret_cast<detail::instance*>(source.ptr());
    value.holder = instance->get_value_and_holder(sampler_type,
                                                  /*throw_if_missing=*/false);
    return value.holder.inst != nullptr;
  }

  static handle cast(const InitTarget&, return_value_policy, handle) = delete;
};

}  // namespace detail
}  // namespace pybind11

namespace {

using SamplerClass = py::class_<NeighborSampler>;

[[noreturn]] void refuse_second_init() {
  throw py::type_error("__init__() called on a NeighborSampler that is already initialised.");
}

// `node_time` is declared as any object because any mapping-like value (a list of pairs, say) is
// welcome; dict() turns it into the dict the sampler expects and raises its own TypeError
// otherwise.
void init_sampler(InitTarget self, const std::vector<std::string>& node_types,
                  const std::vector<tovalib::EdgeType>& edge_types, const py::dict& colptr,
                  const py::dict& row, const py::object& node_time, int32_t seed) {
  if (self.holder.holder_constructed()) refuse_second_init();
  auto sampler = std::make_unique<NeighborSampler>(node_types, edge_types, colptr, row,
                                                   py::dict(node_time), seed);
  // Python code run by the checks (a key's __str__, say) may have initialised this instance.
  if (self.holder.holder_constructed()) refuse_second_init();
  py::detail::initimpl::construct<SamplerClass>(self.holder, std::move(sampler),
                                                /*need_alias=*/false);
}

// pybind11 silently ignores any function named __init__ on an instance that is already
// initialised, before the function runs. Bound as a plain method, init_sampler sees every call
// and refuses the second itself; it constructs the holder as pybind11's constructors do.
void see_every_init_call(const SamplerClass& sampler_class) {
  const py::object attribute = sampler_class.attr("__init__");
  const py::handle init = py::detail::get_function(attribute);
  const py::handle self = init ? PyCFunction_GET_SELF(init.ptr()) : nullptr;
  if (!self || !py::isinstance<py::capsule>(self) ||
      !py::detail::is_function_record_capsule(py::reinterpret_borrow<py::capsule>(self))) {
    py::pybind11_fail("NeighborSampler.__init__ is not a pybind11 function");
  }
  py::reinterpret_borrow<py::capsule>(self)
      .get_pointer<py::detail::function_record>()
      ->is_constructor = false;
}

tovalib::SampleResult sample(ConstructedSampler self, const py::dict& num_neighbors,
                             const py::dict& sampling_time_offsets, const std::string& entity_table,
                             const py::array& seed_node, const py::array& seed_time) {
  return self.sampler->sample(num_neighbors, sampling_time_offsets, entity_table, seed_node,
                              seed_time);
}

// The sampler holds the graph arrays, and an array (an ndarray subclass, say) may refer back to
// the sampler; taking part in cyclic garbage collection lets such a cycle be freed.
void enable_garbage_collection(PyHeapTypeObject* heap_type) {
  PyTypeObject* type = &heap_type->ht_type;
  type->tp_flags |= Py_TPFLAGS_HAVE_GC;
  type->tp_traverse = [](PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (const NeighborSampler* sampler = constructed_sampler(self)) {
      int result = 0;
      sampler->visit_references([&](py::handle object) {
        if (result == 0 && object) result = visit(object.ptr(), arg);
      });
      return result;
    }
    return 0;
  };
  type->tp_clear = [](PyObject* self) {
    if (NeighborSampler* sampler = constructed_sampler(self)) sampler->release_references();
    return 0;
  };
}

}  // namespace

PYBIND11_MODULE(tovalib, m) {
  SamplerClass sampler_class(m, "NeighborSampler",
                             py::custom_type_setup(enable_garbage_collection));
  sampler_class
      .def("__init__", &init_sampler, py::arg("node_types"), py::arg("edge_types"),
           py::arg("colptr"), py::arg("row"), py::arg("node_time"),
           // Integers and objects with __index__ only: pybind11 would otherwise take int() of
           // anything that has one and seed with Decimal("7.9") as with 7.
           py::arg("seed").noconvert() = 123)
      .def("sample", &sample, py::arg("num_neighbors"), py::arg("sampling_time_offsets"),
           py::arg("entity_table"), py::arg("seed_node"), py::arg("seed_time"));
  see_every_init_call(sampler_class);
  sampler_type = py::detail::get_type_info(typeid(NeighborSampler));
}
