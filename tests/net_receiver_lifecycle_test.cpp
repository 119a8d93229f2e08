// Vita49Receiver's lifecycle through its public interface, over loopback: Open/Close cycles
// for every unicast connection type, refused Opens, recording files, destruction of an open
// receiver, and the process-wide socket start-up count.
//
// Addresses: 127.0.1.50 - 127.0.1.99. CTest runs each test in its own process, in parallel,
// so every port is one that the system has just found free, never a fixed one.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "net/SocketLibrary.h"
#include "sim/PacketWriter.h"
#include "support/LoopbackPeer.h"
#include "vita49/Vita49Receiver.h"
#include "vita49/Vita49RemoteControl.h"

namespace {

using namespace vita49::test;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char* kServerPeerFrom = "127.0.1.50";
constexpr const char* kClientPeer = "127.0.1.51";
constexpr const char* kUdpLocal = "127.0.1.52";
constexpr const char* kUnresolvable = "no-such-host..invalid"; // refused locally, no DNS query
constexpr std::uint32_t kStream = 0x00C0FFEE;
constexpr std::size_t kPayload = 256;

std::vector<std::uint8_t> ContextPacket(std::uint8_t count) {
    vita49::sim::ContextValues values;
    values.hasPayloadFormat = true;
    values.itemBits = 16;
    const auto section = vita49::sim::ContextSection(values);
    vita49::sim::PacketHeader header;
    header.type = 4;
    header.count = count;
    header.streamId = kStream;
    std::vector<std::uint8_t> out;
    vita49::sim::AppendPacket(out, header, section.data(), section.size());
    return out;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

long FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

// A fresh directory for recording files, removed with its contents at the end.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/vita49-lifecycle-XXXXXX";
        if (::mkdtemp(pattern)) path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    bool Empty() const { return std::filesystem::is_empty(path_); }

private:
    std::string path_;
};

// What the receive thread reported, guarded for the test thread.
class Recorder {
public:
    void Attach(Vita49Receiver& receiver) {
        receiver.SetDataCallback([this](const Vita49_Info&, const Vita49_Context&, const Vita49_Data& d) {
            std::lock_guard<std::mutex> lock(mutex_);
            ++dataCalls_;
            lastPacketsReceived_ = d.packetsReceived;
            cv_.notify_all();
        });
        receiver.SetInfoCallback([this](const Vita49_Info&) {
            std::lock_guard<std::mutex> lock(mutex_);
            ++infoCalls_;
            cv_.notify_all();
        });
        receiver.SetConnectionErrorCallback([this] {
            std::lock_guard<std::mutex> lock(mutex_);
            ++connectionErrors_;
            cv_.notify_all();
        });
    }
    void Reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        dataCalls_ = infoCalls_ = connectionErrors_ = 0;
        lastPacketsReceived_ = 0;
    }
    bool WaitForData(int calls, int limitMs = 5000) {
        return Wait([&] { return dataCalls_ >= calls; }, limitMs);
    }
    bool WaitForInfo(int calls, int limitMs = 5000) {
        return Wait([&] { return infoCalls_ >= calls; }, limitMs);
    }
    bool WaitForConnectionError(int limitMs = 5000) {
        return Wait([&] { return connectionErrors_ >= 1; }, limitMs);
    }
    int DataCalls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return dataCalls_;
    }
    std::uint32_t LastPacketsReceived() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastPacketsReceived_;
    }
    int ConnectionErrors() {
        std::lock_guard<std::mutex> lock(mutex_);
        return connectionErrors_;
    }

private:
    bool Wait(const std::function<bool()>& done, int limitMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, milliseconds(limitMs), done);
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    int dataCalls_ = 0;
    int infoCalls_ = 0;
    int connectionErrors_ = 0;
    std::uint32_t lastPacketsReceived_ = 0;
};

// The instrument's side of one connection type.
class Peer {
public:
    explicit Peer(int type) : type_(type) {
        if (type_ == TCP_CLIENT) {
            listener_ = TcpListener(kClientPeer, 0);
            port_ = LocalPort(listener_.Get());
        }
        if (type_ == UDP_SINGLECAST) udp_ = UdpSocket("", 0);
    }

    // Settings for the receiver; a TCP_SERVER or UDP receiver gets a port that is free now.
    Vita49_Base_Settings Settings() {
        switch (type_) {
        case TCP_SERVER:
            port_ = FreeTcpPort();
            return BaseSettings(TCP_SERVER, "", port_, 0, "", kStream);
        case TCP_CLIENT:
            return BaseSettings(TCP_CLIENT, kClientPeer, port_, 0, "", kStream);
        default:
            port_ = FreeUdpPort(kUdpLocal);
            return BaseSettings(UDP_SINGLECAST, "", 0, port_, kUdpLocal, kStream);
        }
    }

