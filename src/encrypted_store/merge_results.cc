#include "encrypted_store/merge_results.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "diagnostics/logger.h"

namespace ombrix {
namespace {

// Logs the reason with its named values, one "label value" per line, then throws it.
template <typename Error>
[[noreturn]] void Fail(const std::string& reason, const std::string& values) {
  InternalLogger().error(reason + "\n" + values);
  throw Error(reason);
}

std::string Values(const char* first, uint64_t a, const char* second, uint64_t b) {
  return first + std::to_string(a) + "\n" + second + std::to_string(b);
}

void CheckShapes(const std::vector<uint32_t>& query_tokens, const std::vector<bool>& hit_and_miss,
                 const std::vector<std::vector<CachedItem>>& cache_hit,
                 const std::vector<uint32_t>& cache_misses) {
  if (query_tokens.size() != hit_and_miss.size()) {
    Fail<std::invalid_argument>(
        "Size mismatch: query_tokens and hit_and_miss must have the same size.",
        Values("query_tokens size: ", query_tokens.size(), "hit_and_miss size: ",
               hit_and_miss.size()));
  }
  const uint64_t hits = std::count(hit_and_miss.begin(), hit_and_miss.end(), true);
  const uint64_t misses = hit_and_miss.size() - hits;
  if (!cache_hit.empty() && cache_hit.size() != hits) {
    Fail<std::invalid_argument>(
        "Size mismatch: cache_hit must match the number of hits.",
        Values("cache_hit size: ", cache_hit.size(), "hit_and_miss count: ", hits));
  }
  if (!cache_misses.empty() && cache_misses.size() != misses) {
    Fail<std::invalid_argument>(
        "Size mismatch: cache_misses must match the number of misses.",
        Values("cache_misses size: ", cache_misses.size(), "hit_and_miss count: ", misses));
  }
}

class Merger {
 public:
  Merger(const CacheMissResult& fetched, uint64_t num_results, uint64_t payload_size,
         CacheMissResult& merged)
      : fetched_(fetched), num_results_(num_results), payload_size_(payload_size),
        merged_(merged) {}

  uint64_t row() const { return row_; }

  void Allot() {
    merged_.item_ids.assign(num_results_, std::string());
    merged_.metadata.assign(num_results_, std::string());
    merged_.payloads =
        payload_size_ != 0 ? PayloadRows(num_results_, payload_size_) : PayloadRows();
  }

  // Writes fetched rows [begin, end); kept receives their cache copies when given.
  void AddFetched(uint64_t begin, uint64_t end, std::vector<CachedItem>* kept) {
    for (uint64_t j = begin; j < end; ++j) {
      CheckRoom();
      if (j >= fetched_.item_ids.size()) {
        Fail<std::out_of_range>("Cache miss result index out of bounds.",
                                Values("cache miss index: ", j,
                                       "cache_miss_result.item_ids.size(): ",
                                       fetched_.item_ids.size()));
      }
      const std::string& id = fetched_.item_ids[j];
      const uint8_t* payload = nullptr;
      if (payload_size_ != 0) {
        const uint64_t start = j * fetched_.payloads.cols();
        const uint64_t available = fetched_.payloads.size();
        if (start > available || available - start < payload_size_) {
          Fail<std::length_error>(
              "Payload extraction index out of bounds for item_id: " + id,
              "start_idx: " + std::to_string(start) + "\nend_idx: " +
                  std::to_string(start + payload_size_) +
                  "\ncache_miss_result.payloads.size(): " + std::to_string(available));
        }
        payload = fetched_.payloads.data() + start;
      }
      if (j >= fetched_.metadata.size()) {
        Fail<std::out_of_range>("Metadata index out of bounds for item_id: " + id,
                                Values("metadata index: ", j,
                                       "cache_miss_result.metadata.size(): ",
                                       fetched_.metadata.size()));
      }
      Write(id, payload, fetched_.metadata[j]);
      if (kept != nullptr) {
        kept->push_back(CachedItem{id, std::vector<uint8_t>(payload, payload + payload_size_),
                                   fetched_.metadata[j]});
      }
    }
  }

