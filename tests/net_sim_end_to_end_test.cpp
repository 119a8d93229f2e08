// The whole road on loopback: the simulated instrument takes the library's commands and
// streams; Vita49RemoteControl sets it up, Vita49Receiver receives. Each test has its own
// loopback address (the command port is always 5300) and its own port, below the ephemeral
// range so that no outgoing connection of a concurrent test can be holding it.

#ifndef _WIN32

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <functional>
#include <string>
#include <thread>

#include "support/SimSession.h"

namespace {

using vita49::test::CallbackRecorder;
using Kind = vita49::test::CallbackRecorder::Kind;
using Clock = std::chrono::steady_clock;

// --- Every connection type, both item sizes ---------------------------------------------------

struct LinkCase {
    const char* name;
    std::int32_t type;
    unsigned bits;
    const char* address;
    std::uint16_t port;
};

class ConnectionTypeTest : public vita49::test::SimSession, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(ConnectionTypeTest, StreamArrivesCompleteWithItsContextToneAndTraces) {
    const LinkCase& c = GetParam();
    StartSim(c.address);
    const Vita49_Base_Settings settings = Settings(c.type, c.port, c.port);
    SetUpStream(settings);
    ASSERT_EQ(control.ChangeCBW(100000), RC_OK);
    ASSERT_EQ(control.ChangeDataItemSize(static_cast<unsigned char>(c.bits)), RC_OK);
    ASSERT_EQ(control.ChangePayloadLimit(1200), RC_OK);
    OpenReceiver(settings);
    ASSERT_EQ(control.StartVita49Stream(), RC_OK);
    ASSERT_TRUE(recorder.WaitForCount(Kind::Data, 100));
    ASSERT_TRUE(recorder.WaitForCount(Kind::FftData, 4));
    StopAndDrain();
    if (c.type < 2) {
        EXPECT_TRUE(recorder.WaitForCount(Kind::ConnectionError, 1));
    }
    receiver.Close();

    const vita49::sim::SimStats sent = sim->Stats();
    EXPECT_EQ(recorder.data.size(), sent.ifData);
    EXPECT_EQ(recorder.contexts.size(), sent.ifContext);
    EXPECT_EQ(recorder.fftData.size(), sent.extData);
    EXPECT_EQ(recorder.fftContexts.size(), sent.extContext);
    EXPECT_EQ(recorder.data.back().data.packetsLost, 0u);
    EXPECT_EQ(recorder.contexts.back().context.packetsLost, 0u);
    EXPECT_EQ(recorder.fftData.back().data.packetsLost, 0u);
    EXPECT_EQ(sent.commandErrors, 0u);
    // The instrument ends a TCP stream by closing its connection; a datagram stream just stops.
    EXPECT_EQ(recorder.connectionErrors, c.type < 2 ? 1u : 0u);

    ASSERT_FALSE(recorder.contexts.empty());
    const Vita49_Context& ctx = recorder.contexts.front().context;
    EXPECT_DOUBLE_EQ(ctx.bandwidthHz, 100000.0);
    EXPECT_DOUBLE_EQ(ctx.sampleRateHz, 125000.0);
    EXPECT_DOUBLE_EQ(ctx.rfReferenceFrequencyHz, 1e9);
    EXPECT_EQ(ctx.dataItemSize, c.bits);
    EXPECT_TRUE(ctx.referenceLevelValid);
    EXPECT_TRUE(ctx.gpsValid);
    // The first packet of the stream is its context: every data packet knows its format.
    EXPECT_EQ(recorder.order.front(), Kind::Context);

    const unsigned frame = c.bits / 4;
    const std::time_t now = std::time(nullptr);
    for (const auto& call : recorder.data) {
        ASSERT_EQ(call.data.payloadSize, 1200u / frame * frame);
        ASSERT_TRUE(call.data.validData && call.data.referenceLock);
        ASSERT_EQ(call.context.dataItemSize, c.bits);
    }
    EXPECT_NEAR(static_cast<double>(recorder.data.front().data.intTimestamp), static_cast<double>(now), 10.0);
    EXPECT_NEAR(RecordedToneHz(), sim->ToneOffsetHz(), 1.0);

