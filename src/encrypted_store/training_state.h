// The training state of an index: a small sealed record kept beside the counter map in the
// index store, as a versioned entry of its own, through which handles in every process
// learn that a training rebuilds the entries, that a rebuild failed, and how many trainings
// finished. Only the holder of the index store's exclusive hold changes it (Keystore
// holds). The record and its codec are plain data; EncryptedIndexCore (training_state.cc)
// reads it and changes it with the store's compare-and-set. Not thread-safe on its own: the core is used by one
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
    kDeleting = 4,    // a deletion removes the index; one that stopped is finished by another
  };
  struct Writer {
    uint64_t id = 0;
    uint64_t deadline_ms = 0;  // wall clock; past it the writer is taken for gone
    bool operator==(const Writer&) const = default;
  };

  uint64_t epoch = 0;  // finished trainings: grows by one with each, never goes back
  Phase phase = kIdle;
  uint64_t trainer = 0;
  // Kept for the record's format; trainings of this build write 0 and read no deadline:
  // whether a trainer still holds the index is the store's to say (Keystore holds).
  uint64_t trainer_deadline_ms = 0;
  // Kept for the record's format; writers of this build take holds instead of registering.
  std::vector<Writer> writers;
  // The training whose configuration the entries were built with (0 before the first
  // training that records one): a configuration record naming another is not theirs.
  uint64_t generation = 0;
  // Drawn when the index is created: a handle that finds another one holds an index that
  // was deleted and created again under the same name and key (0: an index made before
  // incarnations were recorded).
  uint64_t incarnation = 0;

  bool operator==(const TrainingState&) const = default;
};

// The plaintext of a state (format byte 1, then little-endian fields, generation and
// incarnation last) and back. Decode also reads the record without the last two fields
// (both 0), and returns nothing for bytes of another format or length.
std::vector<uint8_t> EncodeTrainingState(const TrainingState& state);
std::optional<TrainingState> DecodeTrainingState(const std::vector<uint8_t>& bytes);

// A training holds the index: a reader waited its limit through a rebuild, a writer
// through a training, or a second training found the first one running.
class TrainingInProgressError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

namespace internal {
// How long readers, writers, trainings and deletions wait for one another before they
// give up (default 120 s).
void SetTrainingWaitLimitForTesting(uint64_t milliseconds);
// How long a hold outlives a holder that stops renewing it, where the store keeps leases
// (default 40 s, so a holder that died holds the others back for at most that long).
void SetHoldLeaseForTesting(uint64_t milliseconds);
}  // namespace internal

}  // namespace ombrix
