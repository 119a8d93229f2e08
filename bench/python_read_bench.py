#!/usr/bin/python3
"""Receiver.read into complex64 against the C++ receiver, on the same paced UDP loopback stream.

A sender process (python_bench_peer send) paces the benchmark's IF data packets (8,192-byte
I16Q16 payloads, one IF context packet per 1,000) to 127.0.6.31. The C++ path is a
Vita49Receiver whose data callback counts packets (python_bench_peer receive); the Python
path is vita49.Receiver with this process's main thread reading blocks into complex64 arrays.
Each receiving side runs pinned to the second core (receive thread and reader together, so the
Python path has to fit where the C++ one does), the sender on the first. CPU time is the
receiving process's own (user + system, every thread), so the two are compared per byte.

It prints figures and judges nothing it cannot: for each rate of the ladder, what each path
lost and the CPU time per byte; the highest rate each took without loss; and the sustained
run (default 20 s at 0.4 GB/s). A rate at which the sender fell short of what it was asked is
marked, since then the receiver was not offered the rate.

  bench/python_read_bench.py [--build build/bench] [--quick] [--reuse]

It configures (Release) and builds what it needs in the build directory, from the source tree
it is run in.
"""

import argparse
import os
import resource
import subprocess
import sys
import time

ADDRESS = "127.0.6.31"
PORT = 5031
STREAM_ID = 0x10000001


def cpu_seconds():
    u = resource.getrusage(resource.RUSAGE_SELF)
    return u.ru_utime + u.ru_stime


def pinned(cpu):
    return (lambda: os.sched_setaffinity(0, {cpu})) if cpu is not None else None


class Bench:
    def __init__(self, build, reuse, block):
        self.peer = os.path.join(build, "bench", "python_bench_peer")
        sys.path.insert(0, os.path.join(build, "python"))
        import numpy  # noqa: F401  (here, so that a missing numpy fails before any run)
        import vita49
        self.vita49 = vita49
        self.reuse = reuse
        self.block = block
        cores = sorted(os.sched_getaffinity(0))
        self.sender_cpu = cores[0] if len(cores) > 1 else None
        self.receive_cpu = cores[1] if len(cores) > 1 else None

    def send(self, rate, seconds):
        return subprocess.Popen([self.peer, "send", ADDRESS, str(PORT), str(rate), str(seconds)],
                                stdout=subprocess.PIPE, text=True, preexec_fn=pinned(self.sender_cpu))

    @staticmethod
    def sent(sender):
        out, _ = sender.communicate()
        _, packets, seconds, size = out.split()
        return int(packets), float(seconds), int(size)

    def cpp(self, rate, seconds):
        receiver = subprocess.Popen([self.peer, "receive", ADDRESS, str(PORT)], stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, text=True, preexec_fn=pinned(self.receive_cpu))
        assert receiver.stdout.readline().strip() == "ready"
        packets, took, size = self.sent(self.send(rate, seconds))
        time.sleep(0.5)  # what is still queued arrives
        out, _ = receiver.communicate("")
        _, received, lost, cpu = out.split()
        return dict(sent=packets, took=took, size=size, received=int(received), lost_count=int(lost),
                    overflow=0, cpu=float(cpu))

    def python(self, rate, seconds):
        import numpy as np
        vita49 = self.vita49
        mask = os.sched_getaffinity(0)
        if self.receive_cpu is not None:
            os.sched_setaffinity(0, {self.receive_cpu})  # the receive thread starts from here
        try:
            rx = vita49.Receiver(connection="udp", local_address=ADDRESS, udp_port=PORT, stream_id=STREAM_ID)
            out = np.empty(self.block, np.complex64) if self.reuse else None
            read = 0
            before = cpu_seconds()
            with rx:
                sender = self.send(rate, seconds)
                while sender.poll() is None:
                    try:
                        read += len(rx.read(self.block, timeout=0.2, out=out))
                    except vita49.TimeoutError:
                        pass
                while True:  # what is still queued
                    try:
                        read += len(rx.read(self.block, timeout=0.3, out=out))
                    except vita49.TimeoutError:
                        break
                rest = rx.stats.samples_buffered
                if rest:
                    read += len(rx.read(rest, timeout=0))
            cpu = cpu_seconds() - before
        finally:
            os.sched_setaffinity(0, mask)
        packets, took, size = self.sent(sender)
        s = rx.stats
        return dict(sent=packets, took=took, size=size, received=s.packets_received["data"],
                    lost_count=s.packets_lost["data"], overflow=s.overflow_samples, cpu=cpu, read=read,
                    samples=s.samples_received)


def clean(r):
    return r["received"] == r["sent"] and r["lost_count"] == 0 and r["overflow"] == 0


