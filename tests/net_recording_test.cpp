// A real receiver records a UDP stream sent over loopback; the files it writes are then read
// by tools that share no code with it: sox/soxi for every WAV file and Python's wave module
// for integer ones. Also: the displayed trace changed while the stream runs, and a receiver
// destroyed while open.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/Recorder.h"
#include "support/SpectrumHelpers.h"
#include "vita49/Vita49Receiver.h"

namespace vita49 {
namespace {

using spectest::ReadFile;
using spectest::SwapItems;

constexpr std::uint16_t kUdpPort = 47349;
constexpr std::uint32_t kStream = 0x000004E7;

// The instrument's side: datagrams to one loopback address.
class UdpSender {
public:
    explicit UdpSender(const std::string& address) : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
        to_.sin_family = AF_INET;
        to_.sin_port = htons(kUdpPort);
        ::inet_pton(AF_INET, address.c_str(), &to_.sin_addr);
    }
    ~UdpSender() {
        if (fd_ >= 0) ::close(fd_);
    }
    UdpSender(const UdpSender&) = delete;
    UdpSender& operator=(const UdpSender&) = delete;

    bool Send(const std::vector<std::uint8_t>& datagram) const {
        return ::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to_),
                        sizeof to_) == static_cast<ssize_t>(datagram.size());
    }

private:
    int fd_;
    sockaddr_in to_{};
};

template <class Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Runs a shell command; its standard output, and whether it exited with 0.
struct CommandResult {
    bool ok = false;
    std::string out;
};

CommandResult RunCommand(const std::string& command) {
    CommandResult r;
    FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) return r;
    char chunk[256];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) r.out.append(chunk, n);
    const int status = ::pclose(pipe);
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    while (!r.out.empty() && (r.out.back() == '\n' || r.out.back() == '\r')) r.out.pop_back();
    return r;
}

bool HaveTool(const std::string& name) { return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0; }

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

std::string Soxi(const std::string& option, const std::string& wav) {
    const auto r = RunCommand("soxi " + option + " " + Quoted(wav));
    return r.ok ? r.out : "(soxi failed)";
}

std::vector<std::int16_t> Items16(std::size_t n, int seed, bool full) {
    // `full`: the whole 16-bit range; otherwise without -32768, which a float file cannot
    // hold within [-1, 1] and readers clip.
    std::vector<std::int16_t> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        int x = (seed * 31 + 7919 * static_cast<int>(i)) % 65536 - 32768;
        if (!full && x == -32768) x = -32767;
        v[i] = static_cast<std::int16_t>(x);
    }
    return v;
}

std::vector<std::int32_t> Items32(std::size_t n, int seed) {
    std::vector<std::int32_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(seed) * 97u + 2654435761u * static_cast<std::uint32_t>(i));
    return v;
}

// One receiver on UDP at `address`, recording into a temporary directory.
class NetRecording : public ::testing::Test {
protected:
    using Kind = test::CallbackRecorder::Kind;

    void SetUp() override { ASSERT_TRUE(dir.Valid()); }
    void TearDown() override {
        if (receiver) receiver->Close();
    }

    void OpenReceiver(const std::string& address, const Vita49_Receiver_Settings& settings) {
        address_ = address;
        Vita49_Base_Settings base{};
        base.connectionType = UDP_SINGLECAST;
        base.udpPort = kUdpPort;
        std::strncpy(base.localAddress, address.c_str(), sizeof base.localAddress - 1);
        base.streamId = kStream;
        receiver = std::make_unique<Vita49Receiver>();
        receiver->Init(base, settings);
        recorder.Attach(*receiver);
        ASSERT_EQ(receiver->Open(), RC_OK);
        sender = std::make_unique<UdpSender>(address);
    }

    // Sends one packet and waits until its callback ran, so that no datagram is lost.
    void SendAndWait(const std::vector<std::uint8_t>& packet, test::CallbackRecorder::Kind kind) {
        const std::size_t before = recorder.Count(kind);
        ASSERT_TRUE(sender->Send(packet));
        ASSERT_TRUE(recorder.WaitForCount(kind, before + 1)) << "packet not received on " << address_;
    }

