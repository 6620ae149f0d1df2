#include "encrypted_store/encrypted_index_core.h"

#include <flatbuffers/flatbuffers.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "encrypted_store/core_test_fixture.h"
#include "encrypted_store/index_record_generated.h"
#include "encrypted_store/sealing.h"

namespace ombrix {
namespace {

using testing_util::CoreTest;
using testing_util::Hex;
using testing_util::MakeKey;
using testing_util::ThrownMessage;

std::array<uint8_t, 32> OpenSslHmac(const std::array<uint8_t, 32>& key, const std::string& text) {
  std::array<uint8_t, 32> out{};
  unsigned int len = 0;
  HMAC(EVP_sha3_256(), key.data(), 32, reinterpret_cast<const uint8_t*>(text.data()), text.size(),
       out.data(), &len);
  return out;
}

uint64_t BigEndian8(const std::array<uint8_t, 32>& bytes) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | bytes[i];
  return v;
}

bool Present(const fb::IndexRecord* record, flatbuffers::voffset_t field) {
  return reinterpret_cast<const flatbuffers::Table*>(record)->CheckField(field);
}

using EngineCoreTest = CoreTest;

TEST_F(EngineCoreTest, StoreNamesAndIndexIdMatchIndependentHmac) {
  auto core = Create("a", 1);
  const auto key = MakeKey(1);
  EXPECT_EQ(Hex(core->data_store_name), Hex(OpenSslHmac(key, "a.data")));
  EXPECT_EQ(Hex(core->content_store_name), Hex(OpenSslHmac(key, "a.content")));
  EXPECT_EQ(Hex(core->centroid_metadata_store_name), Hex(OpenSslHmac(key, "a.centroid_metadata")));
  EXPECT_EQ(Hex(core->hashed_index_key), Hex(OpenSslHmac(key, "a")));
  const uint64_t id = BigEndian8(OpenSslHmac(key, "a"));
  EXPECT_EQ(core->index_id(), id);
  const uint64_t top = 0x7FFFFFFFFFFFFFFFULL;  // the test backend stands in for PostgreSQL
  EXPECT_EQ(core->index_store->store_id(), (id + INDEX) & top);
  EXPECT_EQ(core->config_store->store_id(), (id + CONFIG) & top);
  EXPECT_EQ(core->items_store->store_id(), (id + ITEMS) & top);
  EXPECT_EQ(core->data_store->store_id(), (id + DATA) & top);

  // Same name, other key: other names and id. Same name and key: the same again.
  auto other = Create("b", 2);
  auto again = Load("a", 1);
  EXPECT_NE(Hex(other->data_store_name), Hex(core->data_store_name));
  EXPECT_EQ(Hex(again->data_store_name), Hex(core->data_store_name));
  EXPECT_EQ(again->index_id(), core->index_id());
}

// The map is stored with the records, so that its absence later always means loss.
TEST_F(EngineCoreTest, CreationWritesBothRecordsAndTheZeroCounterMap) {
  auto core = Create("idx", 3);
  auto names = backend().ConfigItemNames(core->config_store->store_id());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"idx.oei", "idx.ovs"}));
  EXPECT_EQ(core->GetDecryptedConfigItem("idx.ovs"), (std::vector<uint8_t>{1, 2, 3}));
  // The counter map and the training state with the index's incarnation.
  EXPECT_EQ(backend().CallCount("PushMap"), 2u);
  EXPECT_EQ(core->counter_map, std::vector<uint32_t>{0});
  EXPECT_EQ(LinesStartingWith("INFO Creating backing stores").size(), 1u);
  EXPECT_EQ(LinesStartingWith("INFO Index successfully created").size(), 1u);
  core.reset();
  EXPECT_EQ(backend().CallCount("PushMap"), 2u) << "releasing a core writes nothing";
  auto loaded = Load("idx", 3);
  EXPECT_EQ(loaded->counter_map, std::vector<uint32_t>{0});
  EXPECT_EQ(loaded->counter_map_version, 1u);
}

TEST_F(EngineCoreTest, ExistingNameIsRefusedAndLeavesTheConfigStoreAlone) {
  auto first = Create("dup", 4);
  const auto record_before = first->GetDecryptedConfigItem("dup.oei");
  const uint64_t pushes = backend().CallCount("PushConfigItem");
  EXPECT_EQ(ThrownMessage([&] { Create("dup", 4); }), "Index name dup already exists");
  EXPECT_EQ(backend().CallCount("PushConfigItem"), pushes);
  EXPECT_EQ(backend().CallCount("PushMap"), 2u);  // the first creation's map and state; the refused core pushed nothing
  EXPECT_EQ(first->GetDecryptedConfigItem("dup.oei"), record_before);
  EXPECT_EQ(LinesStartingWith("ERROR Index name dup already exists").size(), 1u);
}

