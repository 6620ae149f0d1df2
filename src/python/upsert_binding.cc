#include <pybind11/stl.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "index/metadata_filter.h"
#include "python/conversions.h"
#include "python/errors.h"
#include "python/index_operations.h"
#include "python/operation_lock.h"

namespace py = pybind11;
using namespace pybind11::literals;

namespace ombrix::python {

namespace {

constexpr char kNotSetUpForEmbedding[] =
    "Index was not set up for automatic embedding generation. Provide `vector` explicitly or "
    "create a new index with an embedding model.";

struct UpsertBatch {
  std::vector<std::string> ids;
  Matrix<float> vectors;
  std::vector<std::vector<uint8_t>> contents;
  std::vector<std::string> metadata;
};

bool IsValidUtf8(const std::string& text) {
  PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
  if (decoded == nullptr) {
    PyErr_Clear();
    return false;
  }
  Py_DECREF(decoded);
  return true;
}

// An id from str (UTF-8), bytes or bytearray. Raw bytes that are no UTF-8 would be stored
// and then break every read that returns ids as str, so they are refused here.
// Callers name the item (ConvertField).
std::string ItemId(const py::handle& value) {
  std::string id = py::cast<std::string>(value);
  if (!PyUnicode_Check(value.ptr()) && !IsValidUtf8(id)) {
    throw std::invalid_argument("not valid UTF-8.");
  }
  return id;
}

std::vector<uint8_t> Utf8Bytes(const py::handle& text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (data == nullptr) throw py::error_already_set();
  return std::vector<uint8_t>(data, data + size);
}

std::vector<uint8_t> ContentsBytes(const py::handle& value) {
  if (PyBytes_Check(value.ptr())) {
    const std::string_view bytes(PyBytes_AS_STRING(value.ptr()),
                                 static_cast<size_t>(PyBytes_GET_SIZE(value.ptr())));
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
  }
  if (PyUnicode_Check(value.ptr())) return Utf8Bytes(value);
  throw std::invalid_argument("'contents' must be of type `bytes` or `str`.");
}

// Refuses what the engine would store but never read back sensibly: rows without
// components and non-finite values.
void CheckVectors(const Matrix<float>& vectors) {
  if (vectors.rows > 0 && vectors.cols == 0) {
    throw std::invalid_argument("Vectors must have at least one component.");
  }
  RequireFiniteValues(vectors);
}

// Metadata text that the engine's JSON reader refuses would be stored and later fail
// every filtered query of its list; metadata nested without bound would let the filter's
// walkers recurse without bound.
void CheckMetadataJson(const std::string& text, size_t position) {
  nlohmann::json parsed;
  try {
    parsed = nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& e) {
    throw std::invalid_argument("Invalid metadata JSON at index " + std::to_string(position) +
                                ": " + e.what());
  }
  if (ExceedsNestingDepth(parsed)) {
    throw std::invalid_argument("Metadata at index " + std::to_string(position) +
                                " is nested deeper than the maximum depth of " +
                                std::to_string(kMaxNestingDepth) + ".");
  }
}

bool IsNumpyArray(const py::handle& value) {
  return py::isinstance(value, py::module_::import("numpy").attr("ndarray"));
}

UpsertBatch IdsAndVectors(const py::object& ids, const py::object& vectors) {
  if (!IsNumpyArray(vectors)) throw py::type_error("Second argument must be a numpy array for vectors.");
  if (py::str(vectors.attr("dtype")).cast<std::string>() != "float32") {
    throw py::type_error("vectors must be float32.");
  }
  UpsertBatch batch;
  if (PyList_Check(ids.ptr())) {
    const py::list snapshot = py::reinterpret_steal<py::list>(PySequence_List(ids.ptr()));
    batch.ids.reserve(snapshot.size());
    for (size_t i = 0; i < snapshot.size(); ++i) {
      if (i % kItemsBetweenSignalChecks == 0) CheckSignals();
      batch.ids.push_back(ConvertField(i, "id", [&] { return ItemId(snapshot[i]); }));
    }
  } else if (IsNumpyArray(ids)) {
    if (ids.attr("ndim").cast<int>() != 1) throw py::type_error("ids array must be 1D.");
    batch.ids.reserve(ids.attr("size").cast<size_t>());
    for (const py::handle element : ids.attr("tolist")()) {
      batch.ids.push_back(py::str(element).cast<std::string>());
    }
  } else {
    throw py::type_error(
        "Invalid argument types. Expected a list of dicts for single arg mode, (list[str], float32 "
        "np.ndarray) or (int32/int64 np.ndarray, float32 np.ndarray) for two-arg mode.");
  }
  batch.vectors = buffer_to_matrix(vectors, /*allow_1d=*/false);
  return batch;
}

// One encode call for every text; row k becomes the vector of the item at positions[k].
void EmbedTexts(const std::optional<std::string>& model_name, const py::list& texts,
                const std::vector<size_t>& positions, std::vector<std::vector<float>>& vectors) {
  if (!model_name) throw std::runtime_error(kNotConnectedMessage);
  if (model_name->empty()) throw std::invalid_argument(kNotSetUpForEmbedding);
  py::object model = load_embedding_model(*model_name);
  try {
    if (texts.size() == 1) {
      vectors[positions[0]] =
          py::cast<std::vector<float>>(model.attr("encode")(texts[0], "convert_to_numpy"_a = true));
      return;
    }
    py::module_ numpy = py::module_::import("numpy");
    py::object result = numpy.attr("asarray")(model.attr("encode")(texts, "convert_to_numpy"_a = true));
    const int ndim = result.attr("ndim").cast<int>();
    if (ndim != 2) {
      throw std::invalid_argument("Expected 2D array from batch encoding, got " + std::to_string(ndim) + "D");
    }
    if (result.attr("shape")[py::int_(0)].cast<size_t>() != texts.size()) {
      throw std::invalid_argument("Mismatch between number of embeddings returned and texts provided.");
    }
    // A model may hand back another float width or layout: its values, not its bytes, are
    // wanted, in rows.
    result = numpy.attr("ascontiguousarray")(result, "dtype"_a = numpy.attr("float32"));
    const Matrix<float> rows = buffer_to_matrix(result, /*allow_1d=*/false);
    for (size_t k = 0; k < positions.size(); ++k) {
      vectors[positions[k]].assign(rows.data.begin() + k * rows.cols,
                                   rows.data.begin() + (k + 1) * rows.cols);
    }
  } catch (const py::error_already_set& e) {
    RethrowWithPrefix("Failed to process batch embeddings: ", e);
  }
}

UpsertBatch ListOfDicts(EncryptedIndex& index, const py::object& arg1) {
  if (!PyList_Check(arg1.ptr()) || PyList_GET_SIZE(arg1.ptr()) == 0 ||
      !PyDict_Check(PyList_GET_ITEM(arg1.ptr(), 0))) {
    throw py::type_error("Invalid arguments. Expected a list of dicts when passing a single argument.");
  }
  // dict() of an item may run Python code that changes the caller's list.
  const py::list items = py::reinterpret_steal<py::list>(PySequence_List(arg1.ptr()));
  const size_t n = items.size();
  py::object dumps = py::module_::import("json").attr("dumps");
  const std::optional<std::string> model_name = EmbeddingModelName(index);

  UpsertBatch batch;
  batch.ids.reserve(n);
  batch.contents.reserve(n);
  batch.metadata.reserve(n);
  std::vector<std::vector<float>> vectors(n);
  py::list texts;
  std::vector<size_t> text_positions;
  bool any_metadata = false;

  // Converting holds the interpreter lock: Ctrl-C is looked for every few thousand items,
  // and before anything is stored, so an interrupted upsert stores nothing.
  for (size_t i = 0; i < n; ++i) {
    if (i % kItemsBetweenSignalChecks == 0) CheckSignals();
    const py::dict item(items[i]);
    if (!item.contains("id")) throw std::invalid_argument("Each dictionary must contain an 'id' key.");
    batch.ids.push_back(ConvertField(i, "id", [&] { return ItemId(item["id"]); }));
    const bool has_vector = item.contains("vector");
    const bool has_contents = item.contains("contents");
    if (!has_vector && has_contents) {
      py::object text = item["contents"];
      if (!PyUnicode_Check(text.ptr())) {
        throw std::invalid_argument("'contents' must be of `str` type for auto-embedding.");
      }
      texts.append(py::str(text));
      text_positions.push_back(i);
    }
    batch.contents.push_back(has_contents ? ConvertField(i, "contents",
                                                         [&] { return ContentsBytes(item["contents"]); })
                                          : std::vector<uint8_t>());
    if (item.contains("metadata") && !item["metadata"].is_none()) {
      std::string text = ConvertField(i, "metadata", [&] {
        return dumps(py::dict(item["metadata"]), "allow_nan"_a = false).cast<std::string>();
      });
      CheckMetadataJson(text, i);
      batch.metadata.push_back(std::move(text));
      any_metadata = true;
    } else {
      batch.metadata.emplace_back();
    }
  }

  for (size_t i = 0; i < n; ++i) {
    const py::dict item(items[i]);
    if (i % kItemsBetweenSignalChecks == 0) CheckSignals();
    if (item.contains("vector")) {
      vectors[i] = ConvertField(i, "vector", [&] { return py::cast<std::vector<float>>(item["vector"]); });
    } else if (!item.contains("contents")) {
      throw std::invalid_argument("Item at index " + std::to_string(i) +
                                  " is missing both 'vector' and 'contents' fields.");
    }
  }

  if (!text_positions.empty()) EmbedTexts(model_name, texts, text_positions, vectors);
  if (!any_metadata) batch.metadata.clear();
  batch.vectors = vectors_to_matrix(vectors);
  return batch;
}

}  // namespace

std::optional<std::string> EmbeddingModelName(EncryptedIndex& index) {
  auto lock = LockIndexForPython(index);
  if (!index.config) return std::nullopt;
  return index.config->embedding_model.value_or(std::string());
}

void UpsertFromPython(EncryptedIndex& index, const py::object& arg1, const py::object& arg2) {
  try {
    UpsertBatch batch = arg2.is_none() ? ListOfDicts(index, arg1) : IdsAndVectors(arg1, arg2);
    CheckVectors(batch.vectors);
    CheckSignals();
    auto lock = LockIndexForPython(index);
    // The stores may keep it waiting up to their time limits; other Python threads run.
    py::gil_scoped_release release;
    index.Upsert(batch.ids, batch.vectors, batch.contents, batch.metadata);
  } catch (...) {
    RethrowAsValueError();
  }
}

}  // namespace ombrix::python
