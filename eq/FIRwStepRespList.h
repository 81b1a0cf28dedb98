#ifndef VM_EQ_FIRWSTEPRESPLIST_H
#define VM_EQ_FIRWSTEPRESPLIST_H

#include <cstdint>
#include <fstream>
#include <sstream>
#include <vector>

#include "dsp/FIR.h"
#include "eq/InterpolateStepRespData.h"

namespace Veltramodels20200612 {

// One list of measured step responses, one response per equaliser state,
// turned into a streaming FIR equaliser. The selected state's step response
// is resampled onto the simulation grid and differentiated; the resulting
// per-sample impulse is the FIR's tap vector. Samples pushed through Run come
// out equalised and scaled by Gain.
//
// Optionally the list picks its own state (AdaptStepRespIndex = 1: the state
// with the largest open-eye ratio against ChannelImpulse) and its own gain
// (AdaptForLogicLevel = 1). The cascaded and parallel sections switch both
// off and only use the list as the holder of one state's taps.
//
// Use: set the members, Setup, Initialize, Run once per sample, Finalize.
// Setup/Initialize may be repeated with another StepRespIndex.
class FIRwStepRespList {
public:
    FIRwStepRespList();
    ~FIRwStepRespList();
    FIRwStepRespList(const FIRwStepRespList&) = delete;
    FIRwStepRespList& operator=(const FIRwStepRespList&) = delete;

    double Input = 0.0;                             // next input sample for Run
    double Output = 0.0;                            // output sample of the last Run
    double Time = 0.0;                              // time of the last output sample, s
    std::vector<double>* ChannelImpulse = nullptr;  // channel used by the adaptations (not owned)
    double BitRate = 28e9;
    int SamplesPerBit = 32;
    int StepRespIndex = 2;                                 // selected state, 1-based
    int AdaptForLogicLevel = 0;                            // 1 = derive Gain from the eye levels
    double Gain_dB = 0.0;                                  // input without gain adaptation, result with it
    double LogicLevel = 0.5;                               // gain target and eye logic level
    int AdaptStepRespIndex = 0;                            // 1 = choose StepRespIndex by eye opening
    int NumStepResp = 0;                                   // states in the list
    std::vector<double>** StepResp_data_values = nullptr;  // the step-response table (not owned)
    int ColumnArrangement = 0;                             // table layout flag
    int InterpolationType = 2;                             // 0..2
    int OutputStepRespData = 0;                            // 1 = Run returns the raw table rows, no FIR
    int SuppressMessages = 0;                              // nonzero = no informational messages
    double Gain = 1.0;                                     // linear output gain applied in Run
    std::int64_t ChannelLength = 0;                        // channel samples used by the adaptations
    bool ChannelInverted = false;                          // largest-magnitude channel sample is negative
    std::vector<double> ChImpulse;                         // scaled channel, then channel convolved with taps
    FIR Filter;                                            // taps = the interpolator's output, direct form
    InterpolateStepRespData Interpolator;
    double BestEyeRatio = -1e40;              // best open-eye ratio of the index adaptation
    std::ofstream* UseFile = nullptr;         // optional log stream (not owned)
    double SampleInterval = 1.0 / 28e9 / 32;  // 1 / (BitRate * SamplesPerBit), s
    std::int64_t SampleCount = 0;             // Run calls since Initialize

    bool Setup(std::ofstream* useFile, std::stringstream& msg);
    bool Initialize(std::stringstream& msg);
    void Run(std::stringstream& msg);
    // count calls of Run on input[0 .. count-1], outputs to output[] (which
    // may be input): the same numbers and the same state afterwards.
    void RunBlock(const double* input, double* output, std::int64_t count, std::stringstream& msg);
    // Replaces v by the full linear convolution of its first n samples with
    // the taps, plus one trailing sample: v gets (tap count + n) samples.
    // Uses the FIR, which must be freshly set up and initialised.
    void convolveChImpFIR(std::vector<double>& v, std::int64_t n, std::stringstream& msg);
    void Finalize();

    // The current tap vector: the interpolator's output (valid after
    // Initialize; kept by Finalize).
    std::vector<double>& Taps();
    const std::vector<double>& Taps() const;

private:
    // Fills ChImpulse with SampleInterval x channel (negated when the channel
    // is inverted) for the first ChannelLength samples.
    void refillChannel();
    void prepareChannel();
    bool searchIndex(double* bestBc, double* bestWc, std::stringstream& msg);
    bool adaptGainToLevel(bool searched, double bestBc, double bestWc, std::stringstream& msg);
    bool setupFilterForIndex(int index, std::stringstream& msg);
};

}  // namespace Veltramodels20200612

#endif
