#include "net/SocketConnection.h"

#include <chrono>

namespace vita49::net {
namespace {

using Clock = std::chrono::steady_clock;

std::int32_t MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<std::int32_t>(left) : 0;
}

RETURN_CODE FromWait(WaitResult r) {
    switch (r) {
    case WaitResult::Ready:
        return RC_OK;
    case WaitResult::Timeout:
        return RC_TIMEOUT;
    default:
        return RC_SOCKET_ERROR;
    }
}

RETURN_CODE Check(bool ok) { return ok ? RC_OK : RC_SOCKET_ERROR; }

} // namespace

// ---------------------------------------------------------------------------------------------
// SocketBase

RETURN_CODE SocketBase::Create(std::int32_t socketFamily, std::int32_t socketType) {
    handle = CreateSocket(socketFamily, socketType);
    if (!Valid()) return RC_SOCKET_ERROR;
    family = socketFamily;
    type = socketType;
    nonBlocking = false;
    return RC_OK;
}

RETURN_CODE SocketBase::Close() {
    bool ok = CloseSocket(handle);
    handle = kInvalidSocket;
    family = kFamilyNone;
    type = 0;
    nonBlocking = false;
    return Check(ok);
}

RETURN_CODE SocketBase::SetNonBlocking() {
    if (!MakeNonBlocking(handle)) return RC_SOCKET_ERROR;
    nonBlocking = true;
    return RC_OK;
}

RETURN_CODE SocketBase::EnableLoopbackFastPath() { return Check(EnableFastLoopback(handle)); }

RETURN_CODE SocketBase::SetReceiveBufferSize() {
    return Check(SetReceiveBuffer(handle, SocketConnection::kUdpReceiveBuffer));
}

RETURN_CODE SocketBase::Bind(std::uint16_t port, const std::string& address) {
    return Check(BindAddress(handle, family, address, port));
}

RETURN_CODE SocketBase::Listen() { return Check(ListenOn(handle, 0)); }

RETURN_CODE SocketBase::Accept(SocketBase& target, std::string& peer, std::int32_t timeoutMs) {
    peer.clear();
    if (timeoutMs != 0) {
        RETURN_CODE rc = WaitReadable(timeoutMs);
        if (rc != RC_OK) return rc;
    }
    SockError err = SockError::None;
    std::string client;
    NativeSocket s = AcceptClient(handle, client, err);
    if (s == kInvalidSocket) return err == SockError::WouldBlock ? RC_OK : RC_SOCKET_ERROR;
    target.handle = s;
    target.family = family;
    target.type = type;
    // The platform layer made it non-blocking, whatever the listener's mode passes on.
    target.nonBlocking = true;
    peer = client;
    return RC_OK;
}

RETURN_CODE SocketBase::ConnectTo(const std::string& address, std::uint16_t port, std::int32_t timeoutMs) {
    SockError err = SockError::None;
    if (ConnectAddress(handle, family, address, port, err)) return RC_OK;
    switch (err) {
    case SockError::WouldBlock:
    case SockError::Already:
        return WaitWritable(timeoutMs);
    case SockError::IsConnected:
        return RC_OK;
    default:
        return RC_SOCKET_ERROR;
    }
}

RETURN_CODE SocketBase::SendTo(const void* bytes, std::int32_t& length, const std::string& address,
                               std::uint16_t port) {
    if (static_cast<std::uint32_t>(length) > static_cast<std::uint32_t>(SocketConnection::kMaxDatagram)) {
        length = 0;
        return RC_INVALID_ARGUMENT;
    }
    auto deadline = Clock::now() + std::chrono::milliseconds(SocketConnection::kSendStallMs);
    for (;;) {
        SockError err = SockError::None;
        long n = SendDatagram(handle, bytes, static_cast<std::size_t>(length), address, port, err);
        if (n >= 0) {
            length = static_cast<std::int32_t>(n);
            return RC_OK;
        }
        if (err != SockError::WouldBlock) {
            length = 0;
            return RC_SOCKET_ERROR;
        }
        // A full send buffer: wait for room rather than spin.
        WaitResult w = WaitReady(handle, true, MsLeft(deadline));
        if (w != WaitResult::Ready) {
            length = 0;
            return FromWait(w);
        }
    }
}

RETURN_CODE SocketBase::WaitReadable(std::int32_t timeoutMs) {
    if (!Valid()) return RC_SOCKET_ERROR;
    return FromWait(WaitReady(handle, false, timeoutMs));
}

RETURN_CODE SocketBase::WaitWritable(std::int32_t timeoutMs) {
    if (!Valid()) return RC_SOCKET_ERROR;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
    RETURN_CODE rc = FromWait(WaitReady(handle, true, timeoutMs));
    if (rc != RC_OK) return rc;
    // Only a stream socket has a connection to check; a datagram socket is simply writable.
    if (type != kTypeStream || ConnectSucceeded(handle)) return RC_OK;
    // A refused or unreachable attempt makes the socket writable, but it is no connection:
    // the wait runs out its time, and the next Connect starts a new attempt.
    SleepMs(MsLeft(deadline));
    return RC_TIMEOUT;
}

