#include "support/StreamPeer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace vita49::test {

bool StreamPeer::Open(Vita49Receiver& receiver, CONNECTION_TYPE type, const std::string& address,
                      std::uint32_t streamId, const Vita49_Receiver_Settings& settings) {
    type_ = type;
    address_ = address;
    switch (type) {
    case TCP_SERVER:
        port_ = FreeTcpPort();
        receiver.Init(BaseSettings(TCP_SERVER, address, port_, 0, "", streamId), settings);
        break;
    case TCP_CLIENT:
        listener_ = TcpListener(address, 0);
        port_ = listener_.Valid() ? LocalPort(listener_.Get()) : 0;
        receiver.Init(BaseSettings(TCP_CLIENT, address, port_, 0, "", streamId), settings);
        break;
    default:
        port_ = FreeUdpPort(address);
        receiver.Init(BaseSettings(UDP_SINGLECAST, "", 0, port_, address, streamId), settings);
        break;
    }
    EXPECT_NE(port_, 0) << "no port on " << address;
    const RETURN_CODE rc = receiver.Open();
    EXPECT_EQ(rc, RC_OK);
    if (port_ == 0 || rc != RC_OK) return false;

    if (type == TCP_SERVER)
        peer_ = TcpConnect(address, port_, address, 3000);
    else if (type == TCP_CLIENT)
        peer_ = AcceptWithin(listener_.Get(), 3000);
    else
        peer_ = UdpSocket(address, 0);
    EXPECT_TRUE(peer_.Valid()) << "the peer did not connect";
    if (!peer_.Valid()) return false;
    if (type != UDP_SINGLECAST) {
        // Small writes go out at once, so that a test controls how the stream is cut.
        int one = 1;
        ::setsockopt(peer_.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return true;
}

bool StreamPeer::Send(const std::uint8_t* bytes, std::size_t length, int timeoutMs) {
    if (type_ != UDP_SINGLECAST) return SendAll(peer_.Get(), bytes, length, timeoutMs);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port_);
    if (inet_pton(AF_INET, address_.c_str(), &to.sin_addr) != 1) return false;
    return ::sendto(peer_.Get(), bytes, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(length);
}

void StreamPeer::Close() {
    peer_.Close();
    listener_.Close();
}

} // namespace vita49::test
