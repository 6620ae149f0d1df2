// Taking an index's operation lock from a binding that holds the interpreter lock.
// A thread holding the operation lock may wait for the interpreter lock (an upsert
// converts Python values with both held), so no thread may wait for the operation lock
// while holding the interpreter lock: the wait happens with the interpreter lock released.
// The same holds for a fork from Python, which must hold every operation lock (a forked
// child may use any index): the module's fork handlers wait for them the same way.
#pragma once

#include <pybind11/pybind11.h>

#include "diagnostics/fork_locks.h"
#include "index/encrypted_index.h"

namespace ombrix::python {

// REQUIRES: the interpreter lock is held; it is held again on return.
inline EncryptedIndex::OperationLock LockIndexForPython(EncryptedIndex& index) {
  pybind11::gil_scoped_release release;
  return index.LockOperations();
}

// Registers with os.register_at_fork, whose handlers run before the interpreter's own fork
// preparation (after it, the interpreter lock could not be released): every operation lock
// is taken before os.fork() forks and given back after it, in the parent and the child.
inline void HoldOperationLocksAcrossPythonForks() {
  namespace py = pybind11;
  const py::cpp_function before([] {
    py::gil_scoped_release release;
    internal::HoldOperationLocksForFork();
  });
  const py::cpp_function after([] { internal::ReleaseOperationLocksAfterFork(); });
  py::module_::import("os").attr("register_at_fork")(
      py::arg("before") = before, py::arg("after_in_parent") = after,
      py::arg("after_in_child") = after);
}

}  // namespace ombrix::python
