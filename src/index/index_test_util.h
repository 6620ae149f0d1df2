// Test helpers for the index operations: a file-backed logger whose lines a test can
// read back, settings for memory and test-backend locations, and clustered data.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "diagnostics/logger.h"
#include "index/encrypted_index.h"

namespace ombrix::index_testing {

// A Logger at level INFO writing to its own temporary file.
class CapturedLog {
 public:
  CapturedLog()
      : path_(std::filesystem::temp_directory_path() /
              ("ombrix_index_log_" + std::to_string(::getpid()) + "_" + std::to_string(next_++) + ".log")) {
    logger_.configure("info", true, path_.string());
  }
  ~CapturedLog() {
    // An index made with this logger left it as the process's current one: a later test
    // must not write through a pointer to it.
    for (std::atomic<Logger*>* current : {&internal_logger, &active_logger}) {
      Logger* self = &logger_;
      current->compare_exchange_strong(self, nullptr);
    }
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  Logger* logger() { return &logger_; }

  // Every line so far as "LEVEL message" (time stamp dropped).
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::ifstream in(path_);
    std::string line;
    std::string text;
    while (std::getline(in, line)) {
      // A message may span lines; continuation lines do not start with "[".
      if (!line.empty() && line[0] != '[' && !lines.empty()) {
        lines.back() += "\n" + line;
        continue;
      }
      const size_t open = line.find("][");
      const size_t close = line.find("] ", open == std::string::npos ? 0 : open + 2);
      if (open == std::string::npos || close == std::string::npos) {
        lines.push_back(line);
      } else {
        lines.push_back(line.substr(open + 2, close - open - 2) + " " + line.substr(close + 2));
      }
    }
    return lines;
  }
  bool Has(const std::string& entry) const {
    const auto lines = Lines();
    return std::find(lines.begin(), lines.end(), entry) != lines.end();
  }
  size_t CountContaining(const std::string& part) const {
    size_t n = 0;
    for (const auto& line : Lines()) n += line.find(part) != std::string::npos ? 1 : 0;
    return n;
  }

