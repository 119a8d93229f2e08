#!/usr/bin/env bash
# The Debian packages of the two jobs, in one place, and the one function that installs what is
# missing. Sourced by run-record.sh and run-tests.sh; add a package to its list here only.
#   scripts/packages.sh [record|tests]   prints a list, one package a line

# The main job: compiler, CMake, Ninja, nothing else.
VITA49_RECORD_PACKAGES=(cmake g++ ninja-build)

# The whole test suite.
VITA49_TEST_PACKAGES=(
  "${VITA49_RECORD_PACKAGES[@]}"
  libgtest-dev libgmock-dev libbenchmark-dev # unit and loopback tests, benchmarks
  clang libclang-rt-dev                      # the fuzzers (libFuzzer, sanitizer runtimes)
  sox python3                                # independent readers of the WAV recordings
  iproute2                                   # multicast tests in a private network namespace
  pkg-config                                 # the packaging test reads the installed vita49.pc
  g++-mingw-w64-x86-64 wine64                # the Windows cross build and its test runs
  libpcap-dev tshark                         # vita49-dump and the checks of its captures
  pybind11-dev python3-dev python3-numpy python3-pytest python3-matplotlib # the Python binding
)

# vita49_install_packages PACKAGE...
# Installs those of the packages that are not installed: with apt-get as root, through sudo
# where it exists, otherwise stops with the command to run. Says nothing when all are there.
vita49_install_packages() {
  if ! command -v dpkg-query >/dev/null 2>&1 || ! command -v apt-get >/dev/null 2>&1; then
    echo "Not a Debian system: packages are not checked; this needs the equivalents of: $*" >&2
    return 0
  fi
  local missing=()
  read -r -a missing <<<"$(vita49_packages_missing "$@")"
  [ "${#missing[@]}" -eq 0 ] && return 0

  local sudo=()
  if [ "$(id -u)" != 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
      echo "Missing Debian packages. As root, run:" >&2
      echo "  apt-get update && apt-get install --no-install-recommends ${missing[*]}" >&2
      exit 1
    fi
    sudo=(sudo)
  fi
  # noninteractive through sudo too (sudo drops the caller's environment); conffiles and
  # questions keep their defaults, so nothing waits for an answer.
  local apt=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -y -q -o Dpkg::Use-Pty=0
    -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold)
  local log
  log=$(mktemp "${TMPDIR:-/tmp}/vita49-apt.XXXXXX")
  echo "Installing Debian packages (${#missing[@]}, with what they depend on): ${missing[*]}"
  if [[ " ${missing[*]} " == *" tshark "* ]]; then
    # Capturing stays for root; the question whether others may capture is not asked.
    echo "wireshark-common wireshark-common/install-setuid boolean false" |
      "${sudo[@]}" debconf-set-selections
  fi
  if ! "${apt[@]}" update >"$log" 2>&1 ||
    ! "${apt[@]}" install --no-install-recommends "${missing[@]}" >>"$log" 2>&1; then
    tail -n 30 "$log" >&2
    echo "apt-get failed (the whole output is in $log)" >&2
    exit 1
  fi
  # A name that is no real package (a virtual one, say) would install something else and
  # be missing again on every run: stop here instead.
  local still=()
  read -r -a still <<<"$(vita49_packages_missing "${missing[@]}")"
  if [ "${#still[@]}" -gt 0 ]; then
    echo "apt-get succeeded but these are still not installed: ${still[*]} (see $log)" >&2
    exit 1
  fi
  echo "Installed $(grep -c '^Setting up ' "$log" || true) packages."
  rm -f "$log"
}

# vita49_packages_missing PACKAGE...: prints those not installed, on one line.
vita49_packages_missing() {
  local installed package missing=()
  installed=$(dpkg-query -W -f='${db:Status-Status} ${Package}\n' "$@" 2>/dev/null |
    sed -n 's/^installed //p' || true)
  for package in "$@"; do
    grep -qxF "$package" <<<"$installed" || missing+=("$package")
  done
  echo "${missing[*]}"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  case "${1:-}" in
    record) printf '%s\n' "${VITA49_RECORD_PACKAGES[@]}" ;;
    tests) printf '%s\n' "${VITA49_TEST_PACKAGES[@]}" ;;
    *) echo "usage: $0 record|tests" >&2; exit 2 ;;
  esac
fi
