#include "index_model/stored_config.h"

#include <cstring>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace ombrix {
namespace {

static_assert(FLATBUFFERS_LITTLEENDIAN, "centroid data is copied as raw float bytes");

constexpr std::string_view kStoredIndexType = "IVFFLAT";
constexpr const char* kStoredMetricNames[] = {"Cosine", "Euclidean", "SquaredEuclidean"};
constexpr uint64_t kMaxStored = std::numeric_limits<uint32_t>::max();

[[noreturn]] void RefuseWrite(const std::string& why) {
  throw std::invalid_argument("Could not serialize index config: " + why);
}

[[noreturn]] void InvalidBuffer() {
  throw std::invalid_argument("Could not deserialize index config: buffer is invalid");
}

uint32_t Narrow(uint64_t value, const char* what) {
  if (value > kMaxStored) {
    RefuseWrite(std::string(what) + " exceeds " + std::to_string(kMaxStored));
  }
  return static_cast<uint32_t>(value);
}

// A record the reader would refuse must never be written: the index could not be loaded.
void CheckCodebookWritable(const Codebook& codebook) {
  if (codebook.centroids.cols == 0) {
    throw std::invalid_argument("Data size must be a multiple of the number of columns");
  }
  Narrow(codebook.centroids.cols, "codebook cols");
  if (codebook.n_centroids != codebook.centroids.rows) {
    RefuseWrite("codebook n_centroids differs from its row count");
  }
}

std::vector<Codebook> CodebooksFromTables(
    const flatbuffers::Vector<flatbuffers::Offset<stored::StoredCodebook>>* tables) {
  std::vector<Codebook> codebooks;
  if (tables == nullptr) return codebooks;
  codebooks.reserve(tables->size());
  for (const stored::StoredCodebook* table : *tables) {
    codebooks.push_back(CodebookFromTable(*table));
  }
  return codebooks;
}

}  // namespace

namespace internal {

uint64_t StoredConfigSizeBound(const IndexView& index) {
  // Each string: length prefix, terminator, padding. Each table with its vtable and
  // alignment stays well under the fixed allowances.
  constexpr uint64_t kFixed = 512;
  constexpr uint64_t kPerString = 16;
  constexpr uint64_t kPerCodebook = 64;
  uint64_t bound = kFixed + index.name.size() + kPerString;
  const auto& model = index.config->embedding_model;
  bound += (model ? model->size() : 0) + kPerString;
  bound += 3 * kPerString + 32;  // index type and metric names
  for (const auto* list : {&index.quantizers.codebooks, &index.quantizers.secondary_codebooks}) {
    for (const Codebook& codebook : *list) {
      bound += kPerCodebook + codebook.centroids.data.size() * sizeof(float);
    }
  }
  return bound;
}

}  // namespace internal

std::vector<flatbuffers::Offset<stored::StoredCodebook>> SerializeCodebooks(
    flatbuffers::FlatBufferBuilder& builder, const std::vector<Codebook>& codebooks) {
  std::vector<flatbuffers::Offset<stored::StoredCodebook>> offsets;
  offsets.reserve(codebooks.size());
  for (const Codebook& codebook : codebooks) {
    CheckCodebookWritable(codebook);
    const auto& values = codebook.centroids.data;
    auto data = builder.CreateVector(values.data(), values.size());
    offsets.push_back(stored::CreateStoredCodebook(
        builder, codebook.n_centroids, static_cast<uint32_t>(codebook.centroids.cols), data));
  }
  return offsets;
}

