#!/usr/bin/env bash
# The whole test suite, from a bare Debian machine: installs the Debian packages the suite needs
# (scripts/packages.sh), then runs the default build with every test, the ASan+UBSan build with
# every test, the ThreadSanitizer build with the threaded tests, the fuzzers for a while each,
# and the Windows cross build. Stages whose tools are missing say so and are skipped. A failing
# stage does not stop the later ones; the run fails at the end, naming every failed stage.
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

failed=()
# stage NAME COMMAND...: the header says how long the run has taken so far.
stage() {
  local name=$1
  shift
  printf '\n==== %s (at %d min %02d s) ====\n' "$name" $((SECONDS / 60)) $((SECONDS % 60))
  if ! "$@"; then
    echo "==== FAILED: $name"
    failed+=("$name")
  fi
}
# Called where errexit does not apply (under "if"), hence the chain of &&. Configuring is
# quiet but for the lines that say which optional parts are left out.
build_and_test() {
  cmake --preset "$1" | { grep '^-- vita49:' || true; } &&
    cmake --build --preset "$1" -j "$jobs" &&
    ctest --preset "$1" -j "$jobs" --no-tests=error
}

stage "default build and tests" build_and_test default
if [ "$quick" = 0 ]; then
  stage "ASan + UBSan build and tests" build_and_test asan
  stage "ThreadSanitizer build and threaded tests" build_and_test tsan
  for extra in scripts/stages/*.sh; do
    [ -e "$extra" ] || continue
    stage "$(basename "$extra" .sh)" bash "$extra"
  done
fi

echo
if [ "${#failed[@]}" -gt 0 ]; then
  echo "Test stages failed after $((SECONDS / 60)) min $((SECONDS % 60)) s:"
  printf '  %s\n' "${failed[@]}"
  exit 1
fi
echo "All test stages passed in $((SECONDS / 60)) min $((SECONDS % 60)) s."
