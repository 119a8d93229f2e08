// Peers that misbehave, against a real receiver and a real remote control on loopback
// (addresses 127.0.7.x). Whatever a peer sends or fails to do, the library must not crash,
// must not wait beyond its time-outs, must close within one receive cycle, must not leak a
// descriptor, and must keep decoding the valid packets that follow.

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/CommandPeer.h"
#include "support/HandPacket.h"
#include "support/LoopbackPeer.h"
#include "support/Recorder.h"
#include "support/StreamPeer.h"
#include "vita49/Vita49Receiver.h"
#include "vita49/Vita49RemoteControl.h"

namespace vita49::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Kind = CallbackRecorder::Kind;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kStream = 0x0A0B0C0D;
constexpr std::uint32_t kForeign = 0x00000063;
// One receive cycle is 500 ms; the rest is slack for sanitizer builds on a busy machine.
constexpr long long kCloseLimitMs = 1500;

void Append(Bytes& out, const Bytes& part) { out.insert(out.end(), part.begin(), part.end()); }

Bytes Random(std::mt19937& rng, std::size_t n) {
    Bytes out(n);
    std::uniform_int_distribution<int> byte(0, 255);
    for (auto& b : out) b = static_cast<std::uint8_t>(byte(rng));
    return out;
}

// A packet header word and stream identifier, followed by `extra` filler bytes.
Bytes Header(std::uint8_t type, std::uint16_t sizeWords, std::uint32_t streamId, std::size_t extra, std::uint8_t fill) {
    Bytes out = BareHeader(type, sizeWords, streamId);
    out.insert(out.end(), extra, fill);
    return out;
}

double ProcessCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The payload that DataPacket(kStream, ..., bytes, seed) carries.
Bytes Payload(std::size_t bytes, std::uint8_t seed) {
    Bytes out(bytes);
    for (std::size_t i = 0; i < bytes; ++i) out[i] = static_cast<std::uint8_t>(seed + i);
    return out;
}

// ---------------------------------------------------------------------------------------------
// Stream peers

class HostileStreamPeer : public ::testing::Test {
protected:
    void SetUp() override {
        descriptorsBefore_ = OpenDescriptorCount();
        receiver_ = std::make_unique<Vita49Receiver>();
        recorder_.Attach(*receiver_);
    }

    void TearDown() override {
        if (receiver_) CloseReceiver();
        receiver_.reset();
        stream_.Close();
        EXPECT_EQ(OpenDescriptorCount(), descriptorsBefore_) << "a descriptor was leaked";
    }

    // The receiver connects as TCP client to a peer listening on `address`.
    void ConnectTcp(const std::string& address) { ASSERT_TRUE(stream_.Open(*receiver_, TCP_CLIENT, address, kStream)); }

    // The receiver listens for datagrams on `address`; the peer sends from the same address.
    void OpenUdp(const std::string& address) {
        ASSERT_TRUE(stream_.Open(*receiver_, UDP_SINGLECAST, address, kStream));
    }

    void SendDatagram(const Bytes& datagram) { ASSERT_TRUE(stream_.Send(datagram)); }

    // The peer's TCP connection.
    int Peer() { return stream_.Socket().Get(); }

    // Sends the stream in pieces of 1 to `maxChunk` bytes.
    void SendInChunks(const Bytes& stream, std::size_t maxChunk, unsigned seed) {
        std::mt19937 rng(seed);
        std::uniform_int_distribution<std::size_t> size(1, maxChunk);
        for (std::size_t at = 0; at < stream.size();) {
            const std::size_t n = std::min(size(rng), stream.size() - at);
            ASSERT_TRUE(stream_.Send(stream.data() + at, n));
            at += n;
        }
    }

    void CloseReceiver() {
        const auto start = Clock::now();
        EXPECT_EQ(receiver_->Close(), RC_OK);
        EXPECT_LE(ElapsedMs(start), kCloseLimitMs) << "Close took more than one receive cycle";
    }

