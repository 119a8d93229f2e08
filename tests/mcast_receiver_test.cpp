// UDP_MULTICAST: the receiver joins a group and gets what a plain socket sends to it. Runs
// inside a private network namespace (tests/run_in_netns.sh) whose only interface is the
// loopback; outside one it skips, so that no group join reaches a real network.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "net/SocketConnection.h"
#include "support/LoopbackPeer.h"
#include "vita49/Vita49Receiver.h"

namespace {

using namespace vita49::test;
using std::chrono::milliseconds;

constexpr const char* kGroup = "239.1.1.1";
constexpr const char* kOtherGroup = "239.1.1.2";
constexpr std::uint16_t kPort = 29801;
constexpr std::uint32_t kStream = 0x4D430001;
constexpr std::size_t kPayload = 512;

// True when every network interface of this namespace is a loopback.
bool OnlyLoopback() {
    struct if_nameindex* names = ::if_nameindex();
    if (!names) return false;
    bool only = true;
    for (struct if_nameindex* n = names; n->if_index != 0; ++n)
        if (std::strcmp(n->if_name, "lo") != 0) only = false;
    ::if_freenameindex(names);
    return only;
}

// A plain sender whose datagrams stay on this host: time-to-live 0, looped back locally.
class GroupSender {
public:
    GroupSender() : socket_(UdpSocket("", 0)) {
        int ttl = 0;
        int loop = 1;
        in_addr lo{};
        lo.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = socket_.Valid() &&
              ::setsockopt(socket_.Get(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) == 0 &&
              ::setsockopt(socket_.Get(), IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) == 0 &&
              ::setsockopt(socket_.Get(), IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo) == 0;
    }
    bool Ok() const { return ok_; }
    bool Send(const char* group, const std::vector<std::uint8_t>& datagram) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(kPort);
        inet_pton(AF_INET, group, &to.sin_addr);
        return ::sendto(socket_.Get(), datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to),
                        sizeof to) == static_cast<ssize_t>(datagram.size());
    }

private:
    Fd socket_;
    bool ok_ = false;
};

struct Seen {
    std::mutex mutex;
    std::condition_variable cv;
    int data = 0;
    int info = 0;
    std::uint32_t packetsReceived = 0;
    std::vector<std::uint8_t> lastPayload;

    void Attach(Vita49Receiver& receiver) {
        receiver.SetDataCallback([this](const Vita49_Info&, const Vita49_Context&, const Vita49_Data& d) {
            std::lock_guard<std::mutex> lock(mutex);
            ++data;
            packetsReceived = d.packetsReceived;
            lastPayload.assign(d.packet + d.payloadOffset, d.packet + d.payloadOffset + d.payloadSize);
            cv.notify_all();
        });
        receiver.SetInfoCallback([this](const Vita49_Info&) {
            std::lock_guard<std::mutex> lock(mutex);
            ++info;
            cv.notify_all();
        });
    }
    bool WaitForData(int count) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, milliseconds(5000), [&] { return data >= count; });
    }
    void Reset() {
        std::lock_guard<std::mutex> lock(mutex);
        data = info = 0;
        packetsReceived = 0;
        lastPayload.clear();
    }
};

class MulticastTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!OnlyLoopback()) GTEST_SKIP() << "not inside a private network namespace; run through ctest";
        ASSERT_TRUE(sender.Ok());
    }

    static Vita49_Base_Settings Settings() {
        return BaseSettings(UDP_MULTICAST, kGroup, 0, kPort, "", kStream);
    }

    GroupSender sender;
    Seen seen;
};

TEST_F(MulticastTest, ReceiverGetsWhatIsSentToItsGroup) {
    Vita49Receiver receiver;
    seen.Attach(receiver);
    receiver.Init(Settings(), ReceiverSettings());
    ASSERT_EQ(receiver.Open(), RC_OK);

    // A group nobody joined reaches nobody; the packet after it arrives alone.
    ASSERT_TRUE(sender.Send(kOtherGroup, DataPacket(kStream, 0, kPayload, 0x40)));
    for (std::uint8_t count = 0; count < 5; ++count)
        ASSERT_TRUE(sender.Send(kGroup, DataPacket(kStream, count, kPayload, count)));
    ASSERT_TRUE(seen.WaitForData(5));
    EXPECT_EQ(receiver.Close(), RC_OK);

    std::lock_guard<std::mutex> lock(seen.mutex);
    EXPECT_EQ(seen.data, 5);
    EXPECT_EQ(seen.packetsReceived, 5u);
    EXPECT_EQ(seen.info, 0);
    const auto expected = DataPacket(kStream, 4, kPayload, 4);
    EXPECT_EQ(seen.lastPayload, std::vector<std::uint8_t>(expected.end() - kPayload, expected.end()));
}

TEST_F(MulticastTest, OpenCloseCyclesRejoinTheGroup) {
    const int descriptors = OpenDescriptorCount();
    Vita49Receiver receiver;
    seen.Attach(receiver);
    receiver.Init(Settings(), ReceiverSettings());
    for (int cycle = 0; cycle < 3; ++cycle) {
        SCOPED_TRACE(cycle);
        seen.Reset();
        ASSERT_EQ(receiver.Open(), RC_OK);
        ASSERT_TRUE(sender.Send(kGroup, DataPacket(kStream, 0, kPayload)));
        EXPECT_TRUE(seen.WaitForData(1));
        EXPECT_EQ(receiver.Close(), RC_OK);
        EXPECT_EQ(OpenDescriptorCount(), descriptors);
    }
}

