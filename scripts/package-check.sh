#!/usr/bin/env bash
# Proves the package on a minimal Debian 12 tree: apt installs it with the
# dependencies it declares, the installed pcscd shows the virtual reader,
# quillon-card runs, and purging leaves no file of ours. Needs root and network.
# Usage: scripts/package-check.sh build/release/quillon_<version>_amd64.deb
set -euo pipefail
deb=$(realpath "$1")
tree=$(mktemp -d /tmp/quillon-package-check.XXXXXX)
pcscd=""
cleanup() {
  [ -n "$pcscd" ] && kill "$pcscd" 2>/dev/null
  for mount in "$tree/proc" "$tree/sys" "$tree/dev/pts" "$tree/dev"; do
    mountpoint -q "$mount" && umount -l "$mount"
  done
  rm -rf "$tree"
}
trap cleanup EXIT

echo "== a minimal Debian 12 tree in $tree"
debootstrap --variant=minbase bookworm "$tree" http://deb.debian.org/debian >"$tree.log" 2>&1 ||
  { tail -20 "$tree.log"; exit 1; }
mount -t proc proc "$tree/proc"
mount --rbind /sys "$tree/sys"
mount --rbind /dev "$tree/dev"
in_tree() { chroot "$tree" env DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 "$@"; }

echo "== apt install ./$(basename "$deb")"
cp "$deb" "$tree/tmp/"
in_tree apt-get update -q >/dev/null
in_tree apt-get install -y -q "/tmp/$(basename "$deb")" >/dev/null
in_tree dpkg -L quillon >"$tree/tmp/ours.txt"

echo "== the installed programs"
in_tree quillon-card --version
in_tree quillon-wizard --version
in_tree quillon-manager --version
# The desktop programs start when their platform plugin is there.
in_tree env QT_QPA_PLATFORM=offscreen timeout 5 quillon-wizard >/dev/null 2>&1 || [ $? -eq 124 ]

echo "== the installed pcscd shows the reader"
mkdir -p "$tree/run/pcscd"
chroot "$tree" pcscd --foreground >"$tree/tmp/pcscd.log" 2>&1 &
pcscd=$!
for _ in $(seq 50); do [ -S "$tree/run/pcscd/pcscd.comm" ] && break; sleep 0.2; done
in_tree opensc-tool -l | tee "$tree/tmp/readers.txt"
grep -q "Brindleworth Virtual Reader" "$tree/tmp/readers.txt"
kill "$pcscd"
wait "$pcscd" || true

echo "== purge leaves nothing of ours"
in_tree apt-get purge -y -q quillon >/dev/null
left=0
while read -r path; do
  [ -f "$tree$path" ] || [ -L "$tree$path" ] || continue
  echo "left behind: $path"; left=1
done <"$tree/tmp/ours.txt"
[ -e "$tree/var/lib/quillon" ] && { echo "left behind: /var/lib/quillon"; left=1; }
[ "$left" -eq 0 ] && echo "package check passed"
exit "$left"
