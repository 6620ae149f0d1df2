// Batch push and batch get of the Redis keystore (600-byte values) beside redis-benchmark
// on the same server: pipelined HSET of one field per command, and pipelined HMGET of
// kFieldsPerHmget fields per command, both over one connection. Prints values/s of each
// and the keystore's throughput as a ratio of each baseline; also the batch delete
// (multi-key HDEL per chunk) against one HDEL per key waited for one by one, and a
// writer's calls on its index store for one upsert of 1 and of 20 entries, under a shared
// hold (take and read the maps, fenced compare-and-set of the map, fenced push, release)
// against the same calls without holds (read the maps, compare-and-set, push).
//
// Server: $OMBRIX_TEST_REDIS (scripts/services.sh), else 127.0.0.1:6379, database 0.
// Everything the run writes is deleted at the end.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "backing_store/redis_keystore.h"
#include "keystore_bench_rows.h"

namespace {

namespace bs = ombrix_encrypted_index::internal::backing_store;
using Clock = std::chrono::steady_clock;

constexpr size_t kValueBytes = 600;
constexpr int kRows = 20000;
constexpr int kIterations = 8;
constexpr int kFieldsPerHmget = 100;
constexpr int kPipeline = 1000;

const std::string& Location() {
  static const std::string location = [] {
    const char* value = std::getenv("OMBRIX_TEST_REDIS");
    return std::string(value != nullptr ? value : "host:127.0.0.1,port:6379");
  }();
  return location;
}

std::map<std::string, double>& ValuesPerSecond() {
  static std::map<std::string, double> rates;
  return rates;
}

void Record(benchmark::State& state, const std::string& name, double values, double seconds) {
  state.counters["values/s"] = values / seconds;
  ValuesPerSecond()[name] = values / seconds;
}

using ombrix_bench::MakeRows;
using ombrix_bench::Rows;

std::unique_ptr<bs::RedisKeystore> OpenStore(uint64_t index_id) {
  ombrix::DBConfig config{ombrix::REDIS, "ombrix_bench_config_" + std::to_string(getpid()),
                          Location() + ",db:0"};
  return std::make_unique<bs::RedisKeystore>(config, "bench", index_id, ombrix::DATA);
}

uint64_t RunIndexId() {
  static const uint64_t id = std::random_device{}() * 0x9E3779B97F4A7C15ull;
  return id;
}

void BM_BatchPushVariable(benchmark::State& state) {
  const Rows rows = MakeRows(kRows);
  auto store = OpenStore(RunIndexId());
  double total = 0;
  for (auto _ : state) {
    store->DeleteIndex();
    const auto start = Clock::now();
    store->BatchPushVariable(rows.keys, rows.values);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(seconds);
    total += seconds;
  }
  store->DeleteIndex();
  Record(state, "push", double(kRows) * state.iterations(), total);
}

void BM_BatchGetVariable(benchmark::State& state) {
  const Rows rows = MakeRows(kRows);
  auto store = OpenStore(RunIndexId() + 10);
  store->BatchPushVariable(rows.keys, rows.values);
  double total = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    benchmark::DoNotOptimize(store->BatchGetVariable(rows.keys));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(seconds);
    total += seconds;
  }
  store->DeleteIndex();
  Record(state, "get", double(kRows) * state.iterations(), total);
}

// Times `remove` on a store freshly filled with the rows, once per iteration.
template <typename Remove>
void TimeDeletes(benchmark::State& state, const char* name, uint64_t store, Remove remove) {
  const Rows rows = MakeRows(kRows);
  auto keystore = OpenStore(RunIndexId() + store);
  double total = 0;
  for (auto _ : state) {
    keystore->BatchPushVariable(rows.keys, rows.values);
    const auto start = Clock::now();
    remove(*keystore, rows.keys);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(seconds);
    total += seconds;
  }
  keystore->DeleteIndex();
  Record(state, name, double(kRows) * state.iterations(), total);
}

void BM_BatchDeleteItems(benchmark::State& state) {
  TimeDeletes(state, "delete", 20, [](bs::RedisKeystore& store, const std::vector<uint64_t>& keys) {
    store.BatchDeleteItems(keys);
  });
}

// One HDEL per key, each waited for: what a delete costs without the multi-key HDEL.
void BM_DeleteOneByOne(benchmark::State& state) {
  TimeDeletes(state, "delete_1by1", 30, [](bs::RedisKeystore& store, const std::vector<uint64_t>& keys) {
    for (uint64_t key : keys) store.DeleteItem(key);
  });
}

