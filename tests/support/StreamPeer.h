#pragma once

// The instrument's end of a receiver's stream in loopback tests: opens a Vita49Receiver for
// one connection type and connects a plain POSIX socket to it on one loopback address, with
// which the test then sends packets.
//   TCP_SERVER: the receiver listens on a free port, the peer connects from the same address.
//   TCP_CLIENT: the peer listens on the address, the receiver connects.
//   UDP_SINGLECAST: the receiver binds a free port of the address, the peer sends from it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/LoopbackPeer.h"
#include "vita49/Vita49Receiver.h"

namespace vita49::test {

class StreamPeer {
public:
    // Opens `receiver` and connects the peer; false (after a test failure) when either fails.
    bool Open(Vita49Receiver& receiver, CONNECTION_TYPE type, const std::string& address, std::uint32_t streamId,
              const Vita49_Receiver_Settings& settings = ReceiverSettings());

    // TCP: bytes of the stream, whole within timeoutMs. UDP: one datagram.
    bool Send(const std::uint8_t* bytes, std::size_t length, int timeoutMs = 5000);
    bool Send(const std::vector<std::uint8_t>& bytes, int timeoutMs = 5000) {
        return Send(bytes.data(), bytes.size(), timeoutMs);
    }

    // The peer's socket: the TCP connection, or the UDP sender.
    Fd& Socket() { return peer_; }
    void Close();

private:
    CONNECTION_TYPE type_ = CONNECTION_NONE;
    std::string address_;
    std::uint16_t port_ = 0;
    Fd listener_;
    Fd peer_;
};

} // namespace vita49::test
