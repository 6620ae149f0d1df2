// PostgresKeystore: one store of one index in a PostgreSQL table, over a libpq connection
// it owns. Key-value stores share a table (rows carry their store id); the CONFIG store
// keeps named blobs in a config table. Made by CreateBackingStore; not thread-safe (one
// call at a time); PushMap is atomic against every other writer of the database.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "backing_store/db_config.h"
#include "backing_store/keystore.h"
#include "backing_store/postgres_connection.h"

namespace ombrix_encrypted_index::internal::backing_store {

class PostgresKeystore final : public Keystore {
 public:
  // Connects, creates the table when it is missing (checking the schema of a table it
  // tried to create, and the layout of one that was there), and prepares the row upsert.
  // Throws std::invalid_argument, before connecting, without a connection string or
  // table name, for a table name that is not a lower-case plain identifier, and for a
  // CONFIG store whose "<name>.oei" would not fit the config table's 255 characters;
  // std::runtime_error otherwise.
  //
  // With `holder` (the index store of the same index, whose holds are to fence this store's
  // writes), a DATA or ITEMS store that would behave the same on the holder's session (its
  // server, database, role, schemas and session settings) runs on it from the start, fenced
  // by its holds (FenceByHoldsOf): with the same connection string it never connects; with
  // another it connects once to ask the server, and closes that session when the answers
  // are the holder's. Elsewhere it keeps its own session, unfenced.
  PostgresKeystore(const ombrix::DBConfig& config, const std::string& index_name,
                   uint64_t index_id, int32_t store_kind, PostgresKeystore* holder = nullptr);
  ~PostgresKeystore() override = default;
  PostgresKeystore(const PostgresKeystore&) = delete;
  PostgresKeystore& operator=(const PostgresKeystore&) = delete;

