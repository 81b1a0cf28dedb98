#ifndef VM_EQ_FIRWPARALLELSTEPRESPLISTS_H
#define VM_EQ_FIRWPARALLELSTEPRESPLISTS_H

#include <complex>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <vector>

#include "dsp/FFTConvolution.h"
#include "eq/FIRwStepRespList.h"

namespace Veltramodels20200612 {

class ImpulseOperations;

// Two step-response equaliser lists, EQ1 and EQ2, side by side: the input
// goes through both, and the outputs are mixed as
//     Output = Gain * (RatioA1 * EQ1 + (1 - RatioA1) * EQ2).
// Given the channel impulse, the search chooses both states (and, with
// AdaptRatio = 1, the ratio from RatioA1List) by coordinate ascent on the
// open-eye ratio (worst-case over best-case upper eye level; only a strictly
// greater ratio replaces the best, so ties go to the choice met first). The
// final evaluation then measures the chosen combination with direct-form
// convolution and adapts the gain.
//
// Use: set the members, Setup, Initialize, Run once per sample, Finalize.
// Clearing AdaptStepRespIndex and repeating Setup/Initialize rebuilds the
// section with the stored indexes and ratio.
class FIRwParallelStepRespLists {
public:
    FIRwParallelStepRespLists();
    ~FIRwParallelStepRespLists();
    FIRwParallelStepRespLists(const FIRwParallelStepRespLists&) = delete;
    FIRwParallelStepRespLists& operator=(const FIRwParallelStepRespLists&) = delete;

    double Input;                         // next input sample
    double EQ1_Output;                    // RatioA1 x EQ1 output x Gain
    double Output;                        // combined output
    std::vector<double>* ChannelImpulse;  // one sample per simulation step (not owned)
    double BitRate;
    int SamplesPerBit;
    int EQ1_StepRespIndex;  // chosen states, 1-based
    int EQ2_StepRespIndex;
    int AdaptForChLoss;      // 0 fixed, 1 level at 0 Hz, 2 at Nyquist, 3 eye level
    double Gain_dB;          // input with AdaptForChLoss = 0, result otherwise
    double LogicLevel;       // eye logic level, target of gain adaptation 3
    int AdaptStepRespIndex;  // 1 = search
    int EQ1_NumStepResp;
    int EQ2_NumStepResp;
    std::vector<double>** EQ1_StepResp_data_values;  // tables (not owned)
    std::vector<double>** EQ2_StepResp_data_values;
    // Table layout per list. The lists default to separate time columns per
    // response (0); an owner whose tables share one time column sets 1, so
    // that the same tables serve the cascade and this section alike.
    int EQ1_ColumnArrangement;
    int EQ2_ColumnArrangement;
    int InterpolationType;                  // handed to both lists
    double RatioA1;                         // weight of the EQ1 path
    int AdaptRatio;                         // 1 = also search RatioA1 over RatioA1List
    std::vector<double> RatioA1List;        // candidate ratios
    std::vector<double> ScaledChannel;      // trimmed channel / (SamplesPerBit * BitRate)
    std::vector<double> EqualizedResponse;  // the chosen combination's response, positive-going
    double Gain;                            // linear output gain
    double BestEyeRatio;                    // open-eye ratio of the chosen combination
    int SuppressMessages;                   // silences the search summary only
    FIRwStepRespList EQ1;
    FIRwStepRespList EQ2;
    std::ofstream* UseFile;           // optional log stream (not owned)
    std::vector<double> ListChannel;  // every list's ChannelImpulse: [1.0]
    std::int64_t SampleCount;         // Run calls since Initialize
    int CycleCount;                   // search cycles

    bool Setup(std::ofstream* useFile, std::stringstream& msg);
    bool Initialize(std::stringstream& msg);
    void Run(std::stringstream& msg);
    void Finalize();

    // List n (1 or 2); null for any other n.
    FIRwStepRespList* EQList(int n);

    // Copies the section's settings and the given index into list n and sets
    // it up (no use file); the list's own adaptations stay off.
    bool SetupEQ(int n, int index, std::stringstream& msg);
    bool InitializeEQ(int n, std::stringstream& msg);
    void Setup_chImp(std::vector<double>& v);
    // Replaces v by its convolution with list n's taps, as streamed through a
    // FIR whose taps are v: leading exact zeros of the output are dropped and
    // at most size(v) + tap count samples are kept. enableFFT = 0 gives the
    // direct-form sums bit for bit; 1 gives the FFT block convolution's
    // result up to rounding. A result without any nonzero sample is the
    // single sample 0.
    bool convolveEQ(int n, int enableFFT, std::vector<double>& v, std::stringstream& msg);
    // Drops trailing exact zeros (keeping one sample), then leading ones
    // (again keeping one).
    void truncateEQ(std::vector<double>& v);
    // True when the first sample of largest magnitude is negative.
    bool chInverted(const std::vector<double>& v) const;

private:
    // FFT convolution of the paths; both start from ScaledChannel, so its
    // spectrum is shared by every trial.
    FFTConvolution convolution;

    // One path of a trial: samples, and the index of the full convolution
    // that the first of them stands for.
    struct Path {
        std::vector<double> samples;
        std::int64_t offset = 0;
    };

    bool convolvePath(int n, int enableFFT, std::vector<double>& v, std::int64_t* offset);
    bool buildPath(int n, int index, int enableFFT, Path& r, std::stringstream& msg);
    void combine(const Path& r1, const Path& r2, double ratio, std::vector<double>& t) const;
    bool measure(ImpulseOperations& ops, const std::vector<double>& t, double* bc, double* wc, double* ratio,
                 bool* hasRatio, std::stringstream& msg);
    bool search(ImpulseOperations& ops, std::stringstream& msg);
    bool finalEvaluation(ImpulseOperations& ops, std::stringstream& msg);
    void convolveDirect(const std::vector<double>& x, std::vector<double>& v, std::int64_t* offset) const;
    void releaseSearchBuffers();
};

}  // namespace Veltramodels20200612

#endif
