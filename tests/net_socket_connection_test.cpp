// SocketConnection over loopback: every connection type against a plain-socket peer, the
// state flags, and the edge cases of Open, Connect, Send, Receive and Close.
//
// Addresses: 127.0.1.1 - 127.0.1.49. CTest runs each test in its own process, in parallel,
// so every port is one that the system has just found free, never a fixed one.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "net/SendLoop.h"
#include "net/SocketConnection.h"
#include "support/ConnectionChecks.h"
#include "support/LoopbackPeer.h"

namespace {

// Every name this program has asked the name service for.
std::mutex lookupsLock;
std::vector<std::string> lookups;

std::vector<std::string> TakeLookups() {
    std::lock_guard<std::mutex> guard(lookupsLock);
    std::vector<std::string> taken;
    taken.swap(lookups);
    return taken;
}

} // namespace

// The program's own getaddrinfo comes before the system's, for the library too: it notes the
// name asked for, then hands on to the system's.
extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result) {
    using Lookup = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
    static const auto system = reinterpret_cast<Lookup>(::dlsym(RTLD_NEXT, "getaddrinfo"));
    {
        std::lock_guard<std::mutex> guard(lookupsLock);
        lookups.emplace_back(node ? node : "");
    }
    return system ? system(node, service, hints, result) : EAI_FAIL;
}

namespace {

using namespace vita49::net;
using namespace vita49::test;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char* kHost = "127.0.1.1";      // peers listen here
constexpr const char* kPeerFrom = "127.0.1.2";  // peers connect from here
constexpr const char* kPeerFrom2 = "127.0.1.3";
constexpr const char* kRefusingHost = "127.0.1.4";
constexpr const char* kUdpHost = "127.0.1.10";
constexpr const char* kUdpPeer = "127.0.1.11";
constexpr const char* kHighFdHost = "127.0.1.12";
// The empty label makes the resolver refuse the name locally: no query leaves the machine.
constexpr const char* kUnresolvable = "no-such-host..invalid";

std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed = 0) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7);
    return v;
}

void ExpectNonBlockingCloseOnExec(NativeSocket handle) {
    const int fd = static_cast<int>(handle);
    const int status = ::fcntl(fd, F_GETFL);
    const int descriptor = ::fcntl(fd, F_GETFD);
    ASSERT_GE(status, 0);
    ASSERT_GE(descriptor, 0);
    EXPECT_TRUE(status & O_NONBLOCK) << "socket " << fd << " blocks";
    EXPECT_TRUE(descriptor & FD_CLOEXEC) << "socket " << fd << " survives exec";
}

// Receives into `out` until `count` bytes came or `limitMs` passed; the status that ended it.
ReceiveStatus ReceiveUntil(SocketConnection& c, std::vector<std::uint8_t>& out, std::size_t count, int limitMs) {
    const auto end = Clock::now() + milliseconds(limitMs);
    std::vector<std::uint8_t> buffer(65536);
    while (out.size() < count && Clock::now() < end) {
        const Received r = c.Receive(buffer.data(), static_cast<std::int32_t>(buffer.size()), 100);
        if (r.status == ReceiveStatus::Timeout) continue;
        if (r.status != ReceiveStatus::Data) return r.status;
        out.insert(out.end(), buffer.begin(), buffer.begin() + r.bytes);
    }
    return ReceiveStatus::Data;
}

// Sends all of `bytes`; the result.
Sent SendBytes(SocketConnection& c, const std::vector<std::uint8_t>& bytes) {
    return c.Send(bytes.data(), static_cast<std::int32_t>(bytes.size()));
}

// Operations of a connection that is not open, or not connected, are refused.
void ExpectEveryTransferRefused(SocketConnection& c) {
    std::uint8_t byte = 0;
    const Sent sent = c.Send(&byte, 1);
    EXPECT_EQ(sent.code, RC_CONNECTION_ERROR);
    EXPECT_EQ(sent.bytes, 0);
    const Received received = c.Receive(&byte, 1, 0);
    EXPECT_EQ(received.status, ReceiveStatus::Refused);
    EXPECT_EQ(received.code, RC_CONNECTION_ERROR);
}

class SocketConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        udpPort = FreeUdpPort(kUdpHost);
        udpPeerPort = FreeUdpPort(kUdpPeer);
        refusedPort = FreeTcpPort();
        ASSERT_TRUE(udpPort != 0 && udpPeerPort != 0 && refusedPort != 0);
        descriptors = OpenDescriptorCount();
    }
    void TearDown() override {
        if (conn.IsOpen()) conn.Close();
    }

    // `peers`: descriptors the test itself opened since SetUp.
    void ExpectNothingOpen(int peers = 0) {
        EXPECT_FALSE(conn.IsOpen());
        EXPECT_FALSE(conn.Connected());
        EXPECT_FALSE(conn.ListenSocket().Valid());
        EXPECT_FALSE(conn.DataSocket().Valid());
        EXPECT_EQ(OpenDescriptorCount(), descriptors + peers) << "a socket was left behind";
    }

    Vita49_IO conn;
    int descriptors = 0;
    std::uint16_t udpPort = 0;     // free on kUdpHost
    std::uint16_t udpPeerPort = 0; // free on kUdpPeer
    std::uint16_t refusedPort = 0; // nobody listens there
};

// ------------------------------------------------------------------------------------------
// Open refusals

