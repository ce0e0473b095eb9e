#!/usr/bin/env bash
# Installs every Debian package the workstation needs to build, run and test. Safe to run again:
# it only asks apt for what is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config clang clang-format libclang-rt-14-dev
  qt6-base-dev qt6-multimedia-dev libqt6svg6 qt6-qpa-plugins qt6-translations-l10n
  libsqlite3-dev sqlite3 libfmt-dev libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth python3 valgrind
  libxlsxwriter-dev python3-openpyxl poppler-utils
  dpkg-dev file
  libmosquitto-dev nlohmann-json3-dev mosquitto mosquitto-clients openssl
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
echo "setup: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
