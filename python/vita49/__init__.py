"""Receive an instrument's VITA 49 stream as numpy arrays, and set the stream up.

>>> import vita49
>>> with vita49.RemoteControl("192.168.0.10", local_address="192.168.0.2", udp_port=5001) as ctl:
...     ctl.init_streaming(); ctl.tune(100e6); ctl.start()
...     with vita49.Receiver(local_address="192.168.0.2", udp_port=5001) as rx:
...         iq = rx.read(1_000_000, timeout=5.0)      # complex64, scaled to [-1, 1)
...     ctl.stop()

`Receiver` receives over UDP or TCP on a thread of its own and keeps the samples in a buffer
that `read` takes them from; `Decoder` does the same with bytes the application pushes in (a
capture, a file); `RemoteControl` sends the instrument its commands. Every failing operation
raises `Error` (or `TimeoutError`), whose `code` is the library's return code.
"""

import atexit
import builtins
import numbers
import operator
import os
import threading

import numpy as np

from . import _vita49
from ._build import VERSION as __version__

__all__ = [
    "Receiver", "Decoder", "RemoteControl", "Error", "TimeoutError", "Context", "Stats",
    "RC_OK", "RC_SOCKET_ERROR", "RC_TIMEOUT", "RC_INVALID_ARGUMENT", "RC_CONNECTION_ERROR",
    "TCP_SERVER", "TCP_CLIENT", "UDP_SINGLECAST", "UDP_MULTICAST",
]

RC_OK = 0
RC_SOCKET_ERROR = 180
RC_TIMEOUT = 181
RC_INVALID_ARGUMENT = 182
RC_CONNECTION_ERROR = 183
_CODE_NAMES = {code: _vita49.return_code_name(code)
               for code in (RC_OK, RC_SOCKET_ERROR, RC_TIMEOUT, RC_INVALID_ARGUMENT, RC_CONNECTION_ERROR)}

TCP_SERVER = 0
TCP_CLIENT = 1
UDP_SINGLECAST = 2
UDP_MULTICAST = 3
_CONNECTIONS = {
    "udp": UDP_SINGLECAST, "multicast": UDP_MULTICAST, "tcp-server": TCP_SERVER, "tcp-client": TCP_CLIENT,
    "UDP_SINGLECAST": UDP_SINGLECAST, "UDP_MULTICAST": UDP_MULTICAST,
    "TCP_SERVER": TCP_SERVER, "TCP_CLIENT": TCP_CLIENT,
}


class Error(Exception):
    """A library operation failed; `code` is its RETURN_CODE (180 to 183)."""

    def __init__(self, code, operation=None):
        self.code = code
        self.operation = operation
        name = _vita49.return_code_name(code)
        text = f"{name} ({code})"
        super().__init__(f"{operation} failed: {text}" if operation else text)


class TimeoutError(Error, builtins.TimeoutError):
    """RC_TIMEOUT, or a read whose samples did not all arrive in time (those that did stay)."""


def _check(code, operation):
    if code == RC_OK:
        return
    if code == RC_TIMEOUT:
        raise TimeoutError(code, operation)
    raise Error(code, operation)


class Context(dict):
    """The latest value of each IF context field since open (None where none came yet).

    Keys, also readable as attributes: frequency, bandwidth, sample_rate (Hz),
    reference_level (dBm), item_size (bits), timestamp (seconds since 1970, the packet's
    integer and picosecond timestamp), stream_id, gps (a dict or None), packets_received,
    packets_lost; data callbacks add data_timestamp and data_packets_lost, spectrum ones
    center_frequency, span, spacing, points and trace_ids.
    """

    __slots__ = ()

    def __getattr__(self, name):
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __repr__(self):
        return f"Context({dict.__repr__(self)})"


_vita49.set_context_type(Context)


