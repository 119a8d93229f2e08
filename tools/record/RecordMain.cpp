// vita49-record: the library's main job from the command line. Sets a stream up through
// Vita49RemoteControl, receives and records it with Vita49Receiver, exactly as an
// application would, prints what arrived and checks it. Without --host the simulated
// instrument runs in this process on loopback, so the whole road can be checked end to end.

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "net/ConnectionTypes.h"
#include "net/SocketConnection.h"
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

// An error line. Standard output goes first, so that both keep their order in one pipe.
void Error(const std::string& text) {
    std::fflush(stdout);
    std::fprintf(stderr, "vita49-record: %s\n", text.c_str());
}

// No IF data for this long is a stall: a UDP stream that stops raises no connection error.
constexpr double kStallS = 2.0;

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
        printed_ = false;
    }
    // A line of its own between the status lines.
    void Warn(const std::string& text) {
        End();
        std::printf("vita49-record: %s\n", text.c_str());
        std::fflush(stdout);
    }

private:
    bool terminal_;
    bool printed_ = false;
};

// The steps that set up and take down a stream, with the first failure reported by name,
// its code and what to check.
class Session {
public:
    bool Check(RETURN_CODE rc, const std::string& operation, const std::string& advice = std::string()) {
        if (rc == RC_OK) return true;
        Fail(operation, ReturnCodeText(rc) + (advice.empty() ? "" : ": " + advice));
        return false;
    }
    void Fail(const std::string& what, const std::string& why) {
        Error(what + " failed: " + why);
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
    int stalls = 0;            // times the IF data stopped for kStallS or more
    double longestStallS = 0;
    vita49::sim::SimStats simStats;

    // What the instrument said about itself and about the set-up; unanswered: no such query.
    bool errorQueryAnswered = false;
    std::vector<std::string> instrumentErrors;
    std::string recordingError; // the receiver's, once closed

    std::string CommandPort() const { return instrument + ":5300"; }
};

// --- Steps, in the order main takes them.

// The options; an exit status when there is nothing more to do (help, or bad options).
std::optional<int> ParseCommandLine(int argc, char** argv, RecordOptions& opt) {
    std::string error;
    if (!ParseOptions(argc, argv, opt, error)) {
        Error(error);
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
        Error("cannot start the simulated instrument: " + error);
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

// Tuning beyond 32 bits needs the wide operation; below, the one every instrument knows.
RETURN_CODE TuneTo(Vita49RemoteControl& control, std::uint64_t hz) {
    if (hz > 0xFFFFFFFFull) return control.ChangeTuneHz(hz);
    return control.ChangeTune(static_cast<unsigned long>(hz));
}

// A text from the instrument as one harmless line: no control characters reach the terminal.
std::string Printable(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return text;
}

// --- What to check when an operation fails, as far as its code tells.

std::string CommandAdvice(const Run& run, const std::string& operation, RETURN_CODE rc) {
    const std::string port = run.CommandPort();
    if (operation == "Vita49RemoteControl::Open") {
        if (rc == RC_CONNECTION_ERROR) return "the address '" + run.instrument + "' does not resolve";
        return "connection to " + port + " refused or not answered within 100 ms (address, power, firewall?)";
    }
    if (rc == RC_TIMEOUT && operation == "InitVita49Streaming")
        return "no answer to TASK:LIST? or VIEW:LIST? within 3 s from " + port +
               " (an instrument with VITA 49 streaming?)";
    if (rc == RC_SOCKET_ERROR || rc == RC_CONNECTION_ERROR)
        return "the command connection to " + port + " broke (closed by the instrument?)";
    if (rc == RC_INVALID_ARGUMENT) return "a value the command cannot carry";
    return std::string();
}

std::string ReceiverAdvice(const Run& run, RETURN_CODE rc) {
    const RecordOptions& opt = run.opt;
    if (rc == RC_CONNECTION_ERROR) return "an address that does not resolve (--local, --group, --host)";
    if (rc != RC_SOCKET_ERROR) return std::string();
    switch (opt.connectionType) {
    case TCP_SERVER:
        return "cannot listen on TCP port " + std::to_string(opt.tcpPort) + " (used by another program?)";
    case UDP_MULTICAST:
        return "cannot receive group " + opt.group + " on UDP port " + std::to_string(opt.udpPort) +
               " (a multicast route on this host? the port used by another program?)";
    case UDP_SINGLECAST:
        return "cannot receive on " + run.local + ":" + std::to_string(opt.udpPort) +
               " (an address of this host? the port used by another program?)";
    default:
        return std::string();
    }
}

// The receiver asks for a large UDP receive buffer and takes what it gets, and does not say
// what that was. The same request on a socket of our own, with this process's privileges,
// gets the same answer; a smaller buffer is said once, with the way to raise the limit.
void NoteReceiveBuffer(const Run& run) {
    if (run.opt.connectionType != UDP_SINGLECAST && run.opt.connectionType != UDP_MULTICAST) return;
    const int asked = vita49::net::SocketConnection::kUdpReceiveBuffer;
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return;
    int got = 0;
    socklen_t length = sizeof got;
#ifdef SO_RCVBUFFORCE
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &asked, sizeof asked) != 0)
#endif
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &asked, sizeof asked);
    const bool known = ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &got, &length) == 0;
    ::close(fd);
