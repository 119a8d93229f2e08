// Recordings that cannot be written as asked: a path in a missing folder, a folder, /dev/full,
// a file system that fills up, a pipe whose reader stalls or leaves. Each is reported by RecordingError with the file and the
// system's reason, never costs a callback, and leaves files whose headers and meta files
// describe exactly what is in them, as independent readers (Python's wave and json, numpy)
// see it. Every case runs through the decoder (the caller's thread writes) and through a
// receiver on loopback (its writer thread writes).

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/LoopbackPeer.h"
#include "support/Recorder.h"
#include "support/SpectrumHelpers.h"
#include "vita49/Vita49Decoder.h"
#include "vita49/Vita49Receiver.h"

namespace vita49::test {
namespace {

constexpr std::uint32_t kStream = 0x4100;
constexpr std::uint16_t kPort = 47411;
using Kind = CallbackRecorder::Kind;

// A recording set fed either through a Vita49Decoder or through a Vita49Receiver that
// listens on one loopback address, with the same calls.
class Recording {
public:
    Recording(bool receiver, const std::string& address) : address_(address) {
        if (receiver) rx_ = std::make_unique<Vita49Receiver>();
        else dec_ = std::make_unique<Vita49Decoder>();
    }
    ~Recording() {
        if (sender_ >= 0) ::close(sender_);
    }

    RETURN_CODE Open(const Vita49_Receiver_Settings& settings, const std::string& sigmfBase) {
        if (dec_) {
            dec_->Init(BaseSettings(UDP_SINGLECAST, "", 0, 0, "", kStream), settings);
            dec_->SetSigMFRecording(sigmfBase.c_str());
            recorder.Attach(*dec_);
            return dec_->Open();
        }
        rx_->Init(BaseSettings(UDP_SINGLECAST, "", 0, kPort, address_, kStream), settings);
        rx_->SetSigMFRecording(sigmfBase.c_str());
        recorder.Attach(*rx_);
        sender_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        to_.sin_family = AF_INET;
        to_.sin_port = htons(kPort);
        ::inet_pton(AF_INET, address_.c_str(), &to_.sin_addr);
        return rx_->Open();
    }
    // One datagram; a receiver's is waited for, so that the socket never overflows.
    bool Push(const std::vector<std::uint8_t>& packet, Kind kind) {
        if (dec_) return dec_->PushDatagram(packet.data(), packet.size()) == RC_OK;
        const std::size_t before = recorder.Count(kind);
        return ::sendto(sender_, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to_),
                        sizeof to_) == static_cast<ssize_t>(packet.size()) &&
               recorder.WaitForCount(kind, before + 1);
    }
    RETURN_CODE Close() { return dec_ ? dec_->Close() : rx_->Close(); }
    std::string Error() const { return dec_ ? dec_->RecordingError() : rx_->RecordingError(); }

