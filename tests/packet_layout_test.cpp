// The stateless packet layout functions: every header combination of class identifier,
// timestamps and trailer on every packet type, every length that cuts a field short, and
// hand-written packets for the cases that matter most.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "support/HandPacket.h"
#include "vita49/PacketLayout.h"

namespace vita49 {
namespace {

constexpr std::uint32_t kStreamId = 0xC0DE0102u;
constexpr std::uint32_t kIntTimestamp = 0x9ABCDEF0u;
constexpr std::uint64_t kFracTimestamp = 0x8123456789ABCDEFull; // top bit set: must stay unsigned
constexpr std::uint32_t kTrailer = 0xE3060083u;
constexpr std::size_t kPayloadBytes = 12;
using test::kAbsent;

struct Layout {
    std::uint8_t type;
    bool classId;
    std::uint8_t tsi;
    std::uint8_t tsf;
    bool trailer;
};

// The header these flags describe, with every value its parts can carry.
sim::PacketHeader HeaderOf(const Layout& l, std::uint8_t count) {
    sim::PacketHeader h = test::Header(l.type, kStreamId, count);
    h.classId = l.classId;
    h.classOui = 0xFEDCBA;
    h.classCodes = 0x00011234;
    h.tsi = l.tsi;
    h.intTimestamp = kIntTimestamp;
    h.tsf = l.tsf;
    h.fracTimestamp = kFracTimestamp;
    h.trailer = l.trailer;
    h.trailerWord = kTrailer;
    return h;
}

std::vector<std::uint8_t> Payload() {
    std::vector<std::uint8_t> payload(kPayloadBytes);
    for (std::size_t i = 0; i < kPayloadBytes; ++i) payload[i] = static_cast<std::uint8_t>(0xA0 + i);
    return payload;
}

// The packet, written by the tests' own builder.
test::HandPacket Build(const Layout& l, std::uint8_t count = 5, bool reservedBits = false) {
    test::HandPacket p = test::BuildPacket(HeaderOf(l, count), Payload());
    if (reservedBits) p.bytes[0] |= 0x03; // header bits 25 and 24: no reader may look at them
    return p;
}

// The first `length` bytes in an allocation of exactly that size, so that a read past
// `length` is caught by the address sanitizer.
std::unique_ptr<std::uint8_t[]> ExactCopy(const std::vector<std::uint8_t>& bytes, std::size_t length) {
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[length]);
    std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length), copy.get());
    return copy;
}

bool Fits(std::size_t at, std::size_t size, std::size_t length) { return at != kAbsent && at + size <= length; }

// Everything the seven functions report for one packet and length; the outputs start at
// sentinels so that a write on failure shows.
struct Decoded {
    bool streamIdOk, intOk, fracOk, dataOk, contextOk, extOk, trailerOk;
    std::uint32_t streamId = 0x5E5E5E5Eu, intTimestamp = 0x5E5E5E5Eu, trailer = 0x5E5E5E5Eu;
    std::uint64_t fracTimestamp = 0x5E5E5E5E5E5E5E5Eull;
    std::uint32_t dataOffset = 77, dataSize = 77, contextOffset = 77, contextSize = 77, extOffset = 77, extSize = 77;
};

Decoded DecodeAll(const std::uint8_t* packet, std::uint32_t length) {
    Decoded d;
    d.streamIdOk = ReadStreamId(packet, length, d.streamId);
    d.intOk = ReadIntegerTimestamp(packet, length, d.intTimestamp);
    d.fracOk = ReadFractionalTimestamp(packet, length, d.fracTimestamp);
    d.dataOk = LocateDataPayload(packet, length, d.dataOffset, d.dataSize);
    d.contextOk = LocateContextPayload(packet, length, d.contextOffset, d.contextSize);
    d.extOk = LocateExtContextPayload(packet, length, d.extOffset, d.extSize);
    d.trailerOk = ReadTrailer(packet, length, d.trailer);
    return d;
}

