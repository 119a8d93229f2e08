// POSIX sockets (Linux first; the BSDs and macOS lack a few flags, handled below).

#include "net/Platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <thread>
#include <chrono>
#include <unistd.h>

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0
#endif

namespace vita49::net {
namespace {

int ToFd(NativeSocket s) { return static_cast<int>(s); }

int NativeFamily(std::int32_t family) { return family == kFamilyIPv6 ? AF_INET6 : AF_INET; }

SockError Classify(int e) {
    switch (e) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINPROGRESS:
        return SockError::WouldBlock;
    case EALREADY:
        return SockError::Already;
    case EISCONN:
        return SockError::IsConnected;
    case EMSGSIZE:
        return SockError::MessageTooLong;
    default:
        return SockError::Other;
    }
}

// Fills `storage` for the family; false when the text is not an address of that family.
bool MakeAddress(std::int32_t family, const std::string& text, std::uint16_t port, sockaddr_storage& storage,
                 socklen_t& length) {
    std::memset(&storage, 0, sizeof storage);
    if (family == kFamilyIPv6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        if (!text.empty() && inet_pton(AF_INET6, text.c_str(), &a->sin6_addr) != 1) return false;
        if (text.empty()) a->sin6_addr = in6addr_any;
        length = sizeof(sockaddr_in6);
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&storage);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        if (!text.empty() && inet_pton(AF_INET, text.c_str(), &a->sin_addr) != 1) return false;
        if (text.empty()) a->sin_addr.s_addr = htonl(INADDR_ANY);
        length = sizeof(sockaddr_in);
    }
    return true;
}

} // namespace

void StartSocketLibrary() {}
void StopSocketLibrary() {}

NativeSocket CreateSocket(std::int32_t family, std::int32_t type) {
    int nativeType = type == kTypeStream ? SOCK_STREAM : SOCK_DGRAM;
#ifdef SOCK_CLOEXEC
    int fd = ::socket(NativeFamily(family), nativeType | SOCK_CLOEXEC, 0);
#else
    int fd = ::socket(NativeFamily(family), nativeType, 0);
    if (fd >= 0) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
#endif
    if (fd < 0) return kInvalidSocket;
#ifdef SO_NOSIGPIPE
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    return static_cast<NativeSocket>(fd);
}

bool CloseSocket(NativeSocket s) { return ::close(ToFd(s)) == 0; }

bool MakeNonBlocking(NativeSocket s) {
    int flags = ::fcntl(ToFd(s), F_GETFL, 0);
    return flags >= 0 && ::fcntl(ToFd(s), F_SETFL, flags | O_NONBLOCK) == 0;
}

bool EnableFastLoopback(NativeSocket) { return true; }

bool SetReceiveBuffer(NativeSocket s, int bytes) {
#ifdef SO_RCVBUFFORCE
    // Beyond net.core.rmem_max only with CAP_NET_ADMIN; otherwise the capped size below.
    if (::setsockopt(ToFd(s), SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0) return true;
#endif
    return ::setsockopt(ToFd(s), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
}

bool BindAddress(NativeSocket s, std::int32_t family, const std::string& address, std::uint16_t port) {
    sockaddr_storage storage;
    socklen_t length = 0;
    if (!MakeAddress(family, address, port, storage, length)) return false;
    return ::bind(ToFd(s), reinterpret_cast<sockaddr*>(&storage), length) == 0;
}

bool ListenOn(NativeSocket s, int backlog) { return ::listen(ToFd(s), backlog) == 0; }

void ReuseListenAddress(NativeSocket s) {
    int one = 1;
    ::setsockopt(ToFd(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}

NativeSocket AcceptClient(NativeSocket listener, std::string& peer, SockError& err) {
    sockaddr_storage storage;
    std::memset(&storage, 0, sizeof storage);
    socklen_t length = sizeof storage;
#if defined(__linux__)
    // Linux does not pass non-blocking mode on to accepted sockets.
    int fd = ::accept4(ToFd(listener), reinterpret_cast<sockaddr*>(&storage), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
#else
    int fd = ::accept(ToFd(listener), reinterpret_cast<sockaddr*>(&storage), &length);
    if (fd >= 0) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        MakeNonBlocking(static_cast<NativeSocket>(fd));
    }
#endif
    if (fd < 0) {
        err = Classify(errno);
        return kInvalidSocket;
    }
    char host[65] = {};
    socklen_t hostLength = storage.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&storage), hostLength, host, sizeof host, nullptr, 0,
                      NI_NUMERICHOST) != 0)
        host[0] = '\0';
    peer = host;
    err = SockError::None;
    return static_cast<NativeSocket>(fd);
}

bool ConnectAddress(NativeSocket s, std::int32_t family, const std::string& address, std::uint16_t port,
                    SockError& err) {
    sockaddr_storage storage;
    socklen_t length = 0;
    if (address.empty() || !MakeAddress(family, address, port, storage, length)) {
        err = SockError::Other;
        return false;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (::connect(ToFd(s), reinterpret_cast<sockaddr*>(&storage), length) == 0) {
            err = SockError::None;
            return true;
        }
        // The first connect after a failed attempt reports the abort; the next one starts anew.
        if (errno != ECONNABORTED) break;
    }
    err = Classify(errno);
    return false;
}

bool ConnectSucceeded(NativeSocket s) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(ToFd(s), SOL_SOCKET, SO_ERROR, &error, &length) != 0) return false;
    if (error != 0) return false;
    // Writable without an error can still mean "not connected" on some systems.
    sockaddr_storage storage;
    socklen_t peerLength = sizeof storage;
    return ::getpeername(ToFd(s), reinterpret_cast<sockaddr*>(&storage), &peerLength) == 0;
}

