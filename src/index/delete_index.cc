// Deleting an index: its data in every store, then the object's own state.
#include <stdexcept>

#include "index/encrypted_index.h"

namespace ombrix {

void EncryptedIndex::DeleteIndex() {
  OperationLock lock(*this);
  try {
    log().info("Deleting Index");
    if (!core) RefuseNotConnected<std::runtime_error>(kCritical);
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