class Stats:
    """Counters since open: the receiver's statistics (bytes_received, data_bytes,
    context_bytes, data_errors, context_errors), packets_received and packets_lost per kind
    ("data", "context", "spectrum", "spectrum_context"; packets_lost counts packet-count
    discontinuities, a run of lost packets once), overflow_samples (dropped because
    the application read too slowly), samples_received, samples_buffered, unformatted_packets
    (data packets whose sample format no context had told), connection_errors and
    callback_errors."""

    __slots__ = ("_values",)

    def __init__(self, values):
        object.__setattr__(self, "_values", dict(values))

    def __getattr__(self, name):
        try:
            return self._values[name]
        except KeyError:
            raise AttributeError(name) from None

    def as_dict(self):
        return dict(self._values)

    def __repr__(self):
        inner = ", ".join(f"{k}={v!r}" for k, v in self._values.items())
        return f"Stats({inner})"


# --- Settings ---------------------------------------------------------------------------------

def _connection(value):
    if isinstance(value, str):
        if value in _CONNECTIONS:
            return _CONNECTIONS[value]
        raise ValueError(f"connection: one of {', '.join(repr(k) for k in _CONNECTIONS)}, not {value!r}")
    if isinstance(value, numbers.Integral) and not isinstance(value, bool) and 0 <= value <= 3:
        return int(value)
    raise ValueError(f"connection: a name such as 'udp' or a CONNECTION_TYPE from 0 to 3, not {value!r}")


def _integer(name, value, high):
    try:
        v = operator.index(value)
    except TypeError:
        raise TypeError(f"{name}: an integer, not {type(value).__name__}") from None
    if not 0 <= v <= high:
        raise ValueError(f"{name}: 0 to {high}, not {v}")
    return v


def _text(name, value, limit):
    if not isinstance(value, str):
        raise TypeError(f"{name}: a str, not {type(value).__name__}")
    if len(value.encode()) > limit or "\0" in value:
        raise ValueError(f"{name}: at most {limit} bytes and no NUL: {value!r}")
    return value


def _path(name, value, limit=None):
    if value is None:
        return ""
    try:
        text = os.fsdecode(os.fspath(value))
    except TypeError:
        raise TypeError(f"{name}: a str or os.PathLike, not {type(value).__name__}") from None
    if "\0" in text or (limit is not None and len(text.encode()) > limit):
        raise ValueError(f"{name}: at most {limit} bytes and no NUL: {text!r}" if limit else f"{name}: no NUL")
    return text


def _one_of(name, alias, value, alias_value, default=None):
    if value is not None and alias_value is not None:
        raise TypeError(f"give {name} or {alias}, not both")
    return value if value is not None else alias_value if alias_value is not None else default


def _base_settings(connection, remote_address, local_address, tcp_port, udp_port, stream_id):
    return {
        "connection_type": _connection(connection),
        "remote_address": _text("remote_address", remote_address, 49),
        "local_address": _text("local_address", local_address, 49),
        "tcp_port": _integer("tcp_port", tcp_port, 65535),
        "udp_port": _integer("udp_port", udp_port, 65535),
        "stream_id": _integer("stream_id", stream_id, 0xFFFFFFFF),
    }


# Streams that are open are kept alive here until closed: their thread calls back into Python,
# so they are never collected (perhaps on that very thread) while it runs, and the ones still
# open at exit are closed before the interpreter goes away.
_open_streams = set()
_open_lock = threading.Lock()


@atexit.register
def _close_open_streams():
    with _open_lock:
        streams = list(_open_streams)
    for s in streams:
        try:
            s.close()
        except Exception:
            pass


class _ClosedOnExit:
    """Closes on leaving a `with` block; a failing close does not hide the exception that
    ends the block."""

    def __exit__(self, exc_type, exc, tb):
        if exc_type is None:
            self.close()
        else:
            try:
                self.close()
            except Error:
                pass  # the exception on its way out says more
        return False


