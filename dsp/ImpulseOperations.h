#ifndef VM_DSP_IMPULSEOPERATIONS_H
#define VM_DSP_IMPULSEOPERATIONS_H

#include <fstream>
#include <sstream>
#include <vector>

namespace Veltramodels20200612 {

// Operations on sampled impulse responses used to judge equaliser states.
class ImpulseOperations {
public:
    explicit ImpulseOperations(std::ofstream* useFile = nullptr);

    // Best-case (*Bc) and worst-case (*Wc) upper eye levels of the impulse at
    // the centre of its worst-case eye, in impulse sample units times
    // LogicLevel. Wc <= 0 means a closed eye. Returns false, leaving *Bc and *Wc
    // unchanged, when the eye computation rejects its input (its messages are
    // left in msg). An impulse with no nonzero sample gives true with
    // *Bc = *Wc = 0: a closed eye whose ratio Wc / Bc is undefined, so callers
    // must not divide by a Bc that is <= 0.
    bool determineEyeBcWcUpperLevels(const std::vector<double>& impulse, int SamplesPerBit, double LogicLevel,
                                     double* Bc, double* Wc, std::stringstream& msg);

    // 1 / |H(BitRate / 2)|, H the DFT of the impulse sampled at
    // BitRate * SamplesPerBit. Returns +infinity when that magnitude is 0, or
    // when no DFT bin lies within half a bin of BitRate / 2 (for instance for
    // a non-positive BitRate or SamplesPerBit).
    double impulseGainAtNyquist(double BitRate, int SamplesPerBit, const std::vector<double>& impulse);

private:
    std::ofstream* useFile_;
    int eyeLevelsCalls_;
    int nyquistGainCalls_;
};

}  // namespace Veltramodels20200612

#endif
