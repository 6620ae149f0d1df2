// PackedList: the items of one inverted list laid out for exact ranking: ids, metadata texts
// and vectors packed so that one query meets many rows at once in SIMD lanes, with each
// row's length. Immutable once built, so the item cache and running queries share one by
// std::shared_ptr and read it from any thread without a copy.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ombrix {

// Rows are packed in blocks of kPackLanes rows stored component-major: component j of row
// l of a block at j * kPackLanes + l. The rows after the last full block (fewer than
// kPackLanes) follow component-major with their own count as stride, so a list of n rows of
// d components takes exactly n * d floats.
inline constexpr uint64_t kPackLanes = 16;

// One list as ranking reads it, borrowed from its owner for the duration of a call.
struct ListView {
  uint64_t rows = 0;
  const float* packed = nullptr;   // rows * d floats in the layout above
  const float* lengths = nullptr;  // per row: sqrt of the fused sum of squares
  // Per row, CosineScaleExponent of the row; null when it is 0 for every row (the rule).
  // A row with another exponent is ranked from a scaled copy, since its packed sums could
  // overflow or vanish in single precision: cosine scales the row by it, Euclidean scales
  // row and query by one power of two.
  const int16_t* scales = nullptr;
  const std::string* ids = nullptr;
  const std::string* metadata = nullptr;
};

// Packs rows x d floats read row-major (row r at rows_at + r * d) into packed, and writes
// their lengths unless lengths is null. The two outputs hold rows * d and rows floats.
void PackRows(const float* rows_at, uint64_t rows, uint64_t d, float* packed, float* lengths);

// The lengths of packed rows, as ranking computes them (defined with the lane kernels).
void PackedLengths(const float* packed, uint64_t rows, uint64_t d, float* lengths);

// Row r of a packed list of `rows` rows of d components, back in row order (d floats).
void UnpackRow(const float* packed, uint64_t rows, uint64_t d, uint64_t r, float* out);

// CosineScaleExponent of each of rows x d row-major floats into scales; true when any is
// not 0.
bool RowScales(const float* rows_at, uint64_t rows, uint64_t d, int16_t* scales);

class PackedList {
 public:
  // rows = ids.size() payloads of `width` bytes each, row-major at payloads (read only when
  // width is not 0); vectors are the payloads read as ceil(width / 4) 4-byte words, the
  // last one completed with zero bytes. REQUIRES: metadata.size() == ids.size().
  PackedList(std::vector<std::string> ids, std::vector<std::string> metadata,
             const uint8_t* payloads, uint64_t width);

  uint64_t size() const { return ids_.size(); }
  uint64_t width() const { return width_; }
  uint64_t words() const { return (width_ + 3) / 4; }
  const std::vector<std::string>& ids() const { return ids_; }
  const std::vector<std::string>& metadata() const { return metadata_; }
  // The packed vectors: size() * words() floats.
  const std::vector<float>& packed() const { return packed_; }
  // The width payload bytes of a row, as they were given.
  void CopyPayload(uint64_t row, uint8_t* out) const;
  ListView view() const;

 private:
  std::vector<std::string> ids_;
  std::vector<std::string> metadata_;
  uint64_t width_;
  std::vector<float> packed_;
  std::vector<float> lengths_;
  std::vector<int16_t> scales_;  // empty when every row's exponent is 0
};

}  // namespace ombrix
