#include "receiver/StreamDecoder.h"

#include <algorithm>
#include <cstring>

#include "receiver/SigMFSink.h"
#include "vita49/ByteOrder.h"
#include "vita49/ContextFields.h"
#include "vita49/PacketLayout.h"

namespace vita49 {
namespace {

template <class Record>
void Zero(Record& record) {
    std::memset(static_cast<void*>(&record), 0, sizeof record);
}

// The loop takes the packet types that carry a stream identifier (1, 3, 4 and 5).
bool KnownType(std::uint8_t type) { return TypeHasStreamId(type); }

// Trailer indicators counted on their stored values, whatever the enable bits say.
template <class Record>
void CountIndicators(Record& r, Vita49_Info& info) {
    if (!r.validData) ++r.invalidDataPackets;
    if (!r.referenceLock) ++r.unlockedPackets;
    if (r.overRange) ++r.overRangePackets;
    if (r.sampleLoss) {
        ++r.sampleLossPackets;
        ++info.dataErrors;
    }
    if (r.contextCount > 0) ++r.contextCountPackets;
}

// An indicator is taken over only when its enable bit is set; otherwise it keeps its value.
void ApplyIndicator(std::uint32_t trailer, unsigned enableBit, unsigned indicatorBit, bool& enabled, bool& value) {
    const bool on = (trailer >> enableBit) & 1u;
    enabled = on;
    value = on ? ((trailer >> indicatorBit) & 1u) != 0 : value;
}

} // namespace

StreamDecoder::StreamDecoder() {
    Zero(info_);
    Zero(data_);
    Zero(context_);
    Zero(fftData_);
    Zero(fftContext_);
    AddSink<RawSink>();
    wav_ = AddSink<WavSink>();
    AddSink<SigMFSink>();
    active_.reserve(sinks_.size());
}

StreamDecoder::~StreamDecoder() { CloseRecordings(); }

void StreamDecoder::Configure(std::uint32_t streamId, const Vita49_Receiver_Settings& settings, Framing framing,
                              std::int32_t connectionType) {
    streamId_ = streamId;
    settings_ = settings;
    framing_ = framing;
    connectionType_ = connectionType;
}

void StreamDecoder::ResetRecords() {
    Zero(info_);
    Zero(data_);
    Zero(context_);
    Zero(fftData_);
    Zero(fftContext_);
    traces_.ResetSeen();
    held_ = 0;
    foreignScanned_ = 0;
}

void StreamDecoder::StartRun() {
    dataContinuity_ = contextContinuity_ = extDataContinuity_ = extContextContinuity_ = Continuity{};
    resyncing_ = false;
}

void StreamDecoder::OpenRecordings(bool writerThread) {
    errors_.Clear();
    active_.clear();
    writer_.Reset(writerThread);
    const RecordingSetup setup{settings_, sigmfBase_, streamId_, connectionType_};
    for (const auto& sink : sinks_) {
        sink->Open(setup);
        if (sink->Active()) active_.push_back(sink.get());
    }
    writer_.Start();
}

void StreamDecoder::CloseRecordings() {
    writer_.Stop();
    for (const auto& sink : sinks_) sink->Close();
    active_.clear();
}

void StreamDecoder::NotifyInfo() {
    if (callbacks.info) callbacks.info(info_);
}

void StreamDecoder::Commit(std::uint32_t received) {
    received = std::min(received, FreeBytes());
    info_.bytesReceived += received;
    held_ += received;
    if (received > 0) Cut();
}

void StreamDecoder::DropHeld() {
    if (held_ > 0) NotifyInfo();
    held_ = 0;
    foreignScanned_ = 0;
}

void StreamDecoder::OnReceiveTimeout() {
    // A datagram never leaves bytes behind (see CutDatagrams); this only guards that rule.
    if (framing_ == Framing::Datagram) DropHeld();
}

void StreamDecoder::OnDatagramTruncated() {
    NotifyInfo();
    held_ = 0;
    foreignScanned_ = 0;
}

void StreamDecoder::Deliver(const std::uint8_t* bytes, std::size_t count) {
    if (framing_ == Framing::Datagram) {
        if (count > FreeBytes()) {
            OnDatagramTruncated();
            return;
        }
        if (count > 0) std::memcpy(FreeSpace(), bytes, count); // an empty datagram may come without bytes
        Commit(static_cast<std::uint32_t>(count));
        return;
    }
    while (count > 0) {
        const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::size_t>(count, FreeBytes()));
        std::memcpy(FreeSpace(), bytes, n);
        Commit(n);
        bytes += n;
        count -= n;
    }
}

