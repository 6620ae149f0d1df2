// Test fixture for engine-core tests: a shared test backend standing in for a server
// (named config items kept, faults injectable), the core's log lines captured, and
// settings for an index on that backend.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "backing_store/store_factory.h"
#include "backing_store/testing/log_capture.h"
#include "backing_store/testing/test_keystore.h"
#include "encrypted_store/encrypted_index_core.h"
#include "encrypted_store/test_util.h"

namespace ombrix::testing_util {

namespace bs = ombrix_encrypted_index::internal::backing_store;

class CoreTest : public ::testing::Test {
 protected:
  // Every store on the test backend (location POSTGRES), or all in MEMORY.
  static IndexSettings Settings(const std::string& name, uint32_t key_seed,
                                int32_t location = POSTGRES) {
    IndexSettings settings;
    settings.index_name = name;
    const auto key = MakeKey(key_seed);
    std::copy(key.begin(), key.end(), settings.index_key.begin());
    DBConfig config;
    config.location = location;
    if (location != MEMORY) {
      config.table_name = "ombrix_engine_test";
      config.connection_string = "test-backend";
    }
    settings.index_location = settings.config_location = settings.items_location =
        settings.data_location = config;
    settings.cpu_threads = 0;  // leave the process's team size alone
    return settings;
  }

  std::unique_ptr<EncryptedIndexCore> Create(const std::string& name, uint32_t key_seed,
                                             uint64_t payload_size = 16) {
    IndexSettings settings = Settings(name, key_seed);
    settings.payload_size = payload_size;
    return EncryptedIndexCore::Create(settings, logger(), {1, 2, 3});
  }

  std::unique_ptr<EncryptedIndexCore> Load(const std::string& name, uint32_t key_seed) {
    return EncryptedIndexCore::Load(Settings(name, key_seed), logger());
  }

  // A fault on `operation` (empty = any) at its nth call from now.
  static bs::test_support::Fault FaultOn(const std::string& operation, uint64_t nth = 1,
                                         bool sticky = false) {
    bs::test_support::Fault fault;
    fault.operation = operation;
    fault.nth = nth;
    fault.sticky = sticky;
    return fault;
  }

  Logger* logger() { return &InternalLogger(); }  // the capture's logger while it lives

  bs::test_support::TestBackend& backend() { return scope_.backend(); }

  // The lines logged so far that start with `prefix` ("WARNING Map update failed").
  std::vector<std::string> LinesStartingWith(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& line : capture_.Lines()) {
      if (line.rfind(prefix, 0) == 0) out.push_back(line);
    }
    return out;
  }

  // Declared before any core a test makes, so every core goes first.
  bs::test_support::ScopedTestBackend scope_;
  testing_support::ScopedLogCapture capture_;
};

}  // namespace ombrix::testing_util
