#include "dsp/FFTConvolution.h"

#include <algorithm>
#include <cmath>

#include "dsp/SampleVectors.h"

namespace Veltramodels20200612 {

void FFTConvolution::Run(const std::vector<double>& x, std::vector<double>& v, std::int64_t* first)
{
    const std::int64_t nc = static_cast<std::int64_t>(v.size());
    const std::int64_t M = static_cast<std::int64_t>(x.size());
    const std::int64_t L = nc + M;

    std::int64_t cFirst = -1, cLast = -1;
    for (std::int64_t i = 0; i < nc; ++i) {
        if (std::fabs(v[i]) > 0.0) {
            if (cFirst < 0)
                cFirst = i;
            cLast = i;
        }
    }
    std::int64_t xLast = -1;
    for (std::int64_t j = M - 1; j >= 0; --j) {
        if (x[j] != 0.0) {
            xLast = j;
            break;
        }
    }
    if (cFirst < 0 || xLast < 0) {
        v.assign(1, 0.0);
        return;
    }

    // Support of the linear convolution and the transform length.
    const std::int64_t need = cLast + 1 + xLast;
    std::int64_t N = 2;
    while (N < need)
        N *= 2;

    if (!(SampleVectors::same(source, v) && static_cast<std::int64_t>(spectrum.size()) >= need)) {
        source = v;
        spectrum.assign(static_cast<size_t>(N), std::complex<double>(0.0, 0.0));
        for (std::int64_t i = 0; i <= cLast; ++i)
            spectrum[i] = std::complex<double>(v[i], 0.0);
        fft.ComplexFFT(spectrum, 1);
        const double scale = static_cast<double>(N);
        for (auto& z : spectrum)
            z *= scale;
    } else {
        N = static_cast<std::int64_t>(spectrum.size());
    }

    // The short taps' transform skips the stages that only spread them, and
    // the spectrum product is permuted as it is formed, so that the inverse
    // needs no permutation pass of its own: the same transforms, with far
    // fewer passes over the long array.
    work.resize(static_cast<size_t>(N));
    fft.ComplexFFTOfShortReal(x.data(), static_cast<size_t>(xLast + 1), work, 1);
    FFT::multiplyBitReversed(work, spectrum);
    fft.ComplexFFTBitReversed(work, 0);

    // The block delay of a streamed FFT convolution is its block size, the
    // nonzero span of the input rounded up to even; it limits how many
    // samples fit into the 2L streamed steps.
    std::int64_t blockSize = cLast + 1 - cFirst;
    if (blockSize % 2 != 0)
        ++blockSize;

    std::int64_t f = -1;
    for (std::int64_t j = cFirst; j < need; ++j) {
        if (work[j].real() != 0.0) {
            f = j;
            break;
        }
    }
    const std::int64_t count = (f < 0) ? 0 : std::min<std::int64_t>(L, 2 * L - blockSize - f);
    if (count <= 0) {
        v.assign(1, 0.0);
        return;
    }
    if (first != nullptr)
        *first = f;
    v.assign(static_cast<size_t>(count), 0.0);
    const std::int64_t stop = std::min<std::int64_t>(count, need - f);
    for (std::int64_t k = 0; k < stop; ++k)
        v[k] = work[f + k].real();
}

void FFTConvolution::Release(std::ofstream* useFile)
{
    std::vector<double>().swap(source);
    std::vector<std::complex<double>>().swap(spectrum);
    std::vector<std::complex<double>>().swap(work);
    fft = FFT(useFile);  // drops the twiddle tables
}

}  // namespace Veltramodels20200612
