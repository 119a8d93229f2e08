#!/usr/bin/env bash
# The whole test suite, from a bare Debian machine: installs the Debian packages the suite needs
# (scripts/packages.sh), then runs the default build with every test, the ASan+UBSan build with
# every test, the ThreadSanitizer build with the threaded tests, the fuzzers for a while each,
# and the Windows cross build. Stages whose tools are missing say so and are skipped.
#   scripts/run-tests.sh            everything
#   scripts/run-tests.sh --quick    the default build and its tests only
#   FUZZ_SECONDS=60                 time per fuzzer
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
quick=0
[ "${1:-}" = "--quick" ] && quick=1

source scripts/packages.sh
vita49_install_packages "${VITA49_TEST_PACKAGES[@]}"

# Each stage's header says how long the run has taken so far.
stage() { printf '\n==== %s (at %d min %02d s) ====\n' "$*" $((SECONDS / 60)) $((SECONDS % 60)); }
# Configures a preset quietly but for the lines that say which optional parts are left out.
configure() { cmake --preset "$1" | { grep '^-- vita49:' || true; }; }

stage "default build and tests"
configure default
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs" --no-tests=error
[ "$quick" = 1 ] && exit 0

stage "ASan + UBSan build and tests"
configure asan
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs" --no-tests=error

stage "ThreadSanitizer build and threaded tests"
configure tsan
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan -j "$jobs" --no-tests=error

for extra in scripts/stages/*.sh; do
  [ -e "$extra" ] || continue
  stage "$(basename "$extra" .sh)"
  bash "$extra"
done
echo
echo "All test stages passed in $((SECONDS / 60)) min $((SECONDS % 60)) s."
