// ItemCache: the decrypted items of whole inverted lists, least recently used first out,
// at most lru_cache_size lists (0 turns it off). An entry remembers the list's counter
// value when it was filled and is served only while the counter still has that value.
// Entries are immutable PackedLists shared with the queries that read them, so a query
// ranks a cached list where it lies and an eviction never pulls it from under a reader.
// Owned by one engine core; not synchronised: one retrieval or addition at a time.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "diagnostics/logger.h"
#include "index_model/packed_list.h"

namespace ombrix {

struct CachedItem {
  std::string id;
  std::vector<uint8_t> payload;
  std::string metadata;
};

// The split of the probed lists without copies: each hit list as the cache holds it.
struct CachedListLookup {
  std::vector<std::shared_ptr<const PackedList>> hits;  // per hit list, probe order; null
                                                        // for a hit without an entry
  std::vector<bool> hit_and_miss;                        // per probed list: set for a hit
  std::vector<uint32_t> cache_misses;                    // missed list ids, probe order
  uint64_t hit_item_count = 0;
};

struct CacheLookupResult {
  std::vector<std::vector<CachedItem>> cache_hit;  // copies of each hit list, probe order
  std::vector<bool> hit_and_miss;                  // per probed list: set for a hit
  std::vector<uint32_t> cache_misses;              // missed list ids, probe order
  uint64_t hit_item_count = 0;
};

class ItemCache {
 public:
  // `logger` (borrowed; internal_logger when null) receives the cache's INFO lines.
  explicit ItemCache(uint64_t capacity = 0, Logger* logger = nullptr)
      : lru_cache_size(capacity), logger_(logger) {}

  // The most lists held; 0 = off.
  uint64_t lru_cache_size;

  bool enabled() const { return lru_cache_size != 0; }
  uint64_t size() const { return entries_.size(); }
  bool Contains(uint32_t list) const { return entries_.count(list) != 0; }
  // Copies of the cached items of a list, or nothing.
  std::optional<std::vector<CachedItem>> Items(uint32_t list) const;
  // The cached list itself, or null.
  std::shared_ptr<const PackedList> List(uint32_t list) const;
  // The counter value a list was filled at. REQUIRES: Contains(list).
  uint32_t FilledAt(uint32_t list) const { return entries_.at(list).counter; }
  // Cached list ids, most recently used first.
  std::vector<uint32_t> RecencyOrder() const { return {recency_.begin(), recency_.end()}; }

  // Moves an existing entry to the front.
  void Touch(uint32_t list);
  // Drops the entry of a list; for a list without one, logs INFO "Token not found: <list>"
  // and changes nothing.
  void Remove(uint32_t list);
  // Files the items fetched for a list at counter value `counter` (appending when the list
  // was already filed by the same retrieval), evicting the least recently used list when
  // full. Does nothing when the cache is off.
  // The items' payloads are kept at the width of the widest, shorter ones completed with
  // zero bytes.
  void Fill(uint32_t list, std::vector<CachedItem> items, uint32_t counter);
  void Fill(uint32_t list, std::shared_ptr<const PackedList> items, uint32_t counter);
  // False when no id is held by two entries; true may also mean two ids look alike.
  bool MayHoldTwice() const { return shared_ids_ != 0; }
  // False when no entry holds the id; true may also mean another id looks alike.
  bool MayHold(const std::string& id) const;
  // Drops every list that holds one of the ids.
  void RemoveListsHolding(const std::unordered_set<std::string>& ids);
  void Clear();

 private:
  struct Entry {
    std::shared_ptr<const PackedList> items;
    uint32_t counter = 0;
    std::list<uint32_t>::iterator position;
  };

  // Every removal of an entry goes through Erase, every insertion through Insert, so the
  // id counts below stay true.
  void Insert(uint32_t list, std::shared_ptr<const PackedList> items, uint32_t counter);
  std::unordered_map<uint32_t, Entry>::iterator Erase(std::unordered_map<uint32_t, Entry>::iterator entry);
  void CountIds(const PackedList& items, bool add);

  std::list<uint32_t> recency_;
  std::unordered_map<uint32_t, Entry> entries_;
  Logger* logger_ = nullptr;
  // Entries holding each id hash, and how many hashes are held more than once.
  std::unordered_map<uint64_t, uint32_t> id_holders_;
  uint64_t shared_ids_ = 0;
};

// The split without copies: the same hits, misses, touches and drops as
// RetrieveCachedItems, each hit list shared with the cache.
CachedListLookup LookupCachedLists(ItemCache& cache, const std::vector<uint32_t>& query_tokens,
                                   const std::vector<uint32_t>& counter_map);

// Copies of the items of a cached list, in filing order.
std::vector<CachedItem> CopyItems(const PackedList& items);

// Splits the probed lists into hits and misses. With the cache off every list is a miss
// and the cache is not touched. A list is a hit when its entry was filled at its current
// counter, or when it has no entry and its counter is 0; a stale entry is dropped. Lists
// beyond the end of counter_map have counter 0.
CacheLookupResult RetrieveCachedItems(ItemCache& cache, const std::vector<uint32_t>& query_tokens,
                                      const std::vector<uint32_t>& counter_map);

// The counter of a list; 0 for a list beyond the end of the map.
inline uint32_t CounterOf(const std::vector<uint32_t>& counter_map, uint32_t list) {
  return list < counter_map.size() ? counter_map[list] : 0;
}

}  // namespace ombrix
