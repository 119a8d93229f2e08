#!/usr/bin/env bash
# Builds the benchmarks in Release, runs them all and prints the table of figures against
# their targets: figure, ours, baseline, ratio, target, met or missed. Every target is a
# ratio measured side by side in the same run (or an absolute figure where the target is
# one), so a busy machine moves both sides alike; still, run it on a quiet machine.
#
#   bench/run-benchmarks.sh          about two minutes; the fixed-rate UDP run lasts 5 s
#   bench/run-benchmarks.sh --full   the fixed-rate UDP run lasts 20 s
#
# BUILD_DIR (default build/bench) is where it builds; VITA49_BENCH_* variables are passed on
# to the loopback benchmark (see bench/loopback_bench.cpp). The raw JSON of every program
# is left in $BUILD_DIR/results.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build/bench}
if [ "${1:-}" = "--full" ]; then
  export VITA49_BENCH_SUSTAIN_SECONDS=20
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVITA49_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target dispatch_bench decoder_bench loopback_bench
results="$build/results"
mkdir -p "$results"

run() {
  local name=$1
  shift
  printf '\n==== %s ====\n' "$name"
  "$build/bench/$name" --benchmark_out="$results/$name.json" --benchmark_out_format=json "$@"
}
run dispatch_bench
run decoder_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
run loopback_bench

python3 - "$results" <<'EOF'
import json, os, sys

results = sys.argv[1]
rows = {}
for name in ("dispatch_bench", "decoder_bench", "loopback_bench"):
    with open(os.path.join(results, name + ".json")) as f:
        for b in json.load(f)["benchmarks"]:
            if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
                continue
            key = b["run_name"].split("/")[0]
            if "error_message" in b:
                b["error"] = b["error_message"]
            rows[key] = b

table = []

def get(key, counter):
    b = rows.get(key)
    if b is None or "error" in b:
        return None
    return b.get(counter)

def add(figure, ours, base, ratio, target, met):
    verdict = met if isinstance(met, str) else "-" if met is None else ("met" if met else "MISSED")
    table.append((figure, ours, base, ratio, target, verdict))

# A paced UDP run says something only if the sender kept the rate it was asked for (within the
# 2 % its bursts may lag); a sender that could not is no fault of the receiver.
def paced_verdict(lost, sent_rate, offered_rate):
    if lost > 0:
        return False
    return True if sent_rate >= 0.98 * offered_rate else "inconclusive: sender too slow"

def gbps(v):
    return "n/a" if v is None else f"{v:.2f} GB/s"

def ratio_row(figure, key, minimum, base_label="", target=None):
    ours, base, r = get(key, "GB_per_s"), get(key, "base_GB_per_s"), get(key, "ratio")
    if r is None:
        add(figure, rows.get(key, {}).get("error", "not run"), "", "", target or "", False if minimum else None)
        return
    pkts = get(key, "pkt_per_s")
    ours_text = gbps(ours) + (f", {pkts / 1e6:.1f} Mpkt/s" if pkts and pkts > 1e6 else "")
    add(figure, ours_text, gbps(base) + base_label, f"{r:.2f}x",
        target if target is not None else (f">= {minimum}x" if minimum else "-"),
        None if minimum is None else r >= minimum)

ratio_row("dispatch (a) wire order, whole packets/receive", "BM_Dispatch_NoConversionWholePackets", 10, " memcpy")
ratio_row("dispatch (a) wire order, byte stream (tail moved)", "BM_Dispatch_NoConversion", None, " memcpy")
ratio_row("dispatch (b) to little-endian", "BM_Dispatch_ToLittleEndian", 0.5, " memcpy")
ratio_row("dispatch (c) raw file, little-endian", "BM_Dispatch_RawRecording", 0.5, " write()")
ratio_row("dispatch (c) raw file, wire order", "BM_Dispatch_RawRecordingWireOrder", 0.5, " write()")
ratio_row("dispatch (d) SigMF file vs raw file", "BM_Dispatch_SigMFRecording", 0.9, " raw file")
ratio_row("cut loop, literal removal rule", "BM_RemovalRule_Literal", None, " memcpy")
ratio_row("cut loop, moving offset", "BM_RemovalRule_MovingOffset", None, " memcpy")

