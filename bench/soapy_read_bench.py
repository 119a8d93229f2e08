#!/usr/bin/python3
"""readStream into CF32 through the SoapySDR module against the C++ receiver alone, on the same
paced UDP loopback stream.

A sender process (python_bench_peer send) paces IF data packets (8,192-byte I16Q16 payloads,
2,048 samples, one IF context packet per 1,000) to 127.0.46.31. The C++ path is a
Vita49Receiver whose data callback counts packets (python_bench_peer receive); the SoapySDR
path is soapy_read_bench: SoapySDR::Device::make("driver=vita49"), setupStream(CF32) and a
readStream loop, as an SDR program runs it. Each receiving side runs pinned to the second
core (receive thread and reader together), the sender on the first. CPU time is the
receiving process's own (user + system, every thread), compared per byte of wire data.

It prints figures: for each rate of the ladder what each path lost (packets for the C++
receiver; samples short and overflows for readStream) and the CPU time per byte; the highest
rate each took without loss; and the sustained run (default 20 s at 0.4 GB/s). A rate at
which the sender fell short of what it was asked is marked.

  bench/soapy_read_bench.py [--build build/bench] [--quick]
"""

import argparse
import os
import subprocess
import sys
import time

ADDRESS = "127.0.46.31"
PORT = 5044
SAMPLES_PER_PACKET = 8192 // 4


def pinned(cpu):
    return (lambda: os.sched_setaffinity(0, {cpu})) if cpu is not None else None


class Bench:
    def __init__(self, build):
        self.peer = os.path.join(build, "bench", "python_bench_peer")
        self.soapy_program = os.path.join(build, "bench", "soapy_read_bench")
        self.env = dict(os.environ, SOAPY_SDR_PLUGIN_PATH=os.path.join(build, "soapy"))
        cores = sorted(os.sched_getaffinity(0))
        self.sender_cpu = cores[0] if len(cores) > 1 else None
        self.receive_cpu = cores[1] if len(cores) > 1 else None

    def run(self, command, rate, seconds):
        receiver = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                    env=self.env, preexec_fn=pinned(self.receive_cpu))
        line = receiver.stdout.readline().strip()
        if line != "ready":
            receiver.kill()
            raise RuntimeError(f"{command[0]} did not start: {line!r}")
        sender = subprocess.Popen([self.peer, "send", ADDRESS, str(PORT), str(rate), str(seconds)],
                                  stdout=subprocess.PIPE, text=True, preexec_fn=pinned(self.sender_cpu))
        out, _ = sender.communicate()
        _, packets, took, size = out.split()
        time.sleep(0.5)  # what is still queued arrives
        out, _ = receiver.communicate("")
        return int(packets), float(took), int(size), out.split()

    def cpp(self, rate, seconds):
        command = [self.peer, "receive", ADDRESS, str(PORT)]
        sent, took, size, (_, received, lost, cpu) = self.run(command, rate, seconds)
        return dict(sent=sent, took=took, size=size, bytes=int(received) * size, cpu=float(cpu),
                    clean=int(received) == sent and int(lost) == 0, text=f"lost {sent - int(received)}")

    def soapy(self, rate, seconds):
        command = [self.soapy_program, ADDRESS, str(PORT)]
        sent, took, size, (_, samples, overflows, cpu) = self.run(command, rate, seconds)
        short = sent * SAMPLES_PER_PACKET - int(samples)
        return dict(sent=sent, took=took, size=size, bytes=int(samples) // SAMPLES_PER_PACKET * size, cpu=float(cpu),
                    clean=short == 0 and int(overflows) == 0,
                    text=f"short {short} smp, {overflows} ovf" if short or int(overflows) else "lost 0")


def ns_per_byte(r):
    return r["cpu"] / r["bytes"] * 1e9 if r["bytes"] else float("nan")


def offered(r, rate):
    sent_rate = r["sent"] * r["size"] / r["took"] / 1e9
    return sent_rate, sent_rate >= 0.98 * rate


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", default="build/bench", help="build directory with bench/ and soapy/")
    p.add_argument("--rates", default="0.1,0.2,0.3,0.4,0.5,0.6,0.7,0.8,1.0", help="ladder, GB/s of wire data")
    p.add_argument("--seconds", type=float, default=3, help="length of each ladder run")
    p.add_argument("--sustain-rate", type=float, default=0.4)
    p.add_argument("--sustain-seconds", type=float, default=20)
    p.add_argument("--quick", action="store_true", help="2 s ladder runs, 5 s sustained")
    a = p.parse_args()
    if a.quick:
        a.seconds, a.sustain_seconds = 2, 5
    a.build = os.path.abspath(a.build)
    os.chdir(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))  # the source tree
    if not os.path.isfile(os.path.join(a.build, "CMakeCache.txt")):
        subprocess.run(["cmake", "-S", ".", "-B", a.build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                        "-DVITA49_BUILD_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    targets = ["vita49Support", "soapy_read_bench", "python_bench_peer"]
    subprocess.run(["cmake", "--build", a.build, "--target", *targets], check=True, stdout=subprocess.DEVNULL)
    bench = Bench(a.build)
    print("SoapySDR readStream (CF32) against the C++ receiver, UDP loopback, 8,192-byte payloads")
    print(f"{'GB/s':>5}  {'sent GB/s':>9}  {'C++':<14} {'ns/B':>6}  {'SoapySDR CF32':<24} {'ns/B':>6}  "
          f"{'CPU ratio':>9}")
    best = {"cpp": None, "soapy": None}
    failures = {"cpp": 0, "soapy": 0}
    for rate in [float(r) for r in a.rates.split(",")]:
        if failures["cpp"] >= 2 and failures["soapy"] >= 2:
            break
        c = bench.cpp(rate, a.seconds)
        s = bench.soapy(rate, a.seconds)
        sent_rate, kept = offered(c, rate)
        note = "" if kept and offered(s, rate)[1] else "  (sender fell short: inconclusive)"
        for name, r in (("cpp", c), ("soapy", s)):
            if r["clean"] and offered(r, rate)[1]:
                best[name] = rate
                failures[name] = 0
            elif offered(r, rate)[1]:
                failures[name] += 1
        print(f"{rate:5.2f}  {sent_rate:9.3f}  {c['text']:<14} {ns_per_byte(c):6.3f}  {s['text']:<24} "
              f"{ns_per_byte(s):6.3f}  {ns_per_byte(s) / ns_per_byte(c):8.2f}x{note}")
    print(f"highest rate without loss: C++ {best['cpp']} GB/s, SoapySDR CF32 {best['soapy']} GB/s "
          f"(ladder {a.rates}, {a.seconds:g} s each)")

    print(f"sustained {a.sustain_rate} GB/s for {a.sustain_seconds:g} s:")
    c = bench.cpp(a.sustain_rate, a.sustain_seconds)
    s = bench.soapy(a.sustain_rate, a.sustain_seconds)
    for name, r in (("C++", c), ("SoapySDR", s)):
        sent_rate, kept = offered(r, a.sustain_rate)
        print(f"  {name:<8} sent {r['sent']} packets ({sent_rate:.3f} GB/s{'' if kept else ', short of the rate'}), "
              f"{r['text']}, {ns_per_byte(r):.3f} ns CPU per byte")
    print(f"  SoapySDR CF32: {'zero loss' if s['clean'] else 'LOSS'}, CPU per byte "
          f"{ns_per_byte(s) / ns_per_byte(c):.2f}x the C++ receiver alone")
    return 0


if __name__ == "__main__":
    sys.exit(main())
