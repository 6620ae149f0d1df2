#include "encrypted_store/encrypted_index_core.h"

#include <flatbuffers/flatbuffers.h>

#include <stdexcept>
#include <string_view>

#include "backing_store/server_errors.h"
#include "backing_store/store_factory.h"
#include "encrypted_store/hmac.h"
#include "encrypted_store/index_record_generated.h"
#include "encrypted_store/sealing.h"
#include "encrypted_store/sha3.h"
#include "index_model/parallel.h"

namespace ombrix {

namespace {

using ombrix_encrypted_index::internal::backing_store::CreateBackingStore;
using ombrix_encrypted_index::internal::backing_store::HoldKind;
using ombrix_encrypted_index::internal::backing_store::HoldLostError;
using ombrix_encrypted_index::internal::backing_store::MapAndVersion;
using ombrix_encrypted_index::internal::backing_store::ServerTimeLimit;
using ombrix_encrypted_index::internal::backing_store::ServerUnreachable;

const char kIndexRecordSuffix[] = ".oei";
const char kStoredConfigSuffix[] = ".ovs";

}  // namespace

EncryptedIndexCore::EncryptedIndexCore(ConstructionKey, const IndexSettings& settings,
                                       Logger* index_logger)
    : tree_depth(static_cast<uint64_t>(settings.tree_depth)),
      vocab_size(static_cast<uint64_t>(settings.vocab_size)),
      cpu_threads(static_cast<uint64_t>(settings.cpu_threads.value_or(1))),
      gpu_accelerated(settings.gpu_accelerate.value_or(false)),
      payload_size(settings.payload_size),
      item_cache(settings.max_cache_size.value_or(0), index_logger),
      index_key(settings.index_key),
      logger(index_logger) {
  internal_logger.store(index_logger, std::memory_order_relaxed);
}

EncryptedIndexCore::~EncryptedIndexCore() = default;

std::unique_ptr<EncryptedIndexCore> EncryptedIndexCore::Open(const IndexSettings& settings,
                                                             Logger* index_logger) {
  auto core = std::make_unique<EncryptedIndexCore>(ConstructionKey{}, settings, index_logger);
  if (core->cpu_threads != 0) SetTeamSize(static_cast<int>(core->cpu_threads));
  core->index_name = settings.index_name;
  core->hashed_index_key = HmacSha3_256(core->index_key, core->index_name);
  core->log().info("Creating backing stores");
  core->OpenStores(settings);
  return core;
}

void EncryptedIndexCore::OpenStores(const IndexSettings& settings) {
  const uint64_t id = index_id();
  shared_index_store = settings.index_location.location != MEMORY;
  index_store = CreateBackingStore(settings.index_location, index_name, id, INDEX);
  // Handed the index store, the data and items stores on its server run on its session
  // from the start instead of opening sessions of their own.
  Keystore* holder = shared_index_store ? index_store.get() : nullptr;
  data_store = CreateBackingStore(settings.data_location, index_name, id, DATA, holder);
  config_store = CreateBackingStore(settings.config_location, index_name, id, CONFIG);
  items_store = CreateBackingStore(settings.items_location, index_name, id, ITEMS, holder);
  // A process that lost its hold must write no record or contents either: where the data
  // and items stores share the index store's server, its holds fence their writes too.
  if (shared_index_store) {
    for (Keystore* store : {data_store.get(), items_store.get()}) {
      if (store->FenceByHoldsOf(*index_store)) fenced_stores.push_back(store);
    }
  }
  config_keeps_records = settings.config_location.location != MEMORY;
}

std::unique_ptr<EncryptedIndexCore> EncryptedIndexCore::Create(
    const IndexSettings& settings, Logger* index_logger, const std::vector<uint8_t>& stored_config) {
  std::unique_ptr<EncryptedIndexCore> core = Open(settings, index_logger);
  const std::string record_name = core->index_name + kIndexRecordSuffix;
  try {
    // The records live in the config store, so that is the store that can already hold
    // another index's records under this name, wherever the index store is.
    if (core->config_keeps_records && core->config_store->ConfigItemExists(record_name)) core->ThrowNameTaken();
    core->log().info("Backing stores successfully created");
    core->counter_map.assign(core->vocab_size, 0);
    // Held from the incarnation to the configuration record: a deletion of an earlier
    // index of this name and key (still running, or stopped and resumed) either finishes
    // before anything of this one exists or finds another incarnation, and never takes its
    // records for its own.
    core->BeginCreation();
    struct Hold {
      EncryptedIndexCore& core;
      ~Hold() { core.DropHold(); }
    } hold{*core};
    core->WriteNewIndex(record_name, stored_config);
  } catch (const HoldLostError&) {
    throw;
  } catch (const ServerUnreachable& failure) {
    // The server's own text says what went wrong, not what the caller can do about it.
    const std::string message = "The creation of index '" + core->index_name + "' did not finish (" +
                                failure.what() + "); " + core->creation_remedy_;
    core->log().error(message);
    if (dynamic_cast<const ServerTimeLimit*>(&failure) != nullptr) throw ServerTimeLimit(message);
    throw ServerUnreachable(message);
  }
  return core;
}

void EncryptedIndexCore::WriteNewIndex(const std::string& record_name, const std::vector<uint8_t>& stored_config) {
  try {
    // Asked again under the hold: a creation of the same name and key that finished while
    // this one waited must keep its incarnation.
    if (shared_index_store && config_keeps_records && config_store->ConfigItemExists(record_name)) {
      ThrowNameTaken();
    }
    // The incarnation goes first, so a stale handle of an earlier index of this name and key
    // finds another index from here on, and never a record it could take for its own.
    RecordNewIncarnation();
    if (config_keeps_records) {
      CreateRecord(record_name, SerializeIndexRecord());
    } else {
      PutEncryptedConfigItem(record_name, SerializeIndexRecord());
    }
    DeriveStoreNames();
    log().info("Index successfully created");
    // Positions already handed out under this id stay taken.
    if (!PushCounterMap()) LoadCounterMap();
  } catch (const HoldLostError&) {
    // The stores' own texts speak of the operations that usually hold an index (a
    // training, a deletion, a write); what the caller can do here is create it again.
    TakeBackCreation();
    const std::string message = "The creation of index '" + index_name +
                                "' lost its hold on the index before it finished (another process took the name "
                                "over, or the server ended the hold): " +
                                creation_remedy_ + " if it does not exist";
    log().error(message);
    throw HoldLostError(message);
  } catch (...) {
    // A name with half its records could be neither created again nor loaded: take back
    // exactly what this creation wrote, nothing of any other index.
    TakeBackCreation();
    throw;
  }
  // Published: from here another process can load the index and write to it, so nothing
  // that goes wrong takes anything back.
  CreateStoredConfig(stored_config);
}

void EncryptedIndexCore::TakeBackCreation() noexcept {
  if (RemoveOwnRecords()) return;
  // Another process may have taken the name over meanwhile: only a name that opens as
  // unfinished is this creation's to delete.
  creation_remedy_ =
      "it could not take back all it wrote: load the index; if loading says a deletion did not finish, delete it "
      "and create the index again";
}

void EncryptedIndexCore::ThrowNameTaken() {
  const std::string message = "Index name " + index_name + " already exists";
  log().error(message);
  throw std::runtime_error(message);
}

std::vector<uint8_t> EncryptedIndexCore::Seal(const std::vector<uint8_t>& plain) const {
  return EncryptRows(Matrix<uint8_t>(std::vector<uint8_t>(plain), plain.size()), index_key).data;
}

void EncryptedIndexCore::CreateRecord(const std::string& name, const std::vector<uint8_t>& plain) {
  // Known before it is sent: a write whose reply was lost may have landed, and the
  // clean-up removes a record only while it holds exactly these bytes.
  index_record_blob_ = Seal(plain);
  bool stored = false;
  try {
    stored = config_store->CompareAndSetConfigItem(name, {}, index_record_blob_);
  } catch (const std::exception&) {
    if (!HoldsRecord(name, index_record_blob_)) throw;
    stored = true;
  }
  // Another creation of the name got there between the look and this write.
  if (!stored && !HoldsRecord(name, index_record_blob_)) {
    index_record_blob_.clear();
    ThrowNameTaken();
  }
}

bool EncryptedIndexCore::HoldsRecord(const std::string& name, const std::vector<uint8_t>& sealed) {
  return LoadStoredRecord(name) == sealed;
}

void EncryptedIndexCore::CreateStoredConfig(const std::vector<uint8_t>& plain) {
  const std::string name = index_name + kStoredConfigSuffix;
  stored_config_blob_ = Seal(plain);
  if (!config_keeps_records) {
    try {
      config_store->PushConfigItem(name, stored_config_blob_);
    } catch (...) {
      TakeBackCreation();
      throw;
    }
    return;
  }
  auto give_up = [&](const std::string& message, bool lost_hold) {
    TakeBackCreation();
    const std::string text = message + "; " + creation_remedy_ + (lost_hold ? " if it does not exist" : "");
    log().error(text);
    if (lost_hold) throw HoldLostError(text);
    throw std::runtime_error(text);
  };
  // Written over nothing, never over a record: one found here was left by a creation that
  // lost its hold before its write landed, and this creation, which holds the name,
  // replaces it while it still holds it. A creation that lost its own hold writes over
  // nothing.
  std::vector<uint8_t> expected;
  constexpr int kAttempts = 5;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    bool stored = false;
    std::vector<uint8_t> current;
    try {
      stored = config_store->CompareAndSetConfigItem(name, expected, stored_config_blob_);
      if (!stored) current = LoadStoredRecord(name);
    } catch (const std::exception& failure) {
      // Lost on the way back, perhaps after it was stored: the record tells.
      try {
        current = LoadStoredRecord(name);
      } catch (const std::exception&) {
        const std::string message = "The creation of index '" + index_name +
                                    "' could not confirm that its configuration record was stored (" +
                                    failure.what() +
                                    "): load the index; if it exists, the creation finished, and if loading says a "
                                    "deletion did not finish, delete it and create the index again";
        log().error(message);
        throw std::runtime_error(message);
      }
      if (current != stored_config_blob_) {
        TakeBackCreation();
        throw;
      }
    }
    if (stored || current == stored_config_blob_) {
      ConfirmPublished();
      return;
    }
    if (!StillHolds()) {
      give_up("This process lost its hold on index '" + index_name +
                  "' before it stored its configuration, and wrote nothing more: another process took the name "
                  "over",
              true);
    }
    expected = std::move(current);
  }
  give_up("Failed to store the configuration of index '" + index_name + "' in " + std::to_string(kAttempts) +
              " attempts: another process replaced it every time",
          false);
}

