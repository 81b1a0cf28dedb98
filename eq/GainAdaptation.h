#ifndef VM_EQ_GAINADAPTATION_H
#define VM_EQ_GAINADAPTATION_H

#include <vector>

#include "dsp/ImpulseOperations.h"

namespace Veltramodels20200612 {

// The output gain that brings an equalised response to a level, as the
// parallel section and the pole/zero list adapt it (AdaptForChLoss):
//   1  level / (sum of the samples: the response at 0 Hz)
//   2  level x the response's gain at Nyquist
//   3  level / (mid-eye level: the mean of the best- and worst-case levels,
//      or half the best-case level when the worst case is closed)
// A gain that cannot be measured (no DC, Nyquist or eye level) is not
// finite or zero; keepUsable then leaves the gain as it was.
class GainAdaptation {
public:
    struct Response {
        const std::vector<double>& samples;
        double bc;  // best-case upper eye level
        double wc;  // worst-case upper eye level
        double BitRate;
        int SamplesPerBit;
    };
    // The adapted gain for the given kind (1..3); current for any other kind.
    static double adapted(int kind, double level, const Response& r, ImpulseOperations& ops, double current);
    // Takes adapted as the gain when it is finite and nonzero; gainDb follows
    // the gain either way.
    static void keepUsable(double adapted, double* gain, double* gainDb);
};

}  // namespace Veltramodels20200612

#endif
