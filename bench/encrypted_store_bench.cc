// Throughput of the engine's crypto: the Keccak permutation (scalar, OpenSSL's, and
// several at once in SIMD lanes), 32-byte block hashes, labels of lists and items, and
// AES-256-GCM sealing and opening of item-sized values, at one thread and at the whole
// team. Compare with `openssl speed -evp sha3-256` and `-evp aes-256-gcm` on one machine.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <openssl/evp.h>

#include <random>
#include <vector>

#include "encrypted_store/labels.h"
#include "encrypted_store/sealing.h"
#include "encrypted_store/sha3.h"
#include "encrypted_store/sha3_many.h"

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

// OpenSSL's SHA3-256 over long input: one permutation per 136-byte block, so its items
// are permutations, comparable with BM_KeccakF1600.
void BM_KeccakF1600OpenSsl(benchmark::State& state) {
  constexpr int kBlocks = 64;
  std::vector<uint8_t> data(136 * kBlocks - 1, 0x5a);  // the padding fits the last block
  uint8_t digest[32];
  unsigned int length = 0;
  for (auto _ : state) {
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha3_256(), nullptr);
    benchmark::DoNotOptimize(digest);
  }
  state.SetItemsProcessed(state.iterations() * kBlocks);
}
BENCHMARK(BM_KeccakF1600OpenSsl);

// Independent block hashes as the label walk issues them. Arg: kernel (0 scalar, 1 AVX2,
// 2 AVX-512).
void BM_Sha3LanesMany(benchmark::State& state) {
  const auto kernel = static_cast<KeccakKernel>(state.range(0));
  if (!KeccakKernelSupported(kernel)) {
    state.SkipWithError("kernel not supported on this CPU");
    return;
  }
  constexpr std::size_t kHashes = 1024;
  std::vector<uint64_t> lanes(4 * kHashes, 7);
  for (auto _ : state) {
    Sha3_256LanesMany(kernel, lanes.data(), lanes.data(), kHashes);
    benchmark::DoNotOptimize(lanes.data());
  }
  state.SetItemsProcessed(state.iterations() * kHashes);
}
BENCHMARK(BM_Sha3LanesMany)->Arg(0)->Arg(1)->Arg(2);

std::vector<SaltAndSeed> BenchEntries(uint32_t lists) {
  std::array<uint8_t, 32> key{}, hashed{};
  hashed[0] = 1;
  std::vector<SaltAndSeed> entries;
  for (uint32_t c = 0; c < lists; ++c) entries.push_back(DeriveSaltAndSeed(hashed, key, c));
  return entries;
}

// Labels of whole lists as a query regenerates them, depth 32. Args: threads (0 = the
// whole default team), form (0 = every position walked alone, the reference; 1 = the
// generator, sharing prefixes).
void BM_QueryLabels(benchmark::State& state) {
  const int saved = omp_get_max_threads();
  if (state.range(0) > 0) omp_set_num_threads(static_cast<int>(state.range(0)));
  const std::vector<SaltAndSeed> entries = BenchEntries(16);
  const std::vector<uint32_t> counters(16, 1000);
  std::vector<uint32_t> lists;
  std::vector<uint64_t> offsets = {0};
  for (uint32_t c = 0; c < 16; ++c) {
    lists.push_back(c);
    offsets.push_back(offsets.back() + counters[c]);
  }
  std::vector<uint64_t> labels(offsets.back()), masks(offsets.back());
  for (auto _ : state) {
    if (state.range(1) == 1) {
      GenerateQueryTokens(lists, entries, counters, 32, labels, masks, offsets);
    } else {
      for (uint32_t c = 0; c < 16; ++c) {
        for (uint32_t v = 0; v < counters[c]; ++v) {
          LabelAndMask(entries[c], v, 32, labels[offsets[c] + v], masks[offsets[c] + v]);
        }
      }
    }
    benchmark::DoNotOptimize(labels.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(labels.size()));
  omp_set_num_threads(saved);
}
BENCHMARK(BM_QueryLabels)->ArgsProduct({{1}, {0, 1}})->Args({0, 1})->UseRealTime();

// Labels and masked ids of an upsert of 100,000 items spread over 1,024 lists, each
// list's new positions consecutive from where its counter stood. Arg: threads.
void BM_ItemLabels(benchmark::State& state) {
  const int saved = omp_get_max_threads();
  if (state.range(0) > 0) omp_set_num_threads(static_cast<int>(state.range(0)));
  constexpr uint32_t kLists = 1024;
  constexpr std::size_t kItems = 100000;
  const std::vector<SaltAndSeed> entries = BenchEntries(kLists);
  std::mt19937 gen(5);
  std::vector<uint32_t> counters(kLists);
  for (auto& counter : counters) counter = gen() % 5000;
  std::vector<uint32_t> lists(kItems), positions(kItems);
  std::vector<uint64_t> hash_ids(kItems);
  for (std::size_t i = 0; i < kItems; ++i) {
    lists[i] = gen() % kLists;
    positions[i] = counters[lists[i]]++;
    hash_ids[i] = i;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(GenerateItemTokens(lists, hash_ids, entries, 32, positions));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kItems));
  omp_set_num_threads(saved);
}
BENCHMARK(BM_ItemLabels)->Arg(1)->Arg(0)->UseRealTime()->Unit(benchmark::kMillisecond);

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