    // After Close: the payloads the data callback saw, in order.
    std::vector<Bytes> Payloads() const {
        std::vector<Bytes> out;
        for (const auto& call : recorder_.data)
            if (call.data.payloadValid == 1) out.push_back(call.samples);
        return out;
    }

    std::unique_ptr<Vita49Receiver> receiver_;
    CallbackRecorder recorder_;
    StreamPeer stream_;
    int descriptorsBefore_ = 0;
};

TEST_F(HostileStreamPeer, OneByteAtATimeStillDeliversEveryPacket) {
    ASSERT_NO_FATAL_FAILURE(ConnectTcp("127.0.7.1"));
    constexpr int kPackets = 24;
    Bytes stream;
    std::vector<Bytes> expected;
    for (int i = 0; i < kPackets; ++i) {
        // Sizes around the 20 bytes below which a packet start is not examined.
        const std::size_t payload = 4u * static_cast<std::size_t>(1 + i % 7);
        Append(stream, DataPacket(kStream, static_cast<std::uint8_t>(i), payload, static_cast<std::uint8_t>(i)));
        expected.push_back(Payload(payload, static_cast<std::uint8_t>(i)));
    }
    for (std::uint8_t b : stream) {
        ASSERT_TRUE(stream_.Send(&b, 1));
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ASSERT_TRUE(recorder_.WaitForCount(Kind::Data, kPackets));
    CloseReceiver();

    EXPECT_EQ(Payloads(), expected);
    EXPECT_EQ(recorder_.data.back().data.packetsLost, 0u);
    EXPECT_EQ(recorder_.data.back().info.bytesReceived, stream.size());
    EXPECT_TRUE(recorder_.infos.empty()) << "no byte of a valid stream may be dropped";
    EXPECT_EQ(recorder_.connectionErrors, 0u);
}

TEST_F(HostileStreamPeer, RandomBytesThenAValidStream) {
    ASSERT_NO_FATAL_FAILURE(ConnectTcp("127.0.7.2"));
    std::mt19937 rng(2024);
    Bytes stream = Random(rng, 256 * 1024);
    const std::size_t garbageBytes = stream.size();
    std::vector<Bytes> expected;
    for (int i = 0; i < 10; ++i) {
        Append(stream, DataPacket(kStream, static_cast<std::uint8_t>(i), 64, static_cast<std::uint8_t>(3 * i)));
        expected.push_back(Payload(64, static_cast<std::uint8_t>(3 * i)));
    }
    SendInChunks(stream, 4096, 7);
    ASSERT_TRUE(recorder_.WaitForCount(Kind::Data, expected.size())) << recorder_.Count(Kind::Data);
    CloseReceiver();

    EXPECT_EQ(Payloads(), expected);
    EXPECT_FALSE(recorder_.infos.empty());
    EXPECT_GE(recorder_.data.front().info.bytesReceived, garbageBytes);
    EXPECT_EQ(recorder_.data.back().info.bytesReceived, stream.size());
    EXPECT_EQ(recorder_.connectionErrors, 0u);
}

// Garbage of several shapes between the packets of a valid stream: only the garbage is lost.
TEST_F(HostileStreamPeer, GarbageBetweenPacketsLosesOnlyTheGarbage) {
    ASSERT_NO_FATAL_FAILURE(ConnectTcp("127.0.7.3"));
    std::mt19937 rng(99);
    const std::vector<Bytes> garbage = {
        Random(rng, 1),
        Random(rng, 37),
        Bytes(8, 0x00),
        // Looks like a packet of another stream whose size covers the next real packet.
        Header(1, 64, kForeign, 4, 0x11),
        // An unknown packet type.
        Header(6, 3, kStream, 4, 0x22),
        // A known type, but fewer than 20 bytes.
        Header(1, 2, kForeign, 11, 0x33),
        Random(rng, 250),
        // Packet-like bytes of this stream cut short by the next real packet.
        Bytes{0x10, 0x00},
    };
    Bytes stream;
    std::vector<Bytes> expected;
    constexpr int kPackets = 40;
    for (int i = 0; i < kPackets; ++i) {
        const std::size_t payload = 16u + 4u * static_cast<std::size_t>(i % 5);
        Append(stream, DataPacket(kStream, static_cast<std::uint8_t>(i), payload, static_cast<std::uint8_t>(i)));
        expected.push_back(Payload(payload, static_cast<std::uint8_t>(i)));
        if (i + 1 < kPackets) Append(stream, garbage[static_cast<std::size_t>(i) % garbage.size()]);
    }
    SendInChunks(stream, 300, 11);
    ASSERT_TRUE(recorder_.WaitForCount(Kind::Data, kPackets)) << recorder_.Count(Kind::Data) << " of " << kPackets;

    // Still running: the next packet is decoded too.
    ASSERT_TRUE(stream_.Send(DataPacket(kStream, kPackets % 16, 16, 0x70)));
    expected.push_back(Payload(16, 0x70));
    ASSERT_TRUE(recorder_.WaitForCount(Kind::Data, kPackets + 1));
    CloseReceiver();

    EXPECT_EQ(Payloads(), expected);
    EXPECT_EQ(recorder_.data.back().data.packetsLost, 0u);
    EXPECT_EQ(recorder_.data.back().info.dataErrors, 0u);
    EXPECT_GE(recorder_.infos.size(), static_cast<std::size_t>(kPackets - 1)) << "every drop is reported";
    EXPECT_EQ(recorder_.connectionErrors, 0u);
}

// A declared size of 0 words, and one of 65,535 words that no receive buffer can hold.
TEST_F(HostileStreamPeer, DeclaredSizesZeroAndMaximumOverTcp) {
    ASSERT_NO_FATAL_FAILURE(ConnectTcp("127.0.7.4"));
    Bytes stream = DataPacket(kStream, 0, 32, 0x10);
    Append(stream, Header(1, 0, kStream, 4, 0xEE));
    Append(stream, DataPacket(kStream, 2, 32, 0x20));
    Append(stream, Header(1, 0xFFFF, kStream, 100, 0xEE));
    Append(stream, DataPacket(kStream, 3, 32, 0x30));
    Append(stream, Header(4, 0xFFFF, kStream, 3000, 0x00));
    Append(stream, DataPacket(kStream, 4, 32, 0x40));
    SendInChunks(stream, 64, 5);
    // Five data callbacks: four packets and the zero-size one.
    ASSERT_TRUE(recorder_.WaitForCount(Kind::Data, 5)) << recorder_.Count(Kind::Data);
    ASSERT_TRUE(stream_.Send(DataPacket(kStream, 5, 32, 0x50)));
    ASSERT_TRUE(recorder_.WaitForCount(Kind::Data, 6));
    CloseReceiver();

    // The zero-size packet is handed on without a payload; nothing after it is lost.
    EXPECT_EQ(Payloads(), (std::vector<Bytes>{Payload(32, 0x10), Payload(32, 0x20), Payload(32, 0x30),
                                              Payload(32, 0x40), Payload(32, 0x50)}));
    EXPECT_EQ(recorder_.connectionErrors, 0u);
}

TEST_F(HostileStreamPeer, DeclaredSizesZeroAndMaximumOverUdp) {
    ASSERT_NO_FATAL_FAILURE(OpenUdp("127.0.7.5"));
    ASSERT_NO_FATAL_FAILURE(SendDatagram(DataPacket(kStream, 0, 32, 0x10)));
    SendDatagram(Header(1, 0, kStream, 24, 0xEE));
    SendDatagram(DataPacket(kStream, 1, 32, 0x20));
    SendDatagram(Header(1, 0xFFFF, kStream, 1000, 0xEE));
    SendDatagram(DataPacket(kStream, 2, 32, 0x30));
    // Four data callbacks: three packets and the zero-size one; one info for the oversized one.
    ASSERT_TRUE(WaitUntil([&] { return recorder_.Count(Kind::Data) >= 4 && recorder_.Count(Kind::Info) >= 1; }));
    CloseReceiver();

    EXPECT_EQ(Payloads(), (std::vector<Bytes>{Payload(32, 0x10), Payload(32, 0x20), Payload(32, 0x30)}));
    EXPECT_EQ(recorder_.connectionErrors, 0u);
}

TEST_F(HostileStreamPeer, ForeignStreamAtHighRateCostsOneInfoPerPacket) {
    ASSERT_NO_FATAL_FAILURE(ConnectTcp("127.0.7.6"));
    constexpr int kForeignPackets = 20000;
    constexpr int kOwnEvery = 200;
    Bytes stream;
    std::vector<Bytes> expected;
    int own = 0;
    for (int i = 0; i < kForeignPackets; ++i) {
        Append(stream, DataPacket(kForeign, static_cast<std::uint8_t>(i), 20, static_cast<std::uint8_t>(i)));
        if (i % kOwnEvery == kOwnEvery - 1) {
            Append(stream, DataPacket(kStream, static_cast<std::uint8_t>(own), 24, static_cast<std::uint8_t>(own)));
            expected.push_back(Payload(24, static_cast<std::uint8_t>(own)));
            ++own;
        }
    }
    const auto start = Clock::now();
    ASSERT_TRUE(stream_.Send(stream, 20000));
    ASSERT_TRUE(recorder_.WaitForCount(Kind::Data, expected.size(), milliseconds(20000)));
    ASSERT_TRUE(recorder_.WaitForCount(Kind::Info, kForeignPackets, milliseconds(20000)));
    std::printf("[ figures  ] %d foreign packets and %d own handled in %lld ms\n", kForeignPackets, own,
                ElapsedMs(start));
    CloseReceiver();

    EXPECT_EQ(Payloads(), expected);
    EXPECT_EQ(recorder_.infos.size(), static_cast<std::size_t>(kForeignPackets));
    EXPECT_EQ(recorder_.data.back().data.packetsLost, 0u);
}

// The peer goes away in the middle of a packet: the packets before it are decoded, the torn
// one is never handed on, and the loss is reported once.
class PeerDisconnectsMidPacket : public HostileStreamPeer, public ::testing::WithParamInterface<bool> {};

TEST_P(PeerDisconnectsMidPacket, ReportsTheLossOnceAndClosesPromptly) {
    const bool reset = GetParam();
    ASSERT_NO_FATAL_FAILURE(ConnectTcp(reset ? "127.0.7.7" : "127.0.7.8"));
    Bytes stream = DataPacket(kStream, 0, 40, 1);
    Append(stream, DataPacket(kStream, 1, 40, 2));
    const Bytes torn = DataPacket(kStream, 2, 400, 3);
    stream.insert(stream.end(), torn.begin(), torn.begin() + 200);
    ASSERT_TRUE(stream_.Send(stream));
    ASSERT_TRUE(recorder_.WaitForCount(Kind::Data, 2));
    if (reset) ResetOnClose(Peer());
    stream_.Close();
    ASSERT_TRUE(recorder_.WaitForCount(Kind::ConnectionError, 1, milliseconds(5000)));
    std::this_thread::sleep_for(milliseconds(600)); // one more cycle: nothing else may follow
    CloseReceiver();

    EXPECT_EQ(Payloads(), (std::vector<Bytes>{Payload(40, 1), Payload(40, 2)}));
    EXPECT_EQ(recorder_.connectionErrors, 1u);
    EXPECT_EQ(recorder_.order.back(), Kind::ConnectionError);
}

INSTANTIATE_TEST_SUITE_P(OrderlyOrReset, PeerDisconnectsMidPacket, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("Reset") : std::string("Orderly");
                         });

