#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need: Debian packages, then a
# project venv built from CPython 3.13 with the Python build and test tools.
# Safe to run again: each step checks what is already there.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${OMBRIX_VENV:-$here/.venv}"

sudo_() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

packages=(
  build-essential cmake pkg-config ninja-build git
  libarmadillo-dev libopenblas-dev liblapack-dev
  libssl-dev openssl libpq-dev libcurl4-openssl-dev zlib1g-dev
  nlohmann-json3-dev libflatbuffers-dev flatbuffers-compiler libre2-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  postgresql postgresql-client redis-server redis-tools
)

codename=""
[ -r /etc/os-release ] && codename="$(. /etc/os-release; echo "${VERSION_CODENAME:-}")"
if [ "$codename" = bookworm ]; then
  # Debian 12's hiredis has no TLS; the hiredis-compatible shims from backports do.
  packages+=(libhiredict-shims-dev)
  if ! grep -rqs bookworm-backports /etc/apt/sources.list /etc/apt/sources.list.d/; then
    echo "deb http://deb.debian.org/debian bookworm-backports main" |
      sudo_ tee /etc/apt/sources.list.d/bookworm-backports.list >/dev/null
    need_update=1
  fi
else
  packages+=(libhiredis-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ] || [ -n "${need_update:-}" ]; then
  export DEBIAN_FRONTEND=noninteractive
  sudo_ apt-get update -qq
fi
if [ "${#missing[@]}" -gt 0 ]; then
  echo "[install] apt: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if [ "$codename" = bookworm ]; then
    sudo_ apt-get install -y -qq --no-install-recommends -t bookworm-backports libhiredict-shims-dev >/dev/null
  fi
  sudo_ apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

find_python() {
  local c
  for c in /root/.pyenv/versions/3.13.*/bin/python3.13 "$(command -v python3.13 2>/dev/null)" /usr/bin/python3.13; do
    [ -n "$c" ] && [ -x "$c" ] && "$c" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null && { echo "$c"; return; }
  done
  return 1
}

if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
  py="$(find_python)" || {
    sudo_ apt-get install -y -qq python3.13 python3.13-venv python3.13-dev >/dev/null
    py="$(find_python)"
  }
  echo "[install] venv from $py"
  rm -rf "$venv"
  "$py" -m venv "$venv"
fi
stamp="$venv/.ombrix-deps"
want="$(sha1sum "$here/scripts/requirements-dev.txt" | cut -d' ' -f1)"
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q -r "$here/scripts/requirements-dev.txt"
  echo "$want" > "$stamp"
fi
