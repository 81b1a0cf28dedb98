#include "eq/GainAdaptation.h"

#include <cmath>

namespace Veltramodels20200612 {

double GainAdaptation::adapted(int kind, double level, const Response& r, ImpulseOperations& ops,
                               double current)
{
    switch (kind) {
    case 1: {
        double sum = 0.0;
        for (double s : r.samples)
            sum += s;
        return level / sum;
    }
    case 2:
        return level * ops.impulseGainAtNyquist(r.BitRate, r.SamplesPerBit, r.samples);
    case 3:
        return r.wc > 0.0 ? level / ((r.bc + r.wc) * 0.5) : level / (r.bc * 0.5);
    default:
        return current;
    }
}

void GainAdaptation::keepUsable(double adapted, double* gain, double* gainDb)
{
    if (std::isfinite(adapted) && adapted != 0.0)
        *gain = adapted;
    *gainDb = 20.0 * std::log10(std::fabs(*gain));
}

}  // namespace Veltramodels20200612
