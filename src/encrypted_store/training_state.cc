// Coordination of EncryptedIndexCore with other handles of its index: the holds of writers,
// trainings and deletions on the index store, the readers' look at the entries, and the
// training state record (its codec, and its changes by compare-and-set under the
// exclusive hold).
#include "encrypted_store/training_state.h"

#include <openssl/rand.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <tuple>

#include "backing_store/server_errors.h"
#include "diagnostics/openssl_thread.h"
#include "encrypted_store/encrypted_index_core.h"
#include "encrypted_store/sealing.h"

namespace ombrix {

namespace {

using ombrix_encrypted_index::internal::backing_store::HoldGrant;
using ombrix_encrypted_index::internal::backing_store::HoldKind;
using ombrix_encrypted_index::internal::backing_store::HoldLostError;
using ombrix_encrypted_index::internal::backing_store::MapAndVersion;
using ombrix_encrypted_index::internal::backing_store::ServerUnreachable;
using ombrix_encrypted_index::internal::backing_store::WriteFence;

// The counter map and the training state, read together.
const std::vector<std::pair<uint64_t, uint64_t>> kMapAndState = {
    {kCounterMapKey, kCounterMapVersionKey}, {kTrainingStateKey, kTrainingStateVersionKey}};

constexpr uint8_t kFormat = 1;
// Only the exclusive holder changes the record, so a refusal means a writer of an older
// build, or a reply lost after the change was made: a few attempts settle either.
constexpr int kMaxAttempts = 5;

std::atomic<uint64_t> wait_limit_ms{120'000};
// Renewed at every chunk of writes, k-means iteration and rebuild slice; a holder that
// died holds the others back this long on a store that keeps leases.
std::atomic<uint64_t> lease_ms{40'000};

// Polls start short (a rebuild of a small index takes milliseconds) and settle at 100 ms.
class Poll {
 public:
  explicit Poll(uint64_t limit_ms) : until_(std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms)) {}
  bool Expired() const { return std::chrono::steady_clock::now() >= until_; }
  void Wait() {
    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms_));
    pause_ms_ = std::min<uint64_t>(pause_ms_ * 2, 100);
  }

 private:
  std::chrono::steady_clock::time_point until_;
  uint64_t pause_ms_ = 2;
};

uint64_t RandomId() {
  uint64_t id = 0;
  PrepareThreadForOpenSsl();
  while (id == 0) {
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&id), sizeof(id)) != 1) {
      throw std::runtime_error("Failed to draw a random writer id");
    }
  }
  return id;
}

void Put(std::vector<uint8_t>& out, uint64_t value, int bytes) {
  for (int b = 0; b < bytes; ++b) out.push_back(static_cast<uint8_t>(value >> (8 * b)));
}

uint64_t Take(const uint8_t*& p, int bytes) {
  uint64_t value = 0;
  for (int b = 0; b < bytes; ++b) value |= static_cast<uint64_t>(p[b]) << (8 * b);
  p += bytes;
  return value;
}

}  // namespace

namespace internal {
void SetTrainingWaitLimitForTesting(uint64_t milliseconds) { wait_limit_ms.store(milliseconds); }
void SetHoldLeaseForTesting(uint64_t milliseconds) {
  lease_ms.store(milliseconds);
  ombrix_encrypted_index::internal::backing_store::SetProcessHoldLease(milliseconds);
}
}  // namespace internal

std::vector<uint8_t> EncodeTrainingState(const TrainingState& state) {
  std::vector<uint8_t> out;
  out.reserve(46 + 16 * state.writers.size());
  out.push_back(kFormat);
  Put(out, state.epoch, 8);
  out.push_back(static_cast<uint8_t>(state.phase));
  Put(out, state.trainer, 8);
  Put(out, state.trainer_deadline_ms, 8);
  Put(out, state.writers.size(), 4);
  for (const TrainingState::Writer& writer : state.writers) {
    Put(out, writer.id, 8);
    Put(out, writer.deadline_ms, 8);
  }
  Put(out, state.generation, 8);
  Put(out, state.incarnation, 8);
  return out;
}

