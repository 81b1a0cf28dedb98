#ifndef VM_EQ_FIRWMULTIPLESTEPRESPLISTS_H
#define VM_EQ_FIRWMULTIPLESTEPRESPLISTS_H

#include <complex>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <vector>

#include "eq/FIRwStepRespList.h"
#include "eq/CascadeLists.h"
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
class FIRwMultipleStepRespLists : public ListCascade<FIRwMultipleStepRespLists, FIRwStepRespList>,
                                  public CascadeLists<FIRwMultipleStepRespLists, FIRwStepRespList> {
public:
    FIRwMultipleStepRespLists() = default;
    ~FIRwMultipleStepRespLists();
    FIRwMultipleStepRespLists(const FIRwMultipleStepRespLists&) = delete;
    FIRwMultipleStepRespLists& operator=(const FIRwMultipleStepRespLists&) = delete;

    double Input = 0.0;  // next input sample
    // Stage outputs after EQ1 ... EQ4. A stage whose list is not in use holds
    // the previous stage's value, so EQ4_Output is always the final output.
    double EQ1_Output = 0.0;
    double EQ2_Output = 0.0;
    double EQ3_Output = 0.0;
    double EQ4_Output = 0.0;
    std::vector<double>* ChannelImpulse = nullptr;  // one sample per simulation step (not owned)
    double BitRate = 28e9;
    int SamplesPerBit = 32;
    int EQ1_StepRespIndex = 1;  // selected states, 1-based; results of the search
    int EQ2_StepRespIndex = 0;
    int EQ3_StepRespIndex = 0;
    int EQ4_StepRespIndex = 0;
    int AdaptForChLoss = 0;          // 0 fixed, 1 level at 0 Hz, 2 at Nyquist, 3 peak-to-peak eye
    double Gain_dB = 0.0;            // input with AdaptForChLoss = 0, result otherwise
    double LogicLevel = 0.5;         // handed to the eye measurement
    double AGC_Level = 1.0;          // target level of the gain adaptation
    int AdaptStepRespIndex = 0;      // 1 = search the states
    int AdaptStepRespIndexType = 1;  // 0 exhaustive, 1 sequential (two or more lists)
    int EQ1_NumStepResp = 0;         // states per list; 0 = not in use
    int EQ2_NumStepResp = 0;
    int EQ3_NumStepResp = 0;
    int EQ4_NumStepResp = 0;
    std::vector<double>** EQ1_StepResp_data_values = nullptr;  // tables (not owned)
    std::vector<double>** EQ2_StepResp_data_values = nullptr;
    std::vector<double>** EQ3_StepResp_data_values = nullptr;
    std::vector<double>** EQ4_StepResp_data_values = nullptr;
    int EQ1_ColumnArrangement = 0;
    int EQ2_ColumnArrangement = 0;
    int EQ3_ColumnArrangement = 0;
    int EQ4_ColumnArrangement = 0;
    int InterpolationType = 2;              // handed to every list
    std::vector<double> ScaledChannel;      // trimmed channel / (SamplesPerBit * BitRate)
    std::vector<double> EqualizedResponse;  // channel through the chosen cascade, positive-going
    double Gain = 1.0;                      // linear output gain, applied at the last stage
    int SuppressMessages = 0;               // nonzero = no informational messages
    int CycleCount = 0;                     // sequential search cycles, or 1 (exhaustive)
    std::int64_t StateCount = 0;            // combinations evaluated by the exhaustive search
    double BestEyeRatio = -1e40;            // open-eye ratio of the chosen combination
    FIRwStepRespList EQ1;
    FIRwStepRespList EQ2;
    FIRwStepRespList EQ3;
    FIRwStepRespList EQ4;
    int SkipFinalEvaluation = 0;       // nonzero = no final evaluation, no gain adaptation
    int SkipScaledChannel = 0;         // nonzero, with no search and no final evaluation: Setup
                                       // leaves ScaledChannel empty (nothing would read it)
    std::ofstream* UseFile = nullptr;  // optional log stream (not owned)
    std::vector<double> ListChannel = std::vector<double>(1, 1.0);  // every list's ChannelImpulse: [1.0]
    std::int64_t SampleCount = 0;                                   // Run calls since Initialize

    // Setup, Initialize, Run, RunBlock, Finalize, FinalOutput, InitializeEQ,
    // Setup_chImp, convolveEQ, truncateEQ and chInverted are the engine's;
    // EQList(n) is the numbered members' table's.

    // Number of states of list n (1..4), 0 otherwise.
    int NumStepResp(int n) const { return stateCount(n); }

    // Copies the section's settings and the given index into list n and sets
    // it up (no use file). List 1 with no states only gets the values.
    bool SetupEQ(int n, int index, std::stringstream& msg);

private:
    friend class ListCascade<FIRwMultipleStepRespLists, FIRwStepRespList>;
    friend class CascadeLists<FIRwMultipleStepRespLists, FIRwStepRespList>;
    static const Fields kFields;
    bool checkTypeAndTables(SetupChecks& check, std::stringstream& msg);
    // Run is the direct-form FIR of the taps times Gain, from rest.
    static bool plainFIR(FIRwStepRespList& list, double* gain)
    {
        *gain = list.Gain;
        return list.OutputStepRespData != 1 && list.Filter.EnableFFT == 0 &&
               list.Filter.InitialValue == 0.0 && list.Filter.Taps == &list.Taps() && list.SampleCount == 0;
    }
};

}  // namespace Veltramodels20200612

#endif