  void BatchPushItems(const std::vector<uint64_t>& keys, const Matrix<uint8_t>& values) override;
  void BatchPushVariable(const std::vector<uint64_t>& keys,
                         const std::vector<std::vector<uint8_t>>& values) override;
  void PushItem(const uint64_t& key, const std::vector<uint8_t>& value) override;
  // One transaction for this store's rows and those of the first carried stores that run
  // on this session under the same fence.
  void BatchPushVariableCarrying(const std::vector<uint64_t>& keys,
                                 const std::vector<std::vector<uint8_t>>& values,
                                 const std::vector<CarriedValues>& carried) override;
  // The carried stores fenced in one step go in this session's transactions.
  bool CarriesInOneStep() const override { return true; }
  // A store on this session whose writes this store's holds fence (FenceByHoldsOf).
  bool FencesInOneStep(const Keystore& other) const override;
  bool PushMap(const uint64_t& map_key, const std::vector<uint8_t>& map,
               const uint64_t& version_key, const uint64_t& expected_version) override;
  bool CompareAndSetValue(const uint64_t& key, const std::vector<uint8_t>& value,
                          const uint64_t& version_key, const uint64_t& expected_version) override;
  void BatchDeleteItems(const std::vector<uint64_t>& keys) override;
  void DeleteItem(const uint64_t& key) override;
  std::vector<uint8_t> GetItem(const uint64_t& key) override;
  MapAndVersion GetMap(const uint64_t& map_key, const uint64_t& version_key) override;
  Matrix<uint8_t> BatchGetItems(const std::vector<uint64_t>& keys) override;
  std::vector<std::vector<uint8_t>> BatchGetVariable(const std::vector<uint64_t>& keys) override;
  void PushConfigItem(const std::string& name, const std::vector<uint8_t>& blob) override;
  std::vector<uint8_t> LoadConfigItem(const std::string& name) override;
  bool ConfigItemExists(const std::string& name) override;
  // One statement: an insert that does nothing when the name is stored (`expected` empty),
  // else an update of the row whose blob equals `expected`. std::invalid_argument on a
  // store other than CONFIG.
  bool CompareAndSetConfigItem(const std::string& name, const std::vector<uint8_t>& expected,
                               const std::vector<uint8_t>& blob) override;
  void DeleteConfigItem(const std::string& name) override;
  bool DeleteConfigItemIf(const std::string& name, const std::vector<uint8_t>& expected) override;
  void DeleteIndex() override;
  uint64_t GetNumItems() override;
  std::vector<uint64_t> GetAllKeys() override;
  // One statement for every pair.
  std::vector<MapAndVersion> GetMaps(const std::vector<std::pair<uint64_t, uint64_t>>& keys) override;
  void SendMapsRead(const std::vector<std::pair<uint64_t, uint64_t>>& keys) override;
  std::vector<MapAndVersion> ReceiveMaps() override;
  // Holds are session advisory locks, which the server drops when the session ends: a
  // writer holds the writers' lock shared, once it saw that no training or deletion was
  // admitted; a training or a deletion holds the holders' lock, which admits one of them,
  // and then the writers' lock exclusively. While a lock is held (or a write fence is set)
  // the connection is never opened again (a new session would hold none), and a statement
  // that finds it broken throws HoldLostError naming the index. The index store's session
  // gets the idle limits of the process's lease (ProcessHoldLease) when it connects, so the
  // server ends the session of a holder gone silent; a renewal is a statement that reaches
  // the server. A take that is refused or waits ends, at most once a second, the holders'
  // sessions that were silent for `lease_ms` (non-zero), which the server's limits miss
  // mid-statement. TakeHold on a session that ended takes the hold afresh on a new one.
  // ReleaseHold returns false when the server said the hold was no longer held, or the
  // session had ended before, and throws ServerUnreachable when the answer to the release
  // was lost.
  HoldGrant TakeHold(HoldKind kind, uint64_t holder, uint64_t lease_ms) override;
  bool RenewHold(HoldKind kind, uint64_t holder, uint64_t lease_ms) override;
  bool ReleaseHold(HoldKind kind, uint64_t holder) override;
  bool ExclusiveHoldIsLive() override;
  void SetWriteFence(std::optional<WriteFence> fence) override;
  // Where it behaves the same as on `holder_store`'s session (a PostgreSQL store that keeps
  // holds: the same connection string, or the same answers of both sessions to who the
  // server is and how the session is set, asked once per session), this store runs its statements on that store's
  // session from now on, so they
  // end with the locks the session holds: a fenced statement on a session that ended throws
  // HoldLostError, and a transaction left open by a stopped holder is rolled back with it.
  // While another store shares the session, a maps read sent by SendMapsRead goes out
  // with the next key-value read on it, in one statement.
  bool FenceByHoldsOf(Keystore& holder_store) override;
  // The session this store's statements run on, for tests that ask the server how it plans them.
  PGconn* SessionForTesting() { return connection_.get(); }

 private:
  // Advisory lock classes: 42 is the compare-and-set's transaction lock; 43 admits one
  // training or deletion at a time; 44 is held shared by writers and exclusively by the one
  // admitted.
  static constexpr int kMapLock = 42;
  static constexpr int kHoldersLock = 43;
  static constexpr int kWritersLock = 44;

  [[noreturn]] static void LogAndThrow(const std::string& message);

  // One statement: the state row's check and every carried store's DELETE.
  bool DeleteCarriedInOneStepWhileState(const uint64_t& state_key, const std::vector<uint8_t>& expected_state,
                                        const std::vector<CarriedKeys>& carried) override;

