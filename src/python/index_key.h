// The 32-byte index key from the Python forms create_index and load_index accept: bytes,
// a list or tuple of 32 integers, or any object with __getitem__ and __len__ (bytearray,
// numpy arrays). Needs the interpreter lock. No message names a key byte, only a position.
#pragma once

#include <pybind11/pybind11.h>

#include "encrypted_store/secret_bytes.h"

namespace ombrix::python {

// Fills `key` (wiped by its own destructor). Throws std::invalid_argument for a wrong
// length or kind, pybind11::cast_error for an element that is not an integer 0..255, and
// pybind11::error_already_set for a Python error raised by the object itself.
void ConvertIndexKey(const pybind11::handle& index_key, Key256& key);

}  // namespace ombrix::python
