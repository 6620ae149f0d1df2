#!/usr/bin/env bash
# Builds the extension module into the project venv (incremental: build/py is kept).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"
jobs="$(nproc)"
CMAKE_BUILD_PARALLEL_LEVEL="$jobs" .venv/bin/python -m pip install -q --no-build-isolation \
  --no-deps -Cbuild-dir=build/py "$here"