std::optional<TrainingState> DecodeTrainingState(const std::vector<uint8_t>& bytes) {
  constexpr size_t kFixed = 1 + 8 + 1 + 8 + 8 + 4;
  if (bytes.size() < kFixed || bytes[0] != kFormat) return std::nullopt;
  const uint8_t* p = bytes.data() + 1;
  TrainingState state;
  state.epoch = Take(p, 8);
  const uint64_t phase = Take(p, 1);
  if (phase > TrainingState::kDeleting) return std::nullopt;
  state.phase = static_cast<TrainingState::Phase>(phase);
  state.trainer = Take(p, 8);
  state.trainer_deadline_ms = Take(p, 8);
  const uint64_t writers = Take(p, 4);
  if (writers > (bytes.size() - kFixed) / 16) return std::nullopt;
  const size_t listed = kFixed + 16 * writers;
  if (bytes.size() != listed && bytes.size() != listed + 16) return std::nullopt;
  state.writers.resize(writers);
  for (TrainingState::Writer& writer : state.writers) {
    writer.id = Take(p, 8);
    writer.deadline_ms = Take(p, 8);
  }
  if (bytes.size() == listed + 16) {
    state.generation = Take(p, 8);
    state.incarnation = Take(p, 8);
  }
  return state;
}

TrainingState EncryptedIndexCore::OpenTrainingState(MapAndVersion stored, uint64_t& version) {
  version = stored.version;
  if (stored.map_data.empty()) {
    // Lost with the index store, or not written yet: the map and the index record tell
    // whether the index is still there.
    TrainingState state;
    state.incarnation = incarnation;
    return state;
  }
  const TrainingState state = OpenStoredTrainingState(std::move(stored.map_data));
  // Another index under the same name and key: this handle's configuration is not its.
  if (state.incarnation != incarnation) ThrowIndexDeleted();
  return state;
}

TrainingState EncryptedIndexCore::OpenStoredTrainingState(std::vector<uint8_t> sealed) {
  if (sealed.empty()) return TrainingState{};  // never trained under this protocol
  if (sealed == opened_training_state_bytes) return opened_training_state;
  MapAndVersion stored{std::move(sealed), 0};
  const std::size_t width = stored.map_data.size();
  const Matrix<uint8_t> plain =
      DecryptRows(Matrix<uint8_t>(std::vector<uint8_t>(stored.map_data), width), index_key);
  std::optional<TrainingState> state = DecodeTrainingState(plain.data);
  if (!state) {
    const std::string message = "The training state of index '" + index_name + "' is malformed";
    log().error(message);
    throw std::runtime_error(message);
  }
  opened_training_state_bytes = std::move(stored.map_data);
  opened_training_state = *state;
  return *state;
}

void EncryptedIndexCore::SendMapAndStateRead() { index_store->SendMapsRead(kMapAndState); }

TrainingState EncryptedIndexCore::ReadMapAndState(EntriesState& entries, MapAndVersion& map) {
  return OpenMapAndState(index_store->GetMaps(kMapAndState), entries, map);
}

TrainingState EncryptedIndexCore::OpenMapAndState(std::vector<MapAndVersion> maps, EntriesState& entries,
                                                  MapAndVersion& map) {
  if (maps.size() != 2) ThrowMalformedMapsAnswer(maps.size());
  entries.recorded = !maps[1].map_data.empty();
  entries.map_stored = !maps[0].map_data.empty();
  uint64_t version = 0;
  const TrainingState state = OpenTrainingState(std::move(maps[1]), version);
  entries.epoch = state.epoch;
  entries.generation = state.generation;
  map = std::move(maps[0]);
  return state;
}