class UnknownTypeTest : public SocketConnectionTest, public ::testing::WithParamInterface<int> {};

TEST_P(UnknownTypeTest, IsRefusedAndLeavesTheConnectionUnusable) {
    EXPECT_EQ(conn.Open(GetParam(), 5000, kHost, 5000, kHost), RC_INVALID_ARGUMENT);
    ExpectNothingOpen();
    EXPECT_EQ(conn.Type(), static_cast<std::uint32_t>(CONNECTION_NONE));

    EXPECT_EQ(conn.Connect(10), RC_CONNECTION_ERROR);
    ExpectEveryTransferRefused(conn);
    EXPECT_EQ(conn.Close(), RC_CONNECTION_ERROR);
}

INSTANTIATE_TEST_SUITE_P(Types, UnknownTypeTest, ::testing::Values(4, 7, -1, 0x7fffffff));

class EveryTypeTest : public SocketConnectionTest, public ::testing::WithParamInterface<int> {};

TEST_P(EveryTypeTest, UnresolvableRemoteAddressCreatesNoSocket) {
    EXPECT_EQ(conn.Open(GetParam(), 5000, kUnresolvable, 0, ""), RC_CONNECTION_ERROR);
    ExpectNothingOpen();
    EXPECT_EQ(conn.Connect(10), RC_CONNECTION_ERROR);
}

TEST_P(EveryTypeTest, UnresolvableLocalAddressCreatesNoSocket) {
    EXPECT_EQ(conn.Open(GetParam(), 0, kUdpHost, udpPort, kUnresolvable), RC_CONNECTION_ERROR);
    ExpectNothingOpen();
}

INSTANTIATE_TEST_SUITE_P(Types, EveryTypeTest,
                         ::testing::Values(TCP_SERVER, TCP_CLIENT, UDP_SINGLECAST, UDP_MULTICAST));

// Multicast joins only inside a private namespace: see mcast_receiver_test.
class UnicastTypeTest : public SocketConnectionTest, public ::testing::WithParamInterface<int> {};

TEST_P(UnicastTypeTest, OpenTwiceKeepsTheFirstSockets) {
    const int type = GetParam();
    ASSERT_EQ(conn.Open(type, 0, kUdpHost, 0, ""), RC_OK);
    const NativeSocket listen = conn.ListenSocket().Handle();
    const NativeSocket data = conn.DataSocket().Handle();
    const bool connected = conn.Connected();
    const int afterFirst = OpenDescriptorCount();

    EXPECT_EQ(conn.Open(UDP_SINGLECAST, 1, kHost, 2, kHost), RC_CONNECTION_ERROR);
    EXPECT_TRUE(conn.IsOpen());
    EXPECT_EQ(conn.Connected(), connected);
    EXPECT_EQ(conn.Type(), static_cast<std::uint32_t>(type));
    EXPECT_EQ(conn.ListenSocket().Handle(), listen);
    EXPECT_EQ(conn.DataSocket().Handle(), data);
    EXPECT_EQ(OpenDescriptorCount(), afterFirst);

    EXPECT_EQ(conn.Close(), RC_OK);
    ExpectNothingOpen();
    EXPECT_EQ(conn.Close(), RC_CONNECTION_ERROR) << "second Close";
}

INSTANTIATE_TEST_SUITE_P(Types, UnicastTypeTest, ::testing::Values(TCP_SERVER, TCP_CLIENT, UDP_SINGLECAST));

TEST_F(SocketConnectionTest, NeverOpenedConnectionRefusesEveryOperation) {
    EXPECT_EQ(conn.Connect(0), RC_CONNECTION_ERROR);
    ExpectEveryTransferRefused(conn);
    EXPECT_EQ(conn.Close(), RC_CONNECTION_ERROR);
}

TEST_F(SocketConnectionTest, SecondListenerOnALivePortFailsWithoutLeavingASocket) {
    Vita49_IO first;
    ASSERT_EQ(first.Open(TCP_SERVER, 0, "", 0, ""), RC_OK);
    const std::uint16_t port = LocalPort(static_cast<int>(first.ListenSocket().Handle()));
    const int withFirst = OpenDescriptorCount();

    EXPECT_EQ(conn.Open(TCP_SERVER, port, "", 0, ""), RC_SOCKET_ERROR);
    EXPECT_FALSE(conn.IsOpen());
    EXPECT_FALSE(conn.ListenSocket().Valid());
    EXPECT_EQ(OpenDescriptorCount(), withFirst);
    EXPECT_EQ(first.Close(), RC_OK);
}

TEST_F(SocketConnectionTest, UdpBindConflictFailsWithoutLeavingASocket) {
    Fd holder = UdpSocket(kUdpHost, udpPort);
    ASSERT_TRUE(holder.Valid());
    const int withHolder = OpenDescriptorCount();
    EXPECT_EQ(conn.Open(UDP_SINGLECAST, 0, "", udpPort, kUdpHost), RC_SOCKET_ERROR);
    EXPECT_FALSE(conn.IsOpen());
    EXPECT_FALSE(conn.DataSocket().Valid());
    EXPECT_EQ(OpenDescriptorCount(), withHolder);
}

// ------------------------------------------------------------------------------------------
// TCP_SERVER

