// The behaviours this layer mends where a plain reading would lose data, report a failure
// as success, or let a stale handle undo another's work.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <omp.h>

#include <numeric>

#include "backing_store/testing/test_keystore.h"
#include "encrypted_store/item_keys.h"
#include "encrypted_store/sealing.h"
#include "index/encrypted_index.h"
#include "index/index_test_util.h"
#include "index_model/stored_config.h"

namespace ombrix {
namespace {

using index_testing::CapturedLog;
using index_testing::Clustered;
using index_testing::Ids;
using index_testing::ResultIds;
using index_testing::Rows;
using index_testing::Settings;
using index_testing::TestKey;
using ombrix_encrypted_index::internal::backing_store::test_support::Fault;
using ombrix_encrypted_index::internal::backing_store::test_support::ScopedTestBackend;
using ::testing::HasSubstr;

std::unique_ptr<EncryptedIndex> Create(const IndexSettings& settings, CapturedLog& log, uint64_t dimension = 0) {
  IndexIVFFlat config(dimension);
  return std::make_unique<EncryptedIndex>(settings.index_name, TestKey(), config, settings, log.logger(), nullptr);
}

// What another handle leaves behind when it fixes the dimension or trains the shared
// index: the two records, written through an engine object of its own. `centroids`
// empty means untrained.
void WriteAsOtherHandle(const IndexSettings& settings, Logger* logger, uint64_t dimension,
                        const std::vector<float>& centroids, uint32_t version) {
  auto other = EncryptedIndexCore::Load(settings, logger);
  std::string name = settings.index_name;
  std::unique_ptr<IndexConfig> config = std::make_unique<IndexIVFFlat>(dimension);
  Quantizers quantizers;
  bool trained = !centroids.empty();
  if (trained) {
    Codebook book;
    book.centroids = Matrix<float>(std::vector<float>(centroids), dimension);
    book.n_centroids = static_cast<uint32_t>(book.centroids.rows);
    config->set_n_lists(book.n_centroids);
    quantizers.codebooks.push_back(book);
  }
  // A training of another handle records that it finished, as every training does.
  EncryptedIndexCore::TrainingTicket training;
  if (trained) training = other->BeginTraining();
  other->SaveIndexRecord(dimension * 4);
  uint64_t generation = training.generation;
  other->SaveStoredConfig(SerializeIndexConfig(IndexView{name, config, quantizers, trained, version, &generation}));
  if (trained) other->CompleteTraining(training);
}

uint64_t Total(const std::vector<uint32_t>& counters) {
  return std::accumulate(counters.begin(), counters.end(), uint64_t{0});
}

TEST(EncryptedIndexFaultTest, AFailedUntrainedStoreWriteIsReported) {
  ScopedTestBackend backend;
  CapturedLog log;
  auto index = Create(Settings("fails", POSTGRES), log);
  backend.backend().InjectFault(Fault{1, "", DATA, true, "data store down"});
  Matrix<float> vectors({1, 2}, 2);
  try {
    index->Upsert({"a"}, vectors, {}, {});
    FAIL() << "a failed write returned normally";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Error ingesting: data store down");
  }
  EXPECT_TRUE(log.Has("CRITICAL Error ingesting: data store down"));
}

// The trained road ingests through IngestTrained, which prefixes its failure itself; the
// caller reads the prefix once and the reason of the failed counter-map update.
TEST(EncryptedIndexFaultTest, AFailedTrainedStoreWriteSaysWhyOnce) {
  ScopedTestBackend backend;
  CapturedLog log;
  const IndexSettings settings = Settings("fails_trained", POSTGRES);
  auto index = Create(settings, log, 2);
  WriteAsOtherHandle(settings, log.logger(), 2, {0, 0, 10, 10}, 1);
  Fault fault{1, "PushMap", INDEX, true, "connection reset by peer"};
  fault.unreachable = true;
  backend.backend().InjectFault(fault);
  Matrix<float> vectors({1, 2}, 2);
  try {
    index->Upsert({"a"}, vectors, {}, {});
    FAIL() << "a failed write returned normally";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Error ingesting: connection reset by peer");
  }
  EXPECT_TRUE(index->is_trained());
}

TEST(EncryptedIndexFaultTest, MetadataCountAndMatrixFieldsAreCheckedBeforeAnythingIsStored) {
  CapturedLog log;
  auto index = Create(Settings("fields"), log);
  auto message_of = [&](Matrix<float> vectors, std::vector<std::string> metadata) {
    try {
      index->Upsert({"a", "b"}, vectors, {}, metadata);
    } catch (const std::invalid_argument& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(message_of(Matrix<float>({1, 2, 3, 4}, 2), {"{}"}),
            "Mismatch between the number of metadata entries and IDs.");
  Matrix<float> no_columns;
  no_columns.rows = 2;
  EXPECT_EQ(message_of(no_columns, {}), "Vectors must have at least one dimension.");
  Matrix<float> short_buffer;
  short_buffer.rows = 2;
  short_buffer.cols = 3;
  short_buffer.data = {1, 2, 3};
  EXPECT_EQ(message_of(short_buffer, {}), "The vector data does not match the number of rows and columns.");
  EXPECT_EQ(index->config->dimension(), 0u) << "nothing was fixed by a refused batch";
  EXPECT_EQ(message_of(Matrix<float>({1, 2, 3, 4}, 2), {"", "{}"}), "no error");
  EXPECT_EQ(message_of(Matrix<float>({1, 2, 3, 4}, 2), {}), "no error") << "no metadata at all";
}

// Another handle trained the shared index while this one never received a vector: this
// handle must adopt the trained state instead of writing its untrained record over it.
TEST(EncryptedIndexFaultTest, AStaleHandleSyncsBeforeItRewritesTheConfiguration) {
  ScopedTestBackend backend;
  CapturedLog log;
  const IndexSettings settings = Settings("shared", POSTGRES);
  auto stale = Create(settings, log);

  WriteAsOtherHandle(settings, log.logger(), 2, {0, 0, 100, 100}, 1);

  Matrix<float> vectors({1, 1, 99, 99}, 2);
  stale->Upsert({"near", "far"}, vectors, {}, {});
  EXPECT_TRUE(log.Has("INFO Config reloaded - training status or quantizer version update detected"));
  EXPECT_FALSE(log.Has("INFO Auto-detecting vector dimension: 2"));
  EXPECT_TRUE(stale->is_trained());
  EXPECT_EQ(stale->core->vocab_size, 2u);
  EXPECT_EQ(stale->core->counter_map, (std::vector<uint32_t>{1, 1})) << "filed under the stored centroids";

  const std::vector<uint8_t> record = stale->core->GetDecryptedConfigItem("shared.ovs");
  const stored::StoredConfig* root = stored::GetStoredConfig(record.data());
  EXPECT_TRUE(root->trained()) << "the trained record was not overwritten";
  EXPECT_EQ(root->quantizer_version(), 1u);

  // The other handle retrains with three lists: the next query reloads them.
  WriteAsOtherHandle(settings, log.logger(), 2, {0, 0, 50, 50, 100, 100}, 2);
  QueryParams params;
  params.n_probes = 3;
  const QueryResults results = stale->Query(Matrix<float>({98, 98}, 2), params);
  EXPECT_TRUE(log.Has("INFO Quantizer version mismatch detected. Current: 1, Stored: 2"));
  EXPECT_TRUE(log.Has("INFO Reloading quantizers due to version change..."));
  EXPECT_TRUE(log.Has("INFO Successfully reloaded quantizers with version 2"));
  EXPECT_EQ(stale->core->vocab_size, 3u);
  EXPECT_EQ(stale->quantizer_version, 2u);
}

TEST(EncryptedIndexFaultTest, AStoredDimensionIsAdoptedByAHandleWithoutOne) {
  ScopedTestBackend backend;
  CapturedLog log;
  const IndexSettings settings = Settings("dims", POSTGRES);
  auto stale = Create(settings, log);
  WriteAsOtherHandle(settings, log.logger(), 3, {}, 0);

  Matrix<float> wrong({1, 2}, 2);
  EXPECT_THROW(stale->Upsert({"a"}, wrong, {}, {}), std::invalid_argument);
  EXPECT_EQ(stale->config->dimension(), 3u);
  Matrix<float> right({1, 2, 3}, 3);
  stale->Upsert({"a"}, right, {}, {});
  EXPECT_EQ(stale->core->payload_size, 12u);
}

TEST(EncryptedIndexFaultTest, EachIdOncePerQueryWithItsNewestVector) {
  CapturedLog log;
  auto index = Create(Settings("replace"), log);
  Matrix<float> first({0, 0, 10, 10}, 2);
  index->Upsert({"a", "b"}, first, {}, {});
  QueryParams params;
  params.top_k = 10;
  index->Query(Matrix<float>({0, 0}, 2), params);  // fills the cache
  Matrix<float> moved({9, 9}, 2);
  index->Upsert({"a"}, moved, {}, {});
  const QueryResults results = index->Query(Matrix<float>({0, 0}, 2), params);
  EXPECT_THAT(ResultIds(results, 0), ::testing::ElementsAre("a", "b"));
  EXPECT_FLOAT_EQ(results.distances.at(0, 0), std::sqrt(162.0f)) << "the newest record of a";
}

TEST(EncryptedIndexFaultTest, EachIdOnceAfterMovingToAnotherList) {
  CapturedLog log;
  auto index = Create(Settings("moved"), log);
  Matrix<float> data = Clustered(10000, 4, 8, 5);
  const Matrix<float> copy = data;
  index->Upsert(Ids(10000), data, {}, {});
  index->TrainIndex();
  ASSERT_TRUE(index->is_trained());
  // id0 moves to the centre of another cluster.
  Matrix<float> moved = Rows(copy, 1, 2);
  index->Upsert({"id0"}, moved, {}, {});
  QueryParams params;
  params.top_k = 10000;
  params.n_probes = 8;
  const QueryResults results = index->Query(Rows(copy, 1, 2), params);
  const auto ids = ResultIds(results, 0);
  EXPECT_EQ(std::count(ids.begin(), ids.end(), "id0"), 1);
  EXPECT_EQ(ids.size(), 10000u);
}

// Another writer adds items between this handle's last look at the counters and its
// training. The training set holds them; the modified lists are not re-added on top of
// the rebuild, and the stored contents survive.
TEST(EncryptedIndexFaultTest, TrainingKeepsContentsAndFilesEachItemOnce) {
  ScopedTestBackend backend;
  CapturedLog log;
  const IndexSettings settings = Settings("retrain", POSTGRES);
  auto index = Create(settings, log);
  Matrix<float> data = Clustered(10000, 4, 8, 9);
  const Matrix<float> copy = data;
  index->Upsert(Ids(10000), data, {}, {});

  auto other = EncryptedIndexCore::Load(settings, log.logger());
  ItemBatch batch;
  batch.input_tokens = {0, 0, 0};
  batch.item_ids = {"w0", "w1", "id5"};
  const Matrix<float> three = Rows(copy, 0, 3);
  std::vector<uint8_t> bytes(3 * 16);
  std::memcpy(bytes.data(), three.data.data(), bytes.size());
  batch.payloads = Matrix<uint8_t>(std::move(bytes), 16);
  batch.contents = {{1, 2, 3}, {4}, {5, 5}};
  batch.metadata = {"", "", ""};
  other->AddItems(batch);
  other.reset();

  index->TrainIndex();
  EXPECT_TRUE(log.Has("INFO Detected changes in counter map. Identifying modified centroids..."));
  EXPECT_EQ(Total(index->core->counter_map), 10002u) << "every stored item filed once";
  const std::vector<EncryptedBlob> sealed = index->core->items_store->BatchGetVariable(
      DeriveItemKeys({"w0", "w1", "id5"}, index->core->content_store_name));
  EXPECT_EQ(DecryptItems(sealed, index->core->content_store_name),
            (std::vector<std::vector<uint8_t>>{{1, 2, 3}, {4}, {5, 5}}));
  QueryParams params;
  params.top_k = 3;
  params.n_probes = 8;
  const QueryResults results = index->Query(Rows(copy, 0, 1), params);
  EXPECT_THAT(ResultIds(results, 0), ::testing::Contains("w0"));
}

TEST(EncryptedIndexFaultTest, TrainingIsJudgedOnTheItemsActuallyRead) {
  CapturedLog log;
  auto index = Create(Settings("deleted"), log);
  Matrix<float> data = Clustered(10000, 2, 4, 21);
  index->Upsert(Ids(10000), data, {}, {});
  // 9,500 records go; the counters still count them.
  index->core->data_store->BatchDeleteItems(DeriveItemKeys(Ids(9500), index->core->data_store_name));
  for (uint64_t lists : {uint64_t{0}, uint64_t{400}}) {
    try {
      index->TrainIndex(lists);
      FAIL() << "trained " << lists;
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(),
                   "Number of embeddings is less than the 2 * n_lists. Please ingest more data before training.");
    }
    EXPECT_EQ(index->config->n_lists(), 1u);
    EXPECT_FALSE(index->is_trained());
  }
  EXPECT_TRUE(log.Has("INFO Calculated n_lists: 0 for 500 vectors"));
  index->TrainIndex(250);
  EXPECT_TRUE(index->is_trained());
}

TEST(EncryptedIndexFaultTest, HugeTopKSaturatesTheProbeCount) {
  CapturedLog log;
  auto index = Create(Settings("probes"), log);
  Matrix<float> data = Clustered(10000, 2, 8, 4);
  index->Upsert(Ids(10000), data, {}, {});
  index->TrainIndex();
  QueryParams params;
  params.top_k = (uint64_t{1} << 62) + 1;  // 80 * top_k * 8 wraps to a small number
  const QueryResults results = index->Query(Matrix<float>({0, 0}, 2), params);
  EXPECT_TRUE(log.Has("WARNING n_probes exceeds n_lists. Capping to n_lists (8)."));
  EXPECT_EQ(results.counts[0], 10000u) << "every list probed";
}

TEST(EncryptedIndexFaultTest, NoListToFetchGivesEmptyResultsWithoutRetrieval) {
  ScopedTestBackend backend;
  CapturedLog log;
  auto index = Create(Settings("empty", POSTGRES), log);
  Matrix<float> data = Clustered(10000, 2, 8, 4);
  index->Upsert(Ids(10000), data, {}, {});
  index->TrainIndex();
  const uint64_t reads = backend.backend().CallCount("BatchGetVariable", DATA) +
                         backend.backend().CallCount("BatchGetItems", INDEX);
  QueryParams params;
  params.top_k = 0;  // the automatic rule then asks for no list
  const QueryResults results = index->Query(Matrix<float>({0, 0, 1, 1}, 2), params);
  EXPECT_EQ(results.n_queries, 2u);
  EXPECT_EQ(results.top_k, 0u);
  EXPECT_EQ(backend.backend().CallCount("BatchGetVariable", DATA) + backend.backend().CallCount("BatchGetItems", INDEX),
            reads);
}

TEST(EncryptedIndexFaultTest, MemoryConfigIsNotSynchronised) {
  CapturedLog log;
  auto index = Create(Settings("memory"), log);
  Matrix<float> vectors({1, 2}, 2);
  index->Upsert({"a"}, vectors, {}, {});
  index->Query(Matrix<float>({1, 2}, 2), QueryParams());
  EXPECT_EQ(log.CountContaining("Failed to check/reload quantizers"), 0u);
  EXPECT_EQ(log.CountContaining("ERROR"), 0u);
}

TEST(EncryptedIndexFaultTest, ThePasswordIsNotLogged) {
  ScopedTestBackend backend;
  CapturedLog log;
  auto index = Create(Settings("secret", POSTGRES), log);
  EXPECT_TRUE(log.Has("INFO Creating new index with db: host=127.0.0.1 password=*** dbname=x"));
  EXPECT_EQ(log.CountContaining("hunter2"), 0u);
}

TEST(EncryptedIndexFaultTest, NegativeThreadCountsKeepTheTeamSize) {
  CapturedLog log;
  const int before = omp_get_max_threads();
  auto index = Create(Settings("threads", MEMORY, std::nullopt, -3), log);
  EXPECT_EQ(omp_get_max_threads(), before);
  EXPECT_EQ(index->cpu_threads, 0u);
  Matrix<float> vectors({1, 2}, 2);
  index->Upsert({"a"}, vectors, {}, {});  // parallel work still runs
}

}  // namespace
}  // namespace ombrix
