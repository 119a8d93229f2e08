#pragma once

// One stream of the capture (a flow and a stream identifier) and its own Vita49Decoder.
// Packets are queued with what the dump read from their headers, then pushed into the
// decoder; the decoder handles them strictly in order, so each record callback belongs to
// the oldest queued packet of its kind. A packet the decoder did not take is reported as
// "other" with the reason. Counts per kind, discontinuities (the decoder's), packets missing
// (the sum of the count gaps), bytes, times and rates are kept for the summary.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "dump/CaptureTypes.h"
#include "dump/DumpOutput.h"
#include "dump/PacketView.h"
#include "vita49/Vita49Decoder.h"

namespace vita49::dump {

struct Recording {
    std::string wavPath;
    std::string iqPath;
    std::string sigmfBase;
};

class StreamState {
public:
    using LineWriter = std::function<void(const PacketLine&)>;

    // `byteStream`: TCP or raw file (byte-stream framing), else datagram framing.
    StreamState(const capture::Flow& flow, std::uint32_t streamId, bool byteStream, const Recording* recording,
                LineWriter writeLine);
    StreamState(const StreamState&) = delete;
    StreamState& operator=(const StreamState&) = delete;

    // Opens the decoder (and the recordings); false with `error` when it refuses.
    bool Open(std::string& error);

    // Queues a packet about to be pushed (in the order it will be pushed).
    void Enqueue(const PacketView& view, const capture::CaptureTime& time, const capture::Flow* flow);
    // Pushes packets of this stream; the decoder's callbacks run inside.
    void Push(const std::uint8_t* bytes, std::size_t size);
    // Datagram framing: whatever is still queued after a push was not taken.
    void DropQueued(const char* why);

    // Something of this stream's flow that is no packet of it.
    void CountOther(std::uint64_t bytes, const capture::CaptureTime& time);

    // Closes the decoder: recordings finished; packets still queued are reported.
    void Close();
    std::string RecordingError() const { return decoder_.RecordingError(); }

    StreamSummary Summary() const;
    std::uint32_t StreamId() const { return streamId_; }
    std::uint64_t DataPackets() const { return kinds_[kIfData].packets; }
    std::uint64_t Samples() const { return samples_; }
    const capture::Flow& Flow() const { return flow_; }

private:
    struct Queued {
        PacketView view;
        capture::CaptureTime time;
        capture::Flow flow; // a copy: a byte stream's callback may come with a later push
    };
    struct KindStats {
        std::uint64_t packets = 0;
        std::uint64_t missing = 0;
        std::uint32_t decoderLost = 0; // the record's packetsLost after the last packet
        bool seen = false;
        std::uint8_t expected = 0;
    };

    // The oldest queued packet of `type`; older ones of other types were not taken.
    bool Take(std::uint8_t type, Queued& out);
    void Accept(int kind, const Queued& q, std::uint32_t decoderLost);
    void Touch(const capture::CaptureTime& time);
    void NotTaken(const Queued& q, const std::string& why);
    PacketLine LineOf(const Queued& q, const char* type) const;
    void SetCallbacks();

    capture::Flow flow_;
    std::uint32_t streamId_;
    bool byteStream_;
    Recording recording_;
    bool recordingSet_ = false;
    LineWriter writeLine_;
    Vita49Decoder decoder_;
    std::deque<Queued> queue_;

    KindStats kinds_[kKinds - 1];
    std::uint64_t other_ = 0;
    std::uint64_t bytes_ = 0;
    capture::CaptureTime first_, last_;
    std::uint64_t samples_ = 0;           // IF data samples (I/Q pairs) whose item size was known
    std::uint64_t samplesBeforeLast_ = 0; // of those, before the last such packet
    capture::CaptureTime firstSampled_, lastSampled_;
};

} // namespace vita49::dump
