#include "record/RecordOptions.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

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

bool ParseConnectionType(std::string text, std::int32_t& type) {
    for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (text == "tcp-server" || text == "tcp_server") type = TCP_SERVER;
    else if (text == "tcp-client" || text == "tcp_client") type = TCP_CLIENT;
    else if (text == "udp" || text == "udp-singlecast" || text == "udp_singlecast") type = UDP_SINGLECAST;
    else if (text == "multicast" || text == "udp-multicast" || text == "udp_multicast") type = UDP_MULTICAST;
    else return false;
    return true;
}

// A frequency in Hz with an optional k, M or G (and an optional "Hz"), within 32 bits.
bool ParseHz32(std::string text, unsigned long& value) {
    if (!text.empty()) {
        const char last = text.back();
        if (last == 'k' || last == 'K' || last == 'M' || last == 'G') text += "Hz";
    }
    double hz = 0;
    if (!vita49::sim::ParseFrequency(text, hz) || hz > 4294967295.0) return false;
    value = static_cast<unsigned long>(std::llround(hz));
    return true;
}

} // namespace

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
           "Stream parameters:\n"
           "  --freq HZ             tuning frequency, e.g. 1e9, 2400M (default 1G)\n"
           "  --cbw HZ              CBW (default 1M); the simulator samples at 1.25 x CBW with\n"
           "                        oversampling, at CBW without\n"
           "  --oversampling on|off (default on)\n"
           "  --payload-limit N     bytes of samples per IF data packet, at most (default 8192)\n"
           "  --bits 16|32          I16Q16 or I32Q32 samples (default 16)\n"
           "Recording and display:\n"
           "  --duration SECONDS    how long to receive (default 3)\n"
           "  --wav PATH            WAV file, 2 channels I and Q (default capture.wav; \"\" = none)\n"
           "  --wav-float           32-bit float WAV samples instead of integers\n"
           "  --iq PATH             raw file: I/Q pairs, little-endian (default capture.iq; \"\" = none)\n"
           "  --trace N             spectrum trace to keep for the summary and the plot (default 1)\n"
           "  --plot FILE.svg       draw the last spectrum trace of --trace as an SVG picture\n"
           "  --fast                in-process simulator: stream as fast as possible\n"
           "  --expect-tone HZ      with --host: check that the strongest tone lies at HZ from\n"
           "                        the centre (the simulator puts it at CBW/8)\n"
           "  --help                this text\n"
           "\n"
           "Exit status: 0 success, 1 an operation failed, 2 bad options, 3 a check failed.\n";
}

std::string ReturnCodeText(RETURN_CODE rc) {
    const char* name = "unknown code";
    switch (rc) {
    case RC_OK:
        name = "RC_OK";
        break;
    case RC_SOCKET_ERROR:
        name = "RC_SOCKET_ERROR";
        break;
    case RC_TIMEOUT:
        name = "RC_TIMEOUT";
        break;
    case RC_INVALID_ARGUMENT:
        name = "RC_INVALID_ARGUMENT";
        break;
    case RC_CONNECTION_ERROR:
        name = "RC_CONNECTION_ERROR";
        break;
    }
    return std::string(name) + " (" + std::to_string(static_cast<int>(rc)) + ")";
}

const char* ConnectionTypeText(std::int32_t type) {
    switch (type) {
    case TCP_SERVER:
        return "TCP_SERVER";
    case TCP_CLIENT:
        return "TCP_CLIENT";
    case UDP_SINGLECAST:
        return "UDP_SINGLECAST";
    case UDP_MULTICAST:
        return "UDP_MULTICAST";
    default:
        return "?";
    }
}

