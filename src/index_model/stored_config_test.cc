#include "index_model/stored_config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <sstream>

namespace ombrix {
namespace {

using stored::StoredCodebook;
using stored::StoredConfig;
using stored::StoredIndexParams;
using stored::StoredQuantizers;

// Field positions are part of the stored format.
static_assert(StoredConfig::VT_NAME == 4 && StoredConfig::VT_PARAMS == 6 &&
              StoredConfig::VT_QUANTIZERS == 8 && StoredConfig::VT_TRAINED == 10 &&
              StoredConfig::VT_QUANTIZER_VERSION == 12);
static_assert(StoredIndexParams::VT_INDEX_TYPE == 4 && StoredIndexParams::VT_DIMENSION == 6 &&
              StoredIndexParams::VT_METRIC == 8 && StoredIndexParams::VT_N_LISTS == 10 &&
              StoredIndexParams::VT_PQ_DIM == 12 && StoredIndexParams::VT_PQ_BITS == 14 &&
              StoredIndexParams::VT_EMBEDDING_MODEL == 16);
static_assert(StoredQuantizers::VT_CODEBOOKS == 4 && StoredQuantizers::VT_SECONDARY_CODEBOOKS == 6);
static_assert(StoredCodebook::VT_N_CENTROIDS == 4 && StoredCodebook::VT_COLS == 6 &&
              StoredCodebook::VT_DATA == 8);

// What an index owns of the record, as the index layer will hold it.
struct FakeIndex {
  std::string name = "idx";
  std::unique_ptr<IndexConfig> config = std::make_unique<IndexIVFFlat>(0, std::string());
  Quantizers quantizers;
  bool trained = false;
  uint32_t quantizer_version = 0;

  IndexView view() { return {name, config, quantizers, trained, quantizer_version}; }
  std::vector<uint8_t> Write() { return SerializeIndexConfig(view()); }
  void Read(const std::vector<uint8_t>& buffer) {
    IndexView v = view();
    DeserializeIndexConfig(v, buffer);
  }
};

Codebook MakeCodebook(uint32_t rows, uint64_t cols, uint32_t seed) {
  // Arbitrary bit patterns (NaN payloads, denormals, -0) must survive unchanged.
  std::mt19937 bits(seed);
  std::vector<float> values(rows * cols);
  for (float& v : values) {
    uint32_t pattern = bits();
    std::memcpy(&v, &pattern, sizeof v);
  }
  return Codebook{rows, Matrix<float>(std::move(values), cols)};
}

void ExpectSameCodebooks(const std::vector<Codebook>& a, const std::vector<Codebook>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].n_centroids, b[i].n_centroids);
    EXPECT_EQ(a[i].centroids.rows, b[i].centroids.rows);
    EXPECT_EQ(a[i].centroids.cols, b[i].centroids.cols);
    ASSERT_EQ(a[i].centroids.data.size(), b[i].centroids.data.size());
    if (a[i].centroids.data.empty()) continue;
    EXPECT_EQ(0, std::memcmp(a[i].centroids.data.data(), b[i].centroids.data.data(),
                             a[i].centroids.data.size() * sizeof(float)))
        << "codebook " << i << " differs";
  }
}

void ExpectSameIndex(const FakeIndex& a, const FakeIndex& b) {
  EXPECT_EQ(a.name, b.name);
  ASSERT_TRUE(a.config && b.config);
  EXPECT_EQ(typeid(*a.config), typeid(*b.config));
  EXPECT_EQ(a.config->dimension(), b.config->dimension());
  EXPECT_EQ(a.config->metric, b.config->metric);
  EXPECT_EQ(a.config->index_type, b.config->index_type);
  EXPECT_EQ(a.config->embedding_model, b.config->embedding_model);
  EXPECT_EQ(a.config->n_lists(), b.config->n_lists());
  ExpectSameCodebooks(a.quantizers.codebooks, b.quantizers.codebooks);
  ExpectSameCodebooks(a.quantizers.secondary_codebooks, b.quantizers.secondary_codebooks);
  EXPECT_EQ(a.trained, b.trained);
  EXPECT_EQ(a.quantizer_version, b.quantizer_version);
}

