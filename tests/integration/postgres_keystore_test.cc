// The PostgreSQL keystore against the shared server: the contract suite, opening, the
// stored format, batches, config items (compare-and-set among them), racing versioned map
// updates, and holds beside silent, lost and waiting sessions.
#include "backing_store/postgres_keystore.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <thread>

#include "backing_store/keystore_contract_test.h"
#include "backing_store/postgres_index_listing.h"
#include "backing_store/server_errors.h"
#include "backing_store/testing/log_capture.h"
#include "postgres_test_support.h"
#include "stalling_relay.h"

namespace ombrix_encrypted_index::internal::backing_store {
namespace {

using ombrix_pg_test::ErrorText;
using ombrix_pg_test::PgConfig;
using ombrix_pg_test::PgSession;
using ombrix_pg_test::RandomId;
using ombrix_pg_test::ServerPort;
using ombrix_pg_test::UniqueTableName;
using testing::HasSubstr;
using testing::StartsWith;
using Bytes = std::vector<uint8_t>;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes EveryByte() {
  Bytes bytes(256);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
  return bytes;
}

// libpq's messages span lines; the log capture hands them back one line at a time.
std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
  return text;
}


// The contract suite: every store of one test program shares one table, which is
// dropped when the last store of a test is released.
struct PostgresStores {
  static std::string& Table() {
    static std::string table = UniqueTableName("contract");
    return table;
  }
  static int& Live() {
    static int live = 0;
    return live;
  }
  static std::unique_ptr<Keystore> Make() {
    const char* conninfo = std::getenv("OMBRIX_TEST_PG");
    if (conninfo == nullptr) {
      throw std::runtime_error("OMBRIX_TEST_PG is not set (source scripts/services.sh)");
    }
    ++Live();
    return std::make_unique<PostgresKeystore>(PgConfig(conninfo, Table()), "contract", RandomId(),
                                              ombrix::INDEX);
  }
  static void Release(Keystore&) {
    if (--Live() == 0) PgSession(std::getenv("OMBRIX_TEST_PG")).Exec("DROP TABLE IF EXISTS " + Table());
  }
};
INSTANTIATE_TYPED_TEST_SUITE_P(Postgres, KeystoreContractTest, PostgresStores);

class PostgresKeystoreTest : public ombrix_pg_test::SharedServerTest {
 protected:
  void SetUp() override {
    SharedServerTest::SetUp();
    table_ = UniqueTableName("kv");
    config_table_ = UniqueTableName("cfg");
  }
  void TearDown() override {
    if (!session_) return;
    session_->Exec("DROP TABLE IF EXISTS " + table_ + ", " + config_table_ + " CASCADE");
    session_->Exec("DROP FUNCTION IF EXISTS " + table_ + "_poison()");
  }

  std::unique_ptr<PostgresKeystore> Open(int32_t kind, uint64_t index_id = RandomId(),
                                         const std::string& index_name = "idx") {
    const std::string& table = kind == ombrix::CONFIG ? config_table_ : table_;
    return std::make_unique<PostgresKeystore>(PgConfig(conninfo_, table), index_name, index_id,
                                              kind);
  }

  // (column, type) of a table, in column order.
  std::vector<std::vector<std::string>> Columns(const std::string& table) {
    return session_->Query(
        "SELECT column_name, data_type FROM information_schema.columns WHERE table_name = '" +
        table + "' ORDER BY ordinal_position");
  }

