// Adding and retrieving items through the engine core against the shared Redis servers,
// plain and TLS (the bodies are shared with the other live backends).
#include <gtest/gtest.h>

#include <string>

#include "backing_store/testing/log_capture.h"
#include "encrypted_store/encrypted_index_core.h"
#include "items_on_backend.h"
#include "redis_test_support.h"

namespace ombrix {
namespace {

// The parameter names the variable of the server.
class RedisItemsTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    OMBRIX_REQUIRE_ENV(location, GetParam());
    const DBConfig config{REDIS, ombrix_test::UniqueName("ombrix_items_config"), location + ",db:0"};
    settings_.index_name = ombrix_test::UniqueName("items");
    settings_.index_key.fill(5);
    settings_.index_location = settings_.items_location = settings_.data_location =
        settings_.config_location = config;
    settings_.cpu_threads = 0;
    settings_.payload_size = testing_util::kPayloadSize;
    ready_ = true;
  }

  // Everything the test's index left on the shared server goes.
  void TearDown() override {
    if (!ready_) return;
    try {
      auto core = EncryptedIndexCore::Load(settings_, &InternalLogger());
      core->index_store->DeleteIndex();
      core->data_store->DeleteIndex();
      core->items_store->DeleteIndex();
      core->config_store->DeleteIndex();
    } catch (const std::exception& e) {
      ADD_FAILURE() << "cleanup failed: " << e.what();
    }
  }

  items_on_backend::CoreOpener Opener() const { return items_on_backend::OpenerFor(settings_); }

  testing_support::ScopedLogCapture capture_;
  IndexSettings settings_;
  bool ready_ = false;
};

TEST_P(RedisItemsTest, ReplacedItemsComeBackOnceWithTheirNewestVector) {
  items_on_backend::ReplacedItemsComeBackOnceWithTheirNewestVector(Opener());
}

TEST_P(RedisItemsTest, RefusedBatchesAndTamperedRecords) {
  items_on_backend::RefusedBatchesAndTamperedRecords(Opener());
}

OMBRIX_INSTANTIATE_PLAIN_AND_TLS(RedisItemsTest);

}  // namespace
}  // namespace ombrix
