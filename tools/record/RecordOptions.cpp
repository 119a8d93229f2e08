#include "record/RecordOptions.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "net/ConnectionTypes.h"
#include "sim/CommandParser.h"

namespace vita49::record {
namespace {

bool ParseUnsigned(const std::string& text, unsigned long long max, unsigned long long& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > max) return false;
    value = v;
    return true;
}

// A frequency in Hz with an optional k, M or G (and an optional "Hz"), up to `max`.
bool ParseHz(std::string text, std::uint64_t max, std::uint64_t& value) {
    if (!text.empty()) {
        const char last = text.back();
        if (last == 'k' || last == 'K' || last == 'M' || last == 'G') text += "Hz";
    }
    double hz = 0;
    if (!vita49::sim::ParseFrequency(text, hz) || hz > static_cast<double>(max)) return false;
    value = static_cast<std::uint64_t>(std::llround(hz));
    return true;
}

// Why an option's value was refused ("not 16 or 32"); nullptr when it was taken.
using Refusal = const char*;

Refusal Flag(bool& target) {
    target = true;
    return nullptr;
}

Refusal Address(std::string& target, const std::string& value) {
    // The settings records hold 49 characters and a NUL.
    if (value.empty() || value.size() > 49) return "not an address of 1 to 49 characters";
    target = value;
    return nullptr;
}

Refusal Port(std::uint16_t& target, const std::string& value) {
    unsigned long long n = 0;
    if (!ParseUnsigned(value, 65535, n) || n == 0) return "not a port from 1 to 65535";
    target = static_cast<std::uint16_t>(n);
    return nullptr;
}

Refusal RecordingPath(std::string& target, const std::string& value) {
    // The receiver's path fields hold 99 characters and a NUL.
    if (value.size() > 99) return "path longer than 99 characters";
    target = value;
    return nullptr;
}

Refusal Oversampling(RecordOptions& o, const std::string& value) {
    if (value == "on" || value == "ON" || value == "1")
        o.oversampling = true;
    else if (value == "off" || value == "OFF" || value == "0")
        o.oversampling = false;
    else
        return "not on or off";
    return nullptr;
}

Refusal Duration(RecordOptions& o, const std::string& value) {
    char* end = nullptr;
    const double d = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || !(d > 0 && d <= 86400)) return "not a duration from 0 to 86400 s";
    o.durationS = d;
    return nullptr;
}

Refusal ExpectedTone(RecordOptions& o, const std::string& value) {
    char* end = nullptr;
    const double hz = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || !std::isfinite(hz)) return "not a frequency offset";
    o.expectedToneHz = hz;
    o.expectTone = true;
    return nullptr;
}

// One row per option: its name, whether a value follows it, and what it does with the value.
struct OptionRow {
    const char* name;
    bool takesValue;
    Refusal (*apply)(RecordOptions& o, const std::string& value);
};

using Value = const std::string&;