    // Opens `receiver` with these settings, retrying with another free port should the port
    // have been taken in between.
    RETURN_CODE Open(Vita49Receiver& receiver, const Vita49_Receiver_Settings& recording) {
        RETURN_CODE rc = RC_SOCKET_ERROR;
        for (int attempt = 0; attempt < 5 && rc == RC_SOCKET_ERROR; ++attempt) {
            receiver.Init(Settings(), recording);
            rc = receiver.Open();
        }
        return rc;
    }

    // Establishes the stream connection after the receiver's Open.
    bool Attach() {
        switch (type_) {
        case TCP_SERVER:
            stream_ = TcpConnect(kServerPeerFrom, port_, kServerPeerFrom);
            return stream_.Valid();
        case TCP_CLIENT:
            stream_ = AcceptWithin(listener_.Get(), 3000);
            return stream_.Valid();
        default:
            return true;
        }
    }

    bool Send(const std::vector<std::uint8_t>& packet) {
        if (type_ != UDP_SINGLECAST) return SendAll(stream_.Get(), packet);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port_);
        inet_pton(AF_INET, kUdpLocal, &to.sin_addr);
        return ::sendto(udp_.Get(), packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
               static_cast<ssize_t>(packet.size());
    }

    bool SendData(std::uint8_t count) { return Send(DataPacket(kStream, count, kPayload, count)); }

    // TCP: the receiver's end of the stream has closed.
    bool SeesEndOfStream(int limitMs = 3000) { return type_ == UDP_SINGLECAST || WaitForEndOfStream(stream_.Get(), limitMs); }
    void Drop() { stream_.Close(); }
    Fd& Stream() { return stream_; }
    std::uint16_t Port() const { return port_; }
    int Descriptors() const { return (listener_.Valid() ? 1 : 0) + (udp_.Valid() ? 1 : 0) + (stream_.Valid() ? 1 : 0); }

private:
    int type_;
    std::uint16_t port_ = 0;
    Fd listener_;
    Fd stream_;
    Fd udp_;
};

class ReceiverLifecycleTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        ASSERT_EQ(vita49::net::SocketLibraryUsers(), 0) << "a receiver or remote control outlived its test";
        descriptors = OpenDescriptorCount();
    }

    // Descriptors beyond SetUp's count that belong to the library.
    int LibraryDescriptors(const Peer& peer) { return OpenDescriptorCount() - descriptors - peer.Descriptors(); }

    int descriptors = 0;
    Recorder recorder; // outlives every receiver of the test
};

// ------------------------------------------------------------------------------------------

TEST_P(ReceiverLifecycleTest, OpenCloseCyclesStreamAndReleaseEverything) {
    Peer peer(GetParam());
    Vita49Receiver receiver;
    recorder.Attach(receiver);
    for (int cycle = 0; cycle < 3; ++cycle) {
        SCOPED_TRACE(cycle);
        recorder.Reset();
        ASSERT_EQ(peer.Open(receiver, ReceiverSettings()), RC_OK);
        ASSERT_TRUE(peer.Attach());
        for (std::uint8_t count = 0; count < 3; ++count) ASSERT_TRUE(peer.SendData(count));
        ASSERT_TRUE(recorder.WaitForData(3));
        // Every Open starts the statistics afresh.
        EXPECT_EQ(recorder.LastPacketsReceived(), 3u);

        const auto start = Clock::now();
        EXPECT_EQ(receiver.Close(), RC_OK);
        EXPECT_LT(ElapsedMs(start), 2000) << "the receive thread did not stop within a cycle";
        EXPECT_TRUE(peer.SeesEndOfStream());
        EXPECT_EQ(LibraryDescriptors(peer), 0) << "Close left a socket open";
        peer.Drop();
    }
    EXPECT_EQ(recorder.ConnectionErrors(), 0);
}

