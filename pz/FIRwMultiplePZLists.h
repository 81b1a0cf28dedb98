#ifndef VM_PZ_FIRWMULTIPLEPZLISTS_H
#define VM_PZ_FIRWMULTIPLEPZLISTS_H

#include <complex>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <vector>

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
class FIRwMultiplePZLists : public ListCascade<FIRwMultiplePZLists, FIRwPZList> {
public:
    FIRwMultiplePZLists();
    FIRwMultiplePZLists(const FIRwMultiplePZLists&) = delete;
    FIRwMultiplePZLists& operator=(const FIRwMultiplePZLists&) = delete;

    double Input;
    double EQ1_Output;
    double EQ2_Output;
    double EQ3_Output;
    double EQ4_Output;
    std::vector<double>* ChannelImpulse;  // not owned
    double BitRate;
    int SamplesPerBit;
    int EQ1_DataIndex;  // selected states, 1-based
    int EQ2_DataIndex;
    int EQ3_DataIndex;
    int EQ4_DataIndex;
    int AdaptForChLoss;  // 0 fixed, 1 level at 0 Hz, 2 at Nyquist, 3 eye level
    double Gain_dB;
    double LogicLevel;
    double AGC_Level;
    int AdaptDataIndex;      // 1 = search the states
    int AdaptDataIndexType;  // 0 exhaustive, 1 sequential (two or more lists)
    int EQ1_NumData;
    int EQ2_NumData;
    int EQ3_NumData;
    int EQ4_NumData;
    PZImpulse* EQ1_Data_data_values;  // the lists' states, not owned
    PZImpulse* EQ2_Data_data_values;
    PZImpulse* EQ3_Data_data_values;
    PZImpulse* EQ4_Data_data_values;
    std::vector<double> ScaledChannel;
    std::vector<double> EqualizedResponse;
    double Gain;
    int SuppressMessages;
    int CycleCount;
    std::int64_t StateCount;
    double BestEyeRatio;
    FIRwPZList EQ1;
    FIRwPZList EQ2;
    FIRwPZList EQ3;
    FIRwPZList EQ4;
    int SkipFinalEvaluation;
    std::ofstream* UseFile;
    std::vector<double> ListChannel;  // every list's ChannelImpulse: [1.0]
    std::int64_t SampleCount;

    // Setup, Initialize, Run, Finalize, FinalOutput, InitializeEQ,
    // Setup_chImp, convolveEQ, truncateEQ and chInverted are the engine's.
    void DeleteBuffers();
    // Restarts the chosen cascade from a clean state (every list's FIR delay
    // line cleared), keeping the states, taps and gain: Run then gives the
    // cascade's response from time 0 again.
    void Restart();

    FIRwPZList* EQList(int n);
    int NumData(int n) const;

    // Hands list n the cascade's settings and the given index and sets it up
    // with the cascade's use file. List 1 with no states only gets the values.
    bool SetupEQ(int n, int index, std::stringstream& msg);

private:
    friend class ListCascade<FIRwMultiplePZLists, FIRwPZList>;
    int stateCount(int n) const { return NumData(n); }
    int& stateIndex(int n);
    int adaptIndex() const { return AdaptDataIndex; }
    int adaptIndexType() const { return AdaptDataIndexType; }
    bool checkTypeAndTables(SetupChecks& check, std::stringstream& msg);
    static const std::vector<double>& tapsOf(FIRwPZList& list) { return list.ImpulseResponse; }
    // Run is the direct-form FIR of the taps times Gain, from rest.
    static bool plainFIR(FIRwPZList& list, double* gain)
    {
        *gain = list.Gain;
        return list.Filter.EnableFFT == 0 && list.Filter.InitialValue == 0.0 &&
               list.Filter.Taps == &list.ImpulseResponse && list.SampleCount == 0;
    }
    static const ListCascadeTexts& texts();
};

}  // namespace Veltramodels20200612

#endif
