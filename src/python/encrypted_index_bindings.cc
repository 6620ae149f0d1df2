#include <pybind11/stl.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "index_model/interruption.h"
#include "python/bindings.h"
#include "python/index_operations.h"
#include "python/operation_lock.h"

namespace py = pybind11;

namespace ombrix::python {

namespace {

// Runs read(config) with the operation lock held; a deleted index has no configuration
// and refuses as its native operations do.
template <typename Read>
auto ReadConfig(EncryptedIndex& index, Read read) {
  auto lock = LockIndexForPython(index);
  if (!index.config) throw std::runtime_error(kNotConnectedMessage);
  return read(*index.config);
}

const char* IndexTypeName(int32_t index_type) { return index_type == IVFFLAT ? "ivfflat" : "unknown"; }

py::dict IndexConfigDict(EncryptedIndex& index) {
  return ReadConfig(index, [](const IndexConfig& c) {
    py::dict d;
    d["dimension"] = c.dimension();
    d["metric"] = metric_name(static_cast<DistanceMetric>(c.metric));
    d["index_type"] = IndexTypeName(c.index_type);
    d["n_lists"] = c.n_lists();
    d["pq_dim"] = c.pq_dim();
    d["pq_bits"] = c.pq_bits();
    return d;
  });
}

// How often native work may take the interpreter lock to ask for pending signals: often
// enough for Ctrl-C to be heard at once, seldom enough not to slow other Python threads.
constexpr auto kSignalCheckPeriod = std::chrono::milliseconds(10);

// The interruption check of native work (interruption.h). A signal handler's exception
// (KeyboardInterrupt) stays set on the thread for the binding that ran the work to raise.
bool PythonSignalPending() {
  thread_local std::chrono::steady_clock::time_point next_check{};
  const auto now = std::chrono::steady_clock::now();
  if (now < next_check) return false;
  next_check = now + kSignalCheckPeriod;
  if (PyGILState_GetThisThreadState() == nullptr) return false;  // a thread Python never ran
  const PyGILState_STATE state = PyGILState_Ensure();
  const bool raised = PyErr_CheckSignals() != 0;
  PyGILState_Release(state);
  return raised;
}

void Train(EncryptedIndex& index, std::optional<uint64_t> n_lists, std::optional<uint64_t> batch_size,
           std::optional<uint64_t> max_iters, std::optional<double> tolerance,
           std::optional<uint64_t> /*max_memory: accepted, no effect*/) {
  bool trained = false;
  try {
    py::gil_scoped_release release;
    trained = index.TrainIndex(n_lists.value_or(0), batch_size.value_or(2048),
                               max_iters.value_or(100), tolerance.value_or(1e-6));
  } catch (const Interrupted&) {
    // Stopped before any store changed; the training put the handle back as it was.
    throw py::error_already_set();
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(e.what());
  }
  // The index's logger may stop at ERROR; the caller still has to hear that nothing changed.
  if (!trained && PyErr_WarnEx(PyExc_UserWarning, kTooFewToTrain, 1) != 0) {
    throw py::error_already_set();
  }
}

// Delete and DeleteIndex hand Python a plain RuntimeError, whatever runtime_error type
// the stores raised.
template <typename Body>
void RethrowPlainRuntimeError(Body body) {
  try {
    body();
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(e.what());
  }
}

void DeleteIndex(EncryptedIndex& index) {
  auto lock = LockIndexForPython(index);
  // A deletion waits for the trainings and writers of other processes: the other Python
  // threads go on meanwhile.
  RethrowPlainRuntimeError([&] {
    py::gil_scoped_release release;
    index.DeleteIndex();
  });
}

void DeleteItems(EncryptedIndex& index, const std::vector<std::string>& ids) {
  auto lock = LockIndexForPython(index);
  RethrowPlainRuntimeError([&] { index.Delete(ids); });
}

std::vector<std::string> ListIds(EncryptedIndex& index) {
  auto lock = LockIndexForPython(index);
  try {
    return index.ListIDs();
  } catch (const std::runtime_error& e) {
    throw py::value_error(e.what());
  }
}

uint64_t GetNumVectors(EncryptedIndex& index) {
  auto lock = LockIndexForPython(index);
  return index.GetNumVectors();
}

}  // namespace

void DefineEncryptedIndex(EncryptedIndexClass& cls) {
  SetInterruptionCheck(&PythonSignalPending);
  HoldOperationLocksAcrossPythonForks();
  cls
      .def(
          "is_trained",
          [](EncryptedIndex& index) {
            auto lock = LockIndexForPython(index);
            return index.is_trained();
          },
          "Return whether the index has been trained.")
      .def(
          "index_name",
          [](EncryptedIndex& index) {
            auto lock = LockIndexForPython(index);
            return index.index_name();
          },
          "Return the name of the index.")
      .def(
          "index_type",
          [](EncryptedIndex& index) {
            return ReadConfig(index, [](const IndexConfig& c) { return IndexTypeName(c.index_type); });
          },
          "Return the index type as a lower-case string.")
      .def("index_config", &IndexConfigDict,
           "Return the index configuration as a dict with the keys dimension, metric, index_type, "
           "n_lists, pq_dim and pq_bits.")
      .def_property_readonly(
          "n_lists",
          [](EncryptedIndex& index) {
            return ReadConfig(index, [](const IndexConfig& c) { return c.n_lists(); });
          },
          "int: Number of inverted lists.")
      .def_property_readonly(
          "dimension",
          [](EncryptedIndex& index) {
            return ReadConfig(index, [](const IndexConfig& c) { return c.dimension(); });
          },
          "int: Dimension of the vectors.")
      .def_property_readonly(
          "metric",
          [](EncryptedIndex& index) {
            return ReadConfig(index, [](const IndexConfig& c) {
              return metric_name(static_cast<DistanceMetric>(c.metric));
            });
          },
          "str: Distance metric of the index.")
      .def("delete_index", &DeleteIndex,
           R"doc(Delete the index and all its data from every store. This cannot be undone.

Waits (up to 120 s) for trainings and upserts of this index running in other processes,
and lets none start meanwhile. Afterwards the object is not connected: every operation
but index_name and is_trained raises the not-connected error, and other objects of the
index raise "Index '<name>' no longer exists: it was deleted".

Raises
------
RuntimeError
    If the index is not connected, a training of the index kept running past the wait,
    or something of it could not be deleted (the object then stays connected).
)doc")
      .def("get", &GetFromPython, py::arg("ids"),
           py::arg("include") = std::vector<std::string>{"vector", "contents", "metadata"},
           R"doc(Retrieve and decrypt the items of the given ids.

Parameters
----------
ids : list of str
    The ids to fetch; ids that are not stored are left out of the result.
include : list of str, optional
    Fields to return besides the id, in this order: "vector", "contents" and/or
    "metadata" (default all three). Other names are ignored.

Returns
-------
list of dict
    One dict per stored id, in the order of `ids`: "id" first, then the fields of
    `include`. "metadata" is {} and "contents" is b"" for an item stored without them.

Raises
------
RuntimeError
    If the index is not connected, was deleted through another object ("Index '<name>'
    no longer exists: it was deleted"), or the stores cannot be read.
)doc")
      .def("train", &Train, py::arg("n_lists") = py::none(), py::arg("batch_size") = py::none(),
           py::arg("max_iters") = py::none(), py::arg("tolerance") = py::none(),
           py::arg("max_memory") = py::none(),
           R"doc(Train the coarse quantizer of the index and refile every item under its lists.

Parameters
----------
n_lists : int or None, optional
    Number of inverted lists; 0 or None picks the largest power of two not above the
    number of stored vectors / 1000.
batch_size : int or None, optional
    Mini-batch size of k-means (default 2048).
max_iters : int or None, optional
    Number of k-means iterations (default 100).
tolerance : float or None, optional
    Convergence tolerance kept with the training settings (default 1e-6).
max_memory : int or None, optional
    Memory limit of the training, 0 = no limit (None, the default, is 0); this build
    sets no limit for any value.

At least 10,000 stored vectors are needed (fewer: a warning is logged and nothing
changes), and at least 2 * n_lists.

Raises
------
ValueError
    If there are fewer than 2 * n_lists vectors.
RuntimeError
    If the index is not connected or training fails.
KeyboardInterrupt
    If Ctrl-C (or another signal whose handler raises) arrives while the centroids are
    trained; the index is left as it was before the call.
)doc")
      .def("upsert", &UpsertFromPython, py::arg("arg1"), py::arg("arg2") = py::none(),
           R"doc(Add items to the index, or overwrite the items with the same ids.

Two call forms:

- ``upsert(items)``: a list of dicts, each with "id" (str or bytes) and "vector" (a
  sequence of floats), optional "contents" (bytes or str) and "metadata" (a dict). An
  item without "vector" whose "contents" is a str is embedded with the index's
  embedding model.
- ``upsert(ids, vectors)``: a list of ids (or a 1-D numpy array, its elements taken as
  text) and a 2-D float32 numpy array with one row per id.

Raises
------
TypeError
    If the arguments match neither form.
ValueError
    If an item or vector is refused, or the items cannot be stored.
)doc")
      .def("delete", &DeleteItems, py::arg("ids"),
           R"doc(Delete the items of the given ids from the index. This cannot be undone.

Ids that are not stored are no error. Another handle on the same index that caches lists
may still return a deleted item until its cache entry is replaced.

Parameters
----------
ids : list of str
    The ids of the items to delete.

Raises
------
RuntimeError
    If the index is not connected, was deleted through another object (nothing is
    deleted then), or the stores refuse the deletion.
)doc")
      .def(
          "query",
          [](EncryptedIndex& index, py::object query_vectors, py::object query_contents,
             std::optional<uint64_t> top_k, std::optional<uint64_t> n_probes, py::dict filters,
             std::vector<std::string> include, bool greedy) {
            return QueryFromPython(index, QueryArguments{std::move(query_vectors), std::move(query_contents),
                                                         top_k, n_probes, std::move(filters),
                                                         std::move(include), greedy});
          },
          py::arg("query_vectors") = py::none(), py::arg("query_contents") = py::none(),
          py::arg("top_k") = py::none(), py::arg("n_probes") = py::none(), py::arg("filters") = py::dict(),
          py::arg("include") = std::vector<std::string>{"distance", "metadata"}, py::arg("greedy") = false,
          R"doc(Find the nearest stored items of one or more query vectors, or of one text.

Parameters
----------
query_vectors : numpy.ndarray or list of list of float, optional
    A float32 array of shape (d,) or (n, d), or a list of rows.
query_contents : str, optional
    A text embedded with the index's embedding model; used when query_vectors is None.
top_k : int or None, optional
    Results per query (default 100).
n_probes : int or None, optional
    Lists to search per query; None or 0 chooses automatically.
filters : dict, optional
    Metadata filter document.
include : list of str, optional
    "distance" and/or "metadata" (default both).
greedy : bool, optional
    Greedy probe selection.

Returns
-------
list
    For one query given as a 1-D array, one row or a text: a list of dicts with keys
    "id", "distance" and "metadata", nearest first. Otherwise one such list per query.
)doc")
      .def("get_num_vectors", &GetNumVectors,
           R"doc(Return the number of vectors ever added to the index.

Replaced and deleted items are counted too.

Raises
------
RuntimeError
    If the index is not connected.
)doc")
      .def("list_ids", &ListIds,
           R"doc(Return the ids of all items stored in the index.

Returns
-------
list of str
    Every stored id, in the stores' order.

Raises
------
ValueError
    If the index is not connected or the stores cannot be read.
)doc");
}

}  // namespace ombrix::python
