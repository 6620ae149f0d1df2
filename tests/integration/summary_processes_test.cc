// Two processes fold summaries into the same field paths of one index at once, through
// their own connections to the shared PostgreSQL and Redis servers: the stored records
// end with the union of both. The writers are this test program itself, started again
// with a filter that selects the child body and an environment that says what to do.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "backing_store/redis_keystore.h"
#include "index/centroid_summaries.h"
#include "index/encrypted_index.h"
#include "index/index_test_util.h"
#include "index/summary_store.h"
#include "postgres_test_support.h"
#include "redis_test_support.h"

extern char** environ;

namespace ombrix {
namespace {

constexpr int kRounds = 40;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

IndexSettings SettingsAt(const std::string& name, const DBConfig& location, const std::string& config_table) {
  IndexSettings settings;
  settings.index_name = name;
  static_cast<std::array<uint8_t, 32>&>(settings.index_key) = index_testing::TestKey();
  settings.index_location = settings.items_location = settings.data_location = location;
  settings.config_location = location;
  settings.config_location.table_name = config_table;
  settings.cpu_threads = 0;
  return settings;
}

std::unique_ptr<EncryptedIndex> CreateAt(const std::string& name, const DBConfig& location,
                                         const std::string& config_table, Logger* logger) {
  return std::make_unique<EncryptedIndex>(name, index_testing::TestKey(), IndexIVFFlat(4),
                                          SettingsAt(name, location, config_table), logger, nullptr);
}

// Writer w adds, round by round, hash w * 1000 + r under "tag" and the number w * 1000 + r
// under "n", both for list 3.
TEST(SummaryWriterChild, Run) {
  if (Env("OMBRIX_SUMMARY_CHILD").empty()) GTEST_SKIP() << "runs only as a writer process";
  const uint32_t writer = static_cast<uint32_t>(std::stoul(Env("OMBRIX_SUMMARY_CHILD")));
  Logger logger;
  const DBConfig location{std::stoi(Env("OMBRIX_SUMMARY_LOCATION")), Env("OMBRIX_SUMMARY_TABLE"),
                          Env("OMBRIX_SUMMARY_CONN")};
  auto core = EncryptedIndexCore::Load(
      SettingsAt(Env("OMBRIX_SUMMARY_INDEX"), location, Env("OMBRIX_SUMMARY_CONFIG_TABLE")), &logger);
  for (uint32_t r = 0; r < kRounds; ++r) {
    const uint32_t value = writer * 1000 + r;
    FieldSummaries fresh = {{"n", {{3, double(value), double(value), {}}}},
                            {"tag", {{3, -kSummaryBound, kSummaryBound, {value}, true}}}};
    MergeIntoStoredSummaries(*core, fresh, {"n", "tag"});
  }
}

// Runs two writers at once against `index`'s stores and checks the union.
void TwoWritersKeepEveryAddition(EncryptedIndex& index, const DBConfig& location, const std::string& config_table) {
  std::vector<pid_t> children;
  for (int writer = 1; writer <= 2; ++writer) {
    std::vector<std::string> env_strings;
    for (char** e = environ; *e != nullptr; ++e) env_strings.emplace_back(*e);
    env_strings.push_back("OMBRIX_SUMMARY_CHILD=" + std::to_string(writer));
    env_strings.push_back("OMBRIX_SUMMARY_LOCATION=" + std::to_string(location.location));
    env_strings.push_back("OMBRIX_SUMMARY_TABLE=" + location.table_name.value_or(""));
    env_strings.push_back("OMBRIX_SUMMARY_CONFIG_TABLE=" + config_table);
    env_strings.push_back("OMBRIX_SUMMARY_CONN=" + location.connection_string.value_or(""));
    env_strings.push_back("OMBRIX_SUMMARY_INDEX=" + index.name);
    std::vector<char*> envp;
    for (auto& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string self = "/proc/self/exe";
    std::string filter = "--gtest_filter=SummaryWriterChild.Run";
    std::vector<char*> argv = {self.data(), filter.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), envp.data()), 0);
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer status " << status;
  }
  const auto records = ReadSummaryRecords(*index.core, {"n", "tag"});
  const CentroidSummaryMap n = DecodeStoredSummaries(records[0]);
  const CentroidSummaryMap tag = DecodeStoredSummaries(records[1]);
  std::vector<uint32_t> all;
  for (uint32_t writer = 1; writer <= 2; ++writer) {
    for (uint32_t r = 0; r < kRounds; ++r) all.push_back(writer * 1000 + r);
  }
  ASSERT_EQ(tag.count(3), 1u);
  EXPECT_EQ(tag.at(3).hashes, all);
  ASSERT_EQ(n.count(3), 1u);
  EXPECT_EQ(n.at(3).min, 1000.0);
  EXPECT_EQ(n.at(3).max, 2000.0 + kRounds - 1);
}

class SummaryProcessesPostgresTest : public ombrix_pg_test::SharedServerTest {
 protected:
  void TearDown() override {
    if (session_) session_->Exec("DROP TABLE IF EXISTS " + table_ + ", " + config_table_);
  }
  std::string table_ = ombrix_pg_test::UniqueTableName("summaries");
  std::string config_table_ = ombrix_pg_test::UniqueTableName("summaries_cfg");
};

TEST_F(SummaryProcessesPostgresTest, TwoWritersKeepEveryAddition) {
  index_testing::CapturedLog log;
  const DBConfig location = ombrix_pg_test::PgConfig(conninfo_, table_);
  auto index = CreateAt("summaries", location, config_table_, log.logger());
  TwoWritersKeepEveryAddition(*index, location, config_table_);
}

TEST(SummaryProcessesRedisTest, TwoWritersKeepEveryAddition) {
  OMBRIX_REQUIRE_ENV(endpoint, "OMBRIX_TEST_REDIS");
  const DBConfig location{REDIS, ombrix_test::UniqueName("ombrix_summaries"), endpoint + ",db:0"};
  const std::string name = ombrix_test::UniqueName("summaries");
  index_testing::CapturedLog log;
  auto index = CreateAt(name, location, location.table_name.value_or(""), log.logger());
  const uint64_t index_id = index->core->index_id();
  TwoWritersKeepEveryAddition(*index, location, location.table_name.value_or(""));
  index.reset();
  for (int32_t kind : {INDEX, CONFIG, ITEMS, DATA}) {
    ombrix_encrypted_index::internal::backing_store::RedisKeystore(location, name, index_id, kind).DeleteIndex();
  }
}

}  // namespace
}  // namespace ombrix
