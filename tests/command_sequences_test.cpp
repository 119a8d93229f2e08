// The rules that take a task name and a view identifier out of the instrument's list answers,
// and the small checks on the texts and values that go into command lines.

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <utility>

#include "remote/CommandSequences.h"

namespace {

using vita49::remote::ConnectionTypeName;
using vita49::remote::FindTaskName;
using vita49::remote::FindViewId;
using vita49::remote::FitsIn32;
using vita49::remote::SafeQuotedText;

using namespace std::string_literals;

// ---------------------------------------------------------------------------------------------
// Task list

struct TaskCase {
    const char* name;
    std::string list;
    bool found;
    std::string taskName;
};

void PrintTo(const TaskCase& c, std::ostream* os) { *os << c.name; }

class TaskListRule : public ::testing::TestWithParam<TaskCase> {};

TEST_P(TaskListRule, FindsTheNameAfterTheKey) {
    const TaskCase& c = GetParam();
    std::string name = "untouched";
    ASSERT_EQ(FindTaskName(c.list, name), c.found);
    EXPECT_EQ(name, c.found ? c.taskName : "untouched");
}

const TaskCase kTaskCases[] = {
    {"WorkedExample", R"("RT_STREAMING","Stream A","IQ Analyzer","Spectrum")", true, "Stream A"},
    {"KeyNotFirst", R"("Spectrum","RT_STREAMING","Live")" "\r\n", true, "Live"},
    {"NameRunsToTheEnd", R"("RT_STREAMING","Stream A)", true, "Stream A"},
    {"ExactlyTwoBytesAfterKey", R"("RT_STREAMING",")", true, ""},
    {"OneByteAfterKey", R"("RT_STREAMING",)", false, ""},
    {"KeyAtTheVeryEnd", R"("Spectrum","RT_STREAMING")", false, ""},
    {"NoKey", R"("Spectrum","IQ Analyzer")" "\r\n", false, ""},
    {"EmptyAnswer", "", false, ""},
    {"KeyIsCaseSensitive", R"("rt_streaming","Stream A")", false, ""},
    {"KeyWithoutQuotes", R"(RT_STREAMING,"Stream A")", false, ""},
    // The two bytes after the key are skipped whatever they are.
    {"SkippedBytesNotChecked", R"("RT_STREAMING"XYName"rest)", true, "Name"},
    {"FirstOccurrenceWins", R"("RT_STREAMING","One","RT_STREAMING","Two")", true, "One"},
    // A line end inside the name ends it: the rest must never reach the instrument.
    {"LineFeedEndsName", "\"RT_STREAMING\",\"Stream A\nSTReam:CONNection:OPEN\n\"", true, "Stream A"},
    {"CarriageReturnEndsName", "\"RT_STREAMING\",\"Stream A\r\nmore", true, "Stream A"},
    {"LineEndRightAtStart", "\"RT_STREAMING\",\"\r\n", true, ""},
    {"OneEntryPerLine", "\"RT_STREAMING\",\"Stream A\nOther", true, "Stream A"},
};

INSTANTIATE_TEST_SUITE_P(Answers, TaskListRule, ::testing::ValuesIn(kTaskCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// View list

struct ViewCase {
    const char* name;
    std::string list;
    std::size_t received; // bytes received; the list text may stop earlier, at a NUL byte
    bool found;
    std::string id;
};

void PrintTo(const ViewCase& c, std::ostream* os) { *os << c.name; }

ViewCase View(const char* name, std::string list, bool found, std::string id) {
    const std::size_t received = list.size();
    return ViewCase{name, std::move(list), received, found, std::move(id)};
}

class ViewListRule : public ::testing::TestWithParam<ViewCase> {};

TEST_P(ViewListRule, FindsTheIdentifierAfterTheKey) {
    const ViewCase& c = GetParam();
    std::string id = "untouched";
    ASSERT_EQ(FindViewId(c.list, c.received, id), c.found);
    EXPECT_EQ(id, c.found ? c.id : "untouched");
}

const ViewCase kViewCases[] = {
    View("WorkedExampleEndedByComma", "\"VITA49_IQ\",3,\"OTHER\",4\r\n", true, "3"),
    View("WorkedExampleLastEntry", "\"SPECTRUM\",1,\"VITA49_IQ\",12\r\n", true, "12"),
    // The last two received bytes never belong to the identifier, line end or not.
    View("LastTwoBytesNeverTaken", "\"VITA49_IQ\",1234", true, "12"),
    View("LongIdentifier", "\"VITA49_IQ\",view-17,\"X\",2", true, "view-17"),
    // Its end before its start: it runs to the end of the text.
    View("EndBeforeStartRunsToEnd", "\"VITA49_IQ\",7", true, "7"),
    View("ExactlyOneByteAfterKey", "\"VITA49_IQ\",", true, ""),
    View("KeyAtTheVeryEnd", "\"SPECTRUM\",1,\"VITA49_IQ\"", false, ""),
    View("NoKey", "\"SPECTRUM\",1,\"IQ\",2\r\n", false, ""),
    View("EmptyAnswer", "", false, ""),
    View("KeyIsCaseSensitive", "\"vita49_iq\",3,\r\n", false, ""),
    View("FirstOccurrenceWins", "\"VITA49_IQ\",3,\"VITA49_IQ\",4,\r\n", true, "3"),
    View("SkippedByteNotChecked", "\"VITA49_IQ\"#5,\r\n", true, "5"),
    // One entry per line: the comma of the next entry lies beyond the line end.
    View("OneEntryPerLine", "\"VITA49_IQ\",3\r\n\"OTHER\",4\r\n", true, "3"),
    View("LineFeedOnly", "\"VITA49_IQ\",3\n\"OTHER\",4\n", true, "3"),
    View("InjectedCommandCutOff", "\"VITA49_IQ\",3\nSTReam:CONNection:OPEN,x\r\n", true, "3"),
    View("CarriageReturnAlone", "\"VITA49_IQ\",3\r\"OTHER\",4\r\n", true, "3"),
    // Bytes received after a NUL are not part of the text: the identifier stops at its end.
    ViewCase{"ReceivedBeyondTheText", "\"VITA49_IQ\",5", 20, true, "5"},
    ViewCase{"ReceivedCountBelowTwo", "\"VITA49_IQ\",5", 1, true, "5"},
    ViewCase{"NothingReceived", "\"VITA49_IQ\",5", 0, true, "5"},
};

INSTANTIATE_TEST_SUITE_P(Answers, ViewListRule, ::testing::ValuesIn(kViewCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Whatever the instrument answers, what comes out is a piece of the answer on one line.

TEST(ListRulesOnArbitraryAnswers, TakeOnlyOneLineFromWithinTheAnswer) {
    std::mt19937 random(4902);
    const std::string alphabet = "\"\r\n,'A1 ";
    const std::string keys[] = {"\"RT_STREAMING\"", "\"VITA49_IQ\""};
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const int parts = static_cast<int>(random() % 6);
        for (int i = 0; i < parts; ++i) {
            if (random() % 3 == 0) {
                text += keys[random() % 2];
            } else {
                const int length = static_cast<int>(random() % 5);
                for (int j = 0; j < length; ++j) text += alphabet[random() % alphabet.size()];
            }
        }
        const std::size_t received = text.size() + random() % 3;
        std::string name;
        if (FindTaskName(text, name)) {
            EXPECT_EQ(name.find_first_of("\r\n\""), std::string::npos) << text;
            EXPECT_NE(text.find(name), std::string::npos) << text;
        } else {
            EXPECT_TRUE(text.find(keys[0]) == std::string::npos || text.find(keys[0]) + 16 > text.size()) << text;
        }
        std::string id;
        if (FindViewId(text, received, id)) {
            EXPECT_EQ(id.find_first_of("\r\n"), std::string::npos) << text;
            EXPECT_NE(text.find(id), std::string::npos) << text;
        } else {
            EXPECT_TRUE(text.find(keys[1]) == std::string::npos || text.find(keys[1]) + 12 > text.size()) << text;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Connection type names, quoted texts, 32-bit values

// The name the library sends must be one the parser takes back, for every type and in every
// spelling a command line may use; what is no type must not be taken for one.
TEST(ConnectionTypeNames, LeadBackToTheirTypeInEverySpelling) {
    using vita49::net::ConnectionTypeSpelling;
    using vita49::net::ParseConnectionType;
    for (CONNECTION_TYPE type : {TCP_SERVER, TCP_CLIENT, UDP_SINGLECAST, UDP_MULTICAST}) {
        const std::string name = ConnectionTypeName(type);
        std::string dashed = name;
        for (char& c : dashed) c = c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (const std::string& text : {name, dashed}) {
            std::int32_t parsed = -1;
            EXPECT_TRUE(ParseConnectionType(text, parsed)) << text;
            EXPECT_EQ(parsed, type) << text;
        }
        std::int32_t parsed = -1;
        EXPECT_TRUE(ParseConnectionType(name, parsed, ConnectionTypeSpelling::Instrument));
        EXPECT_EQ(parsed, type) << name;
        EXPECT_FALSE(ParseConnectionType(dashed, parsed, ConnectionTypeSpelling::Instrument)) << dashed;
    }
    // The short spellings of the tools (and of bindings), which the instrument never takes.
    const std::pair<const char*, std::int32_t> spellings[] = {
        {"tcp-server", TCP_SERVER}, {"tcp-client", TCP_CLIENT}, {"udp", UDP_SINGLECAST}, {"multicast", UDP_MULTICAST}};
    for (const auto& [text, type] : spellings) {
        std::int32_t parsed = -1;
        EXPECT_TRUE(ParseConnectionType(text, parsed)) << text;
        EXPECT_EQ(parsed, type) << text;
        EXPECT_FALSE(ParseConnectionType(text, parsed, ConnectionTypeSpelling::Instrument)) << text;
    }
    for (const char* text : {"", "tcp", "udp_", "UDP_SINGLECAST ", "udp-singlecast\n", "NONE", "serial", "tcp--server"}) {
        std::int32_t parsed = 77;
        EXPECT_FALSE(ParseConnectionType(text, parsed)) << text;
        EXPECT_EQ(parsed, 77) << text;
    }
    for (std::int32_t type : {std::int32_t{CONNECTION_NONE}, 7, -1, std::numeric_limits<std::int32_t>::min(), 256})
        EXPECT_EQ(ConnectionTypeName(type), "") << type;
}

TEST(QuotedTexts, RefuseWhatWouldEndTheQuoteOrTheLine) {
    EXPECT_TRUE(SafeQuotedText(""));
    EXPECT_TRUE(SafeQuotedText("192.168.1.20"));
    EXPECT_TRUE(SafeQuotedText("host.example \"x\" ,;:"));
    EXPECT_FALSE(SafeQuotedText("192.168.1.20'\nSTReam:CONNection:OPEN"));
    EXPECT_FALSE(SafeQuotedText("a'b"));
    EXPECT_FALSE(SafeQuotedText("'"));
    EXPECT_FALSE(SafeQuotedText("a\nb"));
    EXPECT_FALSE(SafeQuotedText("a\rb"));
    EXPECT_FALSE(SafeQuotedText("trailing\n"));
}

TEST(ThirtyTwoBitValues, FitUpToTheLargest) {
    EXPECT_TRUE(FitsIn32(0UL));
    EXPECT_TRUE(FitsIn32(4294967295UL));
    EXPECT_TRUE(FitsIn32(std::numeric_limits<std::uint32_t>::max()));
    EXPECT_FALSE(FitsIn32(std::uint64_t{4294967296}));
    EXPECT_FALSE(FitsIn32(std::uint64_t{1} << 63));
    EXPECT_FALSE(FitsIn32(std::numeric_limits<std::uint64_t>::max()));
    if (sizeof(unsigned long) > 4) {
        EXPECT_FALSE(FitsIn32(std::numeric_limits<unsigned long>::max()));
    }
}

} // namespace