// A trained index whose every field differs from a fresh one: the target of failed reads.
FakeIndex TrainedIndex() {
  FakeIndex index;
  index.name = "before";
  index.config = std::make_unique<IndexIVFFlat>(4, std::string("model-before"));
  index.config->metric = SquaredEuclidean;
  index.config->set_n_lists(2);
  index.quantizers.codebooks.push_back(MakeCodebook(2, 4, 1));
  index.trained = true;
  index.quantizer_version = 3;
  return index;
}

FakeIndex Copy(const FakeIndex& index) {
  FakeIndex copy;
  copy.name = index.name;
  copy.config = index.config->clone();
  copy.quantizers = index.quantizers;
  copy.trained = index.trained;
  copy.quantizer_version = index.quantizer_version;
  return copy;
}

void ExpectReadRefused(const std::vector<uint8_t>& buffer, const std::string& message) {
  FakeIndex target = TrainedIndex();
  FakeIndex before = Copy(target);
  try {
    target.Read(buffer);
    ADD_FAILURE() << "read accepted; expected " << message;
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()), message);
  }
  ExpectSameIndex(target, before);
}

void ExpectWriteRefused(FakeIndex& index, const std::string& message) {
  try {
    index.Write();
    ADD_FAILURE() << "write accepted; expected " << message;
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()), message);
  }
}

// A record built field by field, so that any field can be wrong or missing.
struct Draft {
  std::optional<std::string> name = "crafted";
  bool with_params = true;
  std::optional<std::string> index_type = "IVFFLAT";
  std::optional<std::string> metric = "Cosine";
  std::optional<std::string> model = "";
  uint32_t dimension = 2;
  uint32_t n_lists = 1;
  uint32_t n_centroids = 1;
  uint32_t cols = 2;
  std::optional<std::vector<float>> data = std::vector<float>{1.5f, -2.0f};
};

std::vector<uint8_t> Build(const Draft& d) {
  flatbuffers::FlatBufferBuilder b(1024);
  auto text = [&](const std::optional<std::string>& s) {
    return s ? b.CreateString(*s) : flatbuffers::Offset<flatbuffers::String>();
  };
  auto data = d.data ? b.CreateVector(*d.data) : flatbuffers::Offset<flatbuffers::Vector<float>>();
  auto start = b.StartTable();
  b.AddElement<uint32_t>(StoredCodebook::VT_N_CENTROIDS, d.n_centroids, 0);
  b.AddElement<uint32_t>(StoredCodebook::VT_COLS, d.cols, 0);
  if (d.data) b.AddOffset(StoredCodebook::VT_DATA, data);
  flatbuffers::Offset<StoredCodebook> codebook(b.EndTable(start));
  auto quantizers = stored::CreateStoredQuantizers(b, b.CreateVector(&codebook, 1));

  auto index_type = text(d.index_type), metric = text(d.metric), model = text(d.model);
  start = b.StartTable();
  if (d.index_type) b.AddOffset(StoredIndexParams::VT_INDEX_TYPE, index_type);
  b.AddElement<uint32_t>(StoredIndexParams::VT_DIMENSION, d.dimension, 0);
  if (d.metric) b.AddOffset(StoredIndexParams::VT_METRIC, metric);
  b.AddElement<uint32_t>(StoredIndexParams::VT_N_LISTS, d.n_lists, 0);
  if (d.model) b.AddOffset(StoredIndexParams::VT_EMBEDDING_MODEL, model);
  flatbuffers::Offset<StoredIndexParams> params(b.EndTable(start));

  auto name = text(d.name);
  start = b.StartTable();
  if (d.name) b.AddOffset(StoredConfig::VT_NAME, name);
  if (d.with_params) b.AddOffset(StoredConfig::VT_PARAMS, params);
  b.AddOffset(StoredConfig::VT_QUANTIZERS, quantizers);
  b.AddElement<uint8_t>(StoredConfig::VT_TRAINED, 1, 0);
  b.Finish(flatbuffers::Offset<StoredConfig>(b.EndTable(start)));
  return {b.GetBufferPointer(), b.GetBufferPointer() + b.GetSize()};
}

