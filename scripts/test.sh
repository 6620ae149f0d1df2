#!/usr/bin/env bash
# The whole test run: installs, makes sure the servers answer, runs the C++ tests, runs
# them again under AddressSanitizer and UndefinedBehaviorSanitizer, then pytest.
# Any failure fails the run.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"
jobs="$(nproc)"

bash scripts/install.sh
source scripts/services.sh

echo "== C++ tests =="
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOMBRIX_BUILD_TESTS=ON >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release -j "$jobs" --output-on-failure

echo "== C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer =="
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOMBRIX_BUILD_TESTS=ON -DOMBRIX_SANITIZE=ON >/dev/null
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
LSAN_OPTIONS="suppressions=$here/scripts/lsan.supp" \
  ctest --test-dir build/asan -j "$jobs" --output-on-failure

echo "== Python tests =="
bash scripts/build_module.sh
.venv/bin/python -m pytest -q
