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

namespace {

// Length of the valid UTF-8 sequence at the start of `text`, 0 when there is none
// (a stray continuation byte, an overlong form, a surrogate, a value above U+10FFFF).
size_t Utf8SequenceLength(std::string_view text) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

}  // namespace

std::string EscapeInvalidUtf8(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const size_t length = Utf8SequenceLength(text);
    if (length == 0) {
      const auto byte = static_cast<unsigned char>(text[0]);
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
      text.remove_prefix(1);
    } else {
      out.append(text.substr(0, length));
      text.remove_prefix(length);
    }
  }
  return out;
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

namespace {
thread_local HeldErrors* held_errors = nullptr;
}  // namespace

HeldErrors::HeldErrors() : outer_(held_errors) {
  if (outer_ == nullptr) held_errors = this;
}

void HeldErrors::Release() {
  if (released_) return;
  released_ = true;
  if (held_errors == this) held_errors = nullptr;
  if (outer_ != nullptr) return;  // the outer scope holds the lines and decides
  for (const Line& line : lines_) line.logger->log(recovered_ ? kWarning : kError, line.message);
  lines_.clear();
}

void Logger::log(LogLevel message_level, const std::string& message) {
  if (message_level == kError && held_errors != nullptr) {
    held_errors->lines_.push_back({this, message});
    return;
  }
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
    throw std::invalid_argument("Invalid log level: " + EscapeInvalidUtf8(level_name));
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
