// vita49-record as a user runs it: the built program, its exit status, its report and the
// files it leaves. It lives in the build tree next to the tests (tools/record/).

#ifndef _WIN32

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "support/ToolRun.h"

namespace {

namespace fs = std::filesystem;
using namespace vita49::test;

class RecordToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(binary)) GTEST_SKIP() << "vita49-record is not built (" << binary << ")";
        ASSERT_TRUE(scratch.Made());
    }

    // Runs the program in the test's directory with `args`; stdout and stderr together.
    ToolRun Record(const std::string& args) const {
        return RunShell("cd '" + dir + "' && '" + binary + "' " + args + " 2>&1");
    }

    static bool HaveSoxi() { return RunShell("command -v soxi >/dev/null 2>&1 && echo yes").out == "yes\n"; }

    std::vector<char> ReadFile(const std::string& name) const {
        std::ifstream in(dir + "/" + name, std::ios::binary);
        return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    const std::string binary = BuiltProgram("tools/record/vita49-record");
    const ScratchDir scratch{"vita49-record-test"};
    const std::string dir = scratch.Dir();
};

TEST_F(RecordToolTest, MainJobRecordsAndPassesItsEndToEndCheck) {
    const ToolRun r = Record("--sim-address 127.0.5.200 --duration 1 --plot capture.svg");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("lost packets: 0\n"), std::string::npos) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("ok +tone at 125000\\.[0-9] Hz from the centre, generated at "
                                                       "125000\\.0 Hz")))
        << r.out;
    EXPECT_NE(r.out.find("all checks passed"), std::string::npos);
    EXPECT_EQ(r.out.find("FAILED"), std::string::npos);
    // A status line a second, one per line when the output is not a terminal.
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\\n\\[ +1\\.[0-9] s\\] data [1-9][0-9]* ")));

    // The WAV file holds the raw file's samples behind its 44-byte header: both are the
    // stream's 16-bit items in little-endian order.
    const std::vector<char> wav = ReadFile("capture.wav");
    const std::vector<char> iq = ReadFile("capture.iq");
    // A second of stream; far less than its 5 MB where the programs run under a sanitizer.
    ASSERT_GT(iq.size(), 100000u);
    ASSERT_EQ(wav.size(), iq.size() + 44);
    EXPECT_TRUE(std::equal(iq.begin(), iq.end(), wav.begin() + 44));
    // The SigMF recording holds the same samples, and says what they are.
    const std::string python = fs::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
    const ToolRun sigmf = RunShell(python + " " + VITA49_SOURCE_DIR + "/tests/sigmf_check.py '" + dir +
                                "/capture' --datatype ci16_le --sample-rate 1250000 --datetime --tone-offset 125000 " +
                                "--losses 0 --same-as '" + dir + "/capture.iq' 2>&1");
    EXPECT_TRUE(sigmf.status == 0 || sigmf.status == 77) << sigmf.out;

    const std::vector<char> svg = ReadFile("capture.svg");
    const std::string text(svg.begin(), svg.end());
    EXPECT_EQ(text.rfind("<?xml", 0), 0u);
    EXPECT_NE(text.find("</svg>"), std::string::npos);
    std::smatch points;
    ASSERT_TRUE(std::regex_search(text, points, std::regex("points=\"([^\"]*)\"")));
    const std::string list = points[1];
    EXPECT_EQ(std::count(list.begin(), list.end(), ' ') + 1, 256); // one point per trace value

    if (!HaveSoxi()) GTEST_SKIP() << "soxi is not installed: the WAV header was not checked with sox";
    EXPECT_EQ(RunShell("soxi -c '" + dir + "/capture.wav'").out, "2\n");
    EXPECT_DOUBLE_EQ(std::stod(RunShell("soxi -r '" + dir + "/capture.wav'").out), 1250000.0); // "1.25e+06"
    EXPECT_EQ(RunShell("soxi -b '" + dir + "/capture.wav'").out, "16\n");
}

