#!/usr/bin/env bash
# The C++ tests under ThreadSanitizer, in build/tsan. Extra arguments go to ctest (for
# example -R ParallelTest). Servers are used when scripts/services.sh finds them.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"
jobs="${OMBRIX_JOBS:-$(nproc)}"
flags="-fsanitize=thread -fno-omit-frame-pointer"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOMBRIX_BUILD_TESTS=ON \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread >/dev/null
cmake --build build/tsan -j "$jobs"
source scripts/services.sh >/dev/null
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$here/scripts/tsan.supp" \
  ctest --test-dir build/tsan -j "$jobs" --output-on-failure "$@"
