#ifndef VM_PZ_RXLTI_PZ_AMI_H
#define VM_PZ_RXLTI_PZ_AMI_H

#include <complex>
#include <cstddef>
#include <fstream>
#include <sstream>
#include <vector>

#include "eq/AutoGainControl.h"
#include "pz/FIRwMultiplePZLists.h"
#include "pz/PZImpulse.h"
#include "pz/PZ_Data.h"
#include "eq/SectionEngine.h"

namespace Veltramodels20200612 {

// Front-end section for equalisers described by pole/zero sets: up to four
// lists of PZ_Data records, one record per selectable state. It produces the
// equalised channel impulse (gain per sample), the chosen state per list when
// the search is on, and the spectra of the equalised channel and of the
// section alone.
//
//   FEType 0                   pass-through: the trimmed channel as it is
//   FEType 1, NumData1 = 0     level control only (AutoGainControl)
//   FEType 1..4 with lists     the cascade of lists (FIRwMultiplePZLists)
//
// The records hold positive root magnitudes in rad/s. The section turns them
// into left half-plane roots pre-warped for the bilinear transform at the
// sample rate, in copies of its own: the caller's records are left as they
// are, so the same records can be handed to any number of Initialize calls.
//
// Use: set the members, Setup, Initialize; afterwards Run streams one sample
// at a time through the section (Input -> Output); Finalize. The paths,
// the rules and Run are those of the step-response section: both are front
// ends of one engine, SectionEngine.
class RxLTI_PZ_AMI : public SectionEngine<RxLTI_PZ_AMI, FIRwMultiplePZLists> {
public:
    RxLTI_PZ_AMI() = default;
    ~RxLTI_PZ_AMI();
    RxLTI_PZ_AMI(const RxLTI_PZ_AMI&) = delete;
    RxLTI_PZ_AMI& operator=(const RxLTI_PZ_AMI&) = delete;

    std::vector<double> ChannelImpulse;  // filled by the owner; trimmed in place
    double Input = 0.0;
    std::vector<double> OutputImpulse;
    std::vector<std::complex<double>> OutputSpectrum;  // (dB, unwrapped phase in degrees)
    std::vector<double> SectionImpulse;
    std::vector<std::complex<double>> SectionSpectrum;  // (dB, unwrapped phase in degrees)
    std::vector<double> Frequencies;
    double Output = 0.0;
    double BitRate = 8e9;
    int SamplesPerBit = 32;
    double TxDataLevelPtoP = 1.0;
    double FreqStep = 0.0;
    int FEType = 0;  // lists in use, 0..4
    double InputGain = 1.0;
    // Per list: state count, the owner's records (not owned, not modified)
    // and the selected index (written back after a search).
    int NumData1 = 0;
    PZ_Data* PZ_data_values1 = nullptr;
    int Data1Index = 1;
    int NumData2 = 0;
    PZ_Data* PZ_data_values2 = nullptr;
    int Data2Index = 1;
    int NumData3 = 0;
    PZ_Data* PZ_data_values3 = nullptr;
    int Data3Index = 1;
    int NumData4 = 0;
    PZ_Data* PZ_data_values4 = nullptr;
    int Data4Index = 1;
    int AdaptDataIndex = 0;
    int AdaptForOutputLevel = 0;  // 0..3
    double OutputLevel = 1.0;
    double Gain_dB = 0.0;
    FIRwMultiplePZLists Cascade;
    AutoGainControl AGC;
    int SkipOutputImpulse = 0;
    int SkipSpectrum = 0;
    int SuppressListMessages = 0;
    int SuppressMessages = 0;
    int SkipFinalEvaluation = 0;
    double BestEyeRatio = 0.0;
    std::ofstream* UseFile = nullptr;
    double SampleRate = 32 * 8e9;

    // Setup, Initialize, Run and convertSpectrum are the engine's.
    void Finalize();

    // Builds the states of list n from count records into *out (array new;
    // Initialize releases its own) and hands them to the cascade. The states
    // point at the section's copies of the roots, which stay valid until the
    // next call for the same list.
    bool setupRxFE_Section(FIRwMultiplePZLists& cascade, int n, int count, PZImpulse** out, PZ_Data* records,
                           std::stringstream& msg);

private:
    // The section's own copy of one record's roots: left half-plane and
    // pre-warped. Each list's copies stay in place while its states point
    // at them.
    struct Roots {
        std::vector<double> poles, zeros;
        std::vector<std::complex<double>> cpoles, czeros;
    };
    std::vector<Roots> roots_[4];
    PZImpulse* states_[4] = {nullptr, nullptr, nullptr, nullptr};

    friend class SectionEngine<RxLTI_PZ_AMI, FIRwMultiplePZLists>;
    static const SectionFamily& family() { return SectionFamily::poleZero; }
    void passThrough(std::stringstream& msg);
    void handSearchSettings();
    bool handList(int n, std::stringstream& msg);
    int cascadeCount(int n) const { return Cascade.NumData(n); }
    int chosenIndex(int n) const;
    void releaseStates();
    bool buildOutputImpulse(std::stringstream& msg);
    bool buildSpectra(std::stringstream& msg);
};

}  // namespace Veltramodels20200612

#endif
