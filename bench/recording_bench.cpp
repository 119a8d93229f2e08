// Recording while receiving: a paced UDP stream over loopback into a Vita49Receiver that
// records raw, WAV (32-bit floats) and SigMF at once. Case "disk": all three files in one
// folder on a real disk. Case "pipe": the raw recording goes into a named pipe whose reader
// pauses for 100 ms every 500 ms, the WAV and SigMF files to the disk. For each: packets
// sent, data callbacks, packets the receiver counted lost, samples missing from each file,
// the time Close took, and the recording error text. It prints figures and never fails.
//
// Usage: recording_bench [--dir=FOLDER] [--seconds=S] [--rate=GBPS]
//   FOLDER defaults to /tmp; S to 3; GBPS (payload and headers on the wire) to 0.5.
// Loopback addresses 127.0.41.30 and 127.0.41.31 only.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "BenchStream.h"
#include "vita49/Vita49Receiver.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint16_t kPort = 47431;

std::string Option(int argc, char** argv, const std::string& name, const std::string& fallback) {
    const std::string prefix = "--" + name + "=";
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], prefix.c_str(), prefix.size()) == 0) return argv[i] + prefix.size();
    return fallback;
}

std::uint64_t SizeOf(const std::string& path) {
    std::error_code ec;
    const auto n = std::filesystem::file_size(path, ec);
    return ec ? 0 : n;
}

// Reads the pipe to its end, pausing for 100 ms every 500 ms; counts the bytes.
void PausingReader(const std::string& path, std::atomic<std::uint64_t>& bytes) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return;
    std::vector<char> chunk(1 << 20);
    auto nextPause = Clock::now() + std::chrono::milliseconds(500);
    for (;;) {
        const ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n <= 0) break;
        bytes += static_cast<std::uint64_t>(n);
        if (Clock::now() >= nextPause) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            nextPause = Clock::now() + std::chrono::milliseconds(500);
        }
    }
    ::close(fd);
}

void RunCase(const char* name, const std::string& address, const std::string& dir, bool pipe, double seconds,
             double rateGBps) {
    const std::string raw = dir + "/rb-" + name + ".raw", wav = dir + "/rb-" + name + ".wav",
                      base = dir + "/rb-" + name;
    std::filesystem::remove(raw);
    std::atomic<std::uint64_t> piped{0};
    std::thread reader;
    if (pipe) {
        ::mkfifo(raw.c_str(), 0600);
        reader = std::thread(PausingReader, raw, std::ref(piped));
        // Open refuses a pipe that nobody reads: wait until the reader has it open.
        for (int i = 0; i < 200; ++i) {
            const int probe = ::open(raw.c_str(), O_WRONLY | O_NONBLOCK);
            if (probe >= 0) {
                ::close(probe);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    Vita49_Base_Settings b{};
    b.connectionType = UDP_SINGLECAST;
    b.udpPort = kPort;
    std::snprintf(b.localAddress, sizeof b.localAddress, "%s", address.c_str());
    b.streamId = vita49::bench::kStreamId;
    Vita49_Receiver_Settings s{};
    std::snprintf(s.rawFilePath, sizeof s.rawFilePath, "%s", raw.c_str());
    std::snprintf(s.wavFilePath, sizeof s.wavFilePath, "%s", wav.c_str());
    Vita49Receiver rx;
    rx.Init(b, s);
    rx.SetSigMFRecording(base.c_str());
    std::atomic<std::uint64_t> callbacks{0}, lost{0};
    rx.SetDataCallback([&](const Vita49_Info&, const Vita49_Context& c, const Vita49_Data& d) {
        if (c.payloadFormatValid) callbacks.fetch_add(1, std::memory_order_relaxed);
        lost.store(d.packetsLost, std::memory_order_relaxed);
    });
    if (rx.Open() != RC_OK) {
        std::printf("%-5s receiver did not open\n", name);
        if (reader.joinable()) reader.join();
        return;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kPort);
    ::inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    auto send = [&](const std::uint8_t* p, std::size_t n) {
        return ::sendto(fd, p, n, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) == static_cast<ssize_t>(n);
    };
    const auto context = vita49::bench::MakeFullContextPacket(0);
    send(context.data(), context.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    const vita49::bench::Stream ring = vita49::bench::MakeDataRing();
    const double bytesPerSecond = rateGBps * 1e9;
    std::uint64_t sent = 0, sentBytes = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (std::size_t i = 0; Clock::now() < end; i = (i + 1) % ring.Packets()) {
        // Paced: never ahead of the rate's schedule, sleeping rather than spinning so that the
        // receiving side keeps the cores of a small machine.
        while (static_cast<double>(sentBytes) >
               bytesPerSecond * std::chrono::duration<double>(Clock::now() - start).count())
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        const std::size_t at = ring.packetStarts[i];
        if (send(ring.bytes.data() + at, ring.PacketEnd(i) - at)) {
            ++sent;
            sentBytes += ring.PacketEnd(i) - at;
        }
    }
    const double sendSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto closeStart = Clock::now();
    rx.Close();
    const double closeMs = std::chrono::duration<double, std::milli>(Clock::now() - closeStart).count();
    ::close(fd);
    if (reader.joinable()) reader.join();

    const std::uint64_t got = callbacks.load();
    const std::uint64_t payload = got * vita49::bench::kPayloadBytes;
    const std::uint64_t rawBytes = pipe ? piped.load() : SizeOf(raw);
    const std::uint64_t wavData = SizeOf(wav) > 44 ? SizeOf(wav) - 44 : 0;
    const std::uint64_t sigmf = SizeOf(base + ".sigmf-data");
    // Samples (I/Q pairs of 16-bit items: 4 bytes; 8 bytes as floats in the WAV file).
    auto missing = [](std::uint64_t want, std::uint64_t have, std::uint64_t perSample) {
        return want > have ? (want - have) / perSample : 0;
    };
    std::printf("%-5s sent %llu packets in %.2f s (%.3f GB/s); callbacks %llu (%.2f%% not delivered), "
                "packetsLost %llu; close %.0f ms\n",
                name, static_cast<unsigned long long>(sent), sendSeconds, sentBytes / sendSeconds / 1e9,
                static_cast<unsigned long long>(got), sent ? 100.0 * (sent - std::min(sent, got)) / sent : 0.0,
                static_cast<unsigned long long>(lost.load()), closeMs);
    std::printf("      samples missing from the recordings: raw%s %llu of %llu, WAV %llu, SigMF %llu\n",
                pipe ? " (pipe)" : "", static_cast<unsigned long long>(missing(payload, rawBytes, 4)),
                static_cast<unsigned long long>(payload / 4),
                static_cast<unsigned long long>(missing(2 * payload, wavData, 8)),
                static_cast<unsigned long long>(missing(payload, sigmf, 4)));
    const std::string error = rx.RecordingError();
    std::printf("      recording error: %s\n", error.empty() ? "(none)" : error.c_str());
    for (const std::string& f : {raw, wav, base + ".sigmf-data", base + ".sigmf-meta"}) std::filesystem::remove(f);
}

} // namespace

int main(int argc, char** argv) {
    const std::string dir = Option(argc, argv, "dir", "/tmp");
    const double seconds = std::atof(Option(argc, argv, "seconds", "3").c_str());
    const double rate = std::atof(Option(argc, argv, "rate", "0.5").c_str());
    std::printf("recording_bench: %.1f s at %.2f GB/s, files in %s\n", seconds, rate, dir.c_str());
    RunCase("disk", "127.0.41.30", dir, false, seconds, rate);
    RunCase("pipe", "127.0.41.31", dir, true, seconds, rate);
    return 0;
}