#ifdef __linux__
    got /= 2; // Linux reports twice the size set: its bookkeeping share
#endif
    if (!known || got >= asked) return;
    std::printf("vita49-record: note: the UDP receive buffer is %s, not the %s asked for, so a burst may be lost;\n"
                "  the system limit raises with: sudo sysctl -w net.core.rmem_max=%d\n",
                Mega(static_cast<std::uint64_t>(got)).c_str(), Mega(static_cast<std::uint64_t>(asked)).c_str(), asked);
}

// --- Set-up.

bool OpenControl(Run& run) {
    run.control.Init(run.command);
    const RETURN_CODE rc = run.control.Open();
    run.controlOpen = run.session.Check(rc, "Vita49RemoteControl::Open",
                                        CommandAdvice(run, "Vita49RemoteControl::Open", rc));
    return run.controlOpen;
}

bool Step(Run& run, RETURN_CODE rc, const std::string& operation) {
    return run.session.Check(rc, operation, CommandAdvice(run, operation, rc));
}

// The instrument's identity, printed. One without *IDN? is said, not failed.
bool IdentifyInstrument(Run& run) {
    std::string identity;
    const RETURN_CODE rc = run.control.Identify(identity);
    if (rc == RC_TIMEOUT) {
        std::printf("vita49-record: the instrument has no *IDN? query (no answer within 3 s from %s)\n",
                    run.CommandPort().c_str());
        return true;
    }
    if (!Step(run, rc, "Identify (*IDN?)")) return false;
    std::printf("vita49-record: instrument: %s\n", Printable(identity).c_str());
    return true;
}

// The instrument's error queue after the set-up, read until it says "0,...". Entries fail the
// set-up check at the end; an instrument without the query is said, not failed.
bool ReadInstrumentErrors(Run& run) {
    constexpr int kMostEntries = 64; // an instrument that never says 0 must not keep us here
    for (int i = 0; i < kMostEntries; ++i) {
        std::string entry;
        const RETURN_CODE rc = run.control.ReadError(entry);
        if (rc == RC_TIMEOUT) {
            std::printf("vita49-record: the instrument has no SYSTem:ERRor? query (no answer within 3 s from %s); "
                        "its errors are not checked\n",
                        run.CommandPort().c_str());
            return true;
        }
        if (!Step(run, rc, "ReadError (SYSTem:ERRor?)")) return false;
        run.errorQueryAnswered = true;
        char* end = nullptr;
        const long code = std::strtol(entry.c_str(), &end, 10);
        if (end != entry.c_str() && *end == ',' && code == 0) return true;
        run.instrumentErrors.push_back(Printable(entry));
        std::printf("vita49-record: the instrument reports: %s\n", run.instrumentErrors.back().c_str());
    }
    return true;
}

