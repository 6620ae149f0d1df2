#include "backing_store/postgres_index_listing.h"

#include <stdexcept>

#include "backing_store/postgres_connection.h"
#include "diagnostics/logger.h"

namespace ombrix_encrypted_index::internal::backing_store {

namespace {

constexpr std::string_view kConfigRecordSuffix = ".ovs";

[[noreturn]] void Fail(const std::string& message, bool bad_argument) {
  ombrix::InternalLogger().error(message);
  if (bad_argument) throw std::invalid_argument(message);
  throw std::runtime_error(message);
}

}  // namespace

std::vector<std::string> ListIndexNames(const ombrix::DBConfig& config) {
  if (!config.table_name) Fail("table_name is not set in DBConfig.", true);
  if (!config.connection_string) {
    Fail("Database connection string is missing in the configuration.", true);
  }
  PgConnection connection = PgConnect(*config.connection_string);
  if (!PgConnected(connection.get())) {
    Fail("Failed to connect to PostgreSQL: " + PgErrorMessage(connection.get()), false);
  }
  // Quoted exactly as given: the server takes the name with its case, and the escaping
  // keeps any quote character in the name from ending the identifier.
  const std::string table = QuoteIdentifier(connection.get(), *config.table_name);
  PgOutcome outcome =
      PgExec(connection.get(), "SELECT index_name FROM " + table + ";", PGRES_TUPLES_OK);
  if (!outcome.ok) Fail("Failed to execute query: " + outcome.error, false);

  std::vector<std::string> names;
  for (int row = 0; row < outcome.rows(); ++row) {
    const std::string name = PgText(outcome.result.get(), row, 0);
    if (name.size() > kConfigRecordSuffix.size() && name.ends_with(kConfigRecordSuffix)) {
      names.push_back(name.substr(0, name.size() - kConfigRecordSuffix.size()));
    }
  }
  return names;
}

}  // namespace ombrix_encrypted_index::internal::backing_store
