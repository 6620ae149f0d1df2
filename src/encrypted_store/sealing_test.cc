#include "encrypted_store/sealing.h"

#include "encrypted_store/test_util.h"
#include "index_model/testing/scoped_omp_threads.h"

#include <gtest/gtest.h>
#include <omp.h>
#include <openssl/evp.h>

#include <functional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>

namespace ombrix {
namespace {

using testing_util::MakeKey;
using testing_util::ThrownMessage;

std::vector<uint8_t> Pattern(std::size_t n, uint32_t seed) { return testing_util::RandomBytes(n, seed); }

// Opens a blob with plain EVP calls, reading the layout IV | ciphertext | tag.
bool IndependentOpen(const std::vector<uint8_t>& blob, const std::array<uint8_t, 32>& key,
                     std::vector<uint8_t>& plaintext) {
  if (blob.size() < 28) return false;
  const std::size_t n = blob.size() - 28;
  plaintext.assign(n + 16, 0);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int len = 0, ok = 1;
  ok &= EVP_DecryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key.data(), blob.data());
  if (n > 0) ok &= EVP_DecryptUpdate(ctx, plaintext.data(), &len, blob.data() + 12, (int)n);
  ok &= EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16,
                            const_cast<uint8_t*>(blob.data() + 12 + n));
  int fin = 0;
  ok &= EVP_DecryptFinal_ex(ctx, plaintext.data() + len, &fin);
  EVP_CIPHER_CTX_free(ctx);
  plaintext.resize(n);
  return ok == 1;
}

const std::vector<std::size_t> kLengths = {0, 1, 15, 16, 17, 255, 256, 600, 1000, 3072, 4096};

TEST(SealingTest, ItemRoundTripsKeepLayoutAndLength) {
  const auto key = MakeKey(1);
  std::vector<std::vector<uint8_t>> plain;
  for (std::size_t n : kLengths) plain.push_back(Pattern(n, static_cast<uint32_t>(n)));
  const auto sealed = EncryptItems(plain, key);
  ASSERT_EQ(sealed.size(), plain.size());
  for (std::size_t i = 0; i < plain.size(); ++i) {
    EXPECT_EQ(sealed[i].size(), plain[i].size() + 28);
    std::vector<uint8_t> opened;
    ASSERT_TRUE(IndependentOpen(sealed[i], key, opened)) << "length " << plain[i].size();
    EXPECT_EQ(opened, plain[i]);
    std::string error;
    EXPECT_EQ(DecryptBlob(sealed[i], key, error), plain[i]);
    EXPECT_TRUE(error.empty());
  }
  EXPECT_EQ(DecryptItems(sealed, key), plain);
}

TEST(SealingTest, RowRoundTrips) {
  const auto key = MakeKey(2);
  for (std::size_t width : {std::size_t{0}, std::size_t{4}, std::size_t{600}}) {
    Matrix<uint8_t> plain(5, width, 0);
    for (std::size_t i = 0; i < plain.data.size(); ++i) plain.data[i] = static_cast<uint8_t>(i * 7);
    const Matrix<uint8_t> sealed = EncryptRows(plain, key);
    ASSERT_EQ(sealed.rows, 5u);
    ASSERT_EQ(sealed.cols, width + 28);
    const Matrix<uint8_t> opened = DecryptRows(sealed, key);
    EXPECT_EQ(opened.rows, 5u);
    EXPECT_EQ(opened.cols, width);
    EXPECT_EQ(opened.data, plain.data);
    // Each row is a standalone blob.
    std::vector<uint8_t> row(sealed.row(3), sealed.row(3) + sealed.cols);
    std::vector<uint8_t> one;
    ASSERT_TRUE(IndependentOpen(row, key, one));
    EXPECT_EQ(one, std::vector<uint8_t>(plain.row(3), plain.row(3) + width));
  }
}

TEST(SealingTest, EmptyInputsAndEmptyPlaintexts) {
  const auto key = MakeKey(3);
  const Matrix<uint8_t> none = EncryptRows(Matrix<uint8_t>(0, 9, 0), key);
  EXPECT_EQ(none.rows, 0u);
  EXPECT_EQ(none.cols, 37u);
  EXPECT_TRUE(EncryptItems({}, key).empty());
  EXPECT_TRUE(DecryptItems({}, key).empty());

  const auto sealed = EncryptItems({{}}, key);
  ASSERT_EQ(sealed[0].size(), 28u);
  std::string error;
  EXPECT_TRUE(DecryptBlob(sealed[0], key, error).empty());
  // The tag of an empty plaintext is still checked.
  auto forged = sealed[0];
  forged[27] ^= 1;
  EXPECT_EQ(ThrownMessage([&] { DecryptBlob(forged, key, error); }),
            "Decryption final step failed");
}

