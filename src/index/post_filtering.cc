#include "index/post_filtering.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include "diagnostics/logger.h"
#include "index/metadata_filter.h"

namespace ombrix {

using nlohmann::json;

namespace {

void CheckRow(size_t row, size_t column_size, const char* column) {
  if (row < column_size) return;
  const std::string message = std::string("Index out of bounds while filtering ") + column;
  ActiveLogger().critical(message);
  throw std::out_of_range(message);
}

std::vector<json> ParseMetadata(const std::vector<std::string>& texts) {
  std::vector<json> parsed(texts.size());
  try {
    for (size_t i = 0; i < texts.size(); ++i) {
      parsed[i] = texts[i].empty() ? json::object() : json::parse(texts[i]);
    }
  } catch (const json::parse_error& e) {
    const std::string message = std::string("Invalid JSON string provided: ") + e.what();
    ActiveLogger().critical(message);
    throw std::invalid_argument(message);
  }
  return parsed;
}

}  // namespace

CacheMissResult FilterCandidates(CacheMissResult candidates, const json& filter) {
  const std::vector<json> metadata = ParseMetadata(candidates.metadata);
  validateFilter(filter);
  FilterCache cache;
  std::vector<size_t> kept;
  for (size_t row = 0; row < metadata.size(); ++row) {
    if (evaluateFilter(filter, metadata[row], cache)) kept.push_back(row);
  }
  if (kept.empty()) return CacheMissResult{};
  return KeepRows(std::move(candidates), kept);
}

CacheMissResult KeepRows(CacheMissResult candidates, const std::vector<size_t>& kept) {
  CacheMissResult result;
  if (kept.empty()) return result;
  for (size_t row : kept) {
    CheckRow(row, candidates.item_ids.size(), "item_ids");
    CheckRow(row, candidates.metadata.size(), "metadata");
    CheckRow(row, candidates.payloads.rows(), "payloads");
  }
  result.item_ids.reserve(kept.size());
  result.metadata.reserve(kept.size());
  result.payloads = PayloadRows(kept.size(), candidates.payloads.cols());
  const size_t width = candidates.payloads.cols();
  for (size_t i = 0; i < kept.size(); ++i) {
    const size_t row = kept[i];
    result.item_ids.push_back(std::move(candidates.item_ids[row]));
    result.metadata.push_back(std::move(candidates.metadata[row]));
    if (width > 0) std::memcpy(result.payloads.row(i), candidates.payloads.row(row), width);
  }
  if (!candidates.token_indices.empty()) {
    const auto kept_before = [&kept](uint64_t boundary) {
      return static_cast<uint64_t>(std::lower_bound(kept.begin(), kept.end(), boundary) -
                                   kept.begin());
    };
    const std::vector<uint64_t>& boundaries = candidates.token_indices;
    result.token_indices.reserve(boundaries.size());
    result.token_indices.push_back(0);
    for (size_t g = 0; g + 1 < boundaries.size(); ++g) {
      const uint64_t in_list = boundaries[g + 1] > boundaries[g]
                                   ? kept_before(boundaries[g + 1]) - kept_before(boundaries[g])
                                   : 0;
      result.token_indices.push_back(result.token_indices.back() + in_list);
    }
  }
  return result;
}

}  // namespace ombrix