    const auto& traces = recorder.fftData.back().data;
    EXPECT_TRUE(traces.traceIdsValid);
    EXPECT_EQ(traces.traceIds[0], 1);
    EXPECT_EQ(traces.traceIds[1], 2);
    EXPECT_EQ(traces.traceIds[2], 0);
}

INSTANTIATE_TEST_SUITE_P(
    Links, ConnectionTypeTest,
    ::testing::Values(LinkCase{"TcpServer16", TCP_SERVER, 16, "127.0.5.10", 31510},
                      LinkCase{"TcpServer32", TCP_SERVER, 32, "127.0.5.11", 31511},
                      LinkCase{"TcpClient16", TCP_CLIENT, 16, "127.0.5.12", 31512},
                      LinkCase{"TcpClient32", TCP_CLIENT, 32, "127.0.5.13", 31513},
                      LinkCase{"Udp16", UDP_SINGLECAST, 16, "127.0.5.14", 31514},
                      LinkCase{"Udp32", UDP_SINGLECAST, 32, "127.0.5.15", 31515}),
    [](const ::testing::TestParamInfo<LinkCase>& info) { return info.param.name; });

// --- Each Change operation shows in the next context packet -------------------------------------

struct ChangeCase {
    const char* name;
    const char* address;
    std::function<RETURN_CODE(Vita49RemoteControl&)> change;
    std::function<void(const Vita49_Context& before, const Vita49_Context& after)> checkContext;
    std::function<void(const Vita49_Data& data, const Vita49_Context& context)> checkData;
};

class ChangeTest : public vita49::test::SimSession, public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(ChangeTest, NextContextPacketCarriesTheChange) {
    const ChangeCase& c = GetParam();
    vita49::sim::SimConfig config;
    // No periodic context: the only one after the start must be the change's own.
    config.generator.contextIntervalS = 1e6;
    StartSim(c.address, config);
    const Vita49_Base_Settings settings = Settings(UDP_SINGLECAST, 0, 31520);
    SetUpStream(settings);
    ASSERT_EQ(control.ChangeCBW(100000), RC_OK);
    ASSERT_EQ(control.ChangePayloadLimit(800), RC_OK);
    OpenReceiver(settings);
    ASSERT_EQ(control.StartVita49Stream(), RC_OK);
    ASSERT_TRUE(recorder.WaitForCount(Kind::Data, 10));
    ASSERT_EQ(recorder.Count(Kind::Context), 1u);

    ASSERT_EQ(c.change(control), RC_OK);
    ASSERT_TRUE(recorder.WaitForCount(Kind::Context, 2));
    const std::size_t dataAtChange = recorder.Count(Kind::Data);
    ASSERT_TRUE(recorder.WaitForCount(Kind::Data, dataAtChange + 10));
    StopAndDrain();
    receiver.Close();

