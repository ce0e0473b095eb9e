#!/usr/bin/env bash
# Builds the fuzz targets with clang (ASan+UBSan) and runs each for the given number of seconds
# (default 60), growing its corpus under tests/fuzz/corpus/<name>.
#   bash tests/fuzz/run.sh [seconds] [target...]
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-60}
shift || true
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DKTEV_FUZZ=ON -DKTEV_SANITIZE=address \
  -DKTEV_GUI=OFF >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  cmake --build build-fuzz -j"$(nproc)"
  for f in build-fuzz/tests/fuzz/fuzz_*; do
    [ -x "$f" ] && targets+=("$(basename "$f")")
  done
else
  # Only the targets asked for: the machine is shared.
  cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]}"
fi
for t in "${targets[@]}"; do
  name=${t#fuzz_}
  corpus=tests/fuzz/corpus/$name
  mkdir -p "$corpus"
  work=$(mktemp -d)
  log=build-fuzz/$t.log
  echo "fuzz: $t for ${seconds}s (full output in $log)"
  build-fuzz/tests/fuzz/"$t" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
    -artifact_prefix=build-fuzz/"$t"- \
    "$work" "$corpus" >"$log" 2>&1 || status=$?
  # The first and last coverage lines, and the totals.
  grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::' "$log" || true
  if [ "${status:-0}" -ne 0 ]; then
    echo "fuzz: $t stopped with status $status: see $log"
    exit "$status"
  fi
  # Keep only the inputs that add coverage; when that still leaves too many to keep in the
  # repository, only those that add edges.
  merged=$(mktemp -d)
  build-fuzz/tests/fuzz/"$t" -merge=1 "$merged" "$corpus" "$work" >/dev/null 2>&1
  if [ "$(find "$merged" -type f | wc -l)" -gt 400 ]; then
    rm -rf "$merged"
    merged=$(mktemp -d)
    build-fuzz/tests/fuzz/"$t" -merge=1 -use_counters=0 "$merged" "$corpus" "$work" >/dev/null 2>&1
  fi
  rm -rf "$corpus" "$work"
  mv "$merged" "$corpus"
done
