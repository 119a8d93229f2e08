// DecodeContextFields places every field in one walk over CIF0, while each field decoder
// sums the fields above its own: over random headers, CIF0 words, field bytes and packet
// lengths both must find the same fields, accept and refuse the same ones, yield the same
// values and leave a refused field's old value alone.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "vita49/ByteOrder.h"
#include "vita49/ContextFields.h"
#include "vita49/Vita49Types.h"

namespace vita49 {
namespace {

// A record whose every byte holds `fill`, so that a value left alone can be told apart.
Vita49_Context Filled(std::uint8_t fill) {
    Vita49_Context r;
    std::memset(static_cast<void*>(&r), fill, sizeof r);
    return r;
}

// What the six decoders say about one packet, written into a record as the branch would.
Vita49_Context ByDecoders(const std::uint8_t* p, std::uint32_t length, std::uint8_t fill) {
    Vita49_Context r = Filled(fill);
    r.bandwidthValid = ReadBandwidth(p, length, r.bandwidthHz);
    r.rfReferenceFrequencyValid = ReadRfReferenceFrequency(p, length, r.rfReferenceFrequencyHz);
    r.referenceLevelValid = ReadReferenceLevel(p, length, r.referenceLevelDbm);
    r.sampleRateValid = ReadSampleRate(p, length, r.sampleRateHz);
    r.payloadFormatValid = ReadPayloadFormat(p, length, r.itemPackingFieldSize, r.dataItemSize);
    r.gpsValid = ReadFormattedGps(p, length, r.gpsIntTimestamp, r.gpsFracTimestamp, r.gpsLatitudeDeg,
                                  r.gpsLongitudeDeg, r.gpsAltitudeM, r.gpsSpeedMps, r.gpsTrackAngleDeg,
                                  r.gpsMagneticVariationDeg);
    return r;
}

// Field by field, values compared as bytes (a refused field must keep the fill pattern).
void ExpectSame(const Vita49_Context& walk, const Vita49_Context& decoders, std::uint32_t cif0,
                std::uint32_t length) {
    SCOPED_TRACE(::testing::Message() << "CIF0 " << std::hex << cif0 << std::dec << ", length " << length);
#define VITA49_EXPECT_SAME(field) \
    EXPECT_EQ(std::memcmp(&walk.field, &decoders.field, sizeof walk.field), 0) << #field
    VITA49_EXPECT_SAME(bandwidthValid);
    VITA49_EXPECT_SAME(bandwidthHz);
    VITA49_EXPECT_SAME(rfReferenceFrequencyValid);
    VITA49_EXPECT_SAME(rfReferenceFrequencyHz);
    VITA49_EXPECT_SAME(referenceLevelValid);
    VITA49_EXPECT_SAME(referenceLevelDbm);
    VITA49_EXPECT_SAME(sampleRateValid);
    VITA49_EXPECT_SAME(sampleRateHz);
    VITA49_EXPECT_SAME(payloadFormatValid);
    VITA49_EXPECT_SAME(itemPackingFieldSize);
    VITA49_EXPECT_SAME(dataItemSize);
    VITA49_EXPECT_SAME(gpsValid);
    VITA49_EXPECT_SAME(gpsIntTimestamp);
    VITA49_EXPECT_SAME(gpsFracTimestamp);
    VITA49_EXPECT_SAME(gpsLatitudeDeg);
    VITA49_EXPECT_SAME(gpsLongitudeDeg);
    VITA49_EXPECT_SAME(gpsAltitudeM);
    VITA49_EXPECT_SAME(gpsSpeedMps);
    VITA49_EXPECT_SAME(gpsTrackAngleDeg);
    VITA49_EXPECT_SAME(gpsMagneticVariationDeg);
#undef VITA49_EXPECT_SAME
}

class ContextWalk : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(ContextWalk, AgreesWithTheFieldDecoders) {
    std::mt19937 random(GetParam());
    for (int round = 0; round < 2000; ++round) {
        // Header: IF context, random class identifier and timestamp flags; CIF0 with random
        // bits, biased towards the decoded ones being set; then random field bytes.
        std::vector<std::uint8_t> packet(8 + 8 + 4 + 8 + 4 + 200);
        for (auto& b : packet) b = static_cast<std::uint8_t>(random());
        packet[0] = static_cast<std::uint8_t>(0x40 | (random() & 0x08));
        packet[1] = static_cast<std::uint8_t>(random() & 0xF0);
        const std::uint32_t section = 8 + ((packet[0] & 0x08) ? 8 : 0) + ((packet[1] & 0xC0) ? 4 : 0) +
                                      ((packet[1] & 0x30) ? 8 : 0);
        std::uint32_t cif0 = static_cast<std::uint32_t>(random());
        if (round % 2 == 0) cif0 |= (1u << 29) | (1u << 27) | (1u << 24) | (1u << 21) | (1u << 15) | (1u << 14);
        store_be32(packet.data() + section, cif0);
        // Every length from nothing to the whole buffer turns up, truncating fields anywhere.
        const auto length = static_cast<std::uint32_t>(random() % (packet.size() + 1));
        store_be16(packet.data() + 2, static_cast<std::uint16_t>(length / 4));

        Vita49_Context walk = Filled(0xA5);
        DecodeContextFields(packet.data(), length, walk);
        ExpectSame(walk, ByDecoders(packet.data(), length, 0xA5), cif0, length);
        if (HasFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, ContextWalk, ::testing::Values(1u, 2u, 3u, 4u));

} // namespace
} // namespace vita49