    ASSERT_EQ(recorder.contexts.size(), 2u);
    c.checkContext(recorder.contexts[0].context, recorder.contexts[1].context);
    // Every data packet after the second context has the new parameters.
    std::size_t contextsSeen = 0, dataIndex = 0, checked = 0;
    for (Kind k : recorder.order) {
        if (k == Kind::Context) ++contextsSeen;
        if (k != Kind::Data) continue;
        const auto& call = recorder.data[dataIndex++];
        if (contextsSeen == 2) {
            c.checkData(call.data, call.context);
            ++checked;
        }
    }
    EXPECT_GE(checked, 10u);
    EXPECT_EQ(recorder.data.back().data.packetsLost, 0u);
    EXPECT_EQ(sim->Stats().commandErrors, 0u);
}

void Unchanged(const Vita49_Data&, const Vita49_Context&) {}

INSTANTIATE_TEST_SUITE_P(
    Operations, ChangeTest,
    ::testing::Values(
        ChangeCase{"Tune", "127.0.5.20", [](Vita49RemoteControl& r) { return r.ChangeTune(2400000000ul); },
                   [](const Vita49_Context& before, const Vita49_Context& after) {
                       EXPECT_DOUBLE_EQ(before.rfReferenceFrequencyHz, 1e9);
                       EXPECT_DOUBLE_EQ(after.rfReferenceFrequencyHz, 2.4e9);
                   },
                   Unchanged},
        ChangeCase{"Cbw", "127.0.5.21", [](Vita49RemoteControl& r) { return r.ChangeCBW(200000); },
                   [](const Vita49_Context& before, const Vita49_Context& after) {
                       EXPECT_DOUBLE_EQ(before.bandwidthHz, 100000.0);
                       EXPECT_DOUBLE_EQ(after.bandwidthHz, 200000.0);
                       EXPECT_DOUBLE_EQ(after.sampleRateHz, 250000.0);
                   },
                   Unchanged},
        ChangeCase{"Oversampling", "127.0.5.22", [](Vita49RemoteControl& r) { return r.ChangeOversampling(false); },
                   [](const Vita49_Context& before, const Vita49_Context& after) {
                       EXPECT_DOUBLE_EQ(before.sampleRateHz, 125000.0);
                       EXPECT_DOUBLE_EQ(after.sampleRateHz, 100000.0);
                       EXPECT_DOUBLE_EQ(after.bandwidthHz, 100000.0);
                   },
                   Unchanged},
        ChangeCase{"DataItemSize", "127.0.5.23", [](Vita49RemoteControl& r) { return r.ChangeDataItemSize(32); },
                   [](const Vita49_Context& before, const Vita49_Context& after) {
                       EXPECT_EQ(before.dataItemSize, 16);
                       EXPECT_EQ(after.dataItemSize, 32);
                   },
                   [](const Vita49_Data& d, const Vita49_Context& c) {
                       EXPECT_EQ(c.dataItemSize, 32);
                       EXPECT_EQ(d.payloadSize, 800u);
                   }},
        ChangeCase{"PayloadLimit", "127.0.5.24", [](Vita49RemoteControl& r) { return r.ChangePayloadLimit(300); },
                   [](const Vita49_Context& before, const Vita49_Context& after) {
                       EXPECT_EQ(before.dataItemSize, after.dataItemSize);
                   },
                   [](const Vita49_Data& d, const Vita49_Context&) { EXPECT_EQ(d.payloadSize, 300u); }}),
    [](const ::testing::TestParamInfo<ChangeCase>& info) { return info.param.name; });

// --- Faults on the data connection ------------------------------------------------------------

struct FaultCase {
    const char* name;
    std::int32_t type;
    const char* address;
    std::uint16_t port;
};

class LossTest : public vita49::test::SimSession, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(LossTest, SkippedPacketCountsAreCountedExactly) {
    const FaultCase& c = GetParam();
    vita49::sim::SimConfig config;
    config.faults.skipDataEvery = 7;
    StartSim(c.address, config);
    const Vita49_Base_Settings settings = Settings(c.type, c.port, c.port);
    SetUpStream(settings);
    ASSERT_EQ(control.ChangeCBW(100000), RC_OK);
    ASSERT_EQ(control.ChangePayloadLimit(1000), RC_OK);
    OpenReceiver(settings);
    ASSERT_EQ(control.StartVita49Stream(), RC_OK);
    ASSERT_TRUE(recorder.WaitForCount(Kind::Data, 150));
    StopAndDrain();
    receiver.Close();

