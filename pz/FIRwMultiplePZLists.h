#ifndef VELTRAMODELS_FIRWMULTIPLEPZLISTS_H
#define VELTRAMODELS_FIRWMULTIPLEPZLISTS_H

#include <complex>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <vector>

#include "pz/FIRwPZList.h"
#include "pz/PZImpulse.h"

namespace Veltramodels20200612 {

class ImpulseOperations;

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
class FIRwMultiplePZLists {
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

    bool Setup(std::ofstream* useFile, std::stringstream& msg);
    bool Initialize(std::stringstream& msg);
    void Run(std::stringstream& msg);
    void Finalize();
    void DeleteBuffers();
    // Restarts the chosen cascade from a clean state (every list's FIR delay
    // line cleared), keeping the states, taps and gain: Run then gives the
    // cascade's response from time 0 again.
    void Restart();

    FIRwPZList* EQList(int n);
    int NumData(int n) const;
    double FinalOutput() const { return EQ4_Output; }

    bool SetupEQ(int n, int index, std::stringstream& msg);
    bool InitializeEQ(int n, std::stringstream& msg);
    void Setup_chImp(std::vector<double>& v);
    // Replaces v by its convolution with list n's taps (the single tap 1.0
    // for list 1 with no states), starting at its first nonzero sample.
    // enableFFT = 1 computes it by FFT, equal to the direct sums up to
    // rounding.
    bool convolveEQ(int n, int enableFFT, std::vector<double>& v, std::stringstream& msg);
    void truncateEQ(std::vector<double>& v);
    bool chInverted(const std::vector<double>& v) const;

private:
    struct SpectrumCache {
        std::vector<double> source;
        std::vector<std::complex<double>> spectrum;
    };
    SpectrumCache spectrumCache_[4];
    std::vector<double> stageResponse_[4];
    int stageIndex_[4];
    int stageValid_;
    int stageFFT_;

    const std::vector<double>* listTaps(int n);
    bool stageInUse(int s) const;
    int buildTrial(const int index[4], int enableFFT, bool reuse, std::stringstream& msg,
                   std::vector<double>& response);
    void releaseSearchBuffers();
    bool sequentialSearch(ImpulseOperations& ops, std::stringstream& msg);
    bool exhaustiveSearch(ImpulseOperations& ops, std::stringstream& msg);
    bool finalEvaluation(ImpulseOperations& ops, std::stringstream& msg);
    bool prepareForRun(std::stringstream& msg);
    void writeIndexLine(const int index[4], std::stringstream& msg) const;
    void finalizeLists();
    void convolveFFT(int n, const std::vector<double>& taps, std::vector<double>& v);
};

}  // namespace Veltramodels20200612

#endif