TEST_P(ReceiverLifecycleTest, SecondOpenLeavesTheRunningReceiverAndItsFilesAlone) {
    TempDir dir;
    const std::string raw = dir.File("stream.raw");
    Peer peer(GetParam());
    Vita49Receiver receiver;
    recorder.Attach(receiver);
    ASSERT_EQ(peer.Open(receiver, ReceiverSettings(raw)), RC_OK);
    ASSERT_TRUE(peer.Attach());
    ASSERT_TRUE(peer.Send(ContextPacket(0)));
    ASSERT_TRUE(peer.SendData(0));
    ASSERT_TRUE(peer.SendData(1));
    ASSERT_TRUE(recorder.WaitForData(2));
    const int before = LibraryDescriptors(peer);

    EXPECT_EQ(receiver.Open(), RC_CONNECTION_ERROR);
    EXPECT_EQ(LibraryDescriptors(peer), before);

    ASSERT_TRUE(peer.SendData(2));
    ASSERT_TRUE(recorder.WaitForData(3));
    EXPECT_EQ(recorder.LastPacketsReceived(), 3u) << "the statistics were reset";
    EXPECT_EQ(receiver.Close(), RC_OK);
    EXPECT_EQ(FileSize(raw), static_cast<long>(3 * kPayload)) << "the recording was truncated or stopped";
}

TEST_P(ReceiverLifecycleTest, DestroyingAnOpenReceiverClosesIt) {
    Peer peer(GetParam());
    const auto cleanups = vita49::net::SocketLibraryCleanups();
    {
        Vita49Receiver receiver;
        recorder.Attach(receiver);
        ASSERT_EQ(peer.Open(receiver, ReceiverSettings()), RC_OK);
    }
    EXPECT_EQ(LibraryDescriptors(peer), 0);
    EXPECT_EQ(vita49::net::SocketLibraryCleanups(), cleanups + 1);
    EXPECT_EQ(vita49::net::SocketLibraryUsers(), 0);
    if (GetParam() == TCP_SERVER) {
        EXPECT_TRUE(TcpListener("", peer.Port()).Valid()) << "the listening port is still taken";
    }
}

TEST_P(ReceiverLifecycleTest, DestroyingAReceiverWhileItsPeerStreams) {
    TempDir dir;
    Peer peer(GetParam());
    std::atomic<bool> stopSending{false};
    std::thread sender;
    {
        Vita49Receiver receiver;
        recorder.Attach(receiver);
        ASSERT_EQ(peer.Open(receiver, ReceiverSettings(dir.File("s.raw"), dir.File("s.wav"))), RC_OK);
        ASSERT_TRUE(peer.Attach());
        ASSERT_TRUE(peer.Send(ContextPacket(0)));
        sender = std::thread([&] {
            for (std::uint8_t count = 0; !stopSending.load(); ++count)
                if (!peer.SendData(count & 0xF)) break;
        });
        EXPECT_TRUE(recorder.WaitForData(50));
    }
    EXPECT_TRUE(peer.SeesEndOfStream(5000));
    stopSending = true;
    sender.join();
    EXPECT_EQ(LibraryDescriptors(peer), 0);
    // The WAV header was completed: its RIFF size covers the whole file.
    const std::string wav = ReadFile(dir.File("s.wav"));
    ASSERT_GE(wav.size(), 8u);
    const auto riffSize = static_cast<std::uint32_t>(static_cast<unsigned char>(wav[4])) |
                          static_cast<std::uint32_t>(static_cast<unsigned char>(wav[5])) << 8 |
                          static_cast<std::uint32_t>(static_cast<unsigned char>(wav[6])) << 16 |
                          static_cast<std::uint32_t>(static_cast<unsigned char>(wav[7])) << 24;
    EXPECT_EQ(riffSize, wav.size() - 8);
}

// ------------------------------------------------------------------------------------------
// Opens that fail touch nothing

struct RefusedOpen {
    const char* name;
    int type;
    const char* remote;
    const char* local;
    RETURN_CODE expected;
};

class RefusedOpenTest : public ::testing::TestWithParam<RefusedOpen> {};

