// A PostgreSQL server that goes away under open keystores: every read reports the failure
// instead of answering as if the rows were missing. Runs its own throwaway server.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "backing_store/postgres_index_listing.h"
#include "backing_store/postgres_keystore.h"
#include "backing_store/server_errors.h"
#include "postgres_test_support.h"

namespace ombrix_encrypted_index::internal::backing_store {
namespace {

using ombrix_pg_test::PgConfig;
using testing::Not;
using testing::StartsWith;
using Bytes = std::vector<uint8_t>;

// The message of the std::runtime_error fn throws, or a note that it threw none.
template <typename Fn>
std::string RuntimeError(Fn&& fn) {
  try {
    fn();
  } catch (const std::runtime_error& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("(other exception) ") + e.what();
  }
  return "(nothing thrown)";
}

TEST(PostgresStoppedServerTest, EveryReadFailsClearly) {
  ombrix_pg_test::ThrowawayPostgres server;
  const ombrix::DBConfig items = PgConfig(server.conninfo(), "items");
  const ombrix::DBConfig configs = PgConfig(server.conninfo(), "configs");
  PostgresKeystore store(items, "idx", 7, ombrix::INDEX);
  PostgresKeystore config(configs, "idx", 7, ombrix::CONFIG);
  store.BatchPushVariable({1, 2}, {Bytes{1}, Bytes{2}});
  ASSERT_TRUE(store.PushMap(10, Bytes{9}, 11, 0));
  config.PushConfigItem("idx.ovs", Bytes{3});

  server.Stop();

  const std::vector<std::pair<std::string, std::function<void()>>> reads = {
      {"GetItem", [&] { store.GetItem(1); }},
      {"GetMap", [&] { store.GetMap(10, 11); }},
      {"GetNumItems", [&] { store.GetNumItems(); }},
      {"GetNumItems (config)", [&] { config.GetNumItems(); }},
      {"GetAllKeys", [&] { store.GetAllKeys(); }},
      {"BatchGetVariable", [&] { store.BatchGetVariable({1, 2}); }},
      {"BatchGetItems", [&] { store.BatchGetItems({1, 2}); }},
      {"LoadConfigItem", [&] { config.LoadConfigItem("idx.ovs"); }},
      {"ConfigItemExists", [&] { config.ConfigItemExists("idx.ovs"); }},
  };
  for (const auto& [name, read] : reads) {
    const std::string error = RuntimeError(read);
    EXPECT_THAT(error, Not(StartsWith("("))) << name << ": " << error;
    EXPECT_GT(error.size(), 20u) << name << ": " << error;
  }
  // Each call tries once to connect again, and says which server could not be reached.
  EXPECT_THAT(RuntimeError([&] { store.BatchPushVariable({3}, {Bytes{3}}); }),
              StartsWith("PostgreSQL server 127.0.0.1:"));
  // Not a refused update: the engine must not spend its retries on a server that is gone.
  EXPECT_THROW(store.PushMap(10, Bytes{8}, 11, 1), ServerUnreachable);

  EXPECT_THAT(RuntimeError([&] { PostgresKeystore(items, "idx", 7, ombrix::INDEX); }),
              StartsWith("Postgres connection error: "));
  EXPECT_THAT(RuntimeError([&] { ListIndexNames(configs); }),
              StartsWith("Failed to connect to PostgreSQL: "));
}

}  // namespace
}  // namespace ombrix_encrypted_index::internal::backing_store
