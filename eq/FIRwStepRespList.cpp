#include "eq/FIRwStepRespList.h"

#include <cmath>
#include <cstdlib>

#include "dsp/ImpulseOperations.h"
#include "dsp/SetupChecks.h"
#include "eq/StateSearch.h"

namespace Veltramodels20200612 {

FIRwStepRespList::FIRwStepRespList()
{
    Filter.Taps = &Taps();
    Filter.InitialValue = 0.0;
}

FIRwStepRespList::~FIRwStepRespList() {}

std::vector<double>& FIRwStepRespList::Taps()
{
    return Interpolator.OutputData;
}

const std::vector<double>& FIRwStepRespList::Taps() const
{
    return Interpolator.OutputData;
}

bool FIRwStepRespList::Setup(std::ofstream* useFile, std::stringstream& msg)
{
    if (UseFile == nullptr && useFile != nullptr && useFile->is_open()) {
        UseFile = useFile;
        *UseFile << "Veltramodels20200612::FIRwStepRespList\n";
        UseFile->flush();
    }

    SetupChecks check(msg);
    check.channelAndGrid(ChannelImpulse, BitRate, SamplesPerBit);
    if (check.fault(AdaptStepRespIndex == 0 && (StepRespIndex < 1 || StepRespIndex > NumStepResp)))
        msg << "StepRespIndex must be an integer in the range [1, " << NumStepResp << "].\n";
    check.fault(static_cast<unsigned>(AdaptForLogicLevel) > 1u,
                "AdaptForLogicLevel must be an integer either 0 or 1.\n");
    Gain = (AdaptForLogicLevel != 0) ? 1.0 : std::pow(10.0, Gain_dB / 20.0);
    check.fault(!(LogicLevel > 0.0), "LogicLevel must be > 0.\n");
    check.fault(static_cast<unsigned>(AdaptStepRespIndex) > 1u,
                "AdaptStepRespIndex must be an integer either 0 or 1.\n");
    if (AdaptStepRespIndex == 1)
        StepRespIndex = 1;

    // The channel preparation of Initialize scales by the sample interval,
    // so it must be known before Initialize runs the adaptations.
    if (BitRate > 0.0 && SamplesPerBit >= 4)
        SampleInterval = 1.0 / BitRate / SamplesPerBit;

    Interpolator.StepRespIndex = StepRespIndex;
    Interpolator.SamplesPerBit = SamplesPerBit;
    Interpolator.BitRate = BitRate;
    Interpolator.InterpolationType = InterpolationType;
    Interpolator.NumStepResp = NumStepResp;
    Interpolator.StepResp_data_values = StepResp_data_values;
    Interpolator.ColumnArrangement = ColumnArrangement;
    Interpolator.EnableInterpolation = 1;
    Interpolator.DifferentiateData = 1;
    Filter.Taps = &Taps();
    Filter.InitialValue = 0.0;

    if (OutputStepRespData == 1) {
        Interpolator.EnableInterpolation = 0;
        Interpolator.DifferentiateData = 0;
        AdaptStepRespIndex = 0;
        AdaptForLogicLevel = 0;
    }

    if (!check.ok())
        return false;
    // With the index adaptation the interpolator is set up per trial state.
    if (AdaptStepRespIndex == 1)
        return true;
    return Interpolator.Setup(useFile, msg);
}

void FIRwStepRespList::refillChannel()
{
    ChImpulse.resize(static_cast<size_t>(ChannelLength));
    const std::vector<double>& ch = *ChannelImpulse;
    const double scale = ChannelInverted ? -SampleInterval : SampleInterval;
    for (std::int64_t i = 0; i < ChannelLength; ++i)
        ChImpulse[i] = scale * ch[i];
}

bool FIRwStepRespList::setupFilterForIndex(int index, std::stringstream& msg)
{
    Interpolator.StepRespIndex = index;
    if (!Interpolator.Setup(UseFile, msg))
        return false;
    if (!Interpolator.Initialize(msg))
        return false;
    Filter.Taps = &Taps();
    Filter.InitialValue = 0.0;
    if (!Filter.Setup(UseFile, msg))
        return false;
    Filter.Initialize();
    return true;
}

void FIRwStepRespList::convolveChImpFIR(std::vector<double>& v, std::int64_t n, std::stringstream& msg)
{
    if (n < 0)
        n = 0;
    const size_t total = Taps().size() + static_cast<size_t>(n);
    v.resize(total);
    for (size_t i = static_cast<size_t>(n); i < total; ++i)
        v[i] = 0.0;
    Filter.RunBlock(v.data(), v.data(), static_cast<std::int64_t>(total), msg);
}

bool FIRwStepRespList::Initialize(std::stringstream& msg)
{
    if (AdaptStepRespIndex == 0) {
        if (!Interpolator.Initialize(msg))
            return false;
        if (OutputStepRespData != 1) {
            Filter.Taps = &Taps();
            Filter.InitialValue = 0.0;
            if (!Filter.Setup(UseFile, msg))
                return false;
            Filter.Initialize();
        }
    }

    ChannelInverted = false;
    bool result = true;
    const bool adaptIndex = (AdaptStepRespIndex == 1);
    const bool adaptGain = (AdaptForLogicLevel == 1);
    if ((adaptIndex || adaptGain) && ChannelImpulse != nullptr && !ChannelImpulse->empty()) {
        prepareChannel();
        double bestBc = 0.0;
        double bestWc = 0.0;
        if (adaptIndex && !searchIndex(&bestBc, &bestWc, msg))
            return false;
        if (adaptGain)
            result = adaptGainToLevel(adaptIndex, bestBc, bestWc, msg);
    }

    SampleInterval = 1.0 / BitRate / SamplesPerBit;
    SampleCount = 0;
    return result;
}

// Channel preparation for the adaptations: trailing exact zeros are not
// convolved, and the sign of the largest sample is noted.
void FIRwStepRespList::prepareChannel()
{
    const std::vector<double>& ch = *ChannelImpulse;
    std::int64_t last = 0;
    for (std::int64_t i = static_cast<std::int64_t>(ch.size()) - 1; i >= 0; --i) {
        if (ch[i] != 0.0) {
            last = i;
            break;
        }
    }
    ChannelLength = last + 1;
    double largest = 0.0;
    double largestValue = 0.0;
    for (std::int64_t i = 0; i < ChannelLength; ++i) {
        if (std::fabs(ch[i]) > largest) {
            largest = std::fabs(ch[i]);
            largestValue = ch[i];
        }
    }
    ChannelInverted = largestValue < 0.0;
}

// Index adaptation: every state against the channel, the strictly largest
// open-eye ratio kept (ties to the lower index). bc and wc receive the
// chosen state's eye levels.
bool FIRwStepRespList::searchIndex(double* bestBc, double* bestWc, std::stringstream& msg)
{
    auto measure = [&](int k, double* bc, double* wc, std::stringstream& scratch) {
        if (!setupFilterForIndex(k, scratch))
            return false;
        refillChannel();
        convolveChImpFIR(ChImpulse, ChannelLength, scratch);
        // Only the eye measurement's lines are reported from here on.
        scratch.str("");
        scratch.clear();
        ImpulseOperations ops(UseFile);
        if (!ops.determineEyeBcWcUpperLevels(ChImpulse, SamplesPerBit, LogicLevel, bc, wc, scratch))
            return false;
        Interpolator.Finalize();
        Filter.Finalize();
        return true;
    };
    if (!StateSearch::run(NumStepResp, measure, &StepRespIndex, &BestEyeRatio, bestBc, bestWc, msg))
        return false;
    const int best = StepRespIndex;
    if (SuppressMessages == 0) {
        msg << "Adaptation of the channel+equalizer for best eye opening results in step response data index = "
            << best;
        if (BestEyeRatio > 0.0)
            msg << " with eye opening ratio = " << BestEyeRatio << "\n";
        else
            msg << ", but the eye is still closed.\n";
    }
    return setupFilterForIndex(best, msg);
}

// Gain adaptation to LogicLevel, on the levels of the search or, without a
// search, of the given state measured here. The result is that of the FIR's
// set-up after a measurement of its own.
bool FIRwStepRespList::adaptGainToLevel(bool searched, double bestBc, double bestWc, std::stringstream& msg)
{
    bool result = true;
    if (!searched) {
        std::stringstream scratch;
        refillChannel();
        convolveChImpFIR(ChImpulse, ChannelLength, scratch);
        ImpulseOperations ops(UseFile);
        double bc = 0.0;
        double wc = 0.0;
        if (ops.determineEyeBcWcUpperLevels(ChImpulse, SamplesPerBit, LogicLevel, &bc, &wc, scratch)) {
            bestBc = bc;
            bestWc = wc;
        }
    }
    // Without a best-case level (no response at all) no gain can be derived;
    // the gain then stays at 1.
    if (bestWc > 0.0)
        Gain = LogicLevel / ((bestBc + bestWc) * 0.5);
    else if (bestBc != 0.0)
        Gain = LogicLevel / bestBc;
    else
        Gain = 1.0;
    Gain_dB = 20.0 * std::log10(std::fabs(Gain));
    if (!searched) {
        if (SuppressMessages == 0) {
            if (bestWc > 0.0)
                msg << "Channel+equalizer eye opening ratio = " << bestWc / bestBc << ".\n";
            else
                msg << "Channel+equalizer eye is closed.\n";
        }
        // Clear the state left by the trial convolution.
        result = Filter.Setup(UseFile, msg);
        Filter.Initialize();
    }
    if (SuppressMessages == 0)
        msg << "To adapt for channel+equalizer loss relative to the LogicLevel = " << LogicLevel
            << ", a gain of " << Gain_dB << " dB is added at the equalizer output.\n";
    return result;
}

void FIRwStepRespList::Run(std::stringstream& msg)
{
    if (OutputStepRespData == 1) {
        Interpolator.Run();
        Output = Interpolator.Output;
        Time = Interpolator.Time;
        ++SampleCount;
        return;
    }
    Filter.Input = Input;
    Filter.Run(msg);
    Output = Filter.Output * Gain;
    Time = static_cast<double>(SampleCount) * SampleInterval;
    ++SampleCount;
}

void FIRwStepRespList::RunBlock(const double* input, double* output, std::int64_t count,
                                std::stringstream& msg)
{
    if (count <= 0)
        return;
    if (OutputStepRespData == 1) {
        for (std::int64_t k = 0; k < count; ++k) {
            Input = input[k];
            Run(msg);
            output[k] = Output;
        }
        return;
    }
    Input = input[count - 1];
    Filter.RunBlock(input, output, count, msg);
    for (std::int64_t k = 0; k < count; ++k)
        output[k] = output[k] * Gain;
    Output = output[count - 1];
    SampleCount += count;
    Time = static_cast<double>(SampleCount - 1) * SampleInterval;
}

void FIRwStepRespList::Finalize()
{
    Interpolator.Finalize();
    Filter.Finalize();
}

}  // namespace Veltramodels20200612
