#pragma once

// The instrument's spectrum extension packets: extension context packets (type 5) carry the
// spectrum parameters, extension data packets (type 3) one trace of 32-bit float values
// tagged with a 16-bit trace identifier.

#include <cstdint>
#include <vector>

struct Vita49_FFTData;

namespace vita49 {

// Bytes of the extension context payload and of the extension data header.
constexpr std::uint32_t kSpectrumContextBytes = 28;
constexpr std::uint32_t kSpectrumHeaderBytes = 12;
// traceIds of Vita49_FFTData has room for this many identifiers.
constexpr std::size_t kMaxListedTraces = 8;

// Sets all four outputs to 0, then reads them when the payload was located (offset not 0)
// and its 28 bytes lie within `length`.
bool ReadSpectrumContext(const std::uint8_t* packet, std::uint32_t payloadOffset, std::uint32_t length,
                         double& param1Hz, double& param2Hz, double& param3Hz, std::uint32_t& param4);

// Reads the header of an extension data packet: N (number of values), the trace identifier
// (low 16 bits of its word) and where the values start. True when the packet is of type 3
// and the 12 header bytes lie within `length`; the values themselves may not.
bool ReadSpectrumHeader(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& valueCount,
                        std::uint16_t& traceId, const std::uint8_t*& values);

// Trace bookkeeping of one receiver: the identifiers seen since Open and the buffer that
// holds the displayed trace's values.
class SpectrumTraces {
public:
    SpectrumTraces();
    ~SpectrumTraces();
    SpectrumTraces(const SpectrumTraces&) = delete;
    SpectrumTraces& operator=(const SpectrumTraces&) = delete;

    // Forgets the identifiers (Open); the buffer survives.
    void ResetSeen() { seen_.clear(); }

    // Handles the header of one extension data packet: lists the identifier and, when all
    // 4*N value bytes lie within the packet, sizes the buffer to them (zero-filled whenever
    // it is created or re-sized) and copies the values if the trace is the displayed one.
    // Fills payloadSize, traceIdsValid and traceIds; returns the trace bytes that were taken
    // (0 when the trace does not fit its packet).
    std::uint32_t Take(const std::uint8_t* packet, std::uint32_t length, std::uint32_t valueCount,
                       std::uint16_t traceId, const std::uint8_t* values, std::uint16_t displayedTrace,
                       Vita49_FFTData& record);

    float* Buffer() const { return buffer_; }
    std::uint32_t BufferBytes() const { return bufferBytes_; }
    const std::vector<std::uint16_t>& Seen() const { return seen_; }

private:
    std::vector<std::uint16_t> seen_;
    float* buffer_ = nullptr;
    std::uint32_t bufferBytes_ = 0;
};

} // namespace vita49
