#pragma once

// Encoder for the VITA 49.0 packets the instrument sends: IF data, IF context and the
// spectrum extension packets. Used by the simulated instrument, the benchmarks and tests.
// Everything is written big-endian (network order) but the spectrum trace values, which go
// out as little-endian IEEE floats, the order applications read them in.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vita49::sim {

// Header and prologue of one packet.
struct PacketHeader {
    std::uint8_t type = 1;          // 1 IF data, 3 extension data, 4 IF context, 5 extension context
    std::uint8_t count = 0;         // 4-bit packet count
    std::uint32_t streamId = 0;     // written for types 1, 3, 4 and 5
    bool classId = false;           // two words, written as zero-padded OUI and codes
    std::uint32_t classOui = 0;
    std::uint32_t classCodes = 0;
    std::uint8_t tsi = 0;           // 0 none, 1 UTC, 2 GPS, 3 other
    std::uint32_t intTimestamp = 0;
    std::uint8_t tsf = 0;           // 0 none, 1 sample count, 2 real time (ps), 3 free running
    std::uint64_t fracTimestamp = 0;
    bool trailer = false;           // only meaningful for IF data
    std::uint32_t trailerWord = 0;
};

// Trailer word with the given indicators enabled and set.
struct TrailerBits {
    bool validData = true;
    bool referenceLock = true;
    bool overRange = false;
    bool sampleLoss = false;
    bool calibratedTime = false;
    int contextCount = -1; // -1: not enabled
};
std::uint32_t MakeTrailer(const TrailerBits& bits);

// Bytes of a packet with `payloadBytes` (rounded up to whole words) of payload.
std::size_t PacketBytes(const PacketHeader& header, std::size_t payloadBytes);

// Writes one packet into `out` (PacketBytes() bytes available) and returns its length. The
// payload is copied as given, padded with zeros to a whole word.
std::size_t WritePacket(std::uint8_t* out, const PacketHeader& header, const std::uint8_t* payload,
                        std::size_t payloadBytes);
// Appends one packet to `out`.
void AppendPacket(std::vector<std::uint8_t>& out, const PacketHeader& header, const std::uint8_t* payload,
                  std::size_t payloadBytes);

// IF context section: CIF0 followed by the announced fields. Unset fields are absent.
struct GpsFix {
    std::uint32_t intTimestamp = 0;
    std::uint64_t fracTimestamp = 0;
    double latitudeDeg = 0, longitudeDeg = 0, altitudeM = 0, speedMps = 0, headingDeg = 0, trackAngleDeg = 0,
           magneticVariationDeg = 0;
};
struct ContextValues {
    bool hasBandwidth = false;
    double bandwidthHz = 0;
    bool hasRfReferenceFrequency = false;
    double rfReferenceFrequencyHz = 0;
    bool hasReferenceLevel = false;
    double referenceLevelDbm = 0;
    bool hasSampleRate = false;
    double sampleRateHz = 0;
    bool hasPayloadFormat = false;
    std::uint8_t itemBits = 16; // data item and packing field size
    bool hasGps = false;
    GpsFix gps;
    bool changed = false; // context field change indicator (bit 31)
};
std::vector<std::uint8_t> ContextSection(const ContextValues& values);

// Extension context payload: three fixed-point frequencies and one 32-bit word.
std::vector<std::uint8_t> SpectrumContextPayload(double param1Hz, double param2Hz, double param3Hz,
                                                 std::uint32_t param4);
// Extension data payload: one word not interpreted, N, the trace identifier, N floats.
std::vector<std::uint8_t> SpectrumDataPayload(std::uint16_t traceId, const float* values, std::size_t count);

// 64-bit fixed point with 20 fraction bits.
std::uint64_t ToFixedPoint20(double value);

} // namespace vita49::sim
