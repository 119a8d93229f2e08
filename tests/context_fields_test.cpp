// IF context fields: where each decoded field lies for every context indicator combination
// that can move it, how each is converted, what a packet cut short yields, and how the
// context branch keeps flags and values.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "support/HandPacket.h"
#include "support/Recorder.h"
#include "support/StreamBuilder.h"
#include "vita49/ContextFields.h"
#include "vita49/PacketLayout.h"

namespace vita49 {
namespace {

// Bytes of the field of each context indicator bit, 30 down to 14, written out here from the
// field list rather than taken from the decoder.
int FieldBytes(int bit) {
    switch (bit) {
    case 30: case 24: case 23: case 22: case 19: case 18: case 16:
        return 4;
    case 29: case 28: case 27: case 26: case 25: case 21: case 20: case 17: case 15:
        return 8;
    case 14:
        return 44;
    default:
        return 0;
    }
}

// Raw field contents chosen so that each decodes to an exact double, with the sign and top
// bits that tempt a wrong conversion.
constexpr std::uint64_t kBandwidthRaw = 10240ull << 20;        // 10240 Hz
constexpr std::uint64_t kRfRaw = 0x8000000000000000ull;         // 2^43 Hz, top bit set
constexpr std::uint64_t kSampleRateRaw = 0xFFFFFFFFFFF00000ull; // (2^44 - 1) Hz
constexpr std::uint32_t kReferenceLevelWord = 0x7FFFFF80u;      // -1.0 dBm; upper half ignored
constexpr std::uint32_t kFormatWord = 0xA5A507CFu;              // packing 32, item 16
constexpr std::uint32_t kGpsSeconds = 0x12345678u;
constexpr std::uint64_t kGpsFraction = 0x8000000000000042ull;
constexpr std::int32_t kLatitudeRaw = -140509184;  // -33.5 degrees
constexpr std::int32_t kLongitudeRaw = -294649856; // -70.25 degrees
constexpr std::int32_t kAltitudeRaw = -400;        // -12.5 m
constexpr std::uint32_t kSpeedRaw = 0xFFFF8000u;   // 65535.5 m/s, never negative
constexpr std::int32_t kTrackRaw = -5242880;       // -1.25 degrees
constexpr std::int32_t kVariationRaw = -2097152;   // -0.5 degrees

constexpr double kBandwidthHz = 10240.0;
constexpr double kRfHz = 8796093022208.0;
constexpr double kSampleRateHz = 17592186044415.0;
constexpr double kReferenceLevelDbm = -1.0;

struct Prologue {
    bool classId = false;
    bool tsi = false;
    bool tsf = false;
};

// An IF context packet: its context section written word by word here, header and prologue
// by the tests' packet builder, with the position of every field.
class ContextPacket {
public:
    ContextPacket(std::uint32_t cif0, const Prologue& prologue) {
        std::array<std::uint32_t, 32> inSection{}; // 0: absent (CIF0 itself is at 0)
        Put32(cif0);
        // VITA 49.2: CIF1, CIF2, CIF3 and CIF7 follow CIF0 in this order when announced.
        for (int bit : {1, 2, 3, 7})
            if (cif0 & (1u << bit)) Put32(0x5A5A5A00u | static_cast<std::uint32_t>(bit));
        for (int bit = 30; bit >= 14; --bit) {
            if ((cif0 & (1u << bit)) == 0) continue;
            inSection[static_cast<std::size_t>(bit)] = static_cast<std::uint32_t>(section_.size());
            WriteField(bit);
        }
        sim::PacketHeader h = test::Header(4, 0x77, 6);
        h.classId = prologue.classId;
        h.classOui = 0x123456;
        h.classCodes = 0x00010002;
        h.tsi = prologue.tsi ? 2 : 0;
        h.intTimestamp = 0x5F000000u;
        h.tsf = prologue.tsf ? 2 : 0;
        h.fracTimestamp = 1000;
        const test::HandPacket p = test::BuildPacket(h, section_);
        bytes = p.bytes;
        section = static_cast<std::uint32_t>(p.payloadAt);
        for (std::size_t bit = 0; bit < fieldAt.size(); ++bit)
            fieldAt[bit] = inSection[bit] == 0 ? 0 : section + inSection[bit];
    }

    const std::uint8_t* Data() const { return bytes.data(); }
    std::uint32_t Size() const { return static_cast<std::uint32_t>(bytes.size()); }

