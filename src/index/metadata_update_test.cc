// The summary update: which texts count, what is stored, and that concurrent writers of
// one path never drop each other's additions.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "backing_store/testing/error_text.h"
#include "backing_store/testing/test_keystore.h"
#include "index/centroid_summaries.h"
#include "index/encrypted_index.h"
#include "index/index_test_util.h"
#include "index/summary_store.h"

namespace ombrix {
namespace {

using index_testing::CapturedLog;
using index_testing::Clustered;
using index_testing::Ids;
using index_testing::Settings;
using index_testing::TestKey;
using ombrix_encrypted_index::internal::backing_store::MapAndVersion;
using ombrix_encrypted_index::internal::backing_store::test_support::Fault;
using ombrix_encrypted_index::internal::backing_store::test_support::ScopedTestBackend;
using testing_support::ErrorText;

constexpr double B = kSummaryBound;

std::unique_ptr<EncryptedIndex> Create(const IndexSettings& settings, CapturedLog& log) {
  IndexIVFFlat config(4);
  return std::make_unique<EncryptedIndex>(settings.index_name, TestKey(), config, settings, log.logger(), nullptr);
}

ItemBatch BatchOf(std::vector<uint32_t> lists, std::vector<std::string> texts) {
  ItemBatch batch;
  batch.input_tokens = std::move(lists);
  batch.metadata = std::move(texts);
  return batch;
}

CentroidSummaryMap Stored(EncryptedIndexCore& core, const std::string& path) {
  return DecodeStoredSummaries(ReadSummaryRecords(core, {path}).at(0));
}

TEST(UpdateMetadata, TextsThatGiveNoPathReadAndWriteNothing) {
  ScopedTestBackend backend;
  CapturedLog log;
  auto index = Create(Settings("nothing", POSTGRES), log);
  const std::vector<std::vector<std::string>> batches = {
      {"", " \t\r\n"}, {"{bad"}, {"5", "\"text\"", "{}", "[]", "null"}, {"[1" + std::string(400, '0') + "]"},
      {R"({"deep": )" + std::string(120, '[') + std::string(120, ']') + "}"}};
  for (const auto& texts : batches) {
    const uint64_t calls = backend.backend().CallCount("", INDEX);
    index->UpdateMetadata(texts, BatchOf(std::vector<uint32_t>(texts.size(), 0), texts));
    EXPECT_EQ(backend.backend().CallCount("", INDEX), calls) << texts[0];
  }
  EXPECT_EQ(log.CountContaining("No valid metadata found to update, skipping metadata update"), batches.size());
}

TEST(UpdateMetadata, SkipsUnparsableTextsAndMergesTheRest) {
  ScopedTestBackend backend;
  CapturedLog log;
  auto index = Create(Settings("skips", POSTGRES), log);
  const std::string overflow = R"({"p": 1)" + std::string(400, '0') + "}";
  const std::vector<std::string> texts = {R"({"p": 4, "c": "x"})", "{bad", overflow, R"({"p": -2, "c": "y"})",
                                          R"({"p": 9})"};
  index->UpdateMetadata(texts, BatchOf({1, 1, 1, 1, 3}, texts));
  EXPECT_EQ(log.CountContaining("WARNING Skipping invalid JSON metadata at index 1: "), 1u);
  EXPECT_EQ(log.CountContaining("WARNING Skipping invalid JSON metadata at index 2: "), 1u);
  EXPECT_EQ(log.CountContaining("(content: '" + overflow + "')"), 1u);
  EXPECT_EQ(Stored(*index->core, "p"),
            (CentroidSummaryMap{{1, {1, -2, 4, {}}}, {3, {3, 9, 9, {}}}}));
  std::vector<uint32_t> hashes = {stringCrc32("x"), stringCrc32("y")};
  std::sort(hashes.begin(), hashes.end());
  EXPECT_EQ(Stored(*index->core, "c"), (CentroidSummaryMap{{1, {1, B, -B, hashes}}}));
}

TEST(UpdateMetadata, RefusesAMetadataCountOtherThanTheBatchsBeforeReading) {
  ScopedTestBackend backend;
  CapturedLog log;
  auto index = Create(Settings("count", POSTGRES), log);
  EXPECT_EQ(ErrorText([&] { index->UpdateMetadata({R"({"a": 1})"}, BatchOf({0, 1}, {})); }),
            "Mismatch between the number of metadata texts (1) and items (2).");
  EXPECT_EQ(backend.backend().CallCount("BatchGetVariable", INDEX), 0u);
}

// A keystore that runs `before_push` once, just before the first compare-and-set goes to
// the store it wraps: another writer slips in between this writer's read and its write.
class InterposingKeystore : public Keystore {
 public:
  InterposingKeystore(std::shared_ptr<Keystore> inner, std::function<void()> before_push)
      : Keystore(inner->store_id(), inner->index_name()), inner_(std::move(inner)), before_push_(std::move(before_push)) {}
  bool PushMap(const uint64_t& key, const std::vector<uint8_t>& map, const uint64_t& version_key,
               const uint64_t& expected) override {
    if (before_push_) std::exchange(before_push_, nullptr)();
    return inner_->PushMap(key, map, version_key, expected);
  }
  bool CompareAndSetValue(const uint64_t& key, const std::vector<uint8_t>& value, const uint64_t& version_key,
                          const uint64_t& expected) override {
    if (before_push_) std::exchange(before_push_, nullptr)();
    return inner_->CompareAndSetValue(key, value, version_key, expected);
  }
  MapAndVersion GetMap(const uint64_t& key, const uint64_t& version_key) override {
    return inner_->GetMap(key, version_key);
  }
  void BatchPushItems(const std::vector<uint64_t>& k, const Matrix<uint8_t>& v) override { inner_->BatchPushItems(k, v); }
  void BatchPushVariable(const std::vector<uint64_t>& k, const std::vector<std::vector<uint8_t>>& v) override {
    inner_->BatchPushVariable(k, v);
  }
  void PushItem(const uint64_t& k, const std::vector<uint8_t>& v) override { inner_->PushItem(k, v); }
  void BatchDeleteItems(const std::vector<uint64_t>& k) override { inner_->BatchDeleteItems(k); }
  void DeleteItem(const uint64_t& k) override { inner_->DeleteItem(k); }
  std::vector<uint8_t> GetItem(const uint64_t& k) override { return inner_->GetItem(k); }
  Matrix<uint8_t> BatchGetItems(const std::vector<uint64_t>& k) override { return inner_->BatchGetItems(k); }
  std::vector<std::vector<uint8_t>> BatchGetVariable(const std::vector<uint64_t>& k) override {
    return inner_->BatchGetVariable(k);
  }
  void PushConfigItem(const std::string& n, const std::vector<uint8_t>& b) override { inner_->PushConfigItem(n, b); }
  std::vector<uint8_t> LoadConfigItem(const std::string& n) override { return inner_->LoadConfigItem(n); }
  bool ConfigItemExists(const std::string& n) override { return inner_->ConfigItemExists(n); }
  void DeleteIndex() override { inner_->DeleteIndex(); }
  uint64_t GetNumItems() override { return inner_->GetNumItems(); }
  std::vector<uint64_t> GetAllKeys() override { return inner_->GetAllKeys(); }

