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
  bool blank = true;
  for (unsigned char c : filters) blank = blank && std::isspace(c) != 0;
  if (blank) return true;
  const nlohmann::json document = nlohmann::json::parse(filters, nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded()) return false;
  return document.is_null() || (document.is_object() && document.empty()) ||
         (document.is_array() && document.empty());
}

namespace {

bool StartsWithKeyword(const std::string& text, size_t at, const std::string& keyword) {
  if (text.size() - at < keyword.size()) return false;
  for (size_t i = 0; i < keyword.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[at + i])) != keyword[i]) return false;
  }
  return true;
}

// End of a key-value setting's value starting at `at`: a quoted value runs to its
// closing quote (backslash escapes), a plain one to the next blank.
size_t ValueEnd(const std::string& text, size_t at) {
  if (at < text.size() && text[at] == '\'') {
    size_t i = at + 1;
    while (i < text.size() && text[i] != '\'') i += text[i] == '\\' ? 2 : 1;
    return i < text.size() ? i + 1 : text.size();
  }
  size_t i = at;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])) == 0) ++i;
  return i;
}

// "user:secret@host" of a URI: the secret becomes "***".
std::string MaskUri(const std::string& uri) {
  std::string out = uri;
  const size_t scheme = out.find("://");
  const size_t authority = scheme + 3;
  const size_t authority_end = out.find_first_of("/?", authority);
  const size_t at = out.rfind('@', authority_end == std::string::npos ? std::string::npos : authority_end);
  if (at != std::string::npos && at > authority) {
    const size_t colon = out.find(':', authority);
    if (colon != std::string::npos && colon < at) out.replace(colon + 1, at - colon - 1, "***");
  }
  // A password given as a query parameter.
  const size_t query = out.find('?');
  if (query != std::string::npos) {
    size_t pos = query + 1;
    while (pos < out.size()) {
      size_t end = out.find('&', pos);
      if (end == std::string::npos) end = out.size();
      if (StartsWithKeyword(out, pos, "password=")) {
        const size_t value = pos + 9;
        out.replace(value, end - value, "***");
        end = value + 3;
      }
      pos = end + 1;
    }
  }
  return out;
}

}  // namespace

std::string MaskConnectionString(const std::string& connection_string) {
  if (connection_string.find("://") != std::string::npos) return MaskUri(connection_string);
  std::string out;
  size_t pos = 0;
  while (pos < connection_string.size()) {
    const bool at_setting =
        pos == 0 || std::isspace(static_cast<unsigned char>(connection_string[pos - 1])) != 0 ||
        connection_string[pos - 1] == ',';
    if (at_setting && StartsWithKeyword(connection_string, pos, "password")) {
      size_t i = pos + 8;
      while (i < connection_string.size() && connection_string[i] == ' ') ++i;
      if (i < connection_string.size() && (connection_string[i] == '=' || connection_string[i] == ':')) {
        ++i;
        while (i < connection_string.size() && connection_string[i] == ' ') ++i;
        out.append(connection_string, pos, i - pos);
        out += "***";
        size_t end = ValueEnd(connection_string, i);
        // The Redis form separates settings with commas.
        const size_t comma = connection_string.find(',', i);
        if (connection_string[i] != '\'' && comma != std::string::npos && comma < end) end = comma;
        pos = end;
        continue;
      }
    }
    out += connection_string[pos++];
  }
  return out;
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
