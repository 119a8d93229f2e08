#pragma once

// What vita49-record learns from the receiver's callbacks: packet counts and losses per
// kind, the latest context records, the trace identifiers, the last displayed trace and a
// running tone estimate from the samples. The callbacks run on the receive thread; the
// main thread takes snapshots.

#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "sim/Signal.h"
#include "vita49/Vita49Receiver.h"

namespace vita49::record {

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
    std::uint64_t otherCallbacks = 0; // packets of other streams and dropped bytes
    std::uint64_t samples = 0;
    std::uint32_t connectionErrors = 0;
    std::vector<std::uint16_t> traceIds;
    std::vector<float> lastTrace; // the displayed trace, as the receiver last copied it
    double toneHz = 0;            // estimated offset from the centre
    std::uint64_t toneSamples = 0;

    std::uint32_t Lost() const { return dataLost + contextLost + spectrumContextLost + spectrumDataLost; }
};

class StreamMonitor {
public:
    // Registers the callbacks on `receiver` (closed).
    void Attach(Vita49Receiver& receiver);
    MonitorSnapshot Snapshot() const;

private:
    void OnData(const Vita49_Info& info, const Vita49_Context& context, const Vita49_Data& data);

    mutable std::mutex mutex_;
    MonitorSnapshot s_;
    vita49::sim::ToneEstimator tone_;
    double toneRate_ = 0;
};

} // namespace vita49::record
