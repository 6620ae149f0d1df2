#include "index_model/member_scratch.h"

#include <sys/mman.h>

#include <new>

namespace ombrix {

MemberScratch::MemberScratch(int members, uint64_t floats_each)
    : floats_each_(floats_each),
      mapped_(static_cast<size_t>(members)),
      allocated_(static_cast<size_t>(members)) {}

float* MemberScratch::For(int member) {
  const size_t m = static_cast<size_t>(member);
  const uint64_t bytes = floats_each_ * sizeof(float);
  if (bytes < kMappedScratchBytes) {
    allocated_[m].resize(floats_each_);
    return allocated_[m].data();
  }
  if (!mapped_[m]) {
    void* pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) throw std::bad_alloc();
    mapped_[m] = std::unique_ptr<float, Unmap>(static_cast<float*>(pages), Unmap{bytes});
  }
  return mapped_[m].get();
}

void MemberScratch::Unmap::operator()(float* buffer) const { munmap(buffer, bytes); }

}  // namespace ombrix
