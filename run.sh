#!/usr/bin/env bash
# Sets up, builds and starts the workstation. With no real bus configured it starts the bus
# simulator with the demo scenario on a pseudo-terminal and points the workstation at it.
set -euo pipefail
cd "$(dirname "$0")"
./setup.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j"$(nproc)"
if [ ! -x build/ui/ktev ]; then
  echo "run: the workstation window is not built yet; the core library and its tests are."
  echo "run: 'bash test.sh' runs the tests."
  exit 0
fi
