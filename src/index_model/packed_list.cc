#include "index_model/packed_list.h"

#include <algorithm>
#include <cstring>

#include "index_model/distance_kernels.h"

namespace ombrix {
namespace {

// Component j of row r of a list of n rows lives at first + j * stride floats from the
// list's start.
struct RowPlace {
  uint64_t first;
  uint64_t stride;
};

RowPlace PlaceOf(uint64_t n, uint64_t d, uint64_t r) {
  const uint64_t full_rows = n / kPackLanes * kPackLanes;
  if (r < full_rows) return {(r / kPackLanes) * d * kPackLanes + r % kPackLanes, kPackLanes};
  return {full_rows * d + (r - full_rows), n - full_rows};
}

}  // namespace

void PackRows(const float* rows_at, uint64_t rows, uint64_t d, float* packed, float* lengths) {
  for (uint64_t r = 0; r < rows; ++r) {
    const float* x = rows_at + r * d;
    const RowPlace place = PlaceOf(rows, d, r);
    for (uint64_t j = 0; j < d; ++j) packed[place.first + j * place.stride] = x[j];
  }
  if (lengths != nullptr) PackedLengths(packed, rows, d, lengths);
}

void UnpackRow(const float* packed, uint64_t rows, uint64_t d, uint64_t r, float* out) {
  const RowPlace place = PlaceOf(rows, d, r);
  for (uint64_t j = 0; j < d; ++j) out[j] = packed[place.first + j * place.stride];
}

bool RowScales(const float* rows_at, uint64_t rows, uint64_t d, int16_t* scales) {
  bool any = false;
  for (uint64_t r = 0; r < rows; ++r) {
    scales[r] = static_cast<int16_t>(CosineScaleExponent(rows_at + r * d, d));
    any = any || scales[r] != 0;
  }
  return any;
}

PackedList::PackedList(std::vector<std::string> ids, std::vector<std::string> metadata,
                       const uint8_t* payloads, uint64_t width)
    : ids_(std::move(ids)), metadata_(std::move(metadata)), width_(width) {
  const uint64_t n = ids_.size();
  const uint64_t d = words();
  packed_.resize(n * d);
  lengths_.resize(n);
  if (n == 0 || d == 0) return;
  // Words are copied as bytes: a payload need not be made of numbers.
  std::vector<float> row(d);
  bool scaled = false;
  for (uint64_t r = 0; r < n; ++r) {
    row.back() = 0.0f;
    std::memcpy(row.data(), payloads + r * width_, width_);
    if (const int exponent = CosineScaleExponent(row.data(), d); exponent != 0) {
      if (!scaled) scales_.assign(n, 0);
      scaled = true;
      scales_[r] = static_cast<int16_t>(exponent);
    }
    const RowPlace place = PlaceOf(n, d, r);
    for (uint64_t j = 0; j < d; ++j) {
      std::memcpy(&packed_[place.first + j * place.stride], &row[j], sizeof(float));
    }
  }
  PackedLengths(packed_.data(), n, d, lengths_.data());
}

void PackedList::CopyPayload(uint64_t row, uint8_t* out) const {
  const uint64_t n = size();
  const uint64_t d = words();
  const RowPlace place = PlaceOf(n, d, row);
  for (uint64_t j = 0, written = 0; j < d; ++j, written += 4) {
    const uint64_t bytes = std::min<uint64_t>(4, width_ - written);
    std::memcpy(out + written, &packed_[place.first + j * place.stride], bytes);
  }
}

ListView PackedList::view() const {
  return ListView{size(), packed_.data(), lengths_.data(),
                  scales_.empty() ? nullptr : scales_.data(), ids_.data(), metadata_.data()};
}

}  // namespace ombrix
