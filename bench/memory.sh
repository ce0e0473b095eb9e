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
source tools/program_rig.sh
trap rig_stop_all EXIT

com=${KTEV_BENCH_COM:-201}
rate=${KTEV_BENCH_RATE:-50}
dir="$build/memory-run"

status_field() {
  awk -v key="$1:" '$1 == key { print $2 }' "/proc/$rig_program_pid/status"
}

# measure NAME SIMULATOR-ARGS...
measure() {
  local name=$1 rss hwm threads devices records status=0
  shift
  rig_prepare "$build" "$dir" "$com"
  rig_start_sim "$build" "$dir" "$com" "$@"
  rig_start_program "$dir"
  sleep "$seconds"
  if ! kill -0 "$rig_program_pid" 2>/dev/null; then
    echo "memory: the program ended early (see $dir/program.out)" >&2
    return 1
  fi
  rss=$(status_field VmRSS)
  hwm=$(status_field VmHWM)
  threads=$(status_field Threads)
  rig_stop_program 30 || status=$?
  rig_stop_all
  if [ "$status" -ne 0 ]; then
    echo "memory: the program ended with status $status on SIGTERM" >&2
    return 1
  fi
  devices=$(sqlite3 "$dir/default.db" 'SELECT COUNT(*) FROM device;')
  records=$(sqlite3 "$dir/default.db" 'SELECT COUNT(*) FROM record;')
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$name" "$seconds" "$rss" "$hwm" "$threads" \
    "$devices" "$records" >>"$out"
}

: >"$out"
measure "demo" --scenario "$rig_root/tools/scenarios/demo.txt"
measure "64 full panels, $rate changes/s" --devices 64 --rate "$rate" --pace fast --turn-every 1
