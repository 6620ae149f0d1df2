#include "backing_store/redis_keystore.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "backing_store/server_errors.h"
#include "diagnostics/logger.h"

namespace ombrix_encrypted_index::internal::backing_store {

using ombrix::InternalLogger;

namespace {

// Every script runs atomically on the server and is sent by its digest (RedisScript).

// KEYS: map hash, map field, version field; ARGV: map bytes, expected version, next
// version (both decimal, so text equality is numeric).
const RedisScript kCompareAndSet(
    "local stored = redis.call('HGET', KEYS[1], KEYS[3]) "
    "if (stored == false and ARGV[2] == '0') or stored == ARGV[2] then "
    "redis.call('HSET', KEYS[1], KEYS[2], ARGV[1], KEYS[3], ARGV[3]) "
    "return 1 "
    "end "
    "return 0");

// The compare-and-set of a plain value, in the item hash. KEYS: item hash; ARGV: value
// field, value, version field, expected version, next version (fields and versions as 8
// little-endian bytes; an absent version counts as 0).
const RedisScript kCompareAndSetValue(
    "local stored = redis.call('HGET', KEYS[1], ARGV[3]) "
    "if (stored == false and ARGV[4] == string.rep('\\0', 8)) or stored == ARGV[4] then "
    "redis.call('HSET', KEYS[1], ARGV[1], ARGV[2], ARGV[3], ARGV[5]) "
    "return 1 "
    "end "
    "return 0");

// The compare-and-set of a named blob. KEYS: config hash; ARGV: name, expected, blob. An
// empty expected blob stands for none stored, so a stored empty blob does not match it.
const RedisScript kCompareAndSetConfig(
    "local stored = redis.call('HGET', KEYS[1], ARGV[1]) "
    "if (#ARGV[2] == 0 and stored == false) or (#ARGV[2] > 0 and stored == ARGV[2]) then "
    "redis.call('HSET', KEYS[1], ARGV[1], ARGV[3]) "
    "return 1 "
    "end "
    "return 0");

// KEYS: item hash, map hash.
// Removes a config field only while it holds exactly the blob given.
const RedisScript kDeleteConfigIf(
    "if redis.call('HGET', KEYS[1], ARGV[1]) == ARGV[2] then return redis.call('HDEL', KEYS[1], ARGV[1]) end "
    "return 0");
const RedisScript kDeleteBoth("return {redis.call('DEL', KEYS[1]), redis.call('DEL', KEYS[2])}");

// The server's clock in milliseconds as the Lua number `now`: only where a lease's end is
// set in the writers' set or judged there.
#define OMBRIX_REDIS_NOW                 \
  "local t = redis.call('TIME') "        \
  "local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000) "

// The check every fenced script starts with. KEYS 1: the exclusive key; KEYS 2: the
// writer's own lease key (shared fence); ARGV 1: 'x' (exclusive), 's' (shared) or '-' (no
// fence); ARGV 2: the holder. A hold that is not live refuses the write, saying whether
// the exclusive hold is in another's hands or no hold is left at all. A writer's lease key
// expires with its lease on the server's own clock, so judging it needs no TIME.
#define OMBRIX_REDIS_FENCE                                                                \
  "if ARGV[1] == 'x' then "                                                               \
  "local h = redis.call('GET', KEYS[1]) "                                                 \
  "if h ~= ARGV[2] then return redis.error_reply(h and 'HOLD_LOST taken' or 'HOLD_LOST gone') end " \
  "elseif ARGV[1] == 's' and redis.call('EXISTS', KEYS[2]) == 0 then "                    \
  "return redis.error_reply('HOLD_LOST gone') "                                           \
  "end "
constexpr char kHoldLost[] = "HOLD_LOST";

// Fenced bodies. KEYS 3: the hash written; ARGV from 3 on as each says. Fields go to the
// server in slices, as Lua's unpack takes at most a few thousand values at once.
const RedisScript kFencedHset(  // field, value pairs
    OMBRIX_REDIS_FENCE
    "for i = 3, #ARGV, 2000 do "
    "redis.call('HSET', KEYS[3], unpack(ARGV, i, math.min(i + 1999, #ARGV))) end return 1");
const RedisScript kFencedCompareAndSet(  // map field, version field, map, expected, next
    OMBRIX_REDIS_FENCE
    "local stored = redis.call('HGET', KEYS[3], ARGV[4]) "
    "if (stored == false and ARGV[6] == '0') or stored == ARGV[6] then "
    "redis.call('HSET', KEYS[3], ARGV[3], ARGV[5], ARGV[4], ARGV[7]) return 1 end return 0");
// KEYS from 4 on: item hashes (this store's, then those of the stores it carries writes
// for); ARGV as kFencedCompareAndSet, then per hash the count of its fields and its field,
// value pairs.
const RedisScript kFencedCompareAndSetThenHset(
    OMBRIX_REDIS_FENCE
    "local stored = redis.call('HGET', KEYS[3], ARGV[4]) "
    "if not ((stored == false and ARGV[6] == '0') or stored == ARGV[6]) then return 0 end "
    "redis.call('HSET', KEYS[3], ARGV[3], ARGV[5], ARGV[4], ARGV[7]) "
    "local at = 8 "
    "for k = 4, #KEYS do "
    "local last = at + 2 * tonumber(ARGV[at]) "
    "for i = at + 1, last, 2000 do "
    "redis.call('HSET', KEYS[k], unpack(ARGV, i, math.min(i + 1999, last))) end "
    "at = last + 1 end return 1");
const RedisScript kFencedCompareAndSetValue(  // field, value, version field, expected, next
    OMBRIX_REDIS_FENCE
    "local stored = redis.call('HGET', KEYS[3], ARGV[5]) "
    "if (stored == false and ARGV[6] == string.rep('\\0', 8)) or stored == ARGV[6] then "
    "redis.call('HSET', KEYS[3], ARGV[3], ARGV[4], ARGV[5], ARGV[7]) return 1 end return 0");
const RedisScript kFencedDelete(  // KEYS 3 and 4: item and map hash
    OMBRIX_REDIS_FENCE
    "return {redis.call('DEL', KEYS[3]), redis.call('DEL', KEYS[4])}");
const RedisScript kFencedHdel(  // fields
    OMBRIX_REDIS_FENCE
    "for i = 3, #ARGV, 2000 do "
    "redis.call('HDEL', KEYS[3], unpack(ARGV, i, math.min(i + 1999, #ARGV))) end return 1");

// KEYS: the map hash, then the item hash of each store whose fields go; ARGV: the state
// field, the state expected there (empty: none), then per item hash the count of its
// fields and the fields. Removes nothing, and answers 0, unless the state is as expected.
const RedisScript kHdelWhileState(
    "local stored = redis.call('HGET', KEYS[1], ARGV[1]) "
    "if (#ARGV[2] == 0 and stored ~= false) or (#ARGV[2] > 0 and stored ~= ARGV[2]) then return 0 end "
    "local at = 3 "
    "for k = 2, #KEYS do "
    "local last = at + tonumber(ARGV[at]) "
    "for i = at + 1, last, 2000 do redis.call('HDEL', KEYS[k], unpack(ARGV, i, math.min(i + 1999, last))) end "
    "at = last + 1 "
    "end "
    "return 1");

// Hold scripts. KEYS: the exclusive key, the writers' set, the holder's lease key; ARGV:
// the holder, the lease. A
// shared hold lives twice: as the holder's lease key, which expires with the lease and is
// what its fence and its release judge, and as a member of the writers' set scored by the
// end of the lease, which is what an exclusive holder counts. Both are set in one script,
// the key first and the score read off TIME after it, so the member never ends before the
// key: once an exclusive holder finds the member ended, the writer's fence finds no key.
// The writers' set lives twice as long as its newest lease, so a set of writers that all
// died goes by itself.
#define OMBRIX_REDIS_JOIN_WRITERS(refused)                                 \
  "if redis.call('EXISTS', KEYS[1]) == 1 then return " refused " end "     \
  "local lease = tonumber(ARGV[2]) "                                       \
  "redis.call('SET', KEYS[3], '1', 'PX', lease) "                          \
  OMBRIX_REDIS_NOW                                                         \
  "redis.call('ZADD', KEYS[2], now + lease, ARGV[1]) "                     \
  "redis.call('PEXPIRE', KEYS[2], 2 * lease) "
const RedisScript kTakeShared(OMBRIX_REDIS_JOIN_WRITERS("0") "return 1");
const RedisScript kTakeExclusive(
    "local holder = redis.call('GET', KEYS[1]) "
    "if holder and holder ~= ARGV[1] then return {0, 0} end "
    "redis.call('SET', KEYS[1], ARGV[1], 'PX', ARGV[2]) "
    OMBRIX_REDIS_NOW
    "redis.call('ZREMRANGEBYSCORE', KEYS[2], '-inf', '(' .. string.format('%d', now)) "
    "return {1, redis.call('ZCARD', KEYS[2])}");
const RedisScript kRenewShared(
    "if redis.call('PEXPIRE', KEYS[3], ARGV[2]) == 0 then return 0 end "
    OMBRIX_REDIS_NOW
    "local lease = tonumber(ARGV[2]) "
    "redis.call('ZADD', KEYS[2], now + lease, ARGV[1]) "
    "redis.call('PEXPIRE', KEYS[2], 2 * lease) return 1");
const RedisScript kRenewExclusive(
    "if redis.call('GET', KEYS[1]) == ARGV[1] then redis.call('PEXPIRE', KEYS[1], ARGV[2]) return 1 end "
    "return 0");
const RedisScript kReleaseExclusive(
    "if redis.call('GET', KEYS[1]) == ARGV[1] then redis.call('DEL', KEYS[1]) return 1 end return 0");
#undef OMBRIX_REDIS_JOIN_WRITERS
#undef OMBRIX_REDIS_FENCE
#undef OMBRIX_REDIS_NOW

RedisEndpoint EndpointOf(const ombrix::DBConfig& config) {
  if (!config.connection_string) {
    throw std::runtime_error("Redis connection string not provided");
  }
  return ReadRedisEndpoint(ParseRedisConnectionString(*config.connection_string));
}

uint64_t FromWire(const char* bytes) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(bytes[i]);
  return value;
}

std::vector<uint8_t> BytesOf(const redisReply& reply) {
  return std::vector<uint8_t>(reply.str, reply.str + reply.len);
}

bool IsBulk(const redisReply* reply) { return reply != nullptr && reply->type == REDIS_REPLY_STRING; }

}  // namespace

