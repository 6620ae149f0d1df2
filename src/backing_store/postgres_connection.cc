#include "backing_store/postgres_connection.h"

#include <libpq-events.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <new>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "backing_store/connection_secrets.h"
#include "backing_store/server_errors.h"
#include "diagnostics/logger.h"
#include "diagnostics/openssl_thread.h"

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

// libpq's text without the statement excerpt it adds for an error with a position ("LINE 2:
// ..." and a caret line under it): texts that reach a caller quote no SQL.
std::string WithoutStatementExcerpt(const std::string& text) {
  std::string kept;
  bool caret_may_follow = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string_view line(text.data() + start, end - start);
    const size_t digits = line.starts_with("LINE ") ? line.find_first_not_of("0123456789", 5) : 0;
    const bool excerpt = digits > 5 && digits != std::string_view::npos && line[digits] == ':';
    const bool caret = caret_may_follow && line.find_first_not_of(' ') != std::string_view::npos &&
                       line.find_first_not_of(" ^") == std::string_view::npos;
    if (!excerpt && !caret) {
      if (!kept.empty()) kept += '\n';
      kept += line;
    }
    caret_may_follow = excerpt;
    start = end + 1;
  }
  return kept;
}

// SQLSTATEs of a statement the server stopped at a time limit (statement_timeout; a lock
// not granted within lock_timeout).
constexpr std::string_view kQueryCanceled = "57014";
// The server ended a session idle for its idle_session_timeout.
constexpr std::string_view kIdleSessionTimeout = "57P05";
// A prepared statement the session does not know (it is a new session, or was told to
// forget): nothing of it ran.
constexpr std::string_view kUnknownStatement = "26000";

bool StoppedAtTimeLimit(const PgOutcome& outcome) {
  return !outcome.ok &&
         (outcome.sqlstate == kQueryCanceled || outcome.sqlstate == kLockNotAvailable);
}

// libpq's defaults, which the caller's connection string overrides key by key.
constexpr char kDefaultConnectTimeout[] = "5";  // seconds (libpq's own minimum is 2)
constexpr int64_t kDefaultStatementMs = 30000;
// The server cancels a statement at statement_timeout and says so; the client waits this
// much longer before it gives up on a server that does not answer at all.
constexpr int64_t kClientGraceMs = 2000;

// How the server shows this library's sessions, unless the user named them otherwise.
constexpr char kApplicationName[] = "ombrixdb";

// What this code keeps with a libpq connection, as its instance data: made by PgConnect,
// freed by libpq's destroy event when the connection is finished.
struct SessionNotes {
  int64_t wait_limit_ms = kDefaultStatementMs + kClientGraceMs;  // how long a command may wait
  // libpq's messages can quote parts of the connection string (a host or database name
  // that a secret's unencoded '@' became, a URI inside a quoted dbname): none may leave.
  std::vector<std::string> secrets;
  // Session locks are held: a new session would silently hold none of them.
  bool keeps_session = false;
  std::string held;    // what they hold, for the text of a lost session
  std::string advice;  // what the caller can do then
  // Non-zero: the session may hold session locks, and ends itself once silent this long.
  uint64_t hold_lease_ms = 0;
  bool ended_idle = false;  // the server said it ended the session for idleness
  bool gave_up = false;     // this client stopped waiting; the server may still hold the session
  // The last statement sent began outside a transaction, and none of its answer came before
  // its last result: an administrator's end of the session then undid all of it.
  bool undone_if_ended = false;
  // Statements prepared on this session, by their text: the name each was given. A new
  // session starts with none.
  std::unordered_map<std::string, std::string> prepared;
  uint64_t statements_named = 0;
};

int SessionNotesEvent(PGEventId event, void* info, void*) {
  if (event == PGEVT_CONNDESTROY) {
    const PGconn* connection = static_cast<PGEventConnDestroy*>(info)->conn;
    std::unique_ptr<SessionNotes> released(
        static_cast<SessionNotes*>(PQinstanceData(connection, SessionNotesEvent)));
  }
  return 1;
}

