#!/usr/bin/env bash
# The whole test suite: the default build with every test, the ASan+UBSan build with every
# test, the ThreadSanitizer build with the threaded tests, the fuzzers for a while each, and
# the Windows cross build. Stages whose tools are missing say so and are skipped.
#   scripts/run-tests.sh            everything
#   scripts/run-tests.sh --quick    the default build and its tests only
#   FUZZ_SECONDS=60                 time per fuzzer
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
quick=0
[ "${1:-}" = "--quick" ] && quick=1

stage() { printf '\n==== %s ====\n' "$*"; }

stage "default build and tests"
cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs"
[ "$quick" = 1 ] && exit 0

stage "ASan + UBSan build and tests"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"

stage "ThreadSanitizer build and threaded tests"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan -j "$jobs"

for extra in scripts/stages/*.sh; do
  [ -e "$extra" ] || continue
  stage "$(basename "$extra" .sh)"
  bash "$extra"
done
echo
echo "All test stages passed."
