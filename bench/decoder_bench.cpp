// The IF context decoders on one packet that carries every decoded field (bandwidth, RF
// reference frequency, reference level, sample rate, payload format, GPS) and both
// timestamps, from wire bytes to values: each decoder alone, the whole packet into a
// Vita49_Context, and the same packet through the cutting unit with its callback.

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "BenchStream.h"
#include "receiver/StreamDecoder.h"
#include "vita49/ContextFields.h"
#include "vita49/PacketLayout.h"

namespace {

using namespace vita49;
using bench::Stream;

struct Packet {
    Packet() : bytes(bench::MakeFullContextPacket()), length(static_cast<std::uint32_t>(bytes.size())) {}
    std::vector<std::uint8_t> bytes;
    std::uint32_t length;
};

const Packet& ThePacket() {
    static const Packet packet;
    return packet;
}

// The packet pointer is hidden from the optimiser on every iteration, so that nothing is
// computed once and reused.
const std::uint8_t* Opaque(const std::uint8_t* p) {
    benchmark::DoNotOptimize(p);
    return p;
}

void BM_Field_Bandwidth(benchmark::State& state) {
    const Packet& p = ThePacket();
    double hz = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ReadBandwidth(Opaque(p.bytes.data()), p.length, hz));
        benchmark::DoNotOptimize(hz);
    }
    if (hz != 80e6) state.SkipWithError("wrong bandwidth");
}

void BM_Field_RfReferenceFrequency(benchmark::State& state) {
    const Packet& p = ThePacket();
    double hz = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ReadRfReferenceFrequency(Opaque(p.bytes.data()), p.length, hz));
        benchmark::DoNotOptimize(hz);
    }
    if (hz != 2.4e9) state.SkipWithError("wrong RF reference frequency");
}

void BM_Field_ReferenceLevel(benchmark::State& state) {
    const Packet& p = ThePacket();
    double dbm = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ReadReferenceLevel(Opaque(p.bytes.data()), p.length, dbm));
        benchmark::DoNotOptimize(dbm);
    }
    if (dbm != -10.5) state.SkipWithError("wrong reference level");
}

void BM_Field_SampleRate(benchmark::State& state) {
    const Packet& p = ThePacket();
    double hz = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ReadSampleRate(Opaque(p.bytes.data()), p.length, hz));
        benchmark::DoNotOptimize(hz);
    }
    if (hz != 100e6) state.SkipWithError("wrong sample rate");
}

void BM_Field_PayloadFormat(benchmark::State& state) {
    const Packet& p = ThePacket();
    std::uint8_t packing = 0, item = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ReadPayloadFormat(Opaque(p.bytes.data()), p.length, packing, item));
        benchmark::DoNotOptimize(item);
        benchmark::DoNotOptimize(packing);
    }
    if (item != 16 || packing != 16) state.SkipWithError("wrong payload format");
}

void BM_Field_FormattedGps(benchmark::State& state) {
    const Packet& p = ThePacket();
    std::uint32_t seconds = 0;
    std::uint64_t fraction = 0;
    double lat = 0, lon = 0, alt = 0, speed = 0, track = 0, variation = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ReadFormattedGps(Opaque(p.bytes.data()), p.length, seconds, fraction, lat, lon, alt,
                                                  speed, track, variation));
        benchmark::DoNotOptimize(seconds);
        benchmark::DoNotOptimize(fraction);
        benchmark::DoNotOptimize(lat);
        benchmark::DoNotOptimize(lon);
        benchmark::DoNotOptimize(alt);
        benchmark::DoNotOptimize(speed);
        benchmark::DoNotOptimize(track);
        benchmark::DoNotOptimize(variation);
    }
    if (seconds != 1700000000 || alt != 520) state.SkipWithError("wrong GPS fix");
}

