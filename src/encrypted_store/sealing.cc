#include "encrypted_store/sealing.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include "diagnostics/logger.h"
#include "diagnostics/openssl_thread.h"
#include "index_model/parallel.h"

namespace ombrix {

namespace {

std::atomic<internal::RandomBytesFn> iv_source{nullptr};
std::atomic<std::size_t> length_limit{0};

// The cipher calls take an int length: anything longer would be sealed only in part.
std::size_t LengthLimit() {
  const std::size_t limit = length_limit.load(std::memory_order_relaxed);
  return limit != 0 ? limit : static_cast<std::size_t>(std::numeric_limits<int>::max());
}

const char kTooLongForOneCall[] = "Item too long for one cipher call";

// Refuses, before any region starts, a plaintext longer than one cipher call can take.
void RefuseLongerThanOneCall(std::size_t length) {
  if (length <= LengthLimit()) return;
  const std::string message = "Cannot seal or open an item of " + std::to_string(length) +
                              " bytes: one cipher call takes at most " +
                              std::to_string(LengthLimit()) + " bytes";
  InternalLogger().error(message);
  throw std::invalid_argument(message);
}

std::size_t PlaintextLength(std::size_t blob_size) {
  return blob_size >= kBlobOverhead ? blob_size - kBlobOverhead : 0;
}

struct CipherCtxDeleter {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

struct CipherDeleter {
  void operator()(EVP_CIPHER* cipher) const { EVP_CIPHER_free(cipher); }
};

// Fetched once: an implicit fetch on every initialisation costs a provider lookup.
const EVP_CIPHER* Aes256Gcm() {
  static const std::unique_ptr<EVP_CIPHER, CipherDeleter> cipher(
      EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr));
  return cipher != nullptr ? cipher.get() : EVP_aes_256_gcm();
}

bool DrawRandom(uint8_t* out, std::size_t length) {
  internal::RandomBytesFn source = iv_source.load(std::memory_order_relaxed);
  const int n = static_cast<int>(length);
  return (source != nullptr ? source(out, n) : RAND_bytes(out, n)) == 1;
}

// IVs drawn from the generator in runs: one call per run instead of one per blob keeps
// the generator's per-call overhead out of the per-item cost. A failed draw fails every
// IV of its run.
class IvSupply {
 public:
  const uint8_t* Next() {
    if (next_ == kRun) {
      ok_ = DrawRandom(pool_, sizeof(pool_));
      next_ = 0;
    }
    const uint8_t* iv = pool_ + kIvSize * next_++;
    return ok_ ? iv : nullptr;
  }
  ~IvSupply() { OPENSSL_cleanse(pool_, sizeof(pool_)); }

 private:
  static constexpr std::size_t kRun = 64;
  uint8_t pool_[kIvSize * kRun];
  std::size_t next_ = kRun;
  bool ok_ = false;
};

// One cipher context keyed once and reused for many blobs by one thread; every method
// reports failure as a fixed text (nullptr on success) and never throws. The context
// (and its key schedule) is wiped and freed with the object.
class GcmContext {
 public:
  enum Direction { kSeal, kOpen };

  // Each member of a batch makes one, on its own thread, before its first OpenSSL call.
  GcmContext(Direction direction, const std::array<uint8_t, 32>& key) {
    PrepareThreadForOpenSsl();
    ctx_.reset(EVP_CIPHER_CTX_new());
    if (ctx_ == nullptr) {
      init_error_ = direction == kSeal ? "Failed to create encryption context in at least one thread"
                                       : "Failed to create EVP_CIPHER_CTX";
      return;
    }
    const int ok = direction == kSeal
                       ? EVP_EncryptInit_ex(ctx_.get(), Aes256Gcm(), nullptr, key.data(), nullptr)
                       : EVP_DecryptInit_ex(ctx_.get(), Aes256Gcm(), nullptr, key.data(), nullptr);
    if (ok != 1) {
      init_error_ = direction == kSeal ? "Encryption initialization failed"
                                       : "Decryption initialization failed";
    }
  }

  const char* init_error() const { return init_error_; }

  // out receives length + 28 bytes.
  const char* Seal(const uint8_t* plaintext, std::size_t length, uint8_t* out) {
    if (init_error_ != nullptr) return init_error_;
    uint8_t* iv = out;
    uint8_t* ciphertext = out + kIvSize;
    uint8_t* tag = out + kIvSize + length;
    const uint8_t* fresh = ivs_.Next();
    if (fresh == nullptr) return "Failed to generate IV";
    std::copy(fresh, fresh + kIvSize, iv);
    if (EVP_EncryptInit_ex(ctx_.get(), nullptr, nullptr, nullptr, iv) != 1) {
      return "Encryption initialization failed";
    }
    int written = 0;
    // A null output pointer would make GCM take the input as associated data.
    if (length > 0 && EVP_EncryptUpdate(ctx_.get(), ciphertext, &written, plaintext,
                                        static_cast<int>(length)) != 1) {
      return "Encryption failed";
    }
    int final_written = 0;
    if (EVP_EncryptFinal_ex(ctx_.get(), ciphertext + written, &final_written) != 1) {
      return "Final encryption step failed";
    }
    if (EVP_CIPHER_CTX_ctrl(ctx_.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize), tag) !=
        1) {
      return "Failed to retrieve encryption tag";
    }
    return nullptr;
  }

