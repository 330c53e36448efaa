#!/usr/bin/env bash
# Times RSA-2048 signatures (SHA256-RSA-PKCS, one pkcs11-tool run each, as a
# script would make them) through OpenSC's PKCS#11 module on a Quillon card
# served by the virtual reader, against the same number through SoftHSM2's
# module, on this machine in one run; prints both rates and their ratio (the
# goal: at least 0.5 of SoftHSM2's rate).
#
# The card lives on a temporary directory standing for a USB stick, served by a
# private pcscd in a mount namespace of its own (e2e_card_world, from the
# end-to-end tests): the host's pcscd and readers are not touched, and nothing is
# left behind. Needs root, opensc, opensc-pkcs11, softhsm2 and openssl.
#
#   sudo bench/pkcs11-sign-bench.sh [BUILD_DIR [COUNT]]
#
# BUILD_DIR (default build/release, configured with the release preset if it is
# not yet) gets the three targets the benchmark needs built; COUNT defaults to 50.
set -euo pipefail

if [[ "${1:-}" != "--in-world" ]]; then
  root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
  build="$(realpath -m "${1:-$root/build/release}")"
  count="${2:-50}"
  [[ "$count" =~ ^[1-9][0-9]*$ ]] || { echo "COUNT must be a positive number" >&2; exit 2; }
  [[ $EUID -eq 0 ]] || { echo "pkcs11-sign-bench: needs root (a private pcscd in a mount namespace)" >&2; exit 77; }
  for tool in pkcs11-tool opensc-tool softhsm2-util openssl cmake; do
    command -v "$tool" > /dev/null || { echo "pkcs11-sign-bench: $tool is not installed" >&2; exit 77; }
  done
  # A module's path: the multiarch library directory on Debian, lib64 or lib elsewhere.
  find_module() {
    local arch dir
    arch="$(gcc -print-multiarch 2> /dev/null || true)"
    for dir in ${arch:+/usr/lib/$arch} /usr/lib64 /usr/lib /usr/local/lib; do
      for path in "$dir/$1" "$dir/pkcs11/$1" "$dir/softhsm/$1"; do
        [[ -f "$path" ]] && { echo "$path"; return 0; }
      done
    done
    echo "pkcs11-sign-bench: $1 not found" >&2
    return 1
  }
  opensc_module="$(find_module opensc-pkcs11.so)"
  softhsm_module="$(find_module libsofthsm2.so)"

  (cd "$root" && { [[ -f "$build/CMakeCache.txt" ]] || cmake --preset release -B "$build" > /dev/null; })
  cmake --build "$build" --target e2e_card_world quillon-card ifd-quillon > /dev/null
  exec "$build/tests/e2e/e2e_card_world" -- "$(realpath "${BASH_SOURCE[0]}")" --in-world "$count" \
    "$opensc_module" "$softhsm_module"
fi

# In the world: QUILLON_DRIVE is the stick, QUILLON_SCRATCH a private directory.
count="$2"
opensc_module="$3"
softhsm_module="$4"
pin=123456
cd "$QUILLON_SCRATCH"
printf '%s\n' "$pin" > pin
printf '%s\n' 2B7E151628AED2A6ABF7158809CF4F3C2B7E151628AED2A6 > admin-key
head -c 1024 /dev/urandom > message

now() { date +%s%N; }
# sign MODULE ID [pkcs11-tool options]: one signature of the message, into signature.
sign() {
  local module="$1" id="$2"
  shift 2
  pkcs11-tool --module "$module" "$@" --login --pin "$pin" --sign --mechanism SHA256-RSA-PKCS --id "$id" \
    --input-file message --output-file signature > /dev/null 2>&1
}
# timed NAME MODULE ID [options]: COUNT signatures after one to warm up; their
# last one must verify. Prints the seconds taken.
timed() {
  local name="$1" module="$2" id="$3"
  shift 3
  sign "$module" "$id" "$@" || { echo "pkcs11-sign-bench: $name cannot sign" >&2; exit 1; }
  local start end i
  start="$(now)"
  for ((i = 0; i < count; ++i)); do
    sign "$module" "$id" "$@" || { echo "pkcs11-sign-bench: $name signature $i failed" >&2; exit 1; }
  done
  end="$(now)"
  pkcs11-tool --module "$module" "$@" --read-object --type pubkey --id "$id" --output-file "$name.der" > /dev/null 2>&1
  openssl dgst -sha256 -verify "$name.der" -keyform DER -signature signature message > /dev/null ||
    { echo "pkcs11-sign-bench: $name's signature does not verify" >&2; exit 1; }
  awk -v ns="$((end - start))" 'BEGIN { printf "%.3f", ns / 1e9 }'
}

# The card: created through the reader, with a key pair generated on it (OpenSC
# numbers the first key 00).
"$QUILLON_CARD" init "$QUILLON_DRIVE" --pin-file pin --admin-key-file admin-key --yes > /dev/null
for ((i = 0; i < 100; ++i)); do
  opensc-tool -l 2> /dev/null | grep -q " Yes " && break
  sleep 0.05
done
pkcs11-tool --module "$opensc_module" --login --pin "$pin" --keypairgen --key-type rsa:2048 --label bench \
  > /dev/null 2>&1 || { echo "pkcs11-sign-bench: no key pair on the card" >&2; exit 1; }

# SoftHSM2: a token of its own in the scratch directory.
mkdir tokens
printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' "$PWD" > softhsm2.conf
export SOFTHSM2_CONF="$PWD/softhsm2.conf"
softhsm2-util --init-token --free --label bench --pin "$pin" --so-pin 87654321 > /dev/null
pkcs11-tool --module "$softhsm_module" --token-label bench --login --pin "$pin" --keypairgen --key-type rsa:2048 \
  --id 01 --label bench > /dev/null 2>&1 || { echo "pkcs11-sign-bench: no key pair in SoftHSM2" >&2; exit 1; }

card_s="$(timed card "$opensc_module" 00)"
softhsm_s="$(timed softhsm "$softhsm_module" 01 --token-label bench)"
awk -v n="$count" -v c="$card_s" -v s="$softhsm_s" 'BEGIN {
  printf "%d RSA-2048 signatures with pkcs11-tool (SHA256-RSA-PKCS), one process each\n", n
  printf "  Quillon card (OpenSC, virtual reader): %7.3f s  %7.2f signatures/s\n", c, n / c
  printf "  SoftHSM2:                              %7.3f s  %7.2f signatures/s\n", s, n / s
  printf "  ratio card/SoftHSM2: %.2f (goal: >= 0.5)\n", s / c
}'