// The stream's set-up on the instrument, up to (not including) its start. Only the stream
// parameters that were given are sent: a real instrument keeps its own for the rest.
bool SetUpStream(Run& run) {
    const RecordOptions& opt = run.opt;
    Vita49RemoteControl& control = run.control;
    if (!Step(run, control.InitVita49Streaming(), "InitVita49Streaming")) return false;
    const char* tune = opt.frequencyHz.value_or(0) > 0xFFFFFFFFull ? "ChangeTuneHz" : "ChangeTune";
    if (opt.frequencyHz && !Step(run, TuneTo(control, *opt.frequencyHz), tune)) return false;
    if (opt.cbwHz && !Step(run, control.ChangeCBW(*opt.cbwHz), "ChangeCBW")) return false;
    if (opt.oversampling && !Step(run, control.ChangeOversampling(*opt.oversampling), "ChangeOversampling"))
        return false;
    if (opt.payloadLimit && !Step(run, control.ChangePayloadLimit(*opt.payloadLimit), "ChangePayloadLimit"))
        return false;
    if (opt.bits && !Step(run, control.ChangeDataItemSize(static_cast<unsigned char>(*opt.bits)), "ChangeDataItemSize"))
        return false;
    return ReadInstrumentErrors(run);
}

bool OpenReceiver(Run& run) {
    run.receiver.Init(run.stream, run.recording);
    run.monitor.Attach(run.receiver, run.opt.trace);
    run.receiver.SetDisplayedTrace(run.opt.trace);
    run.receiver.SetSigMFRecording(run.opt.sigmfBase.c_str());
    const RETURN_CODE rc = run.receiver.Open();
    run.receiverOpen = run.session.Check(rc, "Vita49Receiver::Open", ReceiverAdvice(run, rc));
    if (run.receiverOpen) NoteReceiveBuffer(run);
    return run.receiverOpen;
}

bool StartStream(Run& run) {
    run.streaming = Step(run, run.control.StartVita49Stream(), "StartVita49Stream");
    return run.streaming;
}

// --- Reception.

// Watches the IF data count for gaps of kStallS or more and says so when one begins and ends.
class StallWatch {
public:
    void Update(Run& run, StatusLine& status, double elapsed, std::uint32_t dataPackets) {
        if (dataPackets != packets_) {
            if (stalled_) status.Warn("IF data again, after " + Fixed(elapsed - lastDataAt_, 1) + " s without");
            packets_ = dataPackets;
            lastDataAt_ = elapsed;
            stalled_ = false;
            return;
        }
        const double quiet = elapsed - lastDataAt_;
        if (!stalled_ && quiet >= kStallS) {
            stalled_ = true;
            ++run.stalls;
            status.Warn("warning: no IF data for " + Fixed(kStallS, 0) + " s (since " + Fixed(lastDataAt_, 1) + " s)");
        }
        if (stalled_) run.longestStallS = std::max(run.longestStallS, quiet);
    }

private:
    std::uint32_t packets_ = 0;
    double lastDataAt_ = 0;
    bool stalled_ = false;
};

// Receives for the duration (or until interrupted or the connection is lost), with a status
// line once a second and a warning when the data stops.
void ReceiveWithStatus(Run& run) {
    StatusLine status(isatty(fileno(stdout)) != 0);
    StallWatch stall;
    std::uint64_t lastBytes = 0;
    auto lastTime = run.start;
    double nextStatus = 1.0;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const double elapsed = std::chrono::duration<double>(Clock::now() - run.start).count();
        const MonitorSnapshot s = run.monitor.Snapshot();
        stall.Update(run, status, elapsed, s.dataPackets);
        if (elapsed >= nextStatus) {
            const auto now = Clock::now();
            const double dt = std::chrono::duration<double>(now - lastTime).count();
            status.Print(elapsed, s, dt > 0 ? static_cast<double>(s.info.bytesReceived - lastBytes) / dt / 1e6 : 0.0);
            lastBytes = s.info.bytesReceived;
            lastTime = now;
            nextStatus += 1.0;
            if (s.connectionErrors > 0) {
                status.End();
                Error("the stream connection was lost");
                break;
            }
        }
        if (elapsed >= run.opt.durationS || g_interrupted) break;
    }
    status.End();
    // A TCP stream connection ends when the stream stops: only a loss before counts.
    run.connectionErrorsWhileStreaming = run.monitor.Snapshot().connectionErrors;
}

