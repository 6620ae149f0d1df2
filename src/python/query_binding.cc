#include <pybind11/stl.h>

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "python/conversions.h"
#include "python/errors.h"
#include "python/index_operations.h"

namespace py = pybind11;

namespace ombrix::python {

namespace {

struct QueryMatrix {
  Matrix<float> vectors;
  bool flat = false;  // one query given as one vector: return its results unnested
};

QueryMatrix FromVectors(const py::object& query_vectors) {
  py::module_ numpy = py::module_::import("numpy");
  QueryMatrix q;
  if (py::isinstance(query_vectors, numpy.attr("ndarray")) &&
      py::object(query_vectors.attr("dtype")).equal(numpy.attr("dtype")("float32"))) {
    const int ndim = query_vectors.attr("ndim").cast<int>();
    if (ndim != 1 && ndim != 2) throw py::type_error("query_vector must be a 1D or 2D NumPy array.");
    q.vectors = buffer_to_matrix(query_vectors, /*allow_1d=*/ndim == 1);
    q.flat = ndim == 1;
    return q;
  }
  if (PyList_Check(query_vectors.ptr())) {
    const py::list rows = py::reinterpret_steal<py::list>(PySequence_List(query_vectors.ptr()));
    std::vector<std::vector<float>> values;
    values.reserve(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
      if (i % kItemsBetweenSignalChecks == 0) CheckSignals();
      try {
        values.push_back(py::cast<std::vector<float>>(rows[i]));
      } catch (const py::cast_error& e) {
        throw py::cast_error("Query vector at index " + std::to_string(i) + ": " + e.what());
      }
    }
    q.flat = values.size() == 1 && !values[0].empty();
    q.vectors = vectors_to_matrix(values);
    return q;
  }
  throw py::value_error("query_vector must be a 1D or 2D NumPy array or List[List[float]].");
}

QueryMatrix FromContents(EncryptedIndex& index, const py::object& query_contents) {
  const std::optional<std::string> model_name = EmbeddingModelName(index);
  // The native operations of a deleted index refuse with this text; so does this one.
  if (!model_name) throw py::value_error(kNotConnectedMessage);
  if (model_name->empty()) {
    throw py::value_error(
        "Index was not set up for automatic embedding generation. Provide `vector` explicitly or "
        "create a new index with an embedding model.");
  }
  QueryMatrix q;
  try {
    // The index's Python object, which owns `index`: the model is kept with it.
    const py::object owner = py::cast(&index, py::return_value_policy::reference);
    py::object model = IndexEmbeddingModel(owner, *model_name);
    if (!PyUnicode_Check(query_contents.ptr())) {
      throw py::value_error("'query_contents' must be of type `str` for auto-embedding.");
    }
    q.vectors = vectors_to_matrix({py::cast<std::vector<float>>(model.attr("encode")(query_contents))});
  } catch (const py::error_already_set& e) {
    RethrowWithPrefix("Failed to encode query_contents: ", e);
  }
  q.flat = true;
  return q;
}

std::string FiltersText(const py::dict& filters) {
  if (filters.empty()) return std::string();
  try {
    return py::module_::import("json").attr("dumps")(filters).cast<std::string>();
  } catch (const py::error_already_set& e) {
    try {
      RethrowWithPrefix("Failed to serialize filters to JSON: ", e);
    } catch (const PythonCausedError& caused) {
      RaiseChained(PyExc_ValueError, caused);
    }
  }
}

py::str DecodeUtf8(const std::string& text) {
  return py::reinterpret_steal<py::str>(
      [&] {
        PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
        if (s == nullptr) throw py::error_already_set();
        return s;
      }());
}

py::list ResultLists(const QueryResults& results) {
  py::object loads = py::module_::import("json").attr("loads");
  py::list outer;
  for (uint64_t q = 0; q < results.n_queries; ++q) {
    const QueryResultRow found = results.ForQuery(q);
    py::list row;
    for (uint64_t j = 0; j < found.count; ++j) {
      py::dict item;
      item["id"] = DecodeUtf8(found.ids[j]);
      item["distance"] = py::float_(found.distances[j]);
      if (found.metadata != nullptr && j < found.metadata->size() && !(*found.metadata)[j].empty()) {
        item["metadata"] = loads(py::str((*found.metadata)[j]));
      } else {
        item["metadata"] = py::dict();
      }
      row.append(std::move(item));
    }
    outer.append(std::move(row));
  }
  return outer;
}

}  // namespace

py::object QueryFromPython(EncryptedIndex& index, const QueryArguments& args) {
  QueryMatrix q;
  if (!args.query_vectors.is_none()) {
    q = FromVectors(args.query_vectors);
  } else if (args.query_contents.is_none()) {
    throw py::value_error("Provide at least one: query_vector or query_contents.");
  } else {
    q = FromContents(index, args.query_contents);
  }
  RequireFiniteValues(q.vectors);

  QueryParams params;
  params.top_k = args.top_k.value_or(100);
  if (params.top_k > std::numeric_limits<uint32_t>::max()) {
    throw py::value_error("top_k must be at most 4294967295.");
  }
  params.n_probes = args.n_probes.value_or(0);
  params.filters = FiltersText(args.filters);
  const auto named = [&](const char* name) {
    return std::find(args.include.begin(), args.include.end(), name) != args.include.end();
  };
  if (named("metadata")) params.include.push_back(kQueryMetadata);
  if (named("distance")) params.include.push_back(kQueryDistance);
  params.greedy = args.greedy;

  QueryResults results;
  try {
    py::gil_scoped_release release;
    results = index.Query(q.vectors, params);
  } catch (const std::runtime_error& e) {
    throw py::value_error(e.what());
  }

  py::list outer = ResultLists(results);
  if (q.flat && outer.size() == 1) return outer[0];
  return outer;
}

}  // namespace ombrix::python
