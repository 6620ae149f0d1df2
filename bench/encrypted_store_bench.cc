// Throughput of the engine's crypto: the Keccak permutation, 32-byte block hashes, and
// AES-256-GCM sealing and opening of item-sized values, at one thread and at the whole
// team. Compare with `openssl speed -evp sha3-256` and `-evp aes-256-gcm` on one machine.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <vector>

#include "encrypted_store/labels.h"
#include "encrypted_store/sealing.h"
#include "encrypted_store/sha3.h"

namespace ombrix {
namespace {

void BM_KeccakF1600(benchmark::State& state) {
  uint64_t lanes[25] = {1};
  for (auto _ : state) {
    KeccakF1600(lanes);
    benchmark::DoNotOptimize(lanes);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_KeccakF1600);

void BM_Sha3Block(benchmark::State& state) {
  std::array<uint8_t, 32> block{};
  for (auto _ : state) {
    block = Sha3_256(block);
    benchmark::DoNotOptimize(block);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Sha3Block);

void BM_Sha3Stream(benchmark::State& state) {
  std::vector<uint8_t> data(static_cast<std::size_t>(state.range(0)), 0x5a);
  for (auto _ : state) benchmark::DoNotOptimize(Sha3_256(data.data(), data.size()));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Sha3Stream)->Arg(8192);

// Labels of whole lists as a query regenerates them (34 block hashes each at depth 32).
// Arg: threads (0 = the whole default team).
void BM_QueryLabels(benchmark::State& state) {
  const int saved = omp_get_max_threads();
  if (state.range(0) > 0) omp_set_num_threads(static_cast<int>(state.range(0)));
  std::array<uint8_t, 32> key{}, hashed{};
  hashed[0] = 1;
  std::vector<SaltAndSeed> entries;
  for (uint32_t c = 0; c < 16; ++c) entries.push_back(DeriveSaltAndSeed(hashed, key, c));
  const std::vector<uint32_t> counters(16, 1000);
  std::vector<uint32_t> lists;
  std::vector<uint64_t> offsets = {0};
  for (uint32_t c = 0; c < 16; ++c) {
    lists.push_back(c);
    offsets.push_back(offsets.back() + counters[c]);
  }
  std::vector<uint64_t> labels(offsets.back()), masks(offsets.back());
  for (auto _ : state) {
    GenerateQueryTokens(lists, entries, counters, 32, labels, masks, offsets);
    benchmark::DoNotOptimize(labels.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(labels.size()));
  omp_set_num_threads(saved);
}
BENCHMARK(BM_QueryLabels)->Arg(1)->Arg(0)->UseRealTime();

// Args: item bytes, threads (0 = the whole default team), items per batch. A batch of 64
// stays in cache; 4096 items of 3 KB do not, and then memory traffic sets the pace.
void BM_Seal(benchmark::State& state) {
  const int saved = omp_get_max_threads();
  if (state.range(1) > 0) omp_set_num_threads(static_cast<int>(state.range(1)));
  std::array<uint8_t, 32> key{};
  const int64_t batch = state.range(2);
  std::vector<std::vector<uint8_t>> items(batch, std::vector<uint8_t>(state.range(0), 7));
  for (auto _ : state) benchmark::DoNotOptimize(EncryptItems(items, key));
  state.SetBytesProcessed(state.iterations() * batch * state.range(0));
  state.SetItemsProcessed(state.iterations() * batch);
  omp_set_num_threads(saved);
}

void BM_Open(benchmark::State& state) {
  const int saved = omp_get_max_threads();
  if (state.range(1) > 0) omp_set_num_threads(static_cast<int>(state.range(1)));
  std::array<uint8_t, 32> key{};
  const int64_t batch = state.range(2);
  std::vector<std::vector<uint8_t>> items(batch, std::vector<uint8_t>(state.range(0), 7));
  const auto sealed = EncryptItems(items, key);
  for (auto _ : state) benchmark::DoNotOptimize(DecryptItems(sealed, key));
  state.SetBytesProcessed(state.iterations() * batch * state.range(0));
  state.SetItemsProcessed(state.iterations() * batch);
  omp_set_num_threads(saved);
}

BENCHMARK(BM_Seal)->ArgsProduct({{256, 600, 3072}, {1, 0}, {64, 4096}})->UseRealTime();
BENCHMARK(BM_Open)->ArgsProduct({{256, 600, 3072}, {1, 0}, {64, 4096}})->UseRealTime();

}  // namespace
}  // namespace ombrix