    // Sends a context of `rateHz` and `itemBits`, then the payloads; returns the wire bytes
    // of all payloads back to back.
    std::vector<std::uint8_t> Stream(double rateHz, std::uint8_t itemBits,
                                     const std::vector<std::vector<std::uint8_t>>& payloads) {
        SendAndWait(spectest::IfContextPacket(kStream, 0, true, rateHz, true, itemBits), Kind::Context);
        std::vector<std::uint8_t> wire;
        std::uint8_t count = 0;
        for (const auto& p : payloads) {
            // Every other packet with a trailer, which is no sample.
            const bool trailer = count % 2 == 1;
            SendAndWait(spectest::IfDataPacket(kStream, count++, p, trailer), Kind::Data);
            wire.insert(wire.end(), p.begin(), p.end());
        }
        return wire;
    }

    spectest::TempDir dir;
    const std::string rawPath = dir.File("stream.raw");
    const std::string wavPath = dir.File("stream.wav");
    std::unique_ptr<Vita49Receiver> receiver;
    std::unique_ptr<UdpSender> sender;
    test::CallbackRecorder recorder;
    std::string address_;
};

// --- Integer files: sox and Python's wave ----------------------------------------------------

struct StreamCase {
    const char* name;
    std::uint8_t itemBits;
    const char* address;
    friend void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }
};

class IntegerWav : public NetRecording, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(IntegerWav, IndependentReadersSeeTheSentSamples) {
    const StreamCase& c = GetParam();
    const bool sox = HaveTool("sox") && HaveTool("soxi");
    const bool python = HaveTool("python3"); // its wave module is part of the standard library
    if (!sox && !python) GTEST_SKIP() << "neither sox/soxi (Debian package sox) nor python3 installed";

    OpenReceiver(c.address, spectest::RecordingSettings(rawPath, wavPath, 0, 1));
    std::vector<std::vector<std::uint8_t>> payloads;
    for (int p = 0; p < 6; ++p)
        payloads.push_back(c.itemBits == 16 ? spectest::WireItems16(Items16(512 + 64 * p, p, true))
                                            : spectest::WireItems32(Items32(256 + 32 * p, p)));
    const auto wire = Stream(250000.75, c.itemBits, payloads);
    ASSERT_EQ(receiver->Close(), RC_OK);

    const std::size_t itemBytes = c.itemBits / 8;
    const auto expected = SwapItems(wire, itemBytes); // little-endian items, I and Q alternating
    const std::size_t frames = wire.size() / (2 * itemBytes);
    EXPECT_EQ(ReadFile(rawPath), expected);

    if (sox) {
        EXPECT_EQ(Soxi("-t", wavPath), "wav");
        EXPECT_EQ(Soxi("-c", wavPath), "2");
        EXPECT_EQ(Soxi("-r", wavPath), "250000");
        EXPECT_EQ(Soxi("-b", wavPath), std::to_string(c.itemBits));
        EXPECT_EQ(Soxi("-e", wavPath), "Signed Integer PCM");
        EXPECT_EQ(Soxi("-s", wavPath), std::to_string(frames));
        const std::string out = dir.File("sox.raw");
        ASSERT_TRUE(RunCommand("sox -V1 -D " + Quoted(wavPath) + " -t raw -e signed-integer -b " +
                        std::to_string(c.itemBits) + " -L " + Quoted(out))
                        .ok);
        EXPECT_EQ(ReadFile(out), expected) << "samples as sox reads them";
    } else {
        std::printf("sox/soxi not installed (Debian package sox): sox checks skipped\n");
    }

