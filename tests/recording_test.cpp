// Stream recording: the raw payload file and the two-channel WAV file, written from the IF
// data and IF context branches of a StreamDecoder fed directly, and the WAV writer itself.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "receiver/WavWriter.h"
#include "support/SpectrumHelpers.h"

namespace vita49 {
namespace {

using spectest::DecoderHarness;
using spectest::IfContextPacket;
using spectest::IfDataPacket;
using spectest::ParseWav;
using spectest::ReadFile;
using spectest::RecordingSettings;
using spectest::SwapItems;
using spectest::WireItems16;
using spectest::WireItems32;

constexpr std::uint32_t kStream = 0x0000A5A5;

std::vector<std::uint8_t> WavData(const std::vector<std::uint8_t>& file) {
    return file.size() > 44 ? std::vector<std::uint8_t>(file.begin() + 44, file.end()) : std::vector<std::uint8_t>{};
}

std::vector<std::int16_t> Items16(std::size_t n, int seed) {
    std::vector<std::int16_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::int16_t>((seed + 7919 * static_cast<int>(i)) % 65536 - 32768);
    return v;
}

std::vector<std::int32_t> Items32(std::size_t n, std::int64_t seed) {
    std::vector<std::int32_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(seed + 2654435761ll * static_cast<std::int64_t>(i)));
    return v;
}

// Expected float conversions.
float Float16(std::int16_t v) { return static_cast<float>(v / 32767.0); }
float Float32(std::int32_t v) { return static_cast<float>(std::ldexp(static_cast<double>(v), -31)); }

class Recording : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.Valid()); }

    DecoderHarness& Start(std::uint8_t rawFileBigEndian, std::uint8_t wavIntegerSamples, bool raw = true,
                          bool wav = true) {
        harness = std::make_unique<DecoderHarness>(
            kStream, RecordingSettings(raw ? rawPath : "", wav ? wavPath : "", rawFileBigEndian, wavIntegerSamples));
        harness->Open();
        return *harness;
    }
    void Context(double rateHz, std::uint8_t itemBits, bool hasRate = true, bool hasFormat = true) {
        harness->Feed(IfContextPacket(kStream, contextCount++, hasRate, rateHz, hasFormat, itemBits));
    }
    void Data(const std::vector<std::uint8_t>& payload, bool trailer = false) {
        harness->Feed(IfDataPacket(kStream, dataCount++, payload, trailer));
    }

    spectest::TempDir dir;
    const std::string rawPath = dir.File("stream.raw");
    const std::string wavPath = dir.File("stream.wav");
    std::unique_ptr<DecoderHarness> harness;
    std::uint8_t contextCount = 0, dataCount = 0;
};

TEST_F(Recording, NothingReceivedLeavesAnEmptyRawFileAndA44ByteWav) {
    Start(0, 1).Close();
    std::vector<std::uint8_t> expected;
    auto put = [&](const char* tag) { expected.insert(expected.end(), tag, tag + 4); };
    auto put32 = [&](std::uint32_t v) {
        for (int s = 0; s < 32; s += 8) expected.push_back(static_cast<std::uint8_t>(v >> s));
    };
    put("RIFF");
    put32(36);
    put("WAVE");
    put("fmt ");
    put32(16);
    expected.insert(expected.end(), 16, 0);
    put("data");
    put32(0);
    EXPECT_EQ(ReadFile(wavPath), expected);
    EXPECT_TRUE(std::filesystem::exists(rawPath));
    EXPECT_EQ(std::filesystem::file_size(rawPath), 0u);
}

struct FormatCase {
    const char* name;
    std::uint8_t itemBits;
    std::uint8_t integer;
    std::uint16_t tag;
    std::uint32_t byteRate;
    std::uint16_t align;
    std::uint16_t bits;
    friend void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.name; }
};

