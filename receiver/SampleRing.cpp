#include "receiver/SampleRing.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vita49 {
namespace {

constexpr std::uint64_t AlignUp(std::uint64_t value, std::uint64_t to) { return (value + to - 1) / to * to; }

// Not value-initialised: pages are touched only as samples arrive. The first pass over a
// fresh buffer faults in every page, on the receive thread, at the stream's rate; huge pages
// (where the system offers them on request) make that 512 times fewer faults.
std::uint8_t* AllocateBuffer(std::size_t bytes) {
#if defined(__linux__)
    constexpr std::size_t kHugePage = std::size_t{2} << 20;
    void* p = nullptr;
    if (posix_memalign(&p, bytes >= kHugePage ? kHugePage : 64, bytes) != 0) return nullptr;
#if defined(MADV_HUGEPAGE)
    if (bytes >= kHugePage) madvise(p, bytes, MADV_HUGEPAGE); // advice only; no harm if refused
#endif
    return static_cast<std::uint8_t*>(p);
#else
    return static_cast<std::uint8_t*>(std::malloc(bytes));
#endif
}

} // namespace

void SampleRing::Free::operator()(std::uint8_t* p) const { std::free(p); }

SampleRing::SampleRing(double bufferSeconds) : bufferSeconds_(bufferSeconds > 0 ? bufferSeconds : 0) {}

std::size_t SampleRing::LimitBytes(unsigned sampleBytes) const {
    // The read waiting or being copied out comes on top: the stream goes on meanwhile.
    const double forRate = std::ceil(bufferSeconds_ * sampleRate_);
    const double samples = forRate + static_cast<double>(std::max(wanted_, reserved_ ? reservedSamples_ : 0));
    // A few extra samples for the alignment padding between formats.
    const double bytes = (samples + 4) * sampleBytes;
    if (!(bytes < 1e18)) return static_cast<std::size_t>(-1) / 2;
    return static_cast<std::size_t>(AlignUp(std::max<std::uint64_t>(static_cast<std::uint64_t>(bytes), kMinimumBytes), 8));
}

std::size_t SampleRing::TargetBytes(std::size_t incoming, unsigned sampleBytes) const {
    const std::size_t limit = LimitBytes(sampleBytes);
    if (capacity_ == 0) return std::min(limit, std::max(kMinimumBytes, AlignUp(limit / 16, 8)));
    // Twice the room whenever the buffer would be more than half full, up to the limit: a
    // reader that keeps up keeps a small buffer warm in the caches, and only a lagging one
    // costs memory (and the first touch of every new page).
    const std::uint64_t used = headByte_ - tailByte_ + incoming + 8;
    std::size_t target = capacity_;
    while (target < limit && used > target / 2) target = std::min(limit, target * 2);
    if (wanted_ > 0) target = std::max(target, std::min(limit, AlignUp((wanted_ + 4) * sampleBytes, 8)));
    return target;
}

void SampleRing::Grow(std::size_t bytes) {
    if (bytes <= capacity_ || bytes == failedSize_) return;
    std::unique_ptr<std::uint8_t[], Free> grown(AllocateBuffer(bytes));
    if (!grown) {
        failedSize_ = bytes;
        return;
    }
    // Positions are absolute, so each byte keeps its position modulo the new size; both sizes
    // are multiples of 8, so no sample straddles the end.
    for (std::uint64_t at = tailByte_; at < headByte_;) {
        const std::size_t from = static_cast<std::size_t>(at % capacity_);
        const std::size_t to = static_cast<std::size_t>(at % bytes);
        const std::size_t n = static_cast<std::size_t>(
            std::min<std::uint64_t>({headByte_ - at, capacity_ - from, bytes - to}));
        std::memcpy(grown.get() + to, buffer_.get() + from, n);
        at += n;
    }
    // A block out with the reader points into the old buffer: it is kept until Finish.
    if (reserved_) retired_.push_back(std::move(buffer_));
    buffer_ = std::move(grown);
    capacity_ = bytes;
}

void SampleRing::AdvanceTail(std::uint64_t samples) {
    while (samples > 0 && !segments_.empty()) {
        const Segment& s = segments_.front();
        const std::uint64_t left = SegmentEnd(0) - tailSample_;
        const std::uint64_t k = std::min(left, samples);
        tailSample_ += k;
        tailByte_ += k * s.sampleBytes;
        samples -= k;
        if (k == left) {
            if (segments_.size() == 1) break;
            segments_.pop_front();
            tailByte_ = segments_.front().firstByte; // over the alignment padding
        }
    }
    while (!gaps_.empty() && gaps_.front() < tailSample_) gaps_.pop_front();
    while (stamps_.size() > 1 && stamps_[1].sample <= tailSample_) stamps_.pop_front();
}

