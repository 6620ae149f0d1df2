// ListIndexNames against the shared server.
#include "backing_store/postgres_index_listing.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "backing_store/postgres_keystore.h"
#include "backing_store/testing/log_capture.h"
#include "postgres_test_support.h"

namespace ombrix_encrypted_index::internal::backing_store {
namespace {

using ombrix_pg_test::PgConfig;
using ombrix_pg_test::PgSession;
using ombrix_pg_test::UniqueTableName;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::StartsWith;
using testing::UnorderedElementsAre;

template <typename Exception, typename Fn>
std::string ErrorOf(Fn&& fn) {
  try {
    fn();
  } catch (const Exception& e) {
    return e.what();
  }
  return "(nothing of that type thrown)";
}

class PostgresIndexListingTest : public ombrix_pg_test::SharedServerTest {
 protected:
  void SetUp() override {
    SharedServerTest::SetUp();
    table_ = UniqueTableName("list");
  }
  void TearDown() override {
    if (session_) session_->Exec("DROP TABLE IF EXISTS " + table_);
  }

  std::string table_;
};

TEST_F(PostgresIndexListingTest, ListsIndexesWithAConfigurationRecord) {
  PostgresKeystore config(PgConfig(conninfo_, table_), "a", 1, ombrix::CONFIG);
  EXPECT_TRUE(ListIndexNames(PgConfig(conninfo_, table_)).empty());

  for (const char* name : {"a.ovs", "a.oei", "b.ovs", ".ovs", "only_record.oei", "c.ovs.oei",
                                  "with space.ovs"}) {
    config.PushConfigItem(name, {1});
  }
  EXPECT_THAT(ListIndexNames(PgConfig(conninfo_, table_)),
              UnorderedElementsAre("a", "b", "with space"));

  // Only the two strings matter, not the location.
  ombrix::DBConfig memory{ombrix::MEMORY, table_, conninfo_};
  EXPECT_THAT(ListIndexNames(memory), UnorderedElementsAre("a", "b", "with space"));

  // Deleting an index's records takes it off the list.
  config.DeleteIndex();
  EXPECT_THAT(ListIndexNames(PgConfig(conninfo_, table_)), UnorderedElementsAre("b", "with space"));
}

TEST_F(PostgresIndexListingTest, Failures) {
  ombrix::testing_support::ScopedLogCapture log;
  EXPECT_EQ(ErrorOf<std::invalid_argument>(
                [&] { ListIndexNames({ombrix::POSTGRES, std::nullopt, conninfo_}); }),
            "table_name is not set in DBConfig.");
  EXPECT_EQ(ErrorOf<std::invalid_argument>(
                [&] { ListIndexNames({ombrix::POSTGRES, table_, std::nullopt}); }),
            "Database connection string is missing in the configuration.");

  const std::string refused = "host=127.0.0.1 port=" +
                              std::to_string(ombrix_pg_test::FreeLoopbackPort()) + " dbname=x";
  EXPECT_THAT(ErrorOf<std::runtime_error>([&] { ListIndexNames(PgConfig(refused, table_)); }),
              StartsWith("Failed to connect to PostgreSQL: "));

  // The name is taken exactly: a different case is a different (missing) table.
  PostgresKeystore config(PgConfig(conninfo_, table_), "a", 1, ombrix::CONFIG);
  std::string upper = table_;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::string missing =
      ErrorOf<std::runtime_error>([&] { ListIndexNames(PgConfig(conninfo_, upper)); });
  EXPECT_THAT(missing, StartsWith("Failed to execute query: "));
  EXPECT_THAT(missing, HasSubstr("does not exist"));

  // A quote in the name stays inside the identifier instead of ending the statement.
  const std::string injected = table_ + "\"; DROP TABLE " + table_ + "; --";
  EXPECT_THAT(ErrorOf<std::runtime_error>([&] { ListIndexNames(PgConfig(conninfo_, injected)); }),
              StartsWith("Failed to execute query: "));
  EXPECT_TRUE(session_->TableExists(table_));

  // Each failure was logged once at ERROR (libpq's messages add continuation lines).
  const std::vector<std::string> lines = log.Lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) { return line.starts_with("ERROR "); }),
            5);
}

}  // namespace
}  // namespace ombrix_encrypted_index::internal::backing_store
