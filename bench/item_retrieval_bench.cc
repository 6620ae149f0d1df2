// Cost per item of the engine's write and read halves on memory stores: adding items
// (labels, sealing, writes), retrieving a list from the stores (labels, reads, opening,
// attribution, merge) and serving it from the item cache. Run on one machine and compare
// the three as ratios; the store costs here are those of process memory.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "encrypted_store/encrypted_index_core.h"

namespace ombrix {
namespace {

constexpr uint64_t kDimension = 128;  // unless an Arg says otherwise

std::unique_ptr<EncryptedIndexCore> MakeCore(const std::string& name, uint64_t cache_lists,
                                             uint64_t dimension = kDimension) {
  IndexSettings settings;
  settings.index_name = name;
  for (size_t i = 0; i < settings.index_key.size(); ++i) settings.index_key[i] = static_cast<uint8_t>(i);
  DBConfig memory;
  memory.location = MEMORY;
  settings.index_location = settings.config_location = settings.items_location =
      settings.data_location = memory;
  settings.cpu_threads = 0;
  settings.max_cache_size = cache_lists;
  settings.payload_size = dimension * 4;
  auto core = EncryptedIndexCore::Create(settings, &Logger::instance(), {1});
  core->item_cache.lru_cache_size = cache_lists;
  return core;
}

ItemBatch MakeBatch(uint64_t n, uint64_t first_id, uint64_t dimension = kDimension) {
  std::mt19937 gen(static_cast<uint32_t>(first_id + 1));
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  std::vector<float> floats(n * dimension);
  for (float& f : floats) f = value(gen);
  std::vector<uint8_t> bytes(floats.size() * 4);
  std::memcpy(bytes.data(), floats.data(), bytes.size());
  ItemBatch batch;
  batch.input_tokens.assign(n, 0);
  for (uint64_t i = 0; i < n; ++i) {
    batch.item_ids.push_back("item-" + std::to_string(first_id + i));
    batch.metadata.push_back("{\"n\":" + std::to_string(first_id + i) + "}");
  }
  batch.payloads = Matrix<uint8_t>(std::move(bytes), dimension * 4);
  return batch;
}

void BM_AddItems(benchmark::State& state) {
  const uint64_t n = static_cast<uint64_t>(state.range(0));
  auto core = MakeCore("bench_add", 0);
  uint64_t next = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ItemBatch batch = MakeBatch(n, next);
    next += n;
    state.ResumeTiming();
    core->AddItems(batch);
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_AddItems)->Arg(10000)->Unit(benchmark::kMillisecond);

// One list of n items of a dimension, retrieved with the cache off (every call reads the
// stores) or on (every call after the first is served from memory).
void BM_QueryList(benchmark::State& state) {
  const uint64_t n = static_cast<uint64_t>(state.range(0));
  const uint64_t cache_lists = static_cast<uint64_t>(state.range(1));
  const uint64_t dimension = static_cast<uint64_t>(state.range(2));
  auto core = MakeCore("bench_query", cache_lists, dimension);
  ItemBatch batch = MakeBatch(n, 0, dimension);
  core->AddItems(batch);
  core->QueryEncrypted({0});
  for (auto _ : state) benchmark::DoNotOptimize(core->QueryEncrypted({0}));
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_QueryList)
    ->ArgNames({"items", "cache", "d"})
    ->ArgsProduct({{10000}, {0, 1}, {128, 768}})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ombrix
