// The sample buffer behind Receiver.read: every sample numbered, so that what comes out can be
// checked sample by sample against what went in, across wrap-around, format changes, drops
// and a writer thread racing the reader.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "SampleRing.h"

namespace vita49::python {
namespace {

using Clock = SampleRing::Clock;

// Sample k as the wire carries it: 16-bit items I = low half, Q = high half of k; 32-bit
// items I = k, Q = ~k. Big-endian.
std::vector<std::uint8_t> Samples(std::uint64_t first, std::size_t count, unsigned itemBytes) {
    std::vector<std::uint8_t> out(count * 2 * itemBytes);
    std::uint8_t* p = out.data();
    for (std::uint64_t k = first; k < first + count; ++k) {
        const std::uint32_t i = itemBytes == 2 ? static_cast<std::uint32_t>(k & 0xFFFF) : static_cast<std::uint32_t>(k);
        const std::uint32_t q = itemBytes == 2 ? static_cast<std::uint32_t>((k >> 16) & 0xFFFF) : ~static_cast<std::uint32_t>(k);
        for (std::uint32_t v : {i, q})
            for (unsigned b = itemBytes; b-- > 0;) *p++ = static_cast<std::uint8_t>(v >> (8 * b));
    }
    return out;
}

std::uint32_t Be(const std::uint8_t* p, unsigned n) {
    std::uint32_t v = 0;
    for (unsigned b = 0; b < n; ++b) v = (v << 8) | p[b];
    return v;
}

// The sample numbers inside a block.
std::vector<std::uint64_t> Numbers(const SampleRing::Block& block) {
    std::vector<std::uint64_t> out;
    for (const SampleRing::Span& s : block.spans) {
        const unsigned item = s.sampleBytes / 2;
        for (std::size_t j = 0; j < s.samples; ++j) {
            const std::uint8_t* p = s.bytes + j * s.sampleBytes;
            const std::uint32_t i = Be(p, item), q = Be(p + item, item);
            if (item == 2) {
                out.push_back(i | (std::uint64_t{q} << 16));
            } else {
                EXPECT_EQ(q, ~i);
                out.push_back(i);
            }
        }
    }
    return out;
}

void Write(SampleRing& ring, std::uint64_t first, std::size_t count, unsigned itemBytes, bool gap = false) {
    const std::vector<std::uint8_t> bytes = Samples(first, count, itemBytes);
    ring.Write(bytes.data(), bytes.size(), itemBytes, gap);
}

SampleRing::TakeResult Take(SampleRing& ring, std::size_t n, SampleRing::Block& block, int waitMs = 0) {
    return ring.Take(n, Clock::now() + std::chrono::milliseconds(waitMs), block);
}

constexpr std::size_t kMinSamples16 = SampleRing::kMinimumBytes / 4;

TEST(SampleRing, ShortReadTimesOutAndKeepsEverythingForTheNext) {
    SampleRing ring(1.0);
    Write(ring, 0, 1000, 2);
    SampleRing::Block block;
    ASSERT_EQ(Take(ring, 1500, block, 20), SampleRing::TakeResult::TimedOut);
    Write(ring, 1000, 500, 2);
    ASSERT_EQ(Take(ring, 1500, block), SampleRing::TakeResult::Ready);
    const std::vector<std::uint64_t> got = Numbers(block);
    ring.Finish(true);
    ASSERT_EQ(got.size(), 1500u);
    for (std::uint64_t k = 0; k < got.size(); ++k) ASSERT_EQ(got[k], k);
    EXPECT_TRUE(block.gaps.empty());
    EXPECT_EQ(ring.Snapshot().buffered, 0u);
}

TEST(SampleRing, UncommittedBlockStaysAndCommittedOneGoes) {
    SampleRing ring(1.0);
    Write(ring, 0, 100, 2);
    SampleRing::Block block;
    ASSERT_EQ(Take(ring, 60, block), SampleRing::TakeResult::Ready);
    ring.Finish(false);
    ASSERT_EQ(Take(ring, 60, block), SampleRing::TakeResult::Ready);
    EXPECT_EQ(Numbers(block).front(), 0u);
    ring.Finish(true);
    ASSERT_EQ(Take(ring, 40, block), SampleRing::TakeResult::Ready);
    EXPECT_EQ(Numbers(block).front(), 60u);
    ring.Finish(true);
}

TEST(SampleRing, GapsAreReportedWhereTheyFallInEachBlock) {
    SampleRing ring(1.0);
    Write(ring, 0, 10, 2);
    Write(ring, 20, 10, 2, /*gap=*/true); // 10 samples lost before these
    ring.MarkGap();                       // and a packet of unknown format
    Write(ring, 40, 10, 2);
    SampleRing::Block block;
    ASSERT_EQ(Take(ring, 15, block), SampleRing::TakeResult::Ready);
    EXPECT_EQ(block.gaps, (std::vector<std::uint64_t>{10}));
    ring.Finish(true);
    ASSERT_EQ(Take(ring, 15, block), SampleRing::TakeResult::Ready);
    EXPECT_EQ(block.gaps, (std::vector<std::uint64_t>{5}));
    const std::vector<std::uint64_t> got = Numbers(block);
    EXPECT_EQ(got[4], 29u);
    EXPECT_EQ(got[5], 40u);
    ring.Finish(true);
}

TEST(SampleRing, FormatChangesKeepEverySampleAcrossWrapAround) {
    SampleRing ring(0.0);
    // Fill and drain in turns with alternating item sizes and odd counts, so that segments
    // start at every alignment and wrap around the end many times.
    std::uint64_t next = 0, expected = 0;
    for (int round = 0; round < 60; ++round) {
        const unsigned item = round % 3 == 0 ? 4 : 2;
        const std::size_t count = 20001 + 7 * static_cast<std::size_t>(round);
        Write(ring, next, count, item);
        next += count;
        SampleRing::Block block;
        const std::size_t take = count - 5 + (round % 2) * 3;
        ASSERT_EQ(Take(ring, take, block), SampleRing::TakeResult::Ready);
        const std::vector<std::uint64_t> got = Numbers(block);
        ring.Finish(true);
        for (std::uint64_t k : got) ASSERT_EQ(k, expected++);
    }
    EXPECT_EQ(ring.Snapshot().overflow, 0u);
}

TEST(SampleRing, OverflowDropsTheOldestCountsThemAndMarksTheGap) {
    SampleRing ring(0.0); // the smallest buffer
    const std::size_t total = (kMinSamples16 / 1000 + 5) * 1000;
    for (std::uint64_t k = 0; k < total; k += 1000) Write(ring, k, 1000, 2);
    const SampleRing::Counters c = ring.Snapshot();
    EXPECT_EQ(c.received, total);
    EXPECT_EQ(c.overflow + c.buffered, total);
    EXPECT_GT(c.overflow, 0u);
    SampleRing::Block block;
    ASSERT_EQ(Take(ring, c.buffered, block), SampleRing::TakeResult::Ready);
    const std::vector<std::uint64_t> got = Numbers(block);
    ring.Finish(true);
    EXPECT_EQ(got.front(), c.overflow); // the oldest went, the newest stayed
    EXPECT_EQ(got.back(), total - 1);
    EXPECT_EQ(block.gaps, (std::vector<std::uint64_t>{0}));
}

TEST(SampleRing, ReservedBlockIsNeverOverwritten) {
    SampleRing ring(0.0);
    Write(ring, 0, kMinSamples16 - 100, 2);
    SampleRing::Block block;
    ASSERT_EQ(Take(ring, 1000, block), SampleRing::TakeResult::Ready);
    // While the block is out, what does not fit is the newest, and it is dropped and counted.
    Write(ring, kMinSamples16 - 100, 2000, 2);
    EXPECT_EQ(ring.Snapshot().overflow, 2000u);
    const std::vector<std::uint64_t> got = Numbers(block);
    for (std::uint64_t k = 0; k < got.size(); ++k) ASSERT_EQ(got[k], k);
    ring.Finish(true);
    Write(ring, kMinSamples16 + 1900, 10, 2);
    ASSERT_EQ(Take(ring, kMinSamples16 - 1100 + 10, block), SampleRing::TakeResult::Ready);
    EXPECT_EQ(block.gaps, (std::vector<std::uint64_t>{kMinSamples16 - 1100}));
    ring.Finish(true);
}

TEST(SampleRing, GrowsWhileABlockIsOutAndKeepsTheBlockIntact) {
    SampleRing ring(1.0);
    ring.SetSampleRate(4e6); // room for 16 MB: it starts smaller
    std::uint64_t k = 0;
    for (; k < 500'000; k += 1000) Write(ring, k, 1000, 2);
    SampleRing::Block block;
    ASSERT_EQ(Take(ring, 400'000, block), SampleRing::TakeResult::Ready);
    const std::uint64_t before = ring.Snapshot().capacityBytes;
    for (; k < 3'000'000; k += 1000) Write(ring, k, 1000, 2); // the reader is slow
    const SampleRing::Counters c = ring.Snapshot();
    EXPECT_GT(c.capacityBytes, before);
    EXPECT_EQ(c.overflow, 0u);
    const std::vector<std::uint64_t> got = Numbers(block); // still the old buffer's bytes
    ring.Finish(true);
    for (std::uint64_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], i);
    ASSERT_EQ(Take(ring, 10, block), SampleRing::TakeResult::Ready);
    EXPECT_EQ(Numbers(block).front(), 400'000u);
    ring.Finish(true);
}

TEST(SampleRing, GrowsWithTheReadersLagUpToTheBufferTimeAndForALargerRead) {
    SampleRing ring(1.0);
    ring.SetSampleRate(1.5e6); // at most one second: 1.5 million samples
    std::uint64_t k = 0;
    Write(ring, k, 10, 2);
    k += 10;
    EXPECT_LT(ring.Snapshot().capacityBytes, 1.5e6 * 4); // a reader that keeps up needs less
    for (; k < 2'000'000; k += 4000) Write(ring, k, 4000, 2);
    SampleRing::Counters c = ring.Snapshot();
    EXPECT_GE(c.capacityBytes, 1.5e6 * 4);
    EXPECT_LT(c.capacityBytes, 1.5e6 * 4 + 1024);
    EXPECT_EQ(c.buffered + c.overflow, k);
    EXPECT_GE(c.buffered, 1'499'000u);

    // A read larger than that waits while the buffer grows to hold it.
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (std::uint64_t n = k; !done.load(); n += 4000) Write(ring, n, 4000, 2);
    });
    SampleRing::Block block;
    const std::size_t large = 2'000'000;
    ASSERT_EQ(ring.Take(large, Clock::now() + std::chrono::seconds(20), block), SampleRing::TakeResult::Ready);
    const std::vector<std::uint64_t> got = Numbers(block);
    ring.Finish(true);
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

TEST(SampleRing, CloseAndFailEndAWaitingRead) {
    SampleRing ring(1.0);
    SampleRing::Block block;
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ring.Fail();
    });
    EXPECT_EQ(ring.Take(10, Clock::now() + std::chrono::seconds(20), block), SampleRing::TakeResult::Failed);
    closer.join();
    ring.Close();
    EXPECT_EQ(Take(ring, 10, block, 1000), SampleRing::TakeResult::Closed);
    ring.Reset();
    Write(ring, 0, 10, 2);
    EXPECT_EQ(Take(ring, 10, block), SampleRing::TakeResult::Ready);
    ring.Finish(true);
}

// A writer at full speed with format changes and losses, a reader of uneven blocks that
// sometimes falls behind, a buffer growing meanwhile: every sample read is the one after its
// predecessor unless a gap is reported exactly there, and written = read + dropped + buffered.
TEST(SampleRing, WriterAndReaderRacingAccountForEverySample) {
    SampleRing ring(0.5);
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
        SampleRing::Block block;
        size = size * 7 % 250'000 + 1;
        const bool done = written.load();
        const auto r = ring.Take(size, Clock::now() + std::chrono::milliseconds(100), block);
        if (r == SampleRing::TakeResult::TimedOut) {
            if (done) break; // what is left is less than one read
            continue;
        }
        ASSERT_EQ(r, SampleRing::TakeResult::Ready);
        const std::vector<std::uint64_t> got = Numbers(block);
        ring.Finish(true);
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
    const SampleRing::Counters c = ring.Snapshot();
    EXPECT_EQ(c.received, read + c.overflow + c.buffered);
    EXPECT_GT(discontinuities, 0u);
}

} // namespace
} // namespace vita49::python
