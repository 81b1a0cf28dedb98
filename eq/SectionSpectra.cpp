#include "eq/SectionSpectra.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace Veltramodels20200612 {

namespace {

// The spectra never use more than 2^22 frequency points (an FFT of 2^23). A
// requested frequency step finer than that, or an impulse longer than that,
// would only cost memory: a longer impulse is folded onto the transform
// length, which keeps its spectrum exact at the frequencies computed.
const int kMaxSpectrumPow2 = 22;
const int kMinSpectrumPoints = 4096;

double powerOfTwoScale(const std::vector<double>& v)
{
    double peak = 0.0;
    for (double s : v)
        peak = std::max(peak, std::fabs(s));
    if (!(peak > 0.0) || !std::isfinite(peak))
        return 1.0;
    int e = 0;
    std::frexp(peak, &e);
    return std::ldexp(1.0, -e);
}

// v folded onto N samples (a plain zero-padding when it is not longer), as
// the real or the imaginary part of the work vector. Folding keeps the
// spectrum exact at the N frequencies computed.
void fold(const std::vector<double>& v, double scale, bool imaginary, std::vector<std::complex<double>>& work)
{
    const size_t N = work.size();
    for (size_t i = 0; i < v.size(); ++i) {
        const double x = v[i] * scale;
        work[i % N] += imaginary ? std::complex<double>(0.0, x) : std::complex<double>(x, 0.0);
    }
}

}  // namespace

std::size_t SectionSpectra::frequencyGrid(double sampleRate, std::size_t impulseSize, double& frequencyStep,
                                          std::vector<double>& frequencies)
{
    int a = 0;
    if (frequencyStep != 0.0) {
        const double q = std::floor(0.5 * sampleRate / frequencyStep + 0.5) + 1.0;
        // A negative or non-finite step has no size of its own.
        if (q >= 1.0 && std::isfinite(q))
            a = static_cast<int>(std::min(std::floor(std::log2(q)), 62.0));
    } else {
        while (a < 62 && (std::uint64_t(1) << a) < impulseSize)
            ++a;
    }
    a = std::min(a, kMaxSpectrumPow2);
    size_t K = size_t(1) << a;
    if (K < static_cast<size_t>(kMinSpectrumPoints))
        K = kMinSpectrumPoints;
    frequencyStep = 0.5 * sampleRate / static_cast<double>(K - 1);
    frequencies.resize(K);
    for (size_t i = 0; i < K; ++i)
        frequencies[i] = static_cast<double>(i) * frequencyStep;
    return 2 * K;
}

// Spectrum of one impulse on N/2 bins: forward transform of N points scaled
// by 1/N.
void SectionSpectra::spectrumOf(const std::vector<double>& impulse, std::size_t N, FFT& fft,
                                std::vector<std::complex<double>>& out)
{
    std::vector<std::complex<double>> work(N, std::complex<double>(0.0, 0.0));
    fold(impulse, 1.0, false, work);
    fft.ComplexFFT(work, 1);
    out.assign(work.begin(), work.begin() + static_cast<std::ptrdiff_t>(N / 2));
}

