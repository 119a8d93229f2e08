#pragma once

// The dump itself: takes what the capture reader delivers, cuts VITA 49 packets out of each
// payload, routes each packet to the decoder of its stream (flow and stream identifier) and
// writes a line for every packet and for everything that is not one.

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "dump/CaptureTypes.h"
#include "dump/DumpOptions.h"
#include "dump/DumpOutput.h"
#include "dump/PacketFramer.h"
#include "dump/StreamTable.h"

namespace vita49::dump {

// A stream as the table knows it: UDP streams are keyed by source address and destination
// address and port (a sender may change its source port), TCP streams by the four-tuple.
struct StreamKey {
    capture::Flow flow;
    std::uint32_t streamId = 0;
    bool operator<(const StreamKey& other) const;
};
StreamKey KeyOf(const capture::Flow& flow, std::uint32_t streamId);

class Dumper : public capture::CaptureSink {
public:
    static constexpr std::size_t kMaxStreams = 256;

    // `out` null: nothing is written (a scan for the streams of a capture). `record`: the
    // stream whose samples are recorded, null for none.
    Dumper(const DumpOptions& options, DumpOutput* out, const StreamKey* record);
    ~Dumper() override;

    void OnPayload(const capture::Payload& payload) override;
    void OnProblem(const capture::Problem& problem) override;
    void OnStreamEnd(const capture::Flow& flow, const capture::CaptureTime& time) override;

    // Closes every decoder (recordings finished).
    void Finish();

    std::vector<StreamSummary> Summaries() const;
    // Streams carrying IF data, as keys.
    std::vector<StreamKey> DataStreams() const;
    // Everything not attributed to a stream: items and bytes.
    std::uint64_t UnattributedItems() const { return unattributedItems_; }
    std::uint64_t UnattributedBytes() const { return unattributedBytes_; }
    std::uint64_t StreamsRefused() const { return streamsRefused_; }
    // Set once a decoder refused to open or a recording failed.
    const std::string& Error() const { return error_; }
    // Samples (I/Q pairs) of the recorded stream whose item size was known.
    std::uint64_t RecordedSamples() const { return recordedStream_ ? recordedStream_->Samples() : 0; }
    // Where the file itself broke off, as reported by the reader.
    const std::vector<std::string>& FileProblems() const { return fileProblems_; }

private:
    class Cutter; // FrameHandler of one payload

    bool PortPasses(const capture::Flow* flow) const;
    StreamState* Stream(const capture::Flow& flow, std::uint32_t streamId);
    void Datagram(const capture::Payload& payload);
    void StreamBytes(const capture::Payload& payload);
    // A packet cut from a byte stream: through its stream's decoder at once.
    void StreamPacket(const capture::Payload& payload, const std::uint8_t* packet, std::uint32_t size);
    // Whether `view` can go to a decoder; if not, why (a line is written).
    bool Decodable(const PacketView& view, std::uint32_t size, std::string& why) const;
    void Other(const capture::CaptureTime& time, const capture::Flow* flow, const std::string& why,
               const std::uint8_t* head, std::size_t headSize, std::uint64_t size, const PacketView* view);
    void WriteLine(const PacketLine& line);

    const DumpOptions& options_;
    DumpOutput* out_;
    bool haveRecord_ = false;
    StreamKey recordKey_;
    Recording recording_;
    StreamState* recordedStream_ = nullptr;

    std::map<StreamKey, std::unique_ptr<StreamState>> streams_;
    std::vector<StreamState*> order_; // first seen first
    // The first stream of each flow, for what a flow carries besides packets.
    std::unordered_map<capture::Flow, StreamState*, capture::FlowHash> flowStream_;
    std::unordered_map<capture::Flow, capture::StreamFramer, capture::FlowHash> framers_;

    std::uint64_t unattributedItems_ = 0;
    std::uint64_t unattributedBytes_ = 0;
    std::uint64_t streamsRefused_ = 0;
    std::string error_;
    std::vector<std::string> fileProblems_;
};

} // namespace vita49::dump
