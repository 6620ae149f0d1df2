// The holds of an index on PostgreSQL: session advisory locks taken, renewed, looked at and
// given back on the index store's session, the write fence that rides on them, and the look
// that ends the sessions of holders gone silent. The rows, records and maps are in
// postgres_keystore.cc.
#include <chrono>
#include <string>

#include "backing_store/postgres_keystore.h"
#include "backing_store/server_errors.h"
#include "backing_store/store_factory.h"
#include "diagnostics/logger.h"

namespace ombrix_encrypted_index::internal::backing_store {

using ombrix::InternalLogger;

namespace {
// How long one attempt at the writers' lock waits in the server's queue: while it waits,
// the server grants no new shared lock, so writers that keep coming cannot starve it.
// Local to the statements' own transaction (one query string, one transaction).
constexpr char kWritersWait[] = "SELECT set_config('lock_timeout', '2000', true); ";
// A writer holds the holders' lock shared for the moment of one statement, to see that no
// training or deletion was admitted: the admission waits that moment out rather than
// being turned away, and is refused when another holder keeps it this long.
constexpr char kAdmissionWait[] = "SELECT set_config('lock_timeout', '500', true); ";
// How often a take that is refused or waits looks for silent holders: a writer polls its
// take every 100 ms while a training holds the index.
constexpr auto kSilentHolderLookInterval = std::chrono::seconds(1);
}  // namespace

bool PostgresKeystore::AskLock(const std::string& sql) {
  PgOutcome outcome = PgExec(connection_.get(), sql, PGRES_TUPLES_OK);
  if (!outcome.ok || outcome.rows() != 1) {
    LogAndThrow("Failed to ask for a lock of index '" + index_name_ + "': " + outcome.error);
  }
  bool all = true;
  for (int column = 0; column < PQnfields(outcome.result.get()); ++column) {
    all = all && PgText(outcome.result.get(), 0, column) == "t";
  }
  return all;
}

bool PostgresKeystore::HoldsAny() const {
  return holds_writers_shared_ || holds_holders_ || holds_writers_exclusive_;
}

void PostgresKeystore::ForgetHolds() {
  holds_writers_shared_ = holds_holders_ = holds_writers_exclusive_ = false;
}

void PostgresKeystore::KeepSessionWhileHolding() {
  // A fenced write must never reach a new session either, whatever this store holds now.
  const bool keep = HoldsAny() || write_fence_.has_value();
  const bool shared = holds_writers_shared_ ||
                      (!HoldsAny() && write_fence_ && write_fence_->kind == HoldKind::kShared);
  PgKeepSession(connection_.get(), keep, shared ? lost_shared_[0] : lost_exclusive_[0],
                shared ? lost_shared_[1] : lost_exclusive_[1]);
}

void PostgresKeystore::SetWriteFence(std::optional<WriteFence> fence) {
  Keystore::SetWriteFence(fence);
  // On the holder's session, the holder keeps it: its fence is set first and cleared last.
  if (!fenced_by_other_) KeepSessionWhileHolding();
}

bool PostgresKeystore::FenceByHoldsOf(Keystore& holder_store) {
  auto* holder = dynamic_cast<PostgresKeystore*>(&holder_store);
  // Another session, even of the same server, commits what it was sent after the holder's
  // session ended: only the holder's own session ends with its locks.
  if (holder == nullptr || holder == this || is_config()) return false;
  if (connection_.session != holder->connection_.session) {
    if (!SameServerAs(*holder)) return false;
    JoinSessionOf(*holder);
  }
  return true;
}

bool PostgresKeystore::StillHeld(HoldKind kind) {
  std::vector<std::pair<int, const char*>> locks;
  if (kind == HoldKind::kShared) {
    if (holds_writers_shared_) locks.emplace_back(kWritersLock, "ShareLock");
  } else {
    if (holds_holders_) locks.emplace_back(kHoldersLock, "ExclusiveLock");
    if (holds_writers_exclusive_) locks.emplace_back(kWritersLock, "ExclusiveLock");
  }
  if (locks.empty()) return false;
  std::string which;
  for (const auto& [lock_class, mode] : locks) {
    which += (which.empty() ? "" : " OR ") + std::string("(classid = ") + std::to_string(lock_class) +
             " AND mode = '" + mode + "')";
  }
  try {
    return AskLock("SELECT count(*) = " + std::to_string(locks.size()) +
                   " FROM pg_locks WHERE locktype = 'advisory' AND pid = pg_backend_pid() AND "
                   "granted AND objsubid = 2 AND objid = " + LockObjid() + " AND (" + which + ")");
  } catch (const HoldLostError&) {
    return false;  // the session ended, and its locks with it
  }
}

std::string PostgresKeystore::LockObjid() const { return index_lock_objid_; }

bool PostgresKeystore::EndSilentHolders(uint64_t lease_ms) {
  const auto now = std::chrono::steady_clock::now();
  if (lease_ms == 0 || now - last_silent_holder_look_ < kSilentHolderLookInterval) return false;
  last_silent_holder_look_ = now;
  // A live holder renews with a statement every quarter of a lease, and a live client sends
  // a statement whole and ends a transaction it began without pausing. A session that has
  // stayed out of a statement, or in the middle of receiving one from its client, for a
  // lease while it holds the index (43, 44) or the maps' transaction lock of one of the
  // index's stores (42: a deletion or a compare-and-set) belongs to a process gone silent:
  // the server's idle limits miss a statement half sent, a session that ended for idleness
  // can sit on its locks while its last words wait for a client that no longer reads, and
  // a session opened without the limits has none. One still running a statement is left
  // alone. Only sessions that hold this library's marker are ours to end, whatever name
  // their process gave them: another application may use the same lock numbers for its own
  // ends. A role ends sessions of roles it is a member of, and a superuser's only when it is
  // one.
  const std::string database = "(SELECT oid FROM pg_database WHERE datname = current_database())";
  const std::string sql =
      "SELECT count(*) FILTER (WHERE pg_terminate_backend(a.pid)) FROM pg_stat_activity a "
      "WHERE a.pid IN (SELECT l.pid FROM pg_locks l WHERE l.locktype = 'advisory' AND l.granted AND "
      "l.database = " + database + " AND l.objsubid = 2 AND "
      "((l.classid IN (" + std::to_string(kHoldersLock) + ", " + std::to_string(kWritersLock) +
      ") AND l.objid = " + LockObjid() + ") OR (l.classid = " + std::to_string(kMapLock) +
      " AND l.objid IN (" + map_lock_objids_ + ")))) AND a.pid <> pg_backend_pid() AND "
      "a.pid IN (SELECT m.pid FROM pg_locks m WHERE m.locktype = 'advisory' AND m.granted AND m.database = " +
      database + " AND m.classid = " + std::to_string(kSessionMarkerClass) + " AND m.objid = " +
      std::to_string(kSessionMarkerKey) + " AND m.objsubid = 2) AND a.state_change < clock_timestamp() - "
      "interval '" + std::to_string(lease_ms) + " milliseconds' AND (a.state <> 'active' OR "
      "a.wait_event = 'ClientRead') AND pg_has_role(a.usesysid, 'USAGE') AND (NOT (SELECT rolsuper "
      "FROM pg_roles WHERE oid = a.usesysid) OR (SELECT rolsuper FROM pg_roles WHERE rolname = "
      "current_user))";
  PgOutcome ended;
  try {
    ended = PgExec(connection_.get(), sql, PGRES_TUPLES_OK);
  } catch (const ServerTimeLimit&) {
    return false;  // logged where it was stopped; the take answers as it would have
  }
  if (!ended.ok || ended.rows() != 1) {
    InternalLogger().warning("Failed to look for silent holders of index '" + index_name_ + "': " + ended.error);
    return false;
  }
  const std::string count = PgText(ended.result.get(), 0, 0);
  if (count == "0") return false;
  InternalLogger().warning("Ended " + count + " session(s) of PostgreSQL server " +
                           PgServerAddress(connection_.get()) + " that held index '" + index_name_ +
                           "' and were silent for more than a lease (" + std::to_string(lease_ms) +
                           " ms): their holders had stopped, or their connections had");
  return true;
}

void PostgresKeystore::PrepareToTake() {
  // A session that ended took its locks along: the hold is taken afresh, on a new session.
  if (HoldsAny() && PgSessionLost(connection_.get())) ForgetHolds();
  if (!HoldsAny()) PgKeepSession(connection_.get(), false);
}

HoldGrant PostgresKeystore::TakeHold(HoldKind kind, uint64_t holder, uint64_t lease_ms) {
  (void)holder;
  PrepareToTake();
  struct Keep {
    PostgresKeystore& store;
    ~Keep() { store.KeepSessionWhileHolding(); }
  } keep{*this};
  if (kind == HoldKind::kShared) {
    if (holds_writers_shared_) return {true, false};
    // Granted when no training or deletion holds the writers' lock, and none was admitted
    // either: one that waits for earlier writers between two attempts at the writers' lock
    // lets no new one in. The look at the holders' lock ends within the statement.
    const std::string writers = LockKeys(kWritersLock);
    const std::string holders = LockKeys(kHoldersLock);
    holds_writers_shared_ = AskLock(
        "SELECT CASE WHEN pg_try_advisory_lock_shared" + writers +
        " THEN CASE WHEN pg_try_advisory_lock_shared" + holders + " THEN pg_advisory_unlock_shared" +
        holders + " ELSE NOT pg_advisory_unlock_shared" + writers + " END ELSE false END");
    // Refused: the holder may have gone silent. The caller asks again.
    if (!holds_writers_shared_) EndSilentHolders(lease_ms);
    return {holds_writers_shared_, false};
  }
  if (holds_holders_ && holds_writers_exclusive_) {
    // The holder asks again: it holds the index while its session does.
    if (StillHeld(HoldKind::kExclusive)) return {true, false};
    ForgetHolds();
    PgKeepSession(connection_.get(), false);
  }
  if (!holds_holders_) {
    // Once more when the holder that kept it had gone silent and its session was ended.
    for (bool again = true; !holds_holders_;) {
      PgOutcome admitted;
      try {
        admitted = PgExecAwaitingLock(
            connection_.get(), kAdmissionWait + ("SELECT true FROM pg_advisory_lock" + LockKeys(kHoldersLock)),
            PGRES_TUPLES_OK);
      } catch (const ServerTimeLimit&) {
        return {false, false};  // a statement_timeout below the admission's own wait
      }
      if (admitted.sqlstate == kLockNotAvailable) {
        if (!std::exchange(again, false) || !EndSilentHolders(lease_ms)) return {false, false};
        continue;
      }
      if (!admitted.ok) {
        LogAndThrow("Failed to ask for the lock that admits a training or deletion of index '" + index_name_ +
                    "': " + admitted.error + "; run it again");
      }
      holds_holders_ = true;
    }
  }
  if (!holds_writers_exclusive_) {
    try {
      PgOutcome lock = PgExecAwaitingLock(
          connection_.get(), kWritersWait + ("SELECT true FROM pg_advisory_lock" + LockKeys(kWritersLock)),
          PGRES_TUPLES_OK);
      // Not granted in time: writers that took the lock before still hold it.
      if (lock.ok) {
        holds_writers_exclusive_ = true;
      } else if (lock.sqlstate == kLockNotAvailable) {
        EndSilentHolders(lease_ms);  // a writer gone silent among them
      } else {
        LogAndThrow("Failed to wait for the writers of index '" + index_name_ + "' to finish: " + lock.error +
                    "; run the training or deletion again");
      }
    } catch (const ServerTimeLimit&) {
      // A statement_timeout below the attempt's own wait stopped it: the same answer.
    }
  }
  return {true, !holds_writers_exclusive_};
}

bool PostgresKeystore::RenewHold(HoldKind kind, uint64_t holder, uint64_t lease_ms) {
  (void)holder, (void)lease_ms;
  // A statement that reaches the server: the session of a live holder is never idle for a
  // lease, and one that ended says so here.
  if (StillHeld(kind)) return true;
  if (kind == HoldKind::kShared) {
    holds_writers_shared_ = false;
  } else {
    holds_holders_ = holds_writers_exclusive_ = false;
  }
  if (PgSessionLost(connection_.get())) ForgetHolds();
  KeepSessionWhileHolding();
  return false;
}

bool PostgresKeystore::ReleaseHold(HoldKind kind, uint64_t holder) {
  (void)holder;
  std::string sql;
  if (kind == HoldKind::kShared) {
    if (holds_writers_shared_) sql = "SELECT pg_advisory_unlock_shared" + LockKeys(kWritersLock);
    holds_writers_shared_ = false;
  } else {
    // Both in one statement, each in its own column so that both are evaluated; the
    // writers' lock first, so the next holder never finds the holders' lock free while
    // this one still holds the writers'.
    std::vector<std::string> unlocks;
    if (holds_writers_exclusive_) unlocks.push_back("pg_advisory_unlock" + LockKeys(kWritersLock));
    if (holds_holders_) unlocks.push_back("pg_advisory_unlock" + LockKeys(kHoldersLock));
    for (const std::string& unlock : unlocks) sql += (sql.empty() ? "SELECT " : ", ") + unlock;
    holds_writers_exclusive_ = holds_holders_ = false;
  }
  struct Keep {
    PostgresKeystore& store;
    ~Keep() { store.KeepSessionWhileHolding(); }
  } keep{*this};
  if (sql.empty()) return false;
  PGconn* connection = connection_.get();
  if (PgSessionLost(connection)) {
    // The session ended before the release, and its locks with it.
    ForgetHolds();
    return false;
  }
  // The answer is judged here: a broken connection is no lost hold of a session that
  // ended before (checked above) but an answer that did not come.
  PgKeepSession(connection, false);
  PgOutcome released;
  try {
    released = PgExec(connection, sql, PGRES_TUPLES_OK);
  } catch (const ServerTimeLimit&) {
    throw;
  } catch (const ServerUnreachable& lost) {
    ForgetHolds();
    ThrowReleaseUnanswered(lost.what());
  }
  if (!released.ok && !PgConnected(connection)) {
    ForgetHolds();
    ThrowReleaseUnanswered(released.error);
  }
  if (!released.ok || released.rows() != 1) {
    LogAndThrow("Failed to release a hold of index '" + index_name_ + "': " + released.error +
                "; the session keeps it until it ends");
  }
  bool all = true;
  for (int column = 0; column < PQnfields(released.result.get()); ++column) {
    all = all && PgText(released.result.get(), 0, column) == "t";
  }
  return all;
}

void PostgresKeystore::ThrowReleaseUnanswered(const std::string& why) const {
  const std::string message = "The answer of PostgreSQL server " + PgServerAddress(connection_.get()) +
                              " to the release of this process's hold on index '" + index_name_ +
                              "' was lost (" + why + "): it is unknown whether the hold lasted until its release";
  InternalLogger().error(message);
  throw ServerUnreachable(message);
}

bool PostgresKeystore::ExclusiveHoldIsLive() {
  // Held exclusively by someone when a shared lock is refused; a shared lock taken here
  // is given back in the same statement.
  const std::string keys = LockKeys(kHoldersLock);
  return AskLock("SELECT CASE WHEN pg_try_advisory_lock_shared" + keys +
                 " THEN NOT pg_advisory_unlock_shared" + keys + " ELSE true END");
}

}  // namespace ombrix_encrypted_index::internal::backing_store
