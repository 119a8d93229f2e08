// vita49-soak: streams from the simulated instrument into a receiver for a while, over UDP
// and over TCP, while the displayed trace and the tuning keep changing, and reports what was
// sent and received, the losses, the resident memory and the open descriptors at the start
// and at the end. Resident memory must stay flat and the descriptors must come back to their
// first count. Not a test: it prints figures, and fails only when the set-up fails or a
// descriptor is left open.
//
//   vita49-soak [--seconds N] [--address A] [--real-time] [--udp-only | --tcp-only]

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "net/ConnectionTypes.h"
#include "sim/Simulator.h"
#include "vita49/Vita49Receiver.h"
#include "vita49/Vita49RemoteControl.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    int seconds = 60;
    std::string address = "127.0.7.250";
    bool fast = true;
    bool udp = true;
    bool tcp = true;
};

long ResidentKiB() {
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f) return -1;
    long pages = 0, resident = 0;
    const int n = std::fscanf(f, "%ld %ld", &pages, &resident);
    std::fclose(f);
    return n == 2 ? resident * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}

int OpenDescriptors() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return -1;
    int count = 0;
    while (dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    ::closedir(dir);
    return count - 1; // the directory's own
}

void CopyText(char* out, std::size_t size, const std::string& text) {
    std::memset(out, 0, size);
    std::strncpy(out, text.c_str(), size - 1);
}

// What the callbacks saw; written on the receive thread, read after Close.
struct Received {
    std::atomic<std::uint64_t> data{0}, context{0}, fftData{0}, fftContext{0}, infos{0}, connectionErrors{0};
    std::atomic<std::uint64_t> bytes{0}, dataLost{0}, contextLost{0}, fftDataLost{0}, fftContextLost{0};
};

struct RunFigures {
    bool ok = false;
    vita49::sim::SimStats sent;
    std::uint64_t data = 0, context = 0, fftData = 0, fftContext = 0, infos = 0, connectionErrors = 0;
    std::uint64_t bytes = 0, lostByCount = 0;
    long rssWarmKiB = 0, rssEndKiB = 0;
    int tuneChanges = 0, traceChanges = 0;
    double seconds = 0;
};

Vita49_Base_Settings StreamSettings(const Options& options, CONNECTION_TYPE type, std::uint16_t port) {
    Vita49_Base_Settings base{};
    base.connectionType = type;
    base.tcpPort = port;
    base.udpPort = port;
    CopyText(base.remoteAddress, sizeof base.remoteAddress, options.address);
    CopyText(base.localAddress, sizeof base.localAddress, options.address);
    base.streamId = 0x50AC;
    return base;
}

void CountCallbacks(Vita49Receiver& receiver, Received& received) {
    receiver.SetInfoCallback([&](const Vita49_Info&) { ++received.infos; });
    receiver.SetContextCallback([&](const Vita49_Info&, const Vita49_Context& c) {
        ++received.context;
        received.contextLost = c.packetsLost;
    });
    receiver.SetDataCallback([&](const Vita49_Info& info, const Vita49_Context&, const Vita49_Data& d) {
        ++received.data;
        received.dataLost = d.packetsLost;
        received.bytes = info.bytesReceived;
    });
    receiver.SetFFTContextCallback([&](const Vita49_Info&, const Vita49_FFTContext& c) {
        ++received.fftContext;
        received.fftContextLost = c.packetsLost;
    });
    receiver.SetFFTDataCallback([&](const Vita49_Info&, const Vita49_FFTContext&, const Vita49_FFTData& d, float*) {
        ++received.fftData;
        received.fftDataLost = d.packetsLost;
    });
    receiver.SetConnectionErrorCallback([&] { ++received.connectionErrors; });
}

