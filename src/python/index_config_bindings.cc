#include <pybind11/stl.h>

#include <memory>
#include <optional>

#include "index_model/index_config.h"
#include "python/bindings.h"

namespace py = pybind11;

namespace ombrix::python {

void DefineIndexConfig(IndexConfigClass& cls) {
  cls
      .def_property_readonly(
          "dimension", [](const IndexConfig& c) { return c.dimension(); },
          "int: Dimensionality of the stored vectors (0 until the first upsert fixes it).")
      .def_property_readonly(
          "metric",
          [](const IndexConfig& c) { return metric_name(static_cast<DistanceMetric>(c.metric)); },
          "str: Distance metric: \"cosine\", \"euclidean\" or \"squared_euclidean\".")
      .def_property_readonly(
          "index_type",
          [](const IndexConfig& c) { return c.index_type == IVFFLAT ? "ivfflat" : "unknown"; },
          "str: Index type as a lower-case string.")
      .def_property_readonly(
          "n_lists", [](const IndexConfig& c) { return c.n_lists(); },
          "int: Number of lists (coarse clusters).")
      .def("pq_dim", &IndexConfig::pq_dim,
           "Product-quantization dimension, 0 if not applicable.")
      .def("pq_bits", &IndexConfig::pq_bits,
           "Bits per product-quantization code, 0 if not applicable.")
      .def(
          "clone",
          [](const IndexConfig& c) { return std::shared_ptr<IndexConfig>(c.clone()); },
          "Return an independent copy of this configuration.");
}

void DefineIndexIVFFlat(IndexIVFFlatClass& cls) {
  cls
      .def(py::init([](std::optional<uint64_t> dimension) {
             return std::make_shared<IndexIVFFlat>(dimension.value_or(0), std::string());
           }),
           py::arg("dimension") = py::none(),
           R"doc(Create an IVFFlat index configuration.

Parameters
----------
dimension : int or None, optional
    Dimension of the vectors. When not given, it is detected from the first upsert.
)doc")
      .def_property_readonly(
          "n_lists", [](const IndexIVFFlat& c) { return c.n_lists(); },
          "int: Number of coarse clusters.");
}

}  // namespace ombrix::python
