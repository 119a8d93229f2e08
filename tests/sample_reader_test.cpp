// Vita49SampleReader, the sample buffer behind the Python package's read and the SoapySDR
// module's readStream: every sample numbered, so that what comes out can be checked sample by
// sample against what went in, across wrap-around, format changes, drops, timestamps and a
// writer thread racing the reader. Packets go in as the receiver's callbacks hand them over.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "vita49/Vita49SampleReader.h"

namespace {

using Clock = Vita49SampleReader::Clock;
using Status = Vita49SampleReader::Status;
using Block = Vita49SampleReader::Block;

// Sample k as the wire carries it, big-endian: 16-bit items I = bits 0..14, Q = bits 15..29 of
// k (both non-negative); 32-bit items I = k, Q = ~k (negative). The sign of Q tells them apart
// once converted.
std::vector<std::uint8_t> Samples(std::uint64_t first, std::size_t count, unsigned itemBytes) {
    std::vector<std::uint8_t> out(count * 2 * itemBytes);
    std::uint8_t* p = out.data();
    for (std::uint64_t k = first; k < first + count; ++k) {
        const std::uint32_t i = itemBytes == 2 ? static_cast<std::uint32_t>(k & 0x7FFF) : static_cast<std::uint32_t>(k);
        const std::uint32_t q = itemBytes == 2 ? static_cast<std::uint32_t>((k >> 15) & 0x7FFF) : ~static_cast<std::uint32_t>(k);
        for (std::uint32_t v : {i, q})
            for (unsigned b = itemBytes; b-- > 0;) *p++ = static_cast<std::uint8_t>(v >> (8 * b));
    }
    return out;
}

// The reader as a receive thread and a reading application use it.
class Ring {
public:
    explicit Ring(double seconds) : reader_(seconds) {
        reader_.Reset();
        context_ = Vita49_Context{};
    }

    void SetSampleRate(double rate) {
        context_.sampleRateValid = true;
        context_.sampleRateHz = rate;
        reader_.OnContext(context_);
    }

    // One data packet: its samples, the loss count moved on when `gap`, and a time if given.
    void Write(const std::vector<std::uint8_t>& bytes, unsigned itemBytes, bool gap,
               std::uint32_t seconds = 0, std::uint64_t picoseconds = 0, bool timed = false) {
        context_.dataItemSize = static_cast<std::uint8_t>(8 * itemBytes);
        Vita49_Data d{};
        if (gap) ++lost_;
        d.packetsLost = lost_;
        d.payloadValid = 1;
        d.payloadSize = static_cast<std::uint32_t>(bytes.size());
        d.packet = bytes.data();
        d.intTimestampValid = d.fracTimestampValid = timed;
        d.intTimestamp = seconds;
        d.fracTimestamp = picoseconds;
        reader_.OnData(context_, d);
    }

    // A data packet whose items are of a size the reader cannot convert: its samples are lost.
    void MarkGap() {
        const std::uint8_t bytes[8] = {};
        Vita49_Context c = context_;
        c.dataItemSize = 8;
        Vita49_Data d{};
        d.packetsLost = lost_;
        d.payloadValid = 1;
        d.payloadSize = sizeof bytes;
        d.packet = bytes;
        reader_.OnData(c, d);
    }

