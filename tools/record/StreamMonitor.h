#pragma once

// What vita49-record learns from the receiver's callbacks: packet counts and losses per
// kind (discontinuities from the receiver, packets missing from the 4-bit count gaps), the
// latest context records, the trace identifiers, the last displayed trace and a
// running tone estimate from the samples. The callbacks run on the receive thread; the
// main thread takes snapshots.

#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "sim/Signal.h"
#include "vita49/Vita49Receiver.h"

namespace vita49::record {

// Packets missing in one packet sequence, from the gaps in its 4-bit count: a lower bound,
// since a gap of 16 or more packets looks shorter (or like none).
struct CountGaps {
    bool first = true;
    std::uint8_t expected = 0;
    std::uint64_t missing = 0;

    void Take(std::uint8_t count) {
        if (!first) missing += static_cast<std::uint8_t>((count - expected) & 0x0F);
        first = false;
        expected = static_cast<std::uint8_t>((count + 1) & 0x0F);
    }
};

struct MonitorSnapshot {
    // The records' own constructors leave most fields undefined; start from zero.
    MonitorSnapshot() {
        std::memset(static_cast<void*>(&context), 0, sizeof context);
        std::memset(static_cast<void*>(&spectrumContext), 0, sizeof spectrumContext);
    }

    Vita49_Info info{};
    bool haveContext = false;
    Vita49_Context context;
    bool haveSpectrumContext = false;
    Vita49_FFTContext spectrumContext;
    std::uint32_t dataPackets = 0, dataLost = 0;
    std::uint32_t contextPackets = 0, contextLost = 0;
    std::uint32_t spectrumContextPackets = 0, spectrumContextLost = 0;
    std::uint32_t spectrumDataPackets = 0, spectrumDataLost = 0;
    CountGaps dataGaps, contextGaps, spectrumContextGaps, spectrumDataGaps;
    std::uint64_t otherCallbacks = 0; // packets of other streams and dropped bytes
    std::uint64_t samples = 0;
    std::uint32_t connectionErrors = 0;
    std::vector<std::uint16_t> traceIds;
    std::vector<float> lastTrace; // the displayed trace, once it arrived, as last copied
    double toneHz = 0;            // estimated offset from the centre
    std::uint64_t toneSamples = 0;

    // Discontinuities in the packet counts, all kinds.
    std::uint32_t Lost() const { return dataLost + contextLost + spectrumContextLost + spectrumDataLost; }
    std::uint64_t Missing() const {
        return dataGaps.missing + contextGaps.missing + spectrumContextGaps.missing + spectrumDataGaps.missing;
    }
};

class StreamMonitor {
public:
    // Registers the callbacks on `receiver` (closed), whose displayed trace is `trace`.
    void Attach(Vita49Receiver& receiver, std::uint16_t trace);
    MonitorSnapshot Snapshot() const;

private:
    void OnData(const Vita49_Info& info, const Vita49_Context& context, const Vita49_Data& data);
    void OnSpectrumData(const Vita49_Info& info, const Vita49_FFTData& data, const float* values);

    mutable std::mutex mutex_;
    MonitorSnapshot s_;
    vita49::sim::ToneEstimator tone_;
    double toneRate_ = 0;
    std::uint16_t trace_ = 1;
};

} // namespace vita49::record
