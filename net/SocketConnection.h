#pragma once

// Non-blocking socket connection for the data stream and the command channel. Every wait is
// an explicit readiness wait bounded by the caller's time-out. Sockets are closed only by
// Close, never by a destructor.

#include <cstdint>
#include <string>

#include "net/Platform.h"
#include "vita49/Vita49Types.h"

namespace vita49::net {

// One IPv4 socket handle and its type.
class SocketBase {
public:
    virtual ~SocketBase() = default;

    NativeSocket Handle() const { return handle_; }
    bool Valid() const { return handle_ != kInvalidSocket; }

    // Creates the platform socket; RC_SOCKET_ERROR on failure.
    RETURN_CODE Create(std::int32_t socketType);
    RETURN_CODE Close();
    RETURN_CODE SetNonBlocking();
    RETURN_CODE EnableLoopbackFastPath();
    RETURN_CODE SetReceiveBufferSize();
    RETURN_CODE Bind(std::uint16_t port, const std::string& address);
    RETURN_CODE Listen();
    // Takes one pending client into `target`, which is left without a handle (and the result
    // RC_OK) when none is pending; `peer` gets the client's numeric address.
    RETURN_CODE Accept(SocketBase& target, std::string& peer, std::int32_t timeoutMs) const;
    // Starts or continues a connect; RC_TIMEOUT while the attempt has not succeeded.
    RETURN_CODE ConnectTo(const std::string& address, std::uint16_t port, std::int32_t timeoutMs) const;
    RETURN_CODE WaitReadable(std::int32_t timeoutMs) const;
    // Writable with an established connection; a failed connect attempt is not writable.
    RETURN_CODE WaitWritable(std::int32_t timeoutMs) const;
    RETURN_CODE JoinMulticastGroup(const std::string& group);

private:
    NativeSocket handle_ = kInvalidSocket;
    std::int32_t type_ = kTypeNone;
};

// Dotted IPv4 text of a host name or address; false leaves the text as it was.
bool ResolveToIPv4(std::string& text);

// What one receive found.
enum class ReceiveStatus {
    Data,            // `bytes` arrived; 0 when nothing was there yet, or an empty datagram
    Timeout,         // nothing arrived within the time-out
    PeerClosed,      // TCP: the peer has ended its sending direction, so no byte can follow
    DatagramTooLong, // a datagram longer than the buffer was lost; the connection stays usable
    Broken,          // the connection failed; the next Connect rebuilds it
    Refused,         // nothing was tried: not open, not connected, or an invalid argument
};

struct Received {
    ReceiveStatus status = ReceiveStatus::Refused;
    std::int32_t bytes = 0; // only Data carries bytes
    // The result as the owners report it: RC_OK for Data, PeerClosed and DatagramTooLong,
    // RC_TIMEOUT, RC_SOCKET_ERROR for Broken, RC_CONNECTION_ERROR or RC_INVALID_ARGUMENT for
    // Refused.
    RETURN_CODE code = RC_CONNECTION_ERROR;
};

struct Sent {
    RETURN_CODE code = RC_CONNECTION_ERROR;
    std::int32_t bytes = 0; // bytes the peer may have got, also when the send failed
};

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
    // The remote address text that asks for the loopback fast path: this host, 127.0.0.1.
    static constexpr const char* kLoopbackFastPath = "LoopbackFastPath";

    SocketConnection() = default;
    virtual ~SocketConnection() = default;
    SocketConnection(const SocketConnection&) = delete;
    SocketConnection& operator=(const SocketConnection&) = delete;

    RETURN_CODE Open(std::int32_t type, std::uint16_t remotePort, const char* remoteAddress,
                     std::uint16_t localPort, const char* localAddress);
    RETURN_CODE Connect(std::int32_t timeoutMs);
    // Sends all `length` bytes (UDP: as one datagram); a TCP send that stalls with part of
    // the bytes sent leaves the connection broken.
    Sent Send(const void* bytes, std::int32_t length);
    // At most one receive of up to `capacity` bytes, waiting up to timeoutMs (0: no wait)
    // when nothing is there yet.
    Received Receive(void* buffer, std::int32_t capacity, std::int32_t timeoutMs);
    RETURN_CODE Close();
    // Ends the sending direction, then reads and discards until the peer closes its side or
    // `lingerMs` passes, so that a close after it is an orderly one and no command already
    // sent is thrown away by a reset. Open TCP connections only; does not close.
    void DrainBeforeClose(std::int32_t lingerMs);

    bool IsOpen() const { return open_; }
    // Carries data: a TCP connection is established, or a UDP socket is ready.
    bool Connected() const { return connected_; }
    // A Send or Receive failed; the next Connect rebuilds the connection.
    bool Broken() const { return socketError_; }
    bool IsTcp() const { return connectionType_ < 2; }
    std::uint32_t Type() const { return connectionType_; }
    std::uint16_t Port() const { return port_; }
    // The resolved remote address; for TCP_SERVER the connected peer's address.
    const std::string& Address() const { return address_; }
    const SocketBase& ListenSocket() const { return listenSocket_; }
    const SocketBase& DataSocket() const { return dataSocket_; }

protected:
    // `probeQuietPeer`: a TCP receive that delivers nothing sends a one-byte probe of value
    // 0, whose failure shows that the peer has gone (a closed peer would otherwise look like
    // a quiet one for ever).
    explicit SocketConnection(bool probeQuietPeer) : probeQuietPeer_(probeQuietPeer) {}

private:
    RETURN_CODE OpenListener(std::uint16_t port, bool fastPath);
    RETURN_CODE OpenStreamClient(bool fastPath);
    RETURN_CODE OpenDatagram(std::int32_t type, std::uint16_t localPort, const std::string& local,
                             const std::string& group);
    void Rebuild();
    Sent SendStream(const void* bytes, std::int32_t length);
    Sent SendDatagram(const void* bytes, std::int32_t length);
    // The end of a receive that delivered nothing.
    Received NothingReceived(ReceiveStatus status);
    Received MarkBroken();

    SocketBase listenSocket_;
    SocketBase dataSocket_;
    std::uint32_t connectionType_ = CONNECTION_NONE;
    std::uint16_t port_ = 0;
    std::string address_;
    bool socketError_ = false;
    bool connected_ = false;
    bool open_ = false;
    bool probeQuietPeer_ = false;
};

// The receiver's connection: it probes a quiet TCP peer.
class Vita49_IO : public SocketConnection {
public:
    Vita49_IO() : SocketConnection(true) {}
};

} // namespace vita49::net
