// Deleting an index: its data in every store, then the object's own state.
#include <stdexcept>

#include "index/encrypted_index.h"

namespace ombrix {

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
