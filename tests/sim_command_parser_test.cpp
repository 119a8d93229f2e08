// The simulated instrument's command interpreter, line by line: mnemonic matching, the
// state every command changes, the answers, and refusal of anything malformed.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/CommandParser.h"

namespace {

using vita49::sim::CommandInterpreter;
using vita49::sim::CommandResult;
using vita49::sim::DefaultInstrumentState;
using vita49::sim::Effect;
using vita49::sim::InstrumentState;
using vita49::sim::LinkType;

// --- Mnemonic matching -----------------------------------------------------------------------

struct HeaderCase {
    const char* header;
    const char* pattern;
    bool matches;
};

class MnemonicTest : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(MnemonicTest, MatchesShortAndLongFormsOnly) {
    const HeaderCase& c = GetParam();
    EXPECT_EQ(vita49::sim::MatchHeader(c.header, c.pattern), c.matches) << c.header << " vs " << c.pattern;
}

INSTANTIATE_TEST_SUITE_P(
    Headers, MnemonicTest,
    ::testing::Values(HeaderCase{"STReam:Connection:IDN", "STReam:CONNection:IDN", true},
                      HeaderCase{"STReam:CONNection:TYPE", "STReam:CONNection:TYPE", true},
                      HeaderCase{"STR:CONN:TYPE", "STReam:CONNection:TYPE", true},
                      HeaderCase{"stream:connection:type", "STReam:CONNection:TYPE", true},
                      HeaderCase{"Str:Conn:Type", "STReam:CONNection:TYPE", true},
                      HeaderCase{"STReam:Select", "STReam:SELect", true},
                      HeaderCase{"STR:SEL", "STReam:SELect", true},
                      HeaderCase{"IQST:FREQ:TUNE", "IQSTream:FREQuency:TUNE", true},
                      HeaderCase{"IQSTREAM:PAYLOAD:LIMIT", "IQSTream:PAYLoad:LIMit", true},
                      // Neither short nor long: a prefix longer than the short form.
                      HeaderCase{"STRE:CONN:TYPE", "STReam:CONNection:TYPE", false},
                      HeaderCase{"STR:CONNECT:TYPE", "STReam:CONNection:TYPE", false},
                      HeaderCase{"ST:CONN:TYPE", "STReam:CONNection:TYPE", false},
                      HeaderCase{"STREAMS:CONN:TYPE", "STReam:CONNection:TYPE", false},
                      // Keyword count must agree.
                      HeaderCase{"STR:CONN", "STReam:CONNection:TYPE", false},
                      HeaderCase{"STR:CONN:TYPE:X", "STReam:CONNection:TYPE", false},
                      HeaderCase{"STR::TYPE", "STReam:CONNection:TYPE", false},
                      HeaderCase{"", "TASK:LIST", false}));

// --- Frequencies ----------------------------------------------------------------------------

struct FrequencyCase {
    const char* text;
    bool ok;
    double hz;
};

class FrequencyTest : public ::testing::TestWithParam<FrequencyCase> {};

TEST_P(FrequencyTest, ParsesNumberAndUnit) {
    const FrequencyCase& c = GetParam();
    double hz = -1;
    ASSERT_EQ(vita49::sim::ParseFrequency(c.text, hz), c.ok) << c.text;
    if (c.ok) {
        EXPECT_DOUBLE_EQ(hz, c.hz) << c.text;
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, FrequencyTest,
                         ::testing::Values(FrequencyCase{"1000000000Hz", true, 1e9}, FrequencyCase{"0Hz", true, 0},
                                           FrequencyCase{"4294967295Hz", true, 4294967295.0},
                                           FrequencyCase{"20000000", true, 2e7}, FrequencyCase{"1.5 GHz", true, 1.5e9},
                                           FrequencyCase{"2400MHZ", true, 2.4e9}, FrequencyCase{"2400mhz", true, 2.4e9},
                                           FrequencyCase{"12.5kHz", true, 12500}, FrequencyCase{"1e6", true, 1e6},
                                           FrequencyCase{".5kHz", true, 500}, FrequencyCase{"", false, 0},
                                           FrequencyCase{"Hz", false, 0}, FrequencyCase{"-5Hz", false, 0},
                                           FrequencyCase{"5 Hz x", false, 0}, FrequencyCase{"5THz", false, 0},
                                           FrequencyCase{"1e", false, 0}, FrequencyCase{"0x10", false, 0},
                                           FrequencyCase{"1e30", false, 0}, FrequencyCase{"inf", false, 0}));

// --- The interpreter -------------------------------------------------------------------------

class InterpreterTest : public ::testing::Test {
protected:
    // Executes a line that must be accepted and returns its answer.
    std::string Ok(const std::string& line) {
        const CommandResult r = interp.Execute(line);
        EXPECT_TRUE(r.accepted) << line << ": " << r.error;
        return r.answer;
    }

    // Executes a line that must be refused: no answer, no effect, no change, one error more.
    void Refused(const std::string& line) {
        const InstrumentState before = interp.State();
        const std::uint64_t errors = interp.ErrorCount();
        const CommandResult r = interp.Execute(line);
        EXPECT_FALSE(r.accepted) << "accepted: " << line;
        EXPECT_TRUE(r.answer.empty()) << line;
        EXPECT_EQ(r.effect, Effect::None) << line;
        EXPECT_TRUE(interp.State() == before) << "state changed by " << line;
        EXPECT_EQ(interp.ErrorCount(), errors + 1) << line;
    }

    // The set-up the library sends, as far as the stream connection.
    void SetUpStream(const std::string& type = "UDP_SINGLECAST", const std::string& address = "127.0.5.1") {
        Ok("STReam:ADD? \"VITA49_IQ\"\n");
        Ok("STReam:Select 1\n");
        Ok("STReam:Connection:IDN 7\n");
        Ok("STReam:CONNection:TYPE " + type + "\n");
        Ok("STReam:CONNection:ADDRess '" + address + "'\n");
        Ok("STReam:CONNection:PORT 5001\n");
    }

    CommandInterpreter interp;
};

TEST_F(InterpreterTest, ListsAreQuotedPairsEndingInCrLf) {
    EXPECT_EQ(Ok("TASK:LIST?\n"), "\"SPECTRUM\",\"Spectrum 1\"\r\n");
    EXPECT_EQ(Ok("VIEW:LIST?\n"), "\"SPECTRUM\",1\r\n");
}

TEST_F(InterpreterTest, AddQueriesCreateSelectAndAnswerTheNewEntry) {
    EXPECT_EQ(Ok("TASK:ADD? \"RT_STREAMING\"\n"), "\"RT_STREAMING\",\"Stream A\"\r\n");
    EXPECT_EQ(Ok("TASK:ADD? \"RT_STREAMING\"\n"), "\"RT_STREAMING\",\"Stream B\"\r\n");
    EXPECT_EQ(Ok("TASK:LIST?\n"),
              "\"SPECTRUM\",\"Spectrum 1\",\"RT_STREAMING\",\"Stream A\",\"RT_STREAMING\",\"Stream B\"\r\n");
    EXPECT_EQ(interp.State().selectedTask, 2);

    EXPECT_EQ(Ok("STReam:ADD? \"VITA49_IQ\"\n"), "\"VITA49_IQ\",2\r\n");
    EXPECT_EQ(Ok("VIEW:LIST?\n"), "\"SPECTRUM\",1,\"VITA49_IQ\",2\r\n");
    ASSERT_EQ(interp.State().streams.size(), 1u);
    EXPECT_EQ(interp.State().selectedStream, 0);
    EXPECT_EQ(interp.State().selectedView, 1);
}

TEST_F(InterpreterTest, SelectionFollowsNamesAndIdentifiers) {
    InstrumentState initial = DefaultInstrumentState();
    initial.tasks.push_back({"RT_STREAMING", "Stream A"});
    initial.views.push_back({"VITA49_IQ", 3});
    initial.views.push_back({"VITA49_IQ", 4});
    interp = CommandInterpreter(initial);
    ASSERT_EQ(interp.State().streams.size(), 2u); // one per IQ view

    Ok("TASK:SELect \"Stream A\"\n");
    EXPECT_EQ(interp.State().selectedTask, 1);
    EXPECT_EQ(Ok("TASK:SEL?\n"), "\"Stream A\"\r\n");
    Ok("VIEW:SELect 4\n");
    EXPECT_EQ(interp.State().selectedView, 2);
    EXPECT_EQ(interp.State().selectedStream, 1); // the stream of view 4
    Ok("STReam:Select 1\n");
    EXPECT_EQ(interp.State().selectedStream, 0);
    EXPECT_EQ(Ok("STR:SEL?\n"), "1\r\n");

    Refused("TASK:SELect \"Stream Z\"\n");
    Refused("VIEW:SELect 5\n");
    Refused("STReam:Select 3\n");
    Refused("STReam:Select 0\n");
}

TEST_F(InterpreterTest, StreamConnectionSettingsApplyToTheSelectedStream) {
    Ok("STReam:ADD? \"VITA49_IQ\"\n");
    Ok("STReam:ADD? \"VITA49_IQ\"\n");
    Ok("STReam:Select 2\n");
    Ok("STReam:Connection:IDN 4294967295\n");
    Ok("STReam:CONNection:TYPE TCP_SERVER\n");
    Ok("STReam:CONNection:ADDRess '10.1.2.3'\n");
    Ok("STReam:CONNection:PORT 65535\n");
    const auto& streams = interp.State().streams;
    EXPECT_EQ(streams[1].streamId, 4294967295u);
    EXPECT_EQ(streams[1].type, LinkType::TcpServer);
    EXPECT_EQ(streams[1].address, "10.1.2.3");
    EXPECT_EQ(streams[1].port, 65535);
    EXPECT_EQ(streams[0].type, LinkType::None); // untouched
    EXPECT_EQ(Ok("STR:CONN:TYPE?\n"), "TCP_SERVER\r\n");
    EXPECT_EQ(Ok("STR:CONN:ADDR?\n"), "'10.1.2.3'\r\n");
    EXPECT_EQ(Ok("STR:CONN:PORT?\n"), "65535\r\n");
    EXPECT_EQ(Ok("STR:CONN:IDN?\n"), "4294967295\r\n");
}

TEST_F(InterpreterTest, OpenAndCloseReportTheirEffectOnce) {
    SetUpStream();
    CommandResult r = interp.Execute("STReam:CONNection:OPEN\n");
    EXPECT_TRUE(r.accepted);
    EXPECT_EQ(r.effect, Effect::OpenStream);
    EXPECT_EQ(interp.State().openStream, 0);
    EXPECT_EQ(Ok("STR:CONN:STAT?\n"), "OPEN\r\n");
    // A second OPEN while streaming changes nothing.
    r = interp.Execute("STReam:CONNection:OPEN\n");
    EXPECT_TRUE(r.accepted);
    EXPECT_EQ(r.effect, Effect::None);

    r = interp.Execute("STReam:CONNection:CLOSE\n");
    EXPECT_EQ(r.effect, Effect::CloseStream);
    EXPECT_EQ(interp.State().openStream, -1);
    r = interp.Execute("STReam:CONNection:CLOSE\n");
    EXPECT_TRUE(r.accepted);
    EXPECT_EQ(r.effect, Effect::None);
    EXPECT_EQ(Ok("STR:CONN:STAT?\n"), "CLOSED\r\n");

    r = interp.Execute("STReam:CONNection:OPEN\n");
    EXPECT_EQ(r.effect, Effect::OpenStream); // a new OPEN starts again
}

TEST_F(InterpreterTest, OpenNeedsACompleteDestination) {
    Refused("STReam:CONNection:OPEN\n"); // no stream at all
    Ok("STReam:ADD? \"VITA49_IQ\"\n");
    Refused("STReam:CONNection:OPEN\n"); // no type
    Ok("STReam:CONNection:TYPE UDP_SINGLECAST\n");
    Refused("STReam:CONNection:OPEN\n"); // no port
    Ok("STReam:CONNection:PORT 5001\n");
    Refused("STReam:CONNection:OPEN\n"); // no address
    Ok("STReam:CONNection:ADDRess '239.1.2.3'\n");
    Refused("STReam:CONNection:OPEN\n"); // a group for a single-cast stream
    Ok("STReam:CONNection:TYPE UDP_MULTICAST\n");
    EXPECT_EQ(interp.Execute("STReam:CONNection:OPEN\n").effect, Effect::OpenStream);
    Ok("STReam:CONNection:CLOSE\n");
    // The application connects to a TCP_CLIENT stream: no destination address needed.
    Ok("STReam:CONNection:ADDRess ''\n");
    Ok("STReam:CONNection:TYPE TCP_CLIENT\n");
    EXPECT_EQ(interp.Execute("STReam:CONNection:OPEN\n").effect, Effect::OpenStream);
}

TEST_F(InterpreterTest, StreamParametersChangeAndAreReadBack) {
    EXPECT_EQ(interp.Execute("IQSTream:FREQuency:TUNE 2400000000Hz\n").effect, Effect::ParametersChanged);
    EXPECT_EQ(interp.State().iq.tuneHz, 2400000000u);
    Ok("IQSTream:CBW 20000000Hz\n");
    EXPECT_EQ(interp.State().iq.cbwHz, 20000000u);
    Ok("IQSTream:OVERsampling OFF\n");
    EXPECT_FALSE(interp.State().iq.oversampling);
    EXPECT_EQ(Ok("IQST:SRAT?\n"), "20000000\r\n"); // without oversampling: rate = CBW
    Ok("IQSTream:OVERsampling ON\n");
    EXPECT_EQ(Ok("IQST:SRAT?\n"), "25000000\r\n"); // with it: CBW x 1.25
    Ok("IQSTream:PAYLoad:LIMit 1024\n");
    EXPECT_EQ(interp.State().iq.payloadLimit, 1024u);
    Ok("IQSTream:PAYLoad:FORMat I32Q32\n");
    EXPECT_EQ(interp.State().iq.itemBits, 32);
    EXPECT_EQ(Ok("IQST:PAYL:FORM?\n"), "I32Q32\r\n");
    Ok("IQSTream:PAYLoad:FORMat I16Q16\n");
    EXPECT_EQ(interp.State().iq.itemBits, 16);
    EXPECT_EQ(Ok("IQST:FREQ:TUNE?\n"), "2400000000\r\n");
    EXPECT_EQ(Ok("IQST:CBW?\n"), "20000000\r\n");
    EXPECT_EQ(Ok("IQST:OVER?\n"), "ON\r\n");
    EXPECT_EQ(Ok("IQST:PAYL:LIM?\n"), "1024\r\n");
}

TEST_F(InterpreterTest, ToleratesCarriageReturnLeadingColonAndBlanks) {
    Ok("IQSTream:CBW 30000Hz\r\n");
    EXPECT_EQ(interp.State().iq.cbwHz, 30000u);
    Ok(":IQSTream:CBW\t 40000Hz  \n");
    EXPECT_EQ(interp.State().iq.cbwHz, 40000u);
    Ok("iqstream:oversampling off");
    EXPECT_FALSE(interp.State().iq.oversampling);
    // A blank line is no command and no error.
    EXPECT_TRUE(interp.Execute("\r\n").accepted);
    EXPECT_EQ(interp.ErrorCount(), 0u);
}

TEST_F(InterpreterTest, ErrorQueueReportsRefusalsInOrder) {
    Refused("NOPE\n");
    Refused("IQSTream:CBW 0Hz\n");
    EXPECT_EQ(Ok("SYST:ERR?\n"), "-113,\"Undefined header;NOPE\"\r\n");
    EXPECT_EQ(Ok("SYST:ERR?\n"), "-222,\"Data out of range;CBW out of range\"\r\n");
    EXPECT_EQ(Ok("SYST:ERR?\n"), "0,\"No error\"\r\n");
    EXPECT_EQ(Ok("*IDN?\n"), "vita49,vita49-sim,0,1.0\r\n");
}

TEST_F(InterpreterTest, AFullErrorQueueEndsInOneOverflowEntry) {
    for (int i = 0; i < 40; ++i) Refused("NOPE" + std::to_string(i) + "\n");
    EXPECT_EQ(interp.ErrorCount(), 40u);
    std::vector<std::string> entries;
    for (std::string e = Ok("SYSTem:ERRor?\n"); e != "0,\"No error\"\r\n" && entries.size() < 100;
         e = Ok("SYSTem:ERRor?\n"))
        entries.push_back(e);
    // The oldest entries stay; the last place says that later ones were lost.
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries.back(), "-350,\"Queue overflow\"\r\n");
    EXPECT_LT(entries.size(), 40u);
    for (std::size_t i = 0; i + 1 < entries.size(); ++i)
        EXPECT_EQ(entries[i], "-113,\"Undefined header;NOPE" + std::to_string(i) + "\"\r\n");
}

// Which SCPI error a refused line leaves in the queue: the code ReadError's callers test.
struct ErrorCase {
    const char* line;
    int code;
};

class ErrorCodeTest : public InterpreterTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(ErrorCodeTest, RefusalQueuesItsStandardCode) {
    Refused(GetParam().line);
    const std::string entry = Ok("SYST:ERR?\n");
    EXPECT_EQ(entry.substr(0, entry.find(',')), std::to_string(GetParam().code)) << GetParam().line << entry;
    EXPECT_EQ(entry.substr(entry.size() - 3), "\"\r\n");
    EXPECT_EQ(Ok("SYST:ERR?\n"), "0,\"No error\"\r\n");
}

INSTANTIATE_TEST_SUITE_P(Codes, ErrorCodeTest,
                         ::testing::Values(ErrorCase{"NOPE?\n", -113}, ErrorCase{"TASK:LIST\n", -113},
                                           ErrorCase{"STR:CONN:OPEN?\n", -113}, ErrorCase{"TASK;LIST?\n", -101},
                                           ErrorCase{"TA?SK:LIST\n", -102}, ErrorCase{"TASK:LIST? now\n", -108},
                                           ErrorCase{"STR:CONN:PORT 5001\n", -221},
                                           ErrorCase{"IQST:FREQ:TUNE 200GHz\n", -222},
                                           ErrorCase{"IQST:PAYL:FORM I8Q8\n", -224}));

TEST_F(InterpreterTest, TuningTakesTheFullDecimalValue) {
    // Above 2^32 and up to the instrument's 100 GHz, exactly to the hertz.
    Ok("IQSTream:FREQuency:TUNE 26500000001Hz\n");
    EXPECT_EQ(Ok("IQST:FREQ:TUNE?\n"), "26500000001\r\n");
    Ok("IQSTream:FREQuency:TUNE 99999999999Hz\n");
    EXPECT_EQ(interp.State().iq.tuneHz, 99999999999ull);
    Refused("IQSTream:FREQuency:TUNE 100000000001Hz\n");
    Refused("IQSTream:FREQuency:TUNE 18446744073709551616Hz\n");
}

class MalformedLineTest : public InterpreterTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(MalformedLineTest, IsRefusedCountedAndChangesNothing) {
    SetUpStream();
    Refused(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Lines, MalformedLineTest,
    ::testing::Values(
        "TASK\n", "TASK:LIST\n", "TASK:LIST? now\n", "TASK:ADD?\n", "TASK:ADD? RT_STREAMING\n",
        "TASK:ADD? \"RT_STREAMING\n", "TASK:ADD? \"rt streaming\"\n", "TASK:SELect Stream A\n",
        "TASK:SELect \"Spectrum 1\" x\n", "STReam:ADD? \"SPECTRUM\"\n", "STReam:Select\n", "STReam:Select -1\n",
        "STReam:Select 1.0\n", "STReam:Connection:IDN\n", "STReam:Connection:IDN 4294967296\n",
        "STReam:Connection:IDN 0x10\n", "STReam:Connection:IDN -1\n", "STReam:CONNection:TYPE\n",
        "STReam:CONNection:TYPE TCP\n", "STReam:CONNection:TYPE UDP_SINGLECAST extra\n",
        "STReam:CONNection:TYPE udp\n", "STReam:CONNection:TYPE tcp-server\n", "STReam:CONNection:TYPE UDP-MULTICAST\n",
        "STReam:CONNection:ADDRess 127.0.5.1\n", "STReam:CONNection:ADDRess '127.0.5'\n",
        "STReam:CONNection:ADDRess '127.0.5.256'\n", "STReam:CONNection:ADDRess 'host.example'\n",
        "STReam:CONNection:ADDRess '127.0.5.1\n", std::string("STReam:CONNection:ADDRess '127.0.5.1\n'\n", 39),
        "STReam:CONNection:PORT 0\n", "STReam:CONNection:PORT 65536\n", "STReam:CONNection:PORT\n",
        "STReam:CONNection:OPEN now\n", "STReam:CONNection:CLOSE 1\n", "STReam:CONNection:STATe OPEN\n",
        "IQSTream:FREQuency:TUNE\n", "IQSTream:FREQuency:TUNE abcHz\n", "IQSTream:FREQuency:TUNE -1Hz\n",
        "IQSTream:FREQuency:TUNE 200GHz\n", "IQSTream:CBW 0Hz\n", "IQSTream:CBW 999Hz\n", "IQSTream:CBW 81MHz\n",
        "IQSTream:OVERsampling MAYBE\n", "IQSTream:OVERsampling\n", "IQSTream:PAYLoad:LIMit 15\n",
        "IQSTream:PAYLoad:LIMit 65001\n", "IQSTream:PAYLoad:LIMit 1kB\n", "IQSTream:PAYLoad:FORMat I8Q8\n",
        "IQSTream:SRATe 5\n", "*IDN\n", "STReam:CONNection:TYPE? x\n", "STReam?\n", "?\n", ":\n", "::TASK:LIST?\n",
        "TASK:LIST??\n", "TA?SK:LIST\n", "TASK;LIST?\n", std::string("TASK:LIST?\0\n", 12), "\x01\x02\x03\n",
        "\xff\xfe TASK:LIST?\n", std::string(5000, 'A') + "\n"));

TEST_F(InterpreterTest, ConnectionCommandsNeedASelectedStream) {
    Refused("STReam:Connection:IDN 1\n");
    Refused("STReam:CONNection:TYPE UDP_SINGLECAST\n");
    Refused("STReam:CONNection:ADDRess '127.0.0.1'\n");
    Refused("STReam:CONNection:PORT 5001\n");
    Refused("STReam:CONNection:TYPE?\n");
}

TEST_F(InterpreterTest, SurvivesArbitraryBytesWithoutChangingWhatItRefuses) {
    // A deterministic spray of short lines built from the command alphabet and random bytes.
    std::uint32_t seed = 12345;
    auto next = [&seed]() {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    const std::string pieces[] = {"STR", "STReam", ":", "CONN", "TYPE", "IQST", "CBW", "?", " ", "'", "\"", "1",
                                  "Hz", "OPEN", "CLOSE", "TASK", "ADD", "LIST", "VITA49_IQ", "\r", "\t", "9999999999"};
    for (int i = 0; i < 3000; ++i) {
        std::string line;
        const int parts = static_cast<int>(next() % 8);
        for (int k = 0; k < parts; ++k) {
            if (next() % 4 == 0)
                line.push_back(static_cast<char>(next() & 0xFF));
            else
                line += pieces[next() % (sizeof pieces / sizeof pieces[0])];
        }
        const InstrumentState before = interp.State();
        const CommandResult r = interp.Execute(line);
        if (!r.accepted) {
            ASSERT_TRUE(interp.State() == before) << "refused line changed the state: " << line;
            ASSERT_TRUE(r.answer.empty());
        } else if (!r.answer.empty()) {
            ASSERT_GE(r.answer.size(), 2u);
            ASSERT_EQ(r.answer.substr(r.answer.size() - 2), "\r\n");
        }
    }
}

} // namespace
