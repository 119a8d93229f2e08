// The real receiver over UDP loopback: once the first packets are through, a long stream of
// IF data, IF context and spectrum packets of constant trace length costs no heap allocation
// in any thread of the process (receive loop, socket calls, decoding, recordings, callbacks).

#include "support/CountingAllocator.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/LoopbackPeer.h"
#include "support/StreamBuilder.h"
#include "vita49/Vita49Receiver.h"

namespace vita49::test {
namespace {

constexpr const char* kAddress = "127.0.6.40";
constexpr std::uint32_t kStream = 0x0A110C02;
constexpr std::size_t kBlocks = 200;
constexpr std::size_t kWarmBlocks = 3;
constexpr std::size_t kDataPerBlock = 10;

// One datagram per packet; per block an IF context packet, a spectrum context packet,
// IF data packets with a trailer and spectrum data of one trace whose length stays the same.
std::vector<std::vector<std::uint8_t>> MakeDatagrams() {
    StreamBuilder b(kStream);
    sim::ContextValues context;
    context.hasSampleRate = true;
    context.sampleRateHz = 1e6;
    context.hasPayloadFormat = true;
    context.itemBits = 16;
    const std::vector<std::uint8_t> payload = Ramp(4096, 9);
    const std::vector<float> trace(200, -70.0f);
    std::uint8_t dataCount = 0;
    for (std::size_t block = 0; block < kBlocks; ++block) {
        const auto count = static_cast<std::uint8_t>(block & 0x0F);
        b.Context(count, context);
        b.ExtContext(count, 1e9, 1e6, 1e3, 5);
        for (std::size_t i = 0; i < kDataPerBlock; ++i) {
            sim::PacketHeader h = Header(1, kStream, static_cast<std::uint8_t>(dataCount++ & 0x0F));
            h.trailer = true;
            h.trailerWord = sim::MakeTrailer(sim::TrailerBits{});
            b.Packet(h, payload);
        }
        b.ExtData(count, 1, trace);
    }
    std::vector<std::vector<std::uint8_t>> datagrams;
    for (std::size_t i = 0; i < b.Spans().size(); ++i) datagrams.push_back(b.SpanBytes(i));
    return datagrams;
}

class ReceiverAllocations : public ::testing::Test {
protected:
    void SetUp() override {
        Fd probe = UdpSocket(kAddress, 0);
        ASSERT_TRUE(probe.Valid());
        port_ = LocalPort(probe.Get());
        probe.Close();
        sender_ = UdpSocket(kAddress, 0);
        ASSERT_TRUE(sender_.Valid());
        target_.sin_family = AF_INET;
        target_.sin_port = htons(port_);
        ::inet_pton(AF_INET, kAddress, &target_.sin_addr);
        datagrams_ = MakeDatagrams();
    }

    void TearDown() override {
        receiver_.Close();
        for (const std::string& path : files_) std::remove(path.c_str());
    }

    void Open(const Vita49_Receiver_Settings& settings) {
        receiver_.Init(BaseSettings(UDP_SINGLECAST, kAddress, 0, port_, kAddress, kStream), settings);
        receiver_.SetDataCallback([this](const Vita49_Info&, const Vita49_Context&, const Vita49_Data&) { ++data_; });
        receiver_.SetContextCallback([this](const Vita49_Info&, const Vita49_Context&) { ++others_; });
        receiver_.SetFFTContextCallback([this](const Vita49_Info&, const Vita49_FFTContext&) { ++others_; });
        receiver_.SetFFTDataCallback(
            [this](const Vita49_Info&, const Vita49_FFTContext&, const Vita49_FFTData&, float*) { ++others_; });
        ASSERT_EQ(receiver_.Open(), RC_OK);
    }

    // Sends datagrams [from, to) and waits until the receiver has handled them all, or
    // until it stops making progress (a datagram lost on a busy machine).
    void SendAndWait(std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            const std::vector<std::uint8_t>& d = datagrams_[i];
            ::sendto(sender_.Get(), d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&target_),
                     sizeof target_);
            ++sent_;
            // A breath now and then keeps the socket's queue short on a loaded machine.
            if (i % 64 == 63) std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        std::uint64_t last = Handled();
        while (Handled() < sent_ && WaitUntil([&] { return Handled() != last; }, std::chrono::milliseconds(500)))
            last = Handled();
    }

    std::uint64_t Handled() const { return data_.load() + others_.load(); }

    std::string TempFile(const char* name) {
        return files_.emplace_back(::testing::TempDir() + "vita49-net-alloc-" + std::to_string(::getpid()) + name);
    }

    std::uint16_t port_ = 0;
    Fd sender_;
    sockaddr_in target_{};
    std::vector<std::vector<std::uint8_t>> datagrams_;
    Vita49Receiver receiver_;
    std::atomic<std::uint64_t> data_{0}, others_{0};
    std::uint64_t sent_ = 0;
    std::vector<std::string> files_;
};

void ExpectNoAllocation(const CountAllocations& allocations) {
    EXPECT_EQ(allocations.News(), 0u);
    if (MallocCounted()) {
        EXPECT_EQ(allocations.Mallocs(), 0u);
    }
}

TEST_F(ReceiverAllocations, NonePerPacketWithConversion) {
    Vita49_Receiver_Settings settings = ReceiverSettings();
    settings.convertDataByteOrder = 1;
    Open(settings);
    const std::size_t warm = kWarmBlocks * (kDataPerBlock + 3);
    SendAndWait(0, warm);
    ASSERT_GT(Handled(), 0u) << "nothing arrived";

    CountAllocations allocations;
    SendAndWait(warm, datagrams_.size());
    allocations.Stop();

    ExpectNoAllocation(allocations);
    // Most of the stream was really handled while counting.
    EXPECT_GT(Handled(), datagrams_.size() * 9 / 10);
}

TEST_F(ReceiverAllocations, NonePerPacketWhileRecording) {
    Open(ReceiverSettings(TempFile(".iq"), TempFile(".wav")));
    const std::size_t warm = kWarmBlocks * (kDataPerBlock + 3);
    SendAndWait(0, warm);
    ASSERT_GT(Handled(), 0u) << "nothing arrived";

    CountAllocations allocations;
    SendAndWait(warm, datagrams_.size());
    allocations.Stop();

    ExpectNoAllocation(allocations);
    EXPECT_GT(Handled(), datagrams_.size() * 9 / 10);
}

} // namespace
} // namespace vita49::test
