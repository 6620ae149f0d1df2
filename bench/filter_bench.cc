// What metadata filtering adds to a query. Per candidate: post-filtering 10,000 retrieved
// candidates with a three-condition filter and with a $regex filter, beside opening the
// same candidates' sealed records (one thread, and the default team as a query does). Per
// query: a filtered query on an untrained index of 50,000 items (memory stores) beside the
// unfiltered one. Prints the ratios of the run at the end.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "encrypted_store/sealing.h"
#include "index/encrypted_index.h"
#include "index/metadata_filter.h"
#include "index/post_filtering.h"

namespace ombrix {
namespace {

constexpr uint64_t kCandidates = 10000;
constexpr uint64_t kIndexItems = 50000;
constexpr uint64_t kDimension = 128;

const char* const kThreeConditions =
    R"({"$and": [{"category": {"$in": ["books", "music"]}}, {"price": {"$lt": 60}}, )"
    R"({"in_stock": true}]})";
const char* const kRegex = R"({"title": {"$regex": "^item-[0-9]*7$"}})";

std::map<std::string, double>& SecondsPerUnit() {
  static std::map<std::string, double> seconds;
  return seconds;
}

std::string Metadata(uint64_t n) {
  static const char* const categories[] = {"books", "music", "tools", "games"};
  return "{\"category\": \"" + std::string(categories[n % 4]) +
         "\", \"price\": " + std::to_string(n % 100) +
         ", \"in_stock\": " + (n % 3 != 0 ? "true" : "false") + ", \"title\": \"item-" +
         std::to_string(n) + "\"}";
}

Matrix<float> RandomVectors(uint64_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> value(0.0f, 1.0f);
  std::vector<float> v(n * kDimension);
  for (float& x : v) x = value(gen);
  return Matrix<float>(std::move(v), kDimension);
}

CacheMissResult Candidates() {
  CacheMissResult c;
  const Matrix<float> vectors = RandomVectors(kCandidates, 1);
  c.payloads = PayloadRows(kCandidates, kDimension * 4);
  std::memcpy(c.payloads.data(), vectors.data.data(), c.payloads.size());
  for (uint64_t n = 0; n < kCandidates; ++n) {
    c.item_ids.push_back("item-" + std::to_string(n));
    c.metadata.push_back(Metadata(n));
  }
  c.token_indices = {0, kCandidates};
  return c;
}

// Timing by hand, so the copy of the candidates each iteration consumes stays outside.
template <typename Work>
void TimeEach(benchmark::State& state, const std::string& name, double units, Work work) {
  double total = 0;
  for (auto _ : state) {
    const double seconds = work();
    state.SetIterationTime(seconds);
    total += seconds;
  }
  state.counters["ns_per_unit"] = total / static_cast<double>(state.iterations()) / units * 1e9;
  SecondsPerUnit()[name] = total / static_cast<double>(state.iterations()) / units;
}

double Seconds(const std::chrono::steady_clock::time_point& start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void PostFilter(benchmark::State& state, const char* name, const char* filter_text) {
  const CacheMissResult candidates = Candidates();
  const nlohmann::json filter = parseFilters(filter_text);
  size_t kept = 0;
  TimeEach(state, name, kCandidates, [&] {
    CacheMissResult copy = candidates;
    const auto start = std::chrono::steady_clock::now();
    kept = FilterCandidates(std::move(copy), filter).item_ids.size();
    return Seconds(start);
  });
  state.counters["kept"] = static_cast<double>(kept);
}

// The sealed records of the same candidates: id, payload and metadata, about the size of
// an item record.
void Open(benchmark::State& state, const char* name, int threads) {
  const int saved = omp_get_max_threads();
  if (threads > 0) omp_set_num_threads(threads);
  const CacheMissResult candidates = Candidates();
  std::vector<std::vector<uint8_t>> records;
  for (uint64_t n = 0; n < kCandidates; ++n) {
    std::vector<uint8_t> record(candidates.payloads.row(n),
                                candidates.payloads.row(n) + candidates.payloads.cols());
    record.insert(record.end(), candidates.item_ids[n].begin(), candidates.item_ids[n].end());
    record.insert(record.end(), candidates.metadata[n].begin(), candidates.metadata[n].end());
    records.push_back(std::move(record));
  }
  std::array<uint8_t, 32> key{};
  const auto sealed = EncryptItems(records, key);
  TimeEach(state, name, kCandidates, [&] {
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(DecryptItems(sealed, key));
    return Seconds(start);
  });
  omp_set_num_threads(saved);
}

EncryptedIndex& UntrainedIndex() {
  static std::unique_ptr<EncryptedIndex> index = [] {
    IndexSettings settings;
    settings.index_name = "bench_filters";
    for (size_t i = 0; i < 32; ++i) settings.index_key[i] = static_cast<uint8_t>(i);
    for (DBConfig* store : {&settings.index_location, &settings.config_location,
                            &settings.items_location, &settings.data_location}) {
      store->location = MEMORY;
    }
    settings.cpu_threads = 0;
    settings.max_cache_size = 0;  // every query opens the records, as a cold list does
    auto made = std::make_unique<EncryptedIndex>(settings.index_name, settings.index_key,
                                                 IndexIVFFlat(kDimension), settings,
                                                 &Logger::instance(), nullptr);
    Matrix<float> vectors = RandomVectors(kIndexItems, 2);
    std::vector<std::string> ids;
    std::vector<std::string> metadata;
    for (uint64_t n = 0; n < kIndexItems; ++n) {
      ids.push_back("item-" + std::to_string(n));
      metadata.push_back(Metadata(n));
    }
    made->Upsert(ids, vectors, {}, metadata);
    return made;
  }();
  return *index;
}

void Query(benchmark::State& state, const char* name, const char* filter_text) {
  EncryptedIndex& index = UntrainedIndex();
  const Matrix<float> query = RandomVectors(1, 3);
  QueryParams params;
  params.top_k = 10;
  params.filters = filter_text;
  TimeEach(state, name, 1, [&] {
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(index.Query(query, params));
    return Seconds(start);
  });
}

BENCHMARK_CAPTURE(Open, open_1_thread, "open_1", 1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Open, open_team, "open_team", 0)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(PostFilter, three_conditions, "filter_3", kThreeConditions)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(PostFilter, regex, "filter_regex", kRegex)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
// Whole queries take about a second on memory stores: a fixed count keeps the run short.
BENCHMARK_CAPTURE(Query, unfiltered, "query", "")
    ->UseManualTime()
    ->Iterations(6)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Query, three_conditions, "query_filter_3", kThreeConditions)
    ->UseManualTime()
    ->Iterations(6)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Query, regex, "query_filter_regex", kRegex)
    ->UseManualTime()
    ->Iterations(6)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ombrix

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  const auto& seconds = ombrix::SecondsPerUnit();
  auto ratio = [&](const char* a, const char* b) {
    if (seconds.count(a) == 0 || seconds.count(b) == 0) return;
    std::printf("%-18s / %-12s = %.2f\n", a, b, seconds.at(a) / seconds.at(b));
  };
  std::printf(
      "\n%llu candidates of %llu floats; untrained index of %llu items; %u hardware threads\n",
      static_cast<unsigned long long>(ombrix::kCandidates),
      static_cast<unsigned long long>(ombrix::kDimension),
      static_cast<unsigned long long>(ombrix::kIndexItems), std::thread::hardware_concurrency());
  ratio("filter_3", "open_1");
  ratio("filter_3", "open_team");
  ratio("filter_regex", "open_1");
  ratio("filter_regex", "open_team");
  ratio("query_filter_3", "query");
  ratio("query_filter_regex", "query");
  return 0;
}
