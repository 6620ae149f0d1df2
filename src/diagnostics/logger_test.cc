#include "diagnostics/logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

namespace ombrix {
namespace {

using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

const std::regex kLine(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\]\[(INFO|WARNING|ERROR|CRITICAL)\] .*\n)");

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

class LoggerFileTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("ombrix_logger_" + std::to_string(::getpid()) + "_" +
            testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
};

TEST(LoggerTest, DefaultLevelWritesOnlyErrorsAndCriticalsToStderr) {
  Logger logger;
  CaptureStdout();
  CaptureStderr();
  logger.info("quiet");
  logger.warning("quiet too");
  logger.debug("never");
  logger.error("boom");
  logger.critical("bang");
  EXPECT_EQ(GetCapturedStdout(), "");
  const std::string err = GetCapturedStderr();
  std::istringstream lines(err);
  std::string first, second;
  std::getline(lines, first);
  std::getline(lines, second);
  EXPECT_TRUE(std::regex_match(first + "\n", kLine)) << first;
  EXPECT_THAT(first, testing::EndsWith("][ERROR] boom"));
  EXPECT_THAT(second, testing::EndsWith("][CRITICAL] bang"));
}

TEST(LoggerTest, ConfiguredLevelFiltersAndRoutesByLevel) {
  Logger logger;
  logger.configure("warning");
  CaptureStdout();
  CaptureStderr();
  logger.info("dropped");
  logger.warning("line one\nline two");
  logger.debug("never");
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_TRUE(std::regex_match(out, std::regex(R"(\[[^\]]+\]\[WARNING\] line one\nline two\n)"))) << out;

  logger.configure("info");
  CaptureStdout();
  logger.log(kInfo, "via log");
  EXPECT_THAT(GetCapturedStdout(), HasSubstr("[INFO] via log"));
}

TEST(LoggerTest, RefusedLevelNamesChangeNothing) {
  Logger logger;
  logger.configure("critical");
  for (const std::string name : {"debug", "INFO", "", "Warning"}) {
    try {
      logger.configure(name, true, "/nonexistent/never-opened.log");
      FAIL() << "accepted " << name;
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()), "Invalid log level: " + name);
    }
    EXPECT_EQ(logger.level.load(), kCritical);
    EXPECT_FALSE(logger.to_file);
    EXPECT_FALSE(logger.log_file.is_open());
  }
}

TEST_F(LoggerFileTest, AppendsToTheFileAndKeepsEarlierLines) {
  const auto path = dir_ / "app.log";
  std::ofstream(path) << "earlier line\n";
  Logger logger;
  logger.configure("info", true, path.string());
  CaptureStdout();
  CaptureStderr();
  logger.info("first");
  logger.error("second");
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(GetCapturedStderr(), "");
  // Each line is flushed at once: readable before the logger goes away.
  const std::string text = ReadFile(path);
  EXPECT_THAT(text, testing::StartsWith("earlier line\n"));
  EXPECT_THAT(text, HasSubstr("[INFO] first\n"));
  EXPECT_THAT(text, HasSubstr("[ERROR] second\n"));
}

TEST_F(LoggerFileTest, DefaultPathIsInTheCurrentDirectory) {
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir_);
  {
    Logger logger;
    logger.configure("info", true);
    logger.info("to the default file");
  }
  std::filesystem::current_path(previous);
  EXPECT_THAT(ReadFile(dir_ / "ombrix_client.log"), HasSubstr("[INFO] to the default file"));
}

TEST_F(LoggerFileTest, UnopenableFileFallsBackToTheConsole) {
  const std::string path = (dir_ / "missing" / "x.log").string();
  Logger logger;
  CaptureStderr();
  logger.configure("info", true, path);
  EXPECT_EQ(GetCapturedStderr(), "[Logger] Failed to open log file: " + path + "\n");
  EXPECT_FALSE(logger.to_file);
  EXPECT_EQ(logger.level.load(), kInfo);
  CaptureStdout();
  logger.info("console again");
  EXPECT_THAT(GetCapturedStdout(), HasSubstr("[INFO] console again"));
}

TEST_F(LoggerFileTest, ToFileFalseOpensNothingAndStopsFileOutput) {
  const auto path = dir_ / "never.log";
  Logger logger;
  logger.configure("info", false, path.string());
  EXPECT_FALSE(std::filesystem::exists(path));

  const auto used = dir_ / "used.log";
  logger.configure("info", true, used.string());
  logger.info("in file");
  logger.configure("info", false);
  CaptureStdout();
  logger.info("on console");
  EXPECT_THAT(GetCapturedStdout(), HasSubstr("on console"));
  EXPECT_THAT(ReadFile(used), testing::Not(HasSubstr("on console")));
}

TEST_F(LoggerFileTest, ConcurrentWritersProduceOnlyWholeLines) {
  const auto path = dir_ / "threads.log";
  Logger logger;
  logger.configure("info", true, path.string());
  constexpr int kThreads = 8, kLines = 500;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&logger, t] {
      const std::string body(64, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) logger.info(body);
    });
  }
  for (auto& w : writers) w.join();
  std::istringstream lines(ReadFile(path));
  std::string line;
  int count = 0;
  const std::regex whole(R"(\[[^\]]+\]\[INFO\] ([a-h])\1{63})");
  while (std::getline(lines, line)) {
    ++count;
    ASSERT_TRUE(std::regex_match(line, whole)) << line;
  }
  EXPECT_EQ(count, kThreads * kLines);
}

TEST(LoggerPointersTest, NullPointersResolveToTheSingleton) {
  Logger own;
  EXPECT_EQ(&ResolveLogger(active_logger), &Logger::instance());
  internal_logger.store(&own);
  EXPECT_EQ(&InternalLogger(), &own);
  EXPECT_EQ(&ActiveLogger(), &Logger::instance());
  internal_logger.store(nullptr);
  EXPECT_EQ(&InternalLogger(), &Logger::instance());
}

}  // namespace
}  // namespace ombrix
