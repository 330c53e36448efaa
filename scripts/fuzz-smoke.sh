#!/usr/bin/env bash
# CI's fuzz stage: builds the fuzz targets (fuzz preset, clang with libFuzzer,
# ASan and UBSan, warnings as errors), replays every seed corpus, then fuzzes
# each target for a bounded time, two at a time. Exits non-zero on a build
# failure or on any finding (crash, leak, sanitizer report, broken invariant,
# timeout, memory limit), after printing the target's log and the path of the
# input that reproduces it:  ./build/fuzz/fuzz/<target> <reproducer>
#
# Settings (environment): FUZZ_SECONDS per target (60), FUZZ_JOBS targets at
# once (2), FUZZ_RSS_MB memory limit (1024), FUZZ_TIMEOUT seconds per input (25).
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
jobs=${FUZZ_JOBS:-2}
rss_mb=${FUZZ_RSS_MB:-1024}
timeout=${FUZZ_TIMEOUT:-25}
bin=build/fuzz/fuzz
out=build/fuzz/smoke

# target:seed corpus directory under fuzz/corpus
targets=(
  apdu_fuzz:apdu
  stored_card_fuzz:stored-card
  container_fuzz:container
  xml_roundtrip_fuzz:container
  tlv_fuzz:tlv
  mszip_fuzz:mszip
  mszip_roundtrip_fuzz:mszip-roundtrip
)

start=$(date +%s)
if ! { cmake --preset fuzz >/dev/null && cmake --build --preset fuzz --target quillon_fuzz; }; then
  echo "fuzz-smoke: the fuzz build failed" >&2
  exit 1
fi
echo "fuzz-smoke: built in $(($(date +%s) - start)) s"

rm -rf "$out"
mkdir -p "$out"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# Replays every seed once (-runs=0), then fuzzes with new inputs kept in $out, so
# that the committed corpus is never written to. Each step's log is kept.
run_target() {
  local name=$1 seeds=fuzz/corpus/$2 dir=$out/$1
  mkdir -p "$dir/corpus" "$dir/artifacts"
  local flags=(-rss_limit_mb="$rss_mb" -timeout="$timeout" -artifact_prefix="$dir/artifacts/")
  "$bin/$name" "${flags[@]}" -runs=0 "$seeds" >"$dir/replay.log" 2>&1 || return 1
  "$bin/$name" "${flags[@]}" -max_total_time="$seconds" -print_final_stats=1 "$dir/corpus" "$seeds" \
    >"$dir/fuzz.log" 2>&1
}

report() {
  local name=$1 dir=$out/$1 log
  log=$dir/fuzz.log
  [[ -s $log ]] || log=$dir/replay.log
  local runs rate
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/fuzz.log" 2>/dev/null)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$dir/fuzz.log" 2>/dev/null)
  if [[ $2 == 0 ]]; then
    printf 'fuzz-smoke: %-22s ok    %10s runs %8s exec/s\n' "$name" "${runs:-?}" "${rate:-?}"
    return
  fi
  printf 'fuzz-smoke: %-22s FAILED (exit %s), log %s\n' "$name" "$2" "$log"
  tail -n 60 "$log"
  local found=0 artifact
  for artifact in "$dir"/artifacts/*; do
    [[ -e $artifact ]] || continue
    found=1
    echo "fuzz-smoke: reproduce with: $bin/$name $artifact"
  done
  [[ $found == 1 ]] || echo "fuzz-smoke: no reproducer written; the log above says why"
}

failed=0
for entry in "${targets[@]}"; do
  while (($(jobs -rp | wc -l) >= jobs)); do wait -n; done
  name=${entry%%:*}
  (
    run_target "$name" "${entry#*:}"
    echo $? >"$out/$name/status"
  ) &
done
wait
for entry in "${targets[@]}"; do
  name=${entry%%:*}
  status=$(cat "$out/$name/status" 2>/dev/null || echo missing)
  report "$name" "$status"
  [[ $status == 0 ]] || failed=1
done

echo "fuzz-smoke: done in $(($(date +%s) - start)) s"
exit "$failed"