class TcpServerTest : public SocketConnectionTest {
protected:
    std::uint16_t OpenServer(const char* remote = "") {
        EXPECT_EQ(conn.Open(TCP_SERVER, 0, remote, 0, ""), RC_OK);
        return LocalPort(static_cast<int>(conn.ListenSocket().Handle()));
    }
};

TEST_F(TcpServerTest, WaitsForAClientWithinTheTimeout) {
    OpenServer();
    EXPECT_FALSE(conn.Connected());
    ExpectNonBlockingCloseOnExec(conn.ListenSocket().Handle());

    EXPECT_EQ(conn.Connect(0), RC_OK) << "no client pending, no wait";
    EXPECT_FALSE(conn.Connected());
    EXPECT_FALSE(conn.DataSocket().Valid());

    const auto start = Clock::now();
    EXPECT_EQ(conn.Connect(100), RC_TIMEOUT);
    EXPECT_GE(ElapsedMs(start), 90);
    EXPECT_FALSE(conn.Connected());
    EXPECT_TRUE(conn.Address().empty());

    ExpectEveryTransferRefused(conn); // TCP without a peer
}

TEST_F(TcpServerTest, AcceptsAPeerAsANonBlockingSocketAndNamesIt) {
    const std::uint16_t port = OpenServer();
    Fd peer = TcpConnect(kHost, port, kPeerFrom);
    ASSERT_TRUE(peer.Valid());
    ASSERT_EQ(conn.Connect(1000), RC_OK);
    ASSERT_TRUE(conn.Connected());
    EXPECT_EQ(conn.Address(), kPeerFrom);
    ExpectNonBlockingCloseOnExec(conn.DataSocket().Handle());

    // A blocking accepted socket would hang here instead of reporting "no data".
    std::uint8_t buffer[16];
    const Received r = conn.Receive(buffer, sizeof buffer, 0);
    EXPECT_EQ(r.status, ReceiveStatus::Data);
    EXPECT_EQ(r.bytes, 0);
}

TEST_F(TcpServerTest, OpenCloseCyclesReuseThePortWhileOldConnectionsLinger) {
    std::uint16_t port = OpenServer();
    ASSERT_NE(port, 0);
    for (int cycle = 0; cycle < 3; ++cycle) {
        SCOPED_TRACE(cycle);
        if (cycle > 0) {
            ASSERT_EQ(conn.Open(TCP_SERVER, port, "", 0, ""), RC_OK);
        }
        Fd peer = TcpConnect(kHost, port, kPeerFrom);
        ASSERT_TRUE(peer.Valid());
        ASSERT_EQ(conn.Connect(1000), RC_OK);
        auto message = Pattern(100, static_cast<std::uint8_t>(cycle));
        ASSERT_EQ(SendBytes(conn, message).code, RC_OK);
        EXPECT_EQ(ReceiveBytes(peer.Get(), message.size(), 2000), message);

        // This side closes first, so its end of the connection lingers in TIME_WAIT.
        EXPECT_EQ(conn.Close(), RC_OK);
        ExpectNothingOpen(1);
        EXPECT_TRUE(WaitForEndOfStream(peer.Get(), 2000));
    }
}

TEST_F(TcpServerTest, LoopbackFastPathNameStillServesLoopbackPeers) {
    const std::uint16_t port = OpenServer("LoopbackFastPath");
    EXPECT_EQ(conn.Address(), "127.0.0.1");
    Fd peer = TcpConnect(kHost, port, kPeerFrom);
    ASSERT_TRUE(peer.Valid());
    ASSERT_EQ(conn.Connect(1000), RC_OK);
    auto message = Pattern(64);
    ASSERT_TRUE(SendAll(peer.Get(), message));
    std::vector<std::uint8_t> got;
    EXPECT_EQ(ReceiveUntil(conn, got, message.size(), 2000), ReceiveStatus::Data);
    EXPECT_EQ(got, message);
}

// ------------------------------------------------------------------------------------------
// TCP_CLIENT

class TcpClientTest : public SocketConnectionTest {};

TEST_F(TcpClientTest, RefusedPortNeverBecomesAConnection) {
    ASSERT_EQ(conn.Open(TCP_CLIENT, refusedPort, kRefusingHost, 0, ""), RC_OK);
    ExpectNonBlockingCloseOnExec(conn.DataSocket().Handle());
    for (int attempt = 0; attempt < 6; ++attempt) {
        SCOPED_TRACE(attempt);
        const auto start = Clock::now();
        const RETURN_CODE rc = conn.Connect(60);
        EXPECT_EQ(rc, RC_TIMEOUT);
        // A refused attempt waits out its time-out instead of failing at once.
        EXPECT_GE(ElapsedMs(start), 50);
        EXPECT_FALSE(conn.Connected());
        ExpectEveryTransferRefused(conn);
    }
}

TEST_F(TcpClientTest, PeerThatAppearsAfterFailedAttemptsIsReached) {
    ASSERT_EQ(conn.Open(TCP_CLIENT, refusedPort, kRefusingHost, 0, ""), RC_OK);
    EXPECT_EQ(conn.Address(), kRefusingHost);
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_NE(conn.Connect(50), RC_OK);
        EXPECT_FALSE(conn.Connected());
    }

    Fd listener = TcpListener(kRefusingHost, refusedPort);
    ASSERT_TRUE(listener.Valid());
    EXPECT_TRUE(WaitUntil([&] { return conn.Connect(100) == RC_OK; }, milliseconds(3000)));
    ASSERT_TRUE(conn.Connected());
    Fd peer = AcceptWithin(listener.Get(), 2000);
    ASSERT_TRUE(peer.Valid());

    auto message = Pattern(1000);
    const Sent sent = SendBytes(conn, message);
    ASSERT_EQ(sent.code, RC_OK);
    EXPECT_EQ(sent.bytes, 1000);
    EXPECT_EQ(ReceiveBytes(peer.Get(), message.size(), 2000), message);
}