  // A libpq session and what the stores running their statements on it share.
  struct Session {
    PgConnection connection;
    bool shared = false;  // another store runs its statements on it
    // The maps read SendMapsRead left for the next key-value read on the session.
    struct Look {
      // Its part of a prepared statement, the keys $1 .. $n (MapsQuery), and of one planned
      // with the keys known, the keys $1 (KeyValuesQuery). Made by the store that sent it:
      // they name its table and store id, not those of the store whose read carries them.
      std::string sql;
      std::vector<std::string> key_texts;
      std::string array_sql;
      std::string key_array;
      std::vector<std::pair<uint64_t, uint64_t>> keys;
      std::optional<std::vector<MapAndVersion>> maps;
      std::exception_ptr failure;
    };
    std::optional<Look> look;
    // Who the server is, as the session's server said it (system identifier, start time,
    // database, role, the schemas names resolve in, the settings the client gave it), and
    // the connection's client-side options; empty when the server would not say. Asked at
    // most once.
    std::optional<std::string> identity;
  };
  // The session's connection where a PgConnection would be (get()).
  struct SessionRef {
    std::shared_ptr<Session> session;
    PGconn* get() const { return session ? session->connection.get() : nullptr; }
    void reset() { session.reset(); }
  };
  using Row = std::pair<uint64_t, std::span<const uint8_t>>;
  // Rows of one store of this session, for a transaction that writes several.
  struct StoreRows {
    const PostgresKeystore* store;
    std::vector<Row> rows;
  };

  void Open();
  // The session's identity (see Session::identity).
  const std::string& ServerIdentity();
  // Whether this store's session reaches `holder`'s server, database and role with the same
  // schemas and settings: by the same connection string, or by the same identity.
  bool SameServerAs(PostgresKeystore& holder);
  // Runs this store's statements on `holder`'s session, fenced by its holds; its own
  // session, if another, is closed.
  void JoinSessionOf(PostgresKeystore& holder);
  // A catalogue query whose $1 is the table name.
  PgOutcome AskCatalog(const std::string& sql);
  // (column, data type) of the table, in column order.
  std::vector<std::pair<std::string, std::string>> TableColumns();
  // A table this store tried to create: every column it names has the created type.
  void VerifyTableSchema();
  // A table that was there before: the columns and kind of index_name this store needs.
  void VerifyExistingLayout();
  bool is_config() const { return store_kind_ == ombrix::CONFIG; }
  // std::invalid_argument unless this is the CONFIG store.
  void RequireConfigStore() const;

  void ExecParams(const std::string& sql, const PgParams& params);
  void AppendInsertRow(std::string& sql, std::vector<std::string>& key_texts, PgParams& params,
                       uint64_t key, std::span<const uint8_t> value, size_t row) const;
  void BeginTransaction();
  void CommitTransaction();
  // A variable batch's rows, deduplicated and in key order, empty values left out;
  // std::invalid_argument for no keys, std::runtime_error for a count mismatch.
  static std::vector<Row> VariableRows(const std::vector<uint64_t>& keys,
                                       const std::vector<std::vector<uint8_t>>& values);
  // Rows deduplicated by the caller; written in chunks inside one transaction.
  void WriteRows(const std::vector<Row>& rows);
  // One attempt of WriteRows; with a `lock_wait_ms` above 0 its statements wait that long
  // for a row lock, and false says one was not granted (the transaction rolled back).
  // A COMMIT whose answer was lost on a session that held nothing is not taken for a
  // failure: the attempt runs once more (`again`), writing the same rows over its own.
  bool TryWriteRows(const std::vector<StoreRows>& writes, int64_t lock_wait_ms, bool again = true);
  // Runs `attempt(lock_wait_ms)` until it returns true. Unfenced, or with a lease of 0, it
  // runs once without a wait of its own (0). Fenced, each attempt waits a short while for
  // row locks, and one refused looks for silent holders of the index before the next,
  // until the session's statement_timeout is spent in all: then ServerTimeLimit. Its text
  // names the index and says what the caller can do: what a lost hold's text would say
  // when fenced, `unfenced_advice` otherwise.
  void AwaitingRowLocks(const std::function<bool(int64_t)>& attempt, const std::string& unfenced_advice);
  // One statement for all keys, binary results; rows hold (key, value) in columns 0, 1.
  PgOutcome SelectKeyValues(const std::vector<uint64_t>& keys);
  // "SELECT key, value FROM ", with `part` as a third column when given, so that the rows
  // can be told apart within a UNION ALL.
  static std::string KeyValueColumns(char part);
  // The row of the key in parameter $`param`: an equality on the whole primary key, which
  // every plan reads through the key index, the generic plan a prepared statement keeps
  // after five runs included, however small the table was when it was made.
  std::string KeyValueQuery(int param, char part = 0) const;
  // The rows of the keys in parameter $`param` (a KeyArray). A plan made without the keys
  // (a generic one) reads the whole table: for unnamed statements only.
  std::string KeyValuesQuery(int param, char part = 0) const;
  // The rows of `key_count` keys in $1 .. $`key_count`, one KeyValueQuery each, in one
  // UNION ALL: its text depends on the store and the count only, so each session prepares it once.
  std::string MapsQuery(size_t key_count, char part = 0) const;
  // Keys as a text array parameter ("{1,2}").
  static std::string KeyArray(const std::vector<uint64_t>& keys);
  std::string KeyList(const std::vector<uint64_t>& keys) const;
  // The config table rows that belong to this index: exactly "<name>.oei" and "<name>.ovs".
  void AddOwnConfigNames(PgParams& params);
  // Whether the config record `name` stores exactly `blob` (an empty one: that it is gone).
  // Sealed blobs carry a random IV, so equal bytes are the writer's own.
  bool ConfigItemIs(const std::string& name, const std::vector<uint8_t>& blob);

