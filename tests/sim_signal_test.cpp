// The simulated instrument's signal code: the FFT against a plain DFT, the spectrum levels
// and the tone estimator that tools use for their end-to-end check.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "sim/Signal.h"

namespace {

using vita49::sim::Complex;

constexpr double kPi = 3.14159265358979323846;

TEST(FftTest, AgreesWithAPlainDft) {
    for (std::size_t n : {2u, 8u, 64u, 256u}) {
        std::vector<Complex> x(n);
        std::uint32_t seed = 7;
        for (Complex& v : x) {
            seed = seed * 1664525u + 1013904223u;
            const double a = (seed >> 8) / 16777216.0 - 0.5;
            seed = seed * 1664525u + 1013904223u;
            v = Complex(a, (seed >> 8) / 16777216.0 - 0.5);
        }
        std::vector<Complex> fast = x;
        vita49::sim::Fft(fast);
        for (std::size_t k = 0; k < n; ++k) {
            Complex sum(0, 0);
            for (std::size_t t = 0; t < n; ++t) sum += x[t] * std::polar(1.0, -2.0 * kPi * double(k * t) / double(n));
            ASSERT_NEAR(std::abs(fast[k] - sum), 0.0, 1e-9) << "n=" << n << " k=" << k;
        }
    }
}

TEST(FftTest, LeavesOtherLengthsAlone) {
    std::vector<Complex> x = {{1, 0}, {2, 0}, {3, 0}};
    vita49::sim::Fft(x);
    EXPECT_EQ(x[0], Complex(1, 0));
    EXPECT_EQ(x[2], Complex(3, 0));
    EXPECT_FALSE(vita49::sim::IsPowerOfTwo(0));
    EXPECT_FALSE(vita49::sim::IsPowerOfTwo(96));
    EXPECT_TRUE(vita49::sim::IsPowerOfTwo(4096));
}

struct ToneCase {
    double offsetHz;
    double rateHz;
};

class ToneTest : public ::testing::TestWithParam<ToneCase> {};

TEST_P(ToneTest, EstimatorFindsTheGeneratedTone) {
    const ToneCase c = GetParam();
    vita49::sim::ToneSource source(0.5, 0.001, 99);
    source.SetFrequency(c.offsetHz, c.rateHz);
    vita49::sim::ToneEstimator estimator;
    for (int i = 0; i < 20000; ++i) estimator.Add(source.Next());
    EXPECT_NEAR(estimator.FrequencyHz(c.rateHz), c.offsetHz, 1e-4 * c.rateHz);
    EXPECT_EQ(estimator.Samples(), 20000u);
}

TEST_P(ToneTest, SpectrumPeaksAtTheToneWithItsLevel) {
    const ToneCase c = GetParam();
    vita49::sim::ToneSource source(0.5, 0.001, 3);
    source.SetFrequency(c.offsetHz, c.rateHz);
    vita49::sim::SpectrumAnalyzer analyzer(256);
    for (int i = 0; i < 256; ++i) analyzer.Push(source.Next());
    std::vector<float> latest, average;
    analyzer.Compute(-10.0, latest, average);
    ASSERT_EQ(latest.size(), 256u);
    const std::size_t peak = static_cast<std::size_t>(std::max_element(latest.begin(), latest.end()) - latest.begin());
    const double bin = c.rateHz / 256;
    EXPECT_NEAR((static_cast<double>(peak) - 128) * bin, c.offsetHz, bin);
    EXPECT_NEAR(latest[peak], -10.0 + 20 * std::log10(0.5), 1.5);
    // The first average is the trace itself.
    EXPECT_FLOAT_EQ(average[peak], latest[peak]);
}

INSTANTIATE_TEST_SUITE_P(Tones, ToneTest,
                         ::testing::Values(ToneCase{125000, 1250000}, ToneCase{-30000, 100000},
                                           ToneCase{0.0, 48000}, ToneCase{450, 1000}));

TEST(ToneEstimatorTest, GapsDoNotBridgeRunsAndResetForgets) {
    vita49::sim::ToneSource a(1.0, 0.0, 1);
    a.SetFrequency(1000, 48000);
    vita49::sim::ToneEstimator estimator;
    for (int i = 0; i < 100; ++i) estimator.Add(a.Next());
    // Skip a quarter turn's worth of samples: bridging the gap would bias the estimate.
    for (int i = 0; i < 12; ++i) a.Next();
    estimator.Break();
    for (int i = 0; i < 100; ++i) estimator.Add(a.Next());
    EXPECT_NEAR(estimator.FrequencyHz(48000), 1000, 1e-6);
    estimator.Reset();
    EXPECT_EQ(estimator.Samples(), 0u);
    EXPECT_EQ(estimator.FrequencyHz(48000), 0.0);
}

TEST(ToneSourceTest, SameSeedSameSamplesAndNoiseStaysLow) {
    vita49::sim::ToneSource a(0.5, 0.001, 42), b(0.5, 0.001, 42);
    a.SetFrequency(1000, 10000);
    b.SetFrequency(1000, 10000);
    for (int i = 0; i < 100000; ++i) {
        const Complex x = a.Next(), y = b.Next();
        ASSERT_EQ(x, y);
        ASSERT_NEAR(std::abs(x), 0.5, 0.0015) << i; // the magnitude does not drift
    }
}

} // namespace
