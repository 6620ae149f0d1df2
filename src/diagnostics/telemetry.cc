#include "diagnostics/telemetry.h"

#include <pthread.h>
#include <unistd.h>


#include <array>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <map>
#include <random>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "diagnostics/openssl_thread.h"

#ifndef OMBRIX_TELEMETRY_HOST
#define OMBRIX_TELEMETRY_HOST ""
#endif

namespace ombrix::internal {

namespace {

using nlohmann::json;

constexpr std::array<const char*, 5> kCaBundles = {
    "/etc/ssl/certs/ca-certificates.crt", "/etc/pki/tls/certs/ca-bundle.crt",
    "/usr/share/ssl/certs/ca-bundle.crt", "/usr/local/share/certs/ca-root-nss.crt",
    "/etc/ssl/cert.pem"};

constexpr int kAttempts = 3;

int64_t NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// One write per line so lines of concurrent aggregators do not interleave.
void WriteLine(const std::string& line) {
  const std::string text = "[Telemetry] " + line + "\n";
  std::cerr << text << std::flush;
}

void InitializeCurlOnce() {
  static const CURLcode status = curl_global_init(CURL_GLOBAL_DEFAULT);
  (void)status;  // a failed global init shows up as a failed handle creation
}

struct CurlHeadersDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlHeaders = std::unique_ptr<curl_slist, CurlHeadersDeleter>;

// libcurl leaves the list untouched when appending fails.
bool AppendHeader(CurlHeaders& headers, const std::string& line) {
  curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
  if (grown == nullptr) return false;
  (void)headers.release();
  headers.reset(grown);
  return true;
}

// Several device words: with a single 32-bit seed, two processes among some tens of
// thousands would already produce the same UUID sequence.
std::mt19937 SeededEngine() {
  std::random_device device;
  std::array<uint32_t, std::mt19937::state_size> words;
  for (auto& word : words) word = device();
  std::seed_seq seeds(words.begin(), words.end());
  return std::mt19937(seeds);
}

// Trivially destructible, so an aggregator flushing during static destruction still
// finds it intact.
struct UuidSource {
  std::mutex mutex;
  std::mt19937 engine = SeededEngine();
  std::uniform_int_distribution<uint32_t> draw{0, std::numeric_limits<uint32_t>::max()};
};

static_assert(std::is_trivially_destructible_v<UuidSource>);

UuidSource& SharedUuidSource() {
  static UuidSource source;
  return source;
}

}  // namespace

const char* EventTypeName(EventType type) {
  switch (type) {
    case kGet:
      return "get";
    case kUpsert:
      return "upsert";
    case kQuery:
      return "query";
    case kDelete:
      return "delete";
    case kInit:
      return "init";
  }
  return "unknown";
}

TelemetrySettings DefaultTelemetrySettings() {
  TelemetrySettings settings;
  settings.host = OMBRIX_TELEMETRY_HOST;
  return settings;
}

std::string GenerateUuid4() {
  UuidSource& source = SharedUuidSource();
  std::array<uint32_t, 4> d;
  {
    std::lock_guard<std::mutex> lock(source.mutex);
    for (auto& value : d) value = source.draw(source.engine);
  }
  d[1] = (d[1] & ~uint32_t{0xF000}) | 0x4000;
  d[2] = (d[2] & 0x3FFFFFFF) | 0x80000000;
  char text[37];
  std::snprintf(text, sizeof(text), "%08x-%04x-%04x-%04x-%04x%08x", d[0], d[1] >> 16,
                d[1] & 0xFFFF, d[2] >> 16, d[2] & 0xFFFF, d[3]);
  return std::string(text, 36);
}

std::string CutAtCharacterBoundary(const std::string& text, std::size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  std::size_t cut = max_bytes;
  // The first dropped byte continues a sequence begun before the cut: drop that
  // sequence whole. A UTF-8 sequence has at most three continuation bytes.
  while (cut > 0 && max_bytes - cut < 3 &&
         (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
    --cut;
  }
  return text.substr(0, cut);
}

std::size_t DiscardResponse(char*, std::size_t size, std::size_t count, void*) {
  return size * count;
}

namespace {

std::mutex live_mutex;
std::vector<TelemetryAggregator*>& LiveAggregators() {
  static std::vector<TelemetryAggregator*> live;
  return live;
}

}  // namespace

void TelemetryAggregator::LockAllBeforeFork() {
  live_mutex.lock();
  for (TelemetryAggregator* aggregator : LiveAggregators()) {
    aggregator->counters_mutex.lock();
    aggregator->errors_mutex.lock();
  }
}

void TelemetryAggregator::UnlockAllAfterFork() {
  for (TelemetryAggregator* aggregator : LiveAggregators()) {
    aggregator->errors_mutex.unlock();
    aggregator->counters_mutex.unlock();
  }
  live_mutex.unlock();
}

TelemetryAggregator::TelemetryAggregator(std::string api_key)
    : TelemetryAggregator(std::move(api_key), DefaultTelemetrySettings()) {}

TelemetryAggregator::TelemetryAggregator(std::string key, TelemetrySettings settings)
    : api_key(std::move(key)), settings_(std::move(settings)), owner_pid_(getpid()) {
  // The key becomes an HTTP header line; a line break would let it add headers.
  if (api_key.find_first_of("\r\n") != std::string::npos) {
    throw std::invalid_argument("API key must not contain line breaks.");
  }
  PrepareThreadForOpenSsl();  // libcurl's TLS
  InitializeCurlOnce();
  curl.reset(curl_easy_init());
  if (!curl) throw std::runtime_error("[Telemetry] Failed to initialize curl handle");

  CURL* handle = curl.get();
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!settings_.ca_file.empty()) {
    curl_easy_setopt(handle, CURLOPT_CAINFO, settings_.ca_file.c_str());
  } else {
    for (const char* bundle : kCaBundles) {
      if (std::ifstream(bundle).is_open()) {
        curl_easy_setopt(handle, CURLOPT_CAINFO, bundle);
        break;
      }
    }
  }
  curl_easy_setopt(handle, CURLOPT_TIMEOUT, 10L);
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, 5L);
  // The time-outs must not be enforced with SIGALRM in a process of many threads.
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);

  for (EventType type : {kGet, kUpsert, kQuery, kDelete, kInit}) event_counts[type] = 0;
  error_records.reserve(kMaxErrorRecords);

  static std::once_flag fork_handlers;
  std::call_once(fork_handlers, [] {
    pthread_atfork(&LockAllBeforeFork, &UnlockAllAfterFork, &UnlockAllAfterFork);
  });
  worker = std::make_unique<Worker>();
  worker->thread = std::thread(&TelemetryAggregator::Run, this);
  std::lock_guard<std::mutex> lock(live_mutex);
  LiveAggregators().push_back(this);
}