// Whether a field is present in the buffer (scalars equal to their default are omitted).
template <typename T>
bool Has(const T* table, flatbuffers::voffset_t field) {
  return reinterpret_cast<const flatbuffers::Table*>(table)->CheckField(field);
}

constexpr const char* kInvalid = "Could not deserialize index config: buffer is invalid";

TEST(StoredConfigTest, UntrainedIndexRoundTrips) {
  FakeIndex index;
  index.name = "docs";
  index.config->metric = Cosine;
  index.config->embedding_model = "all-MiniLM-L6-v2";
  std::vector<uint8_t> buffer = index.Write();

  const StoredConfig* record = stored::GetStoredConfig(buffer.data());
  EXPECT_FALSE(Has(record->params(), StoredIndexParams::VT_DIMENSION)) << "0 is omitted";
  EXPECT_EQ(record->params()->n_lists(), 1u);
  EXPECT_FALSE(Has(record, StoredConfig::VT_TRAINED));
  EXPECT_FALSE(Has(record, StoredConfig::VT_QUANTIZER_VERSION));
  ASSERT_NE(record->quantizers(), nullptr);
  ASSERT_NE(record->quantizers()->codebooks(), nullptr);
  ASSERT_NE(record->quantizers()->secondary_codebooks(), nullptr);
  EXPECT_EQ(record->quantizers()->codebooks()->size(), 0u);
  EXPECT_EQ(record->quantizers()->secondary_codebooks()->size(), 0u);

  FakeIndex loaded = TrainedIndex();
  loaded.Read(buffer);
  ExpectSameIndex(loaded, index);
}

TEST(StoredConfigTest, TrainedCodebookRoundTripsBitForBit) {
  FakeIndex index;
  index.name = "trained";
  index.config = std::make_unique<IndexIVFFlat>(768, std::string());
  index.config->set_n_lists(1024);
  index.quantizers.codebooks.push_back(MakeCodebook(1024, 768, 42));
  index.trained = true;
  index.quantizer_version = 7;

  FakeIndex loaded;
  loaded.Read(index.Write());
  ASSERT_EQ(loaded.quantizers.codebooks.size(), 1u);
  EXPECT_EQ(loaded.quantizers.codebooks[0].centroids.rows, 1024u);
  EXPECT_EQ(loaded.quantizers.codebooks[0].centroids.cols, 768u);
  ExpectSameIndex(loaded, index);
}

TEST(StoredConfigTest, ListsKeepOrderAndEdgeValuesSurvive) {
  FakeIndex index;
  index.config = std::make_unique<IndexIVFFlat>(4294967295u, std::string("m"));
  index.config->set_n_lists(0);
  index.quantizers.codebooks = {MakeCodebook(3, 2, 1), MakeCodebook(0, 5, 2),
                                MakeCodebook(1, 1, 3)};
  index.quantizers.secondary_codebooks = {MakeCodebook(2, 3, 4)};
  index.quantizer_version = 4294967295u;

  FakeIndex loaded = TrainedIndex();
  loaded.Read(index.Write());
  ExpectSameIndex(loaded, index);
  EXPECT_EQ(loaded.config->n_lists(), 0u) << "a stored 0 is applied, not defaulted";
}

TEST(StoredConfigTest, DisengagedModelIsStoredAsEmptyText) {
  FakeIndex index;
  index.config = std::make_unique<IndexIVFFlat>(8, std::nullopt);
  FakeIndex loaded = TrainedIndex();
  loaded.Read(index.Write());
  EXPECT_EQ(loaded.config->embedding_model, std::optional<std::string>(""));
}

