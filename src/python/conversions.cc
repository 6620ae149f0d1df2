#include "python/conversions.h"

#include <pybind11/gil_safe_call_once.h>

#include <cmath>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

#include "python/errors.h"

namespace py = pybind11;

namespace ombrix::python {

Matrix<float> vectors_to_matrix(const std::vector<std::vector<float>>& rows) {
  Matrix<float> m;
  if (rows.empty()) return m;
  m.rows = rows.size();
  m.cols = rows.front().size();
  for (size_t r = 0; r < rows.size(); ++r) {
    if (rows[r].size() != m.cols) {
      throw std::invalid_argument("All vectors must have the same length (row " + std::to_string(r) +
                                  " has " + std::to_string(rows[r].size()) + " values, expected " +
                                  std::to_string(m.cols) + ").");
    }
  }
  m.data.resize(m.rows * m.cols);
  // Rows of no values have no storage: memcpy must not see their null pointers.
  if (m.cols == 0) return m;
  for (size_t r = 0; r < rows.size(); ++r) {
    std::memcpy(m.data.data() + r * m.cols, rows[r].data(), m.cols * sizeof(float));
  }
  return m;
}

namespace {

// Owns a buffer view so it is released on every path.
class BufferView {
 public:
  explicit BufferView(PyObject* object) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_STRIDES | PyBUF_FORMAT) != 0) {
      throw py::error_already_set();
    }
  }
  ~BufferView() { PyBuffer_Release(&view_); }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  const Py_buffer& operator*() const { return view_; }

 private:
  Py_buffer view_{};
};

bool IsFloat32Format(const char* format) {
  if (format == nullptr) return false;
  // Native or explicit little-endian standard-size float.
  if (format[0] == '@' || format[0] == '=' || format[0] == '<') ++format;
  return std::strcmp(format, "f") == 0;
}

}  // namespace

Matrix<float> buffer_to_matrix(const py::handle& array, bool allow_1d) {
  BufferView holder(array.ptr());
  const Py_buffer& view = *holder;

  uint64_t rows, cols;
  if (view.ndim == 2) {
    rows = static_cast<uint64_t>(view.shape[0]);
    cols = static_cast<uint64_t>(view.shape[1]);
  } else if (view.ndim == 1 && allow_1d) {
    rows = 1;
    cols = static_cast<uint64_t>(view.shape[0]);
  } else {
    throw std::runtime_error(std::string("Expected a 2D array") +
                             (allow_1d ? " or a 1D array if allowed." : "."));
  }
  if (!IsFloat32Format(view.format) || view.itemsize != sizeof(float)) {
    throw std::runtime_error("Expected a float32 array.");
  }
  if ((view.buf == nullptr && rows * cols != 0) ||
      static_cast<uint64_t>(view.len) != rows * cols * sizeof(float)) {
    throw std::runtime_error("Buffer size mismatch or null pointer.");
  }

  Matrix<float> m;
  m.rows = rows;
  m.cols = cols;
  m.data.resize(rows * cols);
  if (rows * cols == 0) return m;
  const Py_ssize_t row_stride = view.ndim == 2 ? view.strides[0] : 0;
  const Py_ssize_t col_stride = view.strides[view.ndim - 1];
  const auto* base = static_cast<const char*>(view.buf);
  if (col_stride == static_cast<Py_ssize_t>(sizeof(float)) &&
      (rows == 1 || row_stride == static_cast<Py_ssize_t>(cols * sizeof(float)))) {
    std::memcpy(m.data.data(), base, rows * cols * sizeof(float));
    return m;
  }
  for (uint64_t r = 0; r < rows; ++r) {
    const char* row = base + static_cast<Py_ssize_t>(r) * row_stride;
    for (uint64_t c = 0; c < cols; ++c) {
      std::memcpy(&m.data[r * cols + c], row + static_cast<Py_ssize_t>(c) * col_stride, sizeof(float));
    }
  }
  return m;
}

py::object load_embedding_model(const std::string& model_name) {
  py::gil_scoped_acquire gil;
  py::module_ package;
  try {
    package = py::module_::import("sentence_transformers");
  } catch (const py::error_already_set& e) {
    // Only a failed import means the package is missing; its cause says what failed.
    if (MustPassUnchanged(e)) throw;
    throw PythonCausedError(
        "To use automatic embedding functionality, please install the required dependency: pip "
        "install ombrixdb-core[embeddings]",
        e);
  }
  try {
    py::object name = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(model_name.data(), static_cast<Py_ssize_t>(model_name.size()), nullptr));
    if (!name) throw py::error_already_set();
    return package.attr("SentenceTransformer")(name);
  } catch (const py::error_already_set& e) {
    if (!MustPassUnchanged(e)) std::cerr << "Python Exception: " << PythonErrorText(e) << std::endl;
    RethrowWithPrefix("Failed to load embedding model: ", e);
  }
}

namespace {

// The model of one index object. `model` and `name` are read and written with the
// interpreter lock held; `loading` is held by the one thread that makes the model.
struct ModelSlot {
  std::mutex loading;
  std::string name;
  py::object model;
  py::object release_with_index;  // weak reference whose callback drops the slot
};

using ModelSlotTable = std::unordered_map<PyObject*, std::shared_ptr<ModelSlot>>;

// Keyed by the index object; guarded by the interpreter lock. No iterator is kept across
// a Python call: a callback run by the collector may drop another slot meanwhile. Never
// destroyed, so slots still held at exit are not released after the interpreter is gone.
ModelSlotTable& ModelSlots() {
  PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<ModelSlotTable> table;
  return table.call_once_and_store_result([] { return ModelSlotTable(); }).get_stored();
}

std::shared_ptr<ModelSlot> SlotOf(const py::handle& index_object) {
  PyObject* key = index_object.ptr();
  if (auto found = ModelSlots().find(key); found != ModelSlots().end()) return found->second;
  auto slot = std::make_shared<ModelSlot>();
  // The object's address names no other object before its weak references are cleared.
  slot->release_with_index = py::weakref(index_object, py::cpp_function([key](py::handle) {
    auto found = ModelSlots().find(key);
    if (found == ModelSlots().end()) return;
    // Releasing the model may run Python code; the table is consistent by then.
    const std::shared_ptr<ModelSlot> gone = std::move(found->second);
    ModelSlots().erase(found);
  }));
  // Another thread may have added a slot while the weak reference was made.
  return ModelSlots().try_emplace(key, slot).first->second;
}

}  // namespace

py::object IndexEmbeddingModel(const py::handle& index_object, const std::string& model_name) {
  const std::shared_ptr<ModelSlot> slot = SlotOf(index_object);
  if (slot->model && slot->name == model_name) return slot->model;
  std::unique_lock<std::mutex> loading(slot->loading, std::defer_lock);
  {
    // The loading thread needs the interpreter lock to finish.
    py::gil_scoped_release release;
    loading.lock();
  }
  if (!slot->model || slot->name != model_name) {
    slot->model = load_embedding_model(model_name);
    slot->name = model_name;
  }
  return slot->model;
}

py::object EmbeddingDimension(const py::handle& model) {
  if (py::hasattr(model, "get_embedding_dimension")) return model.attr("get_embedding_dimension")();
  return model.attr("get_sentence_embedding_dimension")();
}

void RequireFiniteValues(const Matrix<float>& vectors) {
  for (float v : vectors.data) {
    if (!std::isfinite(v)) throw std::invalid_argument("Vectors must contain only finite values.");
  }
}

}  // namespace ombrix::python