TEST_P(RefusedOpenTest, StartsNothingAndTouchesNoRecordingFile) {
    const RefusedOpen& c = GetParam();
    TempDir dir;
    const std::string raw = dir.File("existing.raw");
    const std::string wav = dir.File("new.wav");
    WriteFile(raw, "recorded earlier");
    const int descriptors = OpenDescriptorCount();

    Recorder recorder;
    {
        Vita49Receiver receiver;
        recorder.Attach(receiver);
        receiver.Init(BaseSettings(static_cast<CONNECTION_TYPE>(c.type), c.remote, FreeTcpPort(), 0, c.local,
                                   kStream),
                      ReceiverSettings(raw, wav));
        EXPECT_EQ(receiver.Open(), c.expected);
        EXPECT_EQ(OpenDescriptorCount(), descriptors);
        EXPECT_EQ(receiver.Close(), RC_OK);
        EXPECT_EQ(receiver.Open(), c.expected) << "a refused Open left state behind";
    }
    EXPECT_EQ(ReadFile(raw), "recorded earlier");
    EXPECT_FALSE(FileExists(wav));
    EXPECT_EQ(recorder.ConnectionErrors(), 0);
    EXPECT_FALSE(recorder.WaitForInfo(1, 0));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedOpenTest,
    ::testing::Values(RefusedOpen{"TypeNone", CONNECTION_NONE, "", "", RC_INVALID_ARGUMENT},
                      RefusedOpen{"Type7", 7, "", "", RC_INVALID_ARGUMENT},
                      RefusedOpen{"TypeMinus1", -1, "", "", RC_INVALID_ARGUMENT},
                      RefusedOpen{"UnresolvableServer", TCP_SERVER, kUnresolvable, "", RC_CONNECTION_ERROR},
                      RefusedOpen{"UnresolvableClient", TCP_CLIENT, kUnresolvable, "", RC_CONNECTION_ERROR},
                      RefusedOpen{"UnresolvableSinglecast", UDP_SINGLECAST, kUnresolvable, "", RC_CONNECTION_ERROR},
                      RefusedOpen{"UnresolvableMulticast", UDP_MULTICAST, kUnresolvable, "", RC_CONNECTION_ERROR},
                      RefusedOpen{"UnresolvableLocal", UDP_SINGLECAST, "", kUnresolvable, RC_CONNECTION_ERROR}),
    [](const ::testing::TestParamInfo<RefusedOpen>& info) { return std::string(info.param.name); });

TEST(ReceiverOpenTest, PortInUseIsASocketErrorAndTouchesNoFile) {
    TempDir dir;
    Fd holder = TcpListener("", 0);
    ASSERT_TRUE(holder.Valid());
    Vita49Receiver receiver;
    receiver.Init(BaseSettings(TCP_SERVER, "", LocalPort(holder.Get()), 0, "", kStream),
                  ReceiverSettings(dir.File("a.raw"), dir.File("a.wav")));
    EXPECT_EQ(receiver.Open(), RC_SOCKET_ERROR);
    EXPECT_TRUE(dir.Empty());
}

// ------------------------------------------------------------------------------------------

TEST(ReceiverCloseTest, CloseWithoutOpenAndCloseTwice) {
    Vita49Receiver receiver;
    EXPECT_EQ(receiver.Close(), RC_OK);
    EXPECT_EQ(receiver.Close(), RC_OK);
    receiver.Init(BaseSettings(UDP_SINGLECAST, "", 0, FreeUdpPort(kUdpLocal), kUdpLocal, kStream), ReceiverSettings());
    ASSERT_EQ(receiver.Open(), RC_OK);
    EXPECT_EQ(receiver.Close(), RC_OK);
    EXPECT_EQ(receiver.Close(), RC_OK);
    ASSERT_EQ(receiver.Open(), RC_OK) << "closed twice, then opened again";
    EXPECT_EQ(receiver.Close(), RC_OK);
}

TEST(ReceiverRecordingTest, EmptyPathsCreateNoFiles) {
    TempDir dir;
    char previous[4096] = {};
    ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(::chdir(dir.Path().c_str()), 0);
    {
        Recorder recorder;
        Peer peer(UDP_SINGLECAST);
        Vita49Receiver receiver;
        recorder.Attach(receiver);
        EXPECT_EQ(peer.Open(receiver, ReceiverSettings("", "")), RC_OK);
        EXPECT_TRUE(peer.Send(ContextPacket(0)));
        EXPECT_TRUE(peer.SendData(0));
        EXPECT_TRUE(recorder.WaitForData(1));
        EXPECT_EQ(receiver.Close(), RC_OK);
    }
    EXPECT_EQ(::chdir(previous), 0);
    EXPECT_TRUE(dir.Empty());
}

TEST(ReceiverCallbackTest, EmptiedSlotIsSkipped) {
    Recorder recorder;
    Peer peer(UDP_SINGLECAST);
    Vita49Receiver receiver;
    recorder.Attach(receiver);
    receiver.SetDataCallback({});
    ASSERT_EQ(peer.Open(receiver, ReceiverSettings()), RC_OK);
    // The data packet meets the empty slot; the foreign packet after it reaches the info slot.
    ASSERT_TRUE(peer.SendData(0));
    ASSERT_TRUE(peer.Send(DataPacket(kStream + 1, 0, kPayload)));
    EXPECT_TRUE(recorder.WaitForInfo(1));
    EXPECT_EQ(recorder.DataCalls(), 0);
    EXPECT_EQ(receiver.Close(), RC_OK);
}