std::string Name(const Layout& l) {
    return "type" + std::to_string(l.type) + (l.classId ? "_C" : "") + "_tsi" + std::to_string(l.tsi) + "_tsf" +
           std::to_string(l.tsf) + (l.trailer ? "_T" : "");
}

class PacketLayoutTest : public ::testing::TestWithParam<std::tuple<int, bool, int, int, bool>> {
protected:
    Layout L() const {
        const auto& p = GetParam();
        return Layout{static_cast<std::uint8_t>(std::get<0>(p)), std::get<1>(p),
                      static_cast<std::uint8_t>(std::get<2>(p)), static_cast<std::uint8_t>(std::get<3>(p)),
                      std::get<4>(p)};
    }
    // The payload span a locator must report for this packet type, or kAbsent.
    static std::size_t ExpectedDataSize(const Layout& l) { return l.type <= 1 ? kPayloadBytes : kAbsent; }
};

TEST_P(PacketLayoutTest, WholePacketYieldsEveryFieldItCarries) {
    const Layout l = L();
    const test::HandPacket p = Build(l, 9, l.tsf == 2);
    const auto length = static_cast<std::uint32_t>(p.bytes.size());
    const Decoded d = DecodeAll(p.bytes.data(), length);

    EXPECT_EQ(d.streamIdOk, p.streamIdAt != kAbsent);
    if (d.streamIdOk) {
        EXPECT_EQ(d.streamId, kStreamId);
    }
    EXPECT_EQ(d.intOk, l.tsi != 0);
    if (d.intOk) {
        EXPECT_EQ(d.intTimestamp, kIntTimestamp);
    }
    EXPECT_EQ(d.fracOk, l.tsf != 0);
    if (d.fracOk) {
        EXPECT_EQ(d.fracTimestamp, kFracTimestamp);
    }

    EXPECT_EQ(d.dataOk, l.type <= 1);
    if (l.type <= 1) {
        EXPECT_EQ(d.dataOffset, p.payloadAt);
        EXPECT_EQ(d.dataSize, kPayloadBytes) << "the trailer is not part of the samples";
    } else {
        EXPECT_EQ(d.dataOffset, 0u);
        EXPECT_EQ(d.dataSize, 0u);
    }
    // Context sections run to the packet end: a trailer word counts as section bytes.
    EXPECT_EQ(d.contextOk, l.type == 4);
    EXPECT_EQ(d.contextOffset, l.type == 4 ? p.payloadAt : 0u);
    EXPECT_EQ(d.contextSize, l.type == 4 ? p.bytes.size() - p.payloadAt : 0u);
    EXPECT_EQ(d.extOk, l.type == 5);
    EXPECT_EQ(d.extOffset, l.type == 5 ? p.payloadAt : 0u);
    EXPECT_EQ(d.extSize, l.type == 5 ? p.bytes.size() - p.payloadAt : 0u);

    EXPECT_EQ(d.trailerOk, l.trailer);
    if (d.trailerOk) {
        EXPECT_EQ(d.trailer, kTrailer);
    }

    // The header readers the receive loop uses before it decodes anything.
    const std::uint8_t* h = p.bytes.data();
    EXPECT_EQ(HeaderType(h), l.type);
    EXPECT_EQ(HeaderHasClassId(h), l.classId);
    EXPECT_EQ(HeaderHasTrailer(h), l.trailer);
    EXPECT_EQ(HeaderHasIntTimestamp(h), l.tsi != 0);
    EXPECT_EQ(HeaderHasFracTimestamp(h), l.tsf != 0);
    EXPECT_EQ(HeaderPacketCount(h), 9u);
    EXPECT_EQ(HeaderPacketBytes(h), p.bytes.size());
    EXPECT_EQ(TypeHasStreamId(l.type), p.streamIdAt != kAbsent);
    EXPECT_EQ(PrologueBytes(h), p.payloadAt);
}

