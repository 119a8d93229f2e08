#include "sim/Signal.h"

#include <cmath>

namespace vita49::sim {
namespace {

constexpr double kPi = 3.14159265358979323846;

} // namespace

ToneSource::ToneSource(double amplitude, double noiseAmplitude, std::uint64_t seed)
    : amplitude_(amplitude), noise_(noiseAmplitude), state_(seed ? seed : 0x9E3779B97F4A7C15ull) {}

void ToneSource::SetFrequency(double offsetHz, double sampleRateHz) {
    const double step = sampleRateHz > 0 ? 2.0 * kPi * offsetHz / sampleRateHz : 0.0;
    step_ = Complex(std::cos(step), std::sin(step));
}

double ToneSource::NextNoise() {
    // xorshift64*: cheap, deterministic, good enough for a noise floor.
    auto draw = [this]() {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        const std::uint64_t r = state_ * 0x2545F4914F6CDD1Dull;
        return static_cast<double>(r >> 11) * (1.0 / 9007199254740992.0); // [0, 1)
    };
    return noise_ * (draw() - draw()); // triangular in (-noise, +noise)
}

Complex ToneSource::Next() {
    const Complex out = amplitude_ * phasor_ + Complex(NextNoise(), NextNoise());
    phasor_ *= step_;
    // The recurrence drifts in magnitude by rounding; pull it back now and then.
    if (++sinceRenormalise_ == 1024) {
        sinceRenormalise_ = 0;
        phasor_ /= std::abs(phasor_);
    }
    return out;
}

bool IsPowerOfTwo(std::size_t n) { return n != 0 && (n & (n - 1)) == 0; }

void Fft(std::vector<Complex>& a) {
    const std::size_t n = a.size();
    if (n < 2 || !IsPowerOfTwo(n)) return;
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        const double angle = -2.0 * kPi / static_cast<double>(len);
        const Complex wlen(std::cos(angle), std::sin(angle));
        for (std::size_t i = 0; i < n; i += len) {
            Complex w(1.0, 0.0);
            for (std::size_t k = 0; k < len / 2; ++k) {
                const Complex u = a[i + k];
                const Complex v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
                w *= wlen;
            }
        }
    }
}

SpectrumAnalyzer::SpectrumAnalyzer(std::size_t points)
    : points_(points), ring_(points), window_(points), work_(points), averagePower_(points, 0.0) {
    double sum = 0;
    for (std::size_t i = 0; i < points; ++i) {
        window_[i] = 0.5 - 0.5 * std::cos(2.0 * kPi * static_cast<double>(i) / static_cast<double>(points));
        sum += window_[i];
    }
    // A full-scale tone in the centre of a bin reads 0 dB relative to the reference level.
    windowGain_ = sum > 0 ? sum : 1.0;
}

void SpectrumAnalyzer::Push(Complex sample) {
    ring_[next_] = sample;
    if (++next_ == points_) next_ = 0;
}

void SpectrumAnalyzer::Compute(double referenceLevelDbm, std::vector<float>& latest, std::vector<float>& average) {
    for (std::size_t i = 0; i < points_; ++i) work_[i] = ring_[(next_ + i) % points_] * window_[i];
    Fft(work_);
    latest.resize(points_);
    average.resize(points_);
    const double norm = 1.0 / (windowGain_ * windowGain_);
    for (std::size_t k = 0; k < points_; ++k) {
        // FFT-shifted: output index 0 is the most negative frequency.
        const std::size_t bin = (k + points_ / 2) % points_;
        const double power = std::norm(work_[bin]) * norm + 1e-20;
        averagePower_[k] = averageValid_ ? 0.9 * averagePower_[k] + 0.1 * power : power;
        latest[k] = static_cast<float>(referenceLevelDbm + 10.0 * std::log10(power));
        average[k] = static_cast<float>(referenceLevelDbm + 10.0 * std::log10(averagePower_[k]));
    }
    averageValid_ = true;
}

void ToneEstimator::Add(Complex sample) {
    if (havePrevious_) sum_ += sample * std::conj(previous_);
    previous_ = sample;
    havePrevious_ = true;
    ++samples_;
}

void ToneEstimator::Reset() { *this = ToneEstimator(); }

double ToneEstimator::FrequencyHz(double sampleRateHz) const {
    if (sum_ == Complex(0.0, 0.0)) return 0.0;
    return std::arg(sum_) * sampleRateHz / (2.0 * kPi);
}

} // namespace vita49::sim