// ------------------------------------------------------------------------------------------
// A lost connection

class ReceiverConnectionLossTest : public ReceiverLifecycleTest {};

TEST_P(ReceiverConnectionLossTest, ReopensOnlyAfterClose) {
    Peer peer(GetParam());
    Vita49Receiver receiver;
    recorder.Attach(receiver);
    ASSERT_EQ(peer.Open(receiver, ReceiverSettings()), RC_OK);
    ASSERT_TRUE(peer.Attach());
    ASSERT_TRUE(peer.SendData(0));
    ASSERT_TRUE(recorder.WaitForData(1));

    ResetOnClose(peer.Stream().Get());
    peer.Drop();
    ASSERT_TRUE(recorder.WaitForConnectionError());
    // The thread has ended, but the connection is still open until Close.
    EXPECT_EQ(receiver.Open(), RC_CONNECTION_ERROR);
    EXPECT_EQ(receiver.Close(), RC_OK);
    EXPECT_EQ(recorder.ConnectionErrors(), 1);

    recorder.Reset();
    ASSERT_EQ(peer.Open(receiver, ReceiverSettings()), RC_OK);
    ASSERT_TRUE(peer.Attach());
    ASSERT_TRUE(peer.SendData(5));
    ASSERT_TRUE(recorder.WaitForData(1));
    EXPECT_EQ(recorder.LastPacketsReceived(), 1u);
    EXPECT_EQ(receiver.Close(), RC_OK);
}

TEST_P(ReceiverConnectionLossTest, DestroyedAfterAConnectionErrorWithoutClose) {
    Peer peer(GetParam());
    {
        Vita49Receiver receiver;
        recorder.Attach(receiver);
        ASSERT_EQ(peer.Open(receiver, ReceiverSettings()), RC_OK);
        ASSERT_TRUE(peer.Attach());
        ResetOnClose(peer.Stream().Get());
        peer.Drop();
        ASSERT_TRUE(recorder.WaitForConnectionError());
        // The receive thread has ended but was never joined.
    }
    EXPECT_EQ(LibraryDescriptors(peer), 0);
    EXPECT_EQ(recorder.ConnectionErrors(), 1);
}

INSTANTIATE_TEST_SUITE_P(Types, ReceiverLifecycleTest, ::testing::Values(TCP_SERVER, TCP_CLIENT, UDP_SINGLECAST),
                         vita49::test::ConnectionTypeTestName<::testing::TestParamInfo<int>>);
INSTANTIATE_TEST_SUITE_P(Types, ReceiverConnectionLossTest, ::testing::Values(TCP_SERVER, TCP_CLIENT),
                         vita49::test::ConnectionTypeTestName<::testing::TestParamInfo<int>>);

// ------------------------------------------------------------------------------------------

TEST(SocketLibraryCountTest, FirstUserStartsAndLastUserCleansUp) {
    using namespace vita49::net;
    ASSERT_EQ(SocketLibraryUsers(), 0);
    const auto startups = SocketLibraryStartups();
    const auto cleanups = SocketLibraryCleanups();

    auto first = std::make_unique<Vita49Receiver>();
    auto control = std::make_unique<Vita49RemoteControl>();
    auto second = std::make_unique<Vita49Receiver>();
    EXPECT_EQ(SocketLibraryStartups(), startups + 1);
    EXPECT_EQ(SocketLibraryUsers(), 3);

    // Open and Close change nothing in the count.
    second->Init(BaseSettings(UDP_SINGLECAST, "", 0, FreeUdpPort(kUdpLocal), kUdpLocal, kStream), ReceiverSettings());
    ASSERT_EQ(second->Open(), RC_OK);
    EXPECT_EQ(second->Close(), RC_OK);
    EXPECT_EQ(SocketLibraryUsers(), 3);

    first.reset();
    control.reset();
    EXPECT_EQ(SocketLibraryCleanups(), cleanups);
    EXPECT_EQ(SocketLibraryUsers(), 1);
    second.reset();
    EXPECT_EQ(SocketLibraryCleanups(), cleanups + 1);
    EXPECT_EQ(SocketLibraryUsers(), 0);

    // A later first user starts the library again.
    Vita49RemoteControl again;
    EXPECT_EQ(SocketLibraryStartups(), startups + 2);
    EXPECT_EQ(SocketLibraryUsers(), 1);
}

} // namespace