class _Stream(_ClosedOnExit):
    """What Receiver and Decoder share: the buffer, the records, the callbacks."""

    _impl_type = None
    _default_timeout = None

    def __init__(self, connection, connection_type, remote_address, local_address, tcp_port, udp_port,
                 stream_id, wav, wav_file_path, raw, raw_file_path, sigmf, buffer_seconds,
                 wav_integer_samples, raw_file_big_endian, data_big_endian, convert_data_byte_order,
                 displayed_trace):
        settings = _base_settings(_one_of("connection", "connection_type", connection, connection_type, "udp"),
                                  remote_address, local_address, tcp_port, udp_port, stream_id)
        settings["wav_file_path"] = _path("wav", _one_of("wav", "wav_file_path", wav, wav_file_path), 99)
        settings["raw_file_path"] = _path("raw", _one_of("raw", "raw_file_path", raw, raw_file_path), 99)
        settings["wav_integer_samples"] = bool(wav_integer_samples)
        settings["raw_file_big_endian"] = bool(raw_file_big_endian)
        if not isinstance(buffer_seconds, numbers.Real) or not buffer_seconds >= 0 or buffer_seconds > 1e6:
            raise ValueError(f"buffer_seconds: 0 (no buffer) or more seconds, not {buffer_seconds!r}")
        # Samples always arrive converted; the byte order only chooses on_data's dtype.
        del convert_data_byte_order
        self._settings = settings
        self._impl = self._impl_type(settings, float(buffer_seconds), bool(data_big_endian), _path("sigmf", sigmf))
        self.displayed_trace = displayed_trace

    # Lifecycle
    def open(self):
        """Opens the stream (recordings truncated, statistics reset); raises Error on failure."""
        with _open_lock:
            _open_streams.add(self)
        try:
            _check(self._impl.open(), f"{type(self).__name__}.open")
        except BaseException:
            if not self._impl.is_open:
                with _open_lock:
                    _open_streams.discard(self)
            raise
        return self

    def close(self):
        """Stops the stream and finishes the recordings. Statistics stay readable; samples
        still buffered can be read until the next open."""
        code = self._impl.close()
        with _open_lock:
            _open_streams.discard(self)
        _check(code, f"{type(self).__name__}.close")

    def __enter__(self):
        # Opens, unless already opened (`with rx.open():` works too).
        return self if self.is_open else self.open()

    @property
    def is_open(self):
        return self._impl.is_open

    # Samples
    def read(self, samples, timeout=..., dtype="complex64", out=None):
        """Takes exactly `samples` samples from the buffer, waiting up to `timeout` seconds
        (None: without limit) for them.

        dtype "complex64": scaled to [-1, 1) (16-bit items / 32768, 32-bit / 2**31), shape (n,).
        dtype "int16": the integers as sent, shape (n, 2), I then Q; int32 when 32-bit items
        are among them. dtype "int32": always int32. `out`, an array of that dtype and shape,
        is filled instead of a new one.

        Raises TimeoutError when they do not all arrive in time (those that did stay for the
        next read), Error(RC_CONNECTION_ERROR) when the stream is closed or has ended.
        `last_read_gaps` then lists where, inside the block, samples are missing before.
        """
        count = operator.index(samples)
        if count < 0:
            raise ValueError("samples: not negative")
        if timeout is ...:
            timeout = self._default_timeout
        if timeout is not None:
            timeout = float(timeout)
            if timeout != timeout:
                raise ValueError("timeout: a number of seconds or None")
        if out is not None:
            if not isinstance(out, np.ndarray):
                raise TypeError("out: a numpy array")
            dtype = out.dtype
            shape = (count,) if dtype == np.complex64 else (count, 2)
            if out.shape != shape or not out.flags.c_contiguous or not out.flags.writeable:
                raise ValueError(f"out: a writable contiguous {dtype} array of shape {shape}, not {out.shape}")
        kind = _READ_KINDS.get(np.dtype(dtype))
        if kind is None:
            raise ValueError(f"dtype: complex64, int16 or int32, not {dtype!r}")
        result = self._impl.read(count, -1.0 if timeout is None else max(timeout, 0.0), kind, out)
        if isinstance(result, int):
            if result == RC_TIMEOUT:
                raise TimeoutError(result, f"read of {count} samples")
            raise Error(result, f"read of {count} samples (stream closed or ended)")
        return result

    @property
    def last_read_gaps(self):
        """Indices, inside the block the last read returned, of the samples that follow a
        discontinuity: lost packets, or samples dropped because reading fell behind."""
        return self._impl.last_read_gaps

    # Records
    @property
    def context(self):
        """The latest IF context (a Context)."""
        return self._impl.context

    @property
    def spectrum_context(self):
        """The latest spectrum parameters: center_frequency, span, spacing, points, trace_ids."""
        return self._impl.spectrum_context

    @property
    def stats(self):
        """Counters since open (a Stats)."""
        return Stats(self._impl.stats)

    @property
    def recording_error(self):
        """The first failure of a recording since open, or None."""
        return self._impl.recording_error or None

    @property
    def displayed_trace(self):
        """The spectrum trace handed to on_spectrum (default 1); may change at any time."""
        return self._impl.displayed_trace

    @displayed_trace.setter
    def displayed_trace(self, trace):
        self._impl.displayed_trace = _integer("displayed_trace", trace, 65535)

    # Callbacks: each takes a function (or None to remove it) and returns it, so that it can
    # be used as a decorator. They run on the receiving thread; an exception is printed once
    # and counted in stats.callback_errors, and the stream goes on.
    def on_data(self, fn):
        """fn(context, samples) for every IF data packet: samples a new (n, 2) integer array."""
        self._impl.on_data(fn)
        return fn

    def on_context(self, fn):
        """fn(context) for every IF context packet."""
        self._impl.on_context(fn)
        return fn

    def on_spectrum(self, fn):
        """fn(trace, spectrum_context) for every spectrum packet: trace a new float32 array
        of the displayed trace."""
        self._impl.on_spectrum(fn)
        return fn

    def __repr__(self):
        s = self._settings
        kind = next(k for k, v in _CONNECTIONS.items() if v == s["connection_type"])
        where = s["local_address"] or s["remote_address"] or "*"
        port = s["udp_port"] if s["connection_type"] >= UDP_SINGLECAST else s["tcp_port"]
        return (f"<vita49.{type(self).__name__} {kind} {where}:{port} stream {s['stream_id']} "
                f"{'open' if self.is_open else 'closed'}>")


