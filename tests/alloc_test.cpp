// A long stream of IF data, IF context and spectrum packets of constant trace length goes
// through the cutting unit without a single heap allocation once its first packets are
// through: whatever the byte-order and recording settings, and however the bytes arrive.

#include "support/CountingAllocator.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "support/StreamBuilder.h"

namespace vita49::test {
namespace {

constexpr std::uint32_t kStream = 0x0A110C01;
constexpr std::size_t kPayloadBytes = 1024;
constexpr std::size_t kDataPerBlock = 20;
constexpr std::size_t kTraceValues = 300;
constexpr std::size_t kBlocks = 60;
// Blocks fed before counting starts: the records, the trace list, the spectrum buffer and
// the recording buffers are set up by then.
constexpr std::size_t kWarmBlocks = 2;

struct Stream {
    StreamBuilder builder{kStream};
    std::vector<std::size_t> blockStarts; // byte offset of each block
};

// Per block: an IF context packet, a spectrum context packet, IF data packets with a trailer,
// spectrum data of traces 1 and 2 and an IF data packet of another stream. The trace length
// stays the same unless `traceLengthChanges`.
Stream MakeStream(bool traceLengthChanges = false) {
    Stream s;
    sim::ContextValues context;
    context.hasSampleRate = true;
    context.sampleRateHz = 1e6;
    context.hasBandwidth = true;
    context.bandwidthHz = 0.8e6;
    context.hasPayloadFormat = true;
    context.itemBits = 16;
    const std::vector<std::uint8_t> payload = Ramp(kPayloadBytes, 3);
    std::uint8_t dataCount = 0;
    for (std::size_t block = 0; block < kBlocks; ++block) {
        const auto count = static_cast<std::uint8_t>(block & 0x0F);
        s.blockStarts.push_back(s.builder.Size());
        s.builder.Context(count, context);
        s.builder.ExtContext(count, 1e9, 1e6, 1e3, 5);
        for (std::size_t i = 0; i < kDataPerBlock; ++i) {
            sim::PacketHeader h = Header(1, kStream, static_cast<std::uint8_t>(dataCount++ & 0x0F));
            h.trailer = true;
            h.trailerWord = sim::MakeTrailer(sim::TrailerBits{});
            s.builder.Packet(h, payload);
        }
        const std::size_t values = traceLengthChanges ? kTraceValues + block : kTraceValues;
        s.builder.ExtData(static_cast<std::uint8_t>((2 * block) & 0x0F), 1, std::vector<float>(values, -80.0f));
        s.builder.ExtData(static_cast<std::uint8_t>((2 * block + 1) & 0x0F), 2, std::vector<float>(values, -90.0f));
        s.builder.Packet(Header(1, kStream + 1, count), payload);
    }
    return s;
}

std::size_t FileBytes(const char* path) {
    struct stat st {};
    return ::stat(path, &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0;
}

struct Counts {
    std::uint64_t data = 0, context = 0, fftData = 0, fftContext = 0, info = 0;
};

void CountCallbacks(StreamDecoder& decoder, Counts& counts) {
    decoder.callbacks.data = [&counts](const Vita49_Info&, const Vita49_Context&, const Vita49_Data&) {
        ++counts.data;
    };
    decoder.callbacks.context = [&counts](const Vita49_Info&, const Vita49_Context&) { ++counts.context; };
    decoder.callbacks.fftData = [&counts](const Vita49_Info&, const Vita49_FFTContext&, const Vita49_FFTData&,
                                          float*) { ++counts.fftData; };
    decoder.callbacks.fftContext = [&counts](const Vita49_Info&, const Vita49_FFTContext&) { ++counts.fftContext; };
    decoder.callbacks.info = [&counts](const Vita49_Info&) { ++counts.info; };
}

// Feeds [from, to) of the stream: one datagram per packet (chunk 0), or receives of `chunk`
// bytes that end wherever they fall.
void Feed(StreamDecoder& decoder, const Stream& s, std::size_t from, std::size_t to, std::size_t chunk) {
    const std::vector<std::uint8_t>& bytes = s.builder.Bytes();
    if (chunk == 0) {
        for (const StreamBuilder::Span& span : s.builder.Spans())
            if (span.offset >= from && span.offset < to) decoder.Deliver(bytes.data() + span.offset, span.length);
        return;
    }
    for (std::size_t at = from; at < to; at += chunk) decoder.Deliver(bytes.data() + at, std::min(chunk, to - at));
}

struct Case {
    const char* name;
    bool tcp;
    std::size_t chunk; // 0: one datagram per packet
    std::uint8_t convertDataByteOrder;
    std::uint8_t dataBigEndian;
    bool raw;
    std::uint8_t rawFileBigEndian;
    bool wav;
    std::uint8_t wavIntegerSamples;
};

class NoAllocationPerPacket : public ::testing::TestWithParam<Case> {
protected:
    void TearDown() override {
        for (const std::string& path : files_) std::remove(path.c_str());
    }

    Vita49_Receiver_Settings Settings(const Case& c) {
        Vita49_Receiver_Settings s{};
        s.convertDataByteOrder = c.convertDataByteOrder;
        s.dataBigEndian = c.dataBigEndian;
        s.rawFileBigEndian = c.rawFileBigEndian;
        s.wavIntegerSamples = c.wavIntegerSamples;
        const std::string base = ::testing::TempDir() + "vita49-alloc-" + std::to_string(::getpid()) + "-" + c.name;
        if (c.raw) std::snprintf(s.rawFilePath, sizeof s.rawFilePath, "%s", Keep(base + ".iq").c_str());
        if (c.wav) std::snprintf(s.wavFilePath, sizeof s.wavFilePath, "%s", Keep(base + ".wav").c_str());
        return s;
    }

    Vita49_Receiver_Settings settings_{};

private:
    const std::string& Keep(const std::string& path) { return files_.emplace_back(path); }
    std::vector<std::string> files_;
};

TEST_P(NoAllocationPerPacket, AfterTheFirstPackets) {
    const Case& c = GetParam();
    const Stream s = MakeStream();
    settings_ = Settings(c);
    auto decoder = MakeDecoder(kStream, c.tcp, settings_);
    decoder->OpenRecordings();
    Counts counts;
    CountCallbacks(*decoder, counts);

    const std::size_t warm = s.blockStarts[kWarmBlocks];
    Feed(*decoder, s, 0, warm, c.chunk);
    CountAllocations allocations;
    Feed(*decoder, s, warm, s.builder.Size(), c.chunk);
    allocations.Stop();
    decoder->CloseRecordings();

    EXPECT_EQ(allocations.News(), 0u);
    if (MallocCounted()) {
        EXPECT_EQ(allocations.Mallocs(), 0u);
    }
    // The whole stream went through: every packet reached its callback, nothing was lost.
    EXPECT_EQ(counts.data, kBlocks * kDataPerBlock);
    EXPECT_EQ(counts.context, kBlocks);
    EXPECT_EQ(counts.fftContext, kBlocks);
    EXPECT_EQ(counts.fftData, 2 * kBlocks);
    EXPECT_EQ(counts.info, kBlocks); // the packets of the other stream
    EXPECT_EQ(decoder->Info().dataErrors, 0u);
    EXPECT_EQ(decoder->Info().contextErrors, 0u);
    EXPECT_EQ(decoder->HeldBytes(), 0u);
    // And the recordings were really written along the way.
    const std::size_t raw = c.raw ? kBlocks * kDataPerBlock * kPayloadBytes : 0;
    EXPECT_EQ(FileBytes(settings_.rawFilePath), raw);
    EXPECT_EQ(FileBytes(settings_.wavFilePath) > kWarmBlocks * kDataPerBlock * kPayloadBytes, c.wav);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, NoAllocationPerPacket,
    ::testing::Values(Case{"UdpWireOrder", false, 0, 0, 0, false, 0, false, 0},
                      Case{"UdpToLittleEndian", false, 0, 1, 0, false, 0, false, 0},
                      Case{"TcpSplitPacketsToBigEndian", true, 1500, 1, 1, false, 0, false, 0},
                      Case{"TcpFullBuffersRawAndFloatWav", true, 65536, 0, 0, true, 0, true, 0},
                      Case{"TcpOddReceivesRawWireOrderIntegerWav", true, 4093, 1, 0, true, 1, true, 1},
                      Case{"UdpRawAndIntegerWav", false, 0, 1, 1, true, 0, true, 1}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// The counter sees allocations in every thread and form; without this the test above could
// pass because nothing was counted.
TEST(CountingAllocator, SeesOperatorNewAndMalloc) {
    static void* volatile sink = nullptr;
    CountAllocations allocations;
    auto* one = new std::uint64_t[4];
    sink = one;
    delete[] one;
    auto* aligned = new (std::align_val_t{64}) std::uint8_t[100];
    sink = aligned;
    operator delete[](aligned, std::align_val_t{64});
    std::thread([] { sink = std::malloc(32); }).join();
    std::free(sink);
    allocations.Stop();
    EXPECT_GE(allocations.News(), 2u);
    if (MallocCounted()) {
        EXPECT_GE(allocations.Mallocs(), 1u);
    }
}

// A trace whose length changes from packet to packet makes the spectrum buffer change size
// each time: that is an allocation per packet, and the counter sees it through the decoder.
TEST(CountingAllocator, SeesTheDecoderResizeTheSpectrumBuffer) {
    if (!MallocCounted()) GTEST_SKIP() << "C allocations are not counted in this build";
    const Stream s = MakeStream(true);
    auto decoder = MakeDecoder(kStream, false, Vita49_Receiver_Settings{});
    Counts counts;
    CountCallbacks(*decoder, counts);
    const std::size_t warm = s.blockStarts[kWarmBlocks];
    Feed(*decoder, s, 0, warm, 0);
    CountAllocations allocations;
    Feed(*decoder, s, warm, s.builder.Size(), 0);
    allocations.Stop();
    EXPECT_GE(allocations.Mallocs(), kBlocks - kWarmBlocks);
    EXPECT_EQ(counts.fftData, 2 * kBlocks);
}

} // namespace
} // namespace vita49::test
