#include "sim/StreamGenerator.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace vita49::sim {
namespace {

constexpr std::uint64_t kPsPerSecond = 1000000000000ull;

// Packet class codes of the class identifier, one per packet kind.
constexpr std::uint32_t kInfoClass = 0x0001;
constexpr std::uint32_t kClassData = 1, kClassContext = 2, kClassExtData = 3, kClassExtContext = 4;

void PutBe16(std::uint8_t* p, std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    p[0] = static_cast<std::uint8_t>(u >> 8);
    p[1] = static_cast<std::uint8_t>(u);
}

void PutBe32(std::uint8_t* p, std::int64_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    p[0] = static_cast<std::uint8_t>(u >> 24);
    p[1] = static_cast<std::uint8_t>(u >> 16);
    p[2] = static_cast<std::uint8_t>(u >> 8);
    p[3] = static_cast<std::uint8_t>(u);
}

std::int64_t Quantise(double value, double fullScale) {
    const double v = std::round(value * fullScale);
    return static_cast<std::int64_t>(std::clamp(v, -fullScale - 1.0, fullScale));
}

} // namespace

GpsFix GeneratorConfig::DefaultGps() {
    GpsFix g;
    g.latitudeDeg = 47.3769;
    g.longitudeDeg = 8.5417;
    g.altitudeM = 408.0;
    g.speedMps = 0.0;
    g.headingDeg = 0.0;
    g.trackAngleDeg = 0.0;
    g.magneticVariationDeg = 2.5;
    return g;
}

StreamGenerator::StreamGenerator(const GeneratorConfig& config)
    : config_(config),
      tone_(config.toneAmplitude, config.noiseAmplitude, config.noiseSeed),
      spectrum_(IsPowerOfTwo(config.tracePoints) && config.tracePoints >= 16 && config.tracePoints <= 4096
                    ? config.tracePoints
                    : 256) {
    tone_.SetFrequency(ToneOffsetHz(), SampleRateHz());
}

Picoseconds StreamGenerator::WallClockPs() {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    return static_cast<Picoseconds>(ns > 0 ? ns : 0) * 1000u;
}

void StreamGenerator::Restart(std::uint32_t streamId, Picoseconds startPs) {
    streamId_ = streamId;
    segmentStartPs_ = startPs;
    segmentSamples_ = 0;
    earlierSeconds_ = 0;
    contextDue_ = true;
    nextContextS_ = 0;
    nextSpectrumS_ = 0;
    spectrum_.ResetAverage();
}

void StreamGenerator::SetParams(const IqParams& params) {
    if (params == params_) return;
    // The time base continues across the change: a new segment starts at the next sample.
    const Picoseconds now = TimeOfSample(segmentSamples_);
    earlierSeconds_ = StreamSeconds();
    segmentStartPs_ = now;
    segmentSamples_ = 0;
    params_ = params;
    tone_.SetFrequency(ToneOffsetHz(), SampleRateHz());
    spectrum_.ResetAverage();
    contextDue_ = true;
}

std::size_t StreamGenerator::SamplesPerPacket() const {
    const std::size_t frameBytes = params_.itemBits == 32 ? 8 : 4;
    return std::max<std::size_t>(1, params_.payloadLimit / frameBytes);
}

Picoseconds StreamGenerator::TimeOfSample(std::uint64_t segmentSample) const {
    const Picoseconds num = params_.RateNumerator();
    const Picoseconds den = params_.RateDenominator();
    return segmentStartPs_ + static_cast<Picoseconds>(segmentSample) * kPsPerSecond * den / num;
}

double StreamGenerator::StreamSeconds() const {
    return earlierSeconds_ + static_cast<double>(segmentSamples_) / SampleRateHz();
}

void StreamGenerator::StampTime(PacketHeader& h, Picoseconds t) const {
    h.tsi = 1; // UTC
    h.intTimestamp = static_cast<std::uint32_t>(t / kPsPerSecond);
    h.tsf = 2; // real time, picoseconds
    h.fracTimestamp = static_cast<std::uint64_t>(t % kPsPerSecond);
}

PacketHeader StreamGenerator::Header(std::uint8_t type, std::uint8_t& count, std::uint32_t packetClass,
                                     Picoseconds t) const {
    PacketHeader h;
    h.type = type;
    h.count = count;
    count = (count + 1) & 0x0F;
    h.streamId = streamId_;
    h.classId = config_.classId;
    h.classOui = kClassOui;
    h.classCodes = (kInfoClass << 16) | packetClass;
    StampTime(h, t);
    return h;
}

void StreamGenerator::Append(PacketBlock& block, PacketKind kind, PacketHeader& h, const std::uint8_t* payload,
                             std::size_t bytes) {
    const std::size_t at = block.bytes.size();
    AppendPacket(block.bytes, h, payload, bytes);
    block.packets.push_back({kind, at, block.bytes.size() - at});
}

