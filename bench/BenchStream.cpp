#include "BenchStream.h"

#include <cstdlib>
#include <cstring>
#include <random>

#include "sim/PacketWriter.h"

namespace vita49::bench {
namespace {

sim::PacketHeader Header(std::uint8_t type, std::uint8_t count, std::uint32_t seconds) {
    sim::PacketHeader h;
    h.type = type;
    h.count = static_cast<std::uint8_t>(count & 0x0F);
    h.streamId = kStreamId;
    h.tsi = 1;
    h.intTimestamp = seconds;
    h.tsf = 2;
    h.fracTimestamp = 123456789012ull;
    return h;
}

void Append(Stream& s, const sim::PacketHeader& h, const std::vector<std::uint8_t>& payload, bool data) {
    s.packetStarts.push_back(s.bytes.size());
    if (data) s.payloadStarts.push_back(s.bytes.size() + sim::PacketBytes(h, 0) - (h.trailer ? 4 : 0));
    sim::AppendPacket(s.bytes, h, payload.data(), payload.size());
    if (data)
        ++s.dataPackets;
    else
        ++s.otherPackets;
}

std::vector<std::uint8_t> RandomPayload(std::mt19937& random) {
    std::vector<std::uint8_t> payload(kPayloadBytes);
    for (auto& b : payload) b = static_cast<std::uint8_t>(random());
    return payload;
}

sim::PacketHeader DataHeader(std::uint8_t count, std::uint32_t seconds) {
    sim::PacketHeader h = Header(1, count, seconds);
    h.trailer = true;
    h.trailerWord = sim::MakeTrailer(sim::TrailerBits{});
    return h;
}

} // namespace

std::vector<std::uint8_t> MakeFullContextPacket(std::uint8_t count) {
    sim::ContextValues v;
    v.hasBandwidth = true;
    v.bandwidthHz = 80e6;
    v.hasRfReferenceFrequency = true;
    v.rfReferenceFrequencyHz = 2.4e9;
    v.hasReferenceLevel = true;
    v.referenceLevelDbm = -10.5;
    v.hasSampleRate = true;
    v.sampleRateHz = 100e6;
    v.hasPayloadFormat = true;
    v.itemBits = 16;
    v.hasGps = true;
    v.gps.intTimestamp = 1700000000;
    v.gps.fracTimestamp = 5;
    v.gps.latitudeDeg = 48.1;
    v.gps.longitudeDeg = 11.6;
    v.gps.altitudeM = 520;
    v.gps.speedMps = 1.5;
    v.gps.trackAngleDeg = 90;
    v.gps.magneticVariationDeg = 2.5;
    std::vector<std::uint8_t> out;
    const std::vector<std::uint8_t> section = sim::ContextSection(v);
    sim::AppendPacket(out, Header(4, count, 1700000000), section.data(), section.size());
    return out;
}

Stream MakeStream(std::size_t blocks) {
    std::mt19937 random(7);
    const std::vector<std::uint8_t> payload = RandomPayload(random);
    std::vector<float> trace(kTraceValues);
    for (std::size_t i = 0; i < trace.size(); ++i) trace[i] = -100.0f + static_cast<float>(i % 50);
    const std::vector<std::uint8_t> spectrum = sim::SpectrumDataPayload(1, trace.data(), trace.size());
    const std::vector<std::uint8_t> spectrumContext = sim::SpectrumContextPayload(1e9, 10e6, 100e3, 7);

    Stream s;
    std::uint8_t dataCount = 0;
    std::uint32_t seconds = 1700000000;
    for (std::size_t block = 0; block < blocks; ++block, ++seconds) {
        const std::uint8_t count = static_cast<std::uint8_t>(block & 0x0F);
        const std::vector<std::uint8_t> context = MakeFullContextPacket(count);
        s.packetStarts.push_back(s.bytes.size());
        s.bytes.insert(s.bytes.end(), context.begin(), context.end());
        ++s.otherPackets;
        Append(s, Header(5, count, seconds), spectrumContext, false);
        for (std::size_t i = 0; i < kDataPerContext; ++i) {
            Append(s, DataHeader(dataCount++, seconds), payload, true);
            if (i == kDataPerContext / 2) Append(s, Header(3, count, seconds), spectrum, false);
        }
    }
    return s;
}

Stream MakeDataRing() {
    std::mt19937 random(11);
    const std::vector<std::uint8_t> payload = RandomPayload(random);
    Stream s;
    for (std::uint8_t count = 0; count < 16; ++count) Append(s, DataHeader(count, 1700000000), payload, true);
    return s;
}

double NumberOption(int& argc, char** argv, const std::string& name, const char* envName, double fallback) {
    double value = fallback;
    if (const char* env = std::getenv(envName); env != nullptr && *env != '\0') value = std::atof(env);
    const std::string prefix = "--" + name + "=";
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], prefix.c_str(), prefix.size()) == 0)
            value = std::atof(argv[i] + prefix.size());
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    return value;
}

} // namespace vita49::bench
