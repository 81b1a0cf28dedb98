#include "dsp/BlockConvolver.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace Veltramodels20200612 {

namespace {

// The transform length for m taps: the power of two N >= 2m (and >= 64,
// below which the per-block overhead outweighs the transform) with the least
// transform work, counted as N log2 N per transform. For an input of unknown
// length that is the work per new sample, N log2 N / (N - m + 1). For a known
// length it is the whole job: the tap spectra, then per block one forward
// and one inverse per tap set; a short input is then not given blocks far
// longer than itself.
std::size_t transformSizeFor(std::size_t m, std::size_t sets, std::size_t inputLength)
{
    std::size_t best = 0;
    double bestCost = 0.0;
    for (std::size_t n = 64; n <= (std::size_t(1) << 24); n *= 2) {
        if (n < 2 * m)
            continue;
        const double perTransform = static_cast<double>(n) * std::log2(static_cast<double>(n));
        const std::size_t block = n - m + 1;
        double cost;
        if (inputLength == 0) {
            cost = perTransform / static_cast<double>(block);
        } else {
            const std::size_t blocks = (inputLength + m - 1 + block - 1) / block;
            cost = perTransform * static_cast<double>(sets + blocks * (1 + sets));
        }
        if (best == 0 || cost < bestCost) {
            best = n;
            bestCost = cost;
        }
    }
    return best;
}

}  // namespace

bool BlockConvolver::SetTaps(const std::vector<double>& taps, std::size_t inputLength)
{
    return SetTaps(std::vector<std::vector<double>>(1, taps), inputLength);
}

bool BlockConvolver::SetTaps(const std::vector<std::vector<double>>& tapSets, std::size_t inputLength)
{
    std::size_t longest = 0;
    for (const std::vector<double>& t : tapSets) {
        if (t.empty()) {
            SetTapLength(0, 0);
            return false;
        }
        longest = std::max(longest, t.size());
    }
    if (!SetTapLength(longest, tapSets.size(), inputLength))
        return false;
    const std::size_t bins = Bins();
    spectra_.assign(bins * tapSets.size(), std::complex<double>(0.0, 0.0));
    for (std::size_t s = 0; s < tapSets.size(); ++s)
        TapSpectrum(tapSets[s], spectra_.data() + bins * s);
    sets_ = tapSets.size();
    return true;
}

bool BlockConvolver::SetTapLength(std::size_t longest, std::size_t sets, std::size_t inputLength)
{
    spectra_.clear();
    sets_ = taps_ = block_ = 0;
    const std::size_t n = (longest == 0 || sets == 0) ? 0 : transformSizeFor(longest, sets, inputLength);
    if (n == 0 || !fft_.Prepare(n))
        return false;
    window_.assign(n, 0.0);
    result_.assign(n, 0.0);
    input_.assign(n / 2 + 1, std::complex<double>(0.0, 0.0));
    written_ = 0;
    taps_ = longest;
    block_ = n - longest + 1;
    Restart();
    return true;
}

void BlockConvolver::TapSpectrum(const std::vector<double>& taps, std::complex<double>* spectrum)
{
    if (block_ == 0 || taps.size() > taps_)
        return;
    // The taps, then zeros, in the result buffer, which leaves the input
    // window alone: only what was left past these taps is cleared.
    const std::size_t size = taps.size();
    std::copy(taps.begin(), taps.end(), result_.begin());
    if (written_ > size)
        std::fill(result_.begin() + static_cast<std::ptrdiff_t>(size),
                  result_.begin() + static_cast<std::ptrdiff_t>(written_), 0.0);
    written_ = size;
    fft_.Forward(result_.data(), spectrum);
    const double scale = 1.0 / static_cast<double>(fft_.Size());
    for (std::size_t k = 0; k < Bins(); ++k)
        spectrum[k] *= scale;
}

void BlockConvolver::Restart()
{
    // The window's head holds the taps - 1 samples before the block: none yet.
    std::fill(window_.begin(), window_.end(), 0.0);
}

void BlockConvolver::LoadBlock(const double* input, std::size_t count)
{
    if (block_ == 0)
        return;
    const std::size_t overlap = taps_ - 1;
    count = std::min(count, block_);
    // The last taps - 1 samples of the previous window lead the new one.
    std::memmove(window_.data(), window_.data() + block_, overlap * sizeof(double));
    if (count > 0)
        std::memcpy(window_.data() + overlap, input, count * sizeof(double));
    std::fill(window_.begin() + static_cast<std::ptrdiff_t>(overlap + count), window_.end(), 0.0);
    fft_.Forward(window_.data(), input_.data());
}

void BlockConvolver::OutputBlock(std::size_t s, double* output)
{
    const double* block = OutputBlockInPlace(s);
    if (block != nullptr)
        std::memcpy(output, block, block_ * sizeof(double));
}

const double* BlockConvolver::OutputBlockInPlace(std::size_t s)
{
    // The whole buffer is written: TapSpectrum must clear all of it.
    written_ = result_.size();
    return OutputBlockIn(s, result_.data());
}

// The circular convolution of the loaded window with tap set s into window.
// Its first taps - 1 values wrap around the circle; the rest are the linear
// convolution of the block.
const double* BlockConvolver::OutputBlockIn(std::size_t s, double* window)
{
    if (s >= sets_ || spectra_.empty())
        return nullptr;
    return OutputIn(input_.data(), spectra_.data() + Bins() * s, window);
}

const double* BlockConvolver::OutputIn(const std::complex<double>* block, const std::complex<double>* taps,
                                       double* window)
{
    fft_.InverseOfProduct(block, taps, window);
    return window + (taps_ - 1);
}

void BlockConvolver::Convolve(std::size_t s, const double* x, std::size_t count, double* y,
                              std::size_t outputs)
{
    if (s >= sets_ || spectra_.empty())
        return;
    Restart();
    for (std::size_t start = 0; start < outputs; start += block_) {
        const std::size_t in = start < count ? std::min(block_, count - start) : 0;
        LoadBlock(in > 0 ? x + start : nullptr, in);
        const double* block = OutputBlockInPlace(s);
        const std::size_t out = std::min(block_, outputs - start);
        std::memcpy(y + start, block, out * sizeof(double));
    }
    Restart();
}

}  // namespace Veltramodels20200612
