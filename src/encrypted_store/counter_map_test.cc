#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "encrypted_store/core_test_fixture.h"
#include "encrypted_store/encrypted_index_core.h"

namespace ombrix {
namespace {

using testing_util::CoreTest;
using testing_util::ThrownMessage;

std::atomic<int> pauses{0};
std::atomic<bool> pause_out_of_range{false};

void CountPause(uint32_t ms) {
  ++pauses;
  std::this_thread::yield();
  if (ms < 30 || ms > 70) pause_out_of_range = true;
}

class CounterMapTest : public CoreTest {
 protected:
  void SetUp() override {
    pauses = 0;
    pause_out_of_range = false;
    internal::SetRetryPauseForTesting(&CountPause);
  }
  void TearDown() override { internal::SetRetryPauseForTesting(nullptr); }

  // A core whose index store holds `counters` (vocabulary of that size) at version 2
  // (creation stored version 1).
  std::unique_ptr<EncryptedIndexCore> CoreWithStoredMap(const std::string& name,
                                                         const std::vector<uint32_t>& counters) {
    auto core = Create(name, 21);
    core->ResizeVocabulary(counters.size());
    core->counter_map = counters;
    EXPECT_TRUE(core->PushCounterMap());
    return core;
  }
};

TEST_F(CounterMapTest, UpdateHandsOutConsecutivePositionsPerList) {
  auto core = CoreWithStoredMap("example", {5, 2});
  EXPECT_EQ(core->UpdateCounterMap({0, 0, 1}), (std::vector<uint32_t>{5, 6, 2}));
  core->LoadCounterMap();
  EXPECT_EQ(core->counter_map, (std::vector<uint32_t>{7, 3}));
  EXPECT_EQ(core->counter_map_version, 3u);
  EXPECT_EQ(pauses, 0);
  EXPECT_EQ(LinesStartingWith("INFO Map update succeeded.").size(), 1u);
}

// A load that finds the bytes it opened last reuses what they opened to; it still drops
// changes made only in memory, and a map pushed since is opened anew.
TEST_F(CounterMapTest, LoadsOfAnUnchangedMapGiveTheStoredValues) {
  auto core = CoreWithStoredMap("reload", {5, 2});
  core->LoadCounterMap();
  core->counter_map = {9, 9};
  core->LoadCounterMap();
  EXPECT_EQ(core->counter_map, (std::vector<uint32_t>{5, 2}));
  EXPECT_EQ(core->UpdateCounterMap({1}), (std::vector<uint32_t>{2}));
  core->counter_map = {0, 0};
  core->LoadCounterMap();
  EXPECT_EQ(core->counter_map, (std::vector<uint32_t>{5, 3}));
}

TEST_F(CounterMapTest, AMissingMapIsAnErrorThatNamesItAndMovesNothing) {
  auto core = Create("fresh", 22);
  core->LoadCounterMap();
  EXPECT_EQ(core->counter_map, std::vector<uint32_t>{0});
  EXPECT_EQ(core->counter_map_version, 1u);
  EXPECT_EQ(core->UpdateCounterMap({0, 0}), (std::vector<uint32_t>{0, 1}));

  core->index_store->DeleteIndex();  // the map is lost
  // With nothing stored, a missing map is an empty index: an older creator stored its
  // map only with the first update.
  core->LoadCounterMap();
  EXPECT_EQ(core->counter_map, std::vector<uint32_t>{0});
  core->counter_map = {2};
  core->data_store->BatchPushVariable({1}, {{1}});  // an item the entries no longer count
  const std::string missing =
      "The counter map of index 'fresh' is missing from its index store; train the index to "
      "rebuild its entries";
  const uint64_t pushes = backend().CallCount("PushMap");
  EXPECT_EQ(ThrownMessage([&] { core->LoadCounterMap(); }), missing);
  EXPECT_EQ(ThrownMessage([&] { core->UpdateCounterMap({0}); }), missing);
  EXPECT_EQ(pauses, 0) << "a missing map is not retried";
  EXPECT_EQ(backend().CallCount("PushMap"), pushes);
  EXPECT_EQ(core->counter_map, std::vector<uint32_t>{2});
  EXPECT_EQ(LinesStartingWith("ERROR " + missing).size(), 2u);
  EXPECT_FALSE(core->TryLoadCounterMap());
  core.reset();
  EXPECT_EQ(backend().CallCount("PushMap"), pushes) << "nor is it written on release";
}

TEST_F(CounterMapTest, RefusedPushesAreRetriedAFewTimes) {
  auto core = CoreWithStoredMap("retry", {1});
  backend().RefuseCompareAndSet(3);
  EXPECT_EQ(core->UpdateCounterMap({0}), std::vector<uint32_t>{1});
  EXPECT_EQ(pauses, 3);
  EXPECT_FALSE(pause_out_of_range);
  EXPECT_EQ(LinesStartingWith("WARNING Map update failed. Retrying...").size(), 3u);
  EXPECT_EQ(LinesStartingWith("INFO Updating Map. Num retries: 3").size(), 1u);
}

TEST_F(CounterMapTest, RetriesStopAfterOneHundredAttempts) {
  auto core = CoreWithStoredMap("refused", {1});
  backend().RefuseCompareAndSet(1000);
  EXPECT_EQ(ThrownMessage([&] { core->UpdateCounterMap({0}); }),
            "Failed to update map in 100 retries. Last failure: the push was refused: another "
            "writer changed the map first. Index 'refused': no item of this upsert was stored; "
            "upsert the same items again");
  EXPECT_EQ(pauses, 100);
  EXPECT_EQ(LinesStartingWith("WARNING Map update failed. Retrying...").size(), 100u);

  backend().ClearFaults();
  backend().InjectFault(FaultOn("GetMap", 1, true));
  EXPECT_EQ(ThrownMessage([&] { core->UpdateCounterMap({0}); }),
            "Failed to update map in 100 retries. Last failure: injected keystore failure. Index "
            "'refused': no item of this upsert was stored; upsert the same items again");
  const auto failures = LinesStartingWith("WARNING Map update failed: injected keystore failure. Retrying after ");
  EXPECT_EQ(failures.size(), 100u);
  EXPECT_EQ(pauses, 200);
  EXPECT_FALSE(pause_out_of_range);
}

TEST_F(CounterMapTest, AServerPastItsTimeLimitIsNotAskedAgain) {
  auto core = CoreWithStoredMap("timeout", {1});
  auto fault = FaultOn("GetMap", 1, true);
  fault.unreachable = true;
  fault.message = "Redis server 127.0.0.1:1 did not answer HMGET within 30 s";
  backend().InjectFault(fault);
  const uint64_t reads = backend().CallCount("GetMap");
  EXPECT_EQ(ThrownMessage([&] { core->UpdateCounterMap({0}); }), fault.message);
  EXPECT_EQ(backend().CallCount("GetMap"), reads + 1);
  EXPECT_EQ(pauses, 0);
}

TEST_F(CounterMapTest, OutOfRangeListsAndOverflowAreRefusedBeforeAnyCounterMoves) {
  auto core = CoreWithStoredMap("bounds", {0xFFFFFFFEu, 0});
  const uint64_t reads = backend().CallCount("GetMap");
  EXPECT_EQ(ThrownMessage([&] { core->UpdateCounterMap({1, 2}); }),
            "List id 2 is out of range for a vocabulary of 2 lists");
  EXPECT_EQ(backend().CallCount("GetMap"), reads);

  EXPECT_EQ(ThrownMessage([&] { core->UpdateCounterMap({1, 0, 0}); }),
            "Counter of list 0 cannot hold 3 more items");
  EXPECT_EQ(pauses, 0);
  core->LoadCounterMap();
  EXPECT_EQ(core->counter_map, (std::vector<uint32_t>{0xFFFFFFFEu, 0}));
  EXPECT_EQ(core->counter_map_version, 2u);
  EXPECT_EQ(core->UpdateCounterMap({0}), std::vector<uint32_t>{0xFFFFFFFEu});
}

TEST_F(CounterMapTest, ResizeKeepsAMatchingMapAndZeroesAnotherInMemoryOnly) {
  auto core = CoreWithStoredMap("resize", {4, 4, 4, 4, 4, 4, 4, 4});
  capture_.Clear();
  core->ResizeVocabulary(8);
  EXPECT_EQ(core->counter_map, std::vector<uint32_t>(8, 4));
  EXPECT_EQ(LinesStartingWith("INFO Loaded existing counter map with correct size (8)").size(), 1u);
  EXPECT_EQ(core->salts_and_seeds.size(), 8u);

  auto small = CoreWithStoredMap("grow", {4});
  small->ResizeVocabulary(3);
  EXPECT_EQ(LinesStartingWith("INFO Counter map size mismatch (has 1, needs 3), creating new empty counter map")
                .size(),
            1u);
  EXPECT_EQ(small->counter_map, std::vector<uint32_t>(3, 0));
  EXPECT_EQ(small->counter_map_version, 2u);
  // The stored map is shorter than the vocabulary: lists beyond it start at 0.
  EXPECT_EQ(small->UpdateCounterMap({2, 0}), (std::vector<uint32_t>{0, 4}));
  small->LoadCounterMap();
  EXPECT_EQ(small->counter_map, (std::vector<uint32_t>{5, 0, 1}));
}

TEST_F(CounterMapTest, ClosingPushNeverOverwritesAStoredMap) {
  {
    auto core = CoreWithStoredMap("closing", {9});
    core->ResizeVocabulary(4);  // stored map of 1 counter: zeros in memory
    EXPECT_EQ(core->counter_map, std::vector<uint32_t>(4, 0));
  }
  {
    auto core = Load("closing", 21);
    EXPECT_EQ(core->counter_map, std::vector<uint32_t>{9});
    EXPECT_EQ(core->counter_map_version, 2u);
    // A failed update leaves increments in memory; they must not reach the store either.
    backend().RefuseCompareAndSet(1000);
    EXPECT_THROW(core->UpdateCounterMap({0}), std::runtime_error);
    backend().ClearFaults();
  }
  auto core = Load("closing", 21);
  EXPECT_EQ(core->counter_map, std::vector<uint32_t>{9});
  EXPECT_EQ(core->counter_map_version, 2u);
}

TEST_F(CounterMapTest, ClosingPushLosesToAnotherWriter) {
  auto created = Create("moved", 24);
  {
    auto other = Load("moved", 24);
    EXPECT_EQ(other->UpdateCounterMap({0, 0, 0}), (std::vector<uint32_t>{0, 1, 2}));
  }
  EXPECT_NO_THROW(created.reset());
  auto core = Load("moved", 24);
  EXPECT_EQ(core->counter_map, std::vector<uint32_t>{3});
}

TEST_F(CounterMapTest, EmptyMapCannotBePushed) {
  auto core = Create("empty", 23);
  core->counter_map.clear();
  EXPECT_EQ(ThrownMessage([&] { core->PushCounterMap(); }),
            "Data size must be a multiple of the number of columns");
}

TEST_F(CounterMapTest, TwoEnginesOnOneBackendNeverShareAPosition) {
  auto first = CoreWithStoredMap("shared", {0, 0});
  auto second = Load("shared", 21);
  std::vector<uint32_t> got_first, got_second;
  auto work = [](EncryptedIndexCore& core, std::vector<uint32_t>& got, uint32_t seed) {
    for (uint32_t round = 0; round < 40; ++round) {
      std::vector<uint32_t> lists(1 + (round + seed) % 3, 0);
      for (uint32_t list : core.UpdateCounterMap(lists)) got.push_back(list);
    }
  };
  std::thread a([&] { work(*first, got_first, 0); });
  std::thread b([&] { work(*second, got_second, 1); });
  a.join();
  b.join();
  std::set<uint32_t> all(got_first.begin(), got_first.end());
  all.insert(got_second.begin(), got_second.end());
  EXPECT_EQ(all.size(), got_first.size() + got_second.size());
  first->LoadCounterMap();
  EXPECT_EQ(first->counter_map[0], all.size());
  EXPECT_EQ(*all.rbegin(), all.size() - 1);
}

}  // namespace
}  // namespace ombrix
