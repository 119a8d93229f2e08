// POSIX sockets (Linux first; the BSDs and macOS lack a few flags, handled below).

#include "net/Platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
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

SockError Classify(int e) {
    switch (e) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINPROGRESS:
    case EINTR: // a signal came first: the call simply runs again
        return SockError::WouldBlock;
    case EALREADY:
        return SockError::Already;
    case EISCONN:
        return SockError::IsConnected;
    case EMSGSIZE:
        return SockError::MessageTooLong;
    case ENOBUFS:
        return SockError::NoBuffers;
    default:
        return SockError::Other;
    }
}

// Fills `a`; false when the text is not a dotted IPv4 address. Empty: any address.
bool MakeAddress(const std::string& text, std::uint16_t port, sockaddr_in& a) {
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (text.empty()) {
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        return true;
    }
    return inet_pton(AF_INET, text.c_str(), &a.sin_addr) == 1;
}

} // namespace

void StartSocketLibrary() {}
void StopSocketLibrary() {}

NativeSocket CreateSocket(std::int32_t type) {
    int nativeType = type == kTypeStream ? SOCK_STREAM : SOCK_DGRAM;
#ifdef SOCK_CLOEXEC
    int fd = ::socket(AF_INET, nativeType | SOCK_CLOEXEC, 0);
#else
    int fd = ::socket(AF_INET, nativeType, 0);
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

bool BindAddress(NativeSocket s, const std::string& address, std::uint16_t port) {
    sockaddr_in a;
    if (!MakeAddress(address, port, a)) return false;
    return ::bind(ToFd(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

bool ListenOn(NativeSocket s, int backlog) { return ::listen(ToFd(s), backlog) == 0; }

void ReuseListenAddress(NativeSocket s) {
    int one = 1;
    ::setsockopt(ToFd(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}

void ShareDatagramAddress(NativeSocket s) {
    int one = 1;
    // On Linux SO_REUSEADDR alone already gives every socket bound to the port its own copy
    // of each group datagram. SO_REUSEPORT is set as well: the BSDs need it for two sockets on
    // the wildcard address, and on Linux it lets a receiver that shares with it alone bind beside.
    ::setsockopt(ToFd(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
#ifdef SO_REUSEPORT
    ::setsockopt(ToFd(s), SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
#endif
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
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&storage), length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) !=
        0)
        host[0] = '\0';
    peer = host;
    err = SockError::None;
    return static_cast<NativeSocket>(fd);
}

bool ConnectAddress(NativeSocket s, const std::string& address, std::uint16_t port, SockError& err) {
    sockaddr_in a;
    if (address.empty() || !MakeAddress(address, port, a)) {
        err = SockError::Other;
        return false;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (::connect(ToFd(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
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
    sockaddr_in a;
    if (!MakeAddress(address, port, a)) {
        err = SockError::Other;
        return -1;
    }
    ssize_t n = ::sendto(ToFd(s), data, len, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&a), sizeof a);
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

bool JoinGroup(NativeSocket s, const std::string& group) {
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

bool IsPipeWithoutReader(const char* path) {
    struct stat st {};
    if (::stat(path, &st) != 0 || !S_ISFIFO(st.st_mode)) return false;
    const int fd = ::open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ENXIO;
    ::close(fd);
    return false;
}

NativeFile OpenOutputFile(const char* path, bool& isPipe, std::string& error) {
    // O_NONBLOCK: opening a pipe without reader fails at once (ENXIO) instead of waiting.
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = errno == ENXIO ? "a pipe that nobody reads" : std::strerror(errno);
        return kInvalidFile;
    }
    struct stat st {};
    isPipe = ::fstat(fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
    return fd;
}

namespace {

ssize_t WriteOnce(int fd, const void* data, std::size_t len) {
    ssize_t n;
    do n = ::write(fd, data, len);
    while (n < 0 && errno == EINTR);
    return n;
}

// A pipe whose reader has gone raises SIGPIPE, which would end the application: it is held
// back for this thread during the write and taken away if the write caused it.
ssize_t WriteToPipe(int fd, const void* data, std::size_t len) {
    sigset_t pipeOnly, before;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeOnly, &before);
    sigset_t pending;
    sigpending(&pending);
    const bool wasPending = sigismember(&pending, SIGPIPE) == 1;
    const ssize_t n = WriteOnce(fd, data, len);
    const int e = errno;
    if (n < 0 && e == EPIPE && !wasPending) {
        const timespec zero{0, 0};
        while (sigtimedwait(&pipeOnly, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    errno = e;
    return n;
}

} // namespace

long WriteFileSome(NativeFile f, const void* data, std::size_t len, bool isPipe, bool& wouldBlock,
                   std::string& error) {
    const int fd = static_cast<int>(f);
    const ssize_t n = isPipe ? WriteToPipe(fd, data, len) : WriteOnce(fd, data, len);
    const int e = errno;
    wouldBlock = false;
    if (n >= 0) return static_cast<long>(n);
    if (e == EAGAIN || e == EWOULDBLOCK) {
        wouldBlock = true;
        return 0;
    }
    error = std::strerror(e);
    return -1;
}

bool WriteFileAt(NativeFile f, std::uint64_t offset, const void* data, std::size_t len, std::string& error) {
    const auto* p = static_cast<const char*>(data);
    while (len > 0) {
        const ssize_t n = ::pwrite(static_cast<int>(f), p, len, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? std::strerror(errno) : "no byte written";
            return false;
        }
        p += n;
        len -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

bool TruncateFile(NativeFile f, std::uint64_t size, std::string& error) {
    const int fd = static_cast<int>(f);
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0 || ::lseek(fd, static_cast<off_t>(size), SEEK_SET) < 0) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

WaitResult WaitFileWritable(NativeFile f, std::int32_t timeoutMs) {
    return WaitReady(static_cast<NativeSocket>(f), true, timeoutMs);
}

bool CloseFile(NativeFile f, std::string& error) {
    // Linux closes the descriptor even when close reports a failure: never retried.
    if (::close(static_cast<int>(f)) == 0) return true;
    error = std::strerror(errno);
    return false;
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
