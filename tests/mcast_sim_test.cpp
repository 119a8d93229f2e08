// The simulated instrument's multicast stream, inside a private network namespace: the
// application asks for the group, the receiver joins it, and the datagrams go out with a
// TTL of 0 so that they never leave the host.

#ifndef _WIN32

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>

#include "sim/DataLink.h"
#include "support/SimSession.h"

namespace {

using Kind = vita49::test::CallbackRecorder::Kind;

constexpr const char* kGroup = "239.192.49.5";

class MulticastTest : public vita49::test::SimSession {};

TEST_F(MulticastTest, GroupStreamArrivesCompleteWithItsTone) {
    StartSim("127.0.5.100");
    // The instrument is told the group as the destination; the receiver joins that group.
    Vita49_Base_Settings command = Settings(UDP_MULTICAST, 0, 31600, kGroup);
    SetUpStream(command);
    ASSERT_EQ(control.ChangeCBW(100000), RC_OK);
    ASSERT_EQ(control.ChangeDataItemSize(32), RC_OK);
    Vita49_Base_Settings stream = command;
    std::snprintf(stream.remoteAddress, sizeof stream.remoteAddress, "%s", kGroup);
    std::snprintf(stream.localAddress, sizeof stream.localAddress, "%s", "");
    OpenReceiver(stream);
    ASSERT_EQ(control.StartVita49Stream(), RC_OK);
    ASSERT_TRUE(recorder.WaitForCount(Kind::Data, 40));
    StopAndDrain();
    receiver.Close();

    EXPECT_EQ(recorder.data.size(), sim->Stats().ifData);
    EXPECT_EQ(recorder.data.back().data.packetsLost, 0u);
    ASSERT_FALSE(recorder.contexts.empty());
    EXPECT_EQ(recorder.contexts.front().context.dataItemSize, 32);
    EXPECT_NEAR(RecordedToneHz(), sim->ToneOffsetHz(), 1.0);
}

TEST(MulticastLinkTest, DatagramsCarryTtlZero) {
    vita49::sim::StreamSettings settings;
    settings.type = vita49::sim::LinkType::UdpMulticast;
    settings.address = kGroup;
    settings.port = 31601;
    vita49::sim::DataLink link(settings, "127.0.5.101");
    std::atomic<bool> stop{false};
    std::string error;
    ASSERT_EQ(link.Establish(stop, error), vita49::sim::DataLink::Result::Ok) << error;
    unsigned char ttl = 255;
    socklen_t length = sizeof ttl;
    ASSERT_EQ(getsockopt(link.Handle(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &length), 0);
    EXPECT_EQ(ttl, 0);
    bool failed = true;
    const std::uint8_t packet[8] = {0x10, 0, 0, 2, 0, 0, 0, 1};
    EXPECT_EQ(link.Send(packet, sizeof packet, stop, failed), vita49::sim::DataLink::Result::Ok);
    EXPECT_FALSE(failed);
}

} // namespace

#endif
