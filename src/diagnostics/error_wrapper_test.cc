#include "diagnostics/error_wrapper.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics/testing/https_sink.h"

namespace ombrix::internal {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

// What the wrapper recorded reaches the telemetry endpoint; the sink shows it.
class ErrorWrapperTest : public ::testing::Test {
 protected:
  std::vector<std::string> RecordedDescriptions() {
    telemetry_->Flush();
    std::vector<std::string> descriptions;
    for (const auto& request : sink_.requests()) {
      const nlohmann::json body = nlohmann::json::parse(request.body);
      for (const auto& event : body.at("events")) {
        if (event.at("type") == "error") descriptions.push_back(event.at("description"));
      }
    }
    return descriptions;
  }

  ombrix::testing::HttpsSink sink_;
  std::unique_ptr<TelemetryAggregator> telemetry_ = std::make_unique<TelemetryAggregator>(
      "key", TelemetrySettings{.host = sink_.host(), .ca_file = sink_.ca_file()});
};

TEST_F(ErrorWrapperTest, ReturnsTheBodysResultAndLeavesNoTrace) {
  CaptureStderr();
  EXPECT_EQ(ExecuteWithErrorHandling("Query", telemetry_.get(), [] { return 42; }), 42);
  auto owned = ExecuteWithErrorHandling("Client", telemetry_.get(),
                                        [] { return std::make_unique<std::string>("made"); });
  EXPECT_EQ(*owned, "made");
  bool ran = false;
  ExecuteWithErrorHandling("Delete", nullptr, [&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(execution_depth, 0u);
  EXPECT_TRUE(RecordedDescriptions().empty());
}

TEST_F(ErrorWrapperTest, NestedFailurePrintsEveryLevelAndRecordsTheInnermostOnce) {
  CaptureStderr();
  try {
    ExecuteWithErrorHandling("LoadIndex", telemetry_.get(), [&] {
      EXPECT_EQ(execution_depth, 1u);
      return ExecuteWithErrorHandling("EncryptedIndex", telemetry_.get(), []() -> int {
        EXPECT_EQ(execution_depth, 2u);
        throw std::invalid_argument("Index name is empty");
      });
    });
    ADD_FAILURE() << "nothing was thrown";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "Index name is empty");
  }
  EXPECT_EQ(GetCapturedStderr(),
            "[ERROR] Exception in EncryptedIndex: Index name is empty\n"
            "[ERROR] Exception in LoadIndex: Index name is empty\n");
  EXPECT_EQ(execution_depth, 0u);
  EXPECT_FALSE(error_handled);
  EXPECT_THAT(RecordedDescriptions(),
              ::testing::ElementsAre("Exception in EncryptedIndex: Index name is empty"));
}

TEST_F(ErrorWrapperTest, EachOutermostCallRecordsItsOwnFailure) {
  CaptureStderr();
  EXPECT_THROW(ExecuteWithErrorHandling("Upsert", telemetry_.get(),
                                        []() { throw std::runtime_error("first"); }),
               std::runtime_error);
  EXPECT_THROW(ExecuteWithErrorHandling("Get", telemetry_.get(),
                                        []() { throw std::out_of_range("second"); }),
               std::out_of_range);
  GetCapturedStderr();
  EXPECT_THAT(RecordedDescriptions(),
              ::testing::ElementsAre("Exception in Upsert: first", "Exception in Get: second"));
}

TEST_F(ErrorWrapperTest, NonStandardExceptionsUseTheUnknownForms) {
  CaptureStderr();
  try {
    ExecuteWithErrorHandling("TrainIndex", telemetry_.get(), []() { throw 7; });
    ADD_FAILURE() << "nothing was thrown";
  } catch (int value) {
    EXPECT_EQ(value, 7);
  }
  EXPECT_EQ(GetCapturedStderr(), "[ERROR] Unknown exception in TrainIndex\n");
  EXPECT_EQ(execution_depth, 0u);
  EXPECT_FALSE(error_handled);
  EXPECT_THAT(RecordedDescriptions(), ::testing::ElementsAre("Unknown exception in TrainIndex"));
}

TEST_F(ErrorWrapperTest, WithoutAnAggregatorTheLineIsStillPrinted) {
  CaptureStderr();
  EXPECT_THROW(ExecuteWithErrorHandling("ListIDs", nullptr,
                                        []() { throw std::runtime_error("no store"); }),
               std::runtime_error);
  EXPECT_EQ(GetCapturedStderr(), "[ERROR] Exception in ListIDs: no store\n");
  EXPECT_FALSE(error_handled);
}

TEST_F(ErrorWrapperTest, TheRecordedFlagBelongsToOneThreadAndOneOutermostCall) {
  std::promise<void> inner_failed;
  std::promise<void> other_thread_done;
  CaptureStderr();
  std::thread first([&] {
    ExecuteWithErrorHandling("Client", telemetry_.get(), [&] {
      auto fail = [&](const char* what) {
        try {
          ExecuteWithErrorHandling("CreateIndex", telemetry_.get(),
                                   [&]() { throw std::runtime_error(what); });
        } catch (const std::runtime_error&) {
        }
      };
      fail("one");
      EXPECT_TRUE(error_handled);
      inner_failed.set_value();
      other_thread_done.get_future().wait();
      fail("three");  // the same outermost call: already recorded
    });
    EXPECT_FALSE(error_handled);
    EXPECT_THROW(ExecuteWithErrorHandling("Query", telemetry_.get(),
                                          []() { throw std::runtime_error("four"); }),
                 std::runtime_error);
  });
  inner_failed.get_future().wait();
  std::thread second([&] {
    EXPECT_FALSE(error_handled);
    EXPECT_EQ(execution_depth, 0u);
    EXPECT_THROW(ExecuteWithErrorHandling("Get", telemetry_.get(),
                                          []() { throw std::runtime_error("two"); }),
                 std::runtime_error);
  });
  second.join();
  other_thread_done.set_value();
  first.join();
  GetCapturedStderr();
  EXPECT_THAT(RecordedDescriptions(),
              ::testing::ElementsAre("Exception in CreateIndex: one", "Exception in Get: two",
                                     "Exception in Query: four"));
}

}  // namespace
}  // namespace ombrix::internal
