#pragma once

// The receive path without a socket: a fixed receive buffer, the cutting loop that takes
// VITA 49 packets from it, the four packet branches, the statistics, the recordings and the
// callbacks. The receive thread feeds it from the connection; tests, fuzzers and offline
// tools feed it bytes directly. It allocates nothing per packet.

#include <atomic>
#include <cstdint>
#include <fstream>
#include <functional>

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

class StreamDecoder {
public:
    static constexpr std::uint32_t kBufferBytes = 65536;
    // A packet start with fewer bytes than this is not examined (UDP: dropped).
    static constexpr std::uint32_t kMinHeldBytes = 20;
    static constexpr std::uint32_t kFloatBufferCount = 20480;

    StreamDecoder();
    StreamDecoder(const StreamDecoder&) = delete;
    StreamDecoder& operator=(const StreamDecoder&) = delete;

    // The stream to accept and how bytes arrive: a TCP byte stream keeps packet alignment
    // across receives; UDP datagrams each stand alone.
    void Configure(std::uint32_t streamId, const Vita49_Receiver_Settings& settings, bool tcp);

    // Open: clears the records, the statistics, the trace list and the held bytes. The
    // spectrum buffer and the displayed trace survive.
    void ResetRecords();
    // Start of a receive thread: the continuity check starts afresh.
    void StartRun();

    // Recording files (Open / Close).
    void OpenRecordings();
    void CloseRecordings();

    // --- Feeding from a connection: receive into FreeSpace(), then Commit the count.
    std::uint8_t* FreeSpace() { return buffer_ + held_; }
    std::uint32_t FreeBytes() const { return kBufferBytes - held_; }
    std::uint32_t HeldBytes() const { return held_; }
    // Counts `received` new bytes after FreeSpace() and cuts every complete packet.
    void Commit(std::uint32_t received);
    // A receive that delivered nothing within its time-out. UDP drops the held bytes; a TCP
    // stream keeps them, since the sender may simply pause mid-packet.
    void OnReceiveTimeout();
    // The connection is lost: a partly received packet is gone.
    void OnConnectionLost() {
        held_ = 0;
        foreignScanned_ = 0;
    }
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
    WavWriter& Wav() { return wav_; }

private:
    struct Continuity {
        bool first = true;
        std::uint8_t expected = 0;
    };

    void Cut();
    // Drops [from, held) as unusable (info callback). On TCP the bytes up to the next
    // plausible packet start are dropped instead, and cutting resumes there; returns that
    // position, or held when nothing could be kept.
    std::uint32_t DropUnusable(std::uint32_t from);
    // A packet start that can be trusted after a loss of alignment: a known type, the
    // configured stream and a size that fits the buffer. 8 bytes must be held at `at`.
    bool Plausible(const std::uint8_t* at) const;
    // Whether the `count` (< 8) bytes held at `at` may still turn out plausible.
    bool MayBecomePlausible(const std::uint8_t* at, std::uint32_t count) const;
    // First plausible packet start in [from, end) whose 8 bytes lie before `limit`; else `end`.
    std::uint32_t FindPlausible(std::uint32_t from, std::uint32_t end, std::uint32_t limit) const;
    void NotifyInfo();

    // The common record prologue: count, continuity per kind, stream identifier, timestamps.
    template <class Record>
    void Prologue(Record& record, const PrologueFields& fields, Continuity& continuity, std::uint64_t& errors);
    void HandleData(std::uint8_t* packet, std::uint32_t length);
    void HandleContext(const std::uint8_t* packet, std::uint32_t length);
    void HandleExtData(const std::uint8_t* packet, std::uint32_t length);
    void HandleExtContext(const std::uint8_t* packet, std::uint32_t length);
    void SwapPayload(std::uint8_t* payload, std::uint32_t size) const;

    std::uint32_t streamId_ = 0;
    Vita49_Receiver_Settings settings_{};
    bool tcp_ = false;
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

    WavWriter wav_;
    std::ofstream rawStream_;
    float floatBuffer_[kFloatBufferCount];

    std::uint32_t held_ = 0;
    alignas(64) std::uint8_t buffer_[kBufferBytes];
};

} // namespace vita49
