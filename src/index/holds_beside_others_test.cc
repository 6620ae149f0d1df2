// Holds between handles on the test backend, whose clock only the test moves: a writer or
// a training whose hold ran out writes nothing more and says so, a holder that died holds
// the others back only until its lease runs out, lost replies leave no hold behind, a
// deletion takes the index like a training and leaves nothing, and each training's
// summaries hold only what its lists hold.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

#include "backing_store/testing/test_keystore.h"
#include "encrypted_store/training_state.h"
#include "index/encrypted_index.h"
#include "index/index_test_util.h"
#include "index/summary_store.h"
#include "index_model/quantize.h"

namespace ombrix {
namespace {

using index_testing::CapturedLog;
using index_testing::Clustered;
using index_testing::FilledIndex;
using index_testing::Ids;
using index_testing::ResultIds;
using index_testing::Rows;
using index_testing::ShallowSettings;
using index_testing::ThrownText;
using index_testing::UpsertRows;
using ombrix_encrypted_index::internal::backing_store::test_support::Fault;
using ombrix_encrypted_index::internal::backing_store::test_support::ScopedTestBackend;

constexpr uint64_t kItems = 10000;
constexpr uint64_t kLists = 8;
constexpr uint64_t kLease = 40'000;  // the default lease

std::unique_ptr<EncryptedIndex> Open(const std::string& name, CapturedLog& log) {
  return index_testing::OpenExisting(ShallowSettings(name), log.logger());
}

std::vector<std::string> Unreachable(EncryptedIndex& index, const Matrix<float>& data, uint64_t first,
                                     uint64_t end) {
  return index_testing::MissedOwnRows(index, data, first, end, kLists);
}

const Fault kEntryWrite{.operation = "BatchPushVariable", .kind = INDEX};

// A writer stalls between its positions and its entries past its lease; a training of
// another handle goes ahead meanwhile. The writer's entries are refused, its upsert
// raises, and every item acknowledged before stays reachable under the new lists.
TEST(HoldsBesideOthersTest, AWriterWhoseHoldRanOutWritesNothingMoreAndSaysSo) {
  ScopedTestBackend backend;
  CapturedLog log;
  const Matrix<float> data = Clustered(kItems + 20, 2, kLists, 51);
  auto trainer = FilledIndex(ShallowSettings("stalled"), log.logger(), Rows(data, 0, kItems));
  trainer->TrainIndex(kLists, 2048, 5);
  auto writer = Open("stalled", log);

  std::string training = "not run";
  backend.backend().RunBefore(kEntryWrite, [&] {
    backend.backend().AdvanceClock(kLease + 1);
    training = ThrownText([&] { trainer->TrainIndex(kLists, 2048, 5); }, false);
  });
  const std::string upsert = ThrownText([&] { UpsertRows(*writer, data, kItems, kItems + 20); });

  EXPECT_EQ(training, "none") << "the training went ahead once the writer's lease ran out";
  EXPECT_THAT(upsert, ::testing::HasSubstr("hold")) << upsert;
  EXPECT_THAT(writer->Get(Ids(20, kItems), {}), ::testing::IsEmpty()) << "no record after the refusal";
  auto fresh = Open("stalled", log);
  EXPECT_THAT(Unreachable(*fresh, data, 0, kItems), ::testing::IsEmpty());
}

// A writer that died holding the index (it never released) holds a training back only
// until its lease runs out on the store's clock; the training then files everything.
TEST(HoldsBesideOthersTest, AWriterThatDiedHoldsATrainingBackUntilItsLeaseRunsOut) {
  ScopedTestBackend backend;
  CapturedLog log;
  const Matrix<float> data = Clustered(kItems, 2, kLists, 52);
  auto trainer = FilledIndex(ShallowSettings("dead"), log.logger(), data);
  auto dead = EncryptedIndexCore::Load(ShallowSettings("dead"), log.logger());
  dead->BeginWriting();  // and never ends: its process is gone

  // Every look of the waiting training lets ten seconds pass on the store.
  uint64_t looks = 0;
  std::function<void()> pass = [&] {
    ++looks;
    backend.backend().AdvanceClock(10'000);
    backend.backend().RunBefore(Fault{.operation = "TakeHold", .kind = INDEX}, pass);
  };
  backend.backend().RunBefore(Fault{.operation = "TakeHold", .kind = INDEX}, pass);
  EXPECT_TRUE(trainer->TrainIndex(kLists, 2048, 5));
  backend.backend().ClearFaults();
  EXPECT_LE(looks, kLease / 10'000 + 2) << "waited only for the lease";
  EXPECT_THAT(Unreachable(*trainer, data, 0, kItems), ::testing::IsEmpty());
}

// A training stalls before its entries past its lease, and a second training of another
// handle goes ahead. The first is refused from then on and never reports success; the
// index answers from the second.
TEST(HoldsBesideOthersTest, ARebuildWhoseHoldRanOutBesideASecondTrainingStopsAndSaysSo) {
  ScopedTestBackend backend;
  CapturedLog log;
  const Matrix<float> data = Clustered(kItems, 2, kLists, 53);
  auto first = FilledIndex(ShallowSettings("twice"), log.logger(), data);
  first->TrainIndex(kLists, 2048, 5);
  auto second = Open("twice", log);

  std::string other = "not run";
  backend.backend().RunBefore(kEntryWrite, [&] {
    backend.backend().AdvanceClock(kLease + 1);
    other = ThrownText([&] { second->TrainIndex(kLists, 2048, 5); }, false);
  });
  const std::string displaced = ThrownText([&] { first->TrainIndex(kLists, 2048, 5); });

  EXPECT_EQ(other, "none");
  EXPECT_THAT(displaced, ::testing::HasSubstr("lost its hold on the index")) << displaced;
  auto fresh = Open("twice", log);
  EXPECT_THAT(Unreachable(*fresh, data, 0, kItems), ::testing::IsEmpty());
  EXPECT_THAT(Unreachable(*first, data, 0, kItems), ::testing::IsEmpty()) << "the displaced handle too";
}

// A lost reply to taking or to releasing a writer's hold fails the upsert, but leaves no
// hold behind: a training right after waits for nobody.
TEST(HoldsBesideOthersTest, LostRepliesToAWritersHoldLeaveNoHoldBehind) {
  ScopedTestBackend backend;
  CapturedLog log;
  const Matrix<float> data = Clustered(kItems + 2, 2, kLists, 54);
  auto index = FilledIndex(ShallowSettings("replies"), log.logger(), Rows(data, 0, kItems));
  const uint64_t store = index->core->index_store->store_id();
  for (const char* operation : {"TakeHold", "ReleaseHold"}) {
    backend.backend().InjectFault(Fault{.operation = operation, .kind = INDEX, .reply_lost = true});
    EXPECT_NE(ThrownText([&] { UpsertRows(*index, data, kItems, kItems + 2); }), "none") << operation;
    EXPECT_THAT(backend.backend().LiveHolds(store).second, ::testing::IsEmpty()) << operation;
  }
  EXPECT_TRUE(index->TrainIndex(kLists, 2048, 5));
  EXPECT_THAT(Unreachable(*index, data, 0, kItems), ::testing::IsEmpty());
}

// delete_index waits for a running training and a running writer (here past its wait
// limit, so it refuses), then deletes; afterwards every handle says the index is gone, no
// store holds anything of it, and a new index of the same name is empty.
TEST(HoldsBesideOthersTest, ADeletionTakesTheIndexLikeATrainingAndLeavesNothing) {
  ScopedTestBackend backend;
  CapturedLog log;
  internal::SetTrainingWaitLimitForTesting(50);
  const Matrix<float> data = Clustered(kItems + 1, 2, kLists, 55);
  auto trainer = FilledIndex(ShallowSettings("doomed"), log.logger(), Rows(data, 0, kItems));
  auto deleter = Open("doomed", log);
  auto other = Open("doomed", log);
  const std::string running =
      "A training of index 'doomed' is running; delete the index when it has finished";

  std::string during_training = "not run";
  backend.backend().RunBefore(kEntryWrite, [&] { during_training = ThrownText([&] { deleter->DeleteIndex(); }); });
  EXPECT_TRUE(trainer->TrainIndex(kLists, 2048, 5));
  EXPECT_EQ(during_training, running);

  std::string during_upsert = "not run";
  backend.backend().RunBefore(kEntryWrite, [&] { during_upsert = ThrownText([&] { deleter->DeleteIndex(); }, false); });
  UpsertRows(*other, data, kItems, kItems + 1);
  EXPECT_THAT(during_upsert, ::testing::HasSubstr("were still writing")) << during_upsert;
  internal::SetTrainingWaitLimitForTesting(120000);

  const uint64_t store = deleter->core->index_store->store_id();
  deleter->DeleteIndex();
  const std::string gone = "Index 'doomed' no longer exists: it was deleted";
  EXPECT_EQ(ThrownText([&] { UpsertRows(*other, data, 0, 1); }), "Error ingesting: " + gone);
  EXPECT_EQ(ThrownText([&] { Unreachable(*trainer, data, 0, 1); }), gone);
  EXPECT_EQ(ThrownText([&] { trainer->TrainIndex(kLists, 2048, 5); }), gone);
  EXPECT_EQ(backend.backend().LiveHolds(store), (std::pair<uint64_t, std::vector<uint64_t>>{0, {}}));

  auto again = std::make_unique<EncryptedIndex>("doomed", index_testing::TestKey(), IndexIVFFlat(0),
                                                ShallowSettings("doomed"), log.logger(), nullptr);
  EXPECT_THAT(again->ListIDs(), ::testing::IsEmpty());
  EXPECT_EQ(again->GetNumVectors(), 0u);
}

// Sixteen far-apart clusters, each item's metadata naming its cluster. After each of four
// trainings a filtered query probing one list finds its cluster: the summaries hold what
// the new lists hold, not what earlier trainings left in them.
TEST(HoldsBesideOthersTest, EachTrainingsSummariesHoldOnlyWhatItsListsHold) {
  ScopedTestBackend backend;
  CapturedLog log;
  constexpr uint64_t kClusters = 16;
  const Matrix<float> data = Clustered(kItems + 240, 2, kClusters, 56);
  auto index = std::make_unique<EncryptedIndex>("summaries", index_testing::TestKey(), IndexIVFFlat(0),
                                                ShallowSettings("summaries"), log.logger(), nullptr);
  std::vector<std::string> metadata;
  for (uint64_t i = 0; i < data.rows; ++i) metadata.push_back("{\"cluster\": " + std::to_string(i % kClusters) + "}");
  Matrix<float> copy = data;
  index->Upsert(Ids(data.rows), copy, {}, metadata);

  for (int training = 1; training <= 4; ++training) {
    ASSERT_TRUE(index->TrainIndex(kClusters, 2048, 10));
    uint64_t answered = 0;
    for (uint64_t q = 0; q < 240; ++q) {
      QueryParams params;
      params.top_k = 1;
      params.n_probes = 1;
      params.filters = "{\"cluster\": " + std::to_string(q % kClusters) + "}";
      answered += index->Query(Rows(data, q, q + 1), params).counts[0] > 0 ? 1 : 0;
    }
    EXPECT_EQ(answered, 240u) << "after training " << training;

    // Each list's record spans exactly the clusters of the items the list holds now.
    const Matrix<uint32_t> lists = quantize_dispatch(data, index->quantizers->codebooks,
                                                     static_cast<DistanceMetric>(index->config->metric));
    std::map<uint32_t, std::pair<double, double>> held;
    for (uint64_t i = 0; i < data.rows; ++i) {
      auto [it, added] = held.try_emplace(lists.data[i], double(i % kClusters), double(i % kClusters));
      it->second = {std::min(it->second.first, double(i % kClusters)), std::max(it->second.second, double(i % kClusters))};
    }
    std::map<uint32_t, std::pair<double, double>> recorded;
    SummariesByField summaries = LoadFilterSummaries(*index->core, {"cluster"});
    for (const auto& [list, summary] : summaries["cluster"]) {
      recorded[list] = {summary.min, summary.max};
    }
    EXPECT_EQ(recorded, held) << "after training " << training;
  }
}

}  // namespace
}  // namespace ombrix