TEST_F(TcpClientTest, SlowPeerAttemptContinuesAcrossConnectCalls) {
    // A listener whose accept queue is full drops the handshake, so the attempt stays in
    // progress until the peer makes room and the retransmitted handshake gets through.
    Fd listener = TcpListener(kHost, 0, 0);
    ASSERT_TRUE(listener.Valid());
    const std::uint16_t port = LocalPort(listener.Get());
    Fd queued = TcpConnect(kHost, port, kPeerFrom);
    ASSERT_TRUE(queued.Valid());

    ASSERT_EQ(conn.Open(TCP_CLIENT, port, kHost, 0, ""), RC_OK);
    EXPECT_EQ(conn.Connect(100), RC_TIMEOUT);
    EXPECT_FALSE(conn.Connected());
    const NativeSocket attempt = conn.DataSocket().Handle();
    const std::uint16_t localPort = LocalPort(static_cast<int>(attempt));
    ASSERT_NE(localPort, 0) << "the first call started an attempt";

    Fd first = AcceptWithin(listener.Get(), 1000);
    ASSERT_TRUE(first.Valid());
    EXPECT_TRUE(WaitUntil([&] { return conn.Connect(500) == RC_OK; }, milliseconds(8000)));
    ASSERT_TRUE(conn.Connected());
    EXPECT_EQ(conn.DataSocket().Handle(), attempt);
    EXPECT_EQ(LocalPort(static_cast<int>(conn.DataSocket().Handle())), localPort) << "a new attempt was started";
    EXPECT_TRUE(AcceptWithin(listener.Get(), 2000).Valid());
}

TEST_F(TcpClientTest, EmptyRemoteAddressNeverConnects) {
    ASSERT_EQ(conn.Open(TCP_CLIENT, 5000, "", 0, ""), RC_OK);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const RETURN_CODE rc = conn.Connect(20);
        EXPECT_NE(rc, RC_OK);
        EXPECT_FALSE(conn.Connected());
    }
}

// The fast-path text stands for this host itself: a machine without a host table (no name
// for "localhost") must still reach it, so the name service is never asked.
TEST_F(TcpClientTest, LoopbackFastPathReachesThisHostWithoutTheNameService) {
    Fd listener = TcpListener("127.0.0.1", 0);
    ASSERT_TRUE(listener.Valid());
    const std::uint16_t port = LocalPort(listener.Get());
    TakeLookups();
    ASSERT_EQ(conn.Open(TCP_CLIENT, port, SocketConnection::kLoopbackFastPath, 0, ""), RC_OK);
    EXPECT_EQ(conn.Address(), "127.0.0.1");
    const std::vector<std::string> asked = TakeLookups();
    EXPECT_TRUE(asked.empty()) << "the name service was asked for " << asked.front();

    EXPECT_TRUE(WaitUntil([&] { return conn.Connect(100) == RC_OK; }, milliseconds(3000)));
    Fd peer = AcceptWithin(listener.Get(), 2000);
    ASSERT_TRUE(peer.Valid());
    const auto message = Pattern(100, 3);
    ASSERT_EQ(SendBytes(conn, message).code, RC_OK);
    EXPECT_EQ(ReceiveBytes(peer.Get(), message.size(), 2000), message);

    // The notes do see the library's lookups: any other name is resolved as before.
    Vita49_IO other;
    EXPECT_EQ(other.Open(TCP_CLIENT, port, kUnresolvable, 0, ""), RC_CONNECTION_ERROR);
    EXPECT_EQ(TakeLookups(), std::vector<std::string>{kUnresolvable});
}

// The simulated instrument's way to send: no stall limit but a stop flag. A peer that stops
// reading holds the send until the flag is set, and then the send ends at once.
TEST_F(TcpClientTest, SendWatchingAStopFlagWaitsUntilTheFlagIsSet) {
    Fd listener = TcpListener(kHost, 0);
    ASSERT_TRUE(listener.Valid());
    ASSERT_EQ(conn.Open(TCP_CLIENT, LocalPort(listener.Get()), kHost, 0, ""), RC_OK);
    ASSERT_TRUE(WaitUntil([&] { return conn.Connect(100) == RC_OK; }, milliseconds(3000)));
    Fd peer = AcceptWithin(listener.Get(), 2000); // never reads
    ASSERT_TRUE(peer.Valid());

    const std::vector<std::uint8_t> flood(32u << 20, 0xcd);
    std::atomic<bool> stop{false};
    SendLimits limits;
    limits.stop = &stop;
    constexpr int kStopAfterMs = 1000;
    std::thread stopper([&] {
        std::this_thread::sleep_for(milliseconds(kStopAfterMs));
        stop = true;
    });
    const auto start = Clock::now();
    const SendProgress p = SendStreamBytes(conn.DataSocket().Handle(), flood.data(), flood.size(), limits);
    const long long elapsed = ElapsedMs(start);
    stopper.join();

    EXPECT_EQ(p.end, SendEnd::Stopped);
    EXPECT_GT(p.sent, 0u);
    EXPECT_LT(p.sent, flood.size());
    EXPECT_GE(elapsed, kStopAfterMs - 10) << "the send gave up before it was told to";
    EXPECT_LT(elapsed, kStopAfterMs + 1000) << "the send did not look at its stop flag";
}