bool StreamDecoder::Plausible(const std::uint8_t* at) const {
    const std::uint32_t bytes = HeaderPacketBytes(at);
    return KnownType(HeaderType(at)) && bytes > 0 && bytes <= kBufferBytes && HeaderStreamIdWord(at) == streamId_;
}

bool StreamDecoder::MayBecomePlausible(const std::uint8_t* at, std::uint32_t count) const {
    if (!KnownType(HeaderType(at))) return false;
    if (count >= kHeaderBytes && (HeaderPacketBytes(at) == 0 || HeaderPacketBytes(at) > kBufferBytes)) return false;
    constexpr std::uint32_t kIdEnd = kStreamIdAt + kStreamIdBytes;
    for (std::uint32_t i = kStreamIdAt; i < count && i < kIdEnd; ++i)
        if (at[i] != static_cast<std::uint8_t>(streamId_ >> (8 * (kIdEnd - 1 - i)))) return false;
    return true;
}

std::uint32_t StreamDecoder::FindPlausible(std::uint32_t from, std::uint32_t end, std::uint32_t limit) const {
    for (std::uint32_t at = from; at < end && at + 8 <= limit; ++at)
        if (Plausible(buffer_ + at)) return at;
    return end;
}

std::uint32_t StreamDecoder::PlainDataPacket(const std::uint8_t* packet, std::uint32_t avail) const {
    if (avail < kMinHeldBytes) return 0;
    const std::uint32_t word = load_be32(packet);
    const std::uint32_t length = kWordBytes * kSizeField.Of(word);
    const bool plain =
        kTypeField.Of(word) == kIfData && length != 0 && length <= avail && HeaderStreamIdWord(packet) == streamId_;
    return plain ? length : 0;
}

void StreamDecoder::KeepTail(std::uint32_t pos) {
    if (pos >= held_) {
        held_ = 0;
    } else if (pos > 0) {
        std::memmove(buffer_, buffer_ + pos, held_ - pos);
        held_ -= pos;
    }
}

void StreamDecoder::Dispatch(std::uint8_t type, std::uint8_t* packet, std::uint32_t length) {
    switch (type) {
        case kIfData:
            HandleData(packet, length);
            break;
        case kIfContext:
            HandleContext(packet, length);
            break;
        case kExtData:
            HandleExtData(packet, length);
            break;
        default:
            HandleExtContext(packet, length);
            break;
    }
}

// Each datagram stands alone: IP has already put its fragments together, so a packet never
// continues in the next datagram. Whatever cannot be cut from it, a packet that runs past its
// end included, is dropped at once with one info callback, and the next datagram starts with
// an empty buffer.
void StreamDecoder::CutDatagrams() {
    std::uint32_t pos = 0;
    while (pos < held_) {
        std::uint8_t* packet = buffer_ + pos;
        const std::uint32_t avail = held_ - pos;
        if (const std::uint32_t plain = PlainDataPacket(packet, avail)) {
            HandleData(packet, plain);
            pos += plain;
            continue;
        }
        const std::uint8_t type = HeaderType(packet);
        const std::uint32_t length = avail >= kMinHeldBytes ? HeaderPacketBytes(packet) : 0;
        if (avail < kMinHeldBytes || !KnownType(type) || length > kBufferBytes) {
            // Too short to be a packet, no packet at all, or one that could never complete.
            NotifyInfo();
            pos = held_;
            break;
        }
        if (length > avail) {
            // Cut short: the rest would be taken from whatever datagram comes next.
            NotifyInfo();
            pos = held_;
            break;
        }
        const bool foreign = HeaderStreamIdWord(packet) != streamId_;
        if (foreign) NotifyInfo();
        if (!foreign) Dispatch(type, packet, length);
        // A packet of no length removes nothing: what is held cannot be cut any further.
        pos = length == 0 ? held_ : pos + length;
    }
    KeepTail(pos);
}