// Spectra of two real impulses from one complex transform: x in the real
// and y in the imaginary part, separated by the symmetry of real signals,
//     X[k] = (Z[k] + conj Z[N-k]) / 2,   Y[k] = (Z[k] - conj Z[N-k]) / 2i.
// Each impulse is first scaled by an exact power of two to a peak of about
// 1, so that neither is lost in the other's rounding. The result equals that
// of two separate transforms up to rounding, at half the cost.
void SectionSpectra::twoSpectra(const std::vector<double>& x, const std::vector<double>& y, std::size_t N,
                                FFT& fft, std::vector<std::complex<double>>& outX,
                                std::vector<std::complex<double>>& outY)
{
    // A sample that is not finite would spoil both halves: transform apart.
    if (!allFinite(x) || !allFinite(y)) {
        spectrumOf(x, N, fft, outX);
        spectrumOf(y, N, fft, outY);
        return;
    }
    const double sx = powerOfTwoScale(x), sy = powerOfTwoScale(y);
    std::vector<std::complex<double>> work(N, std::complex<double>(0.0, 0.0));
    fold(x, sx, false, work);
    fold(y, sy, true, work);
    fft.ComplexFFT(work, 1);
    const size_t K = N / 2;
    outX.resize(K);
    outY.resize(K);
    const double ux = 0.5 / sx, uy = 0.5 / sy;
    for (size_t k = 0; k < K; ++k) {
        const std::complex<double> a = work[k], b = std::conj(work[(N - k) % N]);
        const std::complex<double> sum = a + b, diff = a - b;
        outX[k] = std::complex<double>(sum.real() * ux, sum.imag() * ux);
        outY[k] = std::complex<double>(diff.imag() * uy, -diff.real() * uy);
    }
}

bool SectionSpectra::convert(std::vector<std::complex<double>>& spectrum,
                             const std::vector<double>& frequencies, std::stringstream& msg)
{
    const size_t M = spectrum.size();
    if (M == 0)
        return true;
    // The offset undoes the forward transform's 1/N scaling (N = 2M).
    const double offset = 20.0 * std::log10(2.0 * static_cast<double>(M));
    // Worked in place: first every point becomes (dB, phase), then the
    // phases are checked and unwrapped, each step taken between the phases
    // before unwrapping (the previous one is kept aside as it is replaced).
    for (size_t i = 0; i < M; ++i) {
        const double re = spectrum[i].real(), im = spectrum[i].imag();
        spectrum[i] = std::complex<double>(10.0 * std::log10(re * re + im * im + 1e-40) + offset,
                                           std::atan2(im, re) * 57.29577951308232);
    }
    // A DC value that is mostly imaginary is treated as zero.
    const double phase0 = spectrum[0].imag();
    if (phase0 > 45.0 && phase0 < 135.0)
        spectrum[0] = std::complex<double>(-400.0, 90.0);
    else if (phase0 > -135.0 && phase0 < -45.0)
        spectrum[0] = std::complex<double>(-400.0, -90.0);

    auto wrappedStep = [&](size_t i) {
        double d = spectrum[i].imag() - spectrum[i - 1].imag();
        if (d > 180.0)
            d -= 360.0;
        else if (d < -180.0)
            d += 360.0;
        return d;
    };
    // A step that one turn cannot bring into range leaves every phase as it
    // was computed.
    for (size_t i = 1; i < M; ++i) {
        const double d = wrappedStep(i);
        if (d < -180.0 || d > 180.0) {
            msg << "Input phase change data is not within [-180, 180] at frequency "
                << (i < frequencies.size() ? frequencies[i] : 0.0) << ".";
            return false;
        }
    }
    double previousRaw = spectrum[0].imag();
    double unwrapped = previousRaw;
    for (size_t i = 1; i < M; ++i) {
        const double raw = spectrum[i].imag();
        double d = raw - previousRaw;
        if (d > 180.0)
            d -= 360.0;
        else if (d < -180.0)
            d += 360.0;
        unwrapped = unwrapped + d;
        previousRaw = raw;
        spectrum[i] = std::complex<double>(spectrum[i].real(), unwrapped);
    }
    return true;
}

bool SectionSpectra::allFinite(const std::vector<double>& v)
{
    for (double s : v)
        if (!std::isfinite(s))
            return false;
    return true;
}

void SectionSpectra::trimTrailingZeros(std::vector<double>& v)
{
    size_t end = v.size();
    while (end > 1 && v[end - 1] == 0.0)
        --end;
    v.resize(end);
    // Releasing capacity copies every sample into a new block: worth it only
    // when much is released, not for the few hundred zeros a response ends
    // with.
    if (v.capacity() / 2 > end)
        v.shrink_to_fit();
}

}  // namespace Veltramodels20200612