TelemetryAggregator::~TelemetryAggregator() {
  {
    std::lock_guard<std::mutex> lock(live_mutex);
    std::erase(LiveAggregators(), this);
  }
  if (getpid() != owner_pid_) {
    static_cast<void>(worker.release());
    return;
  }
  if (!stop.exchange(true)) {
    std::lock_guard<std::mutex> lock(worker->mutex);
    worker->wake.notify_all();
  }
  if (worker->thread.joinable()) worker->thread.join();
  FlushReportingFailures();
}

void TelemetryAggregator::RecordEvent(EventType type, int32_t count) {
  if (count <= 0) return;
  std::lock_guard<std::mutex> lock(counters_mutex);
  int32_t& total = event_counts[type];
  total = total > std::numeric_limits<int32_t>::max() - count ? std::numeric_limits<int32_t>::max()
                                                              : total + count;
}

void TelemetryAggregator::RecordError(const std::string& description) {
  if (description.empty()) return;
  ErrorRecord record{description, NowSeconds()};
  std::lock_guard<std::mutex> lock(errors_mutex);
  if (error_records.size() >= kMaxErrorRecords) error_records.erase(error_records.begin());
  error_records.push_back(std::move(record));
}

void TelemetryAggregator::Run() {
  auto deadline = std::chrono::steady_clock::now() + settings_.flush_period;
  while (!stop.load()) {
    {
      std::unique_lock<std::mutex> lock(worker->mutex);
      worker->wake.wait_until(lock, deadline, [this] { return stop.load(); });
    }
    if (stop.load()) return;
    FlushReportingFailures();
    deadline = std::chrono::steady_clock::now() + settings_.flush_period;
  }
}

void TelemetryAggregator::FlushReportingFailures() noexcept {
  // fputs allocates nothing, so reporting cannot fail in turn.
  try {
    Flush();
  } catch (const std::exception& failure) {
    std::fputs("[Telemetry] Flush failed: ", stderr);
    std::fputs(failure.what(), stderr);
    std::fputs("\n", stderr);
  } catch (...) {
    std::fputs("[Telemetry] Flush failed: unknown exception\n", stderr);
  }
  std::fflush(stderr);
}