SessionNotes* NotesOf(const PGconn* connection) {
  return static_cast<SessionNotes*>(PQinstanceData(connection, SessionNotesEvent));
}

// A text of libpq's with the connection string's secrets masked.
std::string Masked(const PGconn* connection, const std::string& text) {
  const SessionNotes* notes = NotesOf(connection);
  return notes != nullptr ? MaskSecrets(text, notes->secrets) : text;
}

// The single translation of a libpq result into success, error text and SQLSTATE.
PgOutcome Translate(PGconn* connection, PGresult* raw, ExecStatusType expected) {
  PgOutcome outcome;
  outcome.result.reset(raw);
  outcome.ok = raw != nullptr && PQresultStatus(raw) == expected;
  if (!outcome.ok) {
    outcome.error = PgErrorMessage(connection);
    if (outcome.error.empty() && raw != nullptr) {
      outcome.error = Masked(connection, WithoutStatementExcerpt(TrimNewline(PQresultErrorMessage(raw))));
    }
    if (raw != nullptr) {
      const char* state = PQresultErrorField(raw, PG_DIAG_SQLSTATE);
      if (state != nullptr) outcome.sqlstate = state;
    }
    if (outcome.sqlstate == kQueryCanceled || outcome.sqlstate == kLockNotAvailable) {
      outcome.error = "PostgreSQL server " + PgServerAddress(connection) +
                      " stopped the statement at its time limit: " + outcome.error;
    }
  }
  return outcome;
}

int64_t WaitLimitMs(const PGconn* connection) {
  const SessionNotes* notes = NotesOf(connection);
  return notes != nullptr ? notes->wait_limit_ms : kDefaultStatementMs + kClientGraceMs;
}

void ApplySessionLimits(PGconn* connection);

// Waits until the socket is ready for `events` or the deadline passes; false when it was
// not ready at the deadline. A socket that is ready already is never given up on, however
// late the caller came to read it.
bool WaitForSocket(PGconn* connection, short events,
                   std::chrono::steady_clock::time_point deadline) {
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd ready{PQsocket(connection), events, 0};
    const int n = poll(&ready, 1, static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT32_MAX)));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return true;  // libpq's next call reports the failure
    if (n == 0 && left.count() <= 0) return false;
  }
}

// A server past the wait limit: the connection is shut, so its late answer can never be
// read as the reply to a later statement, and the next statement connects again.
[[noreturn]] void GiveUpWaiting(PGconn* connection) {
  std::ostringstream message;
  message << "PostgreSQL server " << PgServerAddress(connection) << " did not answer within "
          << static_cast<double>(WaitLimitMs(connection)) / 1000.0 << " s (command time-out)";
  if (SessionNotes* notes = NotesOf(connection)) notes->gave_up = true;
  shutdown(PQsocket(connection), SHUT_RDWR);
  PQconsumeInput(connection);  // libpq sees the end of the stream: CONNECTION_BAD
  ombrix::InternalLogger().error(message.str());
  throw ServerUnreachable(message.str());
}

// A session that held locks is gone for this client: nothing may go on as if this
// connection still held them. Ended by the server, its locks ended with it; given up by
// this client on a silent connection, the server may hold them until it ends the session.
void ThrowIfSessionHeld(PGconn* connection, const std::string& why) {
  const SessionNotes* notes = NotesOf(connection);
  if (notes == nullptr || !notes->keeps_session) return;
  const std::string held = notes->held.empty() ? std::string("the index") : notes->held;
  const std::string because = why.empty() ? std::string() : " (" + why + ")";
  const bool gave_up = notes->gave_up || PQtransactionStatus(connection) == PQTRANS_ACTIVE;
  const std::string message =
      "The session with PostgreSQL server " + PgServerAddress(connection) + " that held " + held +
      (gave_up ? " stopped answering and this process gave up on it" + because +
                     ": the hold is lost to this process, and ends on the server with the session"
               : " ended" + because + ", and its hold with it") +
      (notes->advice.empty() ? std::string() : ": " + notes->advice);
  ombrix::InternalLogger().error(message);
  throw HoldLostError(message);
}

