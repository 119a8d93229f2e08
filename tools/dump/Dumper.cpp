#include "dump/Dumper.h"

#include <algorithm>
#include <cstring>
#include <tuple>

#include "vita49/PacketLayout.h"

namespace vita49::dump {

namespace {

capture::Flow FlowKey(const capture::Flow& flow) {
    capture::Flow key = flow;
    if (key.transport == capture::Transport::kUdp) key.src.port = 0;
    return key;
}

// What one datagram holds, in order: packets and unusable bytes.
struct DatagramItem {
    const std::uint8_t* at = nullptr;
    std::uint32_t size = 0;
    bool packet = false;
    capture::UnusableBytes unusable;
};

class DatagramItems : public capture::FrameHandler {
public:
    explicit DatagramItems(std::vector<DatagramItem>& items) : items_(items) { items_.clear(); }
    void OnPacket(const std::uint8_t* packet, std::uint32_t size) override {
        DatagramItem item;
        item.at = packet;
        item.size = size;
        item.packet = true;
        items_.push_back(item);
    }
    void OnUnusable(const capture::UnusableBytes& unusable) override {
        DatagramItem item;
        item.unusable = unusable;
        items_.push_back(item);
    }

private:
    std::vector<DatagramItem>& items_;
};

} // namespace

bool StreamKey::operator<(const StreamKey& other) const {
    auto fields = [](const StreamKey& k) {
        return std::make_tuple(static_cast<int>(k.flow.transport), k.flow.src.address.family, k.flow.src.port,
                               k.flow.dst.address.family, k.flow.dst.port, k.streamId);
    };
    if (fields(*this) != fields(other)) return fields(*this) < fields(other);
    const int src = std::memcmp(flow.src.address.bytes, other.flow.src.address.bytes, 16);
    if (src != 0) return src < 0;
    return std::memcmp(flow.dst.address.bytes, other.flow.dst.address.bytes, 16) < 0;
}

StreamKey KeyOf(const capture::Flow& flow, std::uint32_t streamId) {
    StreamKey key;
    key.flow = FlowKey(flow);
    key.streamId = streamId;
    return key;
}

// Hands what a byte-stream framer cuts to the dumper, with the payload it came in.
class Dumper::Cutter : public capture::FrameHandler {
public:
    Cutter(Dumper& dumper, const capture::CaptureTime& time, const capture::Flow& flow)
        : dumper_(dumper), time_(time), flow_(flow) {}
    void OnPacket(const std::uint8_t* packet, std::uint32_t size) override {
        capture::Payload payload;
        payload.time = time_;
        payload.flow = &flow_;
        dumper_.StreamPacket(payload, packet, size);
    }
    void OnUnusable(const capture::UnusableBytes& u) override {
        dumper_.Other(time_, &flow_, capture::Describe(u), u.head, u.headSize, u.size, nullptr);
    }

private:
    Dumper& dumper_;
    capture::CaptureTime time_;
    const capture::Flow& flow_;
};

Dumper::Dumper(const DumpOptions& options, DumpOutput* out, const StreamKey* record) : options_(options), out_(out) {
    if (record != nullptr) {
        haveRecord_ = true;
        recordKey_ = *record;
        recording_.wavPath = options.wavPath;
        recording_.iqPath = options.iqPath;
        recording_.sigmfBase = options.sigmfBase;
    }
}

Dumper::~Dumper() = default;

bool Dumper::PortPasses(const capture::Flow* flow) const {
    if (!options_.hasPort) return true;
    if (flow == nullptr) return false;
    if (flow->transport != capture::Transport::kUdp && flow->transport != capture::Transport::kTcp) return false;
    return flow->src.port == options_.port || flow->dst.port == options_.port;
}

StreamState* Dumper::Stream(const capture::Flow& flow, std::uint32_t streamId) {
    const StreamKey key = KeyOf(flow, streamId);
    const auto found = streams_.find(key);
    if (found != streams_.end()) return found->second.get();
    if (streams_.size() >= kMaxStreams) {
        ++streamsRefused_;
        return nullptr;
    }
    const bool recorded = haveRecord_ && !(key < recordKey_) && !(recordKey_ < key);
    auto stream = std::make_unique<StreamState>(flow, streamId, flow.transport != capture::Transport::kUdp,
                                                recorded ? &recording_ : nullptr,
                                                [this](const PacketLine& line) { WriteLine(line); });
    std::string error;
    if (!stream->Open(error)) {
        if (error_.empty()) error_ = error;
        return nullptr;
    }
    StreamState* raw = stream.get();
    streams_.emplace(key, std::move(stream));
    order_.push_back(raw);
    flowStream_.emplace(key.flow, raw);
    if (recorded) recordedStream_ = raw;
    return raw;
}

void Dumper::OnPayload(const capture::Payload& payload) {
    if (!PortPasses(payload.flow)) return;
    if (payload.flow->transport == capture::Transport::kUdp) {
        Datagram(payload);
    } else {
        StreamBytes(payload);
    }
}

bool Dumper::Decodable(const PacketView& view, std::uint32_t size, std::string& why) const {
    if (view.type == 0 || view.type == 2) {
        why = std::string(TypeName(view.type)) + " packet without a stream identifier (type " +
              std::to_string(view.type) + "): the receiver decodes only packets that carry one";
        return false;
    }
    if (!TypeHasStreamId(view.type)) {
        why = "packet type " + std::to_string(view.type) + " is not one the receiver decodes";
        return false;
    }
    if (!view.hasStreamId) {
        why = "packet of " + std::to_string(size) + " bytes has no room for its stream identifier";
        return false;
    }
    return true;
}

void Dumper::Datagram(const capture::Payload& payload) {
    static thread_local std::vector<DatagramItem> items;
    DatagramItems collector(items);
    capture::CutDatagram(payload.bytes, payload.size, collector);
    std::size_t i = 0;
    while (i < items.size()) {
        const DatagramItem& item = items[i];
        if (!item.packet) {
            Other(payload.time, payload.flow, capture::Describe(item.unusable), item.unusable.head,
                  item.unusable.headSize, item.unusable.size, nullptr);
            ++i;
            continue;
        }
        const PacketView view = ReadPacketView(item.at, item.size);
        std::string why;
        if (!Decodable(view, item.size, why)) {
            Other(payload.time, payload.flow, why, item.at, std::min<std::size_t>(item.size, 16), item.size, &view);
            ++i;
            continue;
        }
        if (options_.hasStreamId && view.streamId != options_.streamId) {
            ++i;
            continue;
        }
        StreamState* stream = Stream(*payload.flow, view.streamId);
        if (stream == nullptr) {
            Other(payload.time, payload.flow, "more streams than the dump follows (choose with --port or --stream-id)",
                  item.at, std::min<std::size_t>(item.size, 16), item.size, nullptr);
            ++i;
            continue;
        }
        // Consecutive packets of one stream go to its decoder as one datagram, as a receiver
        // of that stream would take them.
        std::size_t j = i;
        std::size_t runBytes = 0;
        for (; j < items.size() && items[j].packet; ++j) {
            const PacketView next = j == i ? view : ReadPacketView(items[j].at, items[j].size);
            if (!Decodable(next, items[j].size, why) || next.streamId != view.streamId) break;
            stream->Enqueue(next, payload.time, payload.flow);
            runBytes += items[j].size;
        }
        stream->Push(item.at, runBytes);
        stream->DropQueued(runBytes < 20 ? "fewer than 20 bytes in the datagram: the receiver drops them"
                                         : "the decoder did not take it");
        i = j;
    }
}

void Dumper::StreamBytes(const capture::Payload& payload) {
    capture::StreamFramer& framer = framers_[*payload.flow];
    Cutter cutter(*this, payload.time, *payload.flow);
    framer.Push(payload.bytes, payload.size, cutter);
}

void Dumper::StreamPacket(const capture::Payload& payload, const std::uint8_t* packet, std::uint32_t size) {
    const PacketView view = ReadPacketView(packet, size);
    std::string why;
    if (!Decodable(view, size, why)) {
        Other(payload.time, payload.flow, why, packet, std::min<std::size_t>(size, 16), size, &view);
        return;
    }
    if (options_.hasStreamId && view.streamId != options_.streamId) return;
    StreamState* stream = Stream(*payload.flow, view.streamId);
    if (stream == nullptr) {
        Other(payload.time, payload.flow, "more streams than the dump follows (choose with --port or --stream-id)",
              packet, std::min<std::size_t>(size, 16), size, nullptr);
        return;
    }
    stream->Enqueue(view, payload.time, payload.flow);
    stream->Push(packet, size);
}

void Dumper::Other(const capture::CaptureTime& time, const capture::Flow* flow, const std::string& why,
                   const std::uint8_t* head, std::size_t headSize, std::uint64_t size, const PacketView* view) {
    PacketLine line;
    line.time = time;
    line.flow = flow;
    line.size = size;
    line.error = why;
    line.head = head;
    line.headSize = head != nullptr ? std::min<std::size_t>(headSize, 16) : 0;
    StreamState* stream = nullptr;
    if (view != nullptr && view->hasStreamId && flow != nullptr) {
        if (options_.hasStreamId && view->streamId != options_.streamId) return;
        stream = Stream(*flow, view->streamId);
        line.hasStreamId = true;
        line.streamId = view->streamId;
    } else if (flow != nullptr) {
        const auto found = flowStream_.find(FlowKey(*flow));
        if (found != flowStream_.end()) stream = found->second;
    }
    if (stream != nullptr) {
        stream->CountOther(size, time);
    } else {
        // With a stream filter, what belongs to no stream of it is not shown.
        if (options_.hasStreamId) return;
        ++unattributedItems_;
        unattributedBytes_ += size;
    }
    WriteLine(line);
}

void Dumper::WriteLine(const PacketLine& line) {
    if (out_ != nullptr && !options_.summary) out_->WriteLine(line);
}

void Dumper::OnProblem(const capture::Problem& problem) {
    if (problem.kind == capture::ProblemKind::kGap && problem.flow != nullptr) {
        const auto framer = framers_.find(*problem.flow);
        if (framer != framers_.end()) {
            Cutter cutter(*this, problem.time, *problem.flow);
            framer->second.Gap(cutter);
        }
    }
    if (problem.kind == capture::ProblemKind::kFile) {
        fileProblems_.push_back(problem.what); // the caller reports the file itself
        return;
    }
    if (options_.hasPort && !PortPasses(problem.flow)) return;
    const std::uint64_t size = problem.kind == capture::ProblemKind::kGap ? problem.lostBytes : problem.size;
    Other(problem.time, problem.flow, problem.what, problem.bytes, problem.shown, size, nullptr);
}

void Dumper::OnStreamEnd(const capture::Flow& flow, const capture::CaptureTime& time) {
    const auto framer = framers_.find(flow);
    if (framer == framers_.end()) return;
    Cutter cutter(*this, time, flow);
    framer->second.End(cutter);
    framers_.erase(framer);
}

void Dumper::Finish() {
    for (StreamState* stream : order_) stream->Close();
    if (recordedStream_ != nullptr) {
        const std::string error = recordedStream_->RecordingError();
        if (!error.empty() && error_.empty()) error_ = "recording failed: " + error;
    }
}

std::vector<StreamSummary> Dumper::Summaries() const {
    std::vector<StreamSummary> all;
    for (const StreamState* stream : order_) all.push_back(stream->Summary());
    return all;
}

std::vector<StreamKey> Dumper::DataStreams() const {
    std::vector<StreamKey> keys;
    for (const StreamState* stream : order_)
        if (stream->DataPackets() > 0) keys.push_back(KeyOf(stream->Flow(), stream->StreamId()));
    return keys;
}

} // namespace vita49::dump
