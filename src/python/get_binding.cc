#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "diagnostics/error_wrapper.h"
#include "python/index_operations.h"
#include "python/operation_lock.h"

namespace py = pybind11;

namespace ombrix::python {

namespace {

py::str StrictUtf8(const std::string& text) {
  PyObject* decoded =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
  if (decoded == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(decoded);
}

}  // namespace

py::list GetFromPython(EncryptedIndex& index, const std::vector<std::string>& ids,
                       const std::vector<std::string>& include) {
  std::vector<uint32_t> codes;
  for (const std::string& field : include) {
    if (field == "vector") codes.push_back(kGetVector);
    if (field == "metadata") codes.push_back(kGetMetadata);
    if (field == "contents") codes.push_back(kGetContents);
  }
  py::object loads = py::module_::import("json").attr("loads");
  py::list result;

  auto lock = LockIndexForPython(index);
  const std::vector<Item> items = internal::ExecuteWithErrorHandling(
      "Get", index.telemetry.get(), [&] { return index.Get(ids, codes); });

  for (const Item& item : items) {
    py::dict entry;
    entry["id"] = StrictUtf8(item.id);
    for (const std::string& field : include) {
      if (field == "metadata") {
        entry["metadata"] =
            item.metadata.empty() ? py::object(py::dict()) : loads(py::str(item.metadata));
      } else if (field == "contents") {
        entry["contents"] =
            py::bytes(reinterpret_cast<const char*>(item.contents.data()), item.contents.size());
      } else if (field == "vector") {
        py::list vector(item.vector.size());
        for (size_t i = 0; i < item.vector.size(); ++i) vector[i] = py::float_(item.vector[i]);
        entry["vector"] = std::move(vector);
      }
    }
    result.append(std::move(entry));
  }
  return result;
}

}  // namespace ombrix::python
