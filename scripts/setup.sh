#!/usr/bin/env bash
# Installs what is missing on a Debian machine, then configures and builds Pelmora.
# Idempotent: when every package is present and the build is current it only checks.
#   scripts/setup.sh [--no-build] [--sanitize]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

packages=(
  cmake g++ make ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev libgl1-mesa-dev
  libsqlite3-dev  # export --sqlite writes through the SQLite library
  fonts-dejavu-core
  python3-dbf gdal-bin libxbase64-dev  # peers the interchange tests (test_peers) check our files with
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}" >&2
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

build=1
sanitize=0
for a in "$@"; do
  case "$a" in
    --no-build) build=0 ;;
    --sanitize) sanitize=1 ;;
  esac
done
[ $build -eq 1 ] || exit 0

jobs=$(nproc 2>/dev/null || echo 2)
configure_and_build() {  # folder, extra cmake args...
  local dir=$1; shift
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$here" -B "$dir" -G Ninja "$@" >/dev/null
  fi
  cmake --build "$dir" -j "$jobs"
}
configure_and_build "$here/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [ $sanitize -eq 1 ]; then
  configure_and_build "$here/build-asan" -DCMAKE_BUILD_TYPE=Debug -DPELMORA_SANITIZE=ON \
    -DPELMORA_BUILD_BENCH=OFF
fi