RETURN_CODE SocketBase::JoinMulticastGroup(const std::string& group) {
    return Check(JoinGroup(handle, family, group));
}

bool ResolveToIPv4(std::string& text) { return ResolveIPv4(text); }

// ---------------------------------------------------------------------------------------------
// SocketConnection

RETURN_CODE SocketConnection::Open(std::int32_t type, std::uint16_t remotePort, const char* remoteAddress,
                                   std::uint16_t localPort, const char* localAddress) {
    if (open) return RC_CONNECTION_ERROR;
    std::string remote = remoteAddress ? remoteAddress : "";
    std::string local = localAddress ? localAddress : "";
    bool fastPath = false;
    if (remote == "LoopbackFastPath") {
        remote = "Localhost";
        fastPath = true;
    }
    if (!remote.empty() && !ResolveToIPv4(remote)) return RC_CONNECTION_ERROR;
    if (!local.empty() && !ResolveToIPv4(local)) return RC_CONNECTION_ERROR;

    SocketBase* created = nullptr;
    RETURN_CODE rc = RC_OK;
    switch (type) {
    case TCP_SERVER:
        created = &listenSocket;
        rc = listenSocket.Create(kFamilyIPv4, kTypeStream);
        if (rc == RC_OK) rc = listenSocket.SetNonBlocking();
        if (rc == RC_OK && fastPath) rc = listenSocket.EnableLoopbackFastPath();
        // Without this the port stays blocked while closed connections linger (TIME_WAIT),
        // and an Open after Close would fail; it never takes a port from a live listener.
        if (rc == RC_OK) ReuseListenAddress(listenSocket.handle);
        if (rc == RC_OK) rc = listenSocket.Bind(remotePort, std::string());
        if (rc == RC_OK) rc = listenSocket.Listen();
        break;
    case TCP_CLIENT:
        created = &dataSocket;
        rc = dataSocket.Create(kFamilyIPv4, kTypeStream);
        if (rc == RC_OK) rc = dataSocket.SetNonBlocking();
        if (rc == RC_OK && fastPath) rc = dataSocket.EnableLoopbackFastPath();
        break;
    case UDP_SINGLECAST:
    case UDP_MULTICAST:
        created = &dataSocket;
        rc = dataSocket.Create(kFamilyIPv4, kTypeDatagram);
        if (rc == RC_OK) rc = dataSocket.SetNonBlocking();
        if (rc == RC_OK) rc = dataSocket.SetReceiveBufferSize();
        if (rc == RC_OK && (!local.empty() || localPort != 0)) rc = dataSocket.Bind(localPort, local);
        if (rc == RC_OK && type == UDP_MULTICAST) rc = dataSocket.JoinMulticastGroup(remote);
        break;
    default:
        return RC_INVALID_ARGUMENT;
    }
    if (rc != RC_OK) {
        if (created->Valid()) created->Close();
        return RC_SOCKET_ERROR;
    }
    connectionType = static_cast<std::uint32_t>(type);
    ipVersion = 0;
    port = remotePort;
    address = remote;
    socketError = false;
    connected = !IsTcp();
    datagramTruncated = false;
    open = true;
    return RC_OK;
}

RETURN_CODE SocketConnection::Connect(std::int32_t timeoutMs) {
    if (!open) return RC_CONNECTION_ERROR;
    if (socketError) {
        socketError = false;
        connected = false;
        bool closed = !dataSocket.Valid() || dataSocket.Close() == RC_OK;
        if (connectionType == TCP_CLIENT && closed && ipVersion <= 1) {
            if (dataSocket.Create(ipVersion == 0 ? kFamilyIPv4 : kFamilyIPv6, kTypeStream) == RC_OK)
                dataSocket.SetNonBlocking();
        }
    }
    switch (connectionType) {
    case TCP_SERVER: {
        if (connected) return RC_OK;
        RETURN_CODE rc = listenSocket.Accept(dataSocket, address, timeoutMs);
        if (dataSocket.Valid()) connected = true;
        return rc;
    }
    case TCP_CLIENT: {
        if (connected) return RC_OK;
        RETURN_CODE rc = dataSocket.ConnectTo(address, port, timeoutMs);
        if (rc == RC_OK) connected = true;
        return rc;
    }
    case UDP_SINGLECAST:
    case UDP_MULTICAST:
        connected = true;
        return RC_OK;
    default:
        return RC_INVALID_ARGUMENT;
    }
}

RETURN_CODE SocketConnection::MarkBroken(RETURN_CODE rc) {
    socketError = true;
    connected = false;
    return rc;
}

