#include "index/summary_store.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "encrypted_store/item_keys.h"
#include "encrypted_store/random_pause.h"
#include "encrypted_store/sealing.h"
#include "encrypted_store/sha3.h"
#include "diagnostics/logger.h"

namespace ombrix {

namespace {

struct SummaryKeys {
  std::vector<uint64_t> records;
  std::vector<uint64_t> versions;
};

// Version keys come from their own store name, so no path's record key can equal
// another path's version key by construction of the inputs.
SummaryKeys KeysOf(const EncryptedIndexCore& core, const std::vector<std::string>& paths) {
  static constexpr char kVersionLabel[] = "centroid_metadata.version";
  std::vector<uint8_t> seed(core.centroid_metadata_store_name.begin(), core.centroid_metadata_store_name.end());
  seed.insert(seed.end(), kVersionLabel, kVersionLabel + sizeof(kVersionLabel) - 1);
  const Digest256 version_name = Sha3_256(seed.data(), seed.size());
  return {DeriveItemKeys(paths, core.centroid_metadata_store_name), DeriveItemKeys(paths, version_name)};
}

struct Fetched {
  std::vector<std::vector<uint8_t>> plaintexts;
  std::vector<uint64_t> versions;
};

uint64_t VersionOf(const std::vector<uint8_t>& value) {
  uint64_t version = 0;
  if (value.size() == 8) {
    for (int b = 7; b >= 0; --b) version = version << 8 | value[b];
  }
  return version;
}

// Every path's record and version in one read, which every backend answers from one state
// of the store. A path with neither may still have the record an earlier layout kept as a
// versioned map entry (PushMap), which Redis keeps apart from its values: that record is
// taken as the path's, at version 0 of the values, so the next update carries it over.
Fetched Fetch(EncryptedIndexCore& core, const SummaryKeys& keys) {
  const size_t n = keys.records.size();
  if (n == 0) return {};
  std::vector<uint64_t> both;
  both.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    both.push_back(keys.records[i]);
    both.push_back(keys.versions[i]);
  }
  std::vector<std::vector<uint8_t>> values = core.index_store->BatchGetVariable(both);
  if (values.size() != both.size()) {
    throw std::runtime_error("Index store returned " + std::to_string(values.size()) +
                             " values for " + std::to_string(both.size()) + " keys");
  }
  Fetched fetched;
  std::vector<EncryptedBlob> sealed(n);
  for (size_t i = 0; i < n; ++i) {
    sealed[i] = std::move(values[2 * i]);
    fetched.versions.push_back(VersionOf(values[2 * i + 1]));
    if (sealed[i].empty() && values[2 * i + 1].empty()) {
      sealed[i] = core.index_store->GetMap(keys.records[i], keys.versions[i]).map_data;
    }
  }
  fetched.plaintexts = DecryptItems(sealed, core.centroid_metadata_store_name);
  return fetched;
}

}  // namespace

std::vector<std::vector<uint8_t>> ReadSummaryRecords(EncryptedIndexCore& core,
                                                     const std::vector<std::string>& paths) {
  return Fetch(core, KeysOf(core, paths)).plaintexts;
}

SummariesByField LoadFilterSummaries(EncryptedIndexCore& core, const std::vector<std::string>& paths) {
  const std::vector<std::vector<uint8_t>> records = ReadSummaryRecords(core, paths);
  SummariesByField summaries;
  try {
    for (size_t i = 0; i < paths.size(); ++i) {
      if (records[i].empty()) {
        ActiveLogger().warning("Warning: Empty metadata buffer for field '" + paths[i] + ".");
        std::cerr << "Warning: Empty metadata buffer for field '" << paths[i] << "'." << std::endl;
        summaries[paths[i]];
        continue;
      }
      summaries[paths[i]] = DecodeStoredSummaries(records[i]);
    }
  } catch (const std::exception& failure) {
    const std::string message = std::string("Error while converting buffer to map of centroid map: ") + failure.what();
    ActiveLogger().critical(message);
    throw std::runtime_error(message);
  }
  return summaries;
}

void MergeIntoStoredSummaries(EncryptedIndexCore& core, FieldSummaries& fresh,
                              const std::vector<std::string>& paths, SummaryWrite how) {
  std::vector<std::string> pending = paths;
  for (int attempt = 0; attempt < kSummaryUpdateAttempts && !pending.empty(); ++attempt) {
    if (attempt > 0) {
      // Another writer's update of the same path went through: come back after a pause
      // drawn at random, so that writers refused together do not return together.
      std::this_thread::sleep_for(
          std::chrono::microseconds(RandomPauseBelow(uint64_t{250} << std::min(attempt, 6))));
    }
    const SummaryKeys keys = KeysOf(core, pending);
    Fetched fetched = Fetch(core, keys);
    std::vector<std::vector<uint8_t>> outputs;
    outputs.reserve(pending.size());
    for (size_t k = 0; k < pending.size(); ++k) {
      if (how == SummaryWrite::kReplace) {
        // A rebuild files every item afresh: what the record held before is not kept.
        outputs.push_back(encodeCentroidSummaries(mergeCentroidSummaries(fresh, {}, pending[k])));
        continue;
      }
      const CentroidSummaryMap stored = DecodeStoredSummaries(fetched.plaintexts[k]);
      if (!fetched.plaintexts[k].empty() && SummariesCover(stored, fresh[pending[k]])) {
        outputs.push_back(std::move(fetched.plaintexts[k]));
      } else {
        outputs.push_back(encodeCentroidSummaries(mergeCentroidSummaries(fresh, stored, pending[k])));
      }
    }
    // Every path is resealed, covered or not: which paths changed stays hidden.
    const std::vector<EncryptedBlob> sealed = EncryptItems(outputs, core.centroid_metadata_store_name);
    std::vector<std::string> lost;
    for (size_t k = 0; k < pending.size(); ++k) {
      if (!core.index_store->CompareAndSetValue(keys.records[k], sealed[k], keys.versions[k],
                                                fetched.versions[k])) {
        lost.push_back(pending[k]);
      }
    }
    pending = std::move(lost);
  }
  if (!pending.empty()) {
    throw std::runtime_error("Centroid metadata of field '" + pending.front() + "' kept changing during " +
                             std::to_string(kSummaryUpdateAttempts) + " attempts to update it");
  }
}

}  // namespace ombrix
