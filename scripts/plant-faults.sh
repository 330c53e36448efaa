#!/bin/bash
# Plants each fault of faults/ in turn and runs the test suite against it: the
# suite must fail for every one. For each patch: apply it to the working tree,
# build with the dev preset, run ctest, record the outcome, take the patch back.
#
#   scripts/plant-faults.sh [--out FILE] [--keep-going] [faults/NN-name.patch | NN ...]
#
# Outcomes: caught (with the first test that failed), NOT CAUGHT, does not build,
# does not apply. The Markdown table goes to stdout and, with --out, to FILE.
# Build and test logs of each fault are kept in build/faults/.
# --keep-going runs the whole suite for each fault instead of stopping at the
# first failure (slower; the first failure is still the one reported).
set -u -o pipefail

root=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel) || exit 2
cd "$root" || exit 2

out=""
stop=(--stop-on-failure)
selected=()
while [ $# -gt 0 ]; do
  case "$1" in
    --out) out=${2:?--out needs a file}; shift 2 ;;
    --out=*) out=${1#--out=}; shift ;;
    --keep-going) stop=(); shift ;;
    -h|--help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "plant-faults: unknown option $1" >&2; exit 2 ;;
    *) selected+=("$1"); shift ;;
  esac
done

# A planted fault must be the only change: refuse a tree whose src/ differs from HEAD.
if ! git diff --quiet HEAD -- src || [ -n "$(git ls-files --others --exclude-standard -- src)" ]; then
  echo "plant-faults: src/ has uncommitted changes; commit them first" >&2
  exit 2
fi

patches=()
if [ ${#selected[@]} -eq 0 ]; then
  for p in faults/[0-9]*.patch; do [ -e "$p" ] && patches+=("$p"); done
else
  for s in "${selected[@]}"; do
    if [ -f "$s" ]; then
      patches+=("$s")
    else
      match=$(ls faults/"$s"*.patch 2>/dev/null | head -n 1)
      if [ -z "$match" ]; then echo "plant-faults: no fault $s" >&2; exit 2; fi
      patches+=("$match")
    fi
  done
fi
[ ${#patches[@]} -gt 0 ] || { echo "plant-faults: no patches in faults/" >&2; exit 2; }

export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER-ccache}
export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER-ccache}
export CCACHE_BASEDIR=${CCACHE_BASEDIR-/work} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR-1}
if [ ! -f build/dev/build.ninja ]; then
  cmake --preset dev >/dev/null || { echo "plant-faults: cmake --preset dev failed" >&2; exit 2; }
fi
logs=build/faults
mkdir -p "$logs"

# The patch in the tree, if any: taken back on every way out, Ctrl-C included.
planted=""
restore() {
  if [ -n "$planted" ]; then
    git apply -R "$planted" || echo "plant-faults: could not take back $planted; restore src/ by hand" >&2
    planted=""
  fi
}
# The last fault's objects stay in build/dev after its patch is taken back: build
# the clean tree again on the way out, so that nothing runs a planted binary.
finish() {
  restore
  nice -n 15 cmake --build --preset dev > "$logs/clean.build.log" 2>&1 ||
    echo "plant-faults: rebuilding the clean tree failed; see $logs/clean.build.log" >&2
}
trap 'finish' EXIT
trap 'echo "plant-faults: interrupted" >&2; exit 130' INT TERM HUP

# The sentence of the patch's leading '#' comment block.
describe() { sed -n '/^diff --git/q; s/^# \{0,1\}//p' "$1" | tr '\n' ' ' | sed 's/ *$//; s/|/\\|/g'; }

# The first test that failed, from ctest's progress lines ("1/9 Test #3: Name ...***Failed").
firstFailure() {
  grep -E '^ *[0-9]+/[0-9]+ +Test +#[0-9]+: ' "$1" | grep -vE ' Passed +[0-9.]+ sec$| Not Run' |
    head -n 1 | sed -E 's/^ *[0-9]+\/[0-9]+ +Test +#[0-9]+: +([^ ]+) .*\*\*\*([A-Za-z:]+( [A-Za-z]+)?).*$/\1 (\2)/'
}

rows=()
caught=0 missed=0 other=0
for patch in "${patches[@]}"; do
  name=$(basename "$patch" .patch)
  result="" first="" flaky=""
  start=$(date +%s)
  if ! git apply "$patch" 2>"$logs/$name.apply.log"; then
    result="does not apply"
    other=$((other + 1))
  else
    planted=$patch
    if ! nice -n 15 cmake --build --preset dev >"$logs/$name.build.log" 2>&1; then
      result="does not build"
      other=$((other + 1))
    else
      # A first failure that passes when run again alone is a flaky test, not the
      # fault's doing: the suite runs again without it (up to two such tests).
      skip=() passed=0 flaky=""
      for attempt in 1 2 3; do
        if nice -n 15 ctest --preset dev -j2 "${stop[@]}" --timeout 300 "${skip[@]}" >"$logs/$name.test.log" 2>&1; then
          passed=1
          break
        fi
        first=$(firstFailure "$logs/$name.test.log")
        test=${first%% *}
        [ -n "$test" ] && [ $attempt -lt 3 ] || break
        nice -n 15 ctest --preset dev --timeout 300 -R "^${test//./\\.}\$" >"$logs/$name.retry.log" 2>&1 || break
        echo "plant-faults: $name: $test failed, then passed alone: flaky, run again without it" >&2
        skip=(-E "${skip[1]:+${skip[1]}|}^${test//./\\.}\$")
        flaky="${flaky:+$flaky, }$test"
        first=""
      done
    fi
    if [ -n "$result" ]; then
      :
    elif [ "$passed" = 1 ]; then
      result="**NOT CAUGHT**"
      missed=$((missed + 1))
    else
      first=$(firstFailure "$logs/$name.test.log")
      if [ -n "$first" ]; then result="caught"; else result="ctest failed (see log)"; first="-"; fi
      caught=$((caught + 1))
    fi
    restore
  fi
  echo "plant-faults: $name: $result ${first:+($first) }in $(($(date +%s) - start)) s" >&2
  [ -z "$flaky" ] || result="$result (flaky, passed alone, left out: $flaky)"
  rows+=("| $name | $(describe "$patch") | $result | ${first:--} |")
done

{
  echo "| Fault | What it does | Result | First failing test |"
  echo "|---|---|---|---|"
  printf '%s\n' "${rows[@]}"
  echo
  echo "Caught: $caught. Not caught: $missed. Not measured (does not apply or build): $other. Of ${#patches[@]} faults."
} | if [ -n "$out" ]; then tee "$out"; else cat; fi