TEST_F(HostileStreamPeer, PeerStallsMidPacketAndCloseStillReturnsInOneCycle) {
    ASSERT_NO_FATAL_FAILURE(ConnectTcp("127.0.7.9"));
    const Bytes packet = DataPacket(kStream, 0, 4000, 9);
    ASSERT_TRUE(stream_.Send(packet.data(), packet.size() / 2));
    std::this_thread::sleep_for(milliseconds(700)); // the receiver now waits inside a receive
    CloseReceiver();
    EXPECT_TRUE(recorder_.data.empty());
    EXPECT_EQ(recorder_.connectionErrors, 0u);
}

// The peer ends its sending direction but keeps the connection. No byte can follow: the
// receiver reports the end once, after its one probe, and its thread ends instead of finding
// the end of stream again every cycle, spinning and flooding the peer with probes.
TEST_F(HostileStreamPeer, PeerThatHalfClosesEndsTheStreamOnce) {
    ASSERT_NO_FATAL_FAILURE(ConnectTcp("127.0.7.12"));
    ASSERT_TRUE(stream_.Send(DataPacket(kStream, 0, 40, 1)));
    ASSERT_TRUE(recorder_.WaitForCount(Kind::Data, 1));
    ASSERT_EQ(::shutdown(Peer(), SHUT_WR), 0);

    const double cpuBefore = ProcessCpuSeconds();
    std::this_thread::sleep_for(milliseconds(1000));
    const double cpu = ProcessCpuSeconds() - cpuBefore;
    std::uint8_t sink[65536];
    const ssize_t probes = ::recv(Peer(), sink, sizeof sink, MSG_DONTWAIT);
    EXPECT_EQ(probes, 1) << "probe bytes sent to a peer that only stopped sending";
    EXPECT_LT(cpu, 0.1) << "seconds of processor time in one second of waiting";
    EXPECT_EQ(recorder_.Count(Kind::ConnectionError), 1u);

    CloseReceiver();
    EXPECT_EQ(recorder_.data.size(), 1u);
    EXPECT_EQ(recorder_.connectionErrors, 1u);
}