    Status Take(std::size_t n, Clock::time_point until, Block& block) { return reader_.Take(n, n, until, block); }
    // The reserved block's sample numbers, through the CS32 conversion.
    std::vector<std::uint64_t> Numbers(const Block& block) const {
        std::vector<std::int32_t> iq(2 * block.samples);
        EXPECT_TRUE(reader_.CopyOut(Vita49SampleReader::CS32, block.samples, iq.data()));
        std::vector<std::uint64_t> out;
        for (std::size_t j = 0; j < block.samples; ++j) {
            const std::int32_t i = iq[2 * j], q = iq[2 * j + 1];
            if (q >= 0) {
                out.push_back(static_cast<std::uint64_t>(i) | (static_cast<std::uint64_t>(q) << 15));
            } else {
                EXPECT_EQ(q, ~i);
                out.push_back(static_cast<std::uint32_t>(i));
            }
        }
        return out;
    }
    void Finish(std::size_t consumed) { reader_.Finish(consumed); }
    Vita49SampleReader::Counters Snapshot() const { return reader_.Snapshot(); }
    void Fail() { reader_.Fail(); }
    void Close() { reader_.Close(); }
    void Reset() {
        reader_.Reset();
        lost_ = 0;
    }
    Vita49SampleReader& reader() { return reader_; }

private:
    Vita49SampleReader reader_;
    Vita49_Context context_;
    std::uint32_t lost_ = 0;
};

void Write(Ring& ring, std::uint64_t first, std::size_t count, unsigned itemBytes, bool gap = false) {
    ring.Write(Samples(first, count, itemBytes), itemBytes, gap);
}

Status Take(Ring& ring, std::size_t n, Block& block, int waitMs = 0) {
    return ring.Take(n, Clock::now() + std::chrono::milliseconds(waitMs), block);
}

constexpr std::size_t kMinSamples16 = (std::size_t{4} << 20) / 4; // the smallest buffer, 4 MiB

TEST(SampleReader, ShortReadTimesOutAndKeepsEverythingForTheNext) {
    Ring ring(1.0);
    Write(ring, 0, 1000, 2);
    Block block;
    ASSERT_EQ(Take(ring, 1500, block, 20), Status::TimedOut);
    Write(ring, 1000, 500, 2);
    ASSERT_EQ(Take(ring, 1500, block), Status::Ready);
    const std::vector<std::uint64_t> got = ring.Numbers(block);
    ring.Finish(block.samples);
    ASSERT_EQ(got.size(), 1500u);
    for (std::uint64_t k = 0; k < got.size(); ++k) ASSERT_EQ(got[k], k);
    EXPECT_TRUE(block.gaps.empty());
    EXPECT_EQ(ring.Snapshot().buffered, 0u);
}

TEST(SampleReader, UncommittedBlockStaysAndCommittedOneGoes) {
    Ring ring(1.0);
    Write(ring, 0, 100, 2);
    Block block;
    ASSERT_EQ(Take(ring, 60, block), Status::Ready);
    ring.Finish(0);
    ASSERT_EQ(Take(ring, 60, block), Status::Ready);
    EXPECT_EQ(ring.Numbers(block).front(), 0u);
    ring.Finish(block.samples);
    ASSERT_EQ(Take(ring, 40, block), Status::Ready);
    EXPECT_EQ(ring.Numbers(block).front(), 60u);
    ring.Finish(block.samples);
}

TEST(SampleReader, GapsAreReportedWhereTheyFallInEachBlock) {
    Ring ring(1.0);
    Write(ring, 0, 10, 2);
    Write(ring, 20, 10, 2, /*gap=*/true); // 10 samples lost before these
    ring.MarkGap();                       // and a packet of unknown format
    Write(ring, 40, 10, 2);
    Block block;
    ASSERT_EQ(Take(ring, 15, block), Status::Ready);
    EXPECT_EQ(block.gaps, (std::vector<std::uint64_t>{10}));
    ring.Finish(block.samples);
    ASSERT_EQ(Take(ring, 15, block), Status::Ready);
    EXPECT_EQ(block.gaps, (std::vector<std::uint64_t>{5}));
    const std::vector<std::uint64_t> got = ring.Numbers(block);
    EXPECT_EQ(got[4], 29u);
    EXPECT_EQ(got[5], 40u);
    ring.Finish(block.samples);
}

TEST(SampleReader, FormatChangesKeepEverySampleAcrossWrapAround) {
    Ring ring(0.0);
    // Fill and drain in turns with alternating item sizes and odd counts, so that segments
    // start at every alignment and wrap around the end many times.
    std::uint64_t next = 0, expected = 0;
    for (int round = 0; round < 60; ++round) {
        const unsigned item = round % 3 == 0 ? 4 : 2;
        const std::size_t count = 20001 + 7 * static_cast<std::size_t>(round);
        Write(ring, next, count, item);
        next += count;
        Block block;
        const std::size_t take = count - 5 + (round % 2) * 3;
        ASSERT_EQ(Take(ring, take, block), Status::Ready);
        const std::vector<std::uint64_t> got = ring.Numbers(block);
        ring.Finish(block.samples);
        for (std::uint64_t k : got) ASSERT_EQ(k, expected++);
    }
    EXPECT_EQ(ring.Snapshot().overflow, 0u);
}

TEST(SampleReader, OverflowDropsTheOldestCountsThemAndMarksTheGap) {
    Ring ring(0.0); // the smallest buffer
    const std::size_t total = (kMinSamples16 / 1000 + 5) * 1000;
    for (std::uint64_t k = 0; k < total; k += 1000) Write(ring, k, 1000, 2);
    const Vita49SampleReader::Counters c = ring.Snapshot();
    EXPECT_EQ(c.received, total);
    EXPECT_EQ(c.overflow + c.buffered, total);
    EXPECT_GT(c.overflow, 0u);
    Block block;
    ASSERT_EQ(Take(ring, c.buffered, block), Status::Ready);
    const std::vector<std::uint64_t> got = ring.Numbers(block);
    ring.Finish(block.samples);
    EXPECT_EQ(got.front(), c.overflow); // the oldest went, the newest stayed
    EXPECT_EQ(got.back(), total - 1);
    EXPECT_EQ(block.gaps, (std::vector<std::uint64_t>{0}));
}

TEST(SampleReader, ReservedBlockIsNeverOverwritten) {
    Ring ring(0.0);
    Write(ring, 0, kMinSamples16 - 100, 2);
    Block block;
    ASSERT_EQ(Take(ring, 1000, block), Status::Ready);
    // While the block is out, what does not fit is the newest, and it is dropped and counted.
    Write(ring, kMinSamples16 - 100, 2000, 2);
    EXPECT_EQ(ring.Snapshot().overflow, 2000u);
    const std::vector<std::uint64_t> got = ring.Numbers(block);
    for (std::uint64_t k = 0; k < got.size(); ++k) ASSERT_EQ(got[k], k);
    ring.Finish(block.samples);
    Write(ring, kMinSamples16 + 1900, 10, 2);
    ASSERT_EQ(Take(ring, kMinSamples16 - 1100 + 10, block), Status::Ready);
    EXPECT_EQ(block.gaps, (std::vector<std::uint64_t>{kMinSamples16 - 1100}));
    ring.Finish(block.samples);
}

TEST(SampleReader, GrowsWhileABlockIsOutAndKeepsTheBlockIntact) {
    Ring ring(1.0);
    ring.SetSampleRate(4e6); // room for 16 MB: it starts smaller
    std::uint64_t k = 0;
    for (; k < 500'000; k += 1000) Write(ring, k, 1000, 2);
    Block block;
    ASSERT_EQ(Take(ring, 400'000, block), Status::Ready);
    const std::uint64_t before = ring.Snapshot().capacityBytes;
    for (; k < 3'000'000; k += 1000) Write(ring, k, 1000, 2); // the reader is slow
    const Vita49SampleReader::Counters c = ring.Snapshot();
    EXPECT_GT(c.capacityBytes, before);
    EXPECT_EQ(c.overflow, 0u);
    const std::vector<std::uint64_t> got = ring.Numbers(block); // still the old buffer's bytes
    ring.Finish(block.samples);
    for (std::uint64_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], i);
    ASSERT_EQ(Take(ring, 10, block), Status::Ready);
    EXPECT_EQ(ring.Numbers(block).front(), 400'000u);
    ring.Finish(block.samples);
}

TEST(SampleReader, GrowsWithTheReadersLagUpToTheBufferTimeAndForALargerRead) {
    Ring ring(1.0);
    ring.SetSampleRate(1.5e6); // at most one second: 1.5 million samples
    std::uint64_t k = 0;
    Write(ring, k, 10, 2);
    k += 10;
    EXPECT_LT(ring.Snapshot().capacityBytes, 1.5e6 * 4); // a reader that keeps up needs less
    for (; k < 2'000'000; k += 4000) Write(ring, k, 4000, 2);
    Vita49SampleReader::Counters c = ring.Snapshot();
    EXPECT_GE(c.capacityBytes, 1.5e6 * 4);
    EXPECT_LT(c.capacityBytes, 1.5e6 * 4 + 1024);
    EXPECT_EQ(c.buffered + c.overflow, k);
    EXPECT_GE(c.buffered, 1'499'000u);

    // A read larger than that waits while the buffer grows to hold it.
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (std::uint64_t n = k; !done.load(); n += 4000) Write(ring, n, 4000, 2);
    });
    Block block;
    const std::size_t large = 2'000'000;
    ASSERT_EQ(ring.Take(large, Clock::now() + std::chrono::seconds(20), block), Status::Ready);
    const std::vector<std::uint64_t> got = ring.Numbers(block);
    ring.Finish(block.samples);
    done.store(true);
    writer.join();
    ASSERT_EQ(got.size(), large);
    std::size_t g = 0;
    for (std::size_t i = 1; i < got.size(); ++i) {
        while (g < block.gaps.size() && block.gaps[g] < i) ++g;
        if (got[i] != got[i - 1] + 1) {
            ASSERT_TRUE(g < block.gaps.size() && block.gaps[g] == i) << "unreported discontinuity at " << i;
        }
    }
}

TEST(SampleReader, CloseAndFailEndAWaitingRead) {
    Ring ring(1.0);
    Block block;
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ring.Fail();
    });
    EXPECT_EQ(ring.Take(10, Clock::now() + std::chrono::seconds(20), block), Status::Failed);
    closer.join();
    ring.Close();
    EXPECT_EQ(Take(ring, 10, block, 1000), Status::Closed);
    ring.Reset();
    Write(ring, 0, 10, 2);
    EXPECT_EQ(Take(ring, 10, block), Status::Ready);
    ring.Finish(block.samples);
}