void EncryptedIndexCore::ConfirmPublished() {
  bool deleted = false;
  try {
    // Stored after the hold ran out: a deletion may have taken the index in between, and
    // its index record with it. While that record is this creation's, the index is whole
    // and stays, whoever holds it now.
    deleted = !StillHolds() && !HoldsRecord(index_name + kIndexRecordSuffix, index_record_blob_);
  } catch (const std::exception& failure) {
    log().warning("The creation of index '" + index_name + "' could not check its index record after storing its "
                  "configuration (" + failure.what() + "); it counts as done");
  }
  if (!deleted) return;
  TakeBackCreation();
  const std::string message = "This process lost its hold on index '" + index_name +
                              "' before it stored its configuration, and another process deleted the index "
                              "meanwhile: " +
                              creation_remedy_ + " if it does not exist";
  log().error(message);
  throw HoldLostError(message);
}

bool EncryptedIndexCore::RemoveOwnRecords() noexcept {
  bool all_taken = true;
  // The index store first: while rows of this creation may be left there, its index
  // record stays, so the name loads (as unfinished) and its deletion clears them.
  if (shared_index_store && !created_state_blob_.empty()) {
    try {
      std::vector<MapAndVersion> maps = index_store->GetMaps(
          {{kCounterMapKey, kCounterMapVersionKey}, {kTrainingStateKey, kTrainingStateVersionKey}});
      if (maps.size() != 2) ThrowMalformedMapsAnswer(maps.size());
      if (maps[1].map_data == created_state_blob_) {
        // Written under this creation's hold, which fences the removal too: with its state
        // still there, nobody else wrote to this index store since. A counter map found
        // there before was another build's index or what was left of one: not this
        // creation's to remove.
        if (map_found_before_) {
          all_taken = false;
        } else {
          index_store->DeleteIndex();
        }
      }
    } catch (const std::exception& failure) {
      log().error("Failed to remove the training state of index '" + index_name + "': " + failure.what());
      all_taken = false;
    }
  }
  const std::pair<const char*, const std::vector<uint8_t>*> records[] = {
      {kStoredConfigSuffix, &stored_config_blob_}, {kIndexRecordSuffix, &index_record_blob_}};
  for (const auto& [suffix, written] : records) {
    if (!all_taken && written == &index_record_blob_) break;
    try {
      if (!config_keeps_records) {
        config_store->DeleteConfigItem(index_name + suffix);
      } else if (!written->empty()) {
        config_store->DeleteConfigItemIf(index_name + suffix, *written);
      }
    } catch (const std::exception& failure) {
      log().error("Failed to remove " + index_name + suffix + ": " + failure.what());
      all_taken = false;
    }
  }
  return all_taken;
}