    std::vector<std::uint8_t> bytes;
    std::uint32_t section = 0;
    std::array<std::uint32_t, 32> fieldAt{}; // 0: absent

private:
    void Put32(std::uint32_t v) { test::PutBigEndian(section_, v, 4); }
    void Put64(std::uint64_t v) { test::PutBigEndian(section_, v, 8); }
    void WriteField(int bit) {
        switch (bit) {
        case 29: Put64(kBandwidthRaw); break;
        case 27: Put64(kRfRaw); break;
        case 24: Put32(kReferenceLevelWord); break;
        case 21: Put64(kSampleRateRaw); break;
        case 15:
            Put32(kFormatWord);
            Put32(0xA5A5A5A5u);
            break;
        case 14:
            Put32(0xA5A5A5A5u); // timestamp kinds and source: not read
            Put32(kGpsSeconds);
            Put64(kGpsFraction);
            Put32(static_cast<std::uint32_t>(kLatitudeRaw));
            Put32(static_cast<std::uint32_t>(kLongitudeRaw));
            Put32(static_cast<std::uint32_t>(kAltitudeRaw));
            Put32(kSpeedRaw);
            Put32(0xA5A5A5A5u); // heading: not read
            Put32(static_cast<std::uint32_t>(kTrackRaw));
            Put32(static_cast<std::uint32_t>(kVariationRaw));
            break;
        default:
            // A skipped field: bytes that decode to nonsense if taken for a decoded one.
            for (int i = 0; i < FieldBytes(bit); i += 4) Put32(0xA5A5A5A5u);
            break;
        }
    }

