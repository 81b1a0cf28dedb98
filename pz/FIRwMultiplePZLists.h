#ifndef VM_PZ_FIRWMULTIPLEPZLISTS_H
#define VM_PZ_FIRWMULTIPLEPZLISTS_H

#include <complex>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <vector>

#include "eq/CascadeLists.h"
#include "eq/ListCascade.h"
#include "pz/FIRwPZList.h"
#include "pz/PZImpulse.h"

namespace Veltramodels20200612 {

// Cascade of up to four lists of pole/zero equaliser states, EQ1 ... EQ4.
// Given the channel impulse it chooses one state per list so that channel +
// cascade has the widest open eye (worst-case over best-case upper eye level;
// only a strictly greater ratio replaces the best, so ties go to the state
// met first), sets the output gain (fixed or adapted to a level), and then
// filters samples through the chosen cascade.
//
// Lists are used contiguously from EQ1. EQ1_NumData = 0 makes the section a
// pure gain. Use: set the members, Setup, Initialize, Run once per sample
// (EQ4_Output always holds the final output, gain included), Finalize. The
// lists run their FIRs in direct form, so Run stays usable after Finalize.
// The search, the evaluation and Run are those of the step-response cascade:
// both are front ends of one engine, ListCascade.
class FIRwMultiplePZLists : public ListCascade<FIRwMultiplePZLists, FIRwPZList>,
                            public CascadeLists<FIRwMultiplePZLists, FIRwPZList> {
public:
    FIRwMultiplePZLists() = default;
    FIRwMultiplePZLists(const FIRwMultiplePZLists&) = delete;
    FIRwMultiplePZLists& operator=(const FIRwMultiplePZLists&) = delete;

    double Input = 0.0;
    double EQ1_Output = 0.0;
    double EQ2_Output = 0.0;
    double EQ3_Output = 0.0;
    double EQ4_Output = 0.0;
    std::vector<double>* ChannelImpulse = nullptr;  // not owned
    double BitRate = 28e9;
    int SamplesPerBit = 32;
    int EQ1_DataIndex = 1;  // selected states, 1-based
    int EQ2_DataIndex = 0;
    int EQ3_DataIndex = 0;
    int EQ4_DataIndex = 0;
    int AdaptForChLoss = 0;  // 0 fixed, 1 level at 0 Hz, 2 at Nyquist, 3 eye level
    double Gain_dB = 0.0;
    double LogicLevel = 0.5;
    double AGC_Level = 1.0;
    int AdaptDataIndex = 0;      // 1 = search the states
    int AdaptDataIndexType = 1;  // 0 exhaustive, 1 sequential (two or more lists)
    int EQ1_NumData = 0;
    int EQ2_NumData = 0;
    int EQ3_NumData = 0;
    int EQ4_NumData = 0;
    PZImpulse* EQ1_Data_data_values = nullptr;  // the lists' states, not owned
    PZImpulse* EQ2_Data_data_values = nullptr;
    PZImpulse* EQ3_Data_data_values = nullptr;
    PZImpulse* EQ4_Data_data_values = nullptr;
    std::vector<double> ScaledChannel;
    std::vector<double> EqualizedResponse;
    double Gain = 1.0;
    int SuppressMessages = 0;
    int CycleCount = 0;
    std::int64_t StateCount = 0;
    double BestEyeRatio = -1e40;
    FIRwPZList EQ1;
    FIRwPZList EQ2;
    FIRwPZList EQ3;
    FIRwPZList EQ4;
    int SkipFinalEvaluation = 0;
    int SkipScaledChannel = 0;  // as in the step-response cascade
    std::ofstream* UseFile = nullptr;
    std::vector<double> ListChannel = std::vector<double>(1, 1.0);  // every list's ChannelImpulse: [1.0]
    std::int64_t SampleCount = 0;

    // Setup, Initialize, Run, Finalize, FinalOutput, InitializeEQ,
    // Setup_chImp, convolveEQ, truncateEQ and chInverted are the engine's;
    // EQList(n) is the numbered members' table's.
    void DeleteBuffers();
    // Restarts the chosen cascade from a clean state (every list's FIR delay
    // line cleared), keeping the states, taps and gain: Run then gives the
    // cascade's response from time 0 again.
    void Restart();

    int NumData(int n) const { return stateCount(n); }

    // Hands list n the cascade's settings and the given index and sets it up
    // with the cascade's use file. List 1 with no states only gets the values.
    bool SetupEQ(int n, int index, std::stringstream& msg);

private:
    friend class ListCascade<FIRwMultiplePZLists, FIRwPZList>;
    friend class CascadeLists<FIRwMultiplePZLists, FIRwPZList>;
    static const Fields kFields;
    bool checkTypeAndTables(SetupChecks& check, std::stringstream& msg);
    // Run is the direct-form FIR of the taps times Gain, from rest.
    static bool plainFIR(FIRwPZList& list, double* gain)
    {
        *gain = list.Gain;
        return list.Filter.EnableFFT == 0 && list.Filter.InitialValue == 0.0 &&
               list.Filter.Taps == &list.ImpulseResponse && list.SampleCount == 0;
    }
};

}  // namespace Veltramodels20200612

#endif
