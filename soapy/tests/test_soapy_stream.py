"""The module through SoapySDR's own Python binding, as an SDR program uses it: tune, set the
rate, stream CF32 from the simulated instrument, find its tone, and see an overflow exactly
where the instrument dropped a packet. Needs SOAPY_SDR_PLUGIN_PATH (the module) and
VITA49_SIM (the simulator)."""

import os
import select
import subprocess

import numpy as np
import pytest
import SoapySDR
from SoapySDR import SOAPY_SDR_CF32, SOAPY_SDR_HAS_TIME, SOAPY_SDR_OVERFLOW, SOAPY_SDR_RX, SOAPY_SDR_TIMEOUT

FREQUENCY = 433.92e6
RATE = 2.5e6  # with oversampling on: CBW 2 MHz
TONE_FRACTION = 0.125  # the simulator's default: the tone sits at +0.125 * CBW
SAMPLES = 1_000_000


@pytest.fixture
def simulator(request):
    address, options = request.param
    process = subprocess.Popen([os.environ["VITA49_SIM"], "--address", address, "--quiet", *options],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    # One line once the command port listens.
    assert select.select([process.stdout], [], [], 5)[0], "the simulator did not start"
    process.stdout.readline()
    yield address
    process.terminate()
    process.communicate(timeout=5)


def stream(address, **args):
    """Reads SAMPLES CF32 samples; returns them, the overflow count, where the overflows came
    (samples read before each), every read's (first sample index, timeNs), and the frequency
    and rate the device reports afterwards."""
    device = SoapySDR.Device(dict(driver="vita49", addr=address, **args))
    device.setFrequency(SOAPY_SDR_RX, 0, FREQUENCY)
    device.setSampleRate(SOAPY_SDR_RX, 0, RATE)
    rx = device.setupStream(SOAPY_SDR_RX, SOAPY_SDR_CF32)
    device.activateStream(rx)
    out = np.zeros(SAMPLES, np.complex64)
    got, overflows, times, overflow_at = 0, 0, [], []
    try:
        while got < SAMPLES:
            r = device.readStream(rx, [out[got:]], SAMPLES - got, timeoutUs=2_000_000)
            if r.ret == SOAPY_SDR_OVERFLOW:
                overflows += 1
                overflow_at.append(got)
                continue
            assert r.ret != SOAPY_SDR_TIMEOUT, "no samples within 2 s"
            assert r.ret > 0, f"readStream: {r.ret}"
            assert r.flags & SOAPY_SDR_HAS_TIME
            times.append((got, r.timeNs))
            got += r.ret
        # What the context reported, once it came.
        frequency = device.getFrequency(SOAPY_SDR_RX, 0)
        rate = device.getSampleRate(SOAPY_SDR_RX, 0)
    finally:
        device.deactivateStream(rx)
        device.closeStream(rx)
    return out, overflows, overflow_at, times, frequency, rate


def jumps(times, rate):
    """Indices (in samples read) where the time of a read is not the previous one's continued."""
    out = []
    for (a, ta), (b, tb) in zip(times, times[1:]):
        expected = ta + (b - a) / rate * 1e9
        if abs(tb - expected) > 1000:  # within a microsecond
            out.append((b, tb - expected))
    return out


@pytest.mark.parametrize("simulator", [("127.0.46.4", [])], indirect=True)
def test_tone_at_its_offset_and_no_loss(simulator):
    # The default local address (the one towards the instrument); a port of this test's own.
    samples, overflows, _, times, frequency, rate = stream(simulator, udp_port="44404")
    assert overflows == 0
    assert jumps(times, RATE) == []
    assert frequency == pytest.approx(FREQUENCY)
    assert rate == pytest.approx(RATE)
    spectrum = np.abs(np.fft.fftshift(np.fft.fft(samples[-2**18:] * np.hanning(2**18))))
    bins = np.fft.fftshift(np.fft.fftfreq(2**18, 1 / RATE))
    peak = bins[np.argmax(spectrum)]
    assert peak == pytest.approx(TONE_FRACTION * RATE / 1.25, abs=2 * RATE / 2**18)
    # The tone stands well clear of the noise.
    assert spectrum.max() > 100 * np.median(spectrum)


@pytest.mark.parametrize("simulator", [("127.0.46.5", ["--skip-every", "25"])], indirect=True)
def test_overflow_exactly_where_packets_were_dropped(simulator):
    _, overflows, overflow_at, times, _, _ = stream(simulator, local=simulator, udp_port="44405")
    gaps = jumps(times, RATE)
    # Every time jump lies exactly where an overflow was reported; an overflow without a jump,
    # or a jump without one, fails.
    assert overflows > 0
    assert [at for at, _ in gaps] == overflow_at
    # Each jump is the same whole number of samples, one dropped packet's worth, and one in
    # every 25 packets went.
    lost = [late * RATE / 1e9 for _, late in gaps]
    assert all(abs(n - round(n)) < 0.01 and round(n) == round(lost[0]) and n > 0 for n in lost)
    packets = (SAMPLES + overflows * lost[0]) / lost[0]
    assert abs(overflows - packets / 25) <= 1.5
