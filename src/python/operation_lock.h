// Taking an index's operation lock from a binding that holds the interpreter lock.
// A thread holding the operation lock may wait for the interpreter lock (an upsert
// converts Python values with both held), so no thread may wait for the operation lock
// while holding the interpreter lock: the wait happens with the interpreter lock released.
#pragma once

#include <pybind11/pybind11.h>

#include "index/encrypted_index.h"

namespace ombrix::python {

// REQUIRES: the interpreter lock is held; it is held again on return.
inline EncryptedIndex::OperationLock LockIndexForPython(EncryptedIndex& index) {
  pybind11::gil_scoped_release release;
  return index.LockOperations();
}

}  // namespace ombrix::python
