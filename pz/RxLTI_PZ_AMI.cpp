#include "pz/RxLTI_PZ_AMI.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "dsp/FFT.h"
#include "eq/SectionChannel.h"
#include "eq/SectionSetup.h"
#include "eq/SectionSpectra.h"

namespace Veltramodels20200612 {

RxLTI_PZ_AMI::RxLTI_PZ_AMI()
    : Input(0.0),
      Output(0.0),
      BitRate(8e9),
      SamplesPerBit(32),
      TxDataLevelPtoP(1.0),
      FreqStep(0.0),
      FEType(0),
      InputGain(1.0),
      NumData1(0),
      PZ_data_values1(nullptr),
      Data1Index(1),
      NumData2(0),
      PZ_data_values2(nullptr),
      Data2Index(1),
      NumData3(0),
      PZ_data_values3(nullptr),
      Data3Index(1),
      NumData4(0),
      PZ_data_values4(nullptr),
      Data4Index(1),
      AdaptDataIndex(0),
      AdaptForOutputLevel(0),
      OutputLevel(1.0),
      Gain_dB(0.0),
      SkipOutputImpulse(0),
      SkipSpectrum(0),
      SuppressListMessages(0),
      SuppressMessages(0),
      SkipFinalEvaluation(0),
      BestEyeRatio(0.0),
      UseFile(nullptr),
      SampleRate(32 * 8e9),
      states_{nullptr, nullptr, nullptr, nullptr},
      useFileHeaderWritten_(false),
      runReady_(false)
{
}

RxLTI_PZ_AMI::~RxLTI_PZ_AMI()
{
    releaseStates();
}

int RxLTI_PZ_AMI::listIndex(int n) const
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

// The cascade keeps the states' impulse responses in its lists; the states
// themselves are not needed once it is built.
void RxLTI_PZ_AMI::releaseStates()
{
    for (int k = 0; k < 4; ++k) {
        delete[] states_[k];
        states_[k] = nullptr;
    }
    Cascade.EQ1_Data_data_values = Cascade.EQ2_Data_data_values = nullptr;
    Cascade.EQ3_Data_data_values = Cascade.EQ4_Data_data_values = nullptr;
    Cascade.EQ1.PZ_data = Cascade.EQ2.PZ_data = Cascade.EQ3.PZ_data = Cascade.EQ4.PZ_data = nullptr;
}

bool RxLTI_PZ_AMI::Setup(std::ofstream* useFile, std::stringstream& msg)
{
    if (!useFileHeaderWritten_ && useFile != nullptr && useFile->is_open()) {
        *useFile << "Veltramodels20200612::RxLTI_PZ_AMI\n";
        useFile->flush();
        UseFile = useFile;
        useFileHeaderWritten_ = true;
    }
    runReady_ = false;

    SetupChecks check(msg);
    const SectionSetup::Fields fields = {InputGain,
                                         AdaptForOutputLevel,
                                         AdaptDataIndex,
                                         TxDataLevelPtoP,
                                         FEType,
                                         {NumData1, NumData2, NumData3, NumData4},
                                         {Data1Index, Data2Index, Data3Index, Data4Index}};
    SectionSetup::checkCommon(fields, false, check, msg);
    SectionSetup::dropUnusedLists(FEType, &NumData2, &NumData3, &NumData4);
    return check.ok();
}

bool RxLTI_PZ_AMI::setupRxFE_Section(FIRwMultiplePZLists& cascade, int n, int count, PZImpulse** out,
                                     PZ_Data* records, std::stringstream&)
{
    if (n < 1 || n > 4 || out == nullptr)
        return false;
    const int states = std::max(count, 0);
    std::vector<Roots>& roots = roots_[n - 1];
    roots.assign(static_cast<size_t>(states), Roots());
    *out = nullptr;
    // Without records the list has no states; the cascade's set-up reports it.
    if (records != nullptr) {
        *out = new PZImpulse[static_cast<size_t>(states)];
        const double fs = SamplesPerBit * BitRate;
        for (int k = 0; k < states; ++k) {
            const PZ_Data& record = records[k];
            Roots& r = roots[static_cast<size_t>(k)];
            PZImpulse& p = (*out)[k];
            p.BitRate = BitRate;
            p.SamplesPerBit = SamplesPerBit;
            p.GainDC = record.gain;
            p.RootType = (!record.cpoles.empty() || !record.czeros.empty()) ? 2 : 1;
            p.WarpFreq = 1;
            p.AutoSetWarpFreq = 0;
            // Left half-plane roots, pre-warped for the bilinear transform at fs.
            for (double x : record.poles)
                r.poles.push_back(PZImpulse::warpRoot(-x, fs));
            for (double x : record.zeros)
                r.zeros.push_back(PZImpulse::warpRoot(-x, fs));
            for (const std::complex<double>& c : record.cpoles)
                r.cpoles.push_back(PZImpulse::warpRoot(-c, fs));
            for (const std::complex<double>& c : record.czeros)
                r.czeros.push_back(PZImpulse::warpRoot(-c, fs));
            p.Poles = &r.poles;
            p.Zeros = &r.zeros;
            p.CPoles = &r.cpoles;
            p.CZeros = &r.czeros;
        }
    }
    const int index = (AdaptDataIndex > 0 || count == 1) ? 1 : listIndex(n);
    switch (n) {
    case 1:
        cascade.EQ1_NumData = count;
        cascade.EQ1_Data_data_values = *out;
        cascade.EQ1_DataIndex = index;
        break;
    case 2:
        cascade.EQ2_NumData = count;
        cascade.EQ2_Data_data_values = *out;
        cascade.EQ2_DataIndex = index;
        break;
    case 3:
        cascade.EQ3_NumData = count;
        cascade.EQ3_Data_data_values = *out;
        cascade.EQ3_DataIndex = index;
        break;
    default:
        cascade.EQ4_NumData = count;
        cascade.EQ4_Data_data_values = *out;
        cascade.EQ4_DataIndex = index;
        break;
    }
    return true;
}

bool RxLTI_PZ_AMI::Initialize(std::stringstream& msg)
{
    runReady_ = false;
    SampleRate = SamplesPerBit * BitRate;
    SectionSpectra::trimTrailingZeros(ChannelImpulse);
    OutputImpulse.clear();
    SectionImpulse.clear();
    OutputSpectrum.clear();
    SectionSpectrum.clear();
    Frequencies.clear();

    if (FEType == 0) {
        msg << "\nPass-through front end (FE) model used.\n";
        OutputImpulse = ChannelImpulse;
        runReady_ = true;
    } else if (agcOnly()) {
        msg << "\nFront end (FE) model with only AGC used.\n";
        const SectionChannel::LevelSettings level = {
            BitRate, SamplesPerBit, SampleRate, InputGain, OutputLevel, AdaptForOutputLevel, TxDataLevelPtoP};
        if (!SectionChannel::levelControlOnly(AGC, ChannelImpulse, level, UseFile, msg))
            return false;
        OutputImpulse = ChannelImpulse;
        runReady_ = true;
    } else {
        bool done = false;
        const bool ok = initializeLists(msg, &done);
        releaseStates();
        if (!ok)
            return false;
        if (done)
            return true;
    }

    if (SkipOutputImpulse != 0 || SkipSpectrum != 0)
        return true;
    return buildSpectra(msg);
}

bool RxLTI_PZ_AMI::initializeLists(std::stringstream& msg, bool* done)
{
    *done = false;
    if (SuppressMessages == 0)
        msg << "\nGenerating front end (FE) model based on pole and zero data.\n";

    SectionChannel::workingChannel(ChannelImpulse, SampleRate, InputGain, workingChannel_);

    FIRwMultiplePZLists& c = Cascade;
    c.ChannelImpulse = &workingChannel_;
    c.BitRate = BitRate;
    c.SamplesPerBit = SamplesPerBit;
    c.Gain_dB = Gain_dB;
    c.LogicLevel = TxDataLevelPtoP / 2;
    c.AGC_Level = OutputLevel;
    c.AdaptDataIndex = AdaptDataIndex;
    c.AdaptDataIndexType = 1;
    c.AdaptForChLoss = AdaptForOutputLevel;
    // Lists left over from an earlier configuration are not in use.
    c.EQ2_NumData = c.EQ3_NumData = c.EQ4_NumData = 0;

    const int counts[4] = {NumData1, NumData2, NumData3, NumData4};
    PZ_Data* records[4] = {PZ_data_values1, PZ_data_values2, PZ_data_values3, PZ_data_values4};
    bool ok = setupRxFE_Section(c, 1, NumData1, &states_[0], records[0], msg);
    for (int n = 2; n <= 4 && ok; ++n)
        if (counts[n - 1] > 0)
            ok = setupRxFE_Section(c, n, counts[n - 1], &states_[n - 1], records[n - 1], msg);
    c.SuppressMessages = SuppressListMessages;
    c.SkipFinalEvaluation = SkipFinalEvaluation;
    if (ok)
        ok = c.Setup(UseFile, msg) && c.Initialize(msg);
    if (ok && AdaptDataIndex == 1) {
        int* section[4] = {&Data1Index, &Data2Index, &Data3Index, &Data4Index};
        const int chosen[4] = {c.EQ1_DataIndex, c.EQ2_DataIndex, c.EQ3_DataIndex, c.EQ4_DataIndex};
        for (int n = 1; n <= 4; ++n)
            if (c.NumData(n) > 0)
                *section[n - 1] = chosen[n - 1];
    }
    BestEyeRatio = c.BestEyeRatio;
    if (!ok) {
        msg << "\nERROR:  Front end (FE) model generation failed.\n";
        return false;
    }
    runReady_ = true;
    if (SkipOutputImpulse != 0) {
        *done = true;
        return true;
    }
    return buildOutputImpulse(msg);
}

// The channel streamed through the chosen cascade. The response is as long
// as the channel plus every list's taps; stopping after the last list's taps
// alone would cut a cascade's response short. Streaming that many zeros also
// leaves every list's delay line clear.
bool RxLTI_PZ_AMI::buildOutputImpulse(std::stringstream& msg)
{
    if (ChannelImpulse.empty())
        return true;
    size_t tail = 0;
    for (int n = 1; n <= 4; ++n)
        if (Cascade.NumData(n) > 0)
            tail += Cascade.EQList(n)->ImpulseResponse.size();
    const size_t length = ChannelImpulse.size();
    const size_t n = length + tail;
    OutputImpulse.assign(n, 0.0);
    for (size_t i = 0; i < n; ++i) {
        Cascade.Input = (i < length) ? ChannelImpulse[i] * InputGain : 0.0;
        Cascade.Run(msg);
        OutputImpulse[i] = Cascade.FinalOutput();
    }
    Cascade.Finalize();
    SectionSpectra::trimTrailingZeros(OutputImpulse);
    return true;
}

bool RxLTI_PZ_AMI::buildSpectra(std::stringstream& msg)
{
    const size_t N = SectionSpectra::frequencyGrid(SampleRate, OutputImpulse.size(), FreqStep, Frequencies);

    {
        FFT fft(UseFile);
        SectionSpectra::spectrumOf(OutputImpulse, N, fft, OutputSpectrum);
    }
    const bool outputOk = convertSpectrum(OutputSpectrum, Frequencies, msg);

    // The section's own response to a unit impulse, from a clean cascade.
    // Once every list has seen as many zeros as it has taps, every later
    // output is exactly 0 (finite taps); those samples are not streamed.
    size_t streamed = N;
    if (FEType != 0 && !agcOnly()) {
        Cascade.Restart();
        size_t flush = 1;
        bool finite = std::isfinite(Cascade.Gain);
        for (int n = 1; n <= 4; ++n) {
            if (Cascade.NumData(n) > 0) {
                flush += Cascade.EQList(n)->ImpulseResponse.size();
                finite = finite && SectionSpectra::allFinite(Cascade.EQList(n)->ImpulseResponse);
            }
        }
        if (finite)
            streamed = std::min(N, flush);
    }
    SectionImpulse.assign(streamed, 0.0);
    for (size_t i = 0; i < streamed; ++i) {
        Input = (i == 0) ? 1.0 : 0.0;
        if (!Run(msg))
            return false;
        SectionImpulse[i] = Output;
    }
    SectionSpectra::trimTrailingZeros(SectionImpulse);
    if (FEType != 0 && !agcOnly())
        Cascade.Restart();

    {
        FFT fft(UseFile);
        SectionSpectra::spectrumOf(SectionImpulse, N, fft, SectionSpectrum);
    }
    const bool sectionOk = convertSpectrum(SectionSpectrum, Frequencies, msg);
    return outputOk && sectionOk;
}

bool RxLTI_PZ_AMI::convertSpectrum(std::vector<std::complex<double>>& spectrum,
                                   const std::vector<double>& frequencies, std::stringstream& msg)
{
    return SectionSpectra::convert(spectrum, frequencies, msg);
}

bool RxLTI_PZ_AMI::Run(std::stringstream& msg)
{
    if (FEType == 0) {
        Output = Input;
        return true;
    }
    if (!runReady_) {
        Output = 0.0;
        return false;
    }
    if (agcOnly()) {
        AGC.Input = Input;
        Output = AGC.Run();
    } else {
        Cascade.Input = Input;
        Cascade.Run(msg);
        Output = Cascade.FinalOutput();
    }
    return true;
}

void RxLTI_PZ_AMI::Finalize()
{
    if (FEType != 0 && !agcOnly())
        Cascade.Finalize();
}

}  // namespace Veltramodels20200612
