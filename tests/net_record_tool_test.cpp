// vita49-record as a user runs it: the built program, its exit status, its report and the
// files it leaves. It lives in the build tree next to the tests (tools/record/).

#ifndef _WIN32

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
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

// The built simulator as a process of its own, as an instrument on the network is: what it
// was told is its log (one line per command), and it can be frozen to stall its stream.
class SimProcess {
public:
    SimProcess(const ScratchDir& dir, const std::string& address, const std::string& options)
        : log_(dir.Path("sim-" + address + ".log")) {
        const std::string out = dir.Path("sim-" + address + ".out");
        const ToolRun r = RunShell("'" + BuiltProgram("tools/sim/vita49-sim") + "' --address " + address + " " +
                                   options + " >'" + out + "' 2>'" + log_ + "' & echo $!");
        pid_ = std::atoi(r.out.c_str());
        for (int i = 0; i < 200 && pid_ > 0 && !Contains(out, "commands on"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        started_ = pid_ > 0 && Contains(out, "commands on");
    }
    ~SimProcess() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGCONT);
        ::kill(pid_, SIGINT);
        for (int i = 0; i < 100 && ::kill(pid_, 0) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        if (::kill(pid_, 0) == 0) ::kill(pid_, SIGKILL);
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool Started() const { return started_; }
    int Pid() const { return pid_; }
    // The command lines it was sent, taken ("> ...") or refused ("! ..."), from the `from`th on.
    std::vector<std::string> Commands(std::size_t from = 0) const {
        std::ifstream in(log_);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("> ", 0) != 0 && line.rfind("! ", 0) != 0) continue;
            lines.push_back(line.substr(2, line.find("   (refused") - 2));
        }
        lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(std::min(from, lines.size())));
        return lines;
    }

private:
    static bool Contains(const std::string& path, const std::string& text) {
        std::ifstream in(path);
        const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return all.find(text) != std::string::npos;
    }

    std::string log_;
    int pid_ = -1;
    bool started_ = false;
};

std::vector<std::string> StreamParameterCommands(const std::vector<std::string>& commands) {
    std::vector<std::string> sent;
    for (const std::string& c : commands)
        if (c.rfind("IQSTream:", 0) == 0) sent.push_back(c);
    return sent;
}

// Every text of the picture lies inside it, at a generous 0.6 em per character.
void ExpectTextsInside(const std::string& svg, double width) {
    const std::regex text("<text ([^>]*)>([^<]*)</text>");
    auto attribute = [](const std::string& attributes, const std::string& name, const std::string& otherwise) {
        std::smatch m;
        return std::regex_search(attributes, m, std::regex(" ?" + name + "=\"([^\"]*)\"")) ? m[1].str() : otherwise;
    };
    int seen = 0;
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), text); it != std::sregex_iterator(); ++it, ++seen) {
        const std::string attributes = (*it)[1];
        if (!attribute(attributes, "transform", "").empty()) continue; // the rotated axis title
        const double x = std::stod(attribute(attributes, "x", "0"));
        const double em = std::stod(attribute(attributes, "font-size", "12"));
        const double w = 0.6 * em * static_cast<double>((*it)[2].length());
        const std::string anchor = attribute(attributes, "text-anchor", "start");
        const double left = anchor == "middle" ? x - w / 2 : anchor == "end" ? x - w : x;
        EXPECT_GE(left, 0.0) << (*it)[0];
        EXPECT_LE(left + w, width) << (*it)[0];
    }
    EXPECT_GT(seen, 10);
}

TEST_F(RecordToolTest, MainJobRecordsAndPassesItsEndToEndCheck) {
    const ToolRun r = Record("--sim-address 127.0.5.200 --duration 1 --plot capture.svg");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("lost packets: 0\n"), std::string::npos) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("ok +tone at 125000\\.[0-9] Hz from the centre, generated at "
                                                       "125000\\.0 Hz")))
        << r.out;
    EXPECT_NE(r.out.find("all checks passed"), std::string::npos);
    EXPECT_EQ(r.out.find("FAILED"), std::string::npos);
    EXPECT_NE(r.out.find("vita49-record: instrument: vita49,vita49-sim,"), std::string::npos);
    EXPECT_NE(r.out.find("ok     the instrument reported no error after the set-up"), std::string::npos);
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
    ExpectTextsInside(text, 900);

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
                           Bad{"--freq 101GHz", "--freq: not a frequency from 0 to 100 GHz"},
                           Bad{"--type serial", "--type"},
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
    // What to check, and after what was already printed: standard output, a pipe here, is
    // written out before the error.
    const std::size_t error = r.out.find(": connection to 127.0.5.203:5300 refused or not answered within 100 ms "
                                         "(address, power, firewall?)");
    EXPECT_NE(error, std::string::npos) << r.out;
    EXPECT_LT(r.out.find("UDP_SINGLECAST stream 1 from 127.0.5.203"), error) << r.out;
}

