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
    const std::size_t N = conv_.TransformSize();
    windows_.resize(kTogether * N);
    for (std::size_t at = 0; at < outputs; at += B) {
        const std::size_t in = at < count ? std::min(B, count - at) : 0;
        conv_.LoadBlock(in > 0 ? x + at : nullptr, in);
        // Up to kTogether trials' blocks at hand at once, so that their eyes
        // take them side by side.
        for (std::size_t s = 0; s < sets;) {
            StreamingEye* eyes[kTogether];
            const double* blocks[kTogether];
            std::size_t counts[kTogether];
            int number = 0;
            for (; s < sets && number < kTogether; ++s) {
                if (at >= end_[s])
                    continue;
                const double* y = conv_.OutputBlockIn(s, windows_.data() + number * N);
                const std::size_t outs = std::min(B, end_[s] - at);
                const std::size_t from = firstFed(s, y, outs);
                if (from == outs)
                    continue;
                eyes[number] = &eyes_[s];
                blocks[number] = y + from;
                counts[number] = outs - from;
                ++number;
            }
            StreamingEye::AddTogether(eyes, blocks, counts, number);
        }
    }
    levels.resize(sets);
    for (std::size_t s = 0; s < sets; ++s)
        if (!eyes_[s].Levels(&levels[s].bc, &levels[s].wc))
            return false;
    return true;
}

std::size_t TrialEyes::firstFed(std::size_t s, const double* y, std::size_t count)
{
    std::size_t from = 0;
    if (!started_[s]) {
        while (from < count && y[from] == 0.0)
            ++from;
        started_[s] = from < count;
    }
    return from;
}

}  // namespace Veltramodels20200612
