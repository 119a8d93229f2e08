// The cutting unit fed byte streams as connections deliver them: several packets per receive,
// packets split anywhere, foreign and broken packets, the per-kind count continuity, and the
// different rules for TCP byte streams and UDP datagrams.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/Recorder.h"
#include "support/StreamBuilder.h"

namespace vita49 {
namespace {

using test::BareHeader;
using test::CallbackRecorder;
using test::StreamBuilder;
using Kind = CallbackRecorder::Kind;

constexpr std::uint32_t kStream = 0x00ABCDEFu;
constexpr std::uint32_t kOtherStream = 0x00ABCDEEu;

sim::ContextValues SomeContext(double bandwidthHz) {
    sim::ContextValues v;
    v.hasBandwidth = true;
    v.bandwidthHz = bandwidthHz;
    v.hasPayloadFormat = true;
    v.itemBits = 16;
    return v;
}

class CuttingFixture {
protected:
    void Make(bool tcp) {
        tcp_ = tcp;
        decoder = test::MakeDecoder(kStream, tcp);
        recorder.Clear();
        recorder.Attach(decoder->callbacks);
    }
    // As Open and a new receive thread leave it, keeping the callbacks.
    void Restart() {
        decoder->ResetRecords();
        decoder->StartRun();
        recorder.Clear();
    }
    std::vector<unsigned> DataCounts() const {
        std::vector<unsigned> out;
        for (const auto& d : recorder.data) out.push_back(d.data.packetCount);
        return out;
    }
    // The payloads of the IF data packets handled, in order.
    std::vector<std::vector<std::uint8_t>> Payloads() const {
        std::vector<std::vector<std::uint8_t>> out;
        for (const auto& d : recorder.data) out.push_back(d.samples);
        return out;
    }
    // Everything the callbacks saw that a split of the stream must not change. Garbage may
    // be dropped in more pieces when a receive ends inside it, so infos can be left out.
    std::string Signature(bool withInfo = true) const {
        std::ostringstream o;
        std::size_t d = 0, c = 0, fc = 0, fd = 0;
        for (Kind k : recorder.order) {
            switch (k) {
            case Kind::Info:
                if (withInfo) o << "I ";
                break;
            case Kind::Data: {
                const auto& call = recorder.data[d++];
                o << "D" << unsigned(call.data.packetCount) << "/" << call.data.packetsLost << "/"
                  << call.samples.size() << ":";
                for (std::uint8_t b : call.samples) o << std::hex << unsigned(b) << std::dec;
                o << " ";
                break;
            }
            case Kind::Context: {
                const auto& call = recorder.contexts[c++];
                o << "C" << unsigned(call.context.packetCount) << "/" << call.context.bandwidthHz << " ";
                break;
            }
            case Kind::FftContext:
                o << "c" << unsigned(recorder.fftContexts[fc++].context.packetCount) << " ";
                break;
            case Kind::FftData:
                o << "d" << unsigned(recorder.fftData[fd++].data.packetCount) << " ";
                break;
            case Kind::ConnectionError:
                o << "E ";
                break;
            }
        }
        return o.str();
    }