TEST_F(RecordToolTest, ARecordingThatCannotBeWrittenFailsTheRun) {
    ASSERT_TRUE(fs::create_directory(dir + "/folder"));
    struct Case {
        const char* address;
        const char* wav;
        const char* message;
    };
    for (const Case& c :
         {Case{"127.0.5.205", "missing/x.wav", "recording failed: WAV file missing/x.wav: cannot open"},
          Case{"127.0.43.203", "folder", "recording failed: WAV file folder: cannot open"},
          Case{"127.0.43.204", "/dev/full", "recording failed: WAV file /dev/full: "}}) {
        const ToolRun r = Record("--sim-address " + std::string(c.address) +
                                 " --duration 0.5 --iq '' --sigmf '' --wav '" + c.wav + "'");
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("FAILED recording: WAV file " + std::string(c.wav)), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("all checks passed"), std::string::npos) << r.out;
    }
}

// Against an instrument of its own, with every tenth IF data packet left out: the losses fail
// the run until --max-loss allows them, only the stream parameters given are sent, and an
// error the instrument reports after the set-up fails the run too.
TEST_F(RecordToolTest, LossesFailUnlessAllowedAndOnlyGivenSettingsAreSent) {
    SimProcess sim(scratch, "127.0.43.201", "--skip-every 10");
    ASSERT_TRUE(sim.Started());
    const std::string host = "--host 127.0.43.201 --local 127.0.43.201 --duration 1 --iq '' --sigmf '' ";

    // A bandwidth beyond the simulator's 80 MHz: refused, and so reported by SYSTem:ERRor?.
    ToolRun r = Record(host + "--wav '' --plot never.svg --trace 9 --cbw 100M");
    EXPECT_EQ(r.status, 3) << r.out;
    EXPECT_NE(r.out.find("vita49-record: instrument: vita49,vita49-sim,"), std::string::npos) << r.out;
    std::smatch data;
    ASSERT_TRUE(std::regex_search(r.out, data, std::regex("IF data +([0-9]+) packets, ([0-9]+) lost in ([0-9]+) "
                                                          "discontinuities")))
        << r.out;
    const long received = std::stol(data[1]), lost = std::stol(data[2]);
    EXPECT_EQ(lost, std::stol(data[3]));                   // one packet per gap
    EXPECT_LE(std::labs(9 * lost - received), 9) << r.out; // one in ten missing
    EXPECT_NE(r.out.find("FAILED no packet lost (" + std::to_string(lost) + " or more lost; --max-loss"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("FAILED spectrum plot: trace 9 never arrived (traces seen: 1 2); no picture"),
              std::string::npos)
        << r.out;
    EXPECT_FALSE(fs::exists(dir + "/never.svg"));
    EXPECT_TRUE(std::regex_search(r.out, std::regex("FAILED the instrument reported: -222,\"[^\"]*CBW out of range\"")))
        << r.out;
    // The instrument keeps its tuning: the one parameter given is the only one sent.
    EXPECT_EQ(StreamParameterCommands(sim.Commands()), std::vector<std::string>{"IQSTream:CBW 100000000Hz"});
    const std::size_t firstRun = sim.Commands().size();

    // Tuning above 2^32-1 Hz.
    r = Record(host + "--wav given.wav --max-loss 1000 --freq 26.5G --bits 32");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("ok +[1-9][0-9]* packets lost, at most 1000 allowed")));
    EXPECT_NE(r.out.find("ok     tuning frequency 26500000000 Hz in the context"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ok     the instrument reported no error after the set-up"), std::string::npos) << r.out;
    EXPECT_EQ(StreamParameterCommands(sim.Commands(firstRun)),
              (std::vector<std::string>{"IQSTream:FREQuency:TUNE 26500000000Hz", "IQSTream:PAYLoad:FORMat I32Q32"}));
    if (!HaveSoxi()) GTEST_SKIP() << "soxi is not installed: the WAV header was not checked with sox";
    EXPECT_EQ(RunShell("soxi -b '" + dir + "/given.wav'").out, "32\n");
}

// A stream that stops for longer than 2 s raises no connection error on UDP: the live status
// says so as it happens, and the run fails.
TEST_F(RecordToolTest, AStalledStreamIsAWarningAndAFailedCheck) {
    SimProcess sim(scratch, "127.0.43.202", "--quiet");
    ASSERT_TRUE(sim.Started());
    const std::string pid = std::to_string(sim.Pid());
    // Frozen once a second of stream has arrived, for 2.8 s.
    const ToolRun r = RunShell("cd '" + dir + "' && ('" + binary +
                               "' --host 127.0.43.202 --local 127.0.43.202 --duration 5 --iq '' --sigmf '' --wav '' "
                               ">out.txt 2>&1 & rec=$!; for i in $(seq 200); do grep -q '^\\[ *1\\.' out.txt && break; "
                               "sleep 0.05; done; kill -STOP " + pid + "; sleep 2.8; kill -CONT " + pid +
                               "; wait $rec; status=$?; cat out.txt; exit $status)");
    EXPECT_EQ(r.status, 3) << r.out;
    const std::size_t warning = r.out.find("vita49-record: warning: no IF data for 2 s (since ");
    EXPECT_NE(warning, std::string::npos) << r.out;
    EXPECT_LT(warning, r.out.find("summary after")) << r.out;
    EXPECT_TRUE(
        std::regex_search(r.out, std::regex("FAILED IF data stopped 1 time\\(s\\), the longest for [2-9]\\.[0-9] s")))
        << r.out;
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