void TelemetryAggregator::Flush() {
  // Before any lock: the worker and a destructor's caller both send, over libcurl's TLS.
  PrepareThreadForOpenSsl();
  std::lock_guard<std::mutex> flushing(flush_mutex);
  const int64_t now = NowSeconds();

  std::map<EventType, int32_t> counts;  // ordered, so a batch lists types by value
  {
    std::lock_guard<std::mutex> lock(counters_mutex);
    for (auto& [type, count] : event_counts) {
      if (count > 0) {
        counts[type] = count;
        count = 0;
      }
    }
  }
  std::vector<json> fresh;
  for (const auto& [type, count] : counts) {
    fresh.push_back(json{{"count", count},
                         {"timestamp", now},
                         {"type", EventTypeName(type)},
                         {"uuid", GenerateUuid4()}});
  }

  std::vector<ErrorRecord> records;
  {
    std::lock_guard<std::mutex> lock(errors_mutex);
    records.assign(std::make_move_iterator(error_records.begin()),
                   std::make_move_iterator(error_records.end()));
    error_records.clear();
  }
  for (const ErrorRecord& record : records) {
    fresh.push_back(json{{"description",
                          CutAtCharacterBoundary(record.description, kMaxDescriptionBytes)},
                         {"timestamp", record.timestamp},
                         {"type", "error"},
                         {"uuid", GenerateUuid4()}});
  }

  std::vector<json> batch;
  {
    std::lock_guard<std::mutex> lock(retry_mutex);
    if (retry_queue.empty() && fresh.empty()) return;
    batch = std::move(retry_queue);
    retry_queue.clear();
  }
  batch.insert(batch.end(), std::make_move_iterator(fresh.begin()),
               std::make_move_iterator(fresh.end()));

  if (SendEvents(batch)) return;

  std::lock_guard<std::mutex> lock(retry_mutex);
  const std::size_t queued = retry_queue.size();
  if (queued + batch.size() <= kMaxRetryEvents) {
    retry_queue.insert(retry_queue.end(), std::make_move_iterator(batch.begin()),
                       std::make_move_iterator(batch.end()));
    return;
  }
  const std::size_t kept = queued < kMaxRetryEvents ? kMaxRetryEvents - queued : 0;
  retry_queue.insert(retry_queue.end(), std::make_move_iterator(batch.end() - kept),
                     std::make_move_iterator(batch.end()));
  WriteLine("Warning: Retry queue size limit reached, discarding " +
            std::to_string(queued + batch.size() - kMaxRetryEvents) + " older events.");
  RecordError("Retry queue size limit reached, discarding older events.");
}

bool TelemetryAggregator::SendEvents(const std::vector<json>& events) {
  if (events.empty() || settings_.host.empty()) return true;

  json document;
  document["events"] = events;
  // Descriptions are cut at character boundaries; replacement only guards against
  // text that was never valid UTF-8.
  const std::string body = document.dump(-1, ' ', false, json::error_handler_t::replace);
  const std::string url = "https://" + settings_.host + "/v1/telemetry/events";

  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    {
      std::lock_guard<std::mutex> lock(curl_mutex);
      CURL* handle = curl.get();
      CurlHeaders headers;
      CURLcode status = CURLE_OUT_OF_MEMORY;
      if (AppendHeader(headers, "Content-Type: application/json") &&
          AppendHeader(headers, "x-api-key: " + api_key)) {
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_POST, 1L);
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &DiscardResponse);
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
        status = curl_easy_perform(handle);
        // The list is freed below; the handle must not keep pointing at it.
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
      }
      if (status != CURLE_OK) {
        WriteLine(std::string("CURL error: ") + curl_easy_strerror(status) + " on attempt " +
                  std::to_string(attempt));
      } else {
        long code = 0;
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &code);
        if (code >= 200 && code <= 299) return true;
        WriteLine("HTTP error " + std::to_string(code) + " on attempt " + std::to_string(attempt));
      }
    }
    if (attempt < kAttempts) {
      std::this_thread::sleep_for(settings_.retry_pause * (1 << (attempt - 1)));
    }
  }
  return false;
}

}  // namespace ombrix::internal
