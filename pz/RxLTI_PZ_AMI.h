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
// at a time through the section (Input -> Output); Finalize.
class RxLTI_PZ_AMI {
public:
    RxLTI_PZ_AMI();
    ~RxLTI_PZ_AMI();
    RxLTI_PZ_AMI(const RxLTI_PZ_AMI&) = delete;
    RxLTI_PZ_AMI& operator=(const RxLTI_PZ_AMI&) = delete;

    std::vector<double> ChannelImpulse;  // filled by the owner; trimmed in place
    double Input;
    std::vector<double> OutputImpulse;
    std::vector<std::complex<double>> OutputSpectrum;  // (dB, unwrapped phase in degrees)
    std::vector<double> SectionImpulse;
    std::vector<std::complex<double>> SectionSpectrum;  // (dB, unwrapped phase in degrees)
    std::vector<double> Frequencies;
    double Output;
    double BitRate;
    int SamplesPerBit;
    double TxDataLevelPtoP;
    double FreqStep;
    int FEType;  // lists in use, 0..4
    double InputGain;
    // Per list: state count, the owner's records (not owned, not modified)
    // and the selected index (written back after a search).
    int NumData1;
    PZ_Data* PZ_data_values1;
    int Data1Index;
    int NumData2;
    PZ_Data* PZ_data_values2;
    int Data2Index;
    int NumData3;
    PZ_Data* PZ_data_values3;
    int Data3Index;
    int NumData4;
    PZ_Data* PZ_data_values4;
    int Data4Index;
    int AdaptDataIndex;
    int AdaptForOutputLevel;  // 0..3
    double OutputLevel;
    double Gain_dB;
    FIRwMultiplePZLists Cascade;
    AutoGainControl AGC;
    int SkipOutputImpulse;
    int SkipSpectrum;
    int SuppressListMessages;
    int SuppressMessages;
    int SkipFinalEvaluation;
    double BestEyeRatio;
    std::ofstream* UseFile;
    double SampleRate;

    bool Setup(std::ofstream* useFile, std::stringstream& msg);
    bool Initialize(std::stringstream& msg);
    // One sample through the section. False (Output 0) when the section has
    // not been built by a successful Initialize.
    bool Run(std::stringstream& msg);
    void Finalize();

    // Builds the states of list n from count records into *out (array new;
    // Initialize releases its own) and hands them to the cascade. The states
    // point at the section's copies of the roots, which stay valid until the
    // next call for the same list.
    bool setupRxFE_Section(FIRwMultiplePZLists& cascade, int n, int count, PZImpulse** out, PZ_Data* records,
                           std::stringstream& msg);

    bool convertSpectrum(std::vector<std::complex<double>>& spectrum, const std::vector<double>& frequencies,
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
    PZImpulse* states_[4];
    bool useFileHeaderWritten_;
    bool runReady_;
    std::vector<double> workingChannel_;

    bool agcOnly() const { return FEType == 1 && NumData1 == 0; }
    int listIndex(int n) const;
    void releaseStates();
    bool initializeLists(std::stringstream& msg, bool* done);
    bool buildOutputImpulse(std::stringstream& msg);
    bool buildSpectra(std::stringstream& msg);
};

}  // namespace Veltramodels20200612

#endif
