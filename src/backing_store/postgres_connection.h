// libpq handles owned by std::unique_ptr, and the one place where libpq's result status,
// error text and SQLSTATE are read. Callers turn a failed PgOutcome into their own message.
// A connection is used by one thread at a time (libpq's rule); these helpers add no lock.
#pragma once

#include <libpq-fe.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ombrix_encrypted_index::internal::backing_store {

struct PgConnDeleter {
  void operator()(PGconn* connection) const noexcept { PQfinish(connection); }
};
struct PgResultDeleter {
  void operator()(PGresult* result) const noexcept { PQclear(result); }
};
using PgConnection = std::unique_ptr<PGconn, PgConnDeleter>;
using PgResult = std::unique_ptr<PGresult, PgResultDeleter>;

inline constexpr int kTextFormat = 0;
inline constexpr int kBinaryFormat = 1;

// Every session PgConnect opens holds this advisory lock shared, for its whole life (taken
// again on every reconnect): how the server tells this library's sessions from other
// applications' whatever `application_name` they carry. pg_locks shows it as classid
// kSessionMarkerClass, objid kSessionMarkerKey, objsubid 2. Nothing may release all of a
// session's advisory locks (pg_advisory_unlock_all, DISCARD ALL): it would drop the marker.
inline constexpr int32_t kSessionMarkerClass = 1869439608;  // "ombx"
inline constexpr int32_t kSessionMarkerKey = 1;

// SQLSTATEs the keystore reacts to.
inline constexpr std::string_view kDuplicateTable = "42P07";
inline constexpr std::string_view kUniqueViolation = "23505";
inline constexpr std::string_view kDuplicateObject = "42710";  // e.g. a table's row type
inline constexpr std::string_view kLockNotAvailable = "55P03";  // lock_timeout

// Parameters of one statement. Holds pointers only: the bytes must outlive the statement.
class PgParams {
 public:
  void Reserve(size_t count);
  void AddText(std::string_view text);
  // An empty value still gets a non-null pointer: a null one would mean SQL NULL.
  void AddBinary(std::span<const uint8_t> bytes);
  int size() const { return static_cast<int>(values_.size()); }
  const char* const* values() const { return values_.data(); }
  const int* lengths() const { return lengths_.data(); }
  const int* formats() const { return formats_.data(); }

 private:
  std::vector<const char*> values_;
  std::vector<int> lengths_;
  std::vector<int> formats_;
};

// What one statement came to. `error` is libpq's message of the connection without its
// trailing newline; `sqlstate` is empty when libpq reported none (e.g. a lost connection).
struct PgOutcome {
  PgResult result;  // null only when libpq could not produce a result at all
  bool ok = false;  // the result status is the one the statement should give
  std::string error;
  std::string sqlstate;
  // The first session's answer was lost and the statement was sent again on a new one:
  // the first run may have committed, so a compare-and-set that matched nothing now may
  // have matched then. Its caller reads back what it meant to leave.
  bool sent_again = false;

  int rows() const { return result ? PQntuples(result.get()) : 0; }
};

// Never null: libpq returns a handle even for a failed connection (check PgConnected).
// Unless the connection string says otherwise, connecting may take 5 s (connect_timeout)
// and a statement 30 s (a session without a statement_timeout of its own, e.g. from
// options='-c statement_timeout=...', gets SET statement_timeout = 30000); the client
// waits for an answer 2 s longer than the session's statement_timeout. A non-zero
// `hold_lease_ms` is for a session that may hold session locks: the server ends it once
// idle that long, idle that long in a transaction, or (12 and later) unable to deliver to
// a client for that long; before 14, keepalives at a quarter of it end one whose peer
// vanished. Set with the statement_timeout, again on every reconnect. Throws
// ServerUnreachable when the new session does not answer those settings in time.
PgConnection PgConnect(const std::string& conninfo, uint64_t hold_lease_ms = 0);
bool PgConnected(const PGconn* connection);
// libpq's error message of the connection, trailing newline removed. Every secret of the
// connection string given to PgConnect is masked in it (ConnectionSecrets), as in every
// text below that comes from libpq.
std::string PgErrorMessage(const PGconn* connection);

// "host:port" of the connection, for messages.
std::string PgServerAddress(const PGconn* connection);

// The options of the connection that act on this side of it (TLS, keepalives, time
// limits: "name=value" lines, as libpq took them), leaving out what the server's own
// answers tell (host, port, database, user, startup options, application name) and the
// secrets. Two connections with equal lines behave alike on the client side.
std::string PgClientSideOptions(PGconn* connection);

// The options a connection string gives, "name=value" lines in libpq's order: strings
// spelled apart (another order, spacing, quoting, a URI) that give the same options open
// alike. A string libpq cannot parse comes back as it is.
std::string PgConninfoOptions(const std::string& conninfo);