_READ_KINDS = {np.dtype(np.complex64): 0, np.dtype(np.int16): 1, np.dtype(np.int32): 2}


class Receiver(_Stream):
    """Receives one VITA 49 stream on a thread of its own.

    Keywords are the library's settings in snake case: connection ("udp", "multicast",
    "tcp-server", "tcp-client", or a CONNECTION_TYPE; also connection_type), remote_address
    (instrument, or multicast group), local_address, tcp_port, udp_port, stream_id,
    wav / wav_file_path, raw / raw_file_path (str or os.PathLike), sigmf (base path of a SigMF
    recording), wav_integer_samples, raw_file_big_endian, data_big_endian (byte order of the
    arrays on_data gets), convert_data_byte_order (accepted; samples are always converted).
    buffer_seconds: how much of the stream the read buffer holds (0: no buffer).
    """

    _impl_type = _vita49.Receiver
    _default_timeout = None

    def __init__(self, *, connection=None, connection_type=None, remote_address="", local_address="",
                 tcp_port=0, udp_port=0, stream_id=1, wav=None, wav_file_path=None, raw=None,
                 raw_file_path=None, sigmf=None, buffer_seconds=2.0, wav_integer_samples=True,
                 raw_file_big_endian=False, data_big_endian=False, convert_data_byte_order=True,
                 displayed_trace=1):
        super().__init__(connection, connection_type, remote_address, local_address, tcp_port, udp_port,
                         stream_id, wav, wav_file_path, raw, raw_file_path, sigmf, buffer_seconds,
                         wav_integer_samples, raw_file_big_endian, data_big_endian, convert_data_byte_order,
                         displayed_trace)

    def on_connection_error(self, fn):
        """fn() once when the stream's connection is lost; a read then fails once the
        buffer runs dry."""
        self._impl.on_connection_error(fn)
        return fn