std::vector<uint8_t> EncryptedIndexCore::LoadStoredRecord(const std::string& name) {
  return config_store->ConfigItemExists(name) ? config_store->LoadConfigItem(name) : std::vector<uint8_t>();
}

std::vector<uint8_t> EncryptedIndexCore::ReadOwnRecord(const std::string& name) {
  std::vector<uint8_t> sealed = LoadStoredRecord(name);
  if (sealed.empty()) return {};
  // Sealed under another key: an index made again under this name after this one was
  // deleted.
  if (!OpensWithKey(sealed)) ThrowIndexDeleted();
  return sealed;
}

bool EncryptedIndexCore::OpensWithKey(const std::vector<uint8_t>& sealed) const {
  std::vector<std::vector<uint8_t>> opened(1);
  return OpenItems({sealed}, index_key, opened).front() == nullptr;
}

std::unique_ptr<EncryptedIndexCore> EncryptedIndexCore::Load(const IndexSettings& settings,
                                                             Logger* index_logger) {
  std::unique_ptr<EncryptedIndexCore> core = Open(settings, index_logger);
  core->log().info("Backing store successfully created");
  core->LoadIndexRecord();
  core->index_store->SetValueSize(core->index_value_size);
  // A missing map must not keep the index from opening: training, the one cure for it,
  // needs an open handle. Queries and upserts go on refusing until then.
  bool map_loaded = false;
  if (core->shared_index_store) {
    std::vector<MapAndVersion> maps = core->index_store->GetMaps(
        {{kCounterMapKey, kCounterMapVersionKey}, {kTrainingStateKey, kTrainingStateVersionKey}});
    if (maps.size() != 2) core->ThrowMalformedMapsAnswer(maps.size());
    const TrainingState state = core->OpenStoredTrainingState(std::move(maps[1].map_data));
    core->incarnation = state.incarnation;
    map_loaded = core->AdoptCounterMap(std::move(maps[0]));
    // What a deletion that stopped after removing the configuration record left, or a
    // creation that stopped before writing it (the record that publishes an index is
    // written last): opened only so that it can be deleted again.
    core->deletion_unfinished =
        core->config_keeps_records && !core->config_store->ConfigItemExists(core->index_name + kStoredConfigSuffix);
  } else {
    map_loaded = core->TryLoadCounterMap();
  }
  if (core->deletion_unfinished) {
    core->log().warning("A deletion of index '" + core->index_name + "' did not finish; delete it again");
  } else if (!map_loaded) {
    core->log().warning("No counter map stored for index '" + core->index_name +
                        "': queries and upserts refuse until the index is trained");
    core->counter_map.assign(core->vocab_size, 0);
    core->counter_map_version = 0;
  }
  core->DeriveStoreNames();
  core->log().info("Index successfully loaded");
  return core;
}

