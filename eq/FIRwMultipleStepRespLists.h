#ifndef VELTRAMODELS20200612_FIRWMULTIPLESTEPRESPLISTS_H
#define VELTRAMODELS20200612_FIRWMULTIPLESTEPRESPLISTS_H

#include <complex>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <vector>

#include "dsp/FFTConvolution.h"
#include "eq/FIRwStepRespList.h"

namespace Veltramodels20200612 {

class ImpulseOperations;

// Cascade of up to four step-response equaliser lists, EQ1 ... EQ4. Given the
// channel impulse it chooses one state per list so that channel + cascade has
// the widest open eye (worst-case over best-case upper eye level; only a
// strictly greater ratio replaces the best, so ties go to the state met
// first), sets the output gain (fixed or adapted to a level), and afterwards
// filters samples through the chosen cascade.
//
// Lists are used contiguously from EQ1: list n in use (EQn_NumStepResp > 0)
// requires list n-1 in use. EQ1_NumStepResp = 0 makes the section a pure gain.
//
// Use: set the members, Setup, Initialize, Run once per sample (EQ4_Output
// always holds the final output, gain included), Finalize. Setting
// AdaptStepRespIndex = 0 and repeating Setup/Initialize rebuilds the cascade
// with the stored indexes.
class FIRwMultipleStepRespLists {
public:
    FIRwMultipleStepRespLists();
    ~FIRwMultipleStepRespLists();
    FIRwMultipleStepRespLists(const FIRwMultipleStepRespLists&) = delete;
    FIRwMultipleStepRespLists& operator=(const FIRwMultipleStepRespLists&) = delete;

    double Input;  // next input sample
    // Stage outputs after EQ1 ... EQ4. A stage whose list is not in use holds
    // the previous stage's value, so EQ4_Output is always the final output.
    double EQ1_Output;
    double EQ2_Output;
    double EQ3_Output;
    double EQ4_Output;
    std::vector<double>* ChannelImpulse;  // one sample per simulation step (not owned)
    double BitRate;
    int SamplesPerBit;
    int EQ1_StepRespIndex;  // selected states, 1-based; results of the search
    int EQ2_StepRespIndex;
    int EQ3_StepRespIndex;
    int EQ4_StepRespIndex;
    int AdaptForChLoss;          // 0 fixed, 1 level at 0 Hz, 2 at Nyquist, 3 peak-to-peak eye
    double Gain_dB;              // input with AdaptForChLoss = 0, result otherwise
    double LogicLevel;           // handed to the eye measurement
    double AGC_Level;            // target level of the gain adaptation
    int AdaptStepRespIndex;      // 1 = search the states
    int AdaptStepRespIndexType;  // 0 exhaustive, 1 sequential (two or more lists)
    int EQ1_NumStepResp;         // states per list; 0 = not in use
    int EQ2_NumStepResp;
    int EQ3_NumStepResp;
    int EQ4_NumStepResp;
    std::vector<double>** EQ1_StepResp_data_values;  // tables (not owned)
    std::vector<double>** EQ2_StepResp_data_values;
    std::vector<double>** EQ3_StepResp_data_values;
    std::vector<double>** EQ4_StepResp_data_values;
    int EQ1_ColumnArrangement;
    int EQ2_ColumnArrangement;
    int EQ3_ColumnArrangement;
    int EQ4_ColumnArrangement;
    int InterpolationType;                  // handed to every list
    std::vector<double> ScaledChannel;      // trimmed channel / (SamplesPerBit * BitRate)
    std::vector<double> EqualizedResponse;  // channel through the chosen cascade, positive-going
    double Gain;                            // linear output gain, applied at the last stage
    int SuppressMessages;                   // nonzero = no informational messages
    int CycleCount;                         // sequential search cycles, or 1 (exhaustive)
    std::int64_t StateCount;                // combinations evaluated by the exhaustive search
    double BestEyeRatio;                    // open-eye ratio of the chosen combination
    FIRwStepRespList EQ1;
    FIRwStepRespList EQ2;
    FIRwStepRespList EQ3;
    FIRwStepRespList EQ4;
    int SkipFinalEvaluation;          // nonzero = no final evaluation, no gain adaptation
    std::ofstream* UseFile;           // optional log stream (not owned)
    std::vector<double> ListChannel;  // every list's ChannelImpulse: [1.0]
    std::int64_t SampleCount;         // Run calls since Initialize

