#include "index/operation_rules.h"

#include <cctype>
#include <limits>
#include <nlohmann/json.hpp>

namespace ombrix {

uint64_t AutomaticProbeCount(uint64_t top_k, uint64_t n_lists, uint64_t total_items) {
  if (total_items == 0) return 1;
  using Wide = unsigned __int128;
  constexpr Wide kMax = std::numeric_limits<uint64_t>::max();
  // 80 * top_k * n_lists fits 128 bits only while the first product stays below 2^71.
  Wide wanted = Wide{80} * top_k;
  if (n_lists != 0 && wanted > (~Wide{0}) / n_lists) return std::numeric_limits<uint64_t>::max();
  wanted *= n_lists;
  const Wide probes = wanted / total_items + (wanted % total_items != 0 ? 1 : 0);
  return probes > kMax ? std::numeric_limits<uint64_t>::max() : static_cast<uint64_t>(probes);
}

uint64_t AutomaticListCount(uint64_t vectors) {
  const uint64_t thousands = vectors / 1000;
  if (thousands == 0) return 0;
  uint64_t lists = 1;
  while (lists <= thousands / 2) lists *= 2;
  return lists;
}

bool IsNoFilter(const std::string& filters) {
  if (filters.empty()) return true;
  const nlohmann::json document = nlohmann::json::parse(filters, nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded()) return false;
  return document.is_null() || (document.is_object() && document.empty()) ||
         (document.is_array() && document.empty());
}

std::optional<int> TeamSizeFor(std::optional<int32_t> cpu_threads) {
  const int32_t threads = cpu_threads.value_or(1);
  if (threads <= 0) return std::nullopt;
  return threads;
}

int32_t TelemetryCount(uint64_t count, uint64_t factor) {
  const unsigned __int128 product = static_cast<unsigned __int128>(count) * factor;
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  return product > static_cast<unsigned __int128>(kMax) ? kMax : static_cast<int32_t>(product);
}

}  // namespace ombrix
