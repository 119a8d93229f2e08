#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz preset: clang, ASan + UBSan) and runs every one of them
# for SECONDS (default 60), FUZZ_JOBS at a time (default 2). Each run starts from the seed
# corpus in fuzz/corpus/<target> and the inputs kept in fuzz/regressions/<target>, and grows
# a working corpus under build/fuzz/corpus/<target>. A crash, leak, time-out or memory blow-up
# fails the script; the input that caused it is written to fuzz/regressions/<target>/, where
# the replay tests of every build pick it up: commit it with the fix.
#   fuzz/run-fuzzers.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
jobs=${FUZZ_JOBS:-2}
case "$seconds" in '' | *[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;; esac

targets=()
for source in fuzz/*_fuzzer.cpp; do
  targets+=("$(basename "$source" _fuzzer.cpp)")
done
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs" --target "${targets[@]/#/fuzz_}"

run_one() {
  local target=$1 seconds=$2
  local work=build/fuzz/corpus/$target log=build/fuzz/fuzz_$target.log
  mkdir -p "$work" "fuzz/regressions/$target"
  local status=0
  "build/fuzz/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="fuzz/regressions/$target/" \
    "$work" "fuzz/corpus/$target" "fuzz/regressions/$target" >"$log" 2>&1 || status=$?
  local runs cov
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 || true)
  if [ "$status" -ne 0 ]; then
    echo "FAILED  $target after ${runs:-?} runs (exit $status); input kept in fuzz/regressions/$target/"
    grep -E 'ERROR|broken invariant|SUMMARY|Test unit written' "$log" | head -20
    return 1
  fi
  echo "ok      $target: ${runs:-?} runs in ${seconds}s, ${cov:-cov: ?}"
}
export -f run_one

echo "Fuzzing ${#targets[@]} targets for ${seconds}s each, $jobs at a time"
if printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'run_one "$1" "$2"' _ {} "$seconds"; then
  echo "All fuzz targets ran without a finding."
else
  echo "A fuzz target failed: see the lines above and build/fuzz/fuzz_<target>.log" >&2
  exit 1
fi