uint64_t EncryptedIndexCore::index_id() const { return DigestToU64(hashed_index_key.data()); }

void EncryptedIndexCore::DeriveStoreNames() {
  data_store_name = HmacSha3_256(index_key, index_name + ".data");
  content_store_name = HmacSha3_256(index_key, index_name + ".content");
  centroid_metadata_store_name = HmacSha3_256(index_key, index_name + ".centroid_metadata");
}

void EncryptedIndexCore::PutEncryptedConfigItem(const std::string& name,
                                                const std::vector<uint8_t>& data) {
  config_store->PushConfigItem(name, Seal(data));
}

std::vector<uint8_t> EncryptedIndexCore::GetDecryptedConfigItem(const std::string& name) {
  std::vector<uint8_t> blob = config_store->LoadConfigItem(name);
  const std::size_t width = blob.size();
  const Matrix<uint8_t> row(std::move(blob), width);
  return DecryptRows(row, index_key).data;
}

void EncryptedIndexCore::SaveStoredConfig(const std::vector<uint8_t>& buffer) {
  PutEncryptedConfigItem(index_name + kStoredConfigSuffix, buffer);
}

std::vector<uint8_t> EncryptedIndexCore::ReadStoredConfig() {
  std::vector<uint8_t> blob = config_store->LoadConfigItem(index_name + kStoredConfigSuffix);
  stored_config_blob_ = blob;
  const std::size_t width = blob.size();
  return DecryptRows(Matrix<uint8_t>(std::move(blob), width), index_key).data;
}

