#include "dsp/ImpulseOperations.h"

#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>

#include "dsp/FFT.h"
#include "dsp/ImpulseToWorstCaseEye.h"

namespace Veltramodels20200612 {

ImpulseOperations::ImpulseOperations(std::ofstream* useFile)
    : useFile_(useFile),
      eyeLevelsCalls_(0),
      nyquistGainCalls_(0)
{
}

bool ImpulseOperations::determineEyeBcWcUpperLevels(const std::vector<double>& impulse, int SamplesPerBit,
                                                    double LogicLevel, double* Bc, double* Wc,
                                                    std::stringstream& msg)
{
    if (eyeLevelsCalls_ == 0 && useFile_ != nullptr && useFile_->is_open()) {
        *useFile_ << "Veltramodels20200612::ImpulseOperations::determineEyeBcWcUpperLevels\n";
        useFile_->flush();
    }
    ++eyeLevelsCalls_;

    std::vector<double> wcUpper;
    std::vector<double> wcLower;
    std::vector<double> bcUpper;
    std::vector<double> bcLower;
    ImpulseToWorstCaseEye eye;
    eye.Impulse = &impulse;
    eye.SamplesPerBit = SamplesPerBit;
    eye.LogicLevel = LogicLevel;
    eye.Normalization = 0;
    eye.WcUpperEye = &wcUpper;
    eye.WcLowerEye = &wcLower;
    eye.BcUpperEye = &bcUpper;
    eye.BcLowerEye = &bcLower;
    if (!eye.Setup(nullptr, msg))
        return false;
    if (!eye.Initialize(msg))
        return false;

    const std::vector<double>& a = wcUpper;
    const std::vector<double>& c = bcUpper;
    const std::int64_t d = 2 * static_cast<std::int64_t>(SamplesPerBit);

    // Largest worst-case level and the last rising and falling zero crossings,
    // over phases 1 .. D-1.
    double wc = -1e40;
    std::int64_t maxIndex = 0;
    std::int64_t rising = -1;
    std::int64_t falling = -1;
    for (std::int64_t k = 1; k < d; ++k) {
        if (a[k] > wc) {
            wc = a[k];
            maxIndex = k;
        }
        if (a[k - 1] <= 0.0 && 0.0 < a[k])
            rising = k;
        if (a[k] <= 0.0 && 0.0 < a[k - 1])
            falling = k - 1;
    }

    // Eye centre: the middle of the open region between the crossings, which
    // may wrap around the window's end; with no crossing, the best phase.
    std::int64_t centre;
    if (rising < 0 || falling < 0) {
        centre = maxIndex;
    } else {
        if (falling > rising) {
            centre = (rising + falling) / 2;
        } else {
            centre = (rising + falling + d) / 2;
            if (centre >= d)
                centre -= d;
        }
        wc = a[centre];
    }

    if (Wc != nullptr)
        *Wc = wc;
    if (Bc != nullptr)
        *Bc = c[centre];
    return true;
}

double ImpulseOperations::impulseGainAtNyquist(double BitRate, int SamplesPerBit,
                                               const std::vector<double>& impulse)
{
    if (nyquistGainCalls_ == 0 && useFile_ != nullptr && useFile_->is_open()) {
        *useFile_ << "Veltramodels20200612::ImpulseOperations::impulseGainAtNyquist\n";
        useFile_->flush();
    }
    ++nyquistGainCalls_;

    const double fs = SamplesPerBit * BitRate;
    const double fN = 0.5 * BitRate;

    // FFT length: the power of two that holds the impulse, at least 2048.
    const std::size_t length = impulse.size();
    const std::size_t maxLength = std::size_t(1) << 30;
    std::size_t n = 2048;
    if (length > 1) {
        const int k = static_cast<int>(std::ceil(std::log(static_cast<double>(length)) / 0.6931471805599453));
        if (k > 11 && k < 63)
            n = std::size_t(1) << k;
        while (n < length && n < maxLength)
            n *= 2;
    }
    const double df = fs / static_cast<double>(n);

    // The bin within half a bin of the Nyquist frequency.
    std::int64_t bin = -1;
    for (std::int64_t j = 0; j < static_cast<std::int64_t>(n / 2); ++j) {
        const double f = static_cast<double>(j) * df;
        if (fN - 0.5 * df < f && f <= fN + 0.5 * df) {
            bin = j;
            break;
        }
    }

    double gain = 0.0;
    if (bin >= 0) {
        if (length <= n) {
            std::vector<std::complex<double>> spectrum(n, std::complex<double>(0.0, 0.0));
            for (std::size_t i = 0; i < length; ++i)
                spectrum[i] = std::complex<double>(impulse[i], 0.0);
            FFT fft(useFile_);
            fft.ComplexFFT(spectrum, 1);
            gain = static_cast<double>(n) * std::abs(spectrum[bin]);
        } else {
            // Longer than the largest transform (over 2^30 samples): sum the
            // one bin needed directly, folding the impulse onto n points.
            std::complex<double> sum(0.0, 0.0);
            const double twoPi = 2.0 * 3.14159265358979323846;
            for (std::size_t i = 0; i < length; ++i) {
                const std::uint64_t turns = (static_cast<std::uint64_t>(bin) * i) % n;
                sum += impulse[i] *
                       std::polar(1.0, -twoPi * static_cast<double>(turns) / static_cast<double>(n));
            }
            gain = std::abs(sum);
        }
    }
    if (gain == 0.0)
        return std::numeric_limits<double>::infinity();
    return 1.0 / gain;
}

}  // namespace Veltramodels20200612