def describe(r):
    bytes_ = r["received"] * r["size"]
    lost = r["sent"] - r["received"]
    text = f"lost {lost}" + (f", overflow {r['overflow']}" if r["overflow"] else "")
    return text, (r["cpu"] / bytes_ * 1e9 if bytes_ else float("nan"))


def offered(r, rate):
    sent_rate = r["sent"] * r["size"] / r["took"] / 1e9
    return sent_rate, sent_rate >= 0.98 * rate


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", default="build/bench", help="build directory with bench/ and python/")
    p.add_argument("--rates", default="0.1,0.2,0.3,0.4,0.5,0.6,0.7,0.8,1.0", help="ladder, GB/s of wire data")
    p.add_argument("--seconds", type=float, default=3, help="length of each ladder run")
    p.add_argument("--sustain-rate", type=float, default=0.4)
    p.add_argument("--sustain-seconds", type=float, default=20)
    p.add_argument("--block", type=int, default=1 << 18, help="samples per read")
    p.add_argument("--reuse", action="store_true", help="read into one array (out=) instead of new ones")
    p.add_argument("--quick", action="store_true", help="2 s ladder runs, 5 s sustained")
    a = p.parse_args()
    if a.quick:
        a.seconds, a.sustain_seconds = 2, 5
    a.build = os.path.abspath(a.build)
    os.chdir(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))  # the source tree
    if not os.path.isfile(os.path.join(a.build, "CMakeCache.txt")):
        subprocess.run(["cmake", "-S", ".", "-B", a.build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                        "-DVITA49_BUILD_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", a.build, "--target", "_vita49", "python_bench_peer"], check=True,
                   stdout=subprocess.DEVNULL)
    bench = Bench(a.build, a.reuse, a.block)
    print(f"Python read path ({'one array, out=' if a.reuse else 'a new array per read'}, "
          f"{a.block} samples a read) against the C++ receiver, UDP loopback, 8,192-byte payloads")
    print(f"{'GB/s':>5}  {'sent GB/s':>9}  {'C++':<24} {'ns/B':>6}  {'Python':<26} {'ns/B':>6}  {'CPU ratio':>9}")
    best = {"cpp": None, "python": None}
    delivered = {"cpp": 0.0, "python": 0.0}  # the fastest stream really sent and taken whole
    failures = {"cpp": 0, "python": 0}
    for rate in [float(r) for r in a.rates.split(",")]:
        if failures["cpp"] >= 2 and failures["python"] >= 2:
            break
        c = bench.cpp(rate, a.seconds)
        py = bench.python(rate, a.seconds)
        sent_rate, kept = offered(c, rate)
        c_text, c_ns = describe(c)
        p_text, p_ns = describe(py)
        note = "" if kept and offered(py, rate)[1] else "  (sender fell short: inconclusive)"
        for name, r in (("cpp", c), ("python", py)):
            if clean(r):
                delivered[name] = max(delivered[name], offered(r, rate)[0])
            if clean(r) and kept:
                best[name] = rate
                failures[name] = 0
            elif kept:
                failures[name] += 1
        print(f"{rate:5.2f}  {sent_rate:9.3f}  {c_text:<24} {c_ns:6.3f}  {p_text:<26} {p_ns:6.3f}  "
              f"{p_ns / c_ns:8.2f}x{note}")
    print(f"highest rate without loss: C++ {best['cpp']} GB/s, Python read {best['python']} GB/s "
          f"(ladder {a.rates}, {a.seconds:g} s each)")
    print(f"fastest stream sent and taken without loss: C++ {delivered['cpp']:.3f} GB/s, "
          f"Python read {delivered['python']:.3f} GB/s")

    print(f"sustained {a.sustain_rate} GB/s for {a.sustain_seconds:g} s:")
    c = bench.cpp(a.sustain_rate, a.sustain_seconds)
    py = bench.python(a.sustain_rate, a.sustain_seconds)
    for name, r in (("C++", c), ("Python", py)):
        text, ns = describe(r)
        sent_rate, kept = offered(r, a.sustain_rate)
        print(f"  {name:<7} sent {r['sent']} packets ({sent_rate:.3f} GB/s{'' if kept else ', short of the rate'}), "
              f"{text}, {ns:.3f} ns CPU per byte")
    ratio = describe(py)[1] / describe(c)[1]
    if not offered(py, a.sustain_rate)[1]:
        verdict = "inconclusive: the sender fell short of the rate"
    else:
        verdict = "met" if clean(py) and ratio <= 1.5 else "MISSED"
    print(f"  Python read: {'zero loss' if clean(py) else 'LOSS'}, CPU per byte {ratio:.2f}x the C++ path "
          f"(target: zero loss, <= 1.5x): {verdict}")
    if "read" in py:
        print(f"  samples read {py['read']} of {py['samples']} received")
    return 0


if __name__ == "__main__":
    sys.exit(main())
