// The simulated instrument replaying a capture: captures written here (pcap over UDP, pcapng
// over TCP with the command channel beside the stream, raw packet files) are replayed after
// the library's own stream set-up, and what the receiver's callbacks see is compared with the
// packets in the file: the same samples, counts and timestamps, in the same order. Each test
// has its own loopback address.

#ifndef _WIN32

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim/Replay.h"
#include "sim/StreamGenerator.h"
#include "support/CaptureWriter.h"
#include "support/SimSession.h"
#include "support/StreamBuilder.h"
#include "support/ToolRun.h"
#include "vita49/PacketLayout.h"

namespace {

namespace fs = std::filesystem;
using namespace vita49;
using namespace vita49::test;
using Kind = CallbackRecorder::Kind;
using Clock = std::chrono::steady_clock;

constexpr double kT0 = 1767225600.0;
constexpr std::uint32_t kCapturedId = 7;

std::uint8_t TypeOf(const Bytes& packet) { return HeaderType(packet.data()); }

// The simulated instrument's own stream (both contexts, IF data, traces) as it would have been
// captured: 1024 sample bytes per IF data packet at 125 kS/s.
std::vector<Bytes> GeneratedPackets(int blocks) {
    sim::StreamGenerator generator;
    sim::IqParams params;
    params.cbwHz = 100000;
    params.payloadLimit = 1024;
    generator.SetParams(params);
    generator.Restart(kCapturedId, static_cast<sim::Picoseconds>(1767225600ull) * 1000000000000ull);
    std::vector<Bytes> packets;
    sim::PacketBlock block;
    for (int b = 0; b < blocks; ++b) {
        block.Clear();
        generator.NextBlock(block);
        for (const sim::PacketSpan& span : block.packets) {
            const std::uint8_t* first = block.bytes.data() + span.offset;
            packets.emplace_back(first, first + span.length);
        }
    }
    return packets;
}

// `n` capture times from kT0, evenly spread over `span` seconds.
std::vector<double> Times(std::size_t n, double span) {
    std::vector<double> t;
    for (std::size_t i = 0; i < n; ++i) t.push_back(kT0 + (n > 1 ? span * static_cast<double>(i) / (n - 1) : 0));
    return t;
}

Bytes Concat(const std::vector<Bytes>& packets) {
    Bytes all;
    for (const Bytes& p : packets) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// One datagram per packet, except the 4th and 5th, which share one.
CaptureWriter UdpCapture(const std::vector<Bytes>& packets, const std::vector<double>& times) {
    CaptureWriter w(LinkTypeOf(Link::kEthernet));
    const IpEndpoint instrument{"192.0.2.5", 40000}, app{"192.0.2.6", 5001};
    for (std::size_t i = 0; i < packets.size(); ++i) {
        Bytes payload = packets[i];
        if (i == 3 && i + 1 < packets.size()) payload = Concat({packets[i], packets[++i]});
        w.Add(Frame(Link::kEthernet, UdpPacket(instrument, app, payload, static_cast<std::uint16_t>(i))), times[i]);
    }
    return w;
}

// The packets as one TCP byte stream in segments of 1000 bytes that ignore packet bounds, the
// application's probe bytes going the other way, and the command channel beside it.
CaptureWriter TcpCapture(const std::vector<Bytes>& packets) {
    CaptureWriter w(LinkTypeOf(Link::kEthernet), true);
    const IpEndpoint instrument{"192.0.2.5", 40000}, app{"192.0.2.6", 5001};
    const IpEndpoint commands{"192.0.2.5", 5300}, controller{"192.0.2.6", 41000};
    double t = kT0;
    auto add = [&](const IpEndpoint& from, const IpEndpoint& to, std::uint32_t seq, std::uint8_t flags,
                   const Bytes& payload) {
        w.Add(Frame(Link::kEthernet, TcpPacket(from, to, seq, flags, payload)), t);
        t += 0.0005;
    };
    const std::string line = "SYSTem:STReam:OPEN\n";
    add(controller, commands, 100, kSyn, {});
    add(controller, commands, 101, kAck | kPsh, Bytes(line.begin(), line.end()));
    add(instrument, app, 1000, kSyn, {});
    add(app, instrument, 5000, kSyn | kAck, {});
    const Bytes stream = Concat(packets);
    for (std::size_t from = 0; from < stream.size(); from += 1000) {
        const std::size_t to = std::min(stream.size(), from + 1000);
        add(instrument, app, 1001 + static_cast<std::uint32_t>(from), kAck | kPsh,
            Bytes(stream.begin() + static_cast<std::ptrdiff_t>(from), stream.begin() + static_cast<std::ptrdiff_t>(to)));
        if (from == 3000) add(app, instrument, 5001, kAck | kPsh, Bytes{0}); // a receiver's probe
    }
    add(controller, commands, 101 + static_cast<std::uint32_t>(line.size()), kAck | kPsh,
        Bytes(line.begin(), line.end()));
    return w;
}

class ReplayTest : public SimSession {
protected:
    void SetUp() override { ASSERT_TRUE(dir_.Made()); }

    std::string Path(const std::string& name) const { return dir_.Path(name); }
    std::string Save(const CaptureWriter& w, const std::string& name) const {
        EXPECT_TRUE(w.Save(Path(name)));
        return Path(name);
    }
    std::string SaveRaw(const Bytes& bytes, const std::string& name) const { return dir_.Write(bytes, name); }

    // The simulator on `simAddress`, replaying; skipped where the build reads no pcap files.
    void StartReplay(const std::string& simAddress, const sim::ReplayConfig& replay) {
        sim::CaptureReplay probe(replay);
        std::string error;
        if (!probe.Check(error) && error.find("libpcap") != std::string::npos) GTEST_SKIP() << error;
        sim::SimConfig config;
        config.replay = replay;
        StartSim(simAddress, config);
    }

    // The receiver with the samples left in wire order, so that they compare with the file.
    void OpenWireOrderReceiver(const Vita49_Base_Settings& settings) {
        receiver.Init(settings, Vita49_Receiver_Settings{});
        recorder.Attach(receiver);
        ASSERT_EQ(receiver.Open(), RC_OK);
    }

    bool WaitForPasses(std::uint64_t passes, std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
        return WaitFor([&] { return sim->Stats().replayPasses >= passes; }, limit);
    }

    // The IF data calls (the receiver is closed) against the IF data packets of the captured
    // stream, taken in turn from the first again as often as needed; the receiver saw the
    // stream as `seenId`.
    void ExpectData(const std::vector<Bytes>& data, std::uint32_t seenId) const {
        ASSERT_FALSE(data.empty());
        for (std::size_t i = 0; i < recorder.data.size(); ++i) {
            const Bytes& p = data[i % data.size()];
            const auto length = static_cast<std::uint32_t>(p.size());
            const auto& call = recorder.data[i];
            std::uint32_t offset = 0, size = 0, seconds = 0;
            ASSERT_TRUE(LocateDataPayload(p.data(), length, offset, size));
            ASSERT_EQ(call.samples, Bytes(p.begin() + offset, p.begin() + offset + size)) << "IF data call " << i;
            ASSERT_EQ(call.data.packetCount, HeaderPacketCount(p.data())) << "IF data call " << i;
            ASSERT_EQ(call.data.streamId, seenId) << "IF data call " << i;
            const bool stamped = ReadIntegerTimestamp(p.data(), length, seconds);
            ASSERT_EQ(call.data.intTimestampValid, stamped) << "IF data call " << i;
            if (stamped) {
                ASSERT_EQ(call.data.intTimestamp, seconds) << "IF data call " << i;
            }
        }
    }

    static std::vector<Bytes> OfCapturedStream(const std::vector<Bytes>& packets, std::uint8_t type) {
        std::vector<Bytes> out;
        for (const Bytes& p : packets) {
            std::uint32_t id = 0;
            if (TypeOf(p) == type && ReadStreamId(p.data(), static_cast<std::uint32_t>(p.size()), id) &&
                id == kCapturedId)
                out.push_back(p);
        }
        return out;
    }

    // Every callback (the receiver is closed) against one pass through the captured stream.
    void ExpectOnePassOf(const std::vector<Bytes>& packets, std::uint32_t seenId) const {
        const std::vector<Bytes> data = OfCapturedStream(packets, kIfData);
        ASSERT_EQ(recorder.data.size(), data.size());
        ExpectData(data, seenId);
        EXPECT_EQ(recorder.contexts.size(), OfCapturedStream(packets, kIfContext).size());
        EXPECT_EQ(recorder.fftData.size(), OfCapturedStream(packets, kExtData).size());
        EXPECT_EQ(recorder.fftContexts.size(), OfCapturedStream(packets, kExtContext).size());
    }

    const ScratchDir dir_{"vita49-replay-test"};
};

// --- Every kind of file over every kind of link --------------------------------------------

enum class FileKind { kUdpPcap, kTcpPcapng, kRaw };

struct LinkCase {
    const char* name;
    FileKind file;
    std::int32_t type;
    const char* address;
    std::uint16_t port;
};

class ReplayLinkTest : public ReplayTest, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(ReplayLinkTest, TheReceiverSeesThePacketsOfTheFileAndTheLinkStaysOpenAfterTheEnd) {
    const LinkCase& c = GetParam();
    const std::vector<Bytes> packets = GeneratedPackets(120);
    sim::ReplayConfig replay;
    replay.rate = 0;
    switch (c.file) {
    case FileKind::kUdpPcap:
        replay.path = Save(UdpCapture(packets, Times(packets.size(), 0.25)), "stream.pcap");
        break;
    case FileKind::kTcpPcapng:
        replay.path = Save(TcpCapture(packets), "stream.pcapng");
        break;
    case FileKind::kRaw:
        replay.path = SaveRaw(Concat(packets), "stream.vrt");
        break;
    }
    StartReplay(c.address, replay);
    const Vita49_Base_Settings settings = Settings(c.type, c.port, c.port, std::string(), kCapturedId);
    SetUpStream(settings);
    // Tuning is taken but changes nothing in a replay.
    ASSERT_EQ(control.ChangeCBW(2000000), RC_OK);
    OpenWireOrderReceiver(settings);
    ASSERT_EQ(control.StartVita49Stream(), RC_OK);
    ASSERT_TRUE(WaitForPasses(1));
    ASSERT_TRUE(recorder.WaitForCount(Kind::Data, sim->Stats().ifData));
    // The end of the file is no end of the connection.
    EXPECT_TRUE(sim->Streaming());
    EXPECT_EQ(recorder.Count(Kind::ConnectionError), 0u);
    StopAndDrain();
    receiver.Close();

    const sim::SimStats sent = sim->Stats();
    EXPECT_EQ(sent.replayPasses, 1u);
    EXPECT_EQ(sent.sendErrors, 0u);
    EXPECT_EQ(sent.ifData + sent.ifContext + sent.extData + sent.extContext, packets.size());
    ExpectOnePassOf(packets, kCapturedId);
    EXPECT_TRUE(recorder.infos.empty()) << "nothing but the stream's packets reached the receiver";
    EXPECT_EQ(recorder.data.back().data.packetsLost, 0u);
    EXPECT_EQ(recorder.connectionErrors, c.type < 2 ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ReplayLinkTest,
    ::testing::Values(LinkCase{"UdpPcapOverUdp", FileKind::kUdpPcap, UDP_SINGLECAST, "127.0.21.1", 31641},
                      LinkCase{"TcpPcapngOverTcpServer", FileKind::kTcpPcapng, TCP_SERVER, "127.0.21.2", 31642},
                      LinkCase{"TcpPcapngOverUdp", FileKind::kTcpPcapng, UDP_SINGLECAST, "127.0.21.3", 31643},
                      LinkCase{"RawOverTcpClient", FileKind::kRaw, TCP_CLIENT, "127.0.21.4", 31644}),
    [](const ::testing::TestParamInfo<LinkCase>& info) { return info.param.name; });

// --- Loop, stream identifier, timing -------------------------------------------------------

TEST_F(ReplayTest, ALoopSendsTheFileAgainAndAgainUntilClose) {
    const std::vector<Bytes> packets = GeneratedPackets(30);
    sim::ReplayConfig replay;
    replay.path = SaveRaw(Concat(packets), "loop.bin");
    replay.rate = 0;
    replay.loop = true;
    StartReplay("127.0.21.5", replay);
    const Vita49_Base_Settings settings = Settings(TCP_SERVER, 31645, 31645, std::string(), kCapturedId);
    SetUpStream(settings);
    OpenWireOrderReceiver(settings);
    ASSERT_EQ(control.StartVita49Stream(), RC_OK);
    ASSERT_TRUE(WaitForPasses(3));
    StopAndDrain();
    receiver.Close();
    // The stream may have stopped inside a pass: whole passes and the part of the last one.
    const std::vector<Bytes> data = OfCapturedStream(packets, kIfData);
    ASSERT_GE(recorder.data.size(), 3 * data.size());
    ExpectData(data, kCapturedId);
}

struct RewriteCase {
    const char* name;
    sim::StreamIdRewrite rewrite;
    std::uint32_t setUpId;  // sent by the remote control
    std::uint32_t fixedId;  // the replay's own choice
    std::uint32_t seenId;   // the receiver's
    const char* address;
    std::uint16_t port;
};

class ReplayRewriteTest : public ReplayTest, public ::testing::WithParamInterface<RewriteCase> {};

TEST_P(ReplayRewriteTest, TheMainStreamTakesTheNewIdentifierAndOtherStreamsKeepTheirs) {
    const RewriteCase& c = GetParam();
    std::vector<Bytes> packets = GeneratedPackets(60);
    StreamBuilder other(9);
    for (std::uint8_t k = 0; k < 3; ++k) {
        other.Data(k, 256);
        packets.insert(packets.begin() + 10 + 15 * k, other.SpanBytes(k));
    }
    sim::ReplayConfig replay;
    replay.path = Save(UdpCapture(packets, Times(packets.size(), 0.1)), "two-streams.pcap");
    replay.rate = 0;
    replay.rewrite = c.rewrite;
    replay.streamId = c.fixedId;
    StartReplay(c.address, replay);
    SetUpStream(Settings(UDP_SINGLECAST, 0, c.port, std::string(), c.setUpId));
    OpenWireOrderReceiver(Settings(UDP_SINGLECAST, 0, c.port, std::string(), c.seenId));
    ASSERT_EQ(control.StartVita49Stream(), RC_OK);
    ASSERT_TRUE(WaitForPasses(1));
    ASSERT_TRUE(recorder.WaitForCount(Kind::Data, OfCapturedStream(packets, kIfData).size()));
    ASSERT_TRUE(recorder.WaitForCount(Kind::Info, 3));
    ASSERT_EQ(control.StopVita49Stream(), RC_OK);
    receiver.Close();

    ExpectOnePassOf(packets, c.seenId);
    // The other stream's packets arrive as they were: not the receiver's.
    EXPECT_EQ(recorder.infos.size(), 3u);
    EXPECT_EQ(sim->Stats().ifData, recorder.data.size() + 3);
}

INSTANTIATE_TEST_SUITE_P(
    Choices, ReplayRewriteTest,
    ::testing::Values(
        RewriteCase{"SetUp", sim::StreamIdRewrite::kSetUp, 0x1234, 0, 0x1234, "127.0.21.6", 31646},
        RewriteCase{"Fixed", sim::StreamIdRewrite::kFixed, 0x1234, 0xABCDEF01u, 0xABCDEF01u, "127.0.21.7", 31647}),
    [](const ::testing::TestParamInfo<RewriteCase>& info) { return info.param.name; });

struct RateCase {
    const char* name;
    double rate;
    double atLeastS; // a pass of a capture spanning 1 s at this rate, with a margin
    const char* address;
    std::uint16_t port;
};

class ReplayRateTest : public ReplayTest, public ::testing::WithParamInterface<RateCase> {};

TEST_P(ReplayRateTest, APassTakesTheCaptureTimeDividedByTheRate) {
    const RateCase& c = GetParam();
    StreamBuilder stream(kCapturedId);
    for (std::uint8_t k = 0; k < 21; ++k) stream.Data(static_cast<std::uint8_t>(k & 0x0F), 512);
    std::vector<Bytes> packets;
    for (std::size_t k = 0; k < stream.Spans().size(); ++k) packets.push_back(stream.SpanBytes(k));
    sim::ReplayConfig replay;
    replay.path = Save(UdpCapture(packets, Times(packets.size(), 1.0)), "one-second.pcap");
    replay.rate = c.rate;
    StartReplay(c.address, replay);
    const Vita49_Base_Settings settings = Settings(UDP_SINGLECAST, 0, c.port, std::string(), kCapturedId);
    SetUpStream(settings);
    OpenWireOrderReceiver(settings);
    const auto start = Clock::now();
    ASSERT_EQ(control.StartVita49Stream(), RC_OK);
    ASSERT_TRUE(WaitForPasses(1));
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GE(took, c.atLeastS);
    StopAndDrain();
    receiver.Close();
    ExpectOnePassOf(packets, kCapturedId);
}

INSTANTIATE_TEST_SUITE_P(Rates, ReplayRateTest,
                         ::testing::Values(RateCase{"RealTime", 1.0, 0.8, "127.0.21.8", 31648},
                                           RateCase{"TwiceAsFast", 2.0, 0.4, "127.0.21.9", 31649}),
                         [](const ::testing::TestParamInfo<RateCase>& info) { return info.param.name; });

// --- Files that cannot be replayed ---------------------------------------------------------

struct BrokenCase {
    const char* name;
    const char* file;  // created with `contents` unless null
    const char* contents;
    const char* says;  // in the error
};

class ReplayBrokenFileTest : public ReplayTest, public ::testing::WithParamInterface<BrokenCase> {};

TEST_P(ReplayBrokenFileTest, TheSimulatorRefusesToStartAndSaysWhy) {
    const BrokenCase& c = GetParam();
    sim::SimConfig config;
    config.address = "127.0.21.20";
    config.replay.path = std::string(c.file) == "-" ? "-" : Path(c.file);
    if (c.contents != nullptr) std::ofstream(config.replay.path) << c.contents;
    sim::Simulator simulator(config);
    std::string error;
    ASSERT_FALSE(simulator.Start(&error));
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
    EXPECT_EQ(simulator.Replay(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ReplayBrokenFileTest,
    ::testing::Values(BrokenCase{"Missing", "missing.pcap", nullptr, "missing.pcap: No such file"},
                      BrokenCase{"NotACapture", "notes.pcap", "not a capture at all\n", "notes.pcap"},
                      BrokenCase{"EmptyRaw", "empty.vrt", "", "no VITA 49 packet"},
                      BrokenCase{"RawOfNoPackets", "text.bin", "SYSTEM:STREAM:OPEN\nSYSTEM:STREAM:CLOSE\n",
                                 "no VITA 49 packet"},
                      BrokenCase{"StandardInput", "-", nullptr, "not standard input"}),
    [](const ::testing::TestParamInfo<BrokenCase>& info) { return info.param.name; });

// The program as a user starts it: a file it cannot replay, or replay options without a file
// or with options that would shape a generated stream, end it at once with a reason.
TEST_F(ReplayTest, TheProgramExitsWithAReasonForWhatItCannotReplay) {
    const std::string binary = BuiltProgram("tools/sim/vita49-sim");
    if (!fs::exists(binary)) GTEST_SKIP() << "vita49-sim is not built: " << binary;
    const std::string raw = SaveRaw(Concat(GeneratedPackets(2)), "ok.vrt");
    struct Run {
        std::string args;
        int status;
        std::string says;
    };
    const Run runs[] = {
        {"--replay '" + Path("gone.pcap") + "'", 1, "cannot replay: " + Path("gone.pcap")},
        {"--replay-loop", 2, "--replay-loop needs --replay FILE"},
        {"--replay '" + raw + "' --fast", 2, "--fast shapes the generated stream"},
        {"--replay '" + raw + "' --replay-rate -1", 2, "--replay-rate: not 0 or a positive factor"},
        {"--replay '" + raw + "' --replay-stream-id main", 2, "--replay-stream-id: not a 32-bit number"},
    };
    for (const Run& r : runs) {
        const ToolRun run = RunShell("'" + binary + "' --address 127.0.21.21 --quiet " + r.args + " 2>&1");
        EXPECT_EQ(run.status, r.status) << r.args << "\n" << run.out;
        EXPECT_NE(run.out.find(r.says), std::string::npos) << r.args << "\n" << run.out;
    }
}

} // namespace

#endif
