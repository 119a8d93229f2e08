#include "net/SocketConnection.h"

#include <chrono>

#include "net/SendLoop.h"

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

Received Result(ReceiveStatus status, RETURN_CODE code, std::int32_t bytes = 0) {
    Received r;
    r.status = status;
    r.code = code;
    r.bytes = bytes;
    return r;
}

Sent SentResult(RETURN_CODE code, std::size_t bytes = 0) {
    Sent s;
    s.code = code;
    s.bytes = static_cast<std::int32_t>(bytes);
    return s;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// SocketBase

RETURN_CODE SocketBase::Create(std::int32_t socketType) {
    handle_ = CreateSocket(socketType);
    if (!Valid()) return RC_SOCKET_ERROR;
    type_ = socketType;
    return RC_OK;
}

RETURN_CODE SocketBase::Close() {
    bool ok = CloseSocket(handle_);
    handle_ = kInvalidSocket;
    type_ = kTypeNone;
    return Check(ok);
}

RETURN_CODE SocketBase::SetNonBlocking() { return Check(MakeNonBlocking(handle_)); }

RETURN_CODE SocketBase::EnableLoopbackFastPath() { return Check(EnableFastLoopback(handle_)); }

RETURN_CODE SocketBase::SetReceiveBufferSize() {
    return Check(SetReceiveBuffer(handle_, SocketConnection::kUdpReceiveBuffer));
}

RETURN_CODE SocketBase::Bind(std::uint16_t port, const std::string& address) {
    return Check(BindAddress(handle_, address, port));
}

RETURN_CODE SocketBase::Listen() { return Check(ListenOn(handle_, 0)); }

RETURN_CODE SocketBase::Accept(SocketBase& target, std::string& peer, std::int32_t timeoutMs) const {
    peer.clear();
    if (timeoutMs != 0) {
        RETURN_CODE rc = WaitReadable(timeoutMs);
        if (rc != RC_OK) return rc;
    }
    SockError err = SockError::None;
    std::string client;
    NativeSocket s = AcceptClient(handle_, client, err);
    if (s == kInvalidSocket) return err == SockError::WouldBlock ? RC_OK : RC_SOCKET_ERROR;
    // The platform layer made it non-blocking, whatever the listener's mode passes on.
    target.handle_ = s;
    target.type_ = type_;
    peer = client;
    return RC_OK;
}

RETURN_CODE SocketBase::ConnectTo(const std::string& address, std::uint16_t port, std::int32_t timeoutMs) const {
    SockError err = SockError::None;
    if (ConnectAddress(handle_, address, port, err)) return RC_OK;
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

RETURN_CODE SocketBase::WaitReadable(std::int32_t timeoutMs) const {
    if (!Valid()) return RC_SOCKET_ERROR;
    return FromWait(WaitReady(handle_, false, timeoutMs));
}

RETURN_CODE SocketBase::WaitWritable(std::int32_t timeoutMs) const {
    if (!Valid()) return RC_SOCKET_ERROR;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
    RETURN_CODE rc = FromWait(WaitReady(handle_, true, timeoutMs));
    if (rc != RC_OK) return rc;
    // Only a stream socket has a connection to check; a datagram socket is simply writable.
    if (type_ != kTypeStream || ConnectSucceeded(handle_)) return RC_OK;
    // A refused or unreachable attempt makes the socket writable, but it is no connection:
    // the wait runs out its time, and the next Connect starts a new attempt.
    SleepMs(MsLeft(deadline));
    return RC_TIMEOUT;
}

RETURN_CODE SocketBase::JoinMulticastGroup(const std::string& group) { return Check(JoinGroup(handle_, group)); }

bool ResolveToIPv4(std::string& text) { return ResolveIPv4(text); }

// ---------------------------------------------------------------------------------------------
// SocketConnection: opening and connecting

RETURN_CODE SocketConnection::Open(std::int32_t type, std::uint16_t remotePort, const char* remoteAddress,
                                   std::uint16_t localPort, const char* localAddress) {
    if (open_) return RC_CONNECTION_ERROR;
    std::string remote = remoteAddress ? remoteAddress : "";
    std::string local = localAddress ? localAddress : "";
    // The fast path always means this host; the name service is not asked, since a machine
    // without a host table would know no name for it.
    const bool fastPath = remote == kLoopbackFastPath;
    if (fastPath)
        remote = "127.0.0.1";
    else if (!remote.empty() && !ResolveToIPv4(remote))
        return RC_CONNECTION_ERROR;
    if (!local.empty() && !ResolveToIPv4(local)) return RC_CONNECTION_ERROR;
    if (type < TCP_SERVER || type > UDP_MULTICAST) return RC_INVALID_ARGUMENT;

    const RETURN_CODE rc = type == TCP_SERVER   ? OpenListener(remotePort, fastPath)
                           : type == TCP_CLIENT ? OpenStreamClient(fastPath)
                                                : OpenDatagram(type, localPort, local, remote);
    if (rc != RC_OK) {
        SocketBase& created = type == TCP_SERVER ? listenSocket_ : dataSocket_;
        if (created.Valid()) created.Close();
        return RC_SOCKET_ERROR;
    }
    connectionType_ = static_cast<std::uint32_t>(type);
    port_ = remotePort;
    address_ = remote;
    socketError_ = false;
    connected_ = !IsTcp();
    open_ = true;
    return RC_OK;
}

RETURN_CODE SocketConnection::OpenListener(std::uint16_t port, bool fastPath) {
    RETURN_CODE rc = listenSocket_.Create(kTypeStream);
    if (rc == RC_OK) rc = listenSocket_.SetNonBlocking();
    if (rc == RC_OK && fastPath) rc = listenSocket_.EnableLoopbackFastPath();
    // Without this the port stays blocked while closed connections linger (TIME_WAIT), and an
    // Open after Close would fail; it never takes a port from a live listener.
    if (rc == RC_OK) ReuseListenAddress(listenSocket_.Handle());
    if (rc == RC_OK) rc = listenSocket_.Bind(port, std::string());
    if (rc == RC_OK) rc = listenSocket_.Listen();
    return rc;
}

RETURN_CODE SocketConnection::OpenStreamClient(bool fastPath) {
    RETURN_CODE rc = dataSocket_.Create(kTypeStream);
    if (rc == RC_OK) rc = dataSocket_.SetNonBlocking();
    if (rc == RC_OK && fastPath) rc = dataSocket_.EnableLoopbackFastPath();
    return rc;
}

RETURN_CODE SocketConnection::OpenDatagram(std::int32_t type, std::uint16_t localPort, const std::string& local,
                                           const std::string& group) {
    RETURN_CODE rc = dataSocket_.Create(kTypeDatagram);
    if (rc == RC_OK) rc = dataSocket_.SetNonBlocking();
    if (rc == RC_OK) rc = dataSocket_.SetReceiveBufferSize();
    // Several applications may receive one group on one port; a unicast port stays exclusive.
    if (rc == RC_OK && type == UDP_MULTICAST) ShareDatagramAddress(dataSocket_.Handle());
    if (rc == RC_OK && (!local.empty() || localPort != 0)) rc = dataSocket_.Bind(localPort, local);
    if (rc == RC_OK && type == UDP_MULTICAST) rc = dataSocket_.JoinMulticastGroup(group);
    return rc;
}

RETURN_CODE SocketConnection::Connect(std::int32_t timeoutMs) {
    if (!open_) return RC_CONNECTION_ERROR;
    if (socketError_) Rebuild();
    if (connected_) return RC_OK;
    RETURN_CODE rc = RC_OK;
    switch (connectionType_) {
    case TCP_SERVER:
        rc = listenSocket_.Accept(dataSocket_, address_, timeoutMs);
        connected_ = dataSocket_.Valid();
        return rc;
    case TCP_CLIENT:
        rc = dataSocket_.ConnectTo(address_, port_, timeoutMs);
        connected_ = rc == RC_OK;
        return rc;
    default:
        // A broken UDP connection is left without a socket: its receives fail until Close.
        connected_ = true;
        return RC_OK;
    }
}

void SocketConnection::Rebuild() {
    socketError_ = false;
    connected_ = false;
    const bool closed = !dataSocket_.Valid() || dataSocket_.Close() == RC_OK;
    // A server takes its next client from the listener; a client dials again with a fresh
    // socket (the fast path is not asked for again).
    if (connectionType_ == TCP_CLIENT && closed && dataSocket_.Create(kTypeStream) == RC_OK)
        dataSocket_.SetNonBlocking();
}

// ---------------------------------------------------------------------------------------------
// SocketConnection: sending and receiving

Received SocketConnection::MarkBroken() {
    socketError_ = true;
    connected_ = false;
    return Result(ReceiveStatus::Broken, RC_SOCKET_ERROR);
}

Sent SocketConnection::Send(const void* bytes, std::int32_t length) {
    if (!open_ || (!connected_ && IsTcp())) return SentResult(RC_CONNECTION_ERROR);
    if (length < 0) return SentResult(RC_INVALID_ARGUMENT);
    return IsTcp() ? SendStream(bytes, length) : SendDatagram(bytes, length);
}

Sent SocketConnection::SendStream(const void* bytes, std::int32_t length) {
    SendLimits limits;
    limits.stallMs = kSendStallMs;
    const SendProgress p = SendStreamBytes(dataSocket_.Handle(), bytes, static_cast<std::size_t>(length), limits);
    switch (p.end) {
    case SendEnd::Done:
        return SentResult(RC_OK, p.sent);
    case SendEnd::Stalled:
        // A partial command or packet now sits at the peer: the stream can't be trusted.
        if (p.sent > 0) MarkBroken();
        return SentResult(RC_TIMEOUT, p.sent);
    default:
        MarkBroken();
        return SentResult(RC_SOCKET_ERROR, p.sent);
    }
}

Sent SocketConnection::SendDatagram(const void* bytes, std::int32_t length) {
    // Without a destination (an empty remote address) there is nowhere to send to.
    if (address_.empty() || length > kMaxDatagram) return SentResult(RC_INVALID_ARGUMENT);
    SendLimits limits;
    limits.stallMs = kSendStallMs;
    const SendProgress p =
        SendDatagramTo(dataSocket_.Handle(), bytes, static_cast<std::size_t>(length), address_, port_, limits);
    switch (p.end) {
    case SendEnd::Done:
        return SentResult(RC_OK, p.sent);
    case SendEnd::Stalled:
        return SentResult(RC_TIMEOUT);
    default:
        MarkBroken();
        return SentResult(RC_SOCKET_ERROR);
    }
}

Received SocketConnection::Receive(void* buffer, std::int32_t capacity, std::int32_t timeoutMs) {
    if (!open_ || (!connected_ && IsTcp())) return Result(ReceiveStatus::Refused, RC_CONNECTION_ERROR);
    if (capacity < 0) return Result(ReceiveStatus::Refused, RC_INVALID_ARGUMENT);
    if (!dataSocket_.Valid()) return MarkBroken();
    const bool tcp = IsTcp();
    const auto size = static_cast<std::size_t>(capacity);
    // The socket never blocks: take what is already there first, and wait only when nothing
    // is. On a busy stream the wait would cost a second system call for every receive.
    SockError err = SockError::None;
    long n = ReceiveSome(dataSocket_.Handle(), buffer, size, !tcp, err);
    if (n < 0 && err == SockError::WouldBlock && timeoutMs != 0) {
        const RETURN_CODE rc = dataSocket_.WaitReadable(timeoutMs);
        if (rc == RC_TIMEOUT) return Result(ReceiveStatus::Timeout, RC_TIMEOUT);
        if (rc != RC_OK) return MarkBroken();
        err = SockError::None;
        n = ReceiveSome(dataSocket_.Handle(), buffer, size, !tcp, err);
    }
    if (n > 0 || (n == 0 && !tcp)) return Result(ReceiveStatus::Data, RC_OK, static_cast<std::int32_t>(n));
    // A TCP receive of 0 bytes into room for some is the peer's end of stream.
    if (n == 0) return NothingReceived(capacity > 0 ? ReceiveStatus::PeerClosed : ReceiveStatus::Data);
    if (err == SockError::WouldBlock) return NothingReceived(ReceiveStatus::Data);
    if (err == SockError::MessageTooLong && !tcp) return Result(ReceiveStatus::DatagramTooLong, RC_OK);
    return MarkBroken();
}

Received SocketConnection::NothingReceived(ReceiveStatus status) {
    if (probeQuietPeer_ && IsTcp()) {
        const std::uint8_t probe = 0;
        const Sent sent = Send(&probe, 1);
        // A probe that found no room within the stall limit tells nothing new: a time-out.
        if (sent.code == RC_TIMEOUT) return Result(ReceiveStatus::Timeout, RC_TIMEOUT);
        if (sent.code != RC_OK) return Result(ReceiveStatus::Broken, sent.code);
    }
    return Result(status, RC_OK);
}

void SocketConnection::DrainBeforeClose(std::int32_t lingerMs) {
    if (!open_ || !IsTcp() || !dataSocket_.Valid()) return;
    if (!ShutdownSend(dataSocket_.Handle())) return;
    auto deadline = Clock::now() + std::chrono::milliseconds(lingerMs);
    std::uint8_t scratch[4096];
    for (;;) {
        std::int32_t left = MsLeft(deadline);
        if (left == 0) return;
        if (WaitReady(dataSocket_.Handle(), false, left) != WaitResult::Ready) return;
        SockError err = SockError::None;
        long n = ReceiveSome(dataSocket_.Handle(), scratch, sizeof scratch, false, err);
        if (n == 0) return; // the peer has closed its side
        if (n < 0 && err != SockError::WouldBlock) return;
    }
}

RETURN_CODE SocketConnection::Close() {
    if (!open_) return RC_CONNECTION_ERROR;
    socketError_ = false;
    connected_ = false;
    open_ = false;
    RETURN_CODE rc = RC_OK;
    if (dataSocket_.Valid()) rc = dataSocket_.Close();
    if (listenSocket_.Valid()) rc = listenSocket_.Close();
    return rc;
}

} // namespace vita49::net
