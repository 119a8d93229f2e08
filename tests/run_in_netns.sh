#!/bin/sh
# Runs a test program inside a private network namespace with only a loopback interface and
# a multicast route on it, so that no group join or datagram can leave this machine.
# Exit code 77 (skipped) where private namespaces are not permitted.
if [ "$(id -u)" = 0 ]; then ns="unshare -n"; else ns="unshare -rn"; fi
if ! $ns sh -c 'ip link set lo up && ip route add 224.0.0.0/4 dev lo' >/dev/null 2>&1; then
  echo "SKIPPED: a private network namespace with a multicast route is not permitted here"
  exit 77
fi
exec $ns sh -c 'ip link set lo up && ip route add 224.0.0.0/4 dev lo && exec "$0" "$@"' "$@"
