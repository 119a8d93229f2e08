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
#include <optional>
#include <string>
#include <thread>

#include "net/ConnectionTypes.h"
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
    void Fail(const char* what, const std::string& why) {
        std::fprintf(stderr, "vita49-record: %s failed: %s\n", what, why.c_str());
        failed_ = true;
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

// One run of the tool: the instrument (the simulator in this process, or a real one), the two
// library objects as an application holds them, what the receiver saw, and how far it got.
struct Run {
    explicit Run(const RecordOptions& options) : opt(options) {}

    const RecordOptions& opt;
    std::unique_ptr<vita49::sim::Simulator> sim; // null with --host
    std::string instrument;                      // the instrument's command address
    std::string local;                           // this host as the instrument sees it
    Vita49_Base_Settings command{};              // for the remote control
    Vita49_Base_Settings stream{};               // for the receiver
    Vita49_Receiver_Settings recording{};

    Session session;
    Vita49RemoteControl control;
    Vita49Receiver receiver;
    StreamMonitor monitor;
    bool controlOpen = false, receiverOpen = false, streaming = false;

    Clock::time_point start;
    double receivedFor = 0; // seconds from the start of the stream to its end
    std::uint32_t connectionErrorsWhileStreaming = 0;
    vita49::sim::SimStats simStats;
};

// --- Steps, in the order main takes them.

// The options; an exit status when there is nothing more to do (help, or bad options).
std::optional<int> ParseCommandLine(int argc, char** argv, RecordOptions& opt) {
    std::string error;
    if (!ParseOptions(argc, argv, opt, error)) {
        std::fprintf(stderr, "vita49-record: %s\n", error.c_str());
        return kExitUsage;
    }
    if (opt.help) {
        std::fputs(UsageText().c_str(), stdout);
        return 0;
    }
    return std::nullopt;
}

// A real instrument, or the simulator started in this process.
bool StartInstrument(Run& run) {
    const RecordOptions& opt = run.opt;
    run.instrument = opt.InProcess() ? opt.simAddress : opt.host;
    run.local = !opt.local.empty() ? opt.local : opt.InProcess() ? opt.simAddress : std::string();
    if (!opt.InProcess()) return true;
    vita49::sim::SimConfig config;
    config.address = opt.simAddress;
    config.fast = opt.fast;
    run.sim = std::make_unique<vita49::sim::Simulator>(config);
    std::string error;
    if (!run.sim->Start(&error)) {
        std::fprintf(stderr, "vita49-record: cannot start the simulated instrument: %s\n", error.c_str());
        return false;
    }
    std::printf("vita49-record: simulated instrument on %s:5300\n", opt.simAddress.c_str());
    return true;
}

// One settings record per object: they differ only for multicast, where the instrument is
// told the group and the receiver joins it.
void MakeSettings(Run& run) {
    const RecordOptions& opt = run.opt;
    const bool multicast = opt.connectionType == UDP_MULTICAST;
    Vita49_Base_Settings& command = run.command;
    command.connectionType = opt.connectionType;
    command.tcpPort = opt.tcpPort;
    command.udpPort = opt.udpPort;
    CopyText(command.remoteAddress, run.instrument);
    CopyText(command.localAddress, multicast ? opt.group : run.local);
    command.streamId = opt.streamId;
    run.stream = command;
    if (multicast) {
        CopyText(run.stream.remoteAddress, opt.group);
        CopyText(run.stream.localAddress, opt.group);
    }
    Vita49_Receiver_Settings& recording = run.recording;
    recording.convertDataByteOrder = 1; // little-endian samples at the callback
    recording.dataBigEndian = 0;
    recording.rawFileBigEndian = 0;
    recording.wavIntegerSamples = opt.wavFloat ? 0 : 1;
    CopyPath(recording.rawFilePath, opt.iqPath);
    CopyPath(recording.wavFilePath, opt.wavPath);
}

// Where the stream goes, as this host sees it.
std::string Destination(const Run& run) {
    const RecordOptions& opt = run.opt;
    if (opt.connectionType == TCP_CLIENT) return run.instrument + ":" + std::to_string(opt.tcpPort);
    if (opt.connectionType == TCP_SERVER) return "port " + std::to_string(opt.tcpPort);
    return (opt.connectionType == UDP_MULTICAST ? opt.group : run.local) + ":" + std::to_string(opt.udpPort);
}

void PrintPlan(const Run& run) {
    std::printf("vita49-record: %s stream %u from %s to %s, %gs\n",
                vita49::net::ConnectionTypeName(run.opt.connectionType).c_str(), run.opt.streamId,
                run.instrument.c_str(), Destination(run).c_str(), run.opt.durationS);
}

// The stream's set-up on the instrument, up to (not including) its start.
bool SetUpStream(Run& run) {
    const RecordOptions& opt = run.opt;
    Session& session = run.session;
    Vita49RemoteControl& control = run.control;
    control.Init(run.command);
    run.controlOpen = session.Check(control.Open(), "Vita49RemoteControl::Open");
    return run.controlOpen && session.Check(control.InitVita49Streaming(), "InitVita49Streaming") &&
           session.Check(control.ChangeTune(opt.frequencyHz), "ChangeTune") &&
           session.Check(control.ChangeCBW(opt.cbwHz), "ChangeCBW") &&
           session.Check(control.ChangeOversampling(opt.oversampling), "ChangeOversampling") &&
           session.Check(control.ChangePayloadLimit(opt.payloadLimit), "ChangePayloadLimit") &&
           session.Check(control.ChangeDataItemSize(static_cast<unsigned char>(opt.bits)), "ChangeDataItemSize");
}

bool OpenReceiver(Run& run) {
    run.receiver.Init(run.stream, run.recording);
    run.monitor.Attach(run.receiver);
    run.receiver.SetDisplayedTrace(run.opt.trace);
    run.receiver.SetSigMFRecording(run.opt.sigmfBase.c_str());
    run.receiverOpen = run.session.Check(run.receiver.Open(), "Vita49Receiver::Open");
    return run.receiverOpen;
}

bool StartStream(Run& run) {
    run.streaming = run.session.Check(run.control.StartVita49Stream(), "StartVita49Stream");
    return run.streaming;
}

// Receives for the duration (or until interrupted or the connection is lost), with a status
// line once a second.
void ReceiveWithStatus(Run& run) {
    StatusLine status(isatty(fileno(stdout)) != 0);
    std::uint64_t lastBytes = 0;
    auto lastTime = run.start;
    double nextStatus = 1.0;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const double elapsed = std::chrono::duration<double>(Clock::now() - run.start).count();
        if (elapsed >= nextStatus) {
            const MonitorSnapshot s = run.monitor.Snapshot();
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
        if (elapsed >= run.opt.durationS || g_interrupted) break;
    }
    status.End();
    // A TCP stream connection ends when the stream stops: only a loss before counts.
    run.connectionErrorsWhileStreaming = run.monitor.Snapshot().connectionErrors;
}

void StopStream(Run& run) {
    run.session.Check(run.control.StopVita49Stream(), "StopVita49Stream");
    if (run.sim) {
        // Let every packet the simulator sent arrive before the receiver is closed, so that
        // sent and received can be compared exactly.
        run.sim->WaitStreaming(false, 3000);
        const auto deadline = Clock::now() + std::chrono::seconds(2);
        while (Clock::now() < deadline && run.monitor.Snapshot().dataPackets + 0ull < run.sim->Stats().ifData)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
}

// Closes what was opened (the receiver first: its Close completes the recordings) and stops
// the simulator, keeping what it sent.
void CloseAll(Run& run) {
    if (run.receiverOpen) {
        run.session.Check(run.receiver.Close(), "Vita49Receiver::Close");
        // The files are finished only now: a full disk or a file that could not be created
        // is a failure of the run, not something to find out later.
        const std::string error = run.receiver.RecordingError();
        if (!error.empty()) run.session.Fail("recording", error);
    }
    if (run.controlOpen) run.session.Check(run.control.Close(), "Vita49RemoteControl::Close");
    if (run.sim) {
        run.sim->Stop();
        run.simStats = run.sim->Stats();
    }
}

// --- The summary: what arrived, and the files.

// Item size of the samples: as the context says, else as asked for.
unsigned SampleBits(const Run& run, const MonitorSnapshot& s) {
    return s.haveContext && s.context.payloadFormatValid ? s.context.dataItemSize : run.opt.bits;
}

void PrintContext(const MonitorSnapshot& s) {
    const Vita49_Context& c = s.context;
    if (!s.haveContext) {
        std::printf("  context         none received\n");
        return;
    }
    std::printf("  context         frequency %s Hz, bandwidth %s Hz, sample rate %s Hz\n",
                c.rfReferenceFrequencyValid ? Fixed(c.rfReferenceFrequencyHz, 3).c_str() : "-",
                c.bandwidthValid ? Fixed(c.bandwidthHz, 3).c_str() : "-",
                c.sampleRateValid ? Fixed(c.sampleRateHz, 3).c_str() : "-");
    std::printf("                  reference level %s dBm, item size %s, GPS %s\n",
                c.referenceLevelValid ? Fixed(c.referenceLevelDbm, 2).c_str() : "-",
                c.payloadFormatValid ? (std::to_string(c.dataItemSize) + " bits").c_str() : "-", Gps(c).c_str());
}

void PrintPackets(const Run& run, const MonitorSnapshot& s) {
    std::printf("  IF data         %u packets, %u lost, %llu samples (%s)\n", s.dataPackets, s.dataLost,
                static_cast<unsigned long long>(s.samples), Mega(s.samples * (SampleBits(run, s) / 4)).c_str());
    std::printf("  IF context      %u packets, %u lost\n", s.contextPackets, s.contextLost);
    std::printf("  spectrum ctx    %u packets, %u lost", s.spectrumContextPackets, s.spectrumContextLost);
    if (s.haveSpectrumContext && s.spectrumContext.spectrumParam1Valid)
        std::printf(" (centre %s Hz, span %s Hz, %u points)", Fixed(s.spectrumContext.spectrumParam1Hz, 0).c_str(),
                    Fixed(s.spectrumContext.spectrumParam2Hz, 0).c_str(), s.spectrumContext.spectrumParam4);
    std::printf("\n  spectrum data   %u packets, %u lost, trace ids seen:", s.spectrumDataPackets, s.spectrumDataLost);
    for (std::uint16_t id : s.traceIds) std::printf(" %u", id);
    std::printf(" (displayed %u)\n", run.opt.trace);
    std::printf("  other           %llu unusable or foreign arrivals, %llu data errors, %llu context errors\n",
                static_cast<unsigned long long>(s.otherCallbacks), static_cast<unsigned long long>(s.info.dataErrors),
                static_cast<unsigned long long>(s.info.contextErrors));
    std::printf("  lost packets: %u\n", s.Lost());
    if (run.sim) {
        const vita49::sim::SimStats& sent = run.simStats;
        std::printf("  simulator sent  %llu IF data, %llu IF context, %llu spectrum data, %llu spectrum context packets\n",
                    static_cast<unsigned long long>(sent.ifData), static_cast<unsigned long long>(sent.ifContext),
                    static_cast<unsigned long long>(sent.extData), static_cast<unsigned long long>(sent.extContext));
    }
}

void PrintFiles(const Run& run, const MonitorSnapshot& s) {
    const RecordOptions& opt = run.opt;
    const unsigned bits = SampleBits(run, s);
    const long rateHz = s.haveContext && s.context.sampleRateValid ? static_cast<long>(s.context.sampleRateHz) : 0;
    if (!opt.wavPath.empty()) {
        const std::uintmax_t bytes = FileBytes(opt.wavPath);
        std::printf("  file            %s: RIFF/WAVE, 2 channels (I, Q), %s, %ld Hz, %s of samples\n",
                    opt.wavPath.c_str(), opt.wavFloat ? "32-bit float" : (std::to_string(bits) + "-bit PCM").c_str(),
                    rateHz, Mega(bytes > 44 ? bytes - 44 : 0).c_str());
    }
    if (!opt.iqPath.empty())
        std::printf("  file            %s: raw I/Q pairs, signed %u-bit little-endian, %s\n", opt.iqPath.c_str(), bits,
                    Mega(FileBytes(opt.iqPath)).c_str());
    if (!opt.sigmfBase.empty())
        std::printf("  file            %s.sigmf-data and .sigmf-meta: SigMF ci%u_le, %s of samples\n",
                    opt.sigmfBase.c_str(), bits, Mega(FileBytes(opt.sigmfBase + ".sigmf-data")).c_str());
}

void PrintSummary(const Run& run, const MonitorSnapshot& s) {
    std::printf("\nvita49-record: summary after %.1f s\n", run.receivedFor);
    PrintContext(s);
    PrintPackets(run, s);
    PrintFiles(run, s);
}

// --- The checks.

void CheckContext(const Run& run, const MonitorSnapshot& s, CheckList& checks) {
    const RecordOptions& opt = run.opt;
    const Vita49_Context& c = s.context;
    checks.Report(s.dataPackets > 0 && s.haveContext, "IF data and IF context received");
    if (!s.haveContext) return;
    checks.Report(c.rfReferenceFrequencyValid && std::llround(c.rfReferenceFrequencyHz) == static_cast<long long>(opt.frequencyHz),
                  "tuning frequency " + std::to_string(opt.frequencyHz) + " Hz in the context");
    checks.Report(c.bandwidthValid && std::llround(c.bandwidthHz) == static_cast<long long>(opt.cbwHz),
                  "bandwidth " + std::to_string(opt.cbwHz) + " Hz in the context");
    checks.Report(c.payloadFormatValid && c.dataItemSize == opt.bits,
                  "item size " + std::to_string(opt.bits) + " bits in the context");
}

// The tone found in the samples against the one generated (simulator) or expected (--expect-tone).
void CheckTone(const Run& run, const MonitorSnapshot& s, CheckList& checks) {
    const RecordOptions& opt = run.opt;
    const Vita49_Context& c = s.context;
    if (!run.sim && !opt.expectTone) {
        std::printf("  info   strongest tone at %s Hz from the centre (not checked; see --expect-tone)\n",
                    Fixed(s.toneHz, 1).c_str());
        return;
    }
    const double rate = s.haveContext && c.sampleRateValid ? c.sampleRateHz : 0.0;
    const double tolerance = std::max(1.0, rate * 1e-4);
    const double expected = run.sim ? run.sim->ToneOffsetHz() : opt.expectedToneHz;
    if (run.sim) {
        const double expectedRate =
            opt.oversampling ? static_cast<double>(opt.cbwHz) * 1.25 : static_cast<double>(opt.cbwHz);
        checks.Report(c.sampleRateValid && std::fabs(c.sampleRateHz - expectedRate) < 1e-3,
                      "sample rate " + Fixed(expectedRate, 2) + " Hz in the context");
    }
    checks.Report(s.toneSamples > 1000 && std::fabs(s.toneHz - expected) <= tolerance,
                  "tone at " + Fixed(s.toneHz, 1) + " Hz from the centre, generated at " + Fixed(expected, 1) +
                      " Hz (within " + Fixed(tolerance, 1) + " Hz, " + std::to_string(s.toneSamples) + " samples)");
}

// Against the simulator in this process, sent and received can be compared packet for packet.
void CheckAgainstSimulator(const Run& run, const MonitorSnapshot& s, CheckList& checks) {
    if (!run.sim) return;
    const vita49::sim::SimStats& sent = run.simStats;
    checks.Report(s.Lost() == 0, "no packet lost");
    checks.Report(s.dataPackets == sent.ifData && s.contextPackets == sent.ifContext &&
                      s.spectrumDataPackets == sent.extData && s.spectrumContextPackets == sent.extContext,
                  "every packet the simulator sent was received");
    checks.Report(sent.commandErrors == 0, "no command refused by the instrument");
    checks.Report(s.traceIds.size() == 2, "two spectrum traces");
}

void CheckPlot(const Run& run, const MonitorSnapshot& s, CheckList& checks) {
    const RecordOptions& opt = run.opt;
    if (opt.plotPath.empty()) return;
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

// Runs the checks and gives the exit status: a failed operation before a failed check.
int CheckAndConclude(const Run& run, const MonitorSnapshot& s) {
    CheckList checks;
    std::printf("\nvita49-record: checks\n");
    CheckContext(run, s, checks);
    CheckTone(run, s, checks);
    CheckAgainstSimulator(run, s, checks);
    checks.Report(run.connectionErrorsWhileStreaming == 0, "no connection error while streaming");
    CheckPlot(run, s, checks);
    if (run.session.Failed() || checks.failed > 0) {
        std::printf("vita49-record: %d check(s) failed\n", checks.failed);
        return run.session.Failed() ? kExitFailure : kExitCheck;
    }
    std::printf("vita49-record: all checks passed\n");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    RecordOptions opt;
    if (const std::optional<int> status = ParseCommandLine(argc, argv, opt)) return *status;
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    Run run(opt);
    if (!StartInstrument(run)) return kExitFailure;
    MakeSettings(run);
    PrintPlan(run);
    if (SetUpStream(run) && OpenReceiver(run) && StartStream(run)) {
        run.start = Clock::now();
        ReceiveWithStatus(run);
        StopStream(run);
        run.receivedFor = std::chrono::duration<double>(Clock::now() - run.start).count();
    }
    CloseAll(run);
    if (!run.streaming) return kExitFailure;

    const MonitorSnapshot s = run.monitor.Snapshot();
    PrintSummary(run, s);
    return CheckAndConclude(run, s);
}
