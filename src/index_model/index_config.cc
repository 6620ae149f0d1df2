#include "index_model/index_config.h"

#include <stdexcept>

namespace ombrix {

std::string metric_name(DistanceMetric metric) {
  switch (metric) {
    case Cosine:
      return "cosine";
    case Euclidean:
      return "euclidean";
    case SquaredEuclidean:
      return "squared_euclidean";
  }
  throw std::invalid_argument("Invalid distance metric");
}

IndexIVFFlat::IndexIVFFlat(uint64_t dimension, std::optional<std::string> model) {
  dimension_ = dimension;
  metric = Euclidean;
  index_type = IVFFLAT;
  embedding_model = std::move(model);
}

std::unique_ptr<IndexConfig> IndexIVFFlat::clone() const {
  return std::make_unique<IndexIVFFlat>(*this);
}

}  // namespace ombrix
