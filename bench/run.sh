#!/usr/bin/env bash
# Builds the benchmarks and the program (Release, in their own build folder), runs every
# benchmark and the memory figures of the running program, and prints one table (Markdown).
#
#   bash bench/run.sh                       about 5-6 minutes once built (2 of them the memory
#                                           runs); the first run also writes 10^7 records,
#                                           20 s on an idle machine, minutes on a busy one
#   KTEV_BENCH_QUICK=1 bash bench/run.sh    no 10^7 records, memory runs of 20 s: about 3 minutes
#
# KTEV_BENCH_BUILD_DIR picks the build folder (build-bench). The raw results (Google Benchmark
# JSON, the GUI swap's text, the memory lines) stay in <build>/bench-results; the filled
# databases in <build>/bench-db, reused by later runs.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KTEV_BENCH_BUILD_DIR:-build-bench}
started=$SECONDS
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

./setup.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKTEV_BENCH=ON -DKTEV_GUI=ON \
  -DKTEV_FUZZ=OFF -DKTEV_SANITIZE= >/dev/null
# The benchmarks bench/CMakeLists.txt builds, bench_database first.
mapfile -t benches <"$build/bench/benchmarks.txt"
cmake --build "$build" -j"$(nproc)" --target ktev ktev-bus-sim ktev-ini bench_tree_view bench_alarms_view \
  "${benches[@]}"

build=$(cd "$build" && pwd)
results="$build/bench-results"
rm -rf "$results"
mkdir -p "$results"
if [ "${KTEV_BENCH_QUICK:-0}" = 1 ]; then
  sizes=10000
  memory_seconds=20
else
  sizes='10000|10000000'
  memory_seconds=60
fi

# Three repetitions: the table gives their median and spread, as one run on a shared machine
# says little.
run_bench() {
  local name=$1
  shift
  echo "bench: $name" >&2
  if ! (cd "$build/bench" && "./$name" --benchmark_repetitions=3 --benchmark_out_format=json \
    --benchmark_out="$results/$name.json" "$@" >"$results/$name.txt" 2>&1); then
    cat "$results/$name.txt" >&2
    return 1
  fi
}
# The table shows 10^4 and 10^7 records; 10^6 adds time and nothing to it, but for the exports.
KTEV_BENCH_DB_CACHE="$build/bench-db" run_bench bench_database \
  --benchmark_filter="records:($sizes)/|BM_Export/"
for name in "${benches[@]:1}"; do
  run_bench "$name"
done
for name in bench_tree_view bench_alarms_view; do
  echo "bench: $name" >&2
  (cd "$build/bench" && ./$name >"$results/$name.txt" 2>"$results/$name.err")
done
echo "bench: program memory, $memory_seconds s per case" >&2
bash bench/memory.sh "$build" "$memory_seconds" "$results/memory.tsv"

python3 bench/table.py "$results"
echo
echo "Took $(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s; load average" \
  "before: $load_before, after: $(cut -d' ' -f1-3 /proc/loadavg)"
