#!/usr/bin/env bash
# Memory of the running program: the workstation on the simulated bus, once with the demo
# scenario and once with 64 full panels (256 loops, 128 relays each) changing at random. After
# the given time it reads VmRSS, VmHWM and the thread count from /proc, ends the program with
# SIGTERM and counts the devices and records it stored.
#
#   bash bench/memory.sh BUILD SECONDS OUT    one line per case into OUT (tab-separated)
set -euo pipefail
build=$(cd "$1" && pwd)
seconds=$2
out=$(realpath "$3")
cd "$(dirname "$0")/.."

com=${KTEV_BENCH_COM:-201}
rate=${KTEV_BENCH_RATE:-50}
dir="$build/memory-run"
# The harness writes the program's settings with ktev-ini.
cmake --build "$build" --target ktev-ini >/dev/null

# measure NAME SIMULATOR-ARGS...
measure() {
  local name=$1 figures rss hwm threads devices records
  shift
  if ! figures=$(python3 tools/workstation.py --build "$build" --folder "$dir" --com "$com" \
    --seconds "$seconds" -- "$@"); then
    echo "memory: the run of $name failed (see $dir/program.out)" >&2
    return 1
  fi
  read -r rss hwm threads <<<"$figures"
  devices=$(sqlite3 "$dir/default.db" 'SELECT COUNT(*) FROM device;')
  records=$(sqlite3 "$dir/default.db" 'SELECT COUNT(*) FROM record;')
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$name" "$seconds" "$rss" "$hwm" "$threads" \
    "$devices" "$records" >>"$out"
}

: >"$out"
measure "demo" --scenario "$(pwd)/tools/scenarios/demo.txt"
measure "64 full panels, $rate changes/s" --devices 64 --rate "$rate" --pace fast --turn-every 1
