// The simulated instrument's packet stream, without a network: blocks from the generator go
// straight into the receiver's decoder, datagram by datagram or as a byte stream, and what
// comes out is checked against the parameters and the test signal.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "sim/StreamGenerator.h"
#include "support/Recorder.h"
#include "support/StreamBuilder.h"
#include "vita49/PacketLayout.h"

namespace {

using vita49::sim::GeneratorConfig;
using vita49::sim::IqParams;
using vita49::sim::PacketBlock;
using vita49::sim::PacketKind;
using vita49::sim::Picoseconds;
using vita49::sim::StreamGenerator;
using vita49::test::CallbackRecorder;

constexpr std::uint32_t kStreamId = 0x1234;
constexpr std::uint64_t kPs = 1000000000000ull;
// 2026-01-01 00:00:00.25 UTC.
const Picoseconds kStart = static_cast<Picoseconds>(1767225600ull) * kPs + 250000000000ull;

std::int64_t ItemAt(const std::uint8_t* p, unsigned bits) {
    if (bits == 16) return static_cast<std::int16_t>((p[0] << 8) | p[1]);
    return static_cast<std::int32_t>((std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
                                     (std::uint32_t{p[2]} << 8) | p[3]);
}

Picoseconds TimeOf(const Vita49_Data& d) {
    return static_cast<Picoseconds>(d.intTimestamp) * kPs + d.fracTimestamp;
}

struct Format {
    unsigned bits;
    bool oversampling;
};

class GeneratorTest : public ::testing::TestWithParam<Format> {
protected:
    void SetUp() override {
        params.cbwHz = 100000;
        params.tuneHz = 2400000000ull;
        params.itemBits = static_cast<std::uint8_t>(GetParam().bits);
        params.oversampling = GetParam().oversampling;
        params.payloadLimit = 1000;
        gen.SetParams(params);
        gen.Restart(kStreamId, kStart);
        decoder = vita49::test::MakeDecoder(kStreamId, false);
        recorder.Attach(decoder->callbacks);
    }

    // Generates blocks until `seconds` of stream time and hands every packet to the decoder
    // as one datagram.
    void Run(double seconds) {
        while (gen.StreamSeconds() < seconds) {
            block.Clear();
            gen.NextBlock(block);
            for (const auto& span : block.packets) {
                kinds.push_back(span.kind);
                decoder->Deliver(block.bytes.data() + span.offset, span.length);
            }
        }
    }

    double Rate() const { return params.SampleRateHz(); }

    IqParams params;
    StreamGenerator gen;
    PacketBlock block;
    std::vector<PacketKind> kinds;
    std::unique_ptr<vita49::StreamDecoder> decoder;
    CallbackRecorder recorder;
};

TEST_P(GeneratorTest, StartsWithContextThenDataWithTrailer) {
    Run(0.01);
    ASSERT_GE(kinds.size(), 3u);
    EXPECT_EQ(kinds[0], PacketKind::IfContext);
    EXPECT_EQ(kinds[1], PacketKind::ExtContext);
    EXPECT_EQ(kinds[2], PacketKind::IfData);
    ASSERT_FALSE(recorder.data.empty());
    const Vita49_Data& d = recorder.data.front().data;
    EXPECT_TRUE(d.validDataEnabled && d.validData);
    EXPECT_TRUE(d.referenceLockEnabled && d.referenceLock);
    EXPECT_FALSE(d.sampleLoss);
    EXPECT_FALSE(d.overRange);
    EXPECT_EQ(d.streamId, kStreamId);
}

TEST_P(GeneratorTest, ContextCarriesTheParameters) {
    Run(0.01);
    ASSERT_FALSE(recorder.contexts.empty());
    const Vita49_Context& c = recorder.contexts.front().context;
    ASSERT_TRUE(c.bandwidthValid && c.rfReferenceFrequencyValid && c.sampleRateValid && c.payloadFormatValid &&
                c.referenceLevelValid && c.gpsValid);
    EXPECT_DOUBLE_EQ(c.bandwidthHz, 100000.0);
    EXPECT_DOUBLE_EQ(c.rfReferenceFrequencyHz, 2400000000.0);
    // The documented rule: CBW x 1.25 with oversampling, CBW without.
    EXPECT_DOUBLE_EQ(c.sampleRateHz, GetParam().oversampling ? 125000.0 : 100000.0);
    EXPECT_EQ(c.dataItemSize, GetParam().bits);
    EXPECT_EQ(c.itemPackingFieldSize, GetParam().bits);
    EXPECT_DOUBLE_EQ(c.referenceLevelDbm, gen.Config().referenceLevelDbm);
    EXPECT_NEAR(c.gpsLatitudeDeg, gen.Config().gps.latitudeDeg, 1e-6);
    EXPECT_NEAR(c.gpsLongitudeDeg, gen.Config().gps.longitudeDeg, 1e-6);
    EXPECT_NEAR(c.gpsAltitudeM, gen.Config().gps.altitudeM, 0.05);
    EXPECT_EQ(c.intTimestamp, 1767225600u);
    EXPECT_EQ(c.fracTimestamp, 250000000000ull);
    EXPECT_EQ(c.gpsIntTimestamp, 1767225600u);
}

TEST_P(GeneratorTest, DataPacketsStayWithinTheLimitAndTimestampsFollowTheSamples) {
    Run(0.5);
    ASSERT_GT(recorder.data.size(), 20u);
    const unsigned frame = GetParam().bits / 4;
    const std::uint32_t expectedBytes = params.payloadLimit / frame * frame;
    Picoseconds previous = 0;
    std::uint32_t previousSamples = 0;
    for (std::size_t i = 0; i < recorder.data.size(); ++i) {
        const Vita49_Data& d = recorder.data[i].data;
        ASSERT_EQ(d.payloadSize, expectedBytes) << i;
        ASSERT_TRUE(d.intTimestampValid && d.fracTimestampValid);
        ASSERT_LT(d.fracTimestamp, kPs);
        const Picoseconds t = TimeOf(d);
        if (i == 0) {
            EXPECT_TRUE(t == kStart);
        } else {
            // Exactly the duration of the previous packet's samples, to the picosecond.
            const double expected = previousSamples / Rate() * 1e12;
            EXPECT_NEAR(static_cast<double>(t - previous), expected, 1.0) << i;
        }
        previous = t;
        previousSamples = d.payloadSize / frame;
    }
    EXPECT_EQ(decoder->Data().packetsLost, 0u);
    EXPECT_EQ(decoder->Context().packetsLost, 0u);
    EXPECT_EQ(decoder->FFTData().packetsLost, 0u);
    EXPECT_EQ(decoder->FFTContext().packetsLost, 0u);
}

TEST_P(GeneratorTest, SamplesCarryTheToneAtItsOffset) {
    Run(0.2);
    vita49::sim::ToneEstimator tone;
    const unsigned bits = GetParam().bits;
    const double fullScale = bits == 16 ? 32767.0 : 2147483647.0;
    double peak = 0;
    for (const auto& call : recorder.data) {
        // No conversion was asked for: the samples are in wire order (big-endian).
        const std::uint8_t* p = call.samples.data();
        for (std::size_t k = 0; k + bits / 4 <= call.samples.size(); k += bits / 4) {
            const double re = ItemAt(p + k, bits) / fullScale, im = ItemAt(p + k + bits / 8, bits) / fullScale;
            tone.Add({re, im});
            peak = std::max(peak, std::hypot(re, im));
        }
    }
    EXPECT_NEAR(tone.FrequencyHz(Rate()), gen.ToneOffsetHz(), 0.5);
    EXPECT_DOUBLE_EQ(gen.ToneOffsetHz(), 12500.0); // CBW / 8
    EXPECT_NEAR(peak, gen.Config().toneAmplitude, 0.01);
}

TEST_P(GeneratorTest, TwoInterleavedTracesShowTheTone) {
    Run(0.5);
    ASSERT_GE(recorder.fftData.size(), 10u);
    for (std::size_t i = 0; i < recorder.fftData.size(); ++i) {
        const Vita49_FFTData& d = recorder.fftData[i].data;
        ASSERT_EQ(d.payloadSize, 4u * gen.Config().tracePoints);
        // Trace 1 comes first, trace 2 right after it, in every pair.
        EXPECT_EQ(d.traceIds[0], 1);
        EXPECT_EQ(d.traceIds[1], i == 0 ? 0 : 2);
    }
    // Trace values leave the packet byte for byte: little-endian floats, read as such here.
    const std::vector<float>& trace = recorder.fftData.back().values;
    ASSERT_EQ(trace.size(), gen.Config().tracePoints);
    const auto peak = std::max_element(trace.begin(), trace.end());
    const double binHz = Rate() / static_cast<double>(trace.size());
    const double peakHz = (static_cast<double>(peak - trace.begin()) - trace.size() / 2.0) * binHz;
    EXPECT_NEAR(peakHz, gen.ToneOffsetHz(), binHz);
    const double expectedLevel = gen.Config().referenceLevelDbm + 20 * std::log10(gen.Config().toneAmplitude);
    EXPECT_NEAR(*peak, expectedLevel, 1.5); // Hann window: at most 1.42 dB below between bins
    // Far from the tone only the noise floor remains.
    EXPECT_LT(trace[0], expectedLevel - 60);

    const Vita49_FFTContext& c = recorder.fftContexts.back().context;
    ASSERT_TRUE(c.spectrumParam1Valid);
    EXPECT_DOUBLE_EQ(c.spectrumParam1Hz, 2400000000.0); // centre
    EXPECT_DOUBLE_EQ(c.spectrumParam2Hz, Rate());       // span
    EXPECT_DOUBLE_EQ(c.spectrumParam3Hz, binHz);        // point spacing
    EXPECT_EQ(c.spectrumParam4, gen.Config().tracePoints);
}

TEST_P(GeneratorTest, ContextRepeatsAtItsInterval) {
    Run(2.0);
    const double interval = gen.Config().contextIntervalS;
    const double expected = 2.0 / interval;
    EXPECT_NEAR(static_cast<double>(recorder.contexts.size()), expected, 1.5);
    EXPECT_EQ(recorder.contexts.size(), recorder.fftContexts.size());
    EXPECT_NEAR(static_cast<double>(recorder.fftData.size()), 2 * 2.0 / gen.Config().spectrumIntervalS, 4.0);
}

TEST_P(GeneratorTest, ParameterChangeSendsContextFirstAndKeepsTheTimeBase) {
    Run(0.05);
    const std::size_t contextsBefore = recorder.contexts.size();
    const std::size_t dataBefore = recorder.data.size();
    const Vita49_Data last = recorder.data.back().data;
    const unsigned oldFrame = GetParam().bits / 4;
    const double oldRate = Rate();

    params.cbwHz = 200000;
    params.itemBits = GetParam().bits == 16 ? 32 : 16;
    params.tuneHz = 100000000;
    gen.SetParams(params);
    block.Clear();
    gen.NextBlock(block);
    ASSERT_GE(block.packets.size(), 2u);
    EXPECT_EQ(block.packets[0].kind, PacketKind::IfContext);
    for (const auto& span : block.packets) decoder->Deliver(block.bytes.data() + span.offset, span.length);

    ASSERT_EQ(recorder.contexts.size(), contextsBefore + 1);
    const Vita49_Context& c = recorder.contexts.back().context;
    EXPECT_DOUBLE_EQ(c.bandwidthHz, 200000.0);
    EXPECT_DOUBLE_EQ(c.rfReferenceFrequencyHz, 100000000.0);
    EXPECT_EQ(c.dataItemSize, params.itemBits);
    ASSERT_EQ(recorder.data.size(), dataBefore + 1);
    const Vita49_Data& d = recorder.data.back().data;
    EXPECT_EQ(d.payloadSize % (params.itemBits / 4), 0u);
    const double expectedStep = (last.payloadSize / oldFrame) / oldRate * 1e12;
    EXPECT_NEAR(static_cast<double>(TimeOf(d) - TimeOf(last)), expectedStep, 1.0);
    EXPECT_EQ(decoder->Data().packetsLost, 0u);
}

TEST_P(GeneratorTest, RestartKeepsCountsAndBeginsWithContext) {
    Run(0.05);
    gen.Restart(kStreamId, kStart + 10 * static_cast<Picoseconds>(kPs));
    kinds.clear();
    const std::size_t dataBefore = recorder.data.size();
    Run(0.05);
    EXPECT_EQ(kinds.front(), PacketKind::IfContext);
    EXPECT_EQ(recorder.data[dataBefore].data.intTimestamp, 1767225610u);
    EXPECT_EQ(decoder->Data().packetsLost, 0u);
    EXPECT_EQ(decoder->Context().packetsLost, 0u);
    EXPECT_EQ(decoder->FFTData().packetsLost, 0u);
    EXPECT_EQ(decoder->FFTContext().packetsLost, 0u);
}

INSTANTIATE_TEST_SUITE_P(Formats, GeneratorTest,
                         ::testing::Values(Format{16, true}, Format{16, false}, Format{32, true}, Format{32, false}),
                         [](const ::testing::TestParamInfo<Format>& info) {
                             return "I" + std::to_string(info.param.bits) +
                                    (info.param.oversampling ? "_Oversampled" : "_Critical");
                         });

// --- Faults ---------------------------------------------------------------------------------

class GeneratorFaultTest : public ::testing::TestWithParam<bool> {
protected:
    // Feeds `blocks` blocks as datagrams, or as one byte stream in 1000-byte receives.
    void Feed(StreamGenerator& gen, int blocks) {
        const bool tcp = GetParam();
        decoder = vita49::test::MakeDecoder(kStreamId, tcp);
        recorder.Attach(decoder->callbacks);
        PacketBlock block;
        std::vector<std::uint8_t> bytes;
        for (int i = 0; i < blocks; ++i) {
            block.Clear();
            gen.NextBlock(block);
            if (tcp) {
                bytes.insert(bytes.end(), block.bytes.begin(), block.bytes.end());
            } else {
                for (const auto& span : block.packets)
                    decoder->Deliver(block.bytes.data() + span.offset, span.length);
            }
        }
        if (tcp) vita49::test::DeliverInChunks(*decoder, bytes, 1000);
    }

    std::unique_ptr<vita49::StreamDecoder> decoder;
    CallbackRecorder recorder;
};

TEST_P(GeneratorFaultTest, SkippedCountsAreLossesAtExactlyThosePackets) {
    StreamGenerator gen;
    vita49::sim::StreamFaults faults;
    faults.skipDataEvery = 4;
    gen.SetFaults(faults);
    gen.Restart(kStreamId, kStart);
    Feed(gen, 50); // data packets 4, 8, ..., 48 are skipped; 49 and 50 follow the last one
    EXPECT_EQ(gen.Counts().skippedData, 12u);
    EXPECT_EQ(recorder.data.size(), 38u);
    EXPECT_EQ(decoder->Data().packetsLost, 12u);
    EXPECT_EQ(decoder->Info().dataErrors, 12u);
    for (std::size_t i = 0; i < recorder.data.size(); ++i) {
        // Packet i of the received ones is generated packet i + i/3 (0-based): the loss is
        // counted on the packet right after each gap.
        const std::uint32_t lostSoFar = static_cast<std::uint32_t>(i / 3);
        ASSERT_EQ(recorder.data[i].data.packetsLost, lostSoFar) << i;
    }
    EXPECT_EQ(decoder->Context().packetsLost, 0u);
}

TEST_P(GeneratorFaultTest, ForeignPacketsAndGarbageAreReportedAndLoseNothing) {
    StreamGenerator gen;
    vita49::sim::StreamFaults faults;
    faults.foreignEvery = 3;
    faults.garbageEvery = 5;
    gen.SetFaults(faults);
    gen.Restart(kStreamId, kStart);
    Feed(gen, 60);
    EXPECT_EQ(gen.Counts().foreign, 20u);
    EXPECT_EQ(gen.Counts().garbage, 12u);
    EXPECT_EQ(recorder.data.size(), 60u);
    for (const auto& call : recorder.data) ASSERT_EQ(call.data.streamId, kStreamId);
    EXPECT_EQ(decoder->Data().packetsLost, 0u);
    EXPECT_EQ(decoder->Info().dataErrors, 0u);
    if (!GetParam()) {
        EXPECT_EQ(recorder.infos.size(), 32u); // one per foreign datagram and per garbage datagram
    } else {
        EXPECT_GE(recorder.infos.size(), 20u);
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, GeneratorFaultTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "ByteStream" : "Datagrams";
                         });

} // namespace
