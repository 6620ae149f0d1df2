// Adding and retrieving items through the engine core against the shared PostgreSQL
// server (the bodies are shared with the other live backends).
#include <gtest/gtest.h>

#include <string>

#include "backing_store/testing/log_capture.h"
#include "encrypted_store/encrypted_index_core.h"
#include "items_on_backend.h"
#include "postgres_test_support.h"

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

}  // namespace
}  // namespace ombrix