// True when the connection broke since its last statement. An idle connection with
// something to read has been closed by the server; inside a transaction nothing is
// checked, so a transaction is never silently continued on a new session.
bool BrokenSinceLastStatement(PGconn* connection) {
  if (PQstatus(connection) == CONNECTION_OK &&
      PQtransactionStatus(connection) == PQTRANS_IDLE) {
    // A server that ends a session sends its last message, then closes: read until the
    // end shows (or nothing more is there).
    pollfd idle{PQsocket(connection), POLLIN, 0};
    for (int reads = 0; reads < 8 && poll(&idle, 1, 0) > 0; ++reads) {
      if (PQconsumeInput(connection) == 0) break;
    }
    PQisBusy(connection);  // parses what came: the server's last message reaches LogNotice
  }
  // Still busy with an earlier statement: one this client gave up waiting for.
  const bool abandoned = PQtransactionStatus(connection) == PQTRANS_ACTIVE;
  return PQstatus(connection) != CONNECTION_OK || abandoned;
}

// Before a statement: a connection that broke since the last one is opened again (same
// parameters, so the same TLS and limits).
void ReconnectIfBroken(PGconn* connection) {
  if (!BrokenSinceLastStatement(connection)) return;
  ThrowIfSessionHeld(connection, "");
  SessionNotes* notes = NotesOf(connection);
  const std::string line = "Reconnecting to PostgreSQL server " + PgServerAddress(connection);
  // A session that held nothing loses nothing when the server ends it for idleness.
  if (notes != nullptr && notes->ended_idle) {
    ombrix::InternalLogger().info(line + ": it ended this idle session");
  } else {
    ombrix::InternalLogger().warning(line);
  }
  if (notes != nullptr) {
    notes->ended_idle = notes->gave_up = false;
    notes->prepared.clear();
  }
  PQreset(connection);
  if (PQstatus(connection) != CONNECTION_OK) {
    const std::string message = "PostgreSQL server " + PgServerAddress(connection) +
                                " could not be reached again: " + PgErrorMessage(connection);
    ombrix::InternalLogger().error(message);
    throw ServerUnreachable(message);
  }
  ApplySessionLimits(connection);  // a new session: its settings start afresh
}

// Sends one statement with send(connection) and flushes it, leaving the connection
// non-blocking. nullopt: it is on its way; otherwise the failure's outcome.
template <typename Send>
std::optional<PgOutcome> SendStatement(PGconn* connection, ExecStatusType expected, Send send,
                                       std::chrono::steady_clock::time_point deadline) {
  if (SessionNotes* notes = NotesOf(connection)) {
    notes->undone_if_ended = PQtransactionStatus(connection) == PQTRANS_IDLE;
  }
  if (PQsetnonblocking(connection, 1) != 0 || send(connection) == 0) {
    return Translate(connection, nullptr, expected);
  }
  int flushed;
  while ((flushed = PQflush(connection)) == 1) {
    if (!WaitForSocket(connection, POLLIN | POLLOUT, deadline)) GiveUpWaiting(connection);
    if (PQconsumeInput(connection) == 0) return Translate(connection, nullptr, expected);
  }
  if (flushed < 0) return Translate(connection, nullptr, expected);
  return std::nullopt;
}

// Collects the last result of the statement sent, never waiting past the deadline.
PgOutcome ReceiveStatement(PGconn* connection, ExecStatusType expected,
                           std::chrono::steady_clock::time_point deadline) {
  PgResult last;
  while (true) {
    while (PQisBusy(connection) != 0) {
      if (!WaitForSocket(connection, POLLIN, deadline)) GiveUpWaiting(connection);
      if (PQconsumeInput(connection) == 0) return Translate(connection, last.release(), expected);
    }
    PGresult* next = PQgetResult(connection);
    if (next == nullptr) break;
    if (last != nullptr) {
      if (SessionNotes* notes = NotesOf(connection)) notes->undone_if_ended = false;
    }
    last.reset(next);
  }
  return Translate(connection, last.release(), expected);
}

