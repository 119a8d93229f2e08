#pragma once

// The instrument's end of one stream connection, by the connection type the application
// chose: TCP_SERVER means the application listens and the instrument connects to
// address:port; TCP_CLIENT means the instrument listens on port (at its own address) and the
// application connects; the UDP types send datagrams to address:port, multicast with a TTL
// of 0 so that the stream never leaves this host. POSIX sockets.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/CommandParser.h"

namespace vita49::sim {

class DataLink {
public:
    enum class Result { Ok, Broken, Stopped };

    DataLink(const StreamSettings& settings, std::string ownAddress);
    ~DataLink();
    DataLink(const DataLink&) = delete;
    DataLink& operator=(const DataLink&) = delete;

    // Makes the link ready to carry packets, waiting (TCP) until the peer is there or `stop`
    // is set. Broken when it can never succeed (`error` says why).
    Result Establish(const std::atomic<bool>& stop, std::string& error);
    // One packet: a datagram (UDP) or bytes of the stream (TCP). A UDP send that fails is
    // dropped and counted in `failed`; TCP reports Broken when the peer has gone.
    Result Send(const std::uint8_t* bytes, std::size_t length, const std::atomic<bool>& stop, bool& failed);
    // TCP: reads away what the application wrote and reports Broken once it has gone, for a
    // link that sends nothing for a while. UDP: always Ok.
    Result Watch();
    // Drops the data connection; a TCP_CLIENT listener stays for the next Establish.
    void Disconnect();
    void Close();

    // The data socket (-1 when none), for tests that look at its options.
    int Handle() const { return fd_; }

    bool IsTcp() const { return settings_.type == LinkType::TcpServer || settings_.type == LinkType::TcpClient; }

private:
    Result Connect(const std::atomic<bool>& stop, std::string& error);
    Result Accept(const std::atomic<bool>& stop, std::string& error);
    // TCP: every few sends, reads away what the application wrote and sees its close.
    Result DrainNowAndThen();

    StreamSettings settings_;
    std::string ownAddress_;
    int fd_ = -1;
    int listenFd_ = -1;
    unsigned sendsSinceDrain_ = 0;
};

} // namespace vita49::sim
