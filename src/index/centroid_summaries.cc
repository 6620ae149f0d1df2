#include "index/centroid_summaries.h"

#include <zlib.h>

#include <algorithm>
#include <stdexcept>
#include <unordered_map>

#include "diagnostics/logger.h"
#include "index/centroid_summaries_generated.h"

namespace ombrix {

namespace {

uint32_t BooleanCrc32(bool value) {
  static const uint32_t kTrue = stringCrc32("true");
  static const uint32_t kFalse = stringCrc32("false");
  return value ? kTrue : kFalse;
}

CentroidSummary EntryFor(const nlohmann::json& v, uint32_t centroid) {
  CentroidSummary e;
  e.centroid = centroid;
  if (v.is_number()) {
    e.min = e.max = v.get<double>();
  } else if (v.is_string()) {
    e.min = -kSummaryBound;
    e.max = kSummaryBound;
    e.carries_no_number = true;
    e.hashes.push_back(stringCrc32(v.get_ref<const std::string&>()));
  } else if (v.is_boolean()) {
    e.min = -kSummaryBound;
    e.max = kSummaryBound;
    e.carries_no_number = true;
    e.hashes.push_back(BooleanCrc32(v.get<bool>()));
  } else if (v.is_array()) {
    e.hashes.push_back(stringCrc32(v.dump()));
    for (const nlohmann::json& element : v) {
      if (element.is_string()) {
        e.hashes.push_back(stringCrc32(element.get_ref<const std::string&>()));
      } else if (element.is_boolean()) {
        e.hashes.push_back(BooleanCrc32(element.get<bool>()));
      } else if (element.is_number()) {
        const double x = element.get<double>();
        if (x < e.min) e.min = x;
        if (x > e.max) e.max = x;
      }
    }
  }
  return e;
}

}  // namespace

std::string JoinSummaryPath(const std::string& prefix, const std::string& key) {
  return prefix.empty() ? key : prefix + "." + key;
}

uint32_t stringCrc32(const std::string& s) {
  // crc32_z takes a size_t length, so strings of 4 GiB and more are hashed whole.
  return static_cast<uint32_t>(
      crc32_z(crc32_z(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(s.data()), s.size()));
}

void buildCentroidSummaries(const nlohmann::json& value, std::set<std::string>& paths,
                            const uint32_t& centroid, FieldSummaries& out, const std::string& prefix) {
  try {
    if (value.is_object()) {
      for (const auto& [key, v] : value.items()) {
        const std::string path = JoinSummaryPath(prefix, key);
        paths.insert(path);
        out[path].push_back(EntryFor(v, centroid));
        buildCentroidSummaries(v, paths, centroid, out, path);
      }
    } else if (value.is_array()) {
      for (const nlohmann::json& element : value) {
        buildCentroidSummaries(element, paths, centroid, out, prefix);
      }
    }
  } catch (const std::exception& failure) {
    const std::string message =
        std::string("Error while retrieving keys and metadata centroid map: ") + failure.what();
    ActiveLogger().critical(message);
    throw std::runtime_error(message);
  }
}

CentroidSummaryMap mergeCentroidSummaries(FieldSummaries& fresh, const CentroidSummaryMap& stored,
                                          const std::string& path) {
  CentroidSummaryMap result = stored;
  // The hashes of one list are united once, whatever the number of entries naming it: the
  // result is the same sorted union as entry by entry, without quadratic re-sorting.
  std::unordered_map<uint32_t, std::vector<uint32_t>> added;
  for (const CentroidSummary& e : fresh[path]) {
    CentroidSummary& s = result[e.centroid];
    s.centroid = e.centroid;
    if (!e.carries_no_number) {
      if (e.min < s.min) s.min = e.min;
      if (s.max < e.max) s.max = e.max;
    }
    std::vector<uint32_t>& hashes = added[e.centroid];
    hashes.insert(hashes.end(), e.hashes.begin(), e.hashes.end());
  }
  for (auto& [centroid, hashes] : added) {
    std::vector<uint32_t>& merged = result[centroid].hashes;
    // Stored lists come sorted from earlier merges: only the new hashes need sorting.
    const bool stored_sorted = std::is_sorted(merged.begin(), merged.end());
    const auto middle = static_cast<std::ptrdiff_t>(merged.size());
    std::sort(hashes.begin(), hashes.end());
    merged.insert(merged.end(), hashes.begin(), hashes.end());
    if (stored_sorted) {
      std::inplace_merge(merged.begin(), merged.begin() + middle, merged.end());
    } else {
      std::sort(merged.begin(), merged.end());
    }
    merged.erase(std::unique(merged.begin(), merged.end()), merged.end());
  }
  return result;
}

bool SummariesCover(const CentroidSummaryMap& stored, const std::vector<CentroidSummary>& entries) {
  for (const CentroidSummary& e : entries) {
    auto it = stored.find(e.centroid);
    if (it == stored.end()) return false;
    const CentroidSummary& s = it->second;
    const bool no_number = e.carries_no_number || (e.min == kSummaryBound && e.max == -kSummaryBound);
    if (!no_number && (e.min < s.min || e.max > s.max)) return false;
    for (uint32_t hash : e.hashes) {
      if (std::find(s.hashes.begin(), s.hashes.end(), hash) == s.hashes.end()) return false;
    }
  }
  return true;
}

std::vector<uint8_t> encodeCentroidSummaries(const CentroidSummaryMap& summaries) {
  flatbuffers::FlatBufferBuilder builder;
  std::vector<flatbuffers::Offset<stored::StoredCentroidSummary>> tables;
  tables.reserve(summaries.size());
  for (const auto& [centroid, s] : summaries) {
    flatbuffers::Offset<flatbuffers::Vector<uint32_t>> hashes;
    if (!s.hashes.empty()) hashes = builder.CreateVector(s.hashes);
    stored::StoredCentroidSummaryBuilder table(builder);
    table.add_max(s.max);  // the generated adders leave out values equal to the default
    table.add_min(s.min);
    if (!s.hashes.empty()) table.add_hashes(hashes);
    table.add_centroid(s.centroid);
    tables.push_back(table.Finish());
  }
  const auto vector = builder.CreateVector(tables);
  stored::StoredCentroidSummariesBuilder root(builder);
  root.add_summaries(vector);
  builder.Finish(root.Finish());
  return std::vector<uint8_t>(builder.GetBufferPointer(), builder.GetBufferPointer() + builder.GetSize());
}

CentroidSummaryMap decodeCentroidSummaries(const stored::StoredCentroidSummaries& root) {
  CentroidSummaryMap map;
  const auto* tables = root.summaries();
  if (tables == nullptr) return map;
  for (const stored::StoredCentroidSummary* table : *tables) {
    CentroidSummary s;
    s.centroid = table->centroid();
    s.min = table->min();
    s.max = table->max();
    if (const auto* hashes = table->hashes()) s.hashes.assign(hashes->begin(), hashes->end());
    map[s.centroid] = std::move(s);
  }
  return map;
}

CentroidSummaryMap DecodeStoredSummaries(const std::vector<uint8_t>& buffer) {
  if (buffer.empty()) return {};
  flatbuffers::Verifier::Options options;
  // One table per list of the index: far more than the verifier's default allowance.
  options.max_tables = 1u << 31;
  flatbuffers::Verifier verifier(buffer.data(), buffer.size(), options);
  if (!verifier.VerifyBuffer<stored::StoredCentroidSummaries>(nullptr)) {
    throw std::runtime_error("Invalid centroid summaries buffer");
  }
  return decodeCentroidSummaries(*flatbuffers::GetRoot<stored::StoredCentroidSummaries>(buffer.data()));
}

}  // namespace ombrix
