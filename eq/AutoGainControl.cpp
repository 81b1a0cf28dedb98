#include "eq/AutoGainControl.h"

#include <cmath>
#include <cstddef>

#include "dsp/ImpulseOperations.h"

namespace Veltramodels20200612 {

AutoGainControl::AutoGainControl()
    : Input(0.0),
      Output(0.0),
      ChannelImpulse(nullptr),
      SamplesPerBit(32),
      BitRate(5e9),
      AGC_Type(0),
      AGC_Level(1.0),
      TxLogicLevel(0.5),
      ScalarGain(1.0),
      BestCaseUpperLevel(0.0),
      WorstCaseUpperLevel(0.0),
      UseFile(nullptr),
      useFileHeaderWritten(false)
{
}

bool AutoGainControl::Setup(std::ofstream* useFile, std::stringstream& msg)
{
    if (!useFileHeaderWritten && useFile != nullptr && useFile->is_open()) {
        *useFile << "Veltramodels20200612::AutoGainControl\n";
        useFile->flush();
        UseFile = useFile;
        useFileHeaderWritten = true;
    }

    bool ok = true;
    if (ChannelImpulse == nullptr || ChannelImpulse->empty()) {
        msg << "ChannelImpulse[] array must not be empty.\n";
        ok = false;
    }
    // Settings checked against a small range are taken as unsigned, so a
    // negative value fails as well.
    if (static_cast<unsigned>(AGC_Type) > 3u) {
        msg << "AGC_Type must be an integer in the range [0, 3].\n";
        ok = false;
    }
    if (!(AGC_Level > 0.0)) {
        msg << "AGC_Level must be > 0.\n";
        ok = false;
    }
    if (!(TxLogicLevel > 0.0)) {
        msg << "TxLogicLevel must be > 0.\n";
        return false;
    }
    return ok;
}

bool AutoGainControl::Initialize(std::stringstream& msg)
{
    if (AGC_Type < 1)
        return true;  // the preset gain stays, nothing is touched
    if (ChannelImpulse == nullptr)
        return false;

    BestCaseUpperLevel = 0.0;
    WorstCaseUpperLevel = 0.0;

    // The impulse in gain per sample times the sample interval, made
    // positive-going. The first sample of largest magnitude decides the sign.
    std::vector<double> c(ChannelImpulse->size());
    double largest = 0.0;
    bool negative = false;
    for (std::size_t i = 0; i < c.size(); ++i) {
        c[i] = (*ChannelImpulse)[i] / BitRate / SamplesPerBit;
        double m = std::fabs(c[i]);
        if (i == 0 || m > largest) {
            largest = m;
            negative = c[i] < 0.0;
        }
    }
    if (negative)
        for (double& v : c)
            v = -v;

    const double swing = 2.0 * TxLogicLevel;
    double gain = ScalarGain;
    bool result = true;
    if (AGC_Type == 1) {
        double sum = 0.0;
        for (double v : c)
            sum += v;
        gain = AGC_Level / sum / swing;
    } else if (AGC_Type == 2) {
        ImpulseOperations ops(UseFile);
        double g = ops.impulseGainAtNyquist(BitRate, SamplesPerBit, c);
        gain = g * AGC_Level / swing;
    } else {
        ImpulseOperations ops(UseFile);
        result = ops.determineEyeBcWcUpperLevels(c, SamplesPerBit, TxLogicLevel, &BestCaseUpperLevel,
                                                 &WorstCaseUpperLevel, msg);
        if (WorstCaseUpperLevel > 0.0)
            gain = AGC_Level / (WorstCaseUpperLevel + BestCaseUpperLevel);
        else
            gain = AGC_Level / BestCaseUpperLevel;
    }
    // A channel without signal at the measured point (an all-zero impulse, or
    // no response at Nyquist) has no level to bring to the target: the
    // division would give an infinite or undefined gain, and multiplying the
    // impulse by it would turn its zeros into NaN. The section then behaves
    // as without adaptation: the preset gain stays and the impulse is left
    // as it is.
    const bool adapted = std::isfinite(gain);
    if (adapted)
        ScalarGain = gain;

    msg << "AGC scalar gain = " << ScalarGain << ".\n";

    if (adapted && ScalarGain != 1.0)
        for (double& v : *ChannelImpulse)
            v *= ScalarGain;
    return result;
}

double AutoGainControl::Run()
{
    Output = Input * ScalarGain;
    return Output;
}

void AutoGainControl::DeleteBuffers() {}

}  // namespace Veltramodels20200612
