#!/usr/bin/env bash
# Leak check of the running program: the workstation of a normal build runs under valgrind on
# the simulated bus with the demo scenario, is ended with SIGTERM as an operator's session ends,
# and the check fails on any definitely lost block, any memory error valgrind reports, an
# unclean exit, or a run that recorded nothing (it would prove little).
#
#   bash tests/leak_check.sh [BUILD [SECONDS]]     defaults: build, 60
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
seconds=${2:-60}
dir="$build/leak-check"

# Slower under valgrind, but the demo's first alarms and the late panel still come within the
# minute. No suppressions: Qt, fontconfig and the rest lose nothing definitely on this run. The
# log file is named relative to the program's folder, where it runs.
status=0
python3 tools/workstation.py --build "$build" --folder "$dir" --com "${KTEV_LEAK_COM:-202}" \
  --seconds "$seconds" --stop-within 120 \
  --under "valgrind --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite
    --error-exitcode=99 --num-callers=40 --log-file=valgrind.log" \
  -- --scenario "$(pwd)/tools/scenarios/demo.txt" >/dev/null || status=$?

if [ "$status" -ne 0 ]; then
  if [ -f "$dir/valgrind.log" ]; then
    cat "$dir/valgrind.log" >&2
  fi
  echo "leak check: FAILED (exit status $status; 99: valgrind found errors, above)" >&2
  exit 1
fi
records=$(sqlite3 "$dir/default.db" 'SELECT COUNT(*) FROM record;')
if [ "$records" -eq 0 ]; then
  echo "leak check: FAILED: the program recorded nothing (see $dir/ktev.log)" >&2
  exit 1
fi
grep -E 'definitely lost|ERROR SUMMARY' "$dir/valgrind.log"
echo "leak check: passed ($seconds s of the demo, $records records)"
