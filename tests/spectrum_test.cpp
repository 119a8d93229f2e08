// Spectrum extension packets: the two decoding functions, and the extension context and
// extension data branches of the receive path fed through the StreamDecoder.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "support/SpectrumHelpers.h"
#include "vita49/PacketLayout.h"
#include "vita49/SpectrumPackets.h"

namespace vita49 {
namespace {

using spectest::DecoderHarness;
using spectest::ExtContextPacket;
using spectest::ExtDataPacket;
using spectest::ExtDataPacketRaw;
using spectest::Packet;

constexpr std::uint32_t kStream = 0x00C0FFEE;

std::vector<float> Ramp(std::size_t n, float base) {
    std::vector<float> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = base + static_cast<float>(i) * 0.5f;
    return v;
}

std::vector<std::uint16_t> Ids(const Vita49_FFTData& d) { return {d.traceIds, d.traceIds + 8}; }

// --- Decoding functions, after every kind of prologue ----------------------------------------

struct PrologueCase {
    const char* name;
    bool classId;
    std::uint8_t tsi;
    std::uint8_t tsf;
    std::uint32_t prologueBytes;
    friend void PrintTo(const PrologueCase& c, std::ostream* os) { *os << c.name; }
};

class SpectrumPrologue : public ::testing::TestWithParam<PrologueCase> {
protected:
    sim::PacketHeader HeaderOf(std::uint8_t type) const {
        sim::PacketHeader h = spectest::Header(type, kStream, 0);
        h.classId = GetParam().classId;
        h.classOui = 0x123456;
        h.classCodes = 0xABCD0001;
        h.tsi = GetParam().tsi;
        h.intTimestamp = 0x11223344;
        h.tsf = GetParam().tsf;
        h.fracTimestamp = 0x0102030405060708ull;
        return h;
    }
};

TEST_P(SpectrumPrologue, ContextParametersAreReadAfterThePrologue) {
    // Raw fixed-point words: exactly 1 Hz, a rate with half a hertz, and the largest word,
    // which only an unsigned reading turns into a positive frequency.
    std::vector<std::uint8_t> payload(28, 0);
    const std::uint64_t raw[3] = {1ull << 20, (2400000000ull << 20) | (1ull << 19), ~0ull};
    for (int f = 0; f < 3; ++f)
        for (int b = 0; b < 8; ++b) payload[8 * f + b] = static_cast<std::uint8_t>(raw[f] >> (56 - 8 * b));
    payload[24] = 0xFF, payload[25] = 0xFF, payload[26] = 0xFF, payload[27] = 0xFE;
    const auto packet = Packet(HeaderOf(5), payload);
    const auto length = static_cast<std::uint32_t>(packet.size());

    std::uint32_t offset = 0, size = 0;
    ASSERT_TRUE(LocateExtContextPayload(packet.data(), length, offset, size));
    EXPECT_EQ(offset, GetParam().prologueBytes);

    double p1 = -1, p2 = -1, p3 = -1;
    std::uint32_t p4 = 1;
    ASSERT_TRUE(ReadSpectrumContext(packet.data(), offset, length, p1, p2, p3, p4));
    EXPECT_EQ(p1, 1.0);
    EXPECT_EQ(p2, 2400000000.5);
    EXPECT_EQ(p3, static_cast<double>(~0ull) / 1048576.0);
    EXPECT_GT(p3, 0.0);
    EXPECT_EQ(p4, 0xFFFFFFFEu);

    // One byte short of the 28, or a payload that was not located: false, all four zero.
    p1 = p2 = p3 = 5;
    p4 = 5;
    EXPECT_FALSE(ReadSpectrumContext(packet.data(), offset, length - 1, p1, p2, p3, p4));
    EXPECT_EQ(p1, 0.0);
    EXPECT_EQ(p2, 0.0);
    EXPECT_EQ(p3, 0.0);
    EXPECT_EQ(p4, 0u);
    p1 = p2 = p3 = 5;
    p4 = 5;
    EXPECT_FALSE(ReadSpectrumContext(packet.data(), 0, length, p1, p2, p3, p4));
    EXPECT_EQ(p1 + p2 + p3, 0.0);
    EXPECT_EQ(p4, 0u);
}

TEST_P(SpectrumPrologue, TraceHeaderIsReadAfterThePrologue) {
    std::vector<std::uint8_t> payload = {0xAA, 0xBB, 0xCC, 0xDD, 0, 0, 0, 3, 0, 7, 0, 2};
    payload.resize(12 + 12, 0x33);
    const auto packet = Packet(HeaderOf(3), payload);
    const std::uint32_t headerEnd = GetParam().prologueBytes + 12;
    ASSERT_EQ(packet.size(), headerEnd + 12u);

    std::uint32_t n = 0;
    std::uint16_t id = 0;
    const std::uint8_t* values = nullptr;
    // The values need not lie within the length: only the header is read.
    ASSERT_TRUE(ReadSpectrumHeader(packet.data(), headerEnd, n, id, values));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(id, 2u) << "only the low 16 bits of the identifier word count";
    EXPECT_EQ(values, packet.data() + headerEnd);

    n = 99;
    id = 99;
    values = nullptr;
    EXPECT_FALSE(ReadSpectrumHeader(packet.data(), headerEnd - 1, n, id, values));
    EXPECT_EQ(n, 99u);
    EXPECT_EQ(id, 99u);
    EXPECT_EQ(values, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Layouts, SpectrumPrologue,
                         ::testing::Values(PrologueCase{"Plain", false, 0, 0, 8},
                                           PrologueCase{"ClassId", true, 0, 0, 16},
                                           PrologueCase{"IntegerTime", false, 1, 0, 12},
                                           PrologueCase{"FractionalTime", false, 0, 2, 16},
                                           PrologueCase{"Everything", true, 2, 3, 28}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SpectrumHeader, NeedsTypeThreeAndTwentyBytes) {
    auto packet = ExtDataPacketRaw(kStream, 0, 0, 1, 0);
    ASSERT_EQ(packet.size(), 20u);
    std::uint32_t n = 0;
    std::uint16_t id = 0;
    const std::uint8_t* values = nullptr;
    for (std::uint32_t length = 0; length < 20; ++length)
        EXPECT_FALSE(ReadSpectrumHeader(packet.data(), length, n, id, values)) << "length " << length;
    EXPECT_TRUE(ReadSpectrumHeader(packet.data(), 20, n, id, values));

    for (std::uint8_t type : {0, 1, 2, 4, 5, 7}) {
        packet[0] = static_cast<std::uint8_t>((type << 4) | (packet[0] & 0x0F));
        EXPECT_FALSE(ReadSpectrumHeader(packet.data(), 20, n, id, values)) << "type " << int{type};
    }
}

// --- The extension branches ------------------------------------------------------------------

class SpectrumBranch : public ::testing::Test {
protected:
    void SetUp() override { h.Open(); }

    // One extension data packet of the configured stream, packet counts in sequence.
    const spectest::SpectrumCall& Trace(std::uint16_t id, const std::vector<float>& values) {
        h.Feed(ExtDataPacket(kStream, count++, id, values));
        return h.LastSpectrum();
    }
    const spectest::SpectrumCall& Raw(std::uint32_t n, std::uint32_t idWord, std::size_t valueBytes) {
        h.Feed(ExtDataPacketRaw(kStream, count++, n, idWord, valueBytes));
        return h.LastSpectrum();
    }
    StreamDecoder& D() { return h.Decoder(); }

    DecoderHarness h{kStream};
    std::uint8_t count = 0;
};

TEST_F(SpectrumBranch, FirstPacketHandsOutANewBufferWithTheDisplayedTraceInIt) {
    const auto values = Ramp(5, 10.0f);
    const auto& call = Trace(1, values);
    ASSERT_EQ(h.fftDataCalls.size(), 1u);
    ASSERT_NE(call.buffer, nullptr);
    EXPECT_EQ(call.data.payloadValid, 1u);
    EXPECT_EQ(call.data.payloadSize, 20u);
    EXPECT_EQ(call.data.payloadOffset, 0u);
    EXPECT_TRUE(call.data.traceIdsValid);
    EXPECT_EQ(Ids(call.data), (std::vector<std::uint16_t>{1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(call.values, values);
}

TEST_F(SpectrumBranch, BufferOfAnotherTraceIsZeroFilledOnEveryAllocation) {
    // A new buffer for a trace that is not displayed holds zeros, not leftovers of the heap.
    const auto& first = Trace(3, Ramp(6, 1.0f));
    ASSERT_NE(first.buffer, nullptr);
    EXPECT_EQ(first.values, std::vector<float>(6, 0.0f));

    // Fill a large buffer, then re-size it: the block just freed is the likeliest to come
    // back, so stale values would show here.
    EXPECT_EQ(Trace(1, std::vector<float>(1000, 7.25f)).values, std::vector<float>(1000, 7.25f));
    const auto& resized = Trace(2, std::vector<float>(999, 3.0f));
    ASSERT_NE(resized.buffer, nullptr);
    EXPECT_EQ(resized.data.payloadSize, 999u * 4);
    EXPECT_EQ(resized.values, std::vector<float>(999, 0.0f));

    // The displayed trace in the very packet that re-sizes the buffer is copied at once.
    const auto values = Ramp(1000, -4.0f);
    EXPECT_EQ(Trace(1, values).values, values);
}

class InterleavedTraces : public SpectrumBranch, public ::testing::WithParamInterface<std::uint16_t> {};

TEST_P(InterleavedTraces, EqualLengthsBufferFollowsTheDisplayedTraceOnly) {
    const std::uint16_t first = GetParam();
    const std::uint16_t second = first == 1 ? 2 : 1;
    D().SetDisplayedTrace(2);
    std::vector<float> expected(8, 0.0f);
    const float* buffer = nullptr;
    for (int round = 0; round < 3; ++round) {
        for (std::uint16_t id : {first, second}) {
            const auto values = Ramp(8, static_cast<float>(100 * id + round));
            const auto& call = Trace(id, values);
            if (id == 2) expected = values;
            EXPECT_EQ(call.values, expected) << "round " << round << " trace " << id;
            if (buffer == nullptr) buffer = call.buffer;
            EXPECT_EQ(call.buffer, buffer) << "equal lengths never re-create the buffer";
        }
    }
    EXPECT_EQ(Ids(h.LastSpectrum().data), (std::vector<std::uint16_t>{first, second, 0, 0, 0, 0, 0, 0}));
}

TEST_P(InterleavedTraces, DifferentLengthsStillShowTheDisplayedTrace) {
    // Every packet re-creates the buffer; the displayed trace's packets bring their values
    // along, the other trace's packets show zeros of their own length.
    const std::uint16_t first = GetParam();
    const std::uint16_t second = first == 1 ? 2 : 1;
    D().SetDisplayedTrace(2);
    for (int round = 0; round < 3; ++round) {
        for (std::uint16_t id : {first, second}) {
            const std::size_t n = id == 2 ? 6 : 4;
            const auto values = Ramp(n, static_cast<float>(10 * id + round));
            const auto& call = Trace(id, values);
            EXPECT_EQ(call.data.payloadSize, 4 * n);
            EXPECT_EQ(call.values, id == 2 ? values : std::vector<float>(n, 0.0f))
                << "round " << round << " trace " << id;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(FirstTrace, InterleavedTraces, ::testing::Values(1, 2),
                         [](const auto& info) { return "Trace" + std::to_string(info.param) + "First"; });

TEST_F(SpectrumBranch, DisplayedTraceChangesBetweenPackets) {
    EXPECT_EQ(D().DisplayedTrace(), 1u);
    const auto a = Ramp(4, 1.0f), b = Ramp(4, 2.0f), c = Ramp(4, 3.0f), d = Ramp(4, 4.0f);
    Trace(1, a);
    EXPECT_EQ(Trace(2, b).values, a);
    D().SetDisplayedTrace(2);
    EXPECT_EQ(Trace(1, c).values, a);
    EXPECT_EQ(Trace(2, d).values, d);

    // An identifier never seen: nothing is copied, yet every packet gets its callback.
    D().SetDisplayedTrace(9);
    EXPECT_EQ(Trace(1, Ramp(4, 5.0f)).values, d);
    EXPECT_EQ(Trace(2, Ramp(4, 6.0f)).values, d);
    EXPECT_EQ(h.fftDataCalls.size(), 6u);

    // Open forgets the identifiers but keeps the displayed trace and the buffer.
    const float* buffer = D().Traces().Buffer();
    h.Open();
    EXPECT_EQ(D().DisplayedTrace(), 9u);
    EXPECT_EQ(D().Traces().Buffer(), buffer);
    EXPECT_TRUE(D().Traces().Seen().empty());
    const auto e = Ramp(4, 7.0f);
    const auto& after = Trace(9, e);
    EXPECT_EQ(after.values, e);
    EXPECT_EQ(Ids(after.data), (std::vector<std::uint16_t>{9, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(SpectrumBranch, OnlyTheFirstEightIdentifiersAreListed) {
    for (std::uint16_t id = 101; id <= 112; ++id) Trace(id, Ramp(2, id));
    const std::vector<std::uint16_t> firstEight = {101, 102, 103, 104, 105, 106, 107, 108};
    EXPECT_EQ(Ids(h.LastSpectrum().data), firstEight);
    EXPECT_EQ(D().Traces().Seen().size(), 8u);
    for (std::uint16_t id : {101, 112, 200, 101}) EXPECT_EQ(Ids(Trace(id, Ramp(2, 0)).data), firstEight);
    EXPECT_EQ(D().Traces().Seen().size(), 8u);

    // An unlisted trace is still copied when displayed.
    D().SetDisplayedTrace(112);
    const auto values = Ramp(2, 42.0f);
    EXPECT_EQ(Trace(112, values).values, values);
}

TEST_F(SpectrumBranch, IdentifierWordsAboveSixteenBitsUseTheirLowHalf) {
    for (std::uint32_t high = 1; high <= 40; ++high) {
        const auto& call = Raw(2, (high << 16) | 1u, 8);
        EXPECT_EQ(Ids(call.data), (std::vector<std::uint16_t>{1, 0, 0, 0, 0, 0, 0, 0}));
    }
    EXPECT_EQ(D().Traces().Seen().size(), 1u) << "the list must not grow with every packet";
    // The word's low half is also what is compared with the displayed trace (1): copied.
    const auto& call = h.LastSpectrum();
    ASSERT_EQ(call.values.size(), 2u);
    std::uint8_t bytes[8];
    std::memcpy(bytes, call.values.data(), 8);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + 8), std::vector<std::uint8_t>(8, 0x5A));

    EXPECT_EQ(Ids(Raw(2, 0xFFFF0002u, 8).data), (std::vector<std::uint16_t>{1, 2, 0, 0, 0, 0, 0, 0}));
}

struct HostileCount {
    const char* name;
    std::uint32_t n;
    bool fits; // all 4*N bytes lie within the packet (16 value bytes are present)
    friend void PrintTo(const HostileCount& c, std::ostream* os) { *os << c.name << " N=" << c.n; }
};

class HostileTraceLength : public SpectrumBranch, public ::testing::WithParamInterface<HostileCount> {};

TEST_P(HostileTraceLength, OnlyATraceWithinItsPacketIsUsed) {
    const auto before = Ramp(4, 1.0f);
    const auto& good = Trace(1, before);
    const float* buffer = good.buffer;
    const std::uint64_t dataBytes = good.info.dataBytes;
    ASSERT_EQ(dataBytes, 16u);

    const auto& call = Raw(GetParam().n, 1, 16);
    ASSERT_EQ(h.fftDataCalls.size(), 2u);
    EXPECT_EQ(call.data.payloadValid, 1u);
    EXPECT_TRUE(call.data.traceIdsValid);
    ASSERT_NE(call.buffer, nullptr);
    if (GetParam().fits) {
        const std::uint32_t bytes = 4 * GetParam().n;
        EXPECT_EQ(call.data.payloadSize, bytes);
        EXPECT_EQ(call.info.dataBytes, dataBytes + bytes);
        EXPECT_EQ(D().Traces().BufferBytes(), bytes);
        std::vector<std::uint8_t> copied(bytes);
        if (bytes > 0) std::memcpy(copied.data(), call.values.data(), bytes);
        EXPECT_EQ(copied, std::vector<std::uint8_t>(bytes, 0x5A));
    } else {
        EXPECT_EQ(call.data.payloadSize, 16u);
        EXPECT_EQ(call.info.dataBytes, dataBytes);
        EXPECT_EQ(call.buffer, buffer);
        EXPECT_EQ(D().Traces().BufferBytes(), 16u);
        EXPECT_EQ(call.values, before);
    }

    // The next sound packet is taken as usual.
    const auto after = Ramp(4, 9.0f);
    const auto& next = Trace(1, after);
    EXPECT_EQ(next.data.payloadSize, 16u);
    EXPECT_EQ(next.values, after);
}

INSTANTIATE_TEST_SUITE_P(Counts, HostileTraceLength,
                         ::testing::Values(HostileCount{"Zero", 0, true}, HostileCount{"FewerThanSent", 2, true},
                                           HostileCount{"ExactlySent", 4, true},
                                           HostileCount{"OneBeyond", 5, false},
                                           HostileCount{"FourTimesWrapsToZero", 0x40000000u, false},
                                           HostileCount{"FourTimesWrapsToFour", 0x40000001u, false},
                                           HostileCount{"Gigabytes", 0x10000000u, false},
                                           HostileCount{"Largest", 0xFFFFFFFFu, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SpectrumBranch, EmptyTraceStillHandsOutABuffer) {
    const auto& call = Raw(0, 1, 0);
    EXPECT_EQ(call.data.payloadValid, 1u);
    EXPECT_EQ(call.data.payloadSize, 0u);
    EXPECT_NE(call.buffer, nullptr);
}

class ShortExtensionData : public SpectrumBranch, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(ShortExtensionData, NeverReadsASpectrumHeader) {
    const auto values = Ramp(3, 2.0f);
    Trace(1, values);
    const auto before = h.LastSpectrum();

    // A packet of 8, 12 or 16 bytes: header and stream identifier, then less than the 12
    // header bytes. A datagram cut shorter than 20 bytes is dropped before any branch, so an
    // extension context packet follows in the same datagram.
    std::vector<std::uint8_t> datagram =
        Packet(spectest::Header(3, kStream, count++), std::vector<std::uint8_t>(GetParam(), 0x01));
    ASSERT_LE(datagram.size(), 19u);
    const auto tail = ExtContextPacket(kStream, 0, 1, 2, 3, 4);
    datagram.insert(datagram.end(), tail.begin(), tail.end());
    h.Feed(datagram);

    ASSERT_EQ(h.fftDataCalls.size(), 2u);
    const auto& call = h.LastSpectrum();
    EXPECT_EQ(call.data.packetsReceived, 2u);
    EXPECT_EQ(call.data.payloadValid, 0u);
    EXPECT_EQ(call.data.payloadSize, before.data.payloadSize);
    EXPECT_EQ(Ids(call.data), Ids(before.data));
    EXPECT_EQ(call.buffer, before.buffer);
    EXPECT_EQ(call.values, values);
    EXPECT_EQ(call.info.dataBytes, before.info.dataBytes);
    EXPECT_EQ(call.data.invalidDataPackets, 2u);
    EXPECT_EQ(h.fftContextCalls.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(PayloadBytes, ShortExtensionData, ::testing::Values(0, 4, 8));

TEST_F(SpectrumBranch, ContextParametersReachBothCallbacks) {
    h.Feed(ExtContextPacket(kStream, 0, 1.0, 2.0e9, 3.5, 42));
    ASSERT_EQ(h.fftContextCalls.size(), 1u);
    const auto& c = h.fftContextCalls.back().context;
    EXPECT_EQ(c.payloadValid, 1u);
    EXPECT_EQ(c.payloadOffset, 8u);
    EXPECT_EQ(c.payloadSize, 28u);
    EXPECT_TRUE(c.spectrumParam1Valid && c.spectrumParam2Valid && c.spectrumParam3Valid && c.spectrumParam4Valid);
    EXPECT_EQ(c.spectrumParam1Hz, 1.0);
    EXPECT_EQ(c.spectrumParam2Hz, 2.0e9);
    EXPECT_EQ(c.spectrumParam3Hz, 3.5);
    EXPECT_EQ(c.spectrumParam4, 42u);
    EXPECT_EQ(h.fftContextCalls.back().info.contextBytes, 28u);

    // The data callback carries the latest spectrum context.
    EXPECT_EQ(Trace(1, Ramp(2, 0)).context.spectrumParam2Hz, 2.0e9);

    // Parameters that do not fit: flags false, values 0, the callback still runs, and the
    // payload still counts.
    h.Feed(Packet(spectest::Header(5, kStream, 1), std::vector<std::uint8_t>(20, 0x7F)));
    ASSERT_EQ(h.fftContextCalls.size(), 2u);
    const auto& bad = h.fftContextCalls.back();
    EXPECT_FALSE(bad.context.spectrumParam1Valid || bad.context.spectrumParam2Valid ||
                 bad.context.spectrumParam3Valid || bad.context.spectrumParam4Valid);
    EXPECT_EQ(bad.context.spectrumParam1Hz, 0.0);
    EXPECT_EQ(bad.context.spectrumParam4, 0u);
    EXPECT_EQ(bad.info.contextBytes, 28u + 20u);
    EXPECT_FALSE(Trace(1, Ramp(2, 0)).context.spectrumParam1Valid);
}

TEST_F(SpectrumBranch, StatisticsAndTrailerCounters) {
    std::uint64_t bytes = 0;
    for (std::uint8_t c : {0, 1, 3, 4}) {
        const std::size_t n = 2 + c;
        h.Feed(ExtDataPacket(kStream, c, 1, Ramp(n, 0)));
        bytes += 4 * n;
    }
    // A packet of another stream goes to the info callback only.
    h.Feed(ExtDataPacket(kStream + 1, 5, 1, Ramp(100, 0)));
    EXPECT_EQ(h.infoCalls, 1);

    ASSERT_EQ(h.fftDataCalls.size(), 4u);
    const auto& call = h.LastSpectrum();
    const Vita49_FFTData& d = call.data;
    EXPECT_EQ(d.packetsReceived, 4u);
    EXPECT_EQ(d.packetsLost, 1u);
    EXPECT_EQ(d.packetCount, 4u);
    EXPECT_TRUE(d.streamIdValid);
    EXPECT_EQ(d.streamId, kStream);
    EXPECT_EQ(call.info.dataBytes, bytes);
    EXPECT_EQ(call.info.dataErrors, 1u);
    EXPECT_EQ(call.info.contextErrors, 0u);
    EXPECT_EQ(call.info.contextBytes, 0u);
    // Nothing sets the indicators of these packets, so each one counts as invalid and unlocked.
    EXPECT_EQ(d.invalidDataPackets, 4u);
    EXPECT_EQ(d.unlockedPackets, 4u);
    EXPECT_EQ(d.overRangePackets, 0u);
    EXPECT_EQ(d.sampleLossPackets, 0u);
    EXPECT_EQ(d.contextCountPackets, 0u);
    EXPECT_FALSE(d.calibratedTimeEnabled || d.validDataEnabled || d.overRangeEnabled || d.referenceLockEnabled ||
                 d.sampleLossEnabled || d.contextCountEnabled);
    EXPECT_NE(d.packet, nullptr);
    EXPECT_EQ(h.Decoder().Data().packetsReceived, 0u) << "IF data record untouched";
}

} // namespace
} // namespace vita49