TrainingState EncryptedIndexCore::LoadTrainingState(uint64_t& version) {
  return OpenTrainingState(index_store->GetMap(kTrainingStateKey, kTrainingStateVersionKey), version);
}

bool EncryptedIndexCore::ChangeTrainingState(const std::function<bool(TrainingState&)>& change) {
  std::string last_failure = "the change was refused every time";
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    try {
      uint64_t version = 0;
      TrainingState state = LoadTrainingState(version);
      if (!change(state)) return false;
      if (index_store->PushMap(kTrainingStateKey, Seal(EncodeTrainingState(state)), kTrainingStateVersionKey,
                               version)) {
        return true;
      }
    } catch (const HoldLostError&) {
      throw;
    } catch (const IndexDeletedError&) {
      throw;
    } catch (const std::exception& failure) {
      // Refused, or lost on the way there or back: the next attempt reads what the store
      // holds, and a change that was made already is nothing to push.
      last_failure = failure.what();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5 << attempt));
  }
  const std::string message = "Failed to update the training state of index '" + index_name + "' in " +
                              std::to_string(kMaxAttempts) + " attempts (" + last_failure +
                              "); nothing more was done, run the operation again";
  log().error(message);
  throw std::runtime_error(message);
}

void EncryptedIndexCore::ThrowBrokenEntries() {
  const std::string message = "The index entries of index '" + index_name +
                              "' are incomplete: a training did not finish rebuilding them; "
                              "train the index to rebuild its entries";
  log().error(message);
  throw MissingCounterMapError(message);
}

void EncryptedIndexCore::ThrowIndexDeleted() {
  const std::string message = "Index '" + index_name + "' no longer exists: it was deleted";
  log().error(message);
  throw IndexDeletedError(message);
}

void EncryptedIndexCore::ThrowUnfinishedDeletion() {
  const std::string message = "A deletion of index '" + index_name + "' did not finish; delete it again";
  log().error(message);
  throw IndexDeletedError(message);
}

void EncryptedIndexCore::ThrowUnconfirmedHold(const std::exception& failure) {
  const std::string message = "The store of index '" + index_name +
                              "' did not confirm the hold this operation asked for (" +
                              failure.what() + "); nothing was written, try again";
  log().error(message);
  throw std::runtime_error(message);
}

void EncryptedIndexCore::KeepHold() {
  if (!hold_) return;
  const auto now = std::chrono::steady_clock::now();
  const uint64_t lease = lease_ms.load();
  if (now - hold_->renewed < std::chrono::milliseconds(lease / 4)) return;
  // What the caller can do: part of an upsert's batch may be stored already.
  const std::string remedy = hold_->kind == HoldKind::kShared
                                 ? "the upsert stopped before writing more; part of its batch may be "
                                   "stored, upsert the same items again"
                                 : "the operation stopped before writing more; run it again";
  bool live = false;
  try {
    live = index_store->RenewHold(hold_->kind, hold_->holder, lease);
  } catch (const HoldLostError& failure) {
    const std::string message =
        "This process lost its hold on index '" + index_name + "' (" + failure.what() + "); " + remedy;
    log().error(message);
    throw HoldLostError(message);
  } catch (const std::exception& failure) {
    const std::string message = "This process could not renew its hold on index '" + index_name +
                                "' and does not know whether the store still holds it (" +
                                failure.what() + "); " + remedy;
    log().error(message);
    throw HoldLostError(message);
  }
  if (!live) {
    const std::string message = "This process lost its hold on index '" + index_name +
                                "': the store no longer holds it (its lease ran out while this "
                                "process was stopped or slow, or the server lost it); " +
                                remedy;
    log().error(message);
    throw HoldLostError(message);
  }
  hold_->renewed = now;
}

bool EncryptedIndexCore::StillHolds() noexcept {
  if (!hold_) return !shared_index_store;
  try {
    return index_store->RenewHold(hold_->kind, hold_->holder, lease_ms.load());
  } catch (const std::exception&) {
    return false;
  }
}