// A datagram that once did not fit beside the bytes held from a cut one: now the cut one goes
// at once and the next one has the whole buffer. Either way the stream goes on.
TEST_F(HostileStreamPeer, DatagramLongerThanTheFreeBufferDoesNotEndTheStream) {
    ASSERT_NO_FATAL_FAILURE(OpenUdp("127.0.7.10"));
    SendDatagram(DataPacket(kStream, 0, 32, 0x01));
    // 30,000 bytes of a 40,000-byte packet: dropped with their datagram...
    SendDatagram(Header(1, 10000, kStream, 30000 - 8, 0x5A));
    // ...so these 40,000 bytes are judged alone (no packet: dropped).
    SendDatagram(Bytes(40000, 0x5A));
    SendDatagram(DataPacket(kStream, 1, 32, 0x02));
    SendDatagram(DataPacket(kStream, 2, 32, 0x03));
    ASSERT_TRUE(recorder_.WaitForCount(Kind::Data, 3)) << recorder_.Count(Kind::Data);
    CloseReceiver();

    EXPECT_EQ(Payloads(), (std::vector<Bytes>{Payload(32, 0x01), Payload(32, 0x02), Payload(32, 0x03)}));
    EXPECT_EQ(recorder_.connectionErrors, 0u);
    EXPECT_GE(recorder_.infos.size(), 1u) << "the lost datagram is reported";
}

