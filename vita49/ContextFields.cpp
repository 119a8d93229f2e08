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

// Without a popcount instruction in the target (the x86-64 baseline has none) the builtin
// becomes a library call, several times the cost of the whole decoder; the bit-parallel sum
// is a dozen plain instructions everywhere.
int PopCount(std::uint32_t v) {
#if defined(__POPCNT__) || (defined(__aarch64__) && (defined(__GNUC__) || defined(__clang__)))
    return __builtin_popcount(v);
#else
    v = v - ((v >> 1) & 0x55555555u);
    v = (v & 0x33333333u) + ((v >> 2) & 0x33333333u);
    return static_cast<int>((((v + (v >> 4)) & 0x0F0F0F0Fu) * 0x01010101u) >> 24);
#endif
}

// Bytes of the field of CIF0 bit `bit` (30..14) as the offsets count them.
constexpr std::uint32_t FieldBytes(unsigned bit) {
    return bit == kCifFormattedGps             ? 44
           : ((kFourByteFields >> bit) & 1u)  ? 4
           : ((kEightByteFields >> bit) & 1u) ? 8
                                               : 0;
}

// Start of the context section when its CIF0 lies within the packet, else 0.
std::uint32_t SectionStart(const std::uint8_t* packet, std::uint32_t length) {
    if (length < kHeaderBytes) return 0;
    // Context packets always carry a stream identifier.
    const std::uint32_t section = LayoutOf(load_be32(packet), true).payloadAt;
    return section + 4 <= length ? section : 0;
}

// A field found at `offset` (0: not announced) is decoded only when all its bytes fit.
bool Fits(std::uint32_t offset, std::uint32_t size, std::uint32_t length) {
    return offset != 0 && std::uint64_t{offset} + size <= length;
}

// Offset of a field of `size` bytes, or 0 when it is absent or does not fit.
std::uint32_t FieldAt(const std::uint8_t* packet, std::uint32_t length, unsigned bit, std::uint32_t size) {
    std::uint32_t offset = ContextFieldOffset(packet, length, bit);
    return Fits(offset, size, length) ? offset : 0;
}

// Conversions, each from the first byte of its field.
double FrequencyAt(const std::uint8_t* p) { return FixedPointHz(load_be64(p)); }

double ReferenceLevelAt(const std::uint8_t* p) { return static_cast<std::int16_t>(load_be16(p + 2)) * 0.0078125; }

void PayloadFormatAt(const std::uint8_t* p, std::uint8_t& itemPackingFieldSize, std::uint8_t& dataItemSize) {
    std::uint16_t w = load_be16(p + 2);
    dataItemSize = static_cast<std::uint8_t>((w & 0x3F) + 1);
    itemPackingFieldSize = static_cast<std::uint8_t>(((w >> 6) & 0x3F) + 1);
}

double Signed22(const std::uint8_t* p) { return static_cast<std::int32_t>(load_be32(p)) * (1.0 / 4194304.0); }

void GpsAt(const std::uint8_t* g, std::uint32_t& intTimestamp, std::uint64_t& fracTimestamp, double& latitudeDeg,
           double& longitudeDeg, double& altitudeM, double& speedMps, double& trackAngleDeg,
           double& magneticVariationDeg) {
    intTimestamp = load_be32(g + 4);
    fracTimestamp = load_be64(g + 8);
    latitudeDeg = Signed22(g + 16);
    longitudeDeg = Signed22(g + 20);
    altitudeM = static_cast<std::int32_t>(load_be32(g + 24)) * 0.03125;
    speedMps = load_be32(g + 28) * (1.0 / 65536.0);
    trackAngleDeg = Signed22(g + 36);
    magneticVariationDeg = Signed22(g + 40);
}

bool ReadFrequency(const std::uint8_t* packet, std::uint32_t length, unsigned bit, double& hz) {
    std::uint32_t at = FieldAt(packet, length, bit, 8);
    if (at == 0) return false;
    hz = FrequencyAt(packet + at);
    return true;
}

} // namespace

