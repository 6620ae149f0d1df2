// The process-wide leveled logger and the two pointers that tell lower layers which
// Logger to write to. Logger::instance() lives until process exit; callers never own it.
// Thread-safe: lines are formatted outside the lock and written whole under log_mutex, which
// fork() takes, so that a forked child never finds it held by a thread it does not have.
#pragma once

#include <atomic>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>
#include <string_view>

#include "diagnostics/fork_locks.h"

namespace ombrix {

enum LogLevel : int32_t { kInfo = 0, kWarning = 1, kError = 2, kCritical = 3 };

class Logger {
 public:
  Logger();
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // The singleton: level ERROR, console output, made on first use.
  static Logger& instance();

  void log(LogLevel level, const std::string& message);
  void info(const std::string& message) { log(kInfo, message); }
  void warning(const std::string& message) { log(kWarning, message); }
  void error(const std::string& message) { log(kError, message); }
  void critical(const std::string& message) { log(kCritical, message); }
  // There is no DEBUG level: accepted and dropped.
  void debug(const std::string&) {}

  // Sets the minimum level ("info", "warning", "error", "critical") and the output.
  // With to_file, lines are appended to file_path (default "ombrix_client.log").
  // Throws std::invalid_argument "Invalid log level: <level>" with no change of state
  // (bytes of the level that are no UTF-8 written as "\xNN").
  // A file that cannot be opened is reported on stderr; output stays on the console.
  void configure(const std::string& level, bool to_file = false,
                 const std::optional<std::string>& file_path = std::nullopt);

  // Puts the logger back to ERROR on the console (an open file stays open, unused).
  void ResetToDefault();

  std::atomic<int32_t> level{kError};
  bool to_file = false;
  std::ofstream log_file;
  std::mutex log_mutex;
  LeafLockAcrossFork log_mutex_across_fork{log_mutex};
};

// While one lives on a thread, the ERROR lines that thread logs are held back: an
// operation that may still recover from what they report decides afterwards whether they
// were errors. Released as ERROR lines unless Recovered() was called, then as WARNING lines.
// A scope opened inside another adds to the outer one's lines. Not movable; one thread.
class HeldErrors {
 public:
  HeldErrors();
  ~HeldErrors() { Release(); }
  HeldErrors(const HeldErrors&) = delete;
  HeldErrors& operator=(const HeldErrors&) = delete;
  void Recovered() { recovered_ = true; }
  // Writes what was held now (it is then held no more).
  void Release();

 private:
  friend class Logger;
  struct Line {
    Logger* logger;
    std::string message;
  };
  HeldErrors* outer_;
  bool recovered_ = false;
  bool released_ = false;
  std::vector<Line> lines_;
};

// Set by index creation and loading; null means Logger::instance(). Not owned.
extern std::atomic<Logger*> active_logger;
extern std::atomic<Logger*> internal_logger;

// The Logger a pointer designates right now: the pointee, or the singleton when null.
// Decide at every call; never keep the result across calls.
Logger& ResolveLogger(const std::atomic<Logger*>& pointer);
inline Logger& ActiveLogger() { return ResolveLogger(active_logger); }
inline Logger& InternalLogger() { return ResolveLogger(internal_logger); }

// `text` with each byte that is no part of valid UTF-8 written as "\xNN": a message that
// echoes a caller's bytes must still decode (Python reads exception texts as UTF-8).
std::string EscapeInvalidUtf8(std::string_view text);

}  // namespace ombrix
