// The stored index-configuration record: a FlatBuffers buffer (root StoredConfig) that
// persists an index's name, configuration, codebooks, trained flag and quantizer version.
// The functions borrow the index through IndexView; returned objects are owned by the
// caller. No locking: the owner must not use the index concurrently.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "index_model/index_config.h"
#include "index_model/matrix.h"
#include "index_model/stored_config_generated.h"

namespace ombrix {

// The parts of an index that the record saves and restores, borrowed from their owner.
// `config` is replaced wholesale on reading (the old configuration is destroyed).
struct IndexView {
  std::string& name;
  std::unique_ptr<IndexConfig>& config;
  Quantizers& quantizers;
  bool& trained;
  uint32_t& quantizer_version;
  // The training this configuration belongs to; not written or read when null.
  uint64_t* generation = nullptr;
};

// One finished buffer (no file identifier, no size prefix).
// Throws std::invalid_argument "Unknown index type" / "Unknown distance metric" for a
// configuration outside the known values, and "Could not serialize index config: ..."
// for what the record cannot hold or read back (a value above 32 bits, a codebook whose
// n_centroids differs from its rows, a record of 2 GiB or more, no configuration).
std::vector<uint8_t> SerializeIndexConfig(const IndexView& index);

// One StoredCodebook table per codebook, in order.
// Throws std::invalid_argument for a codebook the reader would refuse (see above).
std::vector<flatbuffers::Offset<stored::StoredCodebook>> SerializeCodebooks(
    flatbuffers::FlatBufferBuilder& builder, const std::vector<Codebook>& codebooks);

// Verifies `buffer` and replaces the index's name, configuration, both codebook lists,
// trained flag and quantizer version. All or nothing: on any exception the index is
// unchanged. Throws std::invalid_argument "Could not deserialize index config: buffer is
// empty" / "... buffer is invalid", "Unknown index type", "Unknown distance metric",
// "Data size must be a multiple of the number of columns".
void DeserializeIndexConfig(IndexView& index, const std::vector<uint8_t>& buffer);

// A new IndexIVFFlat from a stored parameter table; the model text is always engaged.
// Throws std::invalid_argument "Unknown index type" or "Unknown distance metric".
std::unique_ptr<IndexConfig> IndexConfigFromParams(const stored::StoredIndexParams& params);

// Throws std::invalid_argument "Data size must be a multiple of the number of columns"
// (cols 0 or ragged data) or "Could not deserialize index config: buffer is invalid"
// (no data, or n_centroids different from the row count).
Codebook CodebookFromTable(const stored::StoredCodebook& table);

namespace internal {
// An upper bound of the size SerializeIndexConfig's buffer will have, for the 2 GiB check.
uint64_t StoredConfigSizeBound(const IndexView& index);
}  // namespace internal

}  // namespace ombrix
