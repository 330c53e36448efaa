#!/usr/bin/env bash
# Proves the package: apt installs it with the dependencies it declares, the
# installed pcscd shows the virtual reader, the programs run, and purging leaves
# no file of ours. Needs root.
#   scripts/package-check.sh DEB          on a fresh minimal Debian 12 tree
#                                         (debootstrap; needs network, ~4 min):
#                                         proves the Depends are complete
#   scripts/package-check.sh --host DEB   on this machine, which must have no
#                                         pcscd running (what CI runs)
set -euo pipefail
host=0
if [ "${1:-}" = "--host" ]; then host=1; shift; fi
deb=$(realpath "$1")
tree=""
pcscd=""
installed=0
work=$(mktemp -d /tmp/quillon-package-check.XXXXXX)
cleanup() {
  [ -n "$pcscd" ] && kill "$pcscd" 2>/dev/null
  if [ -n "$tree" ]; then
    for mount in "$tree/proc" "$tree/sys" "$tree/dev"; do
      mountpoint -q "$mount" && umount -l "$mount"
    done
    rm -rf "$tree"
  elif [ "$installed" -eq 1 ]; then
    apt-get purge -y -q quillon >/dev/null 2>&1 || true  # a failed check leaves this machine as it was
  fi
  rm -rf "$work"
}
trap cleanup EXIT

if [ "$host" -eq 1 ]; then
  run() { env DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 "$@"; }
  root=""
else
  tree=$(mktemp -d /tmp/quillon-package-tree.XXXXXX)
  echo "== a minimal Debian 12 tree in $tree"
  debootstrap --variant=minbase bookworm "$tree" http://deb.debian.org/debian >"$work/debootstrap.log" 2>&1 ||
    { tail -20 "$work/debootstrap.log"; exit 1; }
  mount -t proc proc "$tree/proc"
  mount --rbind /sys "$tree/sys"
  mount --rbind /dev "$tree/dev"
  run() { chroot "$tree" env DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 "$@"; }
  root=$tree
  run apt-get update -q >/dev/null
fi

echo "== apt install ./$(basename "$deb")"
cp "$deb" "$root/tmp/"
run apt-get install -y -q "/tmp/$(basename "$deb")" >"$work/install.log" 2>&1 || { tail -20 "$work/install.log"; exit 1; }
installed=1
run dpkg -L quillon >"$work/ours.txt"

echo "== the installed programs"
for program in quillon-card quillon-wizard quillon-manager; do run "$program" --version; done
# The desktop programs start when their platform plugin is there.
for program in quillon-wizard quillon-manager; do
  status=0
  run env QT_QPA_PLATFORM=offscreen timeout 5 "$program" >"$work/$program.log" 2>&1 || status=$?
  [ "$status" -eq 124 ] || { echo "$program did not stay up (exit $status):"; cat "$work/$program.log"; exit 1; }
done

echo "== the installed pcscd shows the reader"
if [ "$host" -eq 1 ] && { [ -d /run/systemd/system ] || pidof pcscd >/dev/null; }; then
  # The system's pcscd, which the package restarted (or starts on demand).
  : >"$work/pcscd.log"
else
  mkdir -p "$root/run/pcscd"
  if [ "$host" -eq 1 ]; then pcscd --foreground >"$work/pcscd.log" 2>&1 &
  else chroot "$tree" pcscd --foreground >"$work/pcscd.log" 2>&1 &
  fi
  pcscd=$!
  for _ in $(seq 50); do [ -S "$root/run/pcscd/pcscd.comm" ] && break; sleep 0.2; done
fi
run opensc-tool -l | tee "$work/readers.txt"
grep -q "Brindleworth Virtual Reader" "$work/readers.txt" || { echo "pcscd did not load the reader:"; cat "$work/pcscd.log"; exit 1; }
if [ -n "$pcscd" ]; then
  kill "$pcscd"
  wait "$pcscd" || true
  pcscd=""
fi

echo "== purge leaves nothing of ours"
run apt-get purge -y -q quillon >"$work/purge.log" 2>&1 || { tail -20 "$work/purge.log"; exit 1; }
installed=0
left=0
while read -r path; do
  if [ -f "$root$path" ] || [ -L "$root$path" ]; then echo "left behind: $path"; left=1; fi
done <"$work/ours.txt"
if [ -e "$root/var/lib/quillon" ]; then echo "left behind: /var/lib/quillon"; left=1; fi
[ "$left" -eq 0 ] && echo "package check passed"
exit "$left"