TEST_F(RecordToolTest, TcpStreamWithWideFloatSamples) {
    const ToolRun r = Record("--sim-address 127.0.5.201 --duration 1 --type tcp-server --tcp-port 31560 --bits 32 "
                         "--wav-float --cbw 200k --oversampling off --iq ''");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("lost packets: 0\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("tone at 25000.0 Hz"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(dir + "/capture.iq"));
    if (!HaveSoxi()) GTEST_SKIP() << "soxi is not installed: the WAV header was not checked with sox";
    EXPECT_DOUBLE_EQ(std::stod(RunShell("soxi -r '" + dir + "/capture.wav'").out), 200000.0);
    EXPECT_NE(RunShell("soxi -e '" + dir + "/capture.wav'").out.find("Floating Point"), std::string::npos);
}

TEST_F(RecordToolTest, HelpAndBadOptions) {
    ToolRun r = Record("--help");
    EXPECT_EQ(r.status, 0);
    for (const char* option : {"--host", "--type", "--tcp-port", "--udp-port", "--local", "--stream-id", "--freq",
                               "--cbw", "--oversampling", "--payload-limit", "--bits", "--duration", "--wav", "--iq",
                               "--sigmf", "--trace", "--plot"})
        EXPECT_NE(r.out.find(option), std::string::npos) << option;

    struct Bad {
        const char* args;
        const char* message;
    };
    for (const Bad& bad : {Bad{"--bogus", "unknown option '--bogus'"}, Bad{"--bits 24", "--bits: not 16 or 32: '24'"},
                           Bad{"--duration", "--duration needs a value"}, Bad{"--udp-port 70000", "--udp-port"},
                           Bad{"--freq 5GHz", "--freq"}, Bad{"--type serial", "--type"},
                           Bad{"--host 127.0.5.202", "--host needs --local"}}) {
        r = Record(bad.args);
        EXPECT_EQ(r.status, 2) << bad.args << ": " << r.out;
        EXPECT_NE(r.out.find(bad.message), std::string::npos) << bad.args << ": " << r.out;
        EXPECT_FALSE(fs::exists(dir + "/capture.wav")) << bad.args;
    }
}

TEST_F(RecordToolTest, AFailingOperationIsNamedWithItsCode) {
    // Nothing listens on this address's command port.
    const ToolRun r = Record("--host 127.0.5.203 --local 127.0.5.203 --duration 1");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("Vita49RemoteControl::Open failed: RC_[A-Z_]+ \\(18[0-3]\\)")))
        << r.out;
}

TEST_F(RecordToolTest, ARecordingThatCannotBeWrittenFailsTheRun) {
    const ToolRun r = Record("--sim-address 127.0.5.205 --duration 0.5 --iq '' --sigmf '' --wav missing/x.wav");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("recording failed: WAV file missing/x.wav: cannot open"), std::string::npos) << r.out;
}

TEST_F(RecordToolTest, AKilledRunLeavesAReadableSigMFRecording) {
    // Killed without a chance to finish anything: what the meta file said last still
    // describes whole samples of the data file.
    const ToolRun r = RunShell("cd '" + dir + "' && timeout -s KILL 2.5 '" + binary +
                            "' --sim-address 127.0.5.206 --duration 10 --iq '' --wav '' >/dev/null 2>&1");
    EXPECT_EQ(r.status, 137) << "the run was not killed";
    const std::string python = fs::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
    const ToolRun sigmf = RunShell(python + " " + VITA49_SOURCE_DIR + "/tests/sigmf_check.py '" + dir +
                                "/capture' --datatype ci16_le --sample-rate 1250000 --datetime --min-samples 100000 2>&1");
    EXPECT_TRUE(sigmf.status == 0 || sigmf.status == 77) << sigmf.out;
}

TEST_F(RecordToolTest, TheSimulatorsAddressMustBeFree) {
    // A second instrument on the same address cannot have its command port.
    const std::string run = "'" + binary + "' --sim-address 127.0.5.204 --wav '' --iq '' ";
    const ToolRun r = RunShell("cd '" + dir + "' && (" + run + "--duration 1.5 >/dev/null 2>&1 & sleep 0.4; " + run +
                        "--duration 1 2>&1; status=$?; wait; exit $status)");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("cannot start the simulated instrument"), std::string::npos) << r.out;
}

} // namespace

#endif
