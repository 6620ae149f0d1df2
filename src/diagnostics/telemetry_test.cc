#include "diagnostics/telemetry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <limits>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics/testing/https_sink.h"

namespace ombrix::internal {
namespace {

using nlohmann::json;
using ombrix::testing::HttpsSink;
using ::testing::HasSubstr;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

const std::string kUuid = "[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}";
constexpr std::chrono::milliseconds kTestPause{40};

TelemetrySettings TestSettings(std::string host, std::string ca_file) {
  return TelemetrySettings{
      .host = std::move(host), .ca_file = std::move(ca_file), .retry_pause = kTestPause};
}

json Events(const ombrix::testing::SinkRequest& request) {
  return json::parse(request.body).at("events");
}

bool IsValidUtf8(const std::string& text) {
  try {
    (void)json(text).dump();
    return true;
  } catch (const json::type_error&) {
    return false;
  }
}

TEST(GenerateUuid4Test, HasVersionAndVariantBitsAndDoesNotRepeat) {
  const std::regex form(kUuid);
  std::set<std::string> seen;
  for (int i = 0; i < 20000; ++i) {
    const std::string uuid = GenerateUuid4();
    ASSERT_TRUE(std::regex_match(uuid, form)) << uuid;
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), 20000u);
}

TEST(CutAtCharacterBoundaryTest, NeverSplitsASequenceAndKeepsWhatFits) {
  EXPECT_EQ(CutAtCharacterBoundary("short", 256), "short");
  EXPECT_EQ(CutAtCharacterBoundary(std::string(300, 'x'), 256), std::string(256, 'x'));
  // Two-, three- and four-byte characters at every offset around the cut.
  for (const std::string character : {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"}) {
    for (std::size_t lead = 250; lead <= 256; ++lead) {
      const std::string text = std::string(lead, 'a') + character + "tail";
      const std::string cut = CutAtCharacterBoundary(text, 256);
      EXPECT_TRUE(IsValidUtf8(cut)) << lead;
      const bool fits = lead + character.size() <= 256;
      EXPECT_EQ(cut.size(), fits ? std::min<std::size_t>(256, text.size()) : lead) << lead;
      EXPECT_EQ(cut, text.substr(0, cut.size()));
    }
  }
}

TEST(TelemetryAggregatorTest, RefusesLineBreaksInTheApiKey) {
  for (const std::string key : {"key\r\nx-injected: 1", "key\n", "\rkey"}) {
    try {
      TelemetryAggregator aggregator(key);
      ADD_FAILURE() << "accepted a key with a line break";
    } catch (const std::invalid_argument& error) {
      EXPECT_STREQ(error.what(), "API key must not contain line breaks.");
    }
  }
}

TEST(TelemetryAggregatorTest, WithoutAHostDeliversNowhereAndReportsSuccess) {
  EXPECT_EQ(DefaultTelemetrySettings().retry_pause, std::chrono::seconds(1));
  TelemetryAggregator aggregator("key", TestSettings("", ""));
  CaptureStderr();
  EXPECT_TRUE(aggregator.SendEvents({json{{"type", "get"}}}));
  aggregator.RecordEvent(kGet, 3);
  aggregator.RecordError("lost on purpose");
  aggregator.Flush();
  EXPECT_EQ(GetCapturedStderr(), "");  // no attempt was made, so none failed
}

class TelemetrySinkTest : public ::testing::Test {
 protected:
  std::unique_ptr<TelemetryAggregator> Make(const std::string& key = "test-key") {
    return std::make_unique<TelemetryAggregator>(
        key, TestSettings(sink_.host(), sink_.ca_file()));
  }
  HttpsSink sink_;
};

TEST_F(TelemetrySinkTest, CountsAggregateIntoOneCompactEventPerType) {
  auto aggregator = Make("account-123");
  aggregator->Flush();  // nothing recorded: no request
  for (int i = 0; i < 5; ++i) aggregator->RecordEvent(kUpsert, 100);
  aggregator->RecordEvent(kQuery, 7);
  aggregator->RecordEvent(kGet, 0);
  aggregator->RecordEvent(kDelete, -3);
  aggregator->Flush();
  aggregator->Flush();  // the counters were reset: no second request

  const auto requests = sink_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].target, "/v1/telemetry/events");
  EXPECT_EQ(requests[0].headers.at("x-api-key"), "account-123");
  EXPECT_EQ(requests[0].headers.at("content-type"), "application/json");
  const std::regex body(R"(\{"events":\[\{"count":500,"timestamp":(\d+),"type":"upsert","uuid":")" +
                        kUuid + R"("\},\{"count":7,"timestamp":\1,"type":"query","uuid":")" +
                        kUuid + R"("\}\]\})");
  EXPECT_TRUE(std::regex_match(requests[0].body, body)) << requests[0].body;
  const int64_t sent = Events(requests[0])[0].at("timestamp").get<int64_t>();
  EXPECT_NEAR(static_cast<double>(sent), static_cast<double>(std::time(nullptr)), 5.0);
}

