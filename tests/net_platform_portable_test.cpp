// The connection layer against itself on loopback, with no socket call of the test's own, so
// that the same program runs on POSIX and on Windows (there: under wine, in the Windows
// stage) and checks both platform layers the same way: a stream both ways, a peer that
// leaves, a refused connect, whole datagrams and an over-long one.
//
// Addresses: 127.0.7.30 - 127.0.7.39. A TCP server listens on every address, so its port is
// one that nothing else here uses.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "net/SocketConnection.h"
#include "net/SocketLibrary.h"
#include "support/ConnectionChecks.h"

namespace {

using namespace vita49::net;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kServerPort = 47301;
constexpr std::uint16_t kRefusedPort = 47302;
constexpr std::uint16_t kUdpPort = 47303;
constexpr std::uint16_t kFastPathPort = 47304; // a port of its own: CTest may run tests side by side

Bytes Pattern(std::size_t n, std::uint8_t seed) {
    Bytes v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 13);
    return v;
}

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

// Receives until `count` bytes came, nothing more can come, or `limitMs` passed.
Bytes ReceiveAll(SocketConnection& c, std::size_t count, long long limitMs) {
    Bytes out;
    const auto start = Clock::now();
    std::uint8_t buffer[8192];
    while (out.size() < count && MsSince(start) < limitMs) {
        const Received r = c.Receive(buffer, sizeof buffer, 100);
        if (r.status != ReceiveStatus::Data && r.status != ReceiveStatus::Timeout) break;
        out.insert(out.end(), buffer, buffer + r.bytes);
    }
    return out;
}

Sent SendBytes(SocketConnection& c, const Bytes& bytes) {
    return c.Send(bytes.data(), static_cast<std::int32_t>(bytes.size()));
}

class PortableLoopback : public ::testing::Test {
protected:
    void SetUp() override { AcquireSocketLibrary(); }
    void TearDown() override {
        for (SocketConnection* c : {&server_, &client_, &udpReceiver_, &udpSender_})
            if (c->IsOpen()) c->Close();
        ReleaseSocketLibrary();
    }

    // A TCP server and a client connected to it.
    void Connect() {
        ASSERT_EQ(server_.Open(TCP_SERVER, kServerPort, "", 0, ""), RC_OK);
        ASSERT_EQ(client_.Open(TCP_CLIENT, kServerPort, "127.0.7.30", 0, ""), RC_OK);
        const auto start = Clock::now();
        while ((!server_.Connected() || !client_.Connected()) && MsSince(start) < 5000) {
            client_.Connect(50);
            server_.Connect(50);
        }
        ASSERT_TRUE(server_.Connected() && client_.Connected());
        EXPECT_EQ(server_.Address().rfind("127.", 0), 0u) << "the peer's numeric address: " << server_.Address();
    }

    SocketConnection server_, client_, udpReceiver_, udpSender_;
};

TEST_F(PortableLoopback, TcpCarriesBytesBothWaysAndReportsAPeerThatLeft) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    const Bytes up = Pattern(300000, 1), down = Pattern(70000, 2);
    // The server takes the bytes while the client is still sending them.
    Bytes received;
    std::thread reader([&] { received = ReceiveAll(server_, up.size(), 10000); });
    const Sent sent = SendBytes(client_, up);
    EXPECT_EQ(sent.code, RC_OK);
    EXPECT_EQ(sent.bytes, static_cast<std::int32_t>(up.size()));
    reader.join();
    EXPECT_EQ(received, up);
    EXPECT_EQ(SendBytes(server_, down).code, RC_OK);
    EXPECT_EQ(ReceiveAll(client_, down.size(), 10000), down);

    // Nothing to read: the wait lasts as long as asked, and changes no flag.
    vita49::test::ExpectQuietReceiveWaitsOnlyAsLongAsAsked(server_, 300);

    // The client leaves: the server's receive says so, and a send then fails.
    ASSERT_EQ(client_.Close(), RC_OK);
    std::uint8_t byte = 0;
    const Received end = server_.Receive(&byte, 1, 2000);
    EXPECT_EQ(end.status, ReceiveStatus::PeerClosed);
    EXPECT_EQ(end.code, RC_OK);
    EXPECT_EQ(end.bytes, 0);
    RETURN_CODE rc = RC_OK;
    const auto start = Clock::now();
    while (rc == RC_OK && MsSince(start) < 5000) {
        const std::uint8_t probe = 0;
        rc = server_.Send(&probe, 1).code;
        if (rc == RC_OK) std::this_thread::sleep_for(milliseconds(20));
    }
    EXPECT_EQ(rc, RC_SOCKET_ERROR);
    EXPECT_TRUE(server_.Broken());
    EXPECT_FALSE(server_.Connected());
}

