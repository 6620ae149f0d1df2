// Index operations with every store in Redis, over plain TCP and over TLS (the bodies
// are shared with the other live backends).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "backing_store/redis_keystore.h"
#include "index/encrypted_index.h"
#include "index/index_test_util.h"
#include "index_on_backend.h"
#include "redis_test_support.h"

namespace ombrix {
namespace {

using ombrix_encrypted_index::internal::backing_store::RedisKeystore;
using ombrix_test::UniqueName;

// The parameter names the variable of the server: plain or TLS.
class RedisIndexTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    OMBRIX_REQUIRE_ENV(location, GetParam());
    location_ = DBConfig{REDIS, UniqueName("ombrix_index_config"), location + ",db:0"};
  }

  // Everything the test's indexes wrote goes, store by store.
  void TearDown() override {
    for (const auto& [name, index_id] : made_) {
      for (int32_t kind : {INDEX, CONFIG, ITEMS, DATA}) {
        RedisKeystore(location_, name, index_id, kind).DeleteIndex();
      }
    }
  }

  index_on_backend::IndexMaker Maker() {
    return [this](const std::string& name) {
      auto index = index_on_backend::CreateAt(name, location_, location_, log_.logger());
      made_.emplace_back(name, index->core->index_id());
      return index;
    };
  }

  index_testing::CapturedLog log_;
  DBConfig location_;
  std::vector<std::pair<std::string, uint64_t>> made_;
};

TEST_P(RedisIndexTest, CreateUpsertTrainAndQuery) {
  index_on_backend::CreateUpsertTrainAndQuery(Maker(), UniqueName("trained"));
}

TEST_P(RedisIndexTest, ExistingNameIsRefusedAndOtherIndexesOfTheTableStay) {
  index_on_backend::ExistingNameIsRefusedAndOtherIndexesOfTheTableStay(Maker(),
                                                                       UniqueName("taken"));
}

OMBRIX_INSTANTIATE_PLAIN_AND_TLS(RedisIndexTest);

}  // namespace
}  // namespace ombrix