void StopStream(Run& run);

// The stream from its start to its stop, timed.
void Receive(Run& run) {
    run.start = Clock::now();
    ReceiveWithStatus(run);
    StopStream(run);
    run.receivedFor = std::chrono::duration<double>(Clock::now() - run.start).count();
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
        run.recordingError = run.receiver.RecordingError();
        if (!run.recordingError.empty()) run.session.Fail("recording", run.recordingError);
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
    return s.haveContext && s.context.payloadFormatValid ? s.context.dataItemSize : run.opt.Bits();
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

// "830 packets, 92 lost in 92 discontinuities": missing packets from the count gaps.
std::string Arrivals(std::uint32_t packets, const CountGaps& gaps, std::uint32_t discontinuities) {
    std::string text = std::to_string(packets) + " packets, " + std::to_string(gaps.missing) + " lost";
    if (discontinuities > 0) text += " in " + std::to_string(discontinuities) + " discontinuities";
    return text;
}

void PrintPackets(const Run& run, const MonitorSnapshot& s) {
    std::printf("  IF data         %s, %llu samples (%s)\n", Arrivals(s.dataPackets, s.dataGaps, s.dataLost).c_str(),
                static_cast<unsigned long long>(s.samples), Mega(s.samples * (SampleBits(run, s) / 4)).c_str());
    std::printf("  IF context      %s\n", Arrivals(s.contextPackets, s.contextGaps, s.contextLost).c_str());
    std::printf("  spectrum ctx    %s",
                Arrivals(s.spectrumContextPackets, s.spectrumContextGaps, s.spectrumContextLost).c_str());
    if (s.haveSpectrumContext && s.spectrumContext.spectrumParam1Valid)
        std::printf(" (centre %s Hz, span %s Hz, %u points)", Fixed(s.spectrumContext.spectrumParam1Hz, 0).c_str(),
                    Fixed(s.spectrumContext.spectrumParam2Hz, 0).c_str(), s.spectrumContext.spectrumParam4);
    std::printf("\n  spectrum data   %s, trace ids seen:",
                Arrivals(s.spectrumDataPackets, s.spectrumDataGaps, s.spectrumDataLost).c_str());
    for (std::uint16_t id : s.traceIds) std::printf(" %u", id);
    std::printf(" (displayed %u)\n", run.opt.trace);
    std::printf("  other           %llu unusable or foreign arrivals, %llu data errors, %llu context errors\n",
                static_cast<unsigned long long>(s.otherCallbacks), static_cast<unsigned long long>(s.info.dataErrors),
                static_cast<unsigned long long>(s.info.contextErrors));
    // The 4-bit counts cannot tell a gap of 16 packets from none: the figure is a lower bound.
    if (s.Missing() == 0)
        std::printf("  lost packets: 0\n");
    else
        std::printf("  lost packets: %llu or more, in %u discontinuities of the packet counts\n",
                    static_cast<unsigned long long>(s.Missing()), s.Lost());
    if (run.stalls > 0)
        std::printf("  stalls          %d time(s) no IF data for %.0f s or more, the longest %.1f s\n", run.stalls,
                    kStallS, run.longestStallS);
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
    std::printf("\nvita49-record: summary after %.1f s%s\n", run.receivedFor, g_interrupted ? " (interrupted)" : "");
    PrintContext(s);
    PrintPackets(run, s);
    PrintFiles(run, s);
}

// --- The checks.

// What the set-up asked for, where it asked: a parameter left to the instrument is not checked.
void CheckContext(const Run& run, const MonitorSnapshot& s, CheckList& checks) {
    const RecordOptions& opt = run.opt;
    const Vita49_Context& c = s.context;
    checks.Report(s.dataPackets > 0 && s.haveContext, "IF data and IF context received");
    if (!s.haveContext) return;
    if (opt.frequencyHz)
        checks.Report(c.rfReferenceFrequencyValid && c.rfReferenceFrequencyHz >= 0 &&
                          static_cast<std::uint64_t>(std::llround(c.rfReferenceFrequencyHz)) == *opt.frequencyHz,
                      "tuning frequency " + std::to_string(*opt.frequencyHz) + " Hz in the context");
    if (opt.cbwHz)
        checks.Report(c.bandwidthValid && std::llround(c.bandwidthHz) == static_cast<long long>(*opt.cbwHz),
                      "bandwidth " + std::to_string(*opt.cbwHz) + " Hz in the context");
    if (opt.bits)
        checks.Report(c.payloadFormatValid && c.dataItemSize == *opt.bits,
                      "item size " + std::to_string(*opt.bits) + " bits in the context");
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
        const double cbw = static_cast<double>(opt.cbwHz.value_or(0));
        const double expectedRate = opt.oversampling.value_or(true) ? cbw * 1.25 : cbw;
        checks.Report(c.sampleRateValid && std::fabs(c.sampleRateHz - expectedRate) < 1e-3,
                      "sample rate " + Fixed(expectedRate, 2) + " Hz in the context");
    }
    checks.Report(s.toneSamples > 1000 && std::fabs(s.toneHz - expected) <= tolerance,
                  "tone at " + Fixed(s.toneHz, 1) + " Hz from the centre, generated at " + Fixed(expected, 1) +
                      " Hz (within " + Fixed(tolerance, 1) + " Hz, " + std::to_string(s.toneSamples) + " samples)");
}

