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
template <class Section> struct ListFields {
    int Section::*count;
    std::vector<double>** Section::*table;
    int Section::*arrangement;
    int Section::*index;
};

template <class Section>
void handList(Section& s, const ListFields<Section>& f, int count, std::vector<double>** table,
              int arrangement, int index)
{
    s.*f.count = count;
    s.*f.table = table;
    s.*f.arrangement = arrangement;
    s.*f.index = index;
}

using Cascade = FIRwMultipleStepRespLists;
const ListFields<Cascade> kCascadeLists[4] = {{&Cascade::EQ1_NumStepResp, &Cascade::EQ1_StepResp_data_values,
                                               &Cascade::EQ1_ColumnArrangement, &Cascade::EQ1_StepRespIndex},
                                              {&Cascade::EQ2_NumStepResp, &Cascade::EQ2_StepResp_data_values,
                                               &Cascade::EQ2_ColumnArrangement, &Cascade::EQ2_StepRespIndex},
                                              {&Cascade::EQ3_NumStepResp, &Cascade::EQ3_StepResp_data_values,
                                               &Cascade::EQ3_ColumnArrangement, &Cascade::EQ3_StepRespIndex},
                                              {&Cascade::EQ4_NumStepResp, &Cascade::EQ4_StepResp_data_values,
                                               &Cascade::EQ4_ColumnArrangement, &Cascade::EQ4_StepRespIndex}};

using Parallel = FIRwParallelStepRespLists;
const ListFields<Parallel> kParallelLists[2] = {
    {&Parallel::EQ1_NumStepResp, &Parallel::EQ1_StepResp_data_values, &Parallel::EQ1_ColumnArrangement,
     &Parallel::EQ1_StepRespIndex},
    {&Parallel::EQ2_NumStepResp, &Parallel::EQ2_StepResp_data_values, &Parallel::EQ2_ColumnArrangement,
     &Parallel::EQ2_StepRespIndex}};

const int RxLTI_StepResp_AMI::*const kArrangements[4] = {
    &RxLTI_StepResp_AMI::ColumnArrangement1, &RxLTI_StepResp_AMI::ColumnArrangement2,
    &RxLTI_StepResp_AMI::ColumnArrangement3, &RxLTI_StepResp_AMI::ColumnArrangement4};

}  // namespace

RxLTI_StepResp_AMI::RxLTI_StepResp_AMI()
    : Input(0.0),
      Output(0.0),
      BitRate(8e9),
      SamplesPerBit(32),
      TxDataLevelPtoP(1.0),
      FreqStep(0.0),
      FEType(0),
      InputGain(1.0),
      NumData1(0),
      StepResp_data_values1(nullptr),
      ColumnArrangement1(0),
      Data1Index(1),
      NumData2(0),
      StepResp_data_values2(nullptr),
      ColumnArrangement2(0),
      Data2Index(1),
      NumData3(0),
      StepResp_data_values3(nullptr),
      ColumnArrangement3(0),
      Data3Index(1),
      NumData4(0),
      StepResp_data_values4(nullptr),
      ColumnArrangement4(0),
      Data4Index(1),
      AdaptDataIndex(0),
      AdaptForOutputLevel(0),
      OutputLevel(1.0),
      Gain_dB(0.0),
      SectionTopology(0),
      AdaptSectionRatio(0),
      Section1Ratio(0.9),
      SkipOutputImpulse(0),
      SkipSpectrum(0),
      SuppressListMessages(0),
      SuppressMessages(0),
      SkipFinalEvaluation(0),
      BestEyeRatio(0.0),
      UseFile(nullptr),
      SampleRate(32 * 8e9),
      useFileHeaderWritten(false),
      runReady(false)
{
}

int RxLTI_StepResp_AMI::listIndex(int n) const
{
    switch (n) {
    case 1:
        return Data1Index;
    case 2:
        return Data2Index;
    case 3:
        return Data3Index;
    case 4:
        return Data4Index;
    default:
        return 1;
    }
}

bool RxLTI_StepResp_AMI::Setup(std::ofstream* useFile, std::stringstream& msg)
{
    if (!useFileHeaderWritten && useFile != nullptr && useFile->is_open()) {
        *useFile << "Veltramodels20200612::RxLTI_StepResp_AMI\n";
        useFile->flush();
        UseFile = useFile;
        useFileHeaderWritten = true;
    }
    runReady = false;

    SetupChecks check(msg);
    const SectionSetup::Fields fields = {InputGain,
                                         AdaptForOutputLevel,
                                         AdaptDataIndex,
                                         TxDataLevelPtoP,
                                         FEType,
                                         {NumData1, NumData2, NumData3, NumData4},
                                         {Data1Index, Data2Index, Data3Index, Data4Index}};
    SectionSetup::checkCommon(fields, true, check, msg);
    SectionSetup::dropUnusedLists(FEType, &NumData2, &NumData3, &NumData4);
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
    return check.ok();
}