  // out receives size - 28 bytes.
  const char* Open(const uint8_t* blob, std::size_t size, uint8_t* out) {
    if (size < kBlobOverhead) return "Failed to decrypt";
    if (init_error_ != nullptr) return init_error_;
    const std::size_t length = size - kBlobOverhead;
    const uint8_t* iv = blob;
    const uint8_t* ciphertext = blob + kIvSize;
    uint8_t tag[kTagSize];
    std::copy(blob + kIvSize + length, blob + size, tag);
    if (EVP_DecryptInit_ex(ctx_.get(), nullptr, nullptr, nullptr, iv) != 1) {
      return "Key/IV initialization failed";
    }
    if (EVP_CIPHER_CTX_ctrl(ctx_.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize), tag) !=
        1) {
      return "Setting GCM tag failed";
    }
    int written = 0;
    if (length > 0 && EVP_DecryptUpdate(ctx_.get(), out, &written, ciphertext,
                                        static_cast<int>(length)) != 1) {
      return "Decryption update failed";
    }
    // Runs for an empty plaintext too: the tag still has to match.
    int final_written = 0;
    uint8_t scratch[kTagSize];  // GCM writes nothing here, but wants a valid pointer
    if (EVP_DecryptFinal_ex(ctx_.get(), length > 0 ? out + written : scratch, &final_written) !=
        1) {
      return "Decryption final step failed";
    }
    return nullptr;
  }

 private:
  CipherCtx ctx_;
  const char* init_error_ = nullptr;
  IvSupply ivs_;
};

// Waking a thread costs more than it saves on small batches: a thread is
// added per 256 KiB of work, counting each item's fixed cost (IV, initialisation, tag) as
// 256 bytes, up to the default team size.
int TeamFor(std::size_t items, std::size_t bytes) {
  constexpr std::size_t kBytesPerThread = 256 * 1024;
  constexpr std::size_t kItemCost = 256;
  const std::size_t wanted = (bytes + items * kItemCost) / kBytesPerThread;
  const std::size_t team = std::min<std::size_t>(wanted, static_cast<std::size_t>(DefaultTeam()));
  return static_cast<int>(std::max<std::size_t>(team, 1));
}

[[noreturn]] void LogAndThrow(const std::string& message) {
  InternalLogger().error(message);
  throw std::runtime_error(message);
}

void ReportItemFailures(const std::vector<const char*>& errors) {
  for (std::size_t i = 0; i < errors.size(); ++i) {
    if (errors[i] == nullptr) continue;
    const std::string line = "Error for item " + std::to_string(i) + ": " + errors[i];
    InternalLogger().error(line);
    std::cerr << line << "\n";
  }
  LogAndThrow("Encryption failed for one or more items");
}

struct ItemErrors {
  std::vector<const char*> texts;  // nullptr where the item succeeded
  uint64_t count = 0;
};

// Runs body(context, i) for every item in one parallel step, each thread over its
// contiguous share with one context of its own. Nothing leaves the step by exception:
// a body that throws (allocation) fails its item.
template <typename Body>
ItemErrors ForEachItem(std::size_t n, std::size_t bytes, GcmContext::Direction direction,
                       const std::array<uint8_t, 32>& key, Body body) {
  ItemErrors errors;
  errors.texts.assign(n, nullptr);
  std::atomic<uint64_t> failures{0};
  const int team = TeamFor(n, bytes);
  ParallelStatic(n, team, [&](uint64_t first, uint64_t count) {
    const std::size_t begin = first, end = first + count;
    GcmContext context(direction, key);
    uint64_t local = 0;
    for (std::size_t i = begin; i < end; ++i) {
      const char* error = nullptr;
      try {
        error = body(context, i);
      } catch (...) {
        error = direction == GcmContext::kSeal ? "Encryption failed" : "Decryption update failed";
      }
      if (error != nullptr) {
        errors.texts[i] = error;
        ++local;
      }
    }
    failures.fetch_add(local, std::memory_order_relaxed);
  });
  errors.count = failures.load();
  return errors;
}

std::size_t TotalBytes(const std::vector<std::vector<uint8_t>>& values) {
  std::size_t total = 0;
  for (const auto& value : values) total += value.size();
  return total;
}

}  // namespace

namespace internal {
void SetIvSourceForTesting(RandomBytesFn source) { iv_source.store(source); }
void SetLengthLimitForTesting(std::size_t limit) { length_limit.store(limit); }
}  // namespace internal

