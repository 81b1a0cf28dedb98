#ifndef VM_FRAMEWORK_SPECTRUMDATATOIMPULSE_H
#define VM_FRAMEWORK_SPECTRUMDATATOIMPULSE_H

#include <complex>
#include <fstream>
#include <sstream>
#include <vector>

namespace Veltramodels20200612 {

// Turns a tabulated transfer function H(f) (frequency in Hz with real and
// imaginary parts) into a causal, real impulse response sampled at
// SampleRate, in gain per sample (the samples sum to H(0)).
//
// Method:
//  1. The data is resampled onto the uniform grid f_k = k * SampleRate / N,
//     k = 0 .. N/2, N = 2^FFT_Exponent. The bulk delay (the mean slope of the
//     unwrapped phase over the band where the magnitude exceeds 1e-3 of its
//     largest value) is taken out first and put back afterwards, so that only
//     the slowly varying rest is interpolated. Between data points the
//     resampling is linear, either in magnitude and unwrapped phase
//     (InterpolationType 1) or in real and imaginary part (InterpolationType 0).
//  2. 0 Hz: when the data starts above 0 Hz, the 0 Hz magnitude is found by
//     ExtrapolationType (0: zero, 1: the first point's magnitude, 2: linear
//     extrapolation of the magnitude from the first two points, never below
//     0) with phase 0. With ZeroHzCorrection 1 the 0 Hz value is made real
//     (a real impulse has a real 0 Hz response).
//  3. Above the last data frequency (or half the sample rate, whichever is
//     lower) the response is zero. A raised-cosine taper over the top
//     TaperFraction of that band brings it down smoothly, so the cut does not
//     ring through the impulse.
//  4. The grid is completed with conjugate symmetry and sent through an
//     inverse FFT of N points, scaled by 1/N and by SpectrumScale.
//  5. Causality: the circular result holds negative times at its end. With
//     EnforceCausality 1 the last N / 2^AcausalFractionLog2 samples are taken
//     as that negative-time part and dropped, and the impulse is kept within
//     half the time span that the widest data spacing df resolves
//     (SampleRate / (2 df) samples): the data say nothing about later times,
//     and interpolation errors come back there as echoes at multiples of
//     1/df. The settled tail is then cut:
//     from the cut on, every sample is below 1e-6 of the largest magnitude
//     and the samples left out add up to less than 1e-6 of the larger of the
//     peak and the total, so the step built from the impulse keeps its final
//     value while long, quiet tails cost nothing later.
// The front-end model uses the settings 17, 1.0, 1, 0.05, 2, 1, 1 and 2 in the
// order of the members below.
class SpectrumDataToImpulse {
public:
    SpectrumDataToImpulse();

    bool Setup(std::ofstream* useFile, std::stringstream& msg);
    bool Initialize(std::stringstream& msg);
    bool Run(std::stringstream& msg);
    void Finalize();

    // Inputs.
    std::vector<double> Frequency;  // Hz, >= 0, strictly ascending
    std::vector<double> RealPart;
    std::vector<double> ImagPart;
    double SampleRate;  // samples per second
    // Settings.
    int FFT_Exponent;         // N = 2^FFT_Exponent, 4..24
    double SpectrumScale;     // linear gain applied to the data
    int InterpolationType;    // 0 real/imag, 1 magnitude/phase
    double TaperFraction;     // 0 .. 0.5
    int ExtrapolationType;    // 0 Hz estimate: 0, 1 or 2
    int EnforceCausality;     // 0 or 1
    int ZeroHzCorrection;     // 0 or 1
    int AcausalFractionLog2;  // 1..8
    // Outputs of Run.
    std::vector<double> Impulse;  // gain per sample
    int NumSamples;

private:
    std::vector<std::complex<double>> grid;  // H(f_k), k = 0 .. N/2
    size_t resolvedSamples;                  // longest impulse the data spacing resolves; 0 = no limit
    std::ofstream* useFile;
    bool initialized;
};

}  // namespace Veltramodels20200612

#endif
