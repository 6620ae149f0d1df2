// ListIndexNames: the indexes that have a configuration record in a PostgreSQL config
// table, read over a short-lived connection of its own (closed before it returns).
// Safe to call from several threads at once.
#pragma once

#include <string>
#include <vector>

#include "backing_store/db_config.h"

namespace ombrix_encrypted_index::internal::backing_store {

// Names of the indexes whose "<name>.ovs" item the config table holds, in the server's row
// order. Only the table name and connection string of `config` are read.
// Throws std::invalid_argument when either is unset, std::runtime_error when the server
// cannot be reached or the query fails (for example, no such table).
std::vector<std::string> ListIndexNames(const ombrix::DBConfig& config);

}  // namespace ombrix_encrypted_index::internal::backing_store