    bool Setup(std::ofstream* useFile, std::stringstream& msg);
    bool Initialize(std::stringstream& msg);
    void Run(std::stringstream& msg);
    // count calls of Run on input[0 .. count-1], each final output (the
    // FinalOutput of that call) to output[] (which may be input); the stage
    // outputs and the state are left as the last call leaves them.
    void RunBlock(const double* input, double* output, std::int64_t count, std::stringstream& msg);
    void Finalize();

    // List n (1..4); null for any other n.
    FIRwStepRespList* EQList(int n);
    // Number of states of list n (1..4), 0 otherwise.
    int NumStepResp(int n) const;
    // The final output of the last Run (EQ4_Output).
    double FinalOutput() const { return EQ4_Output; }

    // Copies the section's settings and the given index into list n and sets
    // it up (no use file). List 1 with no states only gets the values.
    bool SetupEQ(int n, int index, std::stringstream& msg);
    bool InitializeEQ(int n, std::stringstream& msg);
    void Setup_chImp(std::vector<double>& v);
    // Replaces v by its convolution with list n's taps (the single tap 1.0
    // for list 1 with no states), leading zeros of the result dropped.
    // enableFFT = 0: exactly the direct-form sums; 1: FFT convolution, equal
    // to the direct form up to rounding.
    bool convolveEQ(int n, int enableFFT, std::vector<double>& v, std::stringstream& msg);
    // Drops trailing exact zeros (keeping one sample), then leading ones.
    void truncateEQ(std::vector<double>& v);
    // True when the first sample of largest magnitude is negative.
    bool chInverted(const std::vector<double>& v) const;

private:
    // FFT convolution of each stage, keeping its input's spectrum while the
    // same input is convolved with other taps.
    FFTConvolution stageConvolution[4];
    // Stage results of the last trial and the indexes they were built for.
    std::vector<double> stageResponse[4];
    int stageIndex[4];
    int stageValid;  // stages 0 .. stageValid-1 hold results for stageIndex
    int stageFFT;    // convolution mode of the held results

    const std::vector<double>* listTaps(int n);
    bool stageInUse(int s) const;
    // Builds the trial response for the given indexes and points response at
    // it (valid until the next build). Returns 0, or the number (1..4) of the
    // stage whose set-up or convolution failed. With reuse, leading stages
    // already built for the same indexes are kept.
    int buildTrial(const int index[4], int enableFFT, bool reuse, std::stringstream& msg,
                   const std::vector<double>** response);
    // The response made positive-going: the trial itself, or a negated copy.
    const std::vector<double>& positiveGoing(const std::vector<double>& response,
                                             std::vector<double>& negated) const;
    void releaseSearchBuffers();
    // The expensive part of the last successful final evaluation: the
    // sign-corrected response and its eye levels, with everything they were
    // computed from. The owner's rebuild for Run repeats the final
    // evaluation on the same channel and taps; it then takes these instead
    // of convolving and measuring again. Kept across Finalize; dropped once
    // it has served a repeat, by the next evaluation and by a Setup with
    // another channel.
    struct FinalEvaluationCache {
        bool valid = false;
        int samplesPerBit = 0;
        double logicLevel = 0.0;
        std::vector<double> channel;   // ScaledChannel
        std::vector<double> taps[4];   // taps of each stage in use
        std::vector<double> response;  // positive-going response
        double bc = 0.0;
        double wc = 0.0;
    };
    FinalEvaluationCache finalCache;
    void dropFinalCache();
    // True when the cache holds the evaluation of these indexes on the
    // current channel; the lists are then set up and finalised exactly as a
    // rebuilt trial leaves them.
    bool finalCacheMatches(const int index[4]);
    // Takes over taps (those of the stages in use, empty for the others).
    void storeFinalCache(std::vector<double> (&taps)[4], const std::vector<double>& response, double bc,
                         double wc);
    bool sequentialSearch(ImpulseOperations& ops, std::stringstream& msg);
    bool exhaustiveSearch(ImpulseOperations& ops, std::stringstream& msg);
    bool finalEvaluation(ImpulseOperations& ops, std::stringstream& msg);
    bool prepareForRun(std::stringstream& msg);
    void writeIndexLine(const int index[4], std::stringstream& msg) const;
    void finalizeLists();
    void convolveDirect(const std::vector<double>& taps, std::vector<double>& v) const;
};

}  // namespace Veltramodels20200612

#endif
