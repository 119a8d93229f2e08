#include "support/LoopbackPeer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sim/PacketWriter.h"

namespace vita49::test {
namespace {

sockaddr_in Address(const std::string& text, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (text.empty())
        a.sin_addr.s_addr = htonl(INADDR_ANY);
    else
        inet_pton(AF_INET, text.c_str(), &a.sin_addr);
    return a;
}

bool BindTo(int fd, const std::string& address, std::uint16_t port) {
    sockaddr_in a = Address(address, port);
    return ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

int MsLeft(std::chrono::steady_clock::time_point end) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool WaitFor(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

} // namespace

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.Release();
    }
    return *this;
}

void Fd::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

Fd TcpListener(const std::string& address, std::uint16_t port, int backlog, int receiveBuffer) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) return fd;
    int one = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (receiveBuffer > 0) ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    if (!BindTo(fd.Get(), address, port) || ::listen(fd.Get(), backlog) != 0) return Fd();
    return fd;
}

Fd TcpConnect(const std::string& address, std::uint16_t port, const std::string& from, int timeoutMs) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.Valid()) return fd;
    if (!from.empty() && !BindTo(fd.Get(), from, 0)) return Fd();
    sockaddr_in a = Address(address, port);
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (errno != EINPROGRESS || !WaitFor(fd.Get(), POLLOUT, timeoutMs)) return Fd();
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return Fd();
    }
    int flags = ::fcntl(fd.Get(), F_GETFL, 0);
    ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

Fd AcceptWithin(int listener, int timeoutMs) {
    if (!WaitFor(listener, POLLIN, timeoutMs)) return Fd();
    return Fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

Fd UdpSocket(const std::string& address, std::uint16_t port) {
    Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) return fd;
    if ((!address.empty() || port != 0) && !BindTo(fd.Get(), address, port)) return Fd();
    return fd;
}

std::uint16_t LocalPort(int fd) {
    sockaddr_in a{};
    socklen_t length = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) return 0;
    return ntohs(a.sin_port);
}

std::string LocalAddress(int fd) {
    sockaddr_in a{};
    socklen_t length = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) return {};
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return text;
}

std::uint16_t FreeTcpPort() {
    Fd fd = TcpListener("", 0);
    return fd.Valid() ? LocalPort(fd.Get()) : 0;
}

std::uint16_t FreeUdpPort(const std::string& address) {
    Fd fd = UdpSocket(address, 0);
    if (fd.Valid() && LocalPort(fd.Get()) == 0) {
        // Not bound yet (empty address): let the system pick on every address.
        sockaddr_in any = Address("", 0);
        ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&any), sizeof any);
    }
    return fd.Valid() ? LocalPort(fd.Get()) : 0;
}

bool WaitReadable(int fd, int timeoutMs) { return WaitFor(fd, POLLIN, timeoutMs); }

bool SendAll(int fd, const void* bytes, std::size_t length, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    std::size_t sent = 0;
    while (sent < length) {
        if (!WaitFor(fd, POLLOUT, MsLeft(end))) return false;
        ssize_t n = ::send(fd, p + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        if (n > 0) sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool SendAll(int fd, const std::vector<std::uint8_t>& bytes, int timeoutMs) {
    return SendAll(fd, bytes.data(), bytes.size(), timeoutMs);
}

std::vector<std::uint8_t> ReceiveBytes(int fd, std::size_t count, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<std::uint8_t> out(count);
    std::size_t got = 0;
    while (got < count) {
        if (!WaitFor(fd, POLLIN, MsLeft(end))) break;
        ssize_t n = ::recv(fd, out.data() + got, count - got, MSG_DONTWAIT);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    out.resize(got);
    return out;
}

bool WaitForEndOfStream(int fd, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::uint8_t scratch[4096];
    for (;;) {
        if (!WaitFor(fd, POLLIN, MsLeft(end))) return false;
        ssize_t n = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n == 0) return true;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return true;
    }
}

void ResetOnClose(int fd) {
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

int OpenDescriptorCount() {
    int count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return -1;
    while (dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    ::closedir(dir);
    return count - 1; // the directory's own descriptor
}

std::vector<std::uint8_t> DataPacket(std::uint32_t streamId, std::uint8_t count, std::size_t payloadBytes,
                                     std::uint8_t seed) {
    sim::PacketHeader header;
    header.type = 1;
    header.count = count;
    header.streamId = streamId;
    std::vector<std::uint8_t> payload(payloadBytes);
    for (std::size_t i = 0; i < payloadBytes; ++i) payload[i] = static_cast<std::uint8_t>(seed + i);
    std::vector<std::uint8_t> out;
    sim::AppendPacket(out, header, payload.data(), payload.size());
    return out;
}

Vita49_Base_Settings BaseSettings(CONNECTION_TYPE type, const std::string& remote, std::uint16_t tcpPort,
                                  std::uint16_t udpPort, const std::string& local, std::uint32_t streamId) {
    Vita49_Base_Settings s{};
    s.connectionType = type;
    s.tcpPort = tcpPort;
    s.udpPort = udpPort;
    std::strncpy(s.remoteAddress, remote.c_str(), sizeof s.remoteAddress - 1);
    std::strncpy(s.localAddress, local.c_str(), sizeof s.localAddress - 1);
    s.streamId = streamId;
    return s;
}

Vita49_Receiver_Settings ReceiverSettings(const std::string& rawPath, const std::string& wavPath) {
    Vita49_Receiver_Settings s{};
    s.dataBigEndian = 1;
    std::strncpy(s.rawFilePath, rawPath.c_str(), sizeof s.rawFilePath - 1);
    std::strncpy(s.wavFilePath, wavPath.c_str(), sizeof s.wavFilePath - 1);
    return s;
}

} // namespace vita49::test
