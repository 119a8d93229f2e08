#pragma once

// IF context packet fields. Each decoder takes the packet's first byte and its length,
// returns false when its indicator bit is clear or the field would end beyond `length`,
// and writes its outputs only on success.

#include <cstdint>

struct Vita49_Context;

namespace vita49 {

// Context indicator (CIF0) bits of the decoded fields.
constexpr unsigned kCifBandwidth = 29;
constexpr unsigned kCifRfReferenceFrequency = 27;
constexpr unsigned kCifReferenceLevel = 24;
constexpr unsigned kCifSampleRate = 21;
constexpr unsigned kCifPayloadFormat = 15;
constexpr unsigned kCifFormattedGps = 14;

// Byte offset from the packet start of the field announced by CIF0 bit `bit` (30..14), or 0
// when the bit is clear or CIF0 does not lie within the packet.
std::uint32_t ContextFieldOffset(const std::uint8_t* packet, std::uint32_t length, unsigned bit);

bool ReadBandwidth(const std::uint8_t* packet, std::uint32_t length, double& hz);
bool ReadRfReferenceFrequency(const std::uint8_t* packet, std::uint32_t length, double& hz);
bool ReadReferenceLevel(const std::uint8_t* packet, std::uint32_t length, double& dbm);
bool ReadSampleRate(const std::uint8_t* packet, std::uint32_t length, double& hz);
bool ReadPayloadFormat(const std::uint8_t* packet, std::uint32_t length, std::uint8_t& itemPackingFieldSize,
                       std::uint8_t& dataItemSize);
bool ReadFormattedGps(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& intTimestamp,
                      std::uint64_t& fracTimestamp, double& latitudeDeg, double& longitudeDeg, double& altitudeM,
                      double& speedMps, double& trackAngleDeg, double& magneticVariationDeg);

// Fills the section and field part of the record from one IF context packet: every validity
// flag is rewritten, every value only when the packet carried it. The prologue fields are
// the caller's.
void DecodeContextFields(const std::uint8_t* packet, std::uint32_t length, Vita49_Context& record);

// VITA 49 fixed-point frequency (20 fraction bits, taken unsigned) in hertz.
inline double FixedPointHz(std::uint64_t raw) { return static_cast<double>(raw) / 1048576.0; }

} // namespace vita49
