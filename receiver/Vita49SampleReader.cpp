#include "vita49/Vita49SampleReader.h"

#include <algorithm>

#include "receiver/SampleConvert.h"
#include "receiver/SampleRing.h"

class VITA49_LOCAL Vita49SampleReader::Impl {
public:
    explicit Impl(double bufferSeconds) : ring(bufferSeconds) {}

    vita49::SampleRing ring;
    vita49::SampleRing::Block block; // the reserved one, reader side
    bool reserved = false;
    // Writer side: the data packets' loss count at the previous packet.
    std::uint32_t lastLost = 0;
};

Vita49SampleReader::Vita49SampleReader(double bufferSeconds) : impl_(std::make_unique<Impl>(bufferSeconds)) {
    impl_->ring.Close();
}

Vita49SampleReader::~Vita49SampleReader() = default;

void Vita49SampleReader::OnContext(const Vita49_Context& context) {
    if (context.sampleRateValid) impl_->ring.SetSampleRate(context.sampleRateHz);
}

void Vita49SampleReader::OnData(const Vita49_Context& context, const Vita49_Data& data) {
    const unsigned bits = context.dataItemSize;
    // A loss the packet counts show, or one the instrument reports in the trailer.
    const bool gap = data.packetsLost != impl_->lastLost || (data.sampleLossEnabled && data.sampleLoss);
    impl_->lastLost = data.packetsLost;
    if (data.payloadValid && (bits == 16 || bits == 32) && data.packet != nullptr) {
        vita49::SampleRing::Stamp stamp;
        stamp.valid = data.intTimestampValid && data.fracTimestampValid && data.fracTimestamp < 1'000'000'000'000ULL;
        stamp.seconds = data.intTimestamp;
        stamp.picoseconds = data.fracTimestamp;
        impl_->ring.Write(data.packet + data.payloadOffset, data.payloadSize, bits / 8, gap, stamp);
    } else if (gap || data.payloadSize > 0) {
        impl_->ring.MarkGap(); // samples that cannot be read are samples lost
    }
}

void Vita49SampleReader::Fail() { impl_->ring.Fail(); }

void Vita49SampleReader::Reset() {
    impl_->ring.Reset();
    impl_->lastLost = 0;
}

void Vita49SampleReader::Close() { impl_->ring.Close(); }

Vita49SampleReader::Status Vita49SampleReader::Take(std::size_t minimum, std::size_t maximum, Clock::time_point until,
                                                    Block& block) {
    if (impl_->reserved) Finish(0);
    const auto r = impl_->ring.Take(minimum, maximum, until, impl_->block);
    switch (r) {
    case vita49::SampleRing::TakeResult::Ready: break;
    case vita49::SampleRing::TakeResult::TimedOut: return Status::TimedOut;
    case vita49::SampleRing::TakeResult::Closed: return Status::Closed;
    case vita49::SampleRing::TakeResult::Failed: return Status::Failed;
    }
    impl_->reserved = true;
    const vita49::SampleRing::Block& b = impl_->block;
    block.samples = b.samples;
    block.firstSample = b.firstSample;
    block.wide = b.wide;
    block.gaps.assign(b.gaps.begin(), b.gaps.end());
    block.timeValid = b.time.valid;
    block.seconds = b.time.seconds;
    block.picoseconds = b.time.picoseconds;
    block.sampleRateHz = b.sampleRate;
    return Status::Ready;
}

bool Vita49SampleReader::CopyOut(Format format, std::size_t samples, void* target) const {
    if (!impl_->reserved || (format == CS16 && impl_->block.wide) || samples > impl_->block.samples) return false;
    std::size_t done = 0;
    for (const vita49::SampleRing::Span& s : impl_->block.spans) {
        if (done == samples) break;
        const std::size_t n = std::min(s.samples, samples - done);
        void* out = format == CF32   ? static_cast<void*>(static_cast<float*>(target) + 2 * done)
                    : format == CS16 ? static_cast<void*>(static_cast<std::int16_t*>(target) + 2 * done)
                                     : static_cast<void*>(static_cast<std::int32_t*>(target) + 2 * done);
        Convert(s.bytes, n, s.sampleBytes / 2, format, out);
        done += n;
    }
    return true;
}

void Vita49SampleReader::Finish(std::size_t consumed) {
    if (!impl_->reserved) return;
    impl_->reserved = false;
    impl_->ring.Finish(consumed);
}

Vita49SampleReader::Status Vita49SampleReader::Read(Format format, std::size_t samples, Clock::time_point until,
                                                    void* target, Block& block) {
    if (samples == 0) {
        block = Block{};
        return Status::Ready;
    }
    const Status s = Take(samples, samples, until, block);
    if (s != Status::Ready) return s;
    if (!CopyOut(format, samples, target)) {
        Finish(0);
        return Status::Failed;
    }
    Finish(samples);
    return s;
}

Vita49SampleReader::Counters Vita49SampleReader::Snapshot() const {
    const vita49::SampleRing::Counters c = impl_->ring.Snapshot();
    Counters out;
    out.received = c.received;
    out.overflow = c.overflow;
    out.buffered = c.buffered;
    out.capacityBytes = c.capacityBytes;
    out.allocationFailed = c.allocationFailed;
    return out;
}

void Vita49SampleReader::Convert(const std::uint8_t* bigEndian, std::size_t samples, unsigned itemBytes,
                                 Format format, void* target) {
    const std::size_t items = 2 * samples;
    switch (format) {
    case CF32: vita49::ToFloat(bigEndian, items, itemBytes, static_cast<float*>(target)); break;
    case CS16:
        if (itemBytes == 2) vita49::ToInt16(bigEndian, items, static_cast<std::int16_t*>(target));
        break;
    case CS32: vita49::ToInt32(bigEndian, items, itemBytes, static_cast<std::int32_t*>(target)); break;
    }
}
