// The whole receive path over loopback, once per connection type: a peer plays a recorded
// sequence of IF context and IF data packets to a real Vita49Receiver, and the callbacks must
// see exactly the decoded values and counts. A TCP peer that goes away mid-stream ends the
// receive thread with exactly one connection-error callback.
//
// Addresses: 127.0.2.1 - 127.0.2.20.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/LoopbackPeer.h"
#include "support/Recorder.h"
#include "support/StreamBuilder.h"
#include "support/StreamPeer.h"
#include "vita49/Vita49Receiver.h"

namespace vita49::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Kind = CallbackRecorder::Kind;
using std::chrono::milliseconds;

constexpr std::uint32_t kStream = 0x00C0FFEEu;
constexpr std::size_t kPayload = 256;

int ThreadCount() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    return -1;
}

sim::ContextValues FirstContext() {
    sim::ContextValues v;
    v.hasBandwidth = v.hasRfReferenceFrequency = v.hasReferenceLevel = v.hasSampleRate = true;
    v.hasPayloadFormat = v.hasGps = true;
    v.bandwidthHz = 8e6;
    v.rfReferenceFrequencyHz = 2.4e9;
    v.referenceLevelDbm = -20.5;
    v.sampleRateHz = 1e7;
    v.itemBits = 16;
    v.gps.intTimestamp = 1700000000u;
    v.gps.fracTimestamp = 0x8000000000000001ull;
    v.gps.latitudeDeg = -33.5;
    v.gps.longitudeDeg = -70.25;
    v.gps.altitudeM = 512.5;
    v.gps.speedMps = 3.5;
    v.gps.trackAngleDeg = 90.0;
    v.gps.magneticVariationDeg = -1.25;
    return v;
}

// The recording: a full context, data 0..6, a packet of another stream, data 9..10 (two lost),
// a context with the bandwidth only, data 11..12. Every packet is at least 20 bytes.
struct Recording {
    StreamBuilder stream{kStream};
    std::vector<unsigned> dataCounts;
    std::size_t contextBytes = 0;

    Recording() {
        AddContext(0, FirstContext());
        for (unsigned c = 0; c <= 6; ++c) AddData(c);
        stream.Packet(Header(1, kStream + 1, 0), Ramp(24, 0xF0));
        for (unsigned c : {9u, 10u}) AddData(c);
        sim::ContextValues second;
        second.hasBandwidth = true;
        second.bandwidthHz = 4e6;
        AddContext(1, second);
        for (unsigned c : {11u, 12u}) AddData(c);
    }
    void AddContext(std::uint8_t count, const sim::ContextValues& v) {
        const std::size_t i = stream.Context(count, v);
        contextBytes += stream.Spans()[i].length - 8;
    }
    void AddData(unsigned count) {
        sim::PacketHeader h = Header(1, kStream, static_cast<std::uint8_t>(count));
        h.trailer = true;
        h.trailerWord = sim::MakeTrailer(sim::TrailerBits{});
        h.tsi = 1;
        h.intTimestamp = 1000 + count;
        h.tsf = 2;
        h.fracTimestamp = 0xFFFF000000000000ull + count;
        stream.Packet(h, Ramp(kPayload, static_cast<std::uint8_t>(count)));
        dataCounts.push_back(count);
    }
};

class ReceivePath : public ::testing::TestWithParam<CONNECTION_TYPE> {
protected:
    void SetUp() override {
        receiver_ = std::make_unique<Vita49Receiver>();
        recorder_.Attach(*receiver_);
        // ThreadSanitizer's runtime starts a thread of its own with the process's first one:
        // let it exist before counting.
        std::thread([] {}).join();
        threadsBefore_ = ThreadCount();
    }
    void TearDown() override {
        if (receiver_) {
            EXPECT_EQ(receiver_->Close(), RC_OK);
        }
    }

    // Opens the receiver for the parameter's connection type and connects the peer.
    void Connect(const std::string& address) { ASSERT_TRUE(peer_.Open(*receiver_, GetParam(), address, kStream)); }