  std::string table_;
  std::string config_table_;
};

TEST_F(PostgresKeystoreTest, OpeningCreatesMissingTablesWithTheirLayouts) {
  auto index = Open(ombrix::INDEX);
  auto config = Open(ombrix::CONFIG);
  using Row = std::vector<std::string>;
  EXPECT_EQ(Columns(table_), (std::vector<Row>{{"key", "character varying"},
                                               {"value", "bytea"},
                                               {"index_name", "bigint"}}));
  EXPECT_EQ(Columns(config_table_),
            (std::vector<Row>{{"index_name", "character varying"}, {"config", "bytea"}}));
  EXPECT_EQ(session_->Query("SELECT a.attname FROM pg_index i JOIN pg_attribute a ON "
                            "a.attrelid = i.indrelid AND a.attnum = ANY(i.indkey) WHERE "
                            "i.indisprimary AND i.indrelid = '" + table_ +
                            "'::regclass ORDER BY a.attname"),
            (std::vector<Row>{{"index_name"}, {"key"}}));

  // Opening again finds the tables: no CREATE, so no warning on standard error.
  testing::internal::CaptureStderr();
  auto again = Open(ombrix::INDEX);
  auto config_again = Open(ombrix::CONFIG);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(PostgresKeystoreTest, ExistingTableIsTakenUnchecked) {
  // A config table made elsewhere is used as it is, whatever its column types.
  session_->Exec("CREATE TABLE " + config_table_ + " (index_name TEXT PRIMARY KEY, config TEXT)");
  auto config = Open(ombrix::CONFIG);
  EXPECT_FALSE(config->ConfigItemExists("nothing"));

  // So is a key-value table whose columns differ in type but take the same values.
  session_->Exec("CREATE TABLE " + table_ +
                 " (key TEXT, value BYTEA, index_name BIGINT, PRIMARY KEY (key, index_name))");
  auto index = Open(ombrix::INDEX);
  index->BatchPushVariable({1}, {Text("one")});
  EXPECT_EQ(index->GetItem(1), Text("one"));

  // A key-value table must take the row upsert: preparing it at opening finds a table
  // without the value column.
  index.reset();
  session_->Exec("ALTER TABLE " + table_ + " DROP COLUMN value");
  EXPECT_THAT(ErrorText([&] { Open(ombrix::INDEX); }),
              StartsWith("Failed to prepare batch insert statement: "));
}

TEST_F(PostgresKeystoreTest, TableCreatedByAnotherSessionDuringOpeningIsChecked) {
  for (bool right_types : {true, false}) {
    SCOPED_TRACE(right_types ? "right column types" : "wrong column types");
    // The other session's CREATE is not yet committed when opening checks for the table,
    // so opening tries its own CREATE, which waits for the other session and then fails.
    PgSession other(conninfo_);
    other.Exec("BEGIN");
    other.Exec("CREATE TABLE " + config_table_ + " (index_name VARCHAR(255) PRIMARY KEY, config " +
               (right_types ? "BYTEA" : "TEXT") + " NOT NULL)");
    std::string error;
    testing::internal::CaptureStderr();
    std::thread opener([&] {
      try {
        Open(ombrix::CONFIG);
      } catch (const std::exception& e) {
        error = e.what();
      }
    });
    // Wait until the opener's CREATE is blocked on the other session.
    for (int i = 0; i < 300; ++i) {
      if (session_->Scalar("SELECT count(*) FROM pg_stat_activity WHERE wait_event_type = "
                           "'Lock' AND query LIKE 'CREATE TABLE \"" + config_table_ + "\"%'") == "1") {
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    other.Exec("COMMIT");
    opener.join();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("Table " + config_table_ + " already exists.\n"));
    if (right_types) {
      EXPECT_EQ(error, "");
    } else {
      EXPECT_EQ(error, "Table " + config_table_ + " exists but does not match the expected schema.");
    }
    session_->Exec("DROP TABLE " + config_table_);
  }
}

TEST_F(PostgresKeystoreTest, DuplicateTableStateTakesTheWarningPath) {
  // A relation the table check does not see (a sequence) makes the CREATE fail with
  // 42P07: opening warns, checks the schema and goes on.
  session_->Exec("CREATE SEQUENCE " + config_table_);
  ombrix::testing_support::ScopedLogCapture log;
  testing::internal::CaptureStderr();
  EXPECT_NO_THROW(Open(ombrix::CONFIG));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Table " + config_table_ + " already exists.\n");
  EXPECT_THAT(log.Lines(), testing::Contains("WARNING Table " + config_table_ + " already exists."));
  session_->Exec("DROP SEQUENCE " + config_table_);
}

TEST_F(PostgresKeystoreTest, UnsafeTableNamesAreRefusedBeforeAnySql) {
  const std::string marker = UniqueTableName("pwned");
  const std::vector<std::string> unsafe = {
      "",
      "Upper",
      "9starts_with_digit",
      "has space",
      "quote\"d",
      "semi;colon",
      "t; CREATE TABLE " + marker + " (x int)",
      "x'); CREATE TABLE " + marker + " (x int); --",
      std::string(64, 'a'),
      "caf\xC3\xA9",
  };
  // A server that does not exist: refusing the name must not even need a connection.
  const std::string nowhere =
      "host=127.0.0.1 port=" + std::to_string(ombrix_pg_test::FreeLoopbackPort()) + " dbname=x";
  for (const std::string& name : unsafe) {
    for (int32_t kind : {ombrix::INDEX, ombrix::CONFIG}) {
      EXPECT_THROW(PostgresKeystore(PgConfig(conninfo_, name), "idx", 1, kind),
                   std::invalid_argument)
          << name;
      EXPECT_THROW(PostgresKeystore(PgConfig(nowhere, name), "idx", 1, kind), std::invalid_argument)
          << name;
    }
  }
  EXPECT_FALSE(session_->TableExists(marker));

  // 63 bytes is the longest name the server keeps whole.
  table_ = "ombrix_" + std::to_string(getpid()) + "_";
  table_ += std::string(63 - table_.size(), 'z');
  EXPECT_NO_THROW(Open(ombrix::INDEX));
  EXPECT_TRUE(session_->TableExists(table_));
}

TEST_F(PostgresKeystoreTest, OpeningFailures) {
  ombrix::DBConfig no_table{ombrix::POSTGRES, std::nullopt, conninfo_};
  ombrix::DBConfig no_conninfo{ombrix::POSTGRES, table_, std::nullopt};
  EXPECT_THROW(PostgresKeystore(no_table, "idx", 1, ombrix::INDEX), std::invalid_argument);
  EXPECT_THROW(PostgresKeystore(no_conninfo, "idx", 1, ombrix::INDEX), std::invalid_argument);

  ombrix::testing_support::ScopedLogCapture log;
  const std::string refused =
      "host=127.0.0.1 port=" + std::to_string(ombrix_pg_test::FreeLoopbackPort()) + " dbname=x";
  const std::string error =
      ErrorText([&] { PostgresKeystore(PgConfig(refused, table_), "idx", 1, ombrix::INDEX); });
  EXPECT_THAT(error, StartsWith("Postgres connection error: "));
  EXPECT_THAT(error, HasSubstr("127.0.0.1"));
  EXPECT_EQ(Joined(log.Lines()), "CRITICAL " + error);
}

// libpq's messages quote parts of the connection string; none of a secret may reach the
// exception (hence the telemetry record) or the log, on opening or on listing.
TEST_F(PostgresKeystoreTest, ConnectionFailuresNeverShowASecret) {
  const std::string secret = "s3cretword";
  const std::string conninfos[] = {
      conninfo_ + " dbname='postgresql://u:" + secret + "@h/db'",  // a database of that name
      "postgresql://u:p@" + secret + "@nohost.invalid/db",         // the rest of it a host
      "POSTGRESQL://u:" + secret + "@h/db",                        // no URI to libpq
      // A connection string taken whole as the database's name.
      conninfo_ + " dbname='dbname=x password=" + secret + "'",
      conninfo_ + " dbname='host=h password=\\'" + secret + " x\\''",
      conninfo_ + " dbname=d\\ sslpassword=" + secret,
      "postgresql://127.0.0.1/d%20password%3D" + secret + "?user=ombrix_test",
  };
  for (const std::string& conninfo : conninfos) {
    SCOPED_TRACE(conninfo);
    ombrix::testing_support::ScopedLogCapture log;
    const std::string opening =
        ErrorText([&] { PostgresKeystore(PgConfig(conninfo, table_), "idx", 1, ombrix::INDEX); });
    const std::string listing = ErrorText([&] { ListIndexNames(PgConfig(conninfo, config_table_)); });
    EXPECT_THAT(opening, StartsWith("Postgres connection error: "));
    EXPECT_THAT(listing, StartsWith("Failed to connect to PostgreSQL: "));
    for (const std::string& text : {opening, listing, Joined(log.Lines())}) {
      EXPECT_EQ(text.find("s3cret"), std::string::npos) << text;
      EXPECT_THAT(text, HasSubstr("***"));
    }
  }
}

// A config location sharing the table of an index location, and the reverse, are named as
// such when the store opens; nothing is written.
TEST_F(PostgresKeystoreTest, ATableOfTheOtherKindIsRefusedAtOpening) {
  auto rows = Open(ombrix::INDEX);
  auto config = Open(ombrix::CONFIG);
  const struct {
    int32_t kind;
    const std::string& table;
    std::string refusal;
  } cases[] = {
      {ombrix::CONFIG, table_,
       "a config location needs the columns index_name (text) and config (bytea); it has key "
       "character varying, value bytea, index_name bigint. It holds the rows of an index or "
       "items location: give the config location a table of its own."},
      {ombrix::ITEMS, config_table_,
       "an index or items location needs the columns key (text), value (bytea) and index_name "
       "(bigint); it has index_name character varying, config bytea. It is a config table: "
       "give the index and items locations a table of their own."},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ErrorText([&] { PostgresKeystore(PgConfig(conninfo_, c.table), "idx", 1, c.kind); }),
              "Table " + c.table + " exists but does not match the expected schema: " + c.refusal);
    EXPECT_EQ(session_->Scalar("SELECT count(*) FROM " + c.table), "0");
  }
}

TEST_F(PostgresKeystoreTest, StoreIdsClearTheTopBitAndTagEveryRow) {
  EXPECT_EQ(Open(ombrix::CONFIG, 0xFFFFFFFFFFFFFFFFull)->store_id(), 0u);
  EXPECT_EQ(Open(ombrix::CONFIG, 0x7FFFFFFFFFFFFFFFull)->store_id(), 0u);
  EXPECT_EQ(Open(ombrix::DATA, 41)->store_id(), 44u);

  auto store = Open(ombrix::INDEX, 0xFFFFFFFFFFFFFFFFull);
  EXPECT_EQ(store->store_id(), 0x7FFFFFFFFFFFFFFFull);
  store->PushItem(18446744073709551615ull, {});
  ASSERT_TRUE(store->PushMap(5, Text("map"), 6, 0));
  // Keys as unsigned decimal text, the version as 8 little-endian bytes, an empty value
  // as an empty bytea (not NULL), every row under the store id.
  using Row = std::vector<std::string>;
  EXPECT_EQ(session_->Query("SELECT key, encode(value, 'hex'), value IS NULL, index_name FROM " +
                            table_ + " ORDER BY key"),
            (std::vector<Row>{{"18446744073709551615", "", "f", "9223372036854775807"},
                              {"5", "6d6170", "f", "9223372036854775807"},
                              {"6", "0100000000000000", "f", "9223372036854775807"}}));
}

TEST_F(PostgresKeystoreTest, EveryByteValueRoundTrips) {
  auto store = Open(ombrix::INDEX);
  auto config = Open(ombrix::CONFIG);
  const Bytes all = EveryByte();

  std::vector<uint64_t> keys;
  std::vector<Bytes> singles;
  for (int b = 0; b < 256; ++b) {
    keys.push_back(1000 + b);
    singles.push_back(Bytes{static_cast<uint8_t>(b)});
  }
  store->BatchPushVariable(keys, singles);
  EXPECT_EQ(store->BatchGetVariable(keys), singles);

  store->SetValueSize(256);
  ombrix::Matrix<uint8_t> rows(Bytes(all), 256);
  store->BatchPushItems({7}, rows);
  EXPECT_EQ(store->BatchGetItems({7}).data, all);
  store->PushItem(8, all);
  EXPECT_EQ(store->GetItem(8), all);
  ASSERT_TRUE(store->PushMap(9, all, 10, 0));
  EXPECT_EQ(store->GetMap(9, 10).map_data, all);

  // Config item names travel as parameters: quotes in them are just characters.
  config->PushConfigItem("it's \"quoted\".ovs", all);
  EXPECT_EQ(config->LoadConfigItem("it's \"quoted\".ovs"), all);
}

TEST_F(PostgresKeystoreTest, BatchPushLastValueWinsAndEmptyValuesKeepRows) {
  auto store = Open(ombrix::INDEX);
  store->BatchPushVariable({1, 2, 1, 3}, {Text("first"), Text("two"), Text("second"), Text("3")});
  store->BatchPushVariable({2, 3, 3}, {{}, Text("three"), {}});
  EXPECT_EQ(store->BatchGetVariable({1, 2, 3, 1}),
            (std::vector<Bytes>{Text("second"), Text("two"), Text("three"), Text("second")}));

  EXPECT_THAT(ErrorText([&] { store->BatchPushVariable({1, 2}, {Text("x")}); }),
              "Mismatch between number of keys and values");
  EXPECT_THROW(store->BatchPushVariable({1, 2}, {Text("x")}), std::runtime_error);
}

TEST_F(PostgresKeystoreTest, FailingChunkRollsBackTheWholeBatch) {
  auto store = Open(ombrix::INDEX);
  // Row 1500 (in the second INSERT of 1000 rows) is refused by a trigger.
  session_->Exec("CREATE FUNCTION " + table_ +
                 "_poison() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN IF NEW.key = '1500' "
                 "THEN RAISE EXCEPTION 'poisoned row'; END IF; RETURN NEW; END $$");
  session_->Exec("CREATE TRIGGER poison BEFORE INSERT ON " + table_ +
                 " FOR EACH ROW EXECUTE FUNCTION " + table_ + "_poison()");
  std::vector<uint64_t> keys;
  std::vector<Bytes> values;
  for (uint64_t i = 0; i < 2500; ++i) {
    keys.push_back(i);
    values.push_back(Bytes(600, static_cast<uint8_t>(i)));
  }
  ombrix::testing_support::ScopedLogCapture log;
  EXPECT_EQ(ErrorText([&] { store->BatchPushVariable(keys, values); }),
            "Error executing Batch Push. Rolling back transaction.");
  EXPECT_THAT(log.Lines(), testing::Contains(HasSubstr("poisoned row")));
  EXPECT_EQ(session_->Scalar("SELECT count(*) FROM " + table_), "0");

  // The connection is usable again after the rollback.
  keys.erase(keys.begin() + 1500);
  values.erase(values.begin() + 1500);
  store->BatchPushVariable(keys, values);
  EXPECT_EQ(store->GetNumItems(), 2499u);
  EXPECT_EQ(store->BatchGetVariable({0, 1499, 2499}),
            (std::vector<Bytes>{values[0], values[1499], values[2498]}));
}

// An upsert's entries, contents and records, where their stores share the index store's
// session: one transaction, so a write refused for one store leaves none of them.
TEST_F(PostgresKeystoreTest, ValuesCarriedOnOneSessionLandTogetherOrNotAtAll) {
  const uint64_t id = RandomId();
  auto index = Open(ombrix::INDEX, id);
  auto items = Open(ombrix::ITEMS, id);
  auto data = Open(ombrix::DATA, id);
  ASSERT_TRUE(items->FenceByHoldsOf(*index));
  ASSERT_TRUE(data->FenceByHoldsOf(*index));
  const WriteFence fence{HoldKind::kShared, 7};
  for (Keystore* store : std::initializer_list<Keystore*>{index.get(), items.get(), data.get()}) {
    store->SetWriteFence(fence);
  }
  ASSERT_TRUE(index->CarriesWritesOf(*items));
  session_->Exec("CREATE FUNCTION " + table_ +
                 "_poison() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN IF NEW.key = '30' "
                 "THEN RAISE EXCEPTION 'poisoned row'; END IF; RETURN NEW; END $$");
  session_->Exec("CREATE TRIGGER poison BEFORE INSERT ON " + table_ +
                 " FOR EACH ROW EXECUTE FUNCTION " + table_ + "_poison()");
  const std::vector<uint64_t> entry_keys = {10, 11}, content_keys = {20}, record_keys = {30, 31};
  const std::vector<Bytes> entries = {Bytes(8, 1), Bytes(8, 2)}, contents = {Bytes(5, 3)},
                           records = {Bytes(40, 4), Bytes(40, 5)};
  const std::vector<CarriedValues> carried = {{items.get(), &content_keys, &contents},
                                              {data.get(), &record_keys, &records}};
  ombrix::testing_support::ScopedLogCapture log;
  EXPECT_THROW(index->BatchPushVariableCarrying(entry_keys, entries, carried), std::runtime_error);
  EXPECT_EQ(session_->Scalar("SELECT count(*) FROM " + table_), "0");
  for (Keystore* store : std::initializer_list<Keystore*>{data.get(), items.get(), index.get()}) {
    store->SetWriteFence(std::nullopt);
  }
}

// The fenced delete is planned once per session: a session the server ended is opened
// again, and the statement with it.
TEST_F(PostgresKeystoreTest, AFencedDeleteRunsOnASessionOpenedAgain) {
  const uint64_t id = RandomId();
  auto index = Open(ombrix::INDEX, id);
  auto data = Open(ombrix::DATA, id);
  ASSERT_TRUE(data->FenceByHoldsOf(*index));
  data->BatchPushVariable({1, 2, 3}, {Text("x"), Text("y"), Text("z")});
  const std::vector<uint64_t> first = {1}, second = {2};
  EXPECT_TRUE(index->BatchDeleteCarriedWhileState(60, {}, {{data.get(), &first}}));
  // Waits until the backend exited; its socket closes a moment later.
  ASSERT_EQ(session_->Scalar("SELECT pg_terminate_backend(pid, 5000) FROM pg_stat_activity WHERE pid <> "
                             "pg_backend_pid() AND query LIKE '%DELETE FROM \"" + table_ + "\" %'"),
            "t");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ombrix::testing_support::ScopedLogCapture log;
  EXPECT_TRUE(index->BatchDeleteCarriedWhileState(60, {}, {{data.get(), &second}}));
  EXPECT_EQ(data->BatchGetVariable({1, 2, 3}), (std::vector<Bytes>{{}, {}, Text("z")}));
}

// A table grown on one session without an analysis keeps every statement the session
// prepared on the key index: each one's generic plan (made here at every run) is made while
// the table is small, and read back from the server once it is not.
TEST_F(PostgresKeystoreTest, PreparedStatementsStayOnTheKeyIndexAsTheTableGrows) {
  const uint64_t id = RandomId();
  auto index = Open(ombrix::INDEX, id);
  auto data = Open(ombrix::DATA, id);
  ASSERT_TRUE(data->FenceByHoldsOf(*index));
  PGconn* session = index->SessionForTesting();
  ASSERT_TRUE(PgExec(session, "SET plan_cache_mode = force_generic_plan", PGRES_COMMAND_OK).ok);
  data->BatchPushVariable({1, 2, 3}, {Text("x"), Text("y"), Text("z")});
  const std::vector<std::pair<uint64_t, uint64_t>> maps = {{5, 6}, {7, 8}};
  const std::vector<uint64_t> one = {3};
  const std::vector<uint64_t> several = {1, 2, 4};
  for (int run = 0; run < 6; ++run) {
    index->GetMaps(maps);
    index->SendMapsRead(maps);  // rides with the next read on the session
    data->BatchGetVariable({1});
    index->ReceiveMaps();
    data->BatchGetVariable({2});
    EXPECT_TRUE(index->BatchDeleteCarriedWhileState(60, {}, {{data.get(), &one}}));
    EXPECT_TRUE(index->BatchDeleteCarriedWhileState(60, {}, {{data.get(), &several}}));
  }
  session_->Exec("INSERT INTO " + table_ + " SELECT g::text, '\\x00', 1 FROM generate_series(100, 40099) g");
  PgOutcome prepared = PgExec(session, "SELECT name, statement, cardinality(parameter_types) FROM pg_prepared_statements",
                              PGRES_TUPLES_OK);
  ASSERT_TRUE(prepared.ok) << prepared.error;
  EXPECT_GE(prepared.rows(), 5);  // the row upsert, the maps read alone and with a fetch, the fetch, the deletes
  for (int row = 0; row < prepared.rows(); ++row) {
    std::string nulls;
    for (int i = std::stoi(PgText(prepared.result.get(), row, 2)); i > 0; --i) nulls += i > 1 ? "NULL, " : "NULL";
    PgOutcome plan = PgExec(session, "EXPLAIN EXECUTE " + PgText(prepared.result.get(), row, 0) + "(" + nulls + ")",
                            PGRES_TUPLES_OK);
    ASSERT_TRUE(plan.ok) << plan.error;
    std::string text;
    for (int line = 0; line < plan.rows(); ++line) text += PgText(plan.result.get(), line, 0) + "\n";
    EXPECT_THAT(text, testing::Not(HasSubstr("Seq Scan"))) << PgText(prepared.result.get(), row, 1);
  }
}

TEST_F(PostgresKeystoreTest, FixedWidthReadsPadAndCut) {
  auto store = Open(ombrix::INDEX);
  store->BatchPushVariable({1, 2}, {Bytes{1, 2, 3}, Bytes(12, 0xEE)});
  ombrix::Matrix<uint8_t> rows = store->BatchGetItems({1, 2, 3});
  ASSERT_EQ(rows.rows, 3u);
  ASSERT_EQ(rows.cols, 8u);
  EXPECT_EQ(rows.data, (Bytes{1, 2, 3, 0, 0, 0, 0, 0, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE,
                              0xEE, 0xEE, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(store->BatchGetItems({}).rows, 0u);
  EXPECT_TRUE(store->BatchGetVariable({}).empty());
  EXPECT_TRUE(store->GetItem(404).empty());
}

TEST_F(PostgresKeystoreTest, CountsAndKeysIncludeTheMapRows) {
  auto store = Open(ombrix::INDEX);
  store->BatchPushVariable({1, 2}, {Text("a"), Text("b")});
  ASSERT_TRUE(store->PushMap(100, Text("map"), 101, 0));
  EXPECT_EQ(store->GetNumItems(), 4u);
  std::vector<uint64_t> keys = store->GetAllKeys();
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(keys, (std::vector<uint64_t>{1, 2, 100, 101}));
}

TEST_F(PostgresKeystoreTest, ConfigItemsOfOneIndexAmongOthers) {
  auto index_store = Open(ombrix::INDEX);
  EXPECT_THROW(index_store->PushConfigItem("a.oei", Text("x")), std::invalid_argument);
  EXPECT_EQ(ErrorText([&] { index_store->PushConfigItem("a.oei", Text("x")); }),
            "Cannot store config items in a non-config keystore");

  // Names chosen so that a LIKE pattern or a prefix match would take too much.
  auto a = Open(ombrix::CONFIG, 1, "a_");
  auto other = Open(ombrix::CONFIG, 2, "ab");
  for (const char* name :
       {"a_.oei", "a_.ovs", "ab.oei", "ab.ovs", "a_x.oei", "a_.oei.ovs", "a_%.ovs", "A_.ovs"}) {
    a->PushConfigItem(name, Text(name));
  }
  a->PushConfigItem("a_.ovs", Text("replaced"));
  EXPECT_EQ(a->LoadConfigItem("a_.ovs"), Text("replaced"));
  EXPECT_TRUE(a->ConfigItemExists("ab.oei"));
  EXPECT_FALSE(a->ConfigItemExists("zz.oei"));
  EXPECT_EQ(ErrorText([&] { a->LoadConfigItem("zz.oei"); }),
            "Index name 'zz.oei' does not exist in Postgres.");

  EXPECT_EQ(a->GetNumItems(), 2u);
  EXPECT_EQ(other->GetNumItems(), 2u);
  a->DeleteConfigItem("a_%.ovs");
  a->DeleteConfigItem("not stored");
  EXPECT_FALSE(a->ConfigItemExists("a_%.ovs"));
  EXPECT_TRUE(a->ConfigItemExists("a_.ovs"));
  a->PushConfigItem("a_%.ovs", Text("a_%.ovs"));
  a->DeleteIndex();
  EXPECT_EQ(a->GetNumItems(), 0u);
  EXPECT_EQ(session_->Query("SELECT index_name FROM " + config_table_ + " ORDER BY index_name"),
            (std::vector<std::vector<std::string>>{
                {"A_.ovs"}, {"a_%.ovs"}, {"a_.oei.ovs"}, {"a_x.oei"}, {"ab.oei"}, {"ab.ovs"}}));

  // A failure inside the map transaction (no key column here) rolls back and reports
  // false; the session stays usable.
  EXPECT_FALSE(a->PushMap(1, Text("m"), 2, 0));
  EXPECT_TRUE(a->ConfigItemExists("ab.ovs"));
}

TEST_F(PostgresKeystoreTest, RacingMapUpdatesLoseNothing) {
  // Two connections advance one counter kept in the map; a push that loses the race
  // re-reads and retries, as the engine does.
  const uint64_t index_id = RandomId();
  auto first = Open(ombrix::INDEX, index_id);
  auto second = Open(ombrix::INDEX, index_id);
  constexpr int kIncrements = 60;
  std::vector<uint64_t> accepted[2];
  auto run = [&](PostgresKeystore& store, std::vector<uint64_t>& versions) {
    for (int done = 0; done < kIncrements;) {
      MapAndVersion current = store.GetMap(1, 2);
      uint64_t counter = 0;
      for (size_t i = 0; i < current.map_data.size(); ++i) counter |= uint64_t{current.map_data[i]} << (8 * i);
      Bytes next(8);
      for (size_t i = 0; i < 8; ++i) next[i] = static_cast<uint8_t>((counter + 1) >> (8 * i));
      if (store.PushMap(1, next, 2, current.version)) {
        versions.push_back(current.version);
        ++done;
      }
    }
  };
  std::thread a([&] { run(*first, accepted[0]); });
  std::thread b([&] { run(*second, accepted[1]); });
  a.join();
  b.join();

  MapAndVersion final_state = first->GetMap(1, 2);
  EXPECT_EQ(final_state.version, 2u * kIncrements);
  uint64_t counter = 0;
  for (size_t i = 0; i < final_state.map_data.size(); ++i) counter |= uint64_t{final_state.map_data[i]} << (8 * i);
  EXPECT_EQ(counter, 2u * kIncrements);
  // Each accepted push moved the version by exactly one: together they took every
  // version from 0 once.
  std::set<uint64_t> all(accepted[0].begin(), accepted[0].end());
  all.insert(accepted[1].begin(), accepted[1].end());
  EXPECT_EQ(all.size(), 2u * kIncrements);
  EXPECT_EQ(*all.rbegin(), 2u * kIncrements - 1);
}

// Holds are session locks: a writer's shared hold keeps the exclusive holder waiting and
// admits no second exclusive holder; a holder whose session ends lets go at once, and its
// own next statement says its hold is lost instead of connecting again.
TEST_F(PostgresKeystoreTest, HoldsAreSessionLocksThatEndWithTheSession) {
  const uint64_t id = RandomId();
  auto writer = Open(ombrix::INDEX, id);
  auto trainer = Open(ombrix::INDEX, id);
  auto other = Open(ombrix::INDEX, id);
  EXPECT_TRUE(writer->TakeHold(HoldKind::kShared, 1, 0).granted);
  const HoldGrant waiting = trainer->TakeHold(HoldKind::kExclusive, 2, 0);
  EXPECT_TRUE(waiting.granted && waiting.others_share) << "admitted, the writer still holds";
  EXPECT_FALSE(other->TakeHold(HoldKind::kExclusive, 3, 0).granted);
  EXPECT_TRUE(other->ExclusiveHoldIsLive());
  EXPECT_TRUE(writer->ReleaseHold(HoldKind::kShared, 1));
  const HoldGrant held = trainer->TakeHold(HoldKind::kExclusive, 2, 0);
  EXPECT_TRUE(held.granted && !held.others_share);
  EXPECT_FALSE(writer->TakeHold(HoldKind::kShared, 1, 0).granted) << "no writer while it holds";

  // The trainer's session ends (its process died): the server lets go of its locks.
  trainer->SetWriteFence(WriteFence{HoldKind::kExclusive, 2});
  // Only this index's holder: other tests on the shared server hold locks of their own.
  const uint64_t store = trainer->store_id();
  const std::string pids = session_->Scalar(
      "SELECT string_agg(pid::text, ',') FROM pg_locks WHERE locktype = 'advisory' AND classid = 44 "
      "AND mode = 'ExclusiveLock' AND objsubid = 2 AND objid = '" +
      std::to_string(static_cast<uint32_t>(store ^ (store >> 32))) + "'::oid");
  session_->Query("SELECT pg_terminate_backend(pid) FROM unnest('{" + pids + "}'::int[]) AS pid");
  bool freed = false;
  for (int attempt = 0; attempt < 100 && !freed; ++attempt) {
    freed = writer->TakeHold(HoldKind::kShared, 1, 0).granted;
    if (!freed) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(freed);
  EXPECT_FALSE(other->ExclusiveHoldIsLive());
  EXPECT_THROW(trainer->BatchPushVariable({7}, {Text("late")}), HoldLostError);
  EXPECT_TRUE(writer->ReleaseHold(HoldKind::kShared, 1));
  EXPECT_FALSE(trainer->ReleaseHold(HoldKind::kExclusive, 2));
  trainer->SetWriteFence(std::nullopt);
  EXPECT_EQ(trainer->GetItem(7), Bytes()) << "connected again once it holds nothing; nothing written";
}


// Compare-and-set of a named blob, in order on one store, then two stores racing.
TEST_F(PostgresKeystoreTest, ConfigItemCompareAndSet) {
  auto store = Open(ombrix::CONFIG);
  EXPECT_THROW(Open(ombrix::INDEX)->CompareAndSetConfigItem("a", {}, Text("x")), std::invalid_argument);
  const struct {
    const char* name;
    const char* expected;  // "" = the name is absent
    const char* blob;
    bool stored;
    const char* after;  // "" = absent
  } rows[] = {
      {"idx.lock", "", "v1", true, "v1"},    // absent, and expected absent
      {"idx.lock", "", "v9", false, "v1"},   // expected absent, but stored
      {"idx.lock", "v0", "v9", false, "v1"}, // wrong blob expected
      {"idx.lock", "v", "v9", false, "v1"},  // a prefix is not the blob
      {"idx.lock", "v1", "v2", true, "v2"},
      {"idx.other", "v2", "v9", false, ""},  // a blob expected where none is
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.name) + " expected '" + row.expected + "' -> " + row.blob);
    EXPECT_EQ(store->CompareAndSetConfigItem(row.name, Text(row.expected), Text(row.blob)), row.stored);
    if (*row.after == '\0') {
      EXPECT_FALSE(store->ConfigItemExists(row.name));
    } else {
      EXPECT_EQ(store->LoadConfigItem(row.name), Text(row.after));
    }
  }

  // Removed only while it holds exactly the blob given.
  EXPECT_FALSE(store->DeleteConfigItemIf("idx.lock", Text("v")));
  EXPECT_FALSE(store->DeleteConfigItemIf("idx.other", Text("v2")));
  EXPECT_TRUE(store->DeleteConfigItemIf("idx.lock", Text("v2")));
  EXPECT_FALSE(store->ConfigItemExists("idx.lock"));
  store->PushConfigItem("idx.lock", Text("v2"));

  auto rival = Open(ombrix::CONFIG);
  for (int round = 0; round < 20; ++round) {
    const Bytes current = store->LoadConfigItem("idx.lock");
    const Bytes mine = Text("a" + std::to_string(round)), theirs = Text("b" + std::to_string(round));
    std::atomic<int> ready{0};
    bool won[2] = {false, false};
    auto race = [&](PostgresKeystore& side, const Bytes& blob, bool& result) {
      ++ready;
      while (ready < 2) {
      }
      result = side.CompareAndSetConfigItem("idx.lock", current, blob);
    };
    std::thread a([&] { race(*store, mine, won[0]); });
    std::thread b([&] { race(*rival, theirs, won[1]); });
    a.join();
    b.join();
    ASSERT_NE(won[0], won[1]) << "round " << round;
    EXPECT_EQ(store->LoadConfigItem("idx.lock"), won[0] ? mine : theirs);
  }
}

// --- Holds beside silent, lost and waiting sessions ---------------------------------------

// Short enough for the server to end a silent holder's session within a test; holders
// that wait idle while a test looks on hold a lease far longer than the test.
constexpr uint64_t kLeaseMs = 1000;
constexpr uint64_t kLongLeaseMs = 600000;

// "(<class>, <store id folded>)" as the keystore names its advisory locks.
std::string LockOf(int lock_class, const Keystore& store) {
  const uint64_t id = store.store_id();
  return "(" + std::to_string(lock_class) + ", " +
         std::to_string(static_cast<int32_t>(static_cast<uint32_t>(id ^ (id >> 32)))) + ")";
}

// The process's hold lease for the stores opened while it lives.
class ScopedHoldLease {
 public:
  explicit ScopedHoldLease(uint64_t lease_ms) : before_(ProcessHoldLease().exchange(lease_ms)) {}
  ~ScopedHoldLease() { SetProcessHoldLease(before_); }

 private:
  uint64_t before_;
};

class PostgresHoldsTest : public PostgresKeystoreTest {
 protected:
  // The backend that holds `lock` of `store` in `mode`; 0 when none does.
  int HolderPid(int lock_class, const Keystore& store, const std::string& mode) {
    const std::string keys = LockOf(lock_class, store);
    const std::string objid = keys.substr(keys.find(", ") + 2, keys.size() - keys.find(", ") - 3);
    const auto rows = session_->Query(
        "SELECT pid FROM pg_locks WHERE locktype = 'advisory' AND granted AND classid = " +
        std::to_string(lock_class) + " AND objid = (" + objid + ")::int4::oid AND objsubid = 2 AND mode = '" +
        mode + "'");
    return rows.empty() ? 0 : std::stoi(rows[0][0]);
  }
  bool BackendLives(int pid) {
    return session_->Scalar("SELECT count(*) FROM pg_stat_activity WHERE pid = " + std::to_string(pid)) == "1";
  }
  void Terminate(int pid) {
    session_->Query("SELECT pg_terminate_backend(" + std::to_string(pid) + ")");
    for (int wait = 0; wait < 500 && BackendLives(pid); ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  std::unique_ptr<PostgresKeystore> OpenAt(const std::string& conninfo, uint64_t index_id) {
    return std::make_unique<PostgresKeystore>(PgConfig(conninfo, table_), "idx", index_id, ombrix::INDEX);
  }
  // Takes the exclusive hold as a training does: again and again until the writers are
  // gone, or until `limit` passed (then not granted).
  HoldGrant TakeWhole(Keystore& store, uint64_t holder, std::chrono::seconds limit,
                      uint64_t lease_ms = kLongLeaseMs) {
    const auto until = std::chrono::steady_clock::now() + limit;
    HoldGrant grant;
    while (std::chrono::steady_clock::now() < until) {
      grant = store.TakeHold(HoldKind::kExclusive, holder, lease_ms);
      if (grant.granted && !grant.others_share) return grant;
      if (!grant.granted) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return {false, false};
  }
};

const char* const kUpsertAdvice = "upsert the same items again";
const char* const kHolderAdvice = "train or delete the index again";

// A holder that falls silent (a process stopped with SIGSTOP, or a connection that stops
// forwarding without a FIN) holds the others back for about its lease: the server ends its
// session once it was idle that long. When it wakes its call raises, naming the index,
// and says whether the server ended the session or this process gave up on it.
TEST_F(PostgresHoldsTest, ASilentHolderHoldsOthersBackForAboutItsLease) {
  const struct {
    HoldKind kind;
    bool behind_relay;  // else the holder only stops calling, as a stopped process does
  } rows[] = {{HoldKind::kShared, false}, {HoldKind::kShared, true}, {HoldKind::kExclusive, false},
              {HoldKind::kExclusive, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.kind == HoldKind::kShared ? "shared" : "exclusive") +
                 (row.behind_relay ? " behind a relay that stops forwarding" : " gone silent"));
    const uint64_t id = RandomId();
    ombrix_test::StallingRelay relay(ServerPort(conninfo_));
    std::unique_ptr<PostgresKeystore> holder;
    {
      ScopedHoldLease lease(kLeaseMs);
      // Behind the relay the client gives up after its own limit (1 s + 2 s).
      holder = row.behind_relay
                   ? OpenAt(conninfo_ + " host=127.0.0.1 port=" + std::to_string(relay.port()) +
                                " options='-c statement_timeout=1000'",
                            id)
                   : OpenAt(conninfo_, id);
    }
    auto other = OpenAt(conninfo_, id);
    if (row.kind == HoldKind::kShared) {
      ASSERT_TRUE(holder->TakeHold(HoldKind::kShared, 1, kLeaseMs).granted);
    } else {
      ASSERT_TRUE(TakeWhole(*holder, 1, std::chrono::seconds(10), kLeaseMs).granted);
    }
    holder->SetWriteFence(WriteFence{row.kind, 1});
    if (row.behind_relay) relay.Set(ombrix_test::StallingRelay::Mode::kStalled);

    EXPECT_TRUE(TakeWhole(*other, 2, std::chrono::seconds(20)).granted) << "the silent holder kept the index";
    if (row.behind_relay) {
      EXPECT_THROW(holder->BatchPushVariable({7}, {Text("late")}), ServerUnreachable);
    }
    const std::string lost = ErrorText([&] { holder->BatchPushVariable({7}, {Text("late")}); });
    EXPECT_THAT(lost, HasSubstr("that held index 'idx'"));
    EXPECT_THAT(lost, HasSubstr(row.behind_relay ? "gave up on it" : " ended"));
    EXPECT_THAT(lost, HasSubstr(row.kind == HoldKind::kShared ? kUpsertAdvice : kHolderAdvice));
    EXPECT_THROW(holder->BatchPushVariable({7}, {Text("late")}), HoldLostError);
    EXPECT_FALSE(holder->RenewHold(row.kind, 1, kLeaseMs));
    EXPECT_EQ(other->GetItem(7), Bytes()) << "nothing written after the takeover";
    EXPECT_TRUE(other->ReleaseHold(HoldKind::kExclusive, 2));
  }
}

// A session an administrator ended while a statement was on its way to it ran none of the
// statement: one that held nothing sends it again on a new session, and the call goes on;
// one that held the index says the hold is lost.
TEST_F(PostgresHoldsTest, ASessionEndedByAnAdministratorUnderAStatementIsOpenedAgainOnlyIfItHeldNothing) {
  for (const bool holds : {false, true}) {
    SCOPED_TRACE(holds ? "holding the index" : "holding nothing");
    ombrix_test::StallingRelay relay(ServerPort(conninfo_));
    const std::string name = "ombrix_ended_" + std::to_string(RandomId() % 1000000);
    auto store = OpenAt(conninfo_ + " host=127.0.0.1 port=" + std::to_string(relay.port()) +
                            " application_name=" + name, RandomId());
    store->BatchPushVariable({7}, {Text("kept")});
    if (holds) {
      ASSERT_TRUE(store->TakeHold(HoldKind::kShared, 1, kLongLeaseMs).granted);
      store->SetWriteFence(WriteFence{HoldKind::kShared, 1});
    }
    const int pid = std::stoi(session_->Scalar("SELECT pid FROM pg_stat_activity WHERE application_name = '" +
                                               name + "'"));
    relay.Set(ombrix_test::StallingRelay::Mode::kStalled);
    std::string failure;
    std::vector<std::vector<uint8_t>> got;
    std::thread reading([&] { failure = ErrorText([&] { got = store->BatchGetVariable({7}); }); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the statement waits in the relay
    Terminate(pid);
    relay.Set(ombrix_test::StallingRelay::Mode::kForward);
    reading.join();
    if (holds) {
      EXPECT_THAT(failure, HasSubstr("that held index 'idx'"));
      EXPECT_THROW(store->BatchGetVariable({7}), HoldLostError);
    } else {
      EXPECT_EQ(failure, "(nothing thrown)");
      EXPECT_EQ(got, std::vector<Bytes>{Text("kept")});
    }
  }
}

// A holder that renews is never ended, however long it holds, also by another that waits
// and looks for silent holders; once it holds nothing, the server ends its idle session,
// and the next call opens a new one without a WARNING or an ERROR: nothing was lost.
TEST_F(PostgresHoldsTest, ALiveHolderIsNeverEndedAndAnIdleSessionReturnsQuietly) {
  const uint64_t id = RandomId();
  std::unique_ptr<PostgresKeystore> writer;
  {
    ScopedHoldLease lease(kLeaseMs);
    writer = Open(ombrix::INDEX, id);
  }
  auto trainer = Open(ombrix::INDEX, id);
  ombrix::testing_support::ScopedLogCapture log;
  ASSERT_TRUE(writer->TakeHold(HoldKind::kShared, 1, kLeaseMs).granted);
  writer->SetWriteFence(WriteFence{HoldKind::kShared, 1});
  const int pid = HolderPid(44, *writer, "ShareLock");
  ASSERT_NE(pid, 0);
  // Each attempt of the trainer waits for the writer, then looks for silent holders.
  std::atomic<bool> waited = false;
  std::thread waiting([&] {
    for (int attempt = 0; attempt < 2; ++attempt) {
      EXPECT_TRUE(trainer->TakeHold(HoldKind::kExclusive, 2, kLeaseMs).others_share);
    }
    waited = true;
  });
  while (!waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kLeaseMs / 4));
    EXPECT_TRUE(writer->RenewHold(HoldKind::kShared, 1, kLeaseMs));
  }
  waiting.join();
  EXPECT_EQ(HolderPid(44, *writer, "ShareLock"), pid);
  writer->BatchPushVariable({7}, {Text("kept")});
  writer->SetWriteFence(std::nullopt);
  EXPECT_TRUE(writer->ReleaseHold(HoldKind::kShared, 1));
  EXPECT_FALSE(trainer->TakeHold(HoldKind::kExclusive, 2, kLeaseMs).others_share);
  EXPECT_TRUE(trainer->ReleaseHold(HoldKind::kExclusive, 2));

  std::this_thread::sleep_for(std::chrono::milliseconds(3 * kLeaseMs));
  if (session_->Scalar("SHOW server_version_num") >= "140000") {
    EXPECT_FALSE(BackendLives(pid)) << "an idle session of a store that can hold outlived its lease";
  }
  EXPECT_EQ(writer->GetItem(7), Text("kept"));
  ASSERT_TRUE(writer->TakeHold(HoldKind::kShared, 1, kLeaseMs).granted);
  EXPECT_TRUE(writer->ReleaseHold(HoldKind::kShared, 1));
  for (const std::string& line : log.Lines()) {
    EXPECT_FALSE(line.starts_with("WARNING") || line.starts_with("ERROR") || line.starts_with("CRITICAL"))
        << line;
  }
}

// The look for silent holders ends only this library's sessions: another application's
// session on the same lock numbers, idle past a lease, keeps its lock; a holder of ours
// that the server's idle limits miss (a session opened without them) is ended.
TEST_F(PostgresHoldsTest, TheLookEndsOnlySessionsOfThisLibrary) {
  for (const bool ours : {false, true}) {
    SCOPED_TRACE(ours ? "a holder of ours without idle limits" : "another application's session");
    const uint64_t id = RandomId();
    auto writer = Open(ombrix::INDEX, id);
    PgSession foreign(conninfo_ + " application_name=another_app");
    // Another application's session holds none of this library's marker.
    foreign.Query("SELECT pg_advisory_unlock_shared(" + std::to_string(kSessionMarkerClass) + ", " +
                  std::to_string(kSessionMarkerKey) + ")::text");
    foreign.Query("SELECT pg_advisory_lock" + LockOf(44, *writer) + "::text");
    ScopedHoldLease no_limits(0);
    auto holder = Open(ombrix::INDEX, id);
    if (ours) {
      foreign.Query("SELECT pg_advisory_unlock" + LockOf(44, *writer) + "::text");
      ASSERT_TRUE(TakeWhole(*holder, 1, std::chrono::seconds(10)).granted);
    }
    const int pid = ours ? HolderPid(44, *holder, "ExclusiveLock") : foreign.backend_pid();
    std::this_thread::sleep_for(std::chrono::milliseconds(kLeaseMs + 200));
    bool granted = false;
    for (int take = 0; take < 30 && !granted; ++take) {  // three looks, one a second
      granted = writer->TakeHold(HoldKind::kShared, 2, kLeaseMs).granted;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(granted, ours);
    EXPECT_EQ(BackendLives(pid), !ours);
  }
}

// A hold whose session ended is taken again by the same keystore, on a new session, and
// fenced writes go through under it.
TEST_F(PostgresHoldsTest, AHoldLostWithItsSessionIsTakenAgain) {
  const struct {
    uint64_t holder_again;
    bool renew_first;
  } rows[] = {{1, true}, {5, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE("holder " + std::to_string(row.holder_again) + (row.renew_first ? ", renewed first" : ""));
    const uint64_t id = RandomId();
    auto trainer = Open(ombrix::INDEX, id);
    auto writer = Open(ombrix::INDEX, id);
    ASSERT_TRUE(TakeWhole(*trainer, 1, std::chrono::seconds(10)).granted);
    trainer->SetWriteFence(WriteFence{HoldKind::kExclusive, 1});
    const int pid = HolderPid(43, *trainer, "ExclusiveLock");
    ASSERT_NE(pid, 0);
    Terminate(pid);
    if (row.renew_first) {
      EXPECT_FALSE(trainer->RenewHold(HoldKind::kExclusive, 1, kLongLeaseMs));
    }

    const HoldGrant again = trainer->TakeHold(HoldKind::kExclusive, row.holder_again, kLongLeaseMs);
    EXPECT_TRUE(again.granted && !again.others_share);
    trainer->SetWriteFence(WriteFence{HoldKind::kExclusive, row.holder_again});
    EXPECT_NE(HolderPid(44, *trainer, "ExclusiveLock"), pid);
    EXPECT_FALSE(writer->TakeHold(HoldKind::kShared, 2, kLongLeaseMs).granted);
    trainer->BatchPushVariable({7}, {Text("again")});
    EXPECT_EQ(writer->GetItem(7), Text("again"));
    EXPECT_TRUE(trainer->RenewHold(HoldKind::kExclusive, row.holder_again, kLongLeaseMs));
    trainer->SetWriteFence(std::nullopt);
    EXPECT_TRUE(trainer->ReleaseHold(HoldKind::kExclusive, row.holder_again));
    EXPECT_TRUE(writer->TakeHold(HoldKind::kShared, 2, kLongLeaseMs).granted);
    EXPECT_TRUE(writer->ReleaseHold(HoldKind::kShared, 2));
  }
}

// Waiting for a writer is the hold working as designed: nothing above INFO is logged. A
// statement stopped at a lock time limit of the caller's keeps its ERROR line.
TEST_F(PostgresHoldsTest, WaitingForWritersLogsNothingAboveInfo) {
  const uint64_t id = RandomId();
  auto writer = Open(ombrix::INDEX, id);
  auto trainer = Open(ombrix::INDEX, id);
  auto rival = Open(ombrix::INDEX, id);
  ombrix::testing_support::ScopedLogCapture log;
  ASSERT_TRUE(writer->TakeHold(HoldKind::kShared, 1, kLongLeaseMs).granted);
  EXPECT_TRUE(trainer->TakeHold(HoldKind::kExclusive, 2, kLongLeaseMs).others_share);
  EXPECT_FALSE(rival->TakeHold(HoldKind::kExclusive, 3, kLongLeaseMs).granted);
  EXPECT_TRUE(writer->ReleaseHold(HoldKind::kShared, 1));
  EXPECT_FALSE(trainer->TakeHold(HoldKind::kExclusive, 2, kLongLeaseMs).others_share);
  EXPECT_TRUE(trainer->ReleaseHold(HoldKind::kExclusive, 2));
  for (const std::string& line : log.Lines()) {
    EXPECT_FALSE(line.starts_with("WARNING") || line.starts_with("ERROR") || line.starts_with("CRITICAL"))
        << line;
  }

  log.Clear();
  PostgresKeystore limited(PgConfig(conninfo_ + " options='-c lock_timeout=300'", table_), "idx", id,
                           ombrix::INDEX);
  session_->Exec("BEGIN; LOCK TABLE " + table_ + " IN ACCESS EXCLUSIVE MODE");
  EXPECT_THROW(limited.GetItem(1), ServerTimeLimit);
  session_->Exec("ROLLBACK");
  EXPECT_THAT(Joined(log.Lines()), HasSubstr("ERROR PostgreSQL server 127.0.0.1:"));
  EXPECT_THAT(Joined(log.Lines()), HasSubstr("lock timeout"));
}

// While a training or a deletion waits for the writers that held the index before it, no
// new writer gets in, also between its attempts at the writers' lock; and the brief look
// a writer takes at the admission lock never turns a training away.
TEST_F(PostgresHoldsTest, NoWriterStartsWhileATrainingWaitsForEarlierOnes) {
  const uint64_t id = RandomId();
  auto early = Open(ombrix::INDEX, id);
  auto trainer = Open(ombrix::INDEX, id);
  auto late = Open(ombrix::INDEX, id);
  ASSERT_TRUE(early->TakeHold(HoldKind::kShared, 1, kLongLeaseMs).granted);
  for (int attempt = 0; attempt < 2; ++attempt) {
    const HoldGrant waiting = trainer->TakeHold(HoldKind::kExclusive, 2, kLongLeaseMs);
    ASSERT_TRUE(waiting.granted && waiting.others_share);
    // The trainer is between two attempts: it waits for nothing in the server's queue now.
    EXPECT_FALSE(late->TakeHold(HoldKind::kShared, 3, kLongLeaseMs).granted) << "attempt " << attempt;
  }
  EXPECT_TRUE(early->ReleaseHold(HoldKind::kShared, 1));
  EXPECT_FALSE(trainer->TakeHold(HoldKind::kExclusive, 2, kLongLeaseMs).others_share);
  EXPECT_FALSE(late->TakeHold(HoldKind::kShared, 3, kLongLeaseMs).granted);
  EXPECT_TRUE(trainer->ReleaseHold(HoldKind::kExclusive, 2));
  ASSERT_TRUE(late->TakeHold(HoldKind::kShared, 3, kLongLeaseMs).granted);
  EXPECT_TRUE(late->ReleaseHold(HoldKind::kShared, 3));

  // A writer caught in the middle of its look at the admission lock: the training waits
  // the moment it takes instead of being refused.
  session_->Query("BEGIN; SELECT pg_advisory_xact_lock_shared" + LockOf(43, *trainer) + "::text");
  HoldGrant admitted;
  std::thread training([&] { admitted = trainer->TakeHold(HoldKind::kExclusive, 2, kLongLeaseMs); });
  bool queued = false;
  for (int look = 0; look < 2000 && !queued; ++look) {
    queued = session_->Scalar("SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND NOT granted "
                              "AND classid = 43") != "0";
  }
  session_->Exec("COMMIT");
  training.join();
  EXPECT_TRUE(queued);
  EXPECT_TRUE(admitted.granted && !admitted.others_share);
  EXPECT_TRUE(trainer->ReleaseHold(HoldKind::kExclusive, 2));
}

// A release whose answer was lost (the connection cut as the server replied) cannot say
// whether the hold lasted until then: it throws, naming the index, instead of reporting a
// hold that ran out. The keystore connects again once it holds nothing.
TEST_F(PostgresHoldsTest, AReleaseWhoseAnswerWasLostSaysSo) {
  for (const HoldKind kind : {HoldKind::kShared, HoldKind::kExclusive}) {
    SCOPED_TRACE(kind == HoldKind::kShared ? "shared" : "exclusive");
    const uint64_t id = RandomId();
    ombrix_test::StallingRelay relay(ServerPort(conninfo_));
    auto holder = OpenAt(conninfo_ + " host=127.0.0.1 port=" + std::to_string(relay.port()), id);
    auto other = OpenAt(conninfo_, id);
    if (kind == HoldKind::kShared) {
      ASSERT_TRUE(holder->TakeHold(kind, 1, kLongLeaseMs).granted);
    } else {
      ASSERT_TRUE(TakeWhole(*holder, 1, std::chrono::seconds(10)).granted);
    }
    relay.Set(ombrix_test::StallingRelay::Mode::kCutOnReply);
    const std::string error = ErrorText([&] {
      try {
        holder->ReleaseHold(kind, 1);
      } catch (const ServerUnreachable&) {
        throw;
      } catch (const std::exception& other_type) {
        throw std::logic_error(std::string("not a ServerUnreachable: ") + other_type.what());
      }
    });
    EXPECT_THAT(error, HasSubstr("index 'idx'"));
    EXPECT_THAT(error, HasSubstr("answer"));
    EXPECT_THAT(error, HasSubstr("unknown whether the hold lasted"));
    relay.Set(ombrix_test::StallingRelay::Mode::kForward);
    EXPECT_EQ(holder->GetItem(7), Bytes());
    EXPECT_TRUE(TakeWhole(*other, 2, std::chrono::seconds(10)).granted);
    EXPECT_TRUE(other->ReleaseHold(HoldKind::kExclusive, 2));
  }
}

// A prepared statement sent on a new session goes as that one knows it: the session ended idle
// before an item delete, the next while it waited for a row lock; it runs on a third.
TEST_F(PostgresHoldsTest, AStatementSentAgainOnANewSessionRunsThere) {
  const std::string name = "ombrix_again_" + std::to_string(RandomId() % 1000000);
  const std::string named = conninfo_ + " application_name=" + name;
  auto index = OpenAt(named, RandomId());
  PostgresKeystore items(PgConfig(named, table_), "idx", RandomId(), ombrix::ITEMS, index.get());
  const std::vector<uint64_t> first = {7}, locked = {8};
  items.BatchPushVariable({7, 8}, {Text("gone"), Text("gone")});
  ASSERT_TRUE(index->BatchDeleteCarriedWhileState(99, {}, {{&items, &first}}));  // prepared now
  const std::string session = "SELECT pid FROM pg_stat_activity WHERE application_name = '" + name + "'";
  Terminate(std::stoi(session_->Scalar(session)));
  PgSession locker(conninfo_);
  locker.Query("BEGIN; SELECT 1 FROM " + table_ + " WHERE key = '8' FOR UPDATE");
  std::string failure;
  std::thread deleting([&] {
    failure = ErrorText([&] { EXPECT_TRUE(index->BatchDeleteCarriedWhileState(99, {}, {{&items, &locked}})); });
  });
  int waits = 0;
  for (int look = 0; look < 20000 && waits < 2; ++look) {
    const auto waiting = session_->Query(session + " AND wait_event_type = 'Lock'");
    if (!waiting.empty() && ++waits == 1) Terminate(std::stoi(waiting[0][0]));
  }
  locker.Exec("COMMIT");
  deleting.join();
  EXPECT_EQ(failure, "(nothing thrown)");
  EXPECT_EQ(waits, 2);
  EXPECT_EQ(items.BatchGetVariable({8}), std::vector<Bytes>{Bytes()});
}

// A write whose answer was lost after its commit (the connection cut as the reply came) is sent
// again or read back: the call says done, and a record another process wrote stays another's.
TEST_F(PostgresKeystoreTest, AWriteWhoseAnswerWasLostAfterItsCommitIsDone) {
  ombrix_test::StallingRelay relay(ServerPort(conninfo_));
  const std::string relayed = conninfo_ + " host=127.0.0.1 port=" + std::to_string(relay.port());
  PostgresKeystore cs(PgConfig(relayed, config_table_), "idx", RandomId(), ombrix::CONFIG);
  PostgresKeystore kv(PgConfig(relayed, table_), "idx", RandomId(), ombrix::INDEX);
  auto other = Open(ombrix::CONFIG);
  const std::string record = "idx.oei", commit("COMMIT\0", 7);
  const struct {  // the statement whose answer is lost, the record before and after the call ("": none)
    const std::string& cut;
    const char* before;
    std::function<bool()> call;
    bool done;
    const char* after;
  } cases[] = {
      {record, "", [&] { return cs.CompareAndSetConfigItem(record, {}, Text("mine")); }, true, "mine"},
      {record, "mine", [&] { return cs.CompareAndSetConfigItem(record, Text("mine"), Text("new")); }, true, "new"},
      {record, "new", [&] { return cs.DeleteConfigItemIf(record, Text("new")); }, true, ""},
      {record, "theirs", [&] { return cs.CompareAndSetConfigItem(record, {}, Text("mine")); }, false, "theirs"},
      {commit, "", [&] { return kv.PushMap(1, Text("m"), 2, 0) && kv.GetMap(1, 2).version == 1; }, true, ""},
      {commit, "", [&] { return (kv.BatchPushVariable({7}, {Text("k")}), kv.GetItem(7) == Text("k")); }, true, ""},
      {commit, "", [&] { return (kv.DeleteIndex(), kv.GetNumItems() == 0); }, true, ""},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(&row - cases);
    other->DeleteConfigItem(record);
    if (*row.before != '\0') other->PushConfigItem(record, Text(row.before));
    relay.CutReplyTo(row.cut);
    EXPECT_EQ(row.call(), row.done);
    EXPECT_EQ(other->ConfigItemExists(record) ? other->LoadConfigItem(record) : Bytes(), Text(row.after));
  }
}

}  // namespace
}  // namespace ombrix_encrypted_index::internal::backing_store
