# shellcheck shell=bash
# Runs the workstation against the bus simulator in a folder of its own, for scripts that watch
# the running program (memory figures, the leak check). Sourced; the caller sets -euo pipefail
# and calls rig_stop_all from its EXIT trap, so no simulator or program outlives the script.
#
#   rig_prepare BUILD DIR COM        copy of the program in DIR, set to open COM at start
#   rig_start_sim BUILD DIR COM ARGS simulator (ARGS: --scenario, --devices...) linked as COM
#   rig_start_program DIR [WRAP...]  DIR/ktev offscreen from the repository root, under WRAP
#   rig_stop_program SECONDS         SIGTERM, then the exit status (SIGKILL after SECONDS: 137)

rig_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
rig_sim_pid=""
rig_program_pid=""

# The program, its catalogue, settings that open COM N and start the bus cycle, and an empty
# database: the build folder's own settings and records stay as they are.
rig_prepare() {
  local build=$1 dir=$2 com=$3
  rm -rf "$dir"
  mkdir -p "$dir"
  cp "$build/ui/ktev" "$build/ui/TevMessages.ini" "$dir/"
  printf '[Setup]\r\nComNum=%s\r\nIsAutoRun=1\r\n' "$com" >"$dir/ktev.ini"
  : >"$dir/default.db"
}

rig_start_sim() {
  local build=$1 dir=$2 com=$3
  shift 3
  "$build/tools/ktev-bus-sim" --com "$com" --ports-dir "$dir/ports" "$@" >"$dir/sim.out" 2>&1 &
  rig_sim_pid=$!
  for _ in $(seq 50); do
    [ -L "$dir/ports/com$com" ] && return 0
    sleep 0.1
  done
  echo "the bus simulator did not come up on COM $com (see $dir/sim.out)" >&2
  return 1
}

# The alarm sounds are looked up in sound/ of the working folder: the repository root.
rig_start_program() {
  local dir=$1
  shift
  (cd "$rig_root" && QT_QPA_PLATFORM=offscreen exec "$@" "$dir/ktev" >"$dir/program.out" 2>&1) &
  rig_program_pid=$!
}

rig_stop_program() {
  local seconds=$1 pid=$rig_program_pid status=0
  rig_program_pid=""
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq $((seconds * 10))); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    echo "the program did not end within $seconds s of SIGTERM" >&2
    kill -KILL "$pid" 2>/dev/null || true
  fi
  wait "$pid" || status=$?
  return "$status"
}

rig_stop_all() {
  local pid
  for pid in $rig_program_pid $rig_sim_pid; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rig_program_pid=""
  rig_sim_pid=""
}
