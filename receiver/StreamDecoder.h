#pragma once

// The receive path without a socket: a fixed receive buffer, the cutting loop that takes
// VITA 49 packets from it, the four packet branches, the statistics, the recordings and the
// callbacks. The receive thread feeds it from the connection; tests, fuzzers and offline
// tools feed it bytes directly. It allocates nothing per packet.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "receiver/RawSink.h"
#include "receiver/RecordingSink.h"
#include "receiver/RecordingWriter.h"
#include "receiver/WavWriter.h"
#include "vita49/PacketLayout.h"
#include "vita49/SpectrumPackets.h"
#include "vita49/Vita49Types.h"

namespace vita49 {

struct ReceiverCallbacks {
    std::function<void(const Vita49_Info&)> info;
    std::function<void(const Vita49_Info&, const Vita49_Context&)> context;
    std::function<void(const Vita49_Info&, const Vita49_Context&, const Vita49_Data&)> data;
    std::function<void(const Vita49_Info&, const Vita49_FFTContext&)> fftContext;
    std::function<void(const Vita49_Info&, const Vita49_FFTContext&, const Vita49_FFTData&, float*)> fftData;
    std::function<void()> connectionError;
};

// How bytes arrive: each UDP datagram stands alone (one packet per datagram, nothing is held
// from one to the next), while a TCP byte stream has no boundary but the packets themselves,
// so alignment must be kept (and found again) across receives.
enum class Framing { Datagram, ByteStream };

// The framing of a connection type: TCP types are those below 2, compared unsigned.
inline Framing FramingOf(std::int32_t connectionType) {
    return static_cast<std::uint32_t>(connectionType) < 2 ? Framing::ByteStream : Framing::Datagram;
}

// Copy first, then swap into the slot: the old function is destroyed after the new one is in.
template <class Function>
void ReplaceCallback(Function& slot, const Function& callback) {
    Function copy(callback);
    slot.swap(copy);
}

class StreamDecoder {
public:
    static constexpr std::uint32_t kBufferBytes = 65536;
    // A packet start with fewer bytes than this is not examined (UDP: dropped).
    static constexpr std::uint32_t kMinHeldBytes = 20;

    StreamDecoder();
    ~StreamDecoder();
    StreamDecoder(const StreamDecoder&) = delete;
    StreamDecoder& operator=(const StreamDecoder&) = delete;

    // The stream to accept, the receiver settings and how bytes arrive. The connection type
    // only names the stream in recordings that describe it.
    void Configure(std::uint32_t streamId, const Vita49_Receiver_Settings& settings, Framing framing,
                   std::int32_t connectionType = CONNECTION_NONE);
    // Base path of the SigMF recording; empty: none. Used by the next OpenRecordings.
    void SetSigMFBase(const std::string& basePath) { sigmfBase_ = basePath; }
    Framing GetFraming() const { return framing_; }

    // Open: clears the records, the statistics, the trace list and the held bytes. The
    // spectrum buffer and the displayed trace survive.
    void ResetRecords();
    // Start of a receive thread: the continuity check starts afresh.
    void StartRun();

    // Recording files (Open / Close). Open also forgets an earlier recording error. With a
    // writer thread (a receiver) the receive side only queues the bytes; without (a decoder,
    // tests) the caller's thread writes them.
    void OpenRecordings(bool writerThread = false);
    // Empties the writer's queue (at most RecordingWriter::kDrainLimitMs) and finishes the files.
    void CloseRecordings();
    // The first recording failure since OpenRecordings; empty when none. Any thread.
    std::string RecordingError() const { return errors_.First(); }

    // --- Feeding from a connection: receive into FreeSpace(), then Commit the count.
    std::uint8_t* FreeSpace() { return buffer_ + held_; }
    std::uint32_t FreeBytes() const { return kBufferBytes - held_; }
    std::uint32_t HeldBytes() const { return held_; }
    // Counts `received` new bytes after FreeSpace() and cuts every complete packet.
    void Commit(std::uint32_t received);
    // A receive that delivered nothing within its time-out. Datagrams hold nothing between
    // receives; a TCP stream keeps its held bytes, since the sender may simply pause mid-packet.
    void OnReceiveTimeout();
    // The connection is lost: a partly received packet is gone (info callback when one was held).
    void OnConnectionLost() { DropHeld(); }
    // The end of a run (receive thread ends, decoder closes): held bytes of a packet that
    // can no longer complete are dropped with an info callback.
    void EndRun() { DropHeld(); }
    // A datagram longer than the free space was lost: it and the held bytes are dropped.
    void OnDatagramTruncated();

    // --- Feeding directly: one receive of `count` bytes, as the transport would deliver it
    // (TCP: split to the free space; UDP: an over-long datagram is lost as above).
    void Deliver(const std::uint8_t* bytes, std::size_t count);

