#include "encrypted_store/item_keys.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

#include "encrypted_store/test_util.h"

namespace ombrix {
namespace {

// First 8 bytes, big-endian, of OpenSSL's SHA3-256 of name || id.
uint64_t Reference(const std::array<uint8_t, 32>& name, const std::string& id) {
  std::string message(name.begin(), name.end());
  message += id;
  unsigned char digest[32];
  unsigned int length = 0;
  EVP_Digest(message.data(), message.size(), digest, &length, EVP_sha3_256(), nullptr);
  uint64_t value = 0;
  for (int b = 0; b < 8; ++b) value = value << 8 | digest[b];
  return value;
}

TEST(ItemKeysTest, AgreeWithAnIndependentDigest) {
  const auto name = testing_util::MakeKey(3);
  // With the 32-byte name: 102 and 103 bytes still fit one block (103 puts both padding
  // bits in its last byte), 104 and more take two; enough ids for whole SIMD groups, a
  // tail, and a long id between short ones.
  std::vector<std::string> ids = {"", "abc", std::string(200, 'x'), std::string(104, 'y'),
                                  std::string(103, 'z'), std::string(102, 'w')};
  for (int i = 0; i < 21; ++i) ids.push_back("item-" + std::to_string(i));
  const std::vector<uint64_t> keys = DeriveItemKeys(ids, name);
  ASSERT_EQ(keys.size(), ids.size());
  for (size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(keys[i], Reference(name, ids[i])) << i;
  EXPECT_NE(DeriveItemKeys({"abc"}, testing_util::MakeKey(4))[0], keys[1]);
  EXPECT_TRUE(DeriveItemKeys({}, name).empty());
}

}  // namespace
}  // namespace ombrix