TEST_F(MulticastTest, DestroyingAnOpenMulticastReceiver) {
    const int descriptors = OpenDescriptorCount();
    {
        Vita49Receiver receiver;
        seen.Attach(receiver);
        receiver.Init(Settings(), ReceiverSettings());
        ASSERT_EQ(receiver.Open(), RC_OK);
        ASSERT_TRUE(sender.Send(kGroup, DataPacket(kStream, 0, kPayload)));
        EXPECT_TRUE(seen.WaitForData(1));
    }
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
}

// Two applications on one stream: both receivers of the group and port get every packet.
// Only multicast receivers share the port: a unicast receiver neither joins them nor lets one
// join it, and two unicast receivers never share one.
TEST_F(MulticastTest, TwoReceiversOfOneGroupAndPortEachGetEveryPacket) {
    Seen other;
    Vita49Receiver first, second;
    seen.Attach(first);
    other.Attach(second);
    first.Init(Settings(), ReceiverSettings());
    second.Init(Settings(), ReceiverSettings());
    ASSERT_EQ(first.Open(), RC_OK);
    ASSERT_EQ(second.Open(), RC_OK);

    Vita49Receiver unicast;
    unicast.Init(BaseSettings(UDP_SINGLECAST, "", 0, kPort, "", kStream), ReceiverSettings());
    EXPECT_EQ(unicast.Open(), RC_SOCKET_ERROR) << "a unicast receiver took the shared port";

    constexpr int kPackets = 50;
    for (int count = 0; count < kPackets; ++count) {
        ASSERT_TRUE(sender.Send(kGroup, DataPacket(kStream, static_cast<std::uint8_t>(count & 15), kPayload,
                                                   static_cast<std::uint8_t>(count))));
        // Paced by the slower of the two, so that no socket buffer overflows.
        if (count % 10 == 9) {
            ASSERT_TRUE(seen.WaitForData(count + 1) && other.WaitForData(count + 1));
        }
    }
    ASSERT_TRUE(seen.WaitForData(kPackets));
    ASSERT_TRUE(other.WaitForData(kPackets));
    EXPECT_EQ(first.Close(), RC_OK);
    EXPECT_EQ(second.Close(), RC_OK);
    const auto last = DataPacket(kStream, (kPackets - 1) & 15, kPayload, kPackets - 1);
    for (Seen* s : {&seen, &other}) {
        std::lock_guard<std::mutex> lock(s->mutex);
        EXPECT_EQ(s->data, kPackets);
        EXPECT_EQ(s->packetsReceived, static_cast<std::uint32_t>(kPackets));
        EXPECT_EQ(s->info, 0);
        EXPECT_EQ(s->lastPayload, std::vector<std::uint8_t>(last.end() - kPayload, last.end()));
    }
}

TEST_F(MulticastTest, UnicastPortsStayExclusive) {
    Vita49Receiver unicast, again, multicast;
    unicast.Init(BaseSettings(UDP_SINGLECAST, "", 0, kPort, "", kStream), ReceiverSettings());
    ASSERT_EQ(unicast.Open(), RC_OK);
    again.Init(BaseSettings(UDP_SINGLECAST, "", 0, kPort, "", kStream), ReceiverSettings());
    EXPECT_EQ(again.Open(), RC_SOCKET_ERROR);
    multicast.Init(Settings(), ReceiverSettings());
    EXPECT_EQ(multicast.Open(), RC_SOCKET_ERROR) << "a multicast receiver took a unicast receiver's port";
    EXPECT_EQ(unicast.Close(), RC_OK);
    // Once the port is free, the multicast receiver opens.
    EXPECT_EQ(multicast.Open(), RC_OK);
    EXPECT_EQ(multicast.Close(), RC_OK);
}

TEST_F(MulticastTest, ConnectionJoinsOnlyAMulticastGroup) {
    const int descriptors = OpenDescriptorCount();
    vita49::net::Vita49_IO connection;
    for (const char* notAGroup : {"127.0.1.100", ""}) {
        SCOPED_TRACE(notAGroup);
        EXPECT_EQ(connection.Open(UDP_MULTICAST, 0, notAGroup, kPort, ""), RC_SOCKET_ERROR);
        EXPECT_FALSE(connection.IsOpen());
        EXPECT_EQ(OpenDescriptorCount(), descriptors) << "the failed join left its socket open";
    }

    ASSERT_EQ(connection.Open(UDP_MULTICAST, 0, kGroup, kPort, ""), RC_OK);
    EXPECT_TRUE(connection.Connected());
    ASSERT_TRUE(sender.Send(kGroup, DataPacket(kStream, 0, 64)));
    std::vector<std::uint8_t> buffer(2048);
    const vita49::net::Received r = connection.Receive(buffer.data(), static_cast<std::int32_t>(buffer.size()), 2000);
    EXPECT_EQ(r.status, vita49::net::ReceiveStatus::Data);
    EXPECT_EQ(static_cast<std::size_t>(r.bytes), DataPacket(kStream, 0, 64).size());
    EXPECT_EQ(connection.Close(), RC_OK);
}

} // namespace