const OptionRow kOptions[] = {
    {"--help", false, [](RecordOptions& o, Value) { return Flag(o.help); }},
    {"-h", false, [](RecordOptions& o, Value) { return Flag(o.help); }},
    {"--host", true, [](RecordOptions& o, Value v) { return Address(o.host, v); }},
    {"--sim-address", true, [](RecordOptions& o, Value v) { return Address(o.simAddress, v); }},
    {"--local", true, [](RecordOptions& o, Value v) { return Address(o.local, v); }},
    {"--group", true, [](RecordOptions& o, Value v) { return Address(o.group, v); }},
    {"--type", true,
     [](RecordOptions& o, Value v) -> Refusal {
         if (!net::ParseConnectionType(v, o.connectionType)) return "not one of udp, multicast, tcp-server, tcp-client";
         return nullptr;
     }},
    {"--tcp-port", true, [](RecordOptions& o, Value v) { return Port(o.tcpPort, v); }},
    {"--udp-port", true, [](RecordOptions& o, Value v) { return Port(o.udpPort, v); }},
    {"--stream-id", true,
     [](RecordOptions& o, Value v) -> Refusal {
         unsigned long long n = 0;
         if (!ParseUnsigned(v, 0xFFFFFFFFull, n)) return "not a 32-bit unsigned number";
         o.streamId = static_cast<std::uint32_t>(n);
         return nullptr;
     }},
    {"--freq", true,
     [](RecordOptions& o, Value v) -> Refusal {
         std::uint64_t hz = 0;
         if (!ParseHz(v, kMaxFrequencyHz, hz)) return "not a frequency from 0 to 100 GHz";
         o.frequencyHz = hz;
         return nullptr;
     }},
    {"--cbw", true,
     [](RecordOptions& o, Value v) -> Refusal {
         std::uint64_t hz = 0;
         if (!ParseHz(v, 0xFFFFFFFFull, hz) || hz == 0) return "not a bandwidth from 1 to 4294967295 Hz";
         o.cbwHz = static_cast<unsigned long>(hz);
         return nullptr;
     }},
    {"--oversampling", true, Oversampling},
    {"--payload-limit", true,
     [](RecordOptions& o, Value v) -> Refusal {
         unsigned long long n = 0;
         if (!ParseUnsigned(v, 0xFFFFFFFFull, n) || n == 0) return "not a byte count";
         o.payloadLimit = static_cast<unsigned long>(n);
         return nullptr;
     }},
    {"--max-loss", true,
     [](RecordOptions& o, Value v) -> Refusal {
         unsigned long long n = 0;
         if (!ParseUnsigned(v, ~0ull, n)) return "not a packet count";
         o.maxLoss = n;
         return nullptr;
     }},
    {"--bits", true,
     [](RecordOptions& o, Value v) -> Refusal {
         if (v != "16" && v != "32") return "not 16 or 32";
         o.bits = v == "32" ? 32u : 16u;
         return nullptr;
     }},
    {"--duration", true, Duration},
    {"--wav", true, [](RecordOptions& o, Value v) { return RecordingPath(o.wavPath, v); }},
    {"--iq", true, [](RecordOptions& o, Value v) { return RecordingPath(o.iqPath, v); }},
    {"--sigmf", true,
     [](RecordOptions& o, Value v) -> Refusal {
         o.sigmfBase = v;
         return nullptr;
     }},
    {"--wav-float", false, [](RecordOptions& o, Value) { return Flag(o.wavFloat); }},
    {"--trace", true,
     [](RecordOptions& o, Value v) -> Refusal {
         unsigned long long n = 0;
         if (!ParseUnsigned(v, 65535, n)) return "not a trace identifier from 0 to 65535";
         o.trace = static_cast<unsigned short>(n);
         return nullptr;
     }},
    {"--plot", true,
     [](RecordOptions& o, Value v) -> Refusal {
         if (v.empty()) return "empty path";
         o.plotPath = v;
         return nullptr;
     }},
    {"--fast", false, [](RecordOptions& o, Value) { return Flag(o.fast); }},
    {"--expect-tone", true, ExpectedTone},
};

const OptionRow* FindOption(const std::string& name) {
    for (const OptionRow& row : kOptions)
        if (name == row.name) return &row;
    return nullptr;
}

// Options that each parse but do not go together.
bool CheckCombination(const RecordOptions& o, std::string& error) {
    if (!o.host.empty() && o.local.empty() && o.connectionType != TCP_CLIENT && o.connectionType != UDP_MULTICAST) {
        error = "--host needs --local: the address at which the instrument reaches this host";
        return false;
    }
    if (o.InProcess() && o.expectTone) {
        error = "--expect-tone is for --host; the simulator's tone is known";
        return false;
    }
    return true;
}

} // namespace

void RecordOptions::FillSimulatorDefaults() {
    if (!frequencyHz) frequencyHz = 1000000000;
    if (!cbwHz) cbwHz = 1000000;
    if (!oversampling) oversampling = true;
    if (!payloadLimit) payloadLimit = 8192;
    if (!bits) bits = 16;
}

