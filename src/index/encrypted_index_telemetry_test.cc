// What the index operations count and record in the usage telemetry, seen at the
// receiving end, and what the error wrapper prints.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>

#include "backing_store/testing/test_keystore.h"
#include "diagnostics/testing/https_sink.h"
#include "index/encrypted_index.h"
#include "index/index_test_util.h"

namespace ombrix {
namespace {

using index_testing::CapturedLog;
using index_testing::Settings;
using index_testing::TestKey;
using internal::TelemetryAggregator;
using internal::TelemetrySettings;
using ombrix_encrypted_index::internal::backing_store::test_support::Fault;
using ombrix_encrypted_index::internal::backing_store::test_support::ScopedTestBackend;
using ::testing::HasSubstr;

class IndexTelemetryTest : public ::testing::Test {
 protected:
  IndexTelemetryTest()
      : telemetry_(std::make_shared<TelemetryAggregator>(
            "key", TelemetrySettings{.host = sink_.host(), .ca_file = sink_.ca_file()})) {}

  std::unique_ptr<EncryptedIndex> Create(const IndexSettings& settings) {
    return std::make_unique<EncryptedIndex>(settings.index_name, TestKey(), IndexIVFFlat(2), settings,
                                            log_.logger(), telemetry_);
  }

  // Counts by event type and error descriptions of everything sent so far.
  void Sent(std::map<std::string, int64_t>& counts, std::vector<std::string>& errors) {
    telemetry_->Flush();
    for (const auto& request : sink_.requests()) {
      const nlohmann::json document = nlohmann::json::parse(request.body);
      for (const auto& event : document.at("events")) {
        const std::string type = event.at("type").get<std::string>();
        if (type == "error") {
          errors.push_back(event.at("description").get<std::string>());
        } else {
          counts[type] += event.at("count").get<int64_t>();
        }
      }
    }
  }

  testing::HttpsSink sink_;
  CapturedLog log_;
  std::shared_ptr<TelemetryAggregator> telemetry_;
};

TEST_F(IndexTelemetryTest, SuccessfulOperationsCountAndFailuresAreRecordedOnce) {
  ScopedTestBackend backend;
  auto index = Create(Settings("counted", POSTGRES));
  Matrix<float> vectors({1, 2, 3, 4, 5, 6}, 2);
  index->Upsert({"a", "b", "c"}, vectors, {}, {});
  QueryParams params;
  params.top_k = 5;
  index->Query(Matrix<float>({1, 2, 3, 4}, 2), params);  // 2 rows x top_k 5

  backend.backend().InjectFault(Fault{1, "", DATA, true, "store down"});
  Matrix<float> more({1, 2}, 2);
  ::testing::internal::CaptureStderr();
  EXPECT_THROW(index->Upsert({"d"}, more, {}, {}), std::runtime_error);
  const std::string printed = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(printed, HasSubstr("Error ingesting: store down\n"));
  EXPECT_THAT(printed, HasSubstr("[ERROR] Exception in Upsert: Error ingesting: store down\n"));
  backend.backend().InjectFault(Fault{1, "GetMap", INDEX, false, "map unreadable"});
  EXPECT_THROW(index->TrainIndex(), std::runtime_error);

  std::map<std::string, int64_t> counts;
  std::vector<std::string> errors;
  Sent(counts, errors);
  EXPECT_EQ(counts["upsert"], 3) << "the failed upsert counts nothing";
  EXPECT_EQ(counts["query"], 10);
  EXPECT_THAT(errors, ::testing::ElementsAre("Exception in Upsert: Error ingesting: store down",
                                             HasSubstr("Exception in TrainIndex: ")));
}

TEST_F(IndexTelemetryTest, AQueryAnsweredWithoutRankingStillCountsWhatWasAsked) {
  auto index = Create(Settings("no_lists"));
  Matrix<float> vectors({1, 2}, 2);
  index->Upsert({"a"}, vectors, {}, {});
  index->trained = true;  // without a codebook there is no list to probe
  QueryParams params;
  params.top_k = 4;
  EXPECT_EQ(index->Query(Matrix<float>({1, 2, 3, 4, 5, 6}, 2), params).top_k, 0u);
  std::map<std::string, int64_t> counts;
  std::vector<std::string> errors;
  Sent(counts, errors);
  EXPECT_EQ(counts["query"], 12);
}

TEST_F(IndexTelemetryTest, AnExistingNameIsRefusedWhateverTheIndexLocation) {
  ScopedTestBackend backend;
  IndexSettings settings = Settings("taken", MEMORY, POSTGRES);
  auto first = Create(settings);
  ::testing::internal::CaptureStderr();
  try {
    Create(settings);
    FAIL() << "created twice";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Index name taken already exists");
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "[ERROR] Exception in EncryptedIndex: Index name taken already exists\n");
  std::map<std::string, int64_t> counts;
  std::vector<std::string> errors;
  Sent(counts, errors);
  EXPECT_THAT(errors, ::testing::ElementsAre("Exception in EncryptedIndex: Index name taken already exists"));
}

}  // namespace
}  // namespace ombrix
