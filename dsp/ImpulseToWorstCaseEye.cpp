#include "dsp/ImpulseToWorstCaseEye.h"

#include <cmath>

namespace Veltramodels20200612 {

ImpulseToWorstCaseEye::ImpulseToWorstCaseEye()
    : WcUpperEye(nullptr),
      WcLowerEye(nullptr),
      BcUpperEye(nullptr),
      BcLowerEye(nullptr),
      WcRiseIndex(-1),
      WcFallIndex(-1),
      EyeLeftIndex(0),
      EyeCenterIndex(0),
      EyeRightIndex(0),
      EyeShift(0),
      SamplePhase(0),
      WcToBcRatio(0.0),
      WcPeak(0.0),
      BcAtWcPeak(0.0),
      Impulse(nullptr),
      SamplesPerBit(32),
      LogicLevel(0.5),
      Normalization(0),
      Inverted(0),
      useFile_(nullptr)
{
}

ImpulseToWorstCaseEye::~ImpulseToWorstCaseEye()
{
    std::vector<double>().swap(workingImpulse_);
}

bool ImpulseToWorstCaseEye::Setup(std::ofstream* useFile, std::stringstream& msg)
{
    if (useFile_ == nullptr && useFile != nullptr && useFile->is_open()) {
        *useFile << "Veltramodels20200612::ImpulseToWorstCaseEye\n";
        useFile_ = useFile;
        useFile_->flush();
    }

    bool result = true;
    if (SamplesPerBit < 1) {
        msg << "SamplesPerBit must be an integer >= 1.\n";
        result = false;
    }
    if (!(LogicLevel > 0.0)) {
        msg << "LogicLevel must be > 0.\n";
        result = false;
    }
    if (static_cast<unsigned int>(Normalization) > 1u) {
        msg << "Normalization must be either 0 or 1.\n";
        result = false;
    }

    if (Impulse != nullptr)
        workingImpulse_ = *Impulse;
    else
        workingImpulse_.clear();

    // Trailing zeros add nothing to the eye; the first sample always stays.
    const std::size_t n = workingImpulse_.size();
    if (n >= 2 && workingImpulse_[n - 1] == 0.0) {
        std::size_t keep = 1;
        for (std::size_t i = n - 1; i >= 1; --i) {
            if (workingImpulse_[i] != 0.0) {
                keep = i + 1;
                break;
            }
        }
        workingImpulse_.resize(keep);
    }

    // The eye is computed for a positive main response; an impulse whose
    // largest-magnitude sample is negative is negated here and its curves are
    // negated back at the end.
    if (!workingImpulse_.empty()) {
        std::size_t largest = 0;
        double largestMagnitude = std::fabs(workingImpulse_[0]);
        for (std::size_t i = 1; i < workingImpulse_.size(); ++i) {
            if (std::fabs(workingImpulse_[i]) > largestMagnitude) {
                largestMagnitude = std::fabs(workingImpulse_[i]);
                largest = i;
            }
        }
        if (workingImpulse_[largest] < 0.0) {
            for (double& v : workingImpulse_)
                v = -v;
            Inverted = 1;
        }
    }
    return result;
}

double ImpulseToWorstCaseEye::phaseSum(const std::vector<double>& pulse, std::int64_t pulseLength, std::int64_t i,
                                       int s, bool worst)
{
    std::int64_t m = i % s;
    if (m < 0)
        m += s;
    double sum = 0.0;
    for (std::int64_t k = m; k < pulseLength; k += s) {
        if (k == i)
            sum += pulse[k];
        else if (worst)
            sum += -std::fabs(pulse[k]);
        else
            sum += std::fabs(pulse[k]);
    }
    return sum;
}

// The window covers the 3S absolute phases P - (S-1) - H ... P + 2S - H, H = S/2:
// two unit intervals around the peak plus room to re-centre by up to H either way.
void ImpulseToWorstCaseEye::fillWindow(const std::vector<double>& pulse, std::int64_t pulseLength,
                                       std::int64_t peakIndex, int s, bool worst, std::vector<double>& window) const
{
    const std::int64_t h = s / 2;
    const std::int64_t i0 = peakIndex - (s - 1) - h;
    window.assign(3 * static_cast<std::size_t>(s), 0.0);
    for (std::int64_t w = 0; w < 3 * static_cast<std::int64_t>(s); ++w)
        window[w] = phaseSum(pulse, pulseLength, i0 + w, s, worst);
}

void ImpulseToWorstCaseEye::generateWorstCaseEye(const std::vector<double>& pulse, std::int64_t pulseLength,
                                                 std::int64_t peakIndex, std::vector<double>* upperEye,
                                                 std::vector<double>* lowerEye, int samplesPerBit)
{
    const std::int64_t s = samplesPerBit;
    const std::int64_t h = s / 2;
    const std::int64_t d = 2 * s;
    std::vector<double> window;
    fillWindow(pulse, pulseLength, peakIndex, samplesPerBit, true, window);

    std::vector<double>& upper = *upperEye;
    std::vector<double>& lower = *lowerEye;
    upper.resize(static_cast<std::size_t>(d));
    lower.resize(static_cast<std::size_t>(d));
    for (std::int64_t k = 0; k < d; ++k) {
        upper[k] = window[h + k];
        lower[k] = -upper[k];
    }

    // Best phase: the lowest worst-case lower level.
    std::int64_t pos = 0;
    double smallest = 1e40;
    for (std::int64_t k = 0; k < d; ++k) {
        if (lower[k] < smallest) {
            smallest = lower[k];
            pos = k;
        }
    }

    if (lower[pos] > 0.0) {
        // Closed at every phase.
        EyeLeftIndex = pos;
        EyeRightIndex = pos;
        EyeCenterIndex = pos;
    } else {
        EyeLeftIndex = 0;
        for (std::int64_t k = pos - 1; k >= 1; --k) {
            if (lower[k] > 0.0) {
                EyeLeftIndex = k + 1;
                break;
            }
        }
        EyeRightIndex = 0;
        for (std::int64_t k = pos; k < d; ++k) {
            if (lower[k] > 0.0) {
                EyeRightIndex = k - 1;
                break;
            }
        }
        EyeCenterIndex = (EyeLeftIndex + EyeRightIndex) / 2;
    }

    // Re-cut the window so that the eye centre lands on phase S - 1.
    EyeShift = EyeCenterIndex - (s - 1);
    if (EyeShift != 0 && -h <= EyeShift && EyeShift < h) {
        for (std::int64_t k = 0; k < d; ++k) {
            upper[k] = window[h + EyeShift + k];
            lower[k] = -upper[k];
        }
    }

    WcRiseIndex = -1;
    WcFallIndex = -1;
    for (std::int64_t k = 1; k < d; ++k) {
        if (upper[k - 1] < 0.0 && 0.0 <= upper[k]) {
            WcRiseIndex = k;
            break;
        }
    }
    for (std::int64_t k = 1; k < d; ++k) {
        if (upper[k] < 0.0 && 0.0 <= upper[k - 1]) {
            WcFallIndex = k - 1;
            break;
        }
    }
}

void ImpulseToWorstCaseEye::generateBestCaseEye(const std::vector<double>& pulse, std::int64_t pulseLength,
                                                std::int64_t peakIndex, std::vector<double>* upperEye,
                                                std::vector<double>* lowerEye, int samplesPerBit,
                                                std::int64_t eyeShift)
{
    const std::int64_t s = samplesPerBit;
    const std::int64_t h = s / 2;
    const std::int64_t d = 2 * s;
    std::vector<double> window;
    fillWindow(pulse, pulseLength, peakIndex, samplesPerBit, false, window);

    const std::int64_t offset = (eyeShift != 0 && -h <= eyeShift && eyeShift < h) ? h + eyeShift : h;
    std::vector<double>& upper = *upperEye;
    std::vector<double>& lower = *lowerEye;
    upper.resize(static_cast<std::size_t>(d));
    lower.resize(static_cast<std::size_t>(d));
    for (std::int64_t k = 0; k < d; ++k) {
        upper[k] = window[offset + k];
        lower[k] = -upper[k];
    }
}

bool ImpulseToWorstCaseEye::Initialize(std::stringstream& msg)
{
    if (workingImpulse_.empty()) {
        msg << "There must be at least one Impulse array value.\n";
        return false;
    }
    // Without a valid Setup (SamplesPerBit < 1) or without somewhere to put
    // the worst-case curves there is nothing to compute.
    if (SamplesPerBit < 1 || WcUpperEye == nullptr || WcLowerEye == nullptr)
        return false;

    const std::int64_t s = SamplesPerBit;
    const double level = LogicLevel;
    const std::int64_t n = static_cast<std::int64_t>(workingImpulse_.size());

    // Step response, held at its last value past the impulse's end.
    std::vector<double> step(static_cast<std::size_t>(n));
    double acc = 0.0;
    for (std::int64_t i = 0; i < n; ++i) {
        acc += workingImpulse_[i];
        step[i] = acc;
    }

    // Response to one bit: level * (step(t) - step(t - one unit interval)).
    const std::int64_t pulseLength = n + s;
    std::vector<double> pulse(static_cast<std::size_t>(pulseLength));
    for (std::int64_t j = 0; j < pulseLength; ++j) {
        const double sj = step[j < n ? j : n - 1];
        if (j < s) {
            pulse[j] = level * sj;
        } else {
            const std::int64_t js = j - s;
            pulse[j] = level * sj - level * step[js < n ? js : n - 1];
        }
    }

    // Peak: first index of the largest positive value (0 if none is positive).
    std::int64_t peak = 0;
    double peakValue = 0.0;
    for (std::int64_t j = 0; j < pulseLength; ++j) {
        if (pulse[j] > peakValue) {
            peakValue = pulse[j];
            peak = j;
        }
    }

    generateWorstCaseEye(pulse, pulseLength, peak, WcUpperEye, WcLowerEye, SamplesPerBit);
    SamplePhase = EyeShift + (peak % s);

    const bool bestCase = (BcUpperEye != nullptr && BcLowerEye != nullptr);
    WcToBcRatio = 0.0;
    WcPeak = 0.0;
    BcAtWcPeak = 0.0;
    if (bestCase) {
        generateBestCaseEye(pulse, pulseLength, peak, BcUpperEye, BcLowerEye, SamplesPerBit, EyeShift);

        const std::vector<double>& upper = *WcUpperEye;
        std::size_t peakIndex = 0;
        double wcPeak = -1e40;
        for (std::size_t k = 0; k < upper.size(); ++k) {
            if (upper[k] > wcPeak) {
                wcPeak = upper[k];
                peakIndex = k;
            }
        }
        WcPeak = wcPeak;
        BcAtWcPeak = (*BcUpperEye)[peakIndex];
        // A best case of exactly 0 (an all-zero impulse) is a closed eye: the
        // ratio is 0 and the curves are not normalised, rather than divided by zero.
        if (BcAtWcPeak != 0.0) {
            WcToBcRatio = WcPeak / BcAtWcPeak;
            if (Normalization == 1) {
                for (std::vector<double>* curve : {WcUpperEye, WcLowerEye, BcUpperEye, BcLowerEye})
                    for (double& v : *curve)
                        v /= BcAtWcPeak;
            }
        }
    }

    if (Inverted == 1) {
        for (std::vector<double>* curve : {WcUpperEye, WcLowerEye, BcUpperEye, BcLowerEye}) {
            if (curve == nullptr || (!bestCase && (curve == BcUpperEye || curve == BcLowerEye)))
                continue;
            for (double& v : *curve)
                v = -v;
        }
    }
    return true;
}

}  // namespace Veltramodels20200612
