// Usage telemetry: counts of public operations and records of their errors, posted as
// JSON events over HTTPS by a worker thread of the aggregator's own every 10 seconds.
// Shared (std::shared_ptr) by a Client and the indexes it makes; the last owner's release
// stops the worker and sends one final batch. Every public method is thread-safe.
#pragma once

#include <curl/curl.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace ombrix::internal {

enum EventType : int32_t { kGet = 0, kUpsert = 1, kQuery = 2, kDelete = 3, kInit = 4 };

// "get", "upsert", "query", "delete", "init"; "unknown" for any other value.
const char* EventTypeName(EventType type);

struct ErrorRecord {
  std::string description;
  int64_t timestamp;  // wall-clock seconds since the epoch when the record was made
};

// Where the events go and how often. An empty host delivers nowhere: SendEvents then
// reports success without touching the network. An empty ca_file searches the system CA
// bundles. Only tests change the periods.
struct TelemetrySettings {
  std::string host;  // "host[:port]"
  std::string ca_file;
  std::chrono::milliseconds flush_period{10000};
  // The pause after the first failed attempt; the second pause is twice as long.
  std::chrono::milliseconds retry_pause{1000};
};

// The host chosen when the library was built (empty unless configured) and the
// standard periods.
TelemetrySettings DefaultTelemetrySettings();

// A version-4 UUID in the 8-4-4-4-12 lower-case form. Thread-safe.
std::string GenerateUuid4();

// Cuts text to at most max_bytes without splitting a UTF-8 sequence.
std::string CutAtCharacterBoundary(const std::string& text, std::size_t max_bytes);

// libcurl write callback: the response body is not needed.
std::size_t DiscardResponse(char* data, std::size_t size, std::size_t count, void* user);

class TelemetryAggregator {
 public:
  static constexpr std::size_t kMaxErrorRecords = 128;
  static constexpr std::size_t kMaxRetryEvents = 1000;
  static constexpr std::size_t kMaxDescriptionBytes = 256;

  // Throws std::invalid_argument "API key must not contain line breaks." and
  // std::runtime_error "[Telemetry] Failed to initialize curl handle".
  explicit TelemetryAggregator(std::string api_key);
  TelemetryAggregator(std::string api_key, TelemetrySettings settings);
  ~TelemetryAggregator();
  TelemetryAggregator(const TelemetryAggregator&) = delete;
  TelemetryAggregator& operator=(const TelemetryAggregator&) = delete;

  // Adds count to the type's counter (saturating); a count of 0 or less is ignored.
  void RecordEvent(EventType type, int32_t count);
  // Keeps the newest 128 records; an empty description is ignored.
  void RecordError(const std::string& description);

  // Sends the counters, the error records and the retry queue now. The worker calls it
  // every flush period and the destructor once more; flushes never overlap.
  void Flush();
  // Posts one batch, up to three attempts; true when the endpoint accepted it.
  bool SendEvents(const std::vector<nlohmann::json>& events);

 private:
  struct CurlEasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
  };

  // fork(): every live aggregator's counter and error locks are held across the fork, so
  // the child never starts with a lock that a thread it does not have was holding.
  static void LockAllBeforeFork();
  static void UnlockAllAfterFork();

  void Run();
  // One flush with every failure reported on stderr, so neither the worker nor the
  // destructor is ever stopped by it.
  void FlushReportingFailures() noexcept;

  std::string api_key;
  const TelemetrySettings settings_;
  std::atomic<bool> stop{false};
  // The worker's thread and what wakes it. A forked child has a copy of this object but
  // not the thread: joining it, or destroying a condition variable the thread waits on,
  // would wait forever, so the child leaves this behind (and sends nothing: the counts are
  // the parent's to send).
  struct Worker {
    std::mutex mutex;
    std::condition_variable wake;
    std::thread thread;
  };
  const pid_t owner_pid_;  // the process that started the worker
  std::unique_ptr<Worker> worker;
  std::mutex counters_mutex;
  std::unordered_map<EventType, int32_t> event_counts;
  std::mutex errors_mutex;
  std::vector<ErrorRecord> error_records;
  std::mutex retry_mutex;
  std::vector<nlohmann::json> retry_queue;
  std::mutex flush_mutex;
  std::unique_ptr<CURL, CurlEasyDeleter> curl;
  std::mutex curl_mutex;
};

}  // namespace ombrix::internal