void EncryptedIndexCore::SetFences(std::optional<WriteFence> fence) {
  if (fence) index_store->SetWriteFence(fence);
  for (Keystore* store : fenced_stores) store->SetWriteFence(fence);
  if (!fence) index_store->SetWriteFence(std::nullopt);
}

void EncryptedIndexCore::DropHold() noexcept {
  if (!hold_) return;
  const Hold hold = *hold_;
  hold_.reset();
  SetFences(std::nullopt);
  try {
    index_store->ReleaseHold(hold.kind, hold.holder);
  } catch (const std::exception& failure) {
    log().warning(std::string("Failed to release the hold on index '") + index_name + "' (" +
                  failure.what() + "); it ends when the store's lease runs out");
  }
}

EncryptedIndexCore::EntriesState EncryptedIndexCore::BeginWriting() {
  // A private store's map cannot go missing under it; the position update reads it.
  if (!shared_index_store) return {};
  if (deletion_unfinished) ThrowUnfinishedDeletion();
  const uint64_t writer = RandomId();
  Poll poll(wait_limit_ms.load());
  std::vector<MapAndVersion> maps;
  for (;;) {
    HoldGrant grant;
    try {
      std::tie(grant, maps) = index_store->TakeHoldAndGetMaps(HoldKind::kShared, writer, lease_ms.load(),
                                                               kMapAndState);
    } catch (const std::exception& failure) {
      // The store may have granted it before the reply was lost.
      hold_ = Hold{HoldKind::kShared, writer, std::chrono::steady_clock::now()};
      DropHold();
      ThrowUnconfirmedHold(failure);
    }
    if (grant.granted) break;
    if (poll.Expired()) {
      const std::string message = "A training of index '" + index_name +
                                  "' is running and holds writers back; try again when it has "
                                  "finished";
      log().error(message);
      throw TrainingInProgressError(message);
    }
    poll.Wait();
  }
  hold_ = Hold{HoldKind::kShared, writer, std::chrono::steady_clock::now()};
  SetFences(WriteFence{HoldKind::kShared, writer});
  try {
    EntriesState entries;
    MapAndVersion map;
    const TrainingState state = OpenMapAndState(std::move(maps), entries, map);
    // No training holds the index while this writer does: a rebuild left in the record
    // was abandoned by its trainer.
    if (state.phase == TrainingState::kDeleting) ThrowUnfinishedDeletion();
    if (state.phase == TrainingState::kBroken || state.phase == TrainingState::kRebuilding) {
      ThrowBrokenEntries();
    }
    if (!AdoptCounterMap(std::move(map))) HandleMissingCounterMap();
    counter_map_fresh = true;
    return entries;
  } catch (...) {
    DropHold();
    throw;
  }
}

void EncryptedIndexCore::EndWriting() {
  counter_map_fresh = false;
  if (!hold_) return;
  const Hold hold = *hold_;
  hold_.reset();
  SetFences(std::nullopt);
  bool lasted = false;
  try {
    lasted = index_store->ReleaseHold(hold.kind, hold.holder);
  } catch (const std::exception& failure) {
    const std::string message = "Could not confirm that the hold of this upsert on index '" +
                                index_name + "' lasted until its last write (" + failure.what() +
                                "); upsert the same items again";
    log().error(message);
    throw HoldLostError(message);
  }
  if (!lasted) {
    const std::string message = "The hold of this upsert on index '" + index_name +
                                "' ran out before its last write: another process may have "
                                "trained or deleted the index meanwhile; upsert the same items again";
    log().error(message);
    throw HoldLostError(message);
  }
}

