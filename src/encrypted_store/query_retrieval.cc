// Query retrieval: cached lists from the item cache, every other probed list through its
// regenerated labels, unmasked hash ids and sealed records, merged in probe order.
#include <algorithm>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "encrypted_store/encrypted_index_core.h"
#include "encrypted_store/fetched_rows.h"
#include "encrypted_store/item_record.h"
#include "encrypted_store/merge_results.h"
#include "encrypted_store/query_retrieval.h"
#include "encrypted_store/sealing.h"
#include "index_model/parallel.h"

namespace ombrix {
namespace {

const char kNoCudaMessage[] =
    "CUDA support is required, but the library was built without CUDA. Please build and run "
    "the program with CUDA support (e.g., ./build.sh -cuda).";

template <typename Error>
[[noreturn]] void LogAndThrow(const std::string& line, const std::string& message) {
  InternalLogger().error(line);
  throw Error(message);
}

Logger& CoreLog(const EncryptedIndexCore& core) {
  return core.logger != nullptr ? *core.logger : InternalLogger();
}

// The rows of the missed lists, before they are given to lists: one per unique hash id
// whose record decoded, in unique order.
struct FetchedLists {
  CacheMissResult rows;
  HashIdOccurrences occurrences;
  std::vector<uint64_t> row_unique;  // unique index of each row
};

// Runs body(first, count) over contiguous shares of [0, total), on as many threads as
// `per_member` units each pay for; small work stays on the calling thread.
template <typename Body>
void ForShares(uint64_t total, uint64_t per_member, Body&& body) {
  ParallelStatic(total, TeamForWork(total, per_member), std::forward<Body>(body));
}

// Units of work worth a team member: unmasking an id takes a nanosecond or two, reading a
// record into its row a fraction of a microsecond.
constexpr uint64_t kUnmasksPerMember = 4096;
constexpr uint64_t kRecordsPerMember = 512;

// Reads the records of one chunk, whose first hash id has unique index first_unique, into
// the rows of their unique indices; parsed[u] tells which rows were filled. `width` is the
// payload width the rows are read with. Malformed records are reported afterwards on the
// calling thread, in record order. The buffers of the stored values and of the records
// that decoded are released on the team: they were allocated on its threads, and freeing
// thousands of them on one thread would cost more than reading them.
void ReadChunkRows(std::vector<std::vector<uint8_t>>& values,
                   std::vector<std::vector<uint8_t>>& records, uint64_t first_unique,
                   uint64_t width, bool keep_payloads, std::vector<uint8_t>& parsed,
                   CacheMissResult& rows) {
  ForShares(records.size(), kRecordsPerMember, [&](uint64_t first, uint64_t count) {
    for (uint64_t i = first; i < first + count; ++i) {
      std::vector<uint8_t>().swap(values[i]);
      ItemRecordView view;
      if (records[i].empty() || !ParseItemRecord(records[i], &view)) continue;
      const uint64_t u = first_unique + i;
      parsed[u] = 1;
      rows.item_ids[u] = std::string(view.id);
      rows.token_indices[u] = view.list_id;
      if (keep_payloads) CopyRecordPayload(records[i], view, width, rows.payloads.row(u));
      rows.metadata[u] = RecordMetadata(records[i], view, width);
      std::vector<uint8_t>().swap(records[i]);
    }
  });
  for (uint64_t i = 0; i < records.size(); ++i) {
    ItemRecordView view;
    if (!records[i].empty() && parsed[first_unique + i] == 0) {
      ParseOrReportItemRecord(records[i], &view);
    }
  }
}

// The payload width of a chunk read with the index's payload size 0: what the first
// well-formed record holding payload bytes leaves between its header and its metadata.
uint64_t InferredWidth(const std::vector<std::vector<uint8_t>>& records) {
  for (const std::vector<uint8_t>& record : records) {
    ItemRecordView view;
    if (record.empty() || !ParseItemRecord(record, &view)) continue;
    const uint64_t after_header = record.size() - view.payload_offset;
    if (after_header > view.metadata_length) return after_header - view.metadata_length;
  }
  return 0;
}

// Drops the rows whose records did not decode, keeping the order of the others, and
// notes the unique index of each kept row.
void KeepParsedRows(const std::vector<uint8_t>& parsed, FetchedLists& fetched) {
  CacheMissResult& rows = fetched.rows;
  uint64_t kept = 0;
  for (uint64_t u = 0; u < parsed.size(); ++u) {
    if (parsed[u] == 0) continue;
    if (kept != u) {
      rows.item_ids[kept] = std::move(rows.item_ids[u]);
      rows.metadata[kept] = std::move(rows.metadata[u]);
      rows.token_indices[kept] = rows.token_indices[u];
      if (!rows.payloads.empty()) {
        std::copy_n(rows.payloads.row(u), rows.payloads.cols(), rows.payloads.row(kept));
      }
    }
    fetched.row_unique.push_back(u);
    ++kept;
  }
  rows.item_ids.resize(kept);
  rows.metadata.resize(kept);
  rows.token_indices.resize(kept);
  if (kept == 0) {
    rows.payloads = PayloadRows();
  } else if (!rows.payloads.empty()) {
    rows.payloads.Resize(kept);
  }
}

// Labels of every position of the missed lists, their unmasked hash ids, and the records
// of the unique ids, read and opened in chunks.
FetchedLists FetchMissedLists(EncryptedIndexCore& core, const std::vector<uint32_t>& misses,
                              const std::vector<uint32_t>& counters, uint32_t rounds) {
  FetchedLists fetched;
  std::vector<uint64_t> starts(misses.size() + 1, 0);
  for (uint64_t k = 0; k < misses.size(); ++k) {
    starts[k + 1] = starts[k] + CounterOf(counters, misses[k]);
  }
  const uint64_t total = starts.back();
  if (total == 0) return fetched;

  std::vector<uint64_t> labels(total);
  std::vector<uint64_t> masks(total);
  GenerateQueryTokens(misses, core.salts_and_seeds, counters, rounds, labels, masks,
                      std::vector<uint64_t>(starts.begin(), starts.end() - 1));

  CoreLog(core).info("Retrieving encrypted hash IDs");
  const Matrix<uint8_t> masked = core.index_store->BatchGetItems(labels);
  CoreLog(core).info("Decrypting Hash IDs");
  if (masked.cols != 8) {
    LogAndThrow<std::invalid_argument>("Invalid encrypted item ID size\nExpected: 8\nActual: " +
                                           std::to_string(masked.cols),
                                       "Invalid encrypted item ID size");
  }
  if (masked.rows != total) {
    const std::string message = "Index store returned " + std::to_string(masked.rows) +
                                " values for " + std::to_string(total) + " labels";
    LogAndThrow<std::runtime_error>(message, message);
  }
  std::vector<uint64_t> hash_ids(total);
  ForShares(total, kUnmasksPerMember, [&](uint64_t first, uint64_t count) {
    for (uint64_t i = first; i < first + count; ++i) {
      uint64_t value = 0;
      for (int b = 7; b >= 0; --b) value = value << 8 | masked.row(i)[b];
      hash_ids[i] = value ^ masks[i];
    }
  });
  labels = std::vector<uint64_t>();
  masks = std::vector<uint64_t>();
  fetched.occurrences = CollectHashIdOccurrences(hash_ids, starts);
  const std::vector<uint64_t>& unique_ids = fetched.occurrences.unique_ids;

  CoreLog(core).info("Processing encrypted data for " + std::to_string(unique_ids.size()) +
                     " items using streaming");
  // Every unique id has its row; the rows of records that do not decode are dropped at
  // the end.
  const uint64_t payload_size = core.payload_size;
  CacheMissResult& rows = fetched.rows;
  rows.item_ids.resize(unique_ids.size());
  rows.metadata.resize(unique_ids.size());
  rows.token_indices.resize(unique_ids.size());
  if (payload_size != 0) {
    rows.payloads = std::move(core.spare_payload_rows);
    core.spare_payload_rows = PayloadRows();
    if (rows.payloads.cols() != payload_size) rows.payloads = PayloadRows(0, payload_size);
    rows.payloads.Resize(unique_ids.size());
  }
  std::vector<uint8_t> parsed(unique_ids.size(), 0);
  // One chunk of sealed values at a time: read (one store call), opened and parsed before
  // the next is read. Holding several to open them in larger parallel steps measured
  // slower on 1 and on 8 threads, with several times the memory (docs/architecture.md).
  for (uint64_t start = 0; start < unique_ids.size(); start += kReadChunkSize) {
    const uint64_t end = std::min(start + kReadChunkSize, unique_ids.size());
    const std::vector<uint64_t> keys(unique_ids.begin() + start, unique_ids.begin() + end);
    std::vector<std::vector<uint8_t>> values = core.data_store->BatchGetVariable(keys);
    if (values.size() != keys.size()) {
      const std::string message = "Data store returned " + std::to_string(values.size()) +
                                  " values for " + std::to_string(keys.size()) + " keys";
      LogAndThrow<std::runtime_error>(message, message);
    }
    std::vector<std::vector<uint8_t>> records(values.size());
    uint64_t failed_at = 0;
    try {
      DecryptRecordsBody(core.data_store_name, values, records, &failed_at);
    } catch (const std::runtime_error& e) {
      // The list tells whoever looks at the stores where the damaged record is filed.
      const uint32_t list = misses[fetched.occurrences.first_list[start + failed_at]];
      const std::string message = std::string(e.what()) + " (a record of list " +
                                  std::to_string(list) + ")";
      LogAndThrow<std::runtime_error>(message, message);
    }
    const uint64_t width = payload_size != 0 ? payload_size : InferredWidth(records);
    ReadChunkRows(values, records, start, width, payload_size != 0, parsed, rows);
  }
  KeepParsedRows(parsed, fetched);
  return fetched;
}

// Rows [begin, end) of a result as one list; their ids and metadata are moved out.
std::shared_ptr<const PackedList> PackRange(CacheMissResult& rows, uint64_t begin, uint64_t end,
                                            uint64_t payload_size) {
  end = std::max(begin, end);
  std::vector<std::string> ids(std::make_move_iterator(rows.item_ids.begin() + begin),
                               std::make_move_iterator(rows.item_ids.begin() + end));
  std::vector<std::string> metadata(std::make_move_iterator(rows.metadata.begin() + begin),
                                    std::make_move_iterator(rows.metadata.begin() + end));
  const uint64_t width = rows.payloads.empty() ? 0 : payload_size;
  return std::make_shared<const PackedList>(std::move(ids), std::move(metadata),
                                            width == 0 ? nullptr : rows.payloads.row(begin), width);
}

// The largest payload buffer a core keeps between retrievals.
constexpr uint64_t kMostSparePayloadBytes = uint64_t{64} << 20;

// Rows of packing worth a team member; a list is packed by one member.
constexpr uint64_t kPackedRowsPerMember = 1024;

// The lists of rows whose list k spans rows [bounds[k], bounds[k + 1]), k < count, each
// packed on its own thread when there are enough rows.
std::vector<std::shared_ptr<const PackedList>> PackLists(CacheMissResult& rows,
                                                         const std::vector<uint64_t>& bounds,
                                                         uint64_t count, uint64_t payload_size) {
  std::vector<std::shared_ptr<const PackedList>> lists(count);
  const int team = TeamForWork(rows.item_ids.size(), kPackedRowsPerMember);
  ParallelDynamic(count, team, [&](uint64_t k) {
    lists[k] = PackRange(rows, bounds[k], bounds[k + 1], payload_size);
  });
  return lists;
}

}  // namespace

void DecryptRecordsBody(const std::array<uint8_t, 32>& key,
                        const std::vector<std::vector<uint8_t>>& values,
                        std::vector<std::vector<uint8_t>>& plaintexts, uint64_t* failed_at) {
  const std::vector<const char*> reasons = OpenItems(values, key, plaintexts);
  // Reported here, on the calling thread, once the region is over.
  const char* first = nullptr;
  for (size_t i = 0; i < reasons.size(); ++i) {
    if (reasons[i] == nullptr) continue;
    InternalLogger().error(reasons[i]);
    if (first == nullptr) {
      first = reasons[i];
      if (failed_at != nullptr) *failed_at = i;
    }
  }
  if (first != nullptr) throw std::runtime_error(std::string("Decryption failed: ") + first);
}

// What a retrieval found, before cached and fetched lists are joined.
struct EncryptedIndexCore::Retrieval {
  std::vector<uint32_t> counters;
  CachedListLookup lookup;
  FetchedLists fetched;
};

EncryptedIndexCore::Retrieval EncryptedIndexCore::BeginRetrieval(
    const std::vector<uint32_t>& query_tokens) {
  for (uint32_t list : query_tokens) {
    if (list >= vocab_size) {
      const std::string message = "List id " + std::to_string(list) +
                                  " is out of range for a vocabulary of " +
                                  std::to_string(vocab_size) + " lists";
      LogAndThrow<std::out_of_range>(message, message);
    }
  }
  // A query read the map in its first round trip already; a cached list is then served
  // only when its counter is unchanged since that read.
  if (!std::exchange(counter_map_fresh, false)) LoadCounterMap();
  RegenerateSaltsAndSeeds();
  log().info("Generating query tokens for " + std::to_string(query_tokens.size()) +
             " query tokens");
  Retrieval retrieval;
  retrieval.counters = counter_map;
  retrieval.lookup = LookupCachedLists(item_cache, query_tokens, retrieval.counters);

  const std::vector<uint32_t>& misses = retrieval.lookup.cache_misses;
  retrieval_read_entries = !misses.empty();
  if (!misses.empty()) {
    log().info("Generating query tokens for " + std::to_string(misses.size()) + " cache misses");
    if (gpu_accelerated) throw std::runtime_error(kNoCudaMessage);
    if (salts_and_seeds.size() < misses.size()) {
      LogAndThrow<std::invalid_argument>(
          "Number of centroid not matching the number of seeds.\nCentroid Ids: " +
              std::to_string(misses.size()) + " Seeds: " + std::to_string(salts_and_seeds.size()),
          "Number of centroid not matching the number of seeds.");
    }
    const uint32_t rounds = static_cast<uint32_t>(tree_depth);
    if (rounds == 0) {
      LogAndThrow<std::invalid_argument>("The number of round should be at least 1.",
                                         "The number of round should be at lest 1.");
    }
    retrieval.fetched = FetchMissedLists(*this, misses, retrieval.counters, rounds);
  }
  return retrieval;
}

CacheMissResult EncryptedIndexCore::MergeRetrieval(const std::vector<uint32_t>& query_tokens,
                                                   Retrieval& retrieval) {
  CacheLookupResult lookup;
  lookup.hit_and_miss = std::move(retrieval.lookup.hit_and_miss);
  lookup.cache_misses = std::move(retrieval.lookup.cache_misses);
  lookup.hit_item_count = retrieval.lookup.hit_item_count;
  for (const auto& items : retrieval.lookup.hits) {
    lookup.cache_hit.push_back(items != nullptr ? CopyItems(*items) : std::vector<CachedItem>());
  }
  FetchedLists& fetched = retrieval.fetched;
  const std::vector<uint32_t> stale = AttributeFetchedRows(
      query_tokens, lookup, fetched.occurrences, fetched.row_unique, fetched.rows);
  for (uint32_t list : stale) item_cache.Remove(list);

  const uint64_t num_results = lookup.hit_item_count + fetched.rows.item_ids.size();
  log().info("Merging results from cache hits and misses");
  CacheMissResult merged_results;
  try {
    MergeResults(query_tokens, lookup.hit_and_miss, lookup.cache_hit, lookup.cache_misses,
                 fetched.rows, num_results, payload_size, merged_results, item_cache,
                 retrieval.counters);
  } catch (const std::exception& e) {
    const std::string text = std::string("Error in MergeResults: ") + e.what();
    log().error(text);
    throw std::runtime_error(text);
  }
  return merged_results;
}

CacheMissResult EncryptedIndexCore::QueryEncrypted(const std::vector<uint32_t>& query_tokens) {
  Retrieval retrieval = BeginRetrieval(query_tokens);
  return MergeRetrieval(query_tokens, retrieval);
}

std::vector<std::shared_ptr<const PackedList>> EncryptedIndexCore::RetrieveLists(
    const std::vector<uint32_t>& query_tokens) {
  Retrieval retrieval = BeginRetrieval(query_tokens);
  FetchedLists& fetched = retrieval.fetched;
  // An item held by two cached lists, or fetched while a cached list holds it, must be
  // settled by the copying merge; otherwise every list is served as it lies.
  bool settled = !item_cache.MayHoldTwice();
  for (uint64_t r = 0; settled && r < fetched.rows.item_ids.size(); ++r) {
    settled = !item_cache.MayHold(fetched.rows.item_ids[r]);
  }
  std::vector<std::shared_ptr<const PackedList>> lists;
  lists.reserve(query_tokens.size());
  if (!settled) {
    CacheMissResult merged = MergeRetrieval(query_tokens, retrieval);
    const std::vector<uint64_t> bounds = merged.token_indices;
    return PackLists(merged, bounds, query_tokens.size(), payload_size);
  }

  // No cached list holds a fetched item: only the fetched lists need settling among
  // themselves, and the cached ones are served as they are.
  CacheLookupResult fetched_only;
  fetched_only.hit_and_miss = retrieval.lookup.hit_and_miss;
  fetched_only.cache_misses = retrieval.lookup.cache_misses;
  fetched_only.cache_hit.resize(retrieval.lookup.hits.size());
  AttributeFetchedRows(query_tokens, fetched_only, fetched.occurrences, fetched.row_unique,
                       fetched.rows);
  log().info("Merging results from cache hits and misses");
  const std::vector<uint64_t> bounds = fetched.rows.token_indices;
  std::vector<std::shared_ptr<const PackedList>> packed =
      PackLists(fetched.rows, bounds, retrieval.lookup.cache_misses.size(), payload_size);
  static const auto kNoItems =
      std::make_shared<const PackedList>(std::vector<std::string>(), std::vector<std::string>(),
                                         nullptr, 0);
  uint64_t hit = 0;
  uint64_t miss = 0;
  for (uint64_t i = 0; i < query_tokens.size(); ++i) {
    if (retrieval.lookup.hit_and_miss[i]) {
      const auto& items = retrieval.lookup.hits[hit++];
      lists.push_back(items != nullptr ? items : kNoItems);
      continue;
    }
    auto items = std::move(packed[miss]);
    const uint32_t list = retrieval.lookup.cache_misses[miss++];
    item_cache.Fill(list, items, CounterOf(retrieval.counters, list));
    lists.push_back(std::move(items));
  }
  if (fetched.rows.payloads.size() <= kMostSparePayloadBytes) {
    spare_payload_rows = std::move(fetched.rows.payloads);
  }
  return lists;
}

}  // namespace ombrix
