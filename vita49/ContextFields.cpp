#include "vita49/ContextFields.h"

#include "vita49/ByteOrder.h"
#include "vita49/PacketLayout.h"
#include "vita49/Vita49Types.h"

namespace vita49 {
namespace {

// CIF0 bits 30..15 whose fields are 4 and 8 bytes long. Bit 31 carries no field; bit 14
// (44 bytes) lies behind every decoded field.
constexpr std::uint32_t kFourByteFields = (1u << 30) | (1u << 24) | (1u << 23) | (1u << 22) | (1u << 19) |
                                          (1u << 18) | (1u << 16);
constexpr std::uint32_t kEightByteFields = (1u << 29) | (1u << 28) | (1u << 27) | (1u << 26) | (1u << 25) |
                                           (1u << 21) | (1u << 20) | (1u << 17) | (1u << 15);

int PopCount(std::uint32_t v) {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_popcount(v);
#else
    int n = 0;
    for (; v; v &= v - 1) ++n;
    return n;
#endif
}

// Offset of a field of `size` bytes, or 0 when it is absent or does not fit.
std::uint32_t FieldAt(const std::uint8_t* packet, std::uint32_t length, unsigned bit, std::uint32_t size) {
    std::uint32_t offset = ContextFieldOffset(packet, length, bit);
    if (offset == 0 || std::uint64_t{offset} + size > length) return 0;
    return offset;
}

bool ReadFrequency(const std::uint8_t* packet, std::uint32_t length, unsigned bit, double& hz) {
    std::uint32_t at = FieldAt(packet, length, bit, 8);
    if (at == 0) return false;
    hz = FixedPointHz(load_be64(packet + at));
    return true;
}

double Signed22(const std::uint8_t* p) {
    return static_cast<std::int32_t>(load_be32(p)) * (1.0 / 4194304.0);
}

} // namespace

std::uint32_t ContextFieldOffset(const std::uint8_t* packet, std::uint32_t length, unsigned bit) {
    if (length < 4 || bit > 30 || bit < 14) return 0;
    std::uint32_t section = 8 + (HeaderHasClassId(packet) ? 8 : 0) + (HeaderHasIntTimestamp(packet) ? 4 : 0) +
                            (HeaderHasFracTimestamp(packet) ? 8 : 0);
    if (section + 4 > length) return 0;
    std::uint32_t cif0 = load_be32(packet + section);
    if ((cif0 & (1u << bit)) == 0) return 0;
    std::uint32_t above = 0x7FFFFFFFu & ~((2u << bit) - 1u); // bits 30 .. bit+1
    return section + 4 + 4 * PopCount(cif0 & above & kFourByteFields) + 8 * PopCount(cif0 & above & kEightByteFields);
}

bool ReadBandwidth(const std::uint8_t* packet, std::uint32_t length, double& hz) {
    return ReadFrequency(packet, length, kCifBandwidth, hz);
}

bool ReadRfReferenceFrequency(const std::uint8_t* packet, std::uint32_t length, double& hz) {
    return ReadFrequency(packet, length, kCifRfReferenceFrequency, hz);
}

bool ReadSampleRate(const std::uint8_t* packet, std::uint32_t length, double& hz) {
    return ReadFrequency(packet, length, kCifSampleRate, hz);
}

bool ReadReferenceLevel(const std::uint8_t* packet, std::uint32_t length, double& dbm) {
    std::uint32_t at = FieldAt(packet, length, kCifReferenceLevel, 4);
    if (at == 0) return false;
    dbm = static_cast<std::int16_t>(load_be16(packet + at + 2)) * 0.0078125;
    return true;
}

bool ReadPayloadFormat(const std::uint8_t* packet, std::uint32_t length, std::uint8_t& itemPackingFieldSize,
                       std::uint8_t& dataItemSize) {
    std::uint32_t at = FieldAt(packet, length, kCifPayloadFormat, 8);
    if (at == 0) return false;
    std::uint16_t w = load_be16(packet + at + 2);
    dataItemSize = static_cast<std::uint8_t>((w & 0x3F) + 1);
    itemPackingFieldSize = static_cast<std::uint8_t>(((w >> 6) & 0x3F) + 1);
    return true;
}

bool ReadFormattedGps(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& intTimestamp,
                      std::uint64_t& fracTimestamp, double& latitudeDeg, double& longitudeDeg, double& altitudeM,
                      double& speedMps, double& trackAngleDeg, double& magneticVariationDeg) {
    std::uint32_t at = FieldAt(packet, length, kCifFormattedGps, 44);
    if (at == 0) return false;
    const std::uint8_t* g = packet + at;
    intTimestamp = load_be32(g + 4);
    fracTimestamp = load_be64(g + 8);
    latitudeDeg = Signed22(g + 16);
    longitudeDeg = Signed22(g + 20);
    altitudeM = static_cast<std::int32_t>(load_be32(g + 24)) * 0.03125;
    speedMps = load_be32(g + 28) * (1.0 / 65536.0);
    trackAngleDeg = Signed22(g + 36);
    magneticVariationDeg = Signed22(g + 40);
    return true;
}

void DecodeContextFields(const std::uint8_t* packet, std::uint32_t length, Vita49_Context& r) {
    r.payloadValid = LocateContextPayload(packet, length, r.payloadOffset, r.payloadSize) ? 1 : 0;
    r.bandwidthValid = ReadBandwidth(packet, length, r.bandwidthHz);
    r.rfReferenceFrequencyValid = ReadRfReferenceFrequency(packet, length, r.rfReferenceFrequencyHz);
    r.referenceLevelValid = ReadReferenceLevel(packet, length, r.referenceLevelDbm);
    r.sampleRateValid = ReadSampleRate(packet, length, r.sampleRateHz);
    r.payloadFormatValid = ReadPayloadFormat(packet, length, r.itemPackingFieldSize, r.dataItemSize);
    r.gpsValid = ReadFormattedGps(packet, length, r.gpsIntTimestamp, r.gpsFracTimestamp, r.gpsLatitudeDeg,
                                  r.gpsLongitudeDeg, r.gpsAltitudeM, r.gpsSpeedMps, r.gpsTrackAngleDeg,
                                  r.gpsMagneticVariationDeg);
}

} // namespace vita49
