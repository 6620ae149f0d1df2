#include "backing_store/redis_connection.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>
#include <poll.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "backing_store/server_errors.h"
#include "diagnostics/logger.h"
#include "diagnostics/openssl_thread.h"

namespace ombrix_encrypted_index::internal::backing_store {

using ombrix::InternalLogger;
using ombrix::PrepareThreadForOpenSsl;

std::map<std::string, std::string> ParseRedisConnectionString(const std::string& text) {
  std::map<std::string, std::string> params;
  // A read "yields nothing" only at the end of the text: a lone delimiter still reads as
  // an empty key or value, so "key:," stores an empty value.
  size_t pos = 0;
  while (pos < text.size()) {
    size_t colon = text.find(':', pos);
    std::string key = text.substr(pos, colon == std::string::npos ? std::string::npos : colon - pos);
    if (colon == std::string::npos) break;  // a trailing key with no ':' is dropped
    pos = colon + 1;
    if (pos >= text.size()) break;  // "key:" with nothing after it is dropped
    size_t comma = text.find(',', pos);
    if (comma == std::string::npos) {
      params[key] = text.substr(pos);
      break;
    }
    params[key] = text.substr(pos, comma - pos);
    pos = comma + 1;
  }
  return params;
}

namespace {

const std::string& Required(const std::map<std::string, std::string>& params, const char* key) {
  auto it = params.find(key);
  if (it == params.end()) {
    throw std::runtime_error(std::string("Missing Redis key: '") + key + "'");
  }
  return it->second;
}

std::optional<std::string> Optional(const std::map<std::string, std::string>& params,
                                    const char* key) {
  auto it = params.find(key);
  if (it == params.end()) return std::nullopt;
  return it->second;
}

double ParseTimeout(const std::map<std::string, std::string>& params, const char* key,
                    double fallback) {
  auto it = params.find(key);
  if (it == params.end()) return fallback;
  size_t used = 0;
  double seconds = 0;
  try {
    seconds = std::stod(it->second, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != it->second.size() || !(seconds > 0) || seconds > 86400) {
    throw std::runtime_error(std::string("Invalid Redis ") + key + " value (seconds, above 0): " +
                             it->second);
  }
  return seconds;
}

timeval ToTimeval(double seconds) {
  const auto whole = static_cast<time_t>(seconds);
  return timeval{whole, static_cast<suseconds_t>((seconds - static_cast<double>(whole)) * 1e6)};
}

// What is left of a limit ending at `until`, at least a millisecond: a zero timeval would
// tell hiredis to wait without any limit.
double SecondsLeft(std::chrono::steady_clock::time_point until) {
  const std::chrono::duration<double> left = until - std::chrono::steady_clock::now();
  return std::max(left.count(), 1e-3);
}

std::chrono::steady_clock::time_point After(double seconds) {
  return std::chrono::steady_clock::now() +
         std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

// What the caller can do about a server that did not answer or could not be reached.
constexpr char kRunAgain[] = "make sure the server is running and reachable, then run the call again";

// "5 s", "0.5 s": the limit as the caller wrote it.
std::string SecondsText(double seconds) {
  std::ostringstream text;
  text << seconds << " s";
  return text.str();
}

// hiredis reports a socket time-out as an I/O error with the text of EAGAIN (or, in some
// versions, as its own time-out error).
bool IsTimeout(const redisContext* context) {
  if (context == nullptr || context->err == 0) return false;
#ifdef REDIS_ERR_TIMEOUT
  if (context->err == REDIS_ERR_TIMEOUT) return true;
#endif
  std::string text = context->errstr;
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text.find("temporarily unavailable") != std::string::npos ||
         text.find("timed out") != std::string::npos || text.find("timeout") != std::string::npos;
}

// The first word of a command format: the command's name.
std::string CommandWord(const char* format) {
  const char* end = std::strchr(format, ' ');
  return end == nullptr ? std::string(format) : std::string(format, end);
}

int ParseDb(const std::string& text) {
  size_t used = 0;
  int db = 0;
  try {
    db = std::stoi(text, &used);
  } catch (const std::invalid_argument&) {
    throw std::runtime_error("Invalid Redis DB value (not a number): " + text);
  } catch (const std::out_of_range&) {
    throw std::runtime_error("Invalid Redis DB value (out of range): " + text);
  }
  if (used != text.size()) throw std::runtime_error("Invalid Redis DB value: " + text);
  return db;
}

}  // namespace

RedisEndpoint ReadRedisEndpoint(const std::map<std::string, std::string>& params) {
  const std::string& host = Required(params, "host");
  const std::string& port = Required(params, "port");
  const std::string& db = Required(params, "db");
  RedisEndpoint endpoint;
  endpoint.db = ParseDb(db);
  endpoint.host = host;
  endpoint.port = std::stoi(port);  // std::stoi's own exceptions and text are the contract
  auto ssl = Optional(params, "ssl");
  endpoint.ssl = ssl && (*ssl == "true" || *ssl == "1");
  endpoint.ca_cert = Optional(params, "ca_cert");
  endpoint.ca_path = Optional(params, "ca_path");
  endpoint.cert = Optional(params, "cert");
  endpoint.key = Optional(params, "key");
  endpoint.connect_timeout = ParseTimeout(params, "connect_timeout", endpoint.connect_timeout);
  endpoint.command_timeout = ParseTimeout(params, "command_timeout", endpoint.command_timeout);
  return endpoint;
}

std::optional<std::string> UnverifiedTlsWarning(const RedisEndpoint& endpoint) {
  if (!endpoint.ssl || endpoint.verifies_server()) return std::nullopt;
  return "TLS connection to Redis at " + endpoint.address() +
         " does not verify the server's certificate: no ca_cert or ca_path given";
}

const char* RedisReplyTypeName(int type) {
  switch (type) {
    case REDIS_REPLY_STRING:
      return "STRING";
    case REDIS_REPLY_ARRAY:
      return "ARRAY";
    case REDIS_REPLY_INTEGER:
      return "INTEGER";
    case REDIS_REPLY_NIL:
      return "NIL";
    case REDIS_REPLY_STATUS:
      return "STATUS";
    case REDIS_REPLY_ERROR:
      return "ERROR";
    default:
      return "UNKNOWN";
  }
}

namespace {

const char* CStrOrNull(const std::optional<std::string>& value) {
  return value ? value->c_str() : nullptr;
}

// Both throw with OpenSSL's error queue emptied: what a failed load or handshake left
// there must not be read later as the failure of some other call on this thread.
[[noreturn]] void ThrowTlsContextError(redisSSLContextError error) {
  ERR_clear_error();
  throw std::runtime_error(
      std::string("SSL configuration failed: Failed to create Redis SSL context: ") +
      redisSSLContextGetError(error));
}

// The reason is OpenSSL's: the verification's verdict when the session verifies the
// server and the verdict is a refusal ("hostname mismatch", "unable to get local issuer
// certificate"), else the last queued error's reason; a handshake still waiting for the
// server ran out of time. hiredis' own text is the last resort (it prints a missing
// OpenSSL reason as "(null)").
[[noreturn]] void ThrowTlsStartError(const SSL* ssl = nullptr, const redisContext* connection = nullptr,
                                     bool verifying = false) {
  std::string reason;
  const long verdict = ssl != nullptr ? SSL_get_verify_result(ssl) : X509_V_OK;
  if (verifying && verdict != X509_V_OK) {
    reason = X509_verify_cert_error_string(verdict);
  } else if (const char* queued = ERR_reason_error_string(ERR_peek_last_error())) {
    reason = queued;
  } else if (ssl != nullptr && SSL_want_read(ssl)) {
    reason = "the server did not answer the handshake within the connect time-out";
  } else if (connection != nullptr && connection->err != 0 &&
             !std::string_view(connection->errstr).ends_with("(null)")) {
    reason = connection->errstr;
  }
  ERR_clear_error();
  throw std::runtime_error("SSL configuration failed: Failed to initiate SSL connection to Redis" +
                           (reason.empty() ? std::string() : ": " + reason));
}

bool IsIpAddress(const std::string& host) {
  in6_addr address{};
  return inet_pton(AF_INET, host.c_str(), &address) == 1 ||
         inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

// The TLS context of one connection, loaded in the order the hiredis helper loads it, so
// an unusable file fails with the same library text. The context is built here rather
// than by the helper because the helper's options cannot name the host to verify.
SslContextPtr MakeTlsContext(const RedisEndpoint& endpoint) {
  PrepareThreadForOpenSsl();
  redisInitOpenSSL();
  SslContextPtr context(SSL_CTX_new(TLS_client_method()));
  if (!context) ThrowTlsContextError(REDIS_SSL_CTX_CREATE_FAILED);
  SSL_CTX_set_options(context.get(), SSL_OP_NO_SSLv2 | SSL_OP_NO_SSLv3);
  // A CA the caller names is a CA the caller means to be checked against; without one
  // there is nothing to check with, so say so once per connection.
  if (endpoint.verifies_server()) {
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
  } else {
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
    InternalLogger().warning(*UnverifiedTlsWarning(endpoint));
  }
  if (endpoint.cert.has_value() != endpoint.key.has_value()) {
    ThrowTlsContextError(REDIS_SSL_CTX_CERT_KEY_REQUIRED);
  }
  if (endpoint.verifies_server() &&
      SSL_CTX_load_verify_locations(context.get(), CStrOrNull(endpoint.ca_cert),
                                    CStrOrNull(endpoint.ca_path)) != 1) {
    ThrowTlsContextError(REDIS_SSL_CTX_CA_CERT_LOAD_FAILED);
  }
  if (endpoint.cert) {
    if (SSL_CTX_use_certificate_chain_file(context.get(), endpoint.cert->c_str()) != 1) {
      ThrowTlsContextError(REDIS_SSL_CTX_CLIENT_CERT_LOAD_FAILED);
    }
    if (SSL_CTX_use_PrivateKey_file(context.get(), endpoint.key->c_str(), SSL_FILETYPE_PEM) != 1) {
      ThrowTlsContextError(REDIS_SSL_CTX_PRIVATE_KEY_LOAD_FAILED);
    }
  }
  return context;
}

// Runs the handshake on the open connection. A verified session also requires the
// certificate to name the host: a chain check alone accepts any certificate the CAs ever
// issued, for whatever name.
void StartTls(redisContext* connection, SSL_CTX* context, const RedisEndpoint& endpoint) {
  SslPtr ssl(SSL_new(context));
  if (!ssl) ThrowTlsStartError();
  const bool address = IsIpAddress(endpoint.host);
  // Server name indication carries DNS names only.
  if (!address && SSL_set_tlsext_host_name(ssl.get(), endpoint.host.c_str()) != 1) {
    ThrowTlsStartError();
  }
  if (endpoint.verifies_server()) {
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl.get());
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    const int expected = address ? X509_VERIFY_PARAM_set1_ip_asc(param, endpoint.host.c_str())
                                 : X509_VERIFY_PARAM_set1_host(param, endpoint.host.c_str(), 0);
    if (expected != 1) ThrowTlsStartError();
  }
  // The connection owns the session only once the handshake succeeded.
  if (redisInitiateSSL(connection, ssl.get()) != REDIS_OK) {
    ThrowTlsStartError(ssl.get(), connection, endpoint.verifies_server());
  }
  ssl.release();
}

}  // namespace

RedisConnection::RedisConnection(const RedisEndpoint& endpoint) : endpoint_(endpoint) {
  Connect(endpoint_.connect_timeout, SecondsText(endpoint_.connect_timeout) + " (connect time-out)");
}

const std::string& RedisScript::digest() const {
  std::call_once(digested_, [this] {
    PrepareThreadForOpenSsl();
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const std::string_view text = body();
    if (EVP_Digest(text.data(), text.size(), hash, &length, EVP_sha1(), nullptr) != 1) {
      ERR_clear_error();
      throw std::runtime_error("Failed to compute the digest of a Redis script");
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
      hex += kHex[hash[i] >> 4];
      hex += kHex[hash[i] & 0xf];
    }
    digest_ = std::move(hex);
  });
  return digest_;
}

void RedisConnection::Connect(double limit, const std::string& limit_text) {
  const RedisEndpoint& endpoint = endpoint_;
  pending_ = 0;
  gave_up_ = false;
  sent_scripts_.clear();
  const Clock::time_point until = After(limit);
  context_.reset(redisConnectWithTimeout(endpoint.host.c_str(), endpoint.port, ToTimeval(limit)));
  if (!context_) {
    throw std::runtime_error("Failed to connect to Redis: Could not allocate redis context");
  }
  if (context_->err) {
    if (IsTimeout(context_.get())) {
      throw ServerUnreachable("Failed to connect to Redis: Redis server " + endpoint.address() +
                              " did not accept the connection within " + limit_text);
    }
    throw std::runtime_error(std::string("Failed to connect to Redis: ") + context_->errstr);
  }

  // Setting up shares the limit of connecting: a peer that never answers a handshake (a
  // plain server asked for TLS) must not hold the constructor forever, nor each step of
  // a silent server's set-up spend the whole limit again.
  SetSocketWait(SecondsLeft(until));
  if (endpoint.ssl) {
    ssl_context_ = MakeTlsContext(endpoint);
    StartTls(context_.get(), ssl_context_.get(), endpoint);
  }

  // The replies are waited for as a call's are (GetReply), within what is left of the limit.
  const Clock::time_point call_deadline = deadline_;
  deadline_ = until;
  auto command = [&](const char* format, auto... args) {
    void* raw = nullptr;
    if (redisAppendCommand(context_.get(), format, args...) == REDIS_OK) GetReply(&raw);
    return RedisReplyPtr(static_cast<redisReply*>(raw));
  };
  RedisReplyPtr selected = command("SELECT %d", endpoint.db);
  if (gave_up_ || IsTimeout(context_.get())) {
    throw ServerUnreachable("Redis server " + endpoint.address() + " did not answer SELECT within " +
                            limit_text);
  }
  if (!selected || context_->err) {
    throw std::runtime_error("Failed to select Redis database (db=" + std::to_string(endpoint.db) +
                             "): " + (context_->err ? context_->errstr : "Unknown error"));
  }
  if (selected->type != REDIS_REPLY_STATUS || std::string_view(selected->str, selected->len) != "OK") {
    throw std::runtime_error(
        std::string("Failed to select Redis database: unexpected reply: ") +
        (selected->str != nullptr ? std::string(selected->str, selected->len) : "null"));
  }

  RedisReplyPtr pong = command("PING");
  if (!pong) {
    InternalLogger().critical("PING command failed");
    throw std::runtime_error("Connection verification failed: PING command failed");
  }
  deadline_ = call_deadline;
  SetSocketWait(endpoint.command_timeout);
}

bool RedisConnection::Broken() const {
  if (!context_ || context_->err != 0 || context_->fd < 0 || gave_up_) return true;
  if (pending_ > 0) return false;
  // Nothing is owed on an idle connection, so anything to read (end of stream, a reset,
  // a TLS close) means the server has gone away since the last command.
  pollfd idle{context_->fd, POLLIN, 0};
  return poll(&idle, 1, 0) != 0;
}

void RedisConnection::BeginCall() { deadline_ = After(endpoint_.command_timeout); }

void RedisConnection::ArmDeadline() {
  // Set again only when the call's deadline has moved well away from what the socket
  // waits: back to back calls of a live server then cost no system call here.
  constexpr double kSlackSeconds = 0.25;
  const double left = SecondsLeft(deadline_);
  if (!context_ || std::abs(left - armed_seconds_) <= kSlackSeconds) return;
  SetSocketWait(left);
}

void RedisConnection::SetSocketWait(double seconds) {
  redisSetTimeout(context_.get(), ToTimeval(seconds));
  armed_seconds_ = seconds;
}

void RedisConnection::ReconnectIfBroken() {
  if (!Broken()) return;
  InternalLogger().warning("Reconnecting to Redis server " + endpoint_.address());
  // Opening again is part of the call: it waits no longer than the call has left, and its
  // text names whichever limit bounds it.
  const bool connect_bounds = endpoint_.connect_timeout <= endpoint_.command_timeout;
  try {
    Connect(std::min(endpoint_.connect_timeout, SecondsLeft(deadline_)),
            connect_bounds ? SecondsText(endpoint_.connect_timeout) + " (connect time-out)"
                           : SecondsText(endpoint_.command_timeout) + " (command time-out)");
  } catch (const std::exception& e) {
    // A half set-up session (no SELECT) must never carry a command: drop it, so the next
    // call tries again from the start.
    context_.reset();
    ssl_context_.reset();
    const RedisUnanswered failure(
        "Redis server " + endpoint_.address() + " could not be reached again: " + e.what(),
        (subject_.empty() ? std::string() : " for " + subject_) + ": " + kRunAgain);
    InternalLogger().error(failure.what());
    throw failure;
  }
}

int RedisConnection::GetReply(void** reply) {
  *reply = nullptr;
  if (redisGetReplyFromReader(context_.get(), reply) != REDIS_OK || *reply != nullptr) {
    return *reply != nullptr ? REDIS_OK : REDIS_ERR;
  }
  for (int done = 0; done == 0;) {
    ArmDeadline();
    if (redisBufferWrite(context_.get(), &done) != REDIS_OK) return REDIS_ERR;
  }
  const std::chrono::duration<double, std::milli> left = deadline_ - Clock::now();
  pollfd readable{context_->fd, POLLIN, 0};
  int ready = 0;
  do {
    ready = poll(&readable, 1, static_cast<int>(std::clamp(left.count() + 1.0, 1.0, 2e9)));
  } while (ready < 0 && errno == EINTR);
  if (ready == 0) {
    gave_up_ = true;
    return REDIS_ERR;
  }
  ArmDeadline();
  return redisGetReply(context_.get(), reply);
}

void RedisConnection::ThrowIfTimedOut(const char* word) const {
  if (!gave_up_ && !IsTimeout(context_.get())) return;
  const RedisUnanswered failure("Redis server " + endpoint_.address() + " did not answer " + word + " within " +
                                    SecondsText(endpoint_.command_timeout) + " (command time-out)",
                                (subject_.empty() ? std::string() : " for " + subject_) + ": " + kRunAgain +
                                    ", or give command_timeout in the connection string a larger value "
                                    "if the server needs longer");
  InternalLogger().error(failure.what());
  throw failure;
}

void* RedisConnection::Send(const char* format, ...) {
  BeginCall();
  ReconnectIfBroken();
  DrainPending(CommandWord(format).c_str());
  va_list args;
  va_start(args, format);
  const int appended = redisvAppendCommand(context_.get(), format, args);
  va_end(args);
  void* raw = nullptr;
  if (appended == REDIS_OK) GetReply(&raw);
  if (raw == nullptr) ThrowIfTimedOut(CommandWord(format).c_str());
  return raw;
}

void* RedisConnection::SendArgv(int argc, const char** argv, const size_t* lengths) {
  BeginCall();
  return SendArgvInCall(argc, argv, lengths);
}

void* RedisConnection::SendArgvInCall(int argc, const char** argv, const size_t* lengths) {
  ReconnectIfBroken();
  const std::string word = argc > 0 ? std::string(argv[0], lengths[0]) : std::string();
  DrainPending(word.c_str());
  void* raw = nullptr;
  if (redisAppendCommandArgv(context_.get(), argc, argv, lengths) == REDIS_OK) GetReply(&raw);
  if (raw == nullptr && argc > 0) ThrowIfTimedOut(word.c_str());
  return raw;
}

namespace {

// EVALSHA <digest> or EVAL <body>, then `args`.
void ScriptCommand(const RedisScript& script, bool by_digest, const std::vector<std::string_view>& args,
                   std::vector<const char*>& argv, std::vector<size_t>& lengths) {
  const std::string_view text = by_digest ? std::string_view(script.digest()) : script.body();
  argv.assign({by_digest ? "EVALSHA" : "EVAL", text.data()});
  lengths.assign({by_digest ? size_t{7} : size_t{4}, text.size()});
  for (const std::string_view& arg : args) {
    argv.push_back(arg.data());
    lengths.push_back(arg.size());
  }
}

}  // namespace

bool RedisConnection::IsNoScript(const redisReply* reply) {
  return reply != nullptr && reply->type == REDIS_REPLY_ERROR &&
         std::string_view(reply->str, reply->len).starts_with("NOSCRIPT");
}

void* RedisConnection::Eval(const RedisScript& script, const std::vector<std::string_view>& args) {
  std::vector<const char*> argv;
  std::vector<size_t> lengths;
  auto run = [&](bool by_digest) {
    ScriptCommand(script, by_digest, args, argv, lengths);
    return SendArgvInCall(static_cast<int>(argv.size()), argv.data(), lengths.data());
  };
  BeginCall();  // one deadline, whether the body goes too or not
  void* raw = run(sent_scripts_.contains(&script));
  if (IsNoScript(static_cast<const redisReply*>(raw))) {
    freeReplyObject(raw);
    raw = run(false);
  }
  if (raw != nullptr) sent_scripts_.insert(&script);
  return raw;
}

void RedisConnection::AppendEval(const RedisScript& script, const std::vector<std::string_view>& args) {
  if (pending_ == 0) {  // a new connection has sent no script yet
    BeginCall();
    ReconnectIfBroken();
  }
  std::vector<const char*> argv;
  std::vector<size_t> lengths;
  const bool by_digest = sent_scripts_.contains(&script);
  ScriptCommand(script, by_digest, args, argv, lengths);
  Append(by_digest ? "EVALSHA" : "EVAL", static_cast<int>(argv.size()), argv.data(), lengths.data());
  sent_scripts_.insert(&script);
}

void RedisConnection::DrainPending(const char* word) {
  for (; pending_ > 0; --pending_) {
    void* raw = nullptr;
    if (GetReply(&raw) != REDIS_OK) {
      pending_ = 0;  // hiredis keeps its error set: the next command fails on its own
      ThrowIfTimedOut(word);  // a spent connection must carry no command
      return;
    }
    RedisReplyPtr dropped(static_cast<redisReply*>(raw));
  }
}

RedisReplyPtr RedisConnection::Check(void* raw, const char* word) const {
  RedisReplyPtr reply(static_cast<redisReply*>(raw));
  if (!reply || context_->err) ThrowReplyLost(word);
  if (reply->type == REDIS_REPLY_ERROR) {
    std::string text(reply->str, reply->len);
    InternalLogger().error(std::string("Redis ") + word + " error: " + text);
    throw std::runtime_error(text);
  }
  return reply;
}

void RedisConnection::ThrowReplyLost(const char* word) const {
  const std::string message = "Redis server " + endpoint_.address() + " gave no answer to " + word +
                              (subject_.empty() ? std::string() : " for " + subject_) +
                              ": the connection broke, and whether the server ran it is unknown; run the "
                              "call again";
  InternalLogger().error(message);
  throw RedisReplyLost(message);
}

void RedisConnection::Append(const char* word, int argc, const char** argv,
                             const size_t* lengths) {
  if (pending_ == 0) {  // a batch is one call, from here until its replies are read
    BeginCall();
    ReconnectIfBroken();
  }
  if (redisAppendCommandArgv(context_.get(), argc, argv, lengths) != REDIS_OK) {
    std::string message = std::string("Failed to queue ") + word + " command";
    InternalLogger().error(message);
    throw std::runtime_error(message);
  }
  ++pending_;
}

void RedisConnection::SendAppended(const char* word) {
  ArmDeadline();
  for (int done = 0; done == 0;) {
    if (redisBufferWrite(context_.get(), &done) != REDIS_OK) {
      pending_ = 0;
      ThrowIfTimedOut(word);
      ThrowReplyLost(word);
    }
  }
}

void RedisConnection::CollectPipelinedReplies(const char* word, std::vector<RedisReplyPtr>* kept) {
  std::optional<std::string> first_error;
  for (; pending_ > 0; --pending_) {
    // Due by the batch's deadline however long the caller took to come for them.
    void* raw = nullptr;
    int status = GetReply(&raw);
    RedisReplyPtr reply(static_cast<redisReply*>(raw));
    if (status != REDIS_OK || !reply) {
      pending_ = 0;
      ThrowIfTimedOut(word);
      ThrowReplyLost(word);
    }
    if (reply->type == REDIS_REPLY_ERROR && !first_error) {
      first_error.emplace(reply->str, reply->len);
    }
    if (kept != nullptr) kept->push_back(std::move(reply));
  }
  if (first_error) {
    InternalLogger().error(std::string("Redis ") + word + " error: " + *first_error);
    throw std::runtime_error(*first_error);
  }
}

}  // namespace ombrix_encrypted_index::internal::backing_store
