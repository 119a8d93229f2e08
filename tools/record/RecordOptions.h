#pragma once

// Command-line options of vita49-record.

#include <cstdint>
#include <string>

#include "vita49/Vita49Types.h"

namespace vita49::record {

struct RecordOptions {
    std::string host;                    // instrument address; empty: the simulator, in-process
    std::string simAddress = "127.0.0.1"; // command address of the in-process simulator
    std::int32_t connectionType = UDP_SINGLECAST;
    std::uint16_t tcpPort = 5000;
    std::uint16_t udpPort = 5001;
    std::string local;                   // this host as the instrument sees it
    std::string group = "239.192.49.1";  // multicast group (UDP_MULTICAST)
    std::uint32_t streamId = 1;
    unsigned long frequencyHz = 1000000000;
    unsigned long cbwHz = 1000000;
    bool oversampling = true;
    unsigned long payloadLimit = 8192;
    unsigned bits = 16;
    double durationS = 3.0;
    std::string wavPath = "capture.wav";
    std::string iqPath = "capture.iq";
    std::string sigmfBase = "capture";   // <base>.sigmf-data and <base>.sigmf-meta
    bool wavFloat = false;
    unsigned short trace = 1;
    std::string plotPath;
    bool fast = false;                   // in-process simulator: as fast as possible
    bool expectTone = false;
    double expectedToneHz = 0;
    bool help = false;

    bool InProcess() const { return host.empty(); }
};

// Parses argv; false with a message naming the option when an option is unknown, lacks its
// value or has a value out of range.
bool ParseOptions(int argc, char** argv, RecordOptions& options, std::string& error);
std::string UsageText();

// "RC_TIMEOUT (181)".
std::string ReturnCodeText(RETURN_CODE rc);

} // namespace vita49::record
