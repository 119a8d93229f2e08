#pragma once

// The simulated instrument's test signal and the small bits of signal processing around it:
// a complex tone plus low noise, a radix-2 FFT for the spectrum traces, and a frequency
// estimator that tools use to check a received stream against the generated tone.

#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vita49::sim {

using Complex = std::complex<double>;

// A complex tone exp(j*2*pi*f*t) of fixed amplitude plus uniform-triangular noise, both in
// full-scale units (1.0 = largest sample). Deterministic for a given seed.
class ToneSource {
public:
    ToneSource(double amplitude, double noiseAmplitude, std::uint64_t seed);

    // Frequency offset from the centre and the sample rate; the phase stays continuous.
    void SetFrequency(double offsetHz, double sampleRateHz);
    Complex Next();

private:
    double NextNoise();

    double amplitude_;
    double noise_;
    std::uint64_t state_;
    Complex phasor_{1.0, 0.0};
    Complex step_{1.0, 0.0};
    unsigned sinceRenormalise_ = 0;
};

// In-place radix-2 FFT; `data.size()` must be a power of two.
void Fft(std::vector<Complex>& data);
bool IsPowerOfTwo(std::size_t n);

// Two traces of the same length from a window of samples: trace 1 the latest power spectrum,
// trace 2 its running average. Levels in dBm, full scale being the reference level, bins
// ordered from -rate/2 to +rate/2.
class SpectrumAnalyzer {
public:
    explicit SpectrumAnalyzer(std::size_t points);

    std::size_t Points() const { return points_; }
    void Push(Complex sample);
    // Computes both traces from the latest `Points()` samples.
    void Compute(double referenceLevelDbm, std::vector<float>& latest, std::vector<float>& average);
    // Forgets the running average (after a change of the parameters).
    void ResetAverage() { averageValid_ = false; }

private:
    std::size_t points_;
    std::vector<Complex> ring_;
    std::size_t next_ = 0;
    std::vector<double> window_;
    double windowGain_ = 1.0;
    std::vector<Complex> work_;
    std::vector<double> averagePower_;
    bool averageValid_ = false;
};

// Frequency of the strongest single tone from consecutive complex samples: the mean phase
// step between neighbours. Sample runs that are not contiguous are added separately.
class ToneEstimator {
public:
    void Add(Complex sample);
    // A gap in the samples: the next sample starts a new run.
    void Break() { havePrevious_ = false; }
    void Reset();
    std::uint64_t Samples() const { return samples_; }
    // Estimated offset in Hz at `sampleRateHz`; 0 without at least two samples.
    double FrequencyHz(double sampleRateHz) const;

private:
    Complex sum_{0.0, 0.0};
    Complex previous_{0.0, 0.0};
    bool havePrevious_ = false;
    std::uint64_t samples_ = 0;
};

} // namespace vita49::sim
