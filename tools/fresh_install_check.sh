#!/usr/bin/env bash
# Installs the package into a fresh Debian 12 root and starts the menu's launcher there as an
# ordinary user, offscreen, until the simulated bus's first record is stored: what a
# control-room PC goes through, without touching this machine's own packages. Needs root,
# debootstrap and the Debian mirror.
#
#   sudo bash tools/fresh_install_check.sh build-package/ktev_0.1_amd64.deb [ROOT]
#
# ROOT (default /var/tmp/ktev-fresh-root) is made with debootstrap when it is missing and kept
# for the next run.
set -euo pipefail
deb=$(readlink -f "${1:?the .deb to install}")
root=${2:-/var/tmp/ktev-fresh-root}
if [ "$(id -u)" -ne 0 ]; then
  echo "fresh_install_check: run it as root (chroot, mounts)" >&2
  exit 1
fi
command -v debootstrap >/dev/null || apt-get install -y -qq debootstrap
if [ ! -x "$root/usr/bin/apt-get" ]; then
  debootstrap --variant=minbase bookworm "$root" http://deb.debian.org/debian
fi

cleanup() {
  umount "$root/dev/pts" "$root/proc" 2>/dev/null || true
}
trap cleanup EXIT
mount --bind /proc "$root/proc"
# A devpts of its own: the simulator's pseudo-terminal must be one the chroot can open.
mount -t devpts devpts "$root/dev/pts" -o newinstance,ptmxmode=0666,mode=620
ln -sfn pts/ptmx "$root/dev/ptmx"
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$deb" "$root/tmp/ktev.deb"

chroot "$root" sh -c 'apt-get update -qq &&
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --reinstall /tmp/ktev.deb' >/dev/null
chroot "$root" sh -c 'id ktevop >/dev/null 2>&1 || useradd -m -N ktevop'
home=$root/home/ktevop/.local/share/ktev
rm -rf "$home"

# The menu entry's command, as an ordinary user, with no display.
chroot "$root" su ktevop -c 'cd && QT_QPA_PLATFORM=offscreen exec ktev-workstation' \
  >"$root/tmp/ktev-workstation.out" 2>&1 &
launcher=$!
records=0
for _ in $(seq 600); do
  if [ -s "$home/default.db" ]; then
    records=$(chroot "$root" su ktevop -c \
      "ktev --export csv --home ~/.local/share/ktev --db ~/.local/share/ktev/default.db \
       --out /tmp/ktev-check.csv >/dev/null 2>&1 && tail -n +2 /tmp/ktev-check.csv | wc -l" ||
      echo 0)
    [ "$records" -gt 0 ] && break
  fi
  kill -0 "$launcher" 2>/dev/null || break
  sleep 0.2
done
pkill -TERM -f /usr/bin/ktev-workstation 2>/dev/null || true
status=0
wait "$launcher" || status=$?
if [ "$records" -gt 0 ] && [ "$status" -eq 0 ]; then
  echo "fresh_install_check: $records records of the simulated bus stored in $home/default.db"
  exit 0
fi
echo "fresh_install_check: no record stored (launcher ended with $status):" >&2
cat "$root/tmp/ktev-workstation.out" >&2
exit 1
