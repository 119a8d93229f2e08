#!/bin/bash
# Runs the README's first program (tools/example/FirstStream.cpp) against the simulated
# instrument, as a new user would, and checks what it says and what it recorded.
#   example_first_stream.sh SIM EXAMPLE README SOURCE ADDRESS [GROUP]
# With README and SOURCE given, the README's program must be that source, byte for byte.
set -u
sim=$1 example=$2 readme=$3 source=$4 address=$5 group=${6:-}
fail() { echo "FAILED: $*" >&2; exit 1; }

if [ "$readme" != - ]; then
  shown=$(sed -n '/<!-- the program of tools\/example\/FirstStream.cpp -->/,/^```$/p' "$readme" | sed '1,2d;$d')
  [ -n "$shown" ] || fail "the README shows no program after its marker"
  [ "$shown" = "$(cat "$source")" ] || fail "the README's program is not tools/example/FirstStream.cpp"
fi

work=$(mktemp -d)
trap 'kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; rm -rf "$work"' EXIT
"$sim" --address "$address" --quiet >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do
  (exec 3<>"/dev/tcp/$address/5300") 2>/dev/null && break
  sleep 0.1
done

cd "$work" || exit 1
timeout 30 "$example" "$address" "$address" $group >out.txt 2>err.txt
status=$?
cat out.txt err.txt
[ "$status" = 0 ] || fail "the program exited with $status"
read -r packets samples lost < <(sed -n 's/^\([0-9]*\) packets, \([0-9]*\) samples, \([0-9]*\) lost$/\1 \2 \3/p' out.txt)
[ -n "${packets:-}" ] || fail "no summary line"
[ "$packets" -gt 100 ] || fail "only $packets packets in three seconds"
[ "$lost" = 0 ] || fail "$lost packets lost on loopback"
[ "$(grep -c ' s: .* packets$' out.txt)" = 3 ] || fail "not one count per second"
if command -v soxi >/dev/null 2>&1; then
  recorded=$(soxi -s capture.wav) || fail "sox does not read capture.wav"
  [ "$recorded" = "$samples" ] || fail "capture.wav holds $recorded samples, the callbacks saw $samples"
fi
echo "passed: $packets packets, $samples samples"