// One upsert's calls on an index store, `batch` entries of 8 bytes, with or without a hold.
void UpsertRoad(benchmark::State& state, const char* name, uint64_t store_offset, bool held) {
  constexpr int kUpserts = 2000;
  const int batch = static_cast<int>(state.range(0));
  ombrix::DBConfig config{ombrix::REDIS, "ombrix_bench_config_" + std::to_string(getpid()),
                          Location() + ",db:0"};
  bs::RedisKeystore store(config, "bench", RunIndexId() + store_offset, ombrix::INDEX);
  const std::vector<std::pair<uint64_t, uint64_t>> maps = {{UINT64_MAX, 42}, {UINT64_MAX - 1, 43}};
  const std::vector<uint8_t> map(64, 1);
  std::vector<uint64_t> keys(batch);
  const std::vector<std::vector<uint8_t>> entries(batch, std::vector<uint8_t>(8, 2));
  uint64_t next_key = 0;
  double total = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    for (int upsert = 0; upsert < kUpserts; ++upsert) {
      for (uint64_t& key : keys) key = ++next_key;
      const uint64_t writer = next_key;
      uint64_t version = 0;
      if (held) {
        version = store.TakeHoldAndGetMaps(bs::HoldKind::kShared, writer, 40000, maps).second[0].version;
        store.SetWriteFence(bs::WriteFence{bs::HoldKind::kShared, writer});
      } else {
        version = store.GetMaps(maps)[0].version;
      }
      store.PushMap(UINT64_MAX, map, 42, version);
      store.BatchPushVariable(keys, entries);
      if (held) {
        store.SetWriteFence(std::nullopt);
        store.ReleaseHold(bs::HoldKind::kShared, writer);
      }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(seconds);
    total += seconds;
  }
  store.DeleteIndex();
  Record(state, std::string(name) + "_" + std::to_string(batch), double(kUpserts) * state.iterations(), total);
}

void BM_UpsertHeld(benchmark::State& state) { UpsertRoad(state, "held", 40, true); }
void BM_UpsertUnheld(benchmark::State& state) { UpsertRoad(state, "unheld", 50, false); }

std::string Shell(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) throw std::runtime_error("cannot run: " + command);
  std::string out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe.get())) > 0) out.append(buffer, n);
  return out;
}

std::string CliTarget() {
  auto params = bs::ParseRedisConnectionString(Location());
  return "-h " + params["host"] + " -p " + params["port"];
}

const std::string& BaselineHash() {
  static const std::string hash = "ombrix_bench_hash_" + std::to_string(getpid());
  return hash;
}

// Commands per second that redis-benchmark reports for one pipelined client.
double RedisBenchmarkRps(int requests, const std::string& command) {
  const std::string out =
      Shell("redis-benchmark " + CliTarget() + " -c 1 -P " + std::to_string(kPipeline) + " -r " +
            std::to_string(kRows) + " -n " + std::to_string(requests) + " --csv " + command);
  // Second line: "<command>","<rps>",...
  size_t line = out.find('\n');
  size_t start = out.find("\",\"", line);
  if (line == std::string::npos || start == std::string::npos) {
    throw std::runtime_error("unexpected redis-benchmark output: " + out);
  }
  return std::stod(out.substr(start + 3));
}

void BM_RedisBenchmarkHset(benchmark::State& state) {
  const std::string command = "HSET " + BaselineHash() + " __rand_int__ " + std::string(kValueBytes, 'v');
  double values = 0, seconds = 0;
  for (auto _ : state) {
    const double rps = RedisBenchmarkRps(kRows, command);
    state.SetIterationTime(kRows / rps);
    values += kRows;
    seconds += kRows / rps;
  }
  Record(state, "redis_hset", values, seconds);
}

void BM_RedisBenchmarkHmget(benchmark::State& state) {
  // The hash the HSET baseline filled: fields "000000000000" to kRows - 1, mostly present.
  std::string command = "HMGET " + BaselineHash();
  for (int i = 0; i < kFieldsPerHmget; ++i) command += " __rand_int__";
  const int requests = kRows / kFieldsPerHmget;
  double values = 0, seconds = 0;
  for (auto _ : state) {
    const double rps = RedisBenchmarkRps(requests, command);
    state.SetIterationTime(requests / rps);
    values += double(requests) * kFieldsPerHmget;
    seconds += requests / rps;
  }
  Record(state, "redis_hmget", values, seconds);
}

BENCHMARK(BM_BatchPushVariable)->Iterations(kIterations)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RedisBenchmarkHset)->Iterations(kIterations)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BatchGetVariable)->Iterations(kIterations)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RedisBenchmarkHmget)->Iterations(kIterations)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BatchDeleteItems)->Iterations(kIterations)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeleteOneByOne)->Iterations(2)->UseManualTime()->Unit(benchmark::kMillisecond);
// Alternating, so the load of the machine falls on both alike.
BENCHMARK(BM_UpsertUnheld)->Arg(1)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UpsertHeld)->Arg(1)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UpsertUnheld)->Arg(20)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UpsertHeld)->Arg(20)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  Shell("redis-cli " + CliTarget() + " DEL " + BaselineHash() + " > /dev/null");

  const auto& rate = ValuesPerSecond();
  auto ratio = [&](const char* ours, const char* theirs) {
    if (rate.count(ours) == 0 || rate.count(theirs) == 0) return;
    std::printf("%-8s / %-12s = %.2f\n", ours, theirs, rate.at(ours) / rate.at(theirs));
  };
  std::printf("\n%zu-byte values, %d values per batch, one connection each, %u hardware threads\n",
              kValueBytes, kRows, std::thread::hardware_concurrency());
  ratio("push", "redis_hset");
  ratio("get", "redis_hmget");
  ratio("delete", "delete_1by1");
  ratio("held_1", "unheld_1");
  ratio("held_20", "unheld_20");
  return 0;
}
