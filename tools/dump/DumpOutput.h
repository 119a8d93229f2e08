#pragma once

// The dump's output: one line per packet (text or JSON) and the table of streams.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "dump/CaptureTypes.h"
#include "dump/PacketView.h"
#include "vita49/Vita49Types.h"

namespace vita49::dump {

// Everything one output line says. Pointers are valid during WriteLine only.
struct PacketLine {
    capture::CaptureTime time;
    const capture::Flow* flow = nullptr;
    const char* type = "other"; // a TypeName, or "other"
    std::uint64_t size = 0;
    bool hasStreamId = false;
    std::uint32_t streamId = 0;
    // VITA 49 packets:
    const PacketView* view = nullptr;
    const Vita49_Data* data = nullptr;
    const Vita49_Context* context = nullptr;
    const Vita49_FFTData* fftData = nullptr;
    const Vita49_FFTContext* fftContext = nullptr;
    // "other": why, and the first bytes.
    std::string error;
    const std::uint8_t* head = nullptr;
    std::size_t headSize = 0;
};

// Kinds counted per stream, in table order; kOther last.
enum Kind : int { kIfData, kIfContext, kExtData, kExtContext, kOther, kKinds };
const char* KindName(int kind); // "if_data", ..., "other"

struct StreamSummary {
    capture::Flow flow;
    bool hasStreamId = false;
    std::uint32_t streamId = 0;
    std::uint64_t packets[kKinds] = {};
    std::uint64_t discontinuities = 0; // the decoder's count: one per jump of a packet count
    std::uint64_t missing = 0;         // the packets those jumps skipped
    std::uint64_t bytes = 0;
    capture::CaptureTime first, last;
    // Mean rates: packets and samples from first to last.
    double packetRate = 0;
    bool hasSampleRate = false;
    double sampleRate = 0;
};

class DumpOutput {
public:
    DumpOutput(std::FILE* out, bool json) : out_(out), json_(json) {}

    void WriteLine(const PacketLine& line);
    void WriteSummary(const std::vector<StreamSummary>& streams);

private:
    void TextLine(const PacketLine& line, std::string& s) const;
    void JsonLine(const PacketLine& line, std::string& s) const;
    void TextSummary(const std::vector<StreamSummary>& streams) const;
    void JsonSummary(const std::vector<StreamSummary>& streams) const;

    std::FILE* out_;
    bool json_;
};

// Shared by the text forms: "12 ab ff" of up to 16 bytes.
std::string HexBytes(const std::uint8_t* bytes, std::size_t size);
// A JSON string literal, quotes included.
std::string JsonString(const std::string& text);

} // namespace vita49::dump
