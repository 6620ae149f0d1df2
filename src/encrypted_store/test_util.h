// Small helpers shared by this folder's tests: deterministic bytes and keys, hex text,
// and the message of a thrown exception.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace ombrix::testing_util {

inline std::vector<uint8_t> RandomBytes(std::size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = static_cast<uint8_t>(gen());
  return out;
}

inline std::array<uint8_t, 32> MakeKey(uint32_t seed) {
  const std::vector<uint8_t> bytes = RandomBytes(32, seed * 7919 + 1);
  std::array<uint8_t, 32> key;
  std::copy(bytes.begin(), bytes.end(), key.begin());
  return key;
}

inline std::string Hex(const uint8_t* bytes, std::size_t n) {
  static const char* kDigits = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

template <std::size_t N>
std::string Hex(const std::array<uint8_t, N>& bytes) {
  return Hex(bytes.data(), N);
}

// The what() of the std::exception f throws, or "<nothing thrown>".
inline std::string ThrownMessage(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<nothing thrown>";
}

}  // namespace ombrix::testing_util
