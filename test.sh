#!/usr/bin/env bash
# Sets up, builds and runs every test: the normal build (core and widget tests), then the core
# tests again under AddressSanitizer+UBSan and under ThreadSanitizer, then a minute of the
# program under valgrind (tests/leak_check.sh).
# KTEV_QUICK=1 skips the two sanitizer builds and the leak check.
set -euo pipefail
cd "$(dirname "$0")"
./setup.sh

jobs=$(nproc)
configure_and_build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

configure_and_build build
ctest --test-dir build --output-on-failure -j"$jobs"

if [ "${KTEV_QUICK:-0}" != 1 ]; then
  configure_and_build build-asan -DKTEV_SANITIZE=address -DKTEV_GUI=OFF -DKTEV_BENCH=OFF
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan -L core --output-on-failure -j"$jobs"

  configure_and_build build-tsan -DKTEV_SANITIZE=thread -DKTEV_GUI=OFF -DKTEV_BENCH=OFF
  # TSan cannot map its shadow memory under the kernel's full address randomisation.
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    setarch "$(uname -m)" -R ctest --test-dir build-tsan -L core --output-on-failure -j"$jobs"

  bash tests/leak_check.sh build
fi
