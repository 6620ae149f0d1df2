// Helpers of the live PostgreSQL tests: the shared server exported by scripts/services.sh,
// unique table names per run, an independent session for setting up and inspecting
// tables, and a private throwaway server for tests that must stop one.
// Test-only; each helper object belongs to the test that made it.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "backing_store/db_config.h"
#include "backing_store/postgres_connection.h"
#include "backing_store/testing/error_text.h"

namespace ombrix_pg_test {

namespace bs = ombrix_encrypted_index::internal::backing_store;

// The shared server's conninfo; a missing variable skips the test, or fails it under CI.
#define OMBRIX_REQUIRE_PG(out)                                                             \
  std::string out;                                                                         \
  if (const char* value_ = std::getenv("OMBRIX_TEST_PG"); value_ != nullptr) {             \
    out = value_;                                                                          \
  } else if (const char* ci_ = std::getenv("CI"); ci_ && std::string(ci_) == "true") {     \
    FAIL() << "OMBRIX_TEST_PG is not set (source scripts/services.sh)";                    \
  } else {                                                                                 \
    GTEST_SKIP() << "OMBRIX_TEST_PG is not set (source scripts/services.sh)";              \
  }

inline uint64_t RandomId() {
  static std::mt19937_64 generator{std::random_device{}()};
  return generator();
}

// "ombrix_<stem>_<pid>_<random>": a lower-case identifier no other run uses.
inline std::string UniqueTableName(const std::string& stem) {
  std::ostringstream name;
  name << "ombrix_" << stem << "_" << getpid() << "_" << std::hex << (RandomId() >> 24);
  return name.str();
}

inline ombrix::DBConfig PgConfig(const std::string& conninfo, const std::string& table) {
  return ombrix::DBConfig{ombrix::POSTGRES, table, conninfo};
}

// A session of its own on a server, for preparing and inspecting tables. Throws
// std::runtime_error with the server's text when a statement fails.
class PgSession {
 public:
  explicit PgSession(const std::string& conninfo) : connection_(bs::PgConnect(conninfo)) {
    if (!bs::PgConnected(connection_.get())) {
      throw std::runtime_error("test session: " + bs::PgErrorMessage(connection_.get()));
    }
  }

  void Exec(const std::string& sql) {
    bs::PgOutcome outcome = bs::PgExec(connection_.get(), sql, PGRES_COMMAND_OK);
    if (!outcome.ok) throw std::runtime_error("test session: " + outcome.error + " in " + sql);
  }

  // Every row of a query, each cell as text ("" for NULL).
  std::vector<std::vector<std::string>> Query(const std::string& sql) {
    bs::PgOutcome outcome = bs::PgExec(connection_.get(), sql, PGRES_TUPLES_OK);
    if (!outcome.ok) throw std::runtime_error("test session: " + outcome.error + " in " + sql);
    std::vector<std::vector<std::string>> rows;
    for (int r = 0; r < outcome.rows(); ++r) {
      rows.emplace_back();
      for (int c = 0; c < PQnfields(outcome.result.get()); ++c) {
        rows.back().push_back(bs::PgText(outcome.result.get(), r, c));
      }
    }
    return rows;
  }

  std::string Scalar(const std::string& sql) { return Query(sql).at(0).at(0); }

  bool TableExists(const std::string& table) {
    return Scalar("SELECT to_regclass('" + table + "') IS NOT NULL") == "t";
  }

  int backend_pid() const { return PQbackendPID(connection_.get()); }

 private:
  bs::PgConnection connection_;
};

using ombrix::testing_support::ErrorText;

// A test on the shared server, with a session of its own for setting up and inspecting.
class SharedServerTest : public testing::Test {
 protected:
  void SetUp() override {
    OMBRIX_REQUIRE_PG(conninfo);
    conninfo_ = conninfo;
    session_ = std::make_unique<PgSession>(conninfo_);
  }

  std::string conninfo_;
  std::unique_ptr<PgSession> session_;  // null when the test was skipped
};

// The port a connection string names (5432 where it names none).
inline int ServerPort(const std::string& conninfo) {
  char* error = nullptr;
  std::unique_ptr<PQconninfoOption, decltype(&PQconninfoFree)> options(
      PQconninfoParse(conninfo.c_str(), &error), PQconninfoFree);
  PQfreemem(error);
  for (PQconninfoOption* option = options.get(); option && option->keyword; ++option) {
    if (std::string(option->keyword) == "port" && option->val) return std::stoi(option->val);
  }
  return 5432;
}

inline int FreeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// A private PostgreSQL server (initdb + pg_ctl) in a temporary directory on a free
// loopback port, for tests that stop a server. Stopped and removed when destroyed.
// As root the server runs as the postgres user, since the server refuses root.
class ThrowawayPostgres {
 public:
  ThrowawayPostgres() {
    bin_ = FindBinDir();
    char pattern[] = "/tmp/ombrix_pg_XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    port_ = FreeLoopbackPort();
    if (geteuid() == 0) {
      const passwd* user = getpwnam("postgres");
      if (user == nullptr) throw std::runtime_error("no postgres user to run the server as");
      if (chown(dir_.c_str(), user->pw_uid, user->pw_gid) != 0) {
        throw std::runtime_error("chown of the server directory failed");
      }
      as_user_ = "runuser -u postgres -- ";
    }
    Run(bin_ + "/initdb -D " + dir_ + "/data -A trust -U postgres --no-sync -E UTF8");
    Start();
  }
  ~ThrowawayPostgres() {
    try {
      Stop();
    } catch (const std::exception&) {
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  ThrowawayPostgres(const ThrowawayPostgres&) = delete;
  ThrowawayPostgres& operator=(const ThrowawayPostgres&) = delete;

  std::string conninfo() const {
    return "host=127.0.0.1 port=" + std::to_string(port_) + " dbname=postgres user=postgres";
  }

  // Immediate shutdown: open sessions see their connection drop, as in a crash.
  void Stop() {
    if (!running_) return;
    running_ = false;
    Run(bin_ + "/pg_ctl -D " + dir_ + "/data -m immediate -w stop");
  }

  // The same data on the same port, after an immediate stop.
  void Restart() {
    Stop();
    Start();
  }

 private:
  void Start() {
    Run(bin_ + "/pg_ctl -D " + dir_ + "/data -l " + dir_ + "/server.log -w -t 60 -o \"-p " +
        std::to_string(port_) + " -k " + dir_ +
        " -c listen_addresses=127.0.0.1 -c fsync=off\" start");
    running_ = true;
  }

  static std::string FindBinDir() {
    std::string best;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql")) {
      const std::string bin = entry.path().string() + "/bin";
      if (std::filesystem::exists(bin + "/initdb") && bin > best) best = bin;
    }
    if (best.empty()) throw std::runtime_error("no PostgreSQL server binaries found");
    return best;
  }

  void Run(const std::string& command) const {
    const std::string line = "cd /tmp && " + as_user_ + command + " >>" + dir_ + "/setup.log 2>&1";
    if (std::system(line.c_str()) != 0) throw std::runtime_error("failed: " + command);
  }

  std::string bin_;
  std::string dir_;
  std::string as_user_;
  int port_ = 0;
  bool running_ = false;
};

}  // namespace ombrix_pg_test
