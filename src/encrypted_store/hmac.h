// HMAC-SHA3-256 under a 32-byte key, through OpenSSL's one-shot HMAC. Reentrant.
// Failure is logged at ERROR (internal logger) and thrown as std::runtime_error
// "Failed to compute HMAC hash"; the key never appears in either.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "encrypted_store/secret_bytes.h"

namespace ombrix {

Key256 HmacSha3_256(const std::array<uint8_t, 32>& key, const uint8_t* data, std::size_t length);

inline Key256 HmacSha3_256(const std::array<uint8_t, 32>& key, const std::vector<uint8_t>& data) {
  return HmacSha3_256(key, data.data(), data.size());
}

inline Key256 HmacSha3_256(const std::array<uint8_t, 32>& key, std::string_view text) {
  return HmacSha3_256(key, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

}  // namespace ombrix
