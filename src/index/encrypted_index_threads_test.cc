// Operations on one index from several threads: the operation lock serialises them, so
// every upsert lands and every query sees a consistent index. Run under ThreadSanitizer
// as well (see docs/architecture.md).
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>

#include "index/encrypted_index.h"
#include "index/index_test_util.h"

namespace ombrix {
namespace {

using index_testing::CapturedLog;
using index_testing::Clustered;
using index_testing::Ids;
using index_testing::Rows;
using index_testing::Settings;
using index_testing::TestKey;

TEST(EncryptedIndexThreadsTest, TwoThreadsUpsertAndQueryOneIndex) {
  CapturedLog log;
  IndexIVFFlat config(4);
  EncryptedIndex index("threads", TestKey(), config, Settings("threads"), log.logger(), nullptr);
  const Matrix<float> data = Clustered(2000, 4, 4, 8);
  Matrix<float> seed = Rows(data, 0, 1000);
  index.Upsert(Ids(1000), seed, {}, {});

  std::atomic<bool> failed{false};
  std::thread writer([&] {
    try {
      for (uint64_t start = 1000; start < 2000; start += 100) {
        Matrix<float> batch = Rows(data, start, start + 100);
        index.Upsert(Ids(100, start), batch, {}, {});
      }
    } catch (...) {
      failed = true;
    }
  });
  std::thread reader([&] {
    try {
      QueryParams params;
      params.top_k = 5;
      for (int i = 0; i < 20; ++i) {
        const QueryResults results = index.Query(Rows(data, i, i + 1), params);
        if (results.counts[0] != 5 || results.ids.at(0, 0) != "id" + std::to_string(i)) failed = true;
      }
    } catch (...) {
      failed = true;
    }
  });
  writer.join();
  reader.join();
  EXPECT_FALSE(failed);
  QueryParams params;
  params.top_k = 3000;
  EXPECT_EQ(index.Query(Rows(data, 0, 1), params).counts[0], 2000u);
}

TEST(EncryptedIndexThreadsTest, AHeldOperationLockMakesOtherThreadsWaitButNotItsHolder) {
  CapturedLog log;
  IndexIVFFlat config(2);
  EncryptedIndex index("lock", TestKey(), config, Settings("lock"), log.logger(), nullptr);
  std::latch calling(1);
  std::atomic<bool> upserted{false};
  std::thread other;
  {
    EncryptedIndex::OperationLock lock = index.LockOperations();
    other = std::thread([&] {
      calling.count_down();
      Matrix<float> vectors({1, 2}, 2);
      index.Upsert({"b"}, vectors, {}, {});
      upserted = true;
    });
    // The other thread is inside its call from here on; the holder goes on without
    // waiting, and the other call cannot end while the lock is held.
    calling.wait();
    Matrix<float> vectors({3, 4}, 2);
    index.Upsert({"a"}, vectors, {}, {});
    EXPECT_FALSE(upserted) << "another thread ran inside a held lock";
    EXPECT_EQ(log.CountContaining("Upserting 1 items."), 1u)
        << "the other call began its work inside a held lock";
  }
  other.join();
  EXPECT_TRUE(upserted);
  EXPECT_EQ(log.CountContaining("Upserting 1 items."), 2u);
}

}  // namespace
}  // namespace ombrix
