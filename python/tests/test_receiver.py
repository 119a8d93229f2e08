"""Receiver.read end to end against the simulated instrument: the samples, their scaling, the
gaps and the overflow accounting, checked along the instrument's tone sample by sample."""

import builtins
import threading
import time

import numpy as np
import pytest

import vita49
from conftest import TONE_AMPLITUDE, TONE_CYCLES_PER_SAMPLE, discontinuities, receiver, set_up

ADDRESS_BLOCK = 41


@pytest.mark.parametrize("connection", ["udp", "tcp-server", "tcp-client"])
@pytest.mark.parametrize("item_size", [16, 32])
def test_read_delivers_the_tone_scaled_and_unbroken(instrument, address, connection, item_size):
    instrument()
    with set_up(address, connection, item_size) as ctl:
        with receiver(address, connection) as rx:
            ctl.start()
            first = rx.read(200_000, timeout=5.0)
            raw = rx.read(50_000, timeout=5.0, dtype="int16")
            second = rx.read(100_000, timeout=5.0)
            ctx, stats = rx.context, rx.stats
        ctl.stop()

    assert first.dtype == np.complex64 and first.shape == (200_000,)
    # Scaled by the item size: amplitude 0.5 of full scale either way.
    assert np.median(np.abs(first)) == pytest.approx(TONE_AMPLITUDE, abs=0.005)
    # Integers as sent: int16 pairs for 16-bit items, int32 for 32-bit ones.
    assert raw.dtype == (np.int16 if item_size == 16 else np.int32) and raw.shape == (50_000, 2)
    full_scale = 2.0 ** (item_size - 1)
    assert np.median(np.hypot(raw[:, 0], raw[:, 1].astype(np.float64))) / full_scale == pytest.approx(0.5, abs=0.005)
    # The tone's frequency, and not one sample missing within and between the reads.
    assert np.median(np.angle(first[1:] * np.conj(first[:-1]))) / (2 * np.pi) == pytest.approx(
        TONE_CYCLES_PER_SAMPLE, abs=1e-3)
    assert discontinuities(first) == [] and discontinuities(second) == []
    raw_iq = (raw[:, 0] + 1j * raw[:, 1].astype(np.float64)) / full_scale
    joined = np.concatenate([first, raw_iq, second])
    assert discontinuities(joined) == []
    assert rx.last_read_gaps == []

    assert ctx.frequency == 433.92e6 and ctx["bandwidth"] == 1e6
    assert ctx.sample_rate == 1.25e6 and ctx.reference_level == -10.0 and ctx.item_size == item_size
    assert ctx.timestamp > 1.6e9 and ctx.stream_id == 7
    assert stats.packets_lost == {"data": 0, "context": 0, "spectrum": 0, "spectrum_context": 0}
    assert stats.overflow_samples == 0 and stats.callback_errors == 0
    assert stats.samples_received == 350_000 + stats.samples_buffered


def test_lost_packets_are_gaps_exactly_where_the_samples_jump(instrument, address):
    instrument("--skip-every", "7")
    # 2048 samples a packet: a lost one turns the tone by 204.8 cycles, a visible jump.
    with set_up(address, payload_limit=8192) as ctl, receiver(address) as rx:
        ctl.start()
        blocks = []
        for _ in range(3):
            blocks.append((rx.read(60_000, timeout=5.0), rx.last_read_gaps))
        ctl.stop()
        stats = rx.stats
    assert stats.packets_lost["data"] > 0
    seen = 0
    for iq, gaps in blocks:
        # Every jump of the tone is a reported gap and every reported gap a jump (a gap at 0
        # lies between this block and the one before).
        assert discontinuities(iq) == [g for g in gaps if g > 0]
        seen += len(gaps)
    assert seen > 0