// A child forked while an aggregator lives has the object but not its worker: releasing
// it there must neither wait for that thread nor send the parent's counts a second time.
TEST_F(TelemetrySinkTest, AForkedChildReleasesItsCopyAndSendsNothing) {
  auto aggregator = Make();
  aggregator->RecordEvent(kQuery, 2);
  const pid_t child = fork();
  if (child == 0) {
    alarm(30);  // a child that hangs is killed, which the parent sees
    aggregator->RecordEvent(kQuery, 5);
    aggregator.reset();
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
  aggregator.reset();
  const auto requests = sink_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(Events(requests[0])[0].at("count"), 2);
}

TEST_F(TelemetrySinkTest, CountsSaturateInsteadOfOverflowing) {
  auto aggregator = Make();
  aggregator->RecordEvent(kGet, std::numeric_limits<int32_t>::max());
  aggregator->RecordEvent(kGet, std::numeric_limits<int32_t>::max());
  aggregator->RecordEvent(kGet, 5);
  aggregator->RecordEvent(static_cast<EventType>(9), 2);
  aggregator->Flush();
  ASSERT_EQ(sink_.requests().size(), 1u);
  const json events = Events(sink_.requests()[0]);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].at("count"), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(events[1].at("type"), "unknown");
}

TEST_F(TelemetrySinkTest, ErrorListKeepsTheNewest128InOrder) {
  auto aggregator = Make();
  aggregator->RecordError("");
  for (int i = 1; i <= 129; ++i) aggregator->RecordError("error " + std::to_string(i));
  aggregator->Flush();
  ASSERT_EQ(sink_.requests().size(), 1u);
  const json events = Events(sink_.requests()[0]);
  ASSERT_EQ(events.size(), 128u);
  EXPECT_EQ(events[0].at("description"), "error 2");
  EXPECT_EQ(events[127].at("description"), "error 129");
  const std::regex event(R"(\{"description":"error 2","timestamp":\d+,"type":"error","uuid":")" +
                         kUuid + R"("\})");
  EXPECT_TRUE(std::regex_match(events[0].dump(), event)) << events[0].dump();
}

TEST_F(TelemetrySinkTest, LongAndMalformedDescriptionsStillMakeValidJson) {
  auto aggregator = Make();
  aggregator->RecordError(std::string(300, 'd'));
  // "é" occupies bytes 255 and 256: cutting at 256 bytes would split it.
  aggregator->RecordError(std::string(255, 'e') + "\xC3\xA9" + "rest");
  aggregator->RecordError("bad byte \xFF here");
  aggregator->Flush();
  ASSERT_EQ(sink_.requests().size(), 1u);
  const json events = Events(sink_.requests()[0]);  // throws on invalid UTF-8
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].at("description"), std::string(256, 'd'));
  EXPECT_EQ(events[1].at("description"), std::string(255, 'e'));
  EXPECT_EQ(events[2].at("description"), "bad byte \xEF\xBF\xBD here");
}

