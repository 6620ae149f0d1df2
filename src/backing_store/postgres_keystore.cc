#include "backing_store/postgres_keystore.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "backing_store/server_errors.h"
#include "backing_store/store_factory.h"
#include "diagnostics/logger.h"

namespace ombrix_encrypted_index::internal::backing_store {

namespace {

using ombrix::InternalLogger;

// At most 3000 parameters per INSERT keeps statements well below libpq's 65535 limit.
constexpr size_t kRowsPerStatement = 1000;
constexpr const char* kRowUpsert =
    " ON CONFLICT (key, index_name) DO UPDATE SET value = EXCLUDED.value";

// How long one attempt of a fenced write waits for a row lock before it looks for a
// silent holder of the rows: a live writer's transaction commits well within it.
constexpr int64_t kRowLockWaitMs = 2000;

// What a caller can do after an unfenced write stopped: its transaction was rolled back.
constexpr char kNothingWritten[] = "nothing was written, try again";


std::vector<uint8_t> LittleEndian(uint64_t value) {
  std::vector<uint8_t> bytes(8);
  for (size_t i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  return bytes;
}

uint64_t FromLittleEndian(const uint8_t* bytes) {
  uint64_t value = 0;
  for (size_t i = 0; i < 8; ++i) value |= static_cast<uint64_t>(bytes[i]) << (8 * i);
  return value;
}

// Later entries of a key replace earlier ones, so no statement carries a key twice. Rows
// go out in key order: two writers whose batches share keys then lock those rows in the
// same order and cannot deadlock.
template <typename ValueAt>
std::vector<std::pair<uint64_t, std::span<const uint8_t>>> Deduplicate(
    const std::vector<uint64_t>& keys, ValueAt value_at, bool skip_empty) {
  std::vector<std::pair<uint64_t, std::span<const uint8_t>>> rows;
  std::unordered_map<uint64_t, size_t> position;
  rows.reserve(keys.size());
  position.reserve(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    std::span<const uint8_t> value = value_at(i);
    if (skip_empty && value.empty()) continue;
    auto [it, fresh] = position.try_emplace(keys[i], rows.size());
    if (fresh) {
      rows.emplace_back(keys[i], value);
    } else {
      rows[it->second].second = value;
    }
  }
  std::sort(rows.begin(), rows.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  return rows;
}

// A key-value read and the maps read it carries in one statement tell their rows apart by
// a third column.
constexpr char kFetchPart = 'f';
constexpr char kLookPart = 'l';

// Row index of each stored key in a (key, value) result; of a result with a third column,
// only the rows of `part`.
std::unordered_map<uint64_t, int> ParseKeyValueRows(const PgOutcome& outcome, char part = kFetchPart) {
  std::unordered_map<uint64_t, int> row_of;
  row_of.reserve(static_cast<size_t>(outcome.rows()));
  const bool parts = outcome.result && PQnfields(outcome.result.get()) > 2;
  for (int row = 0; row < outcome.rows(); ++row) {
    if (parts && PgText(outcome.result.get(), row, 2) != std::string_view(&part, 1)) continue;
    row_of.emplace(std::stoull(PgText(outcome.result.get(), row, 0)), row);
  }
  return row_of;
}

// The config table's index_name column is VARCHAR(255), counted in characters.
constexpr size_t kMaxConfigNameChars = 255;

size_t Utf8Characters(const std::string& text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// Which location of a client a store of this kind comes from, for messages.
const char* LocationRole(int32_t store_kind) {
  switch (store_kind) {
    case ombrix::CONFIG:
      return "config";
    case ombrix::ITEMS:
      return "items";
    default:
      return "index";
  }
}

// What the caller must fix before anything connects: a location without what a
// PostgreSQL store needs, or an index name whose config records the table cannot hold.
void CheckOpeningRequest(const ombrix::DBConfig& config, const std::string& index_name,
                         int32_t store_kind) {
  const std::string location = std::string("The PostgreSQL ") + LocationRole(store_kind) + " location";
  const std::string form = ": use DBConfig(\"postgres\", table_name, connection_string).";
  if (!config.connection_string) throw std::invalid_argument(location + " has no connection string" + form);
  if (!config.table_name) throw std::invalid_argument(location + " has no table_name" + form);
  ValidateTableName(*config.table_name);
  const size_t suffix = std::string_view(".oei").size();
  if (store_kind == ombrix::CONFIG && Utf8Characters(index_name) + suffix > kMaxConfigNameChars) {
    throw std::invalid_argument(
        "Index name of " + std::to_string(Utf8Characters(index_name)) +
        " characters is too long for a PostgreSQL config table: its records \"<name>.oei\" and "
        "\"<name>.ovs\" must fit " + std::to_string(kMaxConfigNameChars) + " characters, so the "
        "name may have at most " + std::to_string(kMaxConfigNameChars - suffix) + ".");
  }
}

// A store id folded to the 32 bits of an advisory lock's second key: one lock per store,
// so writers of other indexes (and a long deletion of one) never wait for each other. Two
// stores folding to one number only wait for each other.
int32_t FoldedLock(uint64_t store_id) {
  return static_cast<int32_t>(static_cast<uint32_t>(store_id ^ (store_id >> 32)));
}

// The same key as pg_locks shows it (objid, an oid), as a SQL literal.
std::string FoldedLockId(uint64_t store_id) {
  return "'" + std::to_string(static_cast<uint32_t>(FoldedLock(store_id))) + "'::oid";
}

}  // namespace

void PostgresKeystore::LogAndThrow(const std::string& message) {
  InternalLogger().error(message);
  throw std::runtime_error(message);
}

PostgresKeystore::PostgresKeystore(const ombrix::DBConfig& config, const std::string& index_name,
                                   uint64_t index_id, int32_t store_kind, PostgresKeystore* holder)
    // The top bit of the store id is cleared so that it fits the BIGINT column.
    : Keystore(StoreId(ombrix::POSTGRES, index_id, store_kind), index_name),
      store_kind_(store_kind),
      id_text_(std::to_string(hashed_index_name_)),
      map_lock_objids_(FoldedLockId(StoreId(ombrix::POSTGRES, index_id, ombrix::INDEX)) + ", " +
                       FoldedLockId(StoreId(ombrix::POSTGRES, index_id, ombrix::ITEMS)) + ", " +
                       FoldedLockId(StoreId(ombrix::POSTGRES, index_id, ombrix::DATA))),
      index_lock_objid_(FoldedLockId(StoreId(ombrix::POSTGRES, index_id, ombrix::INDEX))) {
  // Checked before connecting: an unsafe name never reaches the server.
  CheckOpeningRequest(config, index_name_, store_kind_);
  const std::string& conninfo = *config.connection_string;
  conninfo_ = PgConninfoOptions(conninfo);
  table_name_ = *config.table_name;
  own_config_names_[0] = index_name_ + ".oei";
  own_config_names_[1] = index_name_ + ".ovs";
  lost_shared_[0] = "index '" + index_name_ + "' for this upsert";
  lost_shared_[1] = "the upsert stopped, and part of its items may be stored; upsert the same items again";
  lost_exclusive_[0] = "index '" + index_name_ + "' for a training or deletion";
  lost_exclusive_[1] = "the operation stopped before it finished; train or delete the index again";

  const bool may_join = holder != nullptr && holder != this && !is_config();
  if (may_join && holder->conninfo_ == conninfo_) {
    JoinSessionOf(*holder);  // the same options reach the same server, as the same session would
  } else {
    // Holds live on the index store's session, and the maps' transaction lock and the row
    // locks of a write or deletion on every key-value store's: each of those sessions ends
    // once its process stayed silent for a lease, so a stopped process holds nobody back
    // longer. The config store's statements are single and hold nothing between them.
    connection_.session = std::make_shared<Session>();
    connection_.session->connection = PgConnect(conninfo, is_config() ? 0 : ProcessHoldLease().load());
    if (!PgConnected(connection_.get())) {
      const std::string message = "Postgres connection error: " + PgErrorMessage(connection_.get());
      connection_.reset();
      InternalLogger().critical(message);
      throw std::runtime_error(message);
    }
    if (may_join && SameServerAs(*holder)) JoinSessionOf(*holder);
  }
  table_ = QuoteIdentifier(connection_.get(), table_name_);
  Open();
}

const std::string& PostgresKeystore::ServerIdentity() {
  std::optional<std::string>& identity = connection_.session->identity;
  if (identity) return *identity;
  // A standby shares its primary's system identifier; the start time tells them apart. A
  // store behaves the same on another session only where its tables resolve in the same
  // schemas and the settings its connection gave the server (startup options such as
  // search_path or statement_timeout, the application name) are the same: those the server
  // took from the client show with the source 'client'.
  PgOutcome outcome = PgExec(
      connection_.get(),
      "SELECT system_identifier::text || '/' || extract(epoch FROM pg_postmaster_start_time())::text || '/' || "
      "current_database() || '/' || current_user || '/' || current_schemas(true)::text || '/' || "
      "coalesce((SELECT string_agg(name || '=' || setting, ',' ORDER BY name) FROM pg_settings "
      "WHERE source = 'client'), '') FROM pg_control_system()",
      PGRES_TUPLES_OK);
  identity = std::string();
  if (outcome.ok && outcome.rows() == 1 && !PgIsNull(outcome.result.get(), 0, 0)) {
    identity = PgText(outcome.result.get(), 0, 0) + "\n" + PgClientSideOptions(connection_.get());
  } else {
    InternalLogger().info("PostgreSQL server " + PgServerAddress(connection_.get()) +
                          " did not say which server it is (" + outcome.error + "): stores of index '" +
                          index_name_ + "' there are taken for another server's");
  }
  return *identity;
}

bool PostgresKeystore::SameServerAs(PostgresKeystore& holder) {
  if (holder.conninfo_ == conninfo_ || connection_.session == holder.connection_.session) return true;
  const std::string& mine = ServerIdentity();
  return !mine.empty() && mine == holder.ServerIdentity();
}

void PostgresKeystore::JoinSessionOf(PostgresKeystore& holder) {
  connection_ = holder.connection_;
  connection_.session->shared = true;
  fenced_by_other_ = true;
}

PgOutcome PostgresKeystore::AskCatalog(const std::string& sql) {
  PgParams name;
  name.AddText(table_name_);
  return PgExecParams(connection_.get(), sql, name, kTextFormat, PGRES_TUPLES_OK);
}

void PostgresKeystore::Open() {
  // The unqualified CREATE below puts the table in current_schema(): look only there.
  PgOutcome exists = AskCatalog(
      "SELECT EXISTS (SELECT FROM information_schema.tables WHERE table_schema = "
      "current_schema() AND table_name = $1);");
  if (!exists.ok) {
    InternalLogger().error("Failed to check if table exists: " + exists.error);
    throw std::runtime_error(exists.error);
  }
  const bool found = exists.rows() > 0 && PgText(exists.result.get(), 0, 0).starts_with('t');

  if (found) {
    VerifyExistingLayout();
  } else {
    const std::string create =
        is_config() ? "CREATE TABLE " + table_ +
                          " (index_name VARCHAR(255) PRIMARY KEY, config BYTEA NOT NULL);"
                    : "CREATE TABLE " + table_ +
                          " (key VARCHAR(255) NOT NULL, value BYTEA NOT NULL, index_name BIGINT "
                          "NOT NULL, PRIMARY KEY (key, index_name));";
    PgOutcome created = PgExec(connection_.get(), create, PGRES_COMMAND_OK);
    // Another session created the table after our check: 42P07 when it committed first,
    // 23505 (on the catalogue's unique index) when both CREATEs ran at the same time, 42710
    // when the racer's row type of the same name was there first.
    if (!created.ok && created.sqlstate != kDuplicateTable && created.sqlstate != kUniqueViolation &&
        created.sqlstate != kDuplicateObject) {
      LogAndThrow("Failed to create postgres table: " + created.error);
    }
    if (created.sqlstate == kDuplicateObject && TableColumns().empty()) {
      LogAndThrow("Failed to create postgres table: " + created.error + ": another object of the schema has the name " +
                  table_name_ + "; give the location another table_name");
    }
    if (!created.ok) {
      const std::string line = "Table " + table_name_ + " already exists.";
      InternalLogger().warning(line);
      std::cerr << line << std::endl;
    }
    VerifyTableSchema();
  }

  if (!is_config()) {
    // Named by the store's kind: the data and items stores may share the index store's
    // session.
    PgOutcome prepared =
        PgPrepare(connection_.get(), "batch_insert_stmt_" + std::to_string(store_kind_),
                  "INSERT INTO " + table_ + " (key, value, index_name) VALUES ($1, $2, $3)" +
                      kRowUpsert,
                  3);
    if (!prepared.ok) LogAndThrow("Failed to prepare batch insert statement: " + prepared.error);
  }
}

void PostgresKeystore::VerifyTableSchema() {
  const std::vector<std::pair<std::string, std::string>> columns = TableColumns();
  const std::vector<std::pair<std::string, std::string>> expected =
      is_config() ? std::vector<std::pair<std::string, std::string>>{{"index_name",
                                                                      "character varying"},
                                                                     {"config", "bytea"}}
                  : std::vector<std::pair<std::string, std::string>>{
                        {"key", "character varying"}, {"value", "bytea"}, {"index_name", "bigint"}};
  for (const auto& [column, type] : columns) {
    for (const auto& [want_column, want_type] : expected) {
      if (column == want_column && type != want_type) {
        LogAndThrow("Table " + table_name_ + " exists but does not match the expected schema.");
      }
    }
  }
}

std::vector<std::pair<std::string, std::string>> PostgresKeystore::TableColumns() {
  PgOutcome columns = AskCatalog(
      "SELECT column_name, data_type FROM information_schema.columns WHERE table_schema = "
      "current_schema() AND table_name = $1 ORDER BY ordinal_position;");
  if (!columns.ok) {
    LogAndThrow("Failed to verify schema for table " + table_name_ + ": " + columns.error);
  }
  std::vector<std::pair<std::string, std::string>> found;
  for (int row = 0; row < columns.rows(); ++row) {
    found.emplace_back(PgText(columns.result.get(), row, 0), PgText(columns.result.get(), row, 1));
  }
  return found;
}

void PostgresKeystore::VerifyExistingLayout() {
  // A table made elsewhere may differ in types that take the same values; what must hold
  // is its kind: an index_name of the values this store writes there (record names, or
  // store ids) and, for a config table, the config column. A config location sharing the
  // table of an index location fails here, not at its first statement. (A key-value
  // table without key or value fails at the prepared upsert below.)
  const std::vector<std::pair<std::string, std::string>> columns = TableColumns();
  auto type_of = [&](std::string_view column) -> std::string {
    for (const auto& [name, type] : columns) {
      if (name == column) return type;
    }
    return "";
  };
  const std::string names = type_of("index_name");
  const bool text_names =
      names == "character varying" || names == "text" || names == "character";
  const bool number_names = names == "bigint" || names == "numeric";
  const bool config_layout = text_names && !type_of("config").empty();
  const bool row_layout = number_names;
  if (is_config() ? config_layout : row_layout) return;

  std::string found;
  for (const auto& [name, type] : columns) found += (found.empty() ? "" : ", ") + name + " " + type;
  std::string message = "Table " + table_name_ + " exists but does not match the expected schema: " +
                        (is_config() ? "a config location needs the columns index_name (text) and "
                                       "config (bytea)"
                                     : "an index or items location needs the columns key (text), "
                                       "value (bytea) and index_name (bigint)") +
                        "; it has " + (found.empty() ? "no columns" : found) + ".";
  if (is_config() ? row_layout : config_layout) {
    message += is_config() ? " It holds the rows of an index or items location: give the config "
                             "location a table of its own."
                           : " It is a config table: give the index and items locations a table "
                             "of their own.";
  }
  LogAndThrow(message);
}

void PostgresKeystore::ExecParams(const std::string& sql, const PgParams& params) {
  PgOutcome outcome = PgExecParams(connection_.get(), sql, params, kTextFormat, PGRES_COMMAND_OK);
  if (!outcome.ok) LogAndThrow("Postgres query execution failed: " + outcome.error);
}

void PostgresKeystore::AppendInsertRow(std::string& sql, std::vector<std::string>& key_texts,
                                       PgParams& params, uint64_t key,
                                       std::span<const uint8_t> value, size_t row) const {
  key_texts.push_back(std::to_string(key));  // reserved by the caller: pointers stay valid
  params.AddText(key_texts.back());
  params.AddBinary(value);
  params.AddText(id_text_);
  if (row != 0) sql += ", ";
  sql += "($" + std::to_string(3 * row + 1) + ", $" + std::to_string(3 * row + 2) + ", $" +
         std::to_string(3 * row + 3) + ")";
}

void PostgresKeystore::BeginTransaction() {
  PgOutcome outcome = PgExec(connection_.get(), "BEGIN", PGRES_COMMAND_OK);
  if (!outcome.ok) LogAndThrow("Postgres BEGIN transaction error: " + outcome.error);
}

void PostgresKeystore::CommitTransaction() {
  PgOutcome outcome = PgExec(connection_.get(), "COMMIT", PGRES_COMMAND_OK);
  if (!outcome.ok) LogAndThrow("Postgres COMMIT transaction error: " + outcome.error);
}

void PostgresKeystore::AwaitingRowLocks(const std::function<bool(int64_t)>& attempt,
                                        const std::string& unfenced_advice) {
  const uint64_t lease_ms = ProcessHoldLease().load();
  const bool shared = write_fence_ && write_fence_->kind == HoldKind::kShared;
  const std::string& advice = !write_fence_ ? unfenced_advice : shared ? lost_shared_[1] : lost_exclusive_[1];
  if (!write_fence_ || lease_ms == 0) {
    try {
      attempt(0);
    } catch (const ServerTimeLimit& stopped) {
      // Keyed rows take no time to write or delete: what held the statement up to its limit
      // is, all but always, another transaction's lock on them.
      const std::string message = std::string(stopped.what()) + "; rows of index '" + index_name_ +
                                  "' may stay locked by another transaction: " + advice;
      InternalLogger().error(message);
      throw ServerTimeLimit(message);
    }
    return;
  }
  // Another writer's transaction may have stopped with its process, half through sending a
  // statement: its session is then active, reading from its client, where no idle limit of
  // the server applies, and its rows stay locked. Writers' holds never refuse each other,
  // so only a wait for its rows shows it. A wait for a live writer's rows only starts the
  // attempt again: upserts written again change nothing, and go out in key order as before.
  const auto give_up =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(PgStatementLimitMs(connection_.get()));
  for (;;) {
    const int64_t left = std::chrono::duration_cast<std::chrono::milliseconds>(
                             give_up - std::chrono::steady_clock::now()).count();
    if (attempt(std::clamp<int64_t>(left, 1, kRowLockWaitMs))) return;
    if (left <= kRowLockWaitMs) {
      const std::string message = "PostgreSQL server " + PgServerAddress(connection_.get()) +
                                  " stopped the statement at its time limit: rows of index '" + index_name_ +
                                  "' stayed locked by another transaction for " +
                                  std::to_string(PgStatementLimitMs(connection_.get())) + " ms: " + advice;
      InternalLogger().error(message);
      throw ServerTimeLimit(message);
    }
    EndSilentHolders(lease_ms);
  }
}

bool PostgresKeystore::TryWriteRows(const std::vector<StoreRows>& writes, int64_t lock_wait_ms, bool again) {
  bool committing = false;
  if (lock_wait_ms > 0) {
    // In BEGIN's own round trip: a write that waits for no lock pays nothing for it.
    PgOutcome begun = PgExec(connection_.get(), "BEGIN; SET LOCAL lock_timeout = " + std::to_string(lock_wait_ms),
                             PGRES_COMMAND_OK);
    if (!begun.ok) LogAndThrow("Postgres BEGIN transaction error: " + begun.error);
  } else {
    BeginTransaction();
  }
  try {
    for (const auto& [store, rows] : writes) {
      for (size_t start = 0; start < rows.size(); start += kRowsPerStatement) {
        const size_t end = std::min(rows.size(), start + kRowsPerStatement);
        std::string sql = "INSERT INTO " + store->table_ + " (key, value, index_name) VALUES ";
        sql.reserve(sql.size() + (end - start) * 24 + 80);
        std::vector<std::string> key_texts;
        key_texts.reserve(end - start);
        PgParams params;
        params.Reserve(3 * (end - start));
        for (size_t i = start; i < end; ++i) {
          store->AppendInsertRow(sql, key_texts, params, rows[i].first, rows[i].second, i - start);
        }
        sql += kRowUpsert;
        if (lock_wait_ms == 0) {
          ExecParams(sql, params);
          continue;
        }
        PgOutcome outcome =
            PgExecParamsAwaitingLock(connection_.get(), sql, params, kTextFormat, PGRES_COMMAND_OK);
        if (outcome.sqlstate == kLockNotAvailable) return false;  // rolled back already
        if (!outcome.ok) LogAndThrow("Postgres query execution failed: " + outcome.error);
      }
    }
    committing = true;
    CommitTransaction();
  } catch (const ServerUnreachable&) {
    throw;  // the transaction went with the connection
  } catch (const std::exception&) {
    if (committing && again && PgSessionLost(connection_.get())) return TryWriteRows(writes, lock_wait_ms, false);
    PgRollbackIfOpen(connection_.get());
    LogAndThrow("Error executing Batch Push. Rolling back transaction.");
  }
  return true;
}

void PostgresKeystore::WriteRows(const std::vector<Row>& rows) {
  const std::vector<StoreRows> writes = {{this, rows}};
  AwaitingRowLocks([&](int64_t lock_wait_ms) { return TryWriteRows(writes, lock_wait_ms); }, kNothingWritten);
  InternalLogger().info("Items successfully pushed to Postgres");
}

void PostgresKeystore::BatchPushItems(const std::vector<uint64_t>& keys,
                                      const Matrix<uint8_t>& values) {
  InternalLogger().info("Pushing " + std::to_string(keys.size()) + " items to Postgres");
  if (keys.empty()) {
    InternalLogger().error("No keys provided for batch insertion");
    throw std::invalid_argument("No keys provided for batch insertion");
  }
  if (values.rows != keys.size()) {
    InternalLogger().error("Mismatch between number of keys (" + std::to_string(keys.size()) +
                           ") and batch size (" + std::to_string(values.rows) + ")");
    throw std::invalid_argument("Mismatch between number of keys and batch size");
  }
  if (values.cols != value_size_ || values.data.size() != values.rows * values.cols) {
    InternalLogger().error("Amount of data (" + std::to_string(values.rows * values.cols) +
                           ") must be divisible by the size of each value (" +
                           std::to_string(keys.size() * value_size_) + ")");
    throw std::invalid_argument("Amount of data must be divisible by the size of each value");
  }
  WriteRows(Deduplicate(
      keys, [&](size_t i) { return std::span<const uint8_t>(values.row(i), values.cols); },
      false));
}

std::vector<PostgresKeystore::Row> PostgresKeystore::VariableRows(const std::vector<uint64_t>& keys,
                                                                  const std::vector<std::vector<uint8_t>>& values) {
  if (keys.empty()) {
    InternalLogger().error("No keys provided for batch insertion");
    throw std::invalid_argument("No keys provided for batch insertion");
  }
  if (values.size() != keys.size()) LogAndThrow("Mismatch between number of keys and values");
  return Deduplicate(
      keys, [&](size_t i) { return std::span<const uint8_t>(values[i]); }, true);
}

void PostgresKeystore::BatchPushVariable(const std::vector<uint64_t>& keys,
                                         const std::vector<std::vector<uint8_t>>& values) {
  InternalLogger().info("Pushing " + std::to_string(keys.size()) + " items to Postgres");
  WriteRows(VariableRows(keys, values));
}

void PostgresKeystore::BatchPushVariableCarrying(const std::vector<uint64_t>& keys,
                                                 const std::vector<std::vector<uint8_t>>& values,
                                                 const std::vector<CarriedValues>& carried) {
  // Every batch is checked before anything is written.
  std::vector<StoreRows> together = {{this, VariableRows(keys, values)}};
  size_t in_turn = carried.size();
  for (size_t i = 0; i < carried.size(); ++i) {
    const CarriedValues& other = carried[i];
    if (other.keys->empty()) continue;
    if (!CarriesWritesOf(*other.store)) {
      // This one and every one after it keep their own order, in turn.
      in_turn = i;
      break;
    }
    together.push_back({static_cast<const PostgresKeystore*>(other.store), VariableRows(*other.keys, *other.values)});
  }
  InternalLogger().info("Pushing the values of " + std::to_string(together.size()) +
                        " stores to Postgres in one transaction");
  AwaitingRowLocks([&](int64_t lock_wait_ms) { return TryWriteRows(together, lock_wait_ms); }, kNothingWritten);
  WriteInTurn({carried.begin() + static_cast<std::ptrdiff_t>(in_turn), carried.end()});
}

bool PostgresKeystore::FencesInOneStep(const Keystore& other) const {
  const auto* store = dynamic_cast<const PostgresKeystore*>(&other);
  return store != nullptr && store != this && store->fenced_by_other_ &&
         store->connection_.session == connection_.session;
}

bool PostgresKeystore::DeleteCarriedInOneStepWhileState(const uint64_t& state_key,
                                                        const std::vector<uint8_t>& expected_state,
                                                        const std::vector<CarriedKeys>& carried) {
  // The check reads the state row in the statement's own snapshot, so a deletion (or a
  // re-creation) that changed it first leaves every row in place. One key a store (the
  // delete of one id) is an equality on the whole primary key, whose every plan reads the
  // key index: its text depends only on the stores and on whether a state was read, so
  // each session prepares it once. Several go as arrays and are planned at each call with
  // the keys known: a generic plan made while the table was small reads the whole table
  // (a sequential scan is the cheapest way to find a few rows in a few pages), and the
  // server keeps it as the table grows.
  const bool one_each = std::all_of(carried.begin(), carried.end(),
                                    [](const CarriedKeys& other) { return other.keys->size() == 1; });
  const std::string state_row = "SELECT 1 FROM " + table_ + " WHERE key = '" + std::to_string(state_key) +
                                "' AND index_name = " + id_text_;
  PgParams params;
  std::string sql = "WITH held AS (SELECT ";
  if (expected_state.empty()) {
    sql += "NOT EXISTS (" + state_row + ")";
  } else {
    params.AddBinary(expected_state);
    sql += "EXISTS (" + state_row + " AND value = $1::bytea)";
  }
  sql += " AS ok)";
  std::vector<std::string> key_params;
  key_params.reserve(carried.size());
  for (const CarriedKeys& other : carried) {
    const auto* store = static_cast<const PostgresKeystore*>(other.store);
    params.AddText(key_params.emplace_back(one_each ? std::to_string(other.keys->front()) : KeyArray(*other.keys)));
    const std::string param = "$" + std::to_string(params.size());
    sql += ", removed_" + std::to_string(key_params.size()) + " AS (DELETE FROM " + store->table_ + " WHERE key = " +
           (one_each ? param + "::varchar" : "ANY(" + param + "::varchar[])") + " AND index_name = " +
           store->id_text_ + " AND (SELECT ok FROM held))";
  }
  sql += " SELECT ok FROM held";
  InternalLogger().info("Deleting the items of " + std::to_string(key_params.size()) + " stores from Postgres");
  PgOutcome outcome = (one_each ? PgExecPrepared : PgExecParams)(connection_.get(), sql, params, kTextFormat,
                                                                  PGRES_TUPLES_OK);
  if (!outcome.ok || outcome.rows() != 1) LogAndThrow("Batch delete failed: " + outcome.error);
  return PgText(outcome.result.get(), 0, 0) == "t";
}

void PostgresKeystore::PushItem(const uint64_t& key, const std::vector<uint8_t>& value) {
  InternalLogger().info("Postgres push_item key: " + std::to_string(key));
  const std::string key_text = std::to_string(key);
  PgParams params;
  params.AddText(key_text);
  params.AddBinary(value);
  params.AddText(id_text_);
  PgOutcome outcome = PgExecParams(
      connection_.get(),
      "INSERT INTO " + table_ + " (key, value, index_name) VALUES ($1, $2, $3)" + kRowUpsert,
      params, kTextFormat, PGRES_COMMAND_OK);
  if (!outcome.ok) LogAndThrow("Postgres put_item error: " + outcome.error);
  InternalLogger().info("Item successfully pushed to Postgres");
}

std::string PostgresKeystore::LockKeys(int lock_class) const {
  return "(" + std::to_string(lock_class) + ", " + std::to_string(FoldedLock(hashed_index_name_)) + ")";
}

std::string PostgresKeystore::MapLockStatement() const {
  // Released at COMMIT or ROLLBACK.
  return "SELECT pg_advisory_xact_lock" + LockKeys(kMapLock);
}

bool PostgresKeystore::PushMap(const uint64_t& map_key, const std::vector<uint8_t>& map,
                               const uint64_t& version_key, const uint64_t& expected_version) {
  InternalLogger().info("Postgres push_map expected_version: " + std::to_string(expected_version));
  const uint64_t new_version = expected_version + 1;
  PGconn* connection = connection_.get();
  bool committing = false;
  try {
    // One round trip opens the transaction with its settings. The limit applies from the
    // next statement on, so the lock's wait below is bounded by it.
    PgOutcome begun = PgExec(
        connection, "BEGIN ISOLATION LEVEL READ COMMITTED; SET LOCAL statement_timeout = '3000'", PGRES_COMMAND_OK);
    if (!begun.ok) LogAndThrow("Failed to begin the map's transaction: " + begun.error);
    PgOutcome lock = PgExec(connection, MapLockStatement(), PGRES_TUPLES_OK);
    if (!lock.ok) throw std::runtime_error("Failed to acquire lock: " + lock.error);

    const std::string map_key_text = std::to_string(map_key);
    const std::string version_key_text = std::to_string(version_key);
    const std::vector<uint8_t> expected_bytes = LittleEndian(expected_version);
    const std::vector<uint8_t> new_bytes = LittleEndian(new_version);
    PgParams params;
    params.AddText(map_key_text);
    params.AddBinary(map);
    params.AddText(id_text_);
    params.AddText(version_key_text);
    params.AddBinary(expected_bytes);
    params.AddBinary(new_bytes);
    const std::string limited_upsert =
        std::string(kRowUpsert) +
        " WHERE EXISTS (SELECT 1 FROM version_check WHERE version_matches = true) RETURNING 1";
    const std::string sql =
        "WITH version_check AS (SELECT CASE WHEN NOT EXISTS (SELECT 1 FROM " + table_ +
        " WHERE key = $4 AND index_name = $3) THEN ($5 = '\\x0000000000000000'::bytea) ELSE "
        "EXISTS (SELECT 1 FROM " + table_ +
        " WHERE key = $4 AND index_name = $3 AND value = $5) END as version_matches), "
        "map_upsert AS (INSERT INTO " + table_ +
        " (key, value, index_name) SELECT $1, $2, $3 FROM version_check WHERE version_matches "
        "= true" + limited_upsert + "), version_upsert AS (INSERT INTO " + table_ +
        " (key, value, index_name) SELECT $4, $6, $3 FROM version_check WHERE version_matches "
        "= true AND EXISTS (SELECT 1 FROM map_upsert)" + limited_upsert +
        ") SELECT EXISTS (SELECT 1 FROM version_upsert) as success, (SELECT version_matches "
        "FROM version_check) as version_ok;";
    PgOutcome update = PgExecParams(connection, sql, params, kTextFormat, PGRES_TUPLES_OK);
    if (!update.ok || update.rows() == 0) {
      throw std::runtime_error("Failed to execute atomic update: " + update.error);
    }
    const bool success = PgText(update.result.get(), 0, 0) == "t";
    const bool version_ok = PgText(update.result.get(), 0, 1) == "t";
    if (!version_ok) {
      InternalLogger().warning("Version mismatch detected: expected " +
                               std::to_string(expected_version));
    }
    update.result.reset();
    committing = success;
    PgOutcome commit = PgExec(connection, "COMMIT", PGRES_COMMAND_OK);
    if (!commit.ok) throw std::runtime_error("Commit failed: " + commit.error);
    if (success) {
      InternalLogger().info("Map and version successfully updated to version " +
                            std::to_string(new_version));
    } else {
      InternalLogger().warning("Version check failed, no update performed. Expected: " +
                               std::to_string(expected_version));
    }
    return success;
  } catch (const ServerUnreachable&) {
    // Not a refused update: retrying would only wait out the same limits again.
    throw;
  } catch (const std::exception& e) {
    if (committing && PgSessionLost(connection)) {
      // The COMMIT's answer was lost, not necessarily the COMMIT: a refusal would make the
      // caller apply its change a second time over its own. The map's bytes are sealed
      // anew at each push, so finding them under the new version means it committed.
      const MapAndVersion stored = GetMap(map_key, version_key);
      if (stored.version == new_version && stored.map_data == map) return true;
    }
    PgRollbackIfOpen(connection);
    InternalLogger().error(std::string("Failed to update map: ") + e.what());
    return false;
  }
}

std::string PostgresKeystore::KeyList(const std::vector<uint64_t>& keys) const {
  // Keys are decimal digits only, so single quotes are safe here.
  std::string list;
  list.reserve(keys.size() * 24);
  for (size_t i = 0; i < keys.size(); ++i) {
    if (i != 0) list += ", ";
    list += '\'';
    list += std::to_string(keys[i]);
    list += '\'';
  }
  return list;
}

void PostgresKeystore::BatchDeleteItems(const std::vector<uint64_t>& keys) {
  InternalLogger().info("Deleting " + std::to_string(keys.size()) + " items from Postgres");
  if (keys.empty()) return;
  const std::string sql =
      "DELETE FROM " + table_ + " WHERE key IN (" + KeyList(keys) + ") AND index_name = " + id_text_ + ";";
  AwaitingRowLocks([&](int64_t lock_wait_ms) {
    if (lock_wait_ms == 0) {
      PgOutcome outcome = PgExec(connection_.get(), sql, PGRES_COMMAND_OK);
      if (!outcome.ok) LogAndThrow("Batch delete failed: " + outcome.error);
      return true;
    }
    // One query string, one transaction: the wait ends with the statement.
    PgOutcome outcome = PgExecAwaitingLock(
        connection_.get(), "SELECT set_config('lock_timeout', '" + std::to_string(lock_wait_ms) + "', true); " + sql,
        PGRES_COMMAND_OK);
    if (outcome.sqlstate == kLockNotAvailable) return false;
    if (!outcome.ok) LogAndThrow("Batch delete failed: " + outcome.error);
    return true;
  }, "nothing was deleted, try again");
  InternalLogger().info("Items successfully deleted from Postgres");
}

void PostgresKeystore::DeleteItem(const uint64_t& key) {
  InternalLogger().info("Deleting item from Postgres with key: " + std::to_string(key));
  PgOutcome outcome = PgExec(connection_.get(),
                             "DELETE FROM " + table_ + " WHERE key = '" + std::to_string(key) +
                                 "' AND index_name = " + id_text_ + ";",
                             PGRES_COMMAND_OK);
  if (!outcome.ok) LogAndThrow("Delete Failed: " + outcome.error);
  InternalLogger().info("Item successfully deleted from Postgres");
}

std::vector<uint8_t> PostgresKeystore::GetItem(const uint64_t& key) {
  InternalLogger().info("Getting item from Postgres");
  const std::string key_text = std::to_string(key);
  PgParams params;
  params.AddText(key_text);
  params.AddText(id_text_);
  PgOutcome outcome = PgExecParams(
      connection_.get(), "SELECT value FROM " + table_ + " WHERE key = $1 AND index_name = $2;",
      params, kBinaryFormat, PGRES_TUPLES_OK);
  // A failed read must not pass for a missing row.
  if (!outcome.ok) LogAndThrow("Failed to get item from Postgres: " + outcome.error);
  std::vector<uint8_t> value;
  if (outcome.rows() > 0) value = PgBytes(outcome.result.get(), 0, 0);
  InternalLogger().info("Item successfully retrieved from Postgres");
  return value;
}

MapAndVersion PostgresKeystore::GetMap(const uint64_t& map_key, const uint64_t& version_key) {
  InternalLogger().info("Getting map from Postgres");
  const std::string map_key_text = std::to_string(map_key);
  const std::string version_key_text = std::to_string(version_key);
  PgParams params;
  params.AddText(map_key_text);
  params.AddText(id_text_);
  params.AddText(version_key_text);
  params.AddText(id_text_);
  PgOutcome outcome = PgExecParams(
      connection_.get(),
      "SELECT   (SELECT value FROM " + table_ +
          " WHERE key = $1 AND index_name = $2) as map_data,   (SELECT value FROM " + table_ +
          " WHERE key = $3 AND index_name = $4) as version_data",
      params, kBinaryFormat, PGRES_TUPLES_OK);
  // An empty map would read as "no lists yet" to the engine: report the failure instead.
  if (!outcome.ok) LogAndThrow("Failed to get map from Postgres: " + outcome.error);
  MapAndVersion result;
  if (outcome.rows() > 0) {
    const PGresult* rows = outcome.result.get();
    if (!PgIsNull(rows, 0, 0)) {
      result.map_data = PgBytes(rows, 0, 0);
      InternalLogger().info("Retrieved map data of size " +
                            std::to_string(result.map_data.size()));
    }
    if (!PgIsNull(rows, 0, 1) && PQgetlength(rows, 0, 1) >= 8) {
      result.version =
          FromLittleEndian(reinterpret_cast<const uint8_t*>(PQgetvalue(rows, 0, 1)));
      InternalLogger().info("Retrieved version: " + std::to_string(result.version));
    }
  }
  InternalLogger().info("Map and version successfully retrieved from Postgres");
  return result;
}

// The map and its version are ordinary rows of this store, and PushMap's statement
// compares and sets them atomically.
bool PostgresKeystore::CompareAndSetValue(const uint64_t& key, const std::vector<uint8_t>& value,
                                          const uint64_t& version_key,
                                          const uint64_t& expected_version) {
  return PushMap(key, value, version_key, expected_version);
}

std::string PostgresKeystore::KeyValueColumns(char part) {
  return part == 0 ? "SELECT key, value FROM " : std::string("SELECT key, value, '") + part + "'::text FROM ";
}

std::string PostgresKeystore::KeyValueQuery(int param, char part) const {
  return KeyValueColumns(part) + table_ + " WHERE key = $" + std::to_string(param) +
         "::varchar AND index_name = " + id_text_;
}

std::string PostgresKeystore::KeyValuesQuery(int param, char part) const {
  return KeyValueColumns(part) + table_ + " WHERE key = ANY($" + std::to_string(param) +
         "::varchar[]) AND index_name = " + id_text_;
}

std::string PostgresKeystore::MapsQuery(size_t key_count, char part) const {
  std::string sql;
  for (size_t i = 0; i < key_count; ++i) {
    if (i != 0) sql += " UNION ALL ";
    sql += KeyValueQuery(static_cast<int>(i + 1), part);
  }
  return sql;
}

std::string PostgresKeystore::KeyArray(const std::vector<uint64_t>& keys) {
  std::string array = "{";
  array.reserve(keys.size() * 21 + 2);
  for (size_t i = 0; i < keys.size(); ++i) {
    if (i != 0) array += ',';
    array += std::to_string(keys[i]);
  }
  array += '}';
  return array;
}

PgOutcome PostgresKeystore::SelectKeyValues(const std::vector<uint64_t>& keys) {
  // One key is prepared once per session, as an equality on the whole primary key. Several
  // are planned at each call with the keys known: the plan a prepared statement settles on
  // after five runs, made for an array of unknown length, made a get of 100 keys 8 to 20
  // times slower on a table whose statistics were old.
  const bool one = keys.size() == 1;
  const std::string fetched = one ? std::to_string(keys.front()) : KeyArray(keys);
  const auto exec = one ? PgExecPrepared : PgExecParams;
  const auto query = [&](int param, char part) { return one ? KeyValueQuery(param, part) : KeyValuesQuery(param, part); };
  if (std::optional<Session::Look>& look = connection_.session->look; look && !look->maps && !look->failure) {
    // The maps read waiting on this session goes in the same statement: one round trip.
    PgOutcome outcome;
    try {
      PgParams params;
      if (one) {
        for (const std::string& key : look->key_texts) params.AddText(key);
      } else {
        params.AddText(look->key_array);
      }
      params.AddText(fetched);
      outcome = exec(connection_.get(),
                     (one ? look->sql : look->array_sql) + " UNION ALL " + query(params.size(), kFetchPart), params,
                     kBinaryFormat, PGRES_TUPLES_OK);
    } catch (...) {
      look->failure = std::current_exception();
      throw;
    }
    try {
      look->maps = MapsOf(outcome, look->keys, kLookPart);
    } catch (...) {
      look->failure = std::current_exception();
    }
    if (!outcome.ok) LogAndThrow("Batch get failed: " + outcome.error);
    return outcome;
  }
  PgParams params;
  params.AddText(fetched);
  PgOutcome outcome = exec(connection_.get(), query(1, 0), params, kBinaryFormat, PGRES_TUPLES_OK);
  if (!outcome.ok) LogAndThrow("Batch get failed: " + outcome.error);
  return outcome;
}

Matrix<uint8_t> PostgresKeystore::BatchGetItems(const std::vector<uint64_t>& keys) {
  InternalLogger().info("Getting " + std::to_string(keys.size()) + " items from Postgres");
  if (keys.empty()) {
    InternalLogger().warning("No keys provided for batch retrieval");
    return Matrix<uint8_t>();
  }
  PgOutcome outcome = SelectKeyValues(keys);
  const std::unordered_map<uint64_t, int> row_of = ParseKeyValueRows(outcome);
  Matrix<uint8_t> result;
  result.rows = keys.size();
  result.cols = value_size_;
  result.data.assign(keys.size() * value_size_, 0);
  for (size_t i = 0; i < keys.size(); ++i) {
    auto it = row_of.find(keys[i]);
    if (it == row_of.end()) continue;
    const size_t length = std::min<size_t>(
        value_size_, static_cast<size_t>(PQgetlength(outcome.result.get(), it->second, 1)));
    if (length > 0) std::memcpy(result.row(i), PQgetvalue(outcome.result.get(), it->second, 1), length);
  }
  InternalLogger().info("Items successfully retrieved from Postgres");
  return result;
}

std::vector<std::vector<uint8_t>> PostgresKeystore::BatchGetVariable(
    const std::vector<uint64_t>& keys) {
  InternalLogger().info("Getting " + std::to_string(keys.size()) + " items from Postgres");
  if (keys.empty()) {
    InternalLogger().warning("No keys provided for batch retrieval");
    return {};
  }
  PgOutcome outcome = SelectKeyValues(keys);
  const std::unordered_map<uint64_t, int> row_of = ParseKeyValueRows(outcome);
  std::vector<std::vector<uint8_t>> result(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    auto it = row_of.find(keys[i]);
    if (it != row_of.end()) result[i] = PgBytes(outcome.result.get(), it->second, 1);
  }
  InternalLogger().info("Items successfully retrieved from Postgres");
  return result;
}

void PostgresKeystore::RequireConfigStore() const {
  if (!is_config()) {
    InternalLogger().error("Cannot store config items in a non-config keystore");
    throw std::invalid_argument("Cannot store config items in a non-config keystore");
  }
}

void PostgresKeystore::PushConfigItem(const std::string& name, const std::vector<uint8_t>& blob) {
  RequireConfigStore();
  PgParams params;
  params.AddText(name);
  params.AddBinary(blob);
  PgOutcome outcome = PgExecParams(connection_.get(),
                                   "INSERT INTO " + table_ +
                                       " (index_name, config) VALUES ($1, $2) ON CONFLICT "
                                       "(index_name) DO UPDATE SET config = EXCLUDED.config;",
                                   params, kTextFormat, PGRES_COMMAND_OK);
  if (!outcome.ok) throw std::runtime_error("Postgres put_item error: " + outcome.error);
}

bool PostgresKeystore::CompareAndSetConfigItem(const std::string& name,
                                               const std::vector<uint8_t>& expected,
                                               const std::vector<uint8_t>& blob) {
  RequireConfigStore();
  PgParams params;
  params.AddText(name);
  params.AddBinary(blob);
  // Under READ COMMITTED a racing update of the row is waited for and the comparison made
  // again on what it stored; a racing insert of the name makes this one do nothing.
  std::string sql;
  if (expected.empty()) {
    sql = "INSERT INTO " + table_ + " (index_name, config) VALUES ($1, $2) ON CONFLICT (index_name) DO "
          "NOTHING RETURNING 1;";
  } else {
    params.AddBinary(expected);
    sql = "UPDATE " + table_ + " SET config = $2 WHERE index_name = $1 AND config = $3 RETURNING 1;";
  }
  PgOutcome outcome = PgExecParams(connection_.get(), sql, params, kTextFormat, PGRES_TUPLES_OK);
  if (!outcome.ok) LogAndThrow("Failed to compare and set config item '" + name + "': " + outcome.error);
  // Sent again after its answer was lost, it finds its own committed write in the way.
  if (outcome.rows() == 0 && outcome.sent_again) return ConfigItemIs(name, blob);
  return outcome.rows() == 1;
}

bool PostgresKeystore::ConfigItemIs(const std::string& name, const std::vector<uint8_t>& blob) {
  PgParams params;
  params.AddText(name);
  PgOutcome outcome = PgExecParams(connection_.get(), "SELECT config FROM " + table_ + " WHERE index_name = $1;",
                                   params, kBinaryFormat, PGRES_TUPLES_OK);
  if (!outcome.ok) {
    LogAndThrow("PostgreSQL server " + PgServerAddress(connection_.get()) + " lost the answer to a write of record '" +
                name + "' and then failed to say whether it was done (" + outcome.error +
                "): call again, or load the index to see its state");
  }
  const bool is = outcome.rows() == 0 ? blob.empty() : PgBytes(outcome.result.get(), 0, 0) == blob;
  if (is) InternalLogger().info("The write of record '" + name + "' whose answer was lost had been done");
  return is;
}

std::vector<uint8_t> PostgresKeystore::LoadConfigItem(const std::string& name) {
  PgParams params;
  params.AddText(name);
  PgOutcome outcome = PgExecParams(connection_.get(),
                                   "SELECT config FROM " + table_ + " WHERE index_name = $1;",
                                   params, kBinaryFormat, PGRES_TUPLES_OK);
  if (!outcome.ok) LogAndThrow("Postgres get_item error: " + outcome.error);
  if (outcome.rows() != 1) LogAndThrow("Index name '" + name + "' does not exist in Postgres.");
  return PgBytes(outcome.result.get(), 0, 0);
}

bool PostgresKeystore::ConfigItemExists(const std::string& name) {
  PgParams params;
  params.AddText(name);
  PgOutcome outcome =
      PgExecParams(connection_.get(),
                   "SELECT EXISTS(SELECT 1 FROM " + table_ + " WHERE index_name = $1)", params,
                   kTextFormat, PGRES_TUPLES_OK);
  if (!outcome.ok) LogAndThrow("PostgreSQL query error: " + outcome.error);
  return outcome.rows() > 0 && PgText(outcome.result.get(), 0, 0) == "t";
}

void PostgresKeystore::DeleteConfigItem(const std::string& name) {
  if (!is_config()) return;  // its table holds no named blobs
  PgParams params;
  params.AddText(name);
  PgOutcome outcome = PgExecParams(connection_.get(),
                                   "DELETE FROM " + table_ + " WHERE index_name = $1;", params,
                                   kTextFormat, PGRES_COMMAND_OK);
  if (!outcome.ok) LogAndThrow("Failed to delete config item: " + outcome.error);
}

bool PostgresKeystore::DeleteConfigItemIf(const std::string& name, const std::vector<uint8_t>& expected) {
  if (!is_config() || expected.empty()) return false;
  PgParams params;
  params.AddText(name);
  params.AddBinary(expected);
  PgOutcome outcome = PgExecParams(connection_.get(),
                                   "DELETE FROM " + table_ + " WHERE index_name = $1 AND config = $2 RETURNING 1;",
                                   params, kTextFormat, PGRES_TUPLES_OK);
  if (!outcome.ok) LogAndThrow("Failed to delete config item '" + name + "': " + outcome.error);
  if (outcome.rows() == 0 && outcome.sent_again) return ConfigItemIs(name, {});
  return outcome.rows() == 1;
}

void PostgresKeystore::AddOwnConfigNames(PgParams& params) {
  params.AddText(own_config_names_[0]);
  params.AddText(own_config_names_[1]);
}

void PostgresKeystore::DeleteIndex() {
  InternalLogger().info("Deleting index from Postgres");
  if (is_config()) {
    // Exact names, no pattern: another index whose name starts with ours keeps its rows.
    PgParams params;
    AddOwnConfigNames(params);
    PgOutcome outcome = PgExecParams(
        connection_.get(), "DELETE FROM " + table_ + " WHERE index_name IN ($1, $2);", params,
        kTextFormat, PGRES_COMMAND_OK);
    if (!outcome.ok) LogAndThrow("Failed to delete index: " + outcome.error);
  } else {
    PgParams params;
    params.AddText(id_text_);
    // Under the lock of the maps' compare-and-set: a push whose snapshot predates the
    // deletion would otherwise store a map again over entries that are gone.
    // A COMMIT whose answer was lost runs once more: deleting what is gone changes nothing.
    for (bool again = true;; again = false) {
      bool committing = false;
      BeginTransaction();
      try {
        PgOutcome lock = PgExec(connection_.get(), MapLockStatement(), PGRES_TUPLES_OK);
        if (!lock.ok) throw std::runtime_error("Failed to acquire lock: " + lock.error);
        PgOutcome outcome =
            PgExecParams(connection_.get(), "DELETE FROM " + table_ + " WHERE index_name = $1;",
                         params, kTextFormat, PGRES_COMMAND_OK);
        if (!outcome.ok) throw std::runtime_error(outcome.error);
        committing = true;
        CommitTransaction();
        break;
      } catch (const ServerUnreachable&) {
        throw;
      } catch (const std::exception& failure) {
        if (committing && again && PgSessionLost(connection_.get())) continue;
        PgRollbackIfOpen(connection_.get());
        LogAndThrow(std::string("Failed to delete index (string representation): ") + failure.what());
      }
    }
    PgOutcome numeric = PgExecParams(
        connection_.get(), "DELETE FROM " + table_ + " WHERE index_name::bigint = $1;", params,
        kTextFormat, PGRES_COMMAND_OK);
    if (!numeric.ok) {
      InternalLogger().warning("Note: Failed to delete index numeric representation: " +
                               numeric.error);
    }
  }
  InternalLogger().info("Index successfully deleted from Postgres");
}

uint64_t PostgresKeystore::GetNumItems() {
  PgOutcome outcome;
  if (is_config()) {
    // Only this index's own items: the config table is shared by every index.
    PgParams params;
    AddOwnConfigNames(params);
    outcome = PgExecParams(connection_.get(),
                           "SELECT COUNT(*) FROM " + table_ + " WHERE index_name IN ($1, $2);",
                           params, kTextFormat, PGRES_TUPLES_OK);
  } else {
    outcome = PgExec(connection_.get(),
                     "SELECT COUNT(*) FROM " + table_ + " WHERE index_name = " + id_text_ + ";",
                     PGRES_TUPLES_OK);
  }
  if (!outcome.ok) LogAndThrow("Failed to count items in Postgres: " + outcome.error);
  if (outcome.rows() == 0) return 0;
  return std::stoull(PgText(outcome.result.get(), 0, 0));
}

std::vector<uint64_t> PostgresKeystore::GetAllKeys() {
  InternalLogger().info("Getting all keys from Postgres");
  PgParams params;
  params.AddText(id_text_);
  PgOutcome outcome =
      PgExecParams(connection_.get(), "SELECT key FROM " + table_ + " WHERE index_name = $1;",
                   params, kTextFormat, PGRES_TUPLES_OK);
  if (!outcome.ok) LogAndThrow("Failed to get all keys: " + outcome.error);
  std::vector<uint64_t> keys;
  keys.reserve(static_cast<size_t>(outcome.rows()));
  for (int row = 0; row < outcome.rows(); ++row) {
    keys.push_back(std::stoull(PgText(outcome.result.get(), row, 0)));
  }
  InternalLogger().info("Retrieved " + std::to_string(keys.size()) + " keys from Postgres");
  return keys;
}

std::vector<std::string> PostgresKeystore::MapKeyTexts(const std::vector<std::pair<uint64_t, uint64_t>>& keys) {
  std::vector<std::string> texts;
  texts.reserve(2 * keys.size());
  for (const auto& [map_key, version_key] : keys) {
    texts.push_back(std::to_string(map_key));
    texts.push_back(std::to_string(version_key));
  }
  return texts;
}

std::vector<MapAndVersion> PostgresKeystore::MapsOf(
    const PgOutcome& outcome, const std::vector<std::pair<uint64_t, uint64_t>>& keys, char part) const {
  if (!outcome.ok) {
    LogAndThrow("Failed to read the state of index '" + index_name_ + "' from PostgreSQL server " +
                PgServerAddress(connection_.get()) + ": " + outcome.error + "; nothing was changed, try again");
  }
  const PGresult* rows = outcome.result.get();
  const std::unordered_map<uint64_t, int> row_of = ParseKeyValueRows(outcome, part);
  auto row_of_key = [&](uint64_t key) {
    const auto found = row_of.find(key);
    return found == row_of.end() ? -1 : found->second;
  };
  std::vector<MapAndVersion> maps(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    if (const int row = row_of_key(keys[i].first); row >= 0) maps[i].map_data = PgBytes(rows, row, 1);
    if (const int row = row_of_key(keys[i].second); row >= 0 && PQgetlength(rows, row, 1) >= 8) {
      maps[i].version = FromLittleEndian(reinterpret_cast<const uint8_t*>(PQgetvalue(rows, row, 1)));
    }
  }
  return maps;
}

std::vector<MapAndVersion> PostgresKeystore::GetMaps(
    const std::vector<std::pair<uint64_t, uint64_t>>& keys) {
  if (keys.empty()) return {};
  const std::vector<std::string> texts = MapKeyTexts(keys);
  PgParams params;
  for (const std::string& key : texts) params.AddText(key);
  return MapsOf(PgExecPrepared(connection_.get(), MapsQuery(texts.size()), params, kBinaryFormat, PGRES_TUPLES_OK),
                keys);
}

void PostgresKeystore::SendMapsRead(const std::vector<std::pair<uint64_t, uint64_t>>& keys) {
  maps_read_keys_ = keys;
  if (connection_.session->shared) {
    // A statement left pending here would stand in the way of the other stores' on this
    // session: the read waits for the next key-value read on it and goes in its statement.
    std::vector<std::string> texts = MapKeyTexts(keys);
    std::string array = "{";
    for (const std::string& key : texts) array += (array.size() > 1 ? "," : "") + key;
    array += '}';
    connection_.session->look = Session::Look{MapsQuery(texts.size(), kLookPart), std::move(texts),
                                              KeyValuesQuery(1, kLookPart), std::move(array), keys, std::nullopt,
                                              nullptr};
    return;
  }
  maps_read_ =
      PgSendPrepared(connection_.get(), MapsQuery(2 * keys.size()), MapKeyTexts(keys), kBinaryFormat, PGRES_TUPLES_OK);
}

std::vector<MapAndVersion> PostgresKeystore::ReceiveMaps() {
  if (!maps_read_) {
    std::optional<Session::Look> look = std::exchange(connection_.session->look, std::nullopt);
    if (look && look->failure) std::rethrow_exception(look->failure);
    if (look && look->maps) return std::move(*look->maps);
    return GetMaps(maps_read_keys_);  // no read went out on the session since
  }
  PgSentStatement sent = std::move(*maps_read_);
  maps_read_.reset();
  return MapsOf(PgReceive(connection_.get(), sent), maps_read_keys_);
}

}  // namespace ombrix_encrypted_index::internal::backing_store
