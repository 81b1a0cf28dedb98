#ifndef VM_EQ_FIRWMULTIPLESTEPRESPLISTS_H
#define VM_EQ_FIRWMULTIPLESTEPRESPLISTS_H

#include <complex>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <vector>

#include "eq/FIRwStepRespList.h"
#include "eq/ListCascade.h"

namespace Veltramodels20200612 {

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
class FIRwMultipleStepRespLists : public ListCascade<FIRwMultipleStepRespLists, FIRwStepRespList> {
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

    // Setup, Initialize, Run, RunBlock, Finalize, FinalOutput, InitializeEQ,
    // Setup_chImp, convolveEQ, truncateEQ and chInverted are the engine's.

    // List n (1..4); null for any other n.
    FIRwStepRespList* EQList(int n);
    // Number of states of list n (1..4), 0 otherwise.
    int NumStepResp(int n) const;

    // Copies the section's settings and the given index into list n and sets
    // it up (no use file). List 1 with no states only gets the values.
    bool SetupEQ(int n, int index, std::stringstream& msg);

private:
    friend class ListCascade<FIRwMultipleStepRespLists, FIRwStepRespList>;
    int stateCount(int n) const { return NumStepResp(n); }
    int& stateIndex(int n);
    int adaptIndex() const { return AdaptStepRespIndex; }
    int adaptIndexType() const { return AdaptStepRespIndexType; }
    bool checkTypeAndTables(SetupChecks& check, std::stringstream& msg);
    static const std::vector<double>& tapsOf(FIRwStepRespList& list) { return list.Taps(); }
    // Run is the direct-form FIR of the taps times Gain, from rest.
    static bool plainFIR(FIRwStepRespList& list, double* gain)
    {
        *gain = list.Gain;
        return list.OutputStepRespData != 1 && list.Filter.EnableFFT == 0 &&
               list.Filter.InitialValue == 0.0 && list.Filter.Taps == &list.Taps() && list.SampleCount == 0;
    }
    static const ListCascadeTexts& texts();
};

}  // namespace Veltramodels20200612

#endif
