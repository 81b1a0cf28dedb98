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
#include "eq/SectionEngine.h"

namespace Veltramodels20200612 {

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
// at a time through the section (Input -> Output); Finalize. The paths,
// the rules and Run are those of the pole/zero section: both are front ends
// of one engine, SectionEngine.
class RxLTI_StepResp_AMI : public SectionEngine<RxLTI_StepResp_AMI, FIRwMultipleStepRespLists> {
public:
    RxLTI_StepResp_AMI() = default;
    RxLTI_StepResp_AMI(const RxLTI_StepResp_AMI&) = delete;
    RxLTI_StepResp_AMI& operator=(const RxLTI_StepResp_AMI&) = delete;

    std::vector<double> ChannelImpulse;  // filled by the owner; trimmed in place
    double Input = 0.0;
    std::vector<double> OutputImpulse;                  // equalised channel impulse
    std::vector<std::complex<double>> OutputSpectrum;   // (dB, unwrapped phase in degrees)
    std::vector<double> SectionImpulse;                 // the section's own unit-impulse response
    std::vector<std::complex<double>> SectionSpectrum;  // (dB, unwrapped phase in degrees)
    std::vector<double> Frequencies;                    // Hz, of both spectra
    double Output = 0.0;
    double BitRate = 8e9;
    int SamplesPerBit = 32;
    double TxDataLevelPtoP = 1.0;
    double FreqStep = 0.0;  // 0 = from the impulse length; overwritten with the step used
    int FEType = 0;         // lists in use, 0..4
    double InputGain = 1.0;
    // Per list: state count, table (the owner's slot holding the table, not
    // owned), layout flag and selected index (written back after a search).
    int NumData1 = 0;
    std::vector<double>** StepResp_data_values1 = nullptr;
    int ColumnArrangement1 = 0;
    int Data1Index = 1;
    int NumData2 = 0;
    std::vector<double>** StepResp_data_values2 = nullptr;
    int ColumnArrangement2 = 0;
    int Data2Index = 1;
    int NumData3 = 0;
    std::vector<double>** StepResp_data_values3 = nullptr;
    int ColumnArrangement3 = 0;
    int Data3Index = 1;
    int NumData4 = 0;
    std::vector<double>** StepResp_data_values4 = nullptr;
    int ColumnArrangement4 = 0;
    int Data4Index = 1;
    int AdaptDataIndex = 0;       // 1 = search the states
    int AdaptForOutputLevel = 0;  // 0..3
    double OutputLevel = 1.0;
    double Gain_dB = 0.0;
    int SectionTopology = 0;    // 0 cascade, 1 parallel sections
    int AdaptSectionRatio = 0;  // parallel: 1 = search Section1RatioList
    std::vector<double> Section1RatioList;
    double Section1Ratio = 0.9;  // parallel: ratio of list 1 (written back after a search)
    FIRwMultipleStepRespLists Cascade;
    FIRwParallelStepRespLists Parallel;
    AutoGainControl AGC;
    int SkipOutputImpulse = 0;
    int SkipSpectrum = 0;
    int SuppressListMessages = 0;
    int SuppressMessages = 0;
    int SkipFinalEvaluation = 0;
    double BestEyeRatio = 0.0;
    std::ofstream* UseFile = nullptr;  // optional log stream (not owned)
    double SampleRate = 32 * 8e9;      // SamplesPerBit x BitRate

    // The numbered fields of list n (1..4), so that an owner hands the lists
    // on in one loop.
    struct ListFields {
        int RxLTI_StepResp_AMI::*NumData;
        int RxLTI_StepResp_AMI::*DataIndex;
        std::vector<double>** RxLTI_StepResp_AMI::*Table;
        int RxLTI_StepResp_AMI::*ColumnArrangement;
    };
    static const ListFields& listFields(int n);

    // Setup, Initialize, Run and convertSpectrum are the engine's.
    void Finalize();

    bool setupRxFE_Section(FIRwMultipleStepRespLists& cascade, int n, int count, std::vector<double>** table,
                           std::stringstream& msg);
    // Lists 1 and 2 of the parallel topology.
    bool setupRxFE_Section(FIRwParallelStepRespLists& parallel, int n, int count, std::vector<double>** table,
                           std::stringstream& msg);

private:
    friend class SectionEngine<RxLTI_StepResp_AMI, FIRwMultipleStepRespLists>;
    static const SectionFamily& family() { return SectionFamily::stepResponse; }
    bool parallelTopology() const { return SectionTopology == 1 && FEType == 2; }
    bool cascadeInUse() const { return !parallelTopology(); }
    bool checkSectionRules(SetupChecks& check, std::stringstream& msg);
    void passThrough(std::stringstream& msg);
    bool equaliseChannel(std::stringstream& msg);
    bool equaliseInParallel(std::stringstream& msg);
    void handSearchSettings();
    bool handList(int n, std::stringstream& msg);
    int cascadeCount(int n) const { return Cascade.NumStepResp(n); }
    int chosenIndex(int n) const;
    std::size_t listsTapCount(bool* finite);
    void runLists(std::stringstream& msg);
    bool buildOutputImpulse(std::stringstream& msg);
    bool buildSpectra(std::stringstream& msg);
};

}  // namespace Veltramodels20200612

#endif
