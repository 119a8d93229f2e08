// vita49-sim: the simulated instrument as a program. Listens for commands on port 5300 of
// the given address and streams as commanded until interrupted.

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "sim/Simulator.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

void Usage(std::FILE* out) {
    std::fputs(
        "Usage: vita49-sim [options]\n"
        "Simulated VITA 49 instrument: takes SCPI-style commands on TCP port 5300 and streams\n"
        "IF data (a test tone plus low noise), IF context and two spectrum traces.\n"
        "\n"
        "  --address ADDR          IPv4 address of the command port (default 127.0.0.1)\n"
        "  --fast                  stream as fast as the transport allows, not in real time\n"
        "  --streaming-task        start with an RT_STREAMING task \"Stream A\" and a VITA49_IQ\n"
        "                          view 3 (default: a spectrum task and view only)\n"
        "  --tone-fraction F       tone offset from the centre as a fraction of CBW (default 0.125)\n"
        "  --trace-points N        spectrum trace length, a power of two 16..4096 (default 256)\n"
        "  --quiet                 do not print the commands\n"
        "Fault injection (0 = off):\n"
        "  --skip-every N          drop every Nth IF data packet (its packet count is consumed)\n"
        "  --foreign-every N       after every Nth IF data packet send one of another stream\n"
        "  --garbage-every N       after every Nth IF data packet send bytes that are no packet\n"
        "  --garbage-bytes N       length of those bytes (default 37)\n"
        "  --disconnect-after N    end the stream connection after N packets\n"
        "  --answer-pieces N       send answers in pieces of N bytes\n"
        "  --answer-piece-delay MS pause between answer pieces\n"
        "  --answer-delay MS       pause before each answer\n"
        "Replay of a recorded stream instead of the generated one:\n"
        "  --replay FILE           after OPEN, send the VITA 49 packets of FILE over the connection the\n"
        "                          commands set up: a pcap or pcapng capture (UDP datagrams and TCP\n"
        "                          connections, the TCP command port 5300 left out; needs libpcap in the\n"
        "                          build) or, for .vrt and .bin, raw packets back to back. Over UDP each\n"
        "                          packet is one datagram; over TCP the packets follow one another.\n"
        "                          Packets go out as captured, in order, at their capture times; a raw\n"
        "                          file has none and goes as fast as the link takes it. Tuning and\n"
        "                          format commands are taken but change nothing in the data. At the end\n"
        "                          of the file nothing more is sent; the connection stays until CLOSE.\n"
        "                          A TCP application that leaves and returns gets the file from its start.\n"
        "  --replay-raw            read FILE as raw packets whatever its name\n"
        "  --replay-rate X         capture time runs X times faster (default 1); 0: as fast as the link\n"
        "                          takes the packets\n"
        "  --replay-loop           at the end of the file start again (packet counts jump at the seam)\n"
        "  --replay-stream-id ID   the packets of the capture's main stream (that of its first IF data\n"
        "                          packet) are sent with stream identifier ID (decimal or 0x hex), or,\n"
        "                          with 'setup', with the one the commands set up; packets of other\n"
        "                          streams are sent as captured\n"
        "The signal and stream fault options and --fast do not go with --replay.\n"
        "  --help                  this text\n",
        out);
}

bool ParseCount(const char* text, std::uint32_t& value) {
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || v > 0xFFFFFFFFul) return false;
    value = static_cast<std::uint32_t>(v);
    return true;
}

// A stream identifier: decimal or 0x hexadecimal, 32 bits.
bool ParseStreamId(const char* text, std::uint32_t& value) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || v > 0xFFFFFFFFull) return false;
    value = static_cast<std::uint32_t>(v);
    return true;
}

struct Options {
    vita49::sim::SimConfig config;
    bool quiet = false;
    // Options that shape the generated stream, and those that need --replay, as given.
    std::string generatorOption;
    std::string replayOption;
};

[[noreturn]] void Fail(const std::string& message) {
    std::fprintf(stderr, "vita49-sim: %s\n", message.c_str());
    std::exit(2);
}

// The options of the replay; false when `arg` is none of them.
bool ParseReplayOption(const std::string& arg, const std::function<const char*()>& value, Options& o) {
    vita49::sim::ReplayConfig& r = o.config.replay;
    if (arg == "--replay") {
        r.path = value();
        return true;
    }
    if (arg == "--replay-raw") {
        r.raw = true;
    } else if (arg == "--replay-loop") {
        r.loop = true;
    } else if (arg == "--replay-rate") {
        const char* v = value();
        char* end = nullptr;
        r.rate = std::strtod(v, &end);
        if (end == v || *end != '\0' || !std::isfinite(r.rate) || r.rate < 0)
            Fail("--replay-rate: not 0 or a positive factor: '" + std::string(v) + "'");
    } else if (arg == "--replay-stream-id") {
        const char* v = value();
        if (std::strcmp(v, "setup") == 0) {
            r.rewrite = vita49::sim::StreamIdRewrite::kSetUp;
        } else if (ParseStreamId(v, r.streamId)) {
            r.rewrite = vita49::sim::StreamIdRewrite::kFixed;
        } else {
            Fail("--replay-stream-id: not a 32-bit number nor 'setup': '" + std::string(v) + "'");
        }
    } else {
        return false;
    }
    o.replayOption = arg;
    return true;
}