std::string UsageText() {
    return "Usage: vita49-record [options]\n"
           "Sets up a VITA 49 IQ stream, receives it for a while, records it to a WAV file and a\n"
           "raw I/Q file and prints what arrived. Without --host it starts the simulated\n"
           "instrument in this process, on loopback, and checks the stream end to end.\n"
           "\n"
           "Instrument and connection:\n"
           "  --host ADDR           talk to the instrument at ADDR (command port 5300)\n"
           "  --sim-address ADDR    address of the in-process simulator (default 127.0.0.1)\n"
           "  --type TYPE           udp (default), multicast, tcp-server or tcp-client:\n"
           "                        tcp-server: this host listens; tcp-client: it connects\n"
           "  --tcp-port N          TCP port of the stream (default 5000)\n"
           "  --udp-port N          UDP port of the stream (default 5001)\n"
           "  --local ADDR          this host's address as the instrument sees it (default:\n"
           "                        the simulator's address; needed with --host)\n"
           "  --group ADDR          multicast group for --type multicast (default 239.192.49.1)\n"
           "  --stream-id N         stream identifier (default 1)\n"
           "Stream parameters: with --host only those given here are sent; the instrument keeps\n"
           "its own settings for the rest. The simulated instrument gets the defaults.\n"
           "  --freq HZ             tuning frequency up to 100 GHz, e.g. 1e9, 2400M, 26.5G\n"
           "                        (simulator: 1G)\n"
           "  --cbw HZ              CBW (simulator: 1M); the simulator samples at 1.25 x CBW\n"
           "                        with oversampling, at CBW without\n"
           "  --oversampling on|off (simulator: on)\n"
           "  --payload-limit N     bytes of samples per IF data packet, at most (simulator: 8192)\n"
           "  --bits 16|32          I16Q16 or I32Q32 samples (simulator: 16)\n"
           "Besides these, the set-up sends the stream's identifier, connection type, destination\n"
           "address and port, and asks *IDN? and, at the end, SYSTem:ERRor?.\n"
           "Recording and display:\n"
           "  --duration SECONDS    how long to receive (default 3)\n"
           "  --wav PATH            WAV file, 2 channels I and Q (default capture.wav; \"\" = none)\n"
           "  --wav-float           32-bit float WAV samples instead of integers\n"
           "  --iq PATH             raw file: I/Q pairs, little-endian (default capture.iq; \"\" = none)\n"
           "  --sigmf BASE          SigMF recording BASE.sigmf-data and BASE.sigmf-meta (default\n"
           "                        capture; \"\" = none)\n"
           "  --trace N             spectrum trace to keep for the summary and the plot (default 1)\n"
           "  --plot FILE.svg       draw the last spectrum trace of --trace as an SVG picture\n"
           "  --fast                in-process simulator: stream as fast as possible\n"
           "  --expect-tone HZ      with --host: check that the strongest tone lies at HZ from\n"
           "                        the centre (the simulator puts it at CBW/8)\n"
           "Checks:\n"
           "  --max-loss N          up to N packets may go missing (from the packet count gaps;\n"
           "                        default 0). No data for 2 s also fails the run.\n"
           "  --help                this text\n"
           "\n"
           "Exit status: 0 success, 1 an operation failed (a recording that could not be written\n"
           "included), 2 bad options, 3 a check failed (lost packets, a stalled stream, an error\n"
           "reported by the instrument, a plot of a trace that never arrived, ...).\n";
}

std::string ReturnCodeText(RETURN_CODE rc) {
    return std::string(Vita49ReturnCodeName(rc)) + " (" + std::to_string(static_cast<int>(rc)) + ")";
}

bool ParseOptions(int argc, char** argv, RecordOptions& o, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const OptionRow* row = FindOption(arg);
        if (row == nullptr) {
            error = "unknown option '" + arg + "' (see --help)";
            return false;
        }
        std::string value;
        if (row->takesValue) {
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        if (const Refusal why = row->apply(o, value)) {
            error = arg + ": " + why + ": '" + value + "'";
            return false;
        }
    }
    if (!CheckCombination(o, error)) return false;
    if (o.InProcess()) o.FillSimulatorDefaults();
    return true;
}

} // namespace vita49::record
