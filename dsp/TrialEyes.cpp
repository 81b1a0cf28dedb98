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
    std::size_t longest = 0;
    for (const std::vector<double>& t : tapSets)
        longest = std::max(longest, t.size());
    if (!conv_.SetTapLength(longest, sets, count))
        return false;
    const std::size_t outputs = *std::max_element(end_.begin(), end_.end());
    const std::size_t B = conv_.BlockSize();
    const std::size_t N = conv_.TransformSize();
    const std::size_t bins = conv_.Bins();
    const std::size_t blocks = (outputs + B - 1) / B;
    windows_.resize(kTogether * N);
    // Either every block's spectrum is kept and the tap sets come a few at a
    // time, or every tap set's spectrum is kept and the blocks come one at
    // a time: whichever keeps fewer spectra (short channels have fewer
    // blocks than tap sets). Each trial's blocks reach its eye in order
    // either way, computed from the same spectra.
    const bool tapsAFewAtATime = blocks + kTogether < sets;
    spectra_.resize(bins * (tapsAFewAtATime ? blocks + kTogether : sets));
    const auto loadBlock = [&](std::size_t b) {
        const std::size_t at = b * B;
        const std::size_t in = at < count ? std::min(B, count - at) : 0;
        conv_.LoadBlock(in > 0 ? x + at : nullptr, in);
    };
    if (tapsAFewAtATime) {
        std::complex<double>* blockSpectra = spectra_.data();
        std::complex<double>* tapSpectra = blockSpectra + bins * blocks;
        for (std::size_t b = 0; b < blocks; ++b) {
            loadBlock(b);
            std::copy(conv_.LoadedSpectrum(), conv_.LoadedSpectrum() + bins, blockSpectra + bins * b);
        }
        for (std::size_t first = 0; first < sets; first += kTogether) {
            const std::size_t group = std::min<std::size_t>(kTogether, sets - first);
            for (std::size_t g = 0; g < group; ++g)
                conv_.TapSpectrum(tapSets[first + g], tapSpectra + bins * g);
            for (std::size_t b = 0; b < blocks; ++b)
                feedBlock(b * B, blockSpectra + bins * b, first, first + group, tapSpectra);
        }
    } else {
        std::complex<double>* tapSpectra = spectra_.data();
        for (std::size_t s = 0; s < sets; ++s)
            conv_.TapSpectrum(tapSets[s], tapSpectra + bins * s);
        for (std::size_t b = 0; b < blocks; ++b) {
            loadBlock(b);
            feedBlock(b * B, conv_.LoadedSpectrum(), 0, sets, tapSpectra);
        }
    }
    levels.resize(sets);
    for (std::size_t s = 0; s < sets; ++s)
        if (!eyes_[s].Levels(&levels[s].bc, &levels[s].wc))
            return false;
    return true;
}

// Trials [from, to) of the block at output `at`, given by its spectrum and
// theirs (taps[0] is trial from's): up to kTogether trials' blocks at hand
// at once, so that their eyes take them side by side.
void TrialEyes::feedBlock(std::size_t at, const std::complex<double>* block, std::size_t from, std::size_t to,
                          const std::complex<double>* taps)
{
    const std::size_t B = conv_.BlockSize();
    const std::size_t N = conv_.TransformSize();
    for (std::size_t s = from; s < to;) {
        StreamingEye* eyes[kTogether];
        const double* outputs[kTogether];
        std::size_t counts[kTogether];
        int number = 0;
        for (; s < to && number < kTogether; ++s) {
            if (at >= end_[s])
                continue;
            const double* y =
                conv_.OutputIn(block, taps + conv_.Bins() * (s - from), windows_.data() + number * N);
            const std::size_t outs = std::min(B, end_[s] - at);
            const std::size_t skipped = firstFed(s, y, outs);
            if (skipped == outs)
                continue;
            eyes[number] = &eyes_[s];
            outputs[number] = y + skipped;
            counts[number] = outs - skipped;
            ++number;
        }
        StreamingEye::AddTogether(eyes, outputs, counts, number);
    }
}

void TrialEyes::Release()
{
    conv_ = BlockConvolver();
    std::vector<std::complex<double>>().swap(spectra_);
    std::vector<double>().swap(windows_);
    std::vector<StreamingEye>().swap(eyes_);
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
