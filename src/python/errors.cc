#include "python/errors.h"

#include <new>

namespace py = pybind11;

namespace ombrix::python {

PythonCausedError::PythonCausedError(const std::string& what, py::error_already_set cause)
    : std::runtime_error(what), cause_(std::move(cause)) {}

bool MustPassUnchanged(const py::error_already_set& e) {
  return e.matches(PyExc_KeyboardInterrupt) || e.matches(PyExc_SystemExit) ||
         e.matches(PyExc_MemoryError);
}

std::string PythonErrorText(const py::error_already_set& e) {
  // str() of the value may itself fail; the type name is always there.
  std::string text = py::handle(e.type()).attr("__name__").cast<std::string>();
  PyObject* message = PyObject_Str(e.value().ptr());
  if (message == nullptr) {
    PyErr_Clear();
    return text;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(message, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
  } else if (size > 0) {
    text += ": " + std::string(utf8, static_cast<size_t>(size));
  }
  Py_DECREF(message);
  return text;
}

void RethrowWithPrefix(const std::string& prefix, const py::error_already_set& e) {
  if (MustPassUnchanged(e)) throw;
  throw PythonCausedError(prefix + PythonErrorText(e), e);
}

void SetChainedError(PyObject* type, const PythonCausedError& e) {
  const std::string text = e.what();
  // Each failing step leaves its own error set, which then stands instead.
  py::object message = py::reinterpret_steal<py::object>(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return;
  py::object raised = py::reinterpret_steal<py::object>(PyObject_CallOneArg(type, message.ptr()));
  if (!raised) return;
  // Both steal a reference; the context is what `raise ... from` would leave as well.
  PyException_SetCause(raised.ptr(), e.cause().value().inc_ref().ptr());
  PyException_SetContext(raised.ptr(), e.cause().value().inc_ref().ptr());
  PyErr_SetObject(type, raised.ptr());
}

void RaiseChained(PyObject* type, const PythonCausedError& e) {
  SetChainedError(type, e);
  throw py::error_already_set();
}

void RethrowAsValueError() {
  try {
    throw;
  } catch (const py::error_already_set& e) {
    if (MustPassUnchanged(e)) throw;
    RaiseChained(PyExc_ValueError, PythonCausedError(PythonErrorText(e), e));
  } catch (const PythonCausedError& e) {
    RaiseChained(PyExc_ValueError, e);
  } catch (const py::type_error&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    throw py::value_error(e.what());
  }
}

void RegisterErrorTranslators() {
  py::register_exception_translator([](std::exception_ptr raised) {
    try {
      if (raised) std::rethrow_exception(raised);
    } catch (const PythonCausedError& e) {
      SetChainedError(PyExc_RuntimeError, e);
    }
  });
}

void CheckSignals() {
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

std::string FieldContext(size_t position, const char* field) {
  return "Item at index " + std::to_string(position) + ", field '" + field + "': ";
}

}  // namespace ombrix::python
