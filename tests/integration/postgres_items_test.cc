// Adding and retrieving items through the engine core against the shared PostgreSQL
// server (the bodies are shared with the other live backends).
#include <gtest/gtest.h>

#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "backing_store/testing/log_capture.h"
#include "encrypted_store/encrypted_index_core.h"
#include "items_on_backend.h"
#include "postgres_test_support.h"
#include "stalling_relay.h"

namespace ombrix {
namespace {

using ombrix_pg_test::PgConfig;
using ombrix_pg_test::UniqueTableName;

class PostgresItemsTest : public ombrix_pg_test::SharedServerTest {
 protected:
  void SetUp() override {
    SharedServerTest::SetUp();
    if (!session_) return;
    table_ = UniqueTableName("items");
    config_table_ = UniqueTableName("items_cfg");
    name_ = UniqueTableName("index");
  }
  void TearDown() override {
    if (session_) session_->Exec("DROP TABLE IF EXISTS " + table_ + ", " + config_table_);
  }

  items_on_backend::CoreOpener Opener() const {
    IndexSettings settings;
    settings.index_name = name_;
    settings.index_key.fill(3);
    settings.index_location = settings.items_location = settings.data_location =
        PgConfig(conninfo_, table_);
    settings.config_location = PgConfig(conninfo_, config_table_);
    settings.cpu_threads = 0;
    settings.payload_size = testing_util::kPayloadSize;
    return items_on_backend::OpenerFor(settings);
  }

  testing_support::ScopedLogCapture capture_;
  std::string table_, config_table_, name_;
};

TEST_F(PostgresItemsTest, ReplacedItemsComeBackOnceWithTheirNewestVector) {
  items_on_backend::ReplacedItemsComeBackOnceWithTheirNewestVector(Opener());
}

TEST_F(PostgresItemsTest, RefusedBatchesAndTamperedRecords) {
  items_on_backend::RefusedBatchesAndTamperedRecords(Opener());
}

// A data or contents location that names the index location's server in other words (its
// keys in another order) runs on the index store's session as the same words do, and opens
// no session of its own to find that out: a handle keeps two sessions, the index store's
// and the config store's, where a store taken for another server's would keep a third,
// unfenced.
TEST_F(PostgresItemsTest, StoresSpelledOtherwiseRunOnTheIndexStoresSession) {
  struct Row {
    const char* what;
    bool reorder_data;
    bool reorder_items;
  };
  for (const Row& row : {Row{"same words", false, false}, Row{"contents reordered", false, true},
                         Row{"records and contents reordered", true, true}}) {
    SCOPED_TRACE(row.what);
    const std::string app = UniqueTableName("app");
    // Through a relay that counts the connections the key-value stores open.
    ombrix_test::StallingRelay relay(ombrix_pg_test::ServerPort(conninfo_));
    std::string words = "application_name=" + app + " port=" + std::to_string(relay.port());
    std::istringstream given(conninfo_);
    for (std::string word; given >> word;) {
      if (!word.starts_with("port=")) words += " " + word;
    }
    std::istringstream split(words);
    std::vector<std::string> keys{std::istream_iterator<std::string>(split), {}};
    std::string reordered;
    for (auto key = keys.rbegin(); key != keys.rend(); ++key) reordered += *key + " ";
    IndexSettings settings;
    settings.index_name = UniqueTableName("index");
    settings.index_key.fill(3);
    settings.index_location = PgConfig(words, table_);
    settings.data_location = PgConfig(row.reorder_data ? reordered : words, table_);
    settings.items_location = PgConfig(row.reorder_items ? reordered : words, table_);
    settings.config_location = PgConfig(conninfo_ + " application_name=" + app, config_table_);
    settings.cpu_threads = 0;
    settings.payload_size = testing_util::kPayloadSize;
    auto core = EncryptedIndexCore::Create(settings, &InternalLogger(), {1});
    EXPECT_TRUE(core->index_store->FencesInOneStep(*core->data_store));
    EXPECT_TRUE(core->index_store->FencesInOneStep(*core->items_store));
    EXPECT_EQ(session_->Scalar("SELECT count(*) FROM pg_stat_activity WHERE application_name = '" + app + "'"), "2");
    EXPECT_EQ(relay.accepted(), 1);  // options that parse alike need no session to compare
  }
}

// Contents whose connection sets the session otherwise (search_path, statement_timeout) would not
// behave the same on the index store's session: they keep their own, in their search_path.
TEST_F(PostgresItemsTest, ContentsWithSettingsOfTheirOwnKeepTheirOwnSession) {
  const std::string schema = UniqueTableName("schema");
  session_->Exec("CREATE SCHEMA " + schema);
  for (const std::string& options : {"-c search_path=" + schema, std::string("-c statement_timeout=1500")}) {
    SCOPED_TRACE(options);
    IndexSettings settings;
    settings.index_name = UniqueTableName("index");
    settings.index_key.fill(3);
    settings.cpu_threads = 0;
    settings.payload_size = testing_util::kPayloadSize;
    settings.index_location = settings.data_location = PgConfig(conninfo_, table_);
    settings.items_location = PgConfig(conninfo_ + " options='" + options + "'", table_);
    settings.config_location = PgConfig(conninfo_, config_table_);
    auto core = EncryptedIndexCore::Create(settings, &InternalLogger(), {1});
    EXPECT_FALSE(core->index_store->FencesInOneStep(*core->items_store));
  }
  EXPECT_TRUE(session_->TableExists(schema + "." + table_));
  session_->Exec("DROP SCHEMA " + schema + " CASCADE");
}

}  // namespace
}  // namespace ombrix