class WavFormat : public Recording, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(WavFormat, BlockComesFromTheContextPacket) {
    const FormatCase& c = GetParam();
    Start(0, c.integer);
    Context(1000000.7, c.itemBits);
    EXPECT_EQ(harness->formatFixedAtContextCallback, std::vector<bool>{true})
        << "the format is set up before the context callback";
    harness->Close();
    const auto h = ParseWav(ReadFile(wavPath));
    ASSERT_TRUE(h.valid);
    EXPECT_EQ(h.fmtSize, 16u);
    EXPECT_EQ(h.formatTag, c.tag);
    EXPECT_EQ(h.channels, 2u);
    EXPECT_EQ(h.sampleRate, 1000000u);
    EXPECT_EQ(h.byteRate, c.byteRate);
    EXPECT_EQ(h.blockAlign, c.align);
    EXPECT_EQ(h.bitsPerItem, c.bits);
    EXPECT_EQ(h.dataSize, 0u);
    EXPECT_EQ(h.riffSize, 36u);
}

INSTANTIATE_TEST_SUITE_P(Formats, WavFormat,
                         ::testing::Values(FormatCase{"I16Q16Integer", 16, 1, 1, 4000002, 4, 16},
                                           FormatCase{"I32Q32Integer", 32, 1, 1, 8000005, 8, 32},
                                           FormatCase{"I16Q16Float", 16, 0, 3, 8000005, 8, 32},
                                           FormatCase{"I32Q32Float", 32, 0, 3, 8000005, 8, 32}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Recording, FirstSuitableContextFixesTheFormatUntilTheNextOpen) {
    Start(0, 1);
    // Not suitable: no payload format, no sample rate, a rate that truncates to 0, an item
    // size that gives no whole block.
    Context(48000, 16, true, false);
    Context(48000, 16, false, true);
    Context(0.5, 16);
    Context(48000, 12);
    EXPECT_EQ(harness->formatFixedAtContextCallback, (std::vector<bool>{false, false, false, false}));
    Context(48000.9, 16);
    Context(96000, 32);
    harness->Close();
    auto h = ParseWav(ReadFile(wavPath));
    EXPECT_EQ(h.sampleRate, 48000u);
    EXPECT_EQ(h.byteRate, 192003u);
    EXPECT_EQ(h.bitsPerItem, 16u);

    // A new Open starts a new file whose block comes from the first suitable context after it.
    harness->Open();
    Context(96000, 32);
    Context(48000, 16);
    harness->Close();
    h = ParseWav(ReadFile(wavPath));
    EXPECT_EQ(h.sampleRate, 96000u);
    EXPECT_EQ(h.bitsPerItem, 32u);
    EXPECT_EQ(h.dataSize, 0u);
    EXPECT_EQ(ReadFile(wavPath).size(), 44u);
}

TEST_F(Recording, DataBeforeAnyPayloadFormatIsInNeitherFile) {
    Start(0, 1);
    const auto early = WireItems16(Items16(64, 1));
    Data(early);
    Context(48000, 16, true, false);
    Data(early, true);
    ASSERT_EQ(harness->dataSamples.size(), 2u);
    EXPECT_EQ(harness->dataSamples[0], early) << "nothing swapped without an item size";
    EXPECT_EQ(harness->dataSamples[1], early);

    Context(48000, 16);
    const auto late = WireItems16(Items16(32, 2));
    Data(late);
    harness->Close();
    EXPECT_EQ(ReadFile(rawPath), SwapItems(late, 2));
    EXPECT_EQ(WavData(ReadFile(wavPath)), SwapItems(late, 2));
    EXPECT_EQ(ParseWav(ReadFile(wavPath)).dataSize, late.size());
}

struct RawCase {
    const char* name;
    std::uint8_t itemBits;
    std::uint8_t rawFileBigEndian;
    friend void PrintTo(const RawCase& c, std::ostream* os) { *os << c.name; }
};

class RawFile : public Recording, public ::testing::WithParamInterface<RawCase> {};

TEST_P(RawFile, HoldsThePayloadsBackToBack) {
    const RawCase& c = GetParam();
    Start(c.rawFileBigEndian, 1, true, false);
    Context(1e6, c.itemBits);
    std::vector<std::uint8_t> wire, expected;
    for (int p = 0; p < 5; ++p) {
        const auto payload = c.itemBits == 16 ? WireItems16(Items16(40 + 24 * p, p)) : WireItems32(Items32(20 + 6 * p, p));
        Data(payload, p % 2 == 1);
        wire.insert(wire.end(), payload.begin(), payload.end());
        const auto inFile = c.rawFileBigEndian == 1 ? payload : SwapItems(payload, c.itemBits / 8);
        expected.insert(expected.end(), inFile.begin(), inFile.end());
        // Without a WAV file and without conversion the callback sees the file's byte order.
        EXPECT_EQ(harness->dataSamples.back(), inFile);
    }
    harness->Close();
    EXPECT_EQ(ReadFile(rawPath), expected);
}

INSTANTIATE_TEST_SUITE_P(Orders, RawFile,
                         ::testing::Values(RawCase{"I16Q16WireOrder", 16, 1}, RawCase{"I16Q16Swapped", 16, 0},
                                           RawCase{"I32Q32WireOrder", 32, 1}, RawCase{"I32Q32Swapped", 32, 0},
                                           RawCase{"I32Q32AnyOtherFlagSwaps", 32, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Recording, WavSwapLeavesTheRawFileInWireOrder) {
    Start(1, 1);
    Context(1e6, 32);
    const auto payload = WireItems32(Items32(64, 9));
    Data(payload);
    harness->Close();
    EXPECT_EQ(ReadFile(rawPath), payload);
    EXPECT_EQ(WavData(ReadFile(wavPath)), SwapItems(payload, 4));
    EXPECT_EQ(harness->dataSamples.back(), SwapItems(payload, 4));
}

TEST_F(Recording, FloatSamplesOfSixteenBitItems) {
    Start(0, 0, false);
    Context(1e6, 16);
    std::vector<std::int16_t> items = {0, 1, -1, 32767, -32767, -32768, 12345, -23456};
    Data(WireItems16(items));
    harness->Close();
    const auto data = WavData(ReadFile(wavPath));
    ASSERT_EQ(data.size(), 4 * items.size());
    const auto floats = spectest::LittleEndianFloats(data.data(), items.size());
    for (std::size_t i = 0; i < items.size(); ++i) EXPECT_EQ(floats[i], Float16(items[i])) << "item " << items[i];
    EXPECT_EQ(floats[3], 1.0f);
    EXPECT_LT(floats[5], -1.0f) << "-32768 / 32767 lies just below -1";
}

TEST_F(Recording, FloatSamplesOfThirtyTwoBitItems) {
    Start(0, 0, false);
    Context(1e6, 32);
    std::vector<std::int32_t> items = {0, 1, -1, std::numeric_limits<std::int32_t>::max(),
                                       std::numeric_limits<std::int32_t>::min(), 123456789, -987654321};
    Data(WireItems32(items));
    harness->Close();
    const auto data = WavData(ReadFile(wavPath));
    ASSERT_EQ(data.size(), 4 * items.size());
    const auto floats = spectest::LittleEndianFloats(data.data(), items.size());
    for (std::size_t i = 0; i < items.size(); ++i) EXPECT_EQ(floats[i], Float32(items[i])) << "item " << items[i];
    EXPECT_EQ(floats[4], -1.0f);
    EXPECT_EQ(floats[1], std::ldexp(1.0f, -31));
}

class LargeFloatPacket : public Recording, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(LargeFloatPacket, IsWrittenWhole) {
    // More items than the conversion buffer holds: every one still reaches the file. 32,764
    // items is the largest payload of a packet that fits the receive buffer.
    const std::size_t n = GetParam();
    Start(0, 0);
    Context(1e6, 16);
    const auto items = Items16(n, 5);
    const auto payload = WireItems16(items);
    Data(payload);
    Data(WireItems16(Items16(8, 6)));
    harness->Close();
    const auto file = ReadFile(wavPath);
    EXPECT_EQ(ParseWav(file).dataSize, 4 * (n + 8));
    const auto data = WavData(file);
    ASSERT_EQ(data.size(), 4 * (n + 8));
    const auto floats = spectest::LittleEndianFloats(data.data(), n);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < n; ++i) wrong += floats[i] != Float16(items[i]);
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(ReadFile(rawPath).size(), 2 * (n + 8));
}

INSTANTIATE_TEST_SUITE_P(Items, LargeFloatPacket,
                         ::testing::Values(WavSink::kFloatBufferCount, WavSink::kFloatBufferCount + 2,
                                           32764));

TEST_F(Recording, WavStopsAtTheSizeLimitAndTheRawFileGoesOn) {
    Start(0, 1);
    Context(1e6, 16);
    harness->Decoder().Wav().maxDataBytes = 1000;
    std::vector<std::uint8_t> raw;
    std::vector<std::uint8_t> wav;
    for (int p = 0; p < 4; ++p) {
        // 400, 400, 400 (does not fit: 1200 > 1000), then 100 that would fit but must not
        // follow a gap.
        const auto payload = WireItems16(Items16(p < 3 ? 200 : 50, p));
        Data(payload);
        const auto le = SwapItems(payload, 2);
        raw.insert(raw.end(), le.begin(), le.end());
        if (p < 2) wav.insert(wav.end(), le.begin(), le.end());
    }
    harness->Close();
    const auto file = ReadFile(wavPath);
    const auto h = ParseWav(file);
    EXPECT_EQ(h.dataSize, 800u);
    EXPECT_EQ(h.riffSize, 836u);
    EXPECT_EQ(file.size(), 844u);
    EXPECT_EQ(WavData(file), wav);
    EXPECT_EQ(ReadFile(rawPath), raw);
}

TEST_F(Recording, UnwritablePathsAreSilent) {
    // A directory that does not exist, and a directory in place of a file.
    const std::string missing = dir.File("missing/stream");
    const std::string directory = dir.File("");
    for (const std::string& path : {missing, directory}) {
        harness = std::make_unique<DecoderHarness>(kStream, RecordingSettings(path, path, 0, 1));
        harness->Open();
        EXPECT_FALSE(harness->Decoder().Wav().IsOpen());
        Context(1e6, 16);
        const auto payload = WireItems16(Items16(16, 3));
        Data(payload);
        ASSERT_EQ(harness->dataSamples.size(), 1u);
        EXPECT_EQ(harness->dataSamples[0], payload) << "nothing recorded, nothing swapped";
        harness->Close();
    }
    EXPECT_TRUE(std::filesystem::is_empty(directory));
}

TEST_F(Recording, IntegerWavTakesOnlyItemsOfItsOwnSize) {
    Start(0, 1);
    Context(1e6, 16);
    const auto first = WireItems16(Items16(32, 1));
    Data(first);
    // The stream changes to 32-bit items: the 16-bit file cannot hold them; the raw file can.
    Context(1e6, 32);
    const auto second = WireItems32(Items32(16, 2));
    Data(second);
    harness->Close();
    EXPECT_EQ(WavData(ReadFile(wavPath)), SwapItems(first, 2));
    auto raw = SwapItems(first, 2);
    const auto le = SwapItems(second, 4);
    raw.insert(raw.end(), le.begin(), le.end());
    EXPECT_EQ(ReadFile(rawPath), raw);
}

TEST_F(Recording, FloatWavTakesBothItemSizes) {
    Start(0, 0, false);
    Context(1e6, 16);
    const auto a = Items16(6, 1);
    Data(WireItems16(a));
    Context(1e6, 32);
    const auto b = Items32(4, 2);
    Data(WireItems32(b));
    harness->Close();
    const auto data = WavData(ReadFile(wavPath));
    ASSERT_EQ(data.size(), 40u);
    const auto floats = spectest::LittleEndianFloats(data.data(), 10);
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(floats[i], Float16(a[i]));
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(floats[6 + i], Float32(b[i]));
}

// --- The writer on its own ------------------------------------------------------------------

class WavWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.Valid());
        writer.Open(path.c_str());
        ASSERT_TRUE(writer.IsOpen());
    }

    spectest::TempDir dir;
    const std::string path = dir.File("w.wav");
    WavWriter writer;
};

TEST_F(WavWriterTest, HeaderStaysTrueAtTheLargestDataChunk) {
    // The real limit without writing 4 GiB: the count is set just below it.
    const std::uint8_t items[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    writer.dataChunkBytes = WavWriter::kMaxDataBytes - 8;
    writer.WriteSamples(items, 8, 16, true, nullptr, 0);
    EXPECT_EQ(writer.dataChunkBytes, WavWriter::kMaxDataBytes);
    writer.WriteSamples(items, 4, 16, true, nullptr, 0);
    EXPECT_EQ(writer.dataChunkBytes, WavWriter::kMaxDataBytes);
    EXPECT_TRUE(writer.limitReached);
    writer.CloseFile();
    const auto h = ParseWav(ReadFile(path));
    EXPECT_EQ(h.riffSize, 0xFFFFFFFFu);
    EXPECT_EQ(h.dataSize, 0xFFFFFFFFu - 36u);
}

} // namespace
} // namespace vita49
