// PostgreSQL servers that keep a keystore waiting: a table locked by another session (for
// single statements, transactions and the counter map's retry loop), a backend frozen
// under an open keystore, a server restarted under it, and a port that accepts
// connections and never answers. Every wait ends at its limit with an error naming
// the server, and the same keystore works again once the server does.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <functional>
#include <thread>

#include "backing_store/postgres_keystore.h"
#include "backing_store/server_errors.h"
#include "backing_store/testing/log_capture.h"
#include "encrypted_store/encrypted_index_core.h"
#include "postgres_test_support.h"
#include "silent_listener.h"

namespace ombrix_encrypted_index::internal::backing_store {
namespace {

using ombrix_pg_test::PgConfig;
using ombrix_pg_test::PgSession;
using ombrix_pg_test::UniqueTableName;
using testing::HasSubstr;
using testing::StartsWith;
using Bytes = std::vector<uint8_t>;

template <typename Exception = std::runtime_error, typename Fn>
std::string ErrorOf(Fn&& fn) {
  try {
    fn();
  } catch (const Exception& e) {
    return e.what();
  }
  return "(nothing thrown, or another type)";
}

class PostgresServerFaultsTest : public ombrix_pg_test::SharedServerTest {};

// A read sent and then left unread for longer than the connection's wait limit (its
// caller waited on a slower store of another server) is answered: the answer came long
// ago, and the wait for it counts from when it is read.
TEST_F(PostgresServerFaultsTest, AnAnswerReadLaterThanTheWaitLimitIsStillRead) {
  const std::string table = UniqueTableName("late_read");
  // The client waits 0.1 s + 2 s for an answer.
  PostgresKeystore store(PgConfig(conninfo_ + " options='-c statement_timeout=100'", table), "idx", 7,
                         ombrix::INDEX);
  // Written under the default limit: on a loaded machine the map's transaction may take
  // longer than 0.1 s.
  ASSERT_TRUE(PostgresKeystore(PgConfig(conninfo_, table), "idx", 7, ombrix::INDEX).PushMap(10, Bytes{9}, 11, 0));
  store.SendMapsRead({{10, 11}});
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  const std::vector<MapAndVersion> maps = store.ReceiveMaps();
  EXPECT_EQ(maps.at(0).map_data, Bytes{9});
  session_->Exec("DROP TABLE " + table);
}

TEST_F(PostgresServerFaultsTest, ALockedTableFailsAtTheStatementTimeLimit) {
  // Every session gets a limit unless its connection string (or role) sets one.
  EXPECT_EQ(session_->Scalar("SHOW statement_timeout"), "30s");
  EXPECT_EQ(PgSession(conninfo_ + " options='-c statement_timeout=1min'").Scalar("SHOW statement_timeout"),
            "1min");
  const std::string table = UniqueTableName("locked");
  PostgresKeystore store(PgConfig(conninfo_ + " options='-c statement_timeout=300'", table), "idx", 7,
                         ombrix::INDEX);
  store.PushItem(1, Bytes{1});
  session_->Exec("BEGIN; LOCK TABLE " + table + " IN ACCESS EXCLUSIVE MODE");
  const std::string error = ErrorOf([&] { store.GetItem(1); });
  session_->Exec("ROLLBACK");
  EXPECT_THAT(error, HasSubstr("PostgreSQL server 127.0.0.1:"));
  EXPECT_THAT(error, HasSubstr(" stopped the statement at its time limit: "));
  EXPECT_THAT(error, HasSubstr("statement timeout"));
  EXPECT_EQ(store.GetItem(1), Bytes{1});
  session_->Exec("DROP TABLE " + table);
}

// A statement the server stops at its time limit ends the call at once, from a single
// statement, the versioned map's transaction and a batch's transaction alike, and leaves
// no failed transaction open behind it.
TEST_F(PostgresServerFaultsTest, AStatementStoppedAtItsTimeLimitEndsTheCall) {
  const std::string table = UniqueTableName("limited");
  // The client waits 2 s beyond the session's limit, so the server's own verdict comes
  // first, also for the map transaction's limit of 3 s.
  PostgresKeystore store(PgConfig(conninfo_ + " options='-c statement_timeout=1500'", table), "idx", 7,
                         ombrix::INDEX);
  store.PushItem(1, Bytes{1});
  const struct {
    const char* call;
    std::function<void()> run;
  } calls[] = {
      {"GetItem", [&] { store.GetItem(1); }},
      {"GetMap", [&] { store.GetMap(10, 11); }},
      {"PushMap", [&] { store.PushMap(10, Bytes{9}, 11, 0); }},
      {"BatchPushVariable", [&] { store.BatchPushVariable({2}, {Bytes{2}}); }},
  };
  for (const auto& c : calls) {
    SCOPED_TRACE(c.call);
    session_->Exec("BEGIN; LOCK TABLE " + table + " IN ACCESS EXCLUSIVE MODE");
    const std::string error = ErrorOf<ServerTimeLimit>(c.run);
    session_->Exec("ROLLBACK");
    EXPECT_THAT(error, StartsWith("PostgreSQL server 127.0.0.1:"));
    EXPECT_THAT(error, HasSubstr(" stopped the statement at its time limit: "));
    EXPECT_THAT(error, HasSubstr("canceling statement due to statement timeout"));
    EXPECT_EQ(store.GetItem(1), Bytes{1}) << "the session is usable again";
  }
  EXPECT_TRUE(store.PushMap(10, Bytes{9}, 11, 0));
  session_->Exec("DROP TABLE " + table);
}

// The counter map's compare-and-set loop stops at the first time limit instead of
// spending it 100 times (100 statement timeouts: 50 minutes at the default 30 s).
TEST_F(PostgresServerFaultsTest, TheCounterMapGivesUpAtTheFirstTimeLimit) {
  const std::string table = UniqueTableName("map");
  const std::string config_table = UniqueTableName("map_cfg");
  const std::string limited = conninfo_ + " options='-c statement_timeout=300'";
  ombrix::IndexSettings settings;
  settings.index_name = "idx";
  settings.index_key.fill(7);
  settings.index_location = settings.items_location = settings.data_location = PgConfig(conninfo_, table);
  settings.config_location = PgConfig(conninfo_, config_table);
  settings.payload_size = 8;
  ombrix::testing_support::ScopedLogCapture log;
  ombrix::internal::SetRetryPauseForTesting([](uint32_t) {});
  // Created without the short limit: creating tables beside other tests may wait on the
  // catalogue longer than it allows.
  ombrix::EncryptedIndexCore::Create(settings, &ombrix::InternalLogger(), {1}).reset();
  settings.index_location = settings.items_location = settings.data_location = PgConfig(limited, table);
  settings.config_location = PgConfig(limited, config_table);
  auto core = ombrix::EncryptedIndexCore::Load(settings, &ombrix::InternalLogger());
  log.Clear();

  session_->Exec("BEGIN; LOCK TABLE " + table + " IN ACCESS EXCLUSIVE MODE");
  const std::string error = ErrorOf<ServerTimeLimit>([&] { core->UpdateCounterMap({0}); });
  session_->Exec("ROLLBACK");
  ombrix::internal::SetRetryPauseForTesting(nullptr);
  EXPECT_THAT(error, HasSubstr(" stopped the statement at its time limit: "));
  const std::vector<std::string> lines = log.Lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) { return line.find("Updating Map.") != std::string::npos; }),
            1);
  EXPECT_EQ(core->UpdateCounterMap({0}), std::vector<uint32_t>{0});
  core.reset();
  session_->Exec("DROP TABLE " + table + ", " + config_table);
}