std::uint32_t ContextFieldOffset(const std::uint8_t* packet, std::uint32_t length, unsigned bit) {
    if (bit > 30 || bit < 14) return 0;
    const std::uint32_t section = SectionStart(packet, length);
    if (section == 0) return 0;
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
    dbm = ReferenceLevelAt(packet + at);
    return true;
}

bool ReadPayloadFormat(const std::uint8_t* packet, std::uint32_t length, std::uint8_t& itemPackingFieldSize,
                       std::uint8_t& dataItemSize) {
    std::uint32_t at = FieldAt(packet, length, kCifPayloadFormat, 8);
    if (at == 0) return false;
    PayloadFormatAt(packet + at, itemPackingFieldSize, dataItemSize);
    return true;
}

bool ReadFormattedGps(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& intTimestamp,
                      std::uint64_t& fracTimestamp, double& latitudeDeg, double& longitudeDeg, double& altitudeM,
                      double& speedMps, double& trackAngleDeg, double& magneticVariationDeg) {
    std::uint32_t at = FieldAt(packet, length, kCifFormattedGps, 44);
    if (at == 0) return false;
    GpsAt(packet + at, intTimestamp, fracTimestamp, latitudeDeg, longitudeDeg, altitudeM, speedMps, trackAngleDeg,
          magneticVariationDeg);
    return true;
}

void DecodeContextFields(const std::uint8_t* packet, std::uint32_t length, Vita49_Context& r) {
    r.payloadValid = LocateContextPayload(packet, length, r.payloadOffset, r.payloadSize) ? 1 : 0;

    // Each decoder alone sums the fields above its own; for the whole packet one walk over
    // CIF0 from bit 30 down places every field. The checks and conversions are the decoders'.
    std::uint32_t at[31] = {};
    if (const std::uint32_t section = SectionStart(packet, length); section != 0) {
        const std::uint32_t cif0 = load_be32(packet + section);
        std::uint32_t next = section + 4;
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC unroll 17
#endif
        for (unsigned bit = 30; bit >= kCifFormattedGps; --bit) {
            if ((cif0 >> bit) & 1u) {
                at[bit] = next;
                next += FieldBytes(bit);
            }
        }
    }

    r.bandwidthValid = Fits(at[kCifBandwidth], 8, length);
    if (r.bandwidthValid) r.bandwidthHz = FrequencyAt(packet + at[kCifBandwidth]);
    r.rfReferenceFrequencyValid = Fits(at[kCifRfReferenceFrequency], 8, length);
    if (r.rfReferenceFrequencyValid) r.rfReferenceFrequencyHz = FrequencyAt(packet + at[kCifRfReferenceFrequency]);
    r.referenceLevelValid = Fits(at[kCifReferenceLevel], 4, length);
    if (r.referenceLevelValid) r.referenceLevelDbm = ReferenceLevelAt(packet + at[kCifReferenceLevel]);
    r.sampleRateValid = Fits(at[kCifSampleRate], 8, length);
    if (r.sampleRateValid) r.sampleRateHz = FrequencyAt(packet + at[kCifSampleRate]);
    r.payloadFormatValid = Fits(at[kCifPayloadFormat], 8, length);
    if (r.payloadFormatValid) PayloadFormatAt(packet + at[kCifPayloadFormat], r.itemPackingFieldSize, r.dataItemSize);
    r.gpsValid = Fits(at[kCifFormattedGps], 44, length);
    if (r.gpsValid)
        GpsAt(packet + at[kCifFormattedGps], r.gpsIntTimestamp, r.gpsFracTimestamp, r.gpsLatitudeDeg,
              r.gpsLongitudeDeg, r.gpsAltitudeM, r.gpsSpeedMps, r.gpsTrackAngleDeg, r.gpsMagneticVariationDeg);
}

} // namespace vita49
