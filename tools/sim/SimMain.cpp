// vita49-sim: the simulated instrument as a program. Listens for commands on port 5300 of
// the given address and streams as commanded until interrupted.

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

} // namespace

int main(int argc, char** argv) {
    using namespace vita49::sim;
    SimConfig config;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "vita49-sim: %s needs a value\n", arg.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        auto count = [&](std::uint32_t& target) {
            const char* v = value();
            if (!ParseCount(v, target)) {
                std::fprintf(stderr, "vita49-sim: %s: not a count: '%s'\n", arg.c_str(), v);
                std::exit(2);
            }
        };
        std::uint32_t n = 0;
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else if (arg == "--address") {
            config.address = value();
        } else if (arg == "--fast") {
            config.fast = true;
        } else if (arg == "--quiet") {
            quiet = true;
        } else if (arg == "--streaming-task") {
            config.initialState.tasks.push_back({"RT_STREAMING", "Stream A"});
            config.initialState.views.push_back({"VITA49_IQ", 3});
        } else if (arg == "--tone-fraction") {
            const char* v = value();
            char* end = nullptr;
            config.generator.toneFraction = std::strtod(v, &end);
            if (end == v || *end != '\0' || !(config.generator.toneFraction > -0.5 && config.generator.toneFraction < 0.5)) {
                std::fprintf(stderr, "vita49-sim: --tone-fraction: not a fraction between -0.5 and 0.5: '%s'\n", v);
                return 2;
            }
        } else if (arg == "--trace-points") {
            count(n);
            if (!IsPowerOfTwo(n) || n < 16 || n > 4096) {
                std::fprintf(stderr, "vita49-sim: --trace-points: a power of two from 16 to 4096\n");
                return 2;
            }
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
        } else if (arg == "--answer-pieces") {
            count(config.faults.answerPieceBytes);
        } else if (arg == "--answer-piece-delay") {
            count(config.faults.answerPieceDelayMs);
        } else if (arg == "--answer-delay") {
            count(config.faults.answerDelayMs);
        } else {
            std::fprintf(stderr, "vita49-sim: unknown option '%s' (see --help)\n", arg.c_str());
            return 2;
        }
    }

    std::mutex printMutex;
    if (!quiet) {
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
    std::printf("vita49-sim: commands on %s:%u, %s; Ctrl-C ends\n", config.address.c_str(), config.commandPort,
                config.fast ? "streaming as fast as possible" : "streaming in real time");
    std::fflush(stdout);
    while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    sim.Stop();
    const SimStats s = sim.Stats();
    std::printf("vita49-sim: sent %llu IF data, %llu IF context, %llu spectrum data, %llu spectrum context packets; "
                "%llu command lines, %llu refused\n",
                static_cast<unsigned long long>(s.ifData), static_cast<unsigned long long>(s.ifContext),
                static_cast<unsigned long long>(s.extData), static_cast<unsigned long long>(s.extContext),
                static_cast<unsigned long long>(s.commandLines), static_cast<unsigned long long>(s.commandErrors));
    return 0;
}