// A datagram whose packet announces more bytes than the datagram carries. Datagrams stand
// alone: a datagram that starts a packet of this stream is no continuation of the cut one, so
// the datagrams after it must not be taken as its remainder.
TEST_F(HostileStreamPeer, DatagramWithATruncatedPacketDoesNotSwallowTheNextDatagrams) {
    ASSERT_NO_FATAL_FAILURE(OpenUdp("127.0.7.11"));
    SendDatagram(DataPacket(kStream, 0, 32, 0x01));
    SendDatagram(Header(1, 1000, kStream, 24, 0x5A));
    std::vector<Bytes> expected{Payload(32, 0x01)};
    for (int i = 1; i <= 10; ++i) {
        SendDatagram(DataPacket(kStream, static_cast<std::uint8_t>(i), 200, static_cast<std::uint8_t>(i)));
        expected.push_back(Payload(200, static_cast<std::uint8_t>(i)));
    }
    recorder_.WaitForCount(Kind::Data, expected.size(), milliseconds(2000));
    CloseReceiver();

    ASSERT_EQ(Payloads().size(), expected.size());
    EXPECT_EQ(Payloads(), expected);
    EXPECT_EQ(recorder_.connectionErrors, 0u);
}

// ---------------------------------------------------------------------------------------------
// Command-channel peers

