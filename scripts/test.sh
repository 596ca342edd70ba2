#!/usr/bin/env bash
# Sets up, builds and runs every test: the normal build, then the same suites built with
# AddressSanitizer and UndefinedBehaviorSanitizer (skip that with PELMORA_NO_SANITIZE=1).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
jobs=$(nproc 2>/dev/null || echo 2)

if [ "${PELMORA_NO_SANITIZE:-0}" = 1 ]; then
  bash "$here/scripts/setup.sh"
else
  bash "$here/scripts/setup.sh" --sanitize
fi

echo "== tests (release build)"
start=$SECONDS
ctest --test-dir "$here/build" --output-on-failure -j "$jobs" "$@"
echo "== release tests took $((SECONDS - start)) s"

if [ "${PELMORA_NO_SANITIZE:-0}" != 1 ]; then
  echo "== tests (address and undefined-behaviour sanitizers)"
  # Every finding fails the test: the build stops at the first undefined behaviour
  # (-fno-sanitize-recover=all), and leaks count, except inside Qt and the system libraries
  # (scripts/lsan-suppressions.txt).
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
  export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$here/scripts/lsan-suppressions.txt:print_suppressions=0}
  start=$SECONDS
  ctest --test-dir "$here/build-asan" --output-on-failure -j "$jobs" "$@"
  echo "== sanitized tests took $((SECONDS - start)) s"
fi