// A byte stream has no boundary but the packets: after bytes that cannot be used, cutting
// resumes at the next plausible packet start of this stream, and a packet start cut off by
// the end of a receive waits for the bytes that follow.
void StreamDecoder::CutByteStream() {
    std::uint32_t pos = 0;
    const std::uint32_t scannedAtStart = foreignScanned_;
    foreignScanned_ = 0;
    while (pos < held_) {
        std::uint8_t* packet = buffer_ + pos;
        const std::uint32_t avail = held_ - pos;
        const std::uint32_t plain = resyncing_ ? 0 : PlainDataPacket(packet, avail);
        if (plain != 0) {
            HandleData(packet, plain);
            pos += plain;
            continue;
        }
        const std::uint8_t type = HeaderType(packet);
        if (resyncing_ && avail >= 8 && !Plausible(packet)) {
            pos = Resync(pos);
            continue;
        }
        if (avail < kMinHeldBytes) {
            if (KnownType(type)) break; // a packet start waits for its bytes
            pos = Resync(pos);
            continue;
        }
        const std::uint32_t length = HeaderPacketBytes(packet);
        if (!KnownType(type) || length > kBufferBytes || length == 0) {
            // A packet of no length removes nothing, and one that could never complete would
            // fill the buffer for good: neither can be cut.
            if (KnownType(type) && length == 0 && HeaderStreamIdWord(packet) == streamId_) Dispatch(type, packet, 0);
            pos = Resync(pos);
            continue;
        }
        const bool foreign = HeaderStreamIdWord(packet) != streamId_;
        if (foreign) {
            const ForeignVerdict verdict = JudgeForeign(pos, length, pos == 0 ? scannedAtStart : 0);
            if (verdict == ForeignVerdict::Drop) {
                pos = Resync(pos);
                continue;
            }
            if (verdict == ForeignVerdict::Wait) break;
        }
        if (length > avail) break; // incomplete: the next receive appends to it
        if (foreign) {
            NotifyInfo();
        } else {
            resyncing_ = false;
            Dispatch(type, packet, length);
        }
        pos += length;
    }
    KeepTail(pos);
}

StreamDecoder::ForeignVerdict StreamDecoder::JudgeForeign(std::uint32_t pos, std::uint32_t length,
                                                          std::uint32_t scannedAtStart) {
    // Bytes that merely look like a packet of another stream must not swallow a packet of
    // this one that starts inside them, even one whose header runs past their announced end.
    const std::uint32_t avail = held_ - pos;
    const std::uint32_t end = pos + std::min(length, avail);
    const std::uint32_t from = pos + std::max<std::uint32_t>(1, scannedAtStart);
    if (FindPlausible(from, end, held_) < end) return ForeignVerdict::Drop;
    // Starts too near the end of the held bytes to be judged yet wait for more, as long as
    // more can still be received behind them.
    bool undecided = length > avail;
    for (std::uint32_t at = std::max(from, held_ - std::min<std::uint32_t>(held_, 7));
         !undecided && avail < kBufferBytes && at < end; ++at)
        undecided = MayBecomePlausible(buffer_ + at, held_ - at);
    if (!undecided) return ForeignVerdict::Skip;
    foreignScanned_ = avail > 8 ? avail - 7 : 0;
    return ForeignVerdict::Wait;
}

std::uint32_t StreamDecoder::Resync(std::uint32_t from) {
    // Whatever follows dropped bytes is cut from the middle of a packet: skip to the next
    // position that can start a packet of this stream instead.
    resyncing_ = true;
    std::uint32_t at = FindPlausible(from + 1, held_, held_);
    if (at == held_) {
        at = held_ > from + 8 ? held_ - 7 : from + 1;
        // Keep a tail that may still become a packet start once more bytes arrive.
        while (at < held_ && !MayBecomePlausible(buffer_ + at, held_ - at)) ++at;
    }
    NotifyInfo();
    return at;
}

template <class Record>
void StreamDecoder::Prologue(Record& r, const PrologueFields& f, Continuity& continuity, std::uint64_t& errors) {
    const std::uint8_t count = f.header.Count();
    ++r.packetsReceived;
    r.packetCount = count;
    if (!continuity.first && count != continuity.expected) {
        ++r.packetsLost;
        ++errors;
    }
    continuity.first = false;
    continuity.expected = static_cast<std::uint8_t>((count + 1) & 0x0F);
    // A value is kept from an earlier packet when this one does not carry it.
    r.streamIdValid = f.streamIdValid;
    if (f.streamIdValid) r.streamId = f.streamId;
    r.intTimestampValid = f.intTimestampValid;
    if (f.intTimestampValid) r.intTimestamp = f.intTimestamp;
    r.fracTimestampValid = f.fracTimestampValid;
    if (f.fracTimestampValid) r.fracTimestamp = f.fracTimestamp;
}