bool RxLTI_StepResp_AMI::setupRxFE_Section(FIRwMultipleStepRespLists& cascade, int n, int count,
                                           std::vector<double>** table, std::stringstream&)
{
    if (n < 1 || n > 4)
        return false;
    handList(cascade, kCascadeLists[n - 1], count, table, this->*kArrangements[n - 1],
             listIndexFor(n, count));
    return true;
}

bool RxLTI_StepResp_AMI::setupRxFE_Section(FIRwParallelStepRespLists& parallel, int n, int count,
                                           std::vector<double>** table, std::stringstream&)
{
    if (n < 1 || n > 2)
        return false;
    handList(parallel, kParallelLists[n - 1], count, table, this->*kArrangements[n - 1],
             listIndexFor(n, count));
    return true;
}

// The index list n starts from: 1 with the search on or a single state.
int RxLTI_StepResp_AMI::listIndexFor(int n, int count) const
{
    return (AdaptDataIndex > 0 || count == 1) ? 1 : listIndex(n);
}

bool RxLTI_StepResp_AMI::Initialize(std::stringstream& msg)
{
    runReady = false;
    SampleRate = SamplesPerBit * BitRate;
    SectionSpectra::trimTrailingZeros(ChannelImpulse);
    OutputImpulse.clear();
    SectionImpulse.clear();
    OutputSpectrum.clear();
    SectionSpectrum.clear();
    Frequencies.clear();

    if (FEType == 0) {
        if (SuppressMessages == 0)
            msg << "\nFront end (FE) model with no equalization used.\n";
        OutputImpulse.resize(ChannelImpulse.size());
        for (size_t i = 0; i < ChannelImpulse.size(); ++i)
            OutputImpulse[i] = InputGain * ChannelImpulse[i];
        runReady = true;
    } else if (agcOnly()) {
        if (SuppressMessages == 0)
            msg << "\nFront end (FE) model with only AGC used.\n";
        const SectionChannel::LevelSettings level = {
            BitRate, SamplesPerBit, SampleRate, InputGain, OutputLevel, AdaptForOutputLevel, TxDataLevelPtoP};
        if (!SectionChannel::levelControlOnly(AGC, ChannelImpulse, level, UseFile, msg))
            return false;
        OutputImpulse = ChannelImpulse;
        runReady = true;
    } else {
        bool done = false;
        if (!initializeLists(msg, &done))
            return false;
        if (done)
            return true;
        if (!buildOutputImpulse(msg))
            return false;
    }

    if (SkipOutputImpulse != 0 || SkipSpectrum != 0)
        return true;
    return buildSpectra(msg);
}

