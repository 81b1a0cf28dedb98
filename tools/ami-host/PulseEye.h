// Pulse response and peak-distortion eye of an impulse response.
//
// The pulse response is the response to one bit of a 1 V NRZ signal: the
// impulse (V/s) integrated over one bit, p[n] = dt * sum of h[n-spb+1..n].
// Its samples one bit apart at a sampling phase are the cursors. For bits
// 0 / 1 (a 1 V swing) the worst-case levels at a phase, with cursor 0 as the
// bit being decided, are
//     worst one  = p0 + sum over k != 0 of min(pk, 0)
//     worst zero =      sum over k != 0 of max(pk, 0)
// and the eye height is their difference, p0 - sum |pk| (peak distortion).
// The best phase is the one with the largest height within half a bit of the
// pulse peak; the eye width is the span of phases around it where the height
// stays positive, with the edges interpolated linearly between samples.
#ifndef VM_TOOLS_AMI_HOST_PULSEEYE_H
#define VM_TOOLS_AMI_HOST_PULSEEYE_H

#include <vector>

namespace amihost {

struct EyeMetrics {
    bool Valid = false;        // false for an all-zero pulse
    bool Inverted = false;     // the pulse's largest excursion is negative (analysed flipped)
    double PulsePeak = 0.0;    // V, signed
    long PeakIndex = 0;        // sample of the pulse peak
    long BestIndex = 0;        // sample of the main cursor at the best phase
    double MainCursor = 0.0;   // V, at the best phase (after any flip)
    double EyeHeight = 0.0;    // V, may be negative (closed eye)
    double EyeWidthUI = 0.0;   // unit intervals
    double BestPhaseUI = 0.0;  // best phase relative to the pulse peak, unit intervals
};

// One row of the eye contours, at a phase relative to the best phase.
struct EyeContourRow {
    double PhaseUI = 0.0;
    double WorstOne = 0.0;
    double WorstZero = 0.0;
    double EnvelopeTop = 0.0;     // the highest level any bit pattern reaches
    double EnvelopeBottom = 0.0;  // the lowest
};

class PulseEye {
public:
    int SamplesPerBit = 32;
    double SampleInterval = 0.0;  // s

    // Pulse response, impulse.size() + SamplesPerBit - 1 samples (V).
    std::vector<double> pulse(const std::vector<double>& impulse) const;
    EyeMetrics analyse(const std::vector<double>& pulse) const;
    // Eye height at the main-cursor sample `index` (may lie outside the pulse).
    double heightAt(const std::vector<double>& pulse, long index) const;
    // Contours over +-1 UI around the best phase, 2 * SamplesPerBit + 1 rows.
    std::vector<EyeContourRow> contours(const std::vector<double>& pulse, const EyeMetrics& m) const;
    // Worst-case crosstalk of an aggressor's pulse response: the largest sum
    // of |cursors| over its phases, since an aggressor's phase is unknown.
    double worstCrosstalk(const std::vector<double>& pulse) const;
};

}  // namespace amihost

#endif
