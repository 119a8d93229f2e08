#!/bin/sh
# SoapySDRUtil --probe through the module against the simulated instrument on 127.0.46.1:
# what SDR programs learn of the device before they stream.
#   probe_test.sh <SoapySDRUtil> <vita49-sim>   (SOAPY_SDR_PLUGIN_PATH names the module's folder)
set -eu
util=$1
sim=$2
addr=127.0.46.1
work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; cat "$work/probe" >&2 2>/dev/null || true; exit 1; }

"$sim" --address $addr --quiet >"$work/sim" 2>&1 &
pid=$!
i=0
until [ -s "$work/sim" ]; do # one line once the command port listens
  i=$((i + 1)); [ $i -lt 100 ] || fail "the simulator did not start"; sleep 0.05
done

# find answers for the named instrument only, with the label from its identity.
"$util" --find="driver=vita49,addr=$addr" >"$work/find" 2>&1 || fail "find"
grep -q "label = vita49 vita49-sim \[$addr\]" "$work/find" || { cat "$work/find" >&2; fail "find gave no labelled device"; }

"$util" --probe="driver=vita49,addr=$addr" >"$work/probe" 2>&1 || fail "probe exited non-zero"
expect() { grep -qE -- "$1" "$work/probe" || fail "probe output lacks: $1"; }
expect "driver=vita49"
expect "Channels: 1 Rx, 0 Tx"
expect "Stream formats: CS16, CS32, CF32"
expect "Native format: CS16 \[full-scale=32768\]"
expect "Stream args:"
expect "Item size"
expect "Full freq range: \[0, "
expect "Sample rates: "
expect "Filter bandwidths: \[1e-06, "
expect "Oversampling"
expect "Payload limit"
expect "Reference level"

# An address where nothing answers: make fails with a named reason, find finds nothing.
if "$util" --make="driver=vita49,addr=127.0.46.2" >"$work/bad" 2>&1; then fail "make succeeded without an instrument"; fi
grep -q "RC_" "$work/bad" || { cat "$work/bad" >&2; fail "the failure does not name its return code"; }
echo "probe ok"
