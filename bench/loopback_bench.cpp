// The receiver against the transport over loopback. In one run a sender thread pushes
// back-to-back IF data packets as fast as the socket takes them, first to a bare receive
// loop that only counts bytes (the same socket type, buffer size and thread priority, one
// blocking recv per cycle into a 64 KiB buffer, no decoding), then to a Vita49Receiver
// whose data callback counts packets. TCP with this host as server and as client, and UDP: as fast as possible,
// paced just below the bare loop's rate, and paced at a fixed rate for a longer while.
//
// The bare loop and the receiver take turns, a few rounds each, and the median round of each
// is reported, so that both are measured on the same (shared, noisy) machine. The sender runs
// on the first core and the receiving side on the second in every round: left to the
// scheduler, the two sometimes share a core and sometimes not, and the rate of the same
// loop then varies by a factor of two from round to round.
//
// Options (command line or environment):
//   --seconds=S          VITA49_BENCH_SECONDS          measuring window per round (default 1)
//   --rounds=N           VITA49_BENCH_ROUNDS           rounds per side (default 5)
//   --sustain-seconds=S  VITA49_BENCH_SUSTAIN_SECONDS  the fixed-rate UDP case (default 5)
//   --udp-rate=G         VITA49_BENCH_UDP_RATE         its rate in GB/s (default 0.5)
// Loopback addresses 127.0.6.21 to 127.0.6.24 only.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchStream.h"
#include "net/Platform.h"
#include "net/SocketConnection.h"
#include "vita49/Vita49Receiver.h"

namespace {

using Clock = std::chrono::steady_clock;
using vita49::bench::Stream;

double g_seconds = 1;
int g_rounds = 5;
double g_sustainSeconds = 5;
double g_udpRateGBps = 0.5;
// Packets per second the bare loop took from a sender going flat out, for the paced case.
double g_bareUdpPacketRate = 0;

constexpr const char* kTcpServerAddress = "127.0.6.21";
constexpr const char* kTcpClientAddress = "127.0.6.22";
constexpr const char* kUdpAddress = "127.0.6.23";
constexpr const char* kUdpSustainAddress = "127.0.6.24";
constexpr const char* kUdpRecordAddress = "127.0.6.25";

const Stream& Ring() {
    static const Stream ring = vita49::bench::MakeDataRing();
    return ring;
}
std::size_t PacketBytes() { return Ring().bytes.size() / Ring().Packets(); }

double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Threads inherit the affinity of the thread that starts them: the sender is started while
// the calling thread is pinned to the first core, the receiving side while it is pinned to
// the second, so that every round places them alike. No-op with fewer than two cores.
class Placement {
public:
    Placement() { pthread_getaffinity_np(pthread_self(), sizeof all_, &all_); }
    ~Placement() { pthread_setaffinity_np(pthread_self(), sizeof all_, &all_); }
    void ForSender() { Pin(0); }
    void ForReceiver() { Pin(1); }

private:
    void Pin(int which) {
        int seen = 0;
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (!CPU_ISSET(cpu, &all_)) continue;
            if (seen++ == which) {
                cpu_set_t one;
                CPU_ZERO(&one);
                CPU_SET(cpu, &one);
                pthread_setaffinity_np(pthread_self(), sizeof one, &one);
                return;
            }
        }
    }
    cpu_set_t all_{};
};

// --- Plain sockets for the sender and the bare loop -----------------------------------------