void SampleRing::AddGap(std::uint64_t index) {
    // Gaps arrive at the head (after all others) or at the tail (before all that remain).
    if (!gaps_.empty() && index < gaps_.front())
        gaps_.push_front(index);
    else if (gaps_.empty() || gaps_.back() < index)
        gaps_.push_back(index);
}

void SampleRing::CopyIn(const std::uint8_t* from, std::size_t bytes) {
    const std::size_t at = static_cast<std::size_t>(headByte_ % capacity_);
    const std::size_t first = std::min(bytes, capacity_ - at);
    std::memcpy(buffer_.get() + at, from, first);
    if (first < bytes) std::memcpy(buffer_.get(), from + first, bytes - first);
}

void SampleRing::SetSampleRate(double samplesPerSecond) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (samplesPerSecond > 0 && std::isfinite(samplesPerSecond)) sampleRate_ = samplesPerSecond;
}

void SampleRing::MarkGap() {
    std::lock_guard<std::mutex> lock(mutex_);
    pendingGap_ = true;
}

void SampleRing::Write(const std::uint8_t* samples, std::size_t bytes, unsigned itemBytes, bool gapBefore,
                       const Stamp& stamp) {
    const unsigned sampleBytes = 2 * itemBytes;
    const std::size_t count = bytes / sampleBytes;
    bool notify = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (gapBefore) pendingGap_ = true;
        if (count == 0) return;
        Grow(TargetBytes(count * sampleBytes, sampleBytes));
        const bool newSegment = segments_.empty() || segments_.back().sampleBytes != sampleBytes;
        const std::uint64_t start = newSegment ? AlignUp(headByte_, 8) : headByte_;
        const std::uint64_t need = (start - headByte_) + count * sampleBytes;
        if (need > capacity_) { // only if even the smallest buffer could not be had
            received_ += count;
            overflow_ += count;
            pendingGap_ = true;
            return;
        }
        if (FreeBytes() < need) {
            if (reserved_) {
                // The oldest samples are being copied out: these newest ones cannot go in.
                received_ += count;
                overflow_ += count;
                pendingGap_ = true;
                return;
            }
            const std::uint64_t before = tailSample_;
            while (FreeBytes() < need && Buffered() > 0) {
                const unsigned oldest = segments_.front().sampleBytes;
                const std::uint64_t short_ = need - FreeBytes();
                AdvanceTail(std::min<std::uint64_t>(Buffered(), (short_ + oldest - 1) / oldest));
            }
            if (Buffered() == 0) tailByte_ = headByte_;
            overflow_ += tailSample_ - before;
            AddGap(tailSample_);
        }
        if (newSegment) {
            headByte_ = start;
            if (Buffered() == 0) tailByte_ = start;
            segments_.push_back({headSample_, start, sampleBytes});
            // A segment read or dropped to its end goes at once.
            while (segments_.size() > 1 && SegmentEnd(0) == tailSample_) segments_.pop_front();
        }
        if (stamp.valid || pendingGap_) {
            if (!stamps_.empty() && stamps_.back().sample == headSample_) stamps_.pop_back();
            stamps_.push_back({headSample_, stamp});
        }
        if (pendingGap_) {
            AddGap(headSample_);
            pendingGap_ = false;
        }
        CopyIn(samples, count * sampleBytes);
        headByte_ += count * sampleBytes;
        headSample_ += count;
        received_ += count;
        notify = readerWaiting_ && Buffered() >= enough_;
    }
    if (notify) readable_.notify_one();
}

void SampleRing::Fail() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        failed_ = true;
    }
    readable_.notify_all();
}

void SampleRing::Close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    readable_.notify_all();
}

void SampleRing::Reset() {
    std::unique_lock<std::mutex> lock(mutex_);
    released_.wait(lock, [&] { return !reserved_; });
    headSample_ = tailSample_ = headByte_ = tailByte_ = 0;
    segments_.clear();
    gaps_.clear();
    stamps_.clear();
    pendingGap_ = false;
    received_ = overflow_ = 0;
    sampleRate_ = 0;
    failedSize_ = 0;
    closed_ = failed_ = false;
}

