// What telemetry and the error wrapper cost the caller of an operation: recording must
// stay one lock and one addition, the wrapper's success path close to a plain call.
// The aggregator has no host, so nothing leaves the process.
#include <benchmark/benchmark.h>

#include <mutex>
#include <string>
#include <unordered_map>

#include "diagnostics/error_wrapper.h"
#include "diagnostics/telemetry.h"

namespace ombrix::internal {
namespace {

TelemetryAggregator& Aggregator() {
  static TelemetryAggregator aggregator("bench", TelemetrySettings{});
  return aggregator;
}

// The floor: one uncontended lock around one hash-map addition.
void BM_LockedMapAddition(benchmark::State& state) {
  static std::mutex mutex;
  static std::unordered_map<int32_t, int32_t> counts;
  for (auto _ : state) {
    std::lock_guard<std::mutex> lock(mutex);
    benchmark::DoNotOptimize(counts[1] += 1);
  }
}
BENCHMARK(BM_LockedMapAddition)->Threads(1)->Threads(4);

void BM_RecordEvent(benchmark::State& state) {
  TelemetryAggregator& aggregator = Aggregator();
  for (auto _ : state) aggregator.RecordEvent(kUpsert, 1);
}
BENCHMARK(BM_RecordEvent)->Threads(1)->Threads(4);

void BM_RecordError(benchmark::State& state) {
  TelemetryAggregator& aggregator = Aggregator();
  const std::string description = "Exception in Upsert: Vector dimension mismatch";
  for (auto _ : state) aggregator.RecordError(description);
}
BENCHMARK(BM_RecordError);

int Work(int x) { return x * 3 + 1; }

void BM_PlainCall(benchmark::State& state) {
  int x = 0;
  for (auto _ : state) {
    x = Work(x);
    benchmark::DoNotOptimize(x);
  }
}
BENCHMARK(BM_PlainCall);

void BM_WrappedCall(benchmark::State& state) {
  TelemetryAggregator& aggregator = Aggregator();
  int x = 0;
  for (auto _ : state) {
    x = ExecuteWithErrorHandling("Query", &aggregator, [&] { return Work(x); });
    benchmark::DoNotOptimize(x);
  }
}
BENCHMARK(BM_WrappedCall);

}  // namespace
}  // namespace ombrix::internal
