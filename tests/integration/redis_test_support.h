// Helpers of the live Redis tests: the server locations exported by scripts/services.sh,
// unique names per run, a private redis-server for tests that must reconfigure one, and
// an independent look at the server through redis-cli.
// Test-only; each helper object belongs to the test that made it.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "backing_store/redis_keystore.h"
#include "silent_listener.h"

extern char** environ;

namespace ombrix_test {

// The value of a location variable; a missing one skips the test, or fails it under CI.
#define OMBRIX_REQUIRE_ENV(out, name)                                      \
  std::string out;                                                         \
  if (const char* value_ = std::getenv(name); value_ != nullptr) {         \
    out = value_;                                                          \
  } else if (const char* ci_ = std::getenv("CI"); ci_ && std::string(ci_) == "true") { \
    FAIL() << name << " is not set (source scripts/services.sh)";          \
  } else {                                                                 \
    GTEST_SKIP() << name << " is not set (source scripts/services.sh)";    \
  }

// Runs a TEST_P suite whose parameter is a location variable over the plain and the TLS
// server, the cases named Plain and Tls.
#define OMBRIX_INSTANTIATE_PLAIN_AND_TLS(suite)                                    \
  INSTANTIATE_TEST_SUITE_P(PlainAndTls, suite,                                    \
                           ::testing::Values("OMBRIX_TEST_REDIS", "OMBRIX_TEST_REDIS_TLS"), \
                           [](const ::testing::TestParamInfo<const char*>& info) { \
                             return std::string(info.index == 0 ? "Plain" : "Tls"); \
                           })

inline uint64_t RandomU64() {
  static std::mt19937_64 generator{std::random_device{}()};
  return generator();
}

// prefix + pid + random suffix: no two runs (or tests) share it.
inline std::string UniqueName(const std::string& prefix) {
  std::ostringstream name;
  name << prefix << "_" << getpid() << "_" << std::hex << RandomU64();
  return name.str();
}

inline int FreeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// Runs a shell command line and returns what it printed on standard output.
inline std::string Shell(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  std::string out;
  if (!pipe) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe.get())) > 0) out.append(buffer, n);
  return out;
}

// redis-cli's quoting of a byte string (printable bytes as they are, others as \xhh).
inline std::string CliRepr(const std::string& bytes) {
  std::string out = "\"";
  char hex[5];
  for (unsigned char c : bytes) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\a': out += "\\a"; break;
      case '\b': out += "\\b"; break;
      default:
        if (isprint(c)) {
          out += static_cast<char>(c);
        } else {
          snprintf(hex, sizeof(hex), "\\x%02x", c);
          out += hex;
        }
    }
  }
  return out + "\"";
}

// One command line (arguments quoted as CliRepr does) sent through redis-cli on stdin,
// its reply as redis-cli prints it unquoted-raw off (--no-raw).
inline std::string RedisCli(int port, const std::string& command_line, int db = 0) {
  std::string file = std::filesystem::temp_directory_path() / ("ombrix_cli_" + std::to_string(getpid()));
  std::ofstream(file) << command_line << "\n";
  std::string out = Shell("redis-cli -h 127.0.0.1 -p " + std::to_string(port) + " -n " +
                          std::to_string(db) + " --no-raw < " + file);
  std::filesystem::remove(file);
  return out;
}

// A redis-server of this test alone, on a free loopback port, stopped by the destructor.
class OwnRedisServer {
 public:
  explicit OwnRedisServer(const std::vector<std::string>& extra_args, bool tls = false)
      : extra_args_(extra_args), tls_(tls) {
    dir_ = std::filesystem::temp_directory_path() / UniqueName("ombrix_redis");
    std::filesystem::create_directories(dir_);
    port_ = FreeLoopbackPort();
    Start();
  }
  ~OwnRedisServer() { Stop(); }
  OwnRedisServer(const OwnRedisServer&) = delete;
  OwnRedisServer& operator=(const OwnRedisServer&) = delete;

  // A new server process on the same port: every open connection to the old one breaks.
  void Restart() {
    Terminate();
    Start();
  }
  // SIGSTOP: connections stay open, nothing is answered until Thaw().
  void Freeze() { kill(pid_, SIGSTOP); }
  void Thaw() { kill(pid_, SIGCONT); }
  // SIGKILL: the server dies with whatever it was sent unanswered; Restart() starts it again.
  void Crash() {
    if (pid_ == 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = 0;
  }
  // Bytes its connections received and it has not read yet (a frozen server's requests),
  // as the kernel counts them.
  size_t UnreadBytes() const {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the header
    size_t unread = 0;
    while (std::getline(table, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues;
      fields >> slot >> local >> remote >> state >> queues;
      const size_t colon = local.find(':');
      if (colon == std::string::npos || std::stoi(local.substr(colon + 1), nullptr, 16) != port_) continue;
      unread += std::stoul(queues.substr(queues.find(':') + 1), nullptr, 16);
    }
    return unread;
  }

  void Stop() {
    Terminate();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  bool running() const { return pid_ != 0; }
  int port() const { return port_; }
  std::string location() const { return "host:127.0.0.1,port:" + std::to_string(port_); }

 private:
  void Terminate() {
    if (pid_ != 0) {
      kill(pid_, SIGCONT);
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = 0;
    }
  }

  void Start() {
    const bool tls = tls_;
    const std::vector<std::string>& extra_args = extra_args_;
    std::vector<std::string> args = {"redis-server", "--bind", "127.0.0.1", "--save", "",
                                     "--appendonly", "no", "--dir", dir_.string(),
                                     "--logfile", (dir_ / "redis.log").string()};
    if (tls) {
      args.insert(args.end(), {"--port", "0", "--tls-port", std::to_string(port_)});
    } else {
      args.insert(args.end(), {"--port", std::to_string(port_)});
    }
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, "redis-server", nullptr, nullptr, argv.data(), environ) != 0) pid_ = 0;
    // Ready when the port accepts connections.
    for (int i = 0; i < 100 && pid_ != 0; ++i) {
      int fd = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      address.sin_port = htons(port_);
      bool up = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
      close(fd);
      if (up) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  std::vector<std::string> extra_args_;
  bool tls_ = false;
  std::filesystem::path dir_;
  int port_ = 0;
  pid_t pid_ = 0;
};

// A keystore for the contract suite: an INDEX store under a random store id on the
// server the variable names, db 0. Throws when the variable is unset.
inline std::unique_ptr<ombrix_encrypted_index::internal::backing_store::RedisKeystore>
ContractStore(const char* variable) {
  const char* location = std::getenv(variable);
  if (location == nullptr) {
    throw std::runtime_error(std::string(variable) + " is not set (source scripts/services.sh)");
  }
  static const std::string table = UniqueName("ombrix_contract_config");
  ombrix::DBConfig config{ombrix::REDIS, table, std::string(location) + ",db:0"};
  return std::make_unique<ombrix_encrypted_index::internal::backing_store::RedisKeystore>(
      config, "contract", RandomU64(), ombrix::INDEX);
}

}  // namespace ombrix_test
