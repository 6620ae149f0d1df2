// The hiredis side of the Redis keystore: the connection-string parser, the validated
// endpoint it yields, owning handles for contexts, TLS contexts and replies, and the one
// place where hiredis failures and server error replies become exceptions.
// Pure functions and value types; a RedisConnection is used by one thread at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include <openssl/ssl.h>

#include <hiredis/hiredis.h>
#ifdef OMBRIX_HAVE_HIREDICT_SSL
#include <hiredict/hiredict_ssl.h>  // the shim below expects the real declarations first
#endif
#include <hiredis/hiredis_ssl.h>

#include "backing_store/server_errors.h"

namespace ombrix_encrypted_index::internal::backing_store {

struct RedisContextDeleter {
  void operator()(redisContext* context) const { redisFree(context); }
};
struct SslContextDeleter {
  void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
struct SslDeleter {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};
struct RedisReplyDeleter {
  void operator()(redisReply* reply) const { freeReplyObject(reply); }
};
using RedisContextPtr = std::unique_ptr<redisContext, RedisContextDeleter>;
using SslContextPtr = std::unique_ptr<SSL_CTX, SslContextDeleter>;
using SslPtr = std::unique_ptr<SSL, SslDeleter>;
using RedisReplyPtr = std::unique_ptr<redisReply, RedisReplyDeleter>;

// key ":" value pairs separated by ","; keys and values are taken byte for byte, never
// trimmed. A repeated key keeps its last value; a trailing key without a value is dropped.
std::map<std::string, std::string> ParseRedisConnectionString(const std::string& text);

// What a connection needs, checked. REQUIRES: nothing; every check throws with the
// connection-string texts ("Missing Redis key: 'host'", "Invalid Redis DB value: ...",
// std::invalid_argument "stoi" for a port without digits).
struct RedisEndpoint {
  std::string host;
  int port = 0;
  int db = 0;
  bool ssl = false;  // "ssl" exactly "true" or "1"
  std::optional<std::string> ca_cert;
  std::optional<std::string> ca_path;
  std::optional<std::string> cert;
  std::optional<std::string> key;
  // Time limits in seconds: "connect_timeout" bounds connecting and setting up (TLS,
  // SELECT, PING), "command_timeout" every command after that. Positive decimals.
  double connect_timeout = 5.0;
  double command_timeout = 30.0;

  bool verifies_server() const { return ca_cert.has_value() || ca_path.has_value(); }
  std::string address() const { return host + ":" + std::to_string(port); }
};
RedisEndpoint ReadRedisEndpoint(const std::map<std::string, std::string>& params);

// The WARNING text of a TLS connection that will not verify the server (neither ca_cert
// nor ca_path given); nothing for a plain or a verified connection.
std::optional<std::string> UnverifiedTlsWarning(const RedisEndpoint& endpoint);

// A command that got no reply: the connection broke or failed while it waited (not a
// time-out, which is ServerUnreachable). The server may or may not have run it. Its text
// is "<word> command failed"; retry loops treat it like any store failure.
class RedisReplyLost : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A server that did not answer within a call's time limit, or could not be reached again.
// The text is what happened, then what the caller can do; fact() is the first part alone,
// for callers that wrap it in a remedy of their own.
class RedisUnanswered : public ServerUnreachable {
 public:
  RedisUnanswered(std::string fact, const std::string& remedy)
      : ServerUnreachable(fact + remedy), fact_(std::move(fact)) {}
  const std::string& fact() const { return fact_; }

 private:
  std::string fact_;
};

// A Lua script the server keeps by its SHA-1 digest (EVALSHA). The body must outlive the
// object (a string literal); the digest is computed at its first use. Thread-safe.
class RedisScript {
 public:
  explicit constexpr RedisScript(const char* body) : body_(body) {}
  RedisScript(const RedisScript&) = delete;
  RedisScript& operator=(const RedisScript&) = delete;

  std::string_view body() const { return body_; }
  // 40 lowercase hex digits, as SCRIPT LOAD answers.
  const std::string& digest() const;

 private:
  const char* body_;
  mutable std::once_flag digested_;
  mutable std::string digest_;
};

// The reply type names of log lines: "STRING", "ARRAY", "INTEGER", "NIL", "STATUS",
// "ERROR", otherwise "UNKNOWN".
const char* RedisReplyTypeName(int type);

// One blocking connection: connected, switched to TLS when asked, database selected and
// checked with PING, or the constructor throws having released everything it opened.
// With ca_cert or ca_path the server must present a certificate from those CAs issued to
// the host it was reached at (its DNS name, or its address when the host is an IP
// address); without either the session is not verified at all.
// A call (Send, SendArgv, Eval, or a batch from its first Append to its collected replies)
// has one deadline, the endpoint's command time-out after it began, which covers opening
// a broken connection again and a script sent again; one that runs past it throws
// RedisUnanswered naming the server, the command and the subject. A connection found
// broken (a failed or timed-out command, or a peer that closed it while idle) is opened
// again, with the same settings, when the next call begins; RedisUnanswered if that fails.
class RedisConnection {
 public:
  explicit RedisConnection(const RedisEndpoint& endpoint);
  // What the connection serves (for example "index 'docs'"), named by the texts of replies
  // that never came.
  void SetSubject(std::string subject) { subject_ = std::move(subject); }
  RedisConnection(const RedisConnection&) = delete;
  RedisConnection& operator=(const RedisConnection&) = delete;