// ------------------------------------------------------------------------------------------
// Both TCP types: an established stream

class TcpStreamTest : public SocketConnectionTest, public ::testing::WithParamInterface<int> {
protected:
    bool Server() const { return GetParam() == TCP_SERVER; }

    // Opens the connection (the receiver's, unless told) and returns the connected peer.
    Fd Establish() { return Establish(conn); }
    Fd Establish(SocketConnection& c) {
        if (Server()) {
            EXPECT_EQ(c.Open(TCP_SERVER, 0, "", 0, ""), RC_OK);
            port = LocalPort(static_cast<int>(c.ListenSocket().Handle()));
        } else {
            listener = TcpListener(kHost, 0);
            port = LocalPort(listener.Get());
            EXPECT_EQ(c.Open(TCP_CLIENT, port, kHost, 0, ""), RC_OK);
        }
        return Reconnect(c, kPeerFrom);
    }

    // Connects again after a break; the server takes the next client, the client dials anew.
    Fd Reconnect(const char* from) { return Reconnect(conn, from); }
    Fd Reconnect(SocketConnection& c, const char* from) {
        Fd peer;
        if (Server()) peer = TcpConnect(kHost, port, from);
        EXPECT_TRUE(WaitUntil([&] { return c.Connect(100) == RC_OK; }, milliseconds(3000)));
        if (!Server()) peer = AcceptWithin(listener.Get(), 2000);
        EXPECT_TRUE(peer.Valid());
        EXPECT_TRUE(c.Connected());
        return peer;
    }

    Fd listener;
    std::uint16_t port = 0;
};

TEST_P(TcpStreamTest, CarriesBytesBothWays) {
    Fd peer = Establish();
    ASSERT_TRUE(peer.Valid());
    auto out = Pattern(200000, 1);
    const Sent sent = SendBytes(conn, out);
    ASSERT_EQ(sent.code, RC_OK);
    EXPECT_EQ(sent.bytes, static_cast<std::int32_t>(out.size()));
    EXPECT_EQ(ReceiveBytes(peer.Get(), out.size(), 5000), out);

    auto in = Pattern(150000, 2);
    std::thread writer([&] { SendAll(peer.Get(), in, 5000); });
    std::vector<std::uint8_t> got;
    EXPECT_EQ(ReceiveUntil(conn, got, in.size(), 5000), ReceiveStatus::Data);
    writer.join();
    EXPECT_EQ(got, in);
}

TEST_P(TcpStreamTest, NegativeAndEmptySendsLeaveTheStreamIntact) {
    Fd peer = Establish();
    ASSERT_TRUE(peer.Valid());
    std::uint8_t byte = 0x5a;
    Sent sent = conn.Send(&byte, -1);
    EXPECT_EQ(sent.code, RC_INVALID_ARGUMENT);
    EXPECT_EQ(sent.bytes, 0);
    EXPECT_TRUE(conn.Connected());
    EXPECT_FALSE(conn.Broken());

    sent = conn.Send(&byte, 0);
    EXPECT_EQ(sent.code, RC_OK);
    EXPECT_EQ(sent.bytes, 0);
    EXPECT_TRUE(conn.Connected());

    EXPECT_EQ(conn.Send(&byte, 1).code, RC_OK);
    EXPECT_EQ(ReceiveBytes(peer.Get(), 2, 300), std::vector<std::uint8_t>{0x5a}) << "only the one real byte";
}

TEST_P(TcpStreamTest, ReceiveWaitsOnlyAsLongAsAsked) {
    Fd peer = Establish();
    ASSERT_TRUE(peer.Valid());
    ExpectQuietReceiveWaitsOnlyAsLongAsAsked(conn);
}

// A receive that finds nothing, or the end of the peer's sending direction, says so. Only the
// receiver's connection then probes the peer with one byte of value 0 (a send to a peer that
// has gone fails); the command channel sends the instrument nothing it did not ask for.
TEST_P(TcpStreamTest, PeerThatEndsSendingIsReportedAfterItsLastBytes) {
    SocketConnection commandChannel;
    for (const bool receivers : {true, false}) {
        SCOPED_TRACE(receivers ? "the receiver's connection" : "a plain connection");
        SocketConnection& c = receivers ? static_cast<SocketConnection&>(conn) : commandChannel;
        const std::vector<std::uint8_t> probe = receivers ? std::vector<std::uint8_t>{0} : std::vector<std::uint8_t>{};
        Fd peer = Establish(c);
        ASSERT_TRUE(peer.Valid());
        std::uint8_t buffer[64];
        Received r = c.Receive(buffer, sizeof buffer, 0);
        EXPECT_EQ(r.status, ReceiveStatus::Data);
        EXPECT_EQ(r.bytes, 0);
        EXPECT_EQ(ReceiveBytes(peer.Get(), 2, 300), probe) << "after a receive of nothing";

        const auto last = Pattern(10);
        ASSERT_TRUE(SendAll(peer.Get(), last));
        ASSERT_EQ(::shutdown(peer.Get(), SHUT_WR), 0);
        std::vector<std::uint8_t> got;
        EXPECT_EQ(ReceiveUntil(c, got, last.size(), 2000), ReceiveStatus::Data);
        EXPECT_EQ(got, last) << "the end is reported only after the last bytes";
        r = c.Receive(buffer, sizeof buffer, 500);
        EXPECT_EQ(r.status, ReceiveStatus::PeerClosed);
        EXPECT_EQ(r.code, RC_OK);
        EXPECT_EQ(r.bytes, 0);
        EXPECT_TRUE(c.Connected());
        EXPECT_FALSE(c.Broken());
        EXPECT_EQ(ReceiveBytes(peer.Get(), 2, 300), probe) << "after the end of stream";
        EXPECT_EQ(c.Close(), RC_OK);
    }
}

