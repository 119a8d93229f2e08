#!/usr/bin/env python3
"""Reads a SigMF recording back with nothing but json and numpy, and checks it.

Exit status 0 when every check holds; 1 with one line per failure otherwise; 77 when numpy
is missing. The checks that need an expectation run only when it is given.
"""

import argparse
import json
import os
import re
import sys

try:
    import numpy as np
except ImportError:
    print("numpy is not installed")
    sys.exit(77)

DATETIME = re.compile(r"^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{9}Z$")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("base")
    p.add_argument("--datatype")
    p.add_argument("--sample-rate", type=float)
    p.add_argument("--samples", type=int, help="exact sample count")
    p.add_argument("--min-samples", type=int, default=0)
    p.add_argument("--frequencies", help="comma-separated core:frequency of the capture segments, in order")
    p.add_argument("--tone-offset", type=float, help="expected tone in Hz from the centre, at least in segment 0")
    p.add_argument("--losses", type=int, help="number of packet-loss annotations")
    p.add_argument("--missing-each", type=int, help="vita49:missing_packets of every loss annotation")
    p.add_argument("--stopped", action="store_true", help="ends with a 'recording stopped' annotation")
    p.add_argument("--datetime", action="store_true", help="every capture segment carries core:datetime")
    p.add_argument("--same-as", help="a file whose bytes the dataset must equal")
    a = p.parse_args()

    errors = []

    def check(ok, text):
        if not ok:
            errors.append(text)

    with open(a.base + ".sigmf-meta", encoding="utf-8") as f:
        meta = json.load(f)
    g = meta["global"]
    datatype = g["core:datatype"]
    check(datatype in ("ci16_le", "ci32_le"), f"datatype {datatype}")
    check(isinstance(g["core:version"], str) and g["core:version"].startswith("1.2."), "version")
    check(g.get("core:num_channels") == 1, "num_channels")
    check(isinstance(g["core:recorder"], str) and g["core:recorder"].startswith("vita49 "), "recorder")
    check(isinstance(g["core:description"], str) and g["core:description"], "description")
    ext = [e for e in g["core:extensions"] if e["name"] == "vita49"]
    check(len(ext) == 1 and ext[0]["optional"] is True, "vita49 extension")
    if a.datatype:
        check(datatype == a.datatype, f"datatype {datatype}, expected {a.datatype}")
    if a.sample_rate is not None:
        check(g.get("core:sample_rate") == a.sample_rate, f"sample_rate {g.get('core:sample_rate')}")

    item = np.dtype("<i2") if datatype == "ci16_le" else np.dtype("<i4")
    size = os.path.getsize(a.base + ".sigmf-data")
    check(size % (2 * item.itemsize) == 0, f"data file of {size} bytes holds a partial sample")
    raw = np.fromfile(a.base + ".sigmf-data", dtype=item)
    n = raw.size // 2
    if a.samples is not None:
        check(n == a.samples, f"{n} samples, expected {a.samples}")
    check(n >= a.min_samples, f"{n} samples, expected at least {a.min_samples}")
    if a.same_as:
        with open(a.same_as, "rb") as f, open(a.base + ".sigmf-data", "rb") as d:
            check(f.read() == d.read(), f"dataset differs from {a.same_as}")

    captures = meta["captures"]
    starts = [c["core:sample_start"] for c in captures]
    check(starts == sorted(starts), "captures not sorted")
    check(all(isinstance(s, int) and 0 <= s <= n for s in starts), "capture outside the dataset")
    if captures:
        check(starts[0] == 0, "first capture not at sample 0")
    if a.datetime:
        check(all(DATETIME.match(c.get("core:datetime", "")) for c in captures), "datetime")
    if a.frequencies:
        want = [float(x) for x in a.frequencies.split(",")]
        got = [c.get("core:frequency") for c in captures]
        check(got == want, f"capture frequencies {got}, expected {want}")

    notes = meta["annotations"]
    nstarts = [x["core:sample_start"] for x in notes]
    check(nstarts == sorted(nstarts), "annotations not sorted")
    check(all(0 <= s <= n and x["core:sample_count"] == 0 for s, x in zip(nstarts, notes)), "annotation range")
    losses = [x for x in notes if x["core:label"] == "packet loss"]
    if a.losses is not None:
        check(len(losses) == a.losses, f"{len(losses)} loss annotations, expected {a.losses}")
    for x in losses:
        m = x["vita49:missing_packets"]
        check(isinstance(m, int) and m > 0 and f"{m} packet" in x["core:comment"], f"loss annotation {x}")
        if a.missing_each is not None:
            check(m == a.missing_each, f"missing {m}, expected {a.missing_each}")
    if a.stopped:
        check(bool(notes) and notes[-1]["core:label"] == "recording stopped" and nstarts[-1] == n,
              "no 'recording stopped' annotation at the end")

    if a.tone_offset is not None and n >= 4096:
        end = starts[1] if len(starts) > 1 else n
        iq = raw[: 2 * end].astype(np.float64).reshape(-1, 2)
        z = iq[:, 0] + 1j * iq[:, 1]
        z = z[: 1 << int(np.log2(len(z)))]
        spectrum = np.abs(np.fft.fft(z * np.hanning(len(z))))
        rate = g["core:sample_rate"]
        peak = np.fft.fftfreq(len(z), 1.0 / rate)[int(np.argmax(spectrum))]
        check(abs(peak - a.tone_offset) <= 2 * rate / len(z), f"tone at {peak} Hz, expected {a.tone_offset}")

    for e in errors:
        print(e)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