// A writer at full speed with format changes and losses, a reader of uneven blocks that
// sometimes falls behind, a buffer growing meanwhile: every sample read is the one after its
// predecessor unless a gap is reported exactly there, and written = read + dropped + buffered.
TEST(SampleReader, WriterAndReaderRacingAccountForEverySample) {
    Ring ring(0.5);
    ring.SetSampleRate(4e6); // it grows, also while blocks are out, and overflows at its limit
    constexpr std::uint64_t kTotal = 2'500'000;
    std::atomic<bool> written{false};
    std::thread writer([&] {
        std::uint64_t k = 0;
        unsigned packet = 0;
        while (k < kTotal) {
            const unsigned item = (packet / 300) % 2 == 0 ? 2 : 4;
            const bool lose = packet % 97 == 0 && packet > 0;
            if (lose) k += 500; // a lost packet
            Write(ring, k, 2048, item, lose);
            k += 2048;
            ++packet;
        }
        written.store(true);
    });
    std::uint64_t read = 0, previous = 0, discontinuities = 0;
    bool first = true;
    std::size_t size = 1;
    for (;;) {
        Block block;
        size = size * 7 % 250'000 + 1;
        const bool done = written.load();
        const auto r = ring.Take(size, Clock::now() + std::chrono::milliseconds(100), block);
        if (r == Status::TimedOut) {
            if (done) break; // what is left is less than one read
            continue;
        }
        ASSERT_EQ(r, Status::Ready);
        const std::vector<std::uint64_t> got = ring.Numbers(block);
        ring.Finish(block.samples);
        std::size_t g = 0;
        for (std::size_t i = 0; i < got.size(); ++i) {
            const bool gap = g < block.gaps.size() && block.gaps[g] == i;
            if (gap) ++g;
            if (!first && got[i] != previous + 1) {
                ASSERT_TRUE(gap) << "sample " << got[i] << " after " << previous << " without a gap";
                ++discontinuities;
            }
            ASSERT_TRUE(first || got[i] > previous);
            previous = got[i];
            first = false;
        }
        ASSERT_EQ(g, block.gaps.size());
        read += got.size();
        if (size % 3 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2)); // fall behind now and then
    }
    writer.join();
    const Vita49SampleReader::Counters c = ring.Snapshot();
    EXPECT_EQ(c.received, read + c.overflow + c.buffered);
    EXPECT_GT(discontinuities, 0u);
}

