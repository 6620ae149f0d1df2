#include "backing_store/postgres_connection.h"

#include <new>
#include <stdexcept>

#include "diagnostics/logger.h"

namespace ombrix_encrypted_index::internal::backing_store {

namespace {

constexpr size_t kMaxIdentifierBytes = 63;  // the server truncates longer names

struct PgFreeDeleter {
  void operator()(char* text) const noexcept { PQfreemem(text); }
};

std::string TrimNewline(const char* text) {
  std::string message = text != nullptr ? text : "";
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
    message.pop_back();
  }
  return message;
}

// The single translation of a libpq result into success, error text and SQLSTATE.
PgOutcome Translate(PGconn* connection, PGresult* raw, ExecStatusType expected) {
  PgOutcome outcome;
  outcome.result.reset(raw);
  outcome.ok = raw != nullptr && PQresultStatus(raw) == expected;
  if (!outcome.ok) {
    outcome.error = PgErrorMessage(connection);
    if (outcome.error.empty() && raw != nullptr) {
      outcome.error = TrimNewline(PQresultErrorMessage(raw));
    }
    if (raw != nullptr) {
      const char* state = PQresultErrorField(raw, PG_DIAG_SQLSTATE);
      if (state != nullptr) outcome.sqlstate = state;
    }
  }
  return outcome;
}

// Server notices and warnings go to the Logger rather than straight to standard error.
void LogNotice(void*, const char* message) {
  ombrix::InternalLogger().warning(TrimNewline(message));
}

}  // namespace

void PgParams::Reserve(size_t count) {
  values_.reserve(count);
  lengths_.reserve(count);
  formats_.reserve(count);
}

void PgParams::AddText(std::string_view text) {
  values_.push_back(text.data());
  lengths_.push_back(static_cast<int>(text.size()));
  formats_.push_back(kTextFormat);
}

void PgParams::AddBinary(std::span<const uint8_t> bytes) {
  static const char kEmpty[] = "";
  values_.push_back(bytes.empty() ? kEmpty : reinterpret_cast<const char*>(bytes.data()));
  lengths_.push_back(static_cast<int>(bytes.size()));
  formats_.push_back(kBinaryFormat);
}

PgConnection PgConnect(const std::string& conninfo) {
  PgConnection connection(PQconnectdb(conninfo.c_str()));
  if (!connection) throw std::bad_alloc();
  PQsetNoticeProcessor(connection.get(), LogNotice, nullptr);
  return connection;
}

bool PgConnected(const PGconn* connection) {
  return connection != nullptr && PQstatus(connection) == CONNECTION_OK;
}

std::string PgErrorMessage(const PGconn* connection) {
  return TrimNewline(PQerrorMessage(connection));
}

PgOutcome PgExec(PGconn* connection, const std::string& sql, ExecStatusType expected) {
  return Translate(connection, PQexec(connection, sql.c_str()), expected);
}

PgOutcome PgExecParams(PGconn* connection, const std::string& sql, const PgParams& params,
                       int result_format, ExecStatusType expected) {
  PGresult* raw = PQexecParams(connection, sql.c_str(), params.size(), nullptr, params.values(),
                               params.lengths(), params.formats(), result_format);
  return Translate(connection, raw, expected);
}

PgOutcome PgPrepare(PGconn* connection, const std::string& name, const std::string& sql,
                    int param_count) {
  return Translate(connection, PQprepare(connection, name.c_str(), sql.c_str(), param_count, nullptr),
                   PGRES_COMMAND_OK);
}

bool PgIsNull(const PGresult* result, int row, int column) {
  return PQgetisnull(result, row, column) != 0;
}

std::string PgText(const PGresult* result, int row, int column) {
  return std::string(PQgetvalue(result, row, column),
                     static_cast<size_t>(PQgetlength(result, row, column)));
}

std::vector<uint8_t> PgBytes(const PGresult* result, int row, int column) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(PQgetvalue(result, row, column));
  return std::vector<uint8_t>(bytes, bytes + PQgetlength(result, row, column));
}

void ValidateTableName(const std::string& name) {
  bool valid = !name.empty() && name.size() <= kMaxIdentifierBytes &&
               !(name[0] >= '0' && name[0] <= '9');
  for (char c : name) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) valid = false;
  }
  if (!valid) {
    throw std::invalid_argument("Invalid table name '" + name +
                                "': use a lower-case identifier ([a-z_][a-z0-9_]*, at most 63 "
                                "bytes)");
  }
}

std::string QuoteIdentifier(PGconn* connection, const std::string& name) {
  std::unique_ptr<char, PgFreeDeleter> quoted(
      PQescapeIdentifier(connection, name.c_str(), name.size()));
  if (!quoted) {
    throw std::runtime_error("Failed to quote identifier: " + PgErrorMessage(connection));
  }
  return std::string(quoted.get());
}

}  // namespace ombrix_encrypted_index::internal::backing_store