// Opens the receiver, sets the stream up and starts it; false (said on stderr) when any step fails.
bool StartStream(vita49::sim::Simulator& sim, Vita49Receiver& receiver, Vita49RemoteControl& control) {
    RETURN_CODE rc = receiver.Open();
    if (rc == RC_OK) rc = control.Open();
    if (rc == RC_OK) rc = control.InitVita49Streaming();
    if (rc == RC_OK) rc = control.StartVita49Stream();
    if (rc != RC_OK || !sim.WaitStreaming(true, 5000)) {
        std::fprintf(stderr, "vita49-soak: the stream did not start (code %d): %s\n", static_cast<int>(rc),
                     sim.StreamError().c_str());
        return false;
    }
    return true;
}

// The soak itself: the displayed trace changes every 100 ms and the tuning every 500 ms
// while the stream runs, until the time is up.
void ChangeWhileStreaming(const Options& options, Vita49Receiver& receiver, Vita49RemoteControl& control,
                          RunFigures& figures) {
    unsigned short displayed = 1;
    std::mt19937 rng(12345);
    std::uniform_int_distribution<unsigned long> tune(100000000ul, 4000000000ul);
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(options.seconds);
    auto nextTune = start;
    auto nextTrace = start;
    bool warm = false;
    while (Clock::now() < end) {
        const auto now = Clock::now();
        if (!warm && now - start >= std::chrono::seconds(std::min(5, std::max(1, options.seconds / 10)))) {
            figures.rssWarmKiB = ResidentKiB();
            warm = true;
        }
        if (now >= nextTrace) {
            displayed = displayed == 1 ? 2 : 1;
            receiver.SetDisplayedTrace(displayed);
            ++figures.traceChanges;
            nextTrace = now + std::chrono::milliseconds(100);
        }
        if (now >= nextTune) {
            if (control.ChangeTune(tune(rng)) == RC_OK) ++figures.tuneChanges;
            nextTune = now + std::chrono::milliseconds(500);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!warm) figures.rssWarmKiB = ResidentKiB();
}

void Collect(const vita49::sim::Simulator& sim, const Received& received, RunFigures& figures) {
    figures.sent = sim.Stats();
    figures.data = received.data;
    figures.context = received.context;
    figures.fftData = received.fftData;
    figures.fftContext = received.fftContext;
    figures.infos = received.infos;
    figures.connectionErrors = received.connectionErrors;
    figures.bytes = received.bytes;
    figures.lostByCount = received.dataLost + received.contextLost + received.fftDataLost + received.fftContextLost;
    figures.rssEndKiB = ResidentKiB();
    figures.ok = true;
}

RunFigures Run(const Options& options, CONNECTION_TYPE type, std::uint16_t port) {
    RunFigures figures;
    vita49::sim::SimConfig config;
    config.address = options.address;
    config.fast = options.fast;
    vita49::sim::Simulator sim(config);
    std::string error;
    if (!sim.Start(&error)) {
        std::fprintf(stderr, "vita49-soak: the simulator cannot start on %s: %s\n", options.address.c_str(),
                     error.c_str());
        return figures;
    }

    const Vita49_Base_Settings base = StreamSettings(options, type, port);
    Received received;
    {
        Vita49Receiver receiver;
        // With TCP_SERVER the instrument connects to this receiver.
        receiver.Init(base, Vita49_Receiver_Settings{});
        CountCallbacks(receiver, received);
        Vita49RemoteControl control;
        control.Init(base);
        if (!StartStream(sim, receiver, control)) {
            receiver.Close();
            control.Close();
            sim.Stop();
            return figures;
        }
        const auto start = Clock::now();
        ChangeWhileStreaming(options, receiver, control, figures);
        control.StopVita49Stream();
        sim.WaitStreaming(false, 5000);
        // What is still under way reaches the receiver within a receive cycle.
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        receiver.Close();
        control.Close();
        figures.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    }
    sim.Stop();
    Collect(sim, received, figures);
    return figures;
}

void Report(CONNECTION_TYPE type, const RunFigures& f) {
    const auto& s = f.sent;
    const std::uint64_t sent = s.ifData + s.ifContext + s.extData + s.extContext;
    const std::uint64_t got = f.data + f.context + f.fftData + f.fftContext;
    std::printf("\n%s, %.1f s\n", vita49::net::ConnectionTypeName(type).c_str(), f.seconds);
    std::printf("  %-14s %12s %12s %12s\n", "packets", "sent", "received", "lost");
    auto row = [](const char* kind, std::uint64_t a, std::uint64_t b) {
        std::printf("  %-14s %12llu %12llu %12lld\n", kind, static_cast<unsigned long long>(a),
                    static_cast<unsigned long long>(b), static_cast<long long>(a) - static_cast<long long>(b));
    };
    row("IF data", s.ifData, f.data);
    row("IF context", s.ifContext, f.context);
    row("spectrum data", s.extData, f.fftData);
    row("spectrum ctx", s.extContext, f.fftContext);
    row("all", sent, got);
    // On TCP the instrument ends the data connection when the stream is stopped: one error.
    std::printf("  loss %.4f %%; count gaps seen by the receiver %llu; info callbacks %llu; connection errors %llu\n",
                sent ? 100.0 * static_cast<double>(sent - std::min(sent, got)) / static_cast<double>(sent) : 0.0,
                static_cast<unsigned long long>(f.lostByCount), static_cast<unsigned long long>(f.infos),
                static_cast<unsigned long long>(f.connectionErrors));
    std::printf("  %.0f packets/s, %.1f MB/s received; %d tuning changes, %d trace changes\n",
                static_cast<double>(got) / f.seconds, static_cast<double>(f.bytes) / f.seconds / 1e6, f.tuneChanges,
                f.traceChanges);
    std::printf("  resident memory after warm-up %ld KiB, at the end %ld KiB (%+ld KiB)\n", f.rssWarmKiB, f.rssEndKiB,
                f.rssEndKiB - f.rssWarmKiB);
}

bool ParseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            o.seconds = std::atoi(argv[++i]);
            if (o.seconds <= 0) return false;
        } else if (arg == "--address" && i + 1 < argc) {
            o.address = argv[++i];
        } else if (arg == "--real-time") {
            o.fast = false;
        } else if (arg == "--udp-only") {
            o.tcp = false;
        } else if (arg == "--tcp-only") {
            o.udp = false;
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseArgs(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: vita49-soak [--seconds N] [--address A] [--real-time] [--udp-only | --tcp-only]\n"
                     "  N seconds per transport (default 60); A: a loopback address for the simulated\n"
                     "  instrument and the receiver (default 127.0.7.250); the stream runs as fast as\n"
                     "  the transport takes it unless --real-time\n");
        return 2;
    }
    const int descriptorsAtStart = OpenDescriptors();
    const long rssAtStart = ResidentKiB();
    std::printf("vita49-soak: %d s per transport on %s, %s; resident memory %ld KiB, %d descriptors open\n",
                options.seconds, options.address.c_str(), options.fast ? "as fast as possible" : "in real time",
                rssAtStart, descriptorsAtStart);

    bool ok = true;
    if (options.udp) {
        const RunFigures f = Run(options, UDP_SINGLECAST, 47401);
        ok = ok && f.ok;
        if (f.ok) Report(UDP_SINGLECAST, f);
    }
    if (options.tcp) {
        const RunFigures f = Run(options, TCP_SERVER, 47402);
        ok = ok && f.ok;
        if (f.ok) Report(TCP_SERVER, f);
    }
    const int descriptorsAtEnd = OpenDescriptors();
    std::printf("\nresident memory at start %ld KiB, at the end %ld KiB; descriptors at start %d, at the end %d\n",
                rssAtStart, ResidentKiB(), descriptorsAtStart, descriptorsAtEnd);
    if (descriptorsAtEnd != descriptorsAtStart) {
        std::printf("FAILED: descriptors left open\n");
        return 1;
    }
    return ok ? 0 : 1;
}
