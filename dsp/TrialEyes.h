#ifndef VM_DSP_TRIALEYES_H
#define VM_DSP_TRIALEYES_H

#include <complex>
#include <cstddef>
#include <vector>

#include "dsp/BlockConvolver.h"
#include "dsp/StreamingEye.h"

namespace Veltramodels20200612 {

// The eye levels of one channel through each of several tap sets, as the
// equaliser searches measure their trials: each trial is the channel
// convolved with one tap set, from the first output at or after the
// channel's first nonzero sample that is not exactly zero to the end of the
// linear convolution's support, made positive-going and measured by the
// peak-distortion eye (ImpulseOperations::determineEyeBcWcUpperLevels).
//
// The channel is transformed block by block once for all the tap sets, and
// each trial's block goes straight into its own streaming eye, so no trial
// response is ever stored: memory follows the taps and the bit, not the
// channel. The levels equal those of a trial built by a full-length FFT
// convolution up to rounding.
class TrialEyes {
public:
    struct Levels {
        double bc = 0.0;
        double wc = 0.0;
    };

    // Fills levels[s] for every tap set s. False, with levels unspecified,
    // when the channel or a tap set has no nonzero sample, a tap set is
    // empty, or the eye settings are refused (samplesPerBit < 1, logicLevel
    // not > 0): such trials are left to the trial-by-trial search.
    bool Measure(const std::vector<double>& channel, const std::vector<std::vector<double>>& tapSets,
                 int samplesPerBit, double logicLevel, std::vector<Levels>& levels);

    // The block convolver of the last Measure, whose transform tables
    // another convolver of the same job may share.
    const BlockConvolver& Convolver() const { return conv_; }

    // Frees what Measure made (the spectra, the windows, the eyes and the
    // convolver's buffers); the next Measure makes them again.
    void Release();

private:
    // Trials whose eyes take a block together.
    static constexpr int kTogether = 4;

    // The first of count block outputs y of trial s to feed to its eye: its
    // first nonzero output on (count when that has not come yet).
    std::size_t firstFed(std::size_t s, const double* y, std::size_t count);
    void feedBlock(std::size_t at, const std::complex<double>* block, std::size_t from, std::size_t to,
                   const std::complex<double>* taps);

    BlockConvolver conv_;
    std::vector<double> windows_;  // kTogether transform windows
    // Kept spectra: every block's and a few tap sets' (fewer blocks than tap
    // sets), or every tap set's.
    std::vector<std::complex<double>> spectra_;
    std::vector<StreamingEye> eyes_;
    std::vector<std::size_t> end_;  // per trial: outputs up to the end of its support
    std::vector<bool> started_;     // per trial: its first nonzero output has passed
};

}  // namespace Veltramodels20200612

#endif