def ns(key):
    b = rows.get(key)
    if b is None or "error" in b:
        return None
    scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
    return b["cpu_time"] * scale

full = ns("BM_FullContext_Decode")
add("context packet, full decode (CPU time)", "n/a" if full is None else f"{full:.1f} ns", "", "", "< 25 ns",
    None if full is None else full < 25)
for key, label in (("BM_FullContext_ThroughDecoder", "context packet through the cutting unit"),
                   ("BM_DataPacket_ThroughDecoder", "data packet through the cutting unit"),
                   ("BM_Field_Bandwidth", "field: bandwidth"),
                   ("BM_Field_RfReferenceFrequency", "field: RF reference frequency"),
                   ("BM_Field_ReferenceLevel", "field: reference level"),
                   ("BM_Field_SampleRate", "field: sample rate"),
                   ("BM_Field_PayloadFormat", "field: payload format"),
                   ("BM_Field_FormattedGps", "field: formatted GPS")):
    v = ns(key)
    add(label, "n/a" if v is None else f"{v:.1f} ns", "", "", "-", None)

ratio_row("TCP_SERVER receiver vs bare loop", "BM_TcpServer", 0.9, " bare")
ratio_row("TCP_CLIENT receiver vs bare loop", "BM_TcpClient", 0.9, " bare")

flat = rows.get("BM_UdpFlatOut", {})
if "error" not in flat and "ratio" in flat:
    add("UDP flat out (sender-bound)", f"{gbps(flat['GB_per_s'])}, lost {int(flat['lost'])}",
        f"{gbps(flat['base_GB_per_s'])}, lost {int(flat['base_lost'])}", f"{flat['ratio']:.2f}x", "-", None)
paced = rows.get("BM_UdpAtBareRate", {})
if "error" not in paced and "GB_per_s" in paced and "base_GB_per_s" in flat:
    r = paced["sent_GB_per_s"] / flat["base_GB_per_s"]
    add("UDP receiver at 0.9x the bare loop's rate", f"sent {gbps(paced['sent_GB_per_s'])}, lost {int(paced['lost'])}",
        gbps(flat["base_GB_per_s"]) + " bare", f"{r:.2f}x", ">= 0.9x, 0 lost",
        paced_verdict(paced["lost"], paced["sent_GB_per_s"], 0.9 * flat["base_GB_per_s"]))
else:
    add("UDP receiver at 0.9x the bare loop's rate", paced.get("error", "not run"), "", "", ">= 0.9x, 0 lost", False)
def sustained_row(key, what, fallback):
    sus = rows.get(key, {})
    if "error" not in sus and "sent_GB_per_s" in sus:
        add(f"UDP {sus['offered_GB_per_s']:.2f} GB/s for {sus['seconds']:.0f} s{what}",
            f"sent {gbps(sus['sent_GB_per_s'])}, lost {int(sus['lost'])}", "", "",
            f"0 lost at {sus['offered_GB_per_s']:.2f} GB/s",
            paced_verdict(sus["lost"], sus["sent_GB_per_s"], sus["offered_GB_per_s"]))
    else:
        add(fallback, sus.get("error", "not run"), "", "", "0 lost", False)

sustained_row("BM_UdpSustained", "", "UDP sustained")
sustained_row("BM_UdpSustainedRecording", ", raw+WAV+SigMF on", "UDP sustained, recordings on")

head = ("figure", "ours", "baseline", "ratio", "target", "")
widths = [max(len(str(r[i])) for r in table + [head]) for i in range(6)]
print()
for r in [head] + table:
    print("  ".join(str(c).ljust(w) for c, w in zip(r, widths)).rstrip())
EOF
