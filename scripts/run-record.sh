#!/usr/bin/env bash
# The main job, from a bare Debian machine: installs what building needs (compiler, CMake,
# Ninja), builds the library and the tools (the main preset: no tests, no benchmarks), and
# records a few seconds of the simulated instrument's stream with vita49-record, which leaves
# capture.wav and capture.iq in the current directory.
#   scripts/run-record.sh [vita49-record options]     (--help lists them)
set -euo pipefail
here=$(pwd)
cd "$(dirname "$0")/.."
source scripts/packages.sh
vita49_install_packages "${VITA49_RECORD_PACKAGES[@]}"

cmake --preset main >/dev/null
cmake --build --preset main
record=$(pwd)/build/main/tools/record/vita49-record
cd "$here"
exec "$record" "$@"
