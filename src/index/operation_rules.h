// The small rules the index operations apply on their way: how many lists a query probes
// and a training creates when the caller leaves it open, which filter texts mean "no
// filter", what of a connection string may be logged, and which thread counts the
// OpenMP runtime can start. Pure functions; safe on any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "backing_store/connection_secrets.h"

namespace ombrix {

// ceil(80 * top_k * n_lists / total_items), 1 when the index holds nothing. Saturates at
// the largest uint64 instead of wrapping, so a huge top_k can only ask for more lists.
uint64_t AutomaticProbeCount(uint64_t top_k, uint64_t n_lists, uint64_t total_items);

// The largest power of two not above vectors / 1000; 0 below 1000 vectors.
uint64_t AutomaticListCount(uint64_t vectors);

// True for the texts that ask for no filter: empty, "null", "{}" and "[]" (JSON
// whitespace allowed around and inside them). Whitespace alone is not JSON: the filter
// language refuses it.
bool IsNoFilter(const std::string& filters);

// The connection string as it may be logged (backing_store/connection_secrets.h); every
// log line that shows a connection string shows it through this.
using ombrix_encrypted_index::internal::backing_store::MaskConnectionString;

// The OpenMP team size to set for a configured CPU thread count (1 when absent), or
// nothing when the current team size is to stay: 0 keeps it, and so do negative values,
// which the runtime cannot start.
std::optional<int> TeamSizeFor(std::optional<int32_t> cpu_threads);

// A count for the telemetry counters (signed 32-bit): count, or the product of two
// counts, held at the largest int32 instead of wrapping.
int32_t TelemetryCount(uint64_t count, uint64_t factor = 1);

}  // namespace ombrix