TEST_P(PacketLayoutTest, SimulatorWritesTheSameBytes) {
    // The simulated instrument writes through the receiver's own layout definitions: checked
    // here against the independent builder.
    const Layout l = L();
    const std::vector<std::uint8_t> payload = Payload();
    std::vector<std::uint8_t> written;
    sim::AppendPacket(written, HeaderOf(l, 11), payload.data(), payload.size());
    EXPECT_EQ(written, test::BuildPacket(HeaderOf(l, 11), payload).bytes);
}

TEST_P(PacketLayoutTest, EveryShorterLengthFailsExactlyTheFieldsItCuts) {
    const Layout l = L();
    const test::HandPacket p = Build(l);
    const std::size_t full = p.bytes.size();
    // The header word is the caller's guarantee, but shorter lengths must not be read either.
    for (std::size_t length = 0; length <= full; ++length) {
        SCOPED_TRACE("length " + std::to_string(length));
        auto copy = ExactCopy(p.bytes, length);
        const Decoded d = DecodeAll(copy.get(), static_cast<std::uint32_t>(length));

        EXPECT_EQ(d.streamIdOk, Fits(p.streamIdAt, 4, length));
        EXPECT_EQ(d.streamId, d.streamIdOk ? kStreamId : 0x5E5E5E5Eu);
        EXPECT_EQ(d.intOk, Fits(p.intTimestampAt, 4, length));
        EXPECT_EQ(d.intTimestamp, d.intOk ? kIntTimestamp : 0x5E5E5E5Eu);
        EXPECT_EQ(d.fracOk, Fits(p.fracTimestampAt, 8, length));
        EXPECT_EQ(d.fracTimestamp, d.fracOk ? kFracTimestamp : 0x5E5E5E5E5E5E5E5Eull);

        const bool dataFits = l.type <= 1 && Fits(p.payloadAt, kPayloadBytes, length);
        EXPECT_EQ(d.dataOk, dataFits);
        EXPECT_EQ(d.dataOffset, dataFits ? p.payloadAt : 0u);
        EXPECT_EQ(d.dataSize, dataFits ? kPayloadBytes : 0u);
        const bool sectionFits = length == full; // a section runs to the declared end
        EXPECT_EQ(d.contextOk, l.type == 4 && sectionFits);
        EXPECT_EQ(d.contextSize, d.contextOk ? full - p.payloadAt : 0u);
        EXPECT_EQ(d.extOk, l.type == 5 && sectionFits);
        EXPECT_EQ(d.extSize, d.extOk ? full - p.payloadAt : 0u);

        EXPECT_EQ(d.trailerOk, l.trailer && length == full);
        EXPECT_EQ(d.trailer, d.trailerOk ? kTrailer : 0x5E5E5E5Eu);
    }
}

TEST_P(PacketLayoutTest, BytesBeyondTheDeclaredSizeAreNotPartOfThePacket) {
    const Layout l = L();
    test::HandPacket p = Build(l);
    const std::size_t declared = p.bytes.size();
    // The next packet's bytes follow in the buffer; a longer `length` must not move the
    // payload end or the trailer.
    for (int i = 0; i < 16; ++i) p.bytes.push_back(0xEE);
    const Decoded d = DecodeAll(p.bytes.data(), static_cast<std::uint32_t>(p.bytes.size()));
    EXPECT_EQ(d.dataSize, l.type <= 1 ? kPayloadBytes : 0u);
    EXPECT_EQ(d.contextSize, l.type == 4 ? declared - p.payloadAt : 0u);
    EXPECT_EQ(d.extSize, l.type == 5 ? declared - p.payloadAt : 0u);
    EXPECT_EQ(d.trailerOk, l.trailer);
    if (d.trailerOk) {
        EXPECT_EQ(d.trailer, kTrailer);
    }
}