    // TCP: the bytes in pieces of random size, with a pause longer than one receive cycle
    // inside the first 20 bytes of the packet at `pauseAt`, so that the receiver times out
    // while holding the start of a packet. UDP: one datagram per packet.
    void Play(const StreamBuilder& s, std::size_t pauseAt) {
        const Bytes& bytes = s.Bytes();
        if (GetParam() == UDP_SINGLECAST) {
            for (std::size_t i = 0; i < s.Spans().size(); ++i) {
                ASSERT_TRUE(peer_.Send(s.SpanBytes(i)));
                // Paced so that a small socket buffer cannot overflow.
                std::this_thread::sleep_for(milliseconds(1));
            }
            return;
        }
        std::mt19937 random(7u);
        for (std::size_t at = 0; at < bytes.size();) {
            std::size_t n = std::min<std::size_t>(1 + random() % 300, bytes.size() - at);
            if (at < pauseAt && at + n > pauseAt) n = pauseAt - at;
            ASSERT_TRUE(peer_.Send(bytes.data() + at, n));
            at += n;
            if (at == pauseAt)
                std::this_thread::sleep_for(milliseconds(700));
            else if (random() % 4 == 0)
                std::this_thread::sleep_for(milliseconds(1));
        }
    }

    std::unique_ptr<Vita49Receiver> receiver_;
    CallbackRecorder recorder_;
    StreamPeer peer_;
    int threadsBefore_ = 0;
};

TEST_P(ReceivePath, CallbacksSeeExactlyTheRecordedSequence) {
    Connect("127.0.2." + std::to_string(1 + static_cast<int>(GetParam())));
    const Recording rec;
    const StreamBuilder& s = rec.stream;
    Play(s, s.Spans()[4].offset + 10);

    ASSERT_TRUE(recorder_.WaitForCount(Kind::Data, rec.dataCounts.size(), milliseconds(10000)));
    ASSERT_EQ(receiver_->Close(), RC_OK);
    receiver_.reset();

    EXPECT_EQ(recorder_.order.size(), rec.dataCounts.size() + 2 + 1) << "data, two contexts, one info";
    EXPECT_EQ(recorder_.connectionErrors, 0u);
    ASSERT_EQ(recorder_.infos.size(), 1u);
    ASSERT_EQ(recorder_.contexts.size(), 2u);
    ASSERT_EQ(recorder_.data.size(), rec.dataCounts.size());

    const Vita49_Context& c0 = recorder_.contexts[0].context;
    EXPECT_EQ(c0.packetsReceived, 1u);
    EXPECT_EQ(c0.streamId, kStream);
    EXPECT_EQ(c0.bandwidthHz, 8e6);
    EXPECT_EQ(c0.rfReferenceFrequencyHz, 2.4e9);
    EXPECT_EQ(c0.referenceLevelDbm, -20.5);
    EXPECT_EQ(c0.sampleRateHz, 1e7);
    EXPECT_EQ(c0.dataItemSize, 16u);
    EXPECT_EQ(c0.itemPackingFieldSize, 16u);
    ASSERT_TRUE(c0.gpsValid);
    EXPECT_EQ(c0.gpsIntTimestamp, 1700000000u);
    EXPECT_EQ(c0.gpsFracTimestamp, 0x8000000000000001ull);
    EXPECT_EQ(c0.gpsLatitudeDeg, -33.5);
    EXPECT_EQ(c0.gpsLongitudeDeg, -70.25);
    EXPECT_EQ(c0.gpsAltitudeM, 512.5);
    EXPECT_EQ(c0.gpsSpeedMps, 3.5);
    EXPECT_EQ(c0.gpsTrackAngleDeg, 90.0);
    EXPECT_EQ(c0.gpsMagneticVariationDeg, -1.25);

    const Vita49_Context& c1 = recorder_.contexts[1].context;
    EXPECT_EQ(c1.packetsReceived, 2u);
    EXPECT_EQ(c1.packetsLost, 0u);
    EXPECT_TRUE(c1.bandwidthValid);
    EXPECT_EQ(c1.bandwidthHz, 4e6);
    EXPECT_FALSE(c1.sampleRateValid);
    EXPECT_EQ(c1.sampleRateHz, 1e7);
    EXPECT_FALSE(c1.gpsValid);

    for (std::size_t i = 0; i < rec.dataCounts.size(); ++i) {
        SCOPED_TRACE("data packet " + std::to_string(i));
        const auto& call = recorder_.data[i];
        const unsigned count = rec.dataCounts[i];
        EXPECT_EQ(call.data.packetsReceived, i + 1);
        EXPECT_EQ(call.data.packetCount, count);
        EXPECT_EQ(call.data.packetsLost, count >= 9 ? 1u : 0u);
        EXPECT_EQ(call.data.intTimestamp, 1000 + count);
        EXPECT_EQ(call.data.fracTimestamp, 0xFFFF000000000000ull + count);
        EXPECT_EQ(call.data.payloadOffset, 20u);
        EXPECT_EQ(call.samples, Ramp(kPayload, static_cast<std::uint8_t>(count)));
        EXPECT_TRUE(call.data.validDataEnabled && call.data.validData);
        EXPECT_TRUE(call.data.referenceLockEnabled && call.data.referenceLock);
        EXPECT_EQ(call.data.invalidDataPackets + call.data.unlockedPackets, 0u);
        EXPECT_EQ(call.context.bandwidthHz, count >= 11 ? 4e6 : 8e6) << "the latest context";
        EXPECT_EQ(call.info.dataBytes, (i + 1) * kPayload);
    }

    const Vita49_Info& last = recorder_.data.back().info;
    EXPECT_EQ(last.bytesReceived, s.Size());
    EXPECT_EQ(last.contextBytes, rec.contextBytes);
    EXPECT_EQ(last.dataErrors, 1u);
    EXPECT_EQ(last.contextErrors, 0u);
}

