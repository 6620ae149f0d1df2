// Index operations with every store in PostgreSQL tables on the shared server (the bodies
// are shared with the other live backends).
#include <gtest/gtest.h>

#include <string>

#include "index/encrypted_index.h"
#include "index/index_test_util.h"
#include "index_on_backend.h"
#include "postgres_test_support.h"

namespace ombrix {
namespace {

using ombrix_pg_test::PgConfig;
using ombrix_pg_test::UniqueTableName;

// The items of every index share one table and their configuration records another, as
// indexes of one application would.
class PostgresIndexTest : public ombrix_pg_test::SharedServerTest {
 protected:
  void SetUp() override {
    SharedServerTest::SetUp();
    if (!session_) return;
    table_ = UniqueTableName("index");
    config_table_ = UniqueTableName("index_cfg");
  }
  void TearDown() override {
    if (session_) session_->Exec("DROP TABLE IF EXISTS " + table_ + ", " + config_table_);
  }

  index_on_backend::IndexMaker Maker() {
    return [this](const std::string& name) {
      return index_on_backend::CreateAt(name, PgConfig(conninfo_, table_),
                                        PgConfig(conninfo_, config_table_), log_.logger());
    };
  }

  index_testing::CapturedLog log_;
  std::string table_, config_table_;
};

TEST_F(PostgresIndexTest, CreateUpsertTrainAndQuery) {
  index_on_backend::CreateUpsertTrainAndQuery(Maker(), UniqueTableName("trained"));
}

TEST_F(PostgresIndexTest, ExistingNameIsRefusedAndOtherIndexesOfTheTableStay) {
  index_on_backend::ExistingNameIsRefusedAndOtherIndexesOfTheTableStay(Maker(),
                                                                       UniqueTableName("taken"));
}

}  // namespace
}  // namespace ombrix
