// The IF data branch: the byte order the samples have at the callback and in the raw file for
// every combination of settings and open recordings, the trailer indicators and counters, the
// statistics, and data that arrives before any context.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <unistd.h>

#include "support/Recorder.h"
#include "support/StreamBuilder.h"

namespace vita49 {
namespace {

using test::CallbackRecorder;
using test::StreamBuilder;

constexpr std::uint32_t kStream = 0x51000001u;

// A short path of its own for every file of every test: the settings hold 99 characters.
std::string TempPath(const std::string& leaf) {
    static int serial = 0;
    return ::testing::TempDir() + "v49db_" + std::to_string(::getpid()) + "_" + std::to_string(++serial) + "_" + leaf;
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void SetPath(char (&field)[100], const std::string& path) {
    ASSERT_LT(path.size(), sizeof field);
    std::snprintf(field, sizeof field, "%s", path.c_str());
}

// `bytes` with each item of `itemBytes` reversed; whole items only.
std::vector<std::uint8_t> ItemsReversed(std::vector<std::uint8_t> bytes, std::size_t itemBytes) {
    for (std::size_t at = 0; at + itemBytes <= bytes.size(); at += itemBytes)
        std::reverse(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                     bytes.begin() + static_cast<std::ptrdiff_t>(at + itemBytes));
    return bytes;
}

sim::ContextValues Format(std::uint8_t itemBits) {
    sim::ContextValues v;
    v.hasSampleRate = true;
    v.sampleRateHz = 1e6;
    v.hasPayloadFormat = true;
    v.itemBits = itemBits;
    return v;
}

// --- The byte-order table, row by row.

enum class Raw { None, LittleEndian, BigEndian };

struct OrderCase {
    int itemBits;
    bool convert;
    bool dataBigEndian;
    Raw raw;
    bool wav;
};

class ByteOrder : public ::testing::TestWithParam<std::tuple<int, bool, bool, Raw, bool>> {
protected:
    OrderCase Case() const {
        const auto& p = GetParam();
        return {std::get<0>(p), std::get<1>(p), std::get<2>(p), std::get<3>(p), std::get<4>(p)};
    }
    void TearDown() override {
        if (!rawPath.empty()) std::remove(rawPath.c_str());
        if (!wavPath.empty()) std::remove(wavPath.c_str());
    }
    std::string rawPath, wavPath;
};

TEST_P(ByteOrder, CallbackAndRawFileGetTheOrderTheSettingsAskFor) {
    const OrderCase k = Case();
    Vita49_Receiver_Settings settings{};
    settings.convertDataByteOrder = k.convert ? 1 : 0;
    settings.dataBigEndian = k.dataBigEndian ? 1 : 0;
    if (k.raw != Raw::None) {
        rawPath = TempPath("raw.bin");
        SetPath(settings.rawFilePath, rawPath);
        settings.rawFileBigEndian = k.raw == Raw::BigEndian ? 1 : 0;
    }
    if (k.wav) {
        wavPath = TempPath("rec.wav");
        SetPath(settings.wavFilePath, wavPath);
        settings.wavIntegerSamples = 1;
    }
    auto decoder = test::MakeDecoder(kStream, false, settings);
    decoder->OpenRecordings();
    CallbackRecorder recorder;
    recorder.Attach(decoder->callbacks);

    StreamBuilder s(kStream);
    s.Context(0, Format(static_cast<std::uint8_t>(k.itemBits)));
    const std::vector<std::uint8_t> first = test::Ramp(64, 0x10), second = test::Ramp(40, 0x80);
    s.Data(0, first);
    s.Data(1, second);
    test::Deliver(*decoder, s.Bytes());
    decoder->CloseRecordings();
    ASSERT_EQ(recorder.data.size(), 2u);

    // What the table promises: with conversion the asked order; without, little-endian exactly
    // when a recording had to swap, else wire order.
    const std::size_t item = static_cast<std::size_t>(k.itemBits / 8);
    const bool recordingSwapped = (k.raw == Raw::LittleEndian) || k.wav;
    const bool callbackBigEndian = k.convert ? k.dataBigEndian : !recordingSwapped;
    auto inOrder = [&](const std::vector<std::uint8_t>& wire, bool bigEndian) {
        return bigEndian ? wire : ItemsReversed(wire, item);
    };
    EXPECT_EQ(recorder.data[0].samples, inOrder(first, callbackBigEndian));
    EXPECT_EQ(recorder.data[1].samples, inOrder(second, callbackBigEndian));

    if (k.raw != Raw::None) {
        std::vector<std::uint8_t> expected = inOrder(first, k.raw == Raw::BigEndian);
        const std::vector<std::uint8_t> more = inOrder(second, k.raw == Raw::BigEndian);
        expected.insert(expected.end(), more.begin(), more.end());
        EXPECT_EQ(ReadFile(rawPath), expected);
    }
    if (k.wav) {
        EXPECT_EQ(decoder->Wav().dataChunkBytes, first.size() + second.size());
    }
}

std::string OrderName(const ::testing::TestParamInfo<std::tuple<int, bool, bool, Raw, bool>>& info) {
    const auto& p = info.param;
    const char* raw[] = {"NoRaw", "RawLE", "RawBE"};
    return "I" + std::to_string(std::get<0>(p)) + (std::get<1>(p) ? "_Convert" : "_Keep") +
           (std::get<2>(p) ? "_ToBE" : "_ToLE") + "_" + raw[static_cast<int>(std::get<3>(p))] +
           (std::get<4>(p) ? "_Wav" : "_NoWav");
}

INSTANTIATE_TEST_SUITE_P(Table, ByteOrder,
                         ::testing::Combine(::testing::Values(16, 32), ::testing::Bool(), ::testing::Bool(),
                                            ::testing::Values(Raw::None, Raw::LittleEndian, Raw::BigEndian),
                                            ::testing::Bool()),
                         OrderName);

// --- Recording and conversion without a usable item size.

class DataBranch : public ::testing::Test {
protected:
    void Make(const Vita49_Receiver_Settings& settings) {
        decoder = test::MakeDecoder(kStream, false, settings);
        decoder->OpenRecordings();
        recorder.Clear();
        recorder.Attach(decoder->callbacks);
    }
    Vita49_Receiver_Settings RecordingSettings() {
        Vita49_Receiver_Settings settings{};
        if (rawPath.empty()) rawPath = TempPath("raw.bin");
        if (wavPath.empty()) wavPath = TempPath("rec.wav");
        SetPath(settings.rawFilePath, rawPath);
        SetPath(settings.wavFilePath, wavPath);
        settings.convertDataByteOrder = 1;
        settings.dataBigEndian = 0;
        settings.wavIntegerSamples = 1;
        return settings;
    }
    void TearDown() override {
        if (decoder) decoder->CloseRecordings();
        if (!rawPath.empty()) std::remove(rawPath.c_str());
        if (!wavPath.empty()) std::remove(wavPath.c_str());
    }

    std::unique_ptr<StreamDecoder> decoder;
    CallbackRecorder recorder;
    std::string rawPath, wavPath;
};

void ExpectAllZero(const Vita49_Context& c) {
    EXPECT_EQ(c.packetsReceived, 0u);
    EXPECT_EQ(c.packetsLost, 0u);
    EXPECT_EQ(c.packetCount, 0u);
    EXPECT_FALSE(c.streamIdValid);
    EXPECT_EQ(c.streamId, 0u);
    EXPECT_FALSE(c.intTimestampValid);
    EXPECT_FALSE(c.fracTimestampValid);
    EXPECT_EQ(c.payloadValid, 0u);
    EXPECT_EQ(c.payloadSize, 0u);
    EXPECT_FALSE(c.bandwidthValid);
    EXPECT_EQ(c.bandwidthHz, 0.0);
    EXPECT_FALSE(c.sampleRateValid);
    EXPECT_EQ(c.sampleRateHz, 0.0);
    EXPECT_FALSE(c.payloadFormatValid);
    EXPECT_EQ(c.dataItemSize, 0u);
    EXPECT_EQ(c.itemPackingFieldSize, 0u);
    EXPECT_FALSE(c.gpsValid);
    EXPECT_EQ(c.gpsLatitudeDeg, 0.0);
}

TEST_F(DataBranch, DataBeforeAnyContextIsNeitherRecordedNorConverted) {
    Make(RecordingSettings());
    StreamBuilder s(kStream);
    const std::vector<std::uint8_t> payload = test::Ramp(32, 0x21);
    s.Data(11, payload);
    test::Deliver(*decoder, s.Bytes());
    decoder->CloseRecordings();

    ASSERT_EQ(recorder.data.size(), 1u);
    const auto& call = recorder.data[0];
    EXPECT_EQ(call.data.packetsLost, 0u);
    EXPECT_EQ(call.data.packetsReceived, 1u);
    ExpectAllZero(call.context);
    EXPECT_EQ(call.samples, payload) << "no item size known: nothing to convert";
    EXPECT_TRUE(ReadFile(rawPath).empty());
    EXPECT_EQ(decoder->Wav().dataChunkBytes, 0u);
    EXPECT_EQ(call.info.dataBytes, 32u);
}

TEST_F(DataBranch, ContextWithoutPayloadFormatStopsRecordingButKeepsTheItemSize) {
    Make(RecordingSettings());
    StreamBuilder s(kStream);
    s.Context(0, Format(16));
    s.Data(0, test::Ramp(16, 0x01));
    sim::ContextValues noFormat;
    noFormat.hasBandwidth = true;
    noFormat.bandwidthHz = 1e5;
    s.Context(1, noFormat);
    const std::vector<std::uint8_t> payload = test::Ramp(24, 0x40);
    s.Data(1, payload);
    test::Deliver(*decoder, s.Bytes());
    decoder->CloseRecordings();

    ASSERT_EQ(recorder.data.size(), 2u);
    EXPECT_FALSE(recorder.data[1].context.payloadFormatValid);
    EXPECT_EQ(recorder.data[1].context.dataItemSize, 16u);
    EXPECT_EQ(recorder.data[1].samples, ItemsReversed(payload, 2)) << "converted by the stored item size";
    EXPECT_EQ(ReadFile(rawPath), ItemsReversed(test::Ramp(16, 0x01), 2)) << "only the first packet recorded";
    EXPECT_EQ(decoder->Wav().dataChunkBytes, 16u);
}

TEST_F(DataBranch, OtherItemSizesAreRecordedAsReceivedAndNeverSwapped) {
    for (std::uint8_t bits : {std::uint8_t{8}, std::uint8_t{24}, std::uint8_t{12}}) {
        SCOPED_TRACE(int(bits));
        Make(RecordingSettings());
        StreamBuilder s(kStream);
        s.Context(0, Format(bits));
        const std::vector<std::uint8_t> payload = test::Ramp(48, bits);
        s.Data(0, payload);
        test::Deliver(*decoder, s.Bytes());
        decoder->CloseRecordings();
        ASSERT_EQ(recorder.data.size(), 1u);
        EXPECT_EQ(recorder.data[0].context.dataItemSize, bits);
        EXPECT_EQ(recorder.data[0].samples, payload);
        EXPECT_EQ(ReadFile(rawPath), payload);
        EXPECT_EQ(decoder->Wav().dataChunkBytes, 0u);
    }
}

TEST_F(DataBranch, UnlocatedPayloadIsNotRecordedButReachesTheCallback) {
    Make(RecordingSettings());
    StreamBuilder s(kStream);
    s.Context(0, Format(16));
    // Declares 3 words, but its stream identifier and fractional timestamp need 3 after the
    // header: the payload would begin beyond the packet.
    s.Raw({0x10, 0x12, 0x00, 0x03, 0x51, 0x00, 0x00, 0x01, 0, 0, 0, 0});
    s.Data(3, 16);
    test::Deliver(*decoder, s.Bytes());
    decoder->CloseRecordings();
    ASSERT_EQ(recorder.data.size(), 2u);
    const Vita49_Data& d = recorder.data[0].data;
    EXPECT_EQ(d.payloadValid, 0u);
    EXPECT_EQ(d.payloadOffset, 0u);
    EXPECT_EQ(d.payloadSize, 0u);
    EXPECT_TRUE(recorder.data[0].samples.empty());
    EXPECT_EQ(recorder.data[0].info.dataBytes, 0u);
    EXPECT_EQ(ReadFile(rawPath), ItemsReversed(test::Ramp(16, 3), 2));
}

// --- Trailer indicators and counters, on hand-written packets.

const std::vector<std::uint8_t> kTrailerPayload = {0xAA, 0xBB, 0xCC, 0xDD, 0x11, 0x22, 0x33, 0x44,
                                                    0x55, 0x66, 0x77, 0x88, 0x99, 0x00, 0xEE, 0xFF};

// Header, stream identifier, four payload words and, when `trailer` is given, the trailer.
std::vector<std::uint8_t> Packet(std::uint8_t count, const std::uint32_t* trailer) {
    sim::PacketHeader h = test::Header(1, kStream, count);
    h.trailer = trailer != nullptr;
    if (trailer) h.trailerWord = *trailer;
    return test::BuildPacket(h, kTrailerPayload).bytes;
}

class Trailer : public DataBranch {
protected:
    void SetUp() override { Make(Vita49_Receiver_Settings{}); }
    // Feeds one packet with this trailer word (or none) and returns the record the callback saw.
    Vita49_Data FeedPacket(const std::uint32_t* trailer) {
        const std::vector<std::uint8_t> p = Packet(count_, trailer);
        count_ = static_cast<std::uint8_t>((count_ + 1) & 0x0F);
        const std::size_t before = recorder.data.size();
        test::Deliver(*decoder, p);
        EXPECT_EQ(recorder.data.size(), before + 1);
        return recorder.data.empty() ? Vita49_Data{} : recorder.data.back().data;
    }
    Vita49_Data Feed(std::uint32_t trailer) { return FeedPacket(&trailer); }
    Vita49_Data FeedWithout() { return FeedPacket(nullptr); }

    std::uint8_t count_ = 0;
};

struct Indicator {
    const char* name;
    unsigned enableBit, indicatorBit;
    bool Vita49_Data::*enabled;
    bool Vita49_Data::*value;
};

const Indicator kIndicators[] = {
    {"CalibratedTime", 31, 19, &Vita49_Data::calibratedTimeEnabled, &Vita49_Data::calibratedTime},
    {"ValidData", 30, 18, &Vita49_Data::validDataEnabled, &Vita49_Data::validData},
    {"ReferenceLock", 29, 17, &Vita49_Data::referenceLockEnabled, &Vita49_Data::referenceLock},
    {"OverRange", 25, 13, &Vita49_Data::overRangeEnabled, &Vita49_Data::overRange},
    {"SampleLoss", 24, 12, &Vita49_Data::sampleLossEnabled, &Vita49_Data::sampleLoss},
};

class TrailerIndicator : public Trailer, public ::testing::WithParamInterface<Indicator> {};

TEST_P(TrailerIndicator, IsTakenOnlyWhenEnabledAndKeptOtherwise) {
    const Indicator& k = GetParam();
    const std::uint32_t enable = 1u << k.enableBit, set = 1u << k.indicatorBit;

    Vita49_Data d = Feed(enable | set);
    EXPECT_TRUE(d.*k.enabled);
    EXPECT_TRUE(d.*k.value);
    for (const Indicator& other : kIndicators) {
        if (other.enableBit == k.enableBit) continue;
        EXPECT_FALSE(d.*other.enabled) << other.name;
        EXPECT_FALSE(d.*other.value) << other.name;
    }

    // Not enabled: the stored value stays, with or without a trailer.
    d = Feed(0u);
    EXPECT_FALSE(d.*k.enabled);
    EXPECT_TRUE(d.*k.value);
    d = FeedWithout();
    EXPECT_FALSE(d.*k.enabled);
    EXPECT_TRUE(d.*k.value);

    d = Feed(enable);
    EXPECT_TRUE(d.*k.enabled);
    EXPECT_FALSE(d.*k.value);

    d = Feed(set);
    EXPECT_FALSE(d.*k.enabled);
    EXPECT_FALSE(d.*k.value) << "a set indicator without its enable is not taken";

    d = FeedWithout();
    EXPECT_FALSE(d.*k.enabled);
    EXPECT_FALSE(d.*k.value);
}

INSTANTIATE_TEST_SUITE_P(Bits, TrailerIndicator, ::testing::ValuesIn(kIndicators),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Trailer, CountersFollowTheStoredIndicatorsWhateverTheEnables) {
    const std::uint32_t validOn = (1u << 30) | (1u << 18), lockOn = (1u << 29) | (1u << 17);
    // Nothing stored yet: invalid and unlocked until a trailer says otherwise.
    Vita49_Data d = FeedWithout();
    EXPECT_EQ(d.invalidDataPackets, 1u);
    EXPECT_EQ(d.unlockedPackets, 1u);
    EXPECT_EQ(d.overRangePackets, 0u);

    d = Feed(validOn | lockOn);
    EXPECT_EQ(d.invalidDataPackets, 1u);
    EXPECT_EQ(d.unlockedPackets, 1u);

    // No trailer: the stored valid and locked indicators still hold.
    d = FeedWithout();
    EXPECT_EQ(d.invalidDataPackets, 1u);
    EXPECT_EQ(d.unlockedPackets, 1u);

    d = Feed((1u << 30) | lockOn | (1u << 25) | (1u << 13));
    EXPECT_TRUE(d.overRange);
    EXPECT_EQ(d.invalidDataPackets, 2u);
    EXPECT_EQ(d.unlockedPackets, 1u);
    EXPECT_EQ(d.overRangePackets, 1u);

    d = Feed(0);
    EXPECT_EQ(d.invalidDataPackets, 3u);
    EXPECT_EQ(d.overRangePackets, 2u) << "stored over-range still true";
    EXPECT_EQ(decoder->Info().dataErrors, 0u);
}

TEST_F(Trailer, SampleLossCountsAsDataErrorUntilATrailerClearsIt) {
    Vita49_Data d = Feed((1u << 24) | (1u << 12));
    EXPECT_EQ(d.sampleLossPackets, 1u);
    EXPECT_EQ(recorder.data.back().info.dataErrors, 1u);
    d = FeedWithout();
    EXPECT_FALSE(d.sampleLossEnabled);
    EXPECT_EQ(d.sampleLossPackets, 2u);
    EXPECT_EQ(recorder.data.back().info.dataErrors, 2u);
    d = Feed(1u << 24);
    EXPECT_EQ(d.sampleLossPackets, 2u);
    EXPECT_EQ(decoder->Info().dataErrors, 2u);

    // A count jump adds to the same statistic.
    count_ = static_cast<std::uint8_t>(count_ + 3);
    Feed(1u << 24);
    EXPECT_EQ(decoder->Info().dataErrors, 3u);
    EXPECT_EQ(decoder->Data().packetsLost, 1u);
}

TEST_F(Trailer, AssociatedContextCount) {
    Vita49_Data d = Feed(0x80u);
    EXPECT_TRUE(d.contextCountEnabled);
    EXPECT_EQ(d.contextCount, 0u);
    EXPECT_EQ(d.contextCountPackets, 0u);

    d = Feed(0x80u | 0x7Fu);
    EXPECT_EQ(d.contextCount, 127u);
    EXPECT_EQ(d.contextCountPackets, 1u);

    d = Feed(0x05u); // count bits without the enable
    EXPECT_FALSE(d.contextCountEnabled);
    EXPECT_EQ(d.contextCount, 127u);
    EXPECT_EQ(d.contextCountPackets, 2u);

    d = FeedWithout();
    EXPECT_FALSE(d.contextCountEnabled);
    EXPECT_EQ(d.contextCountPackets, 3u);
}

TEST_F(Trailer, BitsOutsideTheFiveIndicatorsAreIgnored) {
    // AGC, detected signal, spectral inversion and the user-defined bits, enables and
    // indicators alike.
    const std::uint32_t others = (1u << 28) | (1u << 27) | (1u << 26) | (0xFu << 20) | (1u << 16) | (1u << 15) |
                                 (1u << 14) | (0xFu << 8);
    const Vita49_Data d = Feed(others);
    EXPECT_FALSE(d.calibratedTimeEnabled || d.validDataEnabled || d.referenceLockEnabled || d.overRangeEnabled ||
                 d.sampleLossEnabled || d.contextCountEnabled);
    EXPECT_FALSE(d.calibratedTime || d.validData || d.referenceLock || d.overRange || d.sampleLoss);
    EXPECT_EQ(d.contextCount, 0u);
}

TEST_F(Trailer, PayloadExcludesTheTrailerAndPointsIntoThePacket) {
    const std::uint32_t word = 0xC0060000u;
    const Vita49_Data d = Feed(word);
    EXPECT_EQ(d.payloadValid, 1u);
    EXPECT_EQ(d.payloadOffset, 8u);
    EXPECT_EQ(d.payloadSize, 16u);
    EXPECT_EQ(recorder.data.back().samples, kTrailerPayload);
    EXPECT_EQ(d.packet + d.payloadOffset, d.packet + 8);
    EXPECT_EQ(decoder->Info().dataBytes, 16u);
    EXPECT_EQ(decoder->Info().bytesReceived, 28u);
}

} // namespace
} // namespace vita49
