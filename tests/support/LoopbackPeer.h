#pragma once

// Plain POSIX sockets that play the instrument's side in loopback tests, and a few
// helpers for waiting with deadlines instead of sleeping.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "vita49/Vita49Types.h"

namespace vita49::test {

// An owned descriptor; closed on destruction.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.Release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { Close(); }

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Close();

private:
    int fd_ = -1;
};

// TCP listener on address:port (port 0: system's choice). `receiveBuffer` > 0 shrinks the
// receive buffer before listening, so that accepted connections advertise a small window.
Fd TcpListener(const std::string& address, std::uint16_t port, int backlog = 8, int receiveBuffer = 0);
// Blocking connect from `from` (empty: any) within timeoutMs; invalid Fd on failure.
Fd TcpConnect(const std::string& address, std::uint16_t port, const std::string& from = "",
              int timeoutMs = 2000);
// Accepts one client within timeoutMs; invalid Fd when none came.
Fd AcceptWithin(int listener, int timeoutMs);
// UDP socket bound to address:port (empty address and port 0: not bound).
Fd UdpSocket(const std::string& address, std::uint16_t port);

std::uint16_t LocalPort(int fd);
std::string LocalAddress(int fd);
// A TCP port that is free on every local address right now. Tests run in parallel processes,
// so they take ports like this rather than fixed ones.
std::uint16_t FreeTcpPort();
// A UDP port that is free on `address` right now.
std::uint16_t FreeUdpPort(const std::string& address);

bool WaitReadable(int fd, int timeoutMs);
// Sends every byte within timeoutMs.
bool SendAll(int fd, const void* bytes, std::size_t length, int timeoutMs = 2000);
bool SendAll(int fd, const std::vector<std::uint8_t>& bytes, int timeoutMs = 2000);
// Receives until `count` bytes arrived, the peer closed or timeoutMs passed.
std::vector<std::uint8_t> ReceiveBytes(int fd, std::size_t count, int timeoutMs);
// True when the peer's end of stream (or a reset) arrives within timeoutMs; data before it
// is discarded.
bool WaitForEndOfStream(int fd, int timeoutMs);
// Closing this socket then sends a reset instead of an orderly end.
void ResetOnClose(int fd);

// Number of descriptors the process holds.
int OpenDescriptorCount();

// One IF data packet of `streamId` with `payloadBytes` bytes counting up from `seed`.
std::vector<std::uint8_t> DataPacket(std::uint32_t streamId, std::uint8_t count, std::size_t payloadBytes,
                                     std::uint8_t seed = 0);

Vita49_Base_Settings BaseSettings(CONNECTION_TYPE type, const std::string& remote, std::uint16_t tcpPort,
                                  std::uint16_t udpPort, const std::string& local, std::uint32_t streamId);
Vita49_Receiver_Settings ReceiverSettings(const std::string& rawPath = "", const std::string& wavPath = "");

// Polls `condition` every few milliseconds until it holds or `limit` passes.
template <class Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// Milliseconds since `start`.
inline long long ElapsedMs(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// Test-name suffix for a connection type parameter (gtest's name generator).
template <class ParamInfo>
std::string ConnectionTypeTestName(const ParamInfo& info) {
    switch (static_cast<int>(info.param)) {
    case TCP_SERVER:
        return "TcpServer";
    case TCP_CLIENT:
        return "TcpClient";
    default:
        return "UdpSinglecast";
    }
}

} // namespace vita49::test
