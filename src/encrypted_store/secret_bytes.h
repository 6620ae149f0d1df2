// Fixed-size byte arrays for key material: an index key, a derived store name, a
// per-list salt-and-seed entry. A plain value type; the bytes are wiped when the object
// goes away so that released key material does not linger in freed memory.
#pragma once

#include <openssl/crypto.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace ombrix {

template <std::size_t N>
struct SecretBytes : std::array<uint8_t, N> {
  ~SecretBytes() { OPENSSL_cleanse(this->data(), N); }
};

// An AES-256 / HMAC key, and every 32-byte value derived from one.
using Key256 = SecretBytes<32>;

}  // namespace ombrix
