#ifndef VM_EQ_SECTIONSPECTRA_H
#define VM_EQ_SECTIONSPECTRA_H

#include <complex>
#include <cstddef>
#include <sstream>
#include <vector>

#include "dsp/FFT.h"

namespace Veltramodels20200612 {

// The spectra the equaliser sections report beside their impulses (the
// equalised channel's and the section's own), for both list families: the
// frequency grid, the transforms and the conversion to dB and unwrapped
// phase in degrees.
class SectionSpectra {
public:
    // Sets frequencyStep and frequencies (K points from 0 Hz, K = 2^a, at
    // least 4096) and returns the transform length N = 2K. A nonzero step
    // asks for K of about half the sample rate over it; a zero step takes K
    // from the impulse length.
    static std::size_t frequencyGrid(double sampleRate, std::size_t impulseSize, double& frequencyStep,
                                     std::vector<double>& frequencies);
    // Spectrum of one impulse on N/2 bins: forward transform of N points
    // scaled by 1/N, the impulse folded onto N samples when it is longer.
    static void spectrumOf(const std::vector<double>& impulse, std::size_t N, FFT& fft,
                           std::vector<std::complex<double>>& out);
    // Spectra of two real impulses from one complex transform; equal to two
    // spectrumOf calls up to rounding, at half the cost.
    static void twoSpectra(const std::vector<double>& x, const std::vector<double>& y, std::size_t N,
                           FFT& fft, std::vector<std::complex<double>>& outX,
                           std::vector<std::complex<double>>& outY);
    // Turns every bin into (dB, phase in degrees) and unwraps the phase. A
    // phase step that one turn cannot bring into [-180, 180] is reported with
    // its frequency, and the phases are then left as computed.
    static bool convert(std::vector<std::complex<double>>& spectrum, const std::vector<double>& frequencies,
                        std::stringstream& msg);

    static bool allFinite(const std::vector<double>& v);
    // Drops trailing samples that are exactly 0, keeping at least one sample
    // of a non-empty vector, and releases the spare capacity when it is more
    // than the samples kept.
    static void trimTrailingZeros(std::vector<double>& v);
};

}  // namespace Veltramodels20200612

#endif
