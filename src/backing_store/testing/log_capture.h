// Test helper: while alive, points internal_logger at a private Logger that writes every
// level to a temporary file, so a test can read back the exact lines the storage code
// logged. Restores the previous pointer when destroyed. One capture at a time per process.
#pragma once

#include <unistd.h>

#include <atomic>
#include <mutex>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "diagnostics/logger.h"

namespace ombrix::testing_support {

class ScopedLogCapture {
 public:
  ScopedLogCapture()
      : path_(std::filesystem::temp_directory_path() /
              ("ombrix_log_capture_" + std::to_string(::getpid()) + "_" + std::to_string(NextId()) + ".log")) {
    logger_.configure("info", true, path_.string());
    previous_ = internal_logger.exchange(&logger_);
  }
  ~ScopedLogCapture() {
    internal_logger.store(previous_);
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  ScopedLogCapture(const ScopedLogCapture&) = delete;
  ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

  // Every line logged so far, as "LEVEL message" (the time stamp dropped).
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::ifstream in(path_);
    for (std::string line; std::getline(in, line);) {
      // "[YYYY-mm-dd HH:MM:SS][LEVEL] message"
      const size_t open = line.find("][");
      const size_t close = line.find("] ", open == std::string::npos ? 0 : open + 2);
      if (open == std::string::npos || close == std::string::npos) {
        lines.push_back(line);
        continue;
      }
      lines.push_back(line.substr(open + 2, close - open - 2) + " " + line.substr(close + 2));
    }
    return lines;
  }

  // Forgets the lines logged so far.
  void Clear() {
    std::lock_guard<std::mutex> lock(logger_.log_mutex);
    logger_.log_file.close();
    logger_.log_file.open(path_, std::ios::out | std::ios::trunc);
  }

 private:
  static int NextId() {
    static std::atomic<int> next{0};
    return next++;
  }

  std::filesystem::path path_;
  Logger logger_;
  Logger* previous_ = nullptr;
};

}  // namespace ombrix::testing_support
