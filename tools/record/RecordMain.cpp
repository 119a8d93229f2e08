// vita49-record: the library's main job from the command line. Sets a stream up through
// Vita49RemoteControl, receives and records it with Vita49Receiver, exactly as an
// application would, prints what arrived and checks it. Without --host the simulated
// instrument runs in this process on loopback, so the whole road can be checked end to end.

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "record/RecordOptions.h"
#include "record/StreamMonitor.h"
#include "record/SvgPlot.h"
#include "sim/Simulator.h"
#include "vita49/Vita49Receiver.h"
#include "vita49/Vita49RemoteControl.h"

namespace {

using namespace vita49::record;
using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t g_interrupted = 0;
void OnSignal(int) { g_interrupted = 1; }

constexpr int kExitFailure = 1, kExitUsage = 2, kExitCheck = 3;

void CopyText(char (&target)[50], const std::string& text) {
    std::memset(target, 0, sizeof target);
    std::memcpy(target, text.data(), std::min(text.size(), sizeof target - 1));
}

void CopyPath(char (&target)[100], const std::string& text) {
    std::memset(target, 0, sizeof target);
    std::memcpy(target, text.data(), std::min(text.size(), sizeof target - 1));
}

std::string Fixed(double v, int decimals) {
    char b[64];
    std::snprintf(b, sizeof b, "%.*f", decimals, v);
    return b;
}

std::string Mega(std::uint64_t bytes) { return Fixed(static_cast<double>(bytes) / 1e6, 2) + " MB"; }

class StatusLine {
public:
    explicit StatusLine(bool terminal) : terminal_(terminal) {}
    void Print(double seconds, const MonitorSnapshot& s, double megabytesPerSecond) {
        char line[256];
        std::snprintf(line, sizeof line,
                      "[%5.1f s] data %u  context %u  spectrum context %u  spectrum %u | %.2f MB/s | lost %u | "
                      "errors %llu",
                      seconds, s.dataPackets, s.contextPackets, s.spectrumContextPackets, s.spectrumDataPackets,
                      megabytesPerSecond, s.Lost(),
                      static_cast<unsigned long long>(s.info.dataErrors + s.info.contextErrors));
        if (terminal_)
            std::printf("\r%s\033[K", line); // rewritten in place
        else
            std::printf("%s\n", line);
        std::fflush(stdout);
        printed_ = true;
    }
    void End() {
        if (terminal_ && printed_) std::printf("\n");
    }

private:
    bool terminal_;
    bool printed_ = false;
};

// The steps that set up and take down a stream, with the first failure reported by name.
class Session {
public:
    bool Check(RETURN_CODE rc, const char* operation) {
        if (rc == RC_OK) return true;
        std::fprintf(stderr, "vita49-record: %s failed: %s\n", operation, ReturnCodeText(rc).c_str());
        failed_ = true;
        return false;
    }
    bool Failed() const { return failed_; }

private:
    bool failed_ = false;
};

struct CheckList {
    int failed = 0;
    void Report(bool ok, const std::string& what) {
        std::printf("  %-6s %s\n", ok ? "ok" : "FAILED", what.c_str());
        if (!ok) ++failed;
    }
};

std::uintmax_t FileBytes(const std::string& path) {
    std::error_code ec;
    const std::uintmax_t n = std::filesystem::file_size(path, ec);
    return ec ? 0 : n;
}

std::string Gps(const Vita49_Context& c) {
    if (!c.gpsValid) return "none";
    return Fixed(std::fabs(c.gpsLatitudeDeg), 6) + (c.gpsLatitudeDeg >= 0 ? " N, " : " S, ") +
           Fixed(std::fabs(c.gpsLongitudeDeg), 6) + (c.gpsLongitudeDeg >= 0 ? " E, " : " W, ") +
           Fixed(c.gpsAltitudeM, 1) + " m";
}

} // namespace