// The fast-path name asks for the platform's loopback option where there is one; either way
// it stands for 127.0.0.1, without a name lookup.
TEST_F(PortableLoopback, LoopbackFastPathNameConnectsOnEveryPlatform) {
    ASSERT_EQ(server_.Open(TCP_SERVER, kFastPathPort, "LoopbackFastPath", 0, ""), RC_OK);
    ASSERT_EQ(client_.Open(TCP_CLIENT, kFastPathPort, "LoopbackFastPath", 0, ""), RC_OK);
    EXPECT_EQ(client_.Address(), "127.0.0.1");
    const auto start = Clock::now();
    while ((!server_.Connected() || !client_.Connected()) && MsSince(start) < 5000) {
        client_.Connect(50);
        server_.Connect(50);
    }
    ASSERT_TRUE(server_.Connected() && client_.Connected());
    const Bytes bytes = Pattern(1000, 6);
    EXPECT_EQ(SendBytes(client_, bytes).code, RC_OK);
    EXPECT_EQ(ReceiveAll(server_, bytes.size(), 5000), bytes);
}

TEST_F(PortableLoopback, RefusedConnectNeverBecomesAConnection) {
    ASSERT_EQ(client_.Open(TCP_CLIENT, kRefusedPort, "127.0.7.31", 0, ""), RC_OK);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const auto start = Clock::now();
        EXPECT_EQ(client_.Connect(200), RC_TIMEOUT) << "attempt " << attempt;
        EXPECT_GE(MsSince(start), 150);
        EXPECT_FALSE(client_.Connected());
    }
}

TEST_F(PortableLoopback, DatagramsArriveWholeAndAnOverLongOneIsOnlyLost) {
    ASSERT_EQ(udpReceiver_.Open(UDP_SINGLECAST, 0, "", kUdpPort, "127.0.7.32"), RC_OK);
    ASSERT_EQ(udpSender_.Open(UDP_SINGLECAST, kUdpPort, "127.0.7.32", 0, ""), RC_OK);
    const Bytes first = Pattern(1200, 3), tooLong = Pattern(5000, 4), last = Pattern(900, 5);
    for (const Bytes* d : {&first, &tooLong, &last}) {
        const Sent sent = SendBytes(udpSender_, *d);
        ASSERT_EQ(sent.code, RC_OK);
        EXPECT_EQ(sent.bytes, static_cast<std::int32_t>(d->size()));
    }
    Bytes buffer(4096);
    const auto capacity = static_cast<std::int32_t>(buffer.size());
    Received r = udpReceiver_.Receive(buffer.data(), capacity, 2000);
    ASSERT_EQ(r.status, ReceiveStatus::Data);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + r.bytes), first);

    r = udpReceiver_.Receive(buffer.data(), capacity, 2000);
    EXPECT_EQ(r.status, ReceiveStatus::DatagramTooLong);
    EXPECT_EQ(r.code, RC_OK);
    EXPECT_EQ(r.bytes, 0) << "no part of a lost datagram is handed on";
    EXPECT_TRUE(udpReceiver_.Connected());
    EXPECT_FALSE(udpReceiver_.Broken());

    r = udpReceiver_.Receive(buffer.data(), capacity, 2000);
    ASSERT_EQ(r.status, ReceiveStatus::Data);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + r.bytes), last);
}

} // namespace