  void AddCached(const std::vector<CachedItem>& items) {
    for (const CachedItem& item : items) {
      CheckRoom();
      if (item.payload.size() < payload_size_) {
        Fail<std::length_error>("Insufficient payload size for item_id: " + item.id,
                                Values("token payload size: ", item.payload.size(),
                                       "payload_size: ", payload_size_));
      }
      Write(item.id, item.payload.data(), item.metadata);
    }
  }

 private:
  void CheckRoom() const {
    if (row_ >= num_results_) {
      Fail<std::out_of_range>(
          "Exceeded allocated size for merged_results.",
          Values("current_result_index: ", row_, "num_results: ", num_results_));
    }
  }

  void Write(const std::string& id, const uint8_t* payload, const std::string& metadata) {
    merged_.item_ids[row_] = id;
    if (payload_size_ != 0) std::memcpy(merged_.payloads.row(row_), payload, payload_size_);
    merged_.metadata[row_] = metadata;
    ++row_;
  }

  const CacheMissResult& fetched_;
  const uint64_t num_results_;
  const uint64_t payload_size_;
  CacheMissResult& merged_;
  uint64_t row_ = 0;
};

}  // namespace

void MergeResults(const std::vector<uint32_t>& query_tokens, const std::vector<bool>& hit_and_miss,
                  const std::vector<std::vector<CachedItem>>& cache_hit,
                  const std::vector<uint32_t>& cache_misses,
                  const CacheMissResult& cache_miss_result, uint64_t num_results,
                  uint64_t payload_size, CacheMissResult& merged_results, ItemCache& item_cache,
                  const std::vector<uint32_t>& counter_map) {
  Merger merger(cache_miss_result, num_results, payload_size, merged_results);
  try {
    CheckShapes(query_tokens, hit_and_miss, cache_hit, cache_misses);
    merger.Allot();
    const std::vector<uint64_t>& bounds = cache_miss_result.token_indices;
    merged_results.token_indices.assign(query_tokens.size() + 1, 0);
    uint64_t hit = 0;
    uint64_t miss = 0;
    for (uint64_t i = 0; i < query_tokens.size(); ++i) {
      if (!hit_and_miss[i]) {
        if (miss >= cache_misses.size()) {
          Fail<std::out_of_range>("Cache miss index out of bounds.",
                                  Values("cache_miss_index: ", miss, "cache_misses.size(): ",
                                         cache_misses.size()));
        }
        const uint32_t list = cache_misses[miss];
        if (miss + 1 >= bounds.size()) {
          Fail<std::out_of_range>(
              "Cache miss token index out of bounds.",
              Values("cache_miss_index: ", miss, "cache_miss_result.token_indices.size(): ",
                     bounds.size()));
        }
        std::vector<CachedItem> kept;
        merger.AddFetched(bounds[miss], bounds[miss + 1],
                          item_cache.enabled() ? &kept : nullptr);
        if (item_cache.enabled()) {
          item_cache.Fill(list, std::move(kept), CounterOf(counter_map, list));
        }
        ++miss;
      } else {
        if (hit >= cache_hit.size()) {
          Fail<std::out_of_range>(
              "Cache hit index out of bounds.",
              Values("cache_hit_index: ", hit, "cache_hit.size(): ", cache_hit.size()));
        }
        merger.AddCached(cache_hit[hit]);
        ++hit;
      }
      merged_results.token_indices[i + 1] = merger.row();
    }
  } catch (const std::exception& e) {
    const std::string text = std::string("Error in MergeResults: ") + e.what() +
                             " current_result_index: " + std::to_string(merger.row());
    InternalLogger().error(text);
    throw std::runtime_error(text);
  }
}

}  // namespace ombrix
