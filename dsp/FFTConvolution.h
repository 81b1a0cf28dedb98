#ifndef VM_DSP_FFTCONVOLUTION_H
#define VM_DSP_FFTCONVOLUTION_H

#include <complex>
#include <cstdint>
#include <fstream>
#include <vector>

#include "dsp/FFT.h"

namespace Veltramodels20200612 {

// The output of a streamed FFT block convolution of a long input (a channel)
// with a short tap set, computed as one circular convolution long enough for
// the whole linear one. State searches convolve the same channel with many
// tap sets: its spectrum is kept and reused while the channel is unchanged,
// and the transform tables and work buffer are kept across calls.
class FFTConvolution {
public:
    FFTConvolution() = default;
    FFTConvolution(const FFTConvolution&) = delete;
    FFTConvolution& operator=(const FFTConvolution&) = delete;

    // Replaces v by its convolution with taps x, as a block-FFT stream
    // delivers it: from the first sample that is not exactly 0 after v's
    // leading zeros, at most size(v) + size(x) samples, fewer when the block
    // delay (v's nonzero span, rounded up to even) leaves less of the 2L
    // streamed steps. The rounding noise of the transform stays in the
    // samples. An all-zero v or x gives the single sample 0. When first is
    // given, it receives the index of the first kept sample in the linear
    // convolution.
    void Run(const std::vector<double>& x, std::vector<double>& v, std::int64_t* first = nullptr);

    // Frees the kept spectrum, buffer and tables; the next Run starts afresh
    // with useFile as the transform's use file.
    void Release(std::ofstream* useFile);

private:
    std::vector<double> source;                  // input whose spectrum is kept
    std::vector<std::complex<double>> spectrum;  // its transform, scaled to undo the 1/N
    std::vector<std::complex<double>> work;      // transform buffer
    FFT fft;                                     // keeps its twiddle tables across calls
};

}  // namespace Veltramodels20200612

#endif