TEST(StoredConfigTest, FlatcDecodesTheFieldLayout) {
  FakeIndex index;
  index.name = "layout";
  index.config = std::make_unique<IndexIVFFlat>(2, std::string("model"));
  index.config->metric = SquaredEuclidean;
  index.config->set_n_lists(3);
  index.quantizers.codebooks.push_back(
      Codebook{3, Matrix<float>(std::vector<float>{0.5f, -1.0f, 2.0f, 0.0f, 4.25f, -8.0f}, 2)});
  index.trained = true;
  index.quantizer_version = 9;
  FakeIndex untrained;

  const std::string dir = ::testing::TempDir() + "stored_config_" + std::to_string(getpid());
  ASSERT_EQ(std::system(("mkdir -p '" + dir + "'").c_str()), 0);
  auto decode = [&](const std::vector<uint8_t>& buffer, const std::string& stem) {
    std::ofstream(dir + "/" + stem + ".bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(buffer.data()), buffer.size());
    const std::string command = std::string(OMBRIX_FLATC) + " --json --strict-json --raw-binary -o '" +
                                dir + "' " + OMBRIX_STORED_CONFIG_SCHEMA + " -- '" + dir + "/" +
                                stem + ".bin'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    std::stringstream text;
    text << std::ifstream(dir + "/" + stem + ".json").rdbuf();
    return nlohmann::json::parse(text.str());
  };

  nlohmann::json expected = {
      {"name", "layout"},
      {"params",
       {{"index_type", "IVFFLAT"},
        {"dimension", 2},
        {"metric", "SquaredEuclidean"},
        {"n_lists", 3},
        {"embedding_model", "model"}}},
      {"quantizers",
       {{"codebooks",
         {{{"n_centroids", 3}, {"cols", 2}, {"data", {0.5, -1.0, 2.0, 0.0, 4.25, -8.0}}}}},
        {"secondary_codebooks", nlohmann::json::array()}}},
      {"trained", true},
      {"quantizer_version", 9}};
  EXPECT_EQ(decode(index.Write(), "trained"), expected);

  nlohmann::json fresh = {
      {"name", "idx"},
      {"params", {{"index_type", "IVFFLAT"}, {"metric", "Euclidean"}, {"n_lists", 1},
                  {"embedding_model", ""}}},
      {"quantizers",
       {{"codebooks", nlohmann::json::array()}, {"secondary_codebooks", nlohmann::json::array()}}}};
  EXPECT_EQ(decode(untrained.Write(), "untrained"), fresh);
  EXPECT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
}

TEST(StoredConfigTest, EmptyAndInvalidBuffersLeaveTheIndexUnchanged) {
  ExpectReadRefused({}, "Could not deserialize index config: buffer is empty");
  ExpectReadRefused({0x01}, kInvalid);
  ExpectReadRefused(std::vector<uint8_t>(64, 0xff), kInvalid);

  std::vector<uint8_t> valid = TrainedIndex().Write();
  ExpectReadRefused(std::vector<uint8_t>(valid.begin(), valid.begin() + valid.size() / 2),
                    kInvalid);
  std::vector<uint8_t> scrambled = valid;
  scrambled[0] ^= 0x80;  // root offset far outside the buffer
  ExpectReadRefused(scrambled, kInvalid);

  // Each required field missing in turn.
  for (auto drop : std::vector<std::function<void(Draft&)>>{
           [](Draft& d) { d.name.reset(); }, [](Draft& d) { d.with_params = false; },
           [](Draft& d) { d.index_type.reset(); }, [](Draft& d) { d.metric.reset(); },
           [](Draft& d) { d.model.reset(); }, [](Draft& d) { d.data.reset(); }}) {
    Draft draft;
    drop(draft);
    ExpectReadRefused(Build(draft), kInvalid);
  }
  FakeIndex ok = TrainedIndex();
  ok.Read(Build(Draft()));
  EXPECT_EQ(ok.name, "crafted") << "the draft itself is a valid record";
}

TEST(StoredConfigTest, UnknownNamesAndBadCodebooksLeaveTheIndexUnchanged) {
  Draft lower_case;
  lower_case.metric = "euclidean";
  ExpectReadRefused(Build(lower_case), "Unknown distance metric");
  Draft unknown_type;
  unknown_type.index_type = "IVFPQ";
  ExpectReadRefused(Build(unknown_type), "Unknown index type");
  Draft no_columns;
  no_columns.cols = 0;
  no_columns.n_centroids = 0;
  no_columns.data = std::vector<float>{};
  ExpectReadRefused(Build(no_columns), "Data size must be a multiple of the number of columns");
  Draft ragged;
  ragged.cols = 3;
  ExpectReadRefused(Build(ragged), "Data size must be a multiple of the number of columns");
  Draft too_many_centroids;
  too_many_centroids.n_centroids = 2;
  ExpectReadRefused(Build(too_many_centroids), kInvalid);
}

TEST(StoredConfigTest, WriterRefusesWhatCannotBeReadBack) {
  const uint64_t too_big = 4294967296u;
  FakeIndex index;
  index.config->index_type = 1;
  ExpectWriteRefused(index, "Unknown index type");
  for (int32_t metric : {-1, 3}) {
    FakeIndex bad_metric;
    bad_metric.config->metric = metric;
    ExpectWriteRefused(bad_metric, "Unknown distance metric");
  }
  FakeIndex wide;
  wide.config = std::make_unique<IndexIVFFlat>(too_big, std::string());
  ExpectWriteRefused(wide, "Could not serialize index config: dimension exceeds 4294967295");
  FakeIndex many_lists;
  many_lists.config->set_n_lists(too_big);
  ExpectWriteRefused(many_lists, "Could not serialize index config: n_lists exceeds 4294967295");
  FakeIndex wide_codebook;
  wide_codebook.quantizers.codebooks.push_back(Codebook{0, Matrix<float>({}, too_big)});
  ExpectWriteRefused(wide_codebook,
                     "Could not serialize index config: codebook cols exceeds 4294967295");
  FakeIndex mismatched;
  mismatched.quantizers.secondary_codebooks.push_back(MakeCodebook(2, 3, 1));
  mismatched.quantizers.secondary_codebooks[0].n_centroids = 3;
  ExpectWriteRefused(mismatched,
                     "Could not serialize index config: codebook n_centroids differs from its "
                     "row count");
  FakeIndex no_columns;
  no_columns.quantizers.codebooks.push_back(Codebook{});
  ExpectWriteRefused(no_columns, "Data size must be a multiple of the number of columns");
  FakeIndex released;
  released.config.reset();
  ExpectWriteRefused(released, "Could not serialize index config: index has no configuration");
}

TEST(StoredConfigTest, SizeBoundCoversTheWrittenRecord) {
  FakeIndex index;
  for (uint32_t i = 0; i < 5; ++i) {
    index.name.append(37, 'n');
    index.config->embedding_model->append(11, 'm');
    index.quantizers.codebooks.push_back(MakeCodebook(i + 1, 3 + i, i));
    index.quantizers.secondary_codebooks.push_back(MakeCodebook(i, 1, i));
    const uint64_t bound = internal::StoredConfigSizeBound(index.view());
    const uint64_t size = index.Write().size();
    EXPECT_GE(bound, size);
    EXPECT_LE(bound, size + 1024) << "the bound stays close";
  }
}

TEST(StoredConfigTest, RecordsOfTwoGibibytesAreRefused) {
  {
    FakeIndex huge;
    // Just enough floats for the centroid data alone to reach the limit.
    huge.quantizers.codebooks.push_back(
        Codebook{1, Matrix<float>(std::vector<float>((1u << 29), 0.0f), 1u << 29)});
    ExpectWriteRefused(huge, "Could not serialize index config: record would reach the 2 GiB limit");
  }
  ExpectReadRefused(std::vector<uint8_t>(FLATBUFFERS_MAX_BUFFER_SIZE, 0), kInvalid);
}

}  // namespace
}  // namespace ombrix