  redisContext* get() const { return context_.get(); }

  // Sends one command and waits for its reply; the raw reply (null when the connection
  // failed) goes to Check or to an operation's own no-reply handling. Replies still owed
  // by an interrupted batch are read and dropped first, so every reply lands where it
  // belongs.
  void* Send(const char* format, ...);
  void* SendArgv(int argc, const char** argv, const size_t* lengths);
  // Runs `script` with `args` (key count, keys, arguments, as EVAL takes them after the
  // body). By digest once this connection has sent the body; the body itself (EVAL, whose
  // script the server then keeps) at the first use on each connection and again when the
  // server answers NOSCRIPT (restarted, or SCRIPT FLUSH): nothing ran then, so the script
  // runs once either way. The raw result is what Send gives.
  void* Eval(const RedisScript& script, const std::vector<std::string_view>& args);
  // Queues `script` as Eval would send it first (see Append). A NOSCRIPT reply among the
  // collected ones is the caller's to meet, by Eval (which sends the body) and whatever
  // was queued after it once more.
  void AppendEval(const RedisScript& script, const std::vector<std::string_view>& args);
  static bool IsNoScript(const redisReply* reply);

  // The checked outcome of one command whose raw result is `raw` (taken over):
  // no reply or a broken connection logs "<word> command failed" at ERROR and throws
  // RedisReplyLost with that text; an error reply logs "Redis <word> error: <text>"
  // at ERROR and throws std::runtime_error with the server's text.
  RedisReplyPtr Check(void* raw, const char* word) const;

  // Queues one command in the output buffer; nothing is sent until replies are read.
  // Throws "Failed to queue <word> command" (hiredis then refuses the connection).
  void Append(const char* word, int argc, const char** argv, const size_t* lengths);
  // Sends what is queued without reading a reply. A failed write throws RedisReplyLost
  // "<word> command failed" (or the time limit's text); nothing is left pending.
  void SendAppended(const char* word);

  // Reads the reply of every queued command, all of them even after an error reply, so
  // the connection stays in step. A failed read throws RedisReplyLost "<word> command
  // failed in batch execution" (the connection is then unusable: hiredis keeps its error
  // set); otherwise
  // the first error reply throws with the server's text. With `kept`, the replies are
  // handed back there in the order the commands were queued.
  void CollectPipelinedReplies(const char* word, std::vector<RedisReplyPtr>* kept = nullptr);

 private:
  using Clock = std::chrono::steady_clock;

  // Connects, sets up TLS, selects the database and PINGs (the constructor's work), all
  // within `limit` seconds; a time-out's text says `limit_text`.
  void Connect(double limit, const std::string& limit_text);
  // Starts a call: its deadline is the command time-out from now.
  void BeginCall();
  // Before a blocking read or write: the socket waits at most until the call's deadline.
  void ArmDeadline();
  // The socket's own limit on one blocking read or write, and what it was last set to.
  void SetSocketWait(double seconds);
  // Before a command: reconnects a broken connection, once per call, within the call's
  // deadline.
  void ReconnectIfBroken();
  void* SendArgvInCall(int argc, const char** argv, const size_t* lengths);
  // redisGetReply, but the wait for the first byte of a reply is a poll that ends at the
  // call's deadline: the socket's own time-out, a coarse kernel timer that can overrun a
  // long limit by a second or more, is then only a backstop.
  int GetReply(void** reply);
  bool Broken() const;
  // The failure of a command that found the connection failed: a time-out says which
  // server and what timed out. Returns only when it was no time-out.
  void ThrowIfTimedOut(const char* word) const;
  // A time-out of the replies owed throws, naming `word`, the command that waited for them.
  void DrainPending(const char* word);
  // A reply that never came (the connection broke): logged and thrown as RedisReplyLost.
  [[noreturn]] void ThrowReplyLost(const char* word) const;

  const RedisEndpoint endpoint_;
  std::string subject_;
  // Declared before the connection so that it outlives the TLS session built from it.
  SslContextPtr ssl_context_;
  RedisContextPtr context_;
  size_t pending_ = 0;  // queued commands whose replies are not read yet
  Clock::time_point deadline_{};  // of the call under way
  double armed_seconds_ = 0;  // the socket's limit, as SetSocketWait last set it
  bool gave_up_ = false;  // a reply was not waited for past the deadline: the connection is spent
  // Scripts whose body this connection sent since it was (re)opened.
  std::unordered_set<const RedisScript*> sent_scripts_;
};

}  // namespace ombrix_encrypted_index::internal::backing_store
