// Windows Sockets 2.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "net/Platform.h"

#ifndef SIO_LOOPBACK_FAST_PATH
#define SIO_LOOPBACK_FAST_PATH _WSAIOW(IOC_VENDOR, 16)
#endif
#ifndef WSA_FLAG_NO_HANDLE_INHERIT
#define WSA_FLAG_NO_HANDLE_INHERIT 0x80
#endif
#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace vita49::net {
namespace {

SOCKET ToSocket(NativeSocket s) { return static_cast<SOCKET>(s); }

// Child processes must not inherit a socket (what close-on-exec does on POSIX).
void NotInherited(SOCKET s) { SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0); }

SockError Classify(int e) {
    switch (e) {
    case WSAEWOULDBLOCK:
    case WSAEINPROGRESS:
        return SockError::WouldBlock;
    case WSAEALREADY:
    case WSAEINVAL: // connect on a socket whose attempt is still running, older stacks
        return SockError::Already;
    case WSAEISCONN:
        return SockError::IsConnected;
    case WSAEMSGSIZE:
        return SockError::MessageTooLong;
    case WSAENOBUFS:
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

void StartSocketLibrary() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 0), &data);
}

void StopSocketLibrary() { WSACleanup(); }

NativeSocket CreateSocket(std::int32_t type) {
    int nativeType = type == kTypeStream ? SOCK_STREAM : SOCK_DGRAM;
    int protocol = type == kTypeStream ? IPPROTO_TCP : IPPROTO_UDP;
    SOCKET s = WSASocketW(AF_INET, nativeType, protocol, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        // Windows 7 before SP1 does not know the flag.
        s = WSASocketW(AF_INET, nativeType, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
        if (s == INVALID_SOCKET) return kInvalidSocket;
        NotInherited(s);
    }
    if (type != kTypeStream) {
        // A datagram socket would otherwise fail its next receive with WSAECONNRESET after an
        // ICMP "port unreachable"; POSIX reports no such error on an unconnected socket.
        BOOL report = FALSE;
        DWORD returned = 0;
        WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
    }
    return static_cast<NativeSocket>(s);
}

bool CloseSocket(NativeSocket s) { return closesocket(ToSocket(s)) == 0; }

bool MakeNonBlocking(NativeSocket s) {
    u_long on = 1;
    return ioctlsocket(ToSocket(s), FIONBIO, &on) == 0;
}

bool EnableFastLoopback(NativeSocket s) {
    int on = 1;
    DWORD returned = 0;
    if (WSAIoctl(ToSocket(s), SIO_LOOPBACK_FAST_PATH, &on, sizeof on, nullptr, 0, &returned, nullptr, nullptr) == 0)
        return true;
    // Before Windows 8 (and under wine) there is no fast path: a plain loopback connection.
    return WSAGetLastError() == WSAEOPNOTSUPP;
}

bool SetReceiveBuffer(NativeSocket s, int bytes) {
    return setsockopt(ToSocket(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes) == 0;
}

bool BindAddress(NativeSocket s, const std::string& address, std::uint16_t port) {
    sockaddr_in a;
    if (!MakeAddress(address, port, a)) return false;
    return bind(ToSocket(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

bool ListenOn(NativeSocket s, int backlog) { return listen(ToSocket(s), backlog) == 0; }

// SO_REUSEADDR on Windows would let another process steal a live port; a closed
// connection does not block the listening port there anyway.
void ReuseListenAddress(NativeSocket) {}

// The Windows option for sharing a multicast port; it is not set on unicast sockets, where
// it would let another process take the port.
void ShareDatagramAddress(NativeSocket s) {
    BOOL one = TRUE;
    setsockopt(ToSocket(s), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
}

NativeSocket AcceptClient(NativeSocket listener, std::string& peer, SockError& err) {
    sockaddr_storage storage;
    std::memset(&storage, 0, sizeof storage);
    int length = sizeof storage;
    SOCKET s = accept(ToSocket(listener), reinterpret_cast<sockaddr*>(&storage), &length);
    if (s == INVALID_SOCKET) {
        err = Classify(WSAGetLastError());
        return kInvalidSocket;
    }
    // Accepted sockets inherit non-blocking mode here; setting it again is harmless.
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
    NotInherited(s);
    char host[65] = {};
    if (getnameinfo(reinterpret_cast<sockaddr*>(&storage), length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
        host[0] = '\0';
    peer = host;
    err = SockError::None;
    return static_cast<NativeSocket>(s);
}

bool ConnectAddress(NativeSocket s, const std::string& address, std::uint16_t port, SockError& err) {
    sockaddr_in a;
    if (address.empty() || !MakeAddress(address, port, a)) {
        err = SockError::Other;
        return false;
    }
    int error = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (connect(ToSocket(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            err = SockError::None;
            return true;
        }
        // Where the stack reports a failed attempt to the next connect, that one starts anew.
        error = WSAGetLastError();
        if (error != WSAECONNABORTED) break;
    }
    err = Classify(error);
    return false;
}

bool ConnectSucceeded(NativeSocket s) {
    // Only a peer name proves the connection: SO_ERROR keeps a failed attempt's error on
    // Windows even after a later attempt of the same socket has succeeded.
    sockaddr_storage storage;
    int length = sizeof storage;
    return getpeername(ToSocket(s), reinterpret_cast<sockaddr*>(&storage), &length) == 0;
}

WaitResult WaitReady(NativeSocket s, bool forWrite, std::int32_t timeoutMs) {
    if (s == kInvalidSocket) return WaitResult::Error;
    // select rather than WSAPoll: WSAPoll misses failed connect attempts on older systems.
    // A failed attempt shows in the exception set; it counts as ready, and ConnectSucceeded
    // then tells, as a writable socket with an error does on POSIX.
    fd_set readable, writable, failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    if (forWrite) {
        FD_SET(ToSocket(s), &writable);
        FD_SET(ToSocket(s), &failed);
    } else {
        FD_SET(ToSocket(s), &readable);
    }
    const std::int32_t ms = timeoutMs < 0 ? 0 : timeoutMs;
    timeval limit{};
    limit.tv_sec = ms / 1000;
    limit.tv_usec = (ms % 1000) * 1000;
    int n = select(0, forWrite ? nullptr : &readable, forWrite ? &writable : nullptr, forWrite ? &failed : nullptr,
                   &limit);
    if (n == SOCKET_ERROR) return WaitResult::Error;
    if (n == 0) return WaitResult::Timeout;
    return WaitResult::Ready;
}

long SendSome(NativeSocket s, const void* data, std::size_t len, SockError& err) {
    int n = send(ToSocket(s), static_cast<const char*>(data), static_cast<int>(len), 0);
    if (n == SOCKET_ERROR) {
        err = Classify(WSAGetLastError());
        return -1;
    }
    return n;
}

long SendDatagram(NativeSocket s, const void* data, std::size_t len, const std::string& address,
                  std::uint16_t port, SockError& err) {
    sockaddr_in a;
    if (!MakeAddress(address, port, a)) {
        err = SockError::Other;
        return -1;
    }
    int n = sendto(ToSocket(s), static_cast<const char*>(data), static_cast<int>(len), 0,
                   reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (n == SOCKET_ERROR) {
        err = Classify(WSAGetLastError());
        return -1;
    }
    return n;
}

long ReceiveSome(NativeSocket s, void* buffer, std::size_t len, bool datagram, SockError& err) {
    int n;
    if (datagram) {
        sockaddr_storage from;
        int fromLength = sizeof from;
        n = recvfrom(ToSocket(s), static_cast<char*>(buffer), static_cast<int>(len), 0,
                     reinterpret_cast<sockaddr*>(&from), &fromLength);
    } else {
        n = recv(ToSocket(s), static_cast<char*>(buffer), static_cast<int>(len), 0);
    }
    if (n == SOCKET_ERROR) {
        err = Classify(WSAGetLastError());
        return -1;
    }
    return n;
}

bool JoinGroup(NativeSocket s, const std::string& group) {
    ip_mreq request{};
    if (inet_pton(AF_INET, group.c_str(), &request.imr_multiaddr) != 1) return false;
    request.imr_interface.s_addr = htonl(INADDR_ANY);
    return setsockopt(ToSocket(s), IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&request),
                      sizeof request) == 0;
}

bool ShutdownSend(NativeSocket s) { return shutdown(ToSocket(s), SD_SEND) == 0; }

bool ResolveIPv4(std::string& text) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* result = nullptr;
    if (getaddrinfo(text.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) return false;
    char dotted[22] = {};
    const auto* a = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
    bool ok = inet_ntop(AF_INET, const_cast<in_addr*>(&a->sin_addr), dotted, sizeof dotted) != nullptr;
    freeaddrinfo(result);
    if (ok) text = dotted;
    return ok;
}

bool IsPipeWithoutReader(const char*) { return false; }

// Recording files through the C runtime's descriptors; pipes have no names here, so writes
// never wait for a reader.
NativeFile OpenOutputFile(const char* path, bool& isPipe, std::string& error) {
    const int fd = _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
    isPipe = false;
    if (fd < 0) {
        error = std::strerror(errno);
        return kInvalidFile;
    }
    return fd;
}

long WriteFileSome(NativeFile f, const void* data, std::size_t len, bool, bool& wouldBlock, std::string& error) {
    wouldBlock = false;
    const unsigned chunk = len > 0x40000000u ? 0x40000000u : static_cast<unsigned>(len);
    const int n = _write(static_cast<int>(f), data, chunk);
    if (n < 0) error = std::strerror(errno);
    return n;
}

bool WriteFileAt(NativeFile f, std::uint64_t offset, const void* data, std::size_t len, std::string& error) {
    const int fd = static_cast<int>(f);
    const __int64 end = _lseeki64(fd, 0, SEEK_CUR);
    bool ok = end >= 0 && _lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) >= 0;
    const auto* p = static_cast<const char*>(data);
    while (ok && len > 0) {
        const int n = _write(fd, p, static_cast<unsigned>(len));
        ok = n > 0;
        if (ok) {
            p += n;
            len -= static_cast<std::size_t>(n);
        }
    }
    if (!ok) error = std::strerror(errno);
    if (end >= 0) _lseeki64(fd, end, SEEK_SET);
    return ok;
}

bool TruncateFile(NativeFile f, std::uint64_t size, std::string& error) {
    const int fd = static_cast<int>(f);
    if (_chsize_s(fd, static_cast<__int64>(size)) != 0 || _lseeki64(fd, static_cast<__int64>(size), SEEK_SET) < 0) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

WaitResult WaitFileWritable(NativeFile, std::int32_t) { return WaitResult::Ready; }

bool CloseFile(NativeFile f, std::string& error) {
    if (_close(static_cast<int>(f)) == 0) return true;
    error = std::strerror(errno);
    return false;
}

void SleepMs(std::int32_t ms) { Sleep(ms > 0 ? static_cast<DWORD>(ms) : 0); }

void RaiseThreadPriority() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST); }

} // namespace vita49::net
