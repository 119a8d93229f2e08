#ifndef _WIN32

#include "support/SimSession.h"

#include <cstring>
#include <thread>

#include "sim/Signal.h"

namespace vita49::test {
namespace {

void Copy(char (&target)[50], const std::string& text) {
    std::memset(target, 0, sizeof target);
    std::memcpy(target, text.data(), std::min(text.size(), sizeof target - 1));
}

std::int64_t Le(const std::uint8_t* p, unsigned bytes) {
    if (bytes == 2) return static_cast<std::int16_t>(p[0] | (p[1] << 8));
    return static_cast<std::int32_t>(std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
                                     (std::uint32_t{p[3]} << 24));
}

} // namespace

void SimSession::TearDown() {
    receiver.Close();
    control.Close();
    if (sim) sim->Stop();
}

void SimSession::StartSim(const std::string& simAddress, sim::SimConfig config) {
    address = simAddress;
    config.address = simAddress;
    sim = std::make_unique<sim::Simulator>(config);
    std::string error;
    ASSERT_TRUE(sim->Start(&error)) << error;
}

Vita49_Base_Settings SimSession::Settings(std::int32_t type, std::uint16_t tcpPort, std::uint16_t udpPort,
                                          const std::string& local, std::uint32_t streamId) const {
    Vita49_Base_Settings s{};
    s.connectionType = type;
    s.tcpPort = tcpPort;
    s.udpPort = udpPort;
    Copy(s.remoteAddress, address);
    Copy(s.localAddress, local.empty() ? address : local);
    s.streamId = streamId;
    return s;
}

void SimSession::SetUpStream(const Vita49_Base_Settings& settings) {
    control.Init(settings);
    ASSERT_EQ(control.Open(), RC_OK);
    ASSERT_EQ(control.InitVita49Streaming(), RC_OK);
}

void SimSession::OpenReceiver(const Vita49_Base_Settings& settings) {
    Vita49_Receiver_Settings r{};
    r.convertDataByteOrder = 1;
    r.dataBigEndian = 0;
    receiver.Init(settings, r);
    recorder.Attach(receiver);
    ASSERT_EQ(receiver.Open(), RC_OK);
}

void SimSession::StopAndDrain() {
    ASSERT_EQ(control.StopVita49Stream(), RC_OK);
    ASSERT_TRUE(WaitFor([&] { return sim->State().openStream < 0 && !sim->Streaming(); }));
    const std::uint64_t sent = sim->Stats().ifData;
    ASSERT_TRUE(WaitFor([&] { return recorder.Count(CallbackRecorder::Kind::Data) >= sent; }))
        << "received " << recorder.Count(CallbackRecorder::Kind::Data) << " of " << sent << " IF data packets";
}

double SimSession::RecordedToneHz() const {
    sim::ToneEstimator tone;
    double rate = 0;
    for (const auto& call : recorder.data) {
        if (!call.context.payloadFormatValid || !call.context.sampleRateValid) continue;
        rate = call.context.sampleRateHz;
        const unsigned bytes = call.context.dataItemSize / 8;
        const double scale = bytes == 2 ? 1.0 / 32768 : 1.0 / 2147483648.0;
        for (std::size_t k = 0; k + 2 * bytes <= call.samples.size(); k += 2 * bytes)
            tone.Add({Le(&call.samples[k], bytes) * scale, Le(&call.samples[k + bytes], bytes) * scale});
    }
    return tone.FrequencyHz(rate);
}

} // namespace vita49::test

#endif
