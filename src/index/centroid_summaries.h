// Per-list metadata summaries: for one field path and one inverted list, the range of the
// numbers seen and the CRC-32 values of the strings, booleans and whole arrays seen. Built
// from items' metadata documents, merged into what is stored, and kept as one
// StoredCentroidSummaries buffer per field path. Pure values owned by the caller; every
// routine is safe on any thread (only the builder's failure path logs).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace ombrix {

namespace stored {
struct StoredCentroidSummaries;
}

// B: (+B, -B) is the empty range (no number seen), (-B, +B) the range a single string or
// boolean value puts on the entry made from it.
inline constexpr double kSummaryBound = 9876543211.0;

struct CentroidSummary {
  uint32_t centroid = 0;
  double min = kSummaryBound;
  double max = -kSummaryBound;
  std::vector<uint32_t> hashes;
  // Set only on entries made from one string or boolean, whose range says nothing about
  // numbers. Never stored: a numeric array can produce the same range legitimately.
  bool carries_no_number = false;

  bool operator==(const CentroidSummary&) const = default;
};

// One field path's summary: list id -> summary (the key equals the summary's centroid).
using CentroidSummaryMap = std::map<uint32_t, CentroidSummary>;
// Per field path, the entries made from the items of one batch, in the order made.
using FieldSummaries = std::map<std::string, std::vector<CentroidSummary>>;

// The summary path of the member `key` of a value at summary path `prefix`: the two joined
// with ".", except that nothing is joined to an empty prefix, so leading empty keys add
// nothing ({"": {"a": 1}} is summarised under "a"). Stored records are keyed by these
// texts: the rule cannot change without orphaning them.
std::string JoinSummaryPath(const std::string& prefix, const std::string& key);

// The CRC-32 (zlib's) of all bytes of s.
uint32_t stringCrc32(const std::string& s);

// Adds the entries of `value` (the part of a metadata document under `prefix`) for list
// `centroid` to `out`, and every field path met to `paths`. Throws std::runtime_error
// "Error while retrieving keys and metadata centroid map: <what>" (logged at CRITICAL).
void buildCentroidSummaries(const nlohmann::json& value, std::set<std::string>& paths,
                            const uint32_t& centroid, FieldSummaries& out, const std::string& prefix);

// `stored` with the entries of fresh[path] folded in: ranges widened (except by entries
// that carry no number), hashes united, sorted and unique. fresh[path] is created when absent.
CentroidSummaryMap mergeCentroidSummaries(FieldSummaries& fresh, const CentroidSummaryMap& stored,
                                          const std::string& path);

// True when every entry is already inside `stored`: its list is there, its numbers inside
// the stored range, its hashes among the stored ones.
bool SummariesCover(const CentroidSummaryMap& stored, const std::vector<CentroidSummary>& entries);

// The StoredCentroidSummaries buffer of `summaries`, fields added as max, min, hashes,
// centroid with a default FlatBuffers builder (defaults not stored).
std::vector<uint8_t> encodeCentroidSummaries(const CentroidSummaryMap& summaries);

// Reads a root that is known to be well-formed; a later table for the same list wins.
CentroidSummaryMap decodeCentroidSummaries(const stored::StoredCentroidSummaries& root);

// Verifies `buffer` as a StoredCentroidSummaries record, then decodes it. Empty bytes give
// an empty map. Throws std::runtime_error "Invalid centroid summaries buffer" when the
// verifier refuses it.
CentroidSummaryMap DecodeStoredSummaries(const std::vector<uint8_t>& buffer);

}  // namespace ombrix
