#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "index/client.h"
#include "python/bindings.h"
#include "python/conversions.h"
#include "python/errors.h"
#include "python/index_key.h"

namespace py = pybind11;

namespace ombrix::python {

namespace {

std::optional<DistanceMetric> ParseMetric(const std::optional<std::string>& metric) {
  if (!metric) return std::nullopt;
  if (*metric == "cosine") return Cosine;
  if (*metric == "euclidean") return Euclidean;
  if (*metric == "squared_euclidean") return SquaredEuclidean;
  throw std::invalid_argument("Invalid distance metric: " + *metric);
}

// The configuration of a new index; with an embedding model, a new IVF-Flat
// configuration of the model's dimension (the caller's object is never changed).
std::shared_ptr<IndexConfig> ConfigForCreate(std::shared_ptr<IndexConfig> index_config,
                                             const std::optional<std::string>& embedding_model) {
  std::shared_ptr<IndexConfig> base =
      index_config ? std::move(index_config) : std::make_shared<IndexIVFFlat>(0, std::string());
  if (!embedding_model || embedding_model->empty()) return base;

  py::object model = load_embedding_model(*embedding_model);
  py::object dimension = EmbeddingDimension(model);
  const std::string no_dimension =
      "Unable to determine embedding dimension for model: " + *embedding_model;
  if (dimension.is_none()) throw std::runtime_error(no_dimension);
  const int32_t model_dimension = py::cast<int32_t>(dimension);
  if (model_dimension <= 0) throw std::runtime_error(no_dimension);
  if (dynamic_cast<IndexIVFFlat*>(base.get()) == nullptr) {
    throw std::runtime_error("Unknown IndexConfig type: Cannot modify configuration.");
  }
  return std::make_shared<IndexIVFFlat>(static_cast<uint64_t>(model_dimension), *embedding_model);
}

// The stores log the WARNING of a TLS connection without server verification, which a
// logger at ERROR (an index made without a logger) keeps to itself: Python hears it too.
void WarnOfUnverifiedTls(const Client& client) {
  for (const std::string& warning : client.UnverifiedTlsWarnings()) {
    if (PyErr_WarnEx(PyExc_UserWarning, warning.c_str(), 1) != 0) throw py::error_already_set();
  }
}

std::unique_ptr<EncryptedIndex> CreateIndex(Client& client, const std::string& index_name,
                                            const py::object& index_key,
                                            std::shared_ptr<IndexConfig> index_config,
                                            std::optional<uint64_t> max_cache_size,
                                            const std::optional<std::string>& embedding_model,
                                            const std::optional<std::string>& metric,
                                            const py::object& logger) {
  try {
    Key256 key;
    ConvertIndexKey(index_key, key);
    Logger* chosen_logger = logger.is_none() ? nullptr : py::cast<Logger*>(logger);
    const std::optional<DistanceMetric> metric_override = ParseMetric(metric);
    const std::shared_ptr<IndexConfig> config = ConfigForCreate(std::move(index_config), embedding_model);
    WarnOfUnverifiedTls(client);
    return client.CreateIndex(index_name, key, *config, max_cache_size, metric_override, chosen_logger);
  } catch (const PythonCausedError& e) {
    RaiseChained(PyExc_ValueError, e);
  } catch (const std::invalid_argument& e) {
    throw py::value_error(e.what());
  } catch (const std::runtime_error& e) {
    throw py::value_error(e.what());
  }
}

std::unique_ptr<EncryptedIndex> LoadIndex(Client& client, const std::string& index_name,
                                          const py::object& index_key,
                                          std::optional<int32_t> max_cache_size,
                                          const py::object& logger) {
  try {
    Key256 key;
    ConvertIndexKey(index_key, key);
    Logger* chosen_logger = logger.is_none() ? nullptr : py::cast<Logger*>(logger);
    // A negative size widens with its sign: a capacity larger than any index.
    std::optional<uint64_t> capacity;
    if (max_cache_size) capacity = static_cast<uint64_t>(static_cast<int64_t>(*max_cache_size));
    WarnOfUnverifiedTls(client);
    return client.LoadIndex(index_name, key, capacity, chosen_logger);
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(e.what());
  }
}

std::vector<std::string> ListIndexes(const Client& client) {
  try {
    return client.ListIndexes();
  } catch (const std::invalid_argument& e) {
    throw py::value_error(e.what());
  } catch (const std::runtime_error& e) {
    throw py::value_error(e.what());
  }
}

}  // namespace

void DefineClient(ClientClass& cls) {
  cls
      .def(py::init([](const std::string& api_key, const DBConfig& index_location,
                       const DBConfig& config_location, const DBConfig& items_location,
                       int32_t cpu_threads, bool gpu_accelerate) {
             return std::make_unique<Client>(api_key, index_location, config_location,
                                             items_location, cpu_threads, gpu_accelerate, WorkingDir());
           }),
           py::arg("api_key"), py::arg("index_location"), py::arg("config_location"),
           py::arg("items_location"), py::arg("cpu_threads") = 0, py::arg("gpu_accelerate") = false,
           R"doc(Create a new OmbrixDB client.

Parameters
----------
api_key : str
    Account key under which usage telemetry is sent.
index_location : DBConfig
    Where the index storage of every index lives.
config_location : DBConfig
    Where the index metadata (index and configuration records) lives.
items_location : DBConfig
    Where the item contents live.
cpu_threads : int, optional
    Number of CPU threads for index work; 0 (the default) uses all cores.
gpu_accelerate : bool, optional
    Accepted for compatibility; GPU acceleration is not available in this build.

Raises
------
RuntimeError
    If the telemetry client cannot be initialised.

Example
-------
>>> mem = DBConfig("memory")
>>> client = Client("my-api-key", mem, mem, mem)
)doc")
      .def("list_indexes", &ListIndexes,
           R"doc(List the names of all encrypted OmbrixDB indexes reachable through the client.

Returns
-------
list of str
    The names of the indexes with a configuration record at the client's config location.

Raises
------
ValueError
    If the index location is not PostgreSQL ("Index listing is available only for a
    PostgreSQL index location."), if the config location is not PostgreSQL, or with the
    listing's own error when it fails (no table name or connection string, no
    connection, no such table); that error is also written to standard error.
)doc")
      .def("create_index", &CreateIndex, py::arg("index_name"), py::arg("index_key"),
           py::arg("index_config") = py::none(), py::arg("max_cache_size") = 0,
           py::arg("embedding_model") = py::none(), py::arg("metric") = py::none(),
           py::arg("logger") = py::none(),
           R"doc(Create a new encrypted OmbrixDB index.

Parameters
----------
index_name : str
    Unique name of the index (1 to 255 bytes of UTF-8).
index_key : bytes or sequence of int
    The 32-byte key of the index: bytes, or a list, tuple or array of 32 integers 0-255.
index_config : IndexConfig or None, optional
    Index configuration; an IndexIVFFlat with the dimension taken from the first upsert
    when None.
max_cache_size : int or None, optional
    Number of lists kept decrypted in memory; 0 or None for no cache.
embedding_model : str or None, optional
    Sentence-embedding model used to embed `contents` given without a vector; the index
    dimension becomes the model's.
metric : str or None, optional
    Overrides the configuration's metric: "cosine", "euclidean" or "squared_euclidean".
logger : Logger or None, optional
    Logger of the index; when None the process-wide logger is reset to ERROR on the
    console and used.

Returns
-------
EncryptedIndex
    The new index.

Raises
------
ValueError
    If an argument is refused or the index cannot be created.

Warns
-----
UserWarning
    For each Redis location that asks for TLS without ca_cert or ca_path: the connection
    is made, but the server's certificate is not verified.

Examples
--------
>>> index = client.create_index("docs", os.urandom(32), IndexIVFFlat(128))
>>> index = client.create_index("texts", os.urandom(32), embedding_model="all-MiniLM-L6-v2")
)doc")
      .def("load_index", &LoadIndex, py::arg("index_name"), py::arg("index_key"),
           py::arg("max_cache_size") = 0, py::arg("logger") = py::none(),
           R"doc(Load an existing encrypted OmbrixDB index with its 32-byte key.

Parameters
----------
index_name : str
    Name the index was created under.
index_key : bytes or sequence of int
    The 32-byte key the index was created with: bytes, or a list, tuple or array of 32
    integers 0-255.
max_cache_size : int or None, optional
    Number of lists kept decrypted in memory; 0 or None for no cache.
logger : Logger or None, optional
    Logger of the index; when None the process-wide logger is reset to ERROR on the
    console and used.

Returns
-------
EncryptedIndex
    The loaded index, with the configuration and training of the stored one.

Raises
------
ValueError
    If the key is not 32 bytes or 32 elements (or of another type), the name is empty, or
    any location of the client is in memory (an index in memory cannot be loaded).
RuntimeError
    If an element of the key does not convert to an integer 0-255, the index does not
    exist, the key is not the index's key, or a store fails.

Warns
-----
UserWarning
    For each Redis location that asks for TLS without ca_cert or ca_path: the connection
    is made, but the server's certificate is not verified.

Example
-------
>>> index = client.load_index("docs", key)
)doc")
      .def("get_cpu_threads", &Client::cpu_threads, "Return the configured number of CPU threads.")
      .def("is_gpu_enabled", &Client::gpu_enabled, "Return whether GPU acceleration is enabled.");
}

}  // namespace ombrix::python