std::optional<std::string> UnverifiedTlsWarning(const ombrix::DBConfig& config) {
  if (config.location != ombrix::REDIS || !config.connection_string) return std::nullopt;
  try {
    return UnverifiedTlsWarning(ReadRedisEndpoint(ParseRedisConnectionString(*config.connection_string)));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

RedisKeystore::RedisKeystore(ombrix::DBConfig config, const std::string& index_name,
                             uint64_t index_id, int32_t store_kind)
    : Keystore(index_id + static_cast<uint64_t>(static_cast<int64_t>(store_kind)), index_name),
      table_name_(config.table_name.value()),
      store_kind_(store_kind),
      item_hash_(ToWire(hashed_index_name_)),
      map_hash_(std::to_string(hashed_index_name_)),
      exclusive_key_(map_hash_ + ":hold"),
      writers_key_(map_hash_ + ":writers"),
      connection_(EndpointOf(config)) {
  const RedisEndpoint endpoint = EndpointOf(config);
  db_ = endpoint.db;
  server_ = endpoint.address() + "/" + std::to_string(endpoint.db);
  connection_.SetSubject("index '" + index_name_ + "'");
}

RedisKeystore::WireKey RedisKeystore::ToWire(uint64_t value) {
  WireKey wire;
  for (size_t i = 0; i < wire.size(); ++i) wire[i] = static_cast<char>(value >> (8 * i));
  return wire;
}

void RedisKeystore::CheckBatch(const std::vector<uint64_t>& keys, size_t rows) const {
  if (keys.empty()) {
    InternalLogger().error("No keys provided for batch insertion");
    throw std::invalid_argument("No keys provided for batch insertion");
  }
  if (rows != keys.size()) {
    InternalLogger().error("Mismatch between number of keys (" + std::to_string(keys.size()) +
                           ") and batch size (" + std::to_string(rows) + ")");
    throw std::invalid_argument("Mismatch between number of keys and batch size");
  }
}

template <typename ValueAt>
void RedisKeystore::PipelineHset(const std::vector<uint64_t>& keys, bool skip_empty,
                                 ValueAt value_at) {
  if (write_fence_) {
    // One fenced script for the whole call: the hold is checked once, and a refusal
    // leaves none of the batch written.
    std::vector<WireKey> fields;
    fields.reserve(keys.size());  // the views below point into it
    std::vector<std::string_view> args;
    args.reserve(2 * keys.size());
    for (size_t i = 0; i < keys.size(); ++i) {
      auto [data, length] = value_at(i);
      if (skip_empty && length == 0) continue;
      fields.push_back(ToWire(keys[i]));
      args.emplace_back(fields.back().data(), fields.back().size());
      args.emplace_back(data, length);
    }
    if (!args.empty()) EvalFenced(kFencedHset, {ItemHash()}, args, "HSET");
    InternalLogger().info("Items successfully pushed to Redis");
    return;
  }
  for (size_t i = 0; i < keys.size(); ++i) {
    auto [data, length] = value_at(i);
    if (skip_empty && length == 0) continue;
    WireKey field = ToWire(keys[i]);
    const char* argv[] = {"HSET", item_hash_.data(), field.data(), data};
    const size_t lengths[] = {4, item_hash_.size(), field.size(), length};
    connection_.Append("HSET", 4, argv, lengths);
  }
  connection_.CollectPipelinedReplies("HSET");
  InternalLogger().info("Items successfully pushed to Redis");
}

void RedisKeystore::BatchPushItems(const std::vector<uint64_t>& keys,
                                   const Matrix<uint8_t>& values) {
  InternalLogger().info("Pushing " + std::to_string(keys.size()) + " items to Redis");
  CheckBatch(keys, values.rows);
  // Measured on the buffer too: a Matrix whose data disagrees with rows x cols is refused
  // instead of read past its end.
  if (values.cols != value_size_ || values.data.size() != values.rows * values.cols) {
    InternalLogger().error("Amount of data " + std::to_string(values.rows * values.cols) +
                           " must be divisible by the size of each value " +
                           std::to_string(keys.size() * value_size_));
    throw std::invalid_argument("Amount of data must be divisible by the size of each value");
  }
  PipelineHset(keys, /*skip_empty=*/false, [&](size_t i) {
    return std::pair(reinterpret_cast<const char*>(values.row(i)), static_cast<size_t>(values.cols));
  });
}

void RedisKeystore::BatchPushVariable(const std::vector<uint64_t>& keys,
                                      const std::vector<std::vector<uint8_t>>& values) {
  InternalLogger().info("Pushing variable " + std::to_string(keys.size()) + " items to Redis");
  CheckBatch(keys, values.size());
  // An empty value is skipped: whatever is stored under its key stays.
  PipelineHset(keys, /*skip_empty=*/true, [&](size_t i) {
    return std::pair(reinterpret_cast<const char*>(values[i].data()), values[i].size());
  });
}

void RedisKeystore::PushItem(const uint64_t& key, const std::vector<uint8_t>& value) {
  InternalLogger().info("Pushing item to Redis");
  WireKey field = ToWire(key);
  if (write_fence_) {
    EvalFenced(kFencedHset, {ItemHash()},
               {std::string_view(field.data(), field.size()),
                std::string_view(reinterpret_cast<const char*>(value.data()), value.size())},
               "HSET");
    return;
  }
  connection_.Check(connection_.Send("HSET %b %b %b", item_hash_.data(), item_hash_.size(),
                                     field.data(), field.size(), value.data(), value.size()),
                    "HSET");
  InternalLogger().info("Item successfully pushed to Redis");
}

bool RedisKeystore::PushMap(const uint64_t& map_key, const std::vector<uint8_t>& map,
                            const uint64_t& version_key, const uint64_t& expected_version) {
  InternalLogger().info("Pushing map and version to Redis. Expected version: " +
                        std::to_string(expected_version));
  std::string map_field = std::to_string(map_key);
  std::string version_field = std::to_string(version_key);
  std::string expected = std::to_string(expected_version);
  std::string next = std::to_string(expected_version + 1);
  RedisReplyPtr reply =
      write_fence_
          ? EvalFenced(kFencedCompareAndSet, {map_hash_},
                       {map_field, version_field,
                        std::string_view(reinterpret_cast<const char*>(map.data()), map.size()),
                        expected, next},
                       "EVAL")
          : connection_.Check(
                connection_.Eval(kCompareAndSet,
                                 {"3", map_hash_, map_field, version_field,
                                  std::string_view(reinterpret_cast<const char*>(map.data()), map.size()),
                                  expected, next}),
                "EVAL");
  std::string type_line = std::string("Redis reply type: ") + RedisReplyTypeName(reply->type);
  if (reply->type == REDIS_REPLY_INTEGER) type_line += ", value: " + std::to_string(reply->integer);
  InternalLogger().info(type_line);

  bool stored = false;
  if (reply->type == REDIS_REPLY_INTEGER) {
    stored = reply->integer == 1;
  } else if (reply->type == REDIS_REPLY_STRING || reply->type == REDIS_REPLY_STATUS) {
    std::string text(reply->str, reply->len);
    InternalLogger().info("String reply: " + text);
    stored = text == "1" || text == "true" || text == "success";
  } else if (reply->type == REDIS_REPLY_NIL) {
    InternalLogger().warning("Redis returned NIL");
  }
  if (stored) {
    InternalLogger().info("Map and version successfully pushed to Redis. New version: " + next);
    InternalLogger().info("Map stored successfully: 1");
  } else {
    InternalLogger().warning("Version check failed, update aborted");
    InternalLogger().info("Map stored successfully: 0");
  }
  return stored;
}

bool RedisKeystore::PushMapAndValues(const uint64_t& map_key, const std::vector<uint8_t>& map,
                                     const uint64_t& version_key, const uint64_t& expected_version,
                                     const std::vector<uint64_t>& keys,
                                     const std::vector<std::vector<uint8_t>>& values,
                                     const std::vector<CarriedValues>& carried) {
  if (!write_fence_ || keys.empty()) {
    return Keystore::PushMapAndValues(map_key, map, version_key, expected_version, keys, values, carried);
  }
  CheckBatch(keys, values.size());
  // This store's values first, then each carried store's that this script may write; the
  // rest go after it, in turn.
  struct HashValues {
    std::string_view hash;
    const std::vector<uint64_t>* keys;
    const std::vector<std::vector<uint8_t>>* values;
  };
  std::vector<HashValues> hashes = {{ItemHash(), &keys, &values}};
  std::vector<CarriedValues> after;
  size_t fields_total = keys.size();
  for (const CarriedValues& other : carried) {
    if (other.keys->empty()) continue;
    if (!CarriesWritesOf(*other.store)) {
      after.push_back(other);
      continue;
    }
    CheckBatch(*other.keys, other.values->size());
    hashes.push_back({static_cast<const RedisKeystore*>(other.store)->ItemHash(), other.keys, other.values});
    fields_total += other.keys->size();
  }
  InternalLogger().info("Pushing map and " + std::to_string(fields_total) +
                        " items to Redis. Expected version: " + std::to_string(expected_version));
  const std::string map_field = std::to_string(map_key);
  const std::string version_field = std::to_string(version_key);
  const std::string expected = std::to_string(expected_version);
  const std::string next = std::to_string(expected_version + 1);
  std::vector<WireKey> fields;
  fields.reserve(fields_total);  // the views below point into it
  std::vector<std::string> counts;
  counts.reserve(hashes.size());  // and into this
  std::vector<std::string_view> script_keys = {map_hash_};
  std::vector<std::string_view> args = {
      map_field, version_field, std::string_view(reinterpret_cast<const char*>(map.data()), map.size()),
      expected, next};
  args.reserve(5 + hashes.size() + 2 * fields_total);
  for (const HashValues& hash : hashes) {
    script_keys.push_back(hash.hash);
    const size_t count_at = args.size();
    args.emplace_back();
    size_t count = 0;
    for (size_t i = 0; i < hash.keys->size(); ++i) {
      const std::vector<uint8_t>& value = (*hash.values)[i];
      if (value.empty()) continue;  // as BatchPushVariable: what is stored stays
      fields.push_back(ToWire((*hash.keys)[i]));
      args.emplace_back(fields.back().data(), fields.back().size());
      args.emplace_back(reinterpret_cast<const char*>(value.data()), value.size());
      ++count;
    }
    counts.push_back(std::to_string(count));
    args[count_at] = counts.back();
  }
  RedisReplyPtr reply = EvalFenced(kFencedCompareAndSetThenHset, script_keys, args, "EVAL");
  const bool stored = reply->type == REDIS_REPLY_INTEGER && reply->integer == 1;
  InternalLogger().info(stored ? "Map and items successfully pushed to Redis. New version: " + next
                               : std::string("Version check failed, update aborted"));
  if (stored && !after.empty()) {
    try {
      WriteInTurn(after);
    } catch (const ServerUnreachable&) {
      throw;
    } catch (const std::exception& failure) {
      throw ValuesNotStoredError(failure.what());
    }
  }
  return stored;
}

bool RedisKeystore::FencesInOneStep(const Keystore& other) const {
  // A script of this store reaches the other store's hash, and judges the other's writes
  // by the hold keys it checks for its own, only where FenceByHoldsOf found one server.
  const auto* store = dynamic_cast<const RedisKeystore*>(&other);
  return store != nullptr && store != this && store->fenced_by_ == this;
}

bool RedisKeystore::DeleteCarriedInOneStepWhileState(const uint64_t& state_key,
                                                     const std::vector<uint8_t>& expected_state,
                                                     const std::vector<CarriedKeys>& carried) {
  std::vector<std::string_view> keys = {map_hash_};
  size_t fields_total = 0;
  for (const CarriedKeys& other : carried) {
    keys.push_back(static_cast<const RedisKeystore*>(other.store)->ItemHash());
    fields_total += other.keys->size();
  }
  InternalLogger().info("Deleting " + std::to_string(fields_total) + " items from Redis");
  const std::string state_field = std::to_string(state_key);
  std::vector<std::string> counts;
  std::vector<WireKey> fields;
  counts.reserve(carried.size());
  fields.reserve(fields_total);
  std::vector<std::string_view> args = {
      state_field, {reinterpret_cast<const char*>(expected_state.data()), expected_state.size()}};
  args.reserve(2 + carried.size() + fields_total);
  for (const CarriedKeys& other : carried) {
    args.emplace_back(counts.emplace_back(std::to_string(other.keys->size())));
    for (uint64_t key : *other.keys) {
      const WireKey& field = fields.emplace_back(ToWire(key));
      args.emplace_back(field.data(), field.size());
    }
  }
  const std::string key_count = std::to_string(keys.size());
  std::vector<std::string_view> argv = {key_count};
  argv.insert(argv.end(), keys.begin(), keys.end());
  argv.insert(argv.end(), args.begin(), args.end());
  RedisReplyPtr reply = connection_.Check(connection_.Eval(kHdelWhileState, argv), "EVAL");
  return reply->type == REDIS_REPLY_INTEGER && reply->integer == 1;
}

void RedisKeystore::BatchDeleteItems(const std::vector<uint64_t>& keys) {
  InternalLogger().info("Deleting " + std::to_string(keys.size()) + " items from Redis");
  if (keys.empty()) {
    InternalLogger().warning("No keys provided for batch deletion");
    return;
  }
  if (write_fence_) {
    // One fenced script for the whole call, as for the fenced pushes.
    std::vector<WireKey> fields;
    fields.reserve(keys.size());
    for (uint64_t key : keys) fields.push_back(ToWire(key));
    std::vector<std::string_view> args;
    args.reserve(fields.size());
    for (const WireKey& field : fields) args.emplace_back(field.data(), field.size());
    EvalFenced(kFencedHdel, {ItemHash()}, args, "HDEL");
    InternalLogger().info("Items successfully deleted from Redis");
    return;
  }
  // One multi-key HDEL per chunk, all chunks pipelined: the same end state as one HDEL
  // per key, without a round trip per key.
  std::vector<WireKey> fields;
  std::vector<const char*> argv;
  std::vector<size_t> lengths;
  for (size_t start = 0; start < keys.size(); start += kDeleteChunk) {
    size_t end = std::min(keys.size(), start + kDeleteChunk);
    fields.clear();
    for (size_t i = start; i < end; ++i) fields.push_back(ToWire(keys[i]));
    argv.assign({"HDEL", item_hash_.data()});
    lengths.assign({4, item_hash_.size()});
    for (const WireKey& field : fields) {
      argv.push_back(field.data());
      lengths.push_back(field.size());
    }
    connection_.Append("HDEL", static_cast<int>(argv.size()), argv.data(), lengths.data());
  }
  connection_.CollectPipelinedReplies("HDEL");
  InternalLogger().info("Items successfully deleted from Redis");
}

void RedisKeystore::DeleteItem(const uint64_t& key) {
  InternalLogger().info("Deleting item from Redis");
  WireKey field = ToWire(key);
  if (write_fence_) {
    EvalFenced(kFencedHdel, {ItemHash()}, {std::string_view(field.data(), field.size())}, "HDEL");
    return;
  }
  connection_.Check(connection_.Send("HDEL %b %b", item_hash_.data(), item_hash_.size(),
                                     field.data(), field.size()),
                    "HDEL");
  InternalLogger().info("Item successfully deleted from Redis");
}

std::vector<uint8_t> RedisKeystore::GetItem(const uint64_t& key) {
  InternalLogger().info("Getting item from Redis");
  WireKey field = ToWire(key);
  RedisReplyPtr reply = connection_.Check(
      connection_.Send("HGET %b %b", item_hash_.data(), item_hash_.size(), field.data(),
                       field.size()),
      "HGET");
  std::vector<uint8_t> value;
  if (IsBulk(reply.get())) value = BytesOf(*reply);
  InternalLogger().info("Item successfully retrieved from Redis");
  return value;
}

MapAndVersion RedisKeystore::GetMap(const uint64_t& map_key, const uint64_t& version_key) {
  InternalLogger().info("Getting map and version from Redis");
  std::string map_field = std::to_string(map_key);
  std::string version_field = std::to_string(version_key);
  RedisReplyPtr reply = connection_.Check(
      connection_.Send("HMGET %s %s %s", map_hash_.c_str(), map_field.c_str(),
                       version_field.c_str()),
      "HMGET");
  MapAndVersion result;
  if (reply->type != REDIS_REPLY_ARRAY || reply->elements != 2) return result;
  if (IsBulk(reply->element[0])) result.map_data = BytesOf(*reply->element[0]);
  const redisReply* version = reply->element[1];
  if (IsBulk(version)) {
    InternalLogger().info("Version reply type: " + std::to_string(version->type));
    try {
      result.version = std::stoull(std::string(version->str, version->len));
      InternalLogger().info("Retrieved version: " + std::to_string(result.version));
    } catch (const std::logic_error& e) {  // invalid_argument and out_of_range
      InternalLogger().warning(std::string("Failed to parse version: ") + e.what());
      result.version = 0;
    }
  } else {
    InternalLogger().info("Version reply is not a string or is null");
  }
  return result;
}

bool RedisKeystore::CompareAndSetValue(const uint64_t& key, const std::vector<uint8_t>& value,
                                       const uint64_t& version_key,
                                       const uint64_t& expected_version) {
  const WireKey field = ToWire(key);
  const WireKey version_field = ToWire(version_key);
  const WireKey expected = ToWire(expected_version);
  const WireKey next = ToWire(expected_version + 1);
  auto view = [](const WireKey& wire) { return std::string_view(wire.data(), wire.size()); };
  if (write_fence_) {
    RedisReplyPtr reply = EvalFenced(
        kFencedCompareAndSetValue, {ItemHash()},
        {view(field), std::string_view(reinterpret_cast<const char*>(value.data()), value.size()),
         view(version_field), view(expected), view(next)},
        "EVAL");
    return reply->type == REDIS_REPLY_INTEGER && reply->integer == 1;
  }
  RedisReplyPtr reply = connection_.Check(
      connection_.Eval(kCompareAndSetValue,
                       {"1", ItemHash(), view(field),
                        std::string_view(reinterpret_cast<const char*>(value.data()), value.size()),
                        view(version_field), view(expected), view(next)}),
      "EVAL");
  return reply->type == REDIS_REPLY_INTEGER && reply->integer == 1;
}

RedisReplyPtr RedisKeystore::HmgetBatch(const std::vector<uint64_t>& keys) {
  std::vector<WireKey> fields;
  fields.reserve(keys.size());
  for (uint64_t key : keys) fields.push_back(ToWire(key));
  std::vector<const char*> argv = {"HMGET", item_hash_.data()};
  std::vector<size_t> lengths = {5, item_hash_.size()};
  argv.reserve(keys.size() + 2);
  lengths.reserve(keys.size() + 2);
  for (const WireKey& field : fields) {
    argv.push_back(field.data());
    lengths.push_back(field.size());
  }
  RedisReplyPtr reply = connection_.Check(
      connection_.SendArgv(static_cast<int>(argv.size()), argv.data(), lengths.data()), "HMGET");
  // Callers index the reply by key position: anything but one element per key is a
  // reply they cannot place.
  if (reply->type != REDIS_REPLY_ARRAY || reply->elements != keys.size()) {
    std::string message = "HMGET returned " +
                          std::to_string(reply->type == REDIS_REPLY_ARRAY ? reply->elements : 0) +
                          " values for " + std::to_string(keys.size()) + " keys";
    InternalLogger().error(message);
    throw std::runtime_error(message);
  }
  return reply;
}

Matrix<uint8_t> RedisKeystore::BatchGetItems(const std::vector<uint64_t>& keys) {
  InternalLogger().info("Getting " + std::to_string(keys.size()) + " items from Redis");
  if (keys.empty()) {
    InternalLogger().warning("No keys provided for batch retrieval");
    return Matrix<uint8_t>();
  }
  RedisReplyPtr reply = HmgetBatch(keys);
  Matrix<uint8_t> rows(keys.size(), value_size_, 0);
  for (size_t i = 0; i < keys.size(); ++i) {
    const redisReply* element = reply->element[i];
    if (!IsBulk(element)) continue;  // missing: the row stays zero
    // A value of another width cannot be a row: refusing it keeps every row in place.
    if (element->len != value_size_) {
      std::string message = "Key " + std::to_string(keys[i]) + " has unexpected value size: " +
                            std::to_string(element->len) + " (expected " +
                            std::to_string(value_size_) + ")";
      InternalLogger().error(message);
      throw std::runtime_error(message);
    }
    std::memcpy(rows.row(i), element->str, element->len);
  }
  InternalLogger().info("Items successfully retrieved from Redis");
  return rows;
}

std::vector<std::vector<uint8_t>> RedisKeystore::BatchGetVariable(
    const std::vector<uint64_t>& keys) {
  InternalLogger().info("Getting " + std::to_string(keys.size()) + " items from Redis");
  std::vector<std::vector<uint8_t>> values(keys.size());
  if (keys.empty()) return values;
  RedisReplyPtr reply = HmgetBatch(keys);
  for (size_t i = 0; i < keys.size(); ++i) {
    if (IsBulk(reply->element[i])) values[i] = BytesOf(*reply->element[i]);
  }
  InternalLogger().info("Items successfully retrieved from Redis");
  return values;
}

void RedisKeystore::PushConfigItem(const std::string& name, const std::vector<uint8_t>& blob) {
  void* raw = connection_.Send("HSET %s %b %b", table_name_.c_str(), name.data(), name.size(),
                               blob.data(), blob.size());
  if (raw == nullptr) {
    InternalLogger().critical("Redis HSET error: connection failure.");
    throw std::runtime_error("Redis set_item error: connection failure.");
  }
  RedisReplyPtr reply(static_cast<redisReply*>(raw));
  if (reply->type == REDIS_REPLY_ERROR) {
    const std::string message = "Redis HSET error: " + std::string(reply->str, reply->len);
    InternalLogger().error(message);
    throw std::runtime_error(message);
  }
  connection_.Check(reply.release(), "HSET");
}

bool RedisKeystore::CompareAndSetConfigItem(const std::string& name, const std::vector<uint8_t>& expected,
                                            const std::vector<uint8_t>& blob) {
  auto bytes = [](const std::vector<uint8_t>& value) {
    return std::string_view(reinterpret_cast<const char*>(value.data()), value.size());
  };
  RedisReplyPtr reply = connection_.Check(
      connection_.Eval(kCompareAndSetConfig, {"1", table_name_, name, bytes(expected), bytes(blob)}),
      "EVAL");
  return reply->type == REDIS_REPLY_INTEGER && reply->integer == 1;
}

bool RedisKeystore::DeleteConfigItemIf(const std::string& name, const std::vector<uint8_t>& expected) {
  if (expected.empty()) return false;
  const std::string_view blob(reinterpret_cast<const char*>(expected.data()), expected.size());
  RedisReplyPtr reply =
      connection_.Check(connection_.Eval(kDeleteConfigIf, {"1", table_name_, name, blob}), "EVAL");
  return reply->type == REDIS_REPLY_INTEGER && reply->integer == 1;
}

std::vector<uint8_t> RedisKeystore::LoadConfigItem(const std::string& name) {
  void* raw = connection_.Send("HGET %s %b", table_name_.c_str(), name.data(), name.size());
  if (raw == nullptr) {
    InternalLogger().critical("Redis HGET error: connection failure.");
    throw std::runtime_error("Redis get_item error: connection failure.");
  }
  RedisReplyPtr reply = connection_.Check(raw, "HGET");
  if (reply->type == REDIS_REPLY_NIL) {
    InternalLogger().error("Index name '" + name + "' does not exist in Redis.");
    // Config item names are the index name plus a four-character suffix.
    std::string index_name = name.size() >= 4 ? name.substr(0, name.size() - 4) : std::string();
    throw std::runtime_error("Index name '" + index_name + "' does not exist in Redis.");
  }
  return IsBulk(reply.get()) ? BytesOf(*reply) : std::vector<uint8_t>();
}

bool RedisKeystore::ConfigItemExists(const std::string& name) {
  void* raw = connection_.Send("HEXISTS %s %b", table_name_.c_str(), name.data(), name.size());
  if (raw == nullptr) {
    InternalLogger().error("Redis HEXISTS error: connection failure.");
    throw std::runtime_error("Redis HEXISTS error: connection failure.");
  }
  RedisReplyPtr reply = connection_.Check(raw, "HEXISTS");
  return reply->type == REDIS_REPLY_INTEGER && reply->integer == 1;
}

void RedisKeystore::DeleteConfigItem(const std::string& name) {
  void* raw = connection_.Send("HDEL %s %b", table_name_.c_str(), name.data(), name.size());
  if (raw == nullptr) {
    InternalLogger().error("Redis HDEL error: connection failure.");
    throw std::runtime_error("Redis HDEL error: connection failure.");
  }
  connection_.Check(raw, "HDEL");
}

void RedisKeystore::DeleteIndex() {
  InternalLogger().info("Deleting index from Redis");
  if (store_kind_ == ombrix::CONFIG) {
    // The config hash is shared by every index configured with this table: only this
    // index's own records go.
    const auto [index_record, config_record] = OwnConfigNames();
    RedisReplyPtr reply = connection_.Check(
        connection_.Send("HDEL %s %b %b", table_name_.c_str(), index_record.data(),
                         index_record.size(), config_record.data(), config_record.size()),
        "HDEL");
    if (reply->type == REDIS_REPLY_INTEGER && reply->integer == 0) {
      InternalLogger().warning("No config items of index " + index_name_ + " found in " +
                               table_name_ + " to delete.");
    }
  } else {
    // One script: entries and counter map go together or not at all, so a reply lost
    // after the server ran it cannot leave a map over missing entries.
    RedisReplyPtr reply =
        write_fence_
            ? EvalFenced(kFencedDelete, {ItemHash(), map_hash_}, {}, "DEL")
            : connection_.Check(connection_.Eval(kDeleteBoth, {"2", ItemHash(), map_hash_}), "DEL");
    if (reply->type == REDIS_REPLY_ARRAY) {
      for (size_t i = 0; i < reply->elements; ++i) {
        const redisReply* deleted = reply->element[i];
        if (deleted->type == REDIS_REPLY_INTEGER && deleted->integer == 0) {
          InternalLogger().warning("No index found with name " + map_hash_ + " to delete.");
        }
      }
    }
  }
  InternalLogger().info("Index successfully deleted from Redis");
}

std::array<std::string, 2> RedisKeystore::OwnConfigNames() const {
  return {index_name_ + ".oei", index_name_ + ".ovs"};
}

uint64_t RedisKeystore::GetNumItems() {
  if (store_kind_ == ombrix::CONFIG) {
    // The config hash is shared by every index configured with this table: only this
    // index's own records count.
    uint64_t count = 0;
    for (const std::string& name : OwnConfigNames()) {
      RedisReplyPtr reply = connection_.Check(
          connection_.Send("HEXISTS %s %b", table_name_.c_str(), name.data(), name.size()),
          "HEXISTS");
      if (reply->type == REDIS_REPLY_INTEGER && reply->integer == 1) ++count;
    }
    return count;
  }
  // Every value the store holds: the item hash's fields and the map hash's (the map and
  // its version), as the memory and PostgreSQL stores count their map among their values.
  auto count = [](const RedisReplyPtr& reply) {
    return reply->type == REDIS_REPLY_INTEGER ? static_cast<uint64_t>(reply->integer) : 0;
  };
  const uint64_t items = count(connection_.Check(
      connection_.Send("HLEN %b", item_hash_.data(), item_hash_.size()), "HLEN"));
  return items + count(connection_.Check(connection_.Send("HLEN %s", map_hash_.c_str()), "HLEN"));
}

std::vector<uint64_t> RedisKeystore::GetAllKeys() {
  InternalLogger().info("Getting all keys from Redis");
  RedisReplyPtr reply = connection_.Check(
      connection_.Send("HKEYS %b", item_hash_.data(), item_hash_.size()), "HKEYS");
  std::vector<uint64_t> keys;
  if (reply->type == REDIS_REPLY_ARRAY) {
    keys.reserve(reply->elements);
    for (size_t i = 0; i < reply->elements; ++i) {
      const redisReply* element = reply->element[i];
      // Only 8-byte fields are keys of this store.
      if (IsBulk(element) && element->len == 8) keys.push_back(FromWire(element->str));
    }
  }
  InternalLogger().info("Retrieved " + std::to_string(keys.size()) + " keys from Redis");
  return keys;
}

void RedisKeystore::SetWriteFence(std::optional<WriteFence> fence) {
  Keystore::SetWriteFence(fence);
  fence_holder_ = fence ? std::to_string(fence->holder) : std::string("0");
  fence_lease_key_ = fence_writers_key_ + ":" + fence_holder_;
}

bool RedisKeystore::FenceByHoldsOf(Keystore& holder_store) {
  // A script judges another store's hold in the same step as its own write only on the
  // server and db that keep both. The same address and db name one server; another
  // spelling ("localhost", another name of the host) may too, as the server's run id says.
  auto* holder = dynamic_cast<RedisKeystore*>(&holder_store);
  if (holder == nullptr || holder == this) return false;
  if (holder->server_ != server_ &&
      (holder->db_ != db_ || ServerRunId().empty() || holder->ServerRunId() != ServerRunId())) {
    return false;
  }
  fenced_by_ = holder;
  fence_exclusive_key_ = holder->exclusive_key_;
  fence_writers_key_ = holder->writers_key_;
  fence_lease_key_ = fence_writers_key_ + ":" + fence_holder_;
  return true;
}

const std::string& RedisKeystore::ServerRunId() {
  if (run_id_) return *run_id_;
  run_id_ = std::string();
  RedisReplyPtr reply;
  try {
    reply = connection_.Check(connection_.Send("INFO server"), "INFO");
  } catch (const ServerUnreachable&) {
    throw;
  } catch (const RedisReplyLost&) {
    throw;
  } catch (const std::exception& refused) {
    // An account the server denies INFO: taken for another server, as before.
    InternalLogger().info("Redis server " + server_ + " did not say which server it is (" + refused.what() +
                          "): stores of index '" + index_name_ + "' there are taken for another server's");
    return *run_id_;
  }
  if (reply->type == REDIS_REPLY_STRING || reply->type == REDIS_REPLY_VERB) {
    const std::string_view info(reply->str, reply->len);
    constexpr std::string_view kField = "run_id:";
    for (size_t at = info.find(kField); at != std::string_view::npos; at = info.find(kField, at + 1)) {
      if (at != 0 && info[at - 1] != '\n') continue;
      const size_t begin = at + kField.size();
      const size_t end = info.find_first_of("\r\n", begin);
      run_id_ = std::string(info.substr(begin, end == std::string_view::npos ? end : end - begin));
      break;
    }
  }
  return *run_id_;
}

RedisReplyPtr RedisKeystore::EvalFenced(const RedisScript& script, const std::vector<std::string_view>& keys,
                                        const std::vector<std::string_view>& args, const char* word) {
  const std::string key_count = std::to_string(2 + keys.size());
  const char* kind = !write_fence_ ? "-" : write_fence_->kind == HoldKind::kExclusive ? "x" : "s";
  std::vector<std::string_view> argv = {key_count, fence_exclusive_key_, fence_lease_key_};
  argv.reserve(keys.size() + args.size() + 5);
  argv.insert(argv.end(), keys.begin(), keys.end());
  argv.emplace_back(kind, 1);
  argv.emplace_back(fence_holder_);
  argv.insert(argv.end(), args.begin(), args.end());
  void* raw = connection_.Eval(script, argv);
  if (raw != nullptr) {
    const auto* reply = static_cast<const redisReply*>(raw);
    // The server may put its own code ("ERR ") before the script's text.
    const std::string_view text =
        reply->type == REDIS_REPLY_ERROR ? std::string_view(reply->str, reply->len) : std::string_view();
    if (const size_t at = text.find(kHoldLost); at != std::string_view::npos) {
      const std::string_view found = text.substr(at + sizeof(kHoldLost) - 1);
      std::string message;
      if (found.find("taken") != std::string_view::npos) {
        message = "Another process holds index '" + index_name_ +
                  "' on the Redis server now: the hold of this process ran out before its write "
                  "reached the server, which refused it";
      } else {
        message = "The Redis server no longer holds the hold of this process on index '" +
                  index_name_ + "' (restarted, or its lease ran out): it refused the write";
      }
      // What the caller can do depends on what held the index: a writer's shared hold, or
      // the exclusive hold of a training, a deletion or a creation (whose caller says so).
      message += write_fence_ && write_fence_->kind == HoldKind::kShared
                     ? "; the upsert stopped, and part of its items may be stored: upsert the same items again"
                     : "; the operation stopped before it finished: train or delete the index again";
      freeReplyObject(raw);
      InternalLogger().error(message);
      throw HoldLostError(message);
    }
  }
  return connection_.Check(raw, word);
}

void RedisKeystore::ThrowNoAnswer(const char* what) const {
  const std::string message = "Redis gave no answer to " + std::string(what) + " on index '" +
                              index_name_ + "': the connection dropped while it waited";
  InternalLogger().error(message);
  throw RedisReplyLost(message);
}

RedisReplyPtr RedisKeystore::EvalHold(const RedisScript& script, uint64_t holder, uint64_t lease_ms,
                                      const char* what) {
  const std::string holder_text = std::to_string(holder);
  const std::string lease_text = std::to_string(lease_ms);
  const std::string lease_key = LeaseKey(holder_text);
  try {
    return connection_.Check(
        connection_.Eval(script, {"3", exclusive_key_, writers_key_, lease_key, holder_text, lease_text}),
        "EVAL");
  } catch (const RedisReplyLost&) {
    ThrowNoAnswer(what);
  }
}

HoldGrant RedisKeystore::TakeHold(HoldKind kind, uint64_t holder, uint64_t lease_ms) {
  if (kind == HoldKind::kShared) {
    RedisReplyPtr reply = EvalHold(kTakeShared, holder, lease_ms, "the taking of a shared hold");
    return {reply->type == REDIS_REPLY_INTEGER && reply->integer == 1, false};
  }
  RedisReplyPtr reply = EvalHold(kTakeExclusive, holder, lease_ms, "the taking of the exclusive hold");
  if (reply->type != REDIS_REPLY_ARRAY || reply->elements != 2 ||
      reply->element[0]->type != REDIS_REPLY_INTEGER || reply->element[1]->type != REDIS_REPLY_INTEGER) {
    throw std::runtime_error("Redis answered the exclusive hold with an unexpected reply");
  }
  return {reply->element[0]->integer == 1, reply->element[1]->integer > 0};
}

bool RedisKeystore::RenewHold(HoldKind kind, uint64_t holder, uint64_t lease_ms) {
  // Without an answer nobody knows whether the hold is still live: the holder must stop
  // as if it were lost, and say why.
  try {
    RedisReplyPtr reply = EvalHold(kind == HoldKind::kShared ? kRenewShared : kRenewExclusive, holder,
                                   lease_ms, "the renewal of the hold of this process");
    return reply->type == REDIS_REPLY_INTEGER && reply->integer == 1;
  } catch (const RedisReplyLost& lost) {
    throw HoldLostError(std::string(lost.what()) +
                        "; whether the server still holds it is unknown, so the operation stopped");
  } catch (const ServerUnreachable& unreachable) {
    // The caller says what to do about a lost hold; the server's own part is what happened.
    const auto* unanswered = dynamic_cast<const RedisUnanswered*>(&unreachable);
    const std::string message = "The renewal of the hold of this process on index '" + index_name_ +
                                "' got no answer (" +
                                (unanswered != nullptr ? unanswered->fact() : std::string(unreachable.what())) +
                                "); whether the server still holds it is unknown, so the operation "
                                "stopped";
    InternalLogger().error(message);
    throw HoldLostError(message);
  }
}

bool RedisKeystore::ReleaseHold(HoldKind kind, uint64_t holder) {
  if (kind == HoldKind::kExclusive) {
    RedisReplyPtr reply = EvalHold(kReleaseExclusive, holder, 0, "the release of the hold of this process");
    return reply->type == REDIS_REPLY_INTEGER && reply->integer == 1;
  }
  // Two plain commands in one round trip, cheaper on the server than a script: the lease
  // key, whose removal says whether it was still live, then the member an exclusive holder
  // counts. One seeing the member in between only waits a little longer for it.
  const std::string holder_text = std::to_string(holder);
  const std::string lease_key = LeaseKey(holder_text);
  const char* del[] = {"DEL", lease_key.c_str()};
  const size_t del_lengths[] = {3, lease_key.size()};
  const char* zrem[] = {"ZREM", writers_key_.c_str(), holder_text.c_str()};
  const size_t zrem_lengths[] = {4, writers_key_.size(), holder_text.size()};
  std::vector<RedisReplyPtr> replies;
  try {
    connection_.Append("DEL", 2, del, del_lengths);
    connection_.Append("ZREM", 3, zrem, zrem_lengths);
    connection_.CollectPipelinedReplies("DEL", &replies);
  } catch (const RedisReplyLost&) {
    ThrowNoAnswer("the release of the hold of this process");
  }
  return replies.size() == 2 && replies[0]->type == REDIS_REPLY_INTEGER && replies[0]->integer == 1;
}

bool RedisKeystore::ExclusiveHoldIsLive() {
  RedisReplyPtr reply =
      connection_.Check(connection_.Send("EXISTS %s", exclusive_key_.c_str()), "EXISTS");
  return reply->type == REDIS_REPLY_INTEGER && reply->integer == 1;
}

std::vector<MapAndVersion> RedisKeystore::MapsOf(const redisReply& reply, size_t count) {
  if (reply.type != REDIS_REPLY_ARRAY || reply.elements != 2 * count) {
    throw std::runtime_error("Redis answered a read of the maps with an unexpected reply");
  }
  std::vector<MapAndVersion> maps(count);
  for (size_t i = 0; i < count; ++i) {
    const redisReply* map = reply.element[2 * i];
    const redisReply* version = reply.element[2 * i + 1];
    if (IsBulk(map)) maps[i].map_data = BytesOf(*map);
    if (IsBulk(version)) {
      try {
        maps[i].version = std::stoull(std::string(version->str, version->len));
      } catch (const std::logic_error&) {
        maps[i].version = 0;
      }
    }
  }
  return maps;
}

namespace {
std::vector<std::string> MapFields(const std::vector<std::pair<uint64_t, uint64_t>>& keys) {
  std::vector<std::string> fields;
  for (const auto& [map_key, version_key] : keys) {
    fields.push_back(std::to_string(map_key));
    fields.push_back(std::to_string(version_key));
  }
  return fields;
}
}  // namespace

void RedisKeystore::MapsCommand(const std::vector<std::string>& fields, std::vector<const char*>& argv,
                                std::vector<size_t>& lengths) const {
  argv = {"HMGET", map_hash_.c_str()};
  lengths = {5, map_hash_.size()};
  for (const std::string& field : fields) {
    argv.push_back(field.c_str());
    lengths.push_back(field.size());
  }
}

std::vector<MapAndVersion> RedisKeystore::GetMaps(
    const std::vector<std::pair<uint64_t, uint64_t>>& keys) {
  if (keys.empty()) return {};
  const std::vector<std::string> fields = MapFields(keys);
  std::vector<const char*> argv;
  std::vector<size_t> lengths;
  MapsCommand(fields, argv, lengths);
  RedisReplyPtr reply = connection_.Check(
      connection_.SendArgv(static_cast<int>(argv.size()), argv.data(), lengths.data()), "HMGET");
  return MapsOf(*reply, keys.size());
}

void RedisKeystore::SendMapsRead(const std::vector<std::pair<uint64_t, uint64_t>>& keys) {
  const std::vector<std::string> fields = MapFields(keys);
  std::vector<const char*> argv;
  std::vector<size_t> lengths;
  MapsCommand(fields, argv, lengths);
  maps_read_count_ = keys.size();
  connection_.Append("HMGET", static_cast<int>(argv.size()), argv.data(), lengths.data());
  connection_.SendAppended("HMGET");
}

std::vector<MapAndVersion> RedisKeystore::ReceiveMaps() {
  std::vector<RedisReplyPtr> replies;
  connection_.CollectPipelinedReplies("HMGET", &replies);
  return MapsOf(*replies.back(), maps_read_count_);  // the HMGET was queued last
}

std::pair<HoldGrant, std::vector<MapAndVersion>> RedisKeystore::TakeHoldAndGetMaps(
    HoldKind kind, uint64_t holder, uint64_t lease_ms,
    const std::vector<std::pair<uint64_t, uint64_t>>& maps) {
  if (kind != HoldKind::kShared || maps.empty()) {
    return Keystore::TakeHoldAndGetMaps(kind, holder, lease_ms, maps);
  }
  // The take, then a plain HMGET queued behind it: one round trip, and the maps are read
  // after the grant without passing through the script.
  const std::string holder_text = std::to_string(holder);
  const std::string lease_text = std::to_string(lease_ms);
  const std::string lease_key = LeaseKey(holder_text);
  const std::vector<std::string> fields = MapFields(maps);
  std::vector<const char*> hmget;
  std::vector<size_t> lengths;
  MapsCommand(fields, hmget, lengths);
  std::vector<RedisReplyPtr> replies;
  try {
    connection_.AppendEval(kTakeShared, {"3", exclusive_key_, writers_key_, lease_key, holder_text, lease_text});
    connection_.Append("HMGET", static_cast<int>(hmget.size()), hmget.data(), lengths.data());
    connection_.CollectPipelinedReplies("EVAL", &replies);
  } catch (const RedisReplyLost&) {
    ThrowNoAnswer("the taking of a shared hold");
  } catch (const ServerUnreachable&) {
    throw;
  } catch (const std::runtime_error&) {
    // The server forgot the script (restarted, SCRIPT FLUSH): nothing was taken, so take
    // and read again in turn.
    if (replies.empty() || !RedisConnection::IsNoScript(replies[0].get())) throw;
    return Keystore::TakeHoldAndGetMaps(kind, holder, lease_ms, maps);
  }
  const redisReply& grant = *replies[0];
  if (grant.type != REDIS_REPLY_INTEGER) {
    throw std::runtime_error("Redis answered a shared hold with an unexpected reply");
  }
  if (grant.integer != 1) return {HoldGrant{false, false}, {}};
  return {HoldGrant{true, false}, MapsOf(*replies[1], maps.size())};
}

}  // namespace ombrix_encrypted_index::internal::backing_store
