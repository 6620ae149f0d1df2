// Rows of random 64-bit keys and random values for the keystore benchmarks. A fixed seed,
// so every backend's program moves the same bytes. Plain values; no sharing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace ombrix_bench {

struct Rows {
  std::vector<uint64_t> keys;
  std::vector<std::vector<uint8_t>> values;
};

inline Rows MakeRows(size_t count, size_t value_bytes = 600) {
  std::mt19937_64 generator(42);
  Rows rows;
  for (size_t i = 0; i < count; ++i) {
    rows.keys.push_back(generator());
    std::vector<uint8_t> value(value_bytes);
    for (uint8_t& byte : value) byte = static_cast<uint8_t>(generator());
    rows.values.push_back(std::move(value));
  }
  return rows;
}

}  // namespace ombrix_bench
