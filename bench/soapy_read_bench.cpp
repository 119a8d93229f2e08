// The SoapySDR side of soapy_read_bench.py: an SDR program's readStream loop into CF32.
//
//   soapy_read_bench ADDRESS PORT
//       makes the device driver=vita49 (the module from SOAPY_SDR_PLUGIN_PATH) for an
//       instrument on ADDRESS whose command port is a simulator in this process, streaming to
//       ADDRESS:PORT; prints `ready` once the stream is active, reads until standard input
//       ends, then until the stream is quiet, and prints `received SAMPLES OVERFLOWS
//       CPU_SECONDS` (user + system, every thread, from before make to after unmake).
// The simulator only answers the commands: its own stream is one packet of another stream
// identifier, so that everything the device reads comes from python_bench_peer's sender.
// Loopback addresses only.

#include <sys/resource.h>
#include <unistd.h>

#include <SoapySDR/Device.hpp>
#include <SoapySDR/Errors.h>
#include <SoapySDR/Formats.hpp>

#include <atomic>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchStream.h"
#include "sim/Simulator.h"

namespace {

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: soapy_read_bench ADDRESS PORT\n");
        return 2;
    }
    const std::string address = argv[1], port = argv[2];

    // One IF context packet of stream 0x22222222, header, identifier and an empty CIF0.
    const std::string replay = "/tmp/soapy_read_bench_" + std::to_string(::getpid()) + ".bin";
    {
        std::ofstream f(replay, std::ios::binary);
        const unsigned char packet[12] = {0x40, 0, 0, 3, 0x22, 0x22, 0x22, 0x22, 0, 0, 0, 0};
        f.write(reinterpret_cast<const char*>(packet), sizeof packet);
    }
    vita49::sim::SimConfig config;
    config.address = address;
    config.replay.path = replay;
    config.replay.raw = true;
    vita49::sim::Simulator sim(config);
    std::string error;
    const bool started = sim.Start(&error);
    std::remove(replay.c_str());
    if (!started) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return 1;
    }

    const double cpuBefore = CpuSeconds();
    std::uint64_t samples = 0, overflows = 0;
    {
        SoapySDR::Kwargs args{{"driver", "vita49"}, {"addr", address}, {"local", address}, {"udp_port", port},
                              {"stream_id", std::to_string(vita49::bench::kStreamId)}};
        SoapySDR::Device* device = SoapySDR::Device::make(args);
        SoapySDR::Stream* rx = device->setupStream(SOAPY_SDR_RX, SOAPY_SDR_CF32);
        if (device->activateStream(rx) != 0) return 1;
        std::printf("ready\n");
        std::fflush(stdout);

        std::atomic<bool> ended{false};
        std::thread watcher([&] {
            char line[64];
            while (std::fgets(line, sizeof line, stdin) != nullptr) {
            }
            ended.store(true);
        });
        std::vector<std::complex<float>> buffer(device->getStreamMTU(rx) * 16);
        void* buffs[] = {buffer.data()};
        for (;;) {
            int flags = 0;
            long long timeNs = 0;
            const bool draining = ended.load();
            const int n = device->readStream(rx, buffs, buffer.size(), flags, timeNs, draining ? 300000 : 100000);
            if (n > 0)
                samples += static_cast<std::uint64_t>(n);
            else if (n == SOAPY_SDR_OVERFLOW)
                ++overflows;
            else if (n == SOAPY_SDR_TIMEOUT && draining)
                break;
            else if (n != SOAPY_SDR_TIMEOUT) {
                std::fprintf(stderr, "readStream: %s\n", SoapySDR_errToStr(n));
                break;
            }
        }
        watcher.join();
        device->deactivateStream(rx);
        device->closeStream(rx);
        SoapySDR::Device::unmake(device);
    }
    const double cpu = CpuSeconds() - cpuBefore;
    sim.Stop();
    std::printf("received %llu %llu %.6f\n", static_cast<unsigned long long>(samples),
                static_cast<unsigned long long>(overflows), cpu);
    return 0;
}
