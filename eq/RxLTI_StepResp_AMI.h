#ifndef VM_EQ_RXLTI_STEPRESP_AMI_H
#define VM_EQ_RXLTI_STEPRESP_AMI_H

#include <complex>
#include <cstddef>
#include <fstream>
#include <sstream>
#include <vector>

#include "eq/AutoGainControl.h"
#include "eq/FIRwMultipleStepRespLists.h"
#include "eq/FIRwParallelStepRespLists.h"

namespace Veltramodels20200612 {

class FFT;

// Front-end section for equalisers described by step-response tables. It
// takes the channel impulse (gain per sample) and up to four tables, one per
// equaliser list, and produces the equalised channel impulse, the chosen
// state per list (when the search is on) with the resulting open-eye ratio,
// and the spectra of the equalised channel and of the section alone.
//
//   FEType 0                   no equaliser: the channel times InputGain
//   FEType 1, NumData1 = 0     level control only (AutoGainControl)
//   FEType 1..4 with lists     the cascade of lists (FIRwMultipleStepRespLists)
//   FEType 2, SectionTopology 1  lists 1 and 2 in parallel (FIRwParallelStepRespLists)
//
// A channel without any nonzero sample (an uncoupled aggressor) is valid
// input: the section succeeds with an all-zero output impulse, keeps the
// first state of every searched list and reports a closed eye (ratio 0).
// An empty channel gives an empty output impulse.
//
// Use: set the members, Setup, Initialize; afterwards Run streams one sample
// at a time through the section (Input -> Output); Finalize.
class RxLTI_StepResp_AMI {
public:
    RxLTI_StepResp_AMI();
    RxLTI_StepResp_AMI(const RxLTI_StepResp_AMI&) = delete;
    RxLTI_StepResp_AMI& operator=(const RxLTI_StepResp_AMI&) = delete;

    std::vector<double> ChannelImpulse;  // filled by the owner; trimmed in place
    double Input;
    std::vector<double> OutputImpulse;                  // equalised channel impulse
    std::vector<std::complex<double>> OutputSpectrum;   // (dB, unwrapped phase in degrees)
    std::vector<double> SectionImpulse;                 // the section's own unit-impulse response
    std::vector<std::complex<double>> SectionSpectrum;  // (dB, unwrapped phase in degrees)
    std::vector<double> Frequencies;                    // Hz, of both spectra
    double Output;
    double BitRate;
    int SamplesPerBit;
    double TxDataLevelPtoP;
    double FreqStep;  // 0 = from the impulse length; overwritten with the step used
    int FEType;       // lists in use, 0..4
    double InputGain;
    // Per list: state count, table (the owner's slot holding the table, not
    // owned), layout flag and selected index (written back after a search).
    int NumData1;
    std::vector<double>** StepResp_data_values1;
    int ColumnArrangement1;
    int Data1Index;
    int NumData2;
    std::vector<double>** StepResp_data_values2;
    int ColumnArrangement2;
    int Data2Index;
    int NumData3;
    std::vector<double>** StepResp_data_values3;
    int ColumnArrangement3;
    int Data3Index;
    int NumData4;
    std::vector<double>** StepResp_data_values4;
    int ColumnArrangement4;
    int Data4Index;
    int AdaptDataIndex;       // 1 = search the states
    int AdaptForOutputLevel;  // 0..3
    double OutputLevel;
    double Gain_dB;
    int SectionTopology;    // 0 cascade, 1 parallel sections
    int AdaptSectionRatio;  // parallel: 1 = search Section1RatioList
    std::vector<double> Section1RatioList;
    double Section1Ratio;  // parallel: ratio of list 1 (written back after a search)
    FIRwMultipleStepRespLists Cascade;
    FIRwParallelStepRespLists Parallel;
    AutoGainControl AGC;
    int SkipOutputImpulse;
    int SkipSpectrum;
    int SuppressListMessages;
    int SuppressMessages;
    int SkipFinalEvaluation;
    double BestEyeRatio;
    std::ofstream* UseFile;  // optional log stream (not owned)
    double SampleRate;       // SamplesPerBit x BitRate

    bool Setup(std::ofstream* useFile, std::stringstream& msg);
    bool Initialize(std::stringstream& msg);
    // One sample through the section. False (Output 0) when the section has
    // not been built by a successful Initialize.
    bool Run(std::stringstream& msg);
    void Finalize();

    bool setupRxFE_Section(FIRwMultipleStepRespLists& cascade, int n, int count, std::vector<double>** table,
                           std::stringstream& msg);
    // Lists 1 and 2 of the parallel topology.
    bool setupRxFE_Section(FIRwParallelStepRespLists& parallel, int n, int count, std::vector<double>** table,
                           std::stringstream& msg);

    // Turns a spectrum of FFT bins (scaled by 1/N, N = 2 x its size) into
    // (dB, phase in degrees) with the phase unwrapped along frequencies.
    bool convertSpectrum(std::vector<std::complex<double>>& spectrum, const std::vector<double>& frequencies,
                         std::stringstream& msg);

private:
    bool useFileHeaderWritten;
    bool runReady;                       // the active path can Run
    std::vector<double> workingChannel;  // the lists' channel, kept for their rebuild

    bool parallelTopology() const { return SectionTopology == 1 && FEType == 2; }
    bool agcOnly() const { return FEType == 1 && NumData1 == 0; }
    int listIndexFor(int n, int count) const;
    int listIndex(int n) const;
    bool initializeLists(std::stringstream& msg, bool* done);
    bool buildOutputImpulse(std::stringstream& msg);
    bool buildSpectra(std::stringstream& msg);
};

}  // namespace Veltramodels20200612

#endif
