#pragma once

// The simulated instrument's packet stream, without a transport: IF context, IF data with
// the test signal, and spectrum extension packets, in the order and with the counts and
// timestamps the instrument sends them. The transport takes the packets block by block.
//
// Timestamps: integer seconds as UTC (TSI 1), fractional seconds as real time in picoseconds
// (TSF 2); both give the time of the packet's first sample (context packets: of the next
// data sample), advancing with the samples at the sample rate from the start time.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/CommandParser.h"
#include "sim/PacketWriter.h"
#include "sim/Signal.h"

namespace vita49::sim {

__extension__ typedef unsigned __int128 Picoseconds;

struct GeneratorConfig {
    double referenceLevelDbm = -10.0; // full scale
    double toneFraction = 0.125;      // tone offset from the centre = CBW x this
    double toneAmplitude = 0.5;       // full-scale units
    double noiseAmplitude = 0.001;
    std::uint64_t noiseSeed = 1;
    double contextIntervalS = 0.25;   // IF and spectrum context at least this often (stream time)
    double spectrumIntervalS = 0.05;  // one pair of traces per interval
    std::size_t tracePoints = 256;    // power of two, 16 to 4096
    bool classId = true;
    GpsFix gps = DefaultGps();

    static GpsFix DefaultGps();
};

// Faults the generator injects into the packet sequence (0 = off).
struct StreamFaults {
    std::uint32_t skipDataEvery = 0;    // every Nth IF data packet is dropped, its count consumed
    std::uint32_t foreignEvery = 0;     // after every Nth IF data packet, one of another stream
    std::uint32_t garbageEvery = 0;     // after every Nth IF data packet, bytes that are no packet
    std::uint32_t garbageBytes = 37;
};

enum class PacketKind : std::uint8_t { IfContext, IfData, ExtContext, ExtData, Foreign, Garbage };

struct PacketSpan {
    PacketKind kind;
    std::size_t offset;
    std::size_t length;
};

// One block: packets back to back in `bytes`, each described by a span.
struct PacketBlock {
    std::vector<std::uint8_t> bytes;
    std::vector<PacketSpan> packets;
    void Clear() {
        bytes.clear();
        packets.clear();
    }
};

struct GeneratorCounts {
    std::uint64_t ifContext = 0, ifData = 0, extContext = 0, extData = 0;
    std::uint64_t skippedData = 0, foreign = 0, garbage = 0;
    std::uint64_t samples = 0;
};

class StreamGenerator {
public:
    // Class identifier of every packet: a locally administered OUI and the packet kind.
    static constexpr std::uint32_t kClassOui = 0x02A049;
    static constexpr std::uint16_t kTraceLatest = 1;
    static constexpr std::uint16_t kTraceAverage = 2;

    explicit StreamGenerator(const GeneratorConfig& config = GeneratorConfig());

    // Starts a stream run at `startPs` (picoseconds since 1970): timestamps restart there, the
    // first block begins with both context packets. Packet counts continue from the last run.
    void Restart(std::uint32_t streamId, Picoseconds startPs);
    // New parameters take effect with the next block, which then begins with context.
    void SetParams(const IqParams& params);
    void SetFaults(const StreamFaults& faults) { faults_ = faults; }

    // Appends the next block: context when due, one IF data packet, traces when due.
    void NextBlock(PacketBlock& block);

    // Stream time at the end of the last block, from the start of the run.
    double StreamSeconds() const;
    const IqParams& Params() const { return params_; }
    double SampleRateHz() const { return params_.SampleRateHz(); }
    double ToneOffsetHz() const { return config_.toneFraction * params_.cbwHz; }
    std::size_t SamplesPerPacket() const;
    const GeneratorCounts& Counts() const { return counts_; }
    const GeneratorConfig& Config() const { return config_; }

    // Picoseconds since 1970 of the wall clock now.
    static Picoseconds WallClockPs();

private:
    Picoseconds TimeOfSample(std::uint64_t segmentSample) const;
    void StampTime(PacketHeader& h, Picoseconds t) const;
    // Header of the next packet of a kind: its count (then advanced), class and time.
    PacketHeader Header(std::uint8_t type, std::uint8_t& count, std::uint32_t packetClass, Picoseconds t) const;
    void Append(PacketBlock& block, PacketKind kind, PacketHeader& h, const std::uint8_t* payload, std::size_t bytes);
    void AppendIfContext(PacketBlock& block, Picoseconds t);
    void AppendExtContext(PacketBlock& block, Picoseconds t);
    void AppendTraces(PacketBlock& block, Picoseconds t);
    void AppendGarbage(PacketBlock& block);

    GeneratorConfig config_;
    IqParams params_;
    StreamFaults faults_;
    std::uint32_t streamId_ = 0;

    // Time base: the current segment (since the last start or rate change) started at
    // segmentStartPs_ and has run segmentSamples_ samples; earlier segments lasted
    // earlierSeconds_ of stream time.
    Picoseconds segmentStartPs_ = 0;
    std::uint64_t segmentSamples_ = 0;
    double earlierSeconds_ = 0;

    bool contextDue_ = true;
    double nextContextS_ = 0;
    double nextSpectrumS_ = 0;

    std::uint8_t countIfData_ = 0, countIfContext_ = 0, countExtData_ = 0, countExtContext_ = 0;
    std::uint8_t countForeign_ = 0;
    std::uint64_t dataPacketIndex_ = 0;

    ToneSource tone_;
    SpectrumAnalyzer spectrum_;
    std::vector<std::uint8_t> payload_;
    std::vector<float> traceLatest_, traceAverage_;
    GeneratorCounts counts_;
};

} // namespace vita49::sim
