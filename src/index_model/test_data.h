// Data makers shared by the numeric tests of this folder (test code only).
#pragma once

#include <cmath>
#include <random>
#include <utility>
#include <vector>

#include "index_model/matrix.h"

namespace ombrix::testing_data {

// n x d floats drawn uniformly from [-1, 1) with a fixed seed.
inline Matrix<float> Uniform(uint64_t n, uint64_t d, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> v(n * d);
  for (auto& x : v) x = u(gen);
  return Matrix<float>(std::move(v), d);
}

// Every value times 2^k. REQUIRES: the values stay normal floats, so the scaling is exact.
inline Matrix<float> ScaledBy(Matrix<float> m, int k) {
  for (float& v : m.data) v = std::ldexp(v, k);
  return m;
}

// A codebook whose centroids are the rows of centroids.
inline Codebook BookOf(Matrix<float> centroids) {
  Codebook b;
  b.n_centroids = static_cast<uint32_t>(centroids.rows);
  b.centroids = std::move(centroids);
  return b;
}

}  // namespace ombrix::testing_data