INSTANTIATE_TEST_SUITE_P(ConnectionTypes, ReceivePath, ::testing::Values(TCP_SERVER, TCP_CLIENT, UDP_SINGLECAST),
                         vita49::test::ConnectionTypeTestName<::testing::TestParamInfo<CONNECTION_TYPE>>);

// --- A TCP peer that goes away mid-stream.

class PeerGoesAway : public ReceivePath {};

TEST_P(PeerGoesAway, OneConnectionErrorAndTheThreadEnds) {
    for (bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "orderly close");
        recorder_.Clear();
        receiver_ = std::make_unique<Vita49Receiver>();
        recorder_.Attach(*receiver_);
        Connect("127.0.2." + std::to_string(10 + 2 * static_cast<int>(GetParam()) + (reset ? 1 : 0)));
        ASSERT_TRUE(WaitUntil([&] { return ThreadCount() == threadsBefore_ + 1; }));

        const Recording rec;
        const StreamBuilder& s = rec.stream;
        // Everything up to the middle of the fourth data packet, then the peer leaves.
        const std::size_t cut = s.Spans()[4].offset + 100;
        ASSERT_TRUE(peer_.Send(s.Bytes().data(), cut));
        ASSERT_TRUE(recorder_.WaitForCount(Kind::Data, 3));
        if (reset) ResetOnClose(peer_.Socket().Get());
        peer_.Close();

        ASSERT_TRUE(recorder_.WaitForCount(Kind::ConnectionError, 1, milliseconds(5000)));
        EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threadsBefore_; })) << "the receive thread still runs";
        // Nothing more, however long we wait: the thread is gone, and it does not reconnect.
        std::this_thread::sleep_for(milliseconds(1200));
        EXPECT_EQ(recorder_.Count(Kind::ConnectionError), 1u);
        EXPECT_EQ(ThreadCount(), threadsBefore_);

        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(receiver_->Close(), RC_OK);
        EXPECT_LT(ElapsedMs(start), 500) << "the thread had ended: Close only joins and closes";
        EXPECT_EQ(recorder_.connectionErrors, 1u);
        EXPECT_EQ(recorder_.data.size(), 3u) << "the partial fourth packet is never handed out";
        EXPECT_EQ(recorder_.contexts.size(), 1u);
        EXPECT_EQ(recorder_.order.back(), Kind::ConnectionError);
        receiver_.reset();
    }
}

INSTANTIATE_TEST_SUITE_P(TcpTypes, PeerGoesAway, ::testing::Values(TCP_SERVER, TCP_CLIENT),
                         vita49::test::ConnectionTypeTestName<::testing::TestParamInfo<CONNECTION_TYPE>>);

} // namespace
} // namespace vita49::test
