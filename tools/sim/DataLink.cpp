#include "sim/DataLink.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "net/SendLoop.h"

namespace vita49::sim {
namespace {

constexpr int kSliceMs = 50; // longest wait before `stop` is looked at again

bool ToAddress(const std::string& text, std::uint16_t port, sockaddr_in& out) {
    std::memset(&out, 0, sizeof out);
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    if (text.empty() || text == "0.0.0.0") {
        out.sin_addr.s_addr = htonl(INADDR_ANY);
        return true;
    }
    return inet_pton(AF_INET, text.c_str(), &out.sin_addr) == 1;
}

bool WaitFor(int fd, short events, int ms) {
    pollfd p{fd, events, 0};
    return poll(&p, 1, ms) > 0;
}

void SleepSliced(int ms, const std::atomic<bool>& stop) {
    for (int left = ms; left > 0 && !stop.load(); left -= kSliceMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(left < kSliceMs ? left : kSliceMs));
}

std::string Describe(const char* what, const std::string& address, std::uint16_t port) {
    return std::string(what) + " " + (address.empty() ? "*" : address) + ":" + std::to_string(port) + ": " +
           std::strerror(errno);
}

} // namespace

DataLink::DataLink(const StreamSettings& settings, std::string ownAddress)
    : settings_(settings), ownAddress_(std::move(ownAddress)) {}

DataLink::~DataLink() { Close(); }

void DataLink::Disconnect() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

void DataLink::Close() {
    Disconnect();
    if (listenFd_ >= 0) close(listenFd_);
    listenFd_ = -1;
}

DataLink::Result DataLink::Establish(const std::atomic<bool>& stop, std::string& error) {
    Disconnect();
    sendsSinceDrain_ = 0;
    switch (settings_.type) {
    case LinkType::TcpServer:
        return Connect(stop, error);
    case LinkType::TcpClient:
        return Accept(stop, error);
    case LinkType::UdpSinglecast:
    case LinkType::UdpMulticast: {
        sockaddr_in dest;
        if (!ToAddress(settings_.address, settings_.port, dest)) {
            error = "invalid destination " + settings_.address;
            return Result::Broken;
        }
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd_ < 0) {
            error = std::string("socket: ") + std::strerror(errno);
            return Result::Broken;
        }
        const int sendBuffer = 4 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        if (settings_.type == LinkType::UdpMulticast) {
            // TTL 0: delivered to this host's members of the group only, never routed on.
            const unsigned char ttl = 0, loop = 1;
            if (setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0 ||
                setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0) {
                error = std::string("multicast options: ") + std::strerror(errno);
                Disconnect();
                return Result::Broken;
            }
        }
        return Result::Ok;
    }
    default:
        error = "no connection type";
        return Result::Broken;
    }
}

DataLink::Result DataLink::Connect(const std::atomic<bool>& stop, std::string& error) {
    sockaddr_in dest;
    if (!ToAddress(settings_.address, settings_.port, dest)) {
        error = "invalid destination " + settings_.address;
        return Result::Broken;
    }
    // The application may not listen yet: keep trying, as an instrument would.
    while (!stop.load()) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd_ < 0) {
            error = std::string("socket: ") + std::strerror(errno);
            return Result::Broken;
        }
        int rc = connect(fd_, reinterpret_cast<const sockaddr*>(&dest), sizeof dest);
        if (rc != 0 && errno == EINPROGRESS) {
            for (int waited = 0; waited < 1000 && !stop.load(); waited += kSliceMs) {
                if (WaitFor(fd_, POLLOUT, kSliceMs)) {
                    int soError = 0;
                    socklen_t len = sizeof soError;
                    getsockopt(fd_, SOL_SOCKET, SO_ERROR, &soError, &len);
                    rc = soError == 0 ? 0 : -1;
                    break;
                }
            }
        }
        if (rc == 0) {
            const int one = 1;
            setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return Result::Ok;
        }
        Disconnect();
        SleepSliced(100, stop);
    }
    return Result::Stopped;
}

DataLink::Result DataLink::Accept(const std::atomic<bool>& stop, std::string& error) {
    if (listenFd_ < 0) {
        sockaddr_in own;
        if (!ToAddress(ownAddress_, settings_.port, own)) {
            error = "invalid own address " + ownAddress_;
            return Result::Broken;
        }
        listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const int one = 1;
        if (listenFd_ >= 0) setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<const sockaddr*>(&own), sizeof own) != 0 ||
            listen(listenFd_, 1) != 0) {
            error = Describe("listen on", ownAddress_, settings_.port);
            Close();
            return Result::Broken;
        }
    }
    while (!stop.load()) {
        if (!WaitFor(listenFd_, POLLIN, kSliceMs)) continue;
        fd_ = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd_ >= 0) {
            const int one = 1;
            setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return Result::Ok;
        }
    }
    return Result::Stopped;
}

DataLink::Result DataLink::Send(const std::uint8_t* bytes, std::size_t length, const std::atomic<bool>& stop,
                                bool& failed) {
    failed = false;
    if (fd_ < 0) return Result::Broken;
    // No stall limit: an instrument waits for room as long as its stream runs.
    net::SendLimits limits;
    limits.stop = &stop;
    const auto socket = static_cast<net::NativeSocket>(fd_);
    if (!IsTcp()) {
        const net::SendEnd end =
            net::SendDatagramTo(socket, bytes, length, settings_.address, settings_.port, limits).end;
        if (end == net::SendEnd::Stopped) return Result::Stopped;
        failed = end != net::SendEnd::Done; // a datagram is lost, the stream goes on
        return Result::Ok;
    }
    const net::SendEnd end = net::SendStreamBytes(socket, bytes, length, limits).end;
    if (end == net::SendEnd::Stopped) return Result::Stopped;
    if (end != net::SendEnd::Done) return Result::Broken;
    return DrainNowAndThen();
}

DataLink::Result DataLink::DrainNowAndThen() {
    // The application may write to the stream (a receiver probes a quiet connection); read
    // it away now and then, and notice an orderly close early.
    if (++sendsSinceDrain_ < 32) return Result::Ok;
    return Watch();
}

DataLink::Result DataLink::Watch() {
    sendsSinceDrain_ = 0;
    if (!IsTcp()) return Result::Ok;
    if (fd_ < 0) return Result::Broken;
    std::uint8_t scratch[512];
    for (;;) {
        const ssize_t n = recv(fd_, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n > 0) continue;
        if (n == 0) return Result::Broken;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return Result::Ok;
        return Result::Broken;
    }
}

} // namespace vita49::sim
