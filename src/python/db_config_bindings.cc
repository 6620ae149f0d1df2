#include <pybind11/stl.h>

#include <optional>
#include <string>

#include "backing_store/db_config.h"
#include "python/bindings.h"

namespace py = pybind11;

namespace ombrix::python {

void DefineDBConfig(DBConfigClass& cls) {
  // Constructor only: the fields stay native (the Client copies the whole value).
  cls
      .def(py::init([](const std::string& location, std::optional<std::string> table_name,
                       std::optional<std::string> connection_string) {
             return MakeDBConfig(location, std::move(table_name), std::move(connection_string));
           }),
           py::arg("location"), py::arg("table_name") = py::none(), py::arg("connection_string") = py::none());
}

}  // namespace ombrix::python