PgParams TextParams(const std::vector<std::string>& texts) {
  PgParams params;
  params.Reserve(texts.size());
  for (const std::string& text : texts) params.AddText(text);
  return params;
}

// Whether the connection's current session prepared `sql` as `name`. One opened anew since
// the name was looked up knows no name of the old one: a statement sent again there goes
// as text instead.
bool SessionKnows(const PGconn* connection, const std::string& sql, const std::string& name) {
  const SessionNotes* notes = NotesOf(connection);
  if (notes == nullptr || name.empty()) return false;
  const auto known = notes->prepared.find(sql);
  return known != notes->prepared.end() && known->second == name;
}

int SendSent(PGconn* connection, const PgSentStatement& sent) {
  const PgParams params = TextParams(sent.texts);
  if (!SessionKnows(connection, sent.sql, sent.name)) {
    return PQsendQueryParams(connection, sent.sql.c_str(), params.size(), nullptr, params.values(),
                             params.lengths(), params.formats(), sent.result_format);
  }
  return PQsendQueryPrepared(connection, sent.name.c_str(), params.size(), params.values(), params.lengths(),
                             params.formats(), sent.result_format);
}

struct BlockingAgain {
  PGconn* connection;
  ~BlockingAgain() { PQsetnonblocking(connection, 0); }
};

std::chrono::steady_clock::time_point DeadlineOf(PGconn* connection) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(WaitLimitMs(connection));
}

// Sends one statement with send(connection) and collects its last result, never waiting
// past the connection's limit (the connection is non-blocking while it runs).
template <typename Send>
PgOutcome Collect(PGconn* connection, ExecStatusType expected, Send send) {
  ReconnectIfBroken(connection);
  const auto deadline = DeadlineOf(connection);
  BlockingAgain restore{connection};
  if (std::optional<PgOutcome> failed = SendStatement(connection, expected, send, deadline)) {
    return std::move(*failed);
  }
  return ReceiveStatement(connection, expected, deadline);
}

// A statement the server stopped at its time limit ends the call: the same statement would
// wait as long again. Its transaction cannot go on, so it is rolled back here, which keeps
// the session usable and lets callers treat it as the transaction of a lost connection.
[[noreturn]] void GiveUpAtTimeLimit(PGconn* connection, const std::string& message) {
  if (PQtransactionStatus(connection) == PQTRANS_INERROR) {
    PgExec(connection, "ROLLBACK", PGRES_COMMAND_OK);
  }
  ombrix::InternalLogger().error(message);
  throw ServerTimeLimit(message);
}

enum class LockWait { kFailure, kAnswer };

// What a statement's first outcome comes to: a session the server ended for idleness as
// the statement reached it ran none of it, and one that held nothing is opened again for
// it; a lock not granted in time is an answer where the caller asks for one. So is a
// session an administrator ended, when the statement began outside a transaction and no
// part of its answer came first: ended before the statement came, the session read none
// of it, and ended while running it, the statement's own transaction went with it (an
// answer that came first may be a COMMIT's, done already).
template <typename Send>
PgOutcome Settle(PGconn* connection, ExecStatusType expected, Send send, PgOutcome outcome,
                 LockWait lock_wait) {
  if (!outcome.ok && PQstatus(connection) != CONNECTION_OK) {
    ThrowIfSessionHeld(connection, outcome.error);
    SessionNotes* notes = NotesOf(connection);
    const bool undone = notes != nullptr && notes->undone_if_ended;
    if (outcome.sqlstate == kIdleSessionTimeout || undone) {
      const bool ran_none = outcome.sqlstate == kIdleSessionTimeout;
      if (notes != nullptr && ran_none) notes->ended_idle = true;
      outcome = Collect(connection, expected, send);
      outcome.sent_again = !ran_none;
    }
  }
  if (lock_wait == LockWait::kAnswer && outcome.sqlstate == kLockNotAvailable) {
    if (PQtransactionStatus(connection) == PQTRANS_INERROR) {
      PgExec(connection, "ROLLBACK", PGRES_COMMAND_OK);
    }
    return outcome;
  }
  if (StoppedAtTimeLimit(outcome)) GiveUpAtTimeLimit(connection, outcome.error);
  return outcome;
}