    const vita49::sim::SimStats s = sim->Stats();
    ASSERT_GE(s.skippedData, 20u);
    // A skip at the very end has no packet after it to reveal it.
    const std::uint64_t generated = s.ifData + s.skippedData;
    const std::uint64_t visible = s.skippedData - (generated % 7 == 0 ? 1 : 0);
    EXPECT_EQ(recorder.data.size(), s.ifData);
    EXPECT_EQ(recorder.data.back().data.packetsLost, visible);
    EXPECT_EQ(recorder.data.back().info.dataErrors, visible);
    EXPECT_EQ(recorder.contexts.back().context.packetsLost, 0u);
    EXPECT_EQ(recorder.fftData.back().data.packetsLost, 0u);
}

INSTANTIATE_TEST_SUITE_P(Links, LossTest,
                         ::testing::Values(FaultCase{"Udp", UDP_SINGLECAST, "127.0.5.30", 31530},
                                           FaultCase{"TcpServer", TCP_SERVER, "127.0.5.31", 31531}),
                         [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

class ForeignTest : public vita49::test::SimSession {};

TEST_F(ForeignTest, ForeignStreamsAndGarbageReachTheInfoCallbackOnly) {
    vita49::sim::SimConfig config;
    config.faults.foreignEvery = 4;
    config.faults.garbageEvery = 9;
    StartSim("127.0.5.32", config);
    const Vita49_Base_Settings settings = Settings(UDP_SINGLECAST, 0, 31532);
    SetUpStream(settings);
    ASSERT_EQ(control.ChangeCBW(100000), RC_OK);
    OpenReceiver(settings);
    ASSERT_EQ(control.StartVita49Stream(), RC_OK);
    ASSERT_TRUE(recorder.WaitForCount(Kind::Data, 40));
    StopAndDrain();
    receiver.Close();

    const vita49::sim::SimStats s = sim->Stats();
    ASSERT_GT(s.foreign, 5u);
    ASSERT_GT(s.garbage, 2u);
    EXPECT_EQ(recorder.infos.size(), s.foreign + s.garbage);
    EXPECT_EQ(recorder.data.size(), s.ifData);
    EXPECT_EQ(recorder.data.back().data.packetsLost, 0u);
    for (const auto& call : recorder.data) ASSERT_EQ(call.data.streamId, 1u);
}

class DisconnectTest : public vita49::test::SimSession, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(DisconnectTest, OneConnectionErrorThenTheApplicationCanStartAgain) {
    const FaultCase& c = GetParam();
    vita49::sim::SimConfig config;
    config.faults.disconnectAfterPackets = 40;
    StartSim(c.address, config);
    const Vita49_Base_Settings settings = Settings(c.type, c.port, c.port);
    SetUpStream(settings);
    ASSERT_EQ(control.ChangeCBW(100000), RC_OK);
    OpenReceiver(settings);
    ASSERT_EQ(control.StartVita49Stream(), RC_OK);
    ASSERT_TRUE(recorder.WaitForCount(Kind::ConnectionError, 1));
    // Longer than a receive cycle: a second report would have come by now.
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_EQ(recorder.Count(Kind::ConnectionError), 1u);
    EXPECT_EQ(sim->State().openStream, -1); // the instrument reports the stream closed
    EXPECT_FALSE(sim->Streaming());
    const std::size_t received = recorder.Count(Kind::Data) + recorder.Count(Kind::Context) +
                                 recorder.Count(Kind::FftData) + recorder.Count(Kind::FftContext);
    EXPECT_EQ(received, 40u);

    // The application closes and reopens its receiver and starts the stream again.
    receiver.Close();
    sim->SetFaults(vita49::sim::SimFaults());
    const std::size_t dataBefore = recorder.Count(Kind::Data);
    ASSERT_EQ(receiver.Open(), RC_OK);
    ASSERT_EQ(control.StartVita49Stream(), RC_OK);
    EXPECT_TRUE(recorder.WaitForCount(Kind::Data, dataBefore + 20));
}

INSTANTIATE_TEST_SUITE_P(Links, DisconnectTest,
                         ::testing::Values(FaultCase{"TcpServer", TCP_SERVER, "127.0.5.33", 31533},
                                           FaultCase{"TcpClient", TCP_CLIENT, "127.0.5.34", 31534}),
                         [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

// The application goes away while the stream is open (its receiver closes) and comes back: the
// instrument keeps the stream open, waits for it and resumes on a new connection, context first
// and with a new time base, so that it does not send the time away in a burst.
class ReturnTest : public vita49::test::SimSession, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(ReturnTest, TheInstrumentWaitsForTheApplicationAndResumesWithContextAndNewTime) {
    const FaultCase& c = GetParam();
    StartSim(c.address);
    const Vita49_Base_Settings settings = Settings(c.type, c.port, c.port);
    SetUpStream(settings);
    ASSERT_EQ(control.ChangeCBW(100000), RC_OK);
    OpenReceiver(settings);
    ASSERT_EQ(control.StartVita49Stream(), RC_OK);
    ASSERT_TRUE(recorder.WaitForCount(Kind::Data, 10));

    receiver.Close();
    ASSERT_TRUE(sim->WaitStreaming(false, 5000));
    EXPECT_EQ(sim->State().openStream, 0); // waiting, not closed
    recorder.Clear();
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // stream time the instrument must not catch up
    const double reopenedAt =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    ASSERT_EQ(receiver.Open(), RC_OK);
    ASSERT_TRUE(recorder.WaitForCount(Kind::Data, 10));
    ASSERT_EQ(control.StopVita49Stream(), RC_OK);
    ASSERT_TRUE(sim->WaitStreaming(false, 5000));
    receiver.Close();

    ASSERT_FALSE(recorder.order.empty());
    EXPECT_EQ(recorder.order.front(), Kind::Context);
    const Vita49_Data& first = recorder.data.front().data;
    const double firstSampleAt = double(first.intTimestamp) + double(first.fracTimestamp) * 1e-12;
    EXPECT_GT(firstSampleAt, reopenedAt - 0.05);
    EXPECT_EQ(recorder.data.back().data.packetsLost, 0u);
    const vita49::sim::SimStats stats = sim->Stats();
    EXPECT_EQ(stats.streamRuns, 1u);
    EXPECT_EQ(stats.dataConnections, 2u);
    EXPECT_EQ(sim->StreamError(), "");
}

INSTANTIATE_TEST_SUITE_P(Links, ReturnTest,
                         ::testing::Values(FaultCase{"TcpServer", TCP_SERVER, "127.0.5.36", 31536},
                                           FaultCase{"TcpClient", TCP_CLIENT, "127.0.5.37", 31537}),
                         [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

// --- Stop and start -------------------------------------------------------------------------------

class StopStartTest : public vita49::test::SimSession {};

TEST_F(StopStartTest, CyclesLoseNothingAndEachRunStartsWithContext) {
    StartSim("127.0.5.35");
    const Vita49_Base_Settings settings = Settings(UDP_SINGLECAST, 0, 31535);
    SetUpStream(settings);
    ASSERT_EQ(control.ChangeCBW(100000), RC_OK);
    OpenReceiver(settings);
    std::vector<std::size_t> firstOfRun;
    for (int run = 0; run < 3; ++run) {
        const std::size_t before = recorder.Count(Kind::Data);
        firstOfRun.push_back(before);
        ASSERT_EQ(control.StartVita49Stream(), RC_OK);
        ASSERT_TRUE(recorder.WaitForCount(Kind::Data, before + 20));
        StopAndDrain();
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    receiver.Close();
    EXPECT_EQ(sim->Stats().streamRuns, 3u);
    EXPECT_EQ(recorder.data.size(), sim->Stats().ifData);
    EXPECT_EQ(recorder.data.back().data.packetsLost, 0u);
    EXPECT_EQ(recorder.contexts.back().context.packetsLost, 0u);
    EXPECT_EQ(recorder.fftData.back().data.packetsLost, 0u);
    EXPECT_EQ(recorder.fftContexts.back().context.packetsLost, 0u);
    EXPECT_GE(recorder.contexts.size(), 3u);
    // Time goes on between runs: each run's first packet is later than the last one before.
    for (std::size_t run = 1; run < firstOfRun.size(); ++run) {
        const Vita49_Data& last = recorder.data[firstOfRun[run] - 1].data;
        const Vita49_Data& first = recorder.data[firstOfRun[run]].data;
        const double gap = (double(first.intTimestamp) - double(last.intTimestamp)) +
                           (double(first.fracTimestamp) - double(last.fracTimestamp)) * 1e-12;
        EXPECT_GT(gap, 0.0) << "run " << run;
    }
}

// --- The command channel as a plain TCP client sees it ---------------------------------------------

class RawClient {
public:
    explicit RawClient(const std::string& address) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(5300);
        inet_pton(AF_INET, address.c_str(), &a.sin_addr);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawClient() { Close(); }
    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    bool Connected() const { return connected_; }
    void Send(const std::string& bytes) {
        ASSERT_EQ(send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    // Reads until "\r\n" or `limit`; `pieces` counts the reads that brought bytes.
    std::string ReadLine(int& pieces, std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
        std::string text;
        pieces = 0;
        const auto end = Clock::now() + limit;
        while (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
            char buffer[256];
            const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            text.append(buffer, static_cast<std::size_t>(n));
            ++pieces;
        }
        return text;
    }
    std::string Query(const std::string& line) {
        Send(line);
        int pieces = 0;
        return ReadLine(pieces);
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

class CommandChannelTest : public vita49::test::SimSession {};

TEST_F(CommandChannelTest, MalformedInputIsCountedAndTheServerKeepsAnswering) {
    StartSim("127.0.5.40");
    RawClient client(address);
    ASSERT_TRUE(client.Connected());
    client.Send("garbage\n");
    client.Send(std::string("\0\x01\x02\xff\n", 5));
    client.Send(std::string(10000, 'A')); // no line end: one over-long line
    client.Send("\nIQSTream:CBW 0Hz\r\n");
    client.Send("IQSTream:CBW 123000Hz\r\n");
    EXPECT_EQ(client.Query("*IDN?\n"), "vita49,vita49-sim,0,1.0\r\n");
    EXPECT_EQ(client.Query("IQST:CBW?\n"), "123000\r\n");
    EXPECT_EQ(sim->Stats().commandErrors, 4u);
}

TEST_F(CommandChannelTest, AnUnfinishedLineIsNotExecutedAndAnotherControllerIsServed) {
    StartSim("127.0.5.41");
    {
        RawClient first(address);
        ASSERT_TRUE(first.Connected());
        first.Send("IQSTream:CBW 50000Hz");
    }
    RawClient second(address);
    RawClient third(address);
    ASSERT_TRUE(second.Connected() && third.Connected());
    EXPECT_EQ(second.Query("IQST:CBW?\n"), "1000000\r\n");
    third.Send("IQSTream:CBW 60000Hz\n");
    EXPECT_EQ(third.Query("IQST:CBW?\n"), "60000\r\n");
    EXPECT_EQ(second.Query("IQST:CBW?\n"), "60000\r\n");
    EXPECT_EQ(sim->Stats().commandErrors, 0u);
}

TEST_F(CommandChannelTest, AnswersCanArriveInPiecesOrLate) {
    vita49::sim::SimConfig config;
    config.faults.answerPieceBytes = 4;
    config.faults.answerPieceDelayMs = 30;
    StartSim("127.0.5.42", config);
    RawClient client(address);
    ASSERT_TRUE(client.Connected());
    client.Send("TASK:LIST?\n");
    int pieces = 0;
    auto start = Clock::now();
    EXPECT_EQ(client.ReadLine(pieces), "\"SPECTRUM\",\"Spectrum 1\"\r\n");
    EXPECT_GE(pieces, 3); // 26 bytes in 7 pieces, 30 ms apart (a busy reader may merge some)
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(150));

    vita49::sim::SimFaults late;
    late.answerDelayMs = 300;
    sim->SetFaults(late);
    client.Send("IQST:OVER?\n");
    start = Clock::now();
    EXPECT_EQ(client.ReadLine(pieces), "ON\r\n");
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(290));
}

TEST_F(CommandChannelTest, LibrarySetUpCreatesTaskAndStreamOnAFreshInstrument) {
    StartSim("127.0.5.43");
    SetUpStream(Settings(UDP_SINGLECAST, 0, 31543, "127.0.5.44", 77));
    ASSERT_EQ(control.Close(), RC_OK); // delivers every command before the state is read
    const vita49::sim::InstrumentState s = sim->State();
    ASSERT_EQ(s.tasks.size(), 2u);
    EXPECT_EQ(s.tasks[1].type, "RT_STREAMING");
    ASSERT_EQ(s.streams.size(), 1u);
    EXPECT_EQ(s.selectedStream, 0);
    EXPECT_EQ(s.streams[0].streamId, 77u);
    EXPECT_EQ(s.streams[0].type, vita49::sim::LinkType::UdpSinglecast);
    EXPECT_EQ(s.streams[0].address, "127.0.5.44");
    EXPECT_EQ(s.streams[0].port, 31543);
    EXPECT_EQ(sim->Stats().commandErrors, 0u);
}

TEST_F(CommandChannelTest, LibrarySetUpSelectsAnExistingTaskAndView) {
    vita49::sim::SimConfig config;
    config.initialState.tasks.push_back({"RT_STREAMING", "Stream A"});
    config.initialState.views.push_back({"VITA49_IQ", 3});
    config.initialState.views.push_back({"SPECTRUM", 4});
    StartSim("127.0.5.45", config);
    SetUpStream(Settings(TCP_SERVER, 31545, 0, "", 9));
    ASSERT_EQ(control.Close(), RC_OK);
    const vita49::sim::InstrumentState s = sim->State();
    EXPECT_EQ(s.tasks.size(), 2u); // nothing added
    EXPECT_EQ(s.selectedTask, 1);
    ASSERT_EQ(s.views.size(), 3u);
    EXPECT_EQ(s.selectedView, 1); // view 3
    ASSERT_EQ(s.streams.size(), 1u);
    EXPECT_EQ(s.streams[0].type, vita49::sim::LinkType::TcpServer);
    EXPECT_EQ(s.streams[0].port, 31545);
    EXPECT_EQ(s.streams[0].streamId, 9u);
    EXPECT_EQ(sim->Stats().commandErrors, 0u);
}

TEST_F(CommandChannelTest, StopEndsEverythingPromptly) {
    StartSim("127.0.5.46");
    const Vita49_Base_Settings settings = Settings(TCP_SERVER, 31546, 0);
    SetUpStream(settings);
    // Nobody listens on the stream port: the simulator keeps trying to connect until stopped.
    ASSERT_EQ(control.StartVita49Stream(), RC_OK);
    ASSERT_TRUE(WaitFor([&] { return sim->Stats().streamRuns == 1; }));
    RawClient idle(address);
    const auto start = Clock::now();
    sim->Stop();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
    EXPECT_FALSE(sim->Streaming());
    RawClient late(address);
    EXPECT_FALSE(late.Connected());
}

} // namespace

#endif
