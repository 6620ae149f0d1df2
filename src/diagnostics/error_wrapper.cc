#include "diagnostics/error_wrapper.h"

#include <iostream>
#include <string>

namespace ombrix::internal {

thread_local uint32_t execution_depth = 0;
thread_local bool error_handled = false;

namespace {

void RecordOnce(TelemetryAggregator* telemetry, const std::string& description) {
  if (telemetry == nullptr || error_handled) return;
  error_handled = true;
  telemetry->RecordError(description);
}

// Straight to stderr, never through the Logger: the line must appear whatever the
// Logger's level and target are.
void PrintLine(const std::string& line) { std::cerr << line << std::endl; }

}  // namespace

void ReportException(std::string_view operation, TelemetryAggregator* telemetry,
                     const char* what) {
  const std::string description = "Exception in " + std::string(operation) + ": " + what;
  RecordOnce(telemetry, description);
  PrintLine("[ERROR] " + description);
}

void ReportUnknownException(std::string_view operation, TelemetryAggregator* telemetry) {
  const std::string description = "Unknown exception in " + std::string(operation);
  RecordOnce(telemetry, description);
  PrintLine("[ERROR] " + description);
}

}  // namespace ombrix::internal
