// Training against stores that fail at any call, beside another writer, and over a lost
// counter map: the index keeps answering or says plainly that it cannot, and no stored
// item loses its entries.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>

#include "backing_store/testing/test_keystore.h"
#include "encrypted_store/item_keys.h"
#include "encrypted_store/sealing.h"
#include "index/encrypted_index.h"
#include "index/index_test_util.h"
#include "index_model/testing/scoped_omp_threads.h"

namespace ombrix {
namespace {

using index_testing::BruteForce;
using index_testing::CapturedLog;
using index_testing::Clustered;
using index_testing::FilledIndex;
using index_testing::ShallowSettings;
using index_testing::Ids;
using index_testing::ResultIds;
using index_testing::Rows;
using index_testing::Settings;
using index_testing::TestKey;
using ombrix_encrypted_index::internal::backing_store::test_support::Fault;
using ombrix_encrypted_index::internal::backing_store::test_support::ScopedTestBackend;

constexpr uint64_t kItems = 10000;
constexpr uint64_t kLists = 8;

std::string MissingMap(const std::string& name) {
  return "The counter map of index '" + name +
         "' is missing from its index store; train the index to rebuild its entries";
}

std::string Unfinished(const std::string& name) {
  return "The index entries of index '" + name +
         "' are incomplete: a training did not finish rebuilding them; train the index to "
         "rebuild its entries";
}

IndexSettings Shallow(const std::string& name) { return ShallowSettings(name); }

std::unique_ptr<EncryptedIndex> Filled(const std::string& name, CapturedLog& log, const Matrix<float>& data) {
  return FilledIndex(Shallow(name), log.logger(), data);
}

void Train(EncryptedIndex& index) { index.TrainIndex(kLists, 2048, 5); }

// "right" when one query per cluster finds its exact nearest items (every list probed),
// else what came back instead: the error text, or the ids.
std::string Answers(EncryptedIndex& index, const Matrix<float>& data) {
  QueryParams params;
  params.top_k = 3;
  params.n_probes = kLists;
  const Matrix<float> queries = Rows(data, 0, kLists);
  QueryResults results;
  try {
    ::testing::internal::CaptureStderr();  // the wrapper's line for a refused query
    results = index.Query(queries, params);
    ::testing::internal::GetCapturedStderr();
  } catch (const std::exception& e) {
    ::testing::internal::GetCapturedStderr();
    return e.what();
  }
  for (uint64_t q = 0; q < kLists; ++q) {
    const std::vector<std::string> got = ResultIds(results, q);
    if (got != BruteForce(data, queries.row(q), 3)) return "query " + std::to_string(q) + " found " + ::testing::PrintToString(got);
  }
  return "right";
}

// Every store call of a training fails in turn, once (a refused write), once after it
// took effect (its reply lost), or from then on (a server gone, back before the next
// query). One index goes through all of it: after each round it answers again, trained
// or not, so the next round starts from there.
enum class Failure { kOnce, kFromThenOn, kReplyLost };
class TrainingFaultTest : public ::testing::TestWithParam<Failure> {};

TEST_P(TrainingFaultTest, AFailureAtAnyStoreCallLeavesTheIndexAnsweringOrSayingWhyNot) {
  const bool sticky = GetParam() == Failure::kFromThenOn;
  // Dozens of small trainings: one thread spares them the team's start-up and spinning.
  testing_support::ScopedOmpThreads one_thread(1);
  const Matrix<float> data = Clustered(kItems, 2, kLists, 31);
  ScopedTestBackend backend;
  CapturedLog log;
  auto index = Filled("faulty", log, data);
  uint64_t refused_queries = 0;
  uint64_t k = 1;
  for (;; ++k) {
    const uint64_t before = backend.backend().CallCount();
    Fault fault{k, "", std::nullopt, sticky, "store refused"};
    fault.reply_lost = GetParam() == Failure::kReplyLost;
    backend.backend().InjectFault(fault);
    ::testing::internal::CaptureStderr();
    try {
      Train(*index);
    } catch (const std::exception&) {
    }
    ::testing::internal::GetCapturedStderr();
    backend.backend().ClearFaults();
    // A hold the failing store could not release runs out with its lease meanwhile.
    backend.backend().AdvanceClock(60'000);
    if (backend.backend().CallCount() - before < k) break;  // the training made fewer calls
    const std::string answer = Answers(*index, data);
    if (!sticky) {
      EXPECT_EQ(answer, "right") << "one refused call " << k;
      continue;
    }
    EXPECT_THAT(answer, ::testing::AnyOf("right", Unfinished("faulty"))) << "store down from call " << k;
    if (answer == "right") continue;
    ++refused_queries;
    Train(*index);
    EXPECT_EQ(Answers(*index, data), "right") << "trained again after call " << k;
  }
  EXPECT_GT(k, 10u) << "every call of a training was reached";
  EXPECT_EQ(refused_queries > 0, sticky) << "a server gone during the rebuild is reported";
}

INSTANTIATE_TEST_SUITE_P(OnceAndFromThenOn, TrainingFaultTest,
                         ::testing::Values(Failure::kOnce, Failure::kFromThenOn, Failure::kReplyLost));

// Another writer adds items after the training set was read; the rebuild removes their
// entries, so training files them again from the data store, with their contents. The
// index record is saved with the new vocabulary.
TEST(TrainingRoadsTest, ItemsAnotherWriterAddsDuringTrainingAreFiledWithTheirContents) {
  ScopedTestBackend backend;
  CapturedLog log;
  const Matrix<float> data = Clustered(kItems + 2, 2, kLists, 32);
  auto index = Filled("shared", log, Rows(data, 0, kItems));
  const IndexSettings settings = Shallow("shared");

  Fault when;
  when.operation = "BatchGetVariable";  // the training reads the records it listed
  when.kind = DATA;
  backend.backend().RunBefore(when, [&] {
    auto other = EncryptedIndexCore::Load(settings, log.logger());
    ItemBatch batch;
    batch.input_tokens = {0, 0};
    batch.item_ids = {"late0", "late1"};
    const Matrix<float> two = Rows(data, kItems, kItems + 2);
    std::vector<uint8_t> bytes(two.data.size() * sizeof(float));
    std::memcpy(bytes.data(), two.data.data(), bytes.size());
    batch.payloads = Matrix<uint8_t>(std::move(bytes), 2 * sizeof(float));
    batch.contents = {{7, 7}, {}};
    batch.metadata = {"", ""};
    other->AddItems(batch);
  });
  Train(*index);

  EXPECT_TRUE(log.Has("INFO Processing 2 new embeddings from modified centroids..."));
  EXPECT_EQ(std::accumulate(index->core->counter_map.begin(), index->core->counter_map.end(), uint64_t{0}),
            kItems + 2)
      << "every stored item filed once";
  QueryParams params;
  params.top_k = 1;
  params.n_probes = kLists;
  const QueryResults results = index->Query(Rows(data, kItems, kItems + 2), params);
  EXPECT_EQ(ResultIds(results, 0), std::vector<std::string>{"late0"});
  EXPECT_EQ(ResultIds(results, 1), std::vector<std::string>{"late1"});
  const std::vector<EncryptedBlob> sealed = index->core->items_store->BatchGetVariable(
      DeriveItemKeys({"late0", "late1"}, index->core->content_store_name));
  EXPECT_EQ(DecryptItems(sealed, index->core->content_store_name),
            (std::vector<std::vector<uint8_t>>{{7, 7}, {}}));

  auto reopened = EncryptedIndexCore::Load(settings, log.logger());
  EXPECT_EQ(reopened->vocab_size, kLists) << "the index record follows the training";
  EXPECT_EQ(reopened->payload_size, 2 * sizeof(float));
}

// A lost counter map is never taken for an empty one: upserts and queries refuse by its
// name and write nothing, and training rebuilds the entries from the data store.
TEST(TrainingRoadsTest, ALostCounterMapIsReportedUntilTrainingRebuildsIt) {
  ScopedTestBackend backend;
  CapturedLog log;
  const Matrix<float> data = Clustered(kItems, 2, kLists, 33);
  auto index = Filled("lost", log, data);
  index->core->index_store->DeleteIndex();

  const uint64_t writes = backend.backend().CallCount("BatchPushVariable") + backend.backend().CallCount("PushMap");
  Matrix<float> one = Rows(data, 0, 1);
  ::testing::internal::CaptureStderr();
  try {
    index->Upsert({"new"}, one, {}, {});
    FAIL() << "an upsert restarted the lists at position 0";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Error ingesting: " + MissingMap("lost"));
  }
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(backend.backend().CallCount("BatchPushVariable") + backend.backend().CallCount("PushMap"), writes);
  EXPECT_EQ(Answers(*index, data), MissingMap("lost"));

  Train(*index);
  EXPECT_TRUE(log.Has("WARNING No counter map stored: rebuilding every index entry from the data store"));
  EXPECT_EQ(Answers(*index, data), "right");
}

}  // namespace
}  // namespace ombrix
