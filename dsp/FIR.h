#ifndef VM_DSP_FIR_H
#define VM_DSP_FIR_H

#include <complex>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <vector>

#include "dsp/FFT.h"

namespace Veltramodels20200612 {

// Streaming FIR filter: every Run consumes Input and produces Output.
//
// EnableFFT = 0: direct form over a circular delay line,
//   y[t] = sum_{i < NumTaps} Taps[i] * x[t - i], with x[t] = InitialValue for t < 0.
// EnableFFT = 1: overlap-add block convolution through an FFT. The output is the
//   direct-form output delayed by FFTBlockSize samples. Leading and trailing zero
//   taps are left out of the transformed span; the delay of the leading ones is
//   put back by a short delay buffer.
//
// Use: set Taps (and the other parameters), Setup, Initialize, then Run once per
// sample. Initialize may be repeated to restart with the same taps.
class FIR {
public:
    FIR();
    ~FIR();

    bool Setup(std::ofstream* useFile, std::stringstream& msg);
    void Initialize();
    void Run(std::stringstream& msg);
    // Exactly what count calls of Run make of input[0 .. count-1], with the
    // outputs in output[0 .. count-1] (the arrays may be the same): the same
    // numbers, the same state afterwards, Input and Output those of the last
    // call. In direct form several outputs are summed side by side, each
    // over its taps in the same ascending order as Run.
    void RunBlock(const double* input, double* output, std::int64_t count, std::stringstream& msg);

    // Eight direct-form sums side by side: for i = from .. to - 1 in
    // ascending order, acc[j] += h[i] * x[j - i] for j = 0 .. 7, each sum
    // rounded exactly as the single-sum loop rounds it (one product, then
    // one addition, per term). acc holds the running sums in and out.
    static void directSums8(const double* h, std::int64_t from, std::int64_t to, const double* x,
                            double* acc);
    void Finalize();
    void DeleteBuffers();

    double Input;
    double Output;
    std::vector<double>* Taps;       // not owned; tap 0 multiplies the newest sample
    double InitialValue;             // value of every input sample before the first
    int EnableFFT;                   // 0 = direct form, 1 = FFT block convolution
    int FFTPow2Size;                 // when > 0, the FFT length is 2^FFTPow2Size
    int ReportFFTProgress;           // 1 = a progress line every 10th FFT block
    std::int64_t FFTSize;            // FFT length (FFT mode)
    std::int64_t FFTBlockSize;       // input block length and added delay (FFT mode)
    std::int64_t FFT_process_count;  // FFT blocks processed since Initialize
    int QuietSetup;                  // nonzero = Setup does not print the FFT size line
    std::int64_t NumTaps;            // taps up to the last nonzero one
    std::int64_t LeadingZeroTaps;    // index of the first tap with magnitude > 0
    std::int64_t SpanCount;          // nonzero tap span, rounded up to even

private:
    bool setupFFTSizes(std::int64_t size, bool result, std::stringstream& msg);
    void runDirect();
    void runDirectBlock(const double* input, double* output, std::int64_t count);
    void runFFT(std::stringstream& msg);
    void processBlock(std::stringstream& msg, bool initialBlock);
    void forceHermitian(std::vector<std::complex<double>>& x) const;
    void releaseDirectBuffers();
    void releaseFFTBuffers();

    std::ofstream* useFile_;
    bool configured_;   // the last Setup succeeded
    bool initialized_;  // buffers sized for the configuration of that Setup

    // Direct form.
    std::vector<double> delayLine_;
    std::int64_t delayPos_;
    std::int64_t sampleCount_;
    std::vector<double> history_;  // RunBlock: past inputs followed by the block's

    // FFT mode. Only what the overlap-add needs is kept between blocks: the
    // taps spectrum, one block buffer and the tail of the previous block's
    // convolution. Slot b of the block buffer holds the overlap-added output
    // for position b of the current block until that sample is taken, and
    // then the input that arrives at the same position for the next block.
    FFT fft_;
    std::vector<std::complex<double>> tapsSpectrum_;
    std::vector<std::complex<double>> work_;
    std::vector<double> blockBuffer_;
    std::vector<double> previousTail_;
    std::vector<double> leadingZeroDelay_;
    bool tapsSpectrumFinite_;
    std::int64_t blockPos_;
    std::int64_t delayReadPos_;
    std::int64_t delayWritePos_;
};

}  // namespace Veltramodels20200612

#endif