std::vector<uint8_t> SerializeIndexConfig(const IndexView& index) {
  if (!index.config) RefuseWrite("index has no configuration");
  const IndexConfig& config = *index.config;
  if (config.index_type != IVFFLAT) throw std::invalid_argument("Unknown index type");
  if (config.metric < Cosine || config.metric > SquaredEuclidean) {
    throw std::invalid_argument("Unknown distance metric");
  }
  const uint32_t dimension = Narrow(config.dimension(), "dimension");
  const uint32_t n_lists = Narrow(config.n_lists(), "n_lists");
  const uint32_t pq_dim = Narrow(config.pq_dim(), "pq_dim");
  const uint32_t pq_bits = Narrow(config.pq_bits(), "pq_bits");
  // The builder cannot grow past this and the verifier refuses anything that large.
  if (internal::StoredConfigSizeBound(index) >= FLATBUFFERS_MAX_BUFFER_SIZE) {
    RefuseWrite("record would reach the 2 GiB limit");
  }

  flatbuffers::FlatBufferBuilder builder(1024);
  builder.ForceDefaults(false);
  builder.DedupVtables(true);

  auto index_type = builder.CreateString(kStoredIndexType.data(), kStoredIndexType.size());
  auto metric = builder.CreateString(kStoredMetricNames[config.metric]);
  // A disengaged model is written as "" so that the record can always be read back.
  auto model = builder.CreateString(config.embedding_model.value_or(std::string()));
  auto params = stored::CreateStoredIndexParams(builder, index_type, dimension, metric,
                                                n_lists, pq_dim, pq_bits, model);

  auto codebooks = builder.CreateVector(SerializeCodebooks(builder, index.quantizers.codebooks));
  auto secondary =
      builder.CreateVector(SerializeCodebooks(builder, index.quantizers.secondary_codebooks));
  auto quantizers = stored::CreateStoredQuantizers(builder, codebooks, secondary);

  auto name = builder.CreateString(index.name);
  auto root = stored::CreateStoredConfig(builder, name, params, quantizers, index.trained,
                                         index.quantizer_version,
                                         index.generation != nullptr ? *index.generation : 0);
  builder.Finish(root);
  return std::vector<uint8_t>(builder.GetBufferPointer(),
                              builder.GetBufferPointer() + builder.GetSize());
}

std::unique_ptr<IndexConfig> IndexConfigFromParams(const stored::StoredIndexParams& params) {
  const flatbuffers::String* index_type = params.index_type();
  if (index_type == nullptr || index_type->string_view() != kStoredIndexType) {
    throw std::invalid_argument("Unknown index type");
  }
  const flatbuffers::String* metric_text = params.metric();
  int32_t metric = -1;
  for (int32_t m = Cosine; m <= SquaredEuclidean && metric_text != nullptr; ++m) {
    if (metric_text->string_view() == kStoredMetricNames[m]) metric = m;
  }
  if (metric < 0) throw std::invalid_argument("Unknown distance metric");

  const flatbuffers::String* model = params.embedding_model();
  auto config = std::make_unique<IndexIVFFlat>(
      params.dimension(), model != nullptr ? model->str() : std::string());
  config->metric = metric;
  config->set_n_lists(params.n_lists());
  return config;
}

Codebook CodebookFromTable(const stored::StoredCodebook& table) {
  const flatbuffers::Vector<float>* data = table.data();
  if (data == nullptr) InvalidBuffer();
  std::vector<float> values(data->size());
  if (!values.empty()) std::memcpy(values.data(), data->data(), values.size() * sizeof(float));
  Codebook codebook{table.n_centroids(), Matrix<float>(std::move(values), table.cols())};
  // Later steps index centroids by n_centroids; a mismatch would read out of bounds.
  if (codebook.n_centroids != codebook.centroids.rows) InvalidBuffer();
  return codebook;
}

void DeserializeIndexConfig(IndexView& index, const std::vector<uint8_t>& buffer) {
  if (buffer.empty()) {
    throw std::invalid_argument("Could not deserialize index config: buffer is empty");
  }
  // The verifier cannot address more than this; larger input is not a record.
  if (buffer.size() >= FLATBUFFERS_MAX_BUFFER_SIZE) InvalidBuffer();
  flatbuffers::Verifier verifier(buffer.data(), buffer.size(), flatbuffers::Verifier::Options());
  if (!stored::VerifyStoredConfigBuffer(verifier)) InvalidBuffer();
  const stored::StoredConfig* record = stored::GetStoredConfig(buffer.data());
  // The verifier enforces the required fields; keep the reader safe on its own.
  if (record->name() == nullptr || record->params() == nullptr) InvalidBuffer();

  // Everything is parsed before anything in the index changes.
  std::string name = record->name()->str();
  std::unique_ptr<IndexConfig> config = IndexConfigFromParams(*record->params());
  const stored::StoredQuantizers* stored_quantizers = record->quantizers();
  std::vector<Codebook> codebooks, secondary;
  if (stored_quantizers != nullptr) {
    codebooks = CodebooksFromTables(stored_quantizers->codebooks());
    secondary = CodebooksFromTables(stored_quantizers->secondary_codebooks());
  }

  index.name = std::move(name);
  index.config = std::move(config);
  index.quantizers.codebooks = std::move(codebooks);
  index.quantizers.secondary_codebooks = std::move(secondary);
  index.trained = record->trained();
  index.quantizer_version = record->quantizer_version();
  if (index.generation != nullptr) *index.generation = record->generation();
}

}  // namespace ombrix