// Lost packets and a stream that stopped for a while: neither raises a connection error on UDP.
void CheckContinuity(const Run& run, const MonitorSnapshot& s, CheckList& checks) {
    const std::uint64_t allowed = run.opt.maxLoss;
    if (allowed == 0)
        checks.Report(s.Missing() == 0, "no packet lost" + (s.Missing() ? " (" + std::to_string(s.Missing()) +
                                                                  " or more lost; --max-loss N allows N)"
                                                            : std::string()));
    else
        checks.Report(s.Missing() <= allowed, std::to_string(s.Missing()) + " packets lost, at most " +
                                                  std::to_string(allowed) + " allowed (--max-loss)");
    checks.Report(run.stalls == 0, run.stalls == 0 ? "no stall of the IF data (" + Fixed(kStallS, 0) + " s)"
                                                   : "IF data stopped " + std::to_string(run.stalls) +
                                                         " time(s), the longest for " + Fixed(run.longestStallS, 1) +
                                                         " s");
    checks.Report(run.connectionErrorsWhileStreaming == 0, "no connection error while streaming");
}

// What the instrument reported after the set-up; nothing to check when it has no error query.
void CheckInstrumentErrors(const Run& run, CheckList& checks) {
    if (!run.errorQueryAnswered) {
        std::printf("  info   the instrument's errors were not checked: no answer to SYSTem:ERRor?\n");
        return;
    }
    std::string errors;
    for (const std::string& e : run.instrumentErrors) errors += (errors.empty() ? "" : "; ") + e;
    checks.Report(errors.empty(), errors.empty() ? "the instrument reported no error after the set-up"
                                                 : "the instrument reported: " + errors);
}