void EncryptedIndexCore::ReadIndexRecordForReplace() {
  const std::string name = index_name + kIndexRecordSuffix;
  index_record_blob_ = LoadStoredRecord(name);
}

bool EncryptedIndexCore::ReplaceStoredConfig(const std::vector<uint8_t>& buffer) {
  return ReplaceConfigItem(index_name + kStoredConfigSuffix, buffer, stored_config_blob_);
}

bool EncryptedIndexCore::ReplaceIndexRecord(uint64_t new_payload_size) {
  payload_size = new_payload_size;
  return ReplaceConfigItem(index_name + kIndexRecordSuffix, SerializeIndexRecord(), index_record_blob_);
}

bool EncryptedIndexCore::ReplaceConfigItem(const std::string& name, const std::vector<uint8_t>& plain,
                                           std::vector<uint8_t>& expected) {
  if (!config_keeps_records) {
    PutEncryptedConfigItem(name, plain);
    return true;
  }
  const std::vector<uint8_t> sealed = Seal(plain);
  const bool holder_wins = !hold_ || hold_->kind == HoldKind::kExclusive;
  constexpr int kAttempts = 5;
  std::string last_failure = "another process replaced it every time";
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    try {
      if (config_store->CompareAndSetConfigItem(name, expected, sealed)) {
        expected = sealed;
        return true;
      }
    } catch (const std::exception& failure) {
      // The reply may have been lost after the record was stored: the record tells.
      last_failure = failure.what();
    }
    std::vector<uint8_t> current = LoadStoredRecord(name);
    if (current == sealed) {
      expected = std::move(current);
      return true;
    }
    // A record of another index (made again under this name with another key), or none
    // where this handle read one: the index this handle wrote for is gone.
    if (current.empty() ? !expected.empty() : !OpensWithKey(current)) ThrowIndexDeleted();
    expected = std::move(current);
    if (!holder_wins) return false;
    // Only a process that no longer holds the index writes while this one holds it: its
    // record is older than this one, which replaces it while the hold lasts.
    if (!StillHolds()) {
      const std::string message = "This process lost its hold on index '" + index_name +
                                  "' before it stored its configuration, and wrote nothing more: another "
                                  "process took the index over; train the index again if it still needs it";
      log().error(message);
      throw HoldLostError(message);
    }
  }
  const std::string what = name == index_name + kStoredConfigSuffix ? "configuration" : "index record";
  const std::string message = "Failed to store the " + what + " of index '" + index_name + "' in " +
                              std::to_string(kAttempts) + " attempts (" + last_failure + "); run the operation again";
  log().error(message);
  throw std::runtime_error(message);
}