// Wire bytes to a filled record: the prologue (packet count, stream identifier, both
// timestamps) and every context field, as the context branch does before its callback.
void DecodePacket(const std::uint8_t* packet, std::uint32_t length, Vita49_Context& c) {
    c.packetCount = HeaderPacketCount(packet);
    c.streamIdValid = ReadStreamId(packet, length, c.streamId);
    c.intTimestampValid = ReadIntegerTimestamp(packet, length, c.intTimestamp);
    c.fracTimestampValid = ReadFractionalTimestamp(packet, length, c.fracTimestamp);
    DecodeContextFields(packet, length, c);
}

void BM_FullContext_Decode(benchmark::State& state) {
    const Packet& p = ThePacket();
    Vita49_Context c;
    std::memset(static_cast<void*>(&c), 0, sizeof c);
    for (auto _ : state) {
        DecodePacket(Opaque(p.bytes.data()), p.length, c);
        benchmark::DoNotOptimize(&c);
        benchmark::ClobberMemory();
    }
    if (!(c.bandwidthValid && c.rfReferenceFrequencyValid && c.referenceLevelValid && c.sampleRateValid &&
          c.payloadFormatValid && c.gpsValid && c.intTimestampValid && c.fracTimestampValid) ||
        c.gpsMagneticVariationDeg != 2.5 || c.sampleRateHz != 100e6)
        state.SkipWithError("the packet did not decode in full");
}

// The same packet as one receive of the cutting unit: header checks, prologue with the
// continuity check, every field, the audio-format update and the context callback.
void BM_FullContext_ThroughDecoder(benchmark::State& state) {
    const Packet& p = ThePacket();
    auto decoder = std::make_unique<StreamDecoder>();
    Vita49_Receiver_Settings settings;
    std::memset(&settings, 0, sizeof settings);
    decoder->Configure(bench::kStreamId, settings, Framing::Datagram);
    decoder->ResetRecords();
    decoder->StartRun();
    std::uint64_t callbacks = 0;
    decoder->callbacks.context = [&callbacks](const Vita49_Info&, const Vita49_Context&) { ++callbacks; };
    // The receive leaves the packet in place, so one copy serves every iteration.
    std::memcpy(decoder->FreeSpace(), p.bytes.data(), p.length);
    for (auto _ : state) {
        decoder->Commit(p.length);
        benchmark::ClobberMemory();
    }
    if (callbacks != static_cast<std::uint64_t>(state.iterations()) || !decoder->Context().gpsValid)
        state.SkipWithError("context callback missed");
}

// For comparison: one IF data packet (8,192-byte payload and trailer, samples left in wire
// order) as one receive of the cutting unit, with its data callback.
void BM_DataPacket_ThroughDecoder(benchmark::State& state) {
    const Stream ring = bench::MakeDataRing();
    const std::uint32_t length = static_cast<std::uint32_t>(ring.PacketEnd(0));
    auto decoder = std::make_unique<StreamDecoder>();
    Vita49_Receiver_Settings settings;
    std::memset(&settings, 0, sizeof settings);
    decoder->Configure(bench::kStreamId, settings, Framing::Datagram);
    decoder->ResetRecords();
    decoder->StartRun();
    std::uint64_t callbacks = 0;
    decoder->callbacks.data = [&callbacks](const Vita49_Info&, const Vita49_Context&, const Vita49_Data&) {
        ++callbacks;
    };
    std::memcpy(decoder->FreeSpace(), ring.bytes.data(), length);
    for (auto _ : state) {
        decoder->Commit(length);
        benchmark::ClobberMemory();
    }
    if (callbacks != static_cast<std::uint64_t>(state.iterations()) || decoder->Data().payloadSize != bench::kPayloadBytes)
        state.SkipWithError("data callback missed");
}

} // namespace

BENCHMARK(BM_Field_Bandwidth);
BENCHMARK(BM_Field_RfReferenceFrequency);
BENCHMARK(BM_Field_ReferenceLevel);
BENCHMARK(BM_Field_SampleRate);
BENCHMARK(BM_Field_PayloadFormat);
BENCHMARK(BM_Field_FormattedGps);
BENCHMARK(BM_FullContext_Decode);
BENCHMARK(BM_FullContext_ThroughDecoder);
BENCHMARK(BM_DataPacket_ThroughDecoder);

BENCHMARK_MAIN();
