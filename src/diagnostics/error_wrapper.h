// The error wrapper every public operation runs in: an exception leaving the operation
// prints one "[ERROR] Exception in <operation>: <what>" line per wrapped level, is
// recorded once per outermost call in the telemetry, and is rethrown unchanged.
// The nesting bookkeeping is thread-local, so wrapped calls on different threads never
// interact. The aggregator is borrowed for the call and may be null.
#pragma once

#include <cstdint>
#include <exception>
#include <string_view>
#include <type_traits>
#include <utility>

#include "diagnostics/telemetry.h"

namespace ombrix::internal {

// Number of wrapped operations running on this thread.
extern thread_local uint32_t execution_depth;
// The failure of this thread's current outermost operation is already recorded.
extern thread_local bool error_handled;

// Counts one wrapped level for its lifetime; the outermost level clears error_handled
// when it ends, normally or by unwinding.
class ApiCallGuard {
 public:
  ApiCallGuard() noexcept : outermost(execution_depth == 0) { ++execution_depth; }
  ~ApiCallGuard() {
    --execution_depth;
    if (outermost) error_handled = false;
  }
  ApiCallGuard(const ApiCallGuard&) = delete;
  ApiCallGuard& operator=(const ApiCallGuard&) = delete;

  const bool outermost;
};

// Records (once per outermost call) and prints the failure of one wrapped level. A failure
// while doing so propagates in place of the one being reported.
void ReportException(std::string_view operation, TelemetryAggregator* telemetry,
                     const char* what);
void ReportUnknownException(std::string_view operation, TelemetryAggregator* telemetry);

// Runs body() and returns its result; see the file comment for what happens to an
// exception it throws.
template <typename Body>
std::invoke_result_t<Body&> ExecuteWithErrorHandling(std::string_view operation,
                                                     TelemetryAggregator* telemetry,
                                                     Body&& body) {
  ApiCallGuard guard;
  try {
    return body();
  } catch (const std::exception& failure) {
    ReportException(operation, telemetry, failure.what());
    throw;
  } catch (...) {
    ReportUnknownException(operation, telemetry);
    throw;
  }
}

}  // namespace ombrix::internal
