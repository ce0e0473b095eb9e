#!/usr/bin/env bash
# Builds the Debian package: a Release build in build-package/ (KTEV_PACKAGE_DIR), then CPack.
# Prints the path of ktev_<version>_amd64.deb; install it with
#   sudo apt install ./build-package/ktev_<version>_amd64.deb
set -euo pipefail
cd "$(dirname "$0")/.."
./setup.sh
build=${KTEV_PACKAGE_DIR:-build-package}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKTEV_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target ktev ktev-bus-sim ktev-ini ktev_man
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls -t "$build"/ktev_*_amd64.deb | head -n 1)
echo "$(pwd)/$deb"