TEST_P(TcpStreamTest, PeerThatResetsBreaksTheConnection) {
    Fd peer = Establish();
    ASSERT_TRUE(peer.Valid());
    ResetOnClose(peer.Get());
    peer.Close();
    std::uint8_t buffer[64];
    const Received r = conn.Receive(buffer, sizeof buffer, 2000);
    EXPECT_EQ(r.status, ReceiveStatus::Broken);
    EXPECT_EQ(r.code, RC_SOCKET_ERROR);
    EXPECT_TRUE(conn.Broken());
    EXPECT_FALSE(conn.Connected());
    EXPECT_EQ(conn.Receive(buffer, sizeof buffer, 0).status, ReceiveStatus::Refused) << "broken until Connect";
}

std::atomic<int> brokenPipeSignals{0};
extern "C" void CountBrokenPipe(int) { brokenPipeSignals.fetch_add(1); }

TEST_P(TcpStreamTest, SendToAVanishedPeerFailsWithoutSignalAndConnectRebuilds) {
    Fd peer = Establish();
    ASSERT_TRUE(peer.Valid());
    peer.Close();
    // The first send after the peer's close draws a reset; the next one meets a broken pipe.
    std::uint8_t byte = 1;
    ASSERT_EQ(conn.Send(&byte, 1).code, RC_OK);
    ASSERT_TRUE(WaitUntil([&] {
        pollfd p{static_cast<int>(conn.DataSocket().Handle()), POLLOUT, 0};
        return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP));
    }));

    struct sigaction counting {}, previous{};
    counting.sa_handler = CountBrokenPipe;
    sigemptyset(&counting.sa_mask);
    ASSERT_EQ(::sigaction(SIGPIPE, &counting, &previous), 0);
    brokenPipeSignals = 0;
    const Sent sent = conn.Send(&byte, 1);
    ::sigaction(SIGPIPE, &previous, nullptr);

    EXPECT_EQ(sent.code, RC_SOCKET_ERROR);
    EXPECT_EQ(sent.bytes, 0);
    EXPECT_EQ(brokenPipeSignals.load(), 0) << "a send raised SIGPIPE";
    EXPECT_TRUE(conn.Broken());
    EXPECT_FALSE(conn.Connected());
    EXPECT_TRUE(conn.IsOpen());
    EXPECT_EQ(conn.Send(&byte, 1).code, RC_CONNECTION_ERROR) << "broken until Connect";

    Fd next = Reconnect(kPeerFrom2);
    ASSERT_TRUE(next.Valid());
    EXPECT_FALSE(conn.Broken());
    if (Server()) {
        EXPECT_EQ(conn.Address(), kPeerFrom2);
    }
    auto message = Pattern(300);
    ASSERT_EQ(SendBytes(conn, message).code, RC_OK);
    EXPECT_EQ(ReceiveBytes(next.Get(), message.size(), 2000), message);
}

TEST_P(TcpStreamTest, PeerThatStopsReadingTimesOutAndBreaksTheConnection) {
    Fd peer = Establish();
    ASSERT_TRUE(peer.Valid());
    // Far more than both socket buffers hold, so the send must stall.
    std::vector<std::uint8_t> flood(32u << 20, 0xab);
    const auto start = Clock::now();
    const Sent sent = SendBytes(conn, flood);
    const auto elapsed = ElapsedMs(start);

    EXPECT_EQ(sent.code, RC_TIMEOUT);
    EXPECT_GE(elapsed, SocketConnection::kSendStallMs - 100);
    EXPECT_LT(elapsed, 3 * SocketConnection::kSendStallMs);
    EXPECT_GT(sent.bytes, 0);
    EXPECT_LT(sent.bytes, static_cast<std::int32_t>(flood.size()));
    // Part of a message sits at the peer: the stream is no longer usable.
    EXPECT_TRUE(conn.Broken());
    EXPECT_FALSE(conn.Connected());

    const std::uint16_t stalledPort = LocalPort(static_cast<int>(conn.DataSocket().Handle()));
    Fd next = Reconnect(kPeerFrom2);
    ASSERT_TRUE(next.Valid());
    EXPECT_FALSE(conn.Broken());
    if (!Server()) {
        EXPECT_NE(LocalPort(static_cast<int>(conn.DataSocket().Handle())), stalledPort) << "no new socket";
    }
    EXPECT_TRUE(WaitForEndOfStream(peer.Get(), 5000)) << "the stalled connection was not closed";
    auto message = Pattern(500, 9);
    ASSERT_EQ(SendBytes(conn, message).code, RC_OK);
    EXPECT_EQ(ReceiveBytes(next.Get(), message.size(), 2000), message);
}

