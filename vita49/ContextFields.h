#pragma once

// IF context packet fields. Each decoder takes the packet's first byte and its length,
// returns false when its indicator bit is clear, the field would end beyond `length` or the
// packet's fields carry attributes (CIF0 bit 7), and writes its outputs only on success.

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

// CIF0 bits of VITA 49.2 streams: bits 1 to 3 announce the indicator words CIF1 to CIF3, which
// follow CIF0 (in that order, before the first field); bit 7 announces CIF7, which gives
// every field attributes of sizes the receiver does not walk, so that no field of such a
// packet is decoded.
constexpr unsigned kCifIndicatorWord1 = 1;
constexpr unsigned kCifIndicatorWord2 = 2;
constexpr unsigned kCifIndicatorWord3 = 3;
constexpr unsigned kCifFieldAttributes = 7;

// Byte offset from the packet start of the field announced by CIF0 bit `bit` (30..14), or 0
// when the bit is clear, CIF0 does not lie within the packet or the packet gives its fields
// attributes (bit 7).
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
