#ifndef VM_DSP_SPANCONVOLUTION_H
#define VM_DSP_SPANCONVOLUTION_H

#include <cstddef>
#include <vector>

#include "dsp/BlockConvolver.h"

namespace Veltramodels20200612 {

// The linear convolution of a long input with a short tap set,
//     y[t] = sum_i h[i] x[t - i]   (x = 0 outside its count samples),
// by overlap-save block transforms, so that the cost follows the taps and
// not the input. It gives what the direct-form sums (ascending i, from +0)
// give up to rounding, and exactly what they give where they are exact:
// every output outside [hFirst + xFirst, hLast + xLast] (from the first and
// last nonzero samples of each) is +0, and the two ends of that span are the
// single products h[hFirst] x[xFirst] and h[hLast] x[xLast]. So a response
// trimmed by its exact zeros keeps the length and the alignment that the
// direct form gives it.
//
// The tap spectrum, the transform tables and the block buffers are kept while
// the taps are unchanged, so repeated calls allocate nothing.
class SpanConvolution {
public:
    // Writes y[0 .. outputs-1] for x[0 .. count-1]. y may be x itself (the
    // outputs of a block are written only after its inputs are read). False,
    // with y untouched, for empty taps or taps longer than 2^23.
    bool Convolve(const std::vector<double>& h, const double* x, std::size_t count, double* y,
                  std::size_t outputs);

    // Takes another convolver's transform tables for a later length of the
    // same size (see BlockConvolver::ShareTransformTables).
    void ShareTransformTables(const BlockConvolver& other) { conv_.ShareTransformTables(other); }

private:
    BlockConvolver conv_;
    std::vector<double> taps_;  // taps whose spectrum conv_ holds
    std::size_t length_ = 0;    // input length it was sized for
};

}  // namespace Veltramodels20200612

#endif