bool ParseOptions(int argc, char** argv, RecordOptions& o, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string value;
        auto needValue = [&]() {
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            value = argv[++i];
            return true;
        };
        auto bad = [&](const char* what) {
            error = arg + ": " + what + ": '" + value + "'";
            return false;
        };
        auto address = [&](std::string& target) {
            if (!needValue()) return false;
            // The settings records hold 49 characters and a NUL.
            if (value.empty() || value.size() > 49) return bad("not an address of 1 to 49 characters");
            target = value;
            return true;
        };
        unsigned long long n = 0;
        if (arg == "--help" || arg == "-h") {
            o.help = true;
        } else if (arg == "--host") {
            if (!address(o.host)) return false;
        } else if (arg == "--sim-address") {
            if (!address(o.simAddress)) return false;
        } else if (arg == "--local") {
            if (!address(o.local)) return false;
        } else if (arg == "--group") {
            if (!address(o.group)) return false;
        } else if (arg == "--type") {
            if (!needValue()) return false;
            if (!ParseConnectionType(value, o.connectionType)) return bad("not one of udp, multicast, tcp-server, tcp-client");
        } else if (arg == "--tcp-port" || arg == "--udp-port") {
            if (!needValue()) return false;
            if (!ParseUnsigned(value, 65535, n) || n == 0) return bad("not a port from 1 to 65535");
            (arg == "--tcp-port" ? o.tcpPort : o.udpPort) = static_cast<std::uint16_t>(n);
        } else if (arg == "--stream-id") {
            if (!needValue()) return false;
            if (!ParseUnsigned(value, 0xFFFFFFFFull, n)) return bad("not a 32-bit unsigned number");
            o.streamId = static_cast<std::uint32_t>(n);
        } else if (arg == "--freq") {
            if (!needValue()) return false;
            if (!ParseHz32(value, o.frequencyHz)) return bad("not a frequency from 0 to 4294967295 Hz");
        } else if (arg == "--cbw") {
            if (!needValue()) return false;
            if (!ParseHz32(value, o.cbwHz) || o.cbwHz == 0) return bad("not a bandwidth from 1 to 4294967295 Hz");
        } else if (arg == "--oversampling") {
            if (!needValue()) return false;
            if (value == "on" || value == "ON" || value == "1") o.oversampling = true;
            else if (value == "off" || value == "OFF" || value == "0") o.oversampling = false;
            else return bad("not on or off");
        } else if (arg == "--payload-limit") {
            if (!needValue()) return false;
            if (!ParseUnsigned(value, 0xFFFFFFFFull, n) || n == 0) return bad("not a byte count");
            o.payloadLimit = static_cast<unsigned long>(n);
        } else if (arg == "--bits") {
            if (!needValue()) return false;
            if (value != "16" && value != "32") return bad("not 16 or 32");
            o.bits = value == "32" ? 32 : 16;
        } else if (arg == "--duration") {
            if (!needValue()) return false;
            char* end = nullptr;
            const double d = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !(d > 0 && d <= 86400)) return bad("not a duration from 0 to 86400 s");
            o.durationS = d;
        } else if (arg == "--wav" || arg == "--iq" || arg == "--plot") {
            if (!needValue()) return false;
            // The receiver's path fields hold 99 characters and a NUL.
            if (arg != "--plot" && value.size() > 99) return bad("path longer than 99 characters");
            (arg == "--wav" ? o.wavPath : arg == "--iq" ? o.iqPath : o.plotPath) = value;
            if (arg == "--plot" && value.empty()) return bad("empty path");
        } else if (arg == "--wav-float") {
            o.wavFloat = true;
        } else if (arg == "--trace") {
            if (!needValue()) return false;
            if (!ParseUnsigned(value, 65535, n)) return bad("not a trace identifier from 0 to 65535");
            o.trace = static_cast<unsigned short>(n);
        } else if (arg == "--fast") {
            o.fast = true;
        } else if (arg == "--expect-tone") {
            if (!needValue()) return false;
            char* end = nullptr;
            o.expectedToneHz = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !std::isfinite(o.expectedToneHz)) return bad("not a frequency offset");
            o.expectTone = true;
        } else {
            error = "unknown option '" + arg + "' (see --help)";
            return false;
        }
    }
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

} // namespace vita49::record
