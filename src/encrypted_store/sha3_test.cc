#include "encrypted_store/sha3.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>

#include "encrypted_store/hmac.h"
#include "encrypted_store/test_util.h"

namespace ombrix {
namespace {

using testing_util::Hex;
using testing_util::RandomBytes;

Digest256 OpenSslSha3(const std::vector<uint8_t>& data) {
  Digest256 out{};
  unsigned int n = 0;
  EXPECT_EQ(EVP_Digest(data.data(), data.size(), out.data(), &n, EVP_sha3_256(), nullptr), 1);
  return out;
}

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

TEST(Sha3Test, KnownAnswers) {
  EXPECT_EQ(Hex(Sha3_256(nullptr, 0)),
            "a7ffc6f8bf1ed76651c14756a061d662f580ff4de43b49fa82d80a4b80f8434a");
  const auto abc = Bytes("abc");
  EXPECT_EQ(Hex(Sha3_256(abc.data(), abc.size())),
            "3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532");
  const std::vector<uint8_t> a3(200, 0xa3);  // 1600 bits: spans the rate boundary
  EXPECT_EQ(Hex(Sha3_256(a3.data(), a3.size())),
            "79f38adec5c20307a98ef76e8324afbfd46cfd81b22e3973c65fa1bd9de31787");

  EXPECT_EQ(Sha3_256ToU64(std::vector<uint8_t>{}), 0xa7ffc6f8bf1ed766ULL);
  EXPECT_EQ(Sha3_256ToU64(abc), 0x3a985da74fe225b2ULL);
}

TEST(Sha3Test, ByteStringFormAgreesWithOpenSslAtBlockBoundaries) {
  for (std::size_t n : {0, 1, 31, 32, 135, 136, 137, 271, 272, 100003}) {
    const auto data = RandomBytes(n, static_cast<uint32_t>(n) + 7);
    const Digest256 expected = OpenSslSha3(data);
    EXPECT_EQ(Hex(Sha3_256(data.data(), data.size())), Hex(expected)) << "length " << n;
    EXPECT_EQ(Sha3_256ToU64(data), DigestToU64(expected.data())) << "length " << n;

    // The same input fed in uneven pieces must not change the digest.
    Sha3_256Hasher hasher;
    std::size_t at = 0;
    for (std::size_t piece = 1; at < n; piece = piece * 3 + 1) {
      const std::size_t take = std::min(piece, n - at);
      hasher.Update(data.data() + at, take);
      at += take;
    }
    EXPECT_EQ(Hex(hasher.Final()), Hex(expected)) << "length " << n;
  }
}

TEST(Sha3Test, BlockFormsAgreeWithOpenSsl) {
  for (uint32_t seed = 0; seed < 64; ++seed) {
    const auto data = RandomBytes(32, seed);
    std::array<uint8_t, 32> block;
    std::copy(data.begin(), data.end(), block.begin());
    const Digest256 expected = OpenSslSha3(data);
    EXPECT_EQ(Hex(Sha3_256(block)), Hex(expected));
    EXPECT_EQ(Sha3_256ToU64(block), DigestToU64(expected.data()));
  }
}

TEST(Sha3Test, HasherIsReusableAfterFinal) {
  Sha3_256Hasher hasher;
  hasher.Update("abc");
  EXPECT_EQ(hasher.FinalU64(), 0x3a985da74fe225b2ULL);
  hasher.Update("abc");
  EXPECT_EQ(hasher.FinalU64(), 0x3a985da74fe225b2ULL);
}

// HMAC by its definition over our own SHA3 (block size = the 136-byte rate), as an
// independent check of the OpenSSL-backed function.
Digest256 ReferenceHmac(const std::array<uint8_t, 32>& key, const std::vector<uint8_t>& message) {
  std::vector<uint8_t> inner(136, 0x36), outer(136, 0x5c);
  for (int i = 0; i < 32; ++i) {
    inner[i] ^= key[i];
    outer[i] ^= key[i];
  }
  inner.insert(inner.end(), message.begin(), message.end());
  const Digest256 inner_digest = Sha3_256(inner.data(), inner.size());
  outer.insert(outer.end(), inner_digest.begin(), inner_digest.end());
  return Sha3_256(outer.data(), outer.size());
}

TEST(HmacTest, MatchesDefinition) {
  for (std::size_t n : {0, 1, 5, 136, 137, 1000}) {
    std::array<uint8_t, 32> key;
    const auto key_bytes = RandomBytes(32, static_cast<uint32_t>(n) + 99);
    std::copy(key_bytes.begin(), key_bytes.end(), key.begin());
    const auto message = RandomBytes(n, static_cast<uint32_t>(n));
    const Key256 mac = HmacSha3_256(key, message);
    EXPECT_EQ(Hex(mac), Hex(ReferenceHmac(key, message))) << "length " << n;
  }
}

TEST(HmacTest, StringAndByteFormsAgree) {
  std::array<uint8_t, 32> key{};
  key[0] = 1;
  const Key256 a = HmacSha3_256(key, std::string_view("a.data"));
  const Key256 b = HmacSha3_256(key, Bytes("a.data"));
  EXPECT_EQ(Hex(a), Hex(b));
}

}  // namespace
}  // namespace ombrix
