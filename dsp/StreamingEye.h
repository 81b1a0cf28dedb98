#ifndef VM_DSP_STREAMINGEYE_H
#define VM_DSP_STREAMINGEYE_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Veltramodels20200612 {

// The best-case and worst-case upper eye levels at the eye centre, as
// ImpulseOperations::determineEyeBcWcUpperLevels reports them, measured on a
// response that arrives in consecutive blocks, so that the response itself
// need never be stored.
//
// The peak-distortion eye sums, for each sampling phase, the magnitudes of
// every pulse sample of that phase except the cursor. Those sums depend only
// on the phase (the sample index modulo SamplesPerBit), so one running sum of
// magnitudes per phase is kept; the cursor's own value is put back at the end
// from a copy of the 3*SamplesPerBit pulse samples around the pulse peak,
// which is taken while the blocks go by. Memory is O(SamplesPerBit) whatever
// the response length, and nothing is allocated after Start.
//
// The input is either an impulse (the one-bit pulse is formed from it exactly
// as ImpulseToWorstCaseEye forms it, and an impulse whose largest-magnitude
// sample is negative is measured as that class measures it) or a pulse that
// the caller has already formed, for instance by folding a one-bit box into
// the taps of a block convolution. Pulse input is taken as the pulse of a
// positive-going impulse.
//
// The levels agree with the whole-vector eye up to the order of the
// additions: each phase sum is formed as (sum of all magnitudes) corrected by
// the cursor instead of in index order, a difference of a few rounding units
// of the magnitude sum.
class StreamingEye {
public:
    // PositiveGoingImpulse: an impulse measured as the equaliser searches
    // measure their trials, negated first when its largest-magnitude sample
    // is negative (the levels of the negated impulse as an Impulse).
    enum class Input { Impulse, PositiveGoingImpulse, Pulse };

    StreamingEye() = default;

    // Begins a new response. Returns false, and leaves the object unusable
    // until a valid Start, for samplesPerBit < 1 or a logic level that is not
    // > 0 (the whole-vector eye refuses both).
    bool Start(int samplesPerBit, double logicLevel, Input input);

    // The next count samples of the response.
    void Add(const double* samples, std::size_t count);
    // The same for up to four eyes at once, each given its own samples:
    // eyes[e]->Add(samples[e], counts[e]) for every e, with the same
    // results. Where all the eyes take impulses and get the same count,
    // their running steps advance side by side, so that each one's additions
    // overlap the others' instead of waiting on their own previous one.
    static void AddTogether(StreamingEye* const* eyes, const double* const* samples,
                            const std::size_t* counts, int number);

    // Ends the response and gives the levels. Returns false, with bc and wc
    // unchanged, when no sample was added or Start failed.
    bool Levels(double* bc, double* wc);

private:
    // The first largest value of sign*pulse above 0, and the pulse samples
    // (times sign) of the phase window around it.
    struct PeakTracker {
        double sign = 1.0;
        double value = 0.0;
        std::int64_t index = 0;
        std::size_t filled = 0;  // window samples known so far
        std::vector<double> window;
    };

    // Turns the next piece of impulse samples of E eyes into running steps
    // (their chains interleaved), then each eye's steps into pulse samples.
    template <int E>
    static void impulsePieces(StreamingEye* const* eyes, const double* const* samples, std::size_t count);
    void noteLargestMagnitude(const double* h, double top);
    void pulsesFromSteps(std::size_t count);
    void addPulse(const double* p, std::size_t count);
    // The rest of taking count pulse samples whose magnitudes are in the
    // phase sums already: the peaks (top: the largest sample, bottom: the
    // smallest, NaNs left out) and the history.
    void takePulse(const double* p, std::size_t count, double top, double bottom);
    void continueWindow(PeakTracker& t, const double* p, std::size_t count) const;
    void scanPeak(PeakTracker& t, const double* p, std::size_t count, double top);
    void captureWindow(PeakTracker& t, const double* p, std::size_t count) const;
    void pushHistory(const double* p, std::size_t count);
    void curves(const PeakTracker& t, std::vector<double>& worst, std::vector<double>& best) const;
    void flushImpulseTail();

    int s_ = 0;
    double level_ = 0.0;
    Input input_ = Input::Pulse;
    bool started_ = false;
    std::int64_t pulseCount_ = 0;       // pulse samples consumed
    std::size_t phase_ = 0;             // pulseCount_ mod s_
    std::vector<double> magnitudeSum_;  // per phase: sum of |pulse|
    std::vector<double> history_;       // the last 3*s_ pulse samples, oldest first
    PeakTracker high_;                  // largest positive pulse sample
    PeakTracker low_;                   // most negative one (impulse input only)
    // Impulse input: running step, the step values of the current piece
    // after the last s_ of the pieces before (zeros before the response),
    // and the first largest-magnitude impulse sample (its sign decides the
    // inversion).
    std::int64_t impulseCount_ = 0;
    double step_ = 0.0;
    std::vector<double> steps_;
    double largestMagnitude_ = 0.0;
    double largestValue_ = 0.0;
    std::vector<double> scratch_;  // pulse samples formed from one piece of impulse
    std::vector<double> worst_, best_;
};

}  // namespace Veltramodels20200612

#endif