void StreamGenerator::AppendIfContext(PacketBlock& block, Picoseconds t) {
    ContextValues v;
    v.hasBandwidth = true;
    v.bandwidthHz = params_.cbwHz;
    v.hasRfReferenceFrequency = true;
    v.rfReferenceFrequencyHz = static_cast<double>(params_.tuneHz);
    v.hasReferenceLevel = true;
    v.referenceLevelDbm = config_.referenceLevelDbm;
    v.hasSampleRate = true;
    v.sampleRateHz = SampleRateHz();
    v.hasPayloadFormat = true;
    v.itemBits = params_.itemBits;
    v.hasGps = true;
    v.gps = config_.gps;
    v.gps.intTimestamp = static_cast<std::uint32_t>(t / kPsPerSecond);
    v.gps.fracTimestamp = static_cast<std::uint64_t>(t % kPsPerSecond);
    v.changed = contextDue_;
    const std::vector<std::uint8_t> section = ContextSection(v);

    PacketHeader h = Header(4, countIfContext_, kClassContext, t);
    Append(block, PacketKind::IfContext, h, section.data(), section.size());
    ++counts_.ifContext;
}

void StreamGenerator::AppendExtContext(PacketBlock& block, Picoseconds t) {
    // Centre frequency, span, bin spacing and the number of trace points.
    const double rate = SampleRateHz();
    const std::vector<std::uint8_t> payload =
        SpectrumContextPayload(static_cast<double>(params_.tuneHz), rate, rate / static_cast<double>(spectrum_.Points()),
                               static_cast<std::uint32_t>(spectrum_.Points()));
    PacketHeader h = Header(5, countExtContext_, kClassExtContext, t);
    Append(block, PacketKind::ExtContext, h, payload.data(), payload.size());
    ++counts_.extContext;
}

void StreamGenerator::AppendTraces(PacketBlock& block, Picoseconds t) {
    spectrum_.Compute(config_.referenceLevelDbm, traceLatest_, traceAverage_);
    for (int i = 0; i < 2; ++i) {
        const std::uint16_t id = i == 0 ? kTraceLatest : kTraceAverage;
        const std::vector<float>& values = i == 0 ? traceLatest_ : traceAverage_;
        const std::vector<std::uint8_t> payload = SpectrumDataPayload(id, values.data(), values.size());
        PacketHeader h = Header(3, countExtData_, kClassExtData, t);
        Append(block, PacketKind::ExtData, h, payload.data(), payload.size());
        ++counts_.extData;
    }
}

void StreamGenerator::AppendGarbage(PacketBlock& block) {
    // Every byte has the packet-type nibble 15, so nothing in it can pass for a packet start.
    const std::size_t at = block.bytes.size();
    for (std::uint32_t i = 0; i < std::max<std::uint32_t>(1, faults_.garbageBytes); ++i)
        block.bytes.push_back(static_cast<std::uint8_t>(0xF0 | ((i * 7) & 0x0F)));
    block.packets.push_back({PacketKind::Garbage, at, block.bytes.size() - at});
    ++counts_.garbage;
}

void StreamGenerator::NextBlock(PacketBlock& block) {
    const Picoseconds t = TimeOfSample(segmentSamples_);
    const double now = StreamSeconds();
    if (contextDue_ || now >= nextContextS_) {
        AppendIfContext(block, t);
        AppendExtContext(block, t);
        contextDue_ = false;
        nextContextS_ = now + config_.contextIntervalS;
    }

    const std::size_t n = SamplesPerPacket();
    const bool wide = params_.itemBits == 32;
    const double fullScale = wide ? 2147483647.0 : 32767.0;
    payload_.resize(n * (wide ? 8 : 4));
    std::uint8_t* p = payload_.data();
    for (std::size_t i = 0; i < n; ++i) {
        const Complex z = tone_.Next();
        spectrum_.Push(z);
        if (wide) {
            PutBe32(p, Quantise(z.real(), fullScale));
            PutBe32(p + 4, Quantise(z.imag(), fullScale));
            p += 8;
        } else {
            PutBe16(p, static_cast<std::int32_t>(Quantise(z.real(), fullScale)));
            PutBe16(p + 2, static_cast<std::int32_t>(Quantise(z.imag(), fullScale)));
            p += 4;
        }
    }

    PacketHeader h = Header(1, countIfData_, kClassData, t);
    h.trailer = true;
    h.trailerWord = MakeTrailer(TrailerBits{});
    ++dataPacketIndex_;
    if (faults_.skipDataEvery != 0 && dataPacketIndex_ % faults_.skipDataEvery == 0) {
        ++counts_.skippedData; // generated and counted, never sent: a lost packet
    } else {
        Append(block, PacketKind::IfData, h, payload_.data(), payload_.size());
        ++counts_.ifData;
    }
    if (faults_.foreignEvery != 0 && dataPacketIndex_ % faults_.foreignEvery == 0) {
        PacketHeader f = h;
        f.streamId = streamId_ + 1;
        f.count = countForeign_;
        countForeign_ = (countForeign_ + 1) & 0x0F;
        Append(block, PacketKind::Foreign, f, payload_.data(), payload_.size());
        ++counts_.foreign;
    }
    if (faults_.garbageEvery != 0 && dataPacketIndex_ % faults_.garbageEvery == 0) AppendGarbage(block);

    segmentSamples_ += n;
    counts_.samples += n;
    const double after = StreamSeconds();
    if (after >= nextSpectrumS_) {
        AppendTraces(block, TimeOfSample(segmentSamples_));
        nextSpectrumS_ = after + config_.spectrumIntervalS;
    }
}

} // namespace vita49::sim
