// Pauses before a retry: processes refused together must not come back together, which a
// generator whose state a forked child copies (or that every process seeds alike) breaks.
#include "encrypted_store/random_pause.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>

namespace ombrix {
namespace {

TEST(RandomPauseTest, AForkedChildDrawsOtherPausesThanItsParent) {
  RandomPauseBelow(2);  // the parent has drawn before, as a writer refused earlier has
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  std::array<uint64_t, 8> draws{};
  for (uint64_t& draw : draws) draw = RandomPauseBelow(uint64_t{1} << 40);
  if (child == 0) {
    const bool sent = ::write(fds[1], draws.data(), sizeof(draws)) == sizeof(draws);
    ::_exit(sent ? 0 : 1);
  }
  ::close(fds[1]);
  std::array<uint64_t, 8> theirs{};
  size_t got = 0;
  while (got < sizeof(theirs)) {
    const ssize_t n = ::read(fds[0], reinterpret_cast<char*>(theirs.data()) + got, sizeof(theirs) - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(got, sizeof(theirs));
  EXPECT_NE(draws, theirs);
}

TEST(RandomPauseTest, DrawsStayBelowTheirBound) {
  for (uint64_t bound : {uint64_t{1}, uint64_t{2}, uint64_t{41}, uint64_t{250} << 6}) {
    for (int i = 0; i < 1000; ++i) ASSERT_LT(RandomPauseBelow(bound), bound) << bound;
  }
}

}  // namespace
}  // namespace ombrix
