// The index operations end to end on memory stores: a query on an untrained index (one
// list scanned whole) beside the same query after training (automatic probes), and an
// upsert batch on each road. Compare the pairs within one run.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "index/encrypted_index.h"

namespace ombrix {
namespace {

constexpr uint64_t kItems = 20000;
constexpr uint64_t kDimension = 64;

Matrix<float> Clustered(uint64_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> centre(-10.0f, 10.0f);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  std::vector<float> centres(16 * kDimension);
  for (auto& x : centres) x = centre(gen);
  std::vector<float> v(n * kDimension);
  for (uint64_t i = 0; i < v.size(); ++i) v[i] = centres[((i / kDimension) % 16) * kDimension + i % kDimension] + noise(gen);
  return Matrix<float>(std::move(v), kDimension);
}

std::vector<std::string> Ids(uint64_t n, uint64_t first) {
  std::vector<std::string> ids;
  for (uint64_t i = 0; i < n; ++i) ids.push_back("item" + std::to_string(first + i));
  return ids;
}

std::unique_ptr<EncryptedIndex> MakeIndex(bool train) {
  IndexSettings settings;
  settings.index_name = train ? "bench_trained" : "bench_untrained";
  for (size_t i = 0; i < 32; ++i) settings.index_key[i] = static_cast<uint8_t>(i);
  for (DBConfig* store : {&settings.index_location, &settings.config_location, &settings.items_location,
                          &settings.data_location}) {
    store->location = MEMORY;
  }
  settings.cpu_threads = 0;
  auto index = std::make_unique<EncryptedIndex>(settings.index_name, settings.index_key, IndexIVFFlat(kDimension),
                                                settings, &Logger::instance(), nullptr);
  Matrix<float> data = Clustered(kItems, 1);
  index->Upsert(Ids(kItems, 0), data, {}, {});
  if (train) index->TrainIndex();
  return index;
}

void Query(benchmark::State& state, bool trained) {
  auto index = MakeIndex(trained);
  const Matrix<float> queries = Clustered(1, 2);
  QueryParams params;
  params.top_k = 10;
  for (auto _ : state) benchmark::DoNotOptimize(index->Query(queries, params));
}

void Upsert(benchmark::State& state, bool trained) {
  auto index = MakeIndex(trained);
  uint64_t next = kItems;
  for (auto _ : state) {
    Matrix<float> batch = Clustered(1000, static_cast<unsigned>(next));
    index->Upsert(Ids(1000, next), batch, {}, {});
    next += 1000;
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 1000);
}

BENCHMARK_CAPTURE(Query, untrained, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Query, trained, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Upsert, untrained, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Upsert, trained, true)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ombrix