WaitResult WaitReady(NativeSocket s, bool forWrite, std::int32_t timeoutMs) {
    if (s == kInvalidSocket) return WaitResult::Error;
    pollfd p{};
    p.fd = ToFd(s);
    p.events = forWrite ? POLLOUT : POLLIN;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    int remaining = timeoutMs < 0 ? 0 : timeoutMs;
    for (;;) {
        int n = ::poll(&p, 1, remaining);
        if (n > 0) return (p.revents & POLLNVAL) ? WaitResult::Error : WaitResult::Ready;
        if (n == 0) return WaitResult::Timeout;
        if (errno != EINTR) return WaitResult::Error;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        remaining = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
}

long SendSome(NativeSocket s, const void* data, std::size_t len, SockError& err) {
    ssize_t n = ::send(ToFd(s), data, len, MSG_NOSIGNAL);
    if (n < 0) err = Classify(errno);
    return static_cast<long>(n);
}

long SendDatagram(NativeSocket s, const void* data, std::size_t len, const std::string& address,
                  std::uint16_t port, SockError& err) {
    sockaddr_storage storage;
    socklen_t length = 0;
    std::int32_t family = address.find(':') != std::string::npos ? kFamilyIPv6 : kFamilyIPv4;
    if (!MakeAddress(family, address, port, storage, length)) {
        err = SockError::Other;
        return -1;
    }
    ssize_t n = ::sendto(ToFd(s), data, len, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&storage), length);
    if (n < 0) err = Classify(errno);
    return static_cast<long>(n);
}

long ReceiveSome(NativeSocket s, void* buffer, std::size_t len, bool datagram, SockError& err) {
    if (!datagram) {
        ssize_t n = ::recv(ToFd(s), buffer, len, 0);
        if (n < 0) err = Classify(errno);
        return static_cast<long>(n);
    }
    // POSIX truncates an over-long datagram silently; MSG_TRUNC in the flags tells.
    sockaddr_storage from;
    iovec io{buffer, len};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &io;
    msg.msg_iovlen = 1;
    ssize_t n = ::recvmsg(ToFd(s), &msg, 0);
    if (n < 0) {
        err = Classify(errno);
        return -1;
    }
    if (msg.msg_flags & MSG_TRUNC) {
        err = SockError::MessageTooLong;
        return -1;
    }
    return static_cast<long>(n);
}

bool JoinGroup(NativeSocket s, std::int32_t family, const std::string& group) {
    if (family == kFamilyIPv6 && group.find(':') != std::string::npos) {
        ipv6_mreq request{};
        if (inet_pton(AF_INET6, group.c_str(), &request.ipv6mr_multiaddr) != 1) return false;
        request.ipv6mr_interface = 0;
        return ::setsockopt(ToFd(s), IPPROTO_IPV6, IPV6_JOIN_GROUP, &request, sizeof request) == 0;
    }
    ip_mreq request{};
    if (inet_pton(AF_INET, group.c_str(), &request.imr_multiaddr) != 1) return false;
    request.imr_interface.s_addr = htonl(INADDR_ANY);
    return ::setsockopt(ToFd(s), IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) == 0;
}

bool ShutdownSend(NativeSocket s) { return ::shutdown(ToFd(s), SHUT_WR) == 0; }

bool ResolveIPv4(std::string& text) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* result = nullptr;
    if (::getaddrinfo(text.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) return false;
    char dotted[22] = {};
    const auto* a = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
    bool ok = inet_ntop(AF_INET, &a->sin_addr, dotted, sizeof dotted) != nullptr;
    ::freeaddrinfo(result);
    if (ok) text = dotted;
    return ok;
}

void SleepMs(std::int32_t ms) {
    if (ms <= 0)
        std::this_thread::yield();
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void RaiseThreadPriority() {
#if defined(__linux__)
    // Normal threads share one scheduling priority; a thread's nice value is its own on Linux.
    // Lowering it needs privileges, and a refusal is fine.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), -5);
#endif
}

} // namespace vita49::net
