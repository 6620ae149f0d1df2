// Registration of the module's surface in two steps. ModuleClasses declares all six
// classes (name, holder, base, class docstring) before any method exists; the Define*
// functions then add the members. pybind11 writes a signature when a member is defined,
// naming each type by the Python name it has at that moment, so a member defined before
// its result's class would show the C++ name (ombrix::EncryptedIndex) in help().
// A new method goes into the Define* function of its class; a new class gets a field
// here, declared in ModuleClasses' constructor, and its own Define* function.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <string>

#include "backing_store/db_config.h"
#include "diagnostics/logger.h"
#include "index/client.h"
#include "index/encrypted_index.h"
#include "index_model/index_config.h"

namespace ombrix::python {

using DBConfigClass = pybind11::class_<DBConfig, pybind11::smart_holder>;
// The process-wide logger is never destroyed from Python.
using LoggerClass = pybind11::class_<Logger, std::unique_ptr<Logger, pybind11::nodelete>>;
using IndexConfigClass = pybind11::class_<IndexConfig, std::shared_ptr<IndexConfig>>;
using IndexIVFFlatClass =
    pybind11::class_<IndexIVFFlat, IndexConfig, std::shared_ptr<IndexIVFFlat>>;
using ClientClass = pybind11::class_<Client, pybind11::smart_holder>;
using EncryptedIndexClass = pybind11::class_<EncryptedIndex, pybind11::smart_holder>;

// The six classes, registered in the module's public order by the constructor.
struct ModuleClasses {
  explicit ModuleClasses(pybind11::module_& m);

  DBConfigClass db_config;
  LoggerClass logger;
  IndexConfigClass index_config;
  IndexIVFFlatClass index_ivf_flat;
  ClientClass client;
  EncryptedIndexClass encrypted_index;
};

// The directory set by set_working_dir; copied by each Client when it is built.
// Read and written only with the interpreter lock held.
std::string& WorkingDir();

void DefineWorkingDir(pybind11::module_& m);
void DefineDBConfig(DBConfigClass& cls);
void DefineLogger(LoggerClass& cls);
void DefineIndexConfig(IndexConfigClass& cls);
void DefineIndexIVFFlat(IndexIVFFlatClass& cls);
void DefineClient(ClientClass& cls);
void DefineEncryptedIndex(EncryptedIndexClass& cls);

}  // namespace ombrix::python
