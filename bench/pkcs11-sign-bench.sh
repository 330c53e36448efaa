#!/usr/bin/env bash
# Times RSA-2048 signatures (CKM_SHA256_RSA_PKCS) made one after another in one
# PKCS#11 session, as an application that signs repeatedly makes them: through
# OpenSC's module on a Quillon card served by the virtual reader, and through
# SoftHSM2's module, alternating ROUNDS times in one run. Prints each side's
# median rate, their ratio (the goal: the card at least 1.1 times SoftHSM2's
# rate) and where one card signature's time goes: OpenSC and PKCS#11 in the
# application, the messages to pcscd and the reader driver, and the card.
#
# The card lives on a temporary directory standing for a USB stick, served by a
# private pcscd in a mount namespace of its own (e2e_card_world, from the
# end-to-end tests): the host's pcscd and readers are not touched, and nothing is
# left behind. Needs root, opensc, opensc-pkcs11, softhsm2 and openssl.
#
#   sudo bench/pkcs11-sign-bench.sh [BUILD_DIR [COUNT [ROUNDS]]]
#
# BUILD_DIR (default build/release, configured with the release preset if it is
# not yet) gets the targets the benchmark needs built; COUNT (signatures per
# session) defaults to 200, ROUNDS to 5.
set -euo pipefail

if [[ "${1:-}" != "--in-world" ]]; then
  root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
  build="$(realpath -m "${1:-$root/build/release}")"
  count="${2:-200}"
  rounds="${3:-5}"
  [[ "$count" =~ ^[1-9][0-9]*$ ]] || { echo "COUNT must be a positive number" >&2; exit 2; }
  [[ "$rounds" =~ ^[1-9][0-9]*$ ]] || { echo "ROUNDS must be a positive number" >&2; exit 2; }
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
  cmake --build "$build" --target e2e_card_world quillon-card ifd-quillon quillon_bench quillon_pkcs11_sign \
    quillon_pcsc_timer > /dev/null
  exec "$build/tests/e2e/e2e_card_world" -- "$(realpath "${BASH_SOURCE[0]}")" --in-world "$count" \
    "$opensc_module" "$softhsm_module" "$build/bench" "$rounds"
fi

# In the world: QUILLON_DRIVE is the stick, QUILLON_SCRATCH a private directory.
count="$2"
opensc_module="$3"
softhsm_module="$4"
bench_dir="$5"
rounds="$6"
tool="$bench_dir/quillon_pkcs11_sign"
pin=123456
cd "$QUILLON_SCRATCH"
printf '%s\n' "$pin" > pin
printf '%s\n' 2B7E151628AED2A6ABF7158809CF4F3C2B7E151628AED2A6 > admin-key
head -c 1024 /dev/urandom > message

# OpenSC reads PC/SC through the timing library, which counts the commands of a
# signature and the time spent in them.
printf 'app default {\n  reader_driver pcsc {\n    provider_library = "%s";\n  }\n}\n' \
  "$bench_dir/libquillon_pcsc_timer.so" > opensc.conf
export OPENSC_CONF="$PWD/opensc.conf" QUILLON_PCSC_TIMER="$bench_dir/libquillon_pcsc_timer.so"

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

# field NAME LINE: the value of NAME=value in the tool's line.
field() { sed -n "s/.*\\b$1=\\([0-9.]*\\).*/\\1/p" <<< "$2"; }
# verify NAME MODULE ID [options]: the last signature verifies with the token's public key.
verify() {
  local name="$1" module="$2" id="$3"
  shift 3
  pkcs11-tool --module "$module" "$@" --read-object --type pubkey --id "$id" --output-file "$name.der" > /dev/null 2>&1
  openssl dgst -sha256 -verify "$name.der" -keyform DER -signature "$name.sig" message > /dev/null ||
    { echo "pkcs11-sign-bench: $name's signature does not verify" >&2; exit 1; }
}

card_rates=() softhsm_rates=() card_lines=()
for ((round = 0; round < rounds; ++round)); do
  line="$("$tool" sign "$opensc_module" "$pin" 00 "$count" message card.sig)" ||
    { echo "pkcs11-sign-bench: the card cannot sign" >&2; exit 1; }
  card_lines+=("$line")
  card_rates+=("$(awk -v n="$count" -v t="$(field total_us "$line")" 'BEGIN { printf "%.2f", n * 1e6 / t }')")
  line="$("$tool" sign "$softhsm_module" "$pin" 01 "$count" message softhsm.sig bench)" ||
    { echo "pkcs11-sign-bench: SoftHSM2 cannot sign" >&2; exit 1; }
  softhsm_rates+=("$(awk -v n="$count" -v t="$(field total_us "$line")" 'BEGIN { printf "%.2f", n * 1e6 / t }')")
done
verify card "$opensc_module" 00
verify softhsm "$softhsm_module" 01 --token-label bench

# Where a card signature goes: the round trip of a command that changes nothing
# (pcscd's messages, the driver, a card that does next to nothing), and the card
# alone signing (MSE and COMPUTE DIGITAL SIGNATURE through transmit, in process).
roundtrip="$(field roundtrip_us "$("$tool" roundtrip 2000)")"
card_sign="$("$bench_dir/quillon_bench" --benchmark_filter='^BM_Sign2048$' --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true --benchmark_format=csv 2> /dev/null |
  awk -F, '/_median"/ { printf "%.1f", $3 }')"

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
card_rate="$(median "${card_rates[@]}")"
softhsm_rate="$(median "${softhsm_rates[@]}")"
# The breakdown of the round whose rate is the median.
for i in "${!card_rates[@]}"; do [[ "${card_rates[$i]}" == "$card_rate" ]] && mid="${card_lines[$i]}"; done

awk -v n="$count" -v r="$rounds" -v c="$card_rate" -v s="$softhsm_rate" \
  -v cr="${card_rates[*]}" -v sr="${softhsm_rates[*]}" \
  -v total="$(field total_us "$mid")" -v tx="$(field transmits "$mid")" -v txus="$(field transmit_us "$mid")" \
  -v calls="$(field calls "$mid")" -v callus="$(field call_us "$mid")" \
  -v rt="$roundtrip" -v cs="$card_sign" 'BEGIN {
  per = total / n
  printf "%d RSA-2048 signatures (CKM_SHA256_RSA_PKCS) per PKCS#11 session, %d rounds alternating\n", n, r
  printf "  Quillon card (OpenSC, virtual reader): %8.1f signatures/s (rounds: %s)\n", c, cr
  printf "  SoftHSM2:                              %8.1f signatures/s (rounds: %s)\n", s, sr
  printf "  ratio card/SoftHSM2: %.2f (goal: >= 1.1)\n", c / s
  printf "One card signature: %.0f us; %.1f calls to pcscd, %.1f of them commands to the card\n", per, calls, tx
  printf "  OpenSC and PKCS#11 in the application:  %6.0f us\n", per - callus
  printf "  pcscd calls other than commands:        %6.0f us (transactions, status)\n", callus - txus
  printf "  commands: pcscd and the reader driver:  %6.0f us (%.0f us a command that does nothing)\n", tx * rt, rt
  printf "  commands: the card signing, in pcscd:   %6.0f us (alone, in process: %s us)\n", txus - tx * rt, cs
}'