SampleRing::TakeResult SampleRing::WaitForSamples(std::unique_lock<std::mutex>& lock, std::size_t minimum,
                                                  Clock::time_point until) {
    while (Buffered() < minimum) {
        if (closed_) return TakeResult::Closed;
        if (failed_) return TakeResult::Failed;
        if (readable_.wait_until(lock, until) == std::cv_status::timeout && Buffered() < minimum)
            return closed_ ? TakeResult::Closed : failed_ ? TakeResult::Failed : TakeResult::TimedOut;
    }
    return TakeResult::Ready;
}

SampleRing::Stamp SampleRing::TimeOfTail() {
    while (stamps_.size() > 1 && stamps_[1].sample <= tailSample_) stamps_.pop_front();
    if (stamps_.empty() || stamps_.front().sample > tailSample_ || !stamps_.front().stamp.valid) return Stamp{};
    // Samples after the stamped one follow it at the sample rate: no gap lies between them,
    // since a gap without a time of its own leaves an invalid entry.
    const TimedSample& t = stamps_.front();
    const std::uint64_t after = tailSample_ - t.sample;
    if (after == 0) return t.stamp;
    if (sampleRate_ <= 0) return Stamp{};
    const double seconds = static_cast<double>(after) / sampleRate_;
    const double whole = std::floor(seconds);
    std::uint64_t ps = t.stamp.picoseconds + static_cast<std::uint64_t>(std::llround((seconds - whole) * 1e12));
    std::uint64_t s = t.stamp.seconds + static_cast<std::uint64_t>(whole);
    s += ps / 1'000'000'000'000ULL;
    ps %= 1'000'000'000'000ULL;
    return Stamp{s <= 0xFFFFFFFFULL, static_cast<std::uint32_t>(s), ps};
}

void SampleRing::DescribeSamples(std::size_t samples, Block& block) const {
    std::uint64_t at = tailSample_;
    const std::uint64_t end = tailSample_ + samples;
    for (std::size_t i = 0; i < segments_.size() && at < end; ++i) {
        const Segment& s = segments_[i];
        const std::uint64_t segmentEnd = std::min(SegmentEnd(i), end);
        if (segmentEnd <= at) continue;
        if (s.sampleBytes == 8) block.wide = true;
        std::uint64_t byte = s.firstByte + (at - s.firstSample) * s.sampleBytes;
        std::uint64_t left = segmentEnd - at;
        while (left > 0) {
            const std::size_t offset = static_cast<std::size_t>(byte % capacity_);
            const std::uint64_t fit = (capacity_ - offset) / s.sampleBytes;
            const std::uint64_t n = std::min(left, fit);
            block.spans.push_back({buffer_.get() + offset, static_cast<std::size_t>(n), s.sampleBytes});
            byte += n * s.sampleBytes;
            left -= n;
        }
        at = segmentEnd;
    }
    for (std::uint64_t g : gaps_) {
        if (g >= end) break;
        block.gaps.push_back(g - tailSample_);
    }
}

SampleRing::TakeResult SampleRing::Take(std::size_t minimum, std::size_t maximum, Clock::time_point until,
                                        Block& block) {
    std::unique_lock<std::mutex> lock(mutex_);
    minimum = std::max<std::size_t>(minimum, 1);
    maximum = std::max(maximum, minimum);
    wanted_ = maximum;
    enough_ = minimum;
    readerWaiting_ = true;
    const TakeResult result = WaitForSamples(lock, minimum, until);
    readerWaiting_ = false;
    wanted_ = enough_ = 0;
    if (result != TakeResult::Ready) return result;

    const std::size_t samples = static_cast<std::size_t>(std::min<std::uint64_t>(Buffered(), maximum));
    block.spans.clear();
    block.gaps.clear();
    block.wide = false;
    block.samples = samples;
    block.firstSample = tailSample_;
    block.sampleRate = sampleRate_;
    block.time = TimeOfTail();
    DescribeSamples(samples, block);
    reserved_ = true;
    reservedSamples_ = samples;
    return TakeResult::Ready;
}

void SampleRing::Finish(std::size_t consumed) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!reserved_) return;
        AdvanceTail(std::min(consumed, reservedSamples_));
        reserved_ = false;
        reservedSamples_ = 0;
        retired_.clear();
    }
    released_.notify_all();
}

SampleRing::Counters SampleRing::Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Counters c;
    c.received = received_;
    c.overflow = overflow_;
    c.buffered = Buffered();
    c.capacityBytes = capacity_;
    c.allocationFailed = failedSize_ != 0;
    return c;
}

} // namespace vita49
