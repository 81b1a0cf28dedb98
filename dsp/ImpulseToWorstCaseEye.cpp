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

double ImpulseToWorstCaseEye::phaseSum(const std::vector<double>& pulse, std::int64_t pulseLength,
                                       std::int64_t i, int s, bool worst)
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
                                       std::int64_t peakIndex, int s, bool worst,
                                       std::vector<double>& window) const
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
    std::vector<double> window;
    fillWindow(pulse, pulseLength, peakIndex, samplesPerBit, true, window);
    worstCaseFromWindow(window, upperEye, lowerEye, samplesPerBit);
}

void ImpulseToWorstCaseEye::worstCaseFromWindow(const std::vector<double>& window,
                                                std::vector<double>* upperEye, std::vector<double>* lowerEye,
                                                int samplesPerBit)
{
    const std::int64_t s = samplesPerBit;
    const std::int64_t h = s / 2;
    const std::int64_t d = 2 * s;
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
    std::vector<double> window;
    fillWindow(pulse, pulseLength, peakIndex, samplesPerBit, false, window);
    bestCaseFromWindow(window, upperEye, lowerEye, samplesPerBit, eyeShift);
}

void ImpulseToWorstCaseEye::bestCaseFromWindow(const std::vector<double>& window,
                                               std::vector<double>* upperEye, std::vector<double>* lowerEye,
                                               int samplesPerBit, std::int64_t eyeShift)
{
    const std::int64_t s = samplesPerBit;
    const std::int64_t h = s / 2;
    const std::int64_t d = 2 * s;
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

namespace {

// The one-bit pulse p[j] = L s[j] - L s[j-S] (L s[j] for j < S), produced
// sample by sample from the running step s, with the step S samples back
// kept in a ring. Every value is computed by exactly the operations of the
// stored form, so the pulse need not be held: two passes over it (peak, then
// phase sums) cost no memory proportional to the impulse.
class PulseStream {
public:
    PulseStream(const std::vector<double>& h, std::int64_t s, double level)
        : h_(h),
          n_(static_cast<std::int64_t>(h.size())),
          s_(s),
          level_(level),
          ring_(static_cast<std::size_t>(s))
    {
    }
    std::int64_t length() const { return n_ + s_; }
    void restart()
    {
        j_ = 0;
        slot_ = 0;
        acc_ = 0.0;
    }
    // The next pulse sample (j = 0, 1, ... length() - 1).
    double next()
    {
        // Past the impulse the step holds its last value.
        if (j_ < n_)
            acc_ += h_[j_];
        const double sj = acc_;
        double p;
        if (j_ < s_) {
            p = level_ * sj;
        } else {
            // s[j - S], with j - S < n always.
            p = level_ * sj - level_ * ring_[slot_];
        }
        ring_[slot_] = sj;
        if (++slot_ == s_)
            slot_ = 0;
        ++j_;
        return p;
    }

private:
    const std::vector<double>& h_;
    std::int64_t n_;
    std::int64_t s_;
    double level_;
    std::vector<double> ring_;
    std::int64_t j_ = 0;
    std::int64_t slot_ = 0;
    double acc_ = 0.0;
};

}  // namespace

// Both phase windows in one pass over the pulse. Window position w holds the
// sum over k = i mod S, i mod S + S, ... (i = i0 + w) in ascending k, exactly
// as phaseSum adds them; every pulse sample k goes to the three positions of
// its residue, each of which receives its terms in ascending k.
void ImpulseToWorstCaseEye::fillWindowsStreamed(std::int64_t peakIndex, bool bestCase,
                                                std::vector<double>& worst, std::vector<double>& best) const
{
    const std::int64_t s = SamplesPerBit;
    const std::int64_t h = s / 2;
    const std::int64_t i0 = peakIndex - (s - 1) - h;
    const std::int64_t width = 3 * s;
    worst.assign(static_cast<std::size_t>(width), 0.0);
    best.assign(bestCase ? static_cast<std::size_t>(width) : 0, 0.0);

    PulseStream pulse(workingImpulse_, s, LogicLevel);
    const std::int64_t pulseLength = pulse.length();
    // First window position of the residue of k = 0.
    std::int64_t w0 = (-i0) % s;
    if (w0 < 0)
        w0 += s;
    for (std::int64_t k = 0; k < pulseLength; ++k) {
        const double p = pulse.next();
        const double a = std::fabs(p);
        for (std::int64_t w = w0; w < width; w += s) {
            if (i0 + w == k) {
                worst[w] += p;
                if (bestCase)
                    best[w] += p;
            } else {
                worst[w] += -a;
                if (bestCase)
                    best[w] += a;
            }
        }
        if (++w0 == s)
            w0 = 0;
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

    // Peak: first index of the largest positive value (0 if none is positive).
    PulseStream pulse(workingImpulse_, s, LogicLevel);
    const std::int64_t pulseLength = pulse.length();
    std::int64_t peak = 0;
    double peakValue = 0.0;
    for (std::int64_t j = 0; j < pulseLength; ++j) {
        const double p = pulse.next();
        if (p > peakValue) {
            peakValue = p;
            peak = j;
        }
    }

    const bool bestCase = (BcUpperEye != nullptr && BcLowerEye != nullptr);
    std::vector<double> worstWindow, bestWindow;
    fillWindowsStreamed(peak, bestCase, worstWindow, bestWindow);

    worstCaseFromWindow(worstWindow, WcUpperEye, WcLowerEye, SamplesPerBit);
    SamplePhase = EyeShift + (peak % s);

    WcToBcRatio = 0.0;
    WcPeak = 0.0;
    BcAtWcPeak = 0.0;
    if (bestCase) {
        bestCaseFromWindow(bestWindow, BcUpperEye, BcLowerEye, SamplesPerBit, EyeShift);

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