class Socket {
public:
    explicit Socket(int fd = -1) : fd_(fd) {}
    Socket(Socket&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Socket& operator=(Socket&& o) noexcept {
        std::swap(fd_, o.fd_);
        return *this;
    }
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_;
};

sockaddr_in Address(const char* ip, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

void SetTimeouts(int fd, int ms) {
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

Socket Bound(int type, const char* ip, std::uint16_t port) {
    Socket s(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
    const int one = 1;
    ::setsockopt(s.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = Address(ip, port);
    if (::bind(s.fd(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return Socket();
    return s;
}

std::uint16_t PortOf(int fd) {
    sockaddr_in a{};
    socklen_t n = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    return ntohs(a.sin_port);
}

// A TCP port free on every address (the receiver's listener binds the wildcard address).
std::uint16_t FreeTcpPort() {
    Socket s = Bound(SOCK_STREAM, "0.0.0.0", 0);
    return s.valid() ? PortOf(s.fd()) : 0;
}

Socket Listen(const char* ip, std::uint16_t port) {
    Socket s = Bound(SOCK_STREAM, ip, port);
    if (s.valid() && ::listen(s.fd(), 4) != 0) return Socket();
    return s;
}

Socket AcceptWithin(int listener, int ms) {
    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, ms) != 1) return Socket();
    return Socket(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

Socket ConnectWithin(const char* ip, std::uint16_t port, int ms) {
    const auto start = Clock::now();
    while (Since(start) * 1000 < ms) {
        Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a = Address(ip, port);
        if (::connect(s.fd(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return s;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return Socket();
}

// --- The sender ------------------------------------------------------------------------------

// Pushes the data ring round and round: over TCP as fast as the socket takes it, over UDP
// one datagram per packet, flat out or paced to `packetRate` per second.
class Sender {
public:
    ~Sender() { Stop(); }

    void StartStream(Socket socket) {
        socket_ = std::move(socket);
        SetTimeouts(socket_.fd(), 100);
        thread_ = std::thread([this] { StreamLoop(); });
    }
    // Accepts the receiver's connection on `listener`, then streams.
    void AcceptAndStream(Socket listener) {
        thread_ = std::thread([this, l = std::move(listener)] {
            while (!stop_.load() && !socket_.valid()) socket_ = AcceptWithin(l.fd(), 100);
            if (stop_.load()) return;
            SetTimeouts(socket_.fd(), 100);
            StreamLoop();
        });
    }
    void StartDatagrams(const char* ip, std::uint16_t port, double packetRate) {
        socket_ = Socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        const int sendBuffer = 4 << 20;
        ::setsockopt(socket_.fd(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        target_ = Address(ip, port);
        thread_ = std::thread([this, packetRate] { DatagramLoop(packetRate); });
    }
    void Stop() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
        socket_ = Socket();
    }
    std::uint64_t Packets() const { return packets_.load(std::memory_order_relaxed); }

private:
    void StreamLoop() {
        const Stream& ring = Ring();
        std::size_t at = 0;
        std::uint64_t bytes = 0;
        while (!stop_.load(std::memory_order_relaxed)) {
            const ssize_t n = ::send(socket_.fd(), ring.bytes.data() + at, ring.bytes.size() - at, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
                break;
            }
            at = (at + static_cast<std::size_t>(n)) % ring.bytes.size();
            bytes += static_cast<std::uint64_t>(n);
            packets_.store(bytes / PacketBytes(), std::memory_order_relaxed);
        }
    }

    void DatagramLoop(double packetRate) {
        const Stream& ring = Ring();
        const std::size_t size = PacketBytes();
        std::uint64_t sent = 0;
        const auto start = Clock::now();
        while (!stop_.load(std::memory_order_relaxed)) {
            if (packetRate > 0) {
                const double due = Since(start) * packetRate;
                if (static_cast<double>(sent) >= due) {
                    std::this_thread::sleep_for(std::chrono::microseconds(100));
                    continue;
                }
            }
            const std::uint8_t* packet = ring.bytes.data() + ring.packetStarts[sent % ring.Packets()];
            const ssize_t n = ::sendto(socket_.fd(), packet, size, 0, reinterpret_cast<const sockaddr*>(&target_),
                                       sizeof target_);
            if (n == static_cast<ssize_t>(size)) packets_.store(++sent, std::memory_order_relaxed);
        }
    }

    Socket socket_;
    sockaddr_in target_{};
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> packets_{0};
};

// --- The two receiving sides -----------------------------------------------------------------

// What the measurement needs of a receiving side: bytes taken so far, counted by its own
// thread.
struct Side {
    virtual ~Side() = default;
    virtual std::uint64_t Bytes() const = 0;
    virtual void Stop() = 0;
};

// The baseline: recv into a fixed 64 KiB buffer, count, repeat; at the receive thread's
// priority.
class BareLoop : public Side {
public:
    ~BareLoop() override { Stop(); }
    void Run(Socket socket) {
        socket_ = std::move(socket);
        SetTimeouts(socket_.fd(), 100);
        thread_ = std::thread([this] {
            // The receive thread's raised priority, so that the two differ in decoding only:
            // on loopback the priority alone changes the rate, as the sender shares the cores.
            vita49::net::RaiseThreadPriority();
            alignas(64) static thread_local std::uint8_t buffer[65536];
            std::uint64_t total = 0;
            while (!stop_.load(std::memory_order_relaxed)) {
                const ssize_t n = ::recv(socket_.fd(), buffer, sizeof buffer, 0);
                if (n > 0) {
                    total += static_cast<std::uint64_t>(n);
                    bytes_.store(total, std::memory_order_relaxed);
                } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                    break;
                }
            }
        });
    }
    // Connects to the sender's listener from the receive thread, then counts.
    void ConnectAndRun(const char* ip, std::uint16_t port) { Run(ConnectWithin(ip, port, 2000)); }
    std::uint64_t Bytes() const override { return bytes_.load(std::memory_order_relaxed); }
    void Stop() override {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
        socket_ = Socket();
    }
    int ReceiveBuffer() const {
        int size = 0;
        socklen_t n = sizeof size;
        ::getsockopt(socket_.fd(), SOL_SOCKET, SO_RCVBUF, &size, &n);
        return size;
    }

private:
    Socket socket_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> bytes_{0};
};

// The UDP baseline socket, sized as the receiver sizes its own.
Socket BareUdpSocket(const char* ip, std::uint16_t port) {
    Socket s = Bound(SOCK_DGRAM, ip, port);
    int size = vita49::net::SocketConnection::kUdpReceiveBuffer;
    if (::setsockopt(s.fd(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        ::setsockopt(s.fd(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    return s;
}

class ReceiverSide : public Side {
public:
    // `recordBase` non-empty: raw, WAV and SigMF recordings all on, as <base>.iq, <base>.wav
    // and <base>.sigmf-*.
    ReceiverSide(CONNECTION_TYPE type, const char* address, std::uint16_t tcpPort, std::uint16_t udpPort,
                 const std::string& recordBase = std::string()) {
        Vita49_Base_Settings base;
        std::memset(&base, 0, sizeof base);
        base.connectionType = type;
        base.tcpPort = tcpPort;
        base.udpPort = udpPort;
        std::snprintf(base.remoteAddress, sizeof base.remoteAddress, "%s", address);
        if (type == UDP_SINGLECAST) std::snprintf(base.localAddress, sizeof base.localAddress, "%s", address);
        base.streamId = vita49::bench::kStreamId;
        Vita49_Receiver_Settings settings;
        std::memset(&settings, 0, sizeof settings);
        if (!recordBase.empty()) {
            std::snprintf(settings.rawFilePath, sizeof settings.rawFilePath, "%s.iq", recordBase.c_str());
            std::snprintf(settings.wavFilePath, sizeof settings.wavFilePath, "%s.wav", recordBase.c_str());
            settings.wavIntegerSamples = 1;
            receiver_.SetSigMFRecording(recordBase.c_str());
        }
        receiver_.Init(base, settings);
        receiver_.SetDataCallback([this](const Vita49_Info&, const Vita49_Context&, const Vita49_Data&) {
            packets_.store(packets_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        });
        receiver_.SetInfoCallback([this](const Vita49_Info&) { infos_.fetch_add(1); });
        receiver_.SetConnectionErrorCallback([this] { errors_.fetch_add(1); });
    }
    ~ReceiverSide() override { Stop(); }
    bool Open() {
        open_ = receiver_.Open() == RC_OK;
        return open_;
    }
    std::uint64_t Packets() const { return packets_.load(std::memory_order_relaxed); }
    std::uint64_t Bytes() const override { return Packets() * PacketBytes(); }
    std::uint64_t Infos() const { return infos_.load(); }
    void Stop() override {
        if (open_) receiver_.Close();
        open_ = false;
    }
    std::string RecordingError() const { return receiver_.RecordingError(); }

private:
    Vita49Receiver receiver_;
    bool open_ = false;
    std::atomic<std::uint64_t> packets_{0};
    std::atomic<std::uint64_t> infos_{0};
    std::atomic<std::uint64_t> errors_{0};
};

// --- Measurement -----------------------------------------------------------------------------

bool WaitFor(const std::function<bool()>& condition, double seconds) {
    const auto start = Clock::now();
    while (!condition()) {
        if (Since(start) > seconds) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Waits for the first bytes and a short warm-up, then measures over `seconds`. Returns the
// bytes per second taken by `side` in that window, 0 when nothing arrived.
double MeasureRate(const Side& side, double seconds) {
    if (!WaitFor([&] { return side.Bytes() > 0; }, 3)) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::uint64_t before = side.Bytes();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const std::uint64_t after = side.Bytes();
    return static_cast<double>(after - before) / Since(start);
}

// Waits until the receiving side stops taking packets after the sender stopped, so that the
// datagrams still queued are counted as received rather than lost.
void Drain(const Side& side, std::uint64_t sentPackets) {
    const auto received = [&] { return side.Bytes() / PacketBytes(); };
    std::uint64_t last = received();
    auto quietSince = Clock::now();
    while (received() < sentPackets && Since(quietSince) < 0.3) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (received() != last) {
            last = received();
            quietSince = Clock::now();
        }
    }
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// One round of one side: its rate in bytes per second, and for datagrams what was sent,
// at what rate, and how much of it never arrived.
struct Round {
    double rate = 0;
    std::uint64_t sent = 0, lost = 0;
    double sentRate = 0;
    std::string error;
};

// The baseline and the receiver take turns, `g_rounds` rounds each of `seconds`, so that both
// see the same machine; the counters come from the median round of each.
void SideBySide(benchmark::State& state, const std::function<Round()>& bare, const std::function<Round()>& receiver,
                double seconds, bool datagrams) {
    for (auto _ : state) {
        std::vector<double> bareRates, rates;
        std::uint64_t bareLost = 0, lost = 0, sent = 0;
        for (int round = 0; round < g_rounds; ++round) {
            for (bool ours : {false, true}) {
                const Round r = ours ? receiver() : bare();
                if (!r.error.empty()) {
                    state.SkipWithError(r.error.c_str());
                    return;
                }
                (ours ? rates : bareRates).push_back(r.rate);
                (ours ? lost : bareLost) += r.lost;
                if (ours) sent += r.sent;
            }
        }
        const double rate = Median(rates), bareRate = Median(bareRates);
        state.SetIterationTime(seconds * g_rounds * 2);
        state.counters["GB_per_s"] = rate / 1e9;
        state.counters["pkt_per_s"] = rate / static_cast<double>(PacketBytes());
        state.counters["base_GB_per_s"] = bareRate / 1e9;
        state.counters["ratio"] = rate / bareRate;
        if (datagrams) {
            state.counters["lost"] = static_cast<double>(lost);
            state.counters["base_lost"] = static_cast<double>(bareLost);
            state.counters["sent"] = static_cast<double>(sent);
        }
    }
}

// --- TCP -------------------------------------------------------------------------------------

Round TcpServerBare() {
    Placement place;
    Socket listener = Listen(kTcpServerAddress, 0);
    const std::uint16_t port = PortOf(listener.fd());
    Sender sender;
    place.ForSender();
    sender.StartStream(ConnectWithin(kTcpServerAddress, port, 2000));
    BareLoop bare;
    place.ForReceiver();
    bare.Run(AcceptWithin(listener.fd(), 2000));
    Round r;
    r.rate = MeasureRate(bare, g_seconds);
    if (r.rate == 0) r.error = "no bytes reached the bare loop";
    return r;
}

Round TcpServerReceiver() {
    Placement place;
    const std::uint16_t port = FreeTcpPort();
    ReceiverSide receiver(TCP_SERVER, kTcpServerAddress, port, 0);
    Round r;
    place.ForReceiver();
    if (!receiver.Open()) {
        r.error = "receiver did not open";
        return r;
    }
    Sender sender;
    place.ForSender();
    sender.StartStream(ConnectWithin(kTcpServerAddress, port, 2000));
    r.rate = MeasureRate(receiver, g_seconds);
    sender.Stop();
    receiver.Stop();
    if (r.rate == 0) r.error = "no packets reached the receiver";
    if (receiver.Infos() != 0) r.error = "the receiver dropped bytes";
    return r;
}

Round TcpClientBare() {
    Placement place;
    Socket listener = Listen(kTcpClientAddress, 0);
    const std::uint16_t port = PortOf(listener.fd());
    Sender sender;
    place.ForSender();
    sender.AcceptAndStream(std::move(listener));
    BareLoop bare;
    place.ForReceiver();
    bare.ConnectAndRun(kTcpClientAddress, port);
    Round r;
    r.rate = MeasureRate(bare, g_seconds);
    if (r.rate == 0) r.error = "no bytes reached the bare loop";
    return r;
}

Round TcpClientReceiver() {
    Placement place;
    Socket listener = Listen(kTcpClientAddress, 0);
    const std::uint16_t port = PortOf(listener.fd());
    Sender sender;
    place.ForSender();
    sender.AcceptAndStream(std::move(listener));
    ReceiverSide receiver(TCP_CLIENT, kTcpClientAddress, port, 0);
    Round r;
    place.ForReceiver();
    if (!receiver.Open()) {
        r.error = "receiver did not open";
        return r;
    }
    r.rate = MeasureRate(receiver, g_seconds);
    sender.Stop();
    receiver.Stop();
    if (r.rate == 0) r.error = "no packets reached the receiver";
    if (receiver.Infos() != 0) r.error = "the receiver dropped bytes";
    return r;
}

void BM_TcpServer(benchmark::State& state) { SideBySide(state, TcpServerBare, TcpServerReceiver, g_seconds, false); }
void BM_TcpClient(benchmark::State& state) { SideBySide(state, TcpClientBare, TcpClientReceiver, g_seconds, false); }

// --- UDP -------------------------------------------------------------------------------------

std::unique_ptr<Side> MakeBare(const char* address, std::uint16_t& port) {
    Socket s = BareUdpSocket(address, 0);
    if (!s.valid()) return nullptr;
    port = PortOf(s.fd());
    auto bare = std::make_unique<BareLoop>();
    bare->Run(std::move(s));
    return bare;
}

std::unique_ptr<Side> MakeReceiver(const char* address, std::uint16_t& port,
                                   const std::string& recordBase = std::string()) {
    // The receiver binds its own port: take one that is free on that address now.
    {
        Socket probe = Bound(SOCK_DGRAM, address, 0);
        if (!probe.valid()) return nullptr;
        port = PortOf(probe.fd());
    }
    auto receiver = std::make_unique<ReceiverSide>(UDP_SINGLECAST, address, 0, port, recordBase);
    if (!receiver->Open()) return nullptr;
    return receiver;
}

// One UDP round: a sender flat out (packetRate 0) or paced, measured for `seconds`; then
// the sender stops, the queue drains, and what was sent but never taken is lost.
Round UdpRound(bool ours, const char* address, double packetRate, double seconds,
               const std::string& recordBase = std::string()) {
    Round r;
    std::uint16_t port = 0;
    Placement place;
    place.ForReceiver();
    std::unique_ptr<Side> side = ours ? MakeReceiver(address, port, recordBase) : MakeBare(address, port);
    if (!side) {
        r.error = "receiving side did not open";
        return r;
    }
    Sender sender;
    place.ForSender();
    const auto start = Clock::now();
    sender.StartDatagrams(address, port, packetRate);
    r.rate = MeasureRate(*side, seconds);
    sender.Stop();
    const double sending = Since(start);
    r.sent = sender.Packets();
    r.sentRate = static_cast<double>(r.sent * PacketBytes()) / sending;
    Drain(*side, r.sent);
    const std::uint64_t got = side->Bytes() / PacketBytes();
    side->Stop();
    if (const auto* receiver = dynamic_cast<const ReceiverSide*>(side.get()))
        if (!receiver->RecordingError().empty()) r.error = "recording failed: " + receiver->RecordingError();
    r.lost = r.sent > got ? r.sent - got : 0;
    if (r.rate == 0) r.error = "no datagrams arrived";
    return r;
}

// Flat out: the sender as fast as sendto goes.
void BM_UdpFlatOut(benchmark::State& state) {
    SideBySide(
        state, [] { return UdpRound(false, kUdpAddress, 0, g_seconds); },
        [] { return UdpRound(true, kUdpAddress, 0, g_seconds); }, g_seconds, true);
    g_bareUdpPacketRate = state.counters["base_GB_per_s"] * 1e9 / static_cast<double>(PacketBytes());
}

// The receiver alone, paced at 0.9 times what the bare loop took flat out: a receiver that
// keeps up with 0.9 of the bare loop's rate loses nothing here.
void BM_UdpAtBareRate(benchmark::State& state) {
    if (g_bareUdpPacketRate <= 0) {
        state.SkipWithError("needs BM_UdpFlatOut first");
        return;
    }
    for (auto _ : state) {
        const Round r = UdpRound(true, kUdpAddress, 0.9 * g_bareUdpPacketRate, g_seconds);
        if (!r.error.empty()) {
            state.SkipWithError(r.error.c_str());
            return;
        }
        state.SetIterationTime(g_seconds);
        state.counters["GB_per_s"] = r.rate / 1e9;
        state.counters["sent_GB_per_s"] = r.sentRate / 1e9;
        state.counters["sent"] = static_cast<double>(r.sent);
        state.counters["lost"] = static_cast<double>(r.lost);
    }
}

// The receiver alone at a fixed rate for a long while, optionally recording. sent_GB_per_s
// shows whether the sender really kept that rate on this machine.
void Sustained(benchmark::State& state, const char* address, double seconds, const std::string& recordBase) {
    for (auto _ : state) {
        const double packetRate = g_udpRateGBps * 1e9 / static_cast<double>(PacketBytes());
        const Round r = UdpRound(true, address, packetRate, seconds, recordBase);
        if (!recordBase.empty())
            for (const char* suffix : {".iq", ".wav", ".sigmf-data", ".sigmf-meta"})
                ::unlink((recordBase + suffix).c_str());
        if (!r.error.empty()) {
            state.SkipWithError(r.error.c_str());
            return;
        }
        state.SetIterationTime(seconds);
        state.counters["GB_per_s"] = r.rate / 1e9;
        state.counters["offered_GB_per_s"] = g_udpRateGBps;
        state.counters["sent_GB_per_s"] = r.sentRate / 1e9;
        state.counters["sent"] = static_cast<double>(r.sent);
        state.counters["lost"] = static_cast<double>(r.lost);
        state.counters["seconds"] = seconds;
    }
}

void BM_UdpSustained(benchmark::State& state) { Sustained(state, kUdpSustainAddress, g_sustainSeconds, ""); }

// The same with the raw, WAV and SigMF recordings all on, into tmpfs. At most 8 s: the three
// files take 3 x 0.5 GB of memory a second.
void BM_UdpSustainedRecording(benchmark::State& state) {
    Sustained(state, kUdpRecordAddress, std::min(g_sustainSeconds, 8.0),
              "/dev/shm/vita49-bench-" + std::to_string(::getpid()) + "-rec");
}

} // namespace

int main(int argc, char** argv) {
    g_seconds = vita49::bench::NumberOption(argc, argv, "seconds", "VITA49_BENCH_SECONDS", 1);
    g_rounds = static_cast<int>(vita49::bench::NumberOption(argc, argv, "rounds", "VITA49_BENCH_ROUNDS", 5));
    g_sustainSeconds = vita49::bench::NumberOption(argc, argv, "sustain-seconds", "VITA49_BENCH_SUSTAIN_SECONDS", 5);
    g_udpRateGBps = vita49::bench::NumberOption(argc, argv, "udp-rate", "VITA49_BENCH_UDP_RATE", 0.5);

    for (auto* b : {
             benchmark::RegisterBenchmark("BM_TcpServer", BM_TcpServer),
             benchmark::RegisterBenchmark("BM_TcpClient", BM_TcpClient),
             benchmark::RegisterBenchmark("BM_UdpFlatOut", BM_UdpFlatOut),
             benchmark::RegisterBenchmark("BM_UdpAtBareRate", BM_UdpAtBareRate),
             benchmark::RegisterBenchmark("BM_UdpSustained", BM_UdpSustained),
             benchmark::RegisterBenchmark("BM_UdpSustainedRecording", BM_UdpSustainedRecording),
         })
        b->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
