#!/usr/bin/env python3
"""Record a few seconds of an instrument's IQ stream as SigMF and print what arrived.

Without --host it starts the simulated instrument (vita49-sim) on 127.0.0.1. The recording
is written by the library on its receive thread (capture.sigmf-data and capture.sigmf-meta);
Python only sets the stream up and watches the counters.

    PYTHONPATH=build/default/python python3 python/examples/record.py [--seconds 3] [-o capture]
"""

import argparse
import contextlib
import os
import sys
import time

import vita49
from vita49.simulator import Simulator


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--host", help="the instrument (default: start the simulated one)")
    p.add_argument("--local", help="this host's address as the instrument sees it")
    p.add_argument("--sim-address", default="127.0.0.1", help="address of the simulated instrument")
    p.add_argument("--port", type=int, default=5001, help="UDP port of the stream")
    p.add_argument("--frequency", type=float, default=100e6, help="tuning frequency, Hz")
    p.add_argument("--bandwidth", type=float, default=1e6, help="CBW, Hz")
    p.add_argument("--item-size", type=int, default=16, choices=(16, 32))
    p.add_argument("--seconds", type=float, default=3.0)
    p.add_argument("-o", "--output", default="capture", help="base path of the SigMF files")
    a = p.parse_args()

    host = a.host or a.sim_address
    local = a.local or (a.sim_address if not a.host else "")
    lost_connection = []
    with contextlib.ExitStack() as stack:
        if not a.host:
            stack.enter_context(Simulator(a.sim_address))
            print(f"record: simulated instrument on {a.sim_address}:5300")
        ctl = stack.enter_context(vita49.RemoteControl(host, local_address=local, udp_port=a.port))
        ctl.init_streaming()
        ctl.tune(a.frequency)
        ctl.set_bandwidth(a.bandwidth)
        ctl.set_oversampling(True)
        ctl.set_item_size(a.item_size)
        # No read buffer: the samples go to the recording only.
        rx = vita49.Receiver(local_address=local, udp_port=a.port, sigmf=a.output, buffer_seconds=0)
        rx.on_connection_error(lambda: lost_connection.append(time.monotonic()))
        with rx:
            ctl.start()
            start = time.monotonic()
            last_bytes, last_time = 0, start
            while time.monotonic() - start < a.seconds and not lost_connection:
                time.sleep(min(1.0, a.seconds - (time.monotonic() - start)))
                s, now = rx.stats, time.monotonic()
                rate = (s.bytes_received - last_bytes) / (now - last_time) / 1e6
                last_bytes, last_time = s.bytes_received, now
                print(f"[{now - start:5.1f} s] data {s.packets_received['data']}  "
                      f"context {s.packets_received['context']} | {rate:.2f} MB/s | "
                      f"lost {sum(s.packets_lost.values())}")
            ctl.stop()
            time.sleep(0.3)  # what is on its way still arrives
        ctx, s = rx.context, rx.stats

    print("context:")
    print(f"  frequency        {ctx.frequency / 1e6:.6f} MHz")
    print(f"  bandwidth        {ctx.bandwidth / 1e6:.6f} MHz")
    print(f"  sample rate      {ctx.sample_rate / 1e6:.6f} MS/s")
    print(f"  reference level  {ctx.reference_level:.1f} dBm")
    print(f"  item size        {ctx.item_size} bits")
    if ctx.gps:
        print(f"  GPS              {ctx.gps['latitude']:.6f}, {ctx.gps['longitude']:.6f}, "
              f"{ctx.gps['altitude']:.1f} m")
    print("packets (received / discontinuities):")
    for kind in ("data", "context", "spectrum", "spectrum_context"):
        print(f"  {kind:<17}{s.packets_received[kind]} / {s.packets_lost[kind]}")
    problems = []
    print("files:")
    for suffix in (".sigmf-data", ".sigmf-meta"):
        path = a.output + suffix
        size = os.path.getsize(path) if os.path.exists(path) else None
        print(f"  {path:<24}{'missing' if size is None else f'{size} bytes'}")
        if size is None:
            problems.append(f"{path} was not written")
    data_path = a.output + ".sigmf-data"
    if os.path.exists(data_path) and ctx.item_size:
        samples = os.path.getsize(data_path) // (ctx.item_size // 4)
        print(f"  {samples} samples, {samples / ctx.sample_rate:.2f} s of the stream")
    if rx.recording_error:
        problems.append(f"recording: {rx.recording_error}")
    if lost_connection:
        problems.append("the stream connection was lost")
    if sum(s.packets_lost.values()):
        problems.append("packets were lost")
    for problem in problems:
        print(f"record: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