// The statement functions below reconnect first when the connection broke since the last
// statement outside a transaction (PQreset: the same parameters), and throw
// ServerUnreachable when that fails or when the server does not answer within the
// connection's wait limit (the connection is then shut). A session the server ended for
// idleness is opened again without a WARNING, and a statement it refused as it ended one
// is sent again on the new session (the server ran none of it). So is a statement outside a
// transaction whose session an administrator ended (pg_terminate_backend) before any of its
// answer came: what it did went with its transaction. Its connection may also have dropped
// after the server committed it, before the answer came: its outcome then says sent_again,
// and a statement prepared on the old session goes as text on the new one. A statement the
// server stopped at statement_timeout or lock_timeout throws ServerTimeLimit naming the
// server, with the server's text, after rolling back the transaction it ran in (the session
// stays usable).
// While `keep` is set, a broken connection is not opened again: its session held locks
// that a new session would not hold, and the statement throws HoldLostError instead. Its
// text says what the session held (`held`, e.g. "index 'docs' for this upsert") and what
// the caller can do (`advice`).
void PgKeepSession(PGconn* connection, bool keep, const std::string& held = {},
                   const std::string& advice = {});
// Whether the connection broke since its last statement: the server ended the session
// (its last message is read here), or this client gave up waiting on it. Never connects.
bool PgSessionLost(PGconn* connection);

// A ROLLBACK, unless the connection broke (its transaction is gone with it).
void PgRollbackIfOpen(PGconn* connection);

// Plain statement (several statements allowed by libpq: never splice caller text in).
PgOutcome PgExec(PGconn* connection, const std::string& sql, ExecStatusType expected);
PgOutcome PgExecParams(PGconn* connection, const std::string& sql, const PgParams& params,
                       int result_format, ExecStatusType expected);
PgOutcome PgPrepare(PGconn* connection, const std::string& name, const std::string& sql,
                    int param_count);
// PgExecParams for a statement run often: the session parses and plans it once, at its
// first run on that session (again on a session opened anew), and then only binds it.
// The text must name its parameters' types where the server cannot infer them.
PgOutcome PgExecPrepared(PGconn* connection, const std::string& sql, const PgParams& params, int result_format,
                         ExecStatusType expected);
// PgExecPrepared in two halves, so that the caller works while the server answers:
// PgSendPrepared sends it (preparing it first, in a round trip of its own, when the session
// does not know it yet), and the next call on the connection must be PgReceive, which
// answers as PgExecPrepared would (a send that failed is answered there too). The
// parameters are texts the statement owns. PgReceive waits the connection's whole limit
// from its own call, not from the send's.
struct PgSentStatement {
  std::string sql;
  std::vector<std::string> texts;
  std::string name;  // of the prepared statement on the session it was sent on
  int result_format = 0;
  ExecStatusType expected = PGRES_TUPLES_OK;
  std::optional<PgOutcome> failed;
};
PgSentStatement PgSendPrepared(PGconn* connection, std::string sql, std::vector<std::string> texts,
                               int result_format, ExecStatusType expected);
PgOutcome PgReceive(PGconn* connection, PgSentStatement& sent);
// PgExec for a statement that waits for a lock under a lock_timeout of its own: a lock not
// granted in time is an answer, not a failure. It comes back as an outcome with ok false
// and sqlstate kLockNotAvailable, nothing is logged, and its transaction is rolled back.
PgOutcome PgExecAwaitingLock(PGconn* connection, const std::string& sql, ExecStatusType expected);
// PgExecParams, with a lock not granted in time an answer as in PgExecAwaitingLock.
PgOutcome PgExecParamsAwaitingLock(PGconn* connection, const std::string& sql, const PgParams& params,
                                   int result_format, ExecStatusType expected);
// The session's statement_timeout as the connection read it (the default one when the
// session had none): what a caller that waits in several attempts may spend in all.
int64_t PgStatementLimitMs(const PGconn* connection);

// Reading one cell of a result (row and column must exist).
bool PgIsNull(const PGresult* result, int row, int column);
std::string PgText(const PGresult* result, int row, int column);
std::vector<uint8_t> PgBytes(const PGresult* result, int row, int column);

// Table names the keystore accepts: [a-z_][a-z0-9_]*, at most 63 bytes, so the server
// never folds or truncates them and quoted and unquoted forms name the same table.
// Throws std::invalid_argument otherwise.
void ValidateTableName(const std::string& name);
// The identifier in double quotes, escaped by libpq. Throws std::runtime_error when libpq
// refuses (invalid encoding).
std::string QuoteIdentifier(PGconn* connection, const std::string& name);

}  // namespace ombrix_encrypted_index::internal::backing_store
