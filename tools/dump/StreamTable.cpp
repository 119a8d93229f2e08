#include "dump/StreamTable.h"

#include <cstring>

namespace vita49::dump {

StreamState::StreamState(const capture::Flow& flow, std::uint32_t streamId, bool byteStream,
                         const Recording* recording, LineWriter writeLine)
    : flow_(flow), streamId_(streamId), byteStream_(byteStream), writeLine_(std::move(writeLine)) {
    if (recording != nullptr) {
        recording_ = *recording;
        recordingSet_ = true;
    }
    SetCallbacks();
}

bool StreamState::Open(std::string& error) {
    Vita49_Base_Settings base{};
    base.connectionType = byteStream_ ? TCP_CLIENT : UDP_SINGLECAST;
    base.streamId = streamId_;
    Vita49_Receiver_Settings rx{};
    if (recordingSet_) {
        // Lengths were checked with the options.
        std::strncpy(rx.wavFilePath, recording_.wavPath.c_str(), sizeof rx.wavFilePath - 1);
        std::strncpy(rx.rawFilePath, recording_.iqPath.c_str(), sizeof rx.rawFilePath - 1);
        rx.wavIntegerSamples = 1;
        if (!recording_.sigmfBase.empty()) decoder_.SetSigMFRecording(recording_.sigmfBase.c_str());
    }
    decoder_.Init(base, rx);
    const RETURN_CODE rc = decoder_.Open();
    if (rc != RC_OK) {
        error = "the decoder of stream " + std::to_string(streamId_) + " does not open: code " + std::to_string(rc);
        return false;
    }
    return true;
}

PacketLine StreamState::LineOf(const Queued& q, const char* type) const {
    PacketLine line;
    line.time = q.time;
    line.flow = &q.flow;
    line.type = type;
    line.size = q.view.size;
    line.hasStreamId = true;
    line.streamId = streamId_;
    line.view = &q.view;
    return line;
}

void StreamState::SetCallbacks() {
    decoder_.SetDataCallback([this](const Vita49_Info&, const Vita49_Context& context, const Vita49_Data& data) {
        Queued q;
        if (!Take(1, q)) return;
        Accept(kIfData, q, data.packetsLost);
        if (context.dataItemSize != 0 && data.payloadValid) {
            samplesBeforeLast_ = samples_;
            samples_ += std::uint64_t{data.payloadSize} * 8 / (2u * context.dataItemSize);
            if (!firstSampled_.valid) firstSampled_ = q.time;
            lastSampled_ = q.time;
        }
        PacketLine line = LineOf(q, "if_data");
        line.data = &data;
        if (writeLine_) writeLine_(line);
    });
    decoder_.SetContextCallback([this](const Vita49_Info&, const Vita49_Context& context) {
        Queued q;
        if (!Take(4, q)) return;
        Accept(kIfContext, q, context.packetsLost);
        PacketLine line = LineOf(q, "if_context");
        line.context = &context;
        if (writeLine_) writeLine_(line);
    });
    decoder_.SetFFTDataCallback(
        [this](const Vita49_Info&, const Vita49_FFTContext&, const Vita49_FFTData& data, float*) {
            Queued q;
            if (!Take(3, q)) return;
            Accept(kExtData, q, data.packetsLost);
            PacketLine line = LineOf(q, "ext_data");
            line.fftData = &data;
            if (writeLine_) writeLine_(line);
        });
    decoder_.SetFFTContextCallback([this](const Vita49_Info&, const Vita49_FFTContext& context) {
        Queued q;
        if (!Take(5, q)) return;
        Accept(kExtContext, q, context.packetsLost);
        PacketLine line = LineOf(q, "ext_context");
        line.fftContext = &context;
        if (writeLine_) writeLine_(line);
    });
}

void StreamState::Enqueue(const PacketView& view, const capture::CaptureTime& time, const capture::Flow* flow) {
    queue_.push_back(Queued{view, time, flow != nullptr ? *flow : flow_});
}

void StreamState::Push(const std::uint8_t* bytes, std::size_t size) {
    if (byteStream_) {
        decoder_.PushBytes(bytes, size);
    } else {
        decoder_.PushDatagram(bytes, size);
    }
}

bool StreamState::Take(std::uint8_t type, Queued& out) {
    while (!queue_.empty()) {
        Queued q = std::move(queue_.front());
        queue_.pop_front();
        if (q.view.type == type) {
            out = std::move(q);
            return true;
        }
        NotTaken(q, "the decoder passed over it");
    }
    // The decoder reported a packet that was never pushed: say so rather than guess.
    Queued none;
    none.flow = flow_;
    none.time = last_;
    NotTaken(none, std::string("the decoder reported a ") + TypeName(type) + " packet that was not pushed");
    return false;
}

void StreamState::Accept(int kind, const Queued& q, std::uint32_t decoderLost) {
    KindStats& k = kinds_[kind];
    ++k.packets;
    if (k.seen) k.missing += (q.view.count - k.expected) & 0x0Fu;
    k.seen = true;
    k.expected = static_cast<std::uint8_t>((q.view.count + 1) & 0x0Fu);
    k.decoderLost = decoderLost;
    bytes_ += q.view.size;
    Touch(q.time);
}

void StreamState::Touch(const capture::CaptureTime& time) {
    if (!time.valid) return;
    if (!first_.valid) first_ = time;
    last_ = time;
}

void StreamState::NotTaken(const Queued& q, const std::string& why) {
    CountOther(q.view.size, q.time);
    PacketLine line;
    line.time = q.time;
    line.flow = &q.flow;
    line.size = q.view.size;
    line.hasStreamId = true;
    line.streamId = streamId_;
    line.error = std::string(TypeName(q.view.type) ? TypeName(q.view.type) : "packet") + " not decoded: " + why;
    if (writeLine_) writeLine_(line);
}

void StreamState::DropQueued(const char* why) {
    while (!queue_.empty()) {
        const Queued q = std::move(queue_.front());
        queue_.pop_front();
        NotTaken(q, why);
    }
}

void StreamState::CountOther(std::uint64_t bytes, const capture::CaptureTime& time) {
    ++other_;
    bytes_ += bytes;
    Touch(time);
}

void StreamState::Close() {
    decoder_.Close();
    DropQueued(byteStream_ ? "fewer than 20 bytes were left at the stream's end, and the decoder waits for more"
                           : "the decoder did not take it");
}

StreamSummary StreamState::Summary() const {
    StreamSummary s;
    s.flow = flow_;
    s.hasStreamId = true;
    s.streamId = streamId_;
    std::uint64_t accepted = 0;
    for (int k = 0; k < kKinds - 1; ++k) {
        s.packets[k] = kinds_[k].packets;
        s.discontinuities += kinds_[k].decoderLost;
        s.missing += kinds_[k].missing;
        accepted += kinds_[k].packets;
    }
    s.packets[kOther] = other_;
    s.bytes = bytes_;
    s.first = first_;
    s.last = last_;
    const double span = last_.seconds - first_.seconds;
    if (first_.valid && span > 0 && accepted > 1) s.packetRate = static_cast<double>(accepted - 1) / span;
    const double sampledSpan = lastSampled_.seconds - firstSampled_.seconds;
    if (firstSampled_.valid && sampledSpan > 0) {
        s.hasSampleRate = true;
        s.sampleRate = static_cast<double>(samplesBeforeLast_) / sampledSpan;
    }
    return s;
}

} // namespace vita49::dump