TrainingState EncryptedIndexCore::ReadStateForCall(EntriesState& entries, MapAndVersion& map,
                                                   bool entries_matter,
                                                   std::vector<MapAndVersion>* first_read) {
  if (deletion_unfinished) ThrowUnfinishedDeletion();
  Poll poll(wait_limit_ms.load());
  for (;;) {
    const TrainingState state = first_read != nullptr
                                    ? OpenMapAndState(std::move(*std::exchange(first_read, nullptr)), entries, map)
                                    : ReadMapAndState(entries, map);
    if (entries_matter && state.phase == TrainingState::kBroken) ThrowBrokenEntries();
    const bool deleting = state.phase == TrainingState::kDeleting;
    if (!deleting && !(entries_matter && state.phase == TrainingState::kRebuilding)) return state;
    // Only a holder that still holds the index finishes its rebuild or deletion.
    if (!index_store->ExclusiveHoldIsLive()) {
      if (deleting) ThrowUnfinishedDeletion();
      ThrowBrokenEntries();
    }
    if (poll.Expired()) {
      const std::string message =
          deleting ? "A deletion of index '" + index_name +
                         "' is running; once it has finished the index no longer exists"
                   : "A training of index '" + index_name +
                         "' is rebuilding its entries; try again when it has finished";
      log().error(message);
      throw TrainingInProgressError(message);
    }
    poll.Wait();
  }
}

EncryptedIndexCore::EntriesState EncryptedIndexCore::ReadEntriesState() {
  if (!shared_index_store) {
    LoadCounterMap();
    counter_map_fresh = true;
    return {0, false, true};
  }
  EntriesState entries;
  MapAndVersion map;
  ReadStateForCall(entries, map, /*entries_matter=*/true);
  if (!AdoptCounterMap(std::move(map))) HandleMissingCounterMap();
  counter_map_fresh = true;
  return entries;
}

void EncryptedIndexCore::CheckIndexForItemCall(bool load_map, std::vector<MapAndVersion>* first_read) {
  if (!shared_index_store) {
    if (load_map) {
      LoadCounterMap();
    } else {
      RefuseIfDeleted();
    }
    return;
  }
  // Items are read and deleted by id whatever the entries are doing: only a deletion (or
  // another index under this name and key, which the state's incarnation tells) matters.
  EntriesState entries;
  MapAndVersion map;
  ReadStateForCall(entries, map, /*entries_matter=*/false, first_read);
  checked_training_state_bytes = entries.recorded ? opened_training_state_bytes : std::vector<uint8_t>();
  if (load_map) {
    if (!AdoptCounterMap(std::move(map))) HandleMissingCounterMap();
  } else if (!entries.recorded && !entries.map_stored) {
    // No state and no map: the index store is gone, with the index or on its own.
    RefuseIfDeleted();
  }
}

bool EncryptedIndexCore::EntriesChangedSince(const EntriesState& before) {
  if (!shared_index_store || !retrieval_read_entries) return false;
  EntriesState after;
  MapAndVersion map;
  const TrainingState state = ReadMapAndState(after, map);
  return after != before || (state.phase != TrainingState::kIdle && state.phase != TrainingState::kTraining);
}

void EncryptedIndexCore::TakeIndex(uint64_t holder, const char* refusal, bool wait_for_holder) {
  const uint64_t lease = lease_ms.load();
  Poll poll(wait_limit_ms.load());
  bool logged = false;
  auto give_up = [&](const std::string& message) {
    DropHold();
    log().error(message);
    throw TrainingInProgressError(message);
  };
  for (;;) {
    HoldGrant grant;
    try {
      grant = index_store->TakeHold(HoldKind::kExclusive, holder, lease);
    } catch (const std::exception& failure) {
      hold_ = Hold{HoldKind::kExclusive, holder, std::chrono::steady_clock::now()};
      DropHold();
      ThrowUnconfirmedHold(failure);
    }
    if (!grant.granted) {
      if (hold_) {
        give_up("This process lost its hold on index '" + index_name +
                "' while it waited for the writers, and another process took the index over");
      }
      if (!wait_for_holder || poll.Expired()) give_up(std::string(refusal));
      poll.Wait();
      continue;
    }
    hold_ = Hold{HoldKind::kExclusive, holder, std::chrono::steady_clock::now()};
    SetFences(WriteFence{HoldKind::kExclusive, holder});
    if (!grant.others_share) return;
    if (!logged) {
      log().info("Waiting for the writers of index '" + index_name + "' to finish");
      logged = true;
    }
    if (poll.Expired()) {
      give_up("Writers of index '" + index_name + "' were still writing after " +
              std::to_string(wait_limit_ms.load() / 1000) + " s; try again when they have finished");
    }
    poll.Wait();
  }
}

