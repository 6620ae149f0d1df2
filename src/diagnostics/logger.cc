#include "diagnostics/logger.h"

#include <ctime>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace ombrix {

std::atomic<Logger*> active_logger{nullptr};
std::atomic<Logger*> internal_logger{nullptr};

Logger& ResolveLogger(const std::atomic<Logger*>& pointer) {
  Logger* logger = pointer.load(std::memory_order_relaxed);
  return logger != nullptr ? *logger : Logger::instance();
}

Logger::Logger() = default;

Logger::~Logger() {
  if (log_file.is_open()) log_file.close();
}

Logger& Logger::instance() {
  static Logger singleton;
  return singleton;
}

namespace {

const char* Label(int32_t level) {
  switch (level) {
    case kWarning:
      return "WARNING";
    case kError:
      return "ERROR";
    case kCritical:
      return "CRITICAL";
    default:
      return "INFO";
  }
}

}  // namespace

void Logger::log(LogLevel message_level, const std::string& message) {
  if (static_cast<int32_t>(message_level) < level.load(std::memory_order_relaxed)) return;

  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
  std::ostringstream line;
  line << "[" << stamp << "][" << Label(message_level) << "] " << message << "\n";
  const std::string text = line.str();

  std::lock_guard<std::mutex> lock(log_mutex);
  if (to_file && log_file.is_open()) {
    log_file << text;
    log_file.flush();
  } else if (message_level == kInfo || message_level == kWarning) {
    std::cout << text;
  } else {
    std::cerr << text;
  }
}

void Logger::configure(const std::string& level_name, bool to_file_flag,
                       const std::optional<std::string>& file_path) {
  int32_t new_level;
  if (level_name == "info") {
    new_level = kInfo;
  } else if (level_name == "warning") {
    new_level = kWarning;
  } else if (level_name == "error") {
    new_level = kError;
  } else if (level_name == "critical") {
    new_level = kCritical;
  } else {
    throw std::invalid_argument("Invalid log level: " + level_name);
  }
  const std::string path = file_path.value_or("ombrix_client.log");

  std::lock_guard<std::mutex> lock(log_mutex);
  level.store(new_level, std::memory_order_relaxed);
  to_file = to_file_flag;
  if (!to_file) return;
  if (log_file.is_open()) log_file.close();
  log_file.clear();
  log_file.open(path, std::ios::out | std::ios::app);
  if (!log_file.good()) {
    std::cerr << "[Logger] Failed to open log file: " << path << "\n";
    to_file = false;
  }
}

void Logger::ResetToDefault() {
  std::lock_guard<std::mutex> lock(log_mutex);
  level.store(kError, std::memory_order_relaxed);
  to_file = false;
}

}  // namespace ombrix
