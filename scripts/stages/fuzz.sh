#!/usr/bin/env bash
# CI stage: every fuzz target for FUZZ_SECONDS (default 60) seconds, two at a time. A finding
# fails the stage and leaves its input in fuzz/regressions/<target>/.
set -euo pipefail
cd "$(dirname "$0")/../.."
if ! command -v clang++ >/dev/null 2>&1; then
  echo "SKIPPED: clang++ is not installed (Debian packages clang and libclang-rt-dev)"
  exit 0
fi
exec fuzz/run-fuzzers.sh "${FUZZ_SECONDS:-60}"