void EncryptedIndexCore::UpdateIndexRecord(uint64_t new_payload_size) {
  if (!config_keeps_records) {
    SaveIndexRecord(new_payload_size);
    return;
  }
  index_record_blob_ = ReadOwnRecord(index_name + kIndexRecordSuffix);
  if (index_record_blob_.empty()) ThrowIndexDeleted();
  constexpr int kAttempts = 3;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (ReplaceIndexRecord(new_payload_size)) return;
  }
  const std::string message = "The index record of index '" + index_name + "' changed at every attempt to store " +
                              "its payload size; upsert the same items again";
  log().error(message);
  throw std::runtime_error(message);
}

std::vector<uint8_t> EncryptedIndexCore::SerializeIndexRecord() const {
  flatbuffers::FlatBufferBuilder builder(1024);
  const auto text = builder.CreateString(extra_text);
  fb::IndexRecordBuilder record(builder);
  record.add_index_value_size(index_value_size);
  record.add_payload_size(payload_size);
  record.add_vocab_size(vocab_size);
  record.add_tree_depth(tree_depth);
  record.add_extra_text(text);
  builder.Finish(record.Finish());
  return {builder.GetBufferPointer(), builder.GetBufferPointer() + builder.GetSize()};
}

void EncryptedIndexCore::SaveIndexRecord(uint64_t new_payload_size) {
  payload_size = new_payload_size;
  PutEncryptedConfigItem(index_name + kIndexRecordSuffix, SerializeIndexRecord());
}

void EncryptedIndexCore::LoadIndexRecord() {
  const std::vector<uint8_t> plain = GetDecryptedConfigItem(index_name + kIndexRecordSuffix);
  if (plain.empty()) {
    const std::string message = "Could not deserialize index config: buffer is empty";
    log().error(message);
    throw std::invalid_argument(message);
  }
  flatbuffers::Verifier verifier(plain.data(), plain.size());
  if (!fb::VerifyIndexRecordBuffer(verifier)) {
    const std::string message = "Could not deserialize index config: buffer is invalid";
    log().error(message);
    throw std::runtime_error(message);
  }
  const fb::IndexRecord* record = fb::GetIndexRecord(plain.data());
  tree_depth = record->tree_depth();
  vocab_size = record->vocab_size();
  payload_size = record->payload_size();
  index_value_size = record->index_value_size();
  extra_text = record->extra_text() != nullptr ? std::string(record->extra_text()->c_str()) : "";
}

void EncryptedIndexCore::RegenerateSaltsAndSeeds() {
  if (!salts_and_seeds.empty() && salts_and_seeds.size() == vocab_size) return;
  if (!salts_and_seeds.empty()) {
    log().info("Regenerating salts_and_seeds due to size mismatch. Current size: " +
               std::to_string(salts_and_seeds.size()) + ", Expected: " + std::to_string(vocab_size));
  }
  // Two HMACs per list at a few microseconds each: large vocabularies use the team.
  std::vector<SaltAndSeed> fresh(vocab_size);
  ParallelStatic(vocab_size, [&](uint64_t first, uint64_t count) {
    for (uint64_t c = first; c < first + count; ++c) {
      fresh[c] = DeriveSaltAndSeed(hashed_index_key, index_key, static_cast<uint32_t>(c));
    }
  });
  salts_and_seeds.swap(fresh);
}

}  // namespace ombrix
