#!/usr/bin/env bash
# Tries the README's two commands as a new user would: on a bare Debian 12 (a minbase root file
# system with nothing but git, entered with chroot), as root, each command timed. Run as root
# on a Debian 12 host; the committed HEAD of this repository is what gets cloned and tried.
#   scripts/check-fresh-machine.sh [--record-only]
#   FRESH_ROOT=/work/fresh-root  the bare root file system: made once (mmdebstrap, with this
#                                host's apt sources), then kept as it is
#   FRESH_RUN=/work/fresh-run    a copy of it, made anew each run, where the commands install
#                                and build; the output of each command is kept in
#                                $FRESH_RUN.logs/
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
base=${FRESH_ROOT:-/work/fresh-root}
run=${FRESH_RUN:-/work/fresh-run}
logs=$run.logs
record_only=0
[ "${1:-}" = "--record-only" ] && record_only=1

die() { echo "check-fresh-machine: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || die "needs root (mmdebstrap, mounts, chroot)"
for dir in "$base" "$run"; do
  case "$dir" in /*) ;; *) die "$dir: an absolute path, please" ;; esac
  case "$dir/" in "$repo"/*) die "$dir: keep the fresh machine outside the repository" ;; esac
done

# Mount points at or below a directory, deepest first.
mounts_below() {
  awk -v d="$1" '$5 == d || index($5, d "/") == 1 { print $5 }' /proc/self/mountinfo | sort -r
}
# Processes whose root directory is the copy: whatever a command left running there.
processes_inside() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$run" ] && echo "${p#/proc/}"
  done
  return 0
}
release() {
  local pids m
  pids=$(processes_inside)
  # shellcheck disable=SC2086 # one argument per process id
  [ -n "$pids" ] && kill $pids 2>/dev/null && sleep 2
  pids=$(processes_inside)
  # shellcheck disable=SC2086
  [ -n "$pids" ] && kill -KILL $pids 2>/dev/null && sleep 1
  for m in $(mounts_below "$run"); do umount "$m" || true; done
  return 0
}

# shellcheck source=scripts/packages.sh
source "$repo/scripts/packages.sh"
vita49_install_packages mmdebstrap git

if [ ! -d "$base/usr" ]; then
  sources=/etc/apt/sources.list.d/debian.sources
  [ -f "$sources" ] || sources=/etc/apt/sources.list
  echo "Making the bare root file system in $base"
  mmdebstrap --variant=minbase --include=git,ca-certificates bookworm "$base" "$sources"
fi

# A new copy each run. Nothing may be mounted in the old one before it goes: removing a bound
# /dev or /proc would reach the host's.
if [ -e "$run" ]; then
  release
  [ -z "$(mounts_below "$run")" ] || die "still mounted below $run: $(mounts_below "$run" | tr '\n' ' ')"
  rm -rf --one-file-system "$run"
fi
cp -a "$base" "$run"
rm -rf "$logs"
mkdir -p "$logs"
trap release EXIT
for m in proc dev sys; do mount --bind "/$m" "$run/$m"; done
cp /etc/resolv.conf "$run/etc/resolv.conf"
git clone -q "$repo" "$run/root/vita49"
echo "Trying $(git -C "$run/root/vita49" log -1 --format='%h %s')"

# A login's environment, not this one's (no pyenv or cargo on PATH, no locale).
in_fresh() {
  chroot "$run" /usr/bin/env -i HOME=/root TERM=dumb SHELL=/bin/bash \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/bash -c "cd /root/vita49 && $1" </dev/null
}
# Every line of the log says when it came, in seconds from the command's start.
stamp() {
  local line start=$SECONDS
  while IFS= read -r line; do printf '[%5d s] %s\n' $((SECONDS - start)) "$line"; done
}
timed() { # name command
  local name=$1 start status=0
  echo
  echo "==== $name: $2"
  start=$(date +%s)
  in_fresh "$2" 2>&1 | stamp | tee "$logs/$name.log" || status=$?
  echo "==== $name: exit $status after $(($(date +%s) - start)) s (log: $logs/$name.log)"
  return "$status"
}

status=0
timed main-job scripts/run-record.sh || status=1
if [ "$record_only" = 0 ]; then
  timed tests scripts/run-tests.sh || status=1
fi
exit "$status"
