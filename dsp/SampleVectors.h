#ifndef VM_DSP_SAMPLEVECTORS_H
#define VM_DSP_SAMPLEVECTORS_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Veltramodels20200612 {

// Small operations on sample vectors that the equaliser sections and the
// convolution kernels share. Exact comparison with 0.0 is deliberate: only
// samples that are exactly zero are trimmed, as everywhere in the model.
class SampleVectors {
public:
    // Bit for bit the same samples (also -0.0 against +0.0 and NaN payloads),
    // so that a cached result is reused only where recomputing it would give
    // the same bits.
    static bool same(const std::vector<double>& a, const std::vector<double>& b);
    // True when the first sample of largest magnitude is negative; only a
    // strictly larger magnitude replaces an earlier one.
    static bool largestIsNegative(const std::vector<double>& v);
    // Drops trailing exact zeros (keeping one sample), then leading ones;
    // returns how many leading samples went.
    static std::size_t trimZeros(std::vector<double>& v);
    // Index of the first / last sample that is not exactly 0, -1 for none.
    static std::int64_t firstNonzero(const std::vector<double>& v);
    static std::int64_t lastNonzero(const std::vector<double>& v);
    // Every sample negated.
    static void negate(std::vector<double>& v);
};

}  // namespace Veltramodels20200612

#endif