// Against the simulator in this process, sent and received can be compared packet for packet.
void CheckAgainstSimulator(const Run& run, const MonitorSnapshot& s, CheckList& checks) {
    if (!run.sim) return;
    const vita49::sim::SimStats& sent = run.simStats;
    const std::uint64_t sentPackets = sent.ifData + sent.ifContext + sent.extData + sent.extContext;
    const std::uint64_t received = std::uint64_t{s.dataPackets} + s.contextPackets + s.spectrumDataPackets +
                                   s.spectrumContextPackets;
    const bool every = s.dataPackets == sent.ifData && s.contextPackets == sent.ifContext &&
                       s.spectrumDataPackets == sent.extData && s.spectrumContextPackets == sent.extContext;
    if (run.opt.maxLoss == 0)
        checks.Report(every, "every packet the simulator sent was received");
    else
        checks.Report(received <= sentPackets && sentPackets - received <= run.opt.maxLoss,
                      std::to_string(received) + " of the " + std::to_string(sentPackets) +
                          " packets the simulator sent were received");
    checks.Report(sent.commandErrors == 0, "no command refused by the instrument");
    checks.Report(s.traceIds.size() == 2, "two spectrum traces");
}

std::string TraceList(const MonitorSnapshot& s) {
    std::string ids;
    for (std::uint16_t id : s.traceIds) ids += (ids.empty() ? "" : " ") + std::to_string(id);
    return ids.empty() ? "none" : ids;
}

void CheckPlot(const Run& run, const MonitorSnapshot& s, CheckList& checks) {
    const RecordOptions& opt = run.opt;
    if (opt.plotPath.empty()) return;
    if (s.lastTrace.empty() || !s.haveSpectrumContext || !s.spectrumContext.spectrumParam1Valid) {
        checks.Report(false, "spectrum plot: trace " + std::to_string(opt.trace) + " never arrived (traces seen: " +
                                 TraceList(s) + "); no picture written to " + opt.plotPath);
        return;
    }
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
    checks.Report(WriteSvg(opt.plotPath, plot), "spectrum plot written to " + opt.plotPath);
}

// Runs the checks and gives the exit status: a failed operation before a failed check.
int CheckAndConclude(const Run& run, const MonitorSnapshot& s) {
    CheckList checks;
    std::printf("\nvita49-record: checks\n");
    CheckContext(run, s, checks);
    CheckTone(run, s, checks);
    CheckContinuity(run, s, checks);
    CheckInstrumentErrors(run, checks);
    CheckAgainstSimulator(run, s, checks);
    CheckPlot(run, s, checks);
    checks.Report(run.recordingError.empty(), run.recordingError.empty() ? "no recording failed"
                                                                         : "recording: " + run.recordingError);
    if (run.session.Failed() || checks.failed > 0) {
        std::printf("vita49-record: %d check(s) failed%s\n", checks.failed,
                    run.session.Failed() ? ", and an operation failed (see above)" : "");
        return run.session.Failed() ? kExitFailure : kExitCheck;
    }
    std::printf("vita49-record: all checks passed\n");
    return 0;
}

// A report that could not be written (a closed pipe, a full disk) is no success either.
int ReportWritten(int status) {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return status;
    Error("the report could not be written to standard output");
    return status == 0 ? kExitFailure : status;
}

} // namespace

int main(int argc, char** argv) {
    RecordOptions opt;
    if (const std::optional<int> status = ParseCommandLine(argc, argv, opt)) return *status;
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    // A reader that goes away (`| head`) must not end the run before the files are finished.
    std::signal(SIGPIPE, SIG_IGN);

    Run run(opt);
    if (!StartInstrument(run)) return ReportWritten(kExitFailure);
    MakeSettings(run);
    PrintPlan(run);
    if (OpenControl(run) && IdentifyInstrument(run) && SetUpStream(run) && OpenReceiver(run) && StartStream(run))
        Receive(run);
    CloseAll(run);
    if (!run.streaming) return ReportWritten(kExitFailure);

    const MonitorSnapshot s = run.monitor.Snapshot();
    PrintSummary(run, s);
    return ReportWritten(CheckAndConclude(run, s));
}
