"""Callbacks and threads: what the callbacks get, what an exception in one does, and closing
while a callback holds the GIL or sleeps."""

import faulthandler
import threading
import time

import numpy as np
import pytest

import vita49
from conftest import TONE_AMPLITUDE, discontinuities, receiver, set_up

ADDRESS_BLOCK = 42


def test_callbacks_get_copies_of_every_packet_beside_the_buffer(instrument, address):
    instrument()
    got = {"data": [], "context": [], "spectrum": []}
    with set_up(address) as ctl:
        rx = receiver(address, data_big_endian=False)
        rx.on_data(lambda ctx, samples: got["data"].append((ctx, samples)))

        @rx.on_context
        def context(ctx):
            got["context"].append(ctx)

        rx.on_spectrum(lambda trace, ctx: got["spectrum"].append((trace, ctx)))
        with rx:
            ctl.start()
            iq = rx.read(40_000, timeout=5.0)
            ctl.stop()
            time.sleep(0.3)
            stats = rx.stats
    data = got["data"]
    assert len(data) == stats.packets_received["data"] > 0
    ctx, samples = data[-1]
    assert samples.dtype == np.int16 and samples.shape == (2048, 2)
    assert ctx.sample_rate == 1.25e6 and ctx.data_timestamp >= ctx.timestamp
    # The callback's copies and the buffer hold the same samples.
    joined = np.concatenate([s for _, s in data])
    as_float = (joined[:, 0] + 1j * joined[:, 1].astype(np.float64)) / 32768
    assert np.allclose(as_float[:40_000], iq, atol=1e-6)
    assert discontinuities(as_float) == []
    assert len(got["context"]) == stats.packets_received["context"] > 0
    assert isinstance(got["context"][0], vita49.Context) and got["context"][0].frequency == 433.92e6
    trace, spectrum = got["spectrum"][-1]
    assert trace.dtype == np.float32 and trace.size == spectrum["points"] == 256
    assert spectrum.span == 1.25e6 and spectrum.trace_ids == [1, 2]
    # The tone's level: 6 dB below the reference level, at +CBW/8 from the centre.
    peak = int(np.argmax(trace))
    assert trace[peak] == pytest.approx(-10 + 20 * np.log10(TONE_AMPLITUDE), abs=3)
    assert (peak - trace.size // 2) * spectrum.spacing == pytest.approx(125e3, abs=2 * spectrum.spacing)


def test_big_endian_arrays_state_their_byte_order(instrument, address):
    instrument()
    arrays = []
    with set_up(address) as ctl, receiver(address, data_big_endian=True) as rx:
        rx.on_data(lambda ctx, samples: arrays.append(samples))
        ctl.start()
        rx.read(5000, timeout=5.0)
        ctl.stop()
    assert arrays[0].dtype == np.dtype(">i2")
    assert np.median(np.hypot(arrays[0][:, 0], arrays[0][:, 1].astype(float))) / 32768 == pytest.approx(0.5, abs=0.01)


def test_an_exception_in_a_callback_is_reported_once_and_the_stream_goes_on(instrument, address, capfd):
    instrument()
    with set_up(address) as ctl, receiver(address) as rx:
        def broken(ctx, samples):
            raise RuntimeError("broken callback")

        rx.on_data(broken)
        ctl.start()
        rx.read(100_000, timeout=5.0)
        errors = rx.stats.callback_errors
        rx.on_data(None)
        rx.read(10_000, timeout=5.0)
        ctl.stop()
        stats = rx.stats
    assert errors > 10 and stats.callback_errors == errors
    assert stats.packets_lost["data"] == 0 and stats.overflow_samples == 0
    err = capfd.readouterr().err
    assert err.count("RuntimeError: broken callback") == 1 and "Traceback" in err


def _spin(seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:  # holds the GIL, in pure Python
        pass


@pytest.mark.parametrize("busy", [time.sleep, _spin], ids=["sleeping", "holding-the-gil"])
def test_close_from_another_thread_while_a_slow_callback_runs(instrument, address, busy):
    instrument()
    calls = []
    entered = threading.Event()

    def slow(ctx, samples):
        calls.append(time.monotonic())
        entered.set()
        busy(0.1)

    # A deadlock would hold the GIL for good, so no Python-level time-out could report it: the
    # watchdog thread of faulthandler needs no GIL, and ends the run with every thread's stack.
    faulthandler.dump_traceback_later(30, exit=True)
    with set_up(address) as ctl:
        rx = receiver(address).open()
        rx.on_data(slow)
        ctl.start()
        assert entered.wait(5)
        closer = threading.Thread(target=rx.close)
        closer.start()
        closer.join(timeout=10)
        faulthandler.cancel_dump_traceback_later()
        assert not closer.is_alive(), "close did not return"
        assert not rx.is_open
        ended = len(calls)
        time.sleep(0.3)
        assert len(calls) == ended  # no callback after close
        ctl.stop()


def test_close_or_read_inside_a_callback_is_refused(instrument, address):
    instrument()
    with set_up(address) as ctl, receiver(address) as rx:
        refused = []

        def closing(ctx, samples):
            for call in (rx.close, lambda: rx.read(10, timeout=None)):  # each would wait for itself
                try:
                    call()
                except RuntimeError as e:
                    refused.append(str(e))

        rx.on_data(closing)
        ctl.start()
        rx.read(5000, timeout=5.0)
        ctl.stop()
    assert len(refused) >= 2 and all("inside" in text for text in refused)


def test_connection_error_reaches_the_callback_and_ends_a_waiting_read(instrument, address):
    instrument()
    lost = threading.Event()
    with set_up(address, "tcp-server", port=5002) as ctl:
        with receiver(address, "tcp-server", port=5002) as rx:
            rx.on_connection_error(lost.set)
            ctl.start()
            rx.read(10_000, timeout=5.0)
            ctl.stop()  # the instrument closes the TCP stream connection
            assert lost.wait(5)
            with pytest.raises(vita49.Error) as caught:
                rx.read(100_000_000, timeout=10)
            assert caught.value.code == vita49.RC_CONNECTION_ERROR
            assert rx.stats.connection_errors == 1
