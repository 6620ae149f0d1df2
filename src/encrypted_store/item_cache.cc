#include "encrypted_store/item_cache.h"

#include <algorithm>
#include <functional>
#include <string>
#include <utility>

namespace ombrix {
namespace {

uint64_t IdHash(const std::string& id) { return std::hash<std::string>()(id); }

// One list of the items, payloads at the widest width.
std::shared_ptr<const PackedList> PackItems(std::vector<CachedItem> items) {
  uint64_t width = 0;
  for (const CachedItem& item : items) width = std::max<uint64_t>(width, item.payload.size());
  std::vector<uint8_t> payloads(items.size() * width, 0);
  std::vector<std::string> ids, metadata;
  ids.reserve(items.size());
  metadata.reserve(items.size());
  for (uint64_t r = 0; r < items.size(); ++r) {
    std::copy(items[r].payload.begin(), items[r].payload.end(), payloads.begin() + r * width);
    ids.push_back(std::move(items[r].id));
    metadata.push_back(std::move(items[r].metadata));
  }
  return std::make_shared<const PackedList>(std::move(ids), std::move(metadata), payloads.data(),
                                            width);
}

}  // namespace

std::vector<CachedItem> CopyItems(const PackedList& items) {
  std::vector<CachedItem> copies(items.size());
  for (uint64_t r = 0; r < items.size(); ++r) {
    copies[r].id = items.ids()[r];
    copies[r].payload.resize(items.width());
    if (items.width() != 0) items.CopyPayload(r, copies[r].payload.data());
    copies[r].metadata = items.metadata()[r];
  }
  return copies;
}

std::optional<std::vector<CachedItem>> ItemCache::Items(uint32_t list) const {
  auto found = entries_.find(list);
  if (found == entries_.end()) return std::nullopt;
  return CopyItems(*found->second.items);
}

std::shared_ptr<const PackedList> ItemCache::List(uint32_t list) const {
  auto found = entries_.find(list);
  return found == entries_.end() ? nullptr : found->second.items;
}

bool ItemCache::MayHold(const std::string& id) const {
  return !id_holders_.empty() && id_holders_.count(IdHash(id)) != 0;
}

void ItemCache::CountIds(const PackedList& items, bool add) {
  for (const std::string& id : items.ids()) {
    const uint64_t hash = IdHash(id);
    if (add) {
      if (++id_holders_[hash] == 2) ++shared_ids_;
      continue;
    }
    auto found = id_holders_.find(hash);
    if (found == id_holders_.end()) continue;
    if (found->second-- == 2) --shared_ids_;
    if (found->second == 0) id_holders_.erase(found);
  }
  // An emptied map keeps the buckets it grew to, and clearing it again walks them all: a
  // list of 200,000 ids, once cached, made every later item delete (which clears the cache)
  // cost 40% more. A fresh map holds none.
  if (id_holders_.empty()) decltype(id_holders_)().swap(id_holders_);
}

void ItemCache::Insert(uint32_t list, std::shared_ptr<const PackedList> items, uint32_t counter) {
  CountIds(*items, true);
  recency_.push_front(list);
  entries_.emplace(list, Entry{std::move(items), counter, recency_.begin()});
}

std::unordered_map<uint32_t, ItemCache::Entry>::iterator ItemCache::Erase(
    std::unordered_map<uint32_t, Entry>::iterator entry) {
  CountIds(*entry->second.items, false);
  recency_.erase(entry->second.position);
  return entries_.erase(entry);
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
  Erase(found);
}

void ItemCache::Fill(uint32_t list, std::vector<CachedItem> items, uint32_t counter) {
  if (!enabled()) return;
  Fill(list, PackItems(std::move(items)), counter);
}

void ItemCache::Fill(uint32_t list, std::shared_ptr<const PackedList> items, uint32_t counter) {
  if (!enabled()) return;
  auto found = entries_.find(list);
  if (found != entries_.end()) {
    // Entries are shared with readers and never change: the joined list is a new one.
    std::vector<CachedItem> joined = CopyItems(*found->second.items);
    std::vector<CachedItem> added = CopyItems(*items);
    joined.insert(joined.end(), std::make_move_iterator(added.begin()),
                  std::make_move_iterator(added.end()));
    Erase(found);
    Insert(list, PackItems(std::move(joined)), counter);
    return;
  }
  if (recency_.size() >= lru_cache_size) Erase(entries_.find(recency_.back()));
  Insert(list, std::move(items), counter);
}

void ItemCache::RemoveListsHolding(const std::unordered_set<std::string>& ids) {
  if (ids.empty()) return;
  for (auto entry = entries_.begin(); entry != entries_.end();) {
    const std::vector<std::string>& held = entry->second.items->ids();
    const bool holds = std::any_of(held.begin(), held.end(),
                                   [&ids](const std::string& id) { return ids.count(id) != 0; });
    entry = holds ? Erase(entry) : std::next(entry);
  }
}

void ItemCache::Clear() {
  // Swapped with fresh maps, not cleared: their buckets go too (see CountIds).
  decltype(entries_)().swap(entries_);
  recency_.clear();
  decltype(id_holders_)().swap(id_holders_);
  shared_ids_ = 0;
}

CachedListLookup LookupCachedLists(ItemCache& cache, const std::vector<uint32_t>& query_tokens,
                                   const std::vector<uint32_t>& counter_map) {
  CachedListLookup result;
  result.hit_and_miss.reserve(query_tokens.size());
  for (uint32_t list : query_tokens) {
    const uint32_t counter = CounterOf(counter_map, list);
    std::shared_ptr<const PackedList> items = cache.enabled() ? cache.List(list) : nullptr;
    const bool hit = cache.enabled() && (items != nullptr ? cache.FilledAt(list) == counter
                                                          : counter == 0);
    if (hit) {
      if (items != nullptr) cache.Touch(list);
      result.hit_item_count += items != nullptr ? items->size() : 0;
      result.hits.push_back(std::move(items));
    } else {
      if (cache.enabled()) cache.Remove(list);
      result.cache_misses.push_back(list);
    }
    result.hit_and_miss.push_back(hit);
  }
  return result;
}

CacheLookupResult RetrieveCachedItems(ItemCache& cache, const std::vector<uint32_t>& query_tokens,
                                      const std::vector<uint32_t>& counter_map) {
  CachedListLookup lists = LookupCachedLists(cache, query_tokens, counter_map);
  CacheLookupResult result;
  result.hit_and_miss = std::move(lists.hit_and_miss);
  result.cache_misses = std::move(lists.cache_misses);
  result.hit_item_count = lists.hit_item_count;
  for (const auto& items : lists.hits) {
    result.cache_hit.push_back(items != nullptr ? CopyItems(*items) : std::vector<CachedItem>());
  }
  return result;
}

}  // namespace ombrix
