#!/bin/sh
# The installed workstation as the menu starts it (installed as ktev-workstation). The home is
# ${KTEV_HOME:-$HOME/.local/share/ktev} (or --home DIR first on the command line): created at the
# first start, with the installed catalogue copied there for the site to edit. While its
# settings name no real port it starts the installed bus simulator on the demo scenario, linked
# as the home's ports/com100, and stops it when the program ends. KTEV_COM=N names a real port
# and starts no simulator. Other arguments go to the program.
set -eu

if [ "${1:-}" = --home ] && [ $# -ge 2 ]; then
  KTEV_HOME=$2
  shift 2
fi
home=${KTEV_HOME:-$HOME/.local/share/ktev}
bin=$(dirname "$(readlink -f "$0")")
prefix=$(dirname "$bin")
data=$prefix/share/ktev
ini_tool=$prefix/lib/ktev/ktev-ini
ini=$home/ktev.ini
sim_com=${KTEV_SIM_COM:-100}

fail() {
  echo "ktev-workstation: $*" >&2
  exit 1
}

mkdir -p "$home" || fail "папка $home не создана"
if [ ! -e "$home/TevMessages.ini" ]; then
  cp "$data/TevMessages.ini" "$home/TevMessages.ini" || fail "каталог сообщений не скопирован в $home"
  chmod u+w "$home/TevMessages.ini"
fi

# A program already on this home: it refuses the second start and shows its window, and its
# simulator's link must not be replaced.
if [ -e "$home/ktev.lock" ]; then
  pid=$(head -n 1 "$home/ktev.lock" 2>/dev/null || true)
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    exec "$bin/ktev" --home "$home" "$@"
  fi
fi

valid_com() {
  case $1 in
    '' | *[!0-9]*) return 1 ;;
  esac
  [ "$1" -ge 1 ] && [ "$1" -le 255 ]
}

if [ -n "${KTEV_COM:-}" ]; then
  valid_com "$KTEV_COM" || fail "номер COM порта должен быть 1..255, а не '$KTEV_COM'"
  "$ini_tool" "$ini" set Setup ComNum "$KTEV_COM"
  exec "$bin/ktev" --home "$home" "$@"
fi
valid_com "$sim_com" || fail "номер COM порта должен быть 1..255, а не '$sim_com'"
com=$("$ini_tool" "$ini" get Setup ComNum 2>/dev/null || true)
if valid_com "$com" && [ "$com" != "$sim_com" ]; then
  exec "$bin/ktev" --home "$home" "$@"
fi

"$bin/ktev-bus-sim" --com "$sim_com" --ports-dir "$home/ports" --scenario "$data/scenarios/demo.txt" &
sim=$!
program=""
stop() {
  if [ -n "$program" ]; then
    kill -TERM "$program" 2>/dev/null || true
  fi
}
trap stop TERM INT HUP
trap 'kill -TERM "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true' EXIT
tries=0
while [ ! -L "$home/ports/com$sim_com" ]; do
  tries=$((tries + 1))
  if [ "$tries" -gt 100 ] || ! kill -0 "$sim" 2>/dev/null; then
    fail "имитатор шины не запустился на COM $sim_com"
  fi
  sleep 0.1
done
"$ini_tool" "$ini" set Setup ComNum "$sim_com" IsAutoRun 1
# The first start opens an empty default database instead of asking for a file.
if ! "$ini_tool" "$ini" get Setup DBFile >/dev/null 2>&1 && [ ! -e "$home/default.db" ]; then
  : >"$home/default.db"
fi
"$bin/ktev" --home "$home" "$@" &
program=$!
status=0
# A signal ends the first wait early; the program is then waited for again to its end.
wait "$program" || status=$?
while kill -0 "$program" 2>/dev/null; do
  status=0
  wait "$program" || status=$?
done
exit "$status"