TEST_F(EngineCoreTest, TheExistenceCheckFollowsTheConfigLocation) {
  // Index records in memory, config records on a server: the name is still taken.
  IndexSettings settings = Settings("mixed", 5);
  settings.index_location.location = MEMORY;
  auto first = EncryptedIndexCore::Create(settings, logger(), {9});
  EXPECT_EQ(ThrownMessage([&] { EncryptedIndexCore::Create(settings, logger(), {9}); }),
            "Index name mixed already exists");
  // Config records in memory keep nothing that could be found.
  IndexSettings in_memory = Settings("mixed", 5);
  in_memory.config_location = DBConfig{MEMORY, std::nullopt, std::nullopt};
  EXPECT_NO_THROW(EncryptedIndexCore::Create(in_memory, logger(), {9}));
}

TEST_F(EngineCoreTest, AFailedCreationTakesBackItsOwnRecordsOnly) {
  auto other = Create("other", 9);
  const uint64_t kept = backend().KeptEverywhere();
  backend().InjectFault(FaultOn("CompareAndSetConfigItem", 2));  // the ".ovs" write
  EXPECT_EQ(ThrownMessage([&] { Create("half", 9); }), "injected keystore failure");
  // Only the failed creation's own index store went, and nothing of it is left.
  EXPECT_EQ(backend().CallCount("DeleteIndex"), backend().CallCount("DeleteIndex", INDEX));
  EXPECT_EQ(backend().KeptEverywhere(), kept) << "rows of the failed creation are left, or the other index lost some";
  auto names = backend().ConfigItemNames(other->config_store->store_id());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"other.oei", "other.ovs"}));
  auto again = Create("half", 9);  // the name is free again
  EXPECT_EQ(again->GetDecryptedConfigItem("half.ovs"), (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(EngineCoreTest, MemoryIndexLocationSkipsTheExistenceCheck) {
  const IndexSettings settings = Settings("mem", 6, MEMORY);
  auto first = EncryptedIndexCore::Create(settings, logger(), {9});
  auto second = EncryptedIndexCore::Create(settings, logger(), {9});
  EXPECT_EQ(second->index_id(), first->index_id());
}

TEST_F(EngineCoreTest, IndexRecordRoundTripsAndOmitsZeroFields) {
  auto core = Create("rec", 7, 512);
  core->extra_text = "note";
  core->SaveIndexRecord(512);
  auto loaded = Load("rec", 7);
  EXPECT_EQ(loaded->tree_depth, 32u);
  EXPECT_EQ(loaded->vocab_size, 1u);
  EXPECT_EQ(loaded->payload_size, 512u);
  EXPECT_EQ(loaded->index_value_size, 8u);
  EXPECT_EQ(loaded->extra_text, "note");

  core->extra_text.clear();
  std::vector<uint8_t> bytes = core->SerializeIndexRecord();
  const fb::IndexRecord* full = fb::GetIndexRecord(bytes.data());
  for (auto field : {fb::IndexRecord::VT_TREE_DEPTH, fb::IndexRecord::VT_VOCAB_SIZE,
                     fb::IndexRecord::VT_PAYLOAD_SIZE, fb::IndexRecord::VT_INDEX_VALUE_SIZE,
                     fb::IndexRecord::VT_EXTRA_TEXT}) {
    EXPECT_TRUE(Present(full, field));
  }
  core->SaveIndexRecord(0);
  bytes = core->SerializeIndexRecord();
  EXPECT_FALSE(Present(fb::GetIndexRecord(bytes.data()), fb::IndexRecord::VT_PAYLOAD_SIZE));
  loaded->LoadIndexRecord();
  EXPECT_EQ(loaded->payload_size, 0u);
  EXPECT_EQ(loaded->tree_depth, 32u);
}

TEST_F(EngineCoreTest, TwoSavesDifferOnlyInTheirSealing) {
  auto core = Create("twice", 8);
  core->SaveIndexRecord(64);
  const auto first = core->config_store->LoadConfigItem("twice.oei");
  core->SaveIndexRecord(64);
  const auto second = core->config_store->LoadConfigItem("twice.oei");
  EXPECT_NE(first, second);
  std::string error;
  EXPECT_EQ(DecryptBlob(first, core->index_key, error), DecryptBlob(second, core->index_key, error));
}

TEST_F(EngineCoreTest, RecordWithoutTextFieldLoadsWithEmptyText) {
  auto core = Create("bare", 9);
  flatbuffers::FlatBufferBuilder builder(1024);
  fb::IndexRecordBuilder record(builder);
  record.add_tree_depth(16);
  record.add_vocab_size(4);
  builder.Finish(record.Finish());
  core->PutEncryptedConfigItem(
      "bare.oei", {builder.GetBufferPointer(), builder.GetBufferPointer() + builder.GetSize()});
  core->extra_text = "stale";
  core->LoadIndexRecord();
  EXPECT_EQ(core->tree_depth, 16u);
  EXPECT_EQ(core->vocab_size, 4u);
  EXPECT_EQ(core->payload_size, 0u);
  EXPECT_EQ(core->index_value_size, 0u);
  EXPECT_EQ(core->extra_text, "");
}

TEST_F(EngineCoreTest, BrokenRecordsAreRefused) {
  auto core = Create("bad", 10);
  core->PutEncryptedConfigItem("bad.oei", {7});
  EXPECT_EQ(ThrownMessage([&] { core->LoadIndexRecord(); }),
            "Could not deserialize index config: buffer is invalid");
  core->config_store->PushConfigItem("bad.oei", EncryptItems({{}}, core->index_key)[0]);
  EXPECT_EQ(ThrownMessage([&] { core->LoadIndexRecord(); }),
            "Could not deserialize index config: buffer is empty");
  EXPECT_EQ(ThrownMessage([&] { core->PutEncryptedConfigItem("bad.x", {}); }),
            "Data size must be a multiple of the number of columns");
  EXPECT_EQ(ThrownMessage([&] { core->GetDecryptedConfigItem("missing"); }).find("missing") !=
                std::string::npos,
            true);
}

TEST_F(EngineCoreTest, WrongKeyStopsLoadingAtTheIndexRecord) {
  Create("locked", 11);
  const auto writes = [&] {
    return backend().CallCount("PushMap") + backend().CallCount("PushConfigItem") +
           backend().CallCount("BatchPushVariable") + backend().CallCount("BatchPushItems") +
           backend().CallCount("PushItem");
  };
  const uint64_t before = writes();
  EXPECT_THROW(Load("locked", 12), std::runtime_error);
  EXPECT_EQ(writes(), before) << "a failed load writes nothing, not even on release";
  // Where the backend finds the record by name alone, the seal stops the wrong key.
  auto core = Create("sealed", 13);
  core->config_store->PushConfigItem(
      "sealed.oei", EncryptRows(Matrix<uint8_t>(std::vector<uint8_t>{1, 2}, 2), MakeKey(14)).data);
  EXPECT_EQ(ThrownMessage([&] { core->LoadIndexRecord(); }), "Failed to decrypt 1 ciphertexts");
}

TEST_F(EngineCoreTest, FailedCreationReleasesTheCoreWithoutAPush) {
  backend().InjectFault(FaultOn("CompareAndSetConfigItem", 2));  // the ".ovs" record
  EXPECT_EQ(ThrownMessage([&] { Create("half", 15); }), "injected keystore failure");
  EXPECT_EQ(backend().CallCount("PushMap"), 2u) << "the incarnation and the counter map, which go before it; "
                                                   "the release pushes nothing";
}

TEST_F(EngineCoreTest, SaltsAndSeedsFollowTheVocabulary) {
  auto core = Create("seeds", 17);
  core->RegenerateSaltsAndSeeds();
  ASSERT_EQ(core->salts_and_seeds.size(), 1u);
  core->vocab_size = 300;
  core->RegenerateSaltsAndSeeds();
  EXPECT_EQ(LinesStartingWith("INFO Regenerating salts_and_seeds due to size mismatch. Current size: 1, Expected: 300")
                .size(),
            1u);
  ASSERT_EQ(core->salts_and_seeds.size(), 300u);
  for (uint32_t c : {0u, 1u, 150u, 299u}) {
    const SaltAndSeed expected = DeriveSaltAndSeed(core->hashed_index_key, core->index_key, c);
    EXPECT_EQ(Hex(core->salts_and_seeds[c]), Hex(expected)) << "list " << c;
  }
  capture_.Clear();
  core->RegenerateSaltsAndSeeds();  // already the right size: nothing to do
  EXPECT_TRUE(LinesStartingWith("INFO Regenerating").empty());
}

TEST_F(EngineCoreTest, DestructionSurvivesUnreachableStores) {
  auto core = Create("gone", 16);
  backend().InjectFault(FaultOn("", 1, true));
  EXPECT_NO_THROW(core.reset());
}

}  // namespace
}  // namespace ombrix
