// Matrix: the one dense row-major container (vectors, centroids, distance tables, list
// codes, byte rows of records, id tables). A value type that owns its data.
// Codebook and Quantizers: trained centroid sets as an index keeps them.
// No internal synchronisation: share a Matrix across threads only for reading.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

namespace ombrix {

template <typename T>
struct Matrix {
  uint64_t rows = 0;
  uint64_t cols = 0;
  std::vector<T> data;  // element (r, c) at r * cols + c

  Matrix() = default;

  // Takes the elements over; rows = size / cols.
  // Throws std::invalid_argument when cols is 0 or does not divide the element count.
  Matrix(std::vector<T>&& elements, uint64_t columns) {
    if (columns == 0 || elements.size() % columns != 0) {
      std::vector<T>().swap(elements);
      throw std::invalid_argument("Data size must be a multiple of the number of columns");
    }
    rows = elements.size() / columns;
    cols = columns;
    data = std::move(elements);
  }

  // rows x cols, every element set to fill.
  Matrix(uint64_t row_count, uint64_t col_count, const T& fill)
      : rows(row_count), cols(col_count), data(row_count * col_count, fill) {}

  T* row(uint64_t r) { return data.data() + r * cols; }
  const T* row(uint64_t r) const { return data.data() + r * cols; }
  T& at(uint64_t r, uint64_t c) { return data[r * cols + c]; }
  const T& at(uint64_t r, uint64_t c) const { return data[r * cols + c]; }
};

// One trained centroid set: n_centroids rows of centroids. Producers keep the two equal.
struct Codebook {
  uint32_t n_centroids = 0;
  Matrix<float> centroids;
};

// The codebook lists an index keeps: codebooks is empty until training, then has one;
// secondary_codebooks is never filled and is stored and loaded unchanged.
struct Quantizers {
  std::vector<Codebook> codebooks;
  std::vector<Codebook> secondary_codebooks;
};

}  // namespace ombrix