INSTANTIATE_TEST_SUITE_P(Types, TcpStreamTest, ::testing::Values(TCP_SERVER, TCP_CLIENT),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return info.param == TCP_SERVER ? std::string("Server") : std::string("Client");
                         });

// ------------------------------------------------------------------------------------------
// UDP_SINGLECAST

class UdpTest : public SocketConnectionTest {
protected:
    // A connection bound to kUdpHost:udpPort that sends to the peer.
    void OpenBound() {
        ASSERT_EQ(conn.Open(UDP_SINGLECAST, udpPeerPort, kUdpPeer, udpPort, kUdpHost), RC_OK);
        peer = UdpSocket(kUdpPeer, udpPeerPort);
        ASSERT_TRUE(peer.Valid());
    }

    void PeerSends(const std::vector<std::uint8_t>& datagram) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(udpPort);
        inet_pton(AF_INET, kUdpHost, &to.sin_addr);
        ASSERT_EQ(::sendto(peer.Get(), datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to),
                           sizeof to),
                  static_cast<ssize_t>(datagram.size()));
    }

    // One datagram as the peer receives it; empty optional-like result: ok == false.
    std::vector<std::uint8_t> PeerReceives(bool& ok) {
        std::vector<std::uint8_t> buffer(70000);
        ok = WaitReadable(peer.Get(), 2000);
        if (!ok) return {};
        ssize_t n = ::recv(peer.Get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        ok = n >= 0;
        buffer.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return buffer;
    }

    Fd peer;
};

TEST_F(UdpTest, BoundSocketIsConnectedAtOnceAndReceivesWholeDatagrams) {
    OpenBound();
    EXPECT_TRUE(conn.Connected());
    EXPECT_EQ(LocalAddress(static_cast<int>(conn.DataSocket().Handle())), kUdpHost);
    EXPECT_EQ(LocalPort(static_cast<int>(conn.DataSocket().Handle())), udpPort);
    ExpectNonBlockingCloseOnExec(conn.DataSocket().Handle());
    EXPECT_EQ(conn.Connect(0), RC_OK);

    const std::vector<std::vector<std::uint8_t>> datagrams = {Pattern(1), Pattern(1400, 3), Pattern(9000, 5)};
    for (const auto& d : datagrams) PeerSends(d);
    std::vector<std::uint8_t> buffer(65536);
    for (const auto& d : datagrams) {
        const Received r = conn.Receive(buffer.data(), static_cast<std::int32_t>(buffer.size()), 1000);
        ASSERT_EQ(r.status, ReceiveStatus::Data);
        EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + r.bytes), d);
    }
}

TEST_F(UdpTest, UnboundSocketSendsFromAnEphemeralPortAndHearsTheReply) {
    ASSERT_EQ(conn.Open(UDP_SINGLECAST, udpPeerPort, kUdpPeer, 0, ""), RC_OK);
    EXPECT_TRUE(conn.Connected());
    EXPECT_EQ(LocalPort(static_cast<int>(conn.DataSocket().Handle())), 0) << "bound although asked not to";
    peer = UdpSocket(kUdpPeer, udpPeerPort);
    ASSERT_TRUE(peer.Valid());

    auto message = Pattern(100);
    const Sent sent = SendBytes(conn, message);
    ASSERT_EQ(sent.code, RC_OK);
    EXPECT_EQ(sent.bytes, 100);
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    std::vector<std::uint8_t> got(200);
    ASSERT_TRUE(WaitReadable(peer.Get(), 2000));
    ssize_t n = ::recvfrom(peer.Get(), got.data(), got.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    ASSERT_EQ(n, 100);
    got.resize(100);
    EXPECT_EQ(got, message);

    auto reply = Pattern(40, 8);
    ASSERT_EQ(::sendto(peer.Get(), reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), fromLength),
              40);
    std::vector<std::uint8_t> buffer(1000);
    const Received r = conn.Receive(buffer.data(), static_cast<std::int32_t>(buffer.size()), 1000);
    ASSERT_EQ(r.status, ReceiveStatus::Data);
    buffer.resize(static_cast<std::size_t>(r.bytes));
    EXPECT_EQ(buffer, reply);
}

TEST_F(UdpTest, DatagramSizeLimitAndEmptyDatagram) {
    OpenBound();
    auto largest = Pattern(SocketConnection::kMaxDatagram, 4);
    Sent sent = SendBytes(conn, largest);
    ASSERT_EQ(sent.code, RC_OK);
    EXPECT_EQ(sent.bytes, SocketConnection::kMaxDatagram);
    bool ok = false;
    EXPECT_EQ(PeerReceives(ok), largest);
    EXPECT_TRUE(ok);

    std::vector<std::uint8_t> tooLong(SocketConnection::kMaxDatagram + 1);
    for (const std::int32_t length : {SocketConnection::kMaxDatagram + 1, -1}) {
        sent = conn.Send(tooLong.data(), length);
        EXPECT_EQ(sent.code, RC_INVALID_ARGUMENT);
        EXPECT_EQ(sent.bytes, 0);
    }
    EXPECT_TRUE(conn.Connected());
    EXPECT_FALSE(conn.Broken());
    EXPECT_FALSE(WaitReadable(peer.Get(), 100)) << "a refused datagram went out";

    sent = conn.Send(largest.data(), 0);
    EXPECT_EQ(sent.code, RC_OK);
    EXPECT_EQ(sent.bytes, 0);
    auto empty = PeerReceives(ok);
    EXPECT_TRUE(ok) << "no empty datagram arrived";
    EXPECT_TRUE(empty.empty());
}

