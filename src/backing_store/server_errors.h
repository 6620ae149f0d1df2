// Failures of a server call that spent its time limit, or whose broken connection could
// not be opened again. std::runtime_errors like every store failure; their own types let
// retry loops above the keystore give up at once instead of spending the same time limits
// again. The text names the server and what timed out or failed.
#pragma once

#include <stdexcept>

namespace ombrix_encrypted_index::internal::backing_store {

class ServerUnreachable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The server answered, but stopped the statement at its own limit (statement_timeout, or
// a lock not granted within lock_timeout): the same statement would wait as long again.
// The text keeps the server's own message.
class ServerTimeLimit : public ServerUnreachable {
 public:
  using ServerUnreachable::ServerUnreachable;
};

// A write made under a hold (Keystore::SetWriteFence) that the server refused because the
// hold is no longer live there, or a session that held one and ended: whoever took the
// index over since must not meet this process's writes. Final like a server out of
// reach: retry loops give up at once.
class HoldLostError : public ServerUnreachable {
 public:
  using ServerUnreachable::ServerUnreachable;
};

}  // namespace ombrix_encrypted_index::internal::backing_store
