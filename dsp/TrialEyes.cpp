#include "dsp/TrialEyes.h"

#include <algorithm>
#include <cstdint>

#include "dsp/SampleVectors.h"

namespace Veltramodels20200612 {

bool TrialEyes::Measure(const std::vector<double>& channel, const std::vector<std::vector<double>>& tapSets,
                        int samplesPerBit, double logicLevel, std::vector<Levels>& levels)
{
    const std::int64_t cFirst = SampleVectors::firstNonzero(channel);
    const std::int64_t cLast = SampleVectors::lastNonzero(channel);
    if (cFirst < 0 || tapSets.empty())
        return false;
    const std::size_t sets = tapSets.size();
    end_.assign(sets, 0);
    started_.assign(sets, false);
    eyes_.resize(sets);
    for (std::size_t s = 0; s < sets; ++s) {
        const std::int64_t tLast = SampleVectors::lastNonzero(tapSets[s]);
        if (tLast < 0 ||
            !eyes_[s].Start(samplesPerBit, logicLevel, StreamingEye::Input::PositiveGoingImpulse))
            return false;
        // The support ends at the product of the last nonzero samples.
        end_[s] = static_cast<std::size_t>(cLast - cFirst + tLast + 1);
    }
    // Before the channel's first nonzero sample every output is skipped, so
    // the blocks start there.
    const double* x = channel.data() + cFirst;
    const std::size_t count = static_cast<std::size_t>(cLast - cFirst + 1);
    if (!conv_.SetTaps(tapSets, count))
        return false;
    const std::size_t outputs = *std::max_element(end_.begin(), end_.end());
    const std::size_t B = conv_.BlockSize();
    for (std::size_t at = 0; at < outputs; at += B) {
        const std::size_t in = at < count ? std::min(B, count - at) : 0;
        conv_.LoadBlock(in > 0 ? x + at : nullptr, in);
        for (std::size_t s = 0; s < sets; ++s) {
            if (at >= end_[s])
                continue;
            feed(s, conv_.OutputBlockInPlace(s), std::min(B, end_[s] - at));
        }
    }
    levels.resize(sets);
    for (std::size_t s = 0; s < sets; ++s)
        if (!eyes_[s].Levels(&levels[s].bc, &levels[s].wc))
            return false;
    return true;
}

void TrialEyes::feed(std::size_t s, const double* y, std::size_t count)
{
    std::size_t from = 0;
    if (!started_[s]) {
        while (from < count && y[from] == 0.0)
            ++from;
        if (from == count)
            return;
        started_[s] = true;
    }
    eyes_[s].Add(y + from, count - from);
}

}  // namespace Veltramodels20200612