Matrix<uint8_t> EncryptRows(const Matrix<uint8_t>& plaintexts, const std::array<uint8_t, 32>& key) {
  const std::size_t width = plaintexts.cols;
  RefuseLongerThanOneCall(width);
  Matrix<uint8_t> sealed(plaintexts.rows, width + kBlobOverhead, 0);
  const ItemErrors errors =
      ForEachItem(plaintexts.rows, plaintexts.data.size(), GcmContext::kSeal, key,
                  [&](GcmContext& context, std::size_t r) {
        return context.Seal(plaintexts.row(r), width, sealed.row(r));
      });
  if (errors.count > 0) {
    LogAndThrow("Failed to encrypt " + std::to_string(errors.count) + " plaintexts");
  }
  return sealed;
}

Matrix<uint8_t> DecryptRows(const Matrix<uint8_t>& blobs, const std::array<uint8_t, 32>& key) {
  const std::size_t width = blobs.cols;
  if (width < kBlobOverhead) {
    LogAndThrow("Failed to decrypt " + std::to_string(blobs.rows) + " ciphertexts");
  }
  RefuseLongerThanOneCall(width - kBlobOverhead);
  Matrix<uint8_t> opened(blobs.rows, width - kBlobOverhead, 0);
  const ItemErrors errors =
      ForEachItem(blobs.rows, blobs.data.size(), GcmContext::kOpen, key,
                  [&](GcmContext& context, std::size_t r) {
        return context.Open(blobs.row(r), width, opened.row(r));
      });
  if (errors.count > 0) {
    LogAndThrow("Failed to decrypt " + std::to_string(errors.count) + " ciphertexts");
  }
  return opened;
}

std::vector<EncryptedBlob> EncryptItems(const std::vector<std::vector<uint8_t>>& plaintexts,
                                        const std::array<uint8_t, 32>& key) {
  for (const auto& plaintext : plaintexts) RefuseLongerThanOneCall(plaintext.size());
  std::vector<EncryptedBlob> sealed(plaintexts.size());
  const ItemErrors errors = ForEachItem(
      plaintexts.size(), TotalBytes(plaintexts), GcmContext::kSeal, key,
      [&](GcmContext& context, std::size_t i) {
        EncryptedBlob blob(plaintexts[i].size() + kBlobOverhead, 0);
        const char* error = context.Seal(plaintexts[i].data(), plaintexts[i].size(), blob.data());
        if (error == nullptr) sealed[i] = std::move(blob);
        return error;
      });
  if (errors.count > 0) ReportItemFailures(errors.texts);
  return sealed;
}

std::vector<const char*> OpenItems(const std::vector<EncryptedBlob>& blobs,
                                   const std::array<uint8_t, 32>& key,
                                   std::vector<std::vector<uint8_t>>& plaintexts) {
  std::vector<const char*> refused(blobs.size(), nullptr);
  for (std::size_t i = 0; i < blobs.size(); ++i) {
    if (PlaintextLength(blobs[i].size()) > LengthLimit()) refused[i] = kTooLongForOneCall;
  }
  ItemErrors errors =
      ForEachItem(blobs.size(), TotalBytes(blobs), GcmContext::kOpen, key,
                  [&](GcmContext& context, std::size_t i) -> const char* {
                    const EncryptedBlob& blob = blobs[i];
                    if (blob.empty()) return nullptr;
                    if (refused[i] != nullptr) return refused[i];
                    std::vector<uint8_t> plaintext(PlaintextLength(blob.size()));
                    const char* error = context.Open(blob.data(), blob.size(), plaintext.data());
                    if (error == nullptr) plaintexts[i] = std::move(plaintext);
                    return error;
                  });
  return std::move(errors.texts);
}

std::vector<std::vector<uint8_t>> DecryptItems(const std::vector<EncryptedBlob>& blobs,
                                               const std::array<uint8_t, 32>& key) {
  for (const EncryptedBlob& blob : blobs) RefuseLongerThanOneCall(PlaintextLength(blob.size()));
  std::vector<std::vector<uint8_t>> opened(blobs.size());
  const std::vector<const char*> errors = OpenItems(blobs, key, opened);
  if (std::any_of(errors.begin(), errors.end(), [](const char* e) { return e != nullptr; })) {
    // The line each blob would have logged on its own, then the per-item report.
    for (const char* error : errors) {
      if (error != nullptr) InternalLogger().error(error);
    }
    ReportItemFailures(errors);
  }
  return opened;
}

std::vector<uint8_t> DecryptBlob(const EncryptedBlob& blob, const std::array<uint8_t, 32>& key,
                                 std::string& error) {
  const char* failure = nullptr;
  std::vector<uint8_t> plaintext;
  if (blob.size() < kBlobOverhead) {
    failure = "Failed to decrypt";
  } else if (PlaintextLength(blob.size()) > LengthLimit()) {
    failure = kTooLongForOneCall;
  } else {
    plaintext.assign(blob.size() - kBlobOverhead, 0);
    GcmContext context(GcmContext::kOpen, key);
    failure = context.Open(blob.data(), blob.size(), plaintext.data());
  }
  if (failure != nullptr) {
    error = failure;
    LogAndThrow(failure);
  }
  return plaintext;
}

}  // namespace ombrix
