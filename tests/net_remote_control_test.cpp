// The remote control against a scripted command peer on loopback: the lines it sends, byte
// for byte; what it makes of the instrument's answers; and every failure of the channel.
// Each test has its own loopback address (127.0.4.x, port 5300), so tests can run in parallel.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <limits>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "net/SocketLibrary.h"
#include "support/CommandPeer.h"
#include "vita49/Vita49Receiver.h"
#include "vita49/Vita49RemoteControl.h"

namespace {

using vita49::test::CommandPeer;
using Answer = CommandPeer::Answer;
using Piece = CommandPeer::Piece;
using Ms = std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
using namespace std::string_literals;

const std::string kTaskList = "TASK:LIST?\n";
const std::string kViewList = "VIEW:LIST?\n";
const std::string kTaskAdd = "TASK:ADD? \"RT_STREAMING\"\n";
const std::string kStreamAdd = "STReam:ADD? \"VITA49_IQ\"\n";
const std::string kMarker = "IQSTream:OVERsampling ON\n";

std::string Address(int octet) { return "127.0.4." + std::to_string(octet); }

// Texts longer than the record's array fill it without a terminating NUL.
template <std::size_t N>
void CopyText(char (&target)[N], const std::string& text) {
    std::memset(target, 0, N);
    std::memcpy(target, text.data(), std::min(text.size(), N));
}

Vita49_Base_Settings Settings(const std::string& remote, std::int32_t type = UDP_SINGLECAST,
                              std::uint16_t tcpPort = 5000, std::uint16_t udpPort = 5001,
                              const std::string& local = "192.168.10.20", std::uint32_t streamId = 1) {
    Vita49_Base_Settings s;
    s.connectionType = type;
    s.tcpPort = tcpPort;
    s.udpPort = udpPort;
    CopyText(s.remoteAddress, remote);
    CopyText(s.localAddress, local);
    s.streamId = streamId;
    return s;
}

std::string Join(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& line : lines) all += line;
    return all;
}

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<Ms>(Clock::now() - start).count();
}

// Every operation that sends a command, for the state checks.
struct Operation {
    const char* name;
    std::function<RETURN_CODE(Vita49RemoteControl&)> call;
};

const std::vector<Operation>& Operations() {
    static const std::vector<Operation> operations = {
        {"InitVita49Streaming", [](Vita49RemoteControl& r) { return r.InitVita49Streaming(); }},
        {"StartVita49Stream", [](Vita49RemoteControl& r) { return r.StartVita49Stream(); }},
        {"StopVita49Stream", [](Vita49RemoteControl& r) { return r.StopVita49Stream(); }},
        {"ChangeTune", [](Vita49RemoteControl& r) { return r.ChangeTune(100000000); }},
        {"ChangeCBW", [](Vita49RemoteControl& r) { return r.ChangeCBW(20000000); }},
        {"ChangeOversampling", [](Vita49RemoteControl& r) { return r.ChangeOversampling(true); }},
        {"ChangePayloadLimit", [](Vita49RemoteControl& r) { return r.ChangePayloadLimit(1024); }},
        {"ChangeDataItemSize", [](Vita49RemoteControl& r) { return r.ChangeDataItemSize(32); }},
        {"ChangeTuneHz", [](Vita49RemoteControl& r) { return r.ChangeTuneHz(26500000000ull); }},
        {"ChangeCBWHz", [](Vita49RemoteControl& r) { return r.ChangeCBWHz(20000000); }},
        {"Identify",
         [](Vita49RemoteControl& r) {
             std::string identity;
             return r.Identify(identity);
         }},
        {"ReadError",
         [](Vita49RemoteControl& r) {
             std::string entry;
             return r.ReadError(entry);
         }},
    };
    return operations;
}

void ExpectEveryOperationRefused(Vita49RemoteControl& remote, RETURN_CODE expected) {
    for (const Operation& operation : Operations()) EXPECT_EQ(operation.call(remote), expected) << operation.name;
}

// One peer per test, and the checks most tests share.
class PeerTest {
protected:
    void StartPeer(int octet, int receiveBufferBytes = 0) {
        peer_ = std::make_unique<CommandPeer>(Address(octet), CommandPeer::kCommandPort, receiveBufferBytes);
        ASSERT_TRUE(peer_->Start()) << "cannot listen on " << Address(octet) << ":5300";
    }

    // Answers that let a set-up find both the task and the view.
    void AnswerBothLists() {
        peer_->SetAnswer(kTaskList, Answer::Text("\"RT_STREAMING\",\"Stream A\"\r\n"));
        peer_->SetAnswer(kViewList, Answer::Text("\"VITA49_IQ\",3,\"OTHER\",4\r\n"));
    }

    // Closes the channel and waits until the peer has seen all of it.
    void CloseAndSettle(Vita49RemoteControl& remote) {
        EXPECT_EQ(remote.Close(), RC_OK);
        EXPECT_TRUE(peer_->WaitForEnd());
    }

    // Proves that nothing was sent since `receivedBefore`: the next command arrives right after.
    void ExpectOnlyMarkerFollows(Vita49RemoteControl& remote, const std::string& receivedBefore) {
        ASSERT_EQ(remote.ChangeOversampling(true), RC_OK);
        ASSERT_TRUE(peer_->WaitForLines(Lines(receivedBefore) + 1));
        EXPECT_EQ(peer_->Received(), receivedBefore + kMarker);
    }

    static std::size_t Lines(const std::string& text) {
        return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    }

    std::unique_ptr<CommandPeer> peer_;
};

class RemoteControlTest : public PeerTest, public ::testing::Test {};

// ---------------------------------------------------------------------------------------------
// The set-up dialogue

