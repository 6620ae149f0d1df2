#include "encrypted_store/hmac.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <stdexcept>

#include "diagnostics/logger.h"
#include "diagnostics/openssl_thread.h"

namespace ombrix {

Key256 HmacSha3_256(const std::array<uint8_t, 32>& key, const uint8_t* data, std::size_t length) {
  static const uint8_t kEmpty = 0;  // OpenSSL wants a readable pointer even for no data
  PrepareThreadForOpenSsl();
  Key256 out;
  unsigned int out_length = 0;
  const unsigned char* result = HMAC(EVP_sha3_256(), key.data(), static_cast<int>(key.size()),
                                     length == 0 ? &kEmpty : data, length, out.data(), &out_length);
  if (result == nullptr || out_length != out.size()) {
    InternalLogger().error("Failed to compute HMAC hash");
    throw std::runtime_error("Failed to compute HMAC hash");
  }
  return out;
}

}  // namespace ombrix
