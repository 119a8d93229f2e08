// The two C++ sides of python_read_bench.py, each in a process of its own so that CPU time is
// measured per side:
//
//   python_bench_peer send ADDRESS PORT GB_PER_S SECONDS
//       one IF context packet (I16Q16 at 100 MS/s), then the benchmark's IF data packets
//       (8,192-byte payloads, continuous packet counts) as UDP datagrams paced at GB_PER_S,
//       another context packet every 1,000 data packets; prints `sent PACKETS SECONDS`.
//   python_bench_peer receive ADDRESS PORT
//       a Vita49Receiver whose data callback counts packets (the C++ path); prints `ready`,
//       runs until standard input ends, then prints `received PACKETS LOST CPU_SECONDS`, the
//       CPU time (user + system, every thread) from before Open to after Close.
// Loopback addresses only.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "BenchStream.h"
#include "vita49/Vita49Receiver.h"

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

int Send(const char* address, int port, double gbPerSecond, double seconds) {
    const vita49::bench::Stream ring = vita49::bench::MakeDataRing();
    const std::size_t size = ring.bytes.size() / ring.Packets();
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int sendBuffer = 4 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, address, &to.sin_addr) != 1) return 2;
    const auto* target = reinterpret_cast<const sockaddr*>(&to);

    std::uint8_t contextCount = 0;
    auto sendContext = [&] {
        const std::vector<std::uint8_t> c = vita49::bench::MakeFullContextPacket(contextCount++ & 0x0F);
        ::sendto(fd, c.data(), c.size(), 0, target, sizeof to);
    };
    sendContext();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));

    const double packetRate = gbPerSecond * 1e9 / static_cast<double>(size);
    std::uint64_t sent = 0;
    const auto start = Clock::now();
    for (;;) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (elapsed >= seconds) break;
        if (static_cast<double>(sent) >= elapsed * packetRate) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
            continue;
        }
        const std::uint8_t* packet = ring.bytes.data() + ring.packetStarts[sent % ring.Packets()];
        if (::sendto(fd, packet, size, 0, target, sizeof to) == static_cast<ssize_t>(size)) {
            ++sent;
            if (sent % 1000 == 0) sendContext();
        }
    }
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(fd);
    std::printf("sent %llu %.6f %zu\n", static_cast<unsigned long long>(sent), took, size);
    return 0;
}

int Receive(const char* address, int port) {
    Vita49_Base_Settings base;
    std::memset(&base, 0, sizeof base);
    base.connectionType = UDP_SINGLECAST;
    base.udpPort = static_cast<std::uint16_t>(port);
    std::snprintf(base.remoteAddress, sizeof base.remoteAddress, "%s", address);
    std::snprintf(base.localAddress, sizeof base.localAddress, "%s", address);
    base.streamId = vita49::bench::kStreamId;
    // The settings the Python receiver uses: samples handed on in wire order.
    Vita49_Receiver_Settings settings;
    std::memset(&settings, 0, sizeof settings);
    settings.convertDataByteOrder = 1;
    settings.dataBigEndian = 1;

    Vita49Receiver receiver;
    receiver.Init(base, settings);
    std::atomic<std::uint64_t> packets{0};
    std::atomic<std::uint32_t> lost{0};
    receiver.SetDataCallback([&](const Vita49_Info&, const Vita49_Context&, const Vita49_Data& d) {
        packets.store(packets.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        lost.store(d.packetsLost, std::memory_order_relaxed);
    });
    const double cpuBefore = CpuSeconds();
    if (receiver.Open() != RC_OK) return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    char line[64];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
    }
    receiver.Close();
    const double cpu = CpuSeconds() - cpuBefore;
    std::printf("received %llu %u %.6f\n", static_cast<unsigned long long>(packets.load()), lost.load(), cpu);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 6 && std::strcmp(argv[1], "send") == 0)
        return Send(argv[2], std::atoi(argv[3]), std::atof(argv[4]), std::atof(argv[5]));
    if (argc == 4 && std::strcmp(argv[1], "receive") == 0) return Receive(argv[2], std::atoi(argv[3]));
    std::fprintf(stderr, "usage: python_bench_peer send ADDRESS PORT GB_PER_S SECONDS | receive ADDRESS PORT\n");
    return 2;
}