 private:
  static inline std::atomic<int> next_{0};
  std::filesystem::path path_;
  Logger logger_;
};

inline std::array<uint8_t, 32> TestKey(uint8_t seed = 7) {
  std::array<uint8_t, 32> key{};
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(seed + 13 * i);
  return key;
}

// Settings for `name` with every store at `location` (a test-backend location for
// POSTGRES and REDIS), apart from `config_location` when given.
inline IndexSettings Settings(const std::string& name, int32_t location = MEMORY,
                              std::optional<int32_t> config_location = std::nullopt,
                              std::optional<int32_t> cpu_threads = 0) {
  IndexSettings settings;
  settings.index_name = name;
  static_cast<std::array<uint8_t, 32>&>(settings.index_key) = TestKey();
  DBConfig store;
  store.location = location;
  if (location != MEMORY) {
    store.table_name = "index_test";
    store.connection_string = "host=127.0.0.1 password=hunter2 dbname=x";
  }
  settings.index_location = store;
  settings.items_location = store;
  settings.data_location = store;
  settings.config_location = store;
  if (config_location) {
    settings.config_location.location = *config_location;
    if (*config_location != MEMORY) {
      settings.config_location.table_name = "index_test";
      settings.config_location.connection_string = "host=127.0.0.1";
    }
  }
  settings.cpu_threads = cpu_threads;
  settings.gpu_accelerate = false;
  settings.max_cache_size = 4;
  return settings;
}

// `name` on the test backend (POSTGRES). The label walk needs one round per bit of a
// position; 14 bits cover the lists of the training tests and keep their many trainings
// cheap.
inline IndexSettings ShallowSettings(const std::string& name) {
  IndexSettings settings = Settings(name, POSTGRES);
  settings.tree_depth = 14;
  return settings;
}

// n points of dimension d around `clusters` centres spaced far apart (noise 1 around
// centres about 1000 apart), row i in cluster i % clusters.
inline Matrix<float> Clustered(uint64_t n, uint64_t d, uint64_t clusters, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> centre(-1000.0f, 1000.0f);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  std::vector<float> centres(clusters * d);
  for (auto& x : centres) x = centre(gen);
  std::vector<float> v(n * d);
  for (uint64_t i = 0; i < n; ++i) {
    for (uint64_t j = 0; j < d; ++j) v[i * d + j] = centres[(i % clusters) * d + j] + noise(gen);
  }
  return Matrix<float>(std::move(v), d);
}

inline std::vector<std::string> Ids(uint64_t n, uint64_t first = 0, const std::string& prefix = "id") {
  std::vector<std::string> ids;
  ids.reserve(n);
  for (uint64_t i = 0; i < n; ++i) ids.push_back(prefix + std::to_string(first + i));
  return ids;
}

// A new index under `settings` holding `data` as "id0", "id1", ...
inline std::unique_ptr<EncryptedIndex> FilledIndex(const IndexSettings& settings, Logger* logger,
                                                   const Matrix<float>& data) {
  auto index = std::make_unique<EncryptedIndex>(settings.index_name, TestKey(), IndexIVFFlat(0),
                                                settings, logger, nullptr);
  Matrix<float> copy = data;
  index->Upsert(Ids(data.rows), copy, {}, {});
  return index;
}

// Rows [begin, end) of m.
inline Matrix<float> Rows(const Matrix<float>& m, uint64_t begin, uint64_t end) {
  std::vector<float> v(m.data.begin() + begin * m.cols, m.data.begin() + end * m.cols);
  return Matrix<float>(std::move(v), m.cols);
}

// The ids of query q, in rank order.
inline std::vector<std::string> ResultIds(const QueryResults& results, uint64_t q) {
  const QueryResultRow row = results.ForQuery(q);
  return std::vector<std::string>(row.ids, row.ids + row.count);
}

// The k nearest rows of `data` to `query` by squared Euclidean distance, as "id<row>".
inline std::vector<std::string> BruteForce(const Matrix<float>& data, const float* query, uint64_t k) {
  std::vector<std::pair<double, uint64_t>> scored;
  for (uint64_t i = 0; i < data.rows; ++i) {
    double s = 0;
    for (uint64_t j = 0; j < data.cols; ++j) {
      const double diff = double(data.at(i, j)) - query[j];
      s += diff * diff;
    }
    scored.emplace_back(s, i);
  }
  std::partial_sort(scored.begin(), scored.begin() + k, scored.end());
  std::vector<std::string> ids;
  for (uint64_t i = 0; i < k; ++i) ids.push_back("id" + std::to_string(scored[i].second));
  return ids;
}

// An index made earlier, opened again under `settings`.
inline std::unique_ptr<EncryptedIndex> OpenExisting(const IndexSettings& settings, Logger* logger) {
  return std::make_unique<EncryptedIndex>(LoadExisting{}, settings.index_name, settings.index_key, settings,
                                          logger, nullptr);
}

// Rows [first, end) of `data` upserted as "id<first>" ...
inline void UpsertRows(EncryptedIndex& index, const Matrix<float>& data, uint64_t first, uint64_t end) {
  Matrix<float> rows = Rows(data, first, end);
  index.Upsert(Ids(end - first, first), rows, {}, {});
}

// The ids of rows [first, end) that a query of their own vector, `n_probes` lists probed,
// does not find first.
inline std::vector<std::string> MissedOwnRows(EncryptedIndex& index, const Matrix<float>& data, uint64_t first,
                                              uint64_t end, uint64_t n_probes) {
  QueryParams params;
  params.top_k = 1;
  params.n_probes = n_probes;
  const QueryResults results = index.Query(Rows(data, first, end), params);
  std::vector<std::string> missed;
  for (uint64_t q = 0; q < end - first; ++q) {
    const std::string id = "id" + std::to_string(first + q);
    if (ResultIds(results, q) != std::vector<std::string>{id}) missed.push_back(id);
  }
  return missed;
}

// The text of what `call` throws, "none" when it returns. The error wrapper's standard
// error line is captured unless a capture is running already (a call inside another).
inline std::string ThrownText(const std::function<void()>& call, bool capture = true) {
  if (capture) ::testing::internal::CaptureStderr();
  std::string text = "none";
  try {
    call();
  } catch (const std::exception& e) {
    text = e.what();
  }
  if (capture) ::testing::internal::GetCapturedStderr();
  return text;
}

}  // namespace ombrix::index_testing