    std::vector<std::uint8_t> section_;
};

constexpr std::uint32_t Bit(int b) { return 1u << b; }

// Every decoded field of one packet, with sentinels in the outputs.
struct Fields {
    bool bandwidthOk, rfOk, levelOk, rateOk, formatOk, gpsOk;
    double bandwidth = -7, rf = -7, level = -7, rate = -7;
    std::uint8_t packing = 99, item = 99;
    std::uint32_t gpsSeconds = 99;
    std::uint64_t gpsFraction = 99;
    double lat = -7, lon = -7, alt = -7, speed = -7, track = -7, variation = -7;
};

Fields DecodeFields(const std::uint8_t* p, std::uint32_t length) {
    Fields f;
    f.bandwidthOk = ReadBandwidth(p, length, f.bandwidth);
    f.rfOk = ReadRfReferenceFrequency(p, length, f.rf);
    f.levelOk = ReadReferenceLevel(p, length, f.level);
    f.rateOk = ReadSampleRate(p, length, f.rate);
    f.formatOk = ReadPayloadFormat(p, length, f.packing, f.item);
    f.gpsOk = ReadFormattedGps(p, length, f.gpsSeconds, f.gpsFraction, f.lat, f.lon, f.alt, f.speed, f.track,
                               f.variation);
    return f;
}

void ExpectGpsFix(const Fields& f) {
    EXPECT_EQ(f.gpsSeconds, kGpsSeconds);
    EXPECT_EQ(f.gpsFraction, kGpsFraction);
    EXPECT_EQ(f.lat, -33.5);
    EXPECT_EQ(f.lon, -70.25);
    EXPECT_EQ(f.alt, -12.5);
    EXPECT_EQ(f.speed, 65535.5);
    EXPECT_EQ(f.track, -1.25);
    EXPECT_EQ(f.variation, -0.5);
}

// A failed field's description, or empty when the packet decodes as built.
std::string CheckPacket(const ContextPacket& p, std::uint32_t cif0) {
    const Fields f = DecodeFields(p.Data(), p.Size());
    std::string failure;
    auto check = [&](bool ok, const char* what) {
        if (!ok && failure.empty()) failure = what;
    };
    // Fields that carry attributes (bit 7) are not decoded at all.
    const auto carried = [&](int bit) { return (cif0 & Bit(bit)) != 0 && (cif0 & Bit(7)) == 0; };
    check(f.bandwidthOk == carried(29), "bandwidth flag");
    check(!f.bandwidthOk || f.bandwidth == kBandwidthHz, "bandwidth value");
    check(f.rfOk == carried(27), "rf flag");
    check(!f.rfOk || f.rf == kRfHz, "rf value");
    check(f.levelOk == carried(24), "reference level flag");
    check(!f.levelOk || f.level == kReferenceLevelDbm, "reference level value");
    check(f.rateOk == carried(21), "sample rate flag");
    check(!f.rateOk || f.rate == kSampleRateHz, "sample rate value");
    check(f.formatOk == carried(15), "payload format flag");
    check(!f.formatOk || (f.packing == 32 && f.item == 16), "payload format value");
    check(f.gpsOk == carried(14), "gps flag");
    check(!f.gpsOk || (f.gpsSeconds == kGpsSeconds && f.gpsFraction == kGpsFraction && f.lat == -33.5 &&
                       f.lon == -70.25 && f.alt == -12.5 && f.speed == 65535.5 && f.track == -1.25 &&
                       f.variation == -0.5),
          "gps value");
    for (int bit = 30; bit >= 14; --bit) {
        const std::uint32_t at = ContextFieldOffset(p.Data(), p.Size(), static_cast<unsigned>(bit));
        check(at == ((cif0 & Bit(7)) == 0 ? p.fieldAt[static_cast<std::size_t>(bit)] : 0u), "field offset");
    }
    return failure;
}

TEST(ContextFieldPlacement, EveryIndicatorCombinationFindsEveryDecodedField) {
    // All 2^17 combinations of bits 30..14, the fields that can move a decoded field or be one.
    // The prologue, bit 31 and the bits below 14 vary along with them: of these only the
    // VITA 49.2 indicator bits matter (1 to 3: a word each in front of the fields; 7: no field).
    int failures = 0;
    std::string first;
    for (std::uint32_t combo = 0; combo < (1u << 17); ++combo) {
        const std::uint32_t mix = combo * 2654435761u;
        std::uint32_t cif0 = combo << 14;
        if (mix & 0x80000000u) cif0 |= Bit(31);
        cif0 |= (mix >> 7) & 0x3FFFu;
        const Prologue prologue{(mix & 0x10000000u) != 0, (mix & 0x20000000u) != 0, (mix & 0x40000000u) != 0};
        const ContextPacket p(cif0, prologue);
        const std::string failure = CheckPacket(p, cif0);
        if (!failure.empty() && failures++ == 0)
            first = failure + " with CIF0 0x" + ::testing::PrintToString(cif0) + " prologue C" +
                    std::to_string(prologue.classId) + " TSI" + std::to_string(prologue.tsi) + " TSF" +
                    std::to_string(prologue.tsf);
    }
    EXPECT_EQ(failures, 0) << "first: " << first;
}

// --- The listed positions and conversions, on hand-written bytes.

class HandContext : public ::testing::Test {
protected:
    // An IF context packet: header without optional prologue fields, stream identifier, CIF0,
    // then `fields` as given. Its context section starts at c = 8.
    static std::vector<std::uint8_t> Packet(std::uint32_t cif0, const std::vector<std::uint8_t>& fields) {
        std::vector<std::uint8_t> section;
        test::PutBigEndian(section, cif0, 4);
        section.insert(section.end(), fields.begin(), fields.end());
        return test::BuildPacket(test::Header(4, 1, 0), section).bytes;
    }
    static std::uint32_t Len(const std::vector<std::uint8_t>& p) { return static_cast<std::uint32_t>(p.size()); }
    static constexpr std::uint32_t c = 8;
};

TEST_F(HandContext, BandwidthMovesBehindTheReferencePointIdentifier) {
    auto p = Packet(Bit(29), {0, 0, 0, 0x02, 0x80, 0, 0, 0});
    EXPECT_EQ(ContextFieldOffset(p.data(), Len(p), 29), c + 4);
    double hz = 0;
    ASSERT_TRUE(ReadBandwidth(p.data(), Len(p), hz));
    EXPECT_EQ(hz, 10240.0);

    p = Packet(Bit(30) | Bit(29), {0xDE, 0xAD, 0xBE, 0xEF, 0, 0, 0, 0, 0, 0, 0, 1});
    EXPECT_EQ(ContextFieldOffset(p.data(), Len(p), 29), c + 8);
    ASSERT_TRUE(ReadBandwidth(p.data(), Len(p), hz));
    EXPECT_EQ(hz, 1.0 / 1048576.0);
}

TEST_F(HandContext, SampleRateBehindNineFieldsLiesAt60) {
    std::vector<std::uint8_t> fields(64, 0xA5);
    const std::uint8_t rate[8] = {0, 0, 0, 0, 0x01, 0x00, 0x00, 0x00}; // 16 Hz
    std::copy(rate, rate + 8, fields.begin() + 56);
    const std::uint32_t cif0 = Bit(30) | Bit(29) | Bit(28) | Bit(27) | Bit(26) | Bit(25) | Bit(24) | Bit(23) |
                               Bit(22) | Bit(21);
    const auto p = Packet(cif0, fields);
    EXPECT_EQ(ContextFieldOffset(p.data(), Len(p), 21), c + 60);
    double hz = 0;
    ASSERT_TRUE(ReadSampleRate(p.data(), Len(p), hz));
    EXPECT_EQ(hz, 16.0);
}

TEST_F(HandContext, ReferenceLevelIsTheSignedLowerHalf) {
    struct Case {
        std::uint8_t bytes[4];
        double dbm;
    };
    const Case cases[] = {
        {{0x00, 0x00, 0xFF, 0x80}, -1.0},   {{0xFF, 0xFF, 0x00, 0x80}, 1.0}, {{0x12, 0x34, 0x80, 0x00}, -256.0},
        {{0x00, 0x00, 0x7F, 0xFF}, 255.9921875}, {{0x00, 0x01, 0xFF, 0xFF}, -0.0078125},
        {{0x00, 0x00, 0xF6, 0x00}, -20.0},
    };
    for (const Case& k : cases) {
        const auto p = Packet(Bit(24), {k.bytes[0], k.bytes[1], k.bytes[2], k.bytes[3]});
        double dbm = 0;
        ASSERT_TRUE(ReadReferenceLevel(p.data(), Len(p), dbm));
        EXPECT_EQ(dbm, k.dbm);
    }
}

TEST_F(HandContext, PayloadFormatTakesTheItemSizesFromTheLowerHalfOfItsFirstWord) {
    struct Case {
        std::uint8_t hi, lo;
        unsigned packing, item;
    };
    const Case cases[] = {{0x03, 0xCF, 16, 16}, {0x07, 0xDF, 32, 32}, {0x00, 0x00, 1, 1},
                          {0x0F, 0xFF, 64, 64}, {0xF7, 0xC7, 32, 8}};
    for (const Case& k : cases) {
        const auto p = Packet(Bit(15), {0xFF, 0xFF, k.hi, k.lo, 0xFF, 0xFF, 0xFF, 0xFF});
        std::uint8_t packing = 0, item = 0;
        ASSERT_TRUE(ReadPayloadFormat(p.data(), Len(p), packing, item));
        EXPECT_EQ(packing, k.packing);
        EXPECT_EQ(item, k.item);
    }
}

TEST_F(HandContext, GpsFixWithNegativeCoordinates) {
    const std::vector<std::uint8_t> gps = {
        0x05, 0x00, 0x00, 0x00,                          // timestamp kinds of the fix
        0x12, 0x34, 0x56, 0x78,                          // integer seconds
        0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x42,  // fractional seconds
        0xF7, 0xA0, 0x00, 0x00,                          // latitude  -33.5
        0xEE, 0x70, 0x00, 0x00,                          // longitude -70.25
        0xFF, 0xFF, 0xFE, 0x70,                          // altitude  -12.5 m
        0xFF, 0xFF, 0x80, 0x00,                          // speed 65535.5 m/s
        0x7F, 0xFF, 0xFF, 0xFF,                          // heading: not read
        0xFF, 0xB0, 0x00, 0x00,                          // track -1.25
        0xFF, 0xE0, 0x00, 0x00,                          // magnetic variation -0.5
    };
    auto p = Packet(Bit(14), gps);
    EXPECT_EQ(ContextFieldOffset(p.data(), Len(p), 14), c + 4);
    Fields f = DecodeFields(p.data(), Len(p));
    ASSERT_TRUE(f.gpsOk);
    ExpectGpsFix(f);

    std::vector<std::uint8_t> withFormat = {0, 0, 0x03, 0xCF, 0, 0, 0, 0};
    withFormat.insert(withFormat.end(), gps.begin(), gps.end());
    p = Packet(Bit(15) | Bit(14), withFormat);
    EXPECT_EQ(ContextFieldOffset(p.data(), Len(p), 14), c + 12);
    f = DecodeFields(p.data(), Len(p));
    ASSERT_TRUE(f.gpsOk);
    ExpectGpsFix(f);
}

TEST_F(HandContext, FrequencyWithTopBitSetIsAHugePositiveValue) {
    const auto p = Packet(Bit(27), {0x80, 0, 0, 0, 0, 0, 0, 0});
    double hz = 0;
    ASSERT_TRUE(ReadRfReferenceFrequency(p.data(), Len(p), hz));
    EXPECT_GT(hz, 8.7e12);
    EXPECT_EQ(hz, 8796093022208.0);
}

TEST_F(HandContext, TwoWordPacketWithFractionalTimestampHasNoIndicatorWord) {
    // Header and stream identifier only; CIF0 would lie at byte 16. The bytes after the
    // packet (here: what the buffer holds next) look like a full context section.
    std::vector<std::uint8_t> bytes = {0x40, 0x10, 0x00, 0x02, 0, 0, 0, 1};
    const std::vector<std::uint8_t> next = Packet(0xFFFFC000u, std::vector<std::uint8_t>(200, 0x11));
    bytes.insert(bytes.end(), next.begin(), next.end());
    const Fields f = DecodeFields(bytes.data(), 8);
    EXPECT_FALSE(f.bandwidthOk || f.rfOk || f.levelOk || f.rateOk || f.formatOk || f.gpsOk);
    for (unsigned bit = 14; bit <= 30; ++bit) EXPECT_EQ(ContextFieldOffset(bytes.data(), 8, bit), 0u);
}

// --- A packet cut short at every byte, decoded in an allocation of exactly that size: each
// field is valid exactly when it ends within the length, and a field that is not keeps the
// record's old value.

Vita49_Context Sentinel() {
    Vita49_Context r;
    std::memset(static_cast<void*>(&r), 0x5A, sizeof r);
    // Flags need a value a bool can hold.
    r.streamIdValid = r.intTimestampValid = r.fracTimestampValid = true;
    r.bandwidthValid = r.referenceLevelValid = r.sampleRateValid = r.rfReferenceFrequencyValid = true;
    r.payloadFormatValid = r.gpsValid = true;
    r.reserved1Valid = r.reserved2Valid = r.reserved3Valid = r.reserved4Valid = false;
    return r;
}

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(ContextRecord, PacketCutAtEveryByteKeepsWhatItNoLongerCarries) {
    const std::uint32_t cif0 = Bit(31) | Bit(30) | Bit(29) | Bit(28) | Bit(27) | Bit(24) | Bit(23) | Bit(21) |
                               Bit(17) | Bit(15) | Bit(14) | Bit(3) | Bit(1);
    const ContextPacket p(cif0, Prologue{true, true, true});
    const std::vector<std::uint8_t>& whole = p.bytes;
    const Vita49_Context old = Sentinel();
    auto fits = [&](int bit, std::uint32_t length) {
        return p.fieldAt[static_cast<std::size_t>(bit)] + static_cast<std::uint32_t>(FieldBytes(bit)) <= length;
    };
    for (std::uint32_t length = 0; length <= p.Size(); ++length) {
        SCOPED_TRACE("length " + std::to_string(length));
        std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[length]);
        std::memcpy(copy.get(), whole.data(), length);
        Vita49_Context r = Sentinel();
        DecodeContextFields(copy.get(), length, r);

        const bool all = length == p.Size();
        EXPECT_EQ(r.payloadValid, all ? 1u : 0u);
        EXPECT_EQ(r.payloadOffset, all ? p.section : 0u);
        EXPECT_EQ(r.payloadSize, all ? p.Size() - p.section : 0u);
        EXPECT_EQ(r.bandwidthValid, fits(29, length));
        EXPECT_TRUE(SameBits(r.bandwidthHz, r.bandwidthValid ? kBandwidthHz : old.bandwidthHz));
        EXPECT_EQ(r.rfReferenceFrequencyValid, fits(27, length));
        EXPECT_TRUE(
            SameBits(r.rfReferenceFrequencyHz, r.rfReferenceFrequencyValid ? kRfHz : old.rfReferenceFrequencyHz));
        EXPECT_EQ(r.referenceLevelValid, fits(24, length));
        EXPECT_TRUE(SameBits(r.referenceLevelDbm, r.referenceLevelValid ? kReferenceLevelDbm : old.referenceLevelDbm));
        EXPECT_EQ(r.sampleRateValid, fits(21, length));
        EXPECT_TRUE(SameBits(r.sampleRateHz, r.sampleRateValid ? kSampleRateHz : old.sampleRateHz));
        EXPECT_EQ(r.payloadFormatValid, fits(15, length));
        EXPECT_EQ(r.dataItemSize, r.payloadFormatValid ? 16 : old.dataItemSize);
        EXPECT_EQ(r.gpsValid, fits(14, length));
        EXPECT_EQ(r.gpsIntTimestamp, r.gpsValid ? kGpsSeconds : old.gpsIntTimestamp);
        EXPECT_TRUE(SameBits(r.gpsMagneticVariationDeg, r.gpsValid ? -0.5 : old.gpsMagneticVariationDeg));
        // The prologue fields belong to the caller.
        EXPECT_EQ(r.packetsReceived, old.packetsReceived);
        EXPECT_EQ(r.streamId, old.streamId);
        // The offset rule itself needs the indicator word in the packet, not the field.
        EXPECT_EQ(ContextFieldOffset(copy.get(), length, 14), p.section + 4 <= length ? p.fieldAt[14] : 0u);
    }
}

TEST(ContextRecord, NextPacketRewritesEveryFlagButOnlyTheValuesItCarries) {
    const ContextPacket full(Bit(29) | Bit(27) | Bit(24) | Bit(21) | Bit(15) | Bit(14), Prologue{});
    Vita49_Context r = Sentinel();
    DecodeContextFields(full.Data(), full.Size(), r);
    ASSERT_TRUE(r.bandwidthValid && r.rfReferenceFrequencyValid && r.referenceLevelValid && r.sampleRateValid &&
                r.payloadFormatValid && r.gpsValid);

    // Only a sample rate this time, with another value.
    std::vector<std::uint8_t> rateOnly = {0x40, 0x00, 0x00, 0x05, 0, 0, 0, 0x77, 0x00, 0x20, 0x00, 0x00,
                                          0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00};
    DecodeContextFields(rateOnly.data(), static_cast<std::uint32_t>(rateOnly.size()), r);
    EXPECT_TRUE(r.sampleRateValid);
    EXPECT_EQ(r.sampleRateHz, 4096.0);
    EXPECT_FALSE(r.bandwidthValid);
    EXPECT_EQ(r.bandwidthHz, kBandwidthHz);
    EXPECT_FALSE(r.rfReferenceFrequencyValid);
    EXPECT_EQ(r.rfReferenceFrequencyHz, kRfHz);
    EXPECT_FALSE(r.referenceLevelValid);
    EXPECT_EQ(r.referenceLevelDbm, kReferenceLevelDbm);
    EXPECT_FALSE(r.payloadFormatValid);
    EXPECT_EQ(r.itemPackingFieldSize, 32);
    EXPECT_EQ(r.dataItemSize, 16);
    EXPECT_FALSE(r.gpsValid);
    EXPECT_EQ(r.gpsLatitudeDeg, -33.5);
    EXPECT_EQ(r.gpsSpeedMps, 65535.5);
    EXPECT_EQ(r.payloadOffset, 8u);
    EXPECT_EQ(r.payloadSize, 12u);
}

// --- The context branch of the cutting unit.

class ContextBranch : public ::testing::Test {
protected:
    static constexpr std::uint32_t kStream = 0x00ABCDEFu;
    void SetUp() override {
        decoder = test::MakeDecoder(kStream, false);
        recorder.Attach(decoder->callbacks);
    }
    std::unique_ptr<StreamDecoder> decoder;
    test::CallbackRecorder recorder;
};

TEST_F(ContextBranch, CallbackSeesTheDecodedRecordAndContextBytesGrowBySectionSize) {
    test::StreamBuilder s(kStream);
    sim::ContextValues v;
    v.hasBandwidth = v.hasSampleRate = v.hasReferenceLevel = v.hasPayloadFormat = true;
    v.bandwidthHz = 8e6;
    v.sampleRateHz = 10e6;
    v.referenceLevelDbm = -30.5;
    v.itemBits = 32;
    s.Context(0, v);
    sim::ContextValues w;
    w.hasRfReferenceFrequency = true;
    w.rfReferenceFrequencyHz = 2.4e9;
    s.Context(1, w);
    test::Deliver(*decoder, s.Bytes());

    ASSERT_EQ(recorder.contexts.size(), 2u);
    const Vita49_Context& a = recorder.contexts[0].context;
    EXPECT_EQ(a.packetsReceived, 1u);
    EXPECT_TRUE(a.streamIdValid);
    EXPECT_EQ(a.streamId, kStream);
    EXPECT_EQ(a.bandwidthHz, 8e6);
    EXPECT_EQ(a.sampleRateHz, 10e6);
    EXPECT_EQ(a.referenceLevelDbm, -30.5);
    EXPECT_EQ(a.dataItemSize, 32);
    EXPECT_FALSE(a.rfReferenceFrequencyValid);
    EXPECT_EQ(a.payloadOffset, 8u);
    EXPECT_EQ(a.payloadSize, s.Spans()[0].length - 8);
    EXPECT_EQ(recorder.contexts[0].info.contextBytes, s.Spans()[0].length - 8);

    const Vita49_Context& b = recorder.contexts[1].context;
    EXPECT_EQ(b.packetsReceived, 2u);
    EXPECT_TRUE(b.rfReferenceFrequencyValid);
    EXPECT_EQ(b.rfReferenceFrequencyHz, 2.4e9);
    EXPECT_FALSE(b.sampleRateValid);
    EXPECT_EQ(b.sampleRateHz, 10e6) << "value kept beside a false flag";
    EXPECT_EQ(recorder.contexts[1].info.contextBytes, s.Spans()[0].length - 8 + s.Spans()[1].length - 8);
    EXPECT_EQ(recorder.contexts[1].info.contextErrors, 0u);
}

TEST_F(ContextBranch, PacketTooShortForItsIndicatorWordStillReachesTheCallback) {
    // Two words with TSF set, followed by a data packet so that it is not a short leftover.
    test::StreamBuilder s(kStream);
    s.Raw({0x40, 0x10, 0x00, 0x02, 0x00, 0xAB, 0xCD, 0xEF});
    s.Data(0, 16);
    test::Deliver(*decoder, s.Bytes());
    ASSERT_EQ(recorder.contexts.size(), 1u);
    const Vita49_Context& r = recorder.contexts[0].context;
    EXPECT_TRUE(r.streamIdValid);
    EXPECT_FALSE(r.fracTimestampValid) << "the timestamp lies beyond the packet";
    EXPECT_EQ(r.payloadValid, 0u);
    EXPECT_FALSE(r.bandwidthValid || r.sampleRateValid || r.payloadFormatValid || r.gpsValid);
    EXPECT_EQ(recorder.contexts[0].info.contextBytes, 0u);
    EXPECT_EQ(recorder.data.size(), 1u);
}

// --- VITA 49.2 streams: CIF1 to CIF3 lie between CIF0 and the first field; CIF7 gives every
// field attributes, and then no field is decoded.

// Bandwidth 6 MHz, RF reference frequency 100 MHz and sample rate 8 MHz, as on the wire.
const std::vector<std::uint8_t> kSixMHz = {0x00, 0x00, 0x05, 0xB8, 0xD8, 0x00, 0x00, 0x00};
const std::vector<std::uint8_t> kHundredMHz = {0x00, 0x00, 0x5F, 0x5E, 0x10, 0x00, 0x00, 0x00};
const std::vector<std::uint8_t> kEightMHz = {0x00, 0x00, 0x07, 0xA1, 0x20, 0x00, 0x00, 0x00};

struct IndicatorCase {
    const char* name;
    std::uint8_t cif0Low;      // CIF0 bits 7..0
    std::uint32_t words;       // indicator words after CIF0
    std::uint32_t bandwidthAt; // from the packet start; 0: no field decoded
    friend void PrintTo(const IndicatorCase& c, std::ostream* os) { *os << c.name; }
};

// The packets have no optional prologue field, so CIF0 lies at byte 8.
const IndicatorCase kIndicatorCases[] = {
    {"Plain", 0x00, 0, 12},      {"Cif1", 0x02, 1, 16},     {"Cif2", 0x04, 1, 16},
    {"Cif1To3", 0x0E, 3, 24},    {"Cif7", 0x80, 1, 0},      {"Cif1AndCif7", 0x82, 2, 0},
    {"Cif0Bits0And4To6", 0x71, 0, 12}, // not indicator bits: nothing moves
};

class IndicatorWords : public ContextBranch, public ::testing::WithParamInterface<IndicatorCase> {
protected:
    // CIF0 announcing bandwidth, RF reference frequency and sample rate (bits 29, 27, 21),
    // the indicator words, then the three fields.
    static std::vector<std::uint8_t> Section(const IndicatorCase& c) {
        std::vector<std::uint8_t> section = {0x28, 0x20, 0x00, c.cif0Low};
        for (std::uint32_t i = 0; i < c.words; ++i) section.insert(section.end(), {0xFF, 0xFF, 0xFF, 0xFF});
        for (const auto* field : {&kSixMHz, &kHundredMHz, &kEightMHz})
            section.insert(section.end(), field->begin(), field->end());
        return section;
    }
};

TEST_P(IndicatorWords, FieldsFollowTheIndicatorWordsOrAreNotDecoded) {
    const IndicatorCase& c = GetParam();
    const bool decoded = c.bandwidthAt != 0;
    test::StreamBuilder s(kStream);
    sim::ContextValues before;
    before.hasBandwidth = before.hasRfReferenceFrequency = before.hasSampleRate = true;
    before.bandwidthHz = 1e6;
    before.rfReferenceFrequencyHz = 2e9;
    before.sampleRateHz = 3e6;
    s.Context(0, before);
    const std::size_t index = s.Packet(test::Header(4, kStream, 1), Section(c));
    test::Deliver(*decoder, s.Bytes());

    ASSERT_EQ(recorder.contexts.size(), 2u);
    const Vita49_Context& r = recorder.contexts[1].context;
    EXPECT_EQ(r.payloadValid, 1u);
    EXPECT_EQ(r.bandwidthValid, decoded);
    EXPECT_EQ(r.rfReferenceFrequencyValid, decoded);
    EXPECT_EQ(r.sampleRateValid, decoded);
    EXPECT_EQ(r.bandwidthHz, decoded ? 6e6 : 1e6);
    EXPECT_EQ(r.rfReferenceFrequencyHz, decoded ? 100e6 : 2e9);
    EXPECT_EQ(r.sampleRateHz, decoded ? 8e6 : 3e6);

    // The single field readers follow the same rule.
    const std::vector<std::uint8_t> packet = s.SpanBytes(index);
    const auto length = static_cast<std::uint32_t>(packet.size());
    double bandwidth = -1, rf = -1, rate = -1;
    EXPECT_EQ(ReadBandwidth(packet.data(), length, bandwidth), decoded);
    EXPECT_EQ(ReadRfReferenceFrequency(packet.data(), length, rf), decoded);
    EXPECT_EQ(ReadSampleRate(packet.data(), length, rate), decoded);
    EXPECT_EQ(bandwidth, decoded ? 6e6 : -1);
    EXPECT_EQ(rf, decoded ? 100e6 : -1);
    EXPECT_EQ(rate, decoded ? 8e6 : -1);
    EXPECT_EQ(ContextFieldOffset(packet.data(), length, 29), c.bandwidthAt);
    EXPECT_EQ(ContextFieldOffset(packet.data(), length, 21), decoded ? c.bandwidthAt + 16 : 0u);
}

INSTANTIATE_TEST_SUITE_P(Cif0LowBits, IndicatorWords, ::testing::ValuesIn(kIndicatorCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ContextBranch, FieldPushedBeyondThePacketByIndicatorWordsIsNotValid) {
    // CIF0 (bandwidth, sample rate, CIF1 to CIF3), three words, the bandwidth and the first
    // half of the sample rate: the packet ends there. Without the three words in front the
    // sample rate would seem to fit.
    std::vector<std::uint8_t> section = {0x20, 0x20, 0x00, 0x0E, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3};
    // Byte by byte: mingw's GCC takes a range insert here for an overflow and warns.
    for (std::uint8_t b : kSixMHz) section.push_back(b);
    for (std::size_t i = 0; i < 4; ++i) section.push_back(kEightMHz[i]);
    test::StreamBuilder s(kStream);
    const std::size_t index = s.Packet(test::Header(4, kStream, 0), section);
    test::Deliver(*decoder, s.Bytes());

    ASSERT_EQ(recorder.contexts.size(), 1u);
    const Vita49_Context& r = recorder.contexts[0].context;
    EXPECT_TRUE(r.bandwidthValid);
    EXPECT_EQ(r.bandwidthHz, 6e6);
    EXPECT_FALSE(r.sampleRateValid);
    const std::vector<std::uint8_t> packet = s.SpanBytes(index);
    double hz = -1;
    EXPECT_FALSE(ReadSampleRate(packet.data(), static_cast<std::uint32_t>(packet.size()), hz));
    EXPECT_EQ(hz, -1);
}

} // namespace
} // namespace vita49
