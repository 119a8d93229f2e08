// The module as a C++ SDR program loads it: SoapySDR::Device::make with the driver key, against
// the simulated instrument in this process. Each transport and output format streams the tone
// at its full-scale amplitude with continuous timestamps; refusals and a missing instrument
// become exceptions that say why.

#include <gtest/gtest.h>

#include <SoapySDR/Device.hpp>
#include <SoapySDR/Errors.h>
#include <SoapySDR/Formats.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <complex>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/Simulator.h"
#include "vita49/Vita49RemoteControl.h"

namespace {

struct Case {
    const char* name;
    const char* address; // of the simulator; also where the stream goes
    SoapySDR::Kwargs args; // device arguments beside driver and addr
    const char* format;
    SoapySDR::Kwargs streamArgs;
    unsigned wireBits; // the item size the instrument must have been told
};

std::ostream& operator<<(std::ostream& out, const Case& c) { return out << c.name; }

// The device on `address`, unmade at the end of the scope even when a check fails.
struct Made {
    explicit Made(const SoapySDR::Kwargs& args) : device(SoapySDR::Device::make(args)) {}
    ~Made() { SoapySDR::Device::unmake(device); }
    SoapySDR::Device* device;
};

class SoapySim : public ::testing::Test {
protected:
    void Start(const std::string& address) {
        vita49::sim::SimConfig config;
        config.address = address;
        sim = std::make_unique<vita49::sim::Simulator>(config);
        std::string error;
        ASSERT_TRUE(sim->Start(&error)) << error;
    }
    void TearDown() override {
        if (sim) sim->Stop();
    }
    void StreamAndCheck(const Case& c);
    std::unique_ptr<vita49::sim::Simulator> sim;
};

class SoapyDevice : public SoapySim, public ::testing::WithParamInterface<Case> {};

// Amplitude of the component at `hz`, in the units of the samples.
double Amplitude(const std::vector<std::complex<double>>& x, double hz, double rate) {
    std::complex<double> sum = 0;
    for (std::size_t k = 0; k < x.size(); ++k)
        sum += x[k] * std::polar(1.0, -2 * M_PI * hz * static_cast<double>(k) / rate);
    return std::abs(sum) / static_cast<double>(x.size());
}

void SoapySim::StreamAndCheck(const Case& c) {
    Start(c.address);
    SoapySDR::Kwargs args = c.args;
    args["driver"] = "vita49";
    args["addr"] = c.address;
    Made made(args);
    SoapySDR::Device* d = made.device;
    ASSERT_NE(d, nullptr);
    constexpr double kRate = 1.25e6;
    d->setFrequency(SOAPY_SDR_RX, 0, 98.5e6);
    d->setSampleRate(SOAPY_SDR_RX, 0, kRate);
    EXPECT_EQ(sim->Params().cbwHz, 1000000u);
    EXPECT_EQ(sim->Params().tuneHz, 98500000u);

    SoapySDR::Stream* rx = d->setupStream(SOAPY_SDR_RX, c.format, {0}, c.streamArgs);
    EXPECT_EQ(sim->Params().itemBits, c.wireBits);
    ASSERT_EQ(d->activateStream(rx), 0);
    const std::string format = c.format;
    const std::size_t bytes = SoapySDR::formatToSize(format);
    constexpr std::size_t kWanted = 200'000;
    std::vector<std::uint8_t> buffer(kWanted * bytes);
    std::vector<std::complex<double>> x;
    long long nextNs = 0;
    int timeouts = 0;
    while (x.size() < kWanted) {
        void* buffs[] = {buffer.data()};
        int flags = 0;
        long long timeNs = 0;
        const int n = d->readStream(rx, buffs, kWanted - x.size(), flags, timeNs, 1'000'000);
        if (n == SOAPY_SDR_TIMEOUT && ++timeouts < 3) continue;
        ASSERT_GT(n, 0) << SoapySDR_errToStr(n);
        ASSERT_TRUE(flags & SOAPY_SDR_HAS_TIME);
        if (!x.empty()) {
            EXPECT_NEAR(static_cast<double>(timeNs - nextNs), 0.0, 1000.0) << "at sample " << x.size();
        }
        nextNs = timeNs + std::llround(n / kRate * 1e9);
        // Full scale is 1 in every format: CF32 as it is, CS16 / 2^15, CS32 / 2^31.
        for (int k = 0; k < n; ++k) {
            if (format == SOAPY_SDR_CF32) {
                const float* f = reinterpret_cast<const float*>(buffer.data()) + 2 * k;
                x.emplace_back(f[0], f[1]);
            } else if (format == SOAPY_SDR_CS16) {
                const std::int16_t* s = reinterpret_cast<const std::int16_t*>(buffer.data()) + 2 * k;
                x.emplace_back(s[0] / 32768.0, s[1] / 32768.0);
            } else {
                const std::int32_t* s = reinterpret_cast<const std::int32_t*>(buffer.data()) + 2 * k;
                x.emplace_back(s[0] / 2147483648.0, s[1] / 2147483648.0);
            }
        }
    }
    EXPECT_NEAR(static_cast<double>(d->getHardwareTime() - nextNs), 0.0, 1e8); // the latest packet, not far on
    EXPECT_EQ(d->deactivateStream(rx), 0);
    d->closeStream(rx);

    // The simulator's tone: half of full scale at +0.125 CBW; nothing of note at -0.125 CBW.
    EXPECT_NEAR(Amplitude(x, 0.125e6, kRate), 0.5, 0.02);
    EXPECT_LT(Amplitude(x, -0.125e6, kRate), 0.01);
    EXPECT_DOUBLE_EQ(d->getFrequency(SOAPY_SDR_RX, 0), 98.5e6); // from the context
    EXPECT_DOUBLE_EQ(d->getSampleRate(SOAPY_SDR_RX, 0), kRate);
    EXPECT_NEAR(std::stod(d->readSetting("reference_level")), -10.0, 1e-9);
}

TEST_P(SoapyDevice, StreamsTheToneAtFullScaleWithContinuousTime) { StreamAndCheck(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    TransportsAndFormats, SoapyDevice,
    ::testing::Values(Case{"UdpCF32", "127.0.46.10", {{"udp_port", "44410"}}, SOAPY_SDR_CF32, {}, 16},
                      Case{"UdpCS16From32BitItems", "127.0.46.11", {{"local", "127.0.46.11"}}, SOAPY_SDR_CS16,
                           {{"item_size", "32"}}, 32},
                      Case{"TcpServerCS16", "127.0.46.12", {{"type", "tcp-server"}, {"tcp_port", "44412"}},
                           SOAPY_SDR_CS16, {}, 16},
                      Case{"TcpClientCS32", "127.0.46.13", {{"type", "tcp-client"}, {"tcp_port", "44413"}},
                           SOAPY_SDR_CS32, {}, 32}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// A group joined on this host's network would leave it: the multicast case runs only inside the
// private network namespace of its own CTest entry (soapy_mcast), which sets VITA49_IN_NETNS.
TEST_F(SoapySim, MulticastStreamsTheToneToTheGroup) {
    if (std::getenv("VITA49_IN_NETNS") == nullptr) GTEST_SKIP() << "runs in a private network namespace only";
    StreamAndCheck(Case{"Multicast",
                        "127.0.46.16",
                        {{"type", "multicast"}, {"group", "239.44.0.16"}, {"udp_port", "44416"}},
                        SOAPY_SDR_CF32,
                        {},
                        16});
}

class SoapyRefusals : public SoapySim {};

TEST_F(SoapyRefusals, RefusedSettingsAndAMissingInstrumentThrowWithTheReason) {
    try {
        Made nothing({{"driver", "vita49"}, {"addr", "127.0.46.14"}});
        ADD_FAILURE() << "made a device where no instrument listens";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("RC_"), std::string::npos) << e.what();
    }
    Start("127.0.46.15");
    {
        // Another client's refused command, queued before the device is made, is not its error.
        Vita49_Base_Settings other{};
        std::snprintf(other.remoteAddress, sizeof other.remoteAddress, "127.0.46.15");
        Vita49RemoteControl control;
        control.Init(other);
        ASSERT_EQ(control.Open(), RC_OK);
        ASSERT_EQ(control.ChangeCBW(5), RC_OK); // below what the instrument takes
        control.Close();
    }
    Made made({{"driver", "vita49"}, {"addr", "127.0.46.15"}});
    SoapySDR::Device* d = made.device;
    d->setBandwidth(SOAPY_SDR_RX, 0, 2e6);
    // Beyond what the instrument takes: its error queue says so, and nothing changes here.
    for (auto set : {+[](SoapySDR::Device* x) { x->setBandwidth(SOAPY_SDR_RX, 0, 500e6); },
                     +[](SoapySDR::Device* x) { x->setFrequency(SOAPY_SDR_RX, 0, 2e11); }}) {
        try {
            set(d);
            ADD_FAILURE() << "a refused setting passed as set";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find("refused"), std::string::npos) << e.what();
        }
    }
    EXPECT_DOUBLE_EQ(d->getBandwidth(SOAPY_SDR_RX, 0), 2e6);
    EXPECT_EQ(sim->Params().cbwHz, 2000000u);
    EXPECT_THROW(d->writeSetting("reference_level", "0"), std::runtime_error);
    EXPECT_THROW(d->setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS8), std::runtime_error);
    // Settings the instrument takes are passed on.
    d->writeSetting("oversampling", "false");
    EXPECT_FALSE(sim->Params().oversampling);
    d->setSampleRate(SOAPY_SDR_RX, 0, 3e6); // now CBW = rate
    EXPECT_EQ(sim->Params().cbwHz, 3000000u);
}

} // namespace