// A reader that takes what is there up to the next gap (as a streaming API's read does) learns
// the time of each read's first sample: the packet's own, or extrapolated at the sample rate
// from the latest timed packet, never across a gap.
TEST(SampleReader, ReadsLearnTheTimeOfTheirFirstSampleNeverAcrossAGap) {
    Ring ring(1.0);
    ring.SetSampleRate(1e6);
    ring.Write(Samples(0, 1000, 2), 2, false, 100, 999'999'000'000ULL, true);
    ring.Write(Samples(1000, 1000, 2), 2, false);
    ring.Write(Samples(3000, 1000, 4), 4, true); // a packet lost before this untimed one
    ring.Write(Samples(4000, 1000, 2), 2, false, 102, 0, true);

    struct Expected {
        std::size_t maximum, samples;
        std::uint64_t first;
        bool timed;
        std::uint32_t seconds;
        std::uint64_t picoseconds;
        std::vector<std::uint64_t> gaps;
        std::size_t consume;
    };
    const std::vector<Expected> reads = {
        {500, 500, 0, true, 100, 999'999'000'000ULL, {}, 500},
        {1000, 1000, 500, true, 101, 499'000'000ULL, {}, 1000},    // 500 us later, over the second
        {100000, 2500, 1500, true, 101, 1'499'000'000ULL, {500}, 500}, // stops at the gap
        {100000, 2000, 3000, false, 0, 0, {0}, 1000},                  // after the gap: no time
        {100000, 1000, 4000, true, 102, 0, {}, 1000},
    };
    for (const Expected& e : reads) {
        Block block;
        ASSERT_EQ(ring.reader().Take(1, e.maximum, Clock::now(), block), Status::Ready);
        EXPECT_EQ(block.samples, e.samples);
        EXPECT_EQ(block.gaps, e.gaps);
        EXPECT_EQ(block.timeValid, e.timed) << "read at " << e.first;
        if (e.timed) {
            EXPECT_EQ(block.seconds, e.seconds);
            EXPECT_EQ(block.picoseconds, e.picoseconds);
        }
        EXPECT_EQ(block.sampleRateHz, 1e6);
        EXPECT_EQ(ring.Numbers(block).front(), e.first);
        ring.Finish(e.consume);
    }
    EXPECT_EQ(ring.Snapshot().buffered, 0u);
}

// CF32 is scaled so that full scale of either item size is 1; CS16 cannot hold 32-bit items.
TEST(SampleReader, ReadConvertsToScaledFloatsAndRefusesNarrowingWideItems) {
    Ring ring(1.0);
    ring.Write({0x80, 0x00, 0x40, 0x00}, 2, false);
    ring.Write({0x80, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00}, 4, false);
    Block block;
    std::int16_t narrow[4] = {};
    EXPECT_EQ(ring.reader().Read(Vita49SampleReader::CS16, 2, Clock::now(), narrow, block), Status::Failed);
    EXPECT_EQ(ring.Snapshot().buffered, 2u); // nothing taken
    float iq[4] = {};
    ASSERT_EQ(ring.reader().Read(Vita49SampleReader::CF32, 2, Clock::now(), iq, block), Status::Ready);
    EXPECT_EQ(iq[0], -1.0f);
    EXPECT_EQ(iq[1], 0.5f);
    EXPECT_EQ(iq[2], -1.0f);
    EXPECT_EQ(iq[3], -0.5f);
    EXPECT_TRUE(block.wide);
    EXPECT_EQ(ring.Snapshot().buffered, 0u);
}

} // namespace