template <typename Send>
PgOutcome Run(PGconn* connection, ExecStatusType expected, Send send,
              LockWait lock_wait = LockWait::kFailure) {
  return Settle(connection, expected, send, Collect(connection, expected, send), lock_wait);
}

// The settings that end the session of a holder gone silent (a stopped process, a network
// that dropped it without a word), as more columns of a SELECT. The server ends a session
// idle for a lease, or idle in a transaction that long; the user timeout ends one whose
// peer vanished or stopped reading while the server sent to it. A server without an idle
// session limit learns of a vanished peer from keepalives instead (a stopped one it cannot
// tell from a live one). A live holder renews with a statement every quarter of a lease.
std::string HoldLimitColumns(int server_version, uint64_t lease_ms) {
  const std::string ms = std::to_string(lease_ms);
  std::vector<std::pair<std::string, std::string>> limits = {{"idle_in_transaction_session_timeout", ms}};
  if (server_version >= 120000) limits.emplace_back("tcp_user_timeout", ms);
  if (server_version >= 140000) {
    limits.emplace_back("idle_session_timeout", ms);
  } else {
    const std::string s = std::to_string(std::max<uint64_t>(1, lease_ms / 4000));
    limits.emplace_back("tcp_keepalives_idle", s);
    limits.emplace_back("tcp_keepalives_interval", s);
    limits.emplace_back("tcp_keepalives_count", "3");
  }
  std::string columns;
  for (const auto& [name, value] : limits) columns += ", set_config('" + name + "', '" + value + "', false)";
  return columns;
}

// A session without a statement_timeout of its own (from the connection string's options,
// the role or the database) gets the default one, set after connecting rather than as a
// startup option, which connection poolers may refuse. The client's wait limit follows.
// The session takes its marker in the same round trip, and one that may hold locks the
// limits of its lease too: set once for the session's life, since one that holds nothing
// loses nothing when the server ends it (the next statement opens a new one), and every
// statement that took or gave back a hold paid for setting them. The marker is tried, never
// waited for: another application holding that key exclusively cannot stop a connection,
// and a session without it is one no other process of ours ends.
void ApplySessionLimits(PGconn* connection) {
  const std::string current =
      "SELECT (EXTRACT(EPOCH FROM current_setting('statement_timeout')::interval) * 1000)::bigint, "
      "pg_try_advisory_lock_shared(" + std::to_string(kSessionMarkerClass) + ", " +
      std::to_string(kSessionMarkerKey) + ")";
  const SessionNotes* notes = NotesOf(connection);
  PgOutcome shown;
  if (notes != nullptr && notes->hold_lease_ms > 0) {
    shown = PgExec(connection, current + HoldLimitColumns(PQserverVersion(connection), notes->hold_lease_ms),
                   PGRES_TUPLES_OK);
    if (!shown.ok) {
      ombrix::InternalLogger().warning(
          "PostgreSQL server " + PgServerAddress(connection) +
          " refused the time limits after which it ends a session whose process stopped answering (" +
          shown.error + "). Work goes on, but a process stopped while it writes, trains or deletes "
          "can hold the others back until it goes on or exits: let this role set "
          "idle_in_transaction_session_timeout, idle_session_timeout and tcp_user_timeout");
    }
  }
  if (!shown.ok) shown = PgExec(connection, current, PGRES_TUPLES_OK);
  const bool read = shown.ok && shown.rows() == 1;
  int64_t statement_ms = read ? std::stoll(PgText(shown.result.get(), 0, 0)) : 0;
  if (read && PgText(shown.result.get(), 0, 1) != "t") {
    ombrix::InternalLogger().warning(
        "PostgreSQL server " + PgServerAddress(connection) + " did not grant this session the advisory lock (" +
        std::to_string(kSessionMarkerClass) + ", " + std::to_string(kSessionMarkerKey) +
        ") by which other processes of this library know it as theirs: another application holds it "
        "exclusively. Should this process stop while it holds an index, the others wait for the server's "
        "limits to end its session. To have it granted, find the session that holds it (pg_locks: "
        "locktype 'advisory', classid " + std::to_string(kSessionMarkerClass) + ", objid " +
        std::to_string(kSessionMarkerKey) + ") and let its application use another key, then connect again");
  }
  if (statement_ms <= 0) {
    statement_ms = kDefaultStatementMs;
    PgExec(connection, "SET statement_timeout = " + std::to_string(statement_ms), PGRES_COMMAND_OK);
  }
  if (SessionNotes* notes = NotesOf(connection)) notes->wait_limit_ms = statement_ms + kClientGraceMs;
}

