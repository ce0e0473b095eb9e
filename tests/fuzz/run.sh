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
cmake --build build-fuzz -j"$(nproc)"
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in build-fuzz/tests/fuzz/fuzz_*; do
    [ -x "$f" ] && targets+=("$(basename "$f")")
  done
fi
for t in "${targets[@]}"; do
  name=${t#fuzz_}
  corpus=tests/fuzz/corpus/$name
  mkdir -p "$corpus"
  work=$(mktemp -d)
  echo "fuzz: $t for ${seconds}s"
  build-fuzz/tests/fuzz/"$t" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
    "$work" "$corpus" 2>&1 | tail -n 4
  # Keep only the inputs that add coverage.
  merged=$(mktemp -d)
  build-fuzz/tests/fuzz/"$t" -merge=1 "$merged" "$corpus" "$work" >/dev/null 2>&1
  rm -rf "$corpus" "$work"
  mv "$merged" "$corpus"
done