 private:
  std::shared_ptr<Keystore> inner_;
  std::function<void()> before_push_;
};

TEST(UpdateMetadata, AWriterThatLosesTheRaceMergesAgain) {
  ScopedTestBackend backend;
  CapturedLog log;
  const IndexSettings settings = Settings("race", POSTGRES);
  auto index = Create(settings, log);
  auto other = EncryptedIndexCore::Load(settings, log.logger());
  FieldSummaries theirs = {{"tag", {{4, -B, B, {111}, true}}}, {"n", {{4, 7, 7, {}}}}};
  index->core->index_store = std::make_shared<InterposingKeystore>(
      index->core->index_store, [&] { MergeIntoStoredSummaries(*other, theirs, {"n", "tag"}); });
  const std::vector<std::string> texts = {R"({"tag": "mine", "n": 1})"};
  index->UpdateMetadata(texts, BatchOf({4}, texts));

  std::vector<uint32_t> tags = {111, stringCrc32("mine")};
  std::sort(tags.begin(), tags.end());
  EXPECT_EQ(Stored(*other, "tag"), (CentroidSummaryMap{{4, {4, B, -B, tags}}}));
  EXPECT_EQ(Stored(*other, "n"), (CentroidSummaryMap{{4, {4, 1, 7, {}}}}));
}

TEST(UpdateMetadata, GivesUpOnlyAfterEveryAttemptLost) {
  ScopedTestBackend backend;
  CapturedLog log;
  auto index = Create(Settings("lost", POSTGRES), log);
  FieldSummaries fresh = {{"n", {{0, 1, 1, {}}}}};
  backend.backend().RefuseCompareAndSet(kSummaryUpdateAttempts - 1);
  MergeIntoStoredSummaries(*index->core, fresh, {"n"});
  EXPECT_EQ(Stored(*index->core, "n"), (CentroidSummaryMap{{0, {0, 1, 1, {}}}}));
  backend.backend().RefuseCompareAndSet(kSummaryUpdateAttempts);
  EXPECT_EQ(ErrorText([&] { MergeIntoStoredSummaries(*index->core, fresh, {"n"}); }),
            "Centroid metadata of field 'n' kept changing during 100 attempts to update it");
}

// The trained road writes the summaries before the items: when the summary write fails,
// no item of the batch is stored, and the error names the summary step.
TEST(UpdateMetadata, TrainedUpsertWritesSummariesBeforeItems) {
  ScopedTestBackend backend;
  CapturedLog log;
  auto index = Create(Settings("road", POSTGRES), log);
  Matrix<float> data = Clustered(10000, 4, 8, 3);
  std::vector<std::string> texts(10000);
  for (size_t i = 0; i < texts.size(); ++i) texts[i] = R"({"k": )" + std::to_string(i % 8) + "}";
  index->Upsert(Ids(10000), data, {}, texts);
  index->TrainIndex();
  ASSERT_TRUE(index->is_trained());
  const CentroidSummaryMap trained = Stored(*index->core, "k");
  EXPECT_EQ(trained.size(), 8u);

  Matrix<float> one = Clustered(1, 4, 1, 9);
  backend.backend().InjectFault(Fault{.operation = "CompareAndSetValue", .kind = INDEX});
  const uint64_t data_writes = backend.backend().CallCount("BatchPushVariable", DATA);
  EXPECT_EQ(ErrorText([&] { index->Upsert({"new"}, one, {}, {R"({"k": 100})"}); }),
            "Error ingesting: Error updating metadata: injected keystore failure");
  EXPECT_EQ(backend.backend().CallCount("BatchPushVariable", DATA), data_writes);
  EXPECT_EQ(Stored(*index->core, "k"), trained);

  Matrix<float> again = Clustered(1, 4, 1, 9);
  index->Upsert({"new"}, again, {}, {R"({"k": 100})"});
  double widest = -B;
  for (const auto& [list, s] : Stored(*index->core, "k")) widest = std::max(widest, s.max);
  EXPECT_EQ(widest, 100.0);
}

}  // namespace
}  // namespace ombrix
