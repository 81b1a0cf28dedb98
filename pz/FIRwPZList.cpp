#include "pz/FIRwPZList.h"

#include <cmath>

#include "dsp/ImpulseOperations.h"
#include "dsp/SetupChecks.h"
#include "eq/GainAdaptation.h"
#include "eq/StateSearch.h"

namespace Veltramodels20200612 {

FIRwPZList::FIRwPZList()
{
    Filter.Taps = &ImpulseResponse;
    Filter.InitialValue = 0.0;
    Filter.EnableFFT = 0;
}

bool FIRwPZList::Setup(std::ofstream* useFile, std::stringstream& msg)
{
    if (UseFile == nullptr && useFile != nullptr && useFile->is_open()) {
        *useFile << "Veltramodels20200612"
                 << "::"
                 << "FIRwPZList"
                 << "\n";
        useFile->flush();
        UseFile = useFile;
    }
    SetupChecks check(msg);
    check.channelAndGrid(ChannelImpulse, BitRate, SamplesPerBit);
    if (check.fault(AdaptDataIndex == 0 && (DataIndex < 1 || DataIndex > NumData)))
        msg << "DataIndex must be an integer in the range [1, " << NumData << "].\n";
    Gain = 1.0;
    if (AdaptForChLoss == 0)
        Gain = std::pow(10.0, Gain_dB / 20.0);
    check.fault(!(SourceLogicLevel > 0.0), "SourceLogicLevel must be > 0.\n");
    check.fault(!(AGC_Level > 0.0), "AGC_Level must be > 0.\n");
    check.fault(static_cast<unsigned>(AdaptDataIndex) > 1u,
                "AdaptDataIndex must be an integer either 0 or 1.\n");
    check.fault(NumData <= 0, "NumData must be an integer >= 1.\n");
    check.fault(PZ_data == nullptr, "PZ_data array must not be NULL.\n");
    const bool ok = check.ok();

    if (ok) {
        for (int i = 0; i < NumData; ++i) {
            PZImpulse& state = PZ_data[i];
            if (state.BitRate != BitRate || state.SamplesPerBit != SamplesPerBit || !(state.GainDC > 0.0)) {
                msg << "PZ_data[i] for i = " << i << " not setup properly.\n";
                return false;
            }
            size_t poles =
                (state.Poles ? state.Poles->size() : 0) + 2 * (state.CPoles ? state.CPoles->size() : 0);
            size_t zeros =
                (state.Zeros ? state.Zeros->size() : 0) + 2 * (state.CZeros ? state.CZeros->size() : 0);
            if (!(zeros < poles)) {
                msg << "PZ_data[i] must have number of Poles > number of Zeros.\n";
                return false;
            }
            state.TimeArray = &TimeAxis;
            state.ImpulseArray = &ImpulseResponse;
            if (!state.Setup(UseFile, msg))
                return false;
        }
    }
    if (AdaptDataIndex == 1)
        DataIndex = 1;
    Filter.Taps = &ImpulseResponse;
    Filter.InitialValue = 0.0;
    Filter.EnableFFT = 0;
    return ok;
}

// Generates state `index` (1-based) into the taps and prepares the FIR.
bool FIRwPZList::generate(int index, std::stringstream& msg)
{
    if (PZ_data == nullptr || index < 1 || index > NumData || !PZ_data[index - 1].Initialize(msg) ||
        ImpulseResponse.empty()) {
        msg << "Failed to generate FIR response.\n";
        return false;
    }
    if (!Filter.Setup(UseFile, msg))
        return false;
    Filter.Initialize();
    return true;
}

// The scaled channel as the trials see it: positive-going.
void FIRwPZList::trialChannel(std::vector<double>& v) const
{
    v = ScaledChannel;
    if (channelInverted_)
        for (double& x : v)
            x = -x;
}

bool FIRwPZList::Initialize(std::stringstream& msg)
{
    SampleCount = 0;
    SampleInterval = 1.0 / (BitRate * SamplesPerBit);
    if (AdaptDataIndex != 1 && !generate(DataIndex, msg))
        return false;

    channelInverted_ = false;
    if (AdaptDataIndex != 1 && AdaptForChLoss <= 0)
        return true;

    // The channel up to its last nonzero sample, in gain per second times
    // the sample interval.
    const std::vector<double>& ch = *ChannelImpulse;
    size_t length = ch.size();
    while (length > 1 && ch[length - 1] == 0.0)
        --length;
    const double scale = 1.0 / (static_cast<double>(SamplesPerBit) * BitRate);
    ScaledChannel.resize(length);
    double largest = 0.0;
    for (size_t i = 0; i < length; ++i) {
        ScaledChannel[i] = ch[i] * scale;
        if (std::fabs(ScaledChannel[i]) > largest) {
            largest = std::fabs(ScaledChannel[i]);
            channelInverted_ = ScaledChannel[i] < 0.0;
        }
    }

    ImpulseOperations ops(UseFile);
    double bc = 0.0, wc = 0.0;
    if (AdaptDataIndex == 1 && !searchIndex(ops, &bc, &wc, msg))
        return false;
    if (AdaptForChLoss > 0)
        adaptGain(ops, AdaptDataIndex == 1, bc, wc, msg);
    SampleCount = 0;
    return true;
}

// Every state against the channel, the strictly largest open-eye ratio kept;
// bc and wc receive the chosen state's levels. The chosen state's response is
// generated again for Run.
bool FIRwPZList::searchIndex(ImpulseOperations& ops, double* bc, double* wc, std::stringstream& msg)
{
    DataIndex = 1;
    auto measure = [&](int k, double* kb, double* kw, std::stringstream& scratch) {
        std::vector<double> v;
        if (!generate(k, scratch))
            return false;
        trialChannel(v);
        convolveChImpFIR(v, static_cast<std::int64_t>(ScaledChannel.size()), scratch);
        return ops.determineEyeBcWcUpperLevels(v, SamplesPerBit, AGC_Level, kb, kw, scratch);
    };
    if (!StateSearch::run(NumData, measure, &DataIndex, &BestEyeRatio, bc, wc, msg))
        return false;
    const int best = DataIndex;
    if (SuppressMessages == 0) {
        if (BestEyeRatio > 0.0)
            msg << "Adaptation of the equalizer for best output eye opening results in data index = " << best
                << " with approximate eye opening ratio = " << BestEyeRatio << "\n";
        else
            msg << "Adaptation of the equalizer for best output eye opening results in  data index = " << best
                << ", but the eye is still closed.\n";
    }
    return generate(DataIndex, msg);
}

// Gain adaptation on the channel through the chosen state; without a search
// its eye levels are measured here first.
void FIRwPZList::adaptGain(ImpulseOperations& ops, bool measured, double bc, double wc,
                           std::stringstream& msg)
{
    std::stringstream scratch;
    std::vector<double> v = ScaledChannel;
    convolveChImpFIR(v, static_cast<std::int64_t>(ScaledChannel.size()), scratch);
    if (!measured) {
        std::vector<double> positive = v;
        if (channelInverted_)
            for (double& x : positive)
                x = -x;
        if (!ops.determineEyeBcWcUpperLevels(positive, SamplesPerBit, AGC_Level, &bc, &wc, scratch)) {
            bc = 0.0;
            wc = 0.0;
        }
        if (SuppressMessages == 0) {
            if (wc > 0.0 && bc != 0.0)
                msg << "Equalizer output approximate eye opening ratio = " << wc / bc << ".\n";
            else
                msg << "Equalizer output eye is closed.\n";
        }
    }
    // A level that cannot be measured leaves the gain at 1. The eye's level
    // is scaled further when the target is not the source's eye height.
    const GainAdaptation::Response response = {v, bc, wc, BitRate, SamplesPerBit};
    double adapted = GainAdaptation::adapted(AdaptForChLoss, AGC_Level, response, ops, Gain);
    if (AdaptForChLoss == 3 && AGC_Level != 2.0 * SourceLogicLevel)
        adapted *= AGC_Level / (2.0 * SourceLogicLevel);
    GainAdaptation::keepUsable(adapted, &Gain, &Gain_dB);
    if (SuppressMessages == 0 && AdaptForChLoss >= 1 && AdaptForChLoss <= 3) {
        if (AdaptForChLoss == 3)
            msg << "To adapt equalizer output for peak-to-peak eye level of " << AGC_Level;
        else
            msg << "To adapt equalizer output for system gain of " << 20.0 * std::log10(AGC_Level)
                << (AdaptForChLoss == 1 ? " dB at 0 Hz" : " dB at Nyquist Hz");
        msg << ", a gain of " << Gain_dB << " dB is added at the equalizer output.\n";
    }
    // The trial convolution left state in the FIR.
    Filter.Initialize();
}

void FIRwPZList::convolveChImpFIR(std::vector<double>& v, std::int64_t count, std::stringstream& msg)
{
    const std::int64_t taps = static_cast<std::int64_t>(ImpulseResponse.size());
    if (count < 0)
        count = 0;
    if (count > static_cast<std::int64_t>(v.size()))
        count = static_cast<std::int64_t>(v.size());
    v.resize(static_cast<size_t>(taps + count));
    Filter.Initialize();
    for (std::int64_t i = 0; i < taps + count; ++i) {
        Filter.Input = i < count ? v[static_cast<size_t>(i)] : 0.0;
        Filter.Run(msg);
        v[static_cast<size_t>(i)] = Filter.Output;
    }
}

void FIRwPZList::Run(std::stringstream& msg)
{
    Filter.Input = Input;
    Filter.Run(msg);
    Output = Filter.Output * Gain;
    Time = static_cast<double>(SampleCount) * SampleInterval;
    ++SampleCount;
}

void FIRwPZList::Finalize()
{
    Filter.Finalize();
}

}  // namespace Veltramodels20200612