// Server notices and warnings go to the Logger rather than straight to standard error. The
// server's word that it ended an idle session is no event in itself: a statement that finds
// the session gone says so if the session held anything.
void LogNotice(void* arg, const PGresult* notice) {
  const char* state = PQresultErrorField(notice, PG_DIAG_SQLSTATE);
  const std::string text = TrimNewline(PQresultErrorMessage(notice));
  if (state != nullptr && std::string_view(state) == kIdleSessionTimeout) {
    static_cast<SessionNotes*>(arg)->ended_idle = true;
    ombrix::InternalLogger().info(text);
    return;
  }
  ombrix::InternalLogger().warning(text);
}

// The name under which the session knows `sql`, prepared on it first when it does not;
// nullopt, with the server's answer in `refused`, when the server would not prepare it.
std::optional<std::string> PreparedOnSession(PGconn* connection, SessionNotes& notes, const std::string& sql,
                                             int param_count, PgOutcome& refused) {
  if (auto known = notes.prepared.find(sql); known != notes.prepared.end()) return known->second;
  std::string name = "ombrix_" + std::to_string(++notes.statements_named);
  refused = PgPrepare(connection, name, sql, param_count);
  if (!refused.ok) return std::nullopt;
  notes.prepared.emplace(sql, name);
  return name;
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

PgConnection PgConnect(const std::string& conninfo, uint64_t hold_lease_ms) {
  // The connection string comes last, so each of its keys overrides the default before it.
  // The application name is libpq's fallback: one the user gave (in the connection string,
  // or PGAPPNAME) stays theirs.
  const char* const keywords[] = {"connect_timeout", "fallback_application_name", "dbname", nullptr};
  const char* const values[] = {kDefaultConnectTimeout, kApplicationName, conninfo.c_str(), nullptr};
  ombrix::PrepareThreadForOpenSsl();  // libpq's TLS runs on this thread
  PgConnection connection(PQconnectdbParams(keywords, values, /*expand_dbname=*/1));
  if (!connection) throw std::bad_alloc();
  auto notes = std::make_unique<SessionNotes>();
  notes->secrets = ConnectionSecrets(conninfo);
  notes->hold_lease_ms = hold_lease_ms;
  if (PQregisterEventProc(connection.get(), SessionNotesEvent, "ombrix_session", nullptr) == 0 ||
      PQsetInstanceData(connection.get(), SessionNotesEvent, notes.get()) == 0) {
    throw std::bad_alloc();  // libpq refuses only when it cannot allocate
  }
  // The connection's now: freed by SessionNotesEvent, after the last notice.
  PQsetNoticeReceiver(connection.get(), LogNotice, notes.release());
  // The server's CONTEXT names its own internals (a tuple's place in a relation, a function's
  // line), which a caller can do nothing with; messages say what was waited for instead.
  PQsetErrorContextVisibility(connection.get(), PQSHOW_CONTEXT_NEVER);
  if (PgConnected(connection.get())) ApplySessionLimits(connection.get());
  return connection;
}

std::string PgServerAddress(const PGconn* connection) {
  const char* host = PQhost(connection);
  const char* port = PQport(connection);
  return Masked(connection,
                std::string(host != nullptr ? host : "") + ":" + (port != nullptr ? port : ""));
}

std::string PgClientSideOptions(PGconn* connection) {
  // Told by the server (who it is, where, as whom, with which settings), spelled in many
  // ways for one server, or secret.
  static constexpr std::string_view kServerSide[] = {
      "host", "hostaddr", "port", "dbname", "user", "password", "passfile", "service", "options",
      "application_name", "fallback_application_name", "sslpassword"};
  std::unique_ptr<PQconninfoOption, decltype(&PQconninfoFree)> options(PQconninfo(connection), PQconninfoFree);
  if (!options) throw std::bad_alloc();
  std::string lines;
  for (const PQconninfoOption* option = options.get(); option->keyword != nullptr; ++option) {
    const std::string_view keyword = option->keyword;
    if (std::find(std::begin(kServerSide), std::end(kServerSide), keyword) != std::end(kServerSide)) continue;
    if (option->val == nullptr || std::string_view(option->dispchar) == "*") continue;
    lines += std::string(keyword) + "=" + option->val + "\n";
  }
  return lines;
}

std::string PgConninfoOptions(const std::string& conninfo) {
  char* error = nullptr;
  std::unique_ptr<PQconninfoOption, decltype(&PQconninfoFree)> options(PQconninfoParse(conninfo.c_str(), &error),
                                                                      PQconninfoFree);
  PQfreemem(error);
  if (!options) return conninfo;
  std::string lines;
  for (const PQconninfoOption* option = options.get(); option->keyword != nullptr; ++option) {
    if (option->val != nullptr) lines += std::string(option->keyword) + "=" + option->val + "\n";
  }
  return lines;
}

void PgKeepSession(PGconn* connection, bool keep, const std::string& held, const std::string& advice) {
  SessionNotes* notes = NotesOf(connection);
  if (notes == nullptr) return;
  notes->keeps_session = keep;
  if (keep) {
    notes->held = held;
    notes->advice = advice;
  }
}

bool PgSessionLost(PGconn* connection) { return BrokenSinceLastStatement(connection); }

void PgRollbackIfOpen(PGconn* connection) {
  // A broken connection took its transaction with it; reconnecting only to roll back
  // nothing would wait on a server that is gone.
  if (PQstatus(connection) == CONNECTION_OK) PgExec(connection, "ROLLBACK", PGRES_COMMAND_OK);
}

bool PgConnected(const PGconn* connection) {
  return connection != nullptr && PQstatus(connection) == CONNECTION_OK;
}

std::string PgErrorMessage(const PGconn* connection) {
  return Masked(connection, WithoutStatementExcerpt(TrimNewline(PQerrorMessage(connection))));
}

PgOutcome PgExec(PGconn* connection, const std::string& sql, ExecStatusType expected) {
  return Run(connection, expected, [&](PGconn* c) { return PQsendQuery(c, sql.c_str()); });
}

PgOutcome PgExecParams(PGconn* connection, const std::string& sql, const PgParams& params,
                       int result_format, ExecStatusType expected) {
  return Run(connection, expected, [&](PGconn* c) {
    return PQsendQueryParams(c, sql.c_str(), params.size(), nullptr, params.values(),
                             params.lengths(), params.formats(), result_format);
  });
}

PgSentStatement PgSendPrepared(PGconn* connection, std::string sql, std::vector<std::string> texts,
                               int result_format, ExecStatusType expected) {
  PgSentStatement sent;
  sent.sql = std::move(sql);
  sent.texts = std::move(texts);
  sent.result_format = result_format;
  sent.expected = expected;
  ReconnectIfBroken(connection);
  if (SessionNotes* notes = NotesOf(connection)) {
    PgOutcome refused;
    std::optional<std::string> name =
        PreparedOnSession(connection, *notes, sent.sql, static_cast<int>(sent.texts.size()), refused);
    if (!name) {
      sent.failed = std::move(refused);
      return sent;
    }
    sent.name = std::move(*name);
  }
  try {
    sent.failed = SendStatement(connection, expected, [&](PGconn* c) { return SendSent(c, sent); },
                                DeadlineOf(connection));
  } catch (...) {
    PQsetnonblocking(connection, 0);
    throw;
  }
  return sent;
}

PgOutcome PgReceive(PGconn* connection, PgSentStatement& sent) {
  PgOutcome first;
  {
    BlockingAgain restore{connection};
    // The wait counts from here: the caller may have spent the statement's whole limit on
    // other stores meanwhile, and the server's answer, there long ago, is still good.
    first = sent.failed ? std::move(*sent.failed)
                        : ReceiveStatement(connection, sent.expected, DeadlineOf(connection));
  }
  PgOutcome outcome = Settle(connection, sent.expected, [&](PGconn* c) { return SendSent(c, sent); },
                             std::move(first), LockWait::kFailure);
  // Sent again on a session opened anew, which knows no prepared statement: none of it ran.
  if (!sent.name.empty() && outcome.sqlstate == kUnknownStatement &&
      PQtransactionStatus(connection) == PQTRANS_IDLE) {
    if (SessionNotes* notes = NotesOf(connection)) notes->prepared.erase(sent.sql);
    return PgExecPrepared(connection, sent.sql, TextParams(sent.texts), sent.result_format, sent.expected);
  }
  return outcome;
}

PgOutcome PgExecAwaitingLock(PGconn* connection, const std::string& sql, ExecStatusType expected) {
  return Run(connection, expected, [&](PGconn* c) { return PQsendQuery(c, sql.c_str()); },
             LockWait::kAnswer);
}

PgOutcome PgExecParamsAwaitingLock(PGconn* connection, const std::string& sql, const PgParams& params,
                                   int result_format, ExecStatusType expected) {
  return Run(
      connection, expected,
      [&](PGconn* c) {
        return PQsendQueryParams(c, sql.c_str(), params.size(), nullptr, params.values(), params.lengths(),
                                 params.formats(), result_format);
      },
      LockWait::kAnswer);
}

int64_t PgStatementLimitMs(const PGconn* connection) { return WaitLimitMs(connection) - kClientGraceMs; }

PgOutcome PgPrepare(PGconn* connection, const std::string& name, const std::string& sql,
                    int param_count) {
  return Run(connection, PGRES_COMMAND_OK, [&](PGconn* c) {
    return PQsendPrepare(c, name.c_str(), sql.c_str(), param_count, nullptr);
  });
}

PgOutcome PgExecPrepared(PGconn* connection, const std::string& sql, const PgParams& params, int result_format,
                         ExecStatusType expected) {
  SessionNotes* notes = NotesOf(connection);
  if (notes == nullptr) return PgExecParams(connection, sql, params, result_format, expected);
  for (int attempt = 0;; ++attempt) {
    PgOutcome refused;
    const std::optional<std::string> name = PreparedOnSession(connection, *notes, sql, params.size(), refused);
    if (!name) return refused;
    PgOutcome outcome = Run(connection, expected, [&](PGconn* c) {
      if (!SessionKnows(c, sql, *name)) {
        return PQsendQueryParams(c, sql.c_str(), params.size(), nullptr, params.values(), params.lengths(),
                                 params.formats(), result_format);
      }
      return PQsendQueryPrepared(c, name->c_str(), params.size(), params.values(), params.lengths(),
                                 params.formats(), result_format);
    });
    // The session was opened again before the statement (which forgets every prepared
    // one), or it forgot the statement: it ran none of it, so it is prepared once more.
    // Inside a transaction the error has ended it.
    if (outcome.sqlstate == kUnknownStatement && attempt == 0 &&
        PQtransactionStatus(connection) == PQTRANS_IDLE) {
      notes->prepared.erase(sql);
      continue;
    }
    return outcome;
  }
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
