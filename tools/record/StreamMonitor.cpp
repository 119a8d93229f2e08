#include "record/StreamMonitor.h"

#include <cstring>

namespace vita49::record {
namespace {

// The receiver is asked for little-endian samples at the callback; decode them as such
// whatever this host's byte order.
std::int32_t Le16(const std::uint8_t* p) { return static_cast<std::int16_t>(p[0] | (p[1] << 8)); }
std::int32_t Le32(const std::uint8_t* p) {
    return static_cast<std::int32_t>(std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
                                     (std::uint32_t{p[3]} << 24));
}

} // namespace

void StreamMonitor::Attach(Vita49Receiver& receiver, std::uint16_t trace) {
    trace_ = trace;
    receiver.SetInfoCallback([this](const Vita49_Info& info) {
        std::lock_guard<std::mutex> lock(mutex_);
        s_.info = info;
        ++s_.otherCallbacks;
    });
    receiver.SetContextCallback([this](const Vita49_Info& info, const Vita49_Context& context) {
        std::lock_guard<std::mutex> lock(mutex_);
        s_.info = info;
        s_.context = context;
        s_.haveContext = true;
        s_.contextPackets = context.packetsReceived;
        s_.contextLost = context.packetsLost;
        s_.contextGaps.Take(context.packetCount);
    });
    receiver.SetDataCallback([this](const Vita49_Info& info, const Vita49_Context& context, const Vita49_Data& data) {
        OnData(info, context, data);
    });
    receiver.SetFFTContextCallback([this](const Vita49_Info& info, const Vita49_FFTContext& context) {
        std::lock_guard<std::mutex> lock(mutex_);
        s_.info = info;
        s_.spectrumContext = context;
        s_.haveSpectrumContext = true;
        s_.spectrumContextPackets = context.packetsReceived;
        s_.spectrumContextLost = context.packetsLost;
        s_.spectrumContextGaps.Take(context.packetCount);
    });
    receiver.SetFFTDataCallback(
        [this](const Vita49_Info& info, const Vita49_FFTContext&, const Vita49_FFTData& data, float* values) {
            OnSpectrumData(info, data, values);
        });
    receiver.SetConnectionErrorCallback([this]() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++s_.connectionErrors;
    });
}

void StreamMonitor::OnSpectrumData(const Vita49_Info& info, const Vita49_FFTData& data, const float* values) {
    std::lock_guard<std::mutex> lock(mutex_);
    s_.info = info;
    s_.spectrumDataPackets = data.packetsReceived;
    s_.spectrumDataLost = data.packetsLost;
    s_.spectrumDataGaps.Take(data.packetCount);
    bool displayedSeen = false;
    if (data.traceIdsValid) {
        s_.traceIds.clear();
        for (std::uint16_t id : data.traceIds)
            if (id != 0) s_.traceIds.push_back(id);
        for (std::uint16_t id : s_.traceIds) displayedSeen = displayedSeen || id == trace_;
    }
    // The receiver's buffer holds the displayed trace's values only once that trace arrived;
    // before, it is zero-filled (or holds nothing), which is no trace to show.
    if (values != nullptr && data.payloadValid && displayedSeen) {
        s_.lastTrace.resize(data.payloadSize / 4);
        std::memcpy(s_.lastTrace.data(), values, s_.lastTrace.size() * sizeof(float));
    }
}

void StreamMonitor::OnData(const Vita49_Info& info, const Vita49_Context& context, const Vita49_Data& data) {
    std::lock_guard<std::mutex> lock(mutex_);
    s_.info = info;
    if (data.packetsLost != s_.dataLost) tone_.Break(); // samples are missing in between
    s_.dataPackets = data.packetsReceived;
    s_.dataLost = data.packetsLost;
    s_.dataGaps.Take(data.packetCount);
    if (!data.payloadValid || !context.payloadFormatValid || !context.sampleRateValid) return;
    const unsigned bits = context.dataItemSize;
    if (bits != 16 && bits != 32) return;
    if (context.sampleRateHz != toneRate_) {
        // A new rate gives other phase steps: start the estimate afresh.
        tone_.Reset();
        toneRate_ = context.sampleRateHz;
    }
    const std::uint8_t* p = data.packet + data.payloadOffset;
    const std::uint32_t frame = bits / 4; // I and Q items
    const std::uint32_t frames = data.payloadSize / frame;
    const double scale = bits == 16 ? 1.0 / 32768.0 : 1.0 / 2147483648.0;
    for (std::uint32_t i = 0; i < frames; ++i, p += frame) {
        const double re = (bits == 16 ? Le16(p) : Le32(p)) * scale;
        const double im = (bits == 16 ? Le16(p + 2) : Le32(p + 4)) * scale;
        tone_.Add({re, im});
    }
    s_.samples += frames;
    s_.toneHz = tone_.FrequencyHz(toneRate_);
    s_.toneSamples = tone_.Samples();
}

MonitorSnapshot StreamMonitor::Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return s_;
}

} // namespace vita49::record
