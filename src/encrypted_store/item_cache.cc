#include "encrypted_store/item_cache.h"

#include <string>
#include <utility>

namespace ombrix {

const std::vector<CachedItem>* ItemCache::Items(uint32_t list) const {
  auto found = entries_.find(list);
  return found == entries_.end() ? nullptr : &found->second.items;
}

void ItemCache::Touch(uint32_t list) {
  auto found = entries_.find(list);
  if (found == entries_.end()) return;
  recency_.splice(recency_.begin(), recency_, found->second.position);
}

void ItemCache::Remove(uint32_t list) {
  auto found = entries_.find(list);
  if (found == entries_.end()) {
    // Standard output belongs to the embedding program: the line goes to the log.
    (logger_ != nullptr ? *logger_ : InternalLogger()).info("Token not found: " + std::to_string(list));
    return;
  }
  recency_.erase(found->second.position);
  entries_.erase(found);
}

void ItemCache::Fill(uint32_t list, std::vector<CachedItem> items, uint32_t counter) {
  if (!enabled()) return;
  auto found = entries_.find(list);
  if (found != entries_.end()) {
    Entry& entry = found->second;
    entry.items.insert(entry.items.end(), std::make_move_iterator(items.begin()),
                       std::make_move_iterator(items.end()));
    entry.counter = counter;
    recency_.splice(recency_.begin(), recency_, entry.position);
    return;
  }
  if (recency_.size() >= lru_cache_size) {
    entries_.erase(recency_.back());
    recency_.pop_back();
  }
  recency_.push_front(list);
  entries_.emplace(list, Entry{std::move(items), counter, recency_.begin()});
}

void ItemCache::RemoveListsHolding(const std::unordered_set<std::string>& ids) {
  if (ids.empty()) return;
  for (auto entry = entries_.begin(); entry != entries_.end();) {
    bool holds = false;
    for (const CachedItem& item : entry->second.items) {
      if (ids.count(item.id) != 0) {
        holds = true;
        break;
      }
    }
    if (holds) {
      recency_.erase(entry->second.position);
      entry = entries_.erase(entry);
    } else {
      ++entry;
    }
  }
}

void ItemCache::Clear() {
  entries_.clear();
  recency_.clear();
}

CacheLookupResult RetrieveCachedItems(ItemCache& cache, const std::vector<uint32_t>& query_tokens,
                                      const std::vector<uint32_t>& counter_map) {
  CacheLookupResult result;
  result.hit_and_miss.reserve(query_tokens.size());
  for (uint32_t list : query_tokens) {
    const uint32_t counter = CounterOf(counter_map, list);
    const std::vector<CachedItem>* items = cache.enabled() ? cache.Items(list) : nullptr;
    const bool hit = cache.enabled() && (items != nullptr ? cache.FilledAt(list) == counter
                                                          : counter == 0);
    if (hit) {
      if (items != nullptr) cache.Touch(list);
      result.cache_hit.push_back(items != nullptr ? *items : std::vector<CachedItem>());
      result.hit_item_count += result.cache_hit.back().size();
    } else {
      if (cache.enabled()) cache.Remove(list);
      result.cache_misses.push_back(list);
    }
    result.hit_and_miss.push_back(hit);
  }
  return result;
}

}  // namespace ombrix
