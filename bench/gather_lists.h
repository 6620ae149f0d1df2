// What the storage engine would hand to ranking for the probed lists of a batch, built
// from vectors filed in memory. Shared by the numerics benchmarks; never timed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "index_model/cache_miss_result.h"
#include "index_model/matrix.h"

namespace ombrix {

// Fills record with the rows of each probed list, in probe order, and returns their vectors.
inline Matrix<float> GatherLists(const Matrix<float>& base,
                                 const std::vector<std::vector<uint64_t>>& lists,
                                 const std::vector<std::string>& ids,
                                 const std::vector<uint32_t>& probed, CacheMissResult& record) {
  const uint64_t d = base.cols;
  record = CacheMissResult();
  record.token_indices.push_back(0);
  std::vector<float> values;
  for (uint32_t list : probed) {
    for (uint64_t row : lists[list]) {
      record.item_ids.push_back(ids[row]);
      record.metadata.emplace_back();
      values.insert(values.end(), base.row(row), base.row(row) + d);
    }
    record.token_indices.push_back(record.item_ids.size());
  }
  return Matrix<float>(std::move(values), d);
}

}  // namespace ombrix
