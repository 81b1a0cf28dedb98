#include "eq/RxLTI_StepResp_AMI.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "dsp/FFT.h"
#include "eq/SectionChannel.h"
#include "eq/SectionSetup.h"
#include "eq/SectionSpectra.h"

namespace Veltramodels20200612 {

namespace {

// The numbered fields of one list of a cascade or parallel section, so that
// list n is handed on through its row of a table instead of a written-out
// copy per list.
template <class Section> struct ListRow {
    int Section::*count;
    std::vector<double>** Section::*table;
    int Section::*arrangement;
    int Section::*index;
};

template <class Section>
void handFields(Section& s, const ListRow<Section>& f, int count, std::vector<double>** table,
                int arrangement, int index)
{
    s.*f.count = count;
    s.*f.table = table;
    s.*f.arrangement = arrangement;
    s.*f.index = index;
}

using Cascade = FIRwMultipleStepRespLists;
const ListRow<Cascade> kCascadeLists[4] = {{&Cascade::EQ1_NumStepResp, &Cascade::EQ1_StepResp_data_values,
                                            &Cascade::EQ1_ColumnArrangement, &Cascade::EQ1_StepRespIndex},
                                           {&Cascade::EQ2_NumStepResp, &Cascade::EQ2_StepResp_data_values,
                                            &Cascade::EQ2_ColumnArrangement, &Cascade::EQ2_StepRespIndex},
                                           {&Cascade::EQ3_NumStepResp, &Cascade::EQ3_StepResp_data_values,
                                            &Cascade::EQ3_ColumnArrangement, &Cascade::EQ3_StepRespIndex},
                                           {&Cascade::EQ4_NumStepResp, &Cascade::EQ4_StepResp_data_values,
                                            &Cascade::EQ4_ColumnArrangement, &Cascade::EQ4_StepRespIndex}};

using Parallel = FIRwParallelStepRespLists;
const ListRow<Parallel> kParallelLists[2] = {{&Parallel::EQ1_NumStepResp, &Parallel::EQ1_StepResp_data_values,
                                              &Parallel::EQ1_ColumnArrangement, &Parallel::EQ1_StepRespIndex},
                                             {&Parallel::EQ2_NumStepResp, &Parallel::EQ2_StepResp_data_values,
                                              &Parallel::EQ2_ColumnArrangement,
                                              &Parallel::EQ2_StepRespIndex}};

}  // namespace

const RxLTI_StepResp_AMI::ListFields& RxLTI_StepResp_AMI::listFields(int n)
{
    using S = RxLTI_StepResp_AMI;
    static const ListFields fields[4] = {
        {&S::NumData1, &S::Data1Index, &S::StepResp_data_values1, &S::ColumnArrangement1},
        {&S::NumData2, &S::Data2Index, &S::StepResp_data_values2, &S::ColumnArrangement2},
        {&S::NumData3, &S::Data3Index, &S::StepResp_data_values3, &S::ColumnArrangement3},
        {&S::NumData4, &S::Data4Index, &S::StepResp_data_values4, &S::ColumnArrangement4}};
    return fields[n - 1];
}

// The rules of the parallel topology, after the common ones.
bool RxLTI_StepResp_AMI::checkSectionRules(SetupChecks& check, std::stringstream&)
{
    check.fault(static_cast<unsigned>(SectionTopology) > 1u, "ERROR:  SectionTopology must be 0 or 1.\n");
    if (SectionTopology == 1) {
        check.fault(static_cast<unsigned>(AdaptSectionRatio) > 1u,
                    "ERROR:  AdaptSectionRatio must be 0 or 1.\n");
        if (AdaptSectionRatio == 1) {
            const bool outOfRange = std::any_of(Section1RatioList.begin(), Section1RatioList.end(),
                                                [](double r) { return !(r >= 0.0 && r <= 1.0); });
            if (!check.fault(Section1RatioList.empty(),
                             "ERROR:  Section1RatioList must not be an empty list.\n"))
                check.fault(outOfRange, "ERROR:  Section1RatioList values must be in the range [0, 1].\n");
        } else if (AdaptSectionRatio == 0) {
            check.fault(!(Section1Ratio >= 0.0 && Section1Ratio <= 1.0),
                        "ERROR:  Section1Ratio must be a value in the range [0, 1].\n");
        }
        if (check.fault(!(NumData1 > 0 && NumData2 > 0), "ERROR:  NumData1 and NumData2 must both be > 0.\n"))
            return false;
    }
    return true;
}

bool RxLTI_StepResp_AMI::setupRxFE_Section(FIRwMultipleStepRespLists& cascade, int n, int count,
                                           std::vector<double>** table, std::stringstream&)
{
    if (n < 1 || n > 4)
        return false;
    handFields(cascade, kCascadeLists[n - 1], count, table, this->*listFields(n).ColumnArrangement,
               startIndex(n, count));
    return true;
}

bool RxLTI_StepResp_AMI::setupRxFE_Section(FIRwParallelStepRespLists& parallel, int n, int count,
                                           std::vector<double>** table, std::stringstream&)
{
    if (n < 1 || n > 2)
        return false;
    handFields(parallel, kParallelLists[n - 1], count, table, this->*listFields(n).ColumnArrangement,
               startIndex(n, count));
    return true;
}

// No equaliser: the channel times InputGain.
void RxLTI_StepResp_AMI::passThrough(std::stringstream& msg)
{
    if (SuppressMessages == 0)
        msg << "\nFront end (FE) model with no equalization used.\n";
    OutputImpulse.resize(ChannelImpulse.size());
    for (size_t i = 0; i < ChannelImpulse.size(); ++i)
        OutputImpulse[i] = InputGain * ChannelImpulse[i];
}

// The lists through the cascade or, for the parallel topology, the parallel
// section.
bool RxLTI_StepResp_AMI::equaliseChannel(std::stringstream& msg)
{
    return parallelTopology() ? equaliseInParallel(msg) : equaliseThroughCascade(msg);
}

bool RxLTI_StepResp_AMI::equaliseInParallel(std::stringstream& msg)
{
    FIRwParallelStepRespLists& p = Parallel;
    p.ChannelImpulse = &workingChannel;
    p.BitRate = BitRate;
    p.SamplesPerBit = SamplesPerBit;
    p.AdaptForChLoss = AdaptForOutputLevel;
    p.Gain_dB = Gain_dB;
    p.LogicLevel = TxDataLevelPtoP / 2;
    p.AdaptStepRespIndex = AdaptDataIndex;
    p.InterpolationType = 2;
    p.RatioA1 = Section1Ratio;
    p.AdaptRatio = AdaptSectionRatio;
    p.RatioA1List = Section1RatioList;
    setupRxFE_Section(p, 1, NumData1, StepResp_data_values1, msg);
    setupRxFE_Section(p, 2, NumData2, StepResp_data_values2, msg);
    p.SuppressMessages = SuppressListMessages;
    if (!(p.Setup(UseFile, msg) && p.Initialize(msg)))
        return false;
    Data1Index = p.EQ1_StepRespIndex;
    Data2Index = p.EQ2_StepRespIndex;
    Section1Ratio = p.RatioA1;
    BestEyeRatio = p.BestEyeRatio;
    return true;
}

void RxLTI_StepResp_AMI::handSearchSettings()
{
    Cascade.AdaptStepRespIndex = AdaptDataIndex;
    Cascade.AdaptStepRespIndexType = 1;
    Cascade.InterpolationType = 2;
    // Lists left over from an earlier configuration are not in use.
    Cascade.EQ2_NumStepResp = Cascade.EQ3_NumStepResp = Cascade.EQ4_NumStepResp = 0;
}

bool RxLTI_StepResp_AMI::handList(int n, std::stringstream& msg)
{
    return setupRxFE_Section(Cascade, n, numData(n), this->*listFields(n).Table, msg);
}

int RxLTI_StepResp_AMI::chosenIndex(int n) const
{
    return Cascade.*kCascadeLists[n - 1].index;
}

// The channel streamed through the chosen equaliser, then the equaliser
// rebuilt from the start so that Run begins from a clean state.
bool RxLTI_StepResp_AMI::buildOutputImpulse(std::stringstream& msg)
{
    const bool parallel = parallelTopology();
    // The response of the channel through the lists is as long as the
    // channel plus every list's taps in the cascade, or plus the longer
    // list's taps side by side; stopping after the last list's taps alone
    // would cut the response of a cascade short.
    size_t tail = 0;
    if (parallel) {
        tail = std::max(Parallel.EQ1.Taps().size(), Parallel.EQ2.Taps().size());
    } else {
        for (int n = 1; n <= 4; ++n)
            if (Cascade.NumStepResp(n) > 0)
                tail += Cascade.EQList(n)->Taps().size();
    }
    // Nothing in, nothing out: no sample has passed, so no rebuild is needed.
    if (ChannelImpulse.empty())
        return true;

    const size_t length = ChannelImpulse.size();
    const size_t n = length + tail;
    if (parallel) {
        OutputImpulse.assign(n, 0.0);
        for (size_t i = 0; i < n; ++i) {
            Parallel.Input = (i < length) ? ChannelImpulse[i] * InputGain : 0.0;
            Parallel.Run(msg);
            OutputImpulse[i] = Parallel.Output;
        }
        Parallel.Finalize();
    } else {
        // What sample-by-sample Run calls make of the channel from a cascade
        // at rest, by block transforms (up to rounding) when the lists are
        // plain FIRs, else streamed as one block through the lists. A gain
        // of one changes no sample (x * 1 is x, signed zeros included), so
        // the channel is then only copied. The channel, then zeros: each
        // written once, with no clearing pass before the copy.
        OutputImpulse.clear();
        OutputImpulse.reserve(n);
        OutputImpulse.assign(ChannelImpulse.begin(), ChannelImpulse.end());
        OutputImpulse.resize(n, 0.0);
        if (InputGain != 1.0)
            for (size_t i = 0; i < length; ++i)
                OutputImpulse[i] = ChannelImpulse[i] * InputGain;
        const std::int64_t count = static_cast<std::int64_t>(n);
        const bool atRest = Cascade.ResponseFromRest(OutputImpulse.data(), OutputImpulse.data(), count);
        if (!atRest)
            Cascade.RunBlock(OutputImpulse.data(), OutputImpulse.data(), count, msg);
        // Lists that never ran are still as Initialize left them. With no
        // final evaluation to repeat and no use file to log the repeat, the
        // rebuild below would only do the same set-up again.
        if (atRest && SkipFinalEvaluation != 0 && (UseFile == nullptr || !UseFile->is_open())) {
            Cascade.AdaptStepRespIndex = 0;
            Cascade.SuppressMessages = SuppressListMessages;
            SectionSpectra::trimTrailingZeros(OutputImpulse);
            return true;
        }
        Cascade.Finalize();
    }

    // Rebuild for Run with the chosen states; its messages are not wanted.
    std::stringstream scratch;
    bool ok;
    if (parallel) {
        Parallel.AdaptStepRespIndex = 0;
        Parallel.SuppressMessages = SuppressListMessages;
        ok = Parallel.Setup(UseFile, scratch) && Parallel.Initialize(scratch);
    } else {
        Cascade.AdaptStepRespIndex = 0;
        Cascade.SuppressMessages = SuppressListMessages;
        ok = Cascade.Setup(UseFile, scratch) && Cascade.Initialize(scratch);
    }
    if (!ok) {
        runReady = false;
        return false;
    }
    SectionSpectra::trimTrailingZeros(OutputImpulse);
    return true;
}

// Taps of the lists in use: both parallel lists, or the cascade's.
std::size_t RxLTI_StepResp_AMI::listsTapCount(bool* finite)
{
    if (!parallelTopology())
        return cascadeTapCount(finite);
    *finite = SectionSpectra::allFinite(Parallel.EQ1.Taps()) &&
              SectionSpectra::allFinite(Parallel.EQ2.Taps()) && std::isfinite(Parallel.Gain);
    return Parallel.EQ1.Taps().size() + Parallel.EQ2.Taps().size();
}

bool RxLTI_StepResp_AMI::buildSpectra(std::stringstream& msg)
{
    // Spectrum size K = 2^a points, at least 4096; the FFT has N = 2K points.
    const size_t N = SectionSpectra::frequencyGrid(SampleRate, OutputImpulse.size(), FreqStep, Frequencies);

    FFT fft(UseFile);
    if (!streamSectionImpulse(sectionImpulseLength(N), msg)) {
        // The output spectrum still comes first, with its messages.
        SectionImpulse.clear();
        SectionSpectra::spectrumOf(OutputImpulse, N, fft, OutputSpectrum);
        convertSpectrum(OutputSpectrum, Frequencies, msg);
        return false;
    }
    SectionSpectra::twoSpectra(OutputImpulse, SectionImpulse, N, fft, OutputSpectrum, SectionSpectrum);
    const bool outputOk = convertSpectrum(OutputSpectrum, Frequencies, msg);
    const bool sectionOk = convertSpectrum(SectionSpectrum, Frequencies, msg);
    return outputOk && sectionOk;
}

void RxLTI_StepResp_AMI::runLists(std::stringstream& msg)
{
    if (!parallelTopology()) {
        runCascade(msg);
        return;
    }
    Parallel.Input = Input;
    Parallel.Run(msg);
    Output = Parallel.Output;
}

void RxLTI_StepResp_AMI::Finalize()
{
    if (listsInUse()) {
        if (parallelTopology())
            Parallel.Finalize();
        else
            Cascade.Finalize();
    }
    runReady = false;
}

}  // namespace Veltramodels20200612