TEST(PostgresServerFaults, FrozenAndRestartedServers) {
  ombrix_pg_test::ThrowawayPostgres server;
  const std::string conninfo = server.conninfo() + " application_name=ombrix_frozen";
  PostgresKeystore store(PgConfig(conninfo + " options='-c statement_timeout=500'", "items"),
                         "idx", 7, ombrix::INDEX);
  store.PushItem(1, Bytes{1});
  PgSession inspector(server.conninfo());
  const int backend = std::stoi(
      inspector.Scalar("SELECT pid FROM pg_stat_activity WHERE application_name = 'ombrix_frozen'"));

  // A stopped backend cannot cancel its own statement: the client stops waiting.
  kill(backend, SIGSTOP);
  const std::string error = ErrorOf<ServerUnreachable>([&] { store.GetItem(1); });
  kill(backend, SIGCONT);
  EXPECT_THAT(error, StartsWith("PostgreSQL server 127.0.0.1:"));
  EXPECT_THAT(error, HasSubstr(" did not answer within 2.5 s (command time-out)"));
  EXPECT_EQ(store.GetItem(1), Bytes{1}) << "a new session after the time-out";

  // A restart breaks every session; the next call opens one again.
  server.Restart();
  EXPECT_EQ(store.GetItem(1), Bytes{1});
  store.BatchPushVariable({2, 3}, {Bytes{2}, Bytes{3}});
  EXPECT_EQ(store.BatchGetVariable({2, 3}), (std::vector<Bytes>{Bytes{2}, Bytes{3}}));
  EXPECT_TRUE(store.PushMap(10, Bytes{9}, 11, 0));
}

TEST(PostgresServerFaults, AServerThatNeverAnswersFailsWithinTheConnectTimeLimit) {
  ombrix_test::SilentListener silent;
  const std::string conninfo = "host=127.0.0.1 port=" + std::to_string(silent.port()) +
                               " dbname=x user=x connect_timeout=2";
  const std::string error = ErrorOf([&] { PostgresKeystore(PgConfig(conninfo, "t"), "idx", 7, ombrix::INDEX); });
  EXPECT_THAT(error, StartsWith("Postgres connection error: "));
  EXPECT_THAT(error, HasSubstr("timeout expired"));
}

}  // namespace
}  // namespace ombrix_encrypted_index::internal::backing_store