TEST(SealingTest, TwoSealsOfOnePlaintextDiffer) {
  const auto key = MakeKey(4);
  const std::vector<uint8_t> plain = Pattern(64, 1);
  const auto a = EncryptItems({plain}, key);
  const auto b = EncryptItems({plain}, key);
  EXPECT_NE(a[0], b[0]);
  EXPECT_EQ(DecryptItems({a[0], b[0]}, key), (std::vector<std::vector<uint8_t>>{plain, plain}));
}

TEST(SealingTest, TenThousandIvsAreDistinctAndNeverZero) {
  const auto key = MakeKey(5);
  std::vector<std::vector<uint8_t>> plain(10000);
  const auto sealed = EncryptItems(plain, key);
  std::set<std::vector<uint8_t>> ivs;
  const std::vector<uint8_t> zero(12, 0);
  for (const auto& blob : sealed) {
    std::vector<uint8_t> iv(blob.begin(), blob.begin() + 12);
    EXPECT_NE(iv, zero);
    ivs.insert(iv);
  }
  EXPECT_EQ(ivs.size(), sealed.size());
}

TEST(SealingTest, TamperedBlobsFailAtTheFinalStep) {
  const auto key = MakeKey(6);
  const auto blob = EncryptItems({Pattern(40, 9)}, key)[0];
  std::vector<std::vector<uint8_t>> tampered;
  for (std::size_t byte : {std::size_t{0}, std::size_t{11}, std::size_t{12}, std::size_t{51},
                           std::size_t{52}, std::size_t{67}}) {
    for (int bit : {0, 7}) {
      auto t = blob;
      t[byte] ^= static_cast<uint8_t>(1 << bit);
      tampered.push_back(t);
    }
  }
  tampered.emplace_back(blob.begin(), blob.end() - 1);  // truncated, still >= 28 bytes
  tampered.emplace_back(blob.begin(), blob.begin() + 28);
  for (const auto& t : tampered) {
    std::string error;
    EXPECT_EQ(ThrownMessage([&] { DecryptBlob(t, key, error); }), "Decryption final step failed");
    EXPECT_EQ(error, "Decryption final step failed");
  }
  std::string error;
  EXPECT_EQ(ThrownMessage([&] { DecryptBlob(blob, MakeKey(7), error); }),
            "Decryption final step failed");
}

TEST(SealingTest, ShortBlobIsRefusedBeforeAnyCipherWork) {
  std::string error;
  const std::vector<uint8_t> short_blob(27, 0);
  EXPECT_EQ(ThrownMessage([&] { DecryptBlob(short_blob, MakeKey(8), error); }),
            "Failed to decrypt");
  EXPECT_EQ(error, "Failed to decrypt");
}

TEST(SealingTest, DecryptRowsCountsFailedRowsAndRefusesNarrowRows) {
  const auto key = MakeKey(9);
  // Rows wide enough that the work is spread over several threads.
  Matrix<uint8_t> sealed = EncryptRows(Matrix<uint8_t>(6, 200000, 1), key);
  sealed.at(1, 15) ^= 1;
  sealed.at(4, 200027) ^= 1;
  testing_support::ScopedOmpThreads team;
  for (int threads : {1, 3, 8}) {
    team.Set(threads);
    EXPECT_EQ(ThrownMessage([&] { DecryptRows(sealed, key); }), "Failed to decrypt 2 ciphertexts");
  }
  EXPECT_EQ(ThrownMessage([&] { DecryptRows(Matrix<uint8_t>(3, 27, 0), key); }),
            "Failed to decrypt 3 ciphertexts");
}

