// What a query with the cache off asks of its stores: the calls are the network round
// trips on PostgreSQL and Redis (each keystore call is one statement or one pipelined
// exchange), so their number per query is fixed apart from the record reads.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "backing_store/testing/test_keystore.h"
#include "index/encrypted_index.h"
#include "index/index_test_util.h"

namespace ombrix {
namespace {

using index_testing::CapturedLog;
using index_testing::Clustered;
using index_testing::Ids;
using index_testing::Settings;
using index_testing::TestKey;
using ombrix_encrypted_index::internal::backing_store::test_support::ScopedTestBackend;

TEST(QueryRoundTripsTest, ACacheOffQueryMakesAFixedNumberOfCallsPlusItsRecordChunks) {
  ScopedTestBackend backend;
  CapturedLog log;
  IndexSettings settings = Settings("round_trips", POSTGRES);
  settings.max_cache_size = 0;
  IndexIVFFlat config(2);
  EncryptedIndex index(settings.index_name, TestKey(), config, settings, log.logger(), nullptr);
  Matrix<float> data = Clustered(10000, 2, 8, 4);
  index.Upsert(Ids(10000), data, {}, {});
  index.TrainIndex();

  const std::vector<std::string> operations = {
      "LoadConfigItem", "GetMap", "GetMaps", "BatchGetItems", "BatchGetVariable"};
  struct Case {
    uint64_t n_probes;
    uint64_t config_reads;  // only the first query after a training reads the configuration
  };
  // The counter map and the training state are read together, before the entries and
  // after them; the automatic probe count uses the counters read first.
  for (const Case c : {Case{8, 1}, Case{0, 0}}) {
    QueryParams params;
    params.n_probes = c.n_probes;
    params.top_k = 10000;  // automatic: every list
    std::map<std::string, uint64_t> before;
    for (const auto& op : operations) before[op] = backend.backend().CallCount(op);
    const uint64_t calls_before = backend.backend().CallCount();

    const QueryResults results = index.Query(Matrix<float>({0, 0}, 2), params);
    ASSERT_EQ(results.counts[0], 10000u) << "every list probed";

    std::map<std::string, uint64_t> made;
    for (const auto& op : operations) made[op] = backend.backend().CallCount(op) - before[op];
    const std::string where = "n_probes " + std::to_string(c.n_probes);
    EXPECT_EQ(made["LoadConfigItem"], c.config_reads) << where << ": the training status";
    EXPECT_EQ(made["GetMap"], 0u) << where;
    EXPECT_EQ(made["GetMaps"], 2u) << where;
    EXPECT_EQ(made["BatchGetItems"], 1u) << where << ": every label of every probed list";
    EXPECT_EQ(made["BatchGetVariable"], 10u) << where << ": records, 1000 hash ids a read";
    EXPECT_EQ(backend.backend().CallCount() - calls_before, 13u + c.config_reads) << where;
  }
}

}  // namespace
}  // namespace ombrix
