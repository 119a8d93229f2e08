"""vita49.Decoder on a capture of the simulated instrument's datagrams: the same samples as
datagrams and as a byte stream cut anywhere, gaps where datagrams are missing, SigMF."""

import json
import random
import socket
import time

import numpy as np
import pytest

import vita49
from conftest import discontinuities, set_up

ADDRESS_BLOCK = 44


@pytest.fixture
def capture(instrument, address):
    """About 0.4 s of the instrument's stream as the datagrams a plain socket received."""
    instrument()
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    sock.bind((address, 5004))
    sock.settimeout(2.0)
    datagrams = []
    with set_up(address, port=5004) as ctl:
        ctl.start()
        end = time.monotonic() + 0.4
        while time.monotonic() < end:
            datagrams.append(sock.recv(65536))
        ctl.stop()
    sock.close()
    return datagrams


def decode_datagrams(datagrams, **keywords):
    with vita49.Decoder(connection="udp", stream_id=7, **keywords) as dec:
        for d in datagrams:
            dec.push_datagram(d)
        stats = dec.stats
        iq = dec.read(stats.samples_buffered)
    return iq, dec


def test_datagrams_and_a_byte_stream_cut_anywhere_decode_alike(capture):
    iq, dec = decode_datagrams(capture)
    assert len(iq) > 300_000 and discontinuities(iq) == [] and dec.last_read_gaps == []
    assert dec.context.sample_rate == 1.25e6 and dec.stats.packets_lost["data"] == 0

    stream = b"".join(capture)
    cuts = sorted(random.Random(5).sample(range(1, len(stream)), 400))
    with vita49.Decoder(connection="tcp-client", stream_id=7) as tcp:
        for a, b in zip([0] + cuts, cuts + [len(stream)]):
            tcp.push_bytes(memoryview(stream)[a:b])
        with pytest.raises(vita49.TimeoutError):
            tcp.read(len(iq) + 1)  # one more than there is; nothing is taken
        again = tcp.read(len(iq))
    assert np.array_equal(iq, again)
    with pytest.raises(vita49.Error) as caught:
        tcp.push_bytes(stream[:100])  # closed
    assert caught.value.code == vita49.RC_INVALID_ARGUMENT


def test_missing_datagrams_are_gaps_where_the_tone_jumps(capture):
    data = [d for d in capture if len(d) > 8000]  # the IF data packets: 2048 samples each
    missing = {5, 6, 40}
    kept = [d for d in capture if not (len(d) > 8000 and data.index(d) in missing)]
    iq, dec = decode_datagrams(kept)
    assert dec.stats.packets_lost["data"] == 2  # discontinuities: 5 and 6 make one
    assert discontinuities(iq) == dec.last_read_gaps == [5 * 2048, 38 * 2048]


def test_callbacks_run_inside_the_push_and_nothing_else_may(capture):
    calls = []
    dec = vita49.Decoder(connection="udp", stream_id=7, buffer_seconds=0)

    @dec.on_data
    def data(ctx, samples):
        calls.append(len(samples))
        with pytest.raises(RuntimeError):
            dec.push_datagram(capture[0])  # from inside its own callback

    with dec:
        for d in capture:
            dec.push_datagram(d)
        with pytest.raises(ValueError):
            dec.read(1)  # no buffer kept
    assert sum(calls) == 2048 * dec.stats.packets_received["data"] > 300_000
    assert dec.stats.callback_errors == 0


def test_sigmf_holds_the_samples_read(capture, tmp_path):
    iq, dec = decode_datagrams(capture, sigmf=tmp_path / "capture")
    assert dec.recording_error is None
    data = np.fromfile(tmp_path / "capture.sigmf-data", dtype="<i2").reshape(-1, 2)
    assert np.array_equal((data[:, 0] + 1j * data[:, 1].astype(np.float32)) / 32768, iq)
    meta = json.loads((tmp_path / "capture.sigmf-meta").read_text())
    assert meta["global"]["core:datatype"] == "ci16_le" and meta["global"]["core:sample_rate"] == 1.25e6
    assert meta["captures"][0]["core:frequency"] == 433.92e6


def test_a_recording_that_cannot_be_written_is_reported(capture, tmp_path):
    with vita49.Decoder(connection="udp", stream_id=7, raw=tmp_path / "missing" / "capture.iq") as dec:
        for d in capture[:20]:
            dec.push_datagram(d)
    assert dec.recording_error and "capture.iq" in dec.recording_error
