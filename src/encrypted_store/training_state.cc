// The training state of EncryptedIndexCore: its codec, the writers' registration, the
// readers' wait through a rebuild and the trainer's phases, all through compare-and-set
// of one versioned entry of the index store.
#include "encrypted_store/training_state.h"

#include <openssl/rand.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "diagnostics/openssl_thread.h"
#include "encrypted_store/encrypted_index_core.h"
#include "encrypted_store/sealing.h"

namespace ombrix {

namespace {

constexpr uint8_t kFormat = 1;
constexpr int kMaxAttempts = 100;
// A writer registers for its whole upsert; one that dies stops holding a training back
// once this runs out.
constexpr uint64_t kWriterLeaseMs = 300'000;
// Renewed at every step of a training; a trainer that dies holds the index this long.
constexpr uint64_t kTrainerLeaseMs = 600'000;

std::atomic<uint64_t> wait_limit_ms{120'000};
std::atomic<internal::WallClockFn> wall_clock{nullptr};

uint64_t NowMs() {
  internal::WallClockFn clock = wall_clock.load(std::memory_order_relaxed);
  if (clock != nullptr) return clock();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

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
void SetWallClockForTesting(WallClockFn clock) { wall_clock.store(clock); }
}  // namespace internal

std::vector<uint8_t> EncodeTrainingState(const TrainingState& state) {
  std::vector<uint8_t> out;
  out.reserve(30 + 16 * state.writers.size());
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
  return out;
}

std::optional<TrainingState> DecodeTrainingState(const std::vector<uint8_t>& bytes) {
  constexpr size_t kFixed = 1 + 8 + 1 + 8 + 8 + 4;
  if (bytes.size() < kFixed || bytes[0] != kFormat) return std::nullopt;
  const uint8_t* p = bytes.data() + 1;
  TrainingState state;
  state.epoch = Take(p, 8);
  const uint64_t phase = Take(p, 1);
  if (phase > TrainingState::kBroken) return std::nullopt;
  state.phase = static_cast<TrainingState::Phase>(phase);
  state.trainer = Take(p, 8);
  state.trainer_deadline_ms = Take(p, 8);
  const uint64_t writers = Take(p, 4);
  if (bytes.size() != kFixed + 16 * writers) return std::nullopt;
  state.writers.resize(writers);
  for (TrainingState::Writer& writer : state.writers) {
    writer.id = Take(p, 8);
    writer.deadline_ms = Take(p, 8);
  }
  return state;
}

TrainingState EncryptedIndexCore::LoadTrainingState(uint64_t& version) {
  ombrix_encrypted_index::internal::backing_store::MapAndVersion stored =
      index_store->GetMap(kTrainingStateKey, kTrainingStateVersionKey);
  version = stored.version;
  if (stored.map_data.empty()) return TrainingState{};  // never trained under this protocol
  if (stored.map_data == opened_training_state_bytes) return opened_training_state;
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

bool EncryptedIndexCore::ChangeTrainingState(const std::function<bool(TrainingState&)>& change) {
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    uint64_t version = 0;
    TrainingState state = LoadTrainingState(version);
    if (!change(state)) return false;
    const std::vector<uint8_t> plain = EncodeTrainingState(state);
    const Matrix<uint8_t> sealed =
        EncryptRows(Matrix<uint8_t>(std::vector<uint8_t>(plain), plain.size()), index_key);
    // Another writer registering or leaving is the usual reason for a refusal: someone
    // always wins, so the next attempt follows at once.
    if (index_store->PushMap(kTrainingStateKey, sealed.data, kTrainingStateVersionKey, version)) {
      return true;
    }
  }
  throw std::runtime_error("Failed to update the training state of index '" + index_name + "' in " +
                           std::to_string(kMaxAttempts) + " attempts");
}

void EncryptedIndexCore::ThrowBrokenEntries() {
  const std::string message = "The index entries of index '" + index_name +
                              "' are incomplete: a training did not finish rebuilding them; "
                              "train the index to rebuild its entries";
  log().error(message);
  throw MissingCounterMapError(message);
}

uint64_t EncryptedIndexCore::BeginWriting(uint64_t& epoch) {
  epoch = 0;
  if (!shared_index_store) return 0;
  SaveTrainingEnd();
  const uint64_t writer = RandomId();
  Poll poll(wait_limit_ms.load());
  for (;;) {
    bool broken = false;
    bool held = false;
    const bool registered = ChangeTrainingState([&](TrainingState& state) {
      const uint64_t now = NowMs();
      broken = state.BrokenAt(now);
      held = state.HeldAt(now);
      if (broken || held) return false;
      if (state.phase == TrainingState::kTraining) {
        // Its trainer is gone; it had changed no entry yet.
        log().warning("A training of index '" + index_name + "' was abandoned; writing on");
        state.phase = TrainingState::kIdle;
        state.trainer = 0;
      }
      std::erase_if(state.writers, [&](const TrainingState::Writer& w) { return w.deadline_ms < now; });
      state.writers.push_back({writer, now + kWriterLeaseMs});
      epoch = state.epoch;
      return true;
    });
    if (registered) return writer;
    if (broken) ThrowBrokenEntries();
    if (poll.Expired()) {
      const std::string message = "A training of index '" + index_name +
                                  "' is running and holds writers back; try again when it has "
                                  "finished";
      log().error(message);
      throw TrainingInProgressError(message);
    }
    poll.Wait();
  }
}

void EncryptedIndexCore::EndWriting(uint64_t writer) noexcept {
  if (writer == 0) return;
  try {
    ChangeTrainingState([&](TrainingState& state) {
      const size_t before = state.writers.size();
      std::erase_if(state.writers, [&](const TrainingState::Writer& w) { return w.id == writer; });
      return state.writers.size() != before;
    });
  } catch (const std::exception& failure) {
    log().warning(std::string("Failed to end a write in the training state (") + failure.what() +
                  "); a training waits for it until its lease runs out");
  }
}

uint64_t EncryptedIndexCore::AwaitCompleteEntries() {
  if (!shared_index_store) return 0;
  SaveTrainingEnd();
  Poll poll(wait_limit_ms.load());
  for (;;) {
    uint64_t version = 0;
    const TrainingState state = LoadTrainingState(version);
    const uint64_t now = NowMs();
    if (state.BrokenAt(now)) ThrowBrokenEntries();
    if (state.phase != TrainingState::kRebuilding) return state.epoch;
    if (poll.Expired()) {
      const std::string message = "A training of index '" + index_name +
                                  "' is rebuilding its entries; try again when it has finished";
      log().error(message);
      throw TrainingInProgressError(message);
    }
    poll.Wait();
  }
}

bool EncryptedIndexCore::EntriesChangedSince(uint64_t epoch) {
  if (!shared_index_store) return false;
  uint64_t version = 0;
  const TrainingState state = LoadTrainingState(version);
  return state.epoch != epoch || state.phase == TrainingState::kRebuilding ||
         state.phase == TrainingState::kBroken;
}

EncryptedIndexCore::TrainingTicket EncryptedIndexCore::BeginTraining() {
  TrainingTicket ticket;
  if (!shared_index_store) return ticket;
  SaveTrainingEnd();
  ticket.trainer = RandomId();
  try {
    TakeTraining(ticket);
    // Writers registered before this point may still be writing at positions of the
    // current map; the rebuild must not begin before they are done.
    AwaitWriters(ticket);
  } catch (...) {
    // Also when the store took the change but its reply was lost.
    EndTraining(ticket, TrainingEnd::kAbandoned);
    throw;
  }
  return ticket;
}

void EncryptedIndexCore::TakeTraining(TrainingTicket& ticket) {
  ChangeTrainingState([&](TrainingState& state) {
    const uint64_t now = NowMs();
    if (state.HeldAt(now)) {
      const std::string message = "Another training of index '" + index_name + "' is running";
      log().error(message);
      throw TrainingInProgressError(message);
    }
    ticket.was_broken = state.BrokenAt(now);
    state.phase = TrainingState::kTraining;
    state.trainer = ticket.trainer;
    state.trainer_deadline_ms = now + kTrainerLeaseMs;
    return true;
  });
}

void EncryptedIndexCore::AwaitWriters(const TrainingTicket& ticket) {
  Poll poll(kWriterLeaseMs);
  bool logged = false;
  for (;;) {
    uint64_t version = 0;
    const TrainingState state = LoadTrainingState(version);
    if (state.trainer != ticket.trainer) {
      throw TrainingInProgressError("The training of index '" + index_name + "' was taken over");
    }
    const uint64_t now = NowMs();
    const bool writing = std::any_of(state.writers.begin(), state.writers.end(),
                                     [&](const TrainingState::Writer& w) { return w.deadline_ms >= now; });
    if (!writing) return;
    if (!logged) {
      log().info("Waiting for " + std::to_string(state.writers.size()) +
                 " writers of the index to finish before training");
      logged = true;
    }
    poll.Wait();
  }
}

void EncryptedIndexCore::RenewTraining(const TrainingTicket& ticket) {
  if (ticket.trainer == 0) return;
  ChangeTrainingState([&](TrainingState& state) {
    if (state.trainer != ticket.trainer) {
      throw TrainingInProgressError("The training of index '" + index_name + "' was taken over");
    }
    state.trainer_deadline_ms = NowMs() + kTrainerLeaseMs;
    return true;
  });
}

void EncryptedIndexCore::BeginRebuild(const TrainingTicket& ticket) {
  if (ticket.trainer == 0) return;
  ChangeTrainingState([&](TrainingState& state) {
    if (state.trainer != ticket.trainer) {
      throw TrainingInProgressError("The training of index '" + index_name + "' was taken over");
    }
    state.phase = TrainingState::kRebuilding;
    state.trainer_deadline_ms = NowMs() + kTrainerLeaseMs;
    return true;
  });
}

void EncryptedIndexCore::EndTraining(const TrainingTicket& ticket, TrainingEnd end) noexcept {
  if (ticket.trainer == 0) return;
  unsaved_training_end = std::make_pair(ticket, end);
  try {
    ChangeTrainingState([&](TrainingState& state) {
      if (state.trainer != ticket.trainer) return false;
      state.trainer = 0;
      if (end == TrainingEnd::kCompleted) {
        state.phase = TrainingState::kIdle;
        ++state.epoch;
      } else if (end == TrainingEnd::kBroken || ticket.was_broken) {
        state.phase = TrainingState::kBroken;
      } else {
        state.phase = TrainingState::kIdle;
      }
      return true;
    });
    unsaved_training_end.reset();
  } catch (const std::exception& failure) {
    log().error(std::string("Failed to end the training in the training state (") + failure.what() +
                "); stored again at this handle's next operation");
  }
}

void EncryptedIndexCore::SaveTrainingEnd() {
  if (unsaved_training_end) EndTraining(unsaved_training_end->first, unsaved_training_end->second);
}

void EncryptedIndexCore::RefuseIfDeleted() {
  if (!config_keeps_records || config_store->ConfigItemExists(index_name + ".oei")) return;
  const std::string message = "Index '" + index_name + "' no longer exists: it was deleted";
  log().error(message);
  throw IndexDeletedError(message);
}

}  // namespace ombrix