    if (python) {
        const std::string script = dir.File("read.py");
        std::ofstream(script) << "import sys, wave\n"
                                 "w = wave.open(sys.argv[1], 'rb')\n"
                                 "print(w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getnframes(),"
                                 " w.getcomptype())\n"
                                 "open(sys.argv[2], 'wb').write(w.readframes(w.getnframes()))\n";
        const std::string out = dir.File("py.raw");
        const auto r = RunCommand("python3 " + Quoted(script) + " " + Quoted(wavPath) + " " + Quoted(out));
        ASSERT_TRUE(r.ok) << "Python's wave module could not read the file";
        std::ostringstream header;
        header << 2 << ' ' << itemBytes << ' ' << 250000 << ' ' << frames << " NONE";
        EXPECT_EQ(r.out, header.str());
        EXPECT_EQ(ReadFile(out), expected) << "samples as Python's wave module reads them";
    } else {
        std::printf("python3 not installed: the checks with its wave module skipped\n");
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, IntegerWav,
                         ::testing::Values(StreamCase{"I16Q16", 16, "127.0.3.10"},
                                           StreamCase{"I32Q32", 32, "127.0.3.11"}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Float files: sox ------------------------------------------------------------------------

class FloatWav : public NetRecording, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(FloatWav, SoxSeesTheSentSamplesAsFloats) {
    if (!HaveTool("sox") || !HaveTool("soxi"))
        GTEST_SKIP() << "sox/soxi not installed (Debian package sox); Python's wave module reads no float files";
    const StreamCase& c = GetParam();
    OpenReceiver(c.address, spectest::RecordingSettings("", wavPath, 0, 0));
    std::vector<double> expected;
    std::vector<std::vector<std::uint8_t>> payloads;
    for (int p = 0; p < 5; ++p) {
        if (c.itemBits == 16) {
            // Among them the extremes of the range, which sox must read as ±1.
            auto items = Items16(600 + 40 * p, p, false);
            items[0] = 32767;
            items[1] = -32767;
            for (auto v : items) expected.push_back(v / 32767.0);
            payloads.push_back(spectest::WireItems16(items));
        } else {
            auto items = Items32(300 + 20 * p, p);
            for (auto v : items) expected.push_back(std::ldexp(static_cast<double>(v), -31));
            payloads.push_back(spectest::WireItems32(items));
        }
    }
    Stream(48000.5, c.itemBits, payloads);
    ASSERT_EQ(receiver->Close(), RC_OK);

    EXPECT_EQ(Soxi("-c", wavPath), "2");
    EXPECT_EQ(Soxi("-r", wavPath), "48000");
    EXPECT_EQ(Soxi("-b", wavPath), "32");
    EXPECT_EQ(Soxi("-e", wavPath), "Floating Point PCM");
    EXPECT_EQ(Soxi("-s", wavPath), std::to_string(expected.size() / 2));

    // sox holds samples as 32-bit integers of full scale 2^31 and writes floats rounded to
    // 24 bits; its 32-bit integer output is therefore the exact way to read what it decoded.
    const std::string out = dir.File("sox.s32");
    ASSERT_TRUE(RunCommand("sox -V1 -D " + Quoted(wavPath) + " -t raw -e signed-integer -b 32 -L " + Quoted(out)).ok);
    const auto bytes = ReadFile(out);
    ASSERT_EQ(bytes.size(), 4 * expected.size());
    // The file holds each sent value rounded to a 32-bit float; sox's integers add at most
    // one unit of 2^-31 (a full-scale +1.0 becomes 1 - 2^-31).
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const auto sample = static_cast<std::int32_t>(spectest::ReadLe32(&bytes[4 * i]));
        const double read = std::ldexp(static_cast<double>(sample), -31);
        if (std::fabs(read - static_cast<float>(expected[i])) > std::ldexp(1.0, -31)) {
            if (wrong++ < 5) ADD_FAILURE() << "sample " << i << ": sox reads " << read << ", sent " << expected[i];
        }
    }
    EXPECT_EQ(wrong, 0u);
}

INSTANTIATE_TEST_SUITE_P(Formats, FloatWav,
                         ::testing::Values(StreamCase{"I16Q16", 16, "127.0.3.12"},
                                           StreamCase{"I32Q32", 32, "127.0.3.13"}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Destruction of an open receiver ---------------------------------------------------------

TEST_F(NetRecording, DestroyingAnOpenReceiverCompletesBothFiles) {
    OpenReceiver("127.0.3.20", spectest::RecordingSettings(rawPath, wavPath, 1, 1));
    std::vector<std::vector<std::uint8_t>> payloads;
    for (int p = 0; p < 4; ++p) payloads.push_back(spectest::WireItems16(Items16(1000, p, true)));
    const auto wire = Stream(1e6, 16, payloads);
    receiver.reset(); // no Close

    const auto wav = ReadFile(wavPath);
    const auto h = spectest::ParseWav(wav);
    ASSERT_TRUE(h.valid);
    EXPECT_EQ(h.dataSize, wire.size());
    EXPECT_EQ(h.riffSize, wav.size() - 8);
    EXPECT_EQ(wav.size(), 44 + wire.size());
    EXPECT_EQ(h.sampleRate, 1000000u);
    EXPECT_EQ(ReadFile(rawPath), wire) << "the raw file in wire order, flushed";
    if (HaveTool("soxi")) {
        EXPECT_EQ(Soxi("-s", wavPath), std::to_string(wire.size() / 4));
    }
}

// --- The displayed trace changed while the stream runs ---------------------------------------

TEST_F(NetRecording, DisplayedTraceChangesWhileStreaming) {
    constexpr std::size_t kValues = 64;
    std::atomic<std::uint16_t> wanted{0};
    std::atomic<int> hits{0}, torn{0}, spectra{0};
    OpenReceiver("127.0.3.21", spectest::RecordingSettings("", "", 0, 0));
    receiver->Close();
    // Runs on the receive thread. Every packet's values are base + i, where the base names
    // trace and packet; the buffer must always hold zeros or exactly one packet's values.
    receiver->SetFFTDataCallback(
        [&](const Vita49_Info&, const Vita49_FFTContext&, const Vita49_FFTData& d, float* buffer) {
            ++spectra;
            if (buffer == nullptr || d.payloadSize != 4 * kValues) {
                ++torn;
                return;
            }
            bool zeros = true, ramp = true;
            for (std::size_t i = 0; i < kValues; ++i) {
                zeros = zeros && buffer[i] == 0.0f;
                ramp = ramp && buffer[i] == buffer[0] + static_cast<float>(i);
            }
            if (!zeros && !ramp) ++torn;
            // This packet's identifier and first value (after header, stream id, 12 header bytes).
            const std::uint16_t id = static_cast<std::uint16_t>((d.packet[18] << 8) | d.packet[19]);
            const float first = spectest::LittleEndianFloats(d.packet + 20, 1)[0];
            if (id == wanted.load() && buffer[0] == first) ++hits;
        });
    ASSERT_EQ(receiver->Open(), RC_OK);

    std::atomic<bool> stop{false};
    std::thread instrument([&] {
        for (std::uint32_t seq = 0; !stop.load(); ++seq) {
            for (std::uint16_t id : {1, 2}) {
                std::vector<float> values(kValues);
                const float base = static_cast<float>(id * 1000000 + (seq % 10000) * 100);
                for (std::size_t i = 0; i < kValues; ++i) values[i] = base + static_cast<float>(i);
                sender->Send(spectest::ExtDataPacket(kStream, static_cast<std::uint8_t>(seq), id, values));
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    for (int round = 0; round < 6; ++round) {
        const std::uint16_t trace = round % 2 == 0 ? 2 : 1;
        receiver->SetDisplayedTrace(trace);
        const int before = hits.load();
        wanted.store(trace);
        EXPECT_TRUE(WaitFor([&] { return hits.load() > before; }))
            << "trace " << trace << " never copied after SetDisplayedTrace";
    }
    // An identifier that is not streamed: copying stops, the callbacks go on.
    receiver->SetDisplayedTrace(7);
    wanted.store(7);
    const int seen = spectra.load();
    EXPECT_TRUE(WaitFor([&] { return spectra.load() > seen + 20; }));
    stop.store(true);
    instrument.join();
    ASSERT_EQ(receiver->Close(), RC_OK);
    EXPECT_EQ(torn.load(), 0) << "a callback saw a buffer that was neither zeros nor one packet's values";
}

} // namespace
} // namespace vita49
