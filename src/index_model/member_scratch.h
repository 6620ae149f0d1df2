// Float buffers for the members of one parallel step, owned by the step's caller and freed
// when the caller's call ends: scratch kept per thread instead stays with the pool's threads
// for good. A buffer of kMappedScratchBytes or more is mapped from the system on its own, so
// freeing it gives its pages back (the allocator keeps large freed blocks in its per-thread
// arenas, where they stay resident). Member m may use For(m) while other members use theirs.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace ombrix {

inline constexpr uint64_t kMappedScratchBytes = uint64_t{1} << 20;

class MemberScratch {
 public:
  // REQUIRES: members >= 1.
  MemberScratch(int members, uint64_t floats_each);

  // Member m's buffer of floats_each floats, made on its first use (uninitialised).
  // Throws std::bad_alloc when it cannot be made. REQUIRES: 0 <= member < members.
  float* For(int member);

 private:
  struct Unmap {
    uint64_t bytes = 0;
    void operator()(float* buffer) const;
  };
  const uint64_t floats_each_;
  std::vector<std::unique_ptr<float, Unmap>> mapped_;
  std::vector<std::vector<float>> allocated_;
};

}  // namespace ombrix