TEST_F(TelemetrySinkTest, ServerErrorsAreRetriedThenSentFirstWithTheNextBatch) {
  auto aggregator = Make();
  sink_.QueueStatuses({500, 500, 500});
  aggregator->RecordEvent(kUpsert, 3);
  CaptureStderr();
  aggregator->Flush();
  EXPECT_EQ(GetCapturedStderr(),
            "[Telemetry] HTTP error 500 on attempt 1\n"
            "[Telemetry] HTTP error 500 on attempt 2\n"
            "[Telemetry] HTTP error 500 on attempt 3\n");
  auto requests = sink_.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].body, requests[0].body);
  EXPECT_EQ(requests[2].body, requests[0].body);
  EXPECT_GE(requests[1].received - requests[0].received, kTestPause);
  EXPECT_GE(requests[2].received - requests[1].received, 2 * kTestPause);

  aggregator->RecordEvent(kQuery, 1);
  CaptureStderr();
  aggregator->Flush();  // answered 204
  EXPECT_EQ(GetCapturedStderr(), "");
  requests = sink_.requests();
  ASSERT_EQ(requests.size(), 4u);
  const json events = Events(requests[3]);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], Events(requests[0])[0]);  // same event, same UUID
  EXPECT_EQ(events[1].at("type"), "query");
}

TEST_F(TelemetrySinkTest, RetryQueueKeepsTheNewest1000AndReportsTheOverflow) {
  auto aggregator = Make();
  sink_.SetDefaultStatus(503);
  // 133 new events per flush (128 errors and 5 counters): the eighth failing batch
  // holds 1064 events, 64 more than the queue keeps.
  std::string stderr_text;
  for (int flush = 0; flush < 8; ++flush) {
    for (int i = 0; i < 128; ++i) {
      aggregator->RecordError("flush " + std::to_string(flush) + " error " + std::to_string(i));
    }
    for (EventType type : {kGet, kUpsert, kQuery, kDelete, kInit}) aggregator->RecordEvent(type, 1);
    CaptureStderr();
    aggregator->Flush();
    stderr_text += GetCapturedStderr();
  }
  EXPECT_EQ(std::count(stderr_text.begin(), stderr_text.end(), '\n'), 8 * 3 + 1);
  EXPECT_THAT(stderr_text, HasSubstr("[Telemetry] Warning: Retry queue size limit reached, "
                                     "discarding 64 older events.\n"));
  const json last_failed = Events(sink_.requests().back());
  ASSERT_EQ(last_failed.size(), 1064u);

  sink_.SetDefaultStatus(200);
  aggregator->Flush();
  const json delivered = Events(sink_.requests().back());
  ASSERT_EQ(delivered.size(), 1001u);
  for (std::size_t i = 0; i < 1000; ++i) ASSERT_EQ(delivered[i], last_failed[64 + i]) << i;
  EXPECT_EQ(delivered[1000].at("description"),
            "Retry queue size limit reached, discarding older events.");
}

TEST_F(TelemetrySinkTest, ConnectionFailuresAreReportedAndQueued) {
  // A port that was just free: nothing listens there.
  int port;
  {
    HttpsSink gone;
    port = std::stoi(gone.host().substr(gone.host().rfind(':') + 1));
  }
  auto aggregator = std::make_unique<TelemetryAggregator>(
      "key", TestSettings("127.0.0.1:" + std::to_string(port), sink_.ca_file()));
  aggregator->RecordEvent(kDelete, 2);
  CaptureStderr();
  aggregator->Flush();
  std::string text = GetCapturedStderr();
  EXPECT_THAT(text, HasSubstr("[Telemetry] CURL error: Couldn't connect to server on attempt 1\n"));
  EXPECT_THAT(text, HasSubstr(" on attempt 3\n"));
  CaptureStderr();
  aggregator.reset();  // the final flush tries the queued event once more
  text = GetCapturedStderr();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;
}

