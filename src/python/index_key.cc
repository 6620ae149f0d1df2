#include "python/index_key.h"

#include <cstring>
#include <stdexcept>
#include <string>

namespace py = pybind11;

namespace ombrix::python {

namespace {

constexpr Py_ssize_t kKeyBytes = 32;

uint8_t KeyByte(const py::handle& element) { return py::cast<uint8_t>(element); }

void FromList(const py::handle& list, Key256& key) {
  if (PyList_GET_SIZE(list.ptr()) != kKeyBytes) {
    throw std::invalid_argument("index_key must be exactly 32 elements");
  }
  for (Py_ssize_t i = 0; i < kKeyBytes; ++i) {
    // Converting an element may run Python code that shrinks the list: fetch each one
    // with a checked read and hold a reference while it is converted.
    PyObject* borrowed = PyList_GetItem(list.ptr(), i);
    if (borrowed == nullptr) {
      PyErr_Clear();
      throw std::invalid_argument("index_key must be exactly 32 elements");
    }
    key[i] = KeyByte(py::reinterpret_borrow<py::object>(borrowed));
  }
}

}  // namespace

void ConvertIndexKey(const py::handle& index_key, Key256& key) {
  if (PyBytes_Check(index_key.ptr())) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(index_key.ptr(), &data, &size) != 0) throw py::error_already_set();
    if (size != kKeyBytes) throw std::invalid_argument("index_key must be exactly 32 bytes");
    std::memcpy(key.data(), data, kKeyBytes);
    return;
  }
  if (PyList_Check(index_key.ptr())) {
    FromList(index_key, key);
    return;
  }
  if (PyTuple_Check(index_key.ptr())) {
    py::list as_list = py::reinterpret_borrow<py::tuple>(index_key);
    FromList(as_list, key);
    return;
  }
  if (!py::hasattr(index_key, "__getitem__") || !py::hasattr(index_key, "__len__")) {
    throw std::invalid_argument(
        "index_key must be bytes, list, tuple, or array-like object with 32 elements");
  }
  if (py::len(index_key) != static_cast<size_t>(kKeyBytes)) {
    throw std::invalid_argument("index_key must be exactly 32 elements");
  }
  py::object getitem = index_key.attr("__getitem__");
  for (Py_ssize_t i = 0; i < kKeyBytes; ++i) key[i] = KeyByte(getitem(i));
}

}  // namespace ombrix::python
