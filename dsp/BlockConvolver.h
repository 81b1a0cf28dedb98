#ifndef VM_DSP_BLOCKCONVOLVER_H
#define VM_DSP_BLOCKCONVOLVER_H

#include <complex>
#include <cstddef>
#include <vector>

#include "dsp/RealFFT.h"

namespace Veltramodels20200612 {

// Overlap-save convolution of a long input with one or more short tap sets,
// block by block, with real transforms:
//     y_s[t] = sum_i h_s[i] x[t - i]   (x = 0 before the first sample)
// for every tap set s.
//
// The transform length is the power of two that minimises the transform work
// per output sample for the longest tap set M (at least 2M), so the cost
// follows the taps and not the input: each block brings Size() - M + 1 new
// samples. The tap spectra are computed once, in SetTaps. One input block is
// transformed once (LoadBlock) and its spectrum serves every tap set
// (OutputBlock), which is what a search over many tap sets on the same input
// needs. Every buffer is made in SetTaps: loading and convolving blocks
// allocate nothing.
class BlockConvolver {
public:
    BlockConvolver() = default;

    // Sets the tap sets (at least one, none empty, none longer than 2^23;
    // shorter sets are padded with zeros to the longest) and restarts the
    // input. Returns false, and leaves the object without taps, otherwise.
    // inputLength, when known (> 0), lets the transform length fit the
    // whole job instead of an endless input.
    bool SetTaps(const std::vector<std::vector<double>>& tapSets, std::size_t inputLength = 0);
    bool SetTaps(const std::vector<double>& taps, std::size_t inputLength = 0);

    // For a job that takes its tap sets a few at a time instead: the
    // transform length and block size that SetTaps would choose for `sets`
    // tap sets of at most `longest` taps, with no tap spectrum kept
    // (TapSpectrum gives them, OutputIn uses them). Restarts the input.
    // False, leaving the object without taps, for no taps or sets or more
    // than 2^23 taps.
    bool SetTapLength(std::size_t longest, std::size_t sets, std::size_t inputLength = 0);
    // Bins() values: the spectrum of taps (at most the longest taps set),
    // with 1/TransformSize() folded in, as SetTaps keeps it.
    void TapSpectrum(const std::vector<double>& taps, std::complex<double>* spectrum);

    std::size_t TapSets() const { return spectra_.empty() ? 0 : sets_; }
    // Bins of a spectrum: TransformSize()/2 + 1.
    std::size_t Bins() const { return fft_.Size() / 2 + 1; }
    // New input samples, and outputs per tap set, per block.
    std::size_t BlockSize() const { return block_; }
    // Transform length.
    std::size_t TransformSize() const { return fft_.Size(); }

    // Takes other's transform tables, so that taps set later for the same
    // transform length do not compute them again (see RealFFT::ShareTables).
    void ShareTransformTables(const BlockConvolver& other) { fft_.ShareTables(other.fft_); }

    // Forgets the input seen so far: the next block starts at x[0].
    void Restart();

    // Takes the next block of the input: count <= BlockSize() samples, zeros
    // after them, and transforms it once.
    void LoadBlock(const double* input, std::size_t count);

    // The BlockSize() outputs of tap set s for the last loaded block: y_s[t]
    // for t = b*BlockSize() ... (b+1)*BlockSize() - 1 of block b.
    void OutputBlock(std::size_t s, double* output);
    // The same BlockSize() outputs, left in the convolver's own buffer: the
    // pointer is valid until the next call. Null without taps or for s out
    // of range.
    const double* OutputBlockInPlace(std::size_t s);
    // The same outputs computed in the caller's window of TransformSize()
    // doubles, so that several tap sets' blocks can be at hand together;
    // the pointer is to them inside window. Null without taps or for s out
    // of range.
    const double* OutputBlockIn(std::size_t s, double* window);

    // The spectrum of the last loaded block (Bins() values), which a job
    // may keep to use with OutputIn later; valid until the next LoadBlock.
    const std::complex<double>* LoadedSpectrum() const { return input_.data(); }
    // The BlockSize() outputs of a block and a tap set given by their
    // spectra (a LoadedSpectrum and a TapSpectrum of this set-up), computed
    // in the caller's window of TransformSize() doubles as OutputBlockIn
    // does; the pointer is to them inside window.
    const double* OutputIn(const std::complex<double>* block, const std::complex<double>* taps,
                           double* window);

    // Whole input at once: y[t] for t = 0 ... outputs - 1, with x zero past
    // its count samples (outputs = count + taps - 1 gives the full linear
    // convolution). Restarts the input first and leaves it restarted.
    void Convolve(std::size_t s, const double* x, std::size_t count, double* y, std::size_t outputs);

private:
    std::size_t sets_ = 0;
    std::size_t taps_ = 0;   // longest tap set
    std::size_t block_ = 0;  // new samples per block
    RealFFT fft_;
    std::vector<std::complex<double>> spectra_;  // sets_ tap spectra, 1/N folded in
    std::vector<std::complex<double>> input_;    // spectrum of the loaded block
    std::vector<double> window_;                 // taps - 1 earlier samples, then the block
    std::vector<double> result_;
    std::size_t written_ = 0;  // result_ samples that may be nonzero
};

}  // namespace Veltramodels20200612

#endif
