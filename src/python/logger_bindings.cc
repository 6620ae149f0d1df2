#include <pybind11/stl.h>

#include "diagnostics/logger.h"
#include "python/bindings.h"

namespace py = pybind11;

namespace ombrix::python {

std::string& WorkingDir() {
  static std::string working_dir;
  return working_dir;
}

void DefineWorkingDir(py::module_& m) {
  m.def(
      "set_working_dir", [](const std::string& dir) { WorkingDir() = dir; },
      "Sets the working directory for the OmbrixDB client.");
}

void DefineLogger(LoggerClass& cls) {
  cls
      .def_static("instance", &Logger::instance, py::return_value_policy::reference)
      .def("configure", &Logger::configure, py::arg("level"), py::arg("to_file") = false,
           py::arg("file_path") = py::none(),
           R"doc(Configure the logger instance.

Parameters
----------
level : str
    Minimum level of the lines written: "debug", "info", "warning", "error" or "critical".
to_file : bool, optional
    Write the lines to a log file instead of the console (default False).
file_path : str or None, optional
    Path of the log file, appended to; "ombrix_client.log" in the current directory
    when None.
)doc")
      .def("info", &Logger::info)
      .def("debug", &Logger::debug)
      .def("warning", &Logger::warning)
      .def("error", &Logger::error)
      .def("critical", &Logger::critical);
}

}  // namespace ombrix::python