RETURN_CODE SocketConnection::SendStream(const std::uint8_t* bytes, std::int32_t& length) {
    const std::int32_t total = length;
    std::int32_t sent = 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(kSendStallMs);
    RETURN_CODE rc = RC_OK;
    do {
        SockError err = SockError::None;
        long n = SendSome(dataSocket.handle, bytes + sent, static_cast<std::size_t>(total - sent), err);
        if (n >= 0) {
            sent += static_cast<std::int32_t>(n);
            if (n > 0) deadline = Clock::now() + std::chrono::milliseconds(kSendStallMs);
            continue;
        }
        if (err != SockError::WouldBlock) {
            rc = RC_SOCKET_ERROR;
            break;
        }
        // The peer is not reading: wait for room, up to the stall limit since the last progress.
        rc = FromWait(WaitReady(dataSocket.handle, true, MsLeft(deadline)));
        if (rc != RC_OK) {
            // A partial command or packet now sits at the peer: the stream can't be trusted.
            if (rc == RC_TIMEOUT && sent > 0) MarkBroken(rc);
            break;
        }
    } while (sent < total);
    length = sent;
    return rc;
}

RETURN_CODE SocketConnection::Send(const void* bytes, std::int32_t& length) {
    if (!open || (!connected && IsTcp())) return RC_CONNECTION_ERROR;
    RETURN_CODE rc;
    if (IsTcp()) {
        if (length < 0) {
            length = 0;
            return RC_INVALID_ARGUMENT;
        }
        rc = SendStream(static_cast<const std::uint8_t*>(bytes), length);
    } else if (connectionType == UDP_SINGLECAST || connectionType == UDP_MULTICAST) {
        if ((ipVersion == 0 && address.find('.') == std::string::npos) ||
            (ipVersion == 1 && address.find(':') == std::string::npos))
            return RC_INVALID_ARGUMENT;
        rc = dataSocket.SendTo(bytes, length, address, port);
    } else {
        return RC_INVALID_ARGUMENT;
    }
    return rc == RC_SOCKET_ERROR ? MarkBroken(rc) : rc;
}

RETURN_CODE SocketConnection::Receive(void* buffer, std::int32_t& length, std::int32_t timeoutMs) {
    datagramTruncated = false;
    peerClosed = false;
    if (!open || (!connected && IsTcp())) return RC_CONNECTION_ERROR;
    if (connectionType > UDP_MULTICAST) return RC_INVALID_ARGUMENT;
    const std::int32_t capacity = length;
    length = 0;
    if (capacity < 0) return RC_INVALID_ARGUMENT;
    if (!dataSocket.Valid()) return MarkBroken(RC_SOCKET_ERROR);
    // The socket never blocks: take what is already there first, and wait only when nothing
    // is. On a busy stream the wait would cost a second system call for every receive.
    SockError err = SockError::None;
    long n = ReceiveSome(dataSocket.handle, buffer, static_cast<std::size_t>(capacity), !IsTcp(), err);
    if (n < 0 && err == SockError::WouldBlock && timeoutMs != 0) {
        RETURN_CODE rc = dataSocket.WaitReadable(timeoutMs);
        if (rc == RC_SOCKET_ERROR) return MarkBroken(rc);
        if (rc != RC_OK) return rc;
        err = SockError::None;
        n = ReceiveSome(dataSocket.handle, buffer, static_cast<std::size_t>(capacity), !IsTcp(), err);
    }
    if (n >= 0) {
        length = static_cast<std::int32_t>(n);
        peerClosed = n == 0 && capacity > 0 && IsTcp();
        return RC_OK;
    }
    if (err == SockError::WouldBlock) return RC_OK;
    if (err == SockError::MessageTooLong && !IsTcp()) {
        datagramTruncated = true;
        return RC_OK;
    }
    return MarkBroken(RC_SOCKET_ERROR);
}

void SocketConnection::DrainBeforeClose(std::int32_t lingerMs) {
    if (!open || !IsTcp() || !dataSocket.Valid()) return;
    if (!ShutdownSend(dataSocket.handle)) return;
    auto deadline = Clock::now() + std::chrono::milliseconds(lingerMs);
    std::uint8_t scratch[4096];
    for (;;) {
        std::int32_t left = MsLeft(deadline);
        if (left == 0) return;
        if (WaitReady(dataSocket.handle, false, left) != WaitResult::Ready) return;
        SockError err = SockError::None;
        long n = ReceiveSome(dataSocket.handle, scratch, sizeof scratch, false, err);
        if (n == 0) return; // the peer has closed its side
        if (n < 0 && err != SockError::WouldBlock) return;
    }
}

RETURN_CODE SocketConnection::Close() {
    if (!open) return RC_CONNECTION_ERROR;
    socketError = false;
    connected = false;
    open = false;
    datagramTruncated = false;
    RETURN_CODE rc = RC_OK;
    if (dataSocket.Valid()) rc = dataSocket.Close();
    if (listenSocket.Valid()) rc = listenSocket.Close();
    return rc;
}

} // namespace vita49::net