void StreamDecoder::ApplyTrailer(bool present, std::uint32_t trailer) {
    Vita49_Data& d = data_;
    if (!present) {
        d.calibratedTimeEnabled = d.validDataEnabled = d.overRangeEnabled = false;
        d.referenceLockEnabled = d.sampleLossEnabled = d.contextCountEnabled = false;
        return;
    }
    ApplyIndicator(trailer, 31, 19, d.calibratedTimeEnabled, d.calibratedTime);
    ApplyIndicator(trailer, 30, 18, d.validDataEnabled, d.validData);
    ApplyIndicator(trailer, 25, 13, d.overRangeEnabled, d.overRange);
    ApplyIndicator(trailer, 29, 17, d.referenceLockEnabled, d.referenceLock);
    ApplyIndicator(trailer, 24, 12, d.sampleLossEnabled, d.sampleLoss);
    d.contextCountEnabled = (trailer >> 7) & 1u;
    if (d.contextCountEnabled) d.contextCount = static_cast<std::uint8_t>(trailer & 0x7F);
}

void StreamDecoder::HandleData(std::uint8_t* packet, std::uint32_t length) {
    Vita49_Data& d = data_;
    // The packet is read before the record is written (see ReadPrologue).
    const PrologueFields f = ReadPrologue(packet, length);
    std::uint32_t payloadOffset = 0, payloadSize = 0, trailer = 0;
    const bool located = layout_detail::DataPayloadOf(f.header, length, payloadOffset, payloadSize);
    const bool hasTrailer = layout_detail::TrailerOf(f.header, packet, length, trailer);
    Prologue(d, f, dataContinuity_, info_.dataErrors);
    d.payloadValid = located ? 1 : 0;
    d.payloadOffset = payloadOffset;
    d.payloadSize = payloadSize;
    ApplyTrailer(hasTrailer, trailer);
    d.packet = packet;
    CountIndicators(d, info_);
    info_.dataBytes += payloadSize;

    // Samples are swapped in place, never copied: at most towards little-endian for the
    // recordings and back for the callback.
    PayloadSamples samples(packet + payloadOffset, payloadSize, context_.dataItemSize);
    PayloadSamples* recordable = located && context_.payloadFormatValid ? &samples : nullptr;
    for (RecordingSink* sink : active_) sink->OnData(d, context_, recordable);
    if (settings_.convertDataByteOrder != 0) samples.InOrder(settings_.dataBigEndian != 0);

    if (callbacks.data) callbacks.data(info_, context_, d);
}

void StreamDecoder::HandleContext(const std::uint8_t* packet, std::uint32_t length) {
    Prologue(context_, ReadPrologue(packet, length), contextContinuity_, info_.contextErrors);
    DecodeContextFields(packet, length, context_);
    info_.contextBytes += context_.payloadSize;
    for (RecordingSink* sink : active_) sink->OnContext(context_);
    if (callbacks.context) callbacks.context(info_, context_);
}

void StreamDecoder::HandleExtContext(const std::uint8_t* packet, std::uint32_t length) {
    Vita49_FFTContext& c = fftContext_;
    Prologue(c, ReadPrologue(packet, length), extContextContinuity_, info_.contextErrors);
    c.payloadValid = LocateExtContextPayload(packet, length, c.payloadOffset, c.payloadSize) ? 1 : 0;
    const bool ok = ReadSpectrumContext(packet, c.payloadOffset, length, c.spectrumParam1Hz, c.spectrumParam2Hz,
                                        c.spectrumParam3Hz, c.spectrumParam4);
    c.spectrumParam1Valid = c.spectrumParam2Valid = c.spectrumParam3Valid = c.spectrumParam4Valid = ok;
    info_.contextBytes += c.payloadSize;
    if (callbacks.fftContext) callbacks.fftContext(info_, c);
}

void StreamDecoder::HandleExtData(const std::uint8_t* packet, std::uint32_t length) {
    Vita49_FFTData& d = fftData_;
    Prologue(d, ReadPrologue(packet, length), extDataContinuity_, info_.dataErrors);
    std::uint32_t valueCount = 0;
    std::uint16_t traceId = 0;
    const std::uint8_t* values = nullptr;
    const bool header = ReadSpectrumHeader(packet, length, valueCount, traceId, values);
    d.payloadValid = header ? 1 : 0;
    std::uint32_t taken = 0;
    if (header) taken = traces_.Take(packet, length, valueCount, traceId, values, DisplayedTrace(), d);

    d.calibratedTimeEnabled = d.validDataEnabled = d.overRangeEnabled = false;
    d.referenceLockEnabled = d.sampleLossEnabled = d.contextCountEnabled = false;
    CountIndicators(d, info_);
    d.packet = packet;
    info_.dataBytes += taken;
    if (callbacks.fftData) callbacks.fftData(info_, fftContext_, d, traces_.Buffer());
}

} // namespace vita49
