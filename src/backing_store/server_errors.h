// The failure of a server that did not answer within its time limit, or whose broken
// connection could not be opened again. A std::runtime_error like every store failure;
// its own type lets retry loops above the keystore give up at once instead of spending
// the same time limits again. The text names the server and what timed out or failed.
#pragma once

#include <stdexcept>

namespace ombrix_encrypted_index::internal::backing_store {

class ServerUnreachable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace ombrix_encrypted_index::internal::backing_store
