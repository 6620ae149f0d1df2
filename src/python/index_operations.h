// Bodies of the EncryptedIndex methods that convert Python arguments: upsert (both call
// forms, with automatic embedding of texts), query and get. Called with the interpreter lock
// held; each takes the index's operation lock as operation_lock.h says.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "index/encrypted_index.h"

namespace ombrix::python {

// The embedding model name of the index's configuration ("" when it has none; nullopt
// once the configuration was released).
std::optional<std::string> EmbeddingModelName(EncryptedIndex& index);

// Throws TypeError for the forms it cannot tell apart and ValueError for everything else.
void UpsertFromPython(EncryptedIndex& index, const pybind11::object& arg1,
                      const pybind11::object& arg2);

// The stored items of `ids` as dicts: "id", then the fields of `include` in its order.
pybind11::list GetFromPython(EncryptedIndex& index, const std::vector<std::string>& ids,
                             const std::vector<std::string>& include);

struct QueryArguments {
  pybind11::object query_vectors;
  pybind11::object query_contents;
  std::optional<uint64_t> top_k;
  std::optional<uint64_t> n_probes;
  pybind11::dict filters;
  std::vector<std::string> include;
  bool greedy = false;
};

// A list of result dicts for one query given flat, else a list of such lists.
pybind11::object QueryFromPython(EncryptedIndex& index, const QueryArguments& args);

}  // namespace ombrix::python
