// The extension module ombrixdb_vell. pybind11's module init refuses an interpreter
// other than the one it was compiled for, before anything is registered.
#include <cstdlib>
#include <string_view>

#include "encrypted_store/training_state.h"
#include "python/bindings.h"
#include "python/errors.h"

namespace py = pybind11;

namespace ombrix::python {

// Every release_gil_before_calling_cpp_dtor: a native destructor may flush telemetry or
// close store connections, and must not hold up other Python threads meanwhile.
ModuleClasses::ModuleClasses(py::module_& m)
    : db_config(m, "DBConfig", py::release_gil_before_calling_cpp_dtor()),
      logger(m, "Logger"),
      index_config(m, "IndexConfig",
                   "Abstract base class for index configurations. This class provides the core "
                   "properties of an index configuration, including dimension, distance metric "
                   "and index type",
                   py::release_gil_before_calling_cpp_dtor()),
      index_ivf_flat(m, "IndexIVFFlat",
                     "Configuration for an IVFFlat index, which uses flat quantization for coarse "
                     "clustering.",
                     py::release_gil_before_calling_cpp_dtor()),
      client(m, "Client", py::release_gil_before_calling_cpp_dtor()),
      encrypted_index(m, "EncryptedIndex",
                      "An encrypted OmbrixDB index, made by Client.create_index or "
                      "Client.load_index.",
                      py::release_gil_before_calling_cpp_dtor()) {}

}  // namespace ombrix::python

PYBIND11_MODULE(ombrixdb_vell, m) {
  using namespace ombrix::python;
  m.doc() = "Pybind11 bindings for OmbrixDB";
  RegisterErrorTranslators();
  DefineWorkingDir(m);
  ModuleClasses classes(m);
  DefineDBConfig(classes.db_config);
  DefineLogger(classes.logger);
  DefineIndexConfig(classes.index_config);
  DefineIndexIVFFlat(classes.index_ivf_flat);
  DefineClient(classes.client);
  DefineEncryptedIndex(classes.encrypted_index);
  // Shorter holds and waits for the tests that run processes beside each other. Any
  // caller could shorten every lease and wait of the process with it, so only an import
  // under the test suite's variable defines it.
  const char* hooks = std::getenv("OMBRIX_TESTING_HOOKS");
  if (hooks == nullptr || std::string_view(hooks) != "1") return;
  m.def(
      "_set_hold_limits_for_testing",
      [](uint64_t lease_ms, uint64_t wait_ms) {
        ombrix::internal::SetHoldLeaseForTesting(lease_ms);
        ombrix::internal::SetTrainingWaitLimitForTesting(wait_ms);
      },
      py::arg("lease_ms"), py::arg("wait_ms"));
}
