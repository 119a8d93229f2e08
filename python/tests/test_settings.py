"""Keywords, their checks before anything opens, return codes as exceptions, and recordings
(raw, WAV, SigMF) named by os.PathLike."""

import pathlib
import struct

import pytest

import vita49
from conftest import receiver, set_up

ADDRESS_BLOCK = 43


@pytest.mark.parametrize("keywords, error", [
    ({"udp_prot": 5001}, TypeError),                 # unknown keyword
    ({"udp_port": 65536}, ValueError),
    ({"tcp_port": -1}, ValueError),
    ({"stream_id": -1}, ValueError),
    ({"stream_id": 2**32}, ValueError),
    ({"stream_id": 1.5}, TypeError),
    ({"connection": "tcp"}, ValueError),
    ({"connection": 4}, ValueError),
    ({"connection": "udp", "connection_type": "udp"}, TypeError),
    ({"local_address": "x" * 50}, ValueError),
    ({"wav": "w" * 100}, ValueError),
    ({"raw": 5}, TypeError),
    ({"buffer_seconds": -1}, ValueError),
    ({"displayed_trace": 70000}, ValueError),
])
def test_bad_keywords_raise_before_anything_opens(keywords, error, tmp_path):
    with pytest.raises(error):
        vita49.Receiver(**keywords)
    if "buffer_seconds" not in keywords and "displayed_trace" not in keywords and "raw" not in keywords \
            and "wav" not in keywords:
        with pytest.raises(error):
            vita49.RemoteControl("127.0.0.1", **keywords)


def test_connection_names_and_types_are_the_same_settings():
    for name, value in [("udp", 2), ("multicast", 3), ("tcp-server", 0), ("tcp-client", 1),
                        ("UDP_SINGLECAST", 2), ("TCP_CLIENT", 1)]:
        assert vita49.Receiver(connection=name)._settings["connection_type"] == value
        assert vita49.Receiver(connection_type=value)._settings["connection_type"] == value
    assert "tcp-server" in repr(vita49.Receiver(connection="TCP_SERVER", tcp_port=5000))


def test_failures_raise_error_with_the_code_named(address):
    ctl = vita49.RemoteControl(address)  # nothing listens there
    with pytest.raises(vita49.Error) as caught:
        ctl.open()
    assert caught.value.code in (vita49.RC_SOCKET_ERROR, vita49.RC_TIMEOUT, vita49.RC_CONNECTION_ERROR)
    assert vita49._CODE_NAMES[caught.value.code] in str(caught.value)
    with pytest.raises(vita49.Error) as caught:
        ctl.start()  # not connected
    assert caught.value.code == vita49.RC_CONNECTION_ERROR and "RC_CONNECTION_ERROR" in str(caught.value)

    rx = receiver(address, port=5003)
    with pytest.raises(vita49.Error):
        rx.read(1, timeout=0)  # never opened
    with rx:
        with pytest.raises(vita49.Error) as caught:
            rx.open()
        assert caught.value.code == vita49.RC_CONNECTION_ERROR
        assert rx.is_open  # the running receiver is untouched


def test_recordings_named_by_pathlike_are_written(instrument, address, tmp_path):
    instrument()
    wav, raw = tmp_path / "capture.wav", tmp_path / "capture.iq"
    with set_up(address) as ctl, receiver(address, wav=wav, raw=pathlib.PurePath(raw),
                                          sigmf=tmp_path / "capture") as rx:
        ctl.start()
        rx.read(50_000, timeout=5.0)
        ctl.stop()
    stats = rx.stats
    assert rx.recording_error is None
    assert raw.stat().st_size == 4 * stats.samples_received >= 200_000
    assert (tmp_path / "capture.sigmf-data").read_bytes() == raw.read_bytes()
    header = wav.read_bytes()[:44]
    assert header[:4] == b"RIFF" and header[8:12] == b"WAVE"
    channels, rate, bits = struct.unpack("<H", header[22:24])[0], struct.unpack("<I", header[24:28])[0], \
        struct.unpack("<H", header[34:36])[0]
    assert (channels, rate, bits) == (2, 1_250_000, 16)


def test_identity_error_queue_and_tuning_above_32_bits(instrument, address):
    instrument()
    with vita49.RemoteControl(address, local_address=address, udp_port=5001) as ctl:
        assert ctl.identify().startswith("vita49,vita49-sim,")
        assert ctl.read_error() == '0,"No error"'
        ctl.tune(26.5e9)
        ctl.set_bandwidth(20e6)
        assert ctl.read_error() == '0,"No error"'  # both taken
        ctl.tune(200e9)  # beyond the instrument's range: sent, and refused there
        assert ctl.read_error().startswith("-222,")
        assert ctl.read_error() == '0,"No error"'
        with pytest.raises(vita49.Error) as caught:
            ctl.tune(2.0 ** 64)  # no command can carry it
        assert caught.value.code == vita49.RC_INVALID_ARGUMENT and "RC_INVALID_ARGUMENT" in str(caught.value)
    assert vita49.Error(999).args[0] == "RC_UNKNOWN (999)"