  SessionRef connection_;
  std::string conninfo_;  // the options the connection string gives (PgConninfoOptions)
  bool fenced_by_other_ = false;  // runs on the session of the store whose holds fence it
  // The maps read SendMapsRead sent, until ReceiveMaps answers it.
  std::optional<PgSentStatement> maps_read_;
  std::vector<std::pair<uint64_t, uint64_t>> maps_read_keys_;
  // Each map key, then its version key, in decimal: the parameters of MapsQuery.
  static std::vector<std::string> MapKeyTexts(const std::vector<std::pair<uint64_t, uint64_t>>& keys);
  std::vector<MapAndVersion> MapsOf(const PgOutcome& outcome, const std::vector<std::pair<uint64_t, uint64_t>>& keys,
                                    char part = 0) const;
  std::string table_name_;
  std::string table_;  // table_name_ quoted for splicing into statements
  int32_t store_kind_;
  std::string id_text_;  // decimal hashed_index_name_
  // The maps' lock keys of the index's INDEX, ITEMS and DATA stores, as pg_locks shows them
  // (a SQL list), for the look at silent holders.
  std::string map_lock_objids_;
  // The index store's lock key as pg_locks shows it: holds are taken on that store alone,
  // and every store of the index looks at them.
  std::string index_lock_objid_;
  // The advisory lock that serialises this store's compare-and-sets and its deletion.
  std::string MapLockStatement() const;
  std::string own_config_names_[2];
  // "(<class>, <store id folded to 32 bits>)": the two-key form of an advisory lock.
  std::string LockKeys(int lock_class) const;
  // A statement of boolean cells, true when all are, e.g. "SELECT pg_try_advisory_lock(...)".
  bool AskLock(const std::string& sql);
  bool HoldsAny() const;
  void ForgetHolds();
  void KeepSessionWhileHolding();
  // The index store's advisory lock objid as pg_locks shows it, as a SQL literal.
  std::string LockObjid() const;
  // Ends the sessions of this library (those that hold its marker) that hold this index, or the
  // maps' lock of one of its stores, and were silent for a lease; true when it ended any.
  // Looks at most once per interval; a lease of 0 looks never.
  bool EndSilentHolders(uint64_t lease_ms);
  // Asks the server whether this session still holds the locks of `kind` it took.
  bool StillHeld(HoldKind kind);
  void PrepareToTake();
  [[noreturn]] void ThrowReleaseUnanswered(const std::string& why) const;
  bool holds_writers_shared_ = false;
  bool holds_holders_ = false;
  bool holds_writers_exclusive_ = false;
  std::chrono::steady_clock::time_point last_silent_holder_look_{};
  // (what the session held, what the caller can do) for the text of a lost session.
  std::string lost_shared_[2];
  std::string lost_exclusive_[2];
};

}  // namespace ombrix_encrypted_index::internal::backing_store
