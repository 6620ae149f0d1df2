// The extension module ombrixdb_vell. pybind11's module init refuses an interpreter
// other than the one it was compiled for, before anything is registered.
#include "python/bindings.h"
#include "python/errors.h"

namespace py = pybind11;

PYBIND11_MODULE(ombrixdb_vell, m) {
  m.doc() = "Pybind11 bindings for OmbrixDB";
  ombrix::python::RegisterErrorTranslators();
  ombrix::python::RegisterWorkingDir(m);
  ombrix::python::RegisterDBConfig(m);
  ombrix::python::RegisterLogger(m);
  ombrix::python::RegisterIndexConfig(m);
  ombrix::python::RegisterClient(m);
  ombrix::python::RegisterEncryptedIndex(m);
}
