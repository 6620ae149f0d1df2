#include "encrypted_store/fetched_rows.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

namespace ombrix {
namespace {

constexpr uint32_t kDropped = std::numeric_limits<uint32_t>::max();

// A probed list that holds an item: its position in query_tokens, and its index among
// the missed lists or among the hit lists.
struct Holder {
  uint64_t probe_position;
  bool hit;
  uint32_t index;
};

// Moves the rows into list order; boundaries from the per-list row counts.
void GroupByList(const std::vector<uint32_t>& row_list, uint64_t list_count,
                 CacheMissResult& fetched) {
  std::vector<uint64_t> boundaries(list_count + 1, 0);
  uint64_t kept = 0;
  for (uint32_t list : row_list) {
    if (list == kDropped) continue;
    ++boundaries[list + 1];
    ++kept;
  }
  for (uint64_t k = 0; k < list_count; ++k) boundaries[k + 1] += boundaries[k];

  const bool in_place = kept == row_list.size() && std::is_sorted(row_list.begin(), row_list.end());
  if (!in_place) {
    std::vector<uint64_t> next(boundaries.begin(), boundaries.end() - 1);
    std::vector<uint64_t> order(kept);
    for (uint64_t r = 0; r < row_list.size(); ++r) {
      if (row_list[r] != kDropped) order[next[row_list[r]]++] = r;
    }
    CacheMissResult grouped;
    grouped.item_ids.reserve(kept);
    grouped.metadata.reserve(kept);
    const uint64_t cols = fetched.payloads.cols();
    if (cols != 0 && kept != 0) grouped.payloads = PayloadRows(kept, cols);
    for (uint64_t i = 0; i < kept; ++i) {
      grouped.item_ids.push_back(std::move(fetched.item_ids[order[i]]));
      grouped.metadata.push_back(std::move(fetched.metadata[order[i]]));
      if (cols != 0) std::copy_n(fetched.payloads.row(order[i]), cols, grouped.payloads.row(i));
    }
    fetched = std::move(grouped);
  }
  fetched.token_indices = std::move(boundaries);
}

}  // namespace

HashIdOccurrences CollectHashIdOccurrences(const std::vector<uint64_t>& hash_ids,
                                           const std::vector<uint64_t>& list_starts) {
  HashIdOccurrences result;
  // Unique index + 1 of each id, by open addressing in a table at most half full (0 marks
  // a free slot): no allocation per id, unlike a node-based map.
  uint64_t capacity = 16;
  while (capacity < 2 * hash_ids.size()) capacity *= 2;
  std::vector<uint64_t> slot_id(capacity);
  std::vector<uint64_t> slot_position(capacity, 0);
  const int shift = 64 - std::countr_zero(capacity);
  result.unique_ids.reserve(hash_ids.size());
  result.first_list.reserve(hash_ids.size());
  for (uint64_t k = 0; k + 1 < list_starts.size(); ++k) {
    for (uint64_t i = list_starts[k]; i < list_starts[k + 1]; ++i) {
      const uint64_t id = hash_ids[i];
      uint64_t slot = (id * 0x9E3779B97F4A7C15ull) >> shift;
      while (slot_position[slot] != 0 && slot_id[slot] != id) slot = (slot + 1) & (capacity - 1);
      if (slot_position[slot] == 0) {
        slot_id[slot] = id;
        slot_position[slot] = result.unique_ids.size() + 1;
        result.unique_ids.push_back(id);
        result.first_list.push_back(static_cast<uint32_t>(k));
        continue;
      }
      const uint64_t u = slot_position[slot] - 1;
      if (result.first_list[u] == k) continue;
      std::vector<uint32_t>& others = result.other_lists[u];
      if (others.empty() || others.back() != k) others.push_back(static_cast<uint32_t>(k));
    }
  }
  return result;
}

std::vector<uint32_t> AttributeFetchedRows(const std::vector<uint32_t>& query_tokens,
                                           CacheLookupResult& lookup,
                                           const HashIdOccurrences& occurrences,
                                           const std::vector<uint64_t>& row_unique,
                                           CacheMissResult& fetched) {
  const uint64_t rows = fetched.item_ids.size();
  std::vector<uint64_t> miss_position;
  std::vector<uint64_t> hit_position;
  for (uint64_t p = 0; p < lookup.hit_and_miss.size(); ++p) {
    (lookup.hit_and_miss[p] ? hit_position : miss_position).push_back(p);
  }

  // A cached list can hold an item that another cached list holds too (each was fetched
  // alone after the item moved) or that was fetched again: the first hit list in probe
  // order keeps its copy; a fetched copy is decided below.
  std::unordered_map<uint32_t, std::unordered_set<std::string>> hit_copies_to_remove;
  std::unordered_map<std::string_view, uint32_t> hit_list_of;
  if (lookup.hit_item_count != 0 && (rows != 0 || lookup.cache_hit.size() > 1)) {
    hit_list_of.reserve(lookup.hit_item_count);
    for (uint32_t h = 0; h < lookup.cache_hit.size(); ++h) {
      for (const CachedItem& item : lookup.cache_hit[h]) {
        auto [it, inserted] = hit_list_of.try_emplace(item.id, h);
        if (!inserted && it->second != h) hit_copies_to_remove[h].insert(item.id);
      }
    }
  }

  std::vector<uint32_t> row_list(rows);
  std::vector<Holder> holders;
  for (uint64_t r = 0; r < rows; ++r) {
    const uint64_t u = row_unique[r];
    holders.clear();
    holders.push_back({miss_position[occurrences.first_list[u]], false, occurrences.first_list[u]});
    if (auto others = occurrences.other_lists.find(u); others != occurrences.other_lists.end()) {
      for (uint32_t k : others->second) holders.push_back({miss_position[k], false, k});
    }
    auto cached = hit_list_of.find(fetched.item_ids[r]);
    if (cached != hit_list_of.end()) {
      holders.push_back({hit_position[cached->second], true, cached->second});
    }

    Holder owner = holders.front();
    if (holders.size() > 1) {
      std::sort(holders.begin(), holders.end(),
                [](const Holder& a, const Holder& b) { return a.probe_position < b.probe_position; });
      owner = holders.front();
      const uint64_t named_list = fetched.token_indices[r];
      for (const Holder& holder : holders) {
        if (holder.probe_position < query_tokens.size() &&
            query_tokens[holder.probe_position] == named_list) {
          owner = holder;
          break;
        }
      }
    }
    if (owner.hit) {
      row_list[r] = kDropped;
      continue;
    }
    row_list[r] = owner.index;
    if (cached != hit_list_of.end()) {
      hit_copies_to_remove[cached->second].insert(fetched.item_ids[r]);
    }
  }
  hit_list_of.clear();

  std::vector<uint32_t> stale_lists;
  for (auto& [h, ids] : hit_copies_to_remove) {
    std::vector<CachedItem>& items = lookup.cache_hit[h];
    const uint64_t before = items.size();
    items.erase(std::remove_if(items.begin(), items.end(),
                               [&ids](const CachedItem& item) { return ids.count(item.id) != 0; }),
                items.end());
    lookup.hit_item_count -= before - items.size();
    stale_lists.push_back(query_tokens[hit_position[h]]);
  }
  std::sort(stale_lists.begin(), stale_lists.end());

  GroupByList(row_list, lookup.cache_misses.size(), fetched);
  return stale_lists;
}

}  // namespace ombrix