    bool tcp_ = false;
    std::unique_ptr<StreamDecoder> decoder;
    CallbackRecorder recorder;
};

// --- Behaviour common to both transports.

class Cutting : public CuttingFixture, public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { Make(GetParam()); }
};

TEST_P(Cutting, SeveralPacketsOfOneReceiveAreHandledInOrder) {
    StreamBuilder s(kStream);
    s.Context(0, SomeContext(5e6));
    s.Data(0, 64);
    s.Data(1, 32);
    s.ExtContext(0, 1e6, 2e6, 3e6, 4);
    s.ExtData(0, 1, {1.0f, 2.0f});
    s.Data(2, 12);
    test::Deliver(*decoder, s.Bytes());

    EXPECT_EQ(recorder.order, (std::vector<Kind>{Kind::Context, Kind::Data, Kind::Data, Kind::FftContext,
                                                 Kind::FftData, Kind::Data}));
    EXPECT_EQ(Payloads(), (std::vector<std::vector<std::uint8_t>>{test::Ramp(64, 0), test::Ramp(32, 1),
                                                                  test::Ramp(12, 2)}));
    EXPECT_EQ(decoder->HeldBytes(), 0u);
    EXPECT_EQ(decoder->Info().bytesReceived, s.Size());
    EXPECT_EQ(decoder->Info().dataBytes, 64u + 32u + 12u + 8u);
    // The data callback gets the latest IF context.
    EXPECT_EQ(recorder.data[0].context.bandwidthHz, 5e6);
    EXPECT_EQ(recorder.data[0].context.packetsReceived, 1u);
}

TEST_P(Cutting, PacketOfAnotherStreamIsReportedAndSkipped) {
    StreamBuilder s(kStream);
    s.Data(0, 16);
    s.Packet(test::Header(1, kOtherStream, 9), test::Ramp(48, 0x70));
    s.Packet(test::Header(4, kOtherStream, 9), sim::ContextSection(SomeContext(1.0)));
    s.Data(1, 16);
    test::Deliver(*decoder, s.Bytes());
    EXPECT_EQ(recorder.order, (std::vector<Kind>{Kind::Data, Kind::Info, Kind::Info, Kind::Data}));
    EXPECT_EQ(decoder->Data().packetsReceived, 2u);
    EXPECT_EQ(decoder->Data().packetsLost, 0u);
    EXPECT_EQ(decoder->Context().packetsReceived, 0u);
    EXPECT_EQ(decoder->Info().dataBytes, 32u);
    EXPECT_EQ(decoder->Info().bytesReceived, s.Size());
}

TEST_P(Cutting, KindsKeepIndependentCountSequences) {
    StreamBuilder s(kStream);
    // Each kind counts on its own; interleaved, none of them jumps.
    for (int i = 0; i < 20; ++i) {
        s.Data(static_cast<std::uint8_t>(i % 16), 12);
        if (i % 2 == 0) s.Context(static_cast<std::uint8_t>((7 + i / 2) % 16), SomeContext(1e6));
        if (i % 3 == 0) s.ExtContext(static_cast<std::uint8_t>((12 + i / 3) % 16), 1, 2, 3, 4);
        if (i % 4 == 0) s.ExtData(static_cast<std::uint8_t>((3 + i / 4) % 16), 1, {0.5f});
    }
    test::Deliver(*decoder, s.Bytes());
    EXPECT_EQ(decoder->Data().packetsReceived, 20u);
    EXPECT_EQ(decoder->Context().packetsReceived, 10u);
    EXPECT_EQ(decoder->FFTContext().packetsReceived, 7u);
    EXPECT_EQ(decoder->FFTData().packetsReceived, 5u);
    EXPECT_EQ(decoder->Data().packetsLost, 0u);
    EXPECT_EQ(decoder->Context().packetsLost, 0u);
    EXPECT_EQ(decoder->FFTContext().packetsLost, 0u);
    EXPECT_EQ(decoder->FFTData().packetsLost, 0u);
    EXPECT_EQ(decoder->Info().dataErrors, 0u);
    EXPECT_EQ(decoder->Info().contextErrors, 0u);
}

TEST_P(Cutting, CountWrapsFrom15To0) {
    StreamBuilder s(kStream);
    for (unsigned c : {13u, 14u, 15u, 0u, 1u}) s.Data(static_cast<std::uint8_t>(c), 4);
    for (unsigned c : {15u, 0u}) s.Context(static_cast<std::uint8_t>(c), SomeContext(1));
    test::Deliver(*decoder, s.Bytes());
    EXPECT_EQ(DataCounts(), (std::vector<unsigned>{13, 14, 15, 0, 1}));
    EXPECT_EQ(decoder->Data().packetsLost, 0u);
    EXPECT_EQ(decoder->Context().packetsLost, 0u);
    EXPECT_EQ(decoder->Info().dataErrors + decoder->Info().contextErrors, 0u);
}

TEST_P(Cutting, JumpIsCountedOnceAtThePacketAfterTheGap) {
    StreamBuilder s(kStream);
    for (unsigned c : {3u, 4u, 7u, 8u, 9u}) s.Data(static_cast<std::uint8_t>(c), 4);
    for (unsigned c : {1u, 2u, 0u, 1u}) s.Context(static_cast<std::uint8_t>(c), SomeContext(1));
    test::Deliver(*decoder, s.Bytes());
    ASSERT_EQ(recorder.data.size(), 5u);
    std::vector<unsigned> lost;
    for (const auto& d : recorder.data) lost.push_back(d.data.packetsLost);
    EXPECT_EQ(lost, (std::vector<unsigned>{0, 0, 1, 1, 1}));
    EXPECT_EQ(recorder.data[2].info.dataErrors, 1u);
    EXPECT_EQ(decoder->Info().dataErrors, 1u);
    EXPECT_EQ(decoder->Context().packetsLost, 1u) << "2 then 0: one jump";
    EXPECT_EQ(decoder->Info().contextErrors, 1u);
}

TEST_P(Cutting, FirstPacketOfARunIsNeverCountedAsLost) {
    StreamBuilder s(kStream);
    s.Data(9, 4);
    s.Context(5, SomeContext(1));
    s.ExtData(11, 1, {1.0f});
    s.ExtContext(2, 1, 2, 3, 4);
    test::Deliver(*decoder, s.Bytes());
    EXPECT_EQ(decoder->Data().packetsLost + decoder->Context().packetsLost + decoder->FFTData().packetsLost +
                  decoder->FFTContext().packetsLost,
              0u);

    // A new receive thread starts the check afresh, whatever the last count was.
    Restart();
    StreamBuilder again(kStream);
    again.Data(2, 4);
    again.Data(3, 12);
    test::Deliver(*decoder, again.Bytes());
    EXPECT_EQ(decoder->Data().packetsReceived, 2u);
    EXPECT_EQ(decoder->Data().packetsLost, 0u);
}

TEST_P(Cutting, TwelveBytePacketFollowedByAnotherIsAccepted) {
    StreamBuilder s(kStream);
    s.Data(0, 4); // header, stream identifier, one word: 12 bytes
    ASSERT_EQ(s.Size(), 12u);
    s.Data(1, 16);
    test::Deliver(*decoder, s.Bytes());
    EXPECT_EQ(DataCounts(), (std::vector<unsigned>{0, 1}));
    EXPECT_TRUE(recorder.infos.empty());
}

TEST_P(Cutting, PacketFillingTheWholeBufferIsAccepted) {
    StreamBuilder s(kStream);
    s.Data(0, StreamDecoder::kBufferBytes - 8);
    s.Data(1, 16);
    test::Deliver(*decoder, s.SpanBytes(0));
    test::Deliver(*decoder, s.SpanBytes(1));
    ASSERT_EQ(recorder.data.size(), 2u);
    EXPECT_EQ(recorder.data[0].data.payloadSize, StreamDecoder::kBufferBytes - 8);
    EXPECT_EQ(recorder.data[1].samples, test::Ramp(16, 1));
}

TEST_P(Cutting, PacketLargerThanTheBufferIsDroppedWithAnInfo) {
    // Header and identifier announce 65,540 bytes: it could never be completed.
    std::vector<std::uint8_t> bytes = BareHeader(1, 16385, kStream);
    bytes.resize(4096, 0x00);
    decoder->Deliver(bytes.data(), bytes.size());
    EXPECT_EQ(recorder.order, std::vector<Kind>{Kind::Info});
    EXPECT_TRUE(recorder.data.empty());
    EXPECT_LT(decoder->HeldBytes(), 8u) << "the announced packet is not waited for";
    EXPECT_EQ(decoder->Info().bytesReceived, 4096u);

    // The receiver goes on: a packet in the next receive is handled.
    StreamBuilder s(kStream);
    s.Data(0, 40);
    test::Deliver(*decoder, s.Bytes());
    EXPECT_EQ(recorder.data.size(), 1u);
}

TEST_P(Cutting, RecordsAndStatisticsAreKeptWithoutCallbacks) {
    decoder->callbacks = ReceiverCallbacks{};
    StreamBuilder s(kStream);
    s.Context(0, SomeContext(7e6));
    s.Data(0, 24);
    s.Data(2, 24);
    s.Packet(test::Header(1, kOtherStream, 0), test::Ramp(8));
    test::Deliver(*decoder, s.Bytes());
    EXPECT_EQ(decoder->Data().packetsReceived, 2u);
    EXPECT_EQ(decoder->Data().packetsLost, 1u);
    EXPECT_EQ(decoder->Context().bandwidthHz, 7e6);
    EXPECT_EQ(decoder->Info().dataBytes, 48u);
    EXPECT_EQ(decoder->Info().dataErrors, 1u);
    EXPECT_EQ(decoder->Info().bytesReceived, s.Size());
}

TEST_P(Cutting, OpenClearsRecordsStatisticsAndHeldBytes) {
    StreamBuilder s(kStream);
    s.Context(0, SomeContext(7e6));
    s.Data(0, 24);
    s.Data(1, 100);
    std::vector<std::uint8_t> bytes = s.Bytes();
    bytes.resize(bytes.size() - 50);
    test::Deliver(*decoder, bytes);
    ASSERT_EQ(decoder->HeldBytes(), tcp_ ? 58u : 0u) << "a datagram holds nothing back";
    decoder->ResetRecords();
    EXPECT_EQ(decoder->HeldBytes(), 0u);
    EXPECT_EQ(decoder->Info().bytesReceived, 0u);
    EXPECT_EQ(decoder->Data().packetsReceived, 0u);
    EXPECT_EQ(decoder->Context().bandwidthHz, 0.0);
    EXPECT_FALSE(decoder->Context().payloadFormatValid);
}

INSTANTIATE_TEST_SUITE_P(Transports, Cutting, ::testing::Values(false, true),
                         [](const auto& info) { return std::string(info.param ? "Tcp" : "Udp"); });

// --- UDP: every datagram stands alone.

class UdpCutting : public CuttingFixture, public ::testing::Test {
protected:
    void SetUp() override { Make(false); }
};

TEST_F(UdpCutting, ShortLeftoverAfterCompletePacketsIsDroppedWithAnInfo) {
    StreamBuilder s(kStream);
    for (int i = 0; i < 4; ++i) s.Data(static_cast<std::uint8_t>(i), 40);
    test::DeliverSplit(*decoder, s.Bytes(), {s.Spans()[3].offset + 10});
    // The 10 bytes went, so the rest of the fourth packet starts with nonsense and goes too.
    EXPECT_EQ(recorder.order, (std::vector<Kind>{Kind::Data, Kind::Data, Kind::Data, Kind::Info, Kind::Info}));
    EXPECT_EQ(decoder->HeldBytes(), 0u);
    EXPECT_EQ(decoder->Info().bytesReceived, s.Size());
}

TEST_F(UdpCutting, CutPacketIsReportedBeforeATimeOutAndOnlyOnce) {
    StreamBuilder s(kStream);
    s.Data(0, 100);
    s.Data(1, 12);
    std::vector<std::uint8_t> part(s.Bytes().begin(), s.Bytes().begin() + 40);
    test::Deliver(*decoder, part);
    EXPECT_EQ(recorder.order, std::vector<Kind>{Kind::Info}) << "dropped with its datagram, not at the time-out";
    EXPECT_EQ(decoder->HeldBytes(), 0u);
    decoder->OnReceiveTimeout();
    EXPECT_EQ(recorder.infos.size(), 1u);
    // What arrives next is cut from its first byte.
    test::Deliver(*decoder, s.SpanBytes(1));
    EXPECT_EQ(DataCounts(), std::vector<unsigned>{1});
    EXPECT_EQ(recorder.infos.size(), 1u);
}

TEST_F(UdpCutting, DatagramStartingAPacketEndsTheCutShortOneHeld) {
    StreamBuilder s(kStream);
    s.Data(0, 100);
    s.Data(1, 1000);
    s.Data(2, 64);
    s.Data(3, 64);
    // The second packet's datagram carries only 60 of its bytes; the next datagrams start
    // packets of their own and are no continuation of it.
    test::Deliver(*decoder, s.SpanBytes(0));
    const std::vector<std::uint8_t> second = s.SpanBytes(1);
    test::Deliver(*decoder, std::vector<std::uint8_t>(second.begin(), second.begin() + 60));
    EXPECT_EQ(decoder->HeldBytes(), 0u);
    test::Deliver(*decoder, s.SpanBytes(2));
    test::Deliver(*decoder, s.SpanBytes(3));
    EXPECT_EQ(recorder.order, (std::vector<Kind>{Kind::Data, Kind::Info, Kind::Data, Kind::Data}));
    EXPECT_EQ(DataCounts(), (std::vector<unsigned>{0, 2, 3}));
    EXPECT_EQ(recorder.data[1].samples, test::Ramp(64, 2));
    EXPECT_EQ(decoder->Info().bytesReceived, 0u + s.Spans()[0].length + 60 + s.Spans()[2].length + s.Spans()[3].length);
}

TEST_F(UdpCutting, PacketRunningPastItsDatagramIsDroppedAtOnce) {
    // IP delivers whole datagrams: the rest of a packet cut short never arrives, and the next
    // datagram starts a packet of its own.
    StreamBuilder s(kStream);
    s.Data(0, 100);
    s.Data(1, 200);
    s.Data(2, 1000 - 8);
    s.Data(3, 40);
    const std::size_t third = s.Spans()[2].offset;
    test::DeliverSplit(*decoder, s.Bytes(), {third + 40, s.Spans()[3].offset});
    EXPECT_EQ(recorder.order, (std::vector<Kind>{Kind::Data, Kind::Data, Kind::Info, Kind::Info, Kind::Data}));
    EXPECT_EQ(DataCounts(), (std::vector<unsigned>{0, 1, 3}));
    EXPECT_EQ(recorder.data[2].samples, test::Ramp(40, 3));
    EXPECT_EQ(decoder->HeldBytes(), 0u);
    EXPECT_EQ(decoder->Info().bytesReceived, s.Size());
}

TEST_F(UdpCutting, TwelveBytePacketAloneIsDropped) {
    StreamBuilder s(kStream);
    s.Data(0, 4);
    test::Deliver(*decoder, s.Bytes());
    EXPECT_EQ(recorder.order, std::vector<Kind>{Kind::Info});
    EXPECT_EQ(decoder->HeldBytes(), 0u);
}

class UdpUnknownType : public UdpCutting, public ::testing::WithParamInterface<int> {};

TEST_P(UdpUnknownType, DropsEverythingHeld) {
    StreamBuilder s(kStream);
    s.Raw(BareHeader(static_cast<std::uint8_t>(GetParam()), 6, kStream));
    s.Raw(std::vector<std::uint8_t>(16, 0));
    s.Data(0, 16);
    test::Deliver(*decoder, s.Bytes());
    EXPECT_EQ(recorder.order, std::vector<Kind>{Kind::Info});
    EXPECT_EQ(decoder->HeldBytes(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Types, UdpUnknownType, ::testing::Values(0, 2, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));

TEST_F(UdpCutting, SizeZeroPacketRunsItsBranchAndDropsTheRest) {
    StreamBuilder s(kStream);
    s.Raw(BareHeader(1, 0, kStream, 4));
    s.Raw({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    s.Data(5, 16);
    test::Deliver(*decoder, s.Bytes());
    ASSERT_EQ(recorder.order, std::vector<Kind>{Kind::Data});
    const Vita49_Data& d = recorder.data[0].data;
    EXPECT_EQ(d.packetCount, 4u);
    EXPECT_FALSE(d.streamIdValid) << "a packet of no length carries no field";
    EXPECT_EQ(d.payloadValid, 0u);
    EXPECT_EQ(decoder->HeldBytes(), 0u);
    EXPECT_EQ(decoder->Data().packetsReceived, 1u);
}

TEST_F(UdpCutting, ForeignPacketOfSizeZeroDropsEverythingHeld) {
    StreamBuilder s(kStream);
    s.Raw(BareHeader(4, 0, kOtherStream));
    s.Raw(std::vector<std::uint8_t>(12, 0));
    s.Data(0, 16);
    test::Deliver(*decoder, s.Bytes());
    EXPECT_EQ(recorder.order, std::vector<Kind>{Kind::Info});
    EXPECT_EQ(decoder->HeldBytes(), 0u);
}

TEST_F(UdpCutting, DatagramLongerThanTheBufferIsLostWithAnInfo) {
    StreamBuilder s(kStream);
    s.Data(0, 1000);
    std::vector<std::uint8_t> part(s.Bytes().begin(), s.Bytes().begin() + 40);
    test::Deliver(*decoder, part);
    ASSERT_EQ(decoder->HeldBytes(), 0u);
    EXPECT_EQ(decoder->FreeBytes(), StreamDecoder::kBufferBytes) << "every datagram gets the whole buffer";
    std::vector<std::uint8_t> big(StreamDecoder::kBufferBytes + 1, 0x33);
    decoder->Deliver(big.data(), big.size());
    EXPECT_EQ(recorder.order, (std::vector<Kind>{Kind::Info, Kind::Info}));
    EXPECT_EQ(decoder->HeldBytes(), 0u);
    StreamBuilder next(kStream);
    next.Data(1, 12);
    test::Deliver(*decoder, next.Bytes());
    EXPECT_EQ(DataCounts(), std::vector<unsigned>{1});
}

TEST_F(UdpCutting, TruncatedDatagramReportedByTheConnectionIsReportedOnItsOwn) {
    StreamBuilder s(kStream);
    s.Data(0, 1000);
    std::vector<std::uint8_t> part(s.Bytes().begin(), s.Bytes().begin() + 100);
    test::Deliver(*decoder, part);
    decoder->OnDatagramTruncated();
    EXPECT_EQ(recorder.order, (std::vector<Kind>{Kind::Info, Kind::Info}));
    EXPECT_EQ(decoder->HeldBytes(), 0u);
}

// --- TCP: a byte stream that a receive may end anywhere.

class TcpCutting : public CuttingFixture, public ::testing::Test {
protected:
    void SetUp() override { Make(true); }

    // Delivers `bytes` whole, then once split at every position and once byte by byte; each
    // must give what the whole delivery gave.
    void ExpectSplitsChangeNothing(const std::vector<std::uint8_t>& bytes, const std::string& whole,
                                   bool withInfo = true) {
        for (std::size_t cut = 1; cut < bytes.size(); ++cut) {
            Restart();
            test::DeliverSplit(*decoder, bytes, {cut});
            ASSERT_EQ(Signature(withInfo), whole) << "split at " << cut;
        }
        Restart();
        test::DeliverInChunks(*decoder, bytes, 1);
        EXPECT_EQ(Signature(withInfo), whole) << "byte by byte";
    }
};

TEST_F(TcpCutting, PacketsSplitAtEveryBytePositionDecodeAlike) {
    StreamBuilder s(kStream);
    s.Context(3, SomeContext(2.5e6));
    sim::PacketHeader h = test::Header(1, kStream, 0);
    h.trailer = true;
    h.trailerWord = sim::MakeTrailer(sim::TrailerBits{});
    h.tsi = 1;
    h.intTimestamp = 77;
    s.Packet(h, test::Ramp(24, 0x40));
    s.Packet(test::Header(1, kOtherStream, 4), test::Ramp(12));
    s.Data(1, 4); // 12 bytes: shorter than a packet start is examined
    s.ExtContext(0, 1, 2, 3, 4);
    s.Data(2, 36);
    test::Deliver(*decoder, s.Bytes());
    const std::string whole = Signature();
    EXPECT_EQ(recorder.order, (std::vector<Kind>{Kind::Context, Kind::Data, Kind::Info, Kind::Data,
                                                 Kind::FftContext, Kind::Data}));
    EXPECT_EQ(decoder->HeldBytes(), 0u);
    ExpectSplitsChangeNothing(s.Bytes(), whole);
}

TEST_F(TcpCutting, ShortLeftoverOfAKnownTypeWaitsForItsBytes) {
    StreamBuilder s(kStream);
    for (int i = 0; i < 4; ++i) s.Data(static_cast<std::uint8_t>(i), 40);
    const std::size_t cut = s.Spans()[3].offset + 10;
    test::DeliverSplit(*decoder, s.Bytes(), {cut});
    EXPECT_EQ(DataCounts(), (std::vector<unsigned>{0, 1, 2, 3}));
    EXPECT_TRUE(recorder.infos.empty());
}

TEST_F(TcpCutting, IncompleteThirdPacketIsCompletedByLaterReceives) {
    StreamBuilder s(kStream);
    s.Data(0, 100);
    s.Data(1, 200);
    s.Data(2, 1000 - 8);
    ASSERT_EQ(s.Spans()[2].length, 1000u);
    const std::size_t third = s.Spans()[2].offset;
    test::DeliverSplit(*decoder, s.Bytes(), {third + 40, third + 500});
    ASSERT_EQ(recorder.data.size(), 3u);
    EXPECT_EQ(recorder.data[2].samples, test::Ramp(992, 2));
    EXPECT_TRUE(recorder.infos.empty());
    EXPECT_EQ(decoder->HeldBytes(), 0u);

    // After the first receive the unfinished packet alone is held, moved to the buffer start.
    Restart();
    std::vector<std::uint8_t> head(s.Bytes().begin(), s.Bytes().begin() + static_cast<std::ptrdiff_t>(third + 40));
    test::Deliver(*decoder, head);
    EXPECT_EQ(recorder.data.size(), 2u);
    EXPECT_EQ(decoder->HeldBytes(), 40u);
}

TEST_F(TcpCutting, TimeOutKeepsHeldBytes) {
    StreamBuilder s(kStream);
    s.Data(0, 100);
    for (std::size_t cut : {std::size_t{7}, std::size_t{40}}) {
        Restart();
        std::vector<std::uint8_t> part(s.Bytes().begin(), s.Bytes().begin() + static_cast<std::ptrdiff_t>(cut));
        test::Deliver(*decoder, part);
        decoder->OnReceiveTimeout();
        decoder->OnReceiveTimeout();
        EXPECT_EQ(decoder->HeldBytes(), cut);
        decoder->Deliver(s.Bytes().data() + cut, s.Size() - cut);
        EXPECT_EQ(Payloads(), std::vector<std::vector<std::uint8_t>>{test::Ramp(100, 0)}) << "cut " << cut;
        EXPECT_TRUE(recorder.infos.empty());
    }
}

TEST_F(TcpCutting, TwelveBytePacketAloneWaitsAndIsHandledWithTheNextBytes) {
    StreamBuilder s(kStream);
    s.Data(0, 4);
    s.Data(1, 12);
    test::Deliver(*decoder, s.SpanBytes(0));
    decoder->OnReceiveTimeout();
    EXPECT_TRUE(recorder.order.empty());
    EXPECT_EQ(decoder->HeldBytes(), 12u);
    test::Deliver(*decoder, s.SpanBytes(1));
    EXPECT_EQ(DataCounts(), (std::vector<unsigned>{0, 1}));
    EXPECT_TRUE(recorder.infos.empty());
}

TEST_F(TcpCutting, LostConnectionForgetsHeldBytes) {
    StreamBuilder s(kStream);
    s.Data(0, 100);
    s.Data(1, 12);
    std::vector<std::uint8_t> part(s.Bytes().begin(), s.Bytes().begin() + 50);
    test::Deliver(*decoder, part);
    decoder->OnConnectionLost();
    EXPECT_EQ(decoder->HeldBytes(), 0u);
    EXPECT_EQ(recorder.order, std::vector<Kind>{Kind::Info}) << "the 50 bytes went with a report";
    test::Deliver(*decoder, s.SpanBytes(1));
    EXPECT_EQ(DataCounts(), std::vector<unsigned>{1});
    decoder->OnConnectionLost();
    EXPECT_EQ(recorder.infos.size(), 1u) << "nothing held, nothing reported";
}

TEST_F(TcpCutting, EndOfRunReportsAPacketLeftIncomplete) {
    StreamBuilder s(kStream);
    s.Data(0, 100);
    for (std::size_t cut : {std::size_t{7}, std::size_t{40}, s.Size()}) {
        Restart();
        std::vector<std::uint8_t> part(s.Bytes().begin(), s.Bytes().begin() + static_cast<std::ptrdiff_t>(cut));
        test::Deliver(*decoder, part);
        decoder->EndRun();
        EXPECT_EQ(decoder->HeldBytes(), 0u);
        EXPECT_EQ(recorder.infos.size(), cut < s.Size() ? 1u : 0u) << "cut " << cut;
        decoder->EndRun();
        EXPECT_EQ(recorder.infos.size(), cut < s.Size() ? 1u : 0u) << "reported once";
    }
}

class TcpUnknownType : public TcpCutting, public ::testing::WithParamInterface<int> {};

TEST_P(TcpUnknownType, LosesOnlyTheUnusableBytes) {
    StreamBuilder s(kStream);
    s.Data(0, 16);
    s.Raw(BareHeader(static_cast<std::uint8_t>(GetParam()), 6, kStream));
    s.Raw(std::vector<std::uint8_t>(16, 0));
    s.Data(1, 16);
    s.Data(2, 16);
    test::Deliver(*decoder, s.Bytes());
    EXPECT_EQ(DataCounts(), (std::vector<unsigned>{0, 1, 2}));
    EXPECT_GE(recorder.infos.size(), 1u);
    EXPECT_EQ(decoder->HeldBytes(), 0u);
    EXPECT_EQ(decoder->Data().packetsLost, 0u);
}

INSTANTIATE_TEST_SUITE_P(Types, TcpUnknownType, ::testing::Values(0, 2, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));

TEST_F(TcpCutting, SizeZeroPacketRunsItsBranchAndTheStreamGoesOn) {
    StreamBuilder s(kStream);
    s.Data(0, 8);
    s.Raw(BareHeader(4, 0, kStream, 1));
    s.Raw({0, 0, 0, 0});
    s.Data(1, 12);
    test::Deliver(*decoder, s.Bytes());
    ASSERT_EQ(recorder.contexts.size(), 1u);
    EXPECT_FALSE(recorder.contexts[0].context.streamIdValid);
    EXPECT_EQ(recorder.contexts[0].context.payloadValid, 0u);
    EXPECT_EQ(DataCounts(), (std::vector<unsigned>{0, 1}));
    EXPECT_EQ(decoder->Data().packetsLost, 0u);
}

TEST_F(TcpCutting, OverSizePacketIsDroppedAndTheNextPacketFound) {
    StreamBuilder s(kStream);
    s.Data(0, 8);
    s.Raw(BareHeader(1, 0xFFFF, kStream));
    s.Raw(test::Ramp(100, 0x60));
    s.Data(1, 12);
    test::Deliver(*decoder, s.Bytes());
    EXPECT_EQ(DataCounts(), (std::vector<unsigned>{0, 1}));
    EXPECT_GE(recorder.infos.size(), 1u);
    ExpectSplitsChangeNothing(s.Bytes(), Signature(false), false);
}

TEST_F(TcpCutting, StreamJoinedInsideAPacketLosesOnlyThatPacket) {
    // The first bytes are the end of a packet whose start was never received; they begin
    // with 0x10, so they look like the start of an IF data packet of another stream.
    StreamBuilder whole(kStream);
    whole.Data(7, test::Ramp(64, 0x08));
    const std::vector<std::uint8_t> lost = whole.SpanBytes(0);
    StreamBuilder s(kStream);
    s.Raw(std::vector<std::uint8_t>(lost.begin() + 16, lost.end()));
    s.Data(8, 40);
    s.Context(0, SomeContext(1e6));
    s.Data(9, 40);
    test::Deliver(*decoder, s.Bytes());
    EXPECT_EQ(DataCounts(), (std::vector<unsigned>{8, 9}));
    EXPECT_EQ(recorder.contexts.size(), 1u);
    EXPECT_EQ(decoder->Data().packetsLost, 0u) << "the first packet handled is the first of the run";
    ExpectSplitsChangeNothing(s.Bytes(), Signature(false), false);
}

TEST_F(TcpCutting, IncompleteForeignPacketWaitsAndIsSkippedWhole) {
    StreamBuilder s(kStream);
    s.Data(0, 8);
    s.Packet(test::Header(1, kOtherStream, 0), test::Ramp(3000, 0x11));
    s.Data(1, 12);
    const std::size_t foreign = s.Spans()[1].offset;
    test::DeliverSplit(*decoder, s.Bytes(), {foreign + 100, foreign + 2000});
    EXPECT_EQ(recorder.order, (std::vector<Kind>{Kind::Data, Kind::Info, Kind::Data}));
    EXPECT_EQ(decoder->HeldBytes(), 0u);
}

TEST_F(TcpCutting, ForeignPacketFillingTheBufferWhoseEndLooksLikeAStartIsStillSkipped) {
    // Its last bytes could begin a packet of this stream, but nothing more fits behind them:
    // waiting for the bytes that would tell would stall the stream for good.
    StreamBuilder s(kStream);
    std::vector<std::uint8_t> payload(StreamDecoder::kBufferBytes - 8, 0);
    payload[payload.size() - 3] = 0x10;
    s.Packet(test::Header(1, kOtherStream, 0), payload);
    ASSERT_EQ(s.Size(), StreamDecoder::kBufferBytes);
    s.Data(0, 16);
    test::Deliver(*decoder, s.Bytes());
    EXPECT_EQ(recorder.order, (std::vector<Kind>{Kind::Info, Kind::Data}));
    EXPECT_EQ(decoder->HeldBytes(), 0u);
}

// Garbage between packets: a fault of the link or the sender. On a byte stream only the
// garbage may be lost, wherever the receives end.
struct GarbageCase {
    const char* name;
    std::vector<std::uint8_t> bytes;
};

void PrintTo(const GarbageCase& c, std::ostream* os) { *os << c.name; }

std::vector<std::uint8_t> Concat(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<GarbageCase> GarbageCases() {
    return {
        {"OneByte", {0x99}},
        {"ZeroWords", std::vector<std::uint8_t>(12, 0)},
        {"KnownTypeByte", {0x10, 0x00, 0x00}},
        // The first six bytes of a packet of this stream, cut off by the fault.
        {"PartOfOwnHeader", {0x10, 0x00, 0x00, 0x0A, 0x00, 0xAB}},
        // Looks like a packet of another stream announcing 16 bytes, 13 of which are there:
        // the real packet after it starts inside the announced span.
        {"ForeignHeaderOverlappingNextPacket", Concat(BareHeader(1, 4, kOtherStream), {0x99, 0x99, 0x99, 0x99, 0x99})},
        // Announces a span that covers the next packets entirely.
        {"ForeignHeaderSwallowingNextPackets", Concat(BareHeader(1, 200, kOtherStream), {1, 2, 3, 4})},
        {"ForeignHeaderOfSizeZero", Concat(BareHeader(4, 0, kOtherStream), {0x55, 0x55})},
        {"OwnStreamIdOutOfPlace", {0x00, 0xAB, 0xCD, 0xEF, 0x00, 0xAB, 0xCD, 0xEF, 0x45}},
    };
}

class TcpGarbage : public TcpCutting, public ::testing::WithParamInterface<GarbageCase> {};

TEST_P(TcpGarbage, BetweenPacketsLosesOnlyTheGarbage) {
    StreamBuilder s(kStream);
    s.Data(0, 20);
    s.Raw(GetParam().bytes);
    s.Data(1, 24);
    s.Context(0, SomeContext(3e6));
    s.Raw(GetParam().bytes);
    s.Data(2, 12);
    test::Deliver(*decoder, s.Bytes());
    EXPECT_EQ(DataCounts(), (std::vector<unsigned>{0, 1, 2}));
    EXPECT_EQ(Payloads(), (std::vector<std::vector<std::uint8_t>>{test::Ramp(20, 0), test::Ramp(24, 1),
                                                                  test::Ramp(12, 2)}));
    EXPECT_EQ(recorder.contexts.size(), 1u);
    EXPECT_GE(recorder.infos.size(), 2u);
    EXPECT_EQ(decoder->HeldBytes(), 0u);
    ExpectSplitsChangeNothing(s.Bytes(), Signature(false), false);
}

INSTANTIATE_TEST_SUITE_P(Patterns, TcpGarbage, ::testing::ValuesIn(GarbageCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TcpCutting, RandomGarbageNeverCostsAPacket) {
    std::mt19937 random(20240611u);
    for (int round = 0; round < 40; ++round) {
        StreamBuilder s(kStream);
        std::vector<std::vector<std::uint8_t>> expected;
        for (int i = 0; i < 6; ++i) {
            const std::size_t payload = 4 * (1 + random() % 12);
            s.Data(static_cast<std::uint8_t>(i), payload);
            expected.push_back(test::Ramp(payload, static_cast<std::uint8_t>(i)));
            std::vector<std::uint8_t> garbage(1 + random() % 40);
            for (auto& b : garbage) b = static_cast<std::uint8_t>(random());
            // Half the time make the garbage start like a packet of a known type.
            if (random() % 2) garbage[0] = static_cast<std::uint8_t>(0x10 * (1 + 2 * (random() % 3)) | 0x0F);
            s.Raw(garbage);
        }
        // A stream that ends in fewer than 20 bytes leaves them waiting; end on a longer packet.
        s.Data(6, 40);
        expected.push_back(test::Ramp(40, 6));
        // Receives of random sizes.
        std::vector<std::size_t> cuts;
        for (std::size_t at = 0; at < s.Size(); at += 1 + random() % 64) cuts.push_back(at);
        Restart();
        test::DeliverSplit(*decoder, s.Bytes(), cuts);
        ASSERT_EQ(Payloads(), expected) << "round " << round;
        EXPECT_EQ(decoder->Data().packetsLost, 0u);
    }
}

} // namespace
} // namespace vita49