EncryptedIndexCore::TrainingTicket EncryptedIndexCore::BeginTraining() {
  TrainingTicket ticket;
  if (!shared_index_store) return ticket;
  if (deletion_unfinished) ThrowUnfinishedDeletion();
  ticket.trainer = RandomId();
  ticket.generation = ticket.trainer;
  const std::string refusal = "Another training or a deletion of index '" + index_name +
                              "' is running; try again when it has finished";
  TakeIndex(ticket.trainer, refusal.c_str(), /*wait_for_holder=*/false);
  bool deleting = false;
  try {
    // Asked again under the hold, before the state is written: a deletion may have
    // finished since the caller looked.
    EntriesState entries;
    MapAndVersion map;
    ReadMapAndState(entries, map);
    if (!entries.recorded && !entries.map_stored) RefuseIfDeleted();
    ChangeTrainingState([&](TrainingState& state) {
      deleting = state.phase == TrainingState::kDeleting;
      if (deleting) return false;
      // Nobody else holds the index: a rebuild left in the record was abandoned.
      ticket.was_broken = ticket.was_broken || state.phase == TrainingState::kBroken ||
                          state.phase == TrainingState::kRebuilding;
      // Entries that a rebuild left half rewritten answer no reader before a rebuild
      // finishes: readers wait for this training from its start.
      state.phase = ticket.was_broken ? TrainingState::kRebuilding : TrainingState::kTraining;
      state.trainer = ticket.trainer;
      state.trainer_deadline_ms = 0;
      state.writers.clear();
      return true;
    });
    // Training would file the items a deletion had not removed yet back into the index.
    if (deleting) ThrowUnfinishedDeletion();
  } catch (...) {
    DropHold();
    throw;
  }
  return ticket;
}

void EncryptedIndexCore::BeginRebuild(const TrainingTicket& ticket) {
  if (ticket.trainer == 0) return;
  KeepHold();
  ChangeTrainingState([&](TrainingState& state) {
    if (state.phase == TrainingState::kRebuilding && state.trainer == ticket.trainer) return false;
    state.phase = TrainingState::kRebuilding;
    state.trainer = ticket.trainer;
    return true;
  });
}

bool EncryptedIndexCore::RecordTrainingEnd(const TrainingTicket& ticket) {
  bool taken_over = false;
  ChangeTrainingState([&](TrainingState& state) {
    // A reply lost after the change was made: the record shows this training's end.
    if (state.phase == TrainingState::kIdle && state.generation == ticket.generation) return false;
    taken_over = state.trainer != ticket.trainer;
    if (taken_over) return false;
    state.trainer = 0;
    state.phase = TrainingState::kIdle;
    state.generation = ticket.generation;
    ++state.epoch;
    return true;
  });
  return !taken_over;
}

