#include "dump/DumpOptions.h"

#include <cerrno>
#include <cstdlib>

namespace vita49::dump {

namespace {

// Decimal, or hexadecimal with 0x.
bool ParseUnsigned(const std::string& text, unsigned long long max, unsigned long long& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text.c_str(), &end, 0);
    return errno == 0 && end != text.c_str() && *end == '\0' && value <= max;
}

} // namespace

std::string DumpUsage() {
    return "Usage: vita49-dump [options] FILE\n"
           "Shows the VITA 49 packets in a capture (pcap or pcapng: Ethernet with VLAN tags, Linux\n"
           "cooked v1/v2, raw IP; IPv4 and IPv6; UDP, fragments reassembled; TCP in sequence order) or\n"
           "in a raw file of packets back to back (.vrt, .bin or --raw). One line per packet; each\n"
           "stream (UDP destination port or TCP connection, and stream identifier) is decoded apart.\n"
           "\n"
           "  --summary          only the table of streams: packets per kind, discontinuities, packets\n"
           "                     missing (the sum of the count gaps), bytes, first/last time, rates\n"
           "  --json             one JSON object per line (per packet, or per stream with --summary)\n"
           "  --port N           only UDP datagrams and TCP segments from or to port N\n"
           "  --stream-id N      only packets of stream identifier N (decimal or 0x hex)\n"
           "  --raw              read FILE as VITA 49 packets back to back, whatever its name\n"
           "  --pcap             read FILE as pcap or pcapng, whatever its name\n"
           "  --wav FILE         write the IQ samples of the stream as a 2-channel WAV file\n"
           "  --iq FILE          write the IQ samples as raw little-endian integers (I, Q, I, Q, ...)\n"
           "  --sigmf BASE       write the IQ samples as BASE.sigmf-data and BASE.sigmf-meta\n"
           "                     (extraction needs --stream-id, and --port, when the capture has\n"
           "                     several streams of IF data)\n"
           "  --help             this text\n"
           "\n"
           "Exit status: 0 the file was read (broken parts are reported in the output); 1 the file\n"
           "cannot be read, or an extraction failed; 2 bad options.\n";
}

bool ParseDumpOptions(int argc, char** argv, DumpOptions& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string text;
        unsigned long long number = 0;
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            return true;
        } else if (arg == "--summary") {
            options.summary = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--raw") {
            options.format = capture::FileFormat::kRaw;
        } else if (arg == "--pcap") {
            options.format = capture::FileFormat::kPcap;
        } else if (arg == "--port") {
            if (!value(text)) return false;
            if (!ParseUnsigned(text, 65535, number)) {
                error = "--port: not a port number: '" + text + "'";
                return false;
            }
            options.hasPort = true;
            options.port = static_cast<std::uint16_t>(number);
        } else if (arg == "--stream-id") {
            if (!value(text)) return false;
            if (!ParseUnsigned(text, 0xFFFFFFFFull, number)) {
                error = "--stream-id: not a 32-bit stream identifier: '" + text + "'";
                return false;
            }
            options.hasStreamId = true;
            options.streamId = static_cast<std::uint32_t>(number);
        } else if (arg == "--wav") {
            if (!value(options.wavPath)) return false;
        } else if (arg == "--iq") {
            if (!value(options.iqPath)) return false;
        } else if (arg == "--sigmf") {
            if (!value(options.sigmfBase)) return false;
        } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
            error = "unknown option " + arg;
            return false;
        } else if (options.path.empty()) {
            options.path = arg;
        } else {
            error = "one file at a time: '" + options.path + "' and '" + arg + "'";
            return false;
        }
    }
    if (options.path.empty()) {
        error = "no file given";
        return false;
    }
    for (const std::string* p : {&options.wavPath, &options.iqPath}) {
        // The decoder's settings hold 99 characters of a path.
        if (p->size() > 99) {
            error = "output path longer than 99 characters: '" + *p + "'";
            return false;
        }
    }
    return true;
}

} // namespace vita49::dump
