// Assignment of vectors to lists: for each vector and each codebook, the index of the
// nearest centroid of that codebook to the vector's slice. Returns a new matrix owned by
// the caller. Callable from any thread; runs one OpenMP region on the default team.
#pragma once

#include <cstdint>
#include <vector>

#include "index_model/index_config.h"
#include "index_model/matrix.h"

namespace ombrix {

// n x m list ids, cell (i, j) the nearest centroid of codebook j to slice j of vector i;
// equal distances go to the lowest centroid index. Throws std::runtime_error
// "Unsupported distance metric." (after logging it at ERROR through the active logger),
// std::invalid_argument when the dimension is not divisible by the number of codebooks,
// and std::invalid_argument for a codebook without centroids, whose n_centroids differs
// from its rows or whose centroid width differs from the slice width; all before any work.
Matrix<uint32_t> quantize_dispatch(const Matrix<float>& vectors,
                                   const std::vector<Codebook>& codebooks, DistanceMetric metric);

// The GPU counterpart: always throws the CUDA std::runtime_error.
Matrix<uint32_t> quantize_gpu(const Matrix<float>& vectors, const std::vector<Codebook>& codebooks,
                              DistanceMetric metric);

// Distances from a block of points are computed this many vectors at a time, bounding the
// distance table whatever the batch size.
inline constexpr uint64_t kAssignmentBlock = 1000;

}  // namespace ombrix