class HostileCommandPeer : public ::testing::Test {
protected:
    void SetUp() override { descriptorsBefore_ = OpenDescriptorCount(); }

    void TearDown() override {
        if (control_) {
            if (open_) CloseControl();
            control_.reset();
        }
        if (peer_) peer_->Stop();
        peer_.reset();
        EXPECT_EQ(OpenDescriptorCount(), descriptorsBefore_) << "a descriptor was leaked";
    }

    void Start(const std::string& address, int receiveBuffer = 0) {
        peer_ = std::make_unique<CommandPeer>(address, CommandPeer::kCommandPort, receiveBuffer);
        ASSERT_TRUE(peer_->Start());
        control_ = std::make_unique<Vita49RemoteControl>();
        control_->Init(BaseSettings(UDP_SINGLECAST, address, 5000, 5001, "127.0.7.200", kStream));
        ASSERT_EQ(control_->Open(), RC_OK);
        open_ = true;
    }

    void CloseControl() {
        const auto start = Clock::now();
        EXPECT_EQ(control_->Close(), RC_OK);
        EXPECT_LE(ElapsedMs(start), 1000) << "Close waited beyond its linger time";
        open_ = false;
    }

    // Every line the peer received is one the remote control may send.
    void ExpectOnlyKnownCommands() const {
        static const char* const kPrefixes[] = {
            "TASK:LIST?\n", "TASK:SELect \"", "TASK:ADD? \"RT_STREAMING\"\n", "VIEW:LIST?\n", "VIEW:SELect ",
            "STReam:ADD? \"VITA49_IQ\"\n", "STReam:Select 1\n", "STReam:Connection:IDN ", "STReam:CONNection:",
            "IQSTream:"};
        for (const auto& line : peer_->Lines()) {
            const bool known = std::any_of(std::begin(kPrefixes), std::end(kPrefixes), [&](const char* prefix) {
                return line.compare(0, std::strlen(prefix), prefix) == 0;
            });
            EXPECT_TRUE(known) << "unexpected command line: " << line;
        }
    }

    std::unique_ptr<CommandPeer> peer_;
    std::unique_ptr<Vita49RemoteControl> control_;
    bool open_ = false;
    int descriptorsBefore_ = 0;
};

TEST_F(HostileCommandPeer, NeverAnswersTimesOutOnceAndSendsNothingMore) {
    ASSERT_NO_FATAL_FAILURE(Start("127.0.7.20"));
    const auto start = Clock::now();
    EXPECT_EQ(control_->InitVita49Streaming(), RC_TIMEOUT);
    const long long took = ElapsedMs(start);
    EXPECT_GE(took, 2900);
    EXPECT_LE(took, 4500);
    ASSERT_TRUE(peer_->WaitForLines(1));
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(peer_->Lines(), std::vector<std::string>{"TASK:LIST?\n"});
    // The channel is still usable after a time-out.
    EXPECT_EQ(control_->ChangeTune(1000), RC_OK);
    ASSERT_TRUE(peer_->WaitForLines(2));
    CloseControl();
}

// One answer given to both list queries. The name keeps the test names printable.
struct GarbageAnswer {
    int index; // picks the peer's address: CTest may run the cases side by side
    const char* name;
    std::string bytes;
};

void PrintTo(const GarbageAnswer& answer, std::ostream* out) { *out << answer.name; }

class GarbageAnswers : public HostileCommandPeer, public ::testing::WithParamInterface<GarbageAnswer> {};

