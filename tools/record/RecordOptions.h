#pragma once

// Command-line options of vita49-record.

#include <cstdint>
#include <optional>
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
    // The stream parameters as given; unset ones are not sent to a real instrument (it keeps
    // its own). The in-process simulator gets the defaults (FillSimulatorDefaults).
    std::optional<std::uint64_t> frequencyHz;
    std::optional<unsigned long> cbwHz;
    std::optional<bool> oversampling;
    std::optional<unsigned long> payloadLimit;
    std::optional<unsigned> bits;
    std::uint64_t maxLoss = 0;           // packets that may go missing without failing the run
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
    void FillSimulatorDefaults();
    // The item size the samples are expected in: as asked, else the instrument's usual 16.
    unsigned Bits() const { return bits.value_or(16); }
};

// The highest tuning frequency --freq takes.
constexpr std::uint64_t kMaxFrequencyHz = 100000000000ull;

// Parses argv; false with a message naming the option when an option is unknown, lacks its
// value or has a value out of range.
bool ParseOptions(int argc, char** argv, RecordOptions& options, std::string& error);
std::string UsageText();

// "RC_TIMEOUT (181)".
std::string ReturnCodeText(RETURN_CODE rc);

} // namespace vita49::record
