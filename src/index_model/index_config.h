// Index configurations: the polymorphic parameter set of an index (dimension, metric,
// index type, optional embedding model) and IVF-Flat, the only index type, which adds
// n_lists. Owned by one index through a unique pointer; clone() gives an independent copy.
// Not synchronised: the owning index serialises changes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace ombrix {

enum DistanceMetric : int32_t { Cosine = 0, Euclidean = 1, SquaredEuclidean = 2 };
enum IndexType : int32_t { IVFFLAT = 0 };

// Python name of a metric: "cosine", "euclidean", "squared_euclidean".
// Throws std::invalid_argument "Invalid distance metric" for any other value.
std::string metric_name(DistanceMetric metric);

class IndexConfig {
 public:
  virtual ~IndexConfig() = default;
  virtual uint64_t n_lists() const = 0;
  virtual void set_n_lists(uint64_t n_lists) = 0;
  virtual uint64_t pq_dim() const { return 0; }
  virtual uint64_t pq_bits() const { return 0; }
  virtual std::unique_ptr<IndexConfig> clone() const = 0;

  uint64_t dimension() const { return dimension_; }

  uint64_t dimension_ = 0;  // 0 until the first upsert fixes it
  int32_t metric = Euclidean;
  int32_t index_type = IVFFLAT;
  std::optional<std::string> embedding_model;

 protected:
  IndexConfig() = default;
  IndexConfig(const IndexConfig&) = default;
  IndexConfig& operator=(const IndexConfig&) = default;
};

class IndexIVFFlat : public IndexConfig {
 public:
  explicit IndexIVFFlat(uint64_t dimension = 0,
                        std::optional<std::string> embedding_model = std::string());
  ~IndexIVFFlat() override = default;

  uint64_t n_lists() const override { return n_lists_; }
  void set_n_lists(uint64_t n_lists) override { n_lists_ = n_lists; }
  std::unique_ptr<IndexConfig> clone() const override;

  uint64_t n_lists_ = 1;
};

}  // namespace ombrix