TEST_P(GarbageAnswers, SetUpCompletesWithWellFormedCommandsOnly) {
    ASSERT_NO_FATAL_FAILURE(Start("127.0.7." + std::to_string(40 + GetParam().index)));
    peer_->SetAnswer("TASK:LIST?\n", CommandPeer::Answer::Text(GetParam().bytes));
    peer_->SetAnswer("VIEW:LIST?\n", CommandPeer::Answer::Text(GetParam().bytes));
    EXPECT_EQ(control_->InitVita49Streaming(), RC_OK);
    ASSERT_TRUE(peer_->WaitForLines(9));
    CloseControl();
    ExpectOnlyKnownCommands();
    EXPECT_EQ(peer_->Lines().back(), "STReam:CONNection:PORT 5001\n");
}

std::vector<GarbageAnswer> Garbage() {
    std::mt19937 rng(5);
    const Bytes random = Random(rng, 900);
    const std::vector<std::pair<const char*, std::string>> answers = {
        {"random_bytes_with_nuls", std::string(random.begin(), random.end())},
        {"task_key_at_the_end", "\"RT_STREAMING\""},
        {"task_key_and_one_byte", "\"RT_STREAMING\",\""},
        {"view_key_at_the_end", "\"VITA49_IQ\""},
        {"view_key_and_comma", "\"VITA49_IQ\","},
        {"line_ends_inside_names", "\"RT_STREAMING\",\"x\nSYST:SHUTdown\n\"\"VITA49_IQ\",1\r\nSYST:SHUTdown\n"},
        {"keys_out_of_order", "\"VITA49_IQ\",\"RT_STREAMING\",\"VITA49_IQ\"\n"},
        {"only_quotes", std::string(1024, '"')},
        {"only_line_ends", "\r\n\r\n"},
    };
    std::vector<GarbageAnswer> out;
    for (const auto& [name, bytes] : answers) out.push_back({static_cast<int>(out.size()), name, bytes});
    return out;
}

INSTANTIATE_TEST_SUITE_P(Answers, GarbageAnswers, ::testing::ValuesIn(Garbage()),
                         [](const ::testing::TestParamInfo<GarbageAnswer>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(HostileCommandPeer, TenMegabyteAnswerIsReadOnlyAsFarAsOneResponseGoes) {
    ASSERT_NO_FATAL_FAILURE(Start("127.0.7.22"));
    std::string flood;
    flood.reserve(10u << 20);
    while (flood.size() < (10u << 20)) flood += "\"SPECTRUM\",\"Spectrum 1\",";
    peer_->SetAnswer("TASK:LIST?\n", CommandPeer::Answer::Text(flood));
    const auto start = Clock::now();
    EXPECT_EQ(control_->InitVita49Streaming(), RC_OK);
    EXPECT_LE(ElapsedMs(start), 6500);
    ASSERT_TRUE(peer_->WaitForLines(9));
    ExpectOnlyKnownCommands();
    CloseControl();
}

TEST_F(HostileCommandPeer, PeerThatStopsReadingMakesASendFailWithinItsStallLimit) {
    ASSERT_NO_FATAL_FAILURE(Start("127.0.7.23", 4096));
    peer_->PauseReading();
    const auto start = Clock::now();
    RETURN_CODE rc = RC_OK;
    auto slowest = Clock::duration::zero();
    for (int i = 0; i < 2000000 && rc == RC_OK; ++i) {
        const auto before = Clock::now();
        rc = control_->ChangeTune(static_cast<unsigned long>(i));
        slowest = std::max(slowest, Clock::now() - before);
    }
    EXPECT_TRUE(rc == RC_TIMEOUT || rc == RC_SOCKET_ERROR) << rc;
    EXPECT_LE(std::chrono::duration_cast<milliseconds>(slowest).count(), 4500);
    EXPECT_LE(ElapsedMs(start), 30000);
    CloseControl();
}

} // namespace
} // namespace vita49::test
