// Points scattered around given centres, for the numerics benchmarks; never timed.
#pragma once

#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "index_model/matrix.h"

namespace ombrix {

// n points, each a centre drawn at random plus noise of sigma 0.6 per component.
inline Matrix<float> ClusteredPoints(const Matrix<float>& centres, uint64_t n,
                                     std::mt19937_64& gen) {
  const uint64_t d = centres.cols;
  std::normal_distribution<float> noise(0.0f, 0.6f);
  std::uniform_int_distribution<uint64_t> pick(0, centres.rows - 1);
  std::vector<float> v(n * d);
  for (uint64_t i = 0; i < n; ++i) {
    const float* c = centres.row(pick(gen));
    for (uint64_t j = 0; j < d; ++j) v[i * d + j] = c[j] + noise(gen);
  }
  return Matrix<float>(std::move(v), d);
}

}  // namespace ombrix
