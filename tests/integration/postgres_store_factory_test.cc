// The POSTGRES branch of the store factory against the shared server.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "backing_store/store_factory.h"
#include "backing_store/testing/log_capture.h"
#include "postgres_test_support.h"

namespace ombrix_encrypted_index::internal::backing_store {
namespace {

using ombrix_pg_test::ErrorText;
using ombrix_pg_test::PgConfig;
using ombrix_pg_test::UniqueTableName;
using testing::ElementsAre;
using testing::StartsWith;
using Bytes = std::vector<uint8_t>;

class PostgresStoreFactoryTest : public ombrix_pg_test::SharedServerTest {
 protected:
  void SetUp() override {
    SharedServerTest::SetUp();
    table_ = UniqueTableName("factory");
    config_table_ = UniqueTableName("factory_cfg");
  }
  void TearDown() override {
    if (session_) session_->Exec("DROP TABLE IF EXISTS " + table_ + ", " + config_table_);
  }

  std::string table_;
  std::string config_table_;
};

TEST_F(PostgresStoreFactoryTest, OpensEveryKindUnderItsStoreId) {
  const uint64_t index_id = 0x7FFFFFFFFFFFFFFFull;
  for (int32_t kind : {ombrix::INDEX, ombrix::CONFIG, ombrix::ITEMS, ombrix::DATA}) {
    SCOPED_TRACE(kind);
    const std::string& table = kind == ombrix::CONFIG ? config_table_ : table_;
    std::unique_ptr<Keystore> store = CreateBackingStore(PgConfig(conninfo_, table), "idx", index_id, kind);
    EXPECT_EQ(store->store_id(), (index_id + kind) & 0x7FFFFFFFFFFFFFFFull);
    EXPECT_EQ(store->index_name(), "idx");
  }
  // The top bit is cleared: 2^63 - 1 + CONFIG is 0 in PostgreSQL.
  EXPECT_EQ(CreateBackingStore(PgConfig(conninfo_, config_table_), "idx", index_id, ombrix::CONFIG)->store_id(), 0u);

  // A store opened again for the same index and kind reaches what the first one wrote.
  auto first = CreateBackingStore(PgConfig(conninfo_, table_), "idx", 99, ombrix::DATA);
  first->BatchPushVariable({1}, {Bytes{7}});
  auto again = CreateBackingStore(PgConfig(conninfo_, table_), "idx", 99, ombrix::DATA);
  EXPECT_EQ(again->BatchGetVariable({1}), (std::vector<Bytes>{Bytes{7}}));
}

TEST_F(PostgresStoreFactoryTest, OpeningFailuresBecomeRuntimeErrors) {
  ombrix::testing_support::ScopedLogCapture log;
  const std::string refused = "host=127.0.0.1 port=" +
                              std::to_string(ombrix_pg_test::FreeLoopbackPort()) + " dbname=x";
  std::string error;
  try {
    CreateBackingStore(PgConfig(refused, table_), "idx", 1, ombrix::INDEX);
  } catch (const std::runtime_error& e) {
    error = e.what();
  }
  EXPECT_THAT(error, StartsWith("Postgres connection error: "));
  std::string logged;
  for (const std::string& line : log.Lines()) logged += line + "\n";
  EXPECT_EQ(logged, "CRITICAL " + error + "\nCRITICAL Failed to create backing store: " + error + "\n");

  ombrix::DBConfig no_table{ombrix::POSTGRES, std::nullopt, conninfo_};
  EXPECT_THROW(CreateBackingStore(no_table, "idx", 1, ombrix::INDEX), std::runtime_error);
  EXPECT_EQ(ErrorText([&] { CreateBackingStore(no_table, "idx", 1, ombrix::INDEX); }),
            "The PostgreSQL index location has no table_name: use DBConfig(\"postgres\", "
            "table_name, connection_string).");
  ombrix::DBConfig no_conninfo{ombrix::POSTGRES, table_, std::nullopt};
  EXPECT_EQ(ErrorText([&] { CreateBackingStore(no_conninfo, "idx", 1, ombrix::CONFIG); }),
            "The PostgreSQL config location has no connection string: use DBConfig(\"postgres\", "
            "table_name, connection_string).");

  // An unsafe table name is refused (as std::runtime_error, like every opening failure).
  EXPECT_THROW(CreateBackingStore(PgConfig(conninfo_, "x; DROP TABLE " + table_), "idx", 1, ombrix::INDEX),
               std::runtime_error);
}

}  // namespace
}  // namespace ombrix_encrypted_index::internal::backing_store
