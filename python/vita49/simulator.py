"""The simulated instrument (the `vita49-sim` program) in a child process, for trying the
package, the examples and the tests without hardware.

>>> from vita49.simulator import Simulator
>>> with Simulator("127.0.0.1") as sim:      # commands on 127.0.0.1:5300
...     ...

The program is looked for in $VITA49_SIM, then beside the build tree or the installed package
it came with, then on PATH.
"""

import atexit
import os
import select
import shutil
import signal
import subprocess
import time

from . import _build


def find_simulator():
    """Path of the vita49-sim program, or None."""
    candidates = [os.environ.get("VITA49_SIM", ""), _build.SIMULATOR]
    if _build.SIMULATOR_RELATIVE:
        candidates.append(os.path.normpath(os.path.join(os.path.dirname(__file__), _build.SIMULATOR_RELATIVE)))
    for path in candidates:
        if path and os.access(path, os.X_OK):
            return path
    return shutil.which("vita49-sim")


class Simulator:
    """Runs vita49-sim on `address` (its command port is 5300) until stop or the end of a
    `with` block. `options` are further command-line options, e.g. ["--skip-every", "50"]."""

    def __init__(self, address="127.0.0.1", *, fast=False, options=(), executable=None):
        self.address = address
        self._command = [executable or find_simulator() or "", "--address", address, "--quiet"]
        if fast:
            self._command.append("--fast")
        self._command += [str(o) for o in options]
        self._process = None

    def start(self, timeout=5.0):
        if not self._command[0]:
            raise FileNotFoundError("vita49-sim not found: build the project's tools, put it on PATH "
                                    "or name it in VITA49_SIM")
        self._process = subprocess.Popen(self._command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        atexit.register(self.stop)  # not left running when the program ends without stop
        # It prints one line once its command port listens.
        deadline = time.monotonic() + timeout
        line = b""
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            ready = select.select([self._process.stdout], [], [], max(left, 0))[0] if left > 0 else []
            if not ready:
                self.stop()
                raise RuntimeError(f"vita49-sim did not start on {self.address} within {timeout} s")
            chunk = os.read(self._process.stdout.fileno(), 256)
            if not chunk:
                error = self._process.stderr.read().decode(errors="replace").strip()
                self._process.wait()
                self._process = None
                raise RuntimeError(f"vita49-sim on {self.address} ended at start: {error}")
            line += chunk
        return self

    def stop(self):
        """Ends the program; returns its summary line (packets sent per kind)."""
        if self._process is None:
            return ""
        atexit.unregister(self.stop)
        process, self._process = self._process, None
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
        try:
            out, _ = process.communicate(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            out, _ = process.communicate()
        return out.decode(errors="replace").strip()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False
