#include "eq/SectionChannel.h"

#include <cstdint>

#include "dsp/SampleVectors.h"

namespace Veltramodels20200612 {

void SectionChannel::workingChannel(const std::vector<double>& channel, double sampleRate, double inputGain,
                                    std::vector<double>& out)
{
    if (channel.empty()) {
        out.assign(1, 0.0);
    } else {
        out.resize(channel.size());
        for (size_t i = 0; i < channel.size(); ++i)
            out[i] = channel[i] * sampleRate * inputGain;
    }
    out.shrink_to_fit();
    if (SampleVectors::largestIsNegative(out))
        SampleVectors::negate(out);
}

void SectionChannel::trimmedChannel(const std::vector<double>& channel, double divisor,
                                    std::vector<double>& out)
{
    const std::int64_t lastNz = SampleVectors::lastNonzero(channel);
    const std::int64_t firstNz = SampleVectors::firstNonzero(channel);
    const size_t last = lastNz < 0 ? 0 : static_cast<size_t>(lastNz);
    const size_t first = firstNz <= 0 ? 0 : static_cast<size_t>(firstNz - 1);
    out.resize(last - first + 1);
    for (size_t j = 0; first + j <= last; ++j)
        out[j] = channel[first + j] / divisor;
    out.shrink_to_fit();
}

bool SectionChannel::levelControlOnly(AutoGainControl& agc, std::vector<double>& channel,
                                      const LevelSettings& s, std::ofstream* useFile, std::stringstream& msg)
{
    const double scale = s.SampleRate * s.InputGain;
    for (double& v : channel)
        v *= scale;
    agc.ChannelImpulse = &channel;
    agc.BitRate = s.BitRate;
    agc.SamplesPerBit = s.SamplesPerBit;
    agc.AGC_Level = s.OutputLevel;
    agc.AGC_Type = s.AdaptForOutputLevel;
    agc.TxLogicLevel = s.TxDataLevelPtoP / 2;
    agc.ScalarGain = s.InputGain;
    if (!channel.empty() && (!agc.Setup(useFile, msg) || !agc.Initialize(msg)))
        return false;
    for (double& v : channel)
        v /= s.SampleRate;
    return true;
}

}  // namespace Veltramodels20200612
