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
if [ ! -x "$program" ]; then
  echo "run: $program was not built" >&2
  exit 1
fi

# Sets ComNum and IsAutoRun=1 in the [Setup] section of the settings file (Windows-1251,
# CR LF), keeping every other line; creates the file or the section when missing.
set_port() {
  local ini=$1 com=$2 tmp
  tmp=$(mktemp "$ini.XXXXXX")
  [ -f "$ini" ] || : >"$ini"
  LC_ALL=C awk -v com="$com" '
    function finish() {
      if (!done_com) print "ComNum=" com "\r"
      if (!done_auto) print "IsAutoRun=1\r"
      done_com = done_auto = 1
    }
    {
      sub(/\r$/, "")
      t = tolower($0)
      gsub(/^[ \t]+|[ \t]+$/, "", t)
    }
    t ~ /^\[.*\]$/ {
      if (in_setup) finish()
      in_setup = (t == "[setup]")
      if (in_setup) seen = 1
      print $0 "\r"
      next
    }
    in_setup && t ~ /^comnum[ \t]*=/ { if (!done_com) print "ComNum=" com "\r"; done_com = 1; next }
    in_setup && t ~ /^isautorun[ \t]*=/ { if (!done_auto) print "IsAutoRun=1\r"; done_auto = 1; next }
    { print $0 "\r" }
    END {
      if (in_setup) finish()
      else if (!seen) { print "[Setup]\r"; finish() }
    }' "$ini" >"$tmp"
  mv "$tmp" "$ini"
}

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

set_port "$program.ini" "$com"
# A first run with the default database starts on an empty one instead of asking for a file.
if ! LC_ALL=C grep -qi '^[[:space:]]*DBFile[[:space:]]*=' "$program.ini" && [ ! -e "$ui_dir/default.db" ]; then
  : >"$ui_dir/default.db"
fi
# The alarm sounds are looked up in sound/ of the working folder.
status=0
"$program" "$@" || status=$?
exit "$status"