TEST_F(RemoteControlTest, WorkedSetUpSendsNineLinesByteForByte) {
    StartPeer(1);
    peer_->SetAnswer(kTaskList, Answer::Text("\"RT_STREAMING\",\"Stream A\",\"IQ Analyzer\"\r\n"));
    peer_->SetAnswer(kViewList, Answer::Text("\"SPECTRUM\",1,\"IQ\",2\r\n"));
    Vita49RemoteControl remote;
    remote.Init(Settings(Address(1), UDP_SINGLECAST, 5000, 5001, "192.168.10.20", 1));
    ASSERT_EQ(remote.Open(), RC_OK);
    EXPECT_EQ(remote.InitVita49Streaming(), RC_OK);
    CloseAndSettle(remote);

    const std::vector<std::string> expected = {
        "TASK:LIST?\n",
        "TASK:SELect \"Stream A\"\n",
        "VIEW:LIST?\n",
        "STReam:ADD? \"VITA49_IQ\"\n",
        "STReam:Select 1\n",
        "STReam:Connection:IDN 1\n",
        "STReam:CONNection:TYPE UDP_SINGLECAST\n",
        "STReam:CONNection:ADDRess '192.168.10.20'\n",
        "STReam:CONNection:PORT 5001\n",
    };
    EXPECT_EQ(peer_->Lines(), expected);
    EXPECT_EQ(peer_->Received(), Join(expected)); // nothing else, no carriage return
}

TEST_F(RemoteControlTest, SetUpSelectsTaskAndViewFoundInTheLists) {
    StartPeer(2);
    peer_->SetAnswer(kTaskList, Answer::Text("\"Spectrum\",\"RT_STREAMING\",\"Stream A\",\"Other\"\r\n"));
    peer_->SetAnswer(kViewList, Answer::Text("\"VITA49_IQ\",3,\"OTHER\",4\r\n"));
    Vita49RemoteControl remote;
    remote.Init(Settings(Address(2), TCP_SERVER, 5000, 5001, "10.0.0.7", 77));
    ASSERT_EQ(remote.Open(), RC_OK);
    EXPECT_EQ(remote.InitVita49Streaming(), RC_OK);
    // Every call asks both lists afresh.
    EXPECT_EQ(remote.InitVita49Streaming(), RC_OK);
    CloseAndSettle(remote);

    const std::vector<std::string> once = {
        "TASK:LIST?\n",
        "TASK:SELect \"Stream A\"\n",
        "VIEW:LIST?\n",
        "VIEW:SELect 3\n",
        "STReam:Select 1\n",
        "STReam:Connection:IDN 77\n",
        "STReam:CONNection:TYPE TCP_SERVER\n",
        "STReam:CONNection:ADDRess '10.0.0.7'\n",
        "STReam:CONNection:PORT 5000\n",
    };
    EXPECT_EQ(peer_->Received(), Join(once) + Join(once));
}

TEST_F(RemoteControlTest, RepeatedSetUpSelectsWhatTheFirstOneCreated) {
    StartPeer(18);
    // An instrument that remembers what was added; it answers the "ADD?" queries with nothing.
    peer_->SetResponder([taskAdded = false, streamAdded = false](const std::string& line) mutable {
        if (line == kTaskAdd) taskAdded = true;
        if (line == kStreamAdd) streamAdded = true;
        if (line == kTaskList)
            return Answer::Text(taskAdded ? "\"Spectrum\",\"RT_STREAMING\",\"RT 1\"\r\n" : "\"Spectrum\"\r\n");
        if (line == kViewList)
            return Answer::Text(streamAdded ? "\"SPECTRUM\",1,\"VITA49_IQ\",2\r\n" : "\"SPECTRUM\",1\r\n");
        return Answer::None();
    });
    Vita49RemoteControl remote;
    remote.Init(Settings(Address(18)));
    ASSERT_EQ(remote.Open(), RC_OK);
    EXPECT_EQ(remote.InitVita49Streaming(), RC_OK);
    EXPECT_EQ(remote.InitVita49Streaming(), RC_OK);
    CloseAndSettle(remote);
    const std::vector<std::string> lines = peer_->Lines();
    ASSERT_EQ(lines.size(), 18u);
    EXPECT_EQ(lines[1], kTaskAdd);
    EXPECT_EQ(lines[3], kStreamAdd);
    EXPECT_EQ(lines[10], "TASK:SELect \"RT 1\"\n");
    EXPECT_EQ(lines[12], "VIEW:SELect 2\n");
}

// Answers that exercise the list rules end to end: what the single read returns, up to its
// first NUL, is what the rules see.
struct ListCase {
    const char* name;
    int octet;
    Answer taskAnswer;
    Answer viewAnswer;
    std::string taskLine;
    std::string viewLine;
};

void PrintTo(const ListCase& c, std::ostream* os) { *os << c.name; }

class RemoteControlListAnswers : public PeerTest, public ::testing::TestWithParam<ListCase> {};

TEST_P(RemoteControlListAnswers, DecideTheTaskAndViewLines) {
    const ListCase& c = GetParam();
    StartPeer(c.octet);
    peer_->SetAnswer(kTaskList, c.taskAnswer);
    peer_->SetAnswer(kViewList, c.viewAnswer);
    Vita49RemoteControl remote;
    remote.Init(Settings(Address(c.octet)));
    ASSERT_EQ(remote.Open(), RC_OK);
    EXPECT_EQ(remote.InitVita49Streaming(), RC_OK);
    ASSERT_TRUE(peer_->WaitForLines(9));
    const std::vector<std::string> lines = peer_->Lines();
    EXPECT_EQ(lines[1], c.taskLine);
    EXPECT_EQ(lines[3], c.viewLine);
    EXPECT_EQ(lines[8], "STReam:CONNection:PORT 5001\n");
    CloseAndSettle(remote);
}

