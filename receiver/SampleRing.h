#pragma once

// The sample buffer behind Vita49SampleReader, between a receive thread and a reader. The receive thread
// appends the IQ payload of every data packet as it arrived (big-endian I/Q items of 16 or 32
// bits); the reader takes exact counts of samples and converts them outside the lock. When the
// reader falls behind, the oldest samples are dropped and counted; every discontinuity (lost
// packets, dropped samples) is remembered as the index of the first sample after it.
//
// One writer thread, one reader at a time. One mutex guards the positions; the bytes are
// copied in under it (one payload at a time) and out without it: a block handed to the reader
// stays reserved, and the writer never overwrites a reserved block (nor frees it when the
// buffer grows meanwhile), so the two copies never touch the same bytes.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace vita49 {

class SampleRing {
public:
    using Clock = std::chrono::steady_clock;

    // Contiguous samples of one format inside the buffer.
    struct Span {
        const std::uint8_t* bytes;
        std::size_t samples;
        unsigned sampleBytes; // 4: I16Q16, 8: I32Q32
    };
    // The time of one sample: UTC seconds and picoseconds.
    struct Stamp {
        bool valid = false;
        std::uint32_t seconds = 0;
        std::uint64_t picoseconds = 0;
    };
    // A block reserved for the reader: the samples in order, and where gaps lie in it.
    struct Block {
        std::vector<Span> spans;
        std::vector<std::uint64_t> gaps; // indices into the block, ascending
        bool wide = false;               // some samples are I32Q32
        std::size_t samples = 0;
        std::uint64_t firstSample = 0;   // since Reset
        Stamp time;                      // of the first sample
        double sampleRate = 0;
    };
    enum class TakeResult { Ready, TimedOut, Closed, Failed };

    struct Counters {
        std::uint64_t received = 0;   // samples written: read, dropped or buffered
        std::uint64_t overflow = 0;   // samples dropped for want of room
        std::uint64_t buffered = 0;   // samples waiting to be read
        std::uint64_t capacityBytes = 0;
        bool allocationFailed = false; // a larger buffer could not be had; the old one is used
    };

    // Room for up to `bufferSeconds` of the stream at its sample rate beside the read waiting
    // or being copied out, at least kMinimumBytes: it starts at a sixteenth of that and doubles
    // whenever the reader lets it fill beyond half, so that a reader that keeps up keeps it small.
    explicit SampleRing(double bufferSeconds);

    static constexpr std::size_t kMinimumBytes = std::size_t{1} << 22;

    // --- Writer side (the receive thread, or the thread pushing into a decoder).
    void SetSampleRate(double samplesPerSecond);
    // Appends whole samples of `itemBytes` (2 or 4) per component; a trailing part of a sample
    // is ignored. `gapBefore`: the first of them follows a discontinuity. `stamp`: the time of
    // the first of them, when the packet carried one.
    void Write(const std::uint8_t* samples, std::size_t bytes, unsigned itemBytes, bool gapBefore,
               const Stamp& stamp);
    // Samples were lost before whatever comes next.
    void MarkGap();
    // The stream ended: a read that cannot be satisfied any more returns Failed.
    void Fail();

    // --- Either side, while no write runs concurrently (open and close).
    // Empties the buffer and clears the counters, keeping its memory; waits for a reserved
    // block to be finished first.
    void Reset();
    // Wakes a waiting read, which returns Closed; reads return Closed until Reset.
    void Close();

    // --- Reader side, one at a time.
    // Waits until `minimum` samples are buffered (Ready: `block` describes up to `maximum` of
    // them, reserved until Finish), or until `until` (TimedOut), Close (Closed) or Fail
    // (Failed). Nothing is taken unless Ready.
    TakeResult Take(std::size_t minimum, std::size_t maximum, Clock::time_point until, Block& block);
    // Ends the reservation: the block's first `consumed` samples leave the buffer; the rest
    // stay for the next read.
    void Finish(std::size_t consumed);

    Counters Snapshot() const;

private:
    struct Segment {
        std::uint64_t firstSample;
        std::uint64_t firstByte; // absolute position, a multiple of 8
        unsigned sampleBytes;
    };

    std::uint64_t Buffered() const { return headSample_ - tailSample_; }
    std::uint64_t SegmentEnd(std::size_t i) const {
        return i + 1 < segments_.size() ? segments_[i + 1].firstSample : headSample_;
    }
    std::uint64_t FreeBytes() const { return capacity_ - (headByte_ - tailByte_); }
    // Room for `bufferSeconds` at the sample rate, plus the read waiting or being copied out.
    std::size_t LimitBytes(unsigned sampleBytes) const;
    // What the buffer should hold before `incoming` more bytes go in.
    std::size_t TargetBytes(std::size_t incoming, unsigned sampleBytes) const;
    void Grow(std::size_t bytes);
    void AdvanceTail(std::uint64_t samples);
    void AddGap(std::uint64_t index);
    void CopyIn(const std::uint8_t* from, std::size_t bytes);
    // Take's steps: the wait for `minimum` samples, the time of the oldest buffered sample, and
    // the spans and gaps of the first `samples` of them.
    TakeResult WaitForSamples(std::unique_lock<std::mutex>& lock, std::size_t minimum, Clock::time_point until);
    Stamp TimeOfTail();
    void DescribeSamples(std::size_t samples, Block& block) const;

    const double bufferSeconds_;
    mutable std::mutex mutex_;
    std::condition_variable readable_;
    std::condition_variable released_;

    struct Free {
        void operator()(std::uint8_t* p) const;
    };
    std::unique_ptr<std::uint8_t[], Free> buffer_;
    std::vector<std::unique_ptr<std::uint8_t[], Free>> retired_; // outgrown while a block was out
    std::size_t capacity_ = 0; // bytes, a multiple of 8
    std::size_t failedSize_ = 0;
    double sampleRate_ = 0;

    // Absolute positions since Reset; the buffer holds [tail, head).
    std::uint64_t headSample_ = 0, tailSample_ = 0;
    std::uint64_t headByte_ = 0, tailByte_ = 0;
    std::deque<Segment> segments_;
    std::deque<std::uint64_t> gaps_; // absolute sample indices, ascending
    // Packet times by absolute sample index, ascending; the front one is at or before the
    // tail. An invalid entry follows a gap that came without a time: nothing before it may be
    // extrapolated across the gap.
    struct TimedSample {
        std::uint64_t sample;
        Stamp stamp;
    };
    std::deque<TimedSample> stamps_;
    bool pendingGap_ = false;

    std::uint64_t received_ = 0, overflow_ = 0;
    std::size_t wanted_ = 0; // samples the waiting reader may take (room is made for them)
    std::size_t enough_ = 0; // samples that wake the waiting reader
    bool readerWaiting_ = false;
    bool reserved_ = false;
    std::size_t reservedSamples_ = 0;
    bool closed_ = false, failed_ = false;
};

} // namespace vita49