// The options of the generated stream and its faults; false when `arg` is none of them.
bool ParseGeneratorOption(const std::string& arg, const std::function<const char*()>& value, Options& o) {
    using namespace vita49::sim;
    SimConfig& config = o.config;
    auto count = [&](std::uint32_t& target) {
        const char* v = value();
        if (!ParseCount(v, target)) Fail(arg + ": not a count: '" + v + "'");
    };
    std::uint32_t n = 0;
    if (arg == "--fast") {
        config.fast = true;
    } else if (arg == "--tone-fraction") {
        const char* v = value();
        char* end = nullptr;
        config.generator.toneFraction = std::strtod(v, &end);
        if (end == v || *end != '\0' || !(config.generator.toneFraction > -0.5 && config.generator.toneFraction < 0.5))
            Fail("--tone-fraction: not a fraction between -0.5 and 0.5: '" + std::string(v) + "'");
    } else if (arg == "--trace-points") {
        count(n);
        if (!IsPowerOfTwo(n) || n < 16 || n > 4096) Fail("--trace-points: a power of two from 16 to 4096");
        config.generator.tracePoints = n;
    } else if (arg == "--skip-every") {
        count(config.faults.skipDataEvery);
    } else if (arg == "--foreign-every") {
        count(config.faults.foreignEvery);
    } else if (arg == "--garbage-every") {
        count(config.faults.garbageEvery);
    } else if (arg == "--garbage-bytes") {
        count(config.faults.garbageBytes);
    } else if (arg == "--disconnect-after") {
        count(config.faults.disconnectAfterPackets);
    } else {
        return false;
    }
    o.generatorOption = arg;
    return true;
}

Options ParseArgs(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const std::function<const char*()> value = [&]() -> const char* {
            if (i + 1 >= argc) Fail(arg + " needs a value");
            return argv[++i];
        };
        auto count = [&](std::uint32_t& target) {
            const char* v = value();
            if (!ParseCount(v, target)) Fail(arg + ": not a count: '" + v + "'");
        };
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            std::exit(0);
        } else if (arg == "--address") {
            o.config.address = value();
        } else if (arg == "--quiet") {
            o.quiet = true;
        } else if (arg == "--streaming-task") {
            o.config.initialState.tasks.push_back({"RT_STREAMING", "Stream A"});
            o.config.initialState.views.push_back({"VITA49_IQ", 3});
        } else if (arg == "--answer-pieces") {
            count(o.config.faults.answerPieceBytes);
        } else if (arg == "--answer-piece-delay") {
            count(o.config.faults.answerPieceDelayMs);
        } else if (arg == "--answer-delay") {
            count(o.config.faults.answerDelayMs);
        } else if (!ParseReplayOption(arg, value, o) && !ParseGeneratorOption(arg, value, o)) {
            Fail("unknown option '" + arg + "' (see --help)");
        }
    }
    const bool replay = !o.config.replay.path.empty();
    if (!replay && !o.replayOption.empty()) Fail(o.replayOption + " needs --replay FILE");
    // A replay sends the capture as it is: an option that would shape the data cannot act.
    if (replay && !o.generatorOption.empty())
        Fail(o.generatorOption + " shapes the generated stream and does nothing with --replay" +
             (o.generatorOption == "--fast" ? " (--replay-rate 0 sends as fast as possible)" : ""));
    return o;
}

} // namespace

int main(int argc, char** argv) {
    using namespace vita49::sim;
    Options options = ParseArgs(argc, argv);
    SimConfig& config = options.config;
    std::mutex printMutex;
    if (!options.quiet) {
        config.log = [&printMutex](const std::string& line) {
            std::lock_guard<std::mutex> lock(printMutex);
            std::fprintf(stderr, "%s\n", line.c_str());
        };
    }
    Simulator sim(config);
    std::string error;
    if (!sim.Start(&error)) {
        std::fprintf(stderr, "vita49-sim: %s\n", error.c_str());
        return 1;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    const char* pace = config.fast ? "streaming as fast as possible" : "streaming in real time";
    if (sim.Replay() != nullptr) pace = "replaying a capture";
    std::printf("vita49-sim: commands on %s:%u, %s; Ctrl-C ends\n", config.address.c_str(), config.commandPort, pace);
    if (sim.Replay() != nullptr) std::printf("%s\n", Describe(config.replay, *sim.Replay()).c_str());
    std::fflush(stdout);
    while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    sim.Stop();
    const SimStats s = sim.Stats();
    std::printf("vita49-sim: sent %llu IF data, %llu IF context, %llu spectrum data, %llu spectrum context packets; "
                "%llu command lines, %llu refused\n",
                static_cast<unsigned long long>(s.ifData), static_cast<unsigned long long>(s.ifContext),
                static_cast<unsigned long long>(s.extData), static_cast<unsigned long long>(s.extContext),
                static_cast<unsigned long long>(s.commandLines), static_cast<unsigned long long>(s.commandErrors));
    if (s.controllersDropped != 0)
        std::printf("vita49-sim: %llu controllers disconnected for not reading their answers\n",
                    static_cast<unsigned long long>(s.controllersDropped));
    if (sim.Replay() != nullptr)
        std::printf("vita49-sim: replay: %llu passes through the file, %llu packets of other types, %llu failed sends\n",
                    static_cast<unsigned long long>(s.replayPasses), static_cast<unsigned long long>(s.otherTypes),
                    static_cast<unsigned long long>(s.sendErrors));
    return 0;
}
