// The remote control's one-line queries (Identify, ReadError) and the 64-bit tuning
// operations: against a scripted command peer for every way an answer can go wrong, and
// against the simulated instrument for the whole road. Loopback addresses 127.0.42.1xx (the
// Python tests count up from 127.0.42.1).

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <ostream>
#include <string>

#include "support/CommandPeer.h"
#include "support/SimSession.h"
#include "vita49/Vita49RemoteControl.h"

namespace {

using vita49::test::CommandPeer;
using Answer = CommandPeer::Answer;
using Piece = CommandPeer::Piece;
using Ms = std::chrono::milliseconds;

const std::string kIdn = "*IDN?\n";
const std::string kError = "SYSTem:ERRor?\n";
const std::string kMarker = "IQSTream:OVERsampling ON\n";

std::string Address(int octet) { return "127.0.42." + std::to_string(octet); }

Vita49_Base_Settings Settings(const std::string& remote) {
    Vita49_Base_Settings s{};
    s.connectionType = UDP_SINGLECAST;
    s.tcpPort = 5000;
    s.udpPort = 5001;
    std::strncpy(s.remoteAddress, remote.c_str(), sizeof s.remoteAddress - 1);
    std::strncpy(s.localAddress, "127.0.42.250", sizeof s.localAddress - 1);
    s.streamId = 1;
    return s;
}

// ---------------------------------------------------------------------------------------------
// The 64-bit operations send the whole decimal value in the 32-bit operations' command text.

struct HzCase {
    const char* name;
    int octet;
    std::function<RETURN_CODE(Vita49RemoteControl&)> call;
    std::string line;
};

void PrintTo(const HzCase& c, std::ostream* os) { *os << c.name; }

class HzLine : public ::testing::TestWithParam<HzCase> {};

TEST_P(HzLine, IsSentWhole) {
    const HzCase& c = GetParam();
    CommandPeer peer(Address(c.octet));
    ASSERT_TRUE(peer.Start());
    Vita49RemoteControl remote;
    remote.Init(Settings(Address(c.octet)));
    ASSERT_EQ(remote.Open(), RC_OK);
    EXPECT_EQ(c.call(remote), RC_OK);
    EXPECT_EQ(remote.Close(), RC_OK);
    ASSERT_TRUE(peer.WaitForEnd());
    EXPECT_EQ(peer.Received(), c.line);
}

// The text of the 32-bit operation for the same value, where it has one.
std::string TuneText(std::uint64_t hz) { return "IQSTream:FREQuency:TUNE " + std::to_string(hz) + "Hz\n"; }

const HzCase kHzCases[] = {
    {"TuneZero", 110, [](Vita49RemoteControl& r) { return r.ChangeTuneHz(0); }, TuneText(0)},
    {"TuneJustAbove32Bits", 111, [](Vita49RemoteControl& r) { return r.ChangeTuneHz(4294967296ull); },
     TuneText(4294967296ull)},
    {"Tune26GHz", 112, [](Vita49RemoteControl& r) { return r.ChangeTuneHz(26500000000ull); },
     "IQSTream:FREQuency:TUNE 26500000000Hz\n"},
    {"TuneLargest", 113,
     [](Vita49RemoteControl& r) { return r.ChangeTuneHz(std::numeric_limits<std::uint64_t>::max()); },
     "IQSTream:FREQuency:TUNE 18446744073709551615Hz\n"},
    {"CbwJustAbove32Bits", 114, [](Vita49RemoteControl& r) { return r.ChangeCBWHz(4294967296ull); },
     "IQSTream:CBW 4294967296Hz\n"},
    {"CbwAsThe32BitOne", 115, [](Vita49RemoteControl& r) { return r.ChangeCBWHz(20000000); },
     "IQSTream:CBW 20000000Hz\n"},
};

INSTANTIATE_TEST_SUITE_P(Values, HzLine, ::testing::ValuesIn(kHzCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// What a query makes of the answer it gets, or of none.

struct QueryCase {
    const char* name;
    int octet;
    bool identify; // Identify, else ReadError
    Answer answer;
    RETURN_CODE rc;
    std::string text; // what the string holds afterwards
};

void PrintTo(const QueryCase& c, std::ostream* os) { *os << c.name; }

class QueryAnswer : public ::testing::TestWithParam<QueryCase> {};

TEST_P(QueryAnswer, GivesTheFirstLineOrACodeThatSaysWhy) {
    const QueryCase& c = GetParam();
    const std::string& query = c.identify ? kIdn : kError;
    CommandPeer peer(Address(c.octet));
    ASSERT_TRUE(peer.Start());
    peer.SetAnswer(query, c.answer);
    Vita49RemoteControl remote;
    remote.Init(Settings(Address(c.octet)));
    ASSERT_EQ(remote.Open(), RC_OK);

    std::string text = "untouched";
    EXPECT_EQ(c.identify ? remote.Identify(text) : remote.ReadError(text), c.rc);
    EXPECT_EQ(text, c.text);
    // The query went out alone; after a time-out the channel still carries commands.
    if (c.rc != RC_CONNECTION_ERROR) {
        ASSERT_EQ(remote.ChangeOversampling(true), RC_OK);
        ASSERT_TRUE(peer.WaitForLines(2));
        EXPECT_EQ(peer.Received(), query + kMarker);
    } else {
        ASSERT_TRUE(peer.WaitForLines(1));
        EXPECT_EQ(peer.Received(), query);
    }
    remote.Close();
}

const QueryCase kQueryCases[] = {
    {"Identity", 120, true, Answer::Text("Maker,Model,1234,2.1\r\n"), RC_OK, "Maker,Model,1234,2.1"},
    {"IdentityWithoutLineEnd", 121, true, Answer::Text("Maker,Model,1234,2.1"), RC_OK, "Maker,Model,1234,2.1"},
    {"IdentityEndingInLf", 122, true, Answer::Text("Maker,Model\n"), RC_OK, "Maker,Model"},
    {"IdentityInPieces", 123, true,
     Answer{{Piece{Ms(0), "Maker,Mo"}, Piece{Ms(300), "del\r\n"}}, CommandPeer::Then::KeepOpen}, RC_OK, "Maker,Mo"},
    {"ErrorEntryThenMore", 124, false, Answer::Text("-113,\"Undefined header\"\r\n0,\"No error\"\r\n"), RC_OK,
     "-113,\"Undefined header\""},
    {"EmptyQueue", 125, false, Answer::Text("0,\"No error\"\r\n"), RC_OK, "0,\"No error\""},
    {"EmptyLine", 126, false, Answer::Text("\r\n"), RC_OK, ""},
    {"NoAnswer", 127, false, Answer::None(), RC_TIMEOUT, "untouched"},
    {"OutputEndedWithoutAnswer", 128, true, Answer{{}, CommandPeer::Then::EndOutput}, RC_CONNECTION_ERROR,
     "untouched"},
};

INSTANTIATE_TEST_SUITE_P(Answers, QueryAnswer, ::testing::ValuesIn(kQueryCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(QueryTest, AnswersNobodyReadAreNotTakenForTheNext) {
    // The set-up's add queries leave their answers unread, as an instrument that answers
    // every query does.
    CommandPeer peer(Address(130));
    ASSERT_TRUE(peer.Start());
    peer.SetAnswer("TASK:LIST?\n", Answer::Text("\"SPECTRUM\",\"Spectrum 1\"\r\n"));
    peer.SetAnswer("TASK:ADD? \"RT_STREAMING\"\n", Answer::Text("\"RT_STREAMING\",\"Stream A\"\r\n"));
    peer.SetAnswer("VIEW:LIST?\n",
                   Answer{{Piece{Ms(50), "\"SPECTRUM\",1\r\n"}}, CommandPeer::Then::KeepOpen});
    // Still on its way when Identify asks.
    peer.SetAnswer("STReam:ADD? \"VITA49_IQ\"\n",
                   Answer{{Piece{Ms(300), "\"VITA49_IQ\",2\r\n"}}, CommandPeer::Then::KeepOpen});
    peer.SetAnswer(kIdn, Answer::Text("Maker,Model,1,1\r\n"));
    peer.SetAnswer(kError, Answer::Text("0,\"No error\"\r\n"));
    Vita49RemoteControl remote;
    remote.Init(Settings(Address(130)));
    ASSERT_EQ(remote.Open(), RC_OK);
    ASSERT_EQ(remote.InitVita49Streaming(), RC_OK);
    std::string identity;
    std::string entry;
    EXPECT_EQ(remote.Identify(identity), RC_OK);
    EXPECT_EQ(identity, "Maker,Model,1,1");
    EXPECT_EQ(remote.ReadError(entry), RC_OK);
    EXPECT_EQ(entry, "0,\"No error\"");
    remote.Close();
}

TEST(QueryTest, AfterTheInstrumentClosedTheChannelIsBroken) {
    CommandPeer peer(Address(131));
    ASSERT_TRUE(peer.Start());
    peer.SetAnswer(kIdn, Answer{{Piece{Ms(0), "Maker,Model\r\n"}}, CommandPeer::Then::Close});
    Vita49RemoteControl remote;
    remote.Init(Settings(Address(131)));
    ASSERT_EQ(remote.Open(), RC_OK);
    std::string identity;
    ASSERT_EQ(remote.Identify(identity), RC_OK);
    ASSERT_TRUE(peer.WaitForEnd());
    // Never RC_OK and never RC_TIMEOUT, which would say "no such query".
    std::string entry = "untouched";
    const RETURN_CODE rc = remote.ReadError(entry);
    EXPECT_TRUE(rc == RC_CONNECTION_ERROR || rc == RC_SOCKET_ERROR) << Vita49ReturnCodeName(rc);
    EXPECT_EQ(entry, "untouched");
    remote.Close();
}

TEST(QueryTest, AnAnswerAfterItsTimeOutIsNotTakenForTheNext) {
    CommandPeer peer(Address(132));
    ASSERT_TRUE(peer.Start());
    peer.SetAnswer(kIdn, Answer{{Piece{Ms(3300), "Maker,Model\r\n"}}, CommandPeer::Then::KeepOpen});
    peer.SetAnswer(kError, Answer::Text("0,\"No error\"\r\n"));
    Vita49RemoteControl remote;
    remote.Init(Settings(Address(132)));
    ASSERT_EQ(remote.Open(), RC_OK);
    std::string text = "untouched";
    ASSERT_EQ(remote.Identify(text), RC_TIMEOUT);
    ASSERT_TRUE(peer.WaitForAnswersSent());
    ASSERT_EQ(remote.ReadError(text), RC_OK);
    EXPECT_EQ(text, "0,\"No error\"");
    remote.Close();
}

// ---------------------------------------------------------------------------------------------
// The whole road against the simulated instrument.

using SimQueryTest = vita49::test::SimSession;

TEST_F(SimQueryTest, IdentityErrorsAndTuningAbove32Bits) {
    StartSim(Address(140));
    SetUpStream(Settings(UDP_SINGLECAST, 5000, 5001));
    std::string text;
    ASSERT_EQ(control.Identify(text), RC_OK);
    EXPECT_EQ(text, sim->State().identity);
    ASSERT_EQ(control.ReadError(text), RC_OK);
    EXPECT_EQ(text, "0,\"No error\"");

    const std::uint64_t tune = 26500000001ull;
    ASSERT_EQ(control.ChangeTuneHz(tune), RC_OK);
    ASSERT_EQ(control.ReadError(text), RC_OK); // answered after the tuning line was executed
    EXPECT_EQ(text, "0,\"No error\"");
    EXPECT_EQ(sim->Params().tuneHz, tune);

    // Values the instrument refuses come back one entry per call, oldest first.
    ASSERT_EQ(control.ChangeCBWHz(4294967296ull), RC_OK);
    ASSERT_EQ(control.ChangeTuneHz(std::numeric_limits<std::uint64_t>::max()), RC_OK);
    std::string first;
    std::string second;
    ASSERT_EQ(control.ReadError(first), RC_OK);
    ASSERT_EQ(control.ReadError(second), RC_OK);
    ASSERT_EQ(control.ReadError(text), RC_OK);
    EXPECT_EQ(first.rfind("-222,\"", 0), 0u) << first;
    EXPECT_NE(first.find("CBW"), std::string::npos) << first;
    EXPECT_EQ(second.rfind("-222,\"", 0), 0u) << second;
    EXPECT_NE(second.find("tuning"), std::string::npos) << second;
    EXPECT_EQ(text, "0,\"No error\"");
    EXPECT_EQ(sim->Params().tuneHz, tune);
    EXPECT_EQ(sim->Stats().commandErrors, 2u);
}

// ---------------------------------------------------------------------------------------------
// Return code names.

#define VITA49_CODE(code) {code, #code}

struct NamedCode {
    RETURN_CODE code;
    const char* spelling;
};

TEST(ReturnCodeNameTest, EveryEnumeratorIsNamedAsSpelledAndOthersAreUnknown) {
    const NamedCode codes[] = {VITA49_CODE(RC_OK), VITA49_CODE(RC_SOCKET_ERROR), VITA49_CODE(RC_TIMEOUT),
                               VITA49_CODE(RC_INVALID_ARGUMENT), VITA49_CODE(RC_CONNECTION_ERROR)};
    for (const NamedCode& c : codes) EXPECT_STREQ(Vita49ReturnCodeName(c.code), c.spelling);
    for (std::int32_t value : {1, -1, 179, 184, std::numeric_limits<std::int32_t>::min(),
                               std::numeric_limits<std::int32_t>::max()})
        EXPECT_STREQ(Vita49ReturnCodeName(static_cast<RETURN_CODE>(value)), "RC_UNKNOWN") << value;
}

} // namespace
