#pragma once

// Non-blocking socket connection for the data stream and the command channel. Every wait is
// an explicit readiness wait bounded by the caller's time-out. Sockets are closed only by
// Close, never by a destructor.

#include <cstdint>
#include <string>

#include "net/Platform.h"
#include "vita49/Vita49Types.h"

namespace vita49::net {

// One socket handle and what is known of it.
class SocketBase {
public:
    virtual ~SocketBase() = default;

    NativeSocket handle = kInvalidSocket;
    std::int32_t family = kFamilyNone;
    std::int32_t type = 0;
    bool nonBlocking = false;

    bool Valid() const { return handle != kInvalidSocket; }

    // Creates the platform socket; RC_SOCKET_ERROR on failure.
    RETURN_CODE Create(std::int32_t socketFamily, std::int32_t socketType);
    RETURN_CODE Close();
    RETURN_CODE SetNonBlocking();
    RETURN_CODE EnableLoopbackFastPath();
    RETURN_CODE SetReceiveBufferSize();
    RETURN_CODE Bind(std::uint16_t port, const std::string& address);
    RETURN_CODE Listen();
    RETURN_CODE Accept(SocketBase& target, std::string& peer, std::int32_t timeoutMs);
    RETURN_CODE ConnectTo(const std::string& address, std::uint16_t port, std::int32_t timeoutMs);
    RETURN_CODE SendTo(const void* bytes, std::int32_t& length, const std::string& address, std::uint16_t port);
    RETURN_CODE WaitReadable(std::int32_t timeoutMs);
    // Writable with an established connection; a failed connect attempt is not writable.
    RETURN_CODE WaitWritable(std::int32_t timeoutMs);
    RETURN_CODE JoinMulticastGroup(const std::string& group);
};

// Dotted IPv4 text of a host name or address; false leaves the text as it was.
bool ResolveToIPv4(std::string& text);

// One connection of a CONNECTION_TYPE: Open, Connect until connected, Send and Receive,
// Connect again whenever not connected, Close. Used by one thread at a time.
class SocketConnection {
public:
    // Receive buffer asked for on every UDP socket.
    static constexpr int kUdpReceiveBuffer = 33554432;
    // A send that makes no progress for this long gives up.
    static constexpr std::int32_t kSendStallMs = 3000;
    // The largest datagram payload.
    static constexpr std::int32_t kMaxDatagram = 65507;

    virtual ~SocketConnection() = default;

    RETURN_CODE Open(std::int32_t type, std::uint16_t remotePort, const char* remoteAddress,
                     std::uint16_t localPort, const char* localAddress);
    RETURN_CODE Connect(std::int32_t timeoutMs);
    // Sends all bytes: length in = bytes to send, out = bytes sent.
    RETURN_CODE Send(const void* bytes, std::int32_t& length);
    // At most one receive: length in = capacity, out = bytes received (0 = none or peer closed).
    RETURN_CODE Receive(void* buffer, std::int32_t& length, std::int32_t timeoutMs);
    RETURN_CODE Close();
    // Ends the sending direction, then reads and discards until the peer closes its side or
    // `lingerMs` passes, so that a close after it is an orderly one and no command already
    // sent is thrown away by a reset. Open TCP connections only; does not close.
    void DrainBeforeClose(std::int32_t lingerMs);

    bool IsTcp() const { return connectionType < 2; }

    SocketBase listenSocket;
    SocketBase dataSocket;
    std::uint32_t ipVersion = 2;      // 0 IPv4, 1 IPv6, 2 not yet set
    std::uint32_t connectionType = CONNECTION_NONE;
    std::uint16_t port = 0;
    std::string address;              // resolved remote address; the peer for TCP_SERVER
    bool socketError = false;
    bool connected = false;
    bool open = false;
    // Set by Receive when a datagram did not fit the buffer and was lost; the connection
    // stays usable (a stray datagram must not end a stream).
    bool datagramTruncated = false;
    // Set by Receive when a TCP peer has ended its sending direction: no byte can follow.
    bool peerClosed = false;

private:
    RETURN_CODE SendStream(const std::uint8_t* bytes, std::int32_t& length);
    RETURN_CODE MarkBroken(RETURN_CODE rc);
};

// The receiver's connection.
class Vita49_IO : public SocketConnection {};

} // namespace vita49::net