    CallbackRecorder recorder;

private:
    std::string address_;
    std::unique_ptr<Vita49Decoder> dec_;
    std::unique_ptr<Vita49Receiver> rx_;
    int sender_ = -1;
    sockaddr_in to_{};
};

std::vector<std::int16_t> Items(std::size_t n, int seed) {
    std::vector<std::int16_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::int16_t>((seed * 131 + 7919 * static_cast<int>(i)) % 65536 - 32768);
    return v;
}

// Runs a command; its standard output and whether it exited with 0.
bool RunCommand(const std::string& command, std::string& out) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return false;
    char chunk[256];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
    const int status = ::pclose(pipe);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The system's Python, which has numpy where the distribution's package is installed.
std::string Python() { return std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3"; }

bool HavePython() { return std::system((Python() + " -c 'import wave, json, numpy' >/dev/null 2>&1").c_str()) == 0; }

// --- Paths that cannot take a recording -------------------------------------------------------

enum class Format { Raw, Wav, SigMF };
enum class Place { MissingFolder, Folder, DevFull };

struct BadPath {
    Format format;
    Place place;
    bool receiver;
    const char* address;
};

std::string Name(const ::testing::TestParamInfo<BadPath>& info) {
    const BadPath& p = info.param;
    const char* f = p.format == Format::Raw ? "Raw" : p.format == Format::Wav ? "Wav" : "SigMF";
    const char* w = p.place == Place::MissingFolder ? "MissingFolder" : p.place == Place::Folder ? "Folder" : "DevFull";
    return std::string(f) + w + (p.receiver ? "Receiver" : "Decoder");
}

class UnusablePath : public ::testing::TestWithParam<BadPath> {};

TEST_P(UnusablePath, OpenSucceedsTheErrorNamesFileAndReasonAndNoCallbackIsLost) {
    const BadPath& p = GetParam();
    spectest::TempDir dir;
    ASSERT_TRUE(dir.Valid());
    std::string path, named;
    int reason = 0;
    switch (p.place) {
    case Place::MissingFolder:
        path = dir.File("no/such/folder/rec");
        reason = ENOENT;
        break;
    case Place::Folder:
        path = dir.File("folder");
        // A SigMF recording names two files after its base: the data file is the folder.
        ASSERT_TRUE(std::filesystem::create_directory(p.format == Format::SigMF ? path + ".sigmf-data" : path));
        reason = EISDIR;
        break;
    case Place::DevFull:
        if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
        path = "/dev/full";
        reason = ENOSPC;
        break;
    }
    named = p.format == Format::SigMF ? path + ".sigmf-data" : path;
    Recording r(p.receiver, p.address);
    const auto settings = spectest::RecordingSettings(p.format == Format::Raw ? path : "",
                                                      p.format == Format::Wav ? path : "", 0, 1);
    ASSERT_EQ(r.Open(settings, p.format == Format::SigMF ? path : ""), RC_OK);
    ASSERT_TRUE(r.Push(spectest::IfContextPacket(kStream, 0, true, 1e6, true, 16), Kind::Context));
    for (std::uint8_t c = 0; c < 4; ++c)
        ASSERT_TRUE(r.Push(spectest::IfDataPacket(kStream, c, spectest::WireItems16(Items(512, c))), Kind::Data));
    EXPECT_EQ(r.Close(), RC_OK);
    EXPECT_EQ(r.recorder.data.size(), 4u) << "a recording failure never costs a callback";
    const std::string error = r.Error();
    EXPECT_NE(error.find(named), std::string::npos) << error;
    EXPECT_NE(error.find(std::strerror(reason)), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, UnusablePath,
    ::testing::Values(BadPath{Format::Raw, Place::MissingFolder, false, ""},
                      BadPath{Format::Raw, Place::Folder, true, "127.0.41.201"},
                      BadPath{Format::Raw, Place::DevFull, true, "127.0.41.202"},
                      BadPath{Format::Raw, Place::DevFull, false, ""},
                      BadPath{Format::Wav, Place::MissingFolder, true, "127.0.41.203"},
                      BadPath{Format::Wav, Place::Folder, false, ""},
                      BadPath{Format::Wav, Place::DevFull, true, "127.0.41.204"},
                      BadPath{Format::Wav, Place::DevFull, false, ""},
                      BadPath{Format::SigMF, Place::MissingFolder, true, "127.0.41.205"},
                      BadPath{Format::SigMF, Place::Folder, false, ""}),
    Name);

// --- A file system that fills up --------------------------------------------------------------

// The process may write files up to this size; the recordings are about three times larger.
constexpr rlim_t kFileLimit = 300000;
constexpr int kPackets = 110;
constexpr std::size_t kItemsPerPacket = 4096; // 8,192 bytes a packet

struct FullDiskCase {
    bool receiver;
    const char* address;
};

class FullDisk : public ::testing::TestWithParam<FullDiskCase> {
protected:
    void SetUp() override { ASSERT_TRUE(dir.Valid()); }

    // Records in a child process whose files may not grow past kFileLimit (writes then fail
    // with EFBIG), and leaves the recording error and Close's result in a file.
    void RecordInChild() {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit limit{kFileLimit, kFileLimit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            int status = 1;
            {
                Recording r(GetParam().receiver, GetParam().address);
                if (r.Open(spectest::RecordingSettings(raw, wav, 0, 1), base) == RC_OK &&
                    r.Push(spectest::IfContextPacket(kStream, 0, true, 1e6, true, 16), Kind::Context)) {
                    status = 0;
                    for (int i = 0; i < kPackets && status == 0; ++i) {
                        const auto payload = spectest::WireItems16(Items(kItemsPerPacket, i));
                        if (!r.Push(spectest::IfDataPacket(kStream, static_cast<std::uint8_t>(i & 15), payload),
                                    Kind::Data))
                            status = 2;
                    }
                    const RETURN_CODE rc = r.Close();
                    std::ofstream(report) << rc << "\n" << r.Error() << "\n";
                    if (r.recorder.data.size() != kPackets) status = 3;
                }
            }
            ::_exit(status);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << "the child did not end normally";
        ASSERT_EQ(WEXITSTATUS(status), 0) << "open, a push or a callback failed in the child";
    }

    // The little-endian bytes of every sample sent, in order.
    static std::vector<std::uint8_t> Sent() {
        std::vector<std::uint8_t> all;
        for (int i = 0; i < kPackets; ++i) {
            const auto le = spectest::SwapItems(spectest::WireItems16(Items(kItemsPerPacket, i)), 2);
            all.insert(all.end(), le.begin(), le.end());
        }
        return all;
    }

    spectest::TempDir dir;
    const std::string raw = dir.File("full.raw"), wav = dir.File("full.wav"), base = dir.File("full");
    const std::string report = dir.File("report.txt");
};

TEST_P(FullDisk, EveryFileSaysWhatItHoldsAndTheFailureIsReported) {
    if (!HavePython()) GTEST_SKIP() << "python3 with numpy needed (apt-get install python3-numpy)";
    RecordInChild();
    if (HasFatalFailure()) return;
    std::ifstream in(report);
    int rc = -1;
    std::string line, error;
    in >> rc;
    std::getline(in, line);
    std::getline(in, error);
    EXPECT_EQ(rc, RC_OK) << "Close returns what the API says";
    EXPECT_NE(error.find(std::strerror(EFBIG)), std::string::npos) << error;

    const auto sent = Sent();
    // Raw: its length is what reached it, a start of the stream.
    const auto rawBytes = spectest::ReadFile(raw);
    EXPECT_GT(rawBytes.size(), 0u);
    EXPECT_LE(rawBytes.size(), kFileLimit);
    EXPECT_TRUE(std::equal(rawBytes.begin(), rawBytes.end(), sent.begin())) << "raw file is not a start of the stream";

    // WAV: Python's wave module reads as many frames as the header announces, and they are
    // all the file holds after its header.
    std::string out;
    ASSERT_TRUE(RunCommand(Python() + " -c \"import os, sys, wave\n"
                    "w = wave.open(sys.argv[1], 'rb')\n"
                    "frames = w.readframes(w.getnframes())\n"
                    "print(len(frames), w.getnframes() * w.getnchannels() * w.getsampwidth(), "
                    "os.path.getsize(sys.argv[1]) - 44)\" '" + wav + "'",
                    out))
        << out;
    std::size_t read = 0, announced = 0, held = 0;
    std::istringstream(out) >> read >> announced >> held;
    EXPECT_GT(announced, 0u);
    EXPECT_EQ(announced, held) << "the header claims " << announced << " bytes, the file holds " << held;
    EXPECT_EQ(read, held);
    const auto wavBytes = spectest::ReadFile(wav);
    EXPECT_TRUE(std::equal(wavBytes.begin() + 44, wavBytes.end(), sent.begin())) << "WAV data is not a start of the stream";

    // SigMF: the meta file describes the samples of the data file, which stop with a note.
    out.clear();
    EXPECT_TRUE(RunCommand(Python() + " " + VITA49_SOURCE_DIR + "/tests/sigmf_check.py '" + base +
                        "' --datatype ci16_le --stopped 2>&1",
                    out))
        << out;
    const auto data = spectest::ReadFile(base + ".sigmf-data");
    EXPECT_GT(data.size(), 0u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), sent.begin())) << "SigMF data is not a start of the stream";
}

INSTANTIATE_TEST_SUITE_P(Writers, FullDisk,
                         ::testing::Values(FullDiskCase{false, ""}, FullDiskCase{true, "127.0.41.210"}),
                         [](const ::testing::TestParamInfo<FullDiskCase>& info) {
                             return std::string(info.param.receiver ? "Receiver" : "Decoder");
                         });

// --- A pipe whose reader stalls or goes away ----------------------------------------------------

struct PipeCase {
    bool receiver;
    bool readerLeaves; // else it reads nothing until the recording is closed
    const char* address;
};

class PipeReader : public ::testing::TestWithParam<PipeCase> {};

TEST_P(PipeReader, ReceptionGoesOnCloseEndsAndEveryByteIsReadOrCounted) {
    const PipeCase& p = GetParam();
    spectest::TempDir dir;
    ASSERT_TRUE(dir.Valid());
    const std::string pipe = dir.File("samples");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);

    Recording r(p.receiver, p.address);
    ASSERT_EQ(r.Open(spectest::RecordingSettings(pipe, "", 0, 1), ""), RC_OK);
    if (p.readerLeaves) ::close(reader);
    ASSERT_TRUE(r.Push(spectest::IfContextPacket(kStream, 0, true, 1e6, true, 16), Kind::Context));
    // Far more than the pipe holds: the rest waits in the writer's queue or is left out.
    constexpr int kSent = 300;
    std::vector<std::uint8_t> sent;
    for (int i = 0; i < kSent; ++i) {
        const auto payload = spectest::WireItems16(Items(kItemsPerPacket, i));
        ASSERT_TRUE(r.Push(spectest::IfDataPacket(kStream, static_cast<std::uint8_t>(i & 15), payload), Kind::Data))
            << "packet " << i << ": the stalled pipe held up reception";
        const auto le = spectest::SwapItems(payload, 2);
        sent.insert(sent.end(), le.begin(), le.end());
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(r.Close(), RC_OK);
    // A hang guard, not a speed figure: Close gives the writer at most 2 s.
    EXPECT_LT(ElapsedMs(start), 6000);

    const auto& calls = r.recorder.data;
    ASSERT_EQ(calls.size(), static_cast<std::size_t>(kSent));
    EXPECT_EQ(calls.back().data.packetsLost, 0u) << "the recording's trouble cost packets";

    std::vector<std::uint8_t> got;
    if (!p.readerLeaves) {
        ::fcntl(reader, F_SETFL, 0);
        std::uint8_t chunk[65536];
        ssize_t n;
        while ((n = ::read(reader, chunk, sizeof chunk)) > 0) got.insert(got.end(), chunk, chunk + n);
        ::close(reader);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), sent.begin())) << "the pipe got no start of the stream";
    }
    const std::string error = r.Error();
    EXPECT_NE(error.find("raw file " + pipe), std::string::npos) << error;
    if (p.readerLeaves) {
        EXPECT_NE(error.find(std::strerror(EPIPE)), std::string::npos) << error;
    }
    // "... N packets (B bytes) left out of the recording"
    const auto at = error.find(" bytes) left out");
    ASSERT_NE(at, std::string::npos) << error;
    const auto open = error.rfind('(', at);
    const std::size_t lost = std::stoull(error.substr(open + 1, at - open - 1));
    EXPECT_EQ(got.size() + lost, sent.size()) << "bytes read " << got.size() << " + counted lost " << lost;
}

INSTANTIATE_TEST_SUITE_P(Readers, PipeReader,
                         ::testing::Values(PipeCase{true, false, "127.0.41.220"}, PipeCase{true, true, "127.0.41.221"},
                                           PipeCase{false, false, ""}, PipeCase{false, true, ""}),
                         [](const ::testing::TestParamInfo<PipeCase>& info) {
                             return std::string(info.param.receiver ? "Receiver" : "Decoder") +
                                    (info.param.readerLeaves ? "ReaderLeaves" : "ReaderStalls");
                         });

} // namespace
} // namespace vita49::test
