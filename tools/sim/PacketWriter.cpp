#include "sim/PacketWriter.h"

#include <cmath>
#include <cstring>

#include "vita49/PacketLayout.h"

namespace vita49::sim {
namespace {

void Put32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

void Put64(std::uint8_t* p, std::uint64_t v) {
    Put32(p, static_cast<std::uint32_t>(v >> 32));
    Put32(p + 4, static_cast<std::uint32_t>(v));
}

void Append32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    std::uint8_t b[4];
    Put32(b, v);
    out.insert(out.end(), b, b + 4);
}

void Append64(std::vector<std::uint8_t>& out, std::uint64_t v) {
    std::uint8_t b[8];
    Put64(b, v);
    out.insert(out.end(), b, b + 8);
}

std::uint32_t Fixed(double value, double scale) {
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(std::lround(value * scale)));
}

std::size_t Padded(std::size_t payloadBytes) { return (payloadBytes + 3) / 4 * 4; }

// The header word without its size, and the prologue it implies: the receiver's own layout.
HeaderLayout LayoutFor(const PacketHeader& h) {
    return LayoutOf(MakeHeaderWord(h.type, h.classId, h.trailer, h.tsi, h.tsf, h.count, 0));
}

} // namespace

std::uint64_t ToFixedPoint20(double value) { return static_cast<std::uint64_t>(std::llround(value * 1048576.0)); }

std::uint32_t MakeTrailer(const TrailerBits& bits) {
    std::uint32_t w = (1u << 30) | (1u << 29) | (1u << 25) | (1u << 24) | (1u << 31);
    if (bits.calibratedTime) w |= 1u << 19;
    if (bits.validData) w |= 1u << 18;
    if (bits.referenceLock) w |= 1u << 17;
    if (bits.overRange) w |= 1u << 13;
    if (bits.sampleLoss) w |= 1u << 12;
    if (bits.contextCount >= 0) w |= 0x80u | (static_cast<std::uint32_t>(bits.contextCount) & 0x7F);
    return w;
}

std::size_t PacketBytes(const PacketHeader& h, std::size_t payloadBytes) {
    return LayoutFor(h).payloadAt + Padded(payloadBytes) + (h.trailer ? kTrailerBytes : 0);
}

std::size_t WritePacket(std::uint8_t* out, const PacketHeader& h, const std::uint8_t* payload,
                        std::size_t payloadBytes) {
    const std::size_t total = PacketBytes(h, payloadBytes);
    const HeaderLayout layout = LayoutFor(h);
    Put32(out, layout.word | kSizeField.In(static_cast<std::uint32_t>(total / kWordBytes)));
    if (TypeHasStreamId(h.type)) Put32(out + kStreamIdAt, h.streamId);
    if (layout.HasClassId()) {
        Put32(out + layout.classIdAt, h.classOui & 0x00FFFFFF);
        Put32(out + layout.classIdAt + 4, h.classCodes);
    }
    if (layout.HasIntTimestamp()) Put32(out + layout.intTimestampAt, h.intTimestamp);
    if (layout.HasFracTimestamp()) Put64(out + layout.fracTimestampAt, h.fracTimestamp);
    std::uint8_t* p = out + layout.payloadAt;
    if (payloadBytes > 0) std::memcpy(p, payload, payloadBytes);
    std::memset(p + payloadBytes, 0, Padded(payloadBytes) - payloadBytes);
    if (h.trailer) Put32(out + total - kTrailerBytes, h.trailerWord);
    return total;
}

void AppendPacket(std::vector<std::uint8_t>& out, const PacketHeader& header, const std::uint8_t* payload,
                  std::size_t payloadBytes) {
    const std::size_t at = out.size();
    out.resize(at + PacketBytes(header, payloadBytes));
    WritePacket(out.data() + at, header, payload, payloadBytes);
}

std::vector<std::uint8_t> ContextSection(const ContextValues& v) {
    std::uint32_t cif0 = 0;
    if (v.changed) cif0 |= 1u << 31;
    if (v.hasBandwidth) cif0 |= 1u << 29;
    if (v.hasRfReferenceFrequency) cif0 |= 1u << 27;
    if (v.hasReferenceLevel) cif0 |= 1u << 24;
    if (v.hasSampleRate) cif0 |= 1u << 21;
    if (v.hasPayloadFormat) cif0 |= 1u << 15;
    if (v.hasGps) cif0 |= 1u << 14;
    std::vector<std::uint8_t> out;
    Append32(out, cif0);
    if (v.hasBandwidth) Append64(out, ToFixedPoint20(v.bandwidthHz));
    if (v.hasRfReferenceFrequency) Append64(out, ToFixedPoint20(v.rfReferenceFrequencyHz));
    if (v.hasReferenceLevel) Append32(out, Fixed(v.referenceLevelDbm, 128.0) & 0xFFFF);
    if (v.hasSampleRate) Append64(out, ToFixedPoint20(v.sampleRateHz));
    if (v.hasPayloadFormat) {
        // Signed fixed-point, link-efficient packing, item and packing field size - 1.
        const std::uint32_t size = (v.itemBits - 1u) & 0x3F;
        Append32(out, (size << 6) | size);
        Append32(out, 0); // repeat and vector size: one item, one vector
    }
    if (v.hasGps) {
        const GpsFix& g = v.gps;
        Append32(out, 0x05000000u); // UTC and real-time timestamps of the fix, no OUI
        Append32(out, g.intTimestamp);
        Append64(out, g.fracTimestamp);
        Append32(out, Fixed(g.latitudeDeg, 4194304.0));
        Append32(out, Fixed(g.longitudeDeg, 4194304.0));
        Append32(out, Fixed(g.altitudeM, 32.0));
        Append32(out, static_cast<std::uint32_t>(std::llround(g.speedMps * 65536.0)));
        Append32(out, Fixed(g.headingDeg, 4194304.0));
        Append32(out, Fixed(g.trackAngleDeg, 4194304.0));
        Append32(out, Fixed(g.magneticVariationDeg, 4194304.0));
    }
    return out;
}

std::vector<std::uint8_t> SpectrumContextPayload(double param1Hz, double param2Hz, double param3Hz,
                                                 std::uint32_t param4) {
    std::vector<std::uint8_t> out;
    Append64(out, ToFixedPoint20(param1Hz));
    Append64(out, ToFixedPoint20(param2Hz));
    Append64(out, ToFixedPoint20(param3Hz));
    Append32(out, param4);
    return out;
}

std::vector<std::uint8_t> SpectrumDataPayload(std::uint16_t traceId, const float* values, std::size_t count) {
    std::vector<std::uint8_t> out;
    Append32(out, 0);
    Append32(out, static_cast<std::uint32_t>(count));
    Append32(out, traceId);
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, &values[i], 4);
        const std::uint8_t le[4] = {static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
                                    static_cast<std::uint8_t>(bits >> 16), static_cast<std::uint8_t>(bits >> 24)};
        out.insert(out.end(), le, le + 4);
    }
    return out;
}

} // namespace vita49::sim
