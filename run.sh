#!/usr/bin/env bash
# Sets up, builds and starts the workstation. With no real bus configured it starts the bus
# simulator with the demo scenario on a pseudo-terminal and points the workstation at it.
#
#   bash run.sh                  simulated bus (demo scenario) on COM 100, ports/com100
#   KTEV_COM=33 bash run.sh      a real RS-485 adapter on COM 33 (/dev/ttyUSB0, or ports/com33)
#
# KTEV_SIM_COM picks the simulator's port number, KTEV_BUILD_DIR the build folder (build).
# Arguments after the script's name go to the program.
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)
build=${KTEV_BUILD_DIR:-build}
./setup.sh
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j"$(nproc)"

ui_dir="$root/$build/ui"
program="$ui_dir/ktev"
# The settings file is edited with the program's own profile-file code (Windows-1251, every
# other line kept).
ktev_ini="$root/$build/tools/ktev-ini"
for built in "$program" "$ktev_ini"; do
  if [ ! -x "$built" ]; then
    echo "run: $built was not built" >&2
    exit 1
  fi
done

sim_pid=""
stop_simulator() {
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
}
trap stop_simulator EXIT

if [ -n "${KTEV_COM:-}" ]; then
  com=$KTEV_COM
else
  com=${KTEV_SIM_COM:-100}
fi
if ! [[ "$com" =~ ^[0-9]+$ ]] || [ "$com" -lt 1 ] || [ "$com" -gt 255 ]; then
  echo "run: the COM port number must be 1..255, not '$com'" >&2
  exit 1
fi

if [ -z "${KTEV_COM:-}" ]; then
  "$root/$build/tools/ktev-bus-sim" --com "$com" --ports-dir "$ui_dir/ports" \
    --scenario "$root/tools/scenarios/demo.txt" &
  sim_pid=$!
  for _ in $(seq 50); do
    [ -L "$ui_dir/ports/com$com" ] && break
    sleep 0.1
  done
  if [ ! -L "$ui_dir/ports/com$com" ]; then
    echo "run: the bus simulator did not come up on COM $com" >&2
    exit 1
  fi
  echo "run: simulated bus on COM $com ($ui_dir/ports/com$com)"
fi

"$ktev_ini" "$program.ini" set Setup ComNum "$com" IsAutoRun 1
# A first run with the default database starts on an empty one instead of asking for a file.
if ! "$ktev_ini" "$program.ini" get Setup DBFile >/dev/null 2>&1 && [ ! -e "$ui_dir/default.db" ]; then
  : >"$ui_dir/default.db"
fi
# The alarm sounds are looked up in sound/ of the working folder.
status=0
"$program" "$@" || status=$?
exit "$status"