    void SetDisplayedTrace(std::uint16_t trace) { displayedTrace_.store(trace, std::memory_order_relaxed); }
    std::uint16_t DisplayedTrace() const { return displayedTrace_.load(std::memory_order_relaxed); }

    ReceiverCallbacks callbacks;

    const Vita49_Info& Info() const { return info_; }
    const Vita49_Data& Data() const { return data_; }
    const Vita49_Context& Context() const { return context_; }
    const Vita49_FFTData& FFTData() const { return fftData_; }
    const Vita49_FFTContext& FFTContext() const { return fftContext_; }
    const SpectrumTraces& Traces() const { return traces_; }
    WavWriter& Wav() { return wav_->Writer(); }

private:
    struct Continuity {
        bool first = true;
        std::uint8_t expected = 0;
    };

    // Adds a recording format: one line per sink in the constructor.
    template <class Sink>
    Sink* AddSink() {
        auto sink = std::make_unique<Sink>(errors_, writer_);
        Sink* raw = sink.get();
        sinks_.push_back(std::move(sink));
        return raw;
    }

    void Cut() { framing_ == Framing::Datagram ? CutDatagrams() : CutByteStream(); }
    void CutDatagrams();
    void CutByteStream();
    // Length of a complete IF data packet of this stream at `packet`, the common case that
    // skips every other check; 0 for anything else.
    std::uint32_t PlainDataPacket(const std::uint8_t* packet, std::uint32_t avail) const;
    // Moves the incomplete tail from `pos` to the buffer start, once per receive.
    void KeepTail(std::uint32_t pos);
    void Dispatch(std::uint8_t type, std::uint8_t* packet, std::uint32_t length);
    // Byte stream: drops the bytes from `from` up to the next plausible packet start (info
    // callback) and returns that position, or held when nothing could be kept.
    std::uint32_t Resync(std::uint32_t from);
    // Byte stream: what to make of a packet of another stream of `length` bytes at `pos`.
    enum class ForeignVerdict { Skip, Drop, Wait };
    ForeignVerdict JudgeForeign(std::uint32_t pos, std::uint32_t length, std::uint32_t scannedAtStart);
    // A packet start that can be trusted after a loss of alignment: a known type, the
    // configured stream and a size that fits the buffer. 8 bytes must be held at `at`.
    bool Plausible(const std::uint8_t* at) const;
    // Whether the `count` (< 8) bytes held at `at` may still turn out plausible.
    bool MayBecomePlausible(const std::uint8_t* at, std::uint32_t count) const;
    // First plausible packet start in [from, end) whose 8 bytes lie before `limit`; else `end`.
    std::uint32_t FindPlausible(std::uint32_t from, std::uint32_t end, std::uint32_t limit) const;
    void NotifyInfo();
    // Drops the held bytes, reported with one info callback when there were any.
    void DropHeld();

    // The common record prologue: count, continuity per kind, stream identifier, timestamps.
    template <class Record>
    void Prologue(Record& record, const PrologueFields& fields, Continuity& continuity, std::uint64_t& errors);
    void HandleData(std::uint8_t* packet, std::uint32_t length);
    void HandleContext(const std::uint8_t* packet, std::uint32_t length);
    void HandleExtData(const std::uint8_t* packet, std::uint32_t length);
    void HandleExtContext(const std::uint8_t* packet, std::uint32_t length);
    // The trailer's indicators into the data record; without a trailer the enables clear.
    void ApplyTrailer(bool present, std::uint32_t trailer);

    std::uint32_t streamId_ = 0;
    Vita49_Receiver_Settings settings_{};
    Framing framing_ = Framing::Datagram;
    std::int32_t connectionType_ = CONNECTION_NONE;
    std::string sigmfBase_;
    // TCP only: bytes were dropped, so the next packet start must be plausible.
    bool resyncing_ = false;
    // TCP only: bytes of an incomplete packet of another stream at the buffer start that
    // were already searched for a packet of this stream.
    std::uint32_t foreignScanned_ = 0;

    Continuity dataContinuity_, contextContinuity_, extDataContinuity_, extContextContinuity_;
    Vita49_Info info_{};
    Vita49_Data data_{};
    Vita49_Context context_;
    Vita49_FFTData fftData_;
    Vita49_FFTContext fftContext_;
    SpectrumTraces traces_;
    std::atomic<std::uint16_t> displayedTrace_{1};

    RecordingErrors errors_;
    // Every recording format, in the order they see a packet; the open ones are `active_`.
    std::vector<std::unique_ptr<RecordingSink>> sinks_;
    std::vector<RecordingSink*> active_;
    WavSink* wav_ = nullptr;
    // After the sinks: destroyed first, so that its thread has stopped before their files go.
    RecordingWriter writer_{errors_};

    std::uint32_t held_ = 0;
    alignas(64) std::uint8_t buffer_[kBufferBytes];
};

} // namespace vita49
