// How the bindings turn failures into Python errors. KeyboardInterrupt, SystemExit and
// MemoryError (std::bad_alloc included) always reach the caller unchanged; a Python error
// that a binding reports in its own words keeps its text and stays attached as the cause.
// Every function here needs the interpreter lock.
#pragma once

#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string>

namespace ombrix::python {

// A failure of a binding whose cause is a Python exception. what() is the binding's text;
// the Python exception becomes __cause__ of whatever is raised for it.
class PythonCausedError : public std::runtime_error {
 public:
  PythonCausedError(const std::string& what, pybind11::error_already_set cause);
  const pybind11::error_already_set& cause() const { return cause_; }

 private:
  pybind11::error_already_set cause_;
};

// True for the Python errors that no binding may turn into another error.
bool MustPassUnchanged(const pybind11::error_already_set& e);

// "<type name>: <message>" of a Python exception, without a traceback.
std::string PythonErrorText(const pybind11::error_already_set& e);

// REQUIRES: inside a handler of e. Rethrows e when MustPassUnchanged, otherwise throws
// PythonCausedError(prefix + PythonErrorText(e), e).
[[noreturn]] void RethrowWithPrefix(const std::string& prefix,
                                    const pybind11::error_already_set& e);

// Sets the interpreter's error to `type` (a Python exception class) with e.what() as its
// message and e.cause() as its cause; RaiseChained then throws it as error_already_set.
void SetChainedError(PyObject* type, const PythonCausedError& e);
[[noreturn]] void RaiseChained(PyObject* type, const PythonCausedError& e);

// REQUIRES: inside a catch block. Raises the exception being handled as ValueError, except
// TypeError raised by a binding, what MustPassUnchanged and std::bad_alloc, which pass
// unchanged; a Python error is chained as the cause of the ValueError.
[[noreturn]] void RethrowAsValueError();

// Registers the translation of a PythonCausedError that no binding caught: RuntimeError
// with its cause.
void RegisterErrorTranslators();

// The interpreter's pending signals are handled here; a KeyboardInterrupt (or whatever the
// handler raises) leaves as pybind11::error_already_set. Long conversions call it every
// few thousand items so that Ctrl-C is heard before anything is stored.
void CheckSignals();
inline constexpr size_t kItemsBetweenSignalChecks = 4096;

// "Item at index <position>, field '<field>': "
std::string FieldContext(size_t position, const char* field);

// Runs convert(); a failure is reported with FieldContext before its own text (a Python
// cause kept), except what must pass unchanged.
template <typename Convert>
decltype(auto) ConvertField(size_t position, const char* field, Convert&& convert) {
  try {
    return convert();
  } catch (const pybind11::error_already_set& e) {
    RethrowWithPrefix(FieldContext(position, field), e);
  } catch (const PythonCausedError&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    throw std::invalid_argument(FieldContext(position, field) + e.what());
  }
}

}  // namespace ombrix::python
