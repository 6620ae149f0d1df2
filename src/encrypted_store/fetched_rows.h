// Which probed list each fetched item belongs to. Re-adding an item gives it a new label
// and leaves the old one pointing at the same hash id, so one item can be found under
// several labels, in one list or in several, and a cached list can still hold it. These
// functions make every item appear once, in one list, before the results are merged.
// Stateless; safe on any thread.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "encrypted_store/item_cache.h"
#include "index_model/cache_miss_result.h"

namespace ombrix {

// Where the hash ids found under the labels of the missed lists occur.
struct HashIdOccurrences {
  std::vector<uint64_t> unique_ids;  // in order of first appearance
  // Per unique id: the first missed list (an index into cache_misses) that holds it.
  std::vector<uint32_t> first_list;
  // Per unique id found under several missed lists: the others, ascending.
  std::unordered_map<uint64_t, std::vector<uint32_t>> other_lists;
};

// hash_ids holds the labels' hash ids of all missed lists, list after list; list k owns
// positions [list_starts[k], list_starts[k + 1]).
// REQUIRES: list_starts ascends from 0 to hash_ids.size().
HashIdOccurrences CollectHashIdOccurrences(const std::vector<uint64_t>& hash_ids,
                                           const std::vector<uint64_t>& list_starts);

// fetched holds the records that decoded, in unique-id order (row r is unique id
// row_unique[r]; its token_indices are the list ids the records name). Each item goes to
// one probed list: when several probed lists hold it (labels of missed lists, copies in
// hit lists), to the list its record names if that list is among them, else to the first
// of them in probe order. Rows going to a hit list are dropped (the cached copy stays);
// hit copies of items going elsewhere, and copies of an item in a later hit list than
// the first holding it, are removed from lookup. Afterwards fetched holds its rows
// grouped by missed list in probe order, token_indices holds the cache_misses.size() + 1
// row boundaries, and the result names the hit lists whose cache entries held a removed
// copy (their entries no longer match what this retrieval returns).
std::vector<uint32_t> AttributeFetchedRows(const std::vector<uint32_t>& query_tokens,
                                           CacheLookupResult& lookup,
                                           const HashIdOccurrences& occurrences,
                                           const std::vector<uint64_t>& row_unique,
                                           CacheMissResult& fetched);

}  // namespace ombrix
