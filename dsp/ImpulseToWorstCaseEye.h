#ifndef VM_DSP_IMPULSETOWORSTCASEEYE_H
#define VM_DSP_IMPULSETOWORSTCASEEYE_H

#include <cstdint>
#include <fstream>
#include <sstream>
#include <vector>

namespace Veltramodels20200612 {

// Peak-distortion eye of a two-level link from a sampled impulse response.
//
// The impulse is turned into the response to one bit (LogicLevel times the
// step response minus the step response one unit interval later). For every
// sampling phase over two unit intervals around the pulse peak, the worst case
// takes all other bits so as to pull the level down, the best case so as to
// push it up. The curves hold 2 * SamplesPerBit values each.
//
// Use: set Impulse, SamplesPerBit, LogicLevel, Normalization and the curve
// pointers, call Setup, then Initialize once, then read the outputs. The two
// best-case pointers may be null; the best-case curves and the ratios are then
// skipped.
class ImpulseToWorstCaseEye {
public:
    ImpulseToWorstCaseEye();
    ~ImpulseToWorstCaseEye();

    bool Setup(std::ofstream* useFile, std::stringstream& msg);
    bool Initialize(std::stringstream& msg);

    // Worst-case curves over the phase window; fills the edge, centre, shift
    // and crossing outputs.
    void generateWorstCaseEye(const std::vector<double>& pulse, std::int64_t pulseLength,
                              std::int64_t peakIndex, std::vector<double>* upperEye,
                              std::vector<double>* lowerEye, int samplesPerBit);
    // Best-case curves over the same window, re-cut by eyeShift like the worst case.
    void generateBestCaseEye(const std::vector<double>& pulse, std::int64_t pulseLength,
                             std::int64_t peakIndex, std::vector<double>* upperEye,
                             std::vector<double>* lowerEye, int samplesPerBit, std::int64_t eyeShift);

    std::vector<double>* WcUpperEye;
    std::vector<double>* WcLowerEye;
    std::vector<double>* BcUpperEye;
    std::vector<double>* BcLowerEye;
    std::int64_t WcRiseIndex;  // first rising zero crossing of WcUpperEye, -1 when absent
    std::int64_t WcFallIndex;  // first falling zero crossing of WcUpperEye, -1 when absent
    std::int64_t EyeLeftIndex;
    std::int64_t EyeCenterIndex;
    std::int64_t EyeRightIndex;
    std::int64_t EyeShift;     // shift applied to the phase window to centre the eye
    std::int64_t SamplePhase;  // EyeShift + (peak index mod SamplesPerBit)
    double WcToBcRatio;
    double WcPeak;
    double BcAtWcPeak;
    const std::vector<double>* Impulse;  // not owned
    int SamplesPerBit;
    double LogicLevel;
    int Normalization;  // 1 = curves divided by BcAtWcPeak
    int Inverted;       // 1 = the working impulse was negated

private:
    // Sum over the samples k = i mod S, i mod S + S, ... < pulseLength, with the
    // cursor k = i taken with its sign and the others as +-|p[k]|.
    static double phaseSum(const std::vector<double>& pulse, std::int64_t pulseLength, std::int64_t i, int s,
                           bool worst);
    void fillWindow(const std::vector<double>& pulse, std::int64_t pulseLength, std::int64_t peakIndex, int s,
                    bool worst, std::vector<double>& window) const;
    // Both windows of the working impulse's pulse, computed while the pulse
    // is generated sample by sample (the same sums as fillWindow, without
    // holding the step or the pulse).
    void fillWindowsStreamed(std::int64_t peakIndex, bool bestCase, std::vector<double>& worst,
                             std::vector<double>& best) const;
    // The curves and eye indices from a filled window (3 S values).
    void worstCaseFromWindow(const std::vector<double>& window, std::vector<double>* upperEye,
                             std::vector<double>* lowerEye, int samplesPerBit);
    void bestCaseFromWindow(const std::vector<double>& window, std::vector<double>* upperEye,
                            std::vector<double>* lowerEye, int samplesPerBit, std::int64_t eyeShift);

    std::ofstream* useFile_;
    std::vector<double> workingImpulse_;
};

}  // namespace Veltramodels20200612

#endif