TEST_F(TelemetrySinkTest, CertificatesAreVerified) {
  // The system bundle does not know the sink's CA; verification must refuse it.
  TelemetryAggregator untrusted("key", TestSettings(sink_.host(), ""));
  CaptureStderr();
  EXPECT_FALSE(untrusted.SendEvents({json{{"type", "get"}}}));
  EXPECT_THAT(GetCapturedStderr(), HasSubstr("[Telemetry] CURL error: "));
  // The certificate names 127.0.0.1 only; reaching it as "localhost" must fail.
  TelemetryAggregator wrong_name(
      "key", TestSettings("localhost:" + sink_.host().substr(sink_.host().rfind(':') + 1),
                   sink_.ca_file()));
  CaptureStderr();
  EXPECT_FALSE(wrong_name.SendEvents({json{{"type", "get"}}}));
  EXPECT_THAT(GetCapturedStderr(), HasSubstr("[Telemetry] CURL error: "));
  EXPECT_TRUE(sink_.requests().empty());
}

TEST_F(TelemetrySinkTest, ReleasingTheLastOwnerWakesTheWorkerAndSendsOneFinalBatch) {
  TelemetrySettings settings = TestSettings(sink_.host(), sink_.ca_file());
  settings.flush_period = std::chrono::hours(1);  // only a wake-up ends the worker's wait
  auto aggregator = std::make_shared<TelemetryAggregator>("key", settings);
  auto index_share = aggregator;
  aggregator->RecordEvent(kUpsert, 4);
  aggregator->RecordError("closing");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the worker is waiting
  aggregator.reset();
  EXPECT_TRUE(sink_.requests().empty());
  const auto start = std::chrono::steady_clock::now();
  index_share.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::minutes(1));
  const auto requests = sink_.requests();
  ASSERT_EQ(requests.size(), 1u);
  const json events = Events(requests[0]);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].at("count"), 4);
  EXPECT_EQ(events[1].at("description"), "closing");
}

TEST_F(TelemetrySinkTest, TheWorkerFlushesEveryPeriodOnlyWhenThereIsSomethingToSend) {
  EXPECT_EQ(DefaultTelemetrySettings().flush_period, std::chrono::seconds(10));
  TelemetrySettings settings = TestSettings(sink_.host(), sink_.ca_file());
  settings.flush_period = std::chrono::milliseconds(50);
  TelemetryAggregator aggregator("key", settings);
  aggregator.RecordEvent(kQuery, 10);
  ASSERT_TRUE(sink_.WaitForRequests(1, std::chrono::seconds(5)));
  std::this_thread::sleep_for(std::chrono::milliseconds(250));  // idle periods
  EXPECT_EQ(sink_.requests().size(), 1u);
  aggregator.RecordError("later");
  ASSERT_TRUE(sink_.WaitForRequests(2, std::chrono::seconds(5)));
  EXPECT_EQ(Events(sink_.requests()[0])[0].at("count"), 10);
  EXPECT_EQ(Events(sink_.requests()[1])[0].at("description"), "later");
}

TEST_F(TelemetrySinkTest, ConcurrentRecordingAndFlushingLoseNoCount) {
  TelemetrySettings settings = TestSettings(sink_.host(), sink_.ca_file());
  settings.flush_period = std::chrono::milliseconds(5);  // the worker flushes alongside
  auto aggregator = std::make_unique<TelemetryAggregator>("key", settings);
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&aggregator, t] {
      for (int i = 0; i < 2000; ++i) {
        aggregator->RecordEvent(kUpsert, 1);
        if (i % 500 == 0) aggregator->RecordError("thread " + std::to_string(t));
      }
    });
  }
  for (int i = 0; i < 5; ++i) aggregator->Flush();
  for (auto& caller : callers) caller.join();
  aggregator.reset();
  int64_t upserts = 0;
  int errors = 0;
  for (const auto& request : sink_.requests()) {
    for (const auto& event : Events(request)) {
      if (event.at("type") == "upsert") upserts += event.at("count").get<int64_t>();
      if (event.at("type") == "error") ++errors;
    }
  }
  EXPECT_EQ(upserts, 4 * 2000);
  EXPECT_EQ(errors, 4 * 4);
}

}  // namespace
}  // namespace ombrix::internal