def test_a_slow_reader_loses_the_oldest_samples_counted_and_marked(instrument, address):
    instrument()
    with set_up(address) as ctl, receiver(address, buffer_seconds=0.1) as rx:
        ctl.start()
        before = rx.read(1000, timeout=5.0)
        time.sleep(1.5)  # 1.9 million samples arrive; the smallest buffer holds about one
        ctl.stop()
        time.sleep(0.3)
        stats = rx.stats
        iq = rx.read(stats.samples_buffered, timeout=0)
    assert stats.overflow_samples > 0
    assert rx.last_read_gaps == [0]  # the block starts after the dropped samples
    assert discontinuities(iq) == []
    # Every sample that arrived was read, dropped or is still waiting...
    assert stats.samples_received == 1000 + len(iq) + stats.overflow_samples
    # ...and exactly the counted ones are missing: the tone turned over them too.
    turned = np.angle(iq[0] * np.conj(before[-1])) / (2 * np.pi)
    expected = (stats.overflow_samples + 1) * TONE_CYCLES_PER_SAMPLE
    assert (turned - expected + 0.5) % 1 - 0.5 == pytest.approx(0, abs=0.01)


def test_a_read_that_times_out_keeps_what_arrived(instrument, address):
    instrument()
    with set_up(address) as ctl, receiver(address) as rx:
        ctl.start()
        head = rx.read(10_000, timeout=5.0)
        started = time.monotonic()
        with pytest.raises(vita49.TimeoutError) as caught:
            rx.read(100_000_000, timeout=0.5)
        assert 0.45 < time.monotonic() - started < 3
        assert isinstance(caught.value, builtins.TimeoutError) and isinstance(caught.value, vita49.Error)
        assert caught.value.code == vita49.RC_TIMEOUT and "RC_TIMEOUT" in str(caught.value)
        waiting = rx.stats.samples_buffered
        assert waiting > 500_000
        rest = rx.read(waiting, timeout=0)
        ctl.stop()
    assert discontinuities(np.concatenate([head, rest])) == []


def test_read_fills_a_given_array_and_refuses_a_wrong_one(instrument, address):
    instrument()
    with set_up(address, item_size=32) as ctl, receiver(address) as rx:
        ctl.start()
        out = np.zeros(30_000, np.complex64)
        assert rx.read(30_000, timeout=5.0, out=out) is out
        pairs = np.zeros((1000, 2), np.int32)
        assert rx.read(1000, timeout=5.0, out=pairs) is pairs
        with pytest.raises(ValueError):
            rx.read(1000, timeout=5.0, out=np.zeros((1000, 2), np.int16))  # 32-bit items
        with pytest.raises(ValueError):
            rx.read(10, out=np.zeros(11, np.complex64))
        more = rx.read(1000, timeout=5.0)  # the refused reads took nothing
        ctl.stop()
    assert np.abs(pairs).max() > 2**28
    assert discontinuities(np.concatenate([out, (pairs[:, 0] + 1j * pairs[:, 1]) / 2**31, more])) == []


def test_read_ends_when_the_receiver_is_closed_from_another_thread(instrument, address):
    instrument()
    rx = receiver(address).open()
    threading.Timer(0.3, rx.close).start()
    with pytest.raises(vita49.Error) as caught:
        rx.read(10, timeout=10)  # nothing streams
    assert caught.value.code == vita49.RC_CONNECTION_ERROR
    with pytest.raises(vita49.Error):
        rx.read(10, timeout=0)


def test_a_read_larger_than_the_buffer_loses_nothing(instrument, address):
    instrument()
    with set_up(address) as ctl, receiver(address, buffer_seconds=0.25) as rx:
        ctl.start()
        large = rx.read(1_500_000, timeout=5.0)  # 1.2 s of the stream, five times the buffer
        after = rx.read(100_000, timeout=5.0)
        ctl.stop()
        stats = rx.stats
    assert stats.overflow_samples == 0 and rx.last_read_gaps == []
    assert discontinuities(np.concatenate([large, after])) == []
