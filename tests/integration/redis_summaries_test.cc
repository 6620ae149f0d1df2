// Where the per-field summaries of an index live on Redis: values of the index store's
// item hash, beside their versions, while the map hash holds only the counter map; and
// records an earlier layout kept in the map hash are still read and carried over.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "backing_store/redis_connection.h"
#include "backing_store/redis_keystore.h"
#include "encrypted_store/item_keys.h"
#include "encrypted_store/sealing.h"
#include "index/centroid_summaries.h"
#include "index/encrypted_index.h"
#include "index/index_test_util.h"
#include "index/summary_store.h"
#include "index_on_backend.h"
#include "redis_test_support.h"

namespace ombrix {
namespace {

using ombrix_encrypted_index::internal::backing_store::ParseRedisConnectionString;
using ombrix_encrypted_index::internal::backing_store::RedisKeystore;

class RedisSummariesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OMBRIX_REQUIRE_ENV(endpoint, "OMBRIX_TEST_REDIS");
    port_ = std::stoi(ParseRedisConnectionString(endpoint)["port"]);
    location_ = DBConfig{REDIS, ombrix_test::UniqueName("ombrix_summaries"), endpoint + ",db:0"};
    index_ = index_on_backend::CreateAt(name_, location_, location_, log_.logger());
    index_id_ = index_->core->index_id();
  }

  void TearDown() override {
    index_.reset();
    for (int32_t kind : {INDEX, CONFIG, ITEMS, DATA}) RedisKeystore(location_, name_, index_id_, kind).DeleteIndex();
  }

  uint64_t RecordKey(const std::string& path) const {
    return DeriveItemKeys({path}, index_->core->centroid_metadata_store_name)[0];
  }

  // The fields of the index store's map hash, as redis-cli counts them.
  std::string MapHashLength() const {
    return ombrix_test::RedisCli(port_, "HLEN " + std::to_string(index_id_ + INDEX));
  }

  int port_ = 0;
  DBConfig location_;
  std::string name_ = ombrix_test::UniqueName("summaries");
  index_testing::CapturedLog log_;
  std::unique_ptr<EncryptedIndex> index_;
  uint64_t index_id_ = 0;
};

TEST_F(RedisSummariesTest, RecordsAreValuesOfTheIndexStore) {
  FieldSummaries fresh = {{"n", {{3, 1, 1, {}}}}};
  MergeIntoStoredSummaries(*index_->core, fresh, {"n"});
  MergeIntoStoredSummaries(*index_->core, fresh, {"n"});

  const std::vector<uint8_t> sealed = index_->core->index_store->BatchGetVariable({RecordKey("n")})[0];
  ASSERT_FALSE(sealed.empty()) << "the record is not in the item hash";
  std::string error;
  EXPECT_EQ(DecodeStoredSummaries(DecryptBlob(sealed, index_->core->centroid_metadata_store_name, error)),
            (CentroidSummaryMap{{3, {3, 1, 1, {}}}}));
  EXPECT_EQ(MapHashLength(), "(integer) 4\n") << "only the counter map and the training state, with their versions";
}

// A record written as a versioned map entry (PushMap, in the map hash) is what the path
// holds until the next update writes the merge where records now live.
TEST_F(RedisSummariesTest, RecordsInTheMapHashAreReadAndCarriedOver) {
  const std::vector<uint8_t> old_record =
      EncryptItems({encodeCentroidSummaries(CentroidSummaryMap{{3, {3, 5, 5, {}}}})},
                   index_->core->centroid_metadata_store_name)[0];
  ASSERT_TRUE(index_->core->index_store->PushMap(RecordKey("n"), old_record, ombrix_test::RandomU64(), 0));

  EXPECT_EQ(LoadFilterSummaries(*index_->core, {"n"}).at("n"), (CentroidSummaryMap{{3, {3, 5, 5, {}}}}));
  FieldSummaries fresh = {{"n", {{3, 1, 1, {}}, {4, 2, 2, {}}}}};
  MergeIntoStoredSummaries(*index_->core, fresh, {"n"});

  const CentroidSummaryMap merged = {{3, {3, 1, 5, {}}}, {4, {4, 2, 2, {}}}};
  EXPECT_EQ(DecodeStoredSummaries(ReadSummaryRecords(*index_->core, {"n"})[0]), merged);
  const std::vector<uint8_t> sealed = index_->core->index_store->BatchGetVariable({RecordKey("n")})[0];
  std::string error;
  EXPECT_EQ(DecodeStoredSummaries(DecryptBlob(sealed, index_->core->centroid_metadata_store_name, error)), merged);
}

}  // namespace
}  // namespace ombrix