class Decoder(_Stream):
    """The receiver's decoding without a socket: push a capture's datagrams or bytes in.

    The same keywords as Receiver (of the connection settings only connection and
    stream_id matter: "udp"/"multicast" take push_datagram, "tcp-server"/"tcp-client"
    push_bytes). Callbacks run inside the push. read defaults to timeout=0.
    """

    _impl_type = _vita49.Decoder
    _default_timeout = 0.0

    def __init__(self, *, connection=None, connection_type=None, stream_id=1, wav=None,
                 wav_file_path=None, raw=None, raw_file_path=None, sigmf=None, buffer_seconds=2.0,
                 wav_integer_samples=True, raw_file_big_endian=False, data_big_endian=False,
                 convert_data_byte_order=True, displayed_trace=1):
        super().__init__(connection, connection_type, "", "", 0, 0, stream_id, wav, wav_file_path, raw,
                         raw_file_path, sigmf, buffer_seconds, wav_integer_samples, raw_file_big_endian,
                         data_big_endian, convert_data_byte_order, displayed_trace)

    def push_datagram(self, data):
        """One datagram as UDP would deliver it (bytes-like)."""
        _check(self._impl.push_datagram(data), "Decoder.push_datagram")

    def push_bytes(self, data):
        """The next bytes of a byte stream, split anywhere (bytes-like)."""
        _check(self._impl.push_bytes(data), "Decoder.push_bytes")


class RemoteControl(_ClosedOnExit):
    """The instrument's command channel (TCP port 5300 of remote_address).

    Keywords are the connection settings, which the stream set-up sends to the instrument:
    connection, local_address (where the instrument sends the stream), tcp_port, udp_port,
    stream_id. Every command raises Error (TimeoutError for RC_TIMEOUT) when it fails.
    """

    def __init__(self, remote_address, *, connection=None, connection_type=None, local_address="",
                 tcp_port=0, udp_port=0, stream_id=1):
        self._settings = _base_settings(_one_of("connection", "connection_type", connection, connection_type, "udp"),
                                        remote_address, local_address, tcp_port, udp_port, stream_id)
        self._impl = _vita49.RemoteControl(self._settings)
        self._open = False

    def open(self):
        """Connects within 100 ms."""
        _check(self._impl.open(), "RemoteControl.open")
        self._open = True
        return self

    def close(self):
        """Delivers the commands sent, then closes. The stream is not stopped."""
        self._open = False
        _check(self._impl.close(), "RemoteControl.close")

    def __enter__(self):
        return self if self._open else self.open()

    def init_streaming(self):
        """Selects or creates the streaming task and IQ stream and sends it where to stream."""
        _check(self._impl.init_streaming(), "init_streaming")

    def start(self):
        _check(self._impl.start(), "start")

    def stop(self):
        _check(self._impl.stop(), "stop")

    def tune(self, frequency):
        """Tuning frequency in Hz, also above 4.29 GHz (the instrument checks its range)."""
        _check(self._impl.tune(frequency), "tune")

    def set_bandwidth(self, bandwidth):
        """Bandwidth (CBW) in Hz."""
        _check(self._impl.set_bandwidth(bandwidth), "set_bandwidth")

    def identify(self):
        """The instrument's answer to *IDN?, without its line end. TimeoutError when no answer
        comes within 3 s: the instrument does not know the query."""
        code, identity = self._impl.identify()
        _check(code, "identify")
        return identity

    def read_error(self):
        """The oldest entry of the instrument's error queue (SYSTem:ERRor?), which the query
        removes: '<code>,"<text>"', '0,"No error"' once empty. TimeoutError as identify."""
        code, entry = self._impl.read_error()
        _check(code, "read_error")
        return entry

    def set_oversampling(self, enable):
        _check(self._impl.set_oversampling(bool(enable)), "set_oversampling")

    def set_payload_limit(self, limit):
        _check(self._impl.set_payload_limit(limit), "set_payload_limit")

    def set_item_size(self, bits):
        """16 (I16Q16) or 32 (I32Q32)."""
        _check(self._impl.set_item_size(operator.index(bits)), "set_item_size")

    def __repr__(self):
        s = self._settings
        return f"<vita49.RemoteControl {s['remote_address']}:5300 {'open' if self._open else 'closed'}>"
