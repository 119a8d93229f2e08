#!/usr/bin/env bash
# CI stage: the Windows cross build with mingw-w64 (library, unit tests, fuzz corpus replays),
# so that the Winsock side of the platform layer is compiled on every submission. Where wine
# is installed the test programs then run under it, one wine start per program (a start per
# test case, as CTest would do, takes far too long).
set -euo pipefail
cd "$(dirname "$0")/../.."
if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1; then
  echo "SKIPPED: the mingw-w64 cross compiler is not installed (Debian package g++-mingw-w64-x86-64)"
  exit 0
fi
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j "$(nproc 2>/dev/null || echo 2)"

wine=$(command -v wine64 || command -v wine || true)
[ -z "$wine" ] && [ -x /usr/lib/wine/wine64 ] && wine=/usr/lib/wine/wine64
if [ -z "$wine" ]; then
  echo "Windows build done; its tests were not run: wine is not installed (Debian package wine64)"
  exit 0
fi

build=build/mingw
export WINEPREFIX="${WINEPREFIX:-$PWD/$build/wineprefix}" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Keep one wine server for all the programs, and end it afterwards.
wineserver="$(dirname "$(readlink -f "$wine")")/wineserver"
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] && "$wineserver" -p 30 >/dev/null 2>&1 || true
trap '[ -n "$wineserver" ] && "$wineserver" -k >/dev/null 2>&1 || true' EXIT

failed=0
run() {
  local name=$1
  shift
  local out
  if out=$(timeout 600 "$wine" "$@" 2>&1); then
    echo "passed  $name: $(printf '%s\n' "$out" | grep -E 'PASSED|inputs replayed' | tail -1)"
  else
    echo "FAILED  $name"
    printf '%s\n' "$out" | tail -40
    failed=1
  fi
}
for test in "$build"/tests/*_test.exe; do
  [ -e "$test" ] || continue
  run "$(basename "$test" .exe)" "$test" --gtest_brief=1
done
for replay in "$build"/fuzz/fuzz_*_replay.exe; do
  [ -e "$replay" ] || continue
  target=$(basename "$replay" _replay.exe)
  target=${target#fuzz_}
  run "fuzz replay $target" "$replay" "fuzz/corpus/$target" "fuzz/regressions/$target"
done
[ "$failed" = 0 ] || { echo "Windows tests failed under wine" >&2; exit 1; }
echo "Windows tests passed under wine."