INSTANTIATE_TEST_SUITE_P(AllHeaderCombinations, PacketLayoutTest,
                         ::testing::Combine(::testing::Values(0, 1, 2, 3, 4, 5, 7), ::testing::Bool(),
                                            ::testing::Range(0, 4), ::testing::Range(0, 4), ::testing::Bool()),
                         [](const auto& info) {
                             const auto& p = info.param;
                             return Name(Layout{static_cast<std::uint8_t>(std::get<0>(p)), std::get<1>(p),
                                                static_cast<std::uint8_t>(std::get<2>(p)),
                                                static_cast<std::uint8_t>(std::get<3>(p)), std::get<4>(p)});
                         });

// --- Hand-written packets, byte by byte.

TEST(PacketLayoutBytes, ContextSectionAfterFullPrologueStartsAtByte28) {
    const std::uint8_t withClass[32] = {
        0x48, 0xF3, 0x00, 0x08,                          // type 4, C, TSI 3, TSF 3, count 3, 8 words
        0x00, 0x00, 0x00, 0x2A,                          // stream identifier 42
        0x00, 0x12, 0x34, 0x56, 0x00, 0x01, 0x00, 0x02,  // class identifier
        0x5F, 0x00, 0x00, 0x01,                          // integer seconds
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0xE8,  // fractional seconds
        0x00, 0x00, 0x00, 0x00,                          // CIF0: nothing
    };
    std::uint32_t offset = 0, size = 0;
    ASSERT_TRUE(LocateContextPayload(withClass, sizeof withClass, offset, size));
    EXPECT_EQ(offset, 28u);
    EXPECT_EQ(size, 4u);
    std::uint32_t seconds = 0;
    std::uint64_t fraction = 0;
    ASSERT_TRUE(ReadIntegerTimestamp(withClass, sizeof withClass, seconds));
    EXPECT_EQ(seconds, 0x5F000001u);
    ASSERT_TRUE(ReadFractionalTimestamp(withClass, sizeof withClass, fraction));
    EXPECT_EQ(fraction, 1000u);

    const std::uint8_t withoutClass[24] = {
        0x40, 0xF3, 0x00, 0x06, 0x00, 0x00, 0x00, 0x2A, 0x5F, 0x00, 0x00, 0x01,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0xE8, 0x00, 0x00, 0x00, 0x00,
    };
    ASSERT_TRUE(LocateContextPayload(withoutClass, sizeof withoutClass, offset, size));
    EXPECT_EQ(offset, 20u);
    EXPECT_EQ(size, 4u);
}

TEST(PacketLayoutBytes, DataPacketOfTenWordsWithTimestampsAndTrailer) {
    std::uint8_t packet[40] = {
        0x14, 0x61, 0x00, 0x0A,                          // type 1, T, TSI 1, TSF 2, count 1, 10 words
        0x00, 0x00, 0x00, 0x07,                          // stream identifier
        0x00, 0x00, 0x00, 0x10,                          // integer seconds
        0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01,  // fractional seconds, top bit set
        1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
        0xC0, 0x0C, 0x00, 0x00,                          // trailer
    };
    std::uint32_t offset = 0, size = 0, trailer = 0;
    std::uint64_t fraction = 0;
    ASSERT_TRUE(LocateDataPayload(packet, sizeof packet, offset, size));
    EXPECT_EQ(offset, 20u);
    EXPECT_EQ(size, 16u);
    ASSERT_TRUE(ReadTrailer(packet, sizeof packet, trailer));
    EXPECT_EQ(trailer, 0xC00C0000u);
    ASSERT_TRUE(ReadFractionalTimestamp(packet, sizeof packet, fraction));
    EXPECT_EQ(fraction, 0x8000000000000001ull);

    packet[0] = 0x10; // T clear: the last word is a payload word
    ASSERT_TRUE(LocateDataPayload(packet, sizeof packet, offset, size));
    EXPECT_EQ(offset, 20u);
    EXPECT_EQ(size, 20u);
    EXPECT_FALSE(ReadTrailer(packet, sizeof packet, trailer));
}

