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
    spectra_.clear();
    sets_ = taps_ = block_ = 0;
    std::size_t longest = 0;
    for (const std::vector<double>& t : tapSets) {
        if (t.empty())
            return false;
        longest = std::max(longest, t.size());
    }
    const std::size_t n = tapSets.empty() ? 0 : transformSizeFor(longest, tapSets.size(), inputLength);
    if (n == 0 || !fft_.Prepare(n))
        return false;
    const std::size_t bins = n / 2 + 1;
    window_.assign(n, 0.0);
    result_.assign(n, 0.0);
    input_.assign(bins, std::complex<double>(0.0, 0.0));
    spectra_.assign(bins * tapSets.size(), std::complex<double>(0.0, 0.0));
    const double scale = 1.0 / static_cast<double>(n);
    std::size_t written = 0;  // window samples that may be nonzero
    for (std::size_t s = 0; s < tapSets.size(); ++s) {
        // The taps, then zeros: only what the previous set left is cleared.
        const std::size_t size = tapSets[s].size();
        std::copy(tapSets[s].begin(), tapSets[s].end(), window_.begin());
        if (written > size)
            std::fill(window_.begin() + static_cast<std::ptrdiff_t>(size),
                      window_.begin() + static_cast<std::ptrdiff_t>(written), 0.0);
        written = size;
        std::complex<double>* spectrum = spectra_.data() + bins * s;
        fft_.Forward(window_.data(), spectrum);
        for (std::size_t k = 0; k < bins; ++k)
            spectrum[k] *= scale;
    }
    sets_ = tapSets.size();
    taps_ = longest;
    block_ = n - longest + 1;
    Restart();
    return true;
}

void BlockConvolver::Restart()
{
    // The window's head holds the taps - 1 samples before the block: none yet.
    std::fill(window_.begin(), window_.end(), 0.0);
}

void BlockConvolver::LoadBlock(const double* input, std::size_t count)
{
    if (spectra_.empty())
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
    return OutputBlockIn(s, result_.data());
}

// The circular convolution of the loaded window with tap set s into window.
// Its first taps - 1 values wrap around the circle; the rest are the linear
// convolution of the block.
const double* BlockConvolver::OutputBlockIn(std::size_t s, double* window)
{
    if (s >= sets_ || spectra_.empty())
        return nullptr;
    const std::size_t bins = fft_.Size() / 2 + 1;
    fft_.InverseOfProduct(input_.data(), spectra_.data() + bins * s, window);
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
