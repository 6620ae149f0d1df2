// Batch push and batch get of the PostgreSQL keystore (600-byte values) beside the same
// rows moved by psql: one multi-row INSERT, COPY FROM STDIN and COPY TO STDOUT. Prints
// rows/s of each and the keystore's throughput as a ratio of each baseline.
//
// Server: $OMBRIX_TEST_PG (scripts/services.sh), else the local test database. A table
// made for the run is dropped at the end. psql timings include starting psql.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "backing_store/postgres_connection.h"
#include "backing_store/postgres_keystore.h"
#include "keystore_bench_rows.h"

namespace {

namespace bs = ombrix_encrypted_index::internal::backing_store;
using Clock = std::chrono::steady_clock;

constexpr size_t kValueBytes = 600;

const std::string& Conninfo() {
  static const std::string conninfo = [] {
    const char* value = std::getenv("OMBRIX_TEST_PG");
    return std::string(value != nullptr ? value
                                        : "host=127.0.0.1 port=5432 dbname=ombrix_test user=ombrix_test");
  }();
  return conninfo;
}

const std::string& Table() {
  static const std::string table = "ombrix_bench_" + std::to_string(getpid());
  return table;
}

std::map<std::string, double>& RowsPerSecond() {
  static std::map<std::string, double> rates;
  return rates;
}

void Exec(const std::string& sql) {
  bs::PgConnection connection = bs::PgConnect(Conninfo());
  bs::PgOutcome outcome = bs::PgExec(connection.get(), sql, PGRES_COMMAND_OK);
  if (!outcome.ok) throw std::runtime_error(outcome.error);
}

using ombrix_bench::MakeRows;
using ombrix_bench::Rows;

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    hex += digits[b >> 4];
    hex += digits[b & 15];
  }
  return hex;
}

std::unique_ptr<bs::PostgresKeystore> OpenStore(uint64_t index_id) {
  return std::make_unique<bs::PostgresKeystore>(
      ombrix::DBConfig{ombrix::POSTGRES, Table(), Conninfo()}, "bench", index_id, ombrix::DATA);
}

void Record(benchmark::State& state, const std::string& name, size_t rows, double seconds) {
  state.counters["rows/s"] = rows / seconds;
  RowsPerSecond()[name] = rows / seconds;
}

void BM_BatchPushVariable(benchmark::State& state) {
  const Rows rows = MakeRows(static_cast<size_t>(state.range(0)));
  auto store = OpenStore(1);
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
  Record(state, "push", rows.keys.size() * state.iterations(), total);
}

void BM_BatchGetVariable(benchmark::State& state) {
  const Rows rows = MakeRows(static_cast<size_t>(state.range(0)));
  auto store = OpenStore(2);
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
  Record(state, "get", rows.keys.size() * state.iterations(), total);
}

// Runs a psql script and returns its wall time.
double Psql(const std::string& script_path, const std::string& output = "/dev/null") {
  const std::string command = "psql \"" + Conninfo() + "\" -X -q -v ON_ERROR_STOP=1 -f " +
                              script_path + " > " + output;
  const auto start = Clock::now();
  if (std::system(command.c_str()) != 0) throw std::runtime_error("psql failed: " + command);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string WriteScript(const std::string& name, const std::string& text) {
  const std::string path = std::filesystem::temp_directory_path() /
                           ("ombrix_bench_" + std::to_string(getpid()) + "_" + name + ".sql");
  std::ofstream(path) << text;
  return path;
}

// Deletes the baseline rows (store id 3) between iterations, outside the timing.
void ClearBaselineRows() { Exec("DELETE FROM " + Table() + " WHERE index_name = 3"); }

// Times psql running a script that writes `rows` baseline rows into an emptied store.
void LoadThroughPsql(benchmark::State& state, const std::string& name, const std::string& script,
                     size_t rows) {
  const std::string path = WriteScript(name, script);
  double total = 0;
  for (auto _ : state) {
    ClearBaselineRows();
    const double seconds = Psql(path);
    state.SetIterationTime(seconds);
    total += seconds;
  }
  ClearBaselineRows();
  std::filesystem::remove(path);
  Record(state, name, rows * state.iterations(), total);
}

void BM_PsqlMultiRowInsert(benchmark::State& state) {
  const Rows rows = MakeRows(static_cast<size_t>(state.range(0)));
  std::string sql = "INSERT INTO " + Table() + " (key, value, index_name) VALUES ";
  for (size_t i = 0; i < rows.keys.size(); ++i) {
    if (i != 0) sql += ", ";
    sql += "('" + std::to_string(rows.keys[i]) + "', '\\x" + Hex(rows.values[i]) + "', 3)";
  }
  LoadThroughPsql(state, "insert", sql + ";\n", rows.keys.size());
}

void BM_PsqlCopyIn(benchmark::State& state) {
  const Rows rows = MakeRows(static_cast<size_t>(state.range(0)));
  std::string script = "COPY " + Table() + " (key, value, index_name) FROM STDIN;\n";
  for (size_t i = 0; i < rows.keys.size(); ++i) {
    script += std::to_string(rows.keys[i]) + "\t\\\\x" + Hex(rows.values[i]) + "\t3\n";
  }
  LoadThroughPsql(state, "copy_in", script + "\\.\n", rows.keys.size());
}

void BM_PsqlCopyOut(benchmark::State& state) {
  const Rows rows = MakeRows(static_cast<size_t>(state.range(0)));
  auto store = OpenStore(3 - ombrix::DATA);  // store id 3, the baseline rows
  store->BatchPushVariable(rows.keys, rows.values);
  std::string keys;
  for (size_t i = 0; i < rows.keys.size(); ++i) {
    if (i != 0) keys += ", ";
    keys += '\'';
    keys += std::to_string(rows.keys[i]);
    keys += '\'';
  }
  const std::string path =
      WriteScript("copy_out", "COPY (SELECT key, value FROM " + Table() + " WHERE key IN (" +
                                  keys + ") AND index_name = 3) TO STDOUT;\n");
  double total = 0;
  for (auto _ : state) {
    const double seconds = Psql(path);
    state.SetIterationTime(seconds);
    total += seconds;
  }
  ClearBaselineRows();
  std::filesystem::remove(path);
  Record(state, "copy_out", rows.keys.size() * state.iterations(), total);
}

constexpr int kRows = 20000;
constexpr int kIterations = 8;
BENCHMARK(BM_BatchPushVariable)->Arg(kRows)->Iterations(kIterations)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PsqlMultiRowInsert)->Arg(kRows)->Iterations(kIterations)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PsqlCopyIn)->Arg(kRows)->Iterations(kIterations)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BatchGetVariable)->Arg(kRows)->Iterations(kIterations)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PsqlCopyOut)->Arg(kRows)->Iterations(kIterations)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // Opening a store creates the table the baselines write to as well.
  OpenStore(0).reset();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  Exec("DROP TABLE IF EXISTS " + Table());

  const auto& rate = RowsPerSecond();
  auto ratio = [&](const char* ours, const char* theirs) {
    if (rate.count(ours) == 0 || rate.count(theirs) == 0) return;
    std::printf("%-8s / %-8s = %.2f\n", ours, theirs, rate.at(ours) / rate.at(theirs));
  };
  std::printf("\n%zu-byte values, %d rows per batch, %u hardware threads\n", kValueBytes, kRows,
              std::thread::hardware_concurrency());
  ratio("push", "insert");
  ratio("push", "copy_in");
  ratio("get", "copy_out");
  return 0;
}