const ListCase kListCases[] = {
    // The peer ends its output at once: both reads find 0 bytes, which is a list without key.
    {"EmptyAnswers", 70, Answer{{}, CommandPeer::Then::EndOutput}, Answer::None(), kTaskAdd, kStreamAdd},
    {"NulEndsTheText", 71, Answer::Text("\0\"RT_STREAMING\",\"Hidden\"\r\n"s),
     Answer::Text("\"VITA49_IQ\",3\0,9\r\n"s), kTaskAdd, "VIEW:SELect 3\n"},
    {"OneEntryPerLine", 72, Answer::Text("\"RT_STREAMING\",\"Line A\r\n\"Spectrum\"\r\n"),
     Answer::Text("\"VITA49_IQ\",3\r\n\"OTHER\",4\r\n"), "TASK:SELect \"Line A\"\n", "VIEW:SELect 3\n"},
    {"KeysAtTheVeryEnd", 73, Answer::Text("\"Spectrum\",\"RT_STREAMING\""),
     Answer::Text("\"SPECTRUM\",1,\"VITA49_IQ\""), kTaskAdd, kStreamAdd},
    {"ViewIsTheLastEntry", 74, Answer::Text("\"RT_STREAMING\",\"S\""),
     Answer::Text("\"SPECTRUM\",1,\"VITA49_IQ\",12\r\n"), "TASK:SELect \"S\"\n", "VIEW:SELect 12\n"},
    {"InjectedLinesCutOff", 75, Answer::Text("\"RT_STREAMING\",\"A\nSTReam:CONNection:OPEN\n\""),
     Answer::Text("\"VITA49_IQ\",3\nSTReam:CONNection:OPEN\n,\r\n"), "TASK:SELect \"A\"\n", "VIEW:SELect 3\n"},
};