// Search (when on), final evaluation and gain of the lists, through the
// cascade or, for the parallel topology, the parallel section.
bool RxLTI_StepResp_AMI::initializeLists(std::stringstream& msg, bool* done)
{
    *done = false;
    if (SuppressMessages == 0)
        msg << "\nGenerating front end (FE) model based on step response data.\n";

    // The lists' channel: scaled to the sample rate and by InputGain, and
    // positive-going. An empty channel stays empty, so that the cascade
    // refuses it with its own message instead of equalising one zero sample.
    if (ChannelImpulse.empty())
        workingChannel.clear();
    else
        SectionChannel::workingChannel(ChannelImpulse, SampleRate, InputGain, workingChannel);

    bool ok;
    if (parallelTopology()) {
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
        ok = p.Setup(UseFile, msg) && p.Initialize(msg);
        if (ok) {
            Data1Index = p.EQ1_StepRespIndex;
            Data2Index = p.EQ2_StepRespIndex;
            Section1Ratio = p.RatioA1;
            BestEyeRatio = p.BestEyeRatio;
        }
    } else {
        FIRwMultipleStepRespLists& c = Cascade;
        c.ChannelImpulse = &workingChannel;
        c.BitRate = BitRate;
        c.SamplesPerBit = SamplesPerBit;
        c.AdaptForChLoss = AdaptForOutputLevel;
        c.Gain_dB = Gain_dB;
        c.LogicLevel = TxDataLevelPtoP / 2;
        c.AGC_Level = OutputLevel;
        c.AdaptStepRespIndex = AdaptDataIndex;
        c.AdaptStepRespIndexType = 1;
        c.InterpolationType = 2;
        // Lists left over from an earlier configuration are not in use.
        c.EQ2_NumStepResp = c.EQ3_NumStepResp = c.EQ4_NumStepResp = 0;
        setupRxFE_Section(c, 1, NumData1, StepResp_data_values1, msg);
        if (NumData2 > 0)
            setupRxFE_Section(c, 2, NumData2, StepResp_data_values2, msg);
        if (NumData3 > 0)
            setupRxFE_Section(c, 3, NumData3, StepResp_data_values3, msg);
        if (NumData4 > 0)
            setupRxFE_Section(c, 4, NumData4, StepResp_data_values4, msg);
        c.SuppressMessages = SuppressListMessages;
        c.SkipFinalEvaluation = SkipFinalEvaluation;
        ok = c.Setup(UseFile, msg) && c.Initialize(msg);
        if (ok) {
            int* section[4] = {&Data1Index, &Data2Index, &Data3Index, &Data4Index};
            const int chosen[4] = {c.EQ1_StepRespIndex, c.EQ2_StepRespIndex, c.EQ3_StepRespIndex,
                                   c.EQ4_StepRespIndex};
            for (int n = 1; n <= 4; ++n)
                if (c.NumStepResp(n) > 0)
                    *section[n - 1] = chosen[n - 1];
            BestEyeRatio = c.BestEyeRatio;
        }
    }
    if (!ok) {
        msg << "\nERROR:  Front end (FE) model generation failed.\n";
        return false;
    }
    runReady = true;
    if (SkipOutputImpulse != 0)
        *done = true;
    return true;
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
    OutputImpulse.assign(n, 0.0);
    if (parallel) {
        for (size_t i = 0; i < n; ++i) {
            Parallel.Input = (i < length) ? ChannelImpulse[i] * InputGain : 0.0;
            Parallel.Run(msg);
            OutputImpulse[i] = Parallel.Output;
        }
        Parallel.Finalize();
    } else {
        // What sample-by-sample Run calls make of the channel from a cascade
        // at rest, by block transforms (up to rounding) when the lists are
        // plain FIRs, else streamed as one block through the lists.
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

bool RxLTI_StepResp_AMI::buildSpectra(std::stringstream& msg)
{
    // Spectrum size K = 2^a points, at least 4096; the FFT has N = 2K points.
    const size_t N = SectionSpectra::frequencyGrid(SampleRate, OutputImpulse.size(), FreqStep, Frequencies);

    FFT fft(UseFile);

    // The section's own response to a unit impulse, N samples of it. Once
    // every list has seen as many zeros as it has taps, its delay line holds
    // only zeros and, with finite taps, every later output is exactly 0; those
    // samples are not streamed.
    size_t streamed = N;
    if (FEType != 0 && !agcOnly()) {
        size_t flush = 1;
        bool finite = true;
        if (parallelTopology()) {
            flush += Parallel.EQ1.Taps().size() + Parallel.EQ2.Taps().size();
            finite = SectionSpectra::allFinite(Parallel.EQ1.Taps()) &&
                     SectionSpectra::allFinite(Parallel.EQ2.Taps()) && std::isfinite(Parallel.Gain);
        } else {
            for (int n = 1; n <= 4; ++n) {
                if (Cascade.NumStepResp(n) > 0) {
                    flush += Cascade.EQList(n)->Taps().size();
                    finite = finite && SectionSpectra::allFinite(Cascade.EQList(n)->Taps());
                }
            }
            finite = finite && std::isfinite(Cascade.Gain);
        }
        if (finite)
            streamed = std::min(N, flush);
    }
    SectionImpulse.assign(streamed, 0.0);
    for (size_t i = 0; i < streamed; ++i) {
        Input = (i == 0) ? 1.0 : 0.0;
        if (!Run(msg)) {
            // The output spectrum still comes first, with its messages.
            SectionImpulse.clear();
            SectionSpectra::spectrumOf(OutputImpulse, N, fft, OutputSpectrum);
            convertSpectrum(OutputSpectrum, Frequencies, msg);
            return false;
        }
        SectionImpulse[i] = Output;
    }
    SectionSpectra::trimTrailingZeros(SectionImpulse);

    SectionSpectra::twoSpectra(OutputImpulse, SectionImpulse, N, fft, OutputSpectrum, SectionSpectrum);
    const bool outputOk = convertSpectrum(OutputSpectrum, Frequencies, msg);
    const bool sectionOk = convertSpectrum(SectionSpectrum, Frequencies, msg);
    return outputOk && sectionOk;
}

bool RxLTI_StepResp_AMI::convertSpectrum(std::vector<std::complex<double>>& spectrum,
                                         const std::vector<double>& frequencies, std::stringstream& msg)
{
    return SectionSpectra::convert(spectrum, frequencies, msg);
}

bool RxLTI_StepResp_AMI::Run(std::stringstream& msg)
{
    if (FEType == 0) {
        Output = Input;
        return true;
    }
    if (!runReady) {
        Output = 0.0;
        return false;
    }
    if (agcOnly()) {
        AGC.Input = Input;
        Output = AGC.Run();
    } else if (parallelTopology()) {
        Parallel.Input = Input;
        Parallel.Run(msg);
        Output = Parallel.Output;
    } else {
        Cascade.Input = Input;
        Cascade.Run(msg);
        Output = Cascade.FinalOutput();
    }
    return true;
}

void RxLTI_StepResp_AMI::Finalize()
{
    if (FEType != 0 && !agcOnly()) {
        if (parallelTopology())
            Parallel.Finalize();
        else
            Cascade.Finalize();
    }
    runReady = false;
}

}  // namespace Veltramodels20200612