TEST(SealingTest, BatchDecryptSkipsEmptyAndReportsFailingItem) {
  const auto key = MakeKey(10);
  // Items large enough that each goes to a thread of its own.
  const auto a = EncryptItems({Pattern(400000, 1)}, key)[0];
  const auto other = EncryptItems({Pattern(400000, 2)}, MakeKey(11))[0];
  const auto opened = DecryptItems({a, {}, a}, key);
  EXPECT_EQ(opened[0], Pattern(400000, 1));
  EXPECT_TRUE(opened[1].empty());
  EXPECT_EQ(opened[2], Pattern(400000, 1));

  testing_support::ScopedOmpThreads team;
  for (int threads : {1, 2, 8}) {
    team.Set(threads);
    testing::internal::CaptureStderr();
    const std::string message = ThrownMessage([&] { DecryptItems({a, other, a}, key); });
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(message, "Encryption failed for one or more items");
    EXPECT_NE(err.find("Error for item 1: Decryption final step failed\n"), std::string::npos);
    EXPECT_EQ(err.find("Error for item 0"), std::string::npos);
    EXPECT_EQ(err.find("Error for item 2"), std::string::npos);
  }
}

int FailingRandom(unsigned char*, int) { return 0; }

TEST(SealingTest, FailedIvDrawFailsTheItemInsteadOfReusingAZeroIv) {
  const auto key = MakeKey(12);
  internal::SetIvSourceForTesting(&FailingRandom);
  testing::internal::CaptureStderr();
  const std::string items = ThrownMessage([&] { EncryptItems({{1, 2}, {3}}, key); });
  const std::string err = testing::internal::GetCapturedStderr();
  const std::string rows = ThrownMessage([&] { EncryptRows(Matrix<uint8_t>(2, 4, 0), key); });
  internal::SetIvSourceForTesting(nullptr);
  EXPECT_EQ(items, "Encryption failed for one or more items");
  EXPECT_NE(err.find("Error for item 0: Failed to generate IV\n"), std::string::npos);
  EXPECT_NE(err.find("Error for item 1: Failed to generate IV\n"), std::string::npos);
  EXPECT_EQ(rows, "Failed to encrypt 2 plaintexts");
  EXPECT_EQ(EncryptItems({{1}}, key)[0].size(), 29u);
}

// The cipher calls take an int length; the limit is lowered here so that no test needs
// gigabytes. Every form refuses before its region: no per-item report appears.
TEST(SealingTest, ItemsLongerThanOneCipherCallAreRefusedBeforeAnyWork) {
  const auto key = MakeKey(20);
  const std::vector<uint8_t> fits(64, 1), too_long(65, 2);
  const EncryptedBlob sealed_fit = EncryptItems({fits}, key)[0];
  const EncryptedBlob sealed_long = EncryptItems({too_long}, key)[0];
  struct Limit {
    Limit() { internal::SetLengthLimitForTesting(64); }
    ~Limit() { internal::SetLengthLimitForTesting(0); }
  } limit;
  const std::string refusal = "Cannot seal or open an item of 65 bytes: one cipher call takes at most 64 bytes";
  const std::vector<std::pair<const char*, std::function<void()>>> calls = {
      {"EncryptItems", [&] { EncryptItems({fits, too_long}, key); }},
      {"EncryptRows", [&] { EncryptRows(Matrix<uint8_t>(2, 65, 0), key); }},
      {"DecryptItems", [&] { DecryptItems({sealed_fit, sealed_long}, key); }},
      {"DecryptRows", [&] { DecryptRows(Matrix<uint8_t>(EncryptedBlob(sealed_long), 93), key); }},
  };
  for (const auto& [name, call] : calls) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(ThrownMessage(call), refusal) << name;
    EXPECT_EQ(testing::internal::GetCapturedStderr().find("Error for item"), std::string::npos) << name;
  }
  std::string error;
  EXPECT_EQ(ThrownMessage([&] { DecryptBlob(sealed_long, key, error); }), "Item too long for one cipher call");
  EXPECT_EQ(error, "Item too long for one cipher call");
  std::vector<std::vector<uint8_t>> opened(2);
  const std::vector<const char*> reasons = OpenItems({sealed_fit, sealed_long}, key, opened);
  EXPECT_EQ(reasons[0], nullptr);
  EXPECT_STREQ(reasons[1], "Item too long for one cipher call");
  EXPECT_EQ(opened[0], fits);
  EXPECT_EQ(DecryptItems(EncryptItems({fits}, key), key)[0], fits) << "the limit itself is allowed";
}

}  // namespace
}  // namespace ombrix
