// Deleting an index: its data in every store, then the object's own state.
#include <stdexcept>

#include "backing_store/server_errors.h"
#include "index/encrypted_index.h"

namespace ombrix {

using ombrix_encrypted_index::internal::backing_store::HoldLostError;
using ombrix_encrypted_index::internal::backing_store::ServerUnreachable;

void EncryptedIndex::DeleteIndex() {
  OperationLock lock(*this);
  try {
    log().info("Deleting Index");
    if (!core) RefuseNotConnected<std::runtime_error>(kCritical);
    // Held like a training: running writers and trainings of every handle finish first,
    // none starts meanwhile, and afterwards every one of them finds the index gone.
    core->BeginDeletion();
    struct Hold {
      EncryptedIndexCore& core;
      ~Hold() { core.DropHold(); }
    } hold{*core};
    core->DeleteIndexData();
  } catch (const HoldLostError& failure) {
    throw std::runtime_error(failure.what());
  } catch (const ServerUnreachable& failure) {
    // The server's own text says what went wrong, not what the caller can do about it: a
    // deletion stopped at any step is finished by the next one.
    const std::string message =
        "The deletion of index '" + name + "' did not finish (" + failure.what() + "); delete the index again";
    log().error(message);
    throw std::runtime_error(message);
  } catch (const std::runtime_error& failure) {
    throw std::runtime_error(failure.what());
  }
  core.reset();
  trained = false;
  quantizer_version = 0;
  name.clear();
  config.reset();
  index_key.fill(0);
  ForgetProbeCandidates();
  quantizers = std::make_unique<Quantizers>();
}

}  // namespace ombrix