TEST(PacketLayoutBytes, TypeZeroDataPacketHasNoStreamIdentifier) {
    const std::uint8_t packet[16] = {0x00, 0x40, 0x00, 0x04, 0x00, 0x00, 0x00, 0x99,
                                     0xAA, 0xBB, 0xCC, 0xDD, 0x11, 0x22, 0x33, 0x44};
    std::uint32_t id = 1, seconds = 0, offset = 0, size = 0;
    EXPECT_FALSE(ReadStreamId(packet, sizeof packet, id));
    EXPECT_EQ(id, 1u);
    ASSERT_TRUE(ReadIntegerTimestamp(packet, sizeof packet, seconds));
    EXPECT_EQ(seconds, 0x99u) << "the word after the header is the timestamp";
    ASSERT_TRUE(LocateDataPayload(packet, sizeof packet, offset, size));
    EXPECT_EQ(offset, 8u);
    EXPECT_EQ(size, 8u);
}

TEST(PacketLayoutBytes, OneWordPacketWithTrailerBitHasNoTrailer) {
    // The next packet's bytes follow, so a careless read would find a "trailer" there.
    const std::uint8_t bytes[12] = {0x04, 0x00, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x12, 0x34, 0x56, 0x78};
    std::uint32_t trailer = 3, offset = 9, size = 9;
    EXPECT_FALSE(ReadTrailer(bytes, sizeof bytes, trailer));
    EXPECT_EQ(trailer, 3u);
    EXPECT_FALSE(LocateDataPayload(bytes, sizeof bytes, offset, size));
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(size, 0u);
}

TEST(PacketLayoutBytes, PrologueLongerThanTheDeclaredPacketLocatesNothing) {
    // Declares 3 words, but stream identifier, integer and fractional timestamps need 5 words
    // after the header; the buffer holds plenty of bytes beyond.
    std::vector<std::uint8_t> bytes = {0x10, 0xD0, 0x00, 0x03, 0, 0, 0, 1, 0, 0, 0, 2};
    bytes.resize(64, 0x55);
    const auto length = static_cast<std::uint32_t>(bytes.size());
    std::uint32_t offset = 5, size = 5;
    EXPECT_FALSE(LocateDataPayload(bytes.data(), length, offset, size));
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(size, 0u);
    bytes[0] = 0x40;
    offset = size = 5;
    EXPECT_FALSE(LocateContextPayload(bytes.data(), length, offset, size));
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(size, 0u);
    bytes[0] = 0x50;
    offset = size = 5;
    EXPECT_FALSE(LocateExtContextPayload(bytes.data(), length, offset, size));
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(size, 0u);
}

TEST(PacketLayoutBytes, EmptyPrologueAndTrailerLeaveAnEmptyPayload) {
    // Header, stream identifier and trailer only: a payload of 0 bytes is still a payload.
    const std::uint8_t packet[12] = {0x14, 0x00, 0x00, 0x03, 0, 0, 0, 1, 0x40, 0x04, 0x00, 0x00};
    std::uint32_t offset = 0, size = 99;
    ASSERT_TRUE(LocateDataPayload(packet, sizeof packet, offset, size));
    EXPECT_EQ(offset, 8u);
    EXPECT_EQ(size, 0u);
}

TEST(PacketLayoutBytes, SizeFieldZeroFailsEveryFunction) {
    const std::uint8_t bytes[28] = {0x1C, 0xF0, 0x00, 0x00, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0,
                                    0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    // As the receive loop passes it: length 0.
    Decoded d = DecodeAll(bytes, 0);
    EXPECT_FALSE(d.streamIdOk || d.intOk || d.fracOk || d.dataOk || d.contextOk || d.extOk || d.trailerOk);
    // Even with bytes around it, a packet of no words has no payload and no trailer.
    d = DecodeAll(bytes, sizeof bytes);
    EXPECT_FALSE(d.dataOk);
    EXPECT_FALSE(d.trailerOk);
}

} // namespace
} // namespace vita49
