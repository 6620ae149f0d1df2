// Registration of the module's classes. Each Register* adds one class (or function) to
// the module; module.cc calls them in the order the module exposes them.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace ombrix::python {

// The directory set by set_working_dir; copied by each Client when it is built.
// Read and written only with the interpreter lock held.
std::string& WorkingDir();

void RegisterWorkingDir(pybind11::module_& m);
void RegisterDBConfig(pybind11::module_& m);
void RegisterLogger(pybind11::module_& m);
void RegisterIndexConfig(pybind11::module_& m);  // IndexConfig and IndexIVFFlat
void RegisterClient(pybind11::module_& m);
void RegisterEncryptedIndex(pybind11::module_& m);

}  // namespace ombrix::python