int main(int argc, char** argv) {
    RecordOptions opt;
    std::string error;
    if (!ParseOptions(argc, argv, opt, error)) {
        std::fprintf(stderr, "vita49-record: %s\n", error.c_str());
        return kExitUsage;
    }
    if (opt.help) {
        std::fputs(UsageText().c_str(), stdout);
        return 0;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    // --- The instrument: a real one, or the simulator in this process.
    std::unique_ptr<vita49::sim::Simulator> sim;
    const std::string instrument = opt.InProcess() ? opt.simAddress : opt.host;
    const std::string local = !opt.local.empty() ? opt.local : opt.InProcess() ? opt.simAddress : std::string();
    if (opt.InProcess()) {
        vita49::sim::SimConfig config;
        config.address = opt.simAddress;
        config.fast = opt.fast;
        sim = std::make_unique<vita49::sim::Simulator>(config);
        if (!sim->Start(&error)) {
            std::fprintf(stderr, "vita49-record: cannot start the simulated instrument: %s\n", error.c_str());
            return kExitFailure;
        }
        std::printf("vita49-record: simulated instrument on %s:5300\n", opt.simAddress.c_str());
    }

    // --- One settings record per object: they differ only for multicast, where the
    // instrument is told the group and the receiver joins it.
    const bool multicast = opt.connectionType == UDP_MULTICAST;
    Vita49_Base_Settings command{};
    command.connectionType = opt.connectionType;
    command.tcpPort = opt.tcpPort;
    command.udpPort = opt.udpPort;
    CopyText(command.remoteAddress, instrument);
    CopyText(command.localAddress, multicast ? opt.group : local);
    command.streamId = opt.streamId;
    Vita49_Base_Settings stream = command;
    if (multicast) {
        CopyText(stream.remoteAddress, opt.group);
        CopyText(stream.localAddress, opt.group);
    }
    Vita49_Receiver_Settings recording{};
    recording.convertDataByteOrder = 1; // little-endian samples at the callback
    recording.dataBigEndian = 0;
    recording.rawFileBigEndian = 0;
    recording.wavIntegerSamples = opt.wavFloat ? 0 : 1;
    CopyPath(recording.rawFilePath, opt.iqPath);
    CopyPath(recording.wavFilePath, opt.wavPath);

    std::printf("vita49-record: %s stream %u from %s to %s, %gs\n", ConnectionTypeText(opt.connectionType),
                opt.streamId, instrument.c_str(),
                opt.connectionType == TCP_CLIENT ? (instrument + ":" + std::to_string(opt.tcpPort)).c_str()
                : opt.connectionType == TCP_SERVER ? ("port " + std::to_string(opt.tcpPort)).c_str()
                : ((multicast ? opt.group : local) + ":" + std::to_string(opt.udpPort)).c_str(),
                opt.durationS);

    Session session;
    Vita49RemoteControl control;
    Vita49Receiver receiver;
    StreamMonitor monitor;
    bool controlOpen = false, receiverOpen = false, streaming = false;
    std::uint32_t connectionErrorsWhileStreaming = 0;

    control.Init(command);
    controlOpen = session.Check(control.Open(), "Vita49RemoteControl::Open");
    if (controlOpen && session.Check(control.InitVita49Streaming(), "InitVita49Streaming") &&
        session.Check(control.ChangeTune(opt.frequencyHz), "ChangeTune") &&
        session.Check(control.ChangeCBW(opt.cbwHz), "ChangeCBW") &&
        session.Check(control.ChangeOversampling(opt.oversampling), "ChangeOversampling") &&
        session.Check(control.ChangePayloadLimit(opt.payloadLimit), "ChangePayloadLimit") &&
        session.Check(control.ChangeDataItemSize(static_cast<unsigned char>(opt.bits)), "ChangeDataItemSize")) {
        receiver.Init(stream, recording);
        monitor.Attach(receiver);
        receiver.SetDisplayedTrace(opt.trace);
        receiverOpen = session.Check(receiver.Open(), "Vita49Receiver::Open");
        if (receiverOpen) streaming = session.Check(control.StartVita49Stream(), "StartVita49Stream");
    }

    // --- Receive, with a status line once a second.
    const auto start = Clock::now();
    if (streaming) {
        StatusLine status(isatty(fileno(stdout)) != 0);
        std::uint64_t lastBytes = 0;
        auto lastTime = start;
        double nextStatus = 1.0;
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            if (elapsed >= nextStatus) {
                const MonitorSnapshot s = monitor.Snapshot();
                const auto now = Clock::now();
                const double dt = std::chrono::duration<double>(now - lastTime).count();
                status.Print(elapsed, s, dt > 0 ? static_cast<double>(s.info.bytesReceived - lastBytes) / dt / 1e6 : 0.0);
                lastBytes = s.info.bytesReceived;
                lastTime = now;
                nextStatus += 1.0;
                if (s.connectionErrors > 0) {
                    status.End();
                    std::fprintf(stderr, "vita49-record: the stream connection was lost\n");
                    break;
                }
            }
            if (elapsed >= opt.durationS || g_interrupted) break;
        }
        status.End();
        // A TCP stream connection ends when the stream stops: only a loss before counts.
        connectionErrorsWhileStreaming = monitor.Snapshot().connectionErrors;
        session.Check(control.StopVita49Stream(), "StopVita49Stream");
        if (sim) {
            // Let every packet the simulator sent arrive before the receiver is closed, so
            // that sent and received can be compared exactly.
            sim->WaitStreaming(false, 3000);
            const auto deadline = Clock::now() + std::chrono::seconds(2);
            while (Clock::now() < deadline && monitor.Snapshot().dataPackets + 0ull < sim->Stats().ifData)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
    }
    const double receivedFor = std::chrono::duration<double>(Clock::now() - start).count();
    if (receiverOpen) session.Check(receiver.Close(), "Vita49Receiver::Close");
    if (controlOpen) session.Check(control.Close(), "Vita49RemoteControl::Close");
    vita49::sim::SimStats simStats;
    if (sim) {
        sim->Stop();
        simStats = sim->Stats();
    }
    if (!streaming) return kExitFailure;

    // --- Summary.
    const MonitorSnapshot s = monitor.Snapshot();
    const Vita49_Context& c = s.context;
    std::printf("\nvita49-record: summary after %.1f s\n", receivedFor);
    if (s.haveContext) {
        std::printf("  context         frequency %s Hz, bandwidth %s Hz, sample rate %s Hz\n",
                    c.rfReferenceFrequencyValid ? Fixed(c.rfReferenceFrequencyHz, 3).c_str() : "-",
                    c.bandwidthValid ? Fixed(c.bandwidthHz, 3).c_str() : "-",
                    c.sampleRateValid ? Fixed(c.sampleRateHz, 3).c_str() : "-");
        std::printf("                  reference level %s dBm, item size %s, GPS %s\n",
                    c.referenceLevelValid ? Fixed(c.referenceLevelDbm, 2).c_str() : "-",
                    c.payloadFormatValid ? (std::to_string(c.dataItemSize) + " bits").c_str() : "-", Gps(c).c_str());
    } else {
        std::printf("  context         none received\n");
    }
    const unsigned bits = s.haveContext && c.payloadFormatValid ? c.dataItemSize : opt.bits;
    std::printf("  IF data         %u packets, %u lost, %llu samples (%s)\n", s.dataPackets, s.dataLost,
                static_cast<unsigned long long>(s.samples), Mega(s.samples * (bits / 4)).c_str());
    std::printf("  IF context      %u packets, %u lost\n", s.contextPackets, s.contextLost);
    std::printf("  spectrum ctx    %u packets, %u lost", s.spectrumContextPackets, s.spectrumContextLost);
    if (s.haveSpectrumContext && s.spectrumContext.spectrumParam1Valid)
        std::printf(" (centre %s Hz, span %s Hz, %u points)", Fixed(s.spectrumContext.spectrumParam1Hz, 0).c_str(),
                    Fixed(s.spectrumContext.spectrumParam2Hz, 0).c_str(), s.spectrumContext.spectrumParam4);
    std::printf("\n  spectrum data   %u packets, %u lost, trace ids seen:", s.spectrumDataPackets, s.spectrumDataLost);
    for (std::uint16_t id : s.traceIds) std::printf(" %u", id);
    std::printf(" (displayed %u)\n", opt.trace);
    std::printf("  other           %llu unusable or foreign arrivals, %llu data errors, %llu context errors\n",
                static_cast<unsigned long long>(s.otherCallbacks), static_cast<unsigned long long>(s.info.dataErrors),
                static_cast<unsigned long long>(s.info.contextErrors));
    std::printf("  lost packets: %u\n", s.Lost());
    if (sim)
        std::printf("  simulator sent  %llu IF data, %llu IF context, %llu spectrum data, %llu spectrum context packets\n",
                    static_cast<unsigned long long>(simStats.ifData), static_cast<unsigned long long>(simStats.ifContext),
                    static_cast<unsigned long long>(simStats.extData),
                    static_cast<unsigned long long>(simStats.extContext));

    const long rateHz = s.haveContext && c.sampleRateValid ? static_cast<long>(c.sampleRateHz) : 0;
    if (!opt.wavPath.empty()) {
        const std::uintmax_t bytes = FileBytes(opt.wavPath);
        std::printf("  file            %s: RIFF/WAVE, 2 channels (I, Q), %s, %ld Hz, %s of samples\n",
                    opt.wavPath.c_str(), opt.wavFloat ? "32-bit float" : (std::to_string(bits) + "-bit PCM").c_str(),
                    rateHz, Mega(bytes > 44 ? bytes - 44 : 0).c_str());
    }
    if (!opt.iqPath.empty())
        std::printf("  file            %s: raw I/Q pairs, signed %u-bit little-endian, %s\n", opt.iqPath.c_str(), bits,
                    Mega(FileBytes(opt.iqPath)).c_str());

    // --- Checks.
    CheckList checks;
    std::printf("\nvita49-record: checks\n");
    checks.Report(s.dataPackets > 0 && s.haveContext, "IF data and IF context received");
    if (s.haveContext) {
        checks.Report(c.rfReferenceFrequencyValid && std::llround(c.rfReferenceFrequencyHz) == static_cast<long long>(opt.frequencyHz),
                      "tuning frequency " + std::to_string(opt.frequencyHz) + " Hz in the context");
        checks.Report(c.bandwidthValid && std::llround(c.bandwidthHz) == static_cast<long long>(opt.cbwHz),
                      "bandwidth " + std::to_string(opt.cbwHz) + " Hz in the context");
        checks.Report(c.payloadFormatValid && c.dataItemSize == opt.bits,
                      "item size " + std::to_string(opt.bits) + " bits in the context");
    }
    const double rate = s.haveContext && c.sampleRateValid ? c.sampleRateHz : 0.0;
    const double tolerance = std::max(1.0, rate * 1e-4);
    if (sim || opt.expectTone) {
        const double expected = sim ? sim->ToneOffsetHz() : opt.expectedToneHz;
        const double expectedRate =
            opt.oversampling ? static_cast<double>(opt.cbwHz) * 1.25 : static_cast<double>(opt.cbwHz);
        if (sim)
            checks.Report(c.sampleRateValid && std::fabs(c.sampleRateHz - expectedRate) < 1e-3,
                          "sample rate " + Fixed(expectedRate, 2) + " Hz in the context");
        checks.Report(s.toneSamples > 1000 && std::fabs(s.toneHz - expected) <= tolerance,
                      "tone at " + Fixed(s.toneHz, 1) + " Hz from the centre, generated at " + Fixed(expected, 1) +
                          " Hz (within " + Fixed(tolerance, 1) + " Hz, " + std::to_string(s.toneSamples) + " samples)");
    } else {
        std::printf("  info   strongest tone at %s Hz from the centre (not checked; see --expect-tone)\n",
                    Fixed(s.toneHz, 1).c_str());
    }
    if (sim) {
        checks.Report(s.Lost() == 0, "no packet lost");
        checks.Report(s.dataPackets == simStats.ifData && s.contextPackets == simStats.ifContext &&
                          s.spectrumDataPackets == simStats.extData && s.spectrumContextPackets == simStats.extContext,
                      "every packet the simulator sent was received");
        checks.Report(simStats.commandErrors == 0, "no command refused by the instrument");
        checks.Report(s.traceIds.size() == 2, "two spectrum traces");
    }
    checks.Report(connectionErrorsWhileStreaming == 0, "no connection error while streaming");
    if (!opt.plotPath.empty()) {
        bool ok = false;
        if (!s.lastTrace.empty() && s.haveSpectrumContext && s.spectrumContext.spectrumParam1Valid) {
            // Centre and span from the spectrum parameters; the points cover the span.
            const double centreHz = s.spectrumContext.spectrumParam1Hz;
            const double spanHz = s.spectrumContext.spectrumParam2Hz;
            TracePlot plot;
            plot.levelsDbm = s.lastTrace;
            plot.stepHz = spanHz / static_cast<double>(plot.levelsDbm.size());
            plot.startHz = centreHz - spanHz / 2.0;
            plot.centreHz = centreHz;
            plot.title = "Trace " + std::to_string(opt.trace) + ", centre " + Fixed(centreHz / 1e6, 3) + " MHz, span " +
                         Fixed(spanHz / 1e3, 1) + " kHz";
            ok = WriteSvg(opt.plotPath, plot);
        }
        checks.Report(ok, "spectrum plot written to " + opt.plotPath);
    }
    if (session.Failed() || checks.failed > 0) {
        std::printf("vita49-record: %d check(s) failed\n", checks.failed);
        return session.Failed() ? kExitFailure : kExitCheck;
    }
    std::printf("vita49-record: all checks passed\n");
    return 0;
}