void EncryptedIndexCore::CompleteTraining(const TrainingTicket& ticket) {
  if (ticket.trainer == 0) return;
  std::string failure_text;
  // What a lost end reports is an error only if the end cannot be recorded again.
  HeldErrors held;
  try {
    KeepHold();
    if (RecordTrainingEnd(ticket)) {
      DropHold();
      return;
    }
    failure_text = "another training or a deletion took the index over";
  } catch (const IndexDeletedError&) {
    held.Release();
    DropHold();
    throw;
  } catch (const std::exception& failure) {
    failure_text = failure.what();
    // The end was lost with the connection or the session that held the index (a server
    // ends a session's locks with it). Every entry is rebuilt: when nobody else took the
    // index meanwhile, this training takes it again and records its end.
    if (RecordTrainingEndAgain(ticket)) {
      held.Recovered();
      return;
    }
  }
  held.Release();
  DropHold();
  const std::string message = "The training of index '" + index_name +
                              "' rebuilt the entries but could not record its end (" + failure_text +
                              "); train the index again";
  log().error(message);
  throw std::runtime_error(message);
}

bool EncryptedIndexCore::RecordTrainingEndAgain(const TrainingTicket& ticket) noexcept {
  DropHold();
  // A session the server has not ended yet (its client gave up on a connection that
  // stopped answering) keeps this training's old hold until its lease ends.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(lease_ms.load() + 5000);
  while (std::chrono::steady_clock::now() < until) {
    try {
      const HoldGrant grant = index_store->TakeHold(HoldKind::kExclusive, ticket.trainer, lease_ms.load());
      if (!grant.granted) {
        // Held by the session this training lost, which the server has not ended yet, or by
        // another training or deletion, which owns the entries now.
        uint64_t version = 0;
        const TrainingState state = LoadTrainingState(version);
        // The end was stored before its reply was lost: this training is done.
        if (state.phase == TrainingState::kIdle && state.generation == ticket.generation) {
          log().info("The training of index '" + index_name + "' finds its end recorded");
          return true;
        }
        if (state.trainer != ticket.trainer) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        continue;
      }
      hold_ = Hold{HoldKind::kExclusive, ticket.trainer, std::chrono::steady_clock::now()};
      SetFences(WriteFence{HoldKind::kExclusive, ticket.trainer});
      // Writers admitted while nobody held the index find its rebuild abandoned and
      // write nothing, so there is no need to wait for them.
      const bool recorded = RecordTrainingEnd(ticket);
      DropHold();
      if (recorded) log().info("The training of index '" + index_name + "' recorded its end again after losing it");
      return recorded;
    } catch (const std::exception& failure) {
      DropHold();
      log().warning("Recording the end of the training of index '" + index_name + "' again failed (" +
                    failure.what() + ")");
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
  }
  return false;
}

void EncryptedIndexCore::EndTraining(const TrainingTicket& ticket, TrainingEnd end) noexcept {
  if (ticket.trainer == 0) return;
  try {
    if (hold_) {
      ChangeTrainingState([&](TrainingState& state) {
        if (state.trainer != ticket.trainer) return false;
        state.trainer = 0;
        state.phase = end == TrainingEnd::kBroken || ticket.was_broken ? TrainingState::kBroken
                                                                        : TrainingState::kIdle;
        return true;
      });
    }
  } catch (const std::exception& failure) {
    // The record still names this training: once its hold is gone, readers take the
    // entries for broken if it was rebuilding, and for untouched if it was not.
    log().error("Failed to record the end of the training of index '" + index_name + "' (" +
                failure.what() + ")");
  }
  DropHold();
}

void EncryptedIndexCore::BeginCreation() {
  if (!shared_index_store) return;
  const std::string refusal = "A deletion of an earlier index named '" + index_name +
                              "' is still running; create the index again when it has finished";
  TakeIndex(RandomId(), refusal.c_str(), /*wait_for_holder=*/true);
}

void EncryptedIndexCore::ReadRecordsForDeletion() {
  deletion_records_ = {};
  if (config_keeps_records) {
    deletion_records_.index_record = ReadOwnRecord(index_name + ".oei");
    deletion_records_.stored_config = LoadStoredRecord(index_name + ".ovs");
  }
  deletion_records_.read = true;
}

void EncryptedIndexCore::BeginDeletion() {
  deletion_records_ = {};
  if (!shared_index_store) return;
  const std::string refusal = "A training of index '" + index_name +
                              "' is running; delete the index when it has finished";
  const uint64_t holder = RandomId();
  TakeIndex(holder, refusal.c_str(), /*wait_for_holder=*/true);
  try {
    // Whose index this is, asked before anything is written: another incarnation in the
    // state, or, with neither state nor map, no index record this key opens, means this
    // handle's index was deleted already (and perhaps made again).
    EntriesState entries;
    MapAndVersion map;
    ReadMapAndState(entries, map);
    ReadRecordsForDeletion();
    if (config_keeps_records && !entries.recorded && !entries.map_stored &&
        deletion_records_.index_record.empty()) {
      ThrowIndexDeleted();
    }
    // Kept until the index store goes last: a deletion that stops half way is known as
    // one to every handle, and the next one finishes it.
    ChangeTrainingState([&](TrainingState& state) {
      if (state.phase == TrainingState::kDeleting && state.trainer == holder) return false;
      state.phase = TrainingState::kDeleting;
      state.trainer = holder;
      return true;
    });
  } catch (...) {
    DropHold();
    throw;
  }
}

void EncryptedIndexCore::RefuseIfDeleted() {
  if (!config_keeps_records) return;
  if (ReadOwnRecord(index_name + ".oei").empty()) ThrowIndexDeleted();
  // A deletion removes the configuration record before the index store and the index
  // record last: an index record alone is what a deletion that stopped in between left.
  if (!config_store->ConfigItemExists(index_name + ".ovs")) ThrowUnfinishedDeletion();
}

void EncryptedIndexCore::ThrowMalformedMapsAnswer(std::size_t maps) {
  const std::string message = "The store of index '" + index_name + "' gave an incomplete answer (" +
                              std::to_string(maps) + " of 2 records); nothing was done, try again";
  log().error(message);
  throw std::runtime_error(message);
}

void EncryptedIndexCore::RecordNewIncarnation() {
  if (!shared_index_store) return;
  const uint64_t drawn = RandomId();
  TrainingState state;
  state.incarnation = drawn;
  // Known before it is sent: a write whose answer was lost may have landed, and the
  // clean-up removes the state only while it holds exactly these bytes.
  created_state_blob_ = Seal(EncodeTrainingState(state));
  std::string last_failure = "the change was refused every time";
  // Every attempt ends with a read: a write refused when it ran again after its own
  // commit, or whose answer was lost, is found there.
  for (int attempt = 0;; ++attempt) {
    std::vector<MapAndVersion> maps = index_store->GetMaps(kMapAndState);
    if (maps.size() != 2) ThrowMalformedMapsAnswer(maps.size());
    if (maps[1].map_data == created_state_blob_) {
      incarnation = drawn;
      return;
    }
    if (attempt == kMaxAttempts) break;
    const bool state_stored = !maps[1].map_data.empty();
    const TrainingState found = OpenStoredTrainingState(std::move(maps[1].map_data));
    // What a deletion that stopped half way left of an index of this name and key.
    if (found.phase == TrainingState::kDeleting) {
      index_store->DeleteIndex();
      continue;
    }
    // A live index of this name and key, whose records may sit in a config store this
    // creation does not see (another table): never written over. What a creation that
    // failed or stopped before its counter map left holds no map, and is written over.
    if (state_stored && !maps[0].map_data.empty()) ThrowNameTaken();
    map_found_before_ = !maps[0].map_data.empty();
    try {
      index_store->PushMap(kTrainingStateKey, created_state_blob_, kTrainingStateVersionKey, maps[1].version);
    } catch (const HoldLostError&) {
      throw;
    } catch (const std::exception& failure) {
      last_failure = failure.what();
    }
  }
  const std::string message = "Failed to record the new index '" + index_name + "' in its index store (" +
                              last_failure + "); create the index again";
  log().error(message);
  throw std::runtime_error(message);
}

}  // namespace ombrix