INSTANTIATE_TEST_SUITE_P(Answers, RemoteControlListAnswers, ::testing::ValuesIn(kListCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RemoteControlTest, AnswerInPiecesIsReadAsFarAsItHasArrived) {
    StartPeer(3);
    // The rest of the task list comes late and is taken as the view list.
    peer_->SetAnswer(kTaskList, Answer{{Piece{Ms(0), "\"RT_STREAMING\",\"Str"},
                                        Piece{Ms(300), "eam A\"\r\n\"VITA49_IQ\",4,\r\n"}}});
    Vita49RemoteControl remote;
    remote.Init(Settings(Address(3)));
    ASSERT_EQ(remote.Open(), RC_OK);
    EXPECT_EQ(remote.InitVita49Streaming(), RC_OK);
    ASSERT_TRUE(peer_->WaitForLines(9));
    const std::vector<std::string> lines = peer_->Lines();
    EXPECT_EQ(lines[1], "TASK:SELect \"Str\"\n");
    EXPECT_EQ(lines[3], "VIEW:SELect 4\n");
    CloseAndSettle(remote);
}

TEST_F(RemoteControlTest, AnswerLongerThan1024BytesLeavesTheRestForTheNextRead) {
    StartPeer(4);
    std::string taskList = "\"RT_STREAMING\",\"Stream A\",";
    while (taskList.size() < 1100) taskList += "\"Filler task\",";
    taskList += "\"VITA49_IQ\",7,\"Z\"\r\n";
    ASSERT_GT(taskList.find("VITA49_IQ"), 1024u);
    peer_->SetAnswer(kTaskList, Answer::Text(taskList));
    Vita49RemoteControl remote;
    remote.Init(Settings(Address(4)));
    ASSERT_EQ(remote.Open(), RC_OK);
    EXPECT_EQ(remote.InitVita49Streaming(), RC_OK);
    ASSERT_TRUE(peer_->WaitForLines(9));
    const std::vector<std::string> lines = peer_->Lines();
    EXPECT_EQ(lines[1], "TASK:SELect \"Stream A\"\n");
    EXPECT_EQ(lines[3], "VIEW:SELect 7\n");
    CloseAndSettle(remote);
}

TEST_F(RemoteControlTest, UnreadTaskAddAnswerIsTakenAsTheViewList) {
    StartPeer(5);
    peer_->SetAnswer(kTaskList, Answer::Text("\"Spectrum\"\r\n"));
    peer_->SetAnswer(kTaskAdd, Answer::Text("\"VITA49_IQ\",9,\"added\"\r\n"));
    Vita49RemoteControl remote;
    remote.Init(Settings(Address(5)));
    ASSERT_EQ(remote.Open(), RC_OK);
    EXPECT_EQ(remote.InitVita49Streaming(), RC_OK);
    ASSERT_TRUE(peer_->WaitForLines(9));
    const std::vector<std::string> lines = peer_->Lines();
    EXPECT_EQ(lines[1], kTaskAdd);
    EXPECT_EQ(lines[2], kViewList);
    EXPECT_EQ(lines[3], "VIEW:SELect 9\n");
    CloseAndSettle(remote);
}

TEST_F(RemoteControlTest, UnreadStreamAddAnswerIsReadByTheNextSetUp) {
    StartPeer(6);
    peer_->SetAnswer(kTaskList, Answer::Text("\"RT_STREAMING\",\"First\"\r\n"));
    peer_->SetAnswer(kViewList, Answer::Text("\"SPECTRUM\",1\r\n"));
    peer_->SetAnswer(kStreamAdd, Answer::Text("\"RT_STREAMING\",\"Late\"\r\n"));
    Vita49RemoteControl remote;
    remote.Init(Settings(Address(6)));
    ASSERT_EQ(remote.Open(), RC_OK);
    ASSERT_EQ(remote.InitVita49Streaming(), RC_OK);
    ASSERT_TRUE(peer_->WaitForLines(9));
    ASSERT_TRUE(peer_->WaitForAnswersSent());
    EXPECT_EQ(peer_->Lines()[3], kStreamAdd);

    // The task list itself now gets no answer: the waiting bytes are all the read finds.
    peer_->ClearAnswer(kTaskList);
    peer_->SetAnswer(kViewList, Answer::Text("\"VITA49_IQ\",2,\r\n"));
    ASSERT_EQ(remote.InitVita49Streaming(), RC_OK);
    ASSERT_TRUE(peer_->WaitForLines(18));
    const std::vector<std::string> lines = peer_->Lines();
    EXPECT_EQ(lines[10], "TASK:SELect \"Late\"\n");
    EXPECT_EQ(lines[12], "VIEW:SELect 2\n");
    CloseAndSettle(remote);
}

// ---------------------------------------------------------------------------------------------
// Lines of the single-command operations

struct LineCase {
    const char* name;
    int octet;
    std::function<RETURN_CODE(Vita49RemoteControl&)> call;
    std::string line;
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

class RemoteControlOperationLine : public PeerTest, public ::testing::TestWithParam<LineCase> {};

TEST_P(RemoteControlOperationLine, IsSentExactly) {
    const LineCase& c = GetParam();
    StartPeer(c.octet);
    Vita49RemoteControl remote;
    remote.Init(Settings(Address(c.octet)));
    ASSERT_EQ(remote.Open(), RC_OK);
    EXPECT_EQ(c.call(remote), RC_OK);
    CloseAndSettle(remote);
    EXPECT_EQ(peer_->Received(), c.line);
}

const LineCase kLineCases[] = {
    {"Start", 30, [](Vita49RemoteControl& r) { return r.StartVita49Stream(); }, "STReam:CONNection:OPEN\n"},
    {"Stop", 31, [](Vita49RemoteControl& r) { return r.StopVita49Stream(); }, "STReam:CONNection:CLOSE\n"},
    {"TuneZero", 32, [](Vita49RemoteControl& r) { return r.ChangeTune(0); }, "IQSTream:FREQuency:TUNE 0Hz\n"},
    {"TuneLargest", 33, [](Vita49RemoteControl& r) { return r.ChangeTune(4294967295UL); },
     "IQSTream:FREQuency:TUNE 4294967295Hz\n"},
    {"Tune", 34, [](Vita49RemoteControl& r) { return r.ChangeTune(2400000000UL); },
     "IQSTream:FREQuency:TUNE 2400000000Hz\n"},
    {"Cbw", 35, [](Vita49RemoteControl& r) { return r.ChangeCBW(20000000); }, "IQSTream:CBW 20000000Hz\n"},
    {"CbwLargest", 36, [](Vita49RemoteControl& r) { return r.ChangeCBW(4294967295UL); },
     "IQSTream:CBW 4294967295Hz\n"},
    {"OversamplingOn", 37, [](Vita49RemoteControl& r) { return r.ChangeOversampling(true); },
     "IQSTream:OVERsampling ON\n"},
    {"OversamplingOff", 38, [](Vita49RemoteControl& r) { return r.ChangeOversampling(false); },
     "IQSTream:OVERsampling OFF\n"},
    {"PayloadLimit", 39, [](Vita49RemoteControl& r) { return r.ChangePayloadLimit(1024); },
     "IQSTream:PAYLoad:LIMit 1024\n"},
    {"PayloadLimitZero", 40, [](Vita49RemoteControl& r) { return r.ChangePayloadLimit(0); },
     "IQSTream:PAYLoad:LIMit 0\n"},
    {"PayloadLimitLargest", 41, [](Vita49RemoteControl& r) { return r.ChangePayloadLimit(4294967295UL); },
     "IQSTream:PAYLoad:LIMit 4294967295\n"},
    {"ItemSize32", 42, [](Vita49RemoteControl& r) { return r.ChangeDataItemSize(32); },
     "IQSTream:PAYLoad:FORMat I32Q32\n"},
    {"ItemSize16", 43, [](Vita49RemoteControl& r) { return r.ChangeDataItemSize(16); },
     "IQSTream:PAYLoad:FORMat I16Q16\n"},
    {"ItemSize0", 44, [](Vita49RemoteControl& r) { return r.ChangeDataItemSize(0); },
     "IQSTream:PAYLoad:FORMat I16Q16\n"},
    {"ItemSize64", 45, [](Vita49RemoteControl& r) { return r.ChangeDataItemSize(64); },
     "IQSTream:PAYLoad:FORMat I16Q16\n"},
    {"ItemSize255", 46, [](Vita49RemoteControl& r) { return r.ChangeDataItemSize(255); },
     "IQSTream:PAYLoad:FORMat I16Q16\n"},
};

INSTANTIATE_TEST_SUITE_P(Operations, RemoteControlOperationLine, ::testing::ValuesIn(kLineCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Stream settings in the set-up's last five lines

struct SettingsCase {
    const char* name;
    int octet;
    std::int32_t type;
    std::uint16_t tcpPort;
    std::uint16_t udpPort;
    std::string local;
    std::uint32_t streamId;
    std::vector<std::string> lastLines; // IDN, TYPE, ADDRess, PORT
};

void PrintTo(const SettingsCase& c, std::ostream* os) { *os << c.name; }

class RemoteControlStreamSettings : public PeerTest, public ::testing::TestWithParam<SettingsCase> {};

TEST_P(RemoteControlStreamSettings, AreSentFromTheSettings) {
    const SettingsCase& c = GetParam();
    StartPeer(c.octet);
    AnswerBothLists();
    Vita49RemoteControl remote;
    remote.Init(Settings(Address(c.octet), c.type, c.tcpPort, c.udpPort, c.local, c.streamId));
    ASSERT_EQ(remote.Open(), RC_OK);
    EXPECT_EQ(remote.InitVita49Streaming(), RC_OK);
    CloseAndSettle(remote);
    const std::vector<std::string> lines = peer_->Lines();
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 5, lines.end()), c.lastLines);
}

const std::string kFiftyChars(50, 'h');

const SettingsCase kSettingsCases[] = {
    {"TcpServerSendsTcpPort", 50, TCP_SERVER, 5000, 5001, "10.1.1.1", 1,
     {"STReam:Connection:IDN 1\n", "STReam:CONNection:TYPE TCP_SERVER\n", "STReam:CONNection:ADDRess '10.1.1.1'\n",
      "STReam:CONNection:PORT 5000\n"}},
    {"TcpClientSendsTcpPort", 51, TCP_CLIENT, 5000, 5001, "10.1.1.1", 1,
     {"STReam:Connection:IDN 1\n", "STReam:CONNection:TYPE TCP_CLIENT\n", "STReam:CONNection:ADDRess '10.1.1.1'\n",
      "STReam:CONNection:PORT 5000\n"}},
    {"UdpSinglecastSendsUdpPort", 52, UDP_SINGLECAST, 5000, 5001, "10.1.1.1", 1,
     {"STReam:Connection:IDN 1\n", "STReam:CONNection:TYPE UDP_SINGLECAST\n",
      "STReam:CONNection:ADDRess '10.1.1.1'\n", "STReam:CONNection:PORT 5001\n"}},
    {"UdpMulticastSendsUdpPort", 53, UDP_MULTICAST, 5000, 5001, "239.1.2.3", 1,
     {"STReam:Connection:IDN 1\n", "STReam:CONNection:TYPE UDP_MULTICAST\n",
      "STReam:CONNection:ADDRess '239.1.2.3'\n", "STReam:CONNection:PORT 5001\n"}},
    {"TypeNoneSendsNoName", 54, CONNECTION_NONE, 5000, 5001, "10.1.1.1", 1,
     {"STReam:Connection:IDN 1\n", "STReam:CONNection:TYPE \n", "STReam:CONNection:ADDRess '10.1.1.1'\n",
      "STReam:CONNection:PORT 5001\n"}},
    {"TypeSevenSendsNoName", 55, 7, 5000, 5001, "10.1.1.1", 1,
     {"STReam:Connection:IDN 1\n", "STReam:CONNection:TYPE \n", "STReam:CONNection:ADDRess '10.1.1.1'\n",
      "STReam:CONNection:PORT 5001\n"}},
    // Compared unsigned, a negative type is no TCP type.
    {"NegativeTypeSendsUdpPort", 56, -1, 5000, 5001, "10.1.1.1", 1,
     {"STReam:Connection:IDN 1\n", "STReam:CONNection:TYPE \n", "STReam:CONNection:ADDRess '10.1.1.1'\n",
      "STReam:CONNection:PORT 5001\n"}},
    {"EmptyLocalAddress", 57, UDP_SINGLECAST, 5000, 5001, "", 1,
     {"STReam:Connection:IDN 1\n", "STReam:CONNection:TYPE UDP_SINGLECAST\n", "STReam:CONNection:ADDRess ''\n",
      "STReam:CONNection:PORT 5001\n"}},
    {"LocalAddressFillingTheRecord", 58, UDP_SINGLECAST, 5000, 5001, kFiftyChars, 1,
     {"STReam:Connection:IDN 1\n", "STReam:CONNection:TYPE UDP_SINGLECAST\n",
      "STReam:CONNection:ADDRess '" + kFiftyChars + "'\n", "STReam:CONNection:PORT 5001\n"}},
    {"StreamIdZeroAndPortZero", 59, UDP_SINGLECAST, 5000, 0, "10.1.1.1", 0,
     {"STReam:Connection:IDN 0\n", "STReam:CONNection:TYPE UDP_SINGLECAST\n",
      "STReam:CONNection:ADDRess '10.1.1.1'\n", "STReam:CONNection:PORT 0\n"}},
    {"LargestStreamIdAndPort", 60, TCP_SERVER, 65535, 1, "10.1.1.1", 4294967295u,
     {"STReam:Connection:IDN 4294967295\n", "STReam:CONNection:TYPE TCP_SERVER\n",
      "STReam:CONNection:ADDRess '10.1.1.1'\n", "STReam:CONNection:PORT 65535\n"}},
};

INSTANTIATE_TEST_SUITE_P(Settings, RemoteControlStreamSettings, ::testing::ValuesIn(kSettingsCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Arguments refused before anything is sent

TEST_F(RemoteControlTest, ValuesWiderThan32BitsAreRefusedAndNothingIsSent) {
    if (sizeof(unsigned long) <= 4) GTEST_SKIP() << "unsigned long holds 32 bits here";
    const unsigned long justTooWide = static_cast<unsigned long>(std::numeric_limits<std::uint32_t>::max()) + 1;
    const unsigned long widest = std::numeric_limits<unsigned long>::max();
    StartPeer(16);
    Vita49RemoteControl remote;
    remote.Init(Settings(Address(16)));
    // The argument is judged before the state of the channel.
    EXPECT_EQ(remote.ChangeTune(justTooWide), RC_INVALID_ARGUMENT);
    ASSERT_EQ(remote.Open(), RC_OK);
    for (unsigned long value : {justTooWide, widest, justTooWide + 20000000}) {
        EXPECT_EQ(remote.ChangeTune(value), RC_INVALID_ARGUMENT) << value;
        EXPECT_EQ(remote.ChangeCBW(value), RC_INVALID_ARGUMENT) << value;
        EXPECT_EQ(remote.ChangePayloadLimit(value), RC_INVALID_ARGUMENT) << value;
    }
    ExpectOnlyMarkerFollows(remote, "");
    CloseAndSettle(remote);
}

TEST_F(RemoteControlTest, LocalAddressThatWouldEndTheCommandIsRefused) {
    StartPeer(17);
    AnswerBothLists();
    const std::string attacks[] = {
        "10.0.0.1'\nSTReam:CONNection:OPEN", "10.0.0.1\n", "10.0.0.1\r", "a\rb", "it's", "'",
    };
    Vita49RemoteControl remote;
    for (const std::string& local : attacks) {
        remote.Init(Settings(Address(17), UDP_SINGLECAST, 5000, 5001, local));
        EXPECT_EQ(remote.InitVita49Streaming(), RC_INVALID_ARGUMENT) << "before Open: " << local;
    }
    ASSERT_EQ(remote.Open(), RC_OK);
    for (const std::string& local : attacks) {
        remote.Init(Settings(Address(17), UDP_SINGLECAST, 5000, 5001, local));
        EXPECT_EQ(remote.InitVita49Streaming(), RC_INVALID_ARGUMENT) << local;
    }
    ExpectOnlyMarkerFollows(remote, "");
    CloseAndSettle(remote);
}

// ---------------------------------------------------------------------------------------------
// States of the channel

TEST_F(RemoteControlTest, BeforeOpenEveryOperationIsRefusedAndNothingConnects) {
    StartPeer(11);
    Vita49RemoteControl remote;
    remote.Init(Settings(Address(11)));
    ExpectEveryOperationRefused(remote, RC_CONNECTION_ERROR);
    EXPECT_EQ(remote.Close(), RC_CONNECTION_ERROR);
    EXPECT_FALSE(peer_->WaitForConnections(1, Ms(50)));
}

TEST_F(RemoteControlTest, AfterCloseEveryOperationIsRefusedUntilOpenAgain) {
    StartPeer(10);
    Vita49RemoteControl remote;
    remote.Init(Settings(Address(10)));
    ASSERT_EQ(remote.Open(), RC_OK);
    CloseAndSettle(remote);
    ExpectEveryOperationRefused(remote, RC_CONNECTION_ERROR);
    EXPECT_EQ(remote.Close(), RC_CONNECTION_ERROR);
    EXPECT_EQ(peer_->Received(), "");

    ASSERT_EQ(remote.Open(), RC_OK);
    ASSERT_TRUE(peer_->WaitForConnections(2));
    ExpectOnlyMarkerFollows(remote, "");
    CloseAndSettle(remote);
}

TEST_F(RemoteControlTest, SecondOpenIsRefusedAndTheChannelStaysUsable) {
    StartPeer(9);
    Vita49RemoteControl remote;
    remote.Init(Settings(Address(9)));
    ASSERT_EQ(remote.Open(), RC_OK);
    EXPECT_EQ(remote.Open(), RC_CONNECTION_ERROR);
    ExpectOnlyMarkerFollows(remote, "");
    CloseAndSettle(remote);
    EXPECT_EQ(peer_->Connections(), 1u);
}

TEST_F(RemoteControlTest, NameThatDoesNotResolveLeavesTheChannelClosed) {
    StartPeer(12);
    Vita49RemoteControl remote;
    // The empty label makes the resolver refuse the name without asking any server.
    remote.Init(Settings("no-such-instrument..invalid"));
    EXPECT_EQ(remote.Open(), RC_CONNECTION_ERROR);
    // A name that fills the record leaves no room for its NUL.
    const std::string fifty = std::string(41, 'x') + "..invalid";
    ASSERT_EQ(fifty.size(), sizeof(Vita49_Base_Settings{}.remoteAddress));
    remote.Init(Settings(fifty));
    EXPECT_EQ(remote.Open(), RC_CONNECTION_ERROR);
    EXPECT_EQ(remote.Close(), RC_CONNECTION_ERROR);
    ExpectEveryOperationRefused(remote, RC_CONNECTION_ERROR);
    // Still closed, so a corrected address may be opened at once.
    remote.Init(Settings(Address(12)));
    ASSERT_EQ(remote.Open(), RC_OK);
    ExpectOnlyMarkerFollows(remote, "");
    CloseAndSettle(remote);
}

TEST_F(RemoteControlTest, EmptyRemoteAddressNeverConnects) {
    Vita49RemoteControl remote;
    remote.Init(Settings(""));
    const RETURN_CODE rc = remote.Open();
    EXPECT_TRUE(rc == RC_SOCKET_ERROR || rc == RC_TIMEOUT) << rc;
    ExpectEveryOperationRefused(remote, RC_CONNECTION_ERROR);
    EXPECT_EQ(remote.Open(), RC_CONNECTION_ERROR);
    EXPECT_EQ(remote.Close(), RC_OK);
    EXPECT_EQ(remote.Close(), RC_CONNECTION_ERROR);
}

// A port that does not take the connection in time: nobody listening, or a listener whose
// queue is full.
struct NotAcceptingCase {
    const char* name;
    int octet;
    bool listening;
};

void PrintTo(const NotAcceptingCase& c, std::ostream* os) { *os << c.name; }

class RemoteControlNotAccepting : public PeerTest, public ::testing::TestWithParam<NotAcceptingCase> {};

TEST_P(RemoteControlNotAccepting, OpenTimesOutAndTheChannelNeedsClose) {
    const NotAcceptingCase& c = GetParam();
    if (c.listening) {
        StartPeer(c.octet);
        ASSERT_TRUE(peer_->HoldAccepts());
    }
    Vita49RemoteControl remote;
    remote.Init(Settings(Address(c.octet)));
    const auto start = Clock::now();
    EXPECT_EQ(remote.Open(), RC_TIMEOUT);
    const long long took = MsSince(start);
    EXPECT_GE(took, 90);
    EXPECT_LT(took, 900); // the connect time-out, not the system's retry
    EXPECT_EQ(remote.Open(), RC_CONNECTION_ERROR);
    ExpectEveryOperationRefused(remote, RC_CONNECTION_ERROR);
    EXPECT_EQ(remote.Open(), RC_CONNECTION_ERROR);
    EXPECT_EQ(remote.Close(), RC_OK);
    EXPECT_EQ(remote.Close(), RC_CONNECTION_ERROR);

    // Once the instrument takes connections, the same object opens normally.
    if (c.listening)
        peer_->ReleaseAccepts();
    else
        StartPeer(c.octet);
    ASSERT_EQ(remote.Open(), RC_OK);
    ExpectOnlyMarkerFollows(remote, "");
    CloseAndSettle(remote);
}

const NotAcceptingCase kNotAcceptingCases[] = {
    {"NobodyListening", 20, false},
    {"ListenQueueFull", 21, true},
};

INSTANTIATE_TEST_SUITE_P(Ports, RemoteControlNotAccepting, ::testing::ValuesIn(kNotAcceptingCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RemoteControlTest, SendToAPeerThatHasGoneFailsAndBreaksTheChannel) {
    StartPeer(14);
    Vita49RemoteControl remote;
    remote.Init(Settings(Address(14)));
    ASSERT_EQ(remote.Open(), RC_OK);
    ASSERT_TRUE(peer_->WaitForConnections(1));
    peer_->CloseConnection();

    // The first send may still be taken by the system; the reset it draws fails the next.
    RETURN_CODE rc = RC_OK;
    for (int attempt = 0; attempt < 100 && rc == RC_OK; ++attempt) {
        rc = remote.ChangeTune(1000);
        if (rc == RC_OK) std::this_thread::sleep_for(Ms(5));
    }
    EXPECT_EQ(rc, RC_SOCKET_ERROR);
    ExpectEveryOperationRefused(remote, RC_CONNECTION_ERROR);
    EXPECT_EQ(remote.Open(), RC_CONNECTION_ERROR);
    EXPECT_EQ(remote.Close(), RC_OK);

    ASSERT_EQ(remote.Open(), RC_OK);
    ASSERT_TRUE(peer_->WaitForConnections(2));
    ExpectOnlyMarkerFollows(remote, peer_->Received());
    CloseAndSettle(remote);
}

TEST_F(RemoteControlTest, PeerGoneDuringTheSetUpStopsItAtTheFailingStep) {
    StartPeer(15);
    peer_->SetAnswer(kTaskList, Answer{{Piece{Ms(0), "\"RT_STREAMING\",\"Stream A\"\r\n"}}, CommandPeer::Then::Close});
    Vita49RemoteControl remote;
    remote.Init(Settings(Address(15)));
    ASSERT_EQ(remote.Open(), RC_OK);
    EXPECT_EQ(remote.InitVita49Streaming(), RC_SOCKET_ERROR);
    EXPECT_EQ(peer_->Lines(), std::vector<std::string>{kTaskList});
    ExpectEveryOperationRefused(remote, RC_CONNECTION_ERROR);
    EXPECT_EQ(remote.Close(), RC_OK);
}

// ---------------------------------------------------------------------------------------------
// Closing

TEST_F(RemoteControlTest, CloseDeliversTheLastCommandToASlowReader) {
    StartPeer(7);
    AnswerBothLists();
    // Answers to the "ADD?" queries are never read: they wait in the receive queue at Close.
    peer_->SetAnswer(kViewList, Answer::Text("\"SPECTRUM\",1\r\n"));
    peer_->SetAnswer(kStreamAdd, Answer::Text("\"VITA49_IQ\",5\r\n"));
    Vita49RemoteControl remote;
    remote.Init(Settings(Address(7)));
    ASSERT_EQ(remote.Open(), RC_OK);
    ASSERT_EQ(remote.InitVita49Streaming(), RC_OK);
    ASSERT_TRUE(peer_->WaitForLines(9));
    ASSERT_TRUE(peer_->WaitForAnswersSent());

    // The instrument takes the stop command more slowly than Close waits for it.
    peer_->SetReadPace(2, Ms(25));
    EXPECT_EQ(remote.StopVita49Stream(), RC_OK);
    EXPECT_EQ(remote.Close(), RC_OK);
    ASSERT_TRUE(peer_->WaitForEnd());
    EXPECT_EQ(peer_->LastEnd(), CommandPeer::End::ClientClosed);
    const std::vector<std::string> lines = peer_->Lines();
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines.back(), "STReam:CONNection:CLOSE\n");
}

TEST_F(RemoteControlTest, DestroyingAnOpenRemoteControlClosesItsChannel) {
    StartPeer(8);
    {
        Vita49RemoteControl remote;
        remote.Init(Settings(Address(8)));
        ASSERT_EQ(remote.Open(), RC_OK);
        ASSERT_EQ(remote.StopVita49Stream(), RC_OK);
    }
    ASSERT_TRUE(peer_->WaitForEnd(Ms(2000)));
    EXPECT_EQ(peer_->LastEnd(), CommandPeer::End::ClientClosed);
    EXPECT_EQ(peer_->Received(), "STReam:CONNection:CLOSE\n");
}

// ---------------------------------------------------------------------------------------------
// Time-outs: each waits the full response or send bound (about 3 s).

class RemoteControlTimeoutTest : public PeerTest, public ::testing::Test {};

TEST_F(RemoteControlTimeoutTest, ResponseThatNeverComesEndsTheSetUp) {
    // Both reads of the set-up, side by side so that the test waits only once.
    CommandPeer taskPeer(Address(90));
    CommandPeer viewPeer(Address(91));
    ASSERT_TRUE(taskPeer.Start());
    ASSERT_TRUE(viewPeer.Start());
    viewPeer.SetAnswer(kTaskList, Answer::Text("\"RT_STREAMING\",\"Stream A\"\r\n"));
    Vita49RemoteControl taskRemote;
    Vita49RemoteControl viewRemote;
    taskRemote.Init(Settings(Address(90)));
    viewRemote.Init(Settings(Address(91)));
    ASSERT_EQ(taskRemote.Open(), RC_OK);
    ASSERT_EQ(viewRemote.Open(), RC_OK);

    auto timed = [](Vita49RemoteControl& remote, long long& took) {
        const auto start = Clock::now();
        const RETURN_CODE rc = remote.InitVita49Streaming();
        took = MsSince(start);
        return rc;
    };
    long long taskMs = 0;
    long long viewMs = 0;
    auto taskRun = std::async(std::launch::async, timed, std::ref(taskRemote), std::ref(taskMs));
    const RETURN_CODE viewRc = timed(viewRemote, viewMs);
    const RETURN_CODE taskRc = taskRun.get();

    EXPECT_EQ(taskRc, RC_TIMEOUT);
    EXPECT_EQ(viewRc, RC_TIMEOUT);
    for (long long took : {taskMs, viewMs}) {
        EXPECT_GE(took, 2900);
        EXPECT_LT(took, 6000);
    }
    // Nothing followed the unanswered query, and a time-out leaves the channel usable.
    ASSERT_EQ(taskRemote.ChangeOversampling(true), RC_OK);
    ASSERT_EQ(viewRemote.ChangeOversampling(true), RC_OK);
    ASSERT_TRUE(taskPeer.WaitForLines(2));
    ASSERT_TRUE(viewPeer.WaitForLines(4));
    EXPECT_EQ(taskPeer.Received(), kTaskList + kMarker);
    EXPECT_EQ(viewPeer.Received(), kTaskList + "TASK:SELect \"Stream A\"\n" + kViewList + kMarker);
    EXPECT_EQ(taskRemote.Close(), RC_OK);
    EXPECT_EQ(viewRemote.Close(), RC_OK);
}

TEST_F(RemoteControlTimeoutTest, PeerThatStopsReadingEndsASendWithinTheBound) {
    StartPeer(92, 4096);
    Vita49RemoteControl remote;
    remote.Init(Settings(Address(92)));
    ASSERT_EQ(remote.Open(), RC_OK);
    ASSERT_TRUE(peer_->WaitForConnections(1));
    peer_->PauseReading();

    const std::string line = "IQSTream:FREQuency:TUNE 1000000Hz\n";
    std::size_t delivered = 0;
    RETURN_CODE rc = RC_OK;
    long long lastCallMs = 0;
    // Fill the send buffer until a command can no longer be handed over.
    while (delivered < 2000000) {
        const auto start = Clock::now();
        rc = remote.ChangeTune(1000000);
        lastCallMs = MsSince(start);
        if (rc != RC_OK) break;
        ++delivered;
    }
    EXPECT_EQ(rc, RC_TIMEOUT);
    EXPECT_GE(lastCallMs, 2900);
    EXPECT_LT(lastCallMs, 10000);

    // Every command reported sent arrives whole once the instrument reads again; at most the
    // one that timed out is cut short.
    peer_->ResumeReading();
    EXPECT_EQ(remote.Close(), RC_OK);
    ASSERT_TRUE(peer_->WaitForEnd(Ms(10000)));
    const std::string received = peer_->Received();
    ASSERT_GE(received.size(), delivered * line.size());
    ASSERT_LT(received.size(), (delivered + 1) * line.size());
    for (std::size_t i = 0; i < received.size(); i += line.size()) {
        const std::string piece = received.substr(i, line.size());
        ASSERT_EQ(piece, line.substr(0, piece.size())) << "at byte " << i;
    }
}

// ---------------------------------------------------------------------------------------------
// The process-wide socket start-up

TEST(SocketStartUpCount, OneStartUpAndOneCleanUpForAllObjects) {
    using namespace vita49::net;
    ASSERT_EQ(SocketLibraryUsers(), 0u) << "another object is still alive";
    const std::uint32_t startups = SocketLibraryStartups();
    const std::uint32_t cleanups = SocketLibraryCleanups();

    CommandPeer firstPeer(Address(93));
    CommandPeer secondPeer(Address(94));
    ASSERT_TRUE(firstPeer.Start());
    ASSERT_TRUE(secondPeer.Start());

    auto first = std::make_unique<Vita49RemoteControl>();
    EXPECT_EQ(SocketLibraryStartups(), startups + 1);
    auto receiver = std::make_unique<Vita49Receiver>();
    auto second = std::make_unique<Vita49RemoteControl>();
    EXPECT_EQ(SocketLibraryStartups(), startups + 1);
    EXPECT_EQ(SocketLibraryUsers(), 3u);

    // All of them in use at once.
    first->Init(Settings(Address(93)));
    second->Init(Settings(Address(94)));
    ASSERT_EQ(first->Open(), RC_OK);
    ASSERT_EQ(second->Open(), RC_OK);
    Vita49_Base_Settings streamSettings = Settings("", UDP_SINGLECAST, 0, 5001, Address(95));
    Vita49_Receiver_Settings receiverSettings{};
    receiver->Init(streamSettings, receiverSettings);
    EXPECT_EQ(receiver->Open(), RC_OK);
    EXPECT_EQ(first->StartVita49Stream(), RC_OK);
    EXPECT_EQ(second->StartVita49Stream(), RC_OK);
    EXPECT_EQ(first->Close(), RC_OK);
    EXPECT_EQ(receiver->Close(), RC_OK);

    first.reset();
    second.reset(); // destroyed while still open
    EXPECT_EQ(SocketLibraryCleanups(), cleanups);
    receiver.reset();
    EXPECT_EQ(SocketLibraryCleanups(), cleanups + 1);
    EXPECT_EQ(SocketLibraryUsers(), 0u);
    EXPECT_EQ(SocketLibraryStartups(), startups + 1);

    // The next object starts the library again.
    { Vita49RemoteControl again; }
    EXPECT_EQ(SocketLibraryStartups(), startups + 2);
    EXPECT_EQ(SocketLibraryCleanups(), cleanups + 2);
}

} // namespace
