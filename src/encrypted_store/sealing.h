// AES-256-GCM sealing into EncryptedBlob form (12-byte random IV, ciphertext as long as
// the plaintext, 16-byte tag; no associated data), one blob or a batch at a time. Batch
// forms run one OpenMP region on the default team, each thread reusing one cipher
// context, and report failures only after the region. Reentrant; results are owned by
// the caller. Keys are borrowed and never logged.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "index_model/matrix.h"

namespace ombrix {

constexpr std::size_t kIvSize = 12;
constexpr std::size_t kTagSize = 16;
constexpr std::size_t kBlobOverhead = kIvSize + kTagSize;

// The stored form of every sealed value: IV | ciphertext | tag, plaintext length + 28.
using EncryptedBlob = std::vector<uint8_t>;

// Row i of the result is the blob of row i (c + 28 columns).
// Throws std::runtime_error "Failed to encrypt <N> plaintexts" (N failed rows).
Matrix<uint8_t> EncryptRows(const Matrix<uint8_t>& plaintexts, const std::array<uint8_t, 32>& key);

// Inverse of EncryptRows (c - 28 columns). Rows narrower than 28 bytes and any row that
// fails to authenticate throw std::runtime_error "Failed to decrypt <N> ciphertexts".
Matrix<uint8_t> DecryptRows(const Matrix<uint8_t>& blobs, const std::array<uint8_t, 32>& key);

// Every form refuses a plaintext longer than one cipher call can take (2^31 - 1 bytes)
// with std::invalid_argument, before any cipher work.

// Element i of the result is the blob of element i. Any failure is reported item by
// item ("Error for item <i>: <text>") and thrown as std::runtime_error
// "Encryption failed for one or more items"; nothing partial is returned.
std::vector<EncryptedBlob> EncryptItems(const std::vector<std::vector<uint8_t>>& plaintexts,
                                        const std::array<uint8_t, 32>& key);

// Element i of the result is the plaintext of blob i; an empty blob gives an empty
// plaintext. Failures are reported as in EncryptItems, with the same final message.
std::vector<std::vector<uint8_t>> DecryptItems(const std::vector<EncryptedBlob>& blobs,
                                               const std::array<uint8_t, 32>& key);

// The non-throwing core of DecryptItems, for callers that report failures their own
// way: opens every non-empty blob into plaintexts[i] in one region, logging nothing.
// Returns each blob's failure text (nullptr where it opened or was empty).
// REQUIRES: plaintexts.size() == blobs.size().
std::vector<const char*> OpenItems(const std::vector<EncryptedBlob>& blobs,
                                   const std::array<uint8_t, 32>& key,
                                   std::vector<std::vector<uint8_t>>& plaintexts);

// Opens one blob. On failure stores the reason in `error`, logs it at ERROR and throws
// it as std::runtime_error.
std::vector<uint8_t> DecryptBlob(const EncryptedBlob& blob, const std::array<uint8_t, 32>& key,
                                 std::string& error);

namespace internal {
// Where IVs come from (RAND_bytes by default); nullptr restores the default.
// For tests that need a failing random source.
using RandomBytesFn = int (*)(unsigned char* out, int length);
void SetIvSourceForTesting(RandomBytesFn source);
// Lowers the longest plaintext one cipher call may take, so tests need not allocate
// gigabytes; 0 restores the real limit.
void SetLengthLimitForTesting(std::size_t limit);
}  // namespace internal

}  // namespace ombrix