TEST_F(UdpTest, SendWithoutADestinationIsRefused) {
    ASSERT_EQ(conn.Open(UDP_SINGLECAST, udpPeerPort, "", udpPort, kUdpHost), RC_OK);
    auto message = Pattern(10);
    const Sent sent = SendBytes(conn, message);
    EXPECT_EQ(sent.code, RC_INVALID_ARGUMENT);
    EXPECT_EQ(sent.bytes, 0);
    EXPECT_TRUE(conn.Connected());
    EXPECT_FALSE(conn.Broken());
}

TEST_F(UdpTest, DatagramLongerThanTheBufferIsLostWithoutBreakingTheConnection) {
    OpenBound();
    PeerSends(Pattern(1000));
    auto after = Pattern(50, 6);
    PeerSends(after);

    std::vector<std::uint8_t> buffer(100);
    Received r = conn.Receive(buffer.data(), static_cast<std::int32_t>(buffer.size()), 1000);
    EXPECT_EQ(r.status, ReceiveStatus::DatagramTooLong);
    EXPECT_EQ(r.code, RC_OK);
    EXPECT_EQ(r.bytes, 0) << "no part of a lost datagram is handed on";
    EXPECT_TRUE(conn.Connected());
    EXPECT_FALSE(conn.Broken());

    r = conn.Receive(buffer.data(), static_cast<std::int32_t>(buffer.size()), 1000);
    ASSERT_EQ(r.status, ReceiveStatus::Data);
    buffer.resize(static_cast<std::size_t>(r.bytes));
    EXPECT_EQ(buffer, after);
}

TEST_F(UdpTest, ReceiveWaitsOnlyAsLongAsAsked) {
    OpenBound();
    ExpectQuietReceiveWaitsOnlyAsLongAsAsked(conn);
}

TEST_F(UdpTest, AsksForALargeReceiveBuffer) {
    OpenBound();
    long limit = SocketConnection::kUdpReceiveBuffer;
    std::ifstream rmemMax("/proc/sys/net/core/rmem_max");
    long systemMax = 0;
    if (rmemMax >> systemMax && systemMax < limit) limit = systemMax;
    int size = 0;
    socklen_t length = sizeof size;
    ASSERT_EQ(::getsockopt(static_cast<int>(conn.DataSocket().Handle()), SOL_SOCKET, SO_RCVBUF, &size, &length), 0);
    // Linux reports twice the size asked for; a capped size is still the most permitted.
    EXPECT_GE(size, limit);
}

TEST_F(UdpTest, WaitsWorkOnDescriptorsBeyondTheSelectLimit) {
    rlimit files{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
    constexpr int kHigh = 1500;
    if (files.rlim_cur <= kHigh) {
        rlimit raised = files;
        raised.rlim_cur = files.rlim_max == RLIM_INFINITY || files.rlim_max > 4096 ? 4096 : files.rlim_max;
        if (raised.rlim_cur <= kHigh || ::setrlimit(RLIMIT_NOFILE, &raised) != 0)
            GTEST_SKIP() << "cannot hold descriptors above " << kHigh;
    }
    // Every descriptor below kHigh is taken, so the connection's socket gets a higher one.
    Fd null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(null.Valid());
    std::vector<Fd> fillers;
    for (int fd = 0; fd >= 0 && fd < kHigh - 1;) {
        fd = ::fcntl(null.Get(), F_DUPFD_CLOEXEC, 0);
        if (fd >= 0) fillers.emplace_back(fd);
    }
    const std::uint16_t port = FreeUdpPort(kHighFdHost);
    ASSERT_EQ(conn.Open(UDP_SINGLECAST, 0, "", port, kHighFdHost), RC_OK);
    ASSERT_GE(static_cast<int>(conn.DataSocket().Handle()), kHigh);
    fillers.clear();

    std::uint8_t buffer[64];
    EXPECT_EQ(conn.Receive(buffer, sizeof buffer, 100).status, ReceiveStatus::Timeout);
    Fd sender = UdpSocket("", 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, kHighFdHost, &to.sin_addr);
    const std::uint8_t datagram[3] = {1, 2, 3};
    ASSERT_EQ(::sendto(sender.Get(), datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 3);
    const Received r = conn.Receive(buffer, sizeof buffer, 1000);
    EXPECT_EQ(r.status, ReceiveStatus::Data);
    EXPECT_EQ(r.bytes, 3);
    EXPECT_EQ(conn.DataSocket().WaitWritable(100), RC_OK);
    EXPECT_EQ(conn.Close(), RC_OK);
}

TEST(SocketBaseTest, WaitsOnAMissingHandleFail) {
    SocketBase none;
    EXPECT_FALSE(none.Valid());
    EXPECT_EQ(none.WaitReadable(0), RC_SOCKET_ERROR);
    EXPECT_EQ(none.WaitWritable(10), RC_SOCKET_ERROR);
}

} // namespace
