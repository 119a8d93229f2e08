#!/usr/bin/env python3
"""Spectrum and waterfall of a few seconds of an instrument's IQ stream, saved as a PNG.

Without --host it starts the simulated instrument (vita49-sim) on 127.0.0.1 and looks at its
tone. The upper plot is the average spectrum computed from the IQ samples, beside the
instrument's own spectrum trace; the lower one the waterfall, one row per block.

    PYTHONPATH=build/default/python python3 python/examples/spectrum.py [-o spectrum.png]
"""

import argparse
import contextlib

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import vita49  # noqa: E402
from vita49.simulator import Simulator  # noqa: E402


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--host", help="the instrument (default: start the simulated one)")
    p.add_argument("--local", help="this host's address as the instrument sees it")
    p.add_argument("--sim-address", default="127.0.0.1", help="address of the simulated instrument")
    p.add_argument("--port", type=int, default=5001, help="UDP port of the stream")
    p.add_argument("--frequency", type=float, default=100e6, help="tuning frequency, Hz")
    p.add_argument("--bandwidth", type=float, default=1e6, help="CBW, Hz")
    p.add_argument("--seconds", type=float, default=3.0)
    p.add_argument("--fft", type=int, default=1024, help="points of each spectrum")
    p.add_argument("-o", "--output", default="spectrum.png")
    a = p.parse_args()

    host = a.host or a.sim_address
    local = a.local or (a.sim_address if not a.host else "")
    traces = []
    with contextlib.ExitStack() as stack:
        if not a.host:
            stack.enter_context(Simulator(a.sim_address))
        ctl = stack.enter_context(vita49.RemoteControl(host, local_address=local, udp_port=a.port))
        ctl.init_streaming()
        ctl.tune(a.frequency)
        ctl.set_bandwidth(a.bandwidth)
        ctl.set_oversampling(True)
        rx = stack.enter_context(vita49.Receiver(local_address=local, udp_port=a.port))
        rx.on_spectrum(lambda trace, ctx: traces.append((trace, ctx)))
        ctl.start()
        first = rx.read(a.fft, timeout=5.0)
        rate = rx.context.sample_rate
        rows = max(1, int(a.seconds * rate) // a.fft)
        iq = np.concatenate([first, rx.read((rows - 1) * a.fft, timeout=a.seconds + 5.0)])
        ctx = rx.context
        ctl.stop()

    # Full scale is the reference level: a sample of magnitude 1 carries reference_level dBm.
    window = np.hanning(a.fft).astype(np.float32)
    blocks = iq[: rows * a.fft].reshape(rows, a.fft) * window
    power = np.abs(np.fft.fftshift(np.fft.fft(blocks, axis=1), axes=1)) ** 2 / np.sum(window) ** 2
    levels = 10 * np.log10(power + 1e-20) + ctx.reference_level
    offsets = np.fft.fftshift(np.fft.fftfreq(a.fft, 1 / rate))
    mhz = (ctx.frequency + offsets) / 1e6

    fig, (top, bottom) = plt.subplots(2, 1, figsize=(10, 8), height_ratios=[1, 2], constrained_layout=True)
    top.plot(mhz, 10 * np.log10(np.mean(10 ** (levels / 10), axis=0)), lw=0.8, label="from the IQ samples")
    if traces:
        trace, tctx = traces[-1]
        points = np.arange(trace.size) - trace.size // 2
        top.plot((tctx.center_frequency + points * tctx.spacing) / 1e6, trace, lw=0.8,
                 label="instrument's trace")
    top.set_xlim(mhz[0], mhz[-1])
    top.set_ylabel("level (dBm)")
    top.set_title(f"{ctx.frequency / 1e6:g} MHz, {rate / 1e6:g} MS/s, {rows * a.fft / rate:.2f} s")
    top.legend(loc="upper right")
    top.grid(alpha=0.3)
    image = bottom.imshow(levels, aspect="auto", origin="lower", cmap="viridis",
                          extent=(mhz[0], mhz[-1], 0, rows * a.fft / rate),
                          vmin=np.percentile(levels, 5), vmax=levels.max())
    bottom.set_xlabel("frequency (MHz)")
    bottom.set_ylabel("time (s)")
    fig.colorbar(image, ax=bottom, label="dBm")
    fig.savefig(a.output, dpi=110)
    peak = int(np.argmax(np.mean(power, axis=0)))
    print(f"{rows} spectra of {a.fft} points, peak at {mhz[peak]:.4f} MHz "
          f"({offsets[peak] / 1e3:+.1f} kHz from the centre), {levels[:, peak].mean():.1f} dBm; "
          f"gaps in the samples: {len(rx.last_read_gaps)}; written {a.output}")


if __name__ == "__main__":
    main()
