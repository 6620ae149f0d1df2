// The training state of an index: a small sealed record kept beside the counter map in the
// index store, as a versioned entry of its own, through which handles in every process
// learn that a training holds writers back or rebuilds the entries. The record and its
// codec are plain data; EncryptedIndexCore (training_state.cc) reads and changes it with
// the store's compare-and-set. Not thread-safe on its own: the core is used by one
// operation at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

namespace ombrix {

// Keys of the training state in the index store (beside kCounterMapKey / 42).
inline constexpr uint64_t kTrainingStateKey = 0xFFFFFFFFFFFFFFFEULL;
inline constexpr uint64_t kTrainingStateVersionKey = 43;

struct TrainingState {
  enum Phase : uint8_t {
    kIdle = 0,
    kTraining = 1,    // writers are held back; the entries still answer queries
    kRebuilding = 2,  // the entries are being replaced: readers wait too
    kBroken = 3,      // a rebuild failed and could not be redone: train again
  };
  struct Writer {
    uint64_t id = 0;
    uint64_t deadline_ms = 0;  // wall clock; past it the writer is taken for gone
    bool operator==(const Writer&) const = default;
  };

  uint64_t epoch = 0;  // finished trainings: grows by one with each, never goes back
  Phase phase = kIdle;
  uint64_t trainer = 0;
  uint64_t trainer_deadline_ms = 0;  // past it a training or rebuild is taken as abandoned
  std::vector<Writer> writers;       // writers between their first and their last write

  bool operator==(const TrainingState&) const = default;

  // A training or rebuild whose holder is still within its time.
  bool HeldAt(uint64_t now_ms) const {
    return (phase == kTraining || phase == kRebuilding) && trainer_deadline_ms >= now_ms;
  }
  // The entries cannot answer: a rebuild failed, or its holder is gone mid-way.
  bool BrokenAt(uint64_t now_ms) const {
    return phase == kBroken || (phase == kRebuilding && trainer_deadline_ms < now_ms);
  }
};

// The plaintext of a state (format byte 1, then little-endian fields) and back.
// Decode returns nothing for bytes of another format or length.
std::vector<uint8_t> EncodeTrainingState(const TrainingState& state);
std::optional<TrainingState> DecodeTrainingState(const std::vector<uint8_t>& bytes);

// A training holds the index: a reader waited its limit through a rebuild, a writer
// through a training, or a second training found the first one running.
class TrainingInProgressError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

namespace internal {
// How long readers and writers wait for a training before they give up (default 120 s).
void SetTrainingWaitLimitForTesting(uint64_t milliseconds);
// Wall-clock milliseconds as the leases read them; nullptr restores the system clock.
using WallClockFn = uint64_t (*)();
void SetWallClockForTesting(WallClockFn clock);
}  // namespace internal

}  // namespace ombrix
